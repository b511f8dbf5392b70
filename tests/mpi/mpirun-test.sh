#!/usr/bin/env bash
# Runs spread over three processes by mpirun against one process: the files
# must be the same, in both modes and with packed k; a run stopped by a signal
# to mpirun, or ended by a process that dies, must leave files that resume to
# the same end.
#   mpirun-test.sh <zentrova> <case>   case: normal, wide, packed, stop, dead
set -euo pipefail
Z=$(realpath "$1")
CASE=$2
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
cd "$WORK"

MPIRUN=(mpirun --oversubscribe -n 3 --mca btl_vader_single_copy_mechanism none)
[ "$(id -u)" -eq 0 ] && MPIRUN+=(--allow-run-as-root)

fail() { echo "FAIL: $*"; for f in *.log; do echo "== $f"; tail -20 "$f"; done; exit 1; }
# The factor lines of a file, sorted (a resumed wide file has more headers).
factors() { grep -E '(has factor|factor :)' "$1" | sort; }
same_files() {  # one process's pair against another's: $1 $2 factor files, $3 $4 candidate files
  cmp -s "$3" "$4" || fail "candidate files $3 and $4 differ"
  [ "$(factors "$1")" = "$(factors "$2")" ] || fail "factor files $1 and $2 differ"
  [ -n "$(factors "$1")" ] || fail "no factor found: the case tests nothing"
}
# The rank-r process of the run whose files are named after $1.
rank_pid() {
  for pid in $(pgrep -f -- "$1"); do
    if tr '\0' '\n' < "/proc/$pid/environ" 2>/dev/null | grep -qx "OMPI_COMM_WORLD_RANK=$2"; then
      echo "$pid"; return
    fi
  done
}
wait_for_line() {  # $1 file, $2 text: up to 30 s
  for _ in $(seq 300); do grep -q -- "$2" "$1" 2>/dev/null && return; sleep 0.1; done
  fail "no \"$2\" in $1"
}

NORMAL=(--exponent 65536 --bmin 1200000 --bmax 1201998 --threads 1)
# mpirun kills every process one second after it passes on a stop signal. The
# final save must fit in that second even on a loaded machine: a range of
# 2000000 bases (a 13 MB candidate file) sometimes did not, and left no c3.
# The wide walk costs the same per p for any range, so a narrower one runs
# as long.
WIDE=(--wide --exponent 16384 --bmin 2 --bmax 200000 --p-min 1e15)

case $CASE in
  normal)
    "$Z" new "${NORMAL[@]}" --p-max 3e11 --factors-out f1 --sieve-out c1 > one.log
    "${MPIRUN[@]}" "$Z" new "${NORMAL[@]}" --p-max 3e11 --factors-out f3 --sieve-out c3 > mpi.log 2>&1
    grep -q "Sieving with 3 processes, 3 threads in all." mpi.log || fail "not spread over 3"
    same_files f1 f3 c1 c3
    ;;
  wide)
    W=(--wide --exponent 1024 --bmin 2 --bmax 200000 --p-max 3e8 --threads 1)
    "$Z" new "${W[@]}" --factors-out f1 --sieve-out c1 > one.log
    "${MPIRUN[@]}" "$Z" new "${W[@]}" --factors-out f3 --sieve-out c3 > mpi.log 2>&1
    grep -q "Sieving with 3 processes" mpi.log || fail "not spread over 3"
    cmp -s f1 f3 || fail "wide factor files differ"
    same_files f1 f3 c1 c3
    ;;
  packed)
    mkdir pk
    "$Z" pack --dir pk --exponent 65536 --p-max 4e11 --file-bytes 4096 > pack.log
    "$Z" new "${NORMAL[@]}" --packed-dir pk --p-max 3e11 --factors-out f1 --sieve-out c1 > one.log
    "${MPIRUN[@]}" "$Z" new "${NORMAL[@]}" --packed-dir pk --p-max 3e11 \
      --factors-out f3 --sieve-out c3 > mpi.log 2>&1
    grep -q "Sieving with 3 processes" mpi.log || fail "not spread over 3"
    same_files f1 f3 c1 c3
    ;;
  stop | dead)
    P=1.002e15
    # Whole paths: the processes of this run are found by them.
    "${MPIRUN[@]}" "$Z" new "${WIDE[@]}" --threads 1 --p-max $P --factors-out "$WORK/f3" \
      --sieve-out "$WORK/c3" > mpi.log 2>&1 &
    run=$!
    wait_for_line mpi.log "Sieving with 3 processes"
    sleep 1
    if [ "$CASE" = stop ]; then
      kill -INT $run
      wait $run || true  # mpirun's own status after a signal
      grep -q "Stop requested" mpi.log || fail "the stop request did not arrive"
    else
      pid=$(rank_pid "$WORK/f3" 2)
      [ -n "$pid" ] || fail "process 2 not found"
      kill -9 "$pid"
      if wait $run; then fail "mpirun succeeded although a process died"; fi
      grep -q "exited on signal 9" mpi.log || fail "mpirun did not name the dead process"
    fi
    grep -q "Stop request received." mpi.log || fail "no final save"
    depth=$(head -1 c3 | sed 's/.*\/\/ //')
    awk -v d="$depth" 'BEGIN { exit !(d > 1e15 && d < 1.002e15) }' || fail "depth $depth"
    "${MPIRUN[@]}" "$Z" resume --wide --factors-in f3 --sieve-in c3 --factors-out f3 \
      --sieve-out c3 --p-max $P --threads 1 --force > resume.log 2>&1 || fail "resume failed"
    "$Z" new "${WIDE[@]}" --threads 2 --p-max $P --factors-out f1 --sieve-out c1 > one.log
    same_files f1 f3 c1 c3
    ;;
  *)
    echo "unknown case $CASE" >&2
    exit 2
    ;;
esac
echo "ok: $CASE"
