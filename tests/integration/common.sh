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

# A closed mesh of four triangles in FOLDER as binary.stl, ascii.stl and part.tvx (ASCII).
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
for name in ("ascii.stl", "part.tvx"):
    with open(f"{folder}/{name}", "w") as f:
        f.write(ascii)
PY
}
