#!/usr/bin/env bash
# The real client: installs tarnel into a throwaway prefix under /usr/local (GNOME's thumbnailer sandbox sees
# only /usr) with a private XDG data and cache folder, and asks GNOME's thumbnail factory, through python3-gi,
# for the large thumbnails of a study, a binary and an ASCII STL mesh and a .tvx mesh. The factory runs the
# thumbnailer in its bubblewrap sandbox, as GNOME Files does. Then `tarnel cache` fills the cache for a
# project (whose studies the sandbox cannot see) and a study without a picture, and the factory must find the
# project's thumbnail and the study's failure record as valid.
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

export XDG_DATA_HOME="$work/data" XDG_CACHE_HOME="$work/cache" XDG_DATA_DIRS="$prefix/share:/usr/share"
/usr/bin/python3 "$here/gnome_factory.py" \
    "$work/Plate.QZT" application/x-tarnel-study \
    "$work/binary.stl" model/stl \
    "$work/ascii.stl" model/stl \
    "$work/part.tvx" model/x-tarnel-mesh 2>"$work/factory.err" || { cat "$work/factory.err"; exit 1; }
# The factory gives each run a scratch /tmp and expects it back empty.
grep 'left files' "$work/factory.err" && { echo "FAIL: tarnel left files in the sandbox's /tmp"; exit 1; }

# tarnel cache asks the registry for each file's handler, as the shell does: install registers for this user.
"$prefix/bin/tarnel" install --user >/dev/null 2>&1 || { echo "FAIL: tarnel install --user"; exit 1; }
# The libraries are tarnel's own, in lib/<multiarch>/tarnel below the prefix.
grep -q -- "--module $prefix/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/tarnel/libtarnel.so " \
    "$XDG_DATA_HOME/thumbnailers/tarnel.thumbnailer" ||
    { echo "FAIL: the user's entry does not name the installed module"; exit 1; }
"$prefix/bin/tarnel" cache "$work/samples/project-three.kpz" "$work/samples/plate-plain.qzt" >/dev/null
/usr/bin/python3 - "$work/samples/project-three.kpz" "$work/samples/plate-plain.qzt" <<'PY' || exit 1
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
