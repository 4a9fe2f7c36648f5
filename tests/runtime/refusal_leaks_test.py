#!/usr/bin/env python3
"""A refusal leaves nothing behind: refusal_leaks_test.py QNMX [KIND...]

A listening qnmx under a heap budget of 64 MiB (QNMX_HEAP_BUDGET_MIB). For
each kind of built-in that makes a C buffer before the ZU value it answers,
a peer holds most of its quarter of the budget and then has the built-in
refused for memory 1,000 times. The resident size after the burst must
come back within 50 MiB of its size before (read from /proc); a burst that
takes the agent 512 MiB above it has failed already and is stopped there.
Under ThreadSanitizer the sizes are printed, not checked
(HOSTILE_RSS_BOUNDS=off).
"""
import os
import socket
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from checks import check, failures, free_port, line_link, listening, start, stop, wait_until  # noqa: E402

QNMX = os.path.realpath(sys.argv[1])
MIB = 1 << 20
RSS_BOUNDS = os.environ.get("HOSTILE_RSS_BOUNDS", "on") != "off"
# The agent's own inputs: u 20,000 non-ASCII characters, s 200,000 ASCII,
# q as many of path components, p 830,000 ASCII.
SCRIPT = """(define u "%s")
(define u (ReplaceString (ReplaceString u "é" "éééééééééé") "é" "éééééééééé"))
(define s "%s")
(define s (ReplaceString (ReplaceString (ReplaceString s "a" "aaaaaaaaaa") "a" "aaaaaaaaaa") "a" "aaaaaaaaaa"))
(define q (CutString (ReplaceString s "a" "a/") 0 200000))
(define p (ReplaceString (CutString s 0 83000) "a" "aaaaaaaaaa"))
(SetMainInterpreter (OpenInterpreter "accept" (CurrentEnvironment) (Port (Cast type="integer" (Arg 1)))
  (Permission () (Allow "ip" "127.0.0.1" "255.255.255.255"))))
""" % ("é" * 200, "a" * 200)
# kind, a form whose answer (800 kB and more) the peer's room cannot hold
KINDS = [
    ("URLStringCode", "(URLStringCode u)"),
    ("DecodeURLString", "(DecodeURLString s)"),
    ("ComposeURL", '(ComposeURL "http://h/d/" q)'),
    ("ComposePath", '(ComposePath "/d/" s)'),
]
# 16.6 MB held by the peer: less than 180 kB of its quarter stay free.
# The burst answers the last refusal.
BURST = ('(Let (Sub (hold (ReplaceString p "a" "aaaaa")) (i 0) (r 0)) (While (< i 1000) '
         '(Sequence () (set r (ErrHandler %s)) (set i (+ i 1)))) r)')


def resident(p):
    with open("/proc/%d/status" % p.pid) as f:
        return next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmRSS:"))


def ask(s, form, p=None, bound=None):
    """The reply to form; None when p passed bound meanwhile."""
    s.sendall(form.encode() + b"\n")
    got, end = b"", time.monotonic() + 300
    s.settimeout(0.2)
    while b"</Result>" not in got and time.monotonic() < end:
        if p is not None and RSS_BOUNDS and resident(p) > bound:
            return None
        try:
            c = s.recv(65536)
        except socket.timeout:
            continue
        if not c:
            break
        got += c
    return got.decode(errors="replace")


def burst(p, port, kind, form):
    with line_link(port) as s:
        before = resident(p)
        reply = ask(s, BURST % form, p, before + 512 * MIB)
        if reply is None:
            check(False, "%s: the burst took the agent more than 512 MiB above %d MiB" % (kind, before // MIB))
            return
        check('"%s" ' % kind in reply and ' ("memory"))' in reply, "%s: refused for memory: %r" % (kind, reply[:200]))
    fell = wait_until(lambda: resident(p) <= before + 50 * MIB, 30)
    print("%-16s resident %d MiB before 1,000 refusals, %d MiB after" % (kind, before // MIB, resident(p) // MIB),
          flush=True)
    check(fell or not RSS_BOUNDS, "%s: the resident size stays within 50 MiB of its size before" % kind)


def agent(work):
    with open(os.path.join(work, "srv.zu"), "w", encoding="utf-8") as f:
        f.write(SCRIPT)
    env = dict(os.environ, HOME=work, STD_CODE="UTF-8", QNMX_HEAP_BUDGET_MIB="64",
               ASAN_OPTIONS="detect_leaks=0:quarantine_size_mb=4:allocator_release_to_os_interval_ms=200")
    port = free_port()
    p = start([QNMX, "srv.zu", "srv.out", "srv.err", "/", str(port)], cwd=work, env=env,
              stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait_until(lambda: listening(port) or p.poll() is not None, 60)
    return p, port


def main():
    for kind, form in KINDS:
        if sys.argv[2:] and kind not in sys.argv[2:]:
            continue
        # An agent of its own: what one kind leaked is not measured again.
        with tempfile.TemporaryDirectory() as work:
            p, port = agent(work)
            if check(p.poll() is None, "%s: the agent listens" % kind):
                burst(p, port, kind, form)
            stop(p)
    print("%d failed" % len(failures))
    sys.exit(1 if failures else 0)


main()
