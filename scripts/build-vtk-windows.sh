#!/usr/bin/env bash
# Builds the part of VTK 9.1 that the mesh preview renders with, for 64-bit Windows, with the mingw-w64
# compiler of windows/toolchain-mingw64.cmake, from Debian 12's own packages: the vtk9 source, and, because
# Debian's VTK tarball leaves out its bundled copies of them, the glew source and utfcpp's headers (the
# libutfcpp-dev package: headers only, the same for every target). The result is installed into a cache
# outside the tree, one entry per VTK version, compiler version and build recipe, so that a machine builds it
# once (about 25 minutes on two cores). The last line printed is the installed prefix, which holds
# lib/cmake/vtk-9.1, GLEW and the utfcpp headers; `--print-prefix` prints it only if the entry is complete
# (exit status 1 otherwise) and builds nothing.
#
# Environment: TARNEL_VTK_WINDOWS_CACHE (the cache folder), TARNEL_VTK_WINDOWS_JOBS (parallel jobs, default
# 2), TARNEL_VTK_WINDOWS_KEEP_WORK=1 (keep the sources and build folders after a successful build).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(dirname "$here")
toolchain="$repo/windows/toolchain-mingw64.cmake"
cxx=x86_64-w64-mingw32-g++-posix

# The exact Debian versions are pinned, so that the cache key is known without asking the archive and a
# point release cannot change what an existing entry holds. A newer bookworm revision means a new key here.
vtk_deb_version=9.1.0+really9.1.0+dfsg2-5+deb12u1
glew_deb_version=2.2.0-4
utfcpp_deb_version=3.2.3-1
vtk_api=9.1
suite=bookworm
mirror=http://deb.debian.org/debian

mode=build
case "${1:-}" in
"") ;;
--print-prefix) mode=print ;;
-h | --help)
    sed -n '2,12p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'
    exit 0
    ;;
*)
    echo "build-vtk-windows: unknown argument $1 (only --print-prefix)" >&2
    exit 2
    ;;
esac

command -v "$cxx" >/dev/null || {
    echo "build-vtk-windows: $cxx is missing (g++-mingw-w64-x86-64-posix; scripts/install-deps.sh)" >&2
    exit 1
}
compiler_version=$("$cxx" -dumpfullversion)

# Only the modules a render needs (and what they require). -Wa,-mbig-obj: VTK's heavily templated translation
# units (ExprTk's parser, the array dispatchers) can outgrow the 32767 sections of mingw's default object
# format.
vtk_modules=(CommonCore CommonDataModel CommonExecutionModel RenderingCore RenderingOpenGL2)
vtk_options=(
    -DCMAKE_BUILD_TYPE=Release
    "-DCMAKE_C_FLAGS=-Wa,-mbig-obj" "-DCMAKE_CXX_FLAGS=-Wa,-mbig-obj"
    -DBUILD_SHARED_LIBS=ON
    -DVTK_BUILD_ALL_MODULES=OFF -DVTK_ENABLE_REMOTE_MODULES=OFF -DVTK_FORBID_DOWNLOADS=ON
    -DVTK_ENABLE_WRAPPING=OFF -DVTK_WRAP_PYTHON=OFF -DVTK_WRAP_JAVA=OFF
    -DVTK_BUILD_TESTING=OFF -DVTK_BUILD_EXAMPLES=OFF -DVTK_BUILD_DOCUMENTATION=OFF
    -DVTK_DEBUG_LEAKS=OFF -DVTK_USE_MPI=OFF -DVTK_USE_CUDA=OFF -DVTK_USE_X=OFF
    -DVTK_MODULE_USE_EXTERNAL_VTK_glew=ON -DVTK_MODULE_USE_EXTERNAL_VTK_utf8=ON
)
for group in Imaging MPI Qt Rendering StandAlone Views Web; do
    vtk_options+=("-DVTK_GROUP_ENABLE_$group=DONT_WANT")
done
for module in "${vtk_modules[@]}"; do
    vtk_options+=("-DVTK_MODULE_ENABLE_VTK_$module=YES")
done
glew_options=(-DCMAKE_BUILD_TYPE=Release -DBUILD_UTILS=OFF)

# The key names what went into the build: the sources' versions, the compiler's, and a hash of the options
# and the toolchain file, so that a changed recipe gives a new entry while an edited comment does not.
recipe_hash=$({
    echo "$vtk_deb_version $glew_deb_version $utfcpp_deb_version"
    printf '%s\n' "${vtk_options[@]}" -- "${glew_options[@]}"
    cat "$toolchain"
} | sha256sum | cut -c1-12)
key="vtk-${vtk_deb_version//+/_}-gcc-${compiler_version}-${recipe_hash}"
cache_root=${TARNEL_VTK_WINDOWS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tarnel/vtk-windows}
prefix="$cache_root/$key"
stamp="$prefix/.tarnel-complete"

if [ -f "$stamp" ]; then
    echo "$prefix"
    exit 0
fi
if [ "$mode" = print ]; then
    echo "build-vtk-windows: no complete build at $prefix (run scripts/build-vtk-windows.sh)" >&2
    exit 1
fi

mkdir -p "$cache_root"
# Two builds of the same entry at once would install over each other: the second waits, then finds the
# first one's result.
exec 9>"$cache_root/$key.lock"
flock 9
if [ -f "$stamp" ]; then
    echo "$prefix"
    exit 0
fi

jobs=${TARNEL_VTK_WINDOWS_JOBS:-2}
generator="Unix Makefiles"
command -v ninja >/dev/null && generator=Ninja
work="$cache_root/$key.work"
src="$work/src"
mkdir -p "$src"
log() { echo "build-vtk-windows: $*" >&2; }
started=$(date +%s)

# --- Sources ------------------------------------------------------------------------------------------------
# apt-get fetches and checks them (against the signed Release file, with the system's keyring) through a
# private sources list and state of its own, so the machine's apt set-up needs no deb-src lines and is left as
# it was.
if [ ! -f "$src/.fetched" ]; then
    rm -rf "$src" "$work/apt"
    mkdir -p "$src" "$work/apt/lists/partial" "$work/apt/cache/archives/partial"
    for type in deb deb-src; do
        echo "$type [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror $suite main"
    done >"$work/apt/sources.list"
    apt_options=(
        -o "Dir::Etc::SourceList=$work/apt/sources.list" -o Dir::Etc::SourceParts=/nonexistent
        -o "Dir::State::Lists=$work/apt/lists" -o "Dir::Cache=$work/apt/cache" -o Debug::NoLocking=1
        -o APT::Sandbox::User=root -qq
    )
    log "fetching vtk9 $vtk_deb_version, glew $glew_deb_version, utfcpp $utfcpp_deb_version from $suite"
    apt-get "${apt_options[@]}" update
    (cd "$src" && apt-get "${apt_options[@]}" source "vtk9=$vtk_deb_version" "glew=$glew_deb_version" &&
        apt-get "${apt_options[@]}" download "libutfcpp-dev=$utfcpp_deb_version" &&
        dpkg-deb -x libutfcpp-dev_*.deb utfcpp) >"$work/fetch.log" 2>&1 || {
        cat "$work/fetch.log" >&2
        log "the pinned versions could not be fetched; if $suite has moved on, update the versions here"
        exit 1
    }
    touch "$src/.fetched"
fi
vtk_src=$(find "$src" -mindepth 1 -maxdepth 1 -type d -name 'vtk9-*' | head -n1)
glew_src=$(find "$src" -mindepth 1 -maxdepth 1 -type d -name 'glew-*' | head -n1)
utfcpp_include="$src/utfcpp/usr/include/utf8cpp"
if [ -z "$vtk_src" ] || [ -z "$glew_src" ] || [ ! -f "$utfcpp_include/utf8.h" ]; then
    log "unpacked sources are missing in $src"
    exit 1
fi

# A half-installed entry from an interrupted run is not trusted.
rm -rf "$prefix"
mkdir -p "$prefix"

# --- utfcpp (headers only; CommonCore uses it privately, VTK's package configuration looks for it) ----------
mkdir -p "$prefix/include/utf8cpp"
cp -R "$utfcpp_include/." "$prefix/include/utf8cpp/"

# --- GLEW, for WGL ------------------------------------------------------------------------------------------
# GLEW's own CMake project, without its utilities. It links the DLL with -nostdlib, so it depends on opengl32
# alone.
log "building GLEW"
cmake -S "$glew_src/build/cmake" -B "$work/glew-build" -G "$generator" "${glew_options[@]}" \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_INSTALL_PREFIX="$prefix" >"$work/glew-configure.log" 2>&1 || {
    cat "$work/glew-configure.log" >&2
    exit 1
}
cmake --build "$work/glew-build" -j"$jobs" >&2
cmake --install "$work/glew-build" >/dev/null

# --- VTK ----------------------------------------------------------------------------------------------------
log "building VTK (about 25 minutes with 2 jobs)"
vtk_options+=(
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_INSTALL_PREFIX="$prefix"
    -DGLEW_INCLUDE_DIR="$prefix/include" -DGLEW_LIBRARY="$prefix/lib/libglew32.dll.a"
    -Dutf8cpp_INCLUDE_DIR="$prefix/include/utf8cpp"
)
cmake -S "$vtk_src" -B "$work/vtk-build" -G "$generator" "${vtk_options[@]}" \
    >"$work/vtk-configure.log" 2>&1 || {
    cat "$work/vtk-configure.log" >&2
    exit 1
}
cmake --build "$work/vtk-build" -j"$jobs" >&2
cmake --install "$work/vtk-build" >/dev/null

[ -f "$prefix/lib/cmake/vtk-$vtk_api/vtk-config.cmake" ] || {
    log "the install has no lib/cmake/vtk-$vtk_api/vtk-config.cmake"
    exit 1
}
{
    echo "vtk9 $vtk_deb_version"
    echo "glew $glew_deb_version"
    echo "utfcpp $utfcpp_deb_version"
    echo "compiler $cxx $compiler_version"
    echo "seconds $(($(date +%s) - started))"
} >"$stamp.tmp"
mv "$stamp.tmp" "$stamp"
[ "${TARNEL_VTK_WINDOWS_KEEP_WORK:-0}" = 1 ] || rm -rf "$work"
log "done in $((($(date +%s) - started) / 60)) minutes"
echo "$prefix"
