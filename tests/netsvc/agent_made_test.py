#!/usr/bin/env python3
"""What the agent made is the agent's, from outside: agent_made_test.py QNMX GROUP

table  every kind of environment the agent made (the top two, the script's,
       a listener's, an agent function's keyword environment, the loops',
       OpenInterpreter's options and Permission's rules) against every way
       a peer writes one (Define, set, SetEA, DeleteDefine, MoveDefine,
       SetParentEnvironment, DefineDefault): each refused, while the peer
       writes its own environments freely and new names into the agent's.
       The agent's own thread goes on saving its tick file with its own
       names, and loops go on breaking, for the peer and for another.
heap   one address binds large strings under new names in the agent's
       environment, another in an environment of its own that the agent's
       keeps, until each is refused "memory"; another peer, a new one after
       the attackers left, and the agent's own thread go on.
"""
import os
import shutil
import socket
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
sys.path.insert(0, HERE)
from checks import check, end_all, failures, free_port, listening, start, stop, wait_until  # noqa: E402
from line_peer import Peer  # noqa: E402

QNMX, GROUP = os.path.abspath(sys.argv[1]), sys.argv[2]
WORK = tempfile.mkdtemp(prefix="qnmx_agent_made_")
REFUSED = "#error(2147749136 "  # 0x80040d10

# The agent: a tick thread of its own that reads its names at each pass, a
# function with a keyword environment of its own, a second listener on an
# environment it made, and its main listener on the script's environment.
AGENT = r'''
(Define tickfile "tick.txt")
(Define kw (NewEnvironment ()))
(SetEA kw "secret" 1)
(Define closed kw (h) (EA () "__args_env"))
(Define lenv (NewEnvironment (CurrentEnvironment)))
(SetEA lenv "greeting" "hi")
(Define big () (h) (Let (Sub (s "a") (i 0)) (While (< i 18) (Let (set s (ReplaceString s "a" "aa")) (set i (+ i 1)))) s))
(Define n 0)
(IgnoreDelay (Thread (While 1 (Sequence ()
  (set n (+ n 1))
  (Save oflag="creat:trunc" tickfile (List n (StringLength (big))))
  (Sleep 1)))))
(OpenInterpreter "accept" lenv (Port (Cast type="integer" (Arg 2)))
  (Permission () (Allow "ip" "127.0.0.0" "255.0.0.0")))
(SetMainInterpreter (OpenInterpreter "accept" (CurrentEnvironment) (Port (Cast type="integer" (Arg 1)))
  (Permission () (Allow "ip" "127.0.0.0" "255.0.0.0"))))
'''


def agent(env_extra=None):
    with open(os.path.join(WORK, "a.zu"), "w") as f:
        f.write(AGENT)
    port, lport = free_port(), free_port()
    env = dict(os.environ, HOME=WORK, STD_CODE="UTF-8", **(env_extra or {}))
    p = start([QNMX, "a.zu", "a.out", "a.err", "/", str(port), str(lport)], cwd=WORK, env=env)
    check(wait_until(lambda: listening(port) and listening(lport), 60), "the agent listens")
    return p, port, lport


def peer(port, src="127.0.0.1"):
    s = socket.socket()
    s.settimeout(120)
    s.bind((src, 0))
    s.connect(("127.0.0.1", port))
    p = Peer(s)
    s.sendall(b"\n")
    p.until(rb"</Permission>\n")
    return p


def ask(p, form):
    return p.ask(form.encode()).decode(errors="replace")


def ticks():
    """The agent's tick file (its count, a length), or None while it is not there."""
    try:
        with open(os.path.join(WORK, "tick.txt")) as f:
            return f.read()
    except OSError:
        return None


def tick_goes_on(what):
    first = ticks()
    check(wait_until(lambda: ticks() not in (None, first), 10), "%s: the agent's thread still saves" % what)
    # The file is truncated before each write: a read may find it empty.
    check(wait_until(lambda: "262144" in (ticks() or ""), 10), "%s: with the agent's own names: %r" % (what, ticks()))


# Each kind of environment the agent made: a form that binds E to it, in
# the peer's own environment, and a name the agent bound there.
OPTIONS = '(ErrHandler (OpenInterpreter "connect" () (Port 1) %s))'
KINDS = [
    ("top0", "(set E Env0)", "GetZUTime"),
    ("top1", "(set E Env1)", "mxPgFDIT_INT"),
    ("script", "(set E (GetParentEnvironment (CurrentEnvironment)))", "tickfile"),
    ("listener", "(set E lenv)", "greeting"),
    ("closure", "(set E (closed))", "secret"),
    ("loop", "(set E (GetParentEnvironment (While 0 (CurrentEnvironment))))", "Break"),
    ("options", OPTIONS % "(set E (GetParentEnvironment (CurrentEnvironment)))", "Port"),
    ("rules", OPTIONS % "(Permission () (set E (GetParentEnvironment (CurrentEnvironment))))", "Allow"),
]

# The ways to write: each form is evaluated in the peer's own environment
# M, where E is the target, N its name and O another environment of M's.
WRITES = [
    ("Define", "(Eval {E} (List Define (quote {N}) 0))"),
    ("set", "(Eval {E} (List set (quote {N}) 0))"),
    ("SetEA", '(SetEA {E} "{N}" 0)'),
    ("DeleteDefine", "(Eval {E} (List DeleteDefine (List quote (quote {N}))))"),
    ("MoveDefine", "(MoveDefine {N} {E} O)"),
    ("SetParentEnvironment", "(SetParentEnvironment {E} O)"),
    ("DefineDefault", "(Eval {E} (List DefineDefault () (quote (h)) 0))"),
]


def table():
    p, port, lport = agent()
    check(wait_until(lambda: ticks() is not None, 30), "the agent's thread saves")
    a = peer(port)
    # The peer's own environment, from which every form is written.
    for f in ["(Define M (NewEnvironment (CurrentEnvironment)))", "(Eval M (quote (Define O (NewEnvironment ()))))",
              "(Eval M (quote (Define E 0)))"]:
        check(REFUSED not in ask(a, f), "setting up: " + f)
    for kind, reach, name in KINDS:
        ask(a, "(Eval M (quote %s))" % reach)
        got = ask(a, "(Eval M (quote E))")
        check(got.startswith("[env:"), "%s: reached: %r" % (kind, got))
        for op, form in WRITES:
            reply = ask(a, "(Eval M (quote %s))" % form.format(E="E", N=name))
            check(REFUSED in reply, "%s %s %s: refused: %r" % (kind, op, name, reply[:160]))
    # What the peer may write: its own environments, and new names in the
    # agent's (which it then may change and remove).
    for op, form in WRITES:
        own = form.format(E="O2", N="mine")
        prep = ["(Eval M (quote (Define O2 (NewEnvironment ()))))", "(Eval M (quote (SetEA O2 \"mine\" 1)))"]
        for f in prep + ["(Eval M (quote %s))" % own]:
            reply = ask(a, f)
            check("#error" not in reply, "own %s: %s: %r" % (op, f, reply[:160]))
    for kind, reach, _ in KINDS[:4]:
        ask(a, "(Eval M (quote %s))" % reach)
        for f in ["(Define fresh_%s 1)", "(set fresh_%s 2)", "(DeleteDefine (quote fresh_%s))"]:
            reply = ask(a, "(Eval M (quote (Eval E (quote %s))))" % (f % kind))
            check("#error" not in reply, "new name in %s: %s: %r" % (kind, f % kind, reply[:160]))
    # The forms a peer sent to take the agent's thread over; the agent's
    # listener on lenv keeps its greeting.
    for f in ['(Define tickfile "touch SHELL; true ")', "(Define GetZUTime GetCwd)", "(Define Save Shell)",
              "(Define big () (h) 0)"]:
        check(REFUSED in ask(a, f), "refused: " + f)
    check(ask(peer(lport), "greeting") == '"hi"', "the listener's environment keeps the agent's names")
    tick_goes_on("after the peer's writes")
    check(not os.path.exists(os.path.join(WORK, "SHELL")), "nothing of the peer's ran as the agent")
    # Loops still break, for this peer and another; the rules still deny.
    check(ask(a, "(While 1 (Break 5))") == "5", "the peer's loop breaks")
    check(ask(peer(port, "127.0.0.3"), "(For 1 (Break 6))") == "6", "another peer's loop breaks")
    ask(a, "(Eval M (quote %s))" % KINDS[-1][1])
    check(ask(a, '(Eval M (quote (equal (EA E "Deny") (EA E "Allow"))))') != "t", "Permission's Deny is its own")
    stop(p)


def big(src_exp=20):
    return ('(Let (Sub (s "a") (i 0)) (While (< i %d) (Let (set s (ReplaceString s "a" "aa")) (set i (+ i 1)))) '
            '(StringLength s))' % src_exp)


HOLD = ('(Let (Sub (s "a") (i 0)) (While (< i 19) (Let (set s (ReplaceString s "a" "aa")) (set i (+ i 1)))) '
        's)')


def fill(attacker, form):
    """Binds 2 MiB strings by form until refused: the refusal, and how many
    were taken before it."""
    for k in range(60):
        reply = ask(attacker, form % (k, HOLD))
        if "#error" in reply:
            return reply, k
    return None, k


def heap():
    p, port, _ = agent({"QNMX_HEAP_BUDGET_MIB": "64"})
    check(wait_until(lambda: ticks() is not None, 30), "the agent's thread saves")
    # New names in the agent's environment, and in an environment of the
    # attacker's own that a binding in the agent's keeps.
    attackers = []
    for src, prep, form in [("127.0.0.2", None, "(Define hold%d %s)"),
                            ("127.0.0.5", "(Define mine (NewEnvironment (CurrentEnvironment)))",
                             "(Eval mine (quote (Define hold%d %s)))")]:
        attacker = peer(port, src)
        if prep:
            ask(attacker, prep)
        refused, k = fill(attacker, form)
        check(refused is not None and '("memory")' in refused, "%s: the bindings are refused: %r" % (src, refused))
        print("%s: bindings of 2 MiB taken before the refusal: %d" % (src, k), flush=True)
        check(ask(peer(port, "127.0.0.3"), big()) == "1048576", "%s: another peer goes on" % src)
        attackers.append(attacker)
    tick_goes_on("while the attackers hold their bindings")
    for attacker in attackers:
        attacker.s.close()
    time.sleep(0.5)
    check(ask(peer(port, "127.0.0.4"), big()) == "1048576", "a new peer after the attackers left goes on")
    stop(p)


try:
    {"table": table, "heap": heap}[GROUP]()
finally:
    end_all()
    if failures:
        print("work left in", WORK)
    else:
        shutil.rmtree(WORK, ignore_errors=True)
if failures:
    sys.exit("%d failed" % len(failures))
print("ok")
