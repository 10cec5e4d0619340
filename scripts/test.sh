#!/usr/bin/env bash
# Builds the project and runs the whole test suite.
#   scripts/test.sh            plain build (warnings are errors)
#   scripts/test.sh --sanitize also a second build with clang under ASan and UBSan, whose
#                              fuzz targets then run for a bounded time (FUZZ_SECONDS each)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
run() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir"
  ctest --test-dir "$dir" --output-on-failure -j2
}
run build -DQV_WERROR=ON
if [ "${1:-}" = "--sanitize" ]; then
  export ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  # clang's warnings differ from gcc's; the plain build is the one held to no warnings.
  run build-asan -DQV_SANITIZE=ON -DQV_FUZZ=ON -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++
  scripts/fuzz.sh build-asan "${FUZZ_SECONDS:-45}"
fi
