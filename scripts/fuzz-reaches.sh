#!/usr/bin/env bash
# Usage: fuzz-reaches.sh TARGET NAMES CORPUS...
# Runs the libFuzzer binary TARGET over its corpus once and fails unless its coverage enters every function
# listed in the file NAMES, one qualified name a line (fuzz/CMakeLists.txt writes these). A library built
# without coverage counters leaves its functions out of the listing, so the target is caught mutating blind.
set -euo pipefail

target=$1
names=$2
shift 2
[ -s "$names" ] || { echo "fuzz-reaches: $names is missing or empty" >&2; exit 1; }

# The listing names functions through the symbolizer; clang's own version serves when the plain name is absent.
if [ -z "${ASAN_SYMBOLIZER_PATH:-}" ] && ! command -v llvm-symbolizer >/dev/null; then
    for s in /usr/bin/llvm-symbolizer-*; do
        [ -x "$s" ] && export ASAN_SYMBOLIZER_PATH=$s
    done
fi

listing=$("$target" -runs=0 -print_coverage=1 "$@" 2>&1) || {
    printf '%s\n' "$listing" | tail -20 >&2
    echo "fuzz-reaches: $(basename "$target") failed on its corpus" >&2
    exit 1
}
# Covered lines read "COVERED_FUNC: hits: H edges: C/E NAME(ARGS) FILE:LINE"; C functions have no ARGS, and
# functions that give a string carry an ABI tag after NAME ("Format[abi:cxx11]()").
covered=$(printf '%s\n' "$listing" | grep '^COVERED_FUNC:' || true)
missing=0
while IFS= read -r name; do
    [ -n "$name" ] || continue
    if ! grep -qF -e " $name(" -e " $name[" -e " $name " <<<"$covered"; then
        echo "fuzz-reaches: $(basename "$target") never reaches $name" >&2
        missing=1
    fi
done <"$names"
[ $missing -eq 0 ] && echo "fuzz-reaches: $(basename "$target") reaches $(grep -c . "$names") named functions"
exit $missing
