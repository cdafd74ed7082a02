#!/bin/sh
# A study's thumbnail maps no GLib, GIO or gdk-pixbuf in any of its processes: the dynamic loader's own
# account of every object it maps (LD_DEBUG=files), from the command and, through --verbose, its child.
# The module is loaded from its descriptor (/proc/self/fd/N). The same account of an icon fallback must show GLib, or the check could not see it.
# Usage: study-maps-no-glib.sh TARNEL MODULE MAKE_SAMPLES
set -eu
tarnel=$1 module=$2 make_samples=$3
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
"$make_samples" "$dir/samples" >/dev/null
glib='file=[^ ]*lib(glib|gio|gobject|gdk_pixbuf)-2'

mapped() { # FILE: what the loader said while its thumbnail was made
    LD_DEBUG=files "$tarnel" thumbnail --verbose --module "$module" -s 256 "$1" "$dir/out.png" 2>&1 || true
}
fail() { echo "FAIL: $*"; exit 1; }

study=$(mapped "$dir/samples/plate.qzt")
echo "$study" | grep -q 'extractor: .*file=/proc/self/fd/[0-9]* .*dynamically loaded' || fail "the child's loading of the module is not seen"
echo "$study" | grep -q 'more was written' && fail "the child's account was cut short"
[ -s "$dir/out.png" ] || fail "the study gave no picture"
if echo "$study" | grep -E "$glib"; then fail "a study's thumbnail maps GLib"; fi

rm -f "$dir/out.png"
icon=$(mapped "$dir/samples/plate-plain.qzt")
echo "$icon" | grep -Eq "$glib" || fail "the icon fallback's GLib is not seen: the check is blind"
echo "a study maps no GLib; the icon fallback does, and is seen"
