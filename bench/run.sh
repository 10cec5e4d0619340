#!/usr/bin/env bash
# Builds the benchmark, generates N cases (default 10^7) and measures reading alone against the
# full-factorial Type III analysis, on one thread and on the default number (the cores).
# Usage: bench/run.sh [N]
# bench/run.sh emmeans [N]: the marginal means of a 40 x 50 table with all their comparisons
# (N cases, default 10 000).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-bench -j2 --target qvbench >/dev/null
if [ "${1:-}" = emmeans ]; then
  n=${2:-10000}
  file=build-bench/bench_wide_$n.csv
  [ -f "$file" ] || ./build-bench/qvbench generate-wide "$n" "$file"
  ./build-bench/qvbench emmeans "$file"
  exit 0
fi
n=${1:-10000000}
file=build-bench/bench_$n.csv
[ -f "$file" ] || ./build-bench/qvbench generate "$n" "$file"
./build-bench/qvbench read "$file" 1
./build-bench/qvbench read "$file"
./build-bench/qvbench analyse "$file" 1
./build-bench/qvbench analyse "$file"
