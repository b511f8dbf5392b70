#!/usr/bin/env bash
# Times two builds of zentrova against each other in one run, on the same
# machine: every kernel of the normal benchmark on one thread, and the wide
# sieve on the CPU, the builds taking turns so that a change of load hits
# both alike. Prints each build's best rate and the ratio new/old.
#
#   bench/compare-builds.sh OLD/zentrova NEW/zentrova [ROUNDS] [P_MAX]
#
# A ratio below 0.97 is a kernel more than 3% slower in the new build.
set -euo pipefail

if [ $# -lt 2 ]; then
  echo "usage: $0 OLD_ZENTROVA NEW_ZENTROVA [ROUNDS (default 3)] [P_MAX (default 2e12)]" >&2
  exit 2
fi
old=$1
new=$2
rounds=${3:-3}
pmax=${4:-2e12}
for bin in "$old" "$new"; do
  if [ ! -x "$bin" ]; then
    echo "$0: $bin is not an executable" >&2
    exit 2
  fi
done

# The rate one run reports, in p per second.
normal_rate() {
  "$1" bench --isa "$2" --threads 1 --p-max "$pmax" 2>&1 |
    sed -n 's/.* \([0-9][0-9]*\) p per second\..*/\1/p' | tail -1
}
wide_rate() {
  "$1" bench --device cpu --threads 1 --exponent 65536 --seconds 5 2>&1 |
    sed -n 's/^\([0-9][0-9]*\) p per second.*/\1/p' | tail -1
}
best() {
  if [ -z "$2" ] || { [ -n "$1" ] && [ "$1" -ge "$2" ]; }; then echo "$1"; else echo "$2"; fi
}

kernels=$("$new" bench --isa list | sed -n 's/^kernel \([a-z0-9]*\) *available$/\1/p')
printf '%-14s %14s %14s %8s\n' "workload" "old p/s" "new p/s" "new/old"
worst=""
for k in $kernels wide-cpu; do
  bo=""
  bn=""
  for ((r = 0; r < rounds; ++r)); do
    if [ "$k" = wide-cpu ]; then
      bo=$(best "$bo" "$(wide_rate "$old")")
      bn=$(best "$bn" "$(wide_rate "$new")")
    else
      bo=$(best "$bo" "$(normal_rate "$old" "$k")")
      bn=$(best "$bn" "$(normal_rate "$new" "$k")")
    fi
  done
  if [ -z "$bo" ] || [ -z "$bn" ]; then
    echo "$0: no rate from a run of $k" >&2
    exit 1
  fi
  ratio=$(awk -v a="$bn" -v b="$bo" 'BEGIN { printf "%.3f", a / b }')
  printf '%-14s %14s %14s %8s\n' "$k" "$bo" "$bn" "$ratio"
  worst=$(awk -v w="${worst:-9}" -v r="$ratio" 'BEGIN { print (r < w ? r : w) }')
done
echo "slowest ratio: $worst (best of $rounds runs each, builds taking turns)"
