#!/usr/bin/env bash
# Regenerates the seed corpora (corpus/<target>/) from files that zentrova
# writes: small sieves in both modes, a to-be-factored list, a packed K file
# cut to the words its count uses, and tester logs (tests/data, and one made
# from a candidate file). Usage: make-corpus.sh [zentrova]  (default
# build/src/zentrova). The corpora are replaced as a whole.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
zentrova=$(realpath "${1:-$here/../../build/src/zentrova}")
corpus=$here/corpus
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

run() { "$zentrova" "$@" --force > /dev/null; }
# A little-endian 64-bit field.
le64() {
  local i
  for i in 0 1 2 3 4 5 6 7; do printf "\\$(printf '%03o' $((($1 >> (8 * i)) & 255)))"; done
}
field() { od -An -t"u$3" -j "$2" -N "$3" "$1" | tr -d ' '; }

# The range the rebuild, report and to-be-factored targets fall back to, and
# small exponents whose factors are small, with odd bases once.
run new --exponent 65536 --bmin 1200000 --bmax 1200200 --p-max 1e8 --threads 1 \
  --factors-out f16.txt --sieve-out c16.txt
run new --wide --exponent 65536 --bmin 1200000 --bmax 1200200 --p-max 1e8 --threads 1 \
  --factors-out wf16.txt --sieve-out wc16.txt
run new --exponent 8 --bmin 2 --bmax 120 --p-max 1e5 --threads 1 \
  --factors-out f3.txt --sieve-out c3.txt
run new --exponent 4 --bmin 3 --bmax 61 --p-max 1e4 --threads 1 \
  --factors-out f2.txt --sieve-out c2.txt
run tbf --sieve-in c16.txt --sieve-out tbf16.txt --exponent 65536 --bmin 1200000 --bmax 1200200
sed 's/$/\r/' c3.txt > c3-crlf.txt
{ cat wf16.txt; printf '\nContinuing Sieve\n\n'; cat f3.txt | head -4; } > mixed.txt
# A tester's log for c16.txt: composite lines in two testers' shapes, a
# probable prime now and then.
awk 'NR > 1 { n++; if (n % 7 == 0) print $1 "^65536+1 is a probable prime. (398406 digits)";
  else if (n % 2) print $1 "^65536+1 is composite. (RES=a1b2c3d4e5f60708) (time = 0:00:03)";
  else print $1 "^65536+1 is composite: RES64: [1A2B3C4D5E6F7081] (1.2345s+0.0001s)" }' \
  c16.txt > tester16.log
awk 'NR > 1 { print $1 "^8+1 is composite. RES64: " NR }' c3.txt > tester3.log

# Packed K files: one of N = 8 (ln 3) and one of N = 65536 (ln 16), cut to
# their data; then file 0 followed by a file 1 that continues it (the same
# file with its header values raised above file 0's last value).
mkdir pk3 pk16
run_pack() { "$zentrova" pack --dir "$1" --exponent "$2" --p-max "$3" > /dev/null; }
run_pack pk3 8 20000
run_pack pk16 65536 3e8
for f in pk3/ln3pi00000.pkk pk16/ln16pi00000.pkk; do
  truncate -s $((40 + 4 * (($(field "$f" 0 4) + 2) / 3))) "$f"
done
shifted() {
  local shift first last
  shift=$(field "$1" 24 8)
  first=$(field "$1" 8 8)
  last=$(field "$1" 24 8)
  head -c 8 "$1"; le64 $((first + shift)); tail -c +17 "$1" | head -c 8
  le64 $((last + shift)); tail -c +33 "$1"
}
# The selector byte gives ln = 1 + byte % 30; two bytes of seek offset follow.
{ printf '\002\020\000'; cat pk3/ln3pi00000.pkk; } > pk-ln3
{ printf '\017\100\001'; cat pk16/ln16pi00000.pkk; } > pk-ln16
{ printf '\002\377\003'; cat pk3/ln3pi00000.pkk; printf NEXT; shifted pk3/ln3pi00000.pkk; } \
  > pk-ln3-two

rm -rf "$corpus"
seed() {
  mkdir -p "$corpus/$1"
  cp "$2" "$corpus/$1/${3:-$(basename "$2")}"
}
data=$here/../data
for f in c16.txt wc16.txt c3.txt c2.txt c3-crlf.txt tbf16.txt; do
  seed candidate_list $f
  seed candidate_range $f
done
for f in f16.txt f3.txt f2.txt wf16.txt mixed.txt; do
  seed factor_file $f
  seed rebuild $f
done
for f in "$data"/genefer.log "$data"/pfgw.log "$data"/llr.log tester16.log; do seed report "$f"; done
{ cat f16.txt; printf '\f'; cat tester16.log; } > split16.txt
{ cat f3.txt; printf '\f'; cat tester3.log; } > split3.txt
seed report split16.txt
seed report split3.txt
for f in c16.txt tbf16.txt tester16.log "$data"/genefer.log "$data"/pfgw.log; do
  seed to_be_factored "$f"
done
for f in pk-ln3 pk-ln16 pk-ln3-two; do seed packed_k $f; done
for f in c3-crlf.txt mixed.txt tester3.log "$data"/pfgw.log; do seed text_file "$f"; done
printf 'a\rb\r\nc\n\rd' > cr-mixed.txt
seed text_file cr-mixed.txt
du -sh "$corpus"
