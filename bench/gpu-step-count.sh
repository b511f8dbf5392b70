#!/usr/bin/env bash
# The SASS instructions of one wide-walk step of each GPU arithmetic, for an
# NVIDIA architecture, without a card: compiles the kernel files
# (src/gpu/kernels/arith_*.cl) as CUDA device functions with nvcc, a walk of
# 1 and of 33 fully unrolled steps each, and divides the difference of the
# two code sizes by 32 steps and 16 bytes per instruction (every SASS
# instruction from sm_70 on is 16 bytes).
#
# An arithmetic with a path of its own for NVIDIA's OpenCL (inline PTX under
# __NV_CL_C_VERSION) is counted both ways: portable, as every other device
# compiles it, and PTX, with __NV_CL_C_VERSION defined as NVIDIA's OpenCL
# does; one without such a path shows "-" in the PTX columns.
#
#   bench/gpu-step-count.sh [ARCH]     (default sm_90; needs nvcc and readelf)
set -euo pipefail
arch=${1:-sm_90}
root=$(cd "$(dirname "$0")/.." && pwd)
command -v nvcc >/dev/null || { echo "nvcc not found (CUDA toolkit)" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

text_bytes() {  # the .text section of kernel $2 in cubin $1
  local hex
  hex=$(readelf -S -W "$1" 2>/dev/null | sed 's/^ *\[ *[0-9]*\]//' | awk -v k=".text.$2" '$1 == k { print $5 }')
  echo $((16#$hex))
}

# The instructions per product and per walk step of arithmetic file $1,
# compiled with nvcc's further options $2...: "product step", one decimal each.
count() {
  local file=$1 cu=$work/count.cu c=$work/count.cubin mul step
  shift
  {
    echo '#define ulong zk_ulong'; echo '#define uint zk_uint'; echo 'typedef unsigned long long zk_ulong; typedef unsigned int zk_uint;'
    echo '#define ZK_FN __device__ __forceinline__'
    echo '__device__ __forceinline__ ulong mul_hi(ulong a, ulong b) { return __umul64hi(a, b); }'
    echo '__device__ __forceinline__ uint mul_hi(uint a, uint b) { return __umulhi(a, b); }'
    echo '__device__ __forceinline__ double as_double(ulong x) { return __longlong_as_double((long long)x); }'
    echo '__device__ __forceinline__ ulong as_ulong(double x) { return (ulong)__double_as_longlong(x); }'
    cat "$file" "$root/src/gpu/kernels/walk_defaults.cl"
    for s in 1 33; do
      cat <<CU
extern "C" __global__ void mul_$s(const ulong* in, ulong* out) {
  const modulus m = mod_make(in[0], in[1], in[2], in[3]);
  num x = num_make(in[4], in[5]);
  const num w = num_make(in[6], in[7]);
#pragma unroll
  for (int s = 0; s < $s; ++s) x = mod_mul(x, w, m);
  out[0] = num_lo(x); out[1] = num_hi(x);
}
extern "C" __global__ void step_$s(const ulong* in, ulong* out) {
  const modulus m = mod_make(in[0], in[1], in[2], in[3]);
  num x = num_make(in[4], in[5]);
  const fixed w = mod_fixed(num_make(in[6], in[7]), m);
  const window between = window_make(num_make(in[8], 0), num_make(in[9], in[10]));
  uint hits = 0;
#pragma unroll
  for (int s = 0; s < $s; ++s) {
    hits += !window_holds(x, between);
    x = mod_mul_fixed(x, w, m);
  }
  out[0] = num_lo(x) + hits; out[1] = num_hi(x);
}
CU
    done
  } >"$cu"
  # (set -e does not reach into the $(count ...) that runs this)
  rm -f "$c"
  nvcc -arch="$arch" -cubin -O3 "$@" -o "$c" "$cu" || return 1
  mul=$(( $(text_bytes "$c" mul_33) - $(text_bytes "$c" mul_1) ))
  step=$(( $(text_bytes "$c" step_33) - $(text_bytes "$c" step_1) ))
  awk -v m="$mul" -v s="$step" 'BEGIN { printf "%.1f %.1f", m / 16 / 32, s / 16 / 32 }'
}

printf '| arithmetic | p below | per product (a0 search, chains): portable | PTX | per walk step (fixed multiplier, the b Max test): portable | PTX |\n'
printf '|---|---|---|---|---|---|\n'
for file in "$root"/src/gpu/kernels/arith_*.cl; do
  arith=$(basename "$file" .cl)
  arith=${arith#arith_}
  # The bound the file's head states ("... p < 2^62 ...").
  bound=$(grep -o -m1 'p < 2^[0-9]*' "$file" | head -n1 | sed 's/p < //')
  counts=$(count "$file")  # a failed count stops the script here
  read -r mul step <<<"$counts"
  ptxMul=- ptxStep=-
  if grep -q '__NV_CL_C_VERSION' "$file"; then
    counts=$(count "$file" -D__NV_CL_C_VERSION=1)
    read -r ptxMul ptxStep <<<"$counts"
  fi
  printf '| %s | %s | %s | %s | %s | %s |\n' "$arith" "$bound" "$mul" "$ptxMul" "$step" "$ptxStep"
done
