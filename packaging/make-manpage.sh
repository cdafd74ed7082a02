#!/bin/sh
# Writes tarnel(1), gzip-compressed, from the command's help text with help2man: `tarnel --help` and
# `--version` for the page, and every command's own `tarnel COMMAND --help` as a section of its own.
# Usage: make-manpage.sh HELP2MAN TARNEL OUTPUT.gz
set -eu
help2man=$1 tarnel=$2 output=$3
include=$(mktemp) page=$(mktemp)
trap 'rm -f "$include" "$page"' EXIT
{
    echo "[COMMANDS]"
    for command in $("$tarnel" --help | sed -n '/^commands:/,/^$/s/^  \([a-z][-a-z]*\).*/\1/p' | uniq); do
        echo ".SS $command"
        echo ".nf"
        "$tarnel" "$command" --help 2>&1 | sed 's/\\/\\e/g; s/^\./\\\&./'
        echo ".fi"
    done
} >"$include"
"$help2man" --no-info --section 1 --name "thumbnails of an analysis suite's studies, projects and meshes" \
    --include "$include" --output "$page" "$tarnel"
gzip -9n <"$page" >"$output"
