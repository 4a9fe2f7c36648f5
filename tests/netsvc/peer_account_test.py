#!/usr/bin/env python3
"""What a peer holds is one account, from outside: peer_account_test.py QNMX LOCKD DRIVER [ROW...]

A table of attacks, each on an agent of its own (qnmx, the lock service, or
the HTTP agent's test driver) under limits small enough to show it in
seconds, by peers on their own 127.0.0.x addresses; in every row a newcomer
from another address is served afterwards.

another-peers-env  one address binds 2 MiB strings into an environment that
                   another address made: it is charged for them (a quarter
                   of a 64 MiB heap), and a new peer binds 4 MiB after both
                   have left.
link-keeps-no-form one address sends 80 MiB of forms one at a time under a
                   64 MiB heap: the link keeps none once it is answered.
agent-keeps-half   five addresses bind 7 x 2 MiB each: all peers together
                   keep at most half of the heap, and the agent's own thread
                   makes a 1 MiB string.
session-threads    one address opens sessions, whose interpreters' tasks
                   count against its cap (8): past it the opens are Busy and
                   its Thread is refused.
queued-requests    under 1,024 descriptors, one address queues requests on
                   open connections in its sessions, each seq far ahead of
                   the one due: they are refused, the few taken count against
                   its share, and descriptors are left for others.
slow-bodies        one address trickles request bodies into the HTTP agent:
                   each is ended after the body's total time, and they count
                   as waiting connections, so the address has no slot more
                   while a newcomer takes one of theirs.
lock-service       1,500 silent connections from one address hold no thread
                   of the lock service, an honest agent takes locks, and a
                   client that claims an agent's process id waits behind that
                   agent's lock while the agent's own second link does not.
rewrite-function   a peer's set of a function another link of its address
                   defined is refused, and the function's owner runs its own.
"""
import os
import re
import resource
import select
import socket
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
sys.path.insert(0, HERE)
from checks import check, failures, free_port, listening, start, stop, wait_until  # noqa: E402
import zoh_client  # noqa: E402
from zoh_client import header, read_reply, request, unpack  # noqa: E402

QNMX, LOCKD, DRIVER = (os.path.abspath(a) for a in sys.argv[1:4])
ONLY = sys.argv[4:]
MIB = 1 << 20
REFUSED = "#error(2147749136 "  # 0x80040d10
NEWCOMER = "127.0.0.60"

LISTEN = ('(Define L (OpenInterpreter "accept" Env0 (Port (Cast type="integer" (Arg 1))) '
          '(Permission () (Allow "ip" "127.0.0.0" "255.0.0.0"))))\n')
SERVE = LISTEN + "(SetMainInterpreter L)\n"


def raise_own_descriptors():
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, 8192)), hard))


class Link:
    """A line link from address src; `admitted` tells whether the agent
    allowed it."""

    def __init__(self, port, src, timeout=30):
        self.s = socket.create_connection(("127.0.0.1", port), timeout=timeout, source_address=(src, 0))
        self.s.sendall(b"\n")
        self.buf = b""
        self.admitted = b"<Permission>Allow</Permission>" in self.until(b"</Permission>")

    def until(self, marker):
        while marker not in self.buf:
            c = self.s.recv(65536)
            if not c:
                raise ConnectionError("closed before %r: %r" % (marker, self.buf[-200:]))
            self.buf += c
        got, _, self.buf = self.buf.partition(marker)
        return got + marker

    def ask(self, form):
        self.s.sendall(form.encode() + b"\n")
        return re.search(rb"<Result> \d+ (.*)</Result>", self.until(b"</Result>\n"), re.S).group(1).decode()

    def close(self):
        self.s.close()


def answered(port, src=NEWCOMER):
    """Whether a line link from src is admitted and answered."""
    try:
        link = Link(port, src, 20)
        ok = link.admitted and link.ask("(+ 40 2)") == "42"
        link.close()
        return ok
    except OSError:
        return False


class Agent:
    """qnmx on a script in a folder of its own, listening on a free port."""

    def __init__(self, script, env=None, nofile=None, fifo=None):
        self.work = tempfile.mkdtemp(prefix="qnmx_account_")
        with open(os.path.join(self.work, "a.zu"), "w") as f:
            f.write(script)
        if fifo:
            os.mkfifo(os.path.join(self.work, fifo))
        self.port = free_port()
        limits = (lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (nofile, nofile))) if nofile else None
        self.proc = start([QNMX, "a.zu", "a.out", "a.err", "/", str(self.port)], cwd=self.work,
                          env=dict(os.environ, HOME=self.work, STD_CODE="UTF-8", **(env or {})),
                          stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, preexec_fn=limits)
        check(wait_until(lambda: listening(self.port) or self.proc.poll() is not None, 60), "the agent listens")

    def out(self):
        with open(os.path.join(self.work, "a.out"), errors="replace") as f:
            return f.read()

    def threads(self):
        return len(os.listdir("/proc/%d/task" % self.proc.pid))

    def fds(self):
        return len(os.listdir("/proc/%d/fd" % self.proc.pid))

    def stop(self):
        check(self.proc.poll() is None, "the agent is alive")
        stop(self.proc)


def string_form(chars):
    return '"%s"' % ("a" * chars)


TWO_MIB = string_form(512 * 1024)  # 4 bytes a character


def read_all(s, limit=5):
    """What s brings until its end (or limit seconds)."""
    got = b""
    s.settimeout(limit)
    try:
        while c := s.recv(65536):
            got += c
    except OSError:
        pass
    return got


def still_waiting(socks):
    """The sockets that have neither a reply nor their end to read."""
    poller = select.poll()
    for s in socks:
        poller.register(s, select.POLLIN)
    ready = {fd for fd, _ in poller.poll(200)}
    return [s for s in socks if s.fileno() not in ready]


def binds_until_refused(link, form, limit):
    """How many of form % k are bound before the first refusal."""
    for k in range(limit):
        if "#error" in link.ask(form % k):
            return k
    return limit


# ---- the rows

def another_peers_env():
    agent = Agent(SERVE, {"QNMX_HEAP_BUDGET_MIB": "64"})
    a, b = Link(agent.port, "127.0.0.2"), Link(agent.port, "127.0.0.3")
    check("#error" not in a.ask("(Define EA1 (NewEnvironment ()))"), "the first address makes an environment")
    taken = binds_until_refused(b, '(SetEA EA1 "k%%d" %s)' % TWO_MIB, 31)
    print("another-peers-env: 2 MiB bindings taken: %d" % taken, flush=True)
    check(taken <= 8, "the second address binds no more than its quarter into another's environment: %d" % taken)
    a.close()
    b.close()
    c = Link(agent.port, "127.0.0.4")
    check("#error" not in c.ask("(Define c0 %s)" % string_form(MIB)), "a new peer binds 4 MiB after both left")
    check(answered(agent.port), "a newcomer is answered")
    agent.stop()


def link_keeps_no_form():
    agent = Agent(SERVE, {"QNMX_HEAP_BUDGET_MIB": "64"})
    b = Link(agent.port, "127.0.0.3")
    # 80 MiB of forms, one at a time: none is kept once answered.
    answered_forms = sum(b.ask("(StringLength %s)" % TWO_MIB) == "524288" for _ in range(40))
    check(answered_forms == 40, "a link's forms are let go once answered: %d of 40" % answered_forms)
    check(answered(agent.port), "a newcomer is answered")
    agent.stop()


def agent_keeps_half():
    # The agent's own thread waits on a pipe, then makes 1 MiB.
    script = (LISTEN + '(Load "go")\n'
              '(Let (Sub (s "a") (i 0)) (While (< i 18) (Let (set s (ReplaceString s "a" "aa")) (set i (+ i 1)))) '
              '(StringLength s))\n(SetMainInterpreter L)\n')
    agent = Agent(script, {"QNMX_HEAP_BUDGET_MIB": "64"}, fifo="go")
    links = [Link(agent.port, "127.0.0.%d" % (11 + i)) for i in range(5)]
    taken = [binds_until_refused(link, "(Define h%d_%%d %s)" % (i, TWO_MIB), 7) for i, link in enumerate(links)]
    print("agent-keeps-half: 2 MiB bindings taken by address: %r" % taken, flush=True)
    check(sum(taken) <= 16, "all peers keep at most half of the heap: %d x 2 MiB" % sum(taken))
    with open(os.path.join(agent.work, "go"), "w") as f:
        f.write("go\n")
    check(wait_until(lambda: agent.out().count("</Result>") >= 3, 60), "the agent's own form is answered")
    check(" 262144</Result>" in agent.out(), "the agent's own thread makes 1 MiB: %r" % agent.out()[-300:])
    check(answered(agent.port), "a newcomer is answered")
    agent.stop()


def open_session(port, src):
    """The cookie of a session opened from src, or None when it is Busy."""
    with socket.create_connection((zoh_client.HOST, port), timeout=20, source_address=(src, 0)) as s:
        s.sendall(request(port, header(1, 0)))
        kind, _, cookie, _, payload = unpack(read_reply(s)[2])
    return cookie if kind == 2 and all(cookie) else None


def session_threads():
    agent = Agent(SERVE, {"QNMX_PEER_THREADS": "8"})
    before = agent.threads()
    held = []
    for _ in range(12):
        cookie = open_session(agent.port, "127.0.0.7")
        if cookie:
            s = zoh_client.Session.__new__(zoh_client.Session)
            s.port, s.keep, s.seq, s.conn, s.source, s.cookie = agent.port, False, 1, None, "127.0.0.7", cookie
            check(b"2</Result>" in s.query(b"(+ 1 1)\n"), "a session is answered")
            held.append(s)
    print("session-threads: %d sessions, %d threads more" % (len(held), agent.threads() - before), flush=True)
    check(len(held) == 4, "an address of 8 tasks has 4 sessions: %d" % len(held))
    link = Link(agent.port, "127.0.0.7")
    check("cannot start a thread" in link.ask("(Thread 1)"), "its sessions leave the address no thread")
    check(answered(agent.port), "a newcomer is answered")
    check(open_session(agent.port, NEWCOMER) is not None, "a newcomer opens a session")
    link.close()
    agent.stop()


def queued_requests():
    agent = Agent(SERVE, nofile=1024)
    before = agent.fds()
    waiting = []
    for _ in range(15):
        cookie = open_session(agent.port, "127.0.0.7")
        if not cookie:
            break
        for seq in range(2, 66):  # seq 1 is never sent
            s = socket.create_connection((zoh_client.HOST, agent.port), timeout=20, source_address=("127.0.0.7", 0))
            s.sendall(request(agent.port, header(2, seq, cookie)))
            waiting.append(s)
    # Refused requests are answered at once; the rest wait for seq 1.
    queued, last, end = len(waiting), None, time.monotonic() + 10
    while queued != last and time.monotonic() < end:
        last, queued = queued, len(still_waiting(waiting))
    print("queued-requests: %d connections, %d waiting, %d descriptors more" %
          (len(waiting), queued, agent.fds() - before), flush=True)
    # A quarter of the 512 connections that may wait (half the descriptors),
    # and the few the agent has yet to read.
    check(queued <= 1024 // 8 + 8, "the address holds at most its share of queued requests: %d" % queued)
    check(answered(agent.port), "a newcomer is answered")
    for s in waiting:
        s.close()
    agent.stop()


def slow_bodies():
    work = tempfile.mkdtemp(prefix="qnmx_account_")
    with open(os.path.join(work, "h.zu"), "w") as f:
        f.write('(Eval Env1 (quote (Define POST () (h body) (List (quote text/html) "got"))))\n'
                '(Eval Env1 (quote (Define GET () (h) (List (quote text/html) "hello"))))\n'
                '(SetMainInterpreter (OpenInterpreter "accept" Env1 (Port (Cast type="integer" (Arg 1))) '
                '(Permission () (Allow "ip" "127.0.0.0" "255.0.0.0"))))\n')
    port = free_port()
    proc = start([DRIVER, "/sum", "/hello", "--", "h.zu", "h.out", "h.err", "/", str(port)], cwd=work,
                 env=dict(os.environ, HOME=work, STD_CODE="UTF-8", QNMX_FIRST_LINE_SLOTS="8",
                          QNMX_HTTP_BODY_TOTAL="4"), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
    check(wait_until(lambda: listening(port), 60), "the driver listens")

    def post(src):
        s = socket.create_connection(("127.0.0.1", port), timeout=30, source_address=(src, 0))
        s.sendall(b"POST /sum HTTP/1.0\r\nContent-Length: 100\r\n\r\n")
        return s

    bodies = [post("127.0.0.7") for _ in range(9)]
    stop_trickle = threading.Event()

    def trickle():  # a byte every 2 s, within the idle guard
        while not stop_trickle.wait(2):
            for s in bodies:
                try:
                    s.sendall(b"x")
                except OSError:
                    pass

    threading.Thread(target=trickle, daemon=True).start()

    def replies(limit):
        """The first bytes each body's connection answers within limit seconds."""
        got = {}
        end = time.monotonic() + limit
        while len(got) < len(bodies) and time.monotonic() < end:
            for s in set(bodies) - set(got) - set(still_waiting([b for b in bodies if b not in got])):
                got[s] = read_all(s)
        return got

    # Nine bodies of one address, eight slots for connections that wait.
    refused = [r for r in replies(3).values() if b"Busy" in r or r.startswith(b"HTTP/1.1 503")]
    check(refused, "the address's bodies count as its waiting connections: none refused")
    with socket.create_connection(("127.0.0.1", port), timeout=30, source_address=(NEWCOMER, 0)) as s:
        s.sendall(b"GET /hello HTTP/1.0\r\n\r\n")
        reply = zoh_client.read_reply(s)
    check(reply[0] and " 200 " in reply[0] and b"hello" in reply[2], "a newcomer is answered: %r" % (reply,))
    # The bodies that still trickle end after their total time.
    ended = [r for r in replies(15).values() if r.startswith(b"HTTP/1.1 500") and b"request body too slow" in r]
    stop_trickle.set()
    check(ended, "the trickling bodies end after their total time")
    for s in bodies:
        s.close()
    check(proc.poll() is None, "the driver is alive")
    stop(proc)


# The lock service's line protocol, as an agent speaks it.
class LockLink:
    def __init__(self, port, data, src="127.0.0.1"):
        self.s = socket.create_connection(("127.0.0.1", port), timeout=30, source_address=(src, 0))
        self.data, self.buf, self.line = data, b"", 1
        self.send("\n")
        self.admitted = "<Permission>Allow</Permission>" in [self.read_line() for _ in range(3)]

    def send(self, text):
        self.s.sendall(text.encode())
        start, self.line = self.line, self.line + text.count("\n")
        return start

    def lock(self, name):
        return self.send('<Lock type="write" file="t.zu" line="1" data="%d" seq="0"> %s </Lock>\n' % (self.data, name))

    def read_line(self):
        while b"\n" not in self.buf:
            c = self.s.recv(4096)
            if not c:
                raise EOFError
            self.buf += c
        line, self.buf = self.buf.split(b"\n", 1)
        return line.decode()

    def reply(self):
        return int(re.match(r"^<Result> (\d+) ", self.read_line()).group(1))


# Claims the process id given, asks the name's write lock and then something
# else on the same link: prints the line of the first reply.
IMPOSTOR = r'''
import re, socket, sys
port, pid, name = int(sys.argv[1]), sys.argv[2], sys.argv[3]
s = socket.create_connection(("127.0.0.1", port), timeout=30)
s.sendall(b"\n")
f = s.makefile("rb")
for _ in range(3):
    f.readline()
s.sendall(('<Lock type="write" file="t.zu" line="1" data="%s" seq="0"> %s </Lock>\n<Unlock> none </Unlock>\n'
           % (pid, name)).encode())
print(re.match(rb"<Result> (\d+) ", f.readline()).group(1).decode(), flush=True)
'''


def lock_service():
    limit = lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (1024, 1024))  # noqa: E731
    proc = start([LOCKD, "0"], stdout=subprocess.PIPE, preexec_fn=limit)
    port = int(proc.stdout.readline().split()[1])
    silent = []
    for _ in range(1500):
        try:
            silent.append(socket.create_connection(("127.0.0.1", port), timeout=10, source_address=("127.0.0.9", 0)))
        except OSError:
            break
    threads = len(os.listdir("/proc/%d/task" % proc.pid))
    print("lock-service: %d silent connections, %d threads" % (len(silent), threads), flush=True)
    check(threads < 100, "silent connections hold no thread: %d" % threads)
    holder = LockLink(port, os.getpid())
    check(holder.admitted, "an honest agent is admitted")
    n = holder.lock("m")
    check(holder.reply() == n, "an honest agent takes a lock")
    own = LockLink(port, os.getpid())
    n = own.lock("m/n")
    check(own.reply() == n, "the agent's own second link is not held up by its lock")
    impostor = subprocess.run([sys.executable, "-c", IMPOSTOR, str(port), str(os.getpid()), "m"],
                              capture_output=True, text=True, timeout=60)
    # Its lock is asked on line 2, something else on line 3.
    check(impostor.stdout.strip() == "3", "a client claiming the agent's process id waits: %r" % impostor.stdout)
    for s in silent:
        s.close()
    check(proc.poll() is None, "the lock service is alive")
    stop(proc)
    proc.stdout.close()


def rewrite_function():
    agent = Agent(SERVE)
    a, b = Link(agent.port, "127.0.0.1"), Link(agent.port, "127.0.0.1")
    check("#error" not in a.ask("(Define myf () (h) (+ 1 2))"), "a peer defines its function")
    check(b.ask("(set myf (Lambda () (h) (CloseInterpreter (GetIid))))").startswith(REFUSED),
          "another link of the same address does not rewrite it")
    try:
        check(a.ask("(myf)") == "3", "the function runs as its owner wrote it")
    except OSError as e:
        check(False, "the owner's link is gone: %r" % e)
    check(answered(agent.port), "a newcomer is answered")
    agent.stop()


ROWS = [
    ("another-peers-env", another_peers_env),
    ("link-keeps-no-form", link_keeps_no_form),
    ("agent-keeps-half", agent_keeps_half),
    ("session-threads", session_threads),
    ("queued-requests", queued_requests),
    ("slow-bodies", slow_bodies),
    ("lock-service", lock_service),
    ("rewrite-function", rewrite_function),
]


def main():
    raise_own_descriptors()
    for name, row in ROWS:
        if ONLY and name not in ONLY:
            continue
        before = len(failures)
        try:
            row()
        except (OSError, EOFError, AttributeError) as e:
            check(False, "%s: %r" % (name, e))
        print("%s: %s" % (name, "ok" if len(failures) == before else "FAILED"), flush=True)
    print("%d failed" % len(failures))
    sys.exit(1 if failures else 0)


main()
