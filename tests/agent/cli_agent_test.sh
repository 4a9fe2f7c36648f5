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
HERE=$(dirname "$(realpath "$0")")
validate() { python3 "$HERE/../matrix/validate_mx.py" "$@"; }

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
create)
  # The description language: a new file (a collection forced inside the
  # description while scripts are held only by it), the same description on
  # the existing file after qmxClose, and every refusal of the language.
  desc='(qmxCreate filename="p.mx" activePhase_mode="server"
  (qmxMatrixParam channel_nos="3" dim="2" (qmxPriority area="3" pri="1")
    (qmxPriority area="21" pri="0x10" mode="direct") (qmxPriority area="22" pri="12" mode="direct")
    (qmxPriority area="22" pri="7" mode="client"))
  (qmxMatrixPixelSize dim="0" value="1000") (qmxMatrixPixelSize dim="1" value="600")
  (qmxMatrixBlockSize dim="0" value="8") (qmxMatrixBlockSize dim="1" value="8")
  (qmxMatrixDimDivide dim="0" value="1") (qmxMatrixDimDivide dim="1" value="1")
  (qmxChannelInfo channel="0" type="int16" file="on" 70000)
  (qmxChannelInfo channel="1" type="double" send="on" visu="on" 2)
  (qmxChannelInfo channel="2" type="uint8" file="on" send_file="on")
  (qmxPhase area="3" (mxFinish normal-jump-status="MS_OK" err-jump-status="MS_LOADING_ERR_1") (mxLoad target="file-n-create"))
  (qmxPhase area="4" type="equ" equ="3")
  (define x "file")
  (qmxPhase area="5" mode="client" (mxLoad target="f" ($ x)))
  (define i 0)
  (while (< i 200000) (List i (List i)) (set i (+ i 1)))
  (qmxPhase area="21" (mxSave)))'
  m='(qmxMatrixParam channel_nos="1" dim="1")'
  small="$m"' (qmxMatrixPixelSize dim="0" value="100") (qmxMatrixBlockSize dim="0" value="4")
    (qmxMatrixDimDivide dim="0" value="1") (qmxChannelInfo channel="0" type="int8")'
  one=${small//$'\n'/ }
  cat > c.zu <<ZU
$desc
(qmxClose id="1")
$desc
(qmxCreate filename="p.mx")
(qmxCreate filename="e.mx" $m $m)
(qmxCreate filename="e.mx" (qmxMatrixBlockSize dim="0" value="8"))
(qmxCreate filename="e.mx" (qmxMatrixParam channel_nos="1" dim="1" (qmxPriority area="24" pri="1")))
(qmxCreate filename="e.mx" (qmxMatrixParam channel_nos="1" dim="1" (qmxPriority area="2" pri="1" mode="up")))
(qmxCreate filename="e.mx" $m (qmxChannelInfo channel="0" type="int8" "7"))
(qmxCreate filename="e.mx" (qmxMatrixParam channel_nos="1" dim="65"))
(qmxCreate filename="e.mx")
(qmxCreate filename="missing.mx" readphase="0")
(qmxChannelInfo channel="0" type="int8")
(qmxClose id="2")
(qmxClose id="2")
(qmxCreate filename="z.mx" $m (qmxMatrixBlockSize dim="0" value="0"))
(qmxCreate filename="z.mx" $one (qmxPhase area="3" type="equ" equ="3"))
(qmxCreate filename="z.mx" $one (qmxPhase area="3" type="equ" equ="4") (qmxPhase area="4" type="equ" equ="5") (qmxPhase area="5" type="equ" equ="3"))
(qmxCreate filename="z.mx" $one (qmxPhase area="3" mode="client" type="equ" equ="4") (qmxPhase area="4" mode="client" type="equ" equ="3"))
(qmxCreate filename="y.mx" $one (qmxPhase area="3" type="equ" equ="4") (qmxPhase area="4" mode="client" type="equ" equ="3") (qmxPhase area="3" (List)) (qmxPhase area="4" type="equ" equ="3"))
(qmxCreate filename="nodir/n.mx" $one)
(qmxCreate filename="dir.mx" $one)
ZU
  mkdir dir.mx
  E="#error(2147749909 \"SITE\" \"c.zu\""
  P="#error(2147747075 \"SITE\" \"c.zu\""
  replies "descriptions" 0 "<Result> 1 1</Result>
<Result> 18 ()</Result>
<Result> 19 2</Result>
<Result> 36 #error(2147748358 \"SITE\" \"c.zu\" 36 \"qmxCreate\" (\"open file error\" \"open_matrix\"))</Result>
<Result> 37 $E 37 \"qmxCreate/qmxMatrixParam\" -108)</Result>
<Result> 38 $E 38 \"qmxCreate/qmxMatrixBlockSize\" -105)</Result>
<Result> 39 $P 39 \"qmxCreate/qmxMatrixParam/qmxPriority\" \"area boudary error\")</Result>
<Result> 40 $P 40 \"qmxCreate/qmxMatrixParam/qmxPriority\" \"mode value\")</Result>
<Result> 41 #error(2147682310 \"SITE\" \"c.zu\" 41 \"qmxCreate/qmxChannelInfo\" ())</Result>
<Result> 42 $E 42 \"qmxCreate/qmxMatrixParam\" -104)</Result>
<Result> 43 $E 43 \"qmxCreate\" (\"save_matrix_header\" -1))</Result>
<Result> 44 #error(2147748358 \"SITE\" \"c.zu\" 44 \"qmxCreate\" \"qmxCreate open file error\")</Result>
<Result> 45 #error(2147682053 \"SITE\" \"c.zu\" 45 \"eval\" (\"qmxChannelInfo\"))</Result>
<Result> 46 ()</Result>
<Result> 47 $P 47 \"qmxClose\" ())</Result>
<Result> 48 $P 48 \"qmxCreate/qmxMatrixBlockSize\" \"invalid value\")</Result>
<Result> 49 $P 49 \"qmxCreate/qmxPhase\" \"equ loop\")</Result>
<Result> 50 $P 50 \"qmxCreate/qmxPhase\" \"equ loop\")</Result>
<Result> 51 $P 51 \"qmxCreate/qmxPhase\" \"equ loop\")</Result>
<Result> 52 3</Result>
<Result> 53 #error(2147748358 \"SITE\" \"c.zu\" 53 \"qmxCreate\" (\"open file error\" \"load_matrix_header\" -123 \"No such file or directory\"))</Result>
<Result> 54 #error(2147748358 \"SITE\" \"c.zu\" 54 \"qmxCreate\" (\"open file error\" \"load_matrix_header\" -123 \"Is a directory\"))</Result>
" -- c.zu out.txt -
  [[ -d dir.mx && -z $(ls -A dir.mx) ]] || fail "a file that cannot be opened was touched"
  [[ -e missing.mx ]] && fail "readphase made a file"
  [[ -e z.mx ]] && fail "a refused description left its new file"
  [[ -e e.mx ]] && fail "a refused description left e.mx"
  grep -q CW err.txt && fail "a debug line without QNMX_TRACE"
  validate --closed p.mx || fail "p.mx does not validate"
  got=$(python3 "$HERE/mx_modes.py" p.mx)
  want='direct 21 pri=16
direct 22 pri=12
server 3 ([mxFinish normal-jump-status="MS_OK" err-jump-status="MS_LOADING_ERR_1"])|([mxLoad target="file-n-create"])
server 4 ([mxFinish normal-jump-status="MS_OK" err-jump-status="MS_LOADING_ERR_1"])|([mxLoad target="file-n-create"])
server 21 (mxSave)
client 5 ([mxLoad target="f"] "file")
client 22 pri=7'
  [[ $got == "$want" ]] || fail "stored modes: $got"
  # The debug line of qmxMatrixParam, on standard error only: a new file,
  # then the existing one.
  printf '(qmxCreate filename="q.mx" %s)\n(qmxClose id="%s")\n' "$small" 1 "$small" 2 > q.zu
  QNMX_TRACE=1 "$QNMX" q.zu out.txt 2> err.txt
  [[ $(grep -o '^CW 0x[0-9a-f]* [01]$' err.txt | cut -d' ' -f3 | tr -d '\n') == 01 ]] || fail "CW lines: $(grep CW err.txt)"
  grep -q CW out.txt && fail "a debug line among the replies"
  ;;
safety)
  # Files that are not new are never re-initialised, and a script's open
  # matrices are closed at every end of the process but kill -9 (the
  # control, which leaves the open mark set).
  small='(qmxMatrixParam channel_nos="1" dim="1") (qmxMatrixPixelSize dim="0" value="100")
    (qmxMatrixBlockSize dim="0" value="4") (qmxMatrixDimDivide dim="0" value="1") (qmxChannelInfo channel="0" type="int8")'
  E="#error(2147749909 \"SITE\""
  # The store's code, then what it means.
  INVALID='(-129 "not a matrix file, or a damaged one")'
  BUSY='(-128 "the matrix file is busy in another process")'
  printf '(qmxCreate filename="good.mx" %s)\n(Exit)\n(List 1)\n' "$small" > g.zu
  replies "Exit closes" 0 "<Result> 1 1</Result>
<Result> 3 ()</Result>
" -- g.zu out.txt -
  validate --closed good.mx || fail "Exit left good.mx open"
  # A failing form under ErrHandler stderr ends the program the same way.
  printf '(qmxCreate filename="eh.mx" %s)\n(ErrHandler stderr="on" (car 1))\n(List 1)\n' "$small" > eh.zu
  replies "ErrHandler stderr closes" 1 "<Result> 1 1</Result>
" -- eh.zu out.txt -
  [[ $(cat err.txt) == ERROR ]] || fail "ErrHandler stderr: standard error [$(cat err.txt)]"
  validate --closed eh.mx || fail "ErrHandler stderr left eh.mx open"
  python3 -c "
b = open('good.mx', 'rb').read()
open('trunc.mx', 'wb').write(b[:len(b) // 2])
open('foreign.mx', 'wb').write(b'not a matrix file\n' * 6)
for at in 0, 40: open('flip%d.mx' % at, 'wb').write(b[:at] + bytes([b[at] ^ 16]) + b[at + 1:])"
  : > r.zu
  for f in trunc flip0 flip40 foreign; do
    cp $f.mx $f.orig
    printf '(qmxCreate filename="%s.mx" %s)\n' $f "$small" >> r.zu
  done
  replies "refused files" 0 "<Result> 1 $E \"r.zu\" 1 \"qmxCreate\" $INVALID)</Result>
<Result> 3 $E \"r.zu\" 3 \"qmxCreate\" $INVALID)</Result>
<Result> 5 $E \"r.zu\" 5 \"qmxCreate\" $INVALID)</Result>
<Result> 7 $E \"r.zu\" 7 \"qmxCreate\" $INVALID)</Result>
" -- r.zu out.txt -
  for f in trunc flip0 flip40 foreign; do cmp -s $f.mx $f.orig || fail "$f.mx changed"; done

  # A stored fetch script whose text no longer reads: opening with its mode
  # is refused, and the file stays as it was.
  printf '(qmxCreate filename="s.mx" %s (qmxPhase area="3" mode="server" (mxLoad target="x" "y")))\n' "$small" > s.zu
  replies "stored scripts" 0 "<Result> 1 1</Result>
" -- s.zu out.txt -
  python3 -c "
b = open('s.mx', 'rb').read()
open('s.mx', 'wb').write(b.replace(b'\"y\")', b'\"y\" '))"
  cp s.mx s.orig
  printf '(qmxCreate filename="s.mx" currentPhase_mode="server" %s)\n(qmxCreate filename="s.mx" readphase="1")\n' \
    "$small" > u.zu
  replies "a stored script that does not read" 0 "<Result> 1 $E \"u.zu\" 1 \"qmxCreate\" $INVALID)</Result>
<Result> 3 $E \"u.zu\" 3 \"qmxCreate\" $INVALID)</Result>
" -- u.zu out.txt -
  cmp -s s.mx s.orig || fail "s.mx changed"

  # A writer holds w.mx while it loops; a second process is refused.
  printf '(qmxCreate filename="w.mx" %s)\n(while 1 (List))\n' "$small" > w.zu
  start_writer() {
    rm -f wout.txt
    "$QNMX" w.zu wout.txt 2> /dev/null &
    pid=$!
    for _ in $(seq 300); do grep -q '<Result> 1 1</Result>' wout.txt 2> /dev/null && return; sleep 0.1; done
    fail "the writer did not create w.mx"
  }
  start_writer
  printf '(qmxCreate filename="w.mx" (qmxMatrixParam channel_nos="5" dim="2"))\n(qmxClose id="1")\n' > b.zu
  replies "a file open in another process" 0 "<Result> 1 $E \"b.zu\" 1 \"qmxCreate\" $BUSY)</Result>
<Result> 2 #error(2147747075 \"SITE\" \"b.zu\" 2 \"qmxClose\" ())</Result>
" -- b.zu out.txt -
  kill -INT $pid
  wait $pid
  [[ $? == 1 ]] || fail "the interrupted writer's status"
  validate --closed w.mx || fail "the interrupt left w.mx open"
  start_writer
  kill -9 $pid
  wait $pid
  validate --closed w.mx | grep -q 'open-for-writing mark still set' || fail "kill -9 left no open mark"
  validate w.mx || fail "w.mx after kill -9"
  header=$(validate --records w.mx | cut -d' ' -f1-2)
  replies "a file a killed writer left open" 0 "<Result> 1 1</Result>
<Result> 2 ()</Result>
" -- b.zu out.txt -
  validate --closed w.mx || fail "w.mx after the take-over"
  [[ $(validate --records w.mx | cut -d' ' -f1-2) == "$header" ]] || fail "w.mx was re-initialised"
  ;;
structures)
  # A fetch script hands structure blocks to mxSetSB and sbArray in every
  # way a script can: values that are not structures, a structure kept
  # after the channel that adopted it freed it, a prototype an array owns,
  # a structure made for another channel; and the freed structure's value
  # where element data go (a block, a vector, children to thin, an old
  # format's parent), which no command may follow.
  # Each answer's error code (0 for none) goes into a compound block of
  # channel 2; the node is read and the matrix closed without a fault.
  cases=(
    '(mxSetSB (sbArray (car (cdr (cdr (mxCH 1))))) channel="1")'
    '(mxSetSB (car (cdr (cdr (mxCH 1)))) channel="1")'
    '(mxSetSB (progn (set keep (sbPrimitive)) keep) channel="1")'
    '(mxSetSB keep channel="1")'
    '(mxSetSB (sbPrimitive) channel="1")'
    '(mxSetSB keep channel="1")'
    '(mxSetSB (sbArray keep) channel="1")'
    '(mxSetSB (progn (set held (sbHeuristocLayering)) (sbArray held)) channel="1")'
    '(mxSetSB held channel="1")'
    '(mxSetSB (sbArray held) channel="1")'
    '(mxSetSB (progn (set other (sbPrimitive)) 5) channel="3")'
    '(mxSetSB other channel="1")'
    '(mxSetSB (sbArray other) channel="1")'
    '(mxSetSB other channel="3")'
    '(mxSet 2 (List (quote data) (List 0 0) keep))'
    '(mxSet 0 (List (quote data) (List 0 0) keep))'
    '(mxThinnedOut type="average" channel="0" (List (quote Children) (List (quote data) (List 0 0) keep)))'
    '(mxUncompressOldFormat (List (quote data) (List 0 0) keep) (List (quote data) (List 0 0) (List 4 4 (List) (List))))'
  )
  want="0x80030806 0x80030806 0 0 0 0x80030806 0x80030806 0 0x80030806 0x80030806 0x80030806 0x80030806 0x80030806 0"
  want+=" 0x80040503 0x80040503 0x80030806 0"
  fetch='(mxFinish normal-jump-status="MS_OK") (mxSet 1 (mxCompound type="1" "x")) (define keep 0) (define held 0) (define other 0)'
  items=
  for i in "${!cases[@]}"; do
    fetch+=" (define c$i (GE (ErrHandler ${cases[$i]}) 5))"
    items+=" c$i"
  done
  fetch+=" (mxSet 2 (mxCompound type=\"1\"$items))"
  printf '(qmxCreate filename="sb.mx" (qmxMatrixParam channel_nos="4" dim="1") (qmxMatrixPixelSize dim="0" value="100") (qmxMatrixBlockSize dim="0" value="4") (qmxMatrixDimDivide dim="0" value="1") (qmxChannelInfo channel="0" type="int8_v") (qmxChannelInfo channel="1" type="block") (qmxChannelInfo channel="2" type="block") (qmxChannelInfo channel="3" type="block") (qmxPhase area="3" %s) (qmxPhase area="4" type="equ" equ="3") (qmxPhase area="5" type="equ" equ="3"))\n' "$fetch" > sb.zu
  echo '(Save option="raw" oflag="creat:trunc" "codes.bin" (List (car (cdr (cdr (qmxGetPoint mode="block" channel="2" "sb.mx" (List 0 0)))))))' >> sb.zu
  echo '(qmxClose id="1")' >> sb.zu
  replies "structures handed to mxSetSB and sbArray" 0 "<Result> 1 1</Result>
<Result> 2 ()</Result>
<Result> 3 ()</Result>
" -- sb.zu out.txt -
  [[ -s err.txt ]] && fail "structures: standard error [$(head -c 2000 err.txt)]"
  # Integer items: type 5, the length 8 as a two-byte code, the value.
  got=$(python3 -c "
import struct, sys
b = open('codes.bin', 'rb').read()
print(' '.join(hex(struct.unpack('>BHq', b[i:i + 11])[2] & 0xffffffff) if struct.unpack('>BHq', b[i:i + 11])[2] else '0'
               for i in range(0, len(b), 11)))" 2>&1)
  [[ $got == "$want" ]] || fail "structures: codes [$got], want [$want]"
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
threads)
  # Two script threads loop over qmxCreate and qmxClose while the script
  # ends, or while an interrupt ends the process: no matrix is freed under
  # a command (the test build reports any use after free), and both files
  # are left closed and valid.
  d='(qmxMatrixParam channel_nos="1" dim="1") (qmxMatrixPixelSize dim="0" value="100") (qmxMatrixBlockSize dim="0" value="4") (qmxMatrixDimDivide dim="0" value="1") (qmxChannelInfo channel="0" type="int8")'
  : > t.zu
  for f in a b; do
    printf '(IgnoreDelay (Thread (while 1 (Eval (CurrentEnvironment) (List (SetAttribute (quote qmxClose) "id" (qmxCreate filename="%s.mx" %s)))))))\n' $f "$d" >> t.zu
  done
  # The end comes once both threads have made their files, however long
  # starting them takes under load: the third form waits for the files
  # (in the script: a child process would hold a copy of a record file's
  # descriptor, and with it the file's lock, while it starts).
  ready='(Sequence () (while (not (and (FindFile "a.mx") (FindFile "b.mx"))) (Sleep 1)) "ready")'
  cp t.zu i.zu
  printf '%s\n(Sleep 2)\n' "$ready" >> t.zu
  printf '%s\n(Sleep 60)\n' "$ready" >> i.zu
  for run in 1 2 3; do
    rm -f a.mx b.mx
    replies "threads at the end, run $run" 0 "<Result> 1 ()</Result>
<Result> 2 ()</Result>
<Result> 3 \"ready\"</Result>
<Result> 4 2</Result>
" -- t.zu out.txt
    [[ -s err.txt ]] && fail "run $run: $(head -c 2000 err.txt)"
    validate --closed a.mx b.mx || fail "run $run left a file open"
  done
  rm -f a.mx b.mx out.txt
  "$QNMX" i.zu out.txt > so.txt 2> err.txt &
  pid=$!
  for _ in $(seq 1200); do
    grep -q '<Result> 3 "ready"' out.txt 2> /dev/null && break
    sleep 0.1
  done
  kill -INT $pid
  wait $pid
  rc=$?
  [[ $rc == 1 ]] || fail "threads at an interrupt: status $rc"
  [[ -s err.txt ]] && fail "threads at an interrupt: $(head -c 2000 err.txt)"
  validate --closed a.mx b.mx || fail "the interrupt left a file open"
  ;;
*)
  echo "unknown group $GROUP"
  exit 2
  ;;
esac

[[ $FAILS == 0 ]] && echo "all $GROUP cases passed"
exit $((FAILS > 0))
