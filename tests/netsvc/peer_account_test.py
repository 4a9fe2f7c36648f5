#!/usr/bin/env python3
"""What a peer address holds is one account, from outside:
peer_account_test.py QNMX LOCKD DRIVER [ROW...]

ROWS is a table of (name, function): attacks by one 127.0.0.x address, each
on an agent of its own (qnmx, the lock service, or the HTTP agent's test
driver) under limits small enough to show them in seconds. In every row a
newcomer from another address is served afterwards. Each row's docstring
says what it shows."""
import os
import re
import resource
import select
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
sys.path.insert(0, HERE)
from checks import check, failures, free_port, listening, start, stop, wait_until  # noqa: E402
from session_post_test import row_session_post  # noqa: E402
from zoh_client import HOST, header, read_reply, request, unpack  # noqa: E402

QNMX, LOCKD, DRIVER = (os.path.abspath(a) for a in sys.argv[1:4])
WORK = tempfile.TemporaryDirectory(prefix="qnmx_account_")
NEWCOMER = "127.0.0.60"
SERVE = ('(Define L (OpenInterpreter "accept" Env0 (Port (Cast type="integer" (Arg 1))) '
         '(Permission () (Allow "ip" "127.0.0.0" "255.0.0.0"))))\n(SetMainInterpreter L)\n')
TWO_MIB = '"%s"' % ("a" * (512 << 10))  # four bytes a character


class Link:
    """A line link from address src; `admitted` tells whether it was allowed."""

    def __init__(self, port, src, timeout=30):
        self.s = socket.create_connection(("127.0.0.1", port), timeout=timeout, source_address=(src, 0))
        self.s.sendall(b"\n")
        self.buf = b""
        self.admitted = b"<Permission>Allow</Permission>" in self.until(b"</Permission>")

    def until(self, marker):
        while marker not in self.buf:
            c = self.s.recv(65536)
            if not c:
                raise ConnectionError("closed before %r" % marker)
            self.buf += c
        got, _, self.buf = self.buf.partition(marker)
        return got + marker

    def ask(self, form):
        self.s.sendall(form.encode() + b"\n")
        return re.search(rb"<Result> \d+ (.*)</Result>", self.until(b"</Result>\n"), re.S).group(1).decode()


def answered(port):
    """Whether a line link from the newcomer's address is admitted and answered."""
    try:
        link = Link(port, NEWCOMER, 20)
        return link.admitted and link.ask("(+ 40 2)") == "42"
    except OSError:
        return False


def run(argv, env=None, nofile=None, script=SERVE, fifo=None):
    """argv on a script in a folder of its own: the process, its port and folder."""
    folder = tempfile.mkdtemp(dir=WORK.name)
    with open(os.path.join(folder, "a.zu"), "w") as f:
        f.write(script)
    if fifo:
        os.mkfifo(os.path.join(folder, fifo))
    port = free_port()
    limit = (lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (nofile, nofile))) if nofile else None
    p = start(argv + ["a.zu", "a.out", "a.err", "/", str(port)], cwd=folder, stdin=subprocess.DEVNULL,
              stdout=subprocess.DEVNULL, env=dict(os.environ, HOME=folder, STD_CODE="UTF-8", **(env or {})),
              preexec_fn=limit)
    check(wait_until(lambda: listening(port) or p.poll() is not None, 60), "%s listens" % argv[0])
    return p, port, folder


def ended(p):
    check(p.poll() is None, "the agent is alive")
    stop(p)


def binds(link, form, limit):
    """How many of form % k are bound before the first refusal."""
    return next((k for k in range(limit) if "#error" in link.ask(form % k)), limit)


def still_waiting(socks):
    """The sockets that have neither a reply nor their end to read."""
    poller = select.poll()
    for s in socks:
        poller.register(s, select.POLLIN)
    ready = {fd for fd, _ in poller.poll(200)}
    return [s for s in socks if s.fileno() not in ready]


def read_all(s):
    got = b""
    s.settimeout(5)
    try:
        while c := s.recv(65536):
            got += c
    except OSError:
        pass
    return got


# ---- the rows

def another_peers_env():
    """One address binds 2 MiB strings into an environment another address
    made: they are its own, a quarter of a 64 MiB heap at most, and a new
    peer binds 4 MiB once both have left."""
    p, port, _ = run([QNMX], {"QNMX_HEAP_BUDGET_MIB": "64"})
    a, b = Link(port, "127.0.0.2"), Link(port, "127.0.0.3")
    a.ask("(Define EA1 (NewEnvironment ()))")
    taken = binds(b, '(SetEA EA1 "k%%d" %s)' % TWO_MIB, 31)
    check(taken <= 8, "the second address binds at most its quarter into another's environment: %d" % taken)
    a.s.close()
    b.s.close()
    check("#error" not in Link(port, "127.0.0.4").ask('(Define c0 "%s")' % ("a" * (1 << 20))),
          "a new peer binds 4 MiB after both left")
    check(answered(port), "a newcomer is answered")
    ended(p)


def link_keeps_no_form():
    """One address sends 80 MiB of forms under a 64 MiB heap, one at a time:
    its link keeps none of them once it is answered."""
    p, port, _ = run([QNMX], {"QNMX_HEAP_BUDGET_MIB": "64"})
    b = Link(port, "127.0.0.3")
    done = sum(b.ask("(StringLength %s)" % TWO_MIB) == "524288" for _ in range(40))
    check(done == 40, "a link's forms are let go once answered: %d of 40" % done)
    check(answered(port), "a newcomer is answered")
    ended(p)


def agent_keeps_half():
    """Five addresses bind 7 x 2 MiB each: all peers keep at most half of a
    64 MiB heap, and the agent's own thread, waiting on a pipe meanwhile,
    then makes 1 MiB."""
    script = SERVE.replace("(SetMainInterpreter L)", '(Load "go")\n(Let (Sub (s "a") (i 0)) (While (< i 18) '
                           '(Let (set s (ReplaceString s "a" "aa")) (set i (+ i 1)))) (StringLength s))\n'
                           "(SetMainInterpreter L)")
    p, port, folder = run([QNMX], {"QNMX_HEAP_BUDGET_MIB": "64"}, script=script, fifo="go")
    taken = [binds(Link(port, "127.0.0.%d" % (11 + i)), "(Define h%d_%%d %s)" % (i, TWO_MIB), 7) for i in range(5)]
    check(sum(taken) <= 16, "all peers keep at most half of the heap: %r x 2 MiB" % taken)
    with open(os.path.join(folder, "go"), "w") as f:
        f.write("go\n")
    out = os.path.join(folder, "a.out")
    check(wait_until(lambda: open(out).read().count("</Result>") >= 3, 60) and " 262144</Result>" in open(out).read(),
          "the agent's own thread makes 1 MiB: %r" % open(out).read()[-200:])
    check(answered(port), "a newcomer is answered")
    ended(p)


def open_session(port, src):
    """The cookie of a session opened from src, or None when it is Busy."""
    with socket.create_connection((HOST, port), timeout=20, source_address=(src, 0)) as s:
        s.sendall(request(port, header(1, 0)))
        kind, _, cookie, _, _ = unpack(read_reply(s)[2])
    return cookie if kind == 2 and all(cookie) else None


def session_threads():
    """One address opens sessions: their interpreters' tasks count against
    its cap of 8, so it has 4 and no Thread more, and a newcomer has both."""
    p, port, _ = run([QNMX], {"QNMX_PEER_THREADS": "8"})
    opened = sum(open_session(port, "127.0.0.7") is not None for _ in range(12))
    check(opened == 4, "an address of 8 tasks has 4 sessions: %d" % opened)
    check("cannot start a thread" in Link(port, "127.0.0.7").ask("(Thread 1)"), "its sessions leave it no thread")
    check(answered(port) and open_session(port, NEWCOMER), "a newcomer is answered and opens a session")
    ended(p)


def queued_requests():
    """Under 1,024 descriptors one address queues requests in its sessions,
    each on a connection left open and each far ahead of the one due (seq 1
    never comes): most are refused at once, the rest count against its
    share, and descriptors are left for a newcomer."""
    p, port, _ = run([QNMX], nofile=1024)
    conns = []
    for _ in range(15):
        cookie = open_session(port, "127.0.0.7")
        for seq in range(2, 66) if cookie else ():
            conns.append(socket.create_connection((HOST, port), timeout=20, source_address=("127.0.0.7", 0)))
            conns[-1].sendall(request(port, header(2, seq, cookie)))
    queued, last, end = len(conns), None, time.monotonic() + 10
    while queued != last and time.monotonic() < end:  # the refused ones are answered
        last, queued = queued, len(still_waiting(conns))
    # A quarter of the 512 connections that may wait, and the few not read yet.
    check(queued <= 128 + 8, "the address holds its share of queued requests: %d of %d" % (queued, len(conns)))
    check(answered(port), "a newcomer is answered")
    for s in conns:
        s.close()
    ended(p)


def slow_bodies():
    """One address trickles nine request bodies into the HTTP agent under 8
    places for connections that wait: a body holds one, so one of the nine
    is refused at once, a newcomer takes the place of one, and the others
    end after the body's total time (4 s here)."""
    script = ('(Eval Env1 (quote (Define POST () (h body) (List (quote text/html) "got"))))\n'
              '(Eval Env1 (quote (Define GET () (h) (List (quote text/html) "hello"))))\n' +
              SERVE.replace("Env0", "Env1"))
    p, port, _ = run([DRIVER, "/sum", "/hello", "--"], {"QNMX_FIRST_LINE_SLOTS": "8", "QNMX_HTTP_BODY_TOTAL": "4"},
                     script=script)
    bodies = []
    for _ in range(9):
        bodies.append(socket.create_connection(("127.0.0.1", port), timeout=30, source_address=("127.0.0.7", 0)))
        bodies[-1].sendall(b"POST /sum HTTP/1.0\r\nContent-Length: 100\r\n\r\n")
    got = {}

    def replies(limit):
        """What the bodies' connections answer within limit seconds, a byte
        sent on each every 2 s meanwhile, within the idle guard."""
        end, trickle = time.monotonic() + limit, 0
        while len(got) < len(bodies) and time.monotonic() < end:
            if time.monotonic() >= trickle:
                trickle = time.monotonic() + 2
                for s in set(bodies) - set(got):
                    try:
                        s.sendall(b"x")
                    except OSError:  # ended: its reply is read below
                        pass
            for s in set(bodies) - set(got) - set(still_waiting([b for b in bodies if b not in got])):
                got[s] = read_all(s)
        return list(got.values())

    refused = [r for r in replies(3) if b"Busy" in r or r.startswith(b"HTTP/1.1 503")]
    check(refused, "the address's bodies count as its connections that wait: none refused")
    with socket.create_connection(("127.0.0.1", port), timeout=30, source_address=(NEWCOMER, 0)) as s:
        s.sendall(b"GET /hello HTTP/1.0\r\n\r\n")
        check(b"hello" in read_all(s), "a newcomer is answered")
    slow = [r for r in replies(15) if r.startswith(b"HTTP/1.1 500") and b"request body too slow" in r]
    check(slow, "the trickling bodies end after their total time")
    ended(p)


def lock_link(port, src="127.0.0.1"):
    """A link to the lock service: its socket, its reader, whether admitted."""
    s = socket.create_connection(("127.0.0.1", port), timeout=30, source_address=(src, 0))
    s.sendall(b"\n")
    f = s.makefile("rb")
    return s, f, b"Allow" in b"".join(f.readline() for _ in range(3))


def first_reply(link, data, name):
    """Asks name's write lock for process `data` (line 2 of the link), then
    the release of a lock it does not hold (line 3): the line answered first."""
    link[0].sendall(('<Lock type="write" file="t.zu" line="1" data="%d" seq="0"> %s </Lock>\n'
                     '<Unlock> none </Unlock>\n' % (data, name)).encode())
    return int(re.match(rb"<Result> (\d+) ", link[1].readline()).group(1))


def lock_service():
    """An agent takes a lock, its own second link a related one, and another
    process claiming the agent's id waits; then 1,500 silent connections of
    one address hold no thread of the lock service, and a newcomer is
    admitted and served."""
    p = start([LOCKD, "0"], stdout=subprocess.PIPE,
              preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (1024, 1024)))
    port = int(p.stdout.readline().split()[1])
    holder = lock_link(port)
    check(holder[2] and first_reply(holder, os.getpid(), "m") == 2, "an agent takes a lock")
    check(first_reply(lock_link(port), os.getpid(), "m/n") == 2, "its own second link is not held up by it")
    child = os.fork()
    if child == 0:  # another process, claiming the agent's id
        try:
            os._exit(first_reply(lock_link(port), os.getppid(), "m"))
        except BaseException:
            os._exit(1)
    check(os.waitpid(child, 0)[1] >> 8 == 3, "a client claiming the agent's process id waits")
    silent = []
    while len(silent) < 1500:
        try:
            silent.append(socket.create_connection(("127.0.0.1", port), timeout=10, source_address=("127.0.0.9", 0)))
        except OSError:
            break
    threads = len(os.listdir("/proc/%d/task" % p.pid))
    check(threads < 100, "%d silent connections hold no thread: %d" % (len(silent), threads))
    newcomer = lock_link(port, NEWCOMER)
    check(newcomer[2] and first_reply(newcomer, os.getpid(), "q") == 2, "a newcomer is admitted and served")
    for s in silent:
        s.close()
    ended(p)
    p.stdout.close()


def rewrite_function():
    """A link's set of the function another link of its address defined is
    refused, and the function's owner runs its own."""
    p, port, _ = run([QNMX])
    a, b = Link(port, "127.0.0.1"), Link(port, "127.0.0.1")
    a.ask("(Define myf () (h) (+ 1 2))")
    check(b.ask("(set myf (Lambda () (h) (CloseInterpreter (GetIid))))").startswith("#error(2147749136 "),
          "another link of the same address does not rewrite it (0x80040d10)")
    try:
        check(a.ask("(myf)") == "3", "the function runs as its owner wrote it")
    except OSError as e:
        check(False, "the owner's link is gone: %r" % e)
    check(answered(port), "a newcomer is answered")
    ended(p)


def session_post():
    """The program's own HTTP session posts with the body's length, and is
    answered as curl is; a newcomer from 127.0.0.9 is served."""
    work = tempfile.mkdtemp(dir=WORK.name)
    row_session_post(QNMX, work)


ROWS = [
    ("another-peers-env", another_peers_env),
    ("link-keeps-no-form", link_keeps_no_form),
    ("agent-keeps-half", agent_keeps_half),
    ("session-threads", session_threads),
    ("queued-requests", queued_requests),
    ("slow-bodies", slow_bodies),
    ("lock-service", lock_service),
    ("rewrite-function", rewrite_function),
    ("session-post", session_post),
]


def main():
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, 8192)), hard))
    for name, row in ROWS:
        if sys.argv[4:] and name not in sys.argv[4:]:
            continue
        before = len(failures)
        try:
            row()
        except (OSError, AttributeError) as e:
            check(False, "%s: %r" % (name, e))
        print("%s: %s" % (name, "ok" if len(failures) == before else "FAILED"), flush=True)
    WORK.cleanup()
    print("%d failed" % len(failures))
    sys.exit(1 if failures else 0)


main()
