#!/usr/bin/env bash
# The kill tests run long: every job kind (normal sieve, wide sieve, pack) is
# killed KILLS times in a row and resumed, for ROUNDS rounds with a fresh seed
# each, stopping at the first failing round. Each round prints its seed; rerun
# it with SEED=<seed> (and the same KILLS).
#
#   scripts/crash-soak.sh                 # 50 kills per job kind, one round
#   KILLS=200 ROUNDS=5 scripts/crash-soak.sh
#   SEED=12345 scripts/crash-soak.sh      # repeat a round
#   FILTER='Crash.Pack*' scripts/crash-soak.sh
#
# BUILD_DIR (default build) is configured and built first; JOBS sets the
# build's parallelism (default: all cores).
set -euo pipefail

cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
KILLS=${KILLS:-50}
ROUNDS=${ROUNDS:-1}
FILTER=${FILTER:-Crash*}
JOBS=${JOBS:-$(nproc 2>/dev/null || echo 2)}

if [[ ! -f "$BUILD_DIR/CMakeCache.txt" ]]; then
  cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release -DZENTROVA_WERROR=ON
fi
cmake --build "$BUILD_DIR" -j "$JOBS" --target zentrova zentrova_tests

for ((round = 1; round <= ROUNDS; round++)); do
  seed=${SEED:-$(od -An -N4 -tu4 /dev/urandom | tr -d ' ')}
  echo "=== round $round/$ROUNDS: seed $seed, $KILLS kills per job kind"
  if ! ZENTROVA_CRASH_SEED=$seed ZENTROVA_CRASH_KILLS=$KILLS \
      "$BUILD_DIR/tests/zentrova_tests" --gtest_filter="$FILTER"; then
    echo "=== round $round failed; repeat it with: SEED=$seed KILLS=$KILLS FILTER='$FILTER' $0"
    exit 1
  fi
done
echo "=== $ROUNDS round(s) of $KILLS kills per job kind passed"
