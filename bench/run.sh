#!/usr/bin/env bash
# Builds the benchmark, generates N cases (default 10^7) and measures reading alone against the
# full-factorial Type III analysis, on one thread and on the default number (the cores); then, where
# MPI is built, the whole program as one process and as two MPI processes.
# Usage: bench/run.sh [N]
# bench/run.sh emmeans [N]: the marginal means of a 40 x 50 table with all their comparisons
# (N cases, default 10 000).
# bench/run.sh large: the large designs: eight two-level factors on 40 cases (full factorial);
# one factor with 2 000 levels on 4 000 cases and with 50 000 levels on 10^6 cases (full
# output); one factor with 500 levels on 1 000 cases with all pairwise comparisons of the
# marginal means and two post hoc tests (249 500 comparison rows each; 2 000 levels do not fit
# in memory yet); factors of 40 and 50 levels with their interaction on 3 000 cases and of 200
# and 300 levels on 10^6 cases (Type III).
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
if [ "${1:-}" = large ]; then
  b=./build-bench/qvbench
  d=build-bench
  [ -f $d/large_f8.csv ] || $b generate-factorial8 $d/large_f8.csv
  [ -f $d/large_g2000.csv ] || $b generate-oneway 2000 4000 $d/large_g2000.csv
  [ -f $d/large_g500.csv ] || $b generate-oneway 500 1000 $d/large_g500.csv
  [ -f $d/large_g50000.csv ] || $b generate-oneway 50000 1000000 $d/large_g50000.csv
  [ -f $d/large_ab.csv ] || $b generate-twoway 1000000 $d/large_ab.csv
  [ -f $d/large_wide.csv ] || $b generate-wide 3000 $d/large_wide.csv
  $b large factorial8 $d/large_f8.csv
  $b large oneway $d/large_g2000.csv
  $b large comparisons $d/large_g500.csv
  $b large oneway $d/large_g50000.csv || true
  $b large wide $d/large_wide.csv
  $b large twoway $d/large_ab.csv || true
  exit 0
fi
n=${1:-10000000}
file=build-bench/bench_$n.csv
[ -f "$file" ] || ./build-bench/qvbench generate "$n" "$file"
# The read alone and the analysis on one and on two threads, alternately in ROUNDS rounds (default
# 5: a shared virtual machine varies by a third from run to run), then the medians and the ratios
# the targets are stated in.
rounds=${ROUNDS:-5}
log=$(mktemp)
for ((i = 0; i < rounds; ++i)); do
  for run in "read 1" "read 2" "analyse 1" "analyse 2"; do
    set -- $run
    line=$(./build-bench/qvbench "$1" "$file" "$2")
    echo "$line threads=$2"
    echo "$1$2 $line" >>"$log"
  done
done
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
awk '
  { for (i = 2; i <= NF; ++i) { split($i, kv, "="); v[$1, kv[1], ++n[$1, kv[1]]] = kv[2] } }
  function median(run, key,   m, i, j, t, a) {
    m = n[run, key]
    for (i = 1; i <= m; ++i) a[i] = v[run, key, i]
    for (i = 2; i <= m; ++i) for (j = i; j > 1 && a[j - 1] > a[j]; --j) { t = a[j]; a[j] = a[j - 1]; a[j - 1] = t }
    return m % 2 ? a[(m + 1) / 2] : (a[m / 2] + a[m / 2 + 1]) / 2
  }
  END {
    printf "medians of %d rounds: read 1 thread %.3f CPU s; analysis 1 thread %.3f s wall, %.3f CPU s, %.1f MiB; 2 threads %.3f s wall, %.1f MiB\n",
      n["analyse1", "seconds"], median("read1", "cpu_seconds"), median("analyse1", "seconds"),
      median("analyse1", "cpu_seconds"), median("analyse1", "peak_rss_mib"), median("analyse2", "seconds"),
      median("analyse2", "peak_rss_mib")
    printf "analysis / read (CPU, 1 thread): %.2f (target 1.5); 2 threads / 1 thread (wall): %.2f (target 0.6)\n",
      median("analyse1", "cpu_seconds") / median("read1", "cpu_seconds"),
      median("analyse2", "seconds") / median("analyse1", "seconds")
  }' "$log"
rm -f "$log"
# The whole program as one process on two threads and, where MPI is built, as two MPI processes of
# one thread each; both outputs must be the same to the byte.
if command -v mpirun >/dev/null && cmake --build build-bench -j2 --target quorvest quorvest-mpi >/dev/null 2>&1; then
  cmd="QUORVEST y BY a b c WITH x /METHOD=SSTYPE(3)."
  root=(); [ "$(id -u)" = 0 ] && root=(--allow-run-as-root)
  out=$(mktemp -d)
  /usr/bin/time -f "program one process, 2 threads: %e s wall, %U+%S CPU s, %M KiB" \
    ./build-bench/quorvest -e "$cmd" --data "$file" --threads 2 --format json -o "$out/one.json"
  /usr/bin/time -f "program mpirun -np 2, 1 thread each: %e s wall, %U+%S CPU s (mpirun's own process: %M KiB)" \
    mpirun -q "${root[@]}" --oversubscribe --bind-to none -np 2 ./build-bench/quorvest-mpi -e "$cmd" \
    --data "$file" --threads 1 --format json -o "$out/mpi.json"
  cmp -s "$out/one.json" "$out/mpi.json" && echo "outputs identical" || echo "OUTPUTS DIFFER"
  rm -rf "$out"
fi
