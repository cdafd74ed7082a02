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
# The unit's verdict on the command's statuses: a file without a picture (1) is no failure of the service, a
# broken set-up (4: here, a registry that routes nothing) is.
accepted=" 0 $(sed -n 's/^SuccessExitStatus=//p' "$work/tarnel-cache.service") "
printf 'a study without a picture\n' >"$work/folder/plain.qzt"
: >"$work/empty.reg"
verdict() { case "$accepted" in *" $1 "*) echo success ;; *) echo failure ;; esac; }
XDG_CACHE_HOME="$work/cache" "$tarnel" cache --quiet --module "$(dirname "$tarnel")/../lib/libtarnel.so" \
    "$work/folder" >/dev/null 2>&1
nopicture=$?
XDG_CACHE_HOME="$work/cache" TARNEL_REGISTRY="$work/empty.reg" "$tarnel" cache "$work/folder" >/dev/null 2>&1
setup=$?
[ $nopicture -eq 1 ] && [ "$(verdict $nopicture)" = success ] ||
    { echo "FAIL: a file without a picture gave status $nopicture, which the unit takes as $(verdict $nopicture)"; exit 1; }
[ $setup -eq 4 ] && [ "$(verdict $setup)" = failure ] ||
    { echo "FAIL: a broken set-up gave status $setup, which the unit takes as $(verdict $setup)"; exit 1; }
echo "ok the units verify, the service's command runs, and the unit fails on a broken set-up only"
