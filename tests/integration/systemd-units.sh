#!/usr/bin/env bash
# The systemd user units that keep the thumbnail cache current, as `cmake --install` writes them, checked by
# systemd's own verifier: any complaint fails the test. Exit 77 (skipped) where systemd is not installed.
# Usage: systemd-units.sh SOURCE_DIR TARNEL
set -u
source=$1 tarnel=$2
command -v systemd-analyze >/dev/null || { echo "SKIPPED: needs systemd-analyze"; exit 77; }
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT
sed "s|@TARNEL@|$tarnel|" "$source/data/tarnel-cache.service" >"$work/tarnel-cache.service"
cp "$source/data/tarnel-cache.timer" "$work/"
out=$(XDG_RUNTIME_DIR="$work" systemd-analyze --user verify "$work/tarnel-cache.service" "$work/tarnel-cache.timer" 2>&1)
status=$?
[ $status -eq 0 ] && [ -z "$out" ] || { echo "FAIL: $out"; exit 1; }
# What the service runs: the list of folders, read by the command.
mkdir -p "$work/config/tarnel" "$work/folder"
printf '# folders\n%s\n' "$work/folder" >"$work/config/tarnel/cache-folders"
XDG_CACHE_HOME="$work/cache" "$tarnel" cache --list "$work/config/tarnel/cache-folders" >/dev/null ||
    { echo "FAIL: tarnel cache --list"; exit 1; }
echo "ok the units verify and the service's command runs"
