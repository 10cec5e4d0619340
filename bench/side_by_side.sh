#!/usr/bin/env bash
# Runs quorvest and, where installed, R's data.table::fread (reading only) and the R pipeline
# (lm + car::Anova + emmeans) on the same generated file, and prints CPU seconds, peak memory
# and the ratios to quorvest, then the cost of number conversion alone (ours and std::from_chars).
# Usage: bench/side_by_side.sh [N]   (default 10^7 cases)
set -euo pipefail
cd "$(dirname "$0")/.."
n=${1:-10000000}
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-bench -j2 --target qvbench quorvest >/dev/null
file=build-bench/bench_$n.csv
[ -f "$file" ] || ./build-bench/qvbench generate "$n" "$file"

# CPU seconds (user + system) and peak resident MiB of a command.
measure() {
  local t
  t=$(mktemp)
  /usr/bin/time -o "$t" -f "%U %S %M" "$@" >/dev/null 2>&1 || true
  awk '{ printf "%.2f %.0f\n", $1 + $2, $3 / 1024 }' "$t"
  rm -f "$t"
}

read -r q_cpu q_mib < <(measure ./build-bench/quorvest -e "QUORVEST y BY a b c WITH x." --data "$file")
read -r r_cpu r_mib < <(measure ./build-bench/qvbench read "$file")
printf "%-36s %10s %10s %8s\n" run cpu_s peak_mib ratio
printf "%-36s %10s %10s %8s\n" "quorvest y BY a b c WITH x" "$q_cpu" "$q_mib" 1.00
printf "%-36s %10s %10s %8.2f\n" "quorvest read only" "$r_cpu" "$r_mib" "$(echo "$r_cpu / $q_cpu" | bc -l)"
printf "whole analysis / read only: %.2f\n" "$(echo "$q_cpu / $r_cpu" | bc -l)"
if command -v Rscript >/dev/null && Rscript -e 'library(data.table)' >/dev/null 2>&1; then
  read -r f_cpu f_mib < <(measure Rscript -e "invisible(data.table::fread('$file'))")
  printf "%-36s %10s %10s %8.2f\n" "R data.table::fread" "$f_cpu" "$f_mib" "$(echo "$f_cpu / $q_cpu" | bc -l)"
else
  echo "R data.table::fread: not installed"
fi
if command -v Rscript >/dev/null && Rscript -e 'library(car); library(emmeans)' >/dev/null 2>&1; then
  read -r p_cpu p_mib < <(measure Rscript -e "d <- read.csv('$file'); for (v in c('a','b','c')) d[[v]] <- factor(d[[v]]);
    options(contrasts = c('contr.sum', 'contr.poly')); m <- lm(y ~ a*b*c + x, d); print(car::Anova(m, type = 3));
    print(emmeans::emmeans(m, ~ a))")
  printf "%-36s %10s %10s %8.2f\n" "R lm + car::Anova + emmeans" "$p_cpu" "$p_mib" "$(echo "$p_cpu / $q_cpu" | bc -l)"
else
  echo "R lm + car::Anova + emmeans: not installed"
fi
./build-bench/qvbench numbers "$file"
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
