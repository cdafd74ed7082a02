#!/usr/bin/env bash
# tarnel.dll under Wine, through the real Windows interfaces: registered by regsvr32, its registry entries
# compared with the Linux build's registration of the same script, thumbnails of every kind of sample asked
# for by testhost.exe as Explorer asks and compared with the Linux build's pictures, then unregistered,
# keeping what others put there.
#
#   wine-tests.sh WINDOWS_BUILD LINUX_BUILD
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=common.sh
. "$here/common.sh"
win=$(readlink -f "$1")
linux=$(readlink -f "$2")
dll=$win/tarnel.dll
host=$win/testhost.exe
for f in "$dll" "$host" "$win/system_tests.exe" "$linux/bin/tarnel" "$linux/bin/make_samples" "$linux/bin/picture_diff"; do
    [ -f "$f" ] || { echo "missing $f: make windows builds the Windows side, make build the Linux side" >&2; exit 1; }
done

work=$win/wine-tests
rm -rf "$work"
mkdir -p "$work/samples"
wine_setup "$win/wine-prefix"
trap wine_stop EXIT

# --- The system's unit tests, built for Windows ------------------------------------------------------------
for t in "$win"/*_tests.exe; do
    check "$(basename "$t") passes under Wine" wine_run "$t" --gtest_brief=1
done

# --- Registration, compared with Linux's --------------------------------------------------------------
classes='HKEY_LOCAL_MACHINE\Software\Classes'
# Entries of others, which registering may not take and unregistering must keep.
foreign='{E357FCCD-A995-4576-B01F-234630154E96}'
wine_run reg add 'HKCR\.qzt' /v 'Content Type' /d 'application/x-foreign' /f >/dev/null
wine_run reg add "HKCR\\.qzt\\shellex\\$foreign" /ve /d '{00000000-0000-0000-0000-000000000001}' /f >/dev/null
wine_run regedit /E "$(winpath "$work")\\before.reg" "$classes"
check "regsvr32 registers tarnel.dll" wine_run regsvr32 /s "$(winpath "$dll")"
wine_run regedit /E "$(winpath "$work")\\after.reg" "$classes"

module_written=$(winpath "$dll" | sed 's|\\|\\\\|g')
reg_lines "$work/before.reg" "$module_written" >"$work/before.lines"
reg_lines "$work/after.reg" "$module_written" >"$work/after.lines"
LC_ALL=C comm -13 "$work/before.lines" "$work/after.lines" >"$work/windows.lines"

TARNEL_REGISTRY=$work/linux.reg "$linux/bin/tarnel" register "$linux/lib/libtarnel.so" >/dev/null
reg_lines "$work/linux.reg" "$linux/lib/libtarnel.so" >"$work/linux.lines"
# What Linux writes and Windows did not add must be keys that were there already (CLSID, Interface ...).
LC_ALL=C comm -23 "$work/linux.lines" "$work/windows.lines" >"$work/linux-only.lines"
LC_ALL=C comm -13 "$work/linux.lines" "$work/windows.lines" >"$work/windows-only.lines"
missing=$(LC_ALL=C comm -23 "$work/linux-only.lines" "$work/before.lines")
check "Windows registered every entry that Linux registers ($(wc -l <"$work/linux.lines") lines)" \
    test -z "$missing"
[ -z "$missing" ] || printf '  only on Linux: %s\n' "$missing" >&2
check "Windows registered nothing that Linux does not ($(wc -l <"$work/windows.lines") new lines)" \
    test ! -s "$work/windows-only.lines"
[ -s "$work/windows-only.lines" ] && sed 's/^/  only on Windows: /' "$work/windows-only.lines" >&2
extensions=$(grep -c $'^V\t\.[a-z]*\\\\shellex\\\\{bb2e617c-0920-11d1-9a0b-00c04fc2d6c1}\t@=' "$work/windows.lines" || true)
check "nine extensions are routed to the handler (found $extensions)" test "$extensions" -eq 9
check "the server is apartment-threaded" grep -q $'\\\\inprocserver32\t"ThreadingModel"="Apartment"$' "$work/windows.lines"
check "the type library is registered for win64" grep -q $'\\\\1.0\\\\409\\\\win64\t@="MODULE"$' "$work/windows.lines"

# --- Thumbnails, compared with Linux's -----------------------------------------------------------------
"$linux/bin/make_samples" "$work/samples" >/dev/null
mesh=0
if [ -f "$win/tarnelmesh.dll" ]; then
    mesh=1
    xvfb_start
fi
# Tolerances: studies and projects are scaled by GDI's HALFTONE on Windows and by our box filter on Linux.
# Both average the area a pixel covers, but place the covered areas' edges differently when they shrink by
# a fraction, so a thin line of the stored picture lands on a neighbouring pixel: a mean per channel of at
# most 3 (of 255), and no more than 3 % of the pixels off by more than 32 in some channel. Meshes are rendered by two OpenGL drivers (llvmpipe behind
# EGL, and behind Wine's WGL on GLX), which rasterise edges differently: mean 6, 5 %.
one_of() { [[ "|$2|" == *"|$1|"* ]]; }
picture() { # FILE SIZE EXPECTED_EXIT [MEAN SHARE]
    local file=$1 size=$2 expect=$3 name
    name=$(basename "$file")-$size
    local status=0
    wine_run "$host" --size "$size" "$(winpath "$file")" \
        "$(winpath "$work")\\$name.bmp" || status=$?
    check "$name: testhost answers $expect (answered $status)" one_of "$status" "$expect"
    [ "$status" -eq 0 ] && [ "$expect" = 0 ] && [ $# -ge 5 ] || return 0
    "$linux/bin/tarnel" thumbnail --module "$linux/lib/libtarnel.so" --size "$size" "$file" "$work/$name.png"
    local verdict
    verdict=$("$linux/bin/picture_diff" "$work/$name.bmp" "$work/$name.png" "$4" "$5" "$work/$name.windows.png") &&
        check "$name: as on Linux ($verdict)" true ||
        check "$name: as on Linux ($verdict)" false
}
s=$work/samples
for size in 256x256 96x96 200x100; do
    picture "$s/plate.qzt" $size 0 3 0.03
    picture "$s/beam.qzt" $size 0 3 0.03
    picture "$s/project-one.kpv" $size 0 3 0.03
    picture "$s/project-three.kpz" $size 0 3 0.03
done
picture "$s/plate-plain.qzt" 256x256 3
picture "$s/nothing-here.qzt" 256x256 1
# Sizes of nothing or less never take the process down. The file's own picture is never made at such a size;
# the icon's bitmap is what the real GDI makes of it (for a side of 0, its 1 x 1 default bitmap).
for size in 0x0 0x-1 1x-1 100x-1 -5x-5; do
    picture "$s/plate.qzt" "$size" "1|3"
done
if [ $mesh -eq 1 ]; then
    cp "$s/pipe-tee.stl" "$s/pipe-tee.ybr" # the third format is read as STL
    for f in gear.stl pipe-tee.stl angle-bracket.tvx pipe-tee.ybr; do
        picture "$s/$f" 256x256 0 1 0.01
        picture "$s/$f" 100x60 0 1 0.01
    done
else
    echo "skipped: the Windows mesh previews (no tarnelmesh.dll: scripts/build-vtk-windows.sh builds VTK for Windows, then make windows)"
    picture "$s/gear.stl" 256x256 3
fi

# --- Unregistration --------------------------------------------------------------------------------------
check "regsvr32 /u unregisters tarnel.dll" wine_run regsvr32 /s /u "$(winpath "$dll")"
wine_run regedit /E "$(winpath "$work")\\unregistered.reg" "$classes"
reg_lines "$work/unregistered.reg" "$module_written" >"$work/unregistered.lines"
# The script keeps its NoRemove keys (the extensions' own keys, CLSID): what stays is what stays on Linux.
TARNEL_REGISTRY=$work/linux.reg "$linux/bin/tarnel" unregister "$linux/lib/libtarnel.so" >/dev/null
reg_lines "$work/linux.reg" "$linux/lib/libtarnel.so" >"$work/linux-unregistered.lines"
check "unregistering loses nothing that was there before" \
    test -z "$(LC_ALL=C comm -23 "$work/before.lines" "$work/unregistered.lines")"
left=$(LC_ALL=C comm -13 "$work/before.lines" "$work/unregistered.lines" |
    LC_ALL=C comm -23 - "$work/linux-unregistered.lines")
check "unregistering leaves only what it leaves on Linux ($(LC_ALL=C comm -13 "$work/before.lines" \
    "$work/unregistered.lines" | wc -l) empty NoRemove keys)" test -z "$left"
[ -z "$left" ] || printf '  left behind: %s\n' "$left" >&2
check "the foreign handler of .qzt is still there" \
    grep -qi $'^K\t\.qzt\\\\shellex\\\\'"$foreign"'$' "$work/unregistered.lines"
exit $fail
