#!/usr/bin/env python3
"""A stop is final and the agent always ends and saves: stops_test.py QNMX
LOCKD HTTP_DRIVER [ROW...]. One table: each row runs an agent of its own,
disturbs it from outside (the lock service and a client of it holding a
lock, peers of 127.0.0.2-3, fake servers, signals) and, where the agent
holds a matrix, reads the matrix back with a fresh qnmx once the agent has
ended (or been killed after 30 s)."""
import os
import re
import select
import signal
import socket
import subprocess
import sys

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(HERE, "..", "netsvc")]
from qmx_cli import NO_OBJECT, THIN, Cli, free_port, listening, matrix, start, stop, wait_for, write_ppm  # noqa: E402
from line_peer import Peer, link, serve  # noqa: E402

cli = Cli(sys.argv[1], "stops")
LOCKD, DRIVER = (os.path.realpath(a) for a in sys.argv[2:4])
LOOP = b"(While 1 (ErrHandler (While 1 1)))\n"  # an ErrHandler turns one stop into a value
POINTS = [(10, 20), (200, 100), (255, 255)]
MAKE = '(mxLoad target="file-n-create")'
YS, XS = np.mgrid[0:256, 0:256]
PICTURE = np.stack([XS, YS, (XS * 7 + YS * 3) & 255], axis=2).astype(np.uint8)


def with_matrix(fetch=MAKE):
    """m.mx made and PICTURE imported; fetch makes a node."""
    return matrix("m.mx", (256, 256), block=6).replace(MAKE, fetch) + '\n(qmxImportPNM id="1" "pic.ppm" 0 0 0 0)\n'


def listener(port):
    return '(OpenInterpreter "accept" (CurrentEnvironment) (Port %d) (Permission () (Allow "ip" "127.0.0.0" ' \
           '"255.0.0.0")))\n' % port


def using_lockd(folder, *options):
    """A lock service: the process, its port and the form that makes the agent use it."""
    p = start([LOCKD, "0", *options], stdout=subprocess.PIPE, stderr=open(os.path.join(folder, "lockd.log"), "w"))
    port = int(p.stdout.readline().split()[1])
    return p, port, '(Eval Env1 (quote (Sequence () (Define LockHostName "127.0.0.1") (Define LockPort %d))))\n' % port


class Agent:
    def __init__(self, folder, script, port=None, argv=(), env=None):
        self.folder = folder
        with open(os.path.join(folder, "s.zu"), "w") as f:
            f.write(script)
        self.proc = start([*(argv or [cli.qnmx]), "s.zu", "out.txt", "-"], cwd=folder, stdin=subprocess.DEVNULL,
                          stdout=subprocess.DEVNULL, stderr=open(os.path.join(folder, "stderr"), "wb"),
                          env=dict(cli.env, **(env or {})))
        self.up = port is None or wait_for(lambda: listening(port) or self.proc.poll() is not None) and \
            self.proc.poll() is None
        self.up or cli.fail(f"{folder} listens")

    def ends_and_saves(self, status=0):
        if not wait_for(lambda: self.proc.poll() is not None, 30):
            stop(self.proc, signal.SIGKILL)
        cli.expect(f"{self.folder}: the agent's status", self.proc.returncode, status)
        read = ['(qmxCreate filename="m.mx" currentPhase_mode="direct")',
                '(qmxGetPoint "m.mx" (List %s))' % " ".join("(List 0 %d %d)" % p for p in POINTS)]
        words = " ".join("((0 %d))" % (x << 24 | y << 16 | ((x * 7 + y * 3) & 255) << 8) for x, y in POINTS)
        cli.expect(f"{self.folder}: the matrix read back", cli.run(read, name="read", folder=self.folder)[0][1],
                   f"({words})")


def served(disturb, env=None):
    """A row: an agent with the matrix and a listener (not its main
    interpreter) that ends once a peer binds "done", which disturb(port)
    precedes."""
    def row(folder):
        port = free_port()
        a = Agent(folder, with_matrix() + listener(port) + "(While (GE (ErrHandler done) 5) (Sleep 1))\n", port, env=env)
        held = disturb(port)  # noqa: F841 (what stays open until the agent has ended)
        link(port, "127.0.0.3").ask(b"(Define done 1)")
        a.ends_and_saves()
    return row


def fake_agent(address, answer):
    """A server speaking the line protocol: each form's text goes to got and
    is answered with answer(text), or not at all for None."""
    got = []

    def handle(conn):
        with conn:
            for line, raw in enumerate(conn.makefile("rb"), 1):
                text = raw.decode(errors="replace").strip(" \f\r\n")
                if line == 1:
                    conn.sendall(b"<Permission>Allow</Permission>\n")
                elif text:
                    got.append(text)
                    if (reply := answer(text)) is not None:
                        conn.sendall(b"<Result> %d %s</Result>\n" % (line, reply.encode()))
    return serve(address, handle), got


def looping(port):
    """A link from 127.0.0.2 whose loop has begun (it binds "going" first)."""
    p = link(port, "127.0.0.2")
    p.s.sendall(b"(Sequence () (Define going 1) %s)\n" % LOOP.strip())
    q = link(port, "127.0.0.3")
    cli.expect("the loop runs", wait_for(lambda: q.ask(b"(GE (ErrHandler going) 5)") == b"0", 10), True)
    return p


# ---- the rows

def lock_service_end(folder):
    lockd, _, use = using_lockd(folder)
    Agent(folder, use + with_matrix()).ends_and_saves()
    stop(lockd)


def closed_links_count(port):
    # Peers that end their side: past the address's cap the loops stop and
    # their links close; the address starts no Thread.
    links, ended = [link(port, "127.0.0.2").s for _ in range(10)], set()
    for s in links:
        s.sendall(LOOP)
        s.shutdown(socket.SHUT_WR)

    def stopped():
        ended.update(s for s in select.select(list(set(links) - ended), [], [], 0.05)[0] if s.recv(4096) == b"")
        return len(ended) >= 7
    cli.expect("closed links: the loops past the cap stop", wait_for(stopped, 15), True)
    cli.expect("closed links: the address starts no Thread",
               wait_for(lambda: b"cannot start a thread" in link(port, "127.0.0.2").ask(b"(Thread 1)"), 10), True)


def cancel_open_link(port):
    p = looping(port)
    p.s.sendall(b"<Cancel/>\n")
    p.s.settimeout(10)
    try:
        cli.expect("cancel: the reply, then the link's end",
                   [p.until(rb"<Result> \d+ (.*?)</Result>\n")[0].group(1), p.s.recv(100)], [b"()", b""])
    except OSError as e:
        cli.fail(f"cancel: {e!r}")


def session_request_end(port):
    # The server admits, answers SetAgent and a time-out of -1, never the
    # request.
    fake, got = fake_agent("127.0.0.9", lambda t: "((connection-timeout -1))" if "GetZUIinfo" in t else
                           "()" if "SetAgent" in t else None)
    p = link(port, "127.0.0.2")
    p.ask(b"(Define s (OpenSession))")
    p.ask(b'(IgnoreDelay (RemoteSession s (URL "zup://127.0.0.9:%d/@x/a.zu") (+ 1 2)))' % fake)
    cli.expect("session: the request reaches the server", wait_for(lambda: any("(+ 1 2)" in t for t in got), 20), True)
    return p


def interrupt_import(folder):
    # Each node the import makes takes a second.
    a = Agent(folder, '(Shell "touch started")\n' + with_matrix('(Sequence () (Sleep 1) %s)' % MAKE) +
              '(Shell "touch marker")\n')
    cli.expect("interrupt: the script runs", wait_for(lambda: os.path.exists(os.path.join(folder, "started"))), True)
    a.proc.send_signal(signal.SIGINT)
    cli.expect("interrupt: the status", wait_for(lambda: a.proc.poll() is not None, 30) and a.proc.returncode, 1)
    cli.expect("interrupt: the form after the import runs", os.path.exists(os.path.join(folder, "marker")), False)


def dropped_http_clients(folder):
    fake, got = fake_agent("127.0.0.1", lambda t: (None if '"/drop"' in t else '(text/html "kept")') if
                           t.startswith("(HTTP") else None if t == "<Cancel/>" else "()")
    port = free_port()
    a = Agent(folder, '(SetMainInterpreter (OpenInterpreter "accept" Env1 (Port %d) (Permission () (Allow "all"))))\n'
              % port, port, [DRIVER, "/drop=zup://127.0.0.1:%d/@agent" % fake, "/keep@/drop", "--"])
    drops = lambda: sum(t.startswith("(HTTP") and '"/drop"' in t for t in got)  # noqa: E731

    def get(path, keep=None):  # keep: what to wait for before closing; None reads the reply
        with socket.create_connection(("127.0.0.1", port), 20, ("127.0.0.%d" % (3 if keep is None else 2), 0)) as s:
            s.sendall(b"GET %s HTTP/1.0\r\n\r\n" % path)
            return keep() if keep else b"".join(iter(lambda: s.recv(65536), b""))
    for _ in range(10):
        get(b"/drop", keep=lambda: 0)
    cli.expect("http: a client that stays is answered", b"kept" in get(b"/keep"), True)
    sent = drops()
    cli.expect(f"http: requests of gone clients are not sent on ({sent} of 10)", sent <= 2, True)
    get(b"/drop", keep=lambda: wait_for(lambda: drops() > sent, 20))
    cli.expect("http: a request whose client went is cancelled", wait_for(lambda: "<Cancel/>" in got, 10), True)
    cli.expect("http: then a client that stays is answered", b"kept" in get(b"/keep"), True)
    stop(a.proc)


def sigterm(folder):
    port = free_port()
    a = Agent(folder, with_matrix() + "(SetMainInterpreter %s)\n" % listener(port).strip(), port)
    if a.up:
        a.proc.send_signal(signal.SIGTERM)
    a.ends_and_saves(status=1)


def lock_held_elsewhere(folder):
    """A named lock held elsewhere keeps one file busy, and nothing else: the
    agent holds a.mx and b.mx, both imported; a raw client of the lock
    service takes the write lock "b", which covers b.mx. A peer's read of
    b.mx answers -128 once the agent's lock wait runs out, a peer's status
    of a.mx is answered while that read waits, and an interrupt ends the
    agent with both imports saved."""
    lockd, lport, use = using_lockd(folder, "-v")
    script, port = [use], free_port()
    for n, (name, colour) in enumerate((("a", (255, 0, 0)), ("b", (0, 0, 255))), 1):
        write_ppm(os.path.join(folder, name + ".ppm"), np.full((100, 100, 3), colour, np.uint8))
        script += [matrix(name + ".mx", (256, 256), block=6, save_up=THIN), f'(qmxImportPNM id="{n}" "{name}.ppm" 0 0 0 0)']
    agent = Agent(folder, "\n".join(script) + "\n(SetMainInterpreter %s)\n" % listener(port).strip(), port,
                  env={"QNMX_LOCK_WAIT": "3"})
    holder = Peer(socket.create_connection(("127.0.0.1", lport), timeout=30))
    holder.s.sendall(b'\n<Lock type="write" data="1"> b </Lock>\n')
    cli.expect("the agent gives b.mx up", holder.until(rb"<Result>.*?</Result>\n")[0].group(0), b"<Result> 2 ()</Result>\n")
    log = lambda: open(os.path.join(folder, "lockd.log")).read()  # noqa: E731
    seen, reader, status = len(log()), link(port), link(port)
    reader.s.settimeout(20)
    status.s.settimeout(20)
    try:
        reader.s.sendall(b'(qmxGetPoint "b.mx" (List 0 200 200))\n')
        wait_for(lambda: re.search(r'lock write "b.mx".*\n.* waits', log()[seen:]), 20)  # the agent asks and waits
        cli.expect("a.mx answered while b.mx's read waits",
                   [status.ask(b'(qmxStatus id="1")')[:8], select.select([reader.s], [], [], 0)[0]], [b"(status ", []])
        cli.expect_error("b.mx's read after the wait", reader.until(rb"<Result> \d+ (.*?)</Result>\n")[0].group(1).decode(),
                         NO_OBJECT, '("invalid object in channel of NODE" "others" (-128 (0 192 192)) '
                         '"the matrix file is busy in another process")')
    except OSError as e:
        cli.fail(f"no answer: {e!r}")
    agent.proc.send_signal(signal.SIGINT)
    cli.expect("the interrupt ends the agent", wait_for(lambda: agent.proc.poll() is not None, 30), True)
    replies, _ = cli.run([f'(qmxGetPoint "{n}.mx" (List 0 10 10))' for n in "ab"], name="after", folder=folder)
    cli.expect("both imports saved", replies, [f"((0 {0xFF000000}))", f"((0 {0xFF00}))"])
    stop(lockd)


ROWS = [("lock-service-end", lock_service_end), ("peer-loop-end", served(lambda port: looping(port).s.close())),
        ("closed-links-count", served(closed_links_count, {"QNMX_PEER_THREADS": "3"})),
        ("cancel-open-link", served(cancel_open_link)), ("session-request-end", served(session_request_end)),
        ("interrupt-import", interrupt_import), ("dropped-http-clients", dropped_http_clients), ("sigterm", sigterm),
        ("lock-held-elsewhere", lock_held_elsewhere)]

try:
    for name, row in ROWS:
        if not sys.argv[4:] or name in sys.argv[4:]:
            print("row", name, flush=True)
            os.mkdir(cli.path(name))
            write_ppm(cli.path(name + "/pic.ppm"), PICTURE)
            row(cli.path(name))
finally:
    cli.finish()
