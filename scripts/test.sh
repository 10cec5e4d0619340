#!/usr/bin/env bash
# Builds the project and runs the whole test suite.
#   scripts/test.sh            plain build (warnings are errors)
#   scripts/test.sh --sanitize also a second build under ASan and UBSan
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
run() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DQV_WERROR=ON "$@" >/dev/null
  cmake --build "$dir"
  ctest --test-dir "$dir" --output-on-failure -j2
}
run build
if [ "${1:-}" = "--sanitize" ]; then
  ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 run build-asan -DQV_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
fi
