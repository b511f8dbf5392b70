#!/usr/bin/env bash
# Runs the fuzz targets built in BUILD (all of them, or those named) for
# SECONDS each, one after the other. Each runs on a working copy of its seed
# corpus and regression inputs, BUILD/fuzz-work/<target>/corpus, which keeps
# what earlier runs found; the committed corpus never changes. The first
# finding stops the run with a non-zero status; libFuzzer keeps the input as
# BUILD/fuzz-work/<target>/crash-* (or leak-, timeout-, oom-).
# Usage: run-fuzzers.sh BUILD SECONDS [target...]
set -euo pipefail

if [ $# -lt 2 ]; then
  echo "usage: $0 BUILD SECONDS [target...]" >&2
  exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
build=$(realpath "$1")
seconds=$2
shift 2
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  # The names: the first word of each pair in FuzzTargets.cmake.
  mapfile -t targets < <(sed -n '/^set(ZENTROVA_FUZZ_TARGETS/,/^)/{s/^  \([a-z_]*\) .*/\1/p}' \
    "$here/FuzzTargets.cmake")
fi

for target in "${targets[@]}"; do
  work=$build/fuzz-work/$target
  mkdir -p "$work/corpus"
  cp -n "$here/corpus/$target"/* "$work/corpus/"
  if [ -d "$here/regressions/$target" ]; then
    for f in "$here/regressions/$target"/*; do
      [ -f "$f" ] && cp -n "$f" "$work/corpus/regression-$(basename "$f")"
    done
  fi
  echo "== fuzz_$target: ${seconds}s on $work/corpus"
  if ! "$build/tests/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=30 \
      -rss_limit_mb=4096 -print_final_stats=1 -artifact_prefix="$work/" "$work/corpus" \
      > "$work/fuzz.log" 2>&1; then
    tail -n 40 "$work/fuzz.log"
    echo "fuzz_$target: finding kept in $work/ (log: $work/fuzz.log)" >&2
    exit 1
  fi
  grep -E '^(Done|stat::number_of_executed_units|stat::average_exec_per_sec)' "$work/fuzz.log" |
    tr '\n' ' '
  echo
done
