#!/usr/bin/env bash
# Measures a machine with an OpenCL device in one go and writes one Markdown
# report: the machine (version, cores, devices, the libraries the binary
# needs), a CPU-identical check of the device in both modes at p near 1e15
# and 1e20 (each GPU kernel forced once), P/day per GPU kernel for
# N = 2^13 ... 2^22 at p from 1e15 and from 1e20, each GPU kernel's
# known-answer result on the device and the checks its runs made of their
# own results, and bench --scaling on every hardware thread.
#
#   bench/device-suite.sh [--device D] [--out FILE] [--seconds S]
#                         [--device-batch B] [--bin PATH-TO-zentrova]
#
# It needs nothing but the zentrova binary, bash and coreutils (no network,
# no compiler): build elsewhere with the desktop program and MPI off, copy
# build-dev/src/zentrova and this script over, and run it there. At the
# default 3 s per timed run: about 150 s of timed runs on 16 cores plus the
# device start-ups; 2 min 40 s on PoCL's CPU device with 2 cores.
# Every failed check is marked FAIL in the report; the script goes on and
# exits with 1 at the end if any check failed (2: bad usage).
set -euo pipefail

usage() {
  cat <<'EOF'
usage: bench/device-suite.sh [options]
  --device D        the device under test: gpu (default), auto, opencl:N
  --out FILE        the report (default device-report.md)
  --seconds S       seconds per timed run (default 3)
  --device-batch B  most p per device launch in the timed runs (default: the
                    program's on a GPU; on a CPU OpenCL device about 2^25 walk
                    steps per launch, 16 p at N = 2^22)
  --bin PATH        the zentrova binary (default build/src/zentrova)
EOF
}

device=gpu
out="device-report.md"
seconds=3
batch=""
bin=build/src/zentrova
while [ $# -gt 0 ]; do
  case $1 in
    --device | --out | --seconds | --device-batch | --bin)
      if [ $# -lt 2 ]; then
        echo "$0: $1 needs a value" >&2
        exit 2
      fi
      case $1 in
        --device) device=$2 ;;
        --out) out=$2 ;;
        --seconds) seconds=$2 ;;
        --device-batch) batch=$2 ;;
        --bin) bin=$2 ;;
      esac
      shift 2
      ;;
    -h | --help)
      usage
      exit 0
      ;;
    *)
      echo "$0: unknown argument '$1'" >&2
      usage >&2
      exit 2
      ;;
  esac
done
if ! [[ $seconds =~ ^[1-9][0-9]*$ ]]; then
  echo "$0: --seconds takes a whole number of seconds, not '$seconds'" >&2
  exit 2
fi
if [ -n "$batch" ] && ! [[ $batch =~ ^[1-9][0-9]*$ ]]; then
  echo "$0: --device-batch takes a whole number, not '$batch'" >&2
  exit 2
fi
if [ ! -x "$bin" ]; then
  echo "$0: $bin is not an executable (build it, or give --bin)" >&2
  exit 2
fi
case $bin in
  */*) ;;
  *) bin=./$bin ;;
esac

work=$(mktemp -d "${TMPDIR:-/tmp}/zentrova-suite-XXXXXX")
trap 'rm -rf "$work"' EXIT
: >"$out"

failures=0
now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }'; }
say() { printf '%s\n' "$*" >>"$out"; }
note() { printf '[device-suite] %s\n' "$*" >&2; }
fail() {
  failures=$((failures + 1))
  note "FAIL: $*"
}

# Each command gets a time limit where coreutils has one, so that a hung
# device ends as a failed check rather than a hung suite.
limit=()
if command -v timeout >/dev/null 2>&1; then limit=(timeout -k 10 $((120 + 40 * seconds))); fi
z() { ${limit[@]+"${limit[@]}"} "$bin" "$@"; }

# The last lines of failed commands' output, folded into the report below
# the table that names them: held_logs collects "title|file" until then.
held_logs=()
hold_log() { held_logs+=("$1|$2"); }
flush_logs() {
  local entry
  for entry in ${held_logs[@]+"${held_logs[@]}"}; do
    say ""
    say "<details><summary>${entry%%|*}</summary>"
    say ""
    say '```text'
    tail -n 25 "${entry#*|}" >>"$out" || true
    say '```'
    say "</details>"
  done
  held_logs=()
}

section_names=()
section_seconds=()
section_results=()
section_start=""
section_failures=0
begin_section() {
  section_start=$(now)
  section_failures=$failures
  note "$1 ..."
  say ""
  say "## $1"
  say ""
  section_names+=("$1")
}
end_section() {
  local s
  s=$(since "$section_start")
  section_seconds+=("$s")
  if [ "$failures" -eq "$section_failures" ]; then
    section_results+=(PASS)
  else
    section_results+=("FAIL ($((failures - section_failures)))")
  fi
  note "${section_names[-1]}: ${s} s, ${section_results[-1]}"
}

suite_start=$(now)
say "# Zentrova device report"
say ""
say "Written by \`bench/device-suite.sh\` on $(date -u '+%Y-%m-%d %H:%M UTC') on host \`$(uname -n)\`:"
say "device \`$device\`, binary \`$bin\`, $seconds s per timed run."

# ---------------------------------------------------------------------------
begin_section "1. The machine"

say "\`zentrova --version\`:"
say ""
say '```text'
if ! z --version >>"$out" 2>&1; then
  say '```'
  say ""
  say "**FAIL**: the binary does not run."
  fail "zentrova --version"
else
  say '```'
fi
say ""
cores=$(nproc)
say "\`nproc\`: $cores"
say ""
say "\`zentrova bench --device list\`:"
say ""
say '```text'
if z bench --device list >"$work/list.txt" 2>&1; then
  cat "$work/list.txt" >>"$out"
  say '```'
else
  cat "$work/list.txt" >>"$out"
  say '```'
  say ""
  say "**FAIL**: the device list did not come."
  fail "bench --device list"
fi

# A CPU OpenCL device (PoCL) walks some 10^8 steps per second, a GPU some
# 10^11: on the former the timed runs take small launches (a launch at
# N = 2^22 and 65536 p would outlast the run).
slow=no
if [[ $device == opencl:* ]] && grep -q "^$device " "$work/list.txt" &&
  ! grep "^$device " "$work/list.txt" | grep -q ' GPU '; then
  slow=yes
fi

# The binary may need only the C and C++ runtime and the OpenCL loader:
# anything else might be missing on a machine without a package manager.
# (libpthread, libdl and librt are glibc's own, linked apart before 2.34.)
say ""
say "Libraries the binary needs (\`ldd\`):"
say ""
if command -v ldd >/dev/null 2>&1; then
  ldd "$bin" >"$work/ldd.txt" 2>&1 || true
else
  LD_TRACE_LOADED_OBJECTS=1 "$bin" >"$work/ldd.txt" 2>&1 || true
fi
allowed='^(linux-vdso|linux-gate|ld-linux[-_a-z0-9]*|libc|libm|libstdc\+\+|libgcc_s|libpthread|libdl|librt|libOpenCL)\.so'
others=()
say "| library | found at | allowed |"
say "|---|---|---|"
while read -r line; do
  [ -n "$line" ] || continue
  if [[ $line == *"not a dynamic executable"* || $line == "statically linked"* ]]; then
    say "| (static binary) | | yes |"
    continue
  fi
  read -r first second third _ <<<"$line"
  name=${first##*/}
  where=$first
  [ "${second:-}" = "=>" ] && where=${third:-}
  [[ $where == */* || $where == not ]] || where="(the kernel's)"
  if [ "$where" = not ]; then
    say "| $name | not found | **no** |"
    others+=("$name")
  elif [[ $name =~ $allowed ]]; then
    say "| $name | $where | yes |"
  else
    say "| $name | $where | **no** |"
    others+=("$name")
  fi
done <"$work/ldd.txt"
say ""
if [ ! -s "$work/ldd.txt" ]; then
  say "**FAIL**: no list of libraries (neither ldd nor the loader answered)."
  fail "ldd"
elif [ ${#others[@]} -eq 0 ]; then
  say "**PASS**: only the C/C++ runtime and the OpenCL loader."
else
  say "**FAIL**: needs ${others[*]} besides the C/C++ runtime and the OpenCL loader."
  fail "ldd: ${others[*]}"
fi
end_section

# ---------------------------------------------------------------------------
begin_section "2. CPU-identical check"

say "Each job runs once with \`--device cpu\` and once on \`$device\`; the factor files (the normal"
say "mode's from line 2, past its time stamp) and the candidate files must be equal byte for byte"
say "and not empty. The ranges at 1e15 hold the factor 1000017529405441 of 857374^65536+1; at 1e20"
say "no factor is within reach of a short run, so those rows compare the candidate files' depth."
say ""
say "| job | mode | p | device kernel | factors | candidates | CPU s | device s | result |"
say "|---|---|---|---|---|---|---|---|---|"

# The jobs: name, then the arguments of zentrova new past the device.
p15=1000000000000000
p15end=1000020000000000
p20=100000000000000000000
p20end=100000000020000000000
wide15=(--wide --exponent 65536 --bmin 2 --bmax 2000000 --p-min "$p15" --p-max "$p15end")
normal15=(--exponent 65536 --bmin 856374 --bmax 858374 --p-min "$p15" --p-max "$p15end")
wide20=(--wide --exponent 65536 --bmin 2 --bmax 2000000 --p-min "$p20" --p-max "$p20end")
normal20=(--exponent 65536 --bmin 1000000 --bmax 1002000 --p-min "$p20" --p-max "$p20end")

# run_new TAG DEVICE KERNEL ARGS...: the job's files under $work/TAG.*;
# sets ran_seconds; fails as the program does.
ran_seconds=0
run_new() {
  local tag=$1 dev=$2 kernel=$3 start rc=0
  shift 3
  local extra=()
  [ -n "$kernel" ] && extra=(--gpu-kernel "$kernel")
  start=$(now)
  z new "$@" --device "$dev" ${extra[@]+"${extra[@]}"} --force \
    --factors-out "$work/$tag.factors" --sieve-out "$work/$tag.candidates" \
    >"$work/$tag.log" 2>&1 || rc=$?
  ran_seconds=$(since "$start")
  return "$rc"
}

# check JOB MODE P KERNEL ARGS...: one row of the table.
check() {
  local job=$1 mode=$2 p=$3 kernel=$4
  shift 4
  local cpu_tag="cpu-$job" dev_tag="dev-$job-${kernel:-auto}" cpu_s="" dev_s result=PASS why=""
  if [ ! -e "$work/$cpu_tag.done" ]; then
    if run_new "$cpu_tag" cpu "" "$@"; then
      : >"$work/$cpu_tag.done"
      echo "$ran_seconds" >"$work/$cpu_tag.seconds"
    else
      cpu_s=$ran_seconds
      say "| $job | $mode | $p | ${kernel:-calibrated} | | | $cpu_s | | **FAIL** (CPU run) |"
      hold_log "$job: the CPU run's output" "$work/$cpu_tag.log"
      fail "$job: CPU run"
      return 0
    fi
  fi
  cpu_s=$(cat "$work/$cpu_tag.seconds")
  if ! run_new "$dev_tag" "$device" "$kernel" "$@"; then
    dev_s=$ran_seconds
    if [ -n "$kernel" ] && grep -q "takes p below" "$work/$dev_tag.log"; then
      say "| $job | $mode | $p | $kernel | | | $cpu_s | | SKIP (below its p) |"
      return 0
    fi
    say "| $job | $mode | $p | ${kernel:-calibrated} | | | $cpu_s | $dev_s | **FAIL** (device run) |"
    hold_log "$job on $device${kernel:+ ($kernel)}: the run's output" "$work/$dev_tag.log"
    fail "$job${kernel:+ $kernel}: device run"
    return 0
  fi
  dev_s=$ran_seconds
  local from=1
  [ "$mode" = normal ] && from=2
  local f
  for f in "$work/$cpu_tag.factors" "$work/$cpu_tag.candidates" \
    "$work/$dev_tag.factors" "$work/$dev_tag.candidates"; do
    if [ ! -s "$f" ]; then
      result=FAIL
      why="empty ${f##*.} file"
    fi
  done
  if [ "$result" = PASS ] &&
    ! cmp -s <(tail -n +"$from" "$work/$cpu_tag.factors") <(tail -n +"$from" "$work/$dev_tag.factors"); then
    result=FAIL
    why="factor files differ"
  fi
  if [ "$result" = PASS ] && ! cmp -s "$work/$cpu_tag.candidates" "$work/$dev_tag.candidates"; then
    result=FAIL
    why="candidate files differ"
  fi
  local factors candidates
  factors=$(tail -n +2 "$work/$dev_tag.factors" | grep -c factor || true)
  candidates=$(($(wc -l <"$work/$dev_tag.candidates") - 1))
  if [ "$result" = PASS ]; then
    say "| $job | $mode | $p | ${kernel:-calibrated} | $factors | $candidates | $cpu_s | $dev_s | PASS |"
  else
    say "| $job | $mode | $p | ${kernel:-calibrated} | $factors | $candidates | $cpu_s | $dev_s | **FAIL** ($why) |"
    fail "$job${kernel:+ $kernel}: $why"
    hold_log "$job on $device${kernel:+ ($kernel)}: the run's output" "$work/$dev_tag.log"
  fi
}

check wide-1e15 wide "1e15 .. $p15end" "" "${wide15[@]}"
check normal-1e15 normal "1e15 .. $p15end" "" "${normal15[@]}"
check wide-1e20 wide "1e20 .. $p20end" "" "${wide20[@]}"
check normal-1e20 normal "1e20 .. $p20end" "" "${normal20[@]}"
kernels=$(z bench --help 2>/dev/null | sed -n 's/.*--gpu-kernel [A-Z]* .*GPU arithmetic, //p' | tr -d ',')
if [ -z "$kernels" ]; then
  say ""
  say "**FAIL**: \`zentrova bench --help\` names no GPU kernel."
  fail "no GPU kernel names"
fi
for k in $kernels; do
  check wide-1e15 wide "1e15 .. $p15end" "$k" "${wide15[@]}"
done
flush_logs
end_section

# ---------------------------------------------------------------------------
begin_section "3. P/day per kernel"

if [ -n "$batch" ]; then
  say "\`zentrova bench --device $device --all-kernels --exponent N --p-min P --seconds $seconds --device-batch $batch\`"
elif [ "$slow" = yes ]; then
  say "\`zentrova bench --device $device --all-kernels --exponent N --p-min P --seconds $seconds --device-batch B\`,"
  say "B = 2^26 / N (about 2^25 walk steps per launch on this CPU device)"
else
  say "\`zentrova bench --device $device --all-kernels --exponent N --p-min P --seconds $seconds\` (the program's device batch)"
fi
say "on the wide sieve of the even b up to 2·10^6. Each cell: P/day (p per second); busy: the"
say "device's share of the loop's time."

: >"$work/known"
for p in 1e15 1e20; do
  # Rows of the bench's closing table, as "N kernel p/s P/day busy
  # known-answers" (p/s, P/day and busy "-" for a kernel that gave a wrong
  # known answer on the device, and so was not timed).
  : >"$work/rows-$p"
  for log2n in 13 16 18 20 21 22; do
    n=$((1 << log2n))
    b=$batch
    if [ -z "$b" ] && [ "$slow" = yes ]; then b=$(((1 << 26) / n)); fi
    args=(bench --device "$device" --all-kernels --exponent "$n" --p-min "$p" --seconds "$seconds")
    [ -n "$b" ] && args+=(--device-batch "$b")
    note "bench N = 2^$log2n, p from $p"
    log="$work/bench-$p-$n.log"
    rc=0
    z "${args[@]}" >"$log" 2>&1 || rc=$?
    if [ "$rc" -ne 0 ] || ! grep -q '^kernel  *p/s  *P/day  *busy' "$log"; then
      echo "$n FAIL" >>"$work/rows-$p"
      fail "bench N = $n, p from $p (exit $rc)"
      hold_log "N = 2^$log2n, p from $p: the bench's output" "$log"
      continue
    fi
    sed -n '/^kernel  *p\/s  *P\/day  *busy/,$p' "$log" | tail -n +2 |
      awk -v n="$n" 'NF == 5 { print n, $1, $2, $3, $4, $5 }' >"$work/table"
    cat "$work/table" >>"$work/known"
    cat "$work/table" >>"$work/rows-$p"
    # A kernel that started but has no row in the closing table failed.
    missing=no
    while read -r k; do
      if ! awk -v k="$k" '$2 == k { found = 1 } END { exit !found }' "$work/table"; then
        echo "$n $k FAIL FAIL FAIL" >>"$work/rows-$p"
        fail "bench N = $n, p from $p, kernel $k"
        missing=yes
      fi
    done < <(sed -n 's/^--- GPU kernel \([^:]*\):.*/\1/p' "$log")
    if [ "$missing" = yes ]; then
      hold_log "N = 2^$log2n, p from $p: the bench's output" "$log"
    fi
  done
  names=$(awk '$2 != "FAIL" { print $2 }' "$work/rows-$p" | awk '!seen[$0]++' | tr '\n' ' ')
  say ""
  say "### p from $p"
  say ""
  header="| N |"
  rule="|---|"
  [ -z "$names" ] && header+=" result |" && rule+="---|"
  for k in $names; do
    header+=" $k P/day (p/s) | $k busy |"
    rule+="---|---|"
  done
  say "$header"
  say "$rule"
  for log2n in 13 16 18 20 21 22; do
    n=$((1 << log2n))
    line="| 2^$log2n |"
    if grep -q "^$n FAIL" "$work/rows-$p"; then
      for _ in $names; do line+=" **FAIL** | |"; done
      [ -z "$names" ] && line+=" **FAIL** |"
    else
      for k in $names; do
        cell=$(awk -v n="$n" -v k="$k" '$1 == n && $2 == k {
          if ($3 == "FAIL") printf "**FAIL** | "
          else if ($3 == "-") printf "**FAIL** (wrong known answers) | "
          else printf "%s (%s) | %s", $4, $3, $5 }' "$work/rows-$p")
        line+=" ${cell:- | } |"
      done
    fi
    say "$line"
  done
  flush_logs
done
end_section

# ---------------------------------------------------------------------------
begin_section "4. Known answers and walk checks"

say "Before a GPU kernel is timed or used, the device runs a fixed set of walks and chains whose"
say "answers the CPU computes exactly (p at the kernel's edges and inside its range, N from 2 to"
say "2^13, planted roots); a kernel that gets one wrong is not used. The results of the bench runs"
say "of section 3 (the same on every run: the first one that names a kernel is shown):"
say ""
say "| kernel | known answers |"
say "|---|---|"
known_names=$(awk '{ print $2 }' "$work/known" | awk '!seen[$0]++' | tr '\n' ' ')
if [ -z "$known_names" ]; then
  say "| (none) | **FAIL**: no bench run gave a known-answer result |"
  fail "no known-answer result"
fi
for k in $known_names; do
  result=$(awk -v k="$k" '$2 == k { print $6; exit }' "$work/known")
  case $result in
    right) say "| $k | right |" ;;
    wrong)
      say "| $k | **FAIL**: wrong (the bench's output names the first wrong answer) |"
      fail "known answers of $k"
      ;;
    *) say "| $k | $result |" ;;
  esac
done
say ""
say "During a run the device checks its own results: each chunk of the wide walk must end on the"
say "value the next one starts from (a p's last chunk on a power computed anew), and the normal"
say "chains give a check value per p that the host recomputes for a sample. A failed check sends"
say "the batch back to the CPU, and three drop the device. The checks of the bench runs of"
say "section 3, summed per kernel:"
say ""
say "| kernel | checks | failed |"
say "|---|---|---|"
# Each kernel's job ends with "<device>: C checks of its results, M failed."
cat "$work"/bench-*.log 2>/dev/null | awk '
  /^--- GPU kernel / { k = $4; sub(/:$/, "", k) }
  / checks of its results, [0-9]+ failed\.$/ {
    c = $0; sub(/ checks of its results, .*/, "", c); sub(/.* /, "", c)
    m = $0; sub(/.* checks of its results, /, "", m); sub(/ failed\.$/, "", m)
    if (!(k in checks)) order[++count] = k
    checks[k] += c; failed[k] += m
  }
  END { for (i = 1; i <= count; i++) print order[i], checks[order[i]], failed[order[i]] }
' >"$work/checks"
if [ ! -s "$work/checks" ]; then
  say "| (none) | **FAIL**: no bench run reported its checks | |"
  fail "no walk checks reported"
fi
while read -r k c m; do
  if [ "$c" -eq 0 ]; then
    say "| $k | **FAIL**: 0 | $m |"
    fail "no checks made by $k"
  elif [ "$m" -ne 0 ]; then
    say "| $k | $c | **FAIL**: $m |"
    fail "failed checks of $k"
  else
    say "| $k | $c | 0 |"
  fi
done <"$work/checks"
end_section

# ---------------------------------------------------------------------------
begin_section "5. Thread scaling"

say "\`zentrova bench --scaling --seconds $seconds --threads $cores\`:"
say ""
say '```text'
rc=0
z bench --scaling --seconds "$seconds" --threads "$cores" >"$work/scaling.log" 2>&1 || rc=$?
cat "$work/scaling.log" >>"$out"
say '```'
if [ "$rc" -ne 0 ]; then
  say ""
  say "**FAIL**: exit $rc."
  fail "bench --scaling (exit $rc)"
fi
end_section

# ---------------------------------------------------------------------------
total=$(since "$suite_start")
say ""
say "## Summary"
say ""
say "| section | seconds | result |"
say "|---|---|---|"
for i in "${!section_names[@]}"; do
  say "| ${section_names[$i]} | ${section_seconds[$i]} | ${section_results[$i]} |"
done
say ""
if [ "$failures" -eq 0 ]; then
  say "All checks passed in $total s."
else
  say "**$failures check(s) failed** ($total s)."
fi
note "report in $out, $total s, $failures failed"
[ "$failures" -eq 0 ]
