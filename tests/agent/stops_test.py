#!/usr/bin/env python3
"""A stop is final and the agent always ends and saves, from the outside:
stops_test.py QNMX LOCKD HTTP_DRIVER [ROW...]

One table: each row runs an agent of its own (a qnmx holding an imported
matrix open, or the HTTP agent's driver) in a folder of its own, disturbs
it the way its fault needs (peers from 127.0.0.2 and 127.0.0.3, fake
servers on 127.0.0.9, the lock service, signals) and ends, where the agent
saved a matrix, with that matrix read back by a fresh qnmx. An agent that
does not end within its limit is killed, and its matrix read back all the
same.
"""
import os
import signal
import socket
import subprocess
import sys
import tempfile
import threading

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
sys.path.insert(0, os.path.join(HERE, "..", "netsvc"))
from checks import check, failures, free_port, listening, start, stop, wait_until  # noqa: E402
from line_peer import Peer, link  # noqa: E402

QNMX, LOCKD, DRIVER = (os.path.realpath(a) for a in sys.argv[1:4])
END_LIMIT = 30  # seconds an agent may take to end once told to
SIZE = 256
ALLOW = '(Permission () (Allow "ip" "127.0.0.0" "255.0.0.0"))'
# A loop that an ErrHandler keeps going past one stop.
LOOP = "(While 1 (ErrHandler (While 1 1)))"


def pixel(x, y):
    """The picture's pixel as the matrix keeps it (0xRRGGBB00)."""
    return (x & 255) << 24 | (y & 255) << 16 | ((x * 7 + y * 3) & 255) << 8


def picture(path):
    data = bytearray()
    for y in range(SIZE):
        for x in range(SIZE):
            v = pixel(x, y)
            data += bytes([v >> 24, (v >> 16) & 255, (v >> 8) & 255])
    with open(path, "wb") as f:
        f.write(b"P6\n%d %d\n255\n" % (SIZE, SIZE) + data)


def matrix(fetch="(mxLoad target=\"file-n-create\")"):
    """The forms that make m.mx and import the picture into it; fetch is
    what a node made for a writing command runs."""
    dims = "".join('(qmxMatrixPixelSize dim="%d" value="%d") (qmxMatrixBlockSize dim="%d" value="6") '
                   '(qmxMatrixDimDivide dim="%d" value="1")\n' % (d, SIZE, d, d) for d in (0, 1))
    return ('(qmxCreate filename="m.mx" activePhase_mode="direct" (qmxMatrixParam channel_nos="1" dim="2")\n' + dims +
            '(qmxChannelInfo channel="0" type="rgb8_v" file="on" 255)\n'
            '(qmxPhase area="3" (mxFinish normal-jump-status="MS_OK" err-jump-status="MS_LOADING_ERR_1")\n'
            '  (if (equal (GE (ErrHandler create-node) 6) "enable") %s (mxLoad target="file")))\n'
            '(qmxPhase area="4" type="equ" equ="3") (qmxPhase area="5" type="equ" equ="3")\n'
            '(qmxPhase area="21" (mxSave)) (qmxPhase area="22" type="equ" equ="21") (qmxPhase area="23" (mxSave)))\n'
            '(qmxImportPNM id="1" "pic.ppm" 0 0 0 0)\n' % fetch)


def listener(port, main=False):
    form = '(OpenInterpreter "accept" (CurrentEnvironment) (Port %d) %s)' % (port, ALLOW)
    return "(SetMainInterpreter %s)\n" % form if main else form + "\n"


# The script waits (a second at a time) until a peer binds `name`; the
# test binds it when the row is ready for the end.
def until_bound(name):
    return "(While (GE (ErrHandler %s) 5) (Sleep 1))\n" % name


class Agent:
    def __init__(self, work, argv, script, env=None):
        self.work = work
        with open(os.path.join(work, "s.zu"), "w") as f:
            f.write(script)
        env = dict(os.environ, HOME=work, STD_CODE="UTF-8", **(env or {}))
        self.proc = start(argv + ["s.zu", "out.txt", "-"], cwd=work, env=env, stdin=subprocess.DEVNULL,
                          stdout=open(os.path.join(work, "stdout"), "wb"),
                          stderr=open(os.path.join(work, "stderr"), "wb"))

    def ended(self, limit=END_LIMIT):
        """The exit status, or None (the agent killed) when it did not end
        within limit seconds."""
        try:
            return self.proc.wait(limit)
        except subprocess.TimeoutExpired:
            stop(self.proc, signal.SIGKILL)
            return None

    def threads(self):
        with open("/proc/%d/status" % self.proc.pid) as f:
            return next(int(l.split()[1]) for l in f if l.startswith("Threads:"))

    def out(self, name="out.txt"):
        with open(os.path.join(self.work, name), "rb") as f:
            return f.read().decode(errors="replace")


def ends_and_saves(row, agent, status=0):
    got = agent.ended()
    check(got == status, "%s: the agent ends with status %d: %r" % (row, status, got))
    script = ('(qmxCreate filename="m.mx" currentPhase_mode="direct")\n'
              '(qmxGetPoint "m.mx" (List (List 0 10 20) (List 0 200 100) (List 0 255 255)))\n')
    with open(os.path.join(agent.work, "read.zu"), "w") as f:
        f.write(script)
    r = subprocess.run([QNMX, "read.zu", "-"], cwd=agent.work, capture_output=True, timeout=60)
    want = "((0 %d)) ((0 %d)) ((0 %d))" % (pixel(10, 20), pixel(200, 100), pixel(255, 255))
    check(("<Result> 2 (%s)</Result>" % want) in r.stdout.decode(errors="replace"),
          "%s: the matrix reads back: %r" % (row, r.stdout[-300:]))


def peer(port, address="127.0.0.2"):
    return link(port, address)


def bind_on(port, name, address="127.0.0.3"):
    """A peer that binds name in the agent's script environment."""
    p = peer(port, address)
    p.ask(b"(Define %s 1)" % name.encode())
    p.s.close()


def agent_with_matrix(work, port, rest, env=None):
    a = Agent(work, [QNMX], matrix() + listener(port) + rest, env)
    check(wait_until(lambda: listening(port) or a.proc.poll() is not None), "the agent listens")
    return a


# ---- the rows


def lock_service_end(work):
    """The lock service bound, a matrix left open at the script's end."""
    lockd = start([LOCKD, "0"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    port = int(lockd.stdout.readline().split()[1])
    script = ('(Eval Env1 (quote (Sequence () (Define LockHostName "127.0.0.1") (Define LockPort %d))))\n' % port +
              matrix())
    ends_and_saves("lock service", Agent(work, [QNMX], script))
    stop(lockd)


def peer_loop_end(work):
    """A peer's loop around an ErrHandler, left on a link it closed, when the
    script ends."""
    port = free_port()
    a = agent_with_matrix(work, port, until_bound("ready"))
    p = peer(port)
    p.s.sendall(b"(Sequence () (Define ready 1) %s)\n" % LOOP.encode())
    p.s.close()
    ends_and_saves("a peer's loop", a)


def closed_links_count(work):
    """Loops left on links whose peer ended its side count against the
    address: past its cap (3) they stop and their links end, and the
    address starts no Thread."""
    port = free_port()
    a = agent_with_matrix(work, port, until_bound("done"), {"QNMX_PEER_THREADS": "3"})
    links = []
    for _ in range(10):
        p = peer(port)
        p.s.sendall(LOOP.encode() + b"\n")
        p.s.shutdown(socket.SHUT_WR)
        p.s.setblocking(False)
        links.append(p.s)

    def ended(s):
        try:
            return s.recv(4096) == b""
        except BlockingIOError:
            return False
        except OSError:
            return True
    gone = set()

    def stopped():
        gone.update(s for s in links if s not in gone and ended(s))
        return len(gone) >= 7
    check(wait_until(stopped, 10), "closed links: the loops past the cap stop: %d of 10" % len(gone))

    def refused():
        p = peer(port)
        reply = p.ask(b"(Thread 1)")
        p.s.close()
        return b"cannot start a thread" in reply
    check(wait_until(refused, 10), "closed links: the address may start no Thread")
    bind_on(port, "done")
    ends_and_saves("closed links", a)
    for s in links:
        s.close()


def cancel_open_link(work):
    """<Cancel/> on an open link running the loop: the evaluation ends with a
    nil reply and the link with it."""
    port = free_port()
    a = agent_with_matrix(work, port, until_bound("done"))
    p = peer(port)
    p.s.sendall(LOOP.encode() + b"\n")
    p.s.sendall(b"<Cancel/>\n")
    p.s.settimeout(10)
    try:
        m, _ = p.until(rb"<Result> [0-9]+ (.*?)</Result>\n")
        check(m.group(1) == b"()", "cancel: the reply is nil: %r" % m.group(1))
        check(p.s.recv(100) == b"", "cancel: the link ends")
    except OSError as e:
        check(False, "cancel: no reply: %r" % e)
    p.s.close()
    bind_on(port, "done")
    ends_and_saves("cancel", a)


def fake_agent(address, answers):
    """A line-protocol server on address that answers each form by
    answers(text) (None: never); the forms it got."""
    got = []
    sock = socket.create_server((address, 0), backlog=64)

    def serve(conn):
        f, line = conn.makefile("rb"), 0
        with conn:
            for raw in f:
                line += 1
                text = raw.decode(errors="replace").strip(" \f\r\n")
                if line == 1:
                    conn.sendall(b"<Permission>Allow</Permission>\n")
                elif text:
                    got.append(text)
                    reply = answers(text)
                    if reply is not None:
                        conn.sendall(b"<Result> %d %s</Result>\n" % (line, reply.encode()))
    threading.Thread(target=lambda: [threading.Thread(target=serve, args=(sock.accept()[0],), daemon=True).start()
                                     for _ in iter(int, 1)], daemon=True).start()
    return sock.getsockname()[1], got


def session_request_end(work):
    """A peer's session request to a server that never answers it and whose
    links never time out, in flight when the script ends."""
    fake, got = fake_agent("127.0.0.9", lambda t: "((connection-timeout -1))" if "GetZUIinfo" in t
                           else "()" if "SetAgent" in t else None)
    port = free_port()
    a = agent_with_matrix(work, port, until_bound("done"))
    p = peer(port)
    p.ask(b"(Define s (OpenSession))")
    p.ask(b'(IgnoreDelay (RemoteSession s (URL "zup://127.0.0.9:%d/@x/a.zu") (+ 1 2)))' % fake)
    check(wait_until(lambda: any("(+ 1 2)" in t for t in got), 20), "session: the request reaches the server")
    bind_on(port, "done")
    ends_and_saves("a peer's session request", a)
    p.s.close()


def interrupt_import(work):
    """SIGINT during a long import (each node it makes takes a second): the
    form after it does not run."""
    script = ('(Shell "touch started")\n' + matrix('(Sequence () (Sleep 1) (mxLoad target="file-n-create"))') +
              '(Shell "touch marker")\n')
    a = Agent(work, [QNMX], script)
    check(wait_until(lambda: os.path.exists(os.path.join(work, "started"))), "interrupt: the script runs")
    a.proc.send_signal(signal.SIGINT)
    check(a.ended() == 1, "interrupt: status 1")
    check(not os.path.exists(os.path.join(work, "marker")), "interrupt: the form after the import did not run")


def dropped_http_clients(work):
    """GETs of a path another agent serves, from clients that close at once
    (not sent on) and from one that closes while its request runs (taken
    back, and the agent told to cancel it)."""
    def answers(t):
        if t == "<Cancel/>" or (t.startswith("(HTTP") and '"/drop"' in t):
            return None
        return '(text/html "kept")' if t.startswith("(HTTP") else "()"
    fake, got = fake_agent("127.0.0.1", answers)
    port = free_port()
    script = '(SetMainInterpreter (OpenInterpreter "accept" Env1 (Port %d) (Permission () (Allow "all"))))\n' % port
    url = "zup://127.0.0.1:%d/@agent" % fake
    a = Agent(work, [DRIVER, "/drop=" + url, "/keep@/drop", "--"], script)
    check(wait_until(lambda: listening(port)), "http: the driver listens")

    def get(path, address, keep=None):
        s = socket.create_connection(("127.0.0.1", port), source_address=(address, 0), timeout=20)
        s.sendall(b"GET %s HTTP/1.0\r\n\r\n" % path)
        if keep:
            keep()
        reply = b""
        while keep is None and (c := s.recv(65536)):
            reply += c
        s.close()
        return reply
    for _ in range(10):
        get(b"/drop", "127.0.0.2", keep=lambda: None)
    check(b"kept" in get(b"/keep", "127.0.0.3"), "http: a client that stays is answered")
    drops = sum(t.startswith("(HTTP") and '"/drop"' in t for t in got)
    check(drops <= 2, "http: the requests of gone clients are not sent on: %d of 10" % drops)
    # A client that goes while its request runs at the other agent.
    get(b"/drop", "127.0.0.2", keep=lambda: wait_until(
        lambda: sum(t.startswith("(HTTP") and '"/drop"' in t for t in got) > drops, 20))
    check(wait_until(lambda: "<Cancel/>" in got, 10), "http: the request of a client that went is cancelled")
    check(b"kept" in get(b"/keep", "127.0.0.3"), "http: then a client that stays is answered")
    stop(a.proc)


def sigterm(work):
    """SIGTERM to a serving agent with its matrix open."""
    port = free_port()
    a = Agent(work, [QNMX], matrix() + listener(port, main=True))
    check(wait_until(lambda: listening(port) or a.proc.poll() is not None), "sigterm: the agent listens")
    a.proc.send_signal(signal.SIGTERM)
    ends_and_saves("SIGTERM", a, status=1)


ROWS = [
    ("lock-service-end", lock_service_end),
    ("peer-loop-end", peer_loop_end),
    ("closed-links-count", closed_links_count),
    ("cancel-open-link", cancel_open_link),
    ("session-request-end", session_request_end),
    ("interrupt-import", interrupt_import),
    ("dropped-http-clients", dropped_http_clients),
    ("sigterm", sigterm),
]


def main():
    wanted = sys.argv[4:]
    with tempfile.TemporaryDirectory() as tmp:
        for name, row in ROWS:
            if wanted and name not in wanted:
                continue
            work = os.path.join(tmp, name)
            os.mkdir(work)
            picture(os.path.join(work, "pic.ppm"))
            print("row", name, flush=True)
            row(work)
    print("stops_test: %d failures" % len(failures))
    return 1 if failures else 0


sys.exit(main())
