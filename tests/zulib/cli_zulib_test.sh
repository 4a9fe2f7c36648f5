#!/bin/bash
# End-to-end tests of the library run by the qnmx program:
#   cli_zulib_test.sh <qnmx binary> <group>
# A golden group runs scripts/<group>.zu and compares its replies (the site
# name replaced by SITE) with scripts/<group>.out, and the program's own
# standard error and standard output with <group>.err and <group>.stdout
# (empty when the file is absent). The other groups build their scripts
# and expectations here, with outside tools as oracles where they apply.
set -u
QNMX=$(realpath "$1")
GROUP=$2
HERE=$(dirname "$(realpath "$0")")
WORK=$(mktemp -d /tmp/qnmx_zulib_XXXXXX)
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

canon() { sed "s/\"${SITE//./\\.}\"/\"SITE\"/g" "$1"; }

# same <what> <expected file or empty> <got file>
same() {
  local want=/dev/null
  [[ -n $2 && -e $2 ]] && want=$2
  if ! diff -u "$want" "$3" > diff.txt; then
    fail "$GROUP: $1 differs"
    sed 's/^/  /' diff.txt | head -60
  fi
}

golden() {
  local g=$HERE/scripts/$GROUP
  cp "$g.zu" .
  "$QNMX" "$GROUP.zu" out.txt > stdout.txt 2> stderr.txt
  local rc=$?
  [[ $rc == 0 ]] || fail "$GROUP: status $rc"
  canon out.txt > replies.txt
  same replies "$g.out" replies.txt
  same "standard error" "$g.err" stderr.txt
  same "standard output" "$g.stdout" stdout.txt
}

case $GROUP in
scope | control | evaluators | errors)
  golden
  ;;
regswitch)
  golden
  # Random texts scanned with the syntax RegSwitch and grep -E share: each
  # match becomes "#" and is collected; grep -o -b gives the expectation.
  python3 - "$QNMX" <<'PY' || FAILS=$((FAILS + 1))
import random, subprocess, sys
qnmx = sys.argv[1]
rnd = random.Random(31)
sets = [["[0-9]+"], ["a(b|c)*x?"], ["x.y"], ["(ab|abc)d+"], ["[^ a-c]+"], ["c?y+z"],
        ["[0-9]+", "[a-c]+x", "b?9.0"], ["x|xy|xyz", "y+"]]
bad = 0
for n, pats in enumerate(sets):
    text = "".join(rnd.choice("abcxyz0123456789 .-d") for _ in range(3000))
    open("t.txt", "w").write(text + "\n")
    grep = subprocess.run(["grep", "-E", "-o", "-b"] + sum((["-e", p] for p in pats), []) + ["t.txt"],
                          capture_output=True, text=True)
    if grep.returncode not in (0, 1):
        print("FAIL grep:", grep.stderr); sys.exit(1)
    want, hits, at = [], [], 0
    for line in grep.stdout.splitlines():
        off, m = line.split(":", 1)
        want.append(text[at:int(off)] + "#"); hits.append(m); at = int(off) + len(m)
    want.append(text[at:])
    expected = '("%s" (%s))' % ("".join(want), " ".join('"%s"' % h for h in hits))
    clauses = " ".join('(m%d rex="%s" (Sequence () (set hits (cons pattern hits)) "#"))' % (i, p)
                       for i, p in enumerate(pats))
    open("r.zu", "w").write('(Define hits ())\n(List (RegSwitch "%s" %s) (Reverse hits))\n' % (text, clauses))
    subprocess.run([qnmx, "r.zu", "r.txt"], check=False)
    got = open("r.txt").read().splitlines()[-1]
    got = got[len("<Result> 2 "):-len("</Result>")]
    if got != expected:
        bad += 1
        print("FAIL regswitch against grep for", pats)
        print("  want", expected[:300]); print("  got ", got[:300])
sys.exit(1 if bad else 0)
PY
  ;;
table)
  # Every name of the library's table, looked up from the root and from the
  # second top environment. Bound exactly: the built families' names, in the
  # environment the published split gives them; the agent adds its Exit to
  # the second top environment, its Get and its constants to the root.
  python3 - "$QNMX" "$HERE/../../src/zulib/lib_names.cc" <<'PY' || FAILS=$((FAILS + 1))
import re, subprocess, sys
qnmx, table = sys.argv[1], sys.argv[2]
second = set("""Env1 Arg ArgOption Test Rule Load Save SetPrefixMode SetDatabasePath SetDirectory GetZUpathpair
  SetLogPath FindFile SetScriptPath Chdir Exit GetVariable Launch Shell Export SetMainInterpreter SetThisAgentName
  SessionEnvironment GetCPUStatus SetProxy SetNativeProxy""".split())
rows = re.findall(r'\{"([^"]+)", \d, (\w+)\}', open(table).read())
if len(rows) != 146:
    print("FAIL the table has", len(rows), "rows"); sys.exit(1)
agent = {"Exit", "Get"}
lines, want = [], []
unbound = -2147285243
for i, (name, binder) in enumerate(rows):
    built = binder != "nullptr" or name in agent
    lines.append('(List (GE (ErrHandler (Eval Env0 (quote %s))) 5) (GE (ErrHandler (Eval Env1 (quote %s))) 5))'
                 % (name, name))
    want.append("(%d %d)" % (0 if built and name not in second else unbound, 0 if built else unbound))
lines += ["(Eval Env0 (quote MI_SAVE_BT))", "(List (eq GE GetElement) (eq DE DefineEval))"]
want += ["23", "(1 1)"]
open("t.zu", "w").write("\n".join(lines) + "\n")
subprocess.run([qnmx, "t.zu", "t.txt"], check=False)
got = [re.sub(r"^<Result> \d+ (.*)</Result>$", r"\1", l) for l in open("t.txt").read().splitlines()]
names = [r[0] for r in rows] + ["MI_SAVE_BT", "GE/DE"]
bad = [(n, w, g) for n, w, g in zip(names, want, got) if w != g]
for n, w, g in bad:
    print("FAIL", n, "want", w, "got", g)
if len(got) != len(want):
    print("FAIL", len(got), "replies for", len(want), "forms")
sys.exit(1 if bad or len(got) != len(want) else 0)
PY
  ;;
stderr_exit)
  # A failure under ErrHandler stderr ends the program: status 1, ERROR on
  # standard error, nothing after it run, the replies before it kept.
  printf '(List "before")\n(ErrHandler stderr="on" (List "fine"))\n(ErrHandler stderr="on" (car 1))\n(List "never")\n' > x.zu
  "$QNMX" x.zu out.txt > stdout.txt 2> stderr.txt
  rc=$?
  [[ $rc == 1 ]] || fail "stderr_exit: status $rc"
  printf 'ERROR\n' > want.txt
  same "standard error" want.txt stderr.txt
  canon out.txt > replies.txt
  printf '<Result> 1 ("before")</Result>\n<Result> 2 (Error 2 "SITE" "x.zu" "ErrHandler" 0 ("fine"))</Result>\n' > want.txt
  same replies want.txt replies.txt
  ;;
*)
  echo "unknown group $GROUP"
  exit 2
  ;;
esac

[[ $FAILS == 0 ]] && echo "all $GROUP cases passed"
exit $((FAILS > 0))
