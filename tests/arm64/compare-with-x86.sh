#!/usr/bin/env bash
# Runs the arm64 zentrova (under qemu-aarch64, or directly on an ARM machine)
# and the x86-64 zentrova on the same jobs and compares the files they write
# byte for byte (the factor file's time of writing aside). The arm64 program
# runs the portable kernels and the x86-64 one its best vector kernels, so a
# row that matches shows that both the port and the kernels agree.
#
#   tests/arm64/compare-with-x86.sh ARM64_BINARY X86_BINARY [WORK_FOLDER]
#
# Prints a table, one row per job, and exits 1 when any row fails. The jobs
# are kept small: under emulation the arm64 program is many times slower, and
# its timings say nothing about an ARM processor.
set -uo pipefail

arm=$(realpath "$1")
x86=$(realpath "$2")
work=${3:-$(mktemp -d /tmp/zentrova-arm64-XXXXXX)}
mkdir -p "$work"
work=$(realpath "$work")
data=$(realpath "$(dirname "$0")/../data")
if [ "$(uname -m)" = aarch64 ]; then
  armrun="'$arm'"
else
  # The loader and the C library of the cross C library, as in ctest
  # (cmake/aarch64-linux-gnu.cmake says why both).
  armrun="qemu-aarch64 -L /usr/aarch64-linux-gnu -E LD_LIBRARY_PATH=/usr/aarch64-linux-gnu/lib '$arm'"
fi

port_name=arm64
reference_name=x86-64
port=$armrun
reference="'$x86'"
WIDE="--wide --exponent 16 --bmin 2 --bmax 100000"
wide_pmax=1e8
wide_resume_pmax=2e8
source "$(dirname "$0")/../compare-jobs.sh"

compare_common_jobs
# Above 2^62 the two-word arithmetic (unsigned __int128 on both).
compare "new, normal mode, p from 1e19 (two words)" "" \
  "new $N16 --p-min 1e19 --p-max 10000000000300000000 --factors-out f.txt --sieve-out c.txt" \
  f.txt c.txt
# From N = 32 on, stages of 32 roots (the vector walk's order on x86-64).
compare "new, wide mode, N = 1024" "" \
  "new --wide --exponent 1024 --bmin 2 --bmax 200000 --p-max 1e8 --factors-out f.txt --sieve-out c.txt" \
  f.txt c.txt
# What the arm64 program says it runs: the portable kernels, no x86 level.
list=$(eval "$armrun bench --isa list" 2>&1)
if grep -qx "kernel scalar  available" <<< "$list" && grep -qx "auto selects: scalar" <<< "$list" &&
   ! grep -E "^kernel (avx2|avx512) +available" <<< "$list" > /dev/null; then
  row "bench --isa list" "ok" "$(grep -m1 '^processor' <<< "$list"); auto selects scalar"
else
  row "bench --isa list" "FAILED" "$(tr '\n' ';' <<< "$list")"
fi

finish
