#!/usr/bin/env python3
"""What no peer may end: no_end_test.py QNMX [ATTACK...]

One table of attacks on a listening qnmx, each against an agent of its own
started under a lowered limit: a heap budget of 64 MiB
(QNMX_HEAP_BUDGET_MIB), or a cap on the threads it may have (the agent runs
as a user of its own under RLIMIT_NPROC, so that the cap holds for root
too). Before
and after each attack an honest peer, linked before the attack began, is
answered; after it a new peer can link and be answered too.

memory attacks  an evaluation that would pass the budget gets the error
                "memory" naming the built-in (and the link stays usable);
                what it built is collected: the resident size falls back
                within 64 MiB of where it was before the attack
thread attacks  a link whose threads cannot start is closed (its peer
                sees its connection end) and the agent goes on

An instrumented agent (ASan) has a hard RSS ceiling and no allocation above
2 GiB, a plain one a 4 GiB address space, so an agent that lacks the budget
fails the test without taking the machine with it. The peak and settled
resident sizes are printed for each memory attack; under ThreadSanitizer,
whose resident size is mostly its shadow, they are not checked
(HOSTILE_RSS_BOUNDS=off).
"""
import os
import resource
import socket
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from checks import check, failures, free_port, listening, start, stop, wait_until  # noqa: E402

QNMX = os.path.realpath(sys.argv[1])
ONLY = sys.argv[2:]
MIB = 1 << 20
RSS_BOUNDS = os.environ.get("HOSTILE_RSS_BOUNDS", "on") != "off"
# A user of the test run's own, so that the cap counts this agent's tasks
# alone (RLIMIT_NPROC counts every task of the user).
UID = 40000 + os.getpid() % 20000
SCRIPT = ('(SetMainInterpreter (OpenInterpreter "accept" Env0 (Port (Cast type="integer" (Arg 1))) '
          '(Permission () (Allow "ip" "127.0.0.1" "255.255.255.255"))))\n')
SANITIZED = b"__asan_init" in open(QNMX, "rb").read() or b"__tsan_init" in open(QNMX, "rb").read()



# name, how the agent is limited, forms sent first, the attack, the built-in
# its error must name (memory attacks)
ATTACKS = [
    ("replace-doubling", "budget", [],
     '(Let (Sub (s "a") (i 0)) (While (< i 40) (Let (set s (ReplaceString s "a" "aa")) (set i (+ i 1)))) '
     '(StringLength s))', "ReplaceString"),
    ("one-huge-string", "budget",
     ['(define w "aaaaaaaaaaaaaaaa")', "(define wi 0)",
      '(While (< wi 12) (Sequence () (set w (ReplaceString w "a" "aa")) (set wi (+ wi 1))))'],
     '(StringLength (ReplaceString w "a" w))', "ReplaceString"),
    ("append-doubling", "budget", [],
     "(Let (Sub (l (List 1 2 3 4)) (i 0)) (While (< i 40) (Let (set l (Append l l)) (set i (+ i 1)))) "
     "(ListLength l))", "Append"),
    ("thread-exhaustion", "threads", ["(define sp () (h) (Thread (ErrHandler (sp)) (Sleep 4)))"], "(sp)", None),
    ("idle-links", "threads", [], None, None),
]


class Agent:
    def __init__(self, work, limit):
        self.port = free_port()
        self.limit = limit
        os.chmod(work, 0o777)
        with open(os.path.join(work, "srv.zu"), "w") as f:
            f.write(SCRIPT)
        opts = os.environ.get("ASAN_OPTIONS", "")
        env = dict(os.environ, HOME=work, STD_CODE="UTF-8",
                   ASAN_OPTIONS=(opts + ":" if opts else "") +
                   "detect_leaks=0:quarantine_size_mb=4:allocator_release_to_os_interval_ms=200:"
                   "allocator_may_return_null=1:max_allocation_size_mb=2048:hard_rss_limit_mb=3072")
        if limit == "budget":
            env["QNMX_HEAP_BUDGET_MIB"] = "64"
        self.proc = start([QNMX, "srv.zu", "srv.out", "srv.err", "/", str(self.port)], cwd=work, env=env,
                          stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=open(os.path.join(work, "srv.stderr"), "wb"), preexec_fn=self.limits)
        self.work = work
        if not wait_until(lambda: listening(self.port) or self.proc.poll() is not None, 60):
            raise RuntimeError("agent does not listen")

    def limits(self):
        if not SANITIZED:
            resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))
        if self.limit == "threads":
            # Room for the agent's own tasks and a few links.
            os.setgroups([])
            os.setgid(UID)
            resource.setrlimit(resource.RLIMIT_NPROC, (48, 48))
            os.setuid(UID)

    def status(self, key):
        """A size from /proc/PID/status; 0 once the agent has ended."""
        try:
            with open("/proc/%d/status" % self.proc.pid) as f:
                return next((int(l.split()[1]) * 1024 for l in f if l.startswith(key + ":")), 0)
        except OSError:
            return 0

    def alive(self):
        return self.proc.poll() is None

    def stderr(self):
        with open(os.path.join(self.work, "srv.stderr"), errors="replace") as f:
            return f.read()[-600:]



def link(port, timeout=30):
    """A line link past its admission; ConnectionError when the agent ends
    it first."""
    s = socket.create_connection(("127.0.0.1", port), timeout=timeout)
    s.sendall(b"\n")
    got = b""
    while b"</Permission>" not in got:
        c = s.recv(4096)
        if not c:
            s.close()
            raise ConnectionError("closed before its admission")
        got += c
    return s


def ask(s, form, timeout=120):
    """The reply to one form ('' when the link ended first)."""
    s.settimeout(timeout)
    s.sendall(form.encode() + b"\n")
    got = b""
    while b"</Result>" not in got:
        c = s.recv(65536)
        if not c:
            return ""
        got += c
    return got.decode(errors="replace")


def answered(s, a, b):
    try:
        return "<Result>" in (r := ask(s, "(+ %d %d)" % (a, b), 60)) and (" %d</Result>" % (a + b)) in r
    except OSError:
        return False


def new_peer_answered(port):
    try:
        with link(port, 10) as s:
            return answered(s, 40, 2)
    except OSError:
        return False


def memory_attack(agent, name, prep, attack, builtin):
    with link(agent.port) as a:
        for form in prep:
            check("#error" not in ask(a, form), "%s: %s" % (name, form))
        before = agent.status("VmRSS")
        with open("/proc/%d/clear_refs" % agent.proc.pid, "w") as f:
            f.write("5")  # the peak from here on
        t0 = time.time()
        reply = ask(a, attack)
        took = time.time() - t0
        check('"%s" ("memory")' % builtin in reply, "%s: the error names %s: %r" % (name, builtin, reply[:300]))
        check(answered(a, 1, 1), "%s: the attacker's link still answers" % name)
    if not agent.alive():
        return
    peak = agent.status("VmHWM")
    settled = wait_until(lambda: agent.status("VmRSS") <= before + 64 * MIB, 60)
    after = agent.status("VmRSS")
    print("%s: refused after %.1f s; resident %d MiB before, %d MiB at the peak, %d MiB after" %
          (name, took, before // MIB, peak // MIB, after // MIB), flush=True)
    if RSS_BOUNDS:
        check(settled, "%s: memory falls back after the refusal (%d -> %d MiB)" % (name, before // MIB, after // MIB))


def thread_attack(agent, name, prep, attack):
    attacker = link(agent.port)
    for form in prep:
        check("#error" not in ask(attacker, form), "%s: %s" % (name, form))
    idle = []
    if attack:
        attacker.sendall(attack.encode() + b"\n")  # threads start until no more can
        refused = wait_until(lambda: not new_peer_answered(agent.port), 60, 0.2)
    else:
        refused = False
        for _ in range(200):
            try:
                idle.append(link(agent.port, 10))
            except OSError:
                refused = True
                break
    check(refused, "%s: a link whose threads cannot start is refused" % name)
    check(agent.alive(), "%s: the agent survives a link that cannot start" % name)
    print("%s: %d idle links held, then the next one was closed" % (name, len(idle)), flush=True)
    for s in idle:
        s.close()
    attacker.close()


def run(name, limit, prep, attack, builtin):
    with tempfile.TemporaryDirectory() as work:
        agent = Agent(work, limit)
        try:
            honest = link(agent.port)
            check(answered(honest, 1, 2), "%s: the honest peer is answered before" % name)
            if limit == "budget":
                memory_attack(agent, name, prep, attack, builtin)
            else:
                thread_attack(agent, name, prep, attack)
            check(agent.alive(), "%s: the agent is alive" % name)
            check(answered(honest, 3, 4), "%s: the honest peer is still answered" % name)
            # A thread attack's tasks end (Sleep) and its links close.
            check(wait_until(lambda: new_peer_answered(agent.port), 120, 0.5),
                  "%s: a new peer links and is answered" % name)
            honest.close()
        except OSError as e:
            check(False, "%s: %r" % (name, e))
        if not agent.alive():
            print("%s: the agent ended: %s" % (name, agent.stderr()), flush=True)
        stop(agent.proc)


def main():
    if os.geteuid() != 0:
        print("skipped: the thread attacks cap the agent's threads as a user of their own, which needs root")
    for name, limit, prep, attack, builtin in ATTACKS:
        if ONLY and name not in ONLY:
            continue
        if limit == "threads" and os.geteuid() != 0:
            continue
        run(name, limit, prep, attack, builtin)
    print("%d failed" % len(failures))
    sys.exit(1 if failures else 0)


main()
