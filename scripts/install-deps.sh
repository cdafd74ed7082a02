#!/usr/bin/env bash
# Installs the Debian packages that tarnel needs to build, test and run, if any are missing.
# Safe to run again: it only calls apt-get when something is absent.
set -euo pipefail

packages=(
    build-essential dpkg-dev file cmake pkg-config
    clang libclang-rt-14-dev clang-format
    googletest libgtest-dev libgmock-dev libbenchmark-dev
    libpng-dev libseccomp-dev
    libgdk-pixbuf-2.0-dev
    libvtk9-dev libegl-dev libegl-mesa0 libgl1-mesa-dri libglib2.0-dev
    shared-mime-info hicolor-icon-theme adwaita-icon-theme librsvg2-common
    python3-gi gir1.2-gnomedesktop-3.0 bubblewrap tumbler dbus-daemon
    # The README's picture of a folder, drawn from tarnel's own thumbnails with cairo and Pango.
    python3-gi-cairo gir1.2-pango-1.0
    libkf5kio-dev extra-cmake-modules qtbase5-dev kio-extras
    lintian man-db bash-completion strace
    # The Windows build (tarnel.dll) and its tests under Wine: the cross compiler, Wine with its IDL compiler
    # (widl), the MSI tools, and an X server for the mesh renders that Wine draws through GLX.
    g++-mingw-w64-x86-64-posix wine64 wine64-tools libwine-dev msitools wixl xvfb xauth
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "install-deps: installing ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || { echo "install-deps: need root or sudo to install ${missing[*]}" >&2; exit 1; }
    sudo="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
