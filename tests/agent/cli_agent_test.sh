#!/bin/bash
# End-to-end tests of the agent: cli_agent_test.sh <qnmx binary> <group>
# Each group runs scripts in a fresh temporary directory and HOME and
# compares the replies written to an output file (the site name in error
# replies replaced by SITE) and the exit status; standard error is kept
# apart and checked only where a case says so.
set -u
QNMX=$(realpath "$1")
GROUP=$2
WORK=$(mktemp -d /tmp/qnmx_agent_XXXXXX)
trap 'rm -rf "$WORK"' EXIT
export HOME=$WORK/home
mkdir -p "$HOME" "$WORK/run"
unset ZUPATH STD_CODE
cd "$WORK/run" || exit 1
FAILS=0
SITE=$(uname -n)

fail() {
  echo "FAIL $*"
  FAILS=$((FAILS + 1))
}

# replies <name> <status> <expected replies> -- <qnmx arguments, out.txt as output>
replies() {
  local name=$1 want_rc=$2 want=$3 got rc
  shift 4
  rm -f out.txt
  "$QNMX" "$@" 2> err.txt
  rc=$?
  got=$(sed "s/#error(\([0-9]*\) \"$SITE\"/#error(\1 \"SITE\"/g" out.txt 2>/dev/null; echo x)
  if [[ $rc != "$want_rc" || ${got%x} != "$want" ]]; then
    fail "$name: status $rc (want $want_rc), stderr [$(cat err.txt)]"
    diff <(printf '%s' "$want") <(printf '%s' "${got%x}") | sed 's/^/  /'
  fi
}

case $GROUP in
arguments)
  cat > s.zu <<'ZU'
(Arg)
(Arg 0)
(Arg 1)
(Arg 2)
(Arg 3)
(Arg -1)
(Arg -3)
(Arg -4)
(Arg -5)
(ArgOption name="y")
(ArgOption name="z" "none")
(ArgOption name="z")
ZU
  replies "script arguments" 0 "<Result> 1 3</Result>
<Result> 2 \"/\"</Result>
<Result> 3 \"x\"</Result>
<Result> 4 \"y=1\"</Result>
<Result> 5 #error(2147681538 \"SITE\" \"s.zu\" 5 \"Arg\" \"shell argments length over\")</Result>
<Result> 6 \"err.zu\"</Result>
<Result> 7 \"s.zu\"</Result>
<Result> 8 \"$QNMX\"</Result>
<Result> 9 #error(2147681538 \"SITE\" \"s.zu\" 9 \"Arg\" \"shell argments length over\")</Result>
<Result> 10 \"1\"</Result>
<Result> 11 \"none\"</Result>
<Result> 12 #error(2147747073 \"SITE\" \"s.zu\" 12 \"ArgOption\" \"no option that name\")</Result>
" -- s.zu out.txt err.zu / x y=1
  printf '(ArgOption name="y" "unset")\n(Arg)\n(Arg 0)\n' > o.zu
  replies "a longer name does not match" 0 "<Result> 1 \"unset\"</Result>
<Result> 2 2</Result>
<Result> 3 \"/\"</Result>
" -- o.zu out.txt - / yy=2
  replies "an option before the separator" 0 "<Result> 1 \"unset\"</Result>
<Result> 2 1</Result>
<Result> 3 \"/\"</Result>
" -- o.zu out.txt - y=1 /
  replies "no separator" 0 "<Result> 1 \"unset\"</Result>
<Result> 2 0</Result>
<Result> 3 #error(2147681538 \"SITE\" \"o.zu\" 3 \"Arg\" \"shell argments length over\")</Result>
" -- o.zu out.txt -
  ;;
exit)
  printf '(List 1)\n(Exit 1)\n(List 2)\n(Exit)\n(List 3)\n' > e.zu
  replies "Exit ends the script" 0 "<Result> 1 (1)</Result>
<Result> 2 #error(2147681538 \"SITE\" \"e.zu\" 2 \"Exit\" (\"invalid parameter length\" 1 1))</Result>
<Result> 3 (2)</Result>
<Result> 4 ()</Result>
" -- e.zu out.txt -
  [[ -s err.txt ]] && fail "Exit wrote to standard error: $(cat err.txt)"
  ;;
interrupt)
  echo '(define l (List)) (while 1 (set l (List l)))' > loop.zu
  start=$(date +%s)
  timeout -k 20 -s INT --preserve-status 2 "$QNMX" loop.zu - > out.txt 2> err.txt
  rc=$?
  took=$(($(date +%s) - start))
  [[ $rc == 1 ]] || fail "interrupt: status $rc"
  grep -qx 'Interrupted' out.txt || fail "interrupt: stdout [$(tail -c 200 out.txt)]"
  ((took <= 2 + 5 + 1)) || fail "interrupt: took $took s"
  ;;
lists)
  cat > l.zu <<'ZU'
(define d (quote <doc a="1"><item id="1">a</item><item id="3" k="x">b</item><sub><x>7</x><x>8</x></sub></doc>))
(GE path="sub/x'2" d)
(GetElement path="sub/y" default="$v" d)
(GetElement path="sub/y" default="(" d)
(GetElement path="sub/y" default="plain" d)
(EE target="d" raw.mode.tag="x" (List tag item sub))
(SetEA () 2.5km "two and a half")
(EA () "2.500000km")
(MakeElement d (InsertBefore (quote item) (List (quote first))) (Delete (quote sub)))
(Append d (quote ([doc a="2" b="3"] tail)))
d
(GE (GE path="sub/x'2" d) 1)
(GE (GE d (quote item) "k" "x") 1)
(GE (GE path="'3/x" d) 1)
ZU
  # The last three against an XML parser's reading of the same document.
  printf '<doc a="1"><item id="1">a</item><item id="3" k="x">b</item><sub><x>7</x><x>8</x></sub></doc>' > d.xml
  x=()
  for q in '/doc/sub/x[2]' '/doc/item[@k="x"]' '/doc/*[3]/x[1]'; do x+=("$(xmllint --xpath "string($q)" d.xml)"); done
  replies "lists and elements" 0 "<Result> 1 d</Result>
<Result> 2 (x 8)</Result>
<Result> 3 v</Result>
<Result> 4 ()</Result>
<Result> 5 \"plain\"</Result>
<Result> 6 ([doc a=\"1\"] \"b\" ((x 7) (x 8)))</Result>
<Result> 7 ()</Result>
<Result> 8 \"two and a half\"</Result>
<Result> 9 ([doc a=\"1\"] (first) ([item id=\"1\"] \"a\") ([item id=\"3\" k=\"x\"] \"b\"))</Result>
<Result> 10 ([doc b=\"3\" a=\"2\"] ([item id=\"1\"] \"a\") ([item id=\"3\" k=\"x\"] \"b\") (sub (x 7) (x 8)) [doc a=\"2\" b=\"3\"] tail)</Result>
<Result> 11 ([doc a=\"1\"] ([item id=\"1\"] \"a\") ([item id=\"3\" k=\"x\"] \"b\") (sub (x 7) (x 8)))</Result>
<Result> 12 ${x[0]}</Result>
<Result> 13 \"${x[1]}\"</Result>
<Result> 14 ${x[2]}</Result>
" -- l.zu out.txt -
  ;;
collect)
  # Enough garbage for several collections while lists and elements are held.
  cat > c.zu <<'ZU'
(define keep (MakeElement (quote <doc a="1"><item id="1">a</item></doc>) (InsertAfter (quote item) (List (quote more) "x"))))
(define acc (List))
(define i 0)
(while (< i 200000) (set acc (List (Append (GetElement keep 1) (List i)) (GetSize acc))) (set i (+ i 1)))
keep
acc
ZU
  replies "values held across collections" 0 '<Result> 1 keep</Result>
<Result> 2 acc</Result>
<Result> 3 i</Result>
<Result> 4 200000</Result>
<Result> 5 ([doc a="1"] ([item id="1"] "a") (more "x"))</Result>
<Result> 6 (([item id="1"] "a" 199999) 21)</Result>
' -- c.zu out.txt -
  ;;
*)
  echo "unknown group $GROUP"
  exit 2
  ;;
esac

[[ $FAILS == 0 ]] && echo "all $GROUP cases passed"
exit $((FAILS > 0))
