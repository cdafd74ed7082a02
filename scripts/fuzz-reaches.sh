#!/usr/bin/env bash
# Usage: fuzz-reaches.sh TARGET NAMES LIBRARIES CORPUS...
# The gate of a fuzz target, which must be able to fail:
# - every library file listed in LIBRARIES (one path a line; fuzz/CMakeLists.txt writes the target's LINK
#   libraries there) carries coverage counters in each of its objects: a reader built blind is one libFuzzer
#   cannot see into, however long it runs;
# - run once over CORPUS (the committed seeds: the verdict never depends on a run's length or on a corpus
#   left from earlier runs), the target covers at least the stated share of the edges of every function in
#   NAMES, one "qualified-name share" a line (share in percent, 1 when none is given): a parser starved by a
#   fault covers far less of itself than the seeds made it cover, though it is still entered.
set -euo pipefail

target=$1
names=$2
libraries=$3
shift 3
[ -s "$names" ] || { echo "fuzz-reaches: $names is missing or empty" >&2; exit 1; }
name=$(basename "$target")
failed=0

# Coverage counters, object by object: objdump names each member of an archive before its sections. The
# shared libraries of the build that the target loads are looked at too.
build=$(cd "$(dirname "$target")/.." && pwd)
loaded=$(ldd "$target" 2>/dev/null | awk -v b="$build/" 'index($3, b) == 1 { print $3 }')
while IFS= read -r library; do
    [ -n "$library" ] || continue
    # An object with code of its own (a .text section that is not empty and not the sanitizers') must carry
    # counters; one of data alone has none.
    blind=$(objdump -h "$library" 2>/dev/null | awk '
        function judge() { if (member != "" && code && !counted) print member }
        / file format / { judge(); member = $1; code = 0; counted = 0 }
        $2 ~ /^\.text/ && $2 !~ /^\.text\.(asan|ubsan|sancov)/ && $3 !~ /^0+$/ { code = 1 }
        /__sancov_cntrs/ { counted = 1 }
        END { judge() }')
    if [ -n "$blind" ]; then
        echo "fuzz-reaches: $name: $(basename "$library") has objects without coverage counters: $(echo $blind)" >&2
        failed=1
    fi
done < <(cat "$libraries"; printf '%s\n' "$loaded")

# The listing names functions through the symbolizer; clang's own version serves when the plain name is absent.
if [ -z "${ASAN_SYMBOLIZER_PATH:-}" ] && ! command -v llvm-symbolizer >/dev/null; then
    for s in /usr/bin/llvm-symbolizer-*; do
        [ -x "$s" ] && export ASAN_SYMBOLIZER_PATH=$s
    done
fi
listing=$("$target" -runs=0 -print_coverage=1 "$@" 2>&1) || {
    printf '%s\n' "$listing" | tail -20 >&2
    echo "fuzz-reaches: $name failed on its corpus" >&2
    exit 1
}
# Covered lines read "COVERED_FUNC: hits: H edges: C/E NAME(ARGS) FILE:LINE"; C functions have no ARGS, and
# functions that give a string carry an ABI tag after NAME ("Format[abi:cxx11]()").
covered=$(printf '%s\n' "$listing" | grep '^COVERED_FUNC:' || true)
count=0
while read -r function share; do
    [ -n "$function" ] || continue
    share=${share:-1}
    count=$((count + 1))
    edges=$(grep -F -e " $function(" -e " $function[" -e " $function " <<<"$covered" | head -1 |
            sed -n 's/.* edges: \([0-9]*\/[0-9]*\) .*/\1/p')
    if [ -z "$edges" ]; then
        echo "fuzz-reaches: $name never reaches $function" >&2
        failed=1
        continue
    fi
    got=$(( ${edges%/*} * 100 / ${edges#*/} ))
    if [ "$got" -lt "$share" ]; then
        echo "fuzz-reaches: $name covers $got% of $function's edges ($edges), less than its $share%" >&2
        failed=1
    fi
done <"$names"
[ $failed -eq 0 ] && echo "fuzz-reaches: $name covers each of its $count named functions as far as stated"
exit $failed
