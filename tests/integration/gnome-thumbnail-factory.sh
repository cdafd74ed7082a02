#!/usr/bin/env bash
# The real client, as a desktop user meets it: installs tarnel into a throwaway prefix under /usr/local
# (GNOME's thumbnailer sandbox sees only /usr), then, as an ordinary user (a throwaway account when run as
# root) with a private HOME, XDG data and cache folder, asks GNOME's thumbnail factory through python3-gi for
# the large thumbnails of a study, a project's montage, a binary and an ASCII STL, a .tvx and a .ybr mesh and a
# binary STL of 20 MB, with the packaged settings (size limit 100 MiB, meshes on a transparent background);
# then, with those two settings removed, the 20 MB mesh must get none and a mesh must be opaque.
# The factory runs the thumbnailer in its bubblewrap sandbox, as GNOME Files does, where root's files show as
# the overflow user; the script checks that the sandbox was used. Then `tarnel cache` fills the cache for a
# project (whose studies the sandbox cannot see) and a study without a picture, and the factory must find the
# project's thumbnail and the study's failure record as valid. Last, every type tarnel serves must have an
# icon in the desktop's theme, for the files that get no picture.
# Usage: gnome-thumbnail-factory.sh CMAKE BUILD_DIR MAKE_SAMPLES. Exit 77 (skipped) where its tools are missing.
set -u
cmake=$1 build=$2 make_samples=$3
here=$(cd "$(dirname "$0")" && pwd)

. "$here/common.sh"
/usr/bin/python3 -c 'import gi; gi.require_version("GnomeDesktop", "3.0")' 2>/dev/null ||
    skip "needs python3-gi and gir1.2-gnomedesktop-3.0 (scripts/install-deps.sh installs them)"
command -v bwrap >/dev/null || skip "needs bubblewrap (scripts/install-deps.sh installs it)"
install_throwaway "$cmake" "$build"
"$make_samples" "$work/samples" >/dev/null || exit 1
cp "$work/samples/plate.qzt" "$work/Plate.QZT"
write_meshes "$work"
write_big_stl "$work/big.stl"
# The sandbox shows the thumbnailer the file alone, as /tmp/gnome-desktop-file-to-thumbnail.kpz: this
# project names studies that it can see, below the prefix in /usr.
mkdir -p "$prefix/share/tarnel-samples"
cp "$work/samples/plate.qzt" "$work/samples/beam.qzt" "$work/samples/bracket.qzt" "$prefix/share/tarnel-samples/"
printf 'PROJECT montage\nSTUDY "..%s/share/tarnel-samples/%s"\n' "$prefix" plate.qzt "$prefix" beam.qzt \
    "$prefix" bracket.qzt >"$work/Montage.kpz"

# bubblewrap as the factory finds it, noting each run, so that the test knows the sandbox was used.
mkdir -p "$work/shim" "$work/home"
cat >"$work/shim/bwrap" <<SH
#!/bin/sh
echo "\$*" >>"$work/bwrap.log"
exec $(command -v bwrap) "\$@"
SH
chmod 755 "$work/shim/bwrap"
ordinary_user
"${as_user[@]}" bwrap --ro-bind / / --unshare-all true 2>/dev/null ||
    skip "bubblewrap cannot make a sandbox for an ordinary user here"

export HOME="$work/home" XDG_DATA_HOME="$work/data" XDG_CACHE_HOME="$work/cache"
export XDG_DATA_DIRS="$prefix/share:/usr/share" PATH="$work/shim:$PATH"
echo "running as uid $user_uid"
"${as_user[@]}" /usr/bin/python3 "$here/gnome_factory.py" \
    "$work/Plate.QZT" application/x-tarnel-study 256x192 \
    "$work/Montage.kpz" application/x-tarnel-project 256x256 \
    "$work/binary.stl" model/stl 256x256a \
    "$work/ascii.stl" model/stl 256x256a \
    "$work/part.tvx" model/x-tarnel-mesh 256x256a \
    "$work/part.ybr" model/x-tarnel-mesh 256x256a \
    "$work/big.stl" model/stl 256x256a 2>"$work/factory.err" || { cat "$work/factory.err"; exit 1; }
grep -q -- '--unshare-all' "$work/bwrap.log" 2>/dev/null ||
    { echo "FAIL: the factory did not run tarnel in bubblewrap"; exit 1; }
# The factory gives each run a scratch /tmp and expects it back empty.
grep 'left files' "$work/factory.err" && { echo "FAIL: tarnel left files in the sandbox's /tmp"; exit 1; }
# Without the packaged size limit the system's own, 2 MiB, holds again: the 20 MB mesh gets no picture, and
# its mesh on black instead of a transparent background.
sed -i -e '/^SizeLimit=/d' -e '/^TransparentMeshes=/d' "$prefix/share/tarnel/tarnel.conf"
cp "$work/big.stl" "$work/big-again.stl"
cp "$work/binary.stl" "$work/opaque.stl"
"${as_user[@]}" /usr/bin/python3 "$here/gnome_factory.py" "$work/big-again.stl" model/stl none \
    "$work/opaque.stl" model/stl 256x256 2>>"$work/factory.err" || { cat "$work/factory.err"; exit 1; }

# tarnel cache asks the registry for each file's handler, as the shell does: install registers for this user.
"${as_user[@]}" "$prefix/bin/tarnel" install --user >/dev/null 2>&1 || { echo "FAIL: tarnel install --user"; exit 1; }
# The libraries are tarnel's own, in lib/<multiarch>/tarnel below the prefix.
grep -q -- "--module $prefix/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/tarnel/libtarnel.so " \
    "$XDG_DATA_HOME/thumbnailers/tarnel.thumbnailer" ||
    { echo "FAIL: the user's entry does not name the installed module"; exit 1; }
"${as_user[@]}" "$prefix/bin/tarnel" cache "$work/samples/project-three.kpz" "$work/samples/plate-plain.qzt" >/dev/null
"${as_user[@]}" /usr/bin/python3 - "$work/samples/project-three.kpz" "$work/samples/plate-plain.qzt" <<'PY' || exit 1
import sys
import gi
gi.require_version("GnomeDesktop", "3.0")
from gi.repository import Gio, GnomeDesktop
factory = GnomeDesktop.DesktopThumbnailFactory.new(GnomeDesktop.DesktopThumbnailSize.LARGE)
def facts(path):
    f = Gio.File.new_for_path(path)
    return f.get_uri(), f.query_info("time::modified", 0, None).get_modification_date_time().to_unix()
project, plain = facts(sys.argv[1]), facts(sys.argv[2])
ok = factory.lookup(*project) is not None and factory.has_valid_failed_thumbnail(*plain)
print(("ok" if ok else "FAIL") + " the factory finds what tarnel cache wrote")
sys.exit(0 if ok else 1)
PY

# A file without a picture shows its type's icon: each type tarnel serves names one that Adwaita has.
/usr/bin/python3 - "$prefix/share/thumbnailers/tarnel.thumbnailer" <<'PY' || exit 1
import os, sys
from gi.repository import Gio
types = [t for line in open(sys.argv[1]) if line.startswith("MimeType=") for t in line[9:].strip().split(";") if t]
themes = ["/usr/share/icons/Adwaita", "/usr/share/icons/hicolor"]
def found(name):
    return any(f.startswith(name + ".") for t in themes for root, _, files in os.walk(t) for f in files)
missing = [t for t in types if not any(found(n) for n in Gio.content_type_get_icon(t).get_names()
                                       if not n.endswith("-symbolic"))]
print(("FAIL no icon in the theme for " + ", ".join(missing)) if missing else f"ok every one of {len(types)} types has an icon")
sys.exit(1 if missing else 0)
PY
