#!/usr/bin/env bash
# Runs every benchmark of the build, each once, so that the ratios in its table come from one run.
# f3d and an X server serve as the peer for mesh thumbnails; they are installed here when missing.
set -u
build=${1:-build}
repetitions=${BENCH_REPETITIONS:-10}
cd "$(dirname "$0")/.."

peers=(f3d xvfb xauth libgdk-pixbuf2.0-bin)
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
# Thumbnails come through the registry, as a file manager's do: the module is registered in a registry of
# the run's own. The prepared shaders are those an installation makes.
results=$(mktemp -d)
trap '[ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null; rm -rf "$results"' EXIT
export TARNEL_REGISTRY="$results/registry.reg"
"$build/bin/tarnel" register >/dev/null || { echo "bench: cannot register the module" >&2; exit 1; }
"$build/bin/tarnel" shader-cache --prepare >/dev/null || echo "bench: no shaders prepared" >&2

status=0
for b in "$build"/bin/bench_*; do
    name=$(basename "$b")
    echo "== $name"
    case "$b" in
        *bench_mesh) reps=$(( repetitions < 5 ? repetitions : 5 )) ;; # whole processes, some of them slow
        *) reps=$repetitions ;;
    esac
    "$b" --benchmark_repetitions="$reps" --benchmark_report_aggregates_only=true \
        --benchmark_out="$results/$name.json" --benchmark_out_format=json || status=1
done
echo "== tarnel cache on 1,000 files"
/usr/bin/python3 bench/cache_bench.py "$build/bin/tarnel" "$build/bin/make_samples" "$results/cache.json" || status=1

echo
echo "== medians of this run (ratio: ours / baseline; below 1 is faster)"
/usr/bin/python3 scripts/bench_table.py "$results"
exit $status
