#!/usr/bin/env bash
# XFCE's thumbnail service: installs tarnel into a throwaway prefix, and as an ordinary user (a throwaway
# account when run as root) with a home and XDG folders of its own, starts a private D-Bus session and asks
# tumbler (activated on that bus, as Thunar finds it) for the large thumbnails of a study, a binary STL mesh,
# a .tvx mesh and a binary STL of 20 MB, which the packaged settings let through. Then a folder as Thunar asks for it, in one request: first a study over the size limit,
# which gives no picture, then studies and meshes; the first must get tumbler's Error and every later file its
# thumbnail. That request is made twice: once as tumbler usually runs, and once with its desktop thumbnailer's
# debugging on, where tumbler reads tarnel's standard error through a pipe to its end, so that a process left
# holding it would stall the rest of the folder. No process of a session may outlive it. (Thunar may send the
# same list in several requests at once; tumbler's workers then hand results between the requests and lose
# some on their own, with any thumbnailer, so the folder is asked for once.)
# Tumbler runs the thumbnailer entry's command itself, without a sandbox. Every wait is bounded.
# Usage: tumbler.sh CMAKE BUILD_DIR MAKE_SAMPLES. Exit 77 (skipped) where its tools are missing.
set -u
cmake=$1 build=$2 make_samples=$3
here=$(cd "$(dirname "$0")" && pwd)

. "$here/common.sh"
[ -x /usr/lib/x86_64-linux-gnu/tumbler-1/tumblerd ] || ls /usr/lib/*/tumbler-1/tumblerd >/dev/null 2>&1 ||
    skip "needs tumbler (scripts/install-deps.sh installs it)"
command -v dbus-run-session >/dev/null || skip "needs dbus-run-session (package dbus-daemon)"
/usr/bin/python3 -c 'import gi; gi.require_version("GdkPixbuf", "2.0")' 2>/dev/null || skip "needs python3-gi"
install_throwaway "$cmake" "$build"
"$make_samples" "$work/samples" >/dev/null || exit 1
write_meshes "$work"

# A real-size mesh, which the packaged settings' size limit (100 MiB) lets through.
write_big_stl "$work/big.stl"
# The folder, in the order Thunar shows it: the study over the packaged size limit (its picture is still at
# the end, behind 101 MiB of nothing, which takes no room on the disk) first.
s=$work/samples folder=$work/folder
mkdir -p "$folder"
truncate -s 101M "$folder/a-oversized.qzt" && cat "$s/plate.qzt" >>"$folder/a-oversized.qzt"
cp "$s/beam.qzt" "$folder/b-beam.qzt"
cp "$work/binary.stl" "$folder/c-part.stl"
cp "$s/bracket.qzt" "$folder/d-bracket.qzt"
cp "$s/angle-bracket.tvx" "$folder/e-angle.tvx"
cp "$s/gear.stl" "$folder/f-gear.stl"
sessions="files folder-plain folder-debugging"
for name in $sessions; do mkdir -p "$work/cache-$name"; done
mkdir -p "$work/home" "$work/data" "$work/config" "$work/runtime" && chmod 700 "$work/runtime"
ordinary_user

export HOME="$work/home" XDG_DATA_HOME="$work/data" XDG_CONFIG_HOME="$work/config"
export XDG_RUNTIME_DIR="$work/runtime" XDG_DATA_DIRS="$prefix/share:/usr/share"
unset TARNEL_SIZE_LIMIT TARNEL_IGNORE_SIZE TARNEL_REGISTRY G_MESSAGES_DEBUG
echo "running as uid $user_uid"

# The processes of session NAME (its cache folder is in their environment), tumbler's and tarnel's included.
processes_of() {
    local p
    for p in /proc/[0-9]*; do
        tr '\0' '\n' 2>/dev/null <"$p/environ" | grep -qxF "XDG_CACHE_HOME=$work/cache-$1" && echo "${p#/proc/}"
    done
}

status=0
# NAME [ENV=VALUE...] -- CLIENT ARGUMENTS: one private session, with a cache of its own (one of $sessions) so
# that tumbler makes every thumbnail afresh.
session() {
    local name=$1
    shift
    local env=()
    while [ "$1" != -- ]; do env+=("$1"); shift; done
    shift
    echo "-- $name"
    # Its output goes to files, so that nothing left running holds this script's own.
    XDG_CACHE_HOME="$work/cache-$name" timeout -k 5 90 env "${env[@]}" "${as_user[@]}" dbus-run-session -- \
        /usr/bin/python3 "$here/tumbler_client.py" "$@" >"$work/$name.out" 2>"$work/$name.log"
    local result=$?
    cat "$work/$name.out"
    if [ $result != 0 ]; then
        status=1
        echo "FAIL: $name (tumbler's messages follow)"
        grep -v '^ ' "$work/$name.log" | tail -n 20
    fi
    # With debugging on, tumbler passes on what tarnel said: the pipe was in use.
    case " ${env[*]} " in *" G_MESSAGES_DEBUG="*)
        grep -q 'tarnel: no picture for' "$work/$name.log" ||
            { status=1; echo "FAIL: $name: tumbler did not read tarnel's standard error"; } ;;
    esac
    # Tumbler goes with its bus; nothing that tarnel started may stay.
    local left tries=50
    while left=$(processes_of "$name") && [ -n "$left" ] && [ $((tries -= 1)) -gt 0 ]; do sleep 0.1; done
    if [ -n "$left" ]; then
        status=1
        echo "FAIL: $name left processes running:"
        ps -o pid=,ppid=,args= -p "$(echo $left | tr ' ' ,)"
        kill -9 $left 2>/dev/null
    fi
}

session files -- "$s/plate.qzt" "$work/binary.stl" "$work/part.tvx" "$work/big.stl"
for mode in plain debugging; do
    debug=()
    [ $mode = debugging ] && debug=(G_MESSAGES_DEBUG=tumbler-desktop-thumbnailer)
    session "folder-$mode" "${debug[@]}" -- --flavor normal --scheduler foreground --seconds 60 \
        --no-picture "$folder/a-oversized.qzt" "$folder"/[b-f]-*
done
exit $status
