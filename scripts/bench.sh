#!/usr/bin/env bash
# Runs every benchmark of the build, each once, so that the ratios in its table come from one run.
# f3d and an X server serve as the peer for mesh thumbnails; they are installed here when missing.
set -u
build=${1:-build}
repetitions=${BENCH_REPETITIONS:-10}
cd "$(dirname "$0")/.."

peers=(f3d xvfb xauth)
missing=()
for p in "${peers[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null ||
        echo "bench: could not install ${missing[*]}: f3d figures will be missing" >&2
fi

xvfb_pid=""
if command -v Xvfb >/dev/null; then
    for n in $(seq 70 99); do
        [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
        Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
        xvfb_pid=$!
        export DISPLAY=":$n"
        sleep 1
        break
    done
fi
trap '[ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null' EXIT

status=0
for b in "$build"/bin/bench_*; do
    echo "== $(basename "$b")"
    case "$b" in
        *bench_mesh) "$b" || status=1 ;; # fixed iteration counts: whole processes, some of them slow
        *) "$b" --benchmark_repetitions="$repetitions" --benchmark_report_aggregates_only=true || status=1 ;;
    esac
done
exit $status
