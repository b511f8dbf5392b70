# The jobs and helpers shared by the scripts that compare a port of zentrova
# with this machine's build file for file (tests/windows/compare-with-linux.sh,
# tests/arm64/compare-with-x86.sh). Sourced, after the script has set:
#   work        a folder for the runs
#   data        tests/data
#   port        how to start the port, as eval takes it ("wine '/x/zentrova.exe'")
#   reference   how to start this machine's build, the same way
#   port_name, reference_name   for the messages ("Windows", "Linux")
#   WIDE        the wide-mode range of the common jobs, wide_pmax and
#               wide_resume_pmax their depths
# Each row is a line of a Markdown table; `failures` counts the rows that
# failed, and finish() ends the script with 1 when there is one.

failures=0
row() {  # job, result, note
  printf '| %-44s | %-9s | %s |\n' "$1" "$2" "$3"
  [ "$2" = "identical" ] || [ "$2" = "ok" ] || failures=$((failures + 1))
}

# The file without the factor header's time of writing.
normalised() {
  sed -E '1s/( : )[A-Z][a-z]+ [0-9]{2}, [0-9]{4}  [0-9:]{8}\.$/\1TIME./' "$1"
}

# Runs one job in both programs, each in a folder of its own (p/ and r/,
# prepared alike by setup), and compares the named files; the folders of a
# row that differs are kept as failed-N-port and failed-N-reference.
compare() {  # name, setup, args, files...
  local name=$1 setup=$2 args=$3
  shift 3
  rm -rf "$work/p" "$work/r"
  mkdir -p "$work/p" "$work/r"
  (cd "$work/p" && eval "$setup") && (cd "$work/r" && eval "$setup")
  (cd "$work/p" && eval "$port $args" > out.log 2>&1)
  local prc=$?
  (cd "$work/r" && eval "$reference $args" > out.log 2>&1)
  local rrc=$?
  if [ $prc -ne $rrc ]; then
    row "$name" "DIFFERENT" "exit $prc ($port_name) against $rrc ($reference_name); see $work/p/out.log"
    return
  fi
  for f in "$@"; do
    if [ ! -f "$work/p/$f" ] || [ ! -f "$work/r/$f" ] ||
       ! cmp -s <(normalised "$work/p/$f") <(normalised "$work/r/$f"); then
      row "$name" "DIFFERENT" "$f"
      cp -r "$work/p" "$work/failed-$failures-port" && cp -r "$work/r" "$work/failed-$failures-reference"
      return
    fi
  done
  local bytes
  bytes=$(cd "$work/r" && cat "$@" | wc -c)
  row "$name" "identical" "$* ($bytes bytes, exit $rrc)"
}

N16="--exponent 65536 --bmin 1200000 --bmax 1201998"
# Setups: the reference build's files, the same in both folders, for the
# jobs that start from a sieve.
base="$reference new $N16 --p-max 2e10 --factors-out f0.txt --sieve-out c0.txt > /dev/null 2>&1"

# Every job of the command line once, in both modes.
compare_common_jobs() {
  echo "| job | files | what was compared |"
  echo "|---|---|---|"
  compare "new, normal mode" "" \
    "new $N16 --p-max 2e10 --factors-out f.txt --sieve-out c.txt" f.txt c.txt
  compare "resume, normal mode" "$base" \
    "resume --factors-in f0.txt --sieve-in c0.txt --factors-out f.txt --sieve-out c.txt --p-max 4e10" \
    f.txt c.txt
  compare "resume in place, normal mode, 1 thread" "$base" \
    "resume --factors-in f0.txt --sieve-in c0.txt --factors-out f0.txt --sieve-out c0.txt --p-max 4e10 --threads 1 --force" \
    f0.txt c0.txt
  compare "new, wide mode" "" \
    "new $WIDE --p-max $wide_pmax --factors-out f.txt --sieve-out c.txt" f.txt c.txt
  local wbase="$reference new $WIDE --p-max $wide_pmax --factors-out f0.txt --sieve-out c0.txt > /dev/null 2>&1"
  compare "resume, wide mode" "$wbase" \
    "resume --wide --factors-in f0.txt --sieve-in c0.txt --factors-out f0.txt --sieve-out c.txt --p-max $wide_resume_pmax --force" \
    f0.txt c.txt
  compare "pack (packed K files)" "mkdir pk" \
    "pack --dir pk --exponent 65536 --p-max 3e10" pk/ln16pi00000.pkk
  local pbase="mkdir pk && $reference pack --dir pk --exponent 65536 --p-max 3e10 > /dev/null 2>&1"
  compare "new --packed-dir" "$pbase" \
    "new $N16 --packed-dir pk --factors-out f.txt --sieve-out c.txt" f.txt c.txt
  local slices="$reference new $N16 --p-max 1e10 --factors-out f1.txt --sieve-out c1.txt > /dev/null 2>&1 &&
    $reference new $N16 --p-min 10000000001 --p-max 3e10 --factors-out f2.txt --sieve-out c2.txt > /dev/null 2>&1"
  compare "merge of two slices" "$slices" \
    "merge --factors-in f1.txt --sieve-in c1.txt --p-min 1 --factors-in f2.txt --sieve-in c2.txt --p-min 10000000001 --factors-out f.txt --sieve-out c.txt" \
    f.txt c.txt
  compare "report with a tester's log" "$base && cp '$data/genefer.log' tester.log" \
    "report --factors-in f0.txt --proth-log tester.log --report report.txt" report.txt
  compare "rebuild from a factor file" "$base" \
    "rebuild --factors-in f0.txt --factors-out f.txt --sieve-out c.txt $N16" f.txt c.txt
  compare "tbf (to be factored)" "$base" \
    "tbf --sieve-in c0.txt --sieve-out t.txt $N16" t.txt
}

finish() {
  echo
  if [ $failures -ne 0 ]; then
    echo "$failures row(s) failed; the files are in $work"
    exit 1
  fi
  echo "every row passed"
  exit 0
}
