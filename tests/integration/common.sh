# Shared by the integration scripts (sourced): skipping, a throwaway installation, the test files.

skip() { echo "SKIPPED: $*"; exit 77; }

# Installs the build into a fresh prefix under /usr/local (GNOME's thumbnailer sandbox sees only /usr) and
# makes a work folder; both go at exit. Sets prefix and work.
install_throwaway() { # CMAKE BUILD_DIR
    [ -w /usr/local ] || skip "needs write access to /usr/local for a throwaway installation"
    prefix=$(mktemp -d /usr/local/tarnel-test-XXXXXX) || exit 1
    work=$(mktemp -d) || exit 1
    trap 'rm -rf "$prefix" "$work"' EXIT
    chmod 755 "$prefix"
    "$1" --install "$2" --prefix "$prefix" >/dev/null || { echo "FAIL: cmake --install"; exit 1; }
}

# Desktops run thumbnailers as an ordinary user, never root: GNOME's sandbox then shows root's files as the
# overflow user. Sets as_user to the command prefix that runs a program as such a user (with the environment
# kept): as root, a throwaway system account made for this run and removed at exit; otherwise this user
# itself. Sets user_uid. The work folder is handed to that user. Skips where neither is possible.
ordinary_user() {
    as_user=()
    user_uid=$(id -u)
    [ "$user_uid" -ne 0 ] && return 0
    command -v useradd >/dev/null && command -v setpriv >/dev/null ||
        skip "runs as root and cannot make an ordinary user (needs useradd and setpriv)"
    user_name="tarnel-t$$"
    useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin "$user_name" ||
        skip "cannot make a throwaway user"
    trap 'rm -rf "${prefix:-}" "${work:-}"; userdel "$user_name" 2>/dev/null' EXIT
    user_uid=$(id -u "$user_name")
    as_user=(setpriv --reuid="$user_uid" --regid="$(id -g "$user_name")" --clear-groups --)
    chown -R "$user_name": "$work"
}

# A closed mesh of four triangles in FOLDER as binary.stl, ascii.stl, part.tvx and part.ybr (ASCII).
write_meshes() { # FOLDER
    /usr/bin/python3 - "$1" <<'PY'
import struct, sys
folder = sys.argv[1]
tris = [((0, 0, 0), (1, 0, 0), (0, 1, 0)), ((0, 0, 0), (0, 1, 0), (0, 0, 1)),
        ((0, 0, 0), (0, 0, 1), (1, 0, 0)), ((1, 0, 0), (0, 1, 0), (0, 0, 1))]
with open(f"{folder}/binary.stl", "wb") as f:
    f.write(b"\0" * 80 + struct.pack("<I", len(tris)))
    for t in tris:
        f.write(struct.pack("<3f", 0, 0, 0) + b"".join(struct.pack("<3f", *v) for v in t) + b"\0\0")
ascii = "solid t\n" + "".join("facet normal 0 0 0\nouter loop\n" + "".join("vertex %g %g %g\n" % v for v in t)
                              + "endloop\nendfacet\n" for t in tris) + "endsolid t\n"
for name in ("ascii.stl", "part.tvx", "part.ybr"):
    with open(f"{folder}/{name}", "w") as f:
        f.write(ascii)
PY
}

# A binary STL of about 20 MB (400,000 triangles of a wavy sheet) as FILE: a real-size mesh, over the
# system's own limit of 2 MiB and under the packaged settings' limit.
write_big_stl() { # FILE
    /usr/bin/python3 - "$1" <<'PY'
import math, struct, sys
n = 447  # 2 * 447 * 447 triangles
def z(i, j): return 0.1 * math.sin(i / 20) * math.cos(j / 30)
row = []
with open(sys.argv[1], "wb") as f:
    f.write(b"\0" * 80 + struct.pack("<I", 2 * n * n))
    for i in range(n):
        for j in range(n):
            a, b, c, d = (i, j, z(i, j)), (i + 1, j, z(i + 1, j)), (i + 1, j + 1, z(i + 1, j + 1)), (i, j + 1, z(i, j + 1))
            row.append(struct.pack("<12fH", 0, 0, 0, *a, *b, *c, 0) + struct.pack("<12fH", 0, 0, 0, *a, *c, *d, 0))
        f.write(b"".join(row)); row.clear()
PY
}
