#!/usr/bin/env bash
# Load and Save against their peers, in one run on the same data:
#   a raw copy through (Save option="raw" (Load option="raw" ...)) next to cp;
#   a text load cut at line ends, walked to its end, next to wc -l.
# load_save_bench.sh <qnmx binary> [megabytes of raw data] [megabytes of text]
set -euo pipefail
qnmx=$(realpath "$1")
raw_mb=${2:-1024}
text_mb=${3:-100}
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
# Seconds of the best of three runs of a command.
best() {
  local t best=""
  for _ in 1 2 3; do
    sync
    t=$( { /usr/bin/time -f %e "$@" >/dev/null; } 2>&1 | tail -n 1)
    if [ -z "$best" ] || awk "BEGIN{exit !($t < $best)}"; then best=$t; fi
  done
  echo "$best"
}
q_copy=$(best "$qnmx" copy.zu out.txt)
cmp raw.in raw.out
c_copy=$(best cp raw.in raw.cp)
q_text=$(best "$qnmx" lines.zu out.txt)
c_text=$(best wc -l text.in)
want=$(wc -l < text.in)
grep -q "<Result> 4 $want</Result>" out.txt || { echo "line count differs from wc -l ($want)"; cat out.txt; exit 1; }
ratio() { awk "BEGIN{printf \"%.2f\", $1 / ($2 > 0.005 ? $2 : 0.005)}"; }
echo "raw copy of ${raw_mb} MiB: qnmx ${q_copy} s, cp ${c_copy} s, ratio $(ratio "$q_copy" "$c_copy")"
echo "text load of ${text_mb} MiB (${want} lines): qnmx ${q_text} s, wc -l ${c_text} s, ratio $(ratio "$q_text" "$c_text")"
