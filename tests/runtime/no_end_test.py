#!/usr/bin/env python3
"""What no peer may end: no_end_test.py QNMX [ATTACK...]

A table of attacks on a listening qnmx, each on an agent of its own under a
heap budget of 64 MiB (QNMX_HEAP_BUDGET_MIB) or a cap of 48 tasks (run as a
user of its own under RLIMIT_NPROC, which needs root). An honest peer linked
before the attack is answered after it, and a new peer links and is
answered. A memory attack gets the error "memory" naming the built-in, and
the resident size falls back within 64 MiB (not checked when
HOSTILE_RSS_BOUNDS=off); threads and links stop at all peers' totals,
below what the process can hold, so a new link is answered. An
agent without the budget must fail rather than take the machine: ASan's
hard RSS limit, or a 4 GiB address space for an uninstrumented one.
"""
import os
import resource
import socket
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from checks import check, failures, free_port, line_link as link, listening, start, stop, wait_until  # noqa: E402

QNMX = os.path.realpath(sys.argv[1])
MIB = 1 << 20
UID = 40000 + os.getpid() % 20000  # RLIMIT_NPROC counts every task of the user
SCRIPT = ('(SetMainInterpreter (OpenInterpreter "accept" Env0 (Port (Cast type="integer" (Arg 1))) '
          '(Permission () (Allow "ip" "127.0.0.0" "255.0.0.0"))))\n')
with open(QNMX, "rb") as f:
    SANITIZED = b"__asan_init" in (b := f.read()) or b"__tsan_init" in b

# name, limit, forms sent first, the attack (None: idle links), the built-in
# its error names (memory attacks)
ATTACKS = [
    ("replace-doubling", "budget", [], '(Let (Sub (s "a") (i 0)) (While (< i 40) (Let (set s (ReplaceString s '
     '"a" "aa")) (set i (+ i 1)))) (StringLength s))', "ReplaceString"),
    ("one-huge-string", "budget", ['(define w "aaaaaaaaaaaaaaaa")', "(define wi 0)", '(While (< wi 12) '
     '(Sequence () (set w (ReplaceString w "a" "aa")) (set wi (+ wi 1))))'],
     '(StringLength (ReplaceString w "a" w))', "ReplaceString"),
    ("append-doubling", "budget", [], "(Let (Sub (l (List 1 2 3 4)) (i 0)) (While (< i 40) (Let (set l "
     "(Append l l)) (set i (+ i 1)))) (ListLength l))", "Append"),
    # A peer's threads hold no more than its link's evaluations may.
    ("thread-share", "budget", [], "(Thread (Let (Sub (l (List 1 2 3 4)) (i 0)) (While (< i 17) (Let (set l "
     "(Append l l)) (set i (+ i 1)))) (ListLength l)))", "Append"),
    ("thread-exhaustion", "threads", ["(define sp () (h) (Thread (ErrHandler (sp)) (Sleep 4)))"], "(sp)", None),
    ("idle-links", "threads", [], None, None),
    # Connections of one address that send one byte of their first line and
    # wait: once they hold every thread, the next of another address takes
    # the place of one of them.
    ("slow-first-lines", "threads", [], "G", None),
]


def agent(work, limit):
    os.chmod(work, 0o777)
    with open(os.path.join(work, "srv.zu"), "w") as f:
        f.write(SCRIPT)
    # The threads rows run out of the process's tasks, past any cap of one
    # peer's threads and of all peers' links.
    env = dict(os.environ, HOME=work, STD_CODE="UTF-8", QNMX_HEAP_BUDGET_MIB="64" if limit == "budget" else "0",
               QNMX_PEER_THREADS="100000", QNMX_PEER_LINKS_ALL="100000", QNMX_FIRST_LINE_IDLE="300",
               QNMX_FIRST_LINE_TOTAL="300",
               ASAN_OPTIONS="detect_leaks=0:quarantine_size_mb=4:allocator_release_to_os_interval_ms=200:"
               "allocator_may_return_null=1:max_allocation_size_mb=2048:hard_rss_limit_mb=3072")

    def limits():
        if not SANITIZED:
            resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))
        if limit == "threads":
            os.setgroups([])
            os.setgid(UID)
            resource.setrlimit(resource.RLIMIT_NPROC, (48, 48))
            os.setuid(UID)
    port = free_port()
    p = start([QNMX, "srv.zu", "srv.out", "srv.err", "/", str(port)], cwd=work, env=env, preexec_fn=limits,
              stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=open(work + "/srv.stderr", "wb"))
    wait_until(lambda: listening(port) or p.poll() is not None, 60)
    return p, port


def rss(p, key):
    try:
        with open("/proc/%d/status" % p.pid) as f:
            return next((int(l.split()[1]) * 1024 for l in f if l.startswith(key + ":")), 0)
    except OSError:
        return 0


def ask(s, form, timeout=120):
    s.settimeout(timeout)
    s.sendall(form.encode() + b"\n")
    got = b""
    while b"</Result>" not in got and (c := s.recv(65536)):
        got += c
    return got.decode(errors="replace")


def answered(s, a, b):
    try:
        return " %d</Result>" % (a + b) in ask(s, "(+ %d %d)" % (a, b), 60)
    except OSError:
        return False


def new_peer_answered(port):
    try:
        with link(port, 10) as s:
            return answered(s, 40, 2)
    except OSError:
        return False


def eventually(cond, limit):
    """Whether cond() held once within limit seconds (wait_until asks again
    at the end, and at the thread cap a link may just miss a thread)."""
    end = time.monotonic() + limit
    while not cond():
        if time.monotonic() > end:
            return False
        time.sleep(0.3)
    return True


def attack(p, port, name, prep, form, builtin):
    a = link(port)
    for f in prep:
        check("#error" not in ask(a, f), "%s: %s" % (name, f))
    if builtin:
        before = rss(p, "VmRSS")
        with open("/proc/%d/clear_refs" % p.pid, "w") as f:
            f.write("5")  # the peak from here on
        reply = ask(a, form)
        check('"%s" ("memory")' % builtin in reply, "%s: the error names %s: %r" % (name, builtin, reply[:200]))
        check(answered(a, 1, 1), "%s: the attacker's link still answers" % name)
        peak = rss(p, "VmHWM")
        fell = wait_until(lambda: rss(p, "VmRSS") <= before + 64 * MIB, 60)
        print("%s: resident %d MiB before, %d MiB at the peak, %d MiB after" %
              (name, before // MIB, peak // MIB, rss(p, "VmRSS") // MIB), flush=True)
        check(fell or os.environ.get("HOSTILE_RSS_BOUNDS") == "off", "%s: memory falls back" % name)
    elif name == "slow-first-lines":
        slow = []
        while len(slow) < 200:
            s = socket.socket()
            s.bind(("127.0.0.2", 0))
            s.connect(("127.0.0.1", port))
            s.sendall(form.encode())
            slow.append(s)
            s.settimeout(0.1)
            try:
                if b"Busy" in s.recv(100):
                    break
            except OSError:
                pass
        check(len(slow) < 200, "%s: the slow connections run out of threads" % name)
        check(eventually(lambda: new_peer_answered(port), 5), "%s: another address is answered at once" % name)
        for s in slow:
            s.close()
    elif form:
        # Threads start until all peers' tasks are taken, below what the
        # process can hold: a new link is answered while they sleep.
        a.sendall(form.encode() + b"\n")
        time.sleep(1)
        check(new_peer_answered(port), "%s: a new link is answered while the threads run" % name)
    else:
        # Once one address's links hold every thread, one of them gives way
        # to a link of another address.
        idle = []
        while len(idle) < 200:
            try:
                idle.append(link(port, 10, "127.0.0.2"))
            except OSError:
                break
        check(len(idle) < 200, "%s: a link whose threads cannot start is refused" % name)
        check(eventually(lambda: new_peer_answered(port), 5), "%s: another address is answered at once" % name)
        for s in idle:
            s.close()
    a.close()


def main():
    for name, limit, prep, form, builtin in ATTACKS:
        if sys.argv[2:] and name not in sys.argv[2:] or limit == "threads" and os.geteuid() != 0:
            continue
        with tempfile.TemporaryDirectory() as work:
            p, port = agent(work, limit)
            try:
                honest = link(port)
                check(answered(honest, 1, 2), "%s: the honest peer is answered before" % name)
                attack(p, port, name, prep, form, builtin)
                check(p.poll() is None, "%s: the agent is alive" % name)
                check(answered(honest, 3, 4), "%s: the honest peer is still answered" % name)
                check(eventually(lambda: new_peer_answered(port), 120), "%s: a new peer is answered" % name)
            except OSError as e:
                check(False, "%s: %r" % (name, e))
            if p.poll() is not None:
                print("%s: the agent ended:" % name, open(work + "/srv.stderr", errors="replace").read()[-300:])
            stop(p)
    print("%d failed" % len(failures))
    sys.exit(1 if failures else 0)


main()
