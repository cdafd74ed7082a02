#!/usr/bin/env bash
# The Debian packages as a maintainer checks them: built with CPack, every .deb passes lintian without an
# error or a warning, the command and libraries are stripped with their symbols in -dbgsym packages, the
# manual page renders, and bash completes `tarnel th` to `thumbnail`. Needs no root: nothing is installed.
# Usage: debian-lint.sh BUILD_DIR. Exit 77 (skipped) where its tools are missing.
set -u
build=$1
here=$(cd "$(dirname "$0")" && pwd)

. "$here/common.sh"
fail() { echo "FAIL: $*"; exit 1; }
command -v cpack >/dev/null && command -v dpkg-shlibdeps >/dev/null || skip "needs cpack and dpkg-dev"
command -v lintian >/dev/null || skip "needs lintian (scripts/install-deps.sh installs it)"

work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT
(cd "$build" && cpack -G DEB -B "$work/package" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack"; }
ls "$work"/package/tarnel_*.deb >/dev/null 2>&1 || fail "cpack made no tarnel package"
ls "$work"/package/tarnel-dbgsym_*.ddeb >/dev/null 2>&1 || fail "cpack made no -dbgsym package"

status=0
for deb in "$work"/package/*.deb; do
    # Overrides are read from the package itself; pedantic and informational tags are not asked for.
    lintian --fail-on error,warning "$deb" >"$work/lintian.log" 2>&1 || {
        cat "$work/lintian.log"
        echo "FAIL: lintian finds fault with $(basename "$deb")"
        status=1
    }
    grep -E '^[EW]: ' "$work/lintian.log" && status=1
    dpkg-deb -x "$deb" "$work/root"
done

man -l "$work/root/usr/share/man/man1/tarnel.1.gz" 2>"$work/man.err" | grep -q thumbnail ||
    { cat "$work/man.err"; echo "FAIL: the manual page does not render"; status=1; }
[ -s "$work/man.err" ] && { cat "$work/man.err"; echo "FAIL: man warns about the page"; status=1; }
completion=$(bash -c '. "$1"; COMP_WORDS=(tarnel th); COMP_CWORD=1; _tarnel; echo "${COMPREPLY[*]}"' _ \
    "$work/root/usr/share/bash-completion/completions/tarnel")
[ "$completion" = thumbnail ] || { echo "FAIL: 'tarnel th' completes to '$completion'"; status=1; }
completion=$(bash -c '. "$1"; COMP_WORDS=(tarnel thumbnail --ti); COMP_CWORD=2; _tarnel; echo "${COMPREPLY[*]}"' _ \
    "$work/root/usr/share/bash-completion/completions/tarnel")
[ "$completion" = --timeout ] || { echo "FAIL: 'tarnel thumbnail --ti' completes to '$completion'"; status=1; }

[ $status = 0 ] && echo "ok the packages pass lintian; the manual page renders and bash completes"
exit $status
