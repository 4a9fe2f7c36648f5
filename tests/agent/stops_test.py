#!/usr/bin/env python3
"""A stop is final and the agent always ends and saves: stops_test.py QNMX
LOCKD HTTP_DRIVER [ROW...|end]. Each row of two tables runs an agent of its own,
disturbs it from outside (the lock service and a client of it holding a
lock, peers of 127.0.0.2-3, fake servers, signals) and, where the agent
holds a matrix, reads the matrix back with a fresh qnmx once the agent has
ended (or been killed after 30 s)."""
import contextlib
import itertools
import os
import random
import re
import select
import signal
import socket
import subprocess
import sys
import threading
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(HERE, "..", "netsvc")]
from qmx_cli import NO_OBJECT, STORE, THIN, error_of, matrix, reopen, use_lock_service, write_ppm  # noqa: E402
from line_peer import Peer, link, serve  # noqa: E402
from net_e2e import Run, free_port, start_lockd, stop, wait_for  # noqa: E402

run = Run(sys.argv[1], "stops")
check = run.check
LOCKD, DRIVER = (os.path.realpath(a) for a in sys.argv[2:4])
LOOP = b"(While 1 (ErrHandler (While 1 1)))\n"  # an ErrHandler turns one stop into a value
MAKE = '(mxLoad target="file-n-create")'
LISTEN = ('(OpenInterpreter "accept" (CurrentEnvironment) (Port (Cast type="integer" (Arg 1))) '
          '(Permission () (Allow "ip" "127.0.0.0" "255.0.0.0")))')
YS, XS = np.mgrid[0:256, 0:256]
write_ppm(os.path.join(run.work, "pic.ppm"), np.stack([XS, YS, (XS * 7 + YS * 3) & 255], axis=2).astype(np.uint8))
POINTS = " ".join("(List 0 %d %d)" % p for p in ((10, 20), (200, 100), (255, 255)))
WORDS = "(%s)" % " ".join("((0 %d))" % (x << 24 | y << 16 | ((x * 7 + y * 3) & 255) << 8)
                          for x, y in ((10, 20), (200, 100), (255, 255)))


def with_matrix(name, fetch=MAKE, entry=1):
    """name.mx made and pic.ppm imported; fetch makes a node; entry: its id (the how-manieth opened)."""
    return matrix(name + ".mx", (256, 256), block=6).replace(MAKE, fetch) + \
        '\n(qmxImportPNM id="%d" "pic.ppm" 0 0 0 0)\n' % entry


def using_lockd(name, *options):
    """A lock service: the process, its port and the form that makes the agent use it."""
    p, port = start_lockd(LOCKD, *options, stderr=open(os.path.join(run.work, name + ".log"), "w"))
    return p, port, use_lock_service(port) + "\n"


def ends(a, name, status=0, limit=30):
    """The agent ends within limit seconds (else it is killed) with status."""
    if a.wait_exit(limit) is None:
        a.stop(signal.SIGKILL)
    check(a.proc.returncode == status, "%s: the agent's status %r within %d s, want %d" %
          (name, a.proc.returncode, limit, status))


def saved(name, words=WORDS, points=POINTS):
    """name.mx opens with what was written into it."""
    size = os.path.getsize(os.path.join(run.work, name + ".mx"))
    got = run.agent(name + "_read", reopen(name + ".mx") + '\n(qmxGetPoint "%s.mx" (List %s))\n' % (name, points)
                    ).wait_replies(2)
    check(got[1:] == [words], "%s: the matrix (%d bytes) read back: %r" % (name, size, got))


def ends_and_saves(a, name, status=0, limit=30):
    ends(a, name, status, limit)
    saved(name)


def served(disturb, env=None):
    """A row: an agent with the matrix and a listener (not its main
    interpreter) that ends once a peer binds "done", which disturb(port)
    precedes."""
    def row(name):
        a, port = run.listening(name, with_matrix(name) + LISTEN + "\n(While (GE (ErrHandler done) 5) (Sleep 1))\n",
                                env=env)
        held = disturb(port)  # noqa: F841 (what stays open until the agent has ended)
        link(port, "127.0.0.3").ask(b"(Define done 1)")
        ends_and_saves(a, name)
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
    check(wait_for(lambda: q.ask(b"(GE (ErrHandler going) 5)") == b"0", 10), "the loop runs")
    return p


# ---- the rows

def lock_service_end(name):
    lockd, _, use = using_lockd(name)
    ends_and_saves(run.agent(name, use + with_matrix(name)), name)
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
    check(wait_for(stopped, 15), "closed links: the loops past the cap stop: %d of 10" % len(ended))
    check(wait_for(lambda: b"cannot start a thread" in link(port, "127.0.0.2").ask(b"(Thread 1)"), 10),
          "closed links: the address starts no Thread")


def cancel_open_link(port):
    p = looping(port)
    p.s.sendall(b"<Cancel/>\n")
    p.s.settimeout(10)
    try:
        got = [p.until(rb"<Result> \d+ (.*?)</Result>\n")[0].group(1), p.s.recv(100)]
        check(got == [b"()", b""], "cancel: the reply, then the link's end: %r" % got)
    except OSError as e:
        check(False, "cancel: %r" % e)


def session_request_end(port):
    # The server admits, answers SetAgent and a time-out of -1, never the
    # request.
    fake, got = fake_agent("127.0.0.9", lambda t: "((connection-timeout -1))" if "GetZUIinfo" in t else
                           "()" if "SetAgent" in t else None)
    p = link(port, "127.0.0.2")
    p.ask(b"(Define s (OpenSession))")
    p.ask(b'(IgnoreDelay (RemoteSession s (URL "zup://127.0.0.9:%d/@x/a.zu") (+ 1 2)))' % fake)
    check(wait_for(lambda: any("(+ 1 2)" in t for t in got), 20), "session: the request reaches the server")
    return p


def interrupt_import(name):
    # Each node the import makes takes a second.
    a = run.agent(name, '(Shell "touch %s.started")\n' % name + with_matrix(name, '(Sequence () (Sleep 1) %s)' % MAKE)
                  + '(Shell "touch %s.marker")\n' % name)
    check(wait_for(lambda: os.path.exists(os.path.join(run.work, name + ".started"))), "interrupt: the script runs")
    a.proc.send_signal(signal.SIGINT)
    check(a.wait_exit(30) == 1, "interrupt: the status %r" % a.proc.returncode)
    check(not os.path.exists(os.path.join(run.work, name + ".marker")), "interrupt: the form after the import runs")


def interrupt_slow_script(name):
    # The matrices' scripts take turns: the saves of name.mx wait for the
    # slow fetch of the other matrix that the interrupt found running.
    made = run.agent(name + "_made", with_matrix(name + "_slow") + '(qmxClose id="1")\n')
    check(made.wait_exit(60) == 0, "slow script: the other matrix made")
    slow = matrix(name + "_slow.mx", (256, 256), block=6).replace(
        '(qmxPhase area="3" ', '(qmxPhase area="3" (Sleep 8) ', 1)
    a = run.agent(name, with_matrix(name) + slow + '\n(qmxGetPoint "%s_slow.mx" (List 0 10 10))\n' % name)
    check(len(a.wait_replies(3)) == 3, "slow script: the read is asked")  # its fetch is on its way
    a.proc.send_signal(signal.SIGINT)
    ends_and_saves(a, name, status=1)


def dropped_http_clients(name):
    fake, got = fake_agent("127.0.0.1", lambda t: (None if '"/drop"' in t else '(text/html "kept")') if
                           t.startswith("(HTTP") else None if t == "<Cancel/>" else "()")
    a, port = run.listening(name, '(SetMainInterpreter (OpenInterpreter "accept" Env1 (Port (Cast type="integer" '
                            '(Arg 1))) (Permission () (Allow "all"))))\n',
                            argv=[DRIVER, "/drop=zup://127.0.0.1:%d/@agent" % fake, "/keep@/drop", "--"])
    drops = lambda: sum(t.startswith("(HTTP") and '"/drop"' in t for t in got)  # noqa: E731

    def get(path, keep=None):  # keep: what to wait for before closing; None reads the reply
        with socket.create_connection(("127.0.0.1", port), 20, ("127.0.0.%d" % (3 if keep is None else 2), 0)) as s:
            s.sendall(b"GET %s HTTP/1.0\r\n\r\n" % path)
            return keep() if keep else b"".join(iter(lambda: s.recv(65536), b""))
    for _ in range(10):
        get(b"/drop", keep=lambda: 0)
    check(b"kept" in get(b"/keep"), "http: a client that stays is answered")
    # On a loaded machine a client may close only after the agent took its
    # request up; most are gone first, and no more are sent then.
    sent = drops()
    check(sent <= 5, "http: requests of gone clients are not sent on: %d of 10" % sent)
    get(b"/drop", keep=lambda: wait_for(lambda: drops() > sent, 20))
    check(wait_for(lambda: "<Cancel/>" in got, 10), "http: a request whose client went is cancelled")
    check(b"kept" in get(b"/keep"), "http: then a client that stays is answered")
    a.stop()


def sigterm(name):
    a, port = run.listening(name, with_matrix(name) + "(SetMainInterpreter %s)\n" % LISTEN)
    if a.alive():
        a.proc.send_signal(signal.SIGTERM)
    ends_and_saves(a, name, status=1)
    # With nothing to close the script's own end may come first: the status
    # is the signal's all the same.
    bare = [run.listening("%s%d" % (name, i), "(SetMainInterpreter %s)\n" % LISTEN)[0] for i in range(12)]
    for i, b in enumerate(bare):
        b.proc.send_signal(signal.SIGTERM if i % 2 else signal.SIGINT)
    got = [b.wait_exit(30) for b in bare]
    check(got == [1] * len(bare), "serving agents signalled end with status 1: %r" % got)


def lock_held_elsewhere(name):
    """A named lock held elsewhere keeps one file busy, and nothing else: the
    agent holds a.mx and b.mx, both imported; a raw client of the lock
    service takes the write lock "b", which covers b.mx. A peer's read of
    b.mx answers -128 once the agent's lock wait runs out, a peer's status
    of a.mx is answered while that read waits, and an interrupt ends the
    agent with both imports saved."""
    lockd, lport, use = using_lockd(name, "-v")
    script = [use]
    for n, (mx, colour) in enumerate((("a", (255, 0, 0)), ("b", (0, 0, 255))), 1):
        write_ppm(os.path.join(run.work, mx + ".ppm"), np.full((100, 100, 3), colour, np.uint8))
        script += [matrix(mx + ".mx", (256, 256), block=6, save_up=THIN), f'(qmxImportPNM id="{n}" "{mx}.ppm" 0 0 0 0)']
    agent, port = run.listening(name, "\n".join(script) + "\n(SetMainInterpreter %s)\n" % LISTEN,
                                env={"QNMX_LOCK_WAIT": "3"})
    holder = Peer(socket.create_connection(("127.0.0.1", lport), timeout=30))
    holder.s.sendall(b'\n<Lock type="write" data="1"> b </Lock>\n')
    got = holder.until(rb"<Result>.*?</Result>\n")[0].group(0)
    check(got == b"<Result> 2 ()</Result>\n", "the agent gives b.mx up: %r" % got)
    log = lambda: open(os.path.join(run.work, name + ".log")).read()  # noqa: E731
    seen, reader, status = len(log()), link(port, timeout=20), link(port, timeout=20)
    try:
        reader.s.sendall(b'(qmxGetPoint "b.mx" (List 0 200 200))\n')
        wait_for(lambda: re.search(r'lock write "b.mx".*\n.* waits', log()[seen:]), 20)  # the agent asks and waits
        got = [status.ask(b'(qmxStatus id="1")')[:8], select.select([reader.s], [], [], 0)[0]]
        check(got == [b"(status ", []], "a.mx answered while b.mx's read waits: %r" % got)
        got = reader.until(rb"<Result> \d+ (.*?)</Result>\n")[0].group(1).decode()
        check(error_of(got) == (NO_OBJECT, "qmxGetPoint", '("invalid object in channel of NODE" "others" (-128 (0 192 '
                                '192)) "the matrix file is busy in another process")'), "b.mx's read after the wait: " + got)
    except OSError as e:
        check(False, "no answer: %r" % e)
    agent.proc.send_signal(signal.SIGINT)
    check(agent.wait_exit(30) is not None, "the interrupt ends the agent")
    got = run.agent("after", "".join('(qmxGetPoint "%s.mx" (List 0 10 10))\n' % n for n in "ab")).wait_replies(2)
    check(got == ["((0 %d))" % 0xFF000000, "((0 %d))" % 0xFF00], "both imports saved: %r" % got)
    stop(lockd)


ROWS = [("lock-service-end", lock_service_end), ("peer-loop-end", served(lambda port: looping(port).s.close())),
        ("closed-links-count", served(closed_links_count, {"QNMX_PEER_THREADS": "3"})),
        ("cancel-open-link", served(cancel_open_link)), ("session-request-end", served(session_request_end)),
        ("interrupt-import", interrupt_import), ("interrupt-slow-script", interrupt_slow_script),
        ("dropped-http-clients", dropped_http_clients), ("sigterm", sigterm),
        ("lock-held-elsewhere", lock_held_elsewhere)]

# ---- the end as one runner

WAIT = "\n(While (GE (ErrHandler done) 5) (Sleep 1))\n"  # until a peer binds "done"
SHORT = {"QNMX_LOCK_WAIT": "5"}  # every row's waits for a named lock are short
READ = b'(qmxGetPoint "%s.mx" (List 0 10 20))'
FIRST = WORDS[1:WORDS.index(")) ") + 2]  # its answer


def closed(names):
    """The script that makes names' matrices, imports pic.ppm into each and closes it."""
    return "".join(with_matrix(n, entry=i + 1) + '(qmxClose id="%d")\n' % (i + 1) for i, n in enumerate(names))


def made(what, names, use=""):
    check(run.agent(names[0] + "_made", use + closed(names)).wait_exit(60) == 0, what + ": the matrices are made")


def refused_create(name, port, why, limit=20):
    """An agent whose lock service at port does why: its create answers -128 saying so; the seconds it took."""
    begun = time.time()
    a = run.agent(name, use_lock_service(port) + "\n" + matrix(name + ".mx", (256, 256), block=6) + "\n", env=SHORT)
    got = a.wait_replies(2, limit)[1:]
    took = time.time() - begun
    check(got and error_of(got[0]) == (STORE, "qmxCreate", '(-128 "the lock service 127.0.0.1:%d %s")' % (port, why)),
          "%s: the create's answer after %.1f s: %r" % (name, took, got))
    ends(a, name, 0, 20)
    return took


def silent_lockd(how, reads=0):
    """The lock service falls silent under matrices being written: the end gives every lock back soon, all saved."""
    def row(name):
        lockd, _, use = using_lockd(name)
        if reads:
            made("reads", ["%s_r%d" % (name, i) for i in range(reads)], use)
        names = [name] if reads else ["%s%d" % (name, i) for i in range(4)]
        a, port = run.listening(name, use + "".join(with_matrix(n, entry=i + 1) for i, n in enumerate(names)) +
                                LISTEN + WAIT, env=SHORT)
        if reads:
            peer = link(port, "127.0.0.3")
            got = [peer.ask(READ % ("%s_r%d" % (name, i)).encode()) for i in range(reads)]
            check(got == [FIRST.encode()] * reads, "reads: the peer's reads: %r" % got)
        lockd.send_signal(signal.SIGSTOP)
        a.proc.send_signal(how) if how else link(port, "127.0.0.3").ask(b"(Define done 1)")
        ends(a, name, 1 if how else 0, 20)
        for n in names:
            saved(n)
        lockd.send_signal(signal.SIGCONT)
        stop(lockd)
    return row


def slow_fetch(first, runs, sig):
    """The end of a script whose import's fetch is slow or endless (signalled or not) saves the other matrix."""
    def row(name):
        slow = matrix(name + "_slow.mx", (256, 256), block=6).replace(MAKE, "(Sequence () %s %s)" % (first, MAKE))
        a = run.agent(name, with_matrix(name) + slow + '\n(Shell "touch %s.started")\n' % name +
                      runs % '(qmxImportPNM id="2" "pic.ppm" 0 0 0 0)' + "\n")
        check(wait_for(lambda: os.path.exists(os.path.join(run.work, name + ".started")), 60), "slow: started")
        if sig:
            time.sleep(3)
            a.proc.send_signal(sig)
        ends_and_saves(a, name, 1 if sig else 0, 20)
    return row


def silent_admission(name):
    """A service that accepts and never admits holds a command only as long as the named lock's wait."""
    took = refused_create(name, serve("127.0.0.1", [].append), "did not admit within 5 s")
    check(took < 15, "admission: the create's answer after %.1f s" % took)


def service_back(name):
    """A frozen service makes reads answer -128 after the lock's wait; once it is back, the next read is served."""
    lockd, _, use = using_lockd(name)
    files = ["%s%d" % (name, i) for i in range(3)]
    made("back", files, use)
    a, port = run.listening(name, use + LISTEN + WAIT, env={"QNMX_LOCK_WAIT": "3", "QNMX_MX_FILE_IDLE": "2"})
    peer = link(port, "127.0.0.3", timeout=20)
    ask = lambda f: peer.ask(READ % f.encode()).decode()  # noqa: E731
    check(ask(files[0]) == FIRST, "back: a read before the freeze")
    time.sleep(4)  # the closer gives the file, and its lock, up
    lockd.send_signal(signal.SIGSTOP)
    try:
        frozen = [ask(files[1]), ask(files[2])]
        lockd.send_signal(signal.SIGCONT)
        begun = time.time()
        back, took = ask(files[2]), time.time() - begun
    except OSError as e:
        frozen, back, took = [repr(e)], "", 0
    lockd.send_signal(signal.SIGCONT)
    check(all("-128" in f for f in frozen) and back == FIRST and took < 5,
          "back: during the freeze %r, then %r after %.1f s" % (frozen, back, took))
    link(port, "127.0.0.3").ask(b"(Define done 1)")
    ends(a, name, 0, 20)
    stop(lockd)


def cancel_reach(name):
    """A peer's cancel reaches an import's endless fetch (freeing the worker) and a wait for a thread's value."""
    made("reach", [name + "_other"])
    loop = matrix(name + "_loop.mx", (256, 256), block=6).replace(MAKE, "(Sequence () (While 1 1) %s)" % MAKE)
    a, port = run.listening(name, loop + "\n" + LISTEN + WAIT)
    got = []
    for form in (b'(qmxImportPNM id="1" "pic.ppm" 0 0 0 0)',
                 b"(While 1 (Sequence () (Define t (Thread (Sleep 30))) (+ t 1)))"):
        p = link(port, "127.0.0.2", timeout=10)
        p.s.sendall(form + b"\n")
        time.sleep(1.5)
        p.s.sendall(b"<Cancel/>\n")
        try:
            got.append(bool(p.until(rb"<Result> \d+ (.*?)</Result>\n")))  # answered, not left waiting
            got.append(link(port, "127.0.0.3", timeout=15).ask(READ % (name + "_other").encode()) == FIRST.encode())
        except OSError as e:
            got.append(repr(e))
    check(got == [True] * 4, "reach: the cancelled forms answered, and another peer's read: %r" % got)
    link(port, "127.0.0.3").ask(b"(Define done 1)")
    ends(a, name, 0, 20)


def http_client_gone(name):
    """A local HTTP path's function stops once its client has gone."""
    a, port = run.listening(name, '(Eval Env1 (quote (Define GET () (h) (While 1 1))))\n(SetMainInterpreter '
                            '(OpenInterpreter "accept" Env1 (Port (Cast type="integer" (Arg 1))) (Permission () '
                            '(Allow "all"))))\n', argv=[DRIVER, "/loop", "--"])
    with socket.create_connection(("127.0.0.1", port), 10, ("127.0.0.2", 0)) as s:
        s.sendall(b"GET /loop HTTP/1.0\r\n\r\n")
        time.sleep(1)
    time.sleep(2)  # the client is looked at once a second
    stat = "/proc/%d/stat" % a.proc.pid
    cpu = lambda: sum(int(x) for x in open(stat).read().rsplit(")", 1)[1].split()[11:13])  # noqa: E731
    before = cpu()
    time.sleep(2)
    used = (cpu() - before) / os.sysconf("SC_CLK_TCK")
    check(used < 0.5, "http: the function of a client that went runs on: %.1f s of processor in 2 s" % used)
    a.stop()


def held_causes(name):
    """A held file's import answers -128 with its cause; with no service, an access names the service and why."""
    lockd, lport, use = using_lockd(name)
    made("causes", [name])
    a, port = run.listening(name, use + reopen(name + ".mx") + "\n" + LISTEN + WAIT, env={"QNMX_LOCK_WAIT": "3"})
    holder = link(lport, timeout=30)
    holder.ask(b'<Lock type="write" data="1"> %s </Lock>' % name.encode())  # once the agent has given the file up
    got = link(port, "127.0.0.3").ask(b'(qmxImportPNM id="1" "pic.ppm" 0 0 0 0)').decode()
    check("-128" in got and "busy in another process" in got, "causes: the import's answer: " + got)
    refused_create(name + "_none", free_port(), "cannot be reached: Connection refused")
    a.proc.send_signal(signal.SIGTERM)
    ends(a, name, 1, 20)
    stop(lockd)


def interrupt_long_import(name):
    """SIGINT 1 s into a long import while another matrix has 80 nodes whose saves take 1 s each: the end saves
    as long as it writes, past the bound of an end that makes no progress, and both files open with their data."""
    ys, xs = np.mgrid[0:2040, 0:2040]
    write_ppm(os.path.join(run.work, name + "_big.ppm"),
              np.stack([xs & 255, ys & 255, (xs ^ ys) & 255], axis=2).astype(np.uint8))
    for part, colour, shape in (("small", (10, 20, 30), (4, 4)), ("more", (40, 50, 60), (64, 80))):
        write_ppm(os.path.join(run.work, "%s_%s.ppm" % (name, part)), np.full(shape + (3,), colour, np.uint8))
    slow = matrix(name + "_slow.mx", (2048, 2048), block=3, save_up=THIN).replace(
        '(qmxPhase area="23" (mxSave))', '(qmxPhase area="23" (Sleep 1) (mxSave))')
    check(run.agent(name + "_made", slow + '\n(qmxImportPNM id="1" "%s_small.ppm" 0 0 0 0)\n(qmxClose id="1")\n'
                    % name).wait_exit(60) == 0, "long import: the earlier picture is closed")
    a = run.agent(name, slow + '\n(qmxImportPNM id="1" "%s_more.ppm" 0 0 64 0)\n' % name +
                  matrix(name + ".mx", (2048, 2048), block=3, save_up=THIN) +
                  '\n(Shell "touch %s.started")\n(qmxImportPNM id="2" "%s_big.ppm" 0 0 8 8)\n'
                  '(Shell "touch %s.marker")\n' % (name, name, name))
    check(wait_for(lambda: os.path.exists(os.path.join(run.work, name + ".started")), 60), "long import: started")
    time.sleep(1)
    a.proc.send_signal(signal.SIGINT)
    ends(a, name, 1, 150)
    check(not os.path.exists(os.path.join(run.work, name + ".marker")), "long import: a form after the import ran")
    more = [(x, y) for x in range(64, 144, 8) for y in range(0, 64, 8)]
    saved(name + "_slow", "(%s)" % " ".join(["((0 %d))" % (10 << 24 | 20 << 16 | 30 << 8)] +
                                            ["((0 %d))" % (40 << 24 | 50 << 16 | 60 << 8)] * len(more)),
          " ".join("(List 0 %d %d)" % p for p in [(1, 1)] + more))
    saved(name, "(((0 0)))", "(List 0 8 8)")


def restarts(name):
    """A storm of lock service restarts under a writing agent is waited out, and every close saves every level."""
    lockd, port, use = using_lockd(name)
    rounds = 16
    stop(lockd, signal.SIGKILL)  # the storm begins before the agent asks
    a = run.agent(name, use + closed(["%s%d" % (name, i) for i in range(rounds)]), env=SHORT)
    while True:
        time.sleep(random.uniform(0.2, 0.5))  # the service is away for a moment
        lockd = start_lockd(LOCKD, port=port, stderr=subprocess.DEVNULL)[0]
        if not a.alive() or len(a.replies()) >= 1 + 3 * rounds:
            break
        time.sleep(random.uniform(0.1, 0.4))
        stop(lockd, signal.SIGKILL)
    ends(a, name, 0, 60)
    got = a.replies()
    check(len(got) == 1 + 3 * rounds and not [r for r in got if r.startswith("#error")],
          "restarts: the answers %r" % got)
    stop(lockd)


def hanging_up(service, cut):
    """A port in front of the lock service at port service that hangs up as the n-th lock request comes if cut(n)."""
    asked = itertools.count(1)

    def handle(conn):
        with conn, socket.create_connection(("127.0.0.1", service)) as up:
            def back():
                with contextlib.suppress(OSError):  # the link was cut here
                    for chunk in iter(lambda: up.recv(65536), b""):
                        conn.sendall(chunk)
                    conn.shutdown(socket.SHUT_WR)
            threading.Thread(target=back, daemon=True).start()
            for chunk in iter(lambda: conn.recv(65536), b""):
                if b"<Lock " in chunk and cut(next(asked)):
                    return
                up.sendall(chunk)
    return serve("127.0.0.1", handle)


def hang_ups(name):
    """A service that hung up is asked again once back; one that always does refuses the create, leaving no file."""
    lockd, lport, _ = using_lockd(name)
    back, gone = hanging_up(lport, lambda n: n <= 3), hanging_up(lport, lambda n: n > 1)
    a = run.agent(name, use_lock_service(back) + "\n" + with_matrix(name) + '(qmxClose id="1")\n', env=SHORT)
    check(a.wait_replies(4, 30)[1:] == ["1", "()", "()"], "hang-ups: waited out: %r" % a.replies())
    refused_create(name + "_gone", gone, "closed the connection", 30)
    check(not os.path.exists(os.path.join(run.work, name + "_gone.mx")), "hang-ups: the refused create left a file")
    ends(a, name, 0, 20)
    stop(lockd)


def late_signal(name):
    """SIGTERM at any moment, even just after the last reply, ends every run it reached with status 1."""
    got = []
    for i in itertools.takewhile(lambda _: sum(r for r, _ in got) < 8, range(80)):  # fewer on a loaded machine
        a = run.agent("%s%d" % (name, i), "(List %d)\n" % i)
        wait_for(lambda: a.replies() or not a.alive(), 30, 0.001)
        # Half the signals in the first milliseconds, where an agent that ends at once is still reached.
        time.sleep(random.uniform(0, 0.05 if i % 2 else 0.005))
        a.proc.send_signal(signal.SIGTERM)
        reached = False
        with contextlib.suppress(OSError):  # whether it runs (a zombie does not)
            reached = open("/proc/%d/stat" % a.proc.pid).read().rsplit(")", 1)[1].split()[0] not in "ZX"
        status = a.wait_exit(30)  # then whether it said "Interrupted"
        got.append((reached or b"Interrupted" in open(a.out[:-4] + ".err.stdout", "rb").read(), status))
    check(all(status == 1 for reached, status in got if reached) and sum(r for r, _ in got) >= 5,
          "late signals: (reached, status) %r" % got)


END_ROWS = [("silent-lockd-end", silent_lockd(None)), ("silent-lockd-sigterm", silent_lockd(signal.SIGTERM)),
            ("silent-lockd-reads", silent_lockd(signal.SIGTERM, 3)),
            ("slow-node-script", slow_fetch("(Sleep 100)", "%s", signal.SIGTERM)),
            ("slow-node-thread", slow_fetch("(Sleep 100)", "(Define t (Thread %s))\n(Sleep 60)", signal.SIGTERM)),
            ("endless-fetch", slow_fetch("(While 1 1)", "(IgnoreDelay (Thread %s))\n(Sleep 2)", None)),
            ("silent-admission", silent_admission), ("service-back", service_back), ("held-causes", held_causes),
            ("cancel-reach", cancel_reach), ("http-client-gone", http_client_gone), ("restarts", restarts),
            ("hang-ups", hang_ups), ("late-signal", late_signal)]
# Longer than a minute by design: run by name.
LONG_ROWS = [("interrupt-long-import", interrupt_long_import)]

wanted = sys.argv[4:]
table = END_ROWS if wanted == ["end"] else ROWS + END_ROWS + LONG_ROWS if wanted else ROWS
for name, row in table:
    if wanted in ([], ["end"]) or name in wanted:
        print("row", name, flush=True)
        row(name.replace("-", "_"))
run.finish()
