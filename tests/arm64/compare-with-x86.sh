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

failures=0
row() {  # job, result, note
  printf '| %-40s | %-9s | %s |\n' "$1" "$2" "$3"
  [ "$2" = "identical" ] || [ "$2" = "ok" ] || failures=$((failures + 1))
}

# The file without the factor header's time of writing.
normalised() {
  sed -E '1s/( : )[A-Z][a-z]+ [0-9]{2}, [0-9]{4}  [0-9:]{8}\.$/\1TIME./' "$1"
}

# Runs one job in both programs, each in a folder of its own (a/ and x/,
# prepared alike by setup), and compares the named files.
compare() {  # name, setup, args, files...
  local name=$1 setup=$2 args=$3
  shift 3
  rm -rf "$work/a" "$work/x"
  mkdir -p "$work/a" "$work/x"
  (cd "$work/a" && eval "$setup") && (cd "$work/x" && eval "$setup")
  (cd "$work/a" && eval "$armrun $args" > out.log 2>&1)
  local arc=$?
  (cd "$work/x" && eval "'$x86' $args" > out.log 2>&1)
  local xrc=$?
  if [ $arc -ne $xrc ]; then
    row "$name" "DIFFERENT" "exit $arc (arm64) against $xrc (x86-64); see $work/a/out.log"
    return
  fi
  for f in "$@"; do
    if [ ! -f "$work/a/$f" ] || [ ! -f "$work/x/$f" ] ||
       ! cmp -s <(normalised "$work/a/$f") <(normalised "$work/x/$f"); then
      row "$name" "DIFFERENT" "$f"
      cp -r "$work/a" "$work/failed-$failures-arm64" && cp -r "$work/x" "$work/failed-$failures-x86"
      return
    fi
  done
  local bytes
  bytes=$(cd "$work/x" && cat "$@" | wc -c)
  row "$name" "identical" "$* ($bytes bytes, exit $xrc)"
}

echo "| job | files | what was compared |"
echo "|---|---|---|"

N16="--exponent 65536 --bmin 1200000 --bmax 1201998"
compare "new, normal mode" "" \
  "new $N16 --p-max 2e10 --factors-out f.txt --sieve-out c.txt" f.txt c.txt
# Resumes start from the x86-64 run's files, the same in both folders.
base="'$x86' new $N16 --p-max 2e10 --factors-out f0.txt --sieve-out c0.txt > /dev/null 2>&1"
compare "resume, normal mode" "$base" \
  "resume --factors-in f0.txt --sieve-in c0.txt --factors-out f.txt --sieve-out c.txt --p-max 4e10" \
  f.txt c.txt
compare "resume in place, normal mode, 1 thread" "$base" \
  "resume --factors-in f0.txt --sieve-in c0.txt --factors-out f0.txt --sieve-out c0.txt --p-max 4e10 --threads 1 --force" \
  f0.txt c0.txt
# Above 2^62 the two-word arithmetic (unsigned __int128 on both).
compare "new, normal mode, p from 1e19 (two words)" "" \
  "new $N16 --p-min 1e19 --p-max 10000000000300000000 --factors-out f.txt --sieve-out c.txt" \
  f.txt c.txt
WIDE="--wide --exponent 16 --bmin 2 --bmax 100000"
compare "new, wide mode, N = 16" "" \
  "new $WIDE --p-max 1e8 --factors-out f.txt --sieve-out c.txt" f.txt c.txt
wbase="'$x86' new $WIDE --p-max 1e8 --factors-out f0.txt --sieve-out c0.txt > /dev/null 2>&1"
compare "resume, wide mode, N = 16" "$wbase" \
  "resume --wide --factors-in f0.txt --sieve-in c0.txt --factors-out f0.txt --sieve-out c.txt --p-max 2e8 --force" \
  f0.txt c.txt
# From N = 32 on, stages of 32 roots (the vector walk's order on x86-64).
compare "new, wide mode, N = 1024" "" \
  "new --wide --exponent 1024 --bmin 2 --bmax 200000 --p-max 1e8 --factors-out f.txt --sieve-out c.txt" \
  f.txt c.txt
compare "pack (packed K files)" "mkdir pk" \
  "pack --dir pk --exponent 65536 --p-max 3e10" pk/ln16pi00000.pkk
pbase="mkdir pk && '$x86' pack --dir pk --exponent 65536 --p-max 3e10 > /dev/null 2>&1"
compare "new --packed-dir" "$pbase" \
  "new $N16 --packed-dir pk --factors-out f.txt --sieve-out c.txt" f.txt c.txt
slices="'$x86' new $N16 --p-max 1e10 --factors-out f1.txt --sieve-out c1.txt > /dev/null 2>&1 &&
  '$x86' new $N16 --p-min 10000000001 --p-max 3e10 --factors-out f2.txt --sieve-out c2.txt > /dev/null 2>&1"
compare "merge of two slices" "$slices" \
  "merge --factors-in f1.txt --sieve-in c1.txt --p-min 1 --factors-in f2.txt --sieve-in c2.txt --p-min 10000000001 --factors-out f.txt --sieve-out c.txt" \
  f.txt c.txt
compare "report with a tester's log" "$base && cp '$data/genefer.log' tester.log" \
  "report --factors-in f0.txt --proth-log tester.log --report report.txt" report.txt
compare "rebuild from a factor file" "$base" \
  "rebuild --factors-in f0.txt --factors-out f.txt --sieve-out c.txt $N16" f.txt c.txt
compare "tbf (to be factored)" "$base" \
  "tbf --sieve-in c0.txt --sieve-out t.txt $N16" t.txt

# What the arm64 program says it runs: the portable kernels, no x86 level.
list=$(eval "$armrun bench --isa list" 2>&1)
if grep -qx "kernel scalar  available" <<< "$list" && grep -qx "auto selects: scalar" <<< "$list" &&
   ! grep -E "^kernel (avx2|avx512) +available" <<< "$list" > /dev/null; then
  row "bench --isa list" "ok" "$(grep -m1 '^processor' <<< "$list"); auto selects scalar"
else
  row "bench --isa list" "FAILED" "$(tr '\n' ';' <<< "$list")"
fi

echo
if [ $failures -ne 0 ]; then
  echo "$failures row(s) failed; the files are in $work"
  exit 1
fi
echo "every row passed"
