#!/usr/bin/env bash
# Prints the prefix of the Windows VTK that scripts/build-vtk-windows.sh installed into this machine's cache
# (lib/cmake/vtk-9.1 is inside), or exits with status 1 when there is no complete build yet. Builds nothing.
#
# --cmake-args prints, one a line, the cache settings a cross build needs to find it: VTK's package
# configuration looks for GLEW and utfcpp again, and the toolchain file confines library and header searches
# to the mingw-w64 root, where they are not.
set -euo pipefail
prefix=$("$(dirname "${BASH_SOURCE[0]}")/build-vtk-windows.sh" --print-prefix)
case "${1:-}" in
"") echo "$prefix" ;;
--cmake-args)
    echo "-DVTK_DIR=$prefix/lib/cmake/vtk-9.1"
    echo "-DGLEW_INCLUDE_DIR=$prefix/include"
    echo "-DGLEW_LIBRARY=$prefix/lib/libglew32.dll.a"
    echo "-Dutf8cpp_INCLUDE_DIR=$prefix/include/utf8cpp"
    ;;
*)
    echo "vtk-windows-prefix: unknown argument $1 (only --cmake-args)" >&2
    exit 2
    ;;
esac
