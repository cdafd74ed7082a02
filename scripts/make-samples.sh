#!/usr/bin/env bash
# Writes the bundled sample files into data/samples/ with the project's sample maker.
set -eu
cd "$(dirname "$0")/.."
maker=${1:-build/bin/make_samples}
"$maker" data/samples
