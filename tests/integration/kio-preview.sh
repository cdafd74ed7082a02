#!/usr/bin/env bash
# KDE's previews, as Dolphin gets them: KIO::PreviewJob starts KIO's thumbnail worker, which loads tarnel's
# plugin from the build's Qt plugin folder; the plugin runs the built command. The client asks for a study,
# a project (montage), a binary STL and a binary .tvx file at two sizes, and for a study without a picture,
# which must give none. Everything runs as an ordinary user (a throwaway account when run as root), with a
# home and XDG folders of its own, off-screen.
# Usage: kio-preview.sh BUILD_DIR MAKE_SAMPLES CLIENT PLUGIN_FOLDER; CLIENT is "none" where KF5 KIO is absent.
set -u
build=$1 make_samples=$2 client=$3 plugins=$4
here=$(cd "$(dirname "$0")" && pwd)

. "$here/common.sh"
[ -x "$client" ] || skip "KF5 KIO is absent (scripts/install-deps.sh installs libkf5kio-dev)"
ls /usr/lib/*/qt5/plugins/kf5/kio/thumbnail.so >/dev/null 2>&1 ||
    skip "needs KIO's thumbnail worker (scripts/install-deps.sh installs kio-extras)"
command -v dbus-run-session >/dev/null || skip "needs dbus-run-session (package dbus-daemon)"

# The worker must never map the module or VTK: the plugin reaches them only through the command.
plugin=$(ls "$plugins"/kf5/thumbcreator/tarnelthumbnail.so) || exit 1
readelf -d "$plugin" | grep -E 'NEEDED.*(tarnel|vtk|EGL)' && { echo "FAIL: the plugin links the module's libraries"; exit 1; }

work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT
export HOME="$work/home" XDG_DATA_HOME="$work/data" XDG_CACHE_HOME="$work/cache" XDG_CONFIG_HOME="$work/config"
export XDG_RUNTIME_DIR="$work/runtime" QT_QPA_PLATFORM=offscreen QT_PLUGIN_PATH="$plugins"
unset TARNEL_REGISTRY
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
"$make_samples" "$work/samples" >/dev/null || exit 1
# As a desktop user runs it: an ordinary account.
ordinary_user
# The MIME types and the registration in the private folders, as a user's own `tarnel install` makes them.
"${as_user[@]}" "$build/bin/tarnel" install --user >"$work/install.log" 2>&1 ||
    { cat "$work/install.log"; echo "FAIL: install"; exit 1; }
s=$work/samples
status=0
for size in "256 256" "160 100"; do
    # The worker is a process of its own, started by the client: it inherits this environment.
    "${as_user[@]}" dbus-run-session -- "$client" $size "$s/plate.qzt" "$s/project-three.kpz" "$s/gear.stl" \
        "$s/angle-bracket.tvx" "!$s/plate-plain.qzt" || status=1
done
[ $status = 0 ] && echo "ok KIO's thumbnail worker gives tarnel's previews at the asked sizes"
exit $status
