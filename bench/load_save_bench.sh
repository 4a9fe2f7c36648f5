#!/usr/bin/env bash
# Load and Save against their peers, whole processes on the same files, in
# pairs (ours, then the peer's; QNMX_BENCH_REPEATS pairs, default 5):
#   a raw copy through (Save option="raw" (Load option="raw" ...)) next to cp;
#   a text load cut at line ends, walked to its end to count the lines, next
#   to Guile reading the same file into a list of lines with read-line and
#   counting them, and next to wc -l, the floor (it keeps nothing).
# Ends with the rows of bench/table.py.
# load_save_bench.sh <qnmx binary> [megabytes of raw data] [megabytes of text]
set -euo pipefail
qnmx=$(realpath "$1")
raw_mb=${2:-1024}
text_mb=${3:-100}
pairs=${QNMX_BENCH_REPEATS:-5}
work=$(mktemp -d "${TMPDIR:-/tmp}/qnmx_bench_XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
export HOME=$work STD_CODE=UTF-8
head -c $((raw_mb << 20)) /dev/urandom > raw.in
python3 -c "
import random, sys
r = random.Random(7)
out = open('text.in', 'w')
size = 0
while size < $text_mb << 20:
    line = 'x' * r.randrange(80) + '\n'
    out.write(line)
    size += len(line)
"
cat > copy.zu <<'Z'
(Save option="raw" oflag="creat:trunc" "raw.out" (Load option="raw" "raw.in"))
Z
cat > lines.zu <<'Z'
(define n 0)
(define l (Load option="text" terminate="\n" "text.in"))
(while l (set n (+ n 1)) (set l (cdr l)))
n
Z
cat > lines.scm <<'Z'
(use-modules (ice-9 rdelim))
(define (lines port)
  (let loop ((acc '()))
    (let ((l (read-line port)))
      (if (eof-object? l) (reverse! acc) (loop (cons l acc))))))
(display (length (call-with-input-file "text.in" lines #:encoding "UTF-8")))
(newline)
Z
want=$(wc -l < text.in)

# Seconds of one run of a command (its output to out.txt), after a sync.
seconds() {
  sync
  local t0 t1
  t0=$(date +%s%N)
  "$@" > out.txt
  t1=$(date +%s%N)
  echo "$(( (t1 - t0) / 1000 ))e-6"
}
# A ROW line: id path peer ours-does peer-does aim ours-times peer-times.
row() {
  echo "ROW $1 | $2 | $3 | $4 | $5 | processes | $6 | $7 | $8"
}

ours=() peer=()
for _ in $(seq "$pairs"); do
  rm -f raw.out raw.cp
  ours+=("$(seconds "$qnmx" copy.zu out.zu.txt)")
  cmp raw.in raw.out
  peer+=("$(seconds cp raw.in raw.cp)")
done
row load_save.raw "Load/Save: a raw copy of a ${raw_mb} MiB file" cp \
  "qnmx: (Save option=\"raw\" (Load option=\"raw\" ...))" "cp of the file" "ratio<=3; within 3x of cp" \
  "$(IFS=,; echo "${ours[*]}")" "$(IFS=,; echo "${peer[*]}")"

ours=() guile=() wc=()
have_guile=1
command -v guile > /dev/null || have_guile=0
for _ in $(seq "$pairs"); do
  ours+=("$(seconds "$qnmx" lines.zu out.zu.txt)")
  grep -q "<Result> 4 $want</Result>" out.zu.txt || { echo "line count differs from wc -l ($want)"; cat out.zu.txt; exit 1; }
  if [ "$have_guile" = 1 ]; then
    guile+=("$(seconds guile --no-auto-compile lines.scm)")
    [ "$(cat out.txt)" = "$want" ] || { echo "Guile counted $(cat out.txt) lines, wc -l $want"; exit 1; }
  fi
  wc+=("$(seconds wc -l text.in)")
done
text="Load: a text file of ${text_mb} MiB (${want} lines) cut at line ends, the lines counted"
guile_times="missing: guile is not installed (scripts/setup.sh installs guile-3.0)"
[ "$have_guile" = 1 ] && guile_times=$(IFS=,; echo "${guile[*]}")
row load_save.text.guile "$text" "Guile" "qnmx: Load option=\"text\" terminate=\"\\n\", a while loop down the list" \
  "guile --no-auto-compile: read-line into a list, its length" "-" "$(IFS=,; echo "${ours[*]}")" "$guile_times"
row load_save.text.wc "$text" "wc -l (the floor)" "the same qnmx run" \
  "wc -l: counts the line ends, keeps nothing (the floor, not a rival)" "-" \
  "$(IFS=,; echo "${ours[*]}")" "$(IFS=,; echo "${wc[*]}")"
