#!/usr/bin/env bash
# Runs zentrova.exe under Wine and the Linux zentrova on the same jobs and
# compares the files they write byte for byte (the factor file's time of
# writing aside), then checks what only a live run shows: a run killed with
# kill -9 resumes to the files of an uninterrupted one, a second run on the
# same output is refused, Ctrl-C ends a run with its final save, and a folder
# named outside ASCII works.
#
#   tests/windows/compare-with-linux.sh WINDOWS_EXE LINUX_BINARY [WORK_FOLDER]
#
# Prints a table, one row per job, and exits 1 when any row fails.
set -uo pipefail

exe=$(realpath "$1")
linux=$(realpath "$2")
work=${3:-$(mktemp -d /tmp/zentrova-windows-XXXXXX)}
mkdir -p "$work"
work=$(realpath "$work")
data=$(realpath "$(dirname "$0")/../data")
export WINEDEBUG=-all
export WINEPREFIX=${WINEPREFIX:-$work/wineprefix}
wine wineboot -i > /dev/null 2>&1 || true

port_name=Windows
reference_name=Linux
port="wine '$exe'"
reference="'$linux'"
WIDE="--wide --exponent 16 --bmin 2 --bmax 400000"
wide_pmax=3e8
wide_resume_pmax=9e8
source "$(dirname "$0")/../compare-jobs.sh"

compare_common_jobs
# Each vector kernel forced (32- and 64-byte vectors on a stack Windows
# aligns to 16 bytes only), against the Linux program's own choice.
for isa in avx2 avx512 scalar; do
  compare "new, normal mode, --isa $isa" "" \
    "new $N16 --p-max 2e10 --isa $isa --factors-out f.txt --sieve-out c.txt" f.txt c.txt
  compare "new, wide mode, --isa $isa" "" \
    "new $WIDE --p-max 3e8 --isa $isa --factors-out f.txt --sieve-out c.txt" f.txt c.txt
done
compare "new on --device opencl:0 (PoCL)" "" \
  "new --exponent 1024 --bmin 2 --bmax 2000 --p-max 2e8 --device opencl:0 --factors-out f.txt --sieve-out c.txt" \
  f.txt c.txt
if (cd "$work/p" && wine "$exe" bench --p-max 3e11 > bench.log 2>&1); then
  row "bench" "ok" "$(grep -m1 -o '[0-9]* p per second' "$work/p/bench.log" || echo ran)"
else
  row "bench" "FAILED" "see $work/p/bench.log"
fi

# A run killed with kill -9 in the middle of its saves resumes to the files
# of the run that was never interrupted.
rm -rf "$work/k" && mkdir -p "$work/k" && cd "$work/k"
"$linux" new $N16 --p-max 4e13 --factors-out fu.txt --sieve-out cu.txt > /dev/null 2>&1
# (Saved at every status line, each 5 s.)
wine "$exe" new $N16 --p-max 4e13 --save-minutes 0 --factors-out f.txt --sieve-out c.txt \
  > run.log 2>&1 &
# Killed once a save has been written (a loaded machine starts Wine slowly).
for _ in $(seq 120); do
  grep -q "p value written" run.log 2> /dev/null && break
  sleep 0.5
done
sleep 1
pkill -9 -f 'zentrova.exe new'
wait 2> /dev/null
depth=$(head -1 c.txt 2> /dev/null | sed 's/.*\/\/ //')
wine "$exe" resume --factors-in f.txt --sieve-in c.txt --factors-out f.txt --sieve-out c.txt --force \
  --p-max 4e13 > resume.log 2>&1
if [ -n "$depth" ] && grep -q "p value written" run.log && ! grep -q "Reached the p limit" run.log &&
   cmp -s <(normalised f.txt) <(normalised fu.txt) && cmp -s c.txt cu.txt; then
  row "kill -9 mid-run, then resume" "identical" "killed at depth ${depth:-none}; files of the uninterrupted run"
else
  row "kill -9 mid-run, then resume" "DIFFERENT" "see $work/k"
fi

# Two runs on one output: the second is refused while the first runs; Ctrl-C
# (SIGINT to the Wine process) ends the first with its final save.
rm -rf "$work/lock" && mkdir -p "$work/lock" && cd "$work/lock"
wine "$exe" new $N16 --factors-out f.txt --sieve-out c.txt > first.log 2>&1 &
first=$!
sleep 6
wine "$exe" new $N16 --factors-out f.txt --sieve-out c.txt --force > second.log 2>&1
second=$?
if [ $second -ne 0 ] && grep -q "in use by another run" second.log; then
  row "a second run on the same output" "ok" "refused, exit $second"
else
  row "a second run on the same output" "FAILED" "exit $second; see $work/lock"
fi
kill -INT "$(pgrep -f 'zentrova.exe new' | head -1)" 2> /dev/null
wait $first
firstrc=$?
if [ $firstrc -eq 0 ] && grep -q "Stop request received" first.log && grep -q "written to c.txt" first.log &&
   "$linux" resume --factors-in f.txt --sieve-in c.txt --factors-out f2.txt --sieve-out c2.txt \
     --p-max 1 > check.log 2>&1; then
  row "Ctrl-C ends a run with its final save" "ok" "exit 0, saved at $(head -1 c.txt | sed 's/.*\/\/ //')"
else
  row "Ctrl-C ends a run with its final save" "FAILED" "exit $firstrc; see $work/lock"
fi

# A folder named outside ASCII.
folder="$work/Prüfung/素数"
rm -rf "$work/Prüfung" && mkdir -p "$folder" && cd "$folder"
wine "$exe" new $N16 --p-max 2e10 --factors-out "Faktoren-因子.txt" --sieve-out "Kandidaten.txt" \
  > run.log 2>&1
"$linux" new $N16 --p-max 2e10 --factors-out lf.txt --sieve-out lc.txt > /dev/null 2>&1
if cmp -s <(normalised "Faktoren-因子.txt") <(normalised lf.txt) && cmp -s Kandidaten.txt lc.txt; then
  row "a folder named Prüfung/素数" "identical" "Faktoren-因子.txt, Kandidaten.txt"
else
  row "a folder named Prüfung/素数" "DIFFERENT" "see $folder"
fi

finish
