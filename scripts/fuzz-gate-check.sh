#!/usr/bin/env bash
# Usage: fuzz-gate-check.sh TARGET NAMES
# Shows that the fuzz gate (fuzz-reaches.sh) can fail, on every run of `make fuzz`: it must refuse a library
# object built without coverage counters, and a corpus that reaches nothing, for the same target whose gate
# has just passed.
set -uo pipefail
target=$1
names=$2
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0

printf 'int blind(int x) { return x + 1; }\n' >"$work/blind.c"
cc -O1 -c "$work/blind.c" -o "$work/blind.o" && ar rcs "$work/libblind.a" "$work/blind.o"
echo "$work/libblind.a" >"$work/libraries"
if out=$("$here/fuzz-reaches.sh" "$target" "$names" "$work/libraries" /dev/null 2>&1) ||
    ! grep -q "without coverage counters" <<<"$out"; then
    echo "fuzz-gate-check: the gate took a library built without coverage counters" >&2
    failed=1
fi

mkdir "$work/empty"
: >"$work/none"
if out=$("$here/fuzz-reaches.sh" "$target" "$names" "$work/none" "$work/empty" 2>&1) ||
    ! grep -Eq "never reaches|less than its" <<<"$out"; then
    echo "fuzz-gate-check: the gate took a corpus that reaches nothing" >&2
    failed=1
fi
[ $failed -eq 0 ] && echo "fuzz-gate-check: the gate refuses a blind library and an empty corpus"
exit $failed
