#!/usr/bin/env bash
# Builds the benchmark, generates N cases (default 10^7) and measures reading alone against the
# full-factorial Type III analysis. Usage: bench/run.sh [N]
set -euo pipefail
cd "$(dirname "$0")/.."
n=${1:-10000000}
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-bench --target qvbench >/dev/null
file=build-bench/bench_$n.csv
[ -f "$file" ] || ./build-bench/qvbench generate "$n" "$file"
./build-bench/qvbench read "$file"
./build-bench/qvbench analyse "$file"
