#!/usr/bin/env bash
# Builds the program and runs it on the bundled example: a fertiliser x irrigation field trial
# with soil nitrate as a covariate. Extra arguments go to the program (e.g. --format json).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh >&2
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target quorvest >&2
exec ./build/quorvest examples/yield.qv --data examples/yield.csv --dictionary examples/dictionary.json "$@"
