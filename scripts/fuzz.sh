#!/usr/bin/env bash
# Runs each fuzz target of a QV_FUZZ build for a bounded time, starting from the seed corpus
# under test/fuzz/corpus/. New inputs go to a scratch folder; an input that crashes a target is
# kept under fuzz-crashes/ (add it to the corpus and a regression test).
#   scripts/fuzz.sh BUILD_DIR [SECONDS_PER_TARGET]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:?build directory}
seconds=${2:-45}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p fuzz-crashes
status=0
for target in command csv dictionary; do
  mkdir -p "$scratch/$target"
  echo "fuzzing $target for ${seconds}s"
  if ! "$build/fuzz_$target" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -max_len=4096 \
      -print_final_stats=1 -artifact_prefix="fuzz-crashes/$target-" \
      "$scratch/$target" "test/fuzz/corpus/$target" 2>"$scratch/$target.log"; then
    tail -n 60 "$scratch/$target.log"
    status=1
  else
    grep -E "^stat::number_of_executed_units|^Done" "$scratch/$target.log" || true
  fi
done
exit $status
