#!/bin/bash
# End-to-end tests of the qnmx command: cli_test.sh <qnmx binary> <group>
# Each group runs in a fresh temporary HOME, with ZUPATH unset unless a case
# sets it, and compares exact standard output, standard error and status.
set -u
QNMX=$(realpath "$1")
GROUP=$2
WORK=$(mktemp -d "${TMPDIR:-/tmp}/qnmx_cli_XXXXXX")
trap 'rm -rf "$WORK"' EXIT
export HOME=$WORK/home
mkdir -p "$HOME" "$WORK/run"
unset ZUPATH STD_CODE
cd "$WORK/run" || exit 1
FAILS=0

# check <name> <expected status> <expected stdout> <expected stderr> -- args...
check() {
  local name=$1 want_rc=$2 want_out=$3 want_err=$4
  shift 5
  local out err rc
  out=$("$QNMX" "$@" 2>"$WORK/stderr"; echo "rc=$?")
  rc=${out##*rc=}
  out=${out%rc=*}
  err=$(cat "$WORK/stderr"; echo x)
  err=${err%x}
  if [[ $rc != "$want_rc" || $out != "$want_out" || $err != "$want_err" ]]; then
    echo "FAIL $name"
    echo "  status $rc (want $want_rc)"
    echo "  stdout [$out]"
    echo "  want   [$want_out]"
    echo "  stderr [$err]"
    echo "  want   [$want_err]"
    FAILS=$((FAILS + 1))
  fi
}

expect_file() {
  local name=$1 file=$2 want=$3 got
  got=$(cat "$file" 2>/dev/null; echo x)
  got=${got%x}
  if [[ $got != "$want" ]]; then
    echo "FAIL $name: $file holds [$got], want [$want]"
    FAILS=$((FAILS + 1))
  fi
}

NL=$'\n'

case $GROUP in
arguments)
  printf '(+ 1 2)\n(car 5)\n' > s.zu
  check "no argument" 1 "" "too few arguments$NL" --
  check "missing script" 1 "" "cannot open shell argument(1) nope.zu$NL" -- nope.zu
  check "a script named -" 1 "" "cannot open shell argument(1) -$NL" -- -
  check "no output file writes nothing" 0 "" "" -- s.zu
  R1="<Result> 1 3</Result>$NL"
  R2=$("$QNMX" s.zu - | tail -n 1)$NL
  [[ $R2 == "<Result> 2 #error("* ]] || { echo "FAIL error reply [$R2]"; FAILS=$((FAILS + 1)); }
  check "- is the standard output" 0 "$R1$R2" "" -- s.zu -
  echo "stale stale stale stale" > out.txt
  echo "stale stale stale stale" > err.txt
  check "output and error files" 0 "" "" -- s.zu out.txt err.txt
  expect_file "output file truncated" out.txt "$R1$R2"
  expect_file "error file gets errors only" err.txt "$R2"
  rm -f out.txt
  check "error file - is the output file" 0 "" "" -- s.zu out.txt -
  expect_file "errors once in the output" out.txt "$R1$R2"
  check "/ ends the list" 0 "" "" -- s.zu / a b
  [[ -e a || -e b ]] && { echo "FAIL / ends the list: files made"; FAILS=$((FAILS + 1)); }
  check "/ as error file" 0 "$R1$R2" "" -- s.zu - / c
  [[ -e c ]] && { echo "FAIL / as error file: c made"; FAILS=$((FAILS + 1)); }
  check "output file cannot be made" 1 "" "cannot open shell argument(2) s.zu (-2:2)$NL" -- s.zu no/such/dir/out
  ;;
search)
  mkdir -p "$WORK/lib1" "$WORK/lib2" "$WORK/lib3" "$HOME/.pzuconf"
  echo '"from lib1"' > "$WORK/lib1/found.zu"
  echo '"from lib2"' > "$WORK/lib2/found.zu"
  echo '"from lib3"' > "$WORK/lib3/pref.zu"
  check "not on any path" 1 "" "cannot open shell argument(1) found.zu$NL" -- found.zu -
  printf '(ZUPATH "%s")\n' "$WORK/lib2" > "$HOME/.zurc"
  check "through .zurc" 0 "<Result> 1 \"from lib2\"</Result>$NL" "" -- found.zu -
  ZUPATH="$WORK/nothing:$WORK/lib1" check "ZUPATH before .zurc" 0 "<Result> 1 \"from lib1\"</Result>$NL" "" -- found.zu -
  printf '(ZUPATH "%s")\n' "$WORK/lib3" > "$HOME/.pzuconf/zurc"
  check "through .pzuconf/zurc" 0 "<Result> 1 \"from lib3\"</Result>$NL" "" -- pref.zu -
  echo '"here"' > found.zu
  check "the name itself first" 0 "<Result> 1 \"here\"</Result>$NL" "" -- found.zu -
  ;;
replies)
  cat > r.zu <<'ZU'
(+ 1
   2)

"two lines
of text"
(undefined-thing)
(quote (a b))
(quote #error(2147554308 "s" "f" 1 "Exit" ()))
(never reached)
ZU
  ERR=$("$QNMX" r.zu - | sed -n 3p)
  [[ $ERR == "<Result> 6 #error(2147682053 "* ]] || { echo "FAIL error reply [$ERR]"; FAILS=$((FAILS + 1)); }
  check "replies with line numbers" 0 \
    "<Result> 1 3</Result>$NL<Result> 4 \"two lines\\nof text\"</Result>$NL$ERR$NL<Result> 7 (a b)</Result>$NL<Result> 8 ()</Result>$NL" \
    "" -- r.zu -
  printf '"smile &#x1F600;"\n"plain"\n' > enc.zu
  check "encoding switch" 0 \
    "&cxdfff0006;$NL<Result> 1 \"smile $(printf '\xf0\x9f\x98\x80')\"</Result>$NL&cxdfff0003;$NL<Result> 2 \"plain\"</Result>$NL" \
    "" -- enc.zu -
  printf '"\xe3\x81\x82 &#x1F600;"\n' > utf8.zu
  STD_CODE=UTF-8 check "a UTF-8 output is never switched" 0 \
    "<Result> 1 \"$(printf '\xe3\x81\x82 \xf0\x9f\x98\x80')\"</Result>$NL" "" -- utf8.zu -
  : > empty.zu
  check "empty script" 0 "" "" -- empty.zu -
  ;;
faults)
  SITE=$(uname -n)
  # An argument rebinds the name of the built-in being called and then
  # allocates enough for collections: car is still what is called.
  cat > rebind.zu <<'ZU'
(define i 0)
(car (progn (set car 0) (while (< i 100000) (define i (+ i 1)) (lambda () (f) 1)) (list 7 8)))
(+ 1 2)
ZU
  check "a built-in outlives the rebinding of its name" 0 \
    "<Result> 1 i</Result>$NL<Result> 2 7</Result>$NL<Result> 3 3</Result>$NL" "" -- rebind.zu -
  # Thousands of attributes bind (the first of two equal names wins); far
  # too many are refused as one reader error.
  awk 'BEGIN {
    printf "(define f (lambda () (g) (list a7 a4999)))\n(f"
    for (i = 0; i < 5000; i++) printf " a%d=\"%d\"", i, i
    printf " a7=\"again\")\n(f"
    for (i = 0; i < 300000; i++) printf " a%d=\"\"", i
    printf ")\n(+ 1 2)\n" }' > attrs.zu
  check "many attributes bind, too many are refused" 0 \
    "<Result> 1 f</Result>$NL<Result> 2 (\"7\" \"4999\")</Result>$NL<Result> 3 #error(2147614980 \"$SITE\" \"attrs.zu\" 3 \"parse\" (\"too many attributes\"))</Result>$NL<Result> 4 3</Result>$NL" \
    "" -- attrs.zu -
  # A value nested too deeply to print is replied as an error, and the
  # replies after it still arrive.
  cat > deep.zu <<'ZU'
(define x ())
(define i 0)
(while (< i 6000) (define x (list x)) (define i (+ i 1)))
x
(+ 1 2)
ZU
  check "a value the printer refuses" 0 \
    "<Result> 1 x</Result>$NL<Result> 2 i</Result>$NL<Result> 3 i</Result>$NL<Result> 4 #error(2147682310 \"$SITE\" () 0 \"print\" (\"value nested too deeply or cyclic\"))</Result>$NL<Result> 5 3</Result>$NL" \
    "" -- deep.zu -
  ;;
interrupt)
  echo '(while 1 1)' > loop.zu
  timeout -k 10 -s INT --preserve-status 2 "$QNMX" loop.zu - > out.txt 2> err.txt
  rc=$?
  if [[ $rc != 1 ]] || ! grep -q '^Interrupted$' out.txt err.txt; then
    echo "FAIL interrupt: status $rc, stdout [$(cat out.txt)], stderr [$(cat err.txt)]"
    FAILS=$((FAILS + 1))
  fi
  ;;
ends)
  # A directory is no script; a last form cut off by the end of the file is
  # answered with the reader's error like any other bad form.
  mkdir -p adir
  check "a directory" 1 "" "cannot open shell argument(1) adir$NL" -- adir -
  printf '(+ 1 2)\n(+ 1' > cut.zu
  CUT=$("$QNMX" cut.zu - | sed -n 2p)
  [[ $CUT == "<Result> 2 #error(2147549441 "*'"end of input"))</Result>' ]] || { echo "FAIL cut-off form [$CUT]"; FAILS=$((FAILS + 1)); }
  check "a cut-off last form" 0 "<Result> 1 3</Result>$NL$CUT$NL" "" -- cut.zu -
  ;;
encodings)
  # A stream encoding of 2- or 4-byte units still leaves the command line
  # and the program's own text in bytes: the replies reach the standard
  # output in that encoding, and the script's argument reads as given.
  printf '(+ 1 2)\n(Arg 1)\n"\xe6\x97\xa5\xe6\x9c\xac"\n' > utf8.zu
  WANT="<Result> 1 3</Result>$NL<Result> 2 \"word\"</Result>$NL<Result> 3 \"$(printf '\xe6\x97\xa5\xe6\x9c\xac')\"</Result>$NL"
  for pair in UTF-16:UTF-16BE UTF16:UTF-16BE UTF-16BE:UTF-16BE UCS-4:UCS-4BE EXTUCS-4:UCS-4BE INTERNAL:UCS-4LE; do
    code=${pair%%:*} bytes=${pair#*:}
    iconv -f UTF-8 -t "$bytes" utf8.zu > wide.zu || { echo "FAIL iconv $bytes"; FAILS=$((FAILS + 1)); continue; }
    rm -f ./- out.bin
    STD_CODE=$code "$QNMX" wide.zu - / word > out.bin 2> "$WORK/stderr"
    rc=$?
    got=$(iconv -f "$bytes" -t UTF-8 out.bin; echo x)
    got=${got%x}
    if [[ $rc != 0 || $got != "$WANT" || -s $WORK/stderr || -e ./- ]]; then
      echo "FAIL STD_CODE=$code: status $rc, stdout [$got], stderr [$(head -c 400 "$WORK/stderr")]"
      [[ -e ./- ]] && echo "  the replies went to a file named -"
      FAILS=$((FAILS + 1))
    fi
  done
  ;;
*)
  echo "unknown group $GROUP"
  exit 2
  ;;
esac

[[ $FAILS == 0 ]] && echo "all $GROUP cases passed"
exit $((FAILS > 0))
