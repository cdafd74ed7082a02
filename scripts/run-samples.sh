#!/usr/bin/env bash
# Makes a thumbnail of every bundled sample into out/ and prints one line a file, then the folder to open.
set -u
tarnel=${1:-build/bin/tarnel}
cd "$(dirname "$0")/.."
mkdir -p out
# The samples' thumbnails come through the registry, as a file manager's would: the module is registered in
# a demo registry of their own, so that the user's is left alone.
export TARNEL_REGISTRY="$PWD/out/registry.reg"
"$tarnel" register >/dev/null || { echo "cannot register the module"; exit 1; }
for f in data/samples/*; do
    [ -f "$f" ] || continue
    name=$(basename "$f")
    png="out/$name.png"
    "$tarnel" thumbnail --icon -s 256 "$f" "$png" 2>/dev/null
    case $? in
        0) echo "$name: picture -> $png" ;;
        3) echo "$name: icon only -> $png" ;;
        1) rm -f "$png"; echo "$name: no picture" ;;
        *) echo "$name: failed" ;;
    esac
done
echo "open $PWD/out/ to see the thumbnails of the studies, projects and meshes"
