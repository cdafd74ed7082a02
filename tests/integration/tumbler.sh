#!/usr/bin/env bash
# XFCE's thumbnail service: installs tarnel into a throwaway prefix, starts a private D-Bus session, and asks
# tumbler (activated on that bus, as Thunar finds it) for the large thumbnails of a study, a binary STL mesh
# and a .tvx mesh. Tumbler runs the thumbnailer entry's command itself, without a sandbox.
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

export XDG_DATA_HOME="$work/data" XDG_CACHE_HOME="$work/cache" XDG_CONFIG_HOME="$work/config"
export XDG_DATA_DIRS="$prefix/share:/usr/share"
dbus-run-session -- /usr/bin/python3 "$here/tumbler_client.py" \
    "$work/samples/plate.qzt" "$work/binary.stl" "$work/part.tvx"
