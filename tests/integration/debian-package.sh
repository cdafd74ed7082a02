#!/usr/bin/env bash
# The Debian package, end to end: built with CPack, installed with dpkg, registered system-wide by its
# maintainer script, asked for thumbnails by GNOME's thumbnail factory in its sandbox by an ordinary user
# (a throwaway account), then purged, after
# which nothing of it may be left. Needs root and a machine where no other tarnel package is installed.
# Usage: debian-package.sh BUILD_DIR MAKE_SAMPLES. Exit 77 (skipped) where it cannot run.
set -u
build=$1 make_samples=$2
here=$(cd "$(dirname "$0")" && pwd)

. "$here/common.sh"
fail() { echo "FAIL: $*"; exit 1; }
[ "$(id -u)" = 0 ] || skip "installing a package needs root"
command -v dpkg-deb >/dev/null && command -v cpack >/dev/null || skip "needs dpkg and cpack"
command -v dpkg-shlibdeps >/dev/null || skip "needs dpkg-dev (scripts/install-deps.sh installs it)"
dpkg-query -W -f '${Status}' tarnel 2>/dev/null | grep -q installed && skip "a tarnel package is installed already"
/usr/bin/python3 -c 'import gi; gi.require_version("GnomeDesktop", "3.0")' 2>/dev/null ||
    skip "needs python3-gi and gir1.2-gnomedesktop-3.0"

work=$(mktemp -d) || exit 1
cleanup() {
    dpkg-query -W -f '${Status}' tarnel 2>/dev/null | grep -q installed && dpkg --purge tarnel >/dev/null 2>&1
    rm -rf "$work"
}
trap cleanup EXIT

(cd "$build" && cpack -G DEB -B "$work/package" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack"; }
deb=$(ls "$work"/package/tarnel_*.deb 2>/dev/null | head -1)
[ -n "$deb" ] || fail "cpack made no package"
dpkg-deb -c "$deb" >"$work/contents" || fail "dpkg-deb -c"
# The libraries are tarnel's own, out of the dynamic linker's search.
private=/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/tarnel
grep -q "\.$private/libtarnel\.so\$" "$work/contents" || fail "the package lacks the module"

dpkg -i "$deb" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg -i"; }
env -u TARNEL_REGISTRY /usr/bin/tarnel registry dump --system .qzt | grep -q '3D7A91C2-58E4-4B1F-A2C6-7E90B41D5F38' ||
    fail "the maintainer script did not register the handlers system-wide"
[ -s $private/shader-cache/shaders.foz ] || echo "note: no shaders were prepared (no off-screen OpenGL?)"

"$make_samples" "$work/samples" >/dev/null || exit 1
write_meshes "$work"
mkdir -p "$work/home"
# As a desktop user: an ordinary account, whose sandbox shows the package's root-owned files as the
# overflow user. The system's own folders only: the entry and the MIME definitions the package installed.
ordinary_user
trap 'cleanup; userdel "$user_name" 2>/dev/null' EXIT
env -u XDG_DATA_DIRS HOME="$work/home" XDG_DATA_HOME="$work/data" XDG_CACHE_HOME="$work/cache" \
    "${as_user[@]}" /usr/bin/python3 "$here/gnome_factory.py" \
    "$work/samples/plate.qzt" application/x-tarnel-study 256x192 \
    "$work/binary.stl" model/stl 256x256a \
    "$work/part.tvx" model/x-tarnel-mesh 256x256a 2>"$work/factory.err" ||
    { cat "$work/factory.err"; fail "no thumbnails"; }
grep 'left files' "$work/factory.err" && fail "tarnel left files in the sandbox's /tmp"

dpkg --purge tarnel >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg --purge"; }
for gone in /usr/bin/tarnel "$private" /usr/share/man/man1/tarnel.1.gz /usr/share/bash-completion/completions/tarnel \
    /usr/share/thumbnailers/tarnel.thumbnailer /usr/share/mime/packages/tarnel-mime.xml /var/lib/tarnel; do
    [ -e "$gone" ] && fail "$gone is left after purging"
done
grep -q 'x-tarnel' /usr/share/mime/globs2 && fail "the MIME database still knows the suite's types"
echo "ok the package installs, registers, gives thumbnails and purges cleanly"
exit 0
