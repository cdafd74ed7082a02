#!/usr/bin/env bash
# Writes the bundled sample files into data/samples/. Run again to bring them back to their made state.
set -eu
cd "$(dirname "$0")/.."
out=data/samples
mkdir -p "$out"

# A study whose data carries no picture.
printf 'QZT study data\nno picture was stored with this study\n' > "$out/plate-plain.qzt"

# A project that names that study.
printf 'PROJECT sample\nSTUDY "plate-plain.qzt"\n' > "$out/project-one.kpv"
