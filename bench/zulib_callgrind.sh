#!/usr/bin/env bash
# Instructions per iteration of the library's control flow and of the same
# programs in Guile, counted by callgrind: each program runs at two sizes and
# the difference of the counts is divided by the difference of the
# iterations, which takes start-up and set-up off.
#   bench/zulib_callgrind.sh [build dir]     (default build/bench)
set -euo pipefail
dir=${1:-build/bench}
qnmx=$(realpath "$dir/src/app/qnmx")
command -v valgrind > /dev/null || { echo "valgrind is missing"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# instructions <command...>: the total instruction count of one run.
instructions() {
  valgrind --tool=callgrind --callgrind-out-file=cg.out "$@" > /dev/null 2> cg.err
  sed -n 's/^summary: //p' cg.out
}

# per <label> <iterations a> <iterations b> <file a> <file b> <runner...>
per() {
  local label=$1 na=$2 nb=$3 fa=$4 fb=$5
  shift 5
  local a b
  a=$(instructions "$@" "$fa")
  b=$(instructions "$@" "$fb")
  awk -v l="$label" -v a="$a" -v b="$b" -v na="$na" -v nb="$nb" \
    'BEGIN { printf "%-22s %12.0f instructions per iteration\n", l, (b - a) / (nb - na) }'
}

for_zu() { printf '(Define s 0)\n(Define n %d)\n(For dec="n" (Define s (+ s n)))\n' "$1"; }
for_scm() { printf '(define s 0)\n(define n %d)\n(while (> n 0) (set! s (+ s n)) (set! n (- n 1)))\n' "$1"; }
fib_zu() { printf '(Define fib () (g n) (If (< n 2) (Then n) (Else (+ (fib (- n 1)) (fib (- n 2))))))\n(fib %d)\n' "$1"; }
fib_scm() { printf '(define (fib n) (if (< n 2) n (+ (fib (- n 1)) (fib (- n 2)))))\n(fib %d)\n' "$1"; }
sw_zu() {
  printf '(Define acc 0)\n(Define n %d)\n(For dec="n" (Define k (%% n 7)) (Define acc (+ acc (Switch (Case (== k 0) 1) (Case (== k 1) 2) (Case (== k 2) 3) (Case (== k 3) 4) (Case 1 (If (< k 5) (Then 5) (Else (If (== k 5) (Then 6) (Else 7)))))))))\n' "$1"
}
sw_scm() {
  printf '(define acc 0)\n(define n %d)\n(define k 0)\n(while (> n 0) (set! k (modulo n 7)) (set! acc (+ acc (cond ((= k 0) 1) ((= k 1) 2) ((= k 2) 3) ((= k 3) 4) (else (if (< k 5) 5 (if (= k 5) 6 7)))))) (set! n (- n 1)))\n' "$1"
}

for_zu 20000 > f1.zu; for_zu 40000 > f2.zu; for_scm 20000 > f1.scm; for_scm 40000 > f2.scm
fib_zu 15 > b1.zu; fib_zu 17 > b2.zu; fib_scm 15 > b1.scm; fib_scm 17 > b2.scm
sw_zu 14000 > s1.zu; sw_zu 28000 > s2.zu; sw_scm 14000 > s1.scm; sw_scm 28000 > s2.scm
# fib(n) makes 2 fib(n+1) - 1 calls: fib 15 1973, fib 17 5167.
per "qnmx For pass" 20000 40000 f1.zu f2.zu "$qnmx"
per "guile while pass" 20000 40000 f1.scm f2.scm guile --no-auto-compile
per "qnmx fib call" 1973 5167 b1.zu b2.zu "$qnmx"
per "guile fib call" 1973 5167 b1.scm b2.scm guile --no-auto-compile
per "qnmx Switch pass" 14000 28000 s1.zu s2.zu "$qnmx"
per "guile cond pass" 14000 28000 s1.scm s2.scm guile --no-auto-compile
