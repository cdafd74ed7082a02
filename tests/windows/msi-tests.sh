#!/usr/bin/env bash
# tarnel.msi under Wine: installed by msiexec, the installed copy serves thumbnails through COM as Explorer
# asks for them and carries the same registry entries as the Linux registration, and uninstalling leaves no
# file and no entry of tarnel's behind.
#
#   msi-tests.sh WINDOWS_BUILD LINUX_BUILD
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=common.sh
. "$here/common.sh"
win=$(readlink -f "$1")
linux=$(readlink -f "$2")
msi=$win/tarnel.msi
host=$win/testhost.exe
for f in "$msi" "$host" "$linux/bin/tarnel" "$linux/bin/make_samples"; do
    [ -f "$f" ] || { echo "missing $f: make windows and make msi build it" >&2; exit 1; }
done
work=$win/msi-tests
rm -rf "$work"
mkdir -p "$work/samples"
wine_setup "$win/wine-prefix-msi"
trap wine_stop EXIT
classes='HKEY_LOCAL_MACHINE\Software\Classes'
installed="$WINEPREFIX/drive_c/Program Files/tarnel"

wine_run regedit /E "$(winpath "$work")\\before.reg" "$classes"
check "msiexec /i installs tarnel.msi" wine_run msiexec /i "$(winpath "$msi")" /qn
check "tarnel.dll is under Program Files\\tarnel" test -f "$installed/tarnel.dll"
wine_run regedit /E "$(winpath "$work")\\installed.reg" "$classes"
module='C:\\Program Files\\tarnel\\tarnel.dll'
reg_lines "$work/before.reg" "$module" >"$work/before.lines"
reg_lines "$work/installed.reg" "$module" >"$work/installed.lines"
# Windows Installer's own records of the product (Classes\Installer) are not the product's entries.
LC_ALL=C comm -13 "$work/before.lines" "$work/installed.lines" | grep -v $'^[KV]\tinstaller' >"$work/added.lines" || true
TARNEL_REGISTRY=$work/linux.reg "$linux/bin/tarnel" register "$linux/lib/libtarnel.so" >/dev/null
reg_lines "$work/linux.reg" "$linux/lib/libtarnel.so" >"$work/linux.lines"
missing=$(LC_ALL=C comm -23 "$work/linux.lines" "$work/added.lines" | LC_ALL=C comm -23 - "$work/before.lines")
check "the installer wrote every entry that registering writes" test -z "$missing"
[ -z "$missing" ] || printf '  not installed: %s\n' "$missing" >&2
extra=$(LC_ALL=C comm -13 "$work/linux.lines" "$work/added.lines")
check "the installer wrote nothing else" test -z "$extra"
[ -z "$extra" ] || printf '  only installed: %s\n' "$extra" >&2

"$linux/bin/make_samples" "$work/samples" >/dev/null
serve() { # FILE EXPECTED
    local status=0
    wine_run "$host" --size 128x128 "$(winpath "$1")" "$(winpath "$work")\\$(basename "$1").bmp" || status=$?
    check "the installed copy serves $(basename "$1") (answered $status)" test "$status" -eq "$2"
}
serve "$work/samples/plate.qzt" 0
serve "$work/samples/project-three.kpz" 0
serve "$work/samples/plate-plain.qzt" 3
if [ -f "$installed/tarnelmesh.dll" ]; then
    xvfb_start
    serve "$work/samples/gear.stl" 0
else
    echo "skipped: a mesh from the installed copy (the installer has no mesh preview without VTK for Windows)"
fi

check "msiexec /x uninstalls tarnel.msi" wine_run msiexec /x "$(winpath "$msi")" /qn
wine_run regedit /E "$(winpath "$work")\\uninstalled.reg" "$classes"
reg_lines "$work/uninstalled.reg" "$module" >"$work/uninstalled.lines"
left=$(grep -iE '3d7a91c2-58e4-4b1f-a2c6-7e90b41d5f38|9b2e4f70-1c3d-4a85-b6e2-0d4c7a9f1e63|c41f8e25-7b90-4d36-9e1a-5f2b8c0d7a94|tarnel' \
    "$work/uninstalled.lines" || true)
check "no entry of tarnel's is left" test -z "$left"
[ -z "$left" ] || printf '  left: %s\n' "$left" >&2
check "nothing that was there before is lost" test -z "$(LC_ALL=C comm -23 "$work/before.lines" "$work/uninstalled.lines")"
check "Program Files\\tarnel is gone" test ! -e "$installed"
exit $fail
