#!/usr/bin/env python3
"""A stop is final and the agent always ends and saves: stops_test.py QNMX
LOCKD HTTP_DRIVER [ROW...]. One table: each row runs an agent of its own,
disturbs it from outside (the lock service and a client of it holding a
lock, peers of 127.0.0.2-3, fake servers, signals) and, where the agent holds a matrix, reads the matrix
back with a fresh qnmx once the agent has ended (or been killed after 30 s).
"""
import os
import signal
import socket
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(HERE, "..", "support"), os.path.join(HERE, "..", "netsvc")]
from checks import check, failures, free_port, listening, start, stop, wait_until  # noqa: E402
from line_peer import link, serve  # noqa: E402
from lock_held_elsewhere import row_lock_held_elsewhere  # noqa: E402

QNMX, LOCKD, DRIVER = (os.path.realpath(a) for a in sys.argv[1:4])
LOOP = b"(While 1 (ErrHandler (While 1 1)))\n"  # an ErrHandler turns one stop into a value
POINTS = [(10, 20), (200, 100), (255, 255)]


def pixel(x, y):  # as the matrix keeps it: 0xRRGGBB00
    return x << 24 | y << 16 | ((x * 7 + y * 3) & 255) << 8


def matrix(fetch='(mxLoad target="file-n-create")'):
    """m.mx made and the 256 x 256 picture imported; fetch makes a node."""
    dims = "".join('(qmxMatrixPixelSize dim="%d" value="256") (qmxMatrixBlockSize dim="%d" value="6") '
                   '(qmxMatrixDimDivide dim="%d" value="1")' % (d, d, d) for d in (0, 1))
    return ('(qmxCreate filename="m.mx" activePhase_mode="direct" (qmxMatrixParam channel_nos="1" dim="2") %s\n'
            '(qmxChannelInfo channel="0" type="rgb8_v" file="on" 255)\n'
            '(qmxPhase area="3" (mxFinish normal-jump-status="MS_OK" err-jump-status="MS_LOADING_ERR_1")\n'
            '  (if (equal (GE (ErrHandler create-node) 6) "enable") %s (mxLoad target="file")))\n'
            '(qmxPhase area="4" type="equ" equ="3") (qmxPhase area="5" type="equ" equ="3")\n'
            '(qmxPhase area="21" (mxSave)) (qmxPhase area="22" type="equ" equ="21") (qmxPhase area="23" (mxSave)))\n'
            '(qmxImportPNM id="1" "pic.ppm" 0 0 0 0)\n' % (dims, fetch))


def listener(port):
    return '(OpenInterpreter "accept" (CurrentEnvironment) (Port %d) (Permission () (Allow "ip" "127.0.0.0" ' \
           '"255.0.0.0")))\n' % port


def until_bound(name):  # the script waits until a peer binds name
    return "(While (GE (ErrHandler %s) 5) (Sleep 1))\n" % name


class Agent:
    def __init__(self, work, argv, script, env=None):
        self.work = work
        with open(os.path.join(work, "s.zu"), "w") as f:
            f.write(script)
        self.proc = start(argv + ["s.zu", "out.txt", "-"], cwd=work, stdin=subprocess.DEVNULL,
                          stdout=subprocess.DEVNULL, stderr=open(os.path.join(work, "stderr"), "wb"),
                          env=dict(os.environ, HOME=work, STD_CODE="UTF-8", **(env or {})))

    def listening(self, port):
        return check(wait_until(lambda: listening(port) or self.proc.poll() is not None) and
                     self.proc.poll() is None, "%s listens" % self.work)

    def ends_and_saves(self, status=0):
        try:
            got = self.proc.wait(30)
        except subprocess.TimeoutExpired:
            stop(self.proc, signal.SIGKILL)
            got = None
        check(got == status, "%s: the agent ends with status %d: %r" % (self.work, status, got))
        with open(os.path.join(self.work, "read.zu"), "w") as f:
            f.write('(qmxCreate filename="m.mx" currentPhase_mode="direct")\n(qmxGetPoint "m.mx" (List %s))\n'
                    % " ".join("(List 0 %d %d)" % p for p in POINTS))
        r = subprocess.run([QNMX, "read.zu", "-"], cwd=self.work, capture_output=True, timeout=60).stdout
        want = "<Result> 2 (%s)</Result>" % " ".join("((0 %d))" % pixel(*p) for p in POINTS)
        check(want.encode() in r, "%s: the matrix reads back: %r" % (self.work, r[-200:]))


def serving(work, rest, env=None):
    """An agent with the matrix and a listener (not its main interpreter)."""
    port = free_port()
    a = Agent(work, [QNMX], matrix() + listener(port) + rest, env)
    a.listening(port)
    return a, port


def bind(port, name):
    p = link(port, "127.0.0.3")
    p.ask(b"(Define %s 1)" % name)
    p.s.close()


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


# ---- the rows


def lock_service_end(work):
    lockd = start([LOCKD, "0"], stdout=subprocess.PIPE)
    lport = int(lockd.stdout.readline().split()[1])
    Agent(work, [QNMX], '(Eval Env1 (quote (Sequence () (Define LockHostName "127.0.0.1") (Define LockPort %d))))\n'
          % lport + matrix()).ends_and_saves()
    stop(lockd)


def looping(port, name):
    """A link from 127.0.0.2 whose loop has begun (it binds name first)."""
    p = link(port, "127.0.0.2")
    p.s.sendall(b"(Sequence () (Define %s 1) %s)\n" % (name, LOOP.strip()))
    q = link(port, "127.0.0.3")
    check(wait_until(lambda: q.ask(b"(GE (ErrHandler %s) 5)" % name) == b"0", 10), "the loop runs")
    q.s.close()
    return p


def peer_loop_end(work):
    a, port = serving(work, until_bound("done"))
    looping(port, b"going").s.close()
    bind(port, b"done")
    a.ends_and_saves()


def closed_links_count(work):
    # Peers that end their side: past the address's cap the loops stop and
    # their links close; the address starts no Thread.
    a, port = serving(work, until_bound("done"), {"QNMX_PEER_THREADS": "3"})
    links = [link(port, "127.0.0.2").s for _ in range(10)]
    for s in links:
        s.sendall(LOOP)
        s.shutdown(socket.SHUT_WR)
        s.settimeout(0.05)
    ended = set()

    def stopped():
        for s in set(links) - ended:
            try:
                if s.recv(4096) == b"":
                    ended.add(s)
            except socket.timeout:
                pass
        return len(ended) >= 7
    check(wait_until(stopped, 15), "closed links: the loops past the cap stop: %d of 10" % len(ended))

    def refused():
        p = link(port, "127.0.0.2")
        with p.s:
            return b"cannot start a thread" in p.ask(b"(Thread 1)")
    check(wait_until(refused, 10), "closed links: the address starts no Thread")
    bind(port, b"done")
    a.ends_and_saves()


def cancel_open_link(work):
    a, port = serving(work, until_bound("done"))
    p = looping(port, b"going")
    p.s.sendall(b"<Cancel/>\n")
    p.s.settimeout(10)
    try:
        check(p.until(rb"<Result> \d+ (.*?)</Result>\n")[0].group(1) == b"()", "cancel: a nil reply")
        check(p.s.recv(100) == b"", "cancel: the link ends")
    except OSError as e:
        check(False, "cancel: %r" % e)
    bind(port, b"done")
    a.ends_and_saves()


def session_request_end(work):
    # The server admits, answers SetAgent and a time-out of -1, never the
    # request.
    fake, got = fake_agent("127.0.0.9", lambda t: "((connection-timeout -1))" if "GetZUIinfo" in t else
                           "()" if "SetAgent" in t else None)
    a, port = serving(work, until_bound("done"))
    p = link(port, "127.0.0.2")
    p.ask(b"(Define s (OpenSession))")
    p.ask(b'(IgnoreDelay (RemoteSession s (URL "zup://127.0.0.9:%d/@x/a.zu") (+ 1 2)))' % fake)
    check(wait_until(lambda: any("(+ 1 2)" in t for t in got), 20), "session: the request reaches the server")
    bind(port, b"done")
    a.ends_and_saves()
    p.s.close()


def interrupt_import(work):
    # Each node the import makes takes a second.
    a = Agent(work, [QNMX], '(Shell "touch started")\n' + matrix(
        '(Sequence () (Sleep 1) (mxLoad target="file-n-create"))') + '(Shell "touch marker")\n')
    check(wait_until(lambda: os.path.exists(os.path.join(work, "started"))), "interrupt: the script runs")
    a.proc.send_signal(signal.SIGINT)
    check(wait_until(lambda: a.proc.poll() is not None, 30) and a.proc.returncode == 1, "interrupt: status 1")
    check(not os.path.exists(os.path.join(work, "marker")), "interrupt: the form after the import does not run")


def dropped_http_clients(work):
    def answer(t):
        if t.startswith("(HTTP"):
            return None if '"/drop"' in t else '(text/html "kept")'
        return None if t == "<Cancel/>" else "()"
    fake, got = fake_agent("127.0.0.1", answer)
    port = free_port()
    a = Agent(work, [DRIVER, "/drop=zup://127.0.0.1:%d/@agent" % fake, "/keep@/drop", "--"],
              '(SetMainInterpreter (OpenInterpreter "accept" Env1 (Port %d) (Permission () (Allow "all"))))\n' % port)
    a.listening(port)
    drops = lambda: sum(t.startswith("(HTTP") and '"/drop"' in t for t in got)  # noqa: E731

    def get(path, keep=None):  # keep: what to wait for before closing; None reads the reply
        with socket.create_connection(("127.0.0.1", port), 20, ("127.0.0.%d" % (3 if keep is None else 2), 0)) as s:
            s.sendall(b"GET %s HTTP/1.0\r\n\r\n" % path)
            if keep:
                return keep()
            return b"".join(iter(lambda: s.recv(65536), b""))
    for _ in range(10):
        get(b"/drop", keep=lambda: 0)
    check(b"kept" in get(b"/keep"), "http: a client that stays is answered")
    sent = drops()
    check(sent <= 2, "http: requests of gone clients are not sent on: %d of 10" % sent)
    get(b"/drop", keep=lambda: wait_until(lambda: drops() > sent, 20))
    check(wait_until(lambda: "<Cancel/>" in got, 10), "http: a request whose client went is cancelled")
    check(b"kept" in get(b"/keep"), "http: then a client that stays is answered")
    stop(a.proc)


def sigterm(work):
    port = free_port()
    a = Agent(work, [QNMX], matrix() + "(SetMainInterpreter %s)\n" % listener(port).strip())
    if a.listening(port):
        a.proc.send_signal(signal.SIGTERM)
    a.ends_and_saves(status=1)


def lock_held_elsewhere(work):
    for what in row_lock_held_elsewhere(QNMX, LOCKD):
        check(False, "lock held elsewhere: " + what)


ROWS = [("lock-service-end", lock_service_end), ("peer-loop-end", peer_loop_end),
        ("closed-links-count", closed_links_count), ("cancel-open-link", cancel_open_link),
        ("session-request-end", session_request_end), ("interrupt-import", interrupt_import),
        ("dropped-http-clients", dropped_http_clients), ("sigterm", sigterm),
        ("lock-held-elsewhere", lock_held_elsewhere)]

with tempfile.TemporaryDirectory() as tmp:
    for name, row in ROWS:
        if sys.argv[4:] and name not in sys.argv[4:]:
            continue
        work = os.path.join(tmp, name)
        os.mkdir(work)
        with open(os.path.join(work, "pic.ppm"), "wb") as f:
            f.write(b"P6\n256 256\n255\n" + bytes(b for y in range(256) for x in range(256)
                                               for b in pixel(x, y).to_bytes(4, "big")[:3]))
        print("row", name, flush=True)
        row(work)
print("stops_test: %d failures" % len(failures))
sys.exit(1 if failures else 0)
