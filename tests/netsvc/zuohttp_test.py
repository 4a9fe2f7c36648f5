#!/usr/bin/env python3
"""ZUoHTTP and the HTTP agent's 404 page from outside: zuohttp_test.py ZOH_AGENT GROUP [QNMX].

clients: curl, wget and socat; one session with qnmx itself listening. protocol: message types, order, refusals and
the session check through zoh_client.py. hostile: oversized and malformed
headers, slow senders, 1000 concurrent opens, 10,000 cookies; after each the
agent answers a form and its descriptors are back where they were, and in
the end its resident size is within 50 MiB (100 under the sanitizers) of
where it was after a first round of 1000 opens (which fills the collector's
page pool). Times are shortened: header guard 4 s, idle sessions 2 s (10 s
in use, 2 s unused in the hostile group), empty replies after 1 s. peers:
kept-alive peers that stall, peers that open sessions past the bounds,
version-2 sessions that never upload (their clients close the downloads, or
keep them open) and one whose upload stops short, each against an agent of
its own."""
import os
import re
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from zoh_client import (HOST, Agent, Session, download, header, read_replies, read_reply, request,  # noqa: E402
                        unpack, upload)
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from checks import check, curl, failures, free_port, listening, start, stop, wait_until  # noqa: E402

EXE, GROUP = sys.argv[1], sys.argv[2]


def raw(port, data, half_close=False, source=None):
    with socket.create_connection((HOST, port), timeout=20, source_address=(source, 0) if source else None) as s:
        s.sendall(data)
        if half_close:
            s.shutdown(socket.SHUT_WR)
        return read_reply(s)


def clients(agent, tmp):
    port, opening = agent.port, os.path.join(tmp, "open.bin")
    with open(opening, "wb") as f:
        f.write(header(1, 0))
    post = ["--http1.0", "--data-binary", "@" + opening, "-H", "Content-Type: application/zuohttp"]
    r = curl(port, "/cgi-bin/zusv.cgi", "-D", "-", *post, host=HOST)
    head, _, body = r.stdout.partition(b"\r\n\r\n")
    kind, seq, cookie, good, payload = unpack(body)
    check(head.startswith(b"HTTP/1.0 200 OK\r\n") and b"\r\nConnection: close\r\n" in head and
          (kind, seq, good, payload) == (2, 0, True, b"") and all(cookie), "curl open: %r" % r.stdout)
    keep = post + ["-H", "Connection: keep-alive"]
    r = curl(port, "/cgi-bin/zusv.cgi", "-v", *keep, "http://%s:%d/cgi-bin/zusv.cgi" % (HOST, port), "--next", *keep,
             host=HOST)
    check([unpack(r.stdout[:12])[0], unpack(r.stdout[12:])[0]] == [5, 5] and b"Re-using existing connection" in
          r.stderr, "keep-alive: type 5 twice on one connection: %r" % r.stdout)
    r = curl(port, "/x", "-i", host=HOST)
    check(r.stdout.startswith(b"HTTP/1.1 404 Not Found\r\n") and b"Content-Type: text/html\r\n" in r.stdout and
          b"HTTP Status: 404 Not Found\n\r" in r.stdout and b"Message: /x<BR>" in r.stdout, "curl -i /x: %r" % r.stdout)
    check(b"Message: /%3Cscript%3E<BR>" in curl(port, "/%3Cscript%3E", host=HOST).stdout,
          "a percent-coded path as sent")
    r = subprocess.run(["wget", "--no-proxy", "-S", "-O", "-", "-t", "1", "http://%s:%d/x" % (HOST, port)],
                       capture_output=True, timeout=60)
    check(r.returncode == 8 and b"HTTP/1.1 404 Not Found" in r.stderr, "wget -S /x: %r" % r.stderr)
    status, _, page = raw(port, b"GET /<script>&\"x HTTP/1.0\r\n\r\n")
    check(b"Message: /&lt;script&gt;&amp;&quot;x<BR>" in page, "the path is escaped: %r" % page)
    r = subprocess.run(["socat", "-t", "5", "-", "TCP:%s:%d" % (HOST, port)], timeout=60, capture_output=True,
                       input=request(port, header(1, 0)[:11]))
    check(r.stdout == b"", "Content-Length 11: no reply, got %r" % r.stdout)
    # The qnmx program itself, listening from a script.
    port = free_port()
    with open(os.path.join(tmp, "listen.zu"), "w") as f:
        f.write('(SetMainInterpreter (OpenInterpreter "accept" Env0 (Port (Cast type="integer" (Arg 1))) '
                '(Permission () (Allow "all"))))\n')
    qnmx = start([os.path.abspath(sys.argv[3]), "listen.zu", "out", "err", "/", str(port)], cwd=tmp)
    check(wait_until(lambda: listening(port) or qnmx.poll() is not None), "qnmx listens")
    check(re.search(rb"<Result> \d+ 42</Result>", Session(port).query(b"(* 6 7)\n")), "qnmx serves ZUoHTTP")
    stop(qnmx, signal.SIGKILL)


def close_behind_data(port):
    """A close sent right behind a data message, on two connections or
    pipelined on one kept-alive connection: the data message is answered
    first, its output in its own reply or (when it came late) in the
    close's, and then the close."""
    for keep in (False, True) * 3:
        ses = Session(port, keep=keep)
        data = request(port, header(2, 1, ses.cookie) + b"(+ 1 2)\n", keep)
        close = request(port, header(3, 2, ses.cookie), keep)
        if keep:
            ses.conn.sendall(data + close)
            replies = read_replies(ses.conn, 2)
            ses.conn.close()
        else:
            conns = [socket.create_connection((HOST, port), timeout=20) for _ in range(2)]
            conns[0].sendall(data)
            conns[1].sendall(close)
            replies = [read_reply(c) for c in conns]
            for c in conns:
                c.close()
        got = [unpack(r[2]) for r in replies]
        check([g[:2] for g in got] == [(2, 1), (3, 2)] and
              re.search(rb"<Result> \d+ 3</Result>", b"".join(g[4] for g in got)),
              "a close right behind data (keep-alive %s): %r" % (keep, replies))


def protocol(agent, _):
    port = agent.port
    # The session check closes a session that sends nothing: its cookie
    # becomes unknown (asked with a number read already, which leaves a live
    # session as it was).
    idle = Session(port)
    stale = request(port, header(2, 0, idle.cookie))
    check(wait_until(lambda: unpack(raw(port, stale)[2])[0] == 4 and "ZoH INVALID COCKIE\n" in agent.stderr(), 30, 0.2),
          "idle session ends")
    check(unpack(idle.send(2)[2])[0] == 4, "the idle session's cookie is unknown")
    ses = Session(port)
    got = ses.query(b"(+ 1 2)\n")
    check(b"<Permission>Allow</Permission>" in got and re.search(rb"<Result> \d+ 3</Result>", got), "form: %r" % got)
    # A number answered already, sent again, is refused and leaves the session as it was.
    r = raw(port, request(port, header(2, 1, ses.cookie)))
    check(unpack(r[2])[:2] == (4, 1) and "Connection: close" in r[1], "an answered seq again: %r" % (r,))
    check(re.search(rb"<Result> \d+ 5</Result>", ses.query(b"(+ 2 3)\n")), "the session goes on after an old seq")
    keep = Session(port, keep=True)
    got = keep.query(b"(* 6 7)\n")
    check(unpack(keep.open_reply[2])[0] == 5 and b"42</Result>" in got and keep.conn, "kept session: %r" % got)
    r = raw(port, request(port, header(2, keep.seq, keep.cookie), target=b"/cgi-bin/zusv.cgi"))
    check(unpack(r[2])[:2] == (2, keep.seq), "origin-form target: %r" % (r,))
    keep.seq += 1
    check(unpack(keep.close()[2])[0] == 3, "type 3 gets type 3")
    r = raw(port, request(port, header(2, ses.seq, ses.cookie) + b"(+ 2 2)\n", length="none"), True)
    ses.seq += 1
    check(unpack(r[2])[1] == ses.seq - 1 and (b"4</Result>" in r[2] or b"4</Result>" in ses.query(b"")),
          "body to the end: %r" % (r,))
    bad = bytearray(header(2, ses.seq, ses.cookie))
    bad[5] ^= 1
    check(unpack(raw(port, request(port, bytes(bad)))[2])[0] == 4 and "CHECKSUM ERROR\n" in agent.stderr(), "bad sum")
    unknown = agent.stderr().count("ZoH INVALID COCKIE\n")
    r = raw(port, request(port, header(2, 1, (ses.cookie[0] ^ 1, ses.cookie[1]))))
    check(unpack(r[2])[0] == 4 and agent.stderr().count("ZoH INVALID COCKIE\n") > unknown, "unknown cookie: %r" % (r,))
    with socket.create_connection((HOST, port), timeout=20) as waiting:  # queued: its seq is not due
        waiting.sendall(request(port, header(2, ses.seq + 5, ses.cookie)))
        check(unpack(raw(port, request(port, header(2, ses.seq + 5, ses.cookie)))[2])[0] == 4, "seq queued twice")
    close_behind_data(port)
    version2(port)
    check(not re.search("EMPTY REPLY|ZoH FREE CONNECTION", agent.stderr()), "traces without QNMX_TRACE")
    # A kept-alive open whose body hides a request behind its header: the
    # connection is not kept, and the hidden request is not served.
    with socket.create_connection((HOST, port), timeout=20) as s:
        s.sendall(request(port, header(1, 0) + b"GET /x HTTP/1.0\r\n\r\n", keep=True))
        everything = b"".join(iter(lambda: s.recv(65536), b""))
    check(everything.count(b"HTTP/") == 1 and b"Connection: close" in everything and
          unpack(everything.partition(b"\r\n\r\n")[2])[0] == 2, "a request hidden in an open: %r" % everything)
    r = raw(port, request(port, header(6, 0)))
    check(unpack(r[2])[:2] == (6, 2) and "Connection: close" in r[1], "type 6 gets type 6, seq 2: %r" % (r,))
    # seq 2 sent before seq 1 is answered after it.
    late = socket.create_connection((HOST, port), timeout=20)
    late.sendall(request(port, header(2, ses.seq + 1, ses.cookie)))
    early = raw(port, request(port, header(2, ses.seq, ses.cookie) + b"(+ 1 2)\n"))
    check([unpack(early[2])[1], unpack(read_reply(late)[2])[1]] == [ses.seq, ses.seq + 1], "answered in order")
    late.close()
    ses.seq += 2
    # A peer that resets at once: its reply meets a dead connection.
    with socket.create_connection((HOST, port), timeout=20) as s:
        s.sendall(request(port, header(2, ses.seq, ses.cookie)))
        s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    ses.seq += 1
    check(unpack(ses.send(2)[2])[1] == ses.seq - 1, "the session goes on after a reset peer")


def read_until(s, marker, got=b""):
    s.settimeout(20)
    try:
        while marker not in got:
            c = s.recv(65536)
            if not c:
                break
            got += c
    except socket.timeout:
        pass
    return got


def version2(port):
    """Downloads and uploads: the replies' framing, forms answered on the
    download, one upload at a time, refusals, and the end of a session."""
    d, cookie, lines, got = download(port)
    check(cookie and lines[0] == "HTTP/1.0 200 OK" and "Connection: close" in lines and
          not any(l.lower().startswith("content-length") for l in lines), "download reply: %r" % lines)
    got = read_until(d, b"</Permission>\n", got)
    u = upload(port, cookie, b"(+ 1 2)\n")
    r = read_reply(u)
    check(unpack(r[2])[0] == 7 and "Connection: close" in r[1], "a whole upload is answered type 7: %r" % (r,))
    check(re.search(rb"<Result> \d+ 3</Result>", read_until(d, b"</Result>", got)), "the form answered on the download")
    # An upload announced longer than it is yet runs on; another meanwhile,
    # one with an unknown cookie and one without a length are refused.
    running = upload(port, cookie, b"(* 6 7)\n", length=12 + 100)
    check(b"42</Result>" in read_until(d, b"42</Result>"), "an upload's bytes go in as they come")
    for name, other in (("a second upload", upload(port, cookie, b"1\n")),
                        ("an unknown cookie", upload(port, (cookie[0] ^ 1, cookie[1]), b"1\n")),
                        ("no length", upload(port, cookie, b"1\n", length="none"))):
        r = read_reply(other)
        check(unpack(r[2])[0] == 4 and ended(other), "%s: refused and closed: %r" % (name, r))
        other.close()
    running.sendall(b" " * (100 - 8))
    check(unpack(read_reply(running)[2])[0] == 7, "the running upload completes")
    # An empty upload ends the session: the download ends.
    upload(port, cookie, b"").close()
    check(ended(d), "an empty upload ends the session")
    for s in (d, u, running):
        s.close()


def traces(agent, _):
    """Empty replies and the requests refused when a session ends are
    traced when asked for (this agent runs with QNMX_TRACE)."""
    ses = Session(agent.port)
    got = ses.query(b"(progn (Sleep 2) 5)\n")
    check(b"5</Result>" in got and "EMPTY REPLY " in agent.stderr(), "a slow form answered empty first: %r" % got)
    ses.close()
    idle = Session(agent.port)
    with socket.create_connection((HOST, agent.port), timeout=20) as waiting:  # never due
        waiting.sendall(request(agent.port, header(2, idle.seq + 5, idle.cookie)))
        check(unpack(read_reply(waiting)[2])[0] == 4 and wait_until(lambda: "ZoH FREE CONNECTION\n" in agent.stderr()),
              "a request still queued when its session ends: refused and traced")


def ended(s, limit=10.0):
    """True when the agent closes s without writing anything."""
    s.settimeout(limit)
    try:
        return s.recv(4096) == b""
    except ConnectionError:
        return True
    except socket.timeout:
        return False


def refused_silently(port, data):
    with socket.create_connection((HOST, port), timeout=20) as s:
        try:
            s.sendall(data)
        except OSError:
            pass
        return ended(s)


def bad_headers(port):
    post = b"POST /cgi-bin/zusv.cgi HTTP/1.0\r\n"
    for name, data in (("100 KB line", post + b"X: " + b"a" * 100000 + b"\r\n\r\n"),
                       ("1 MB path", b"POST /" + b"p" * (1 << 20) + b" HTTP/1.0\r\n\r\n"),
                       ("10,000 lines", post + b"X: 1\r\n" * 10000 + b"\r\n")):
        check(refused_silently(port, data), "%s: closed without a reply" % name)
    for length in (b"99999999999", b"-5", b"12abc"):
        check(refused_silently(port, post + b"Content-Length: " + length + b"\r\n\r\n" + header(1, 0)),
              "Content-Length %s: closed without a reply" % length.decode())


def slow_senders(port):
    """50 peers send a byte a second; the header guard cuts them off while a
    kept-alive session is answered."""
    text, peers = request(port, header(1, 0)), [socket.create_connection((HOST, port), timeout=30) for _ in range(50)]
    kept, start, answered = Session(port, keep=True), time.time(), 0
    for i in range(6):
        for s in peers:
            try:
                s.sendall(text[i:i + 1])
            except OSError:
                pass  # already cut off
        answered += b"</Result>" in kept.query(b"(+ %d 1)\n" % i)
        time.sleep(max(0.0, start + i + 1 - time.time()))
    check(answered == 6, "slow senders: the kept session answered %d of 6" % answered)
    check(sum(ended(s) for s in peers) == 50, "slow senders: all cut off by the guard")
    for s in peers:
        s.close()
    kept.close()


def concurrent_opens(port):
    # From 64 peer addresses: an address holds 16 sessions by default, the
    # two tasks of each one's interpreter counting against its 32.
    socks = [socket.create_connection((HOST, port), timeout=60, source_address=("127.0.1.%d" % (i % 64 + 1), 0))
             for i in range(1000)]
    for s in socks:
        s.sendall(request(port, header(1, 0)))
    cookies = {unpack(read_reply(s, 60)[2])[2] for s in socks}
    for s in socks:
        s.close()
    check(len(cookies) == 1000, "1000 concurrent opens: %d sessions" % len(cookies))


def many_cookies(port):
    cookies, lock = [], threading.Lock()

    # Each opener from an address of its own: a closed session's tasks
    # count against its address until its interpreter has ended, which a
    # loaded machine may take a while to get to.
    def opener(source):
        for _ in range(1250):
            c = unpack(raw(port, request(port, header(1, 0)), source=source)[2])[2]
            raw(port, request(port, header(3, 1, c)), source=source)
            with lock:
                cookies.append(c)

    threads = [threading.Thread(target=opener, args=("127.0.2.%d" % (i + 1),)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    words = sorted(c[1] for c in cookies)
    check(len(set(cookies)) == 10000 and all(c[0] and c[1] for c in cookies), "10,000 distinct non-zero cookies")
    check(sum(b - a == 1 for a, b in zip(words, words[1:])) < 5, "cookies are not consecutive")


def answers(port):
    """Whether a new session gets its form answered (not while the agent
    refuses sessions at its bound, or before the reply has come)."""
    try:
        ses = Session(port)
        ok = b"42</Result>" in ses.query(b"(+ 40 2)\n")
        ses.close()
        return ok
    except OSError:
        return False


def hostile(agent, _):
    fds = agent.fds()
    concurrent_opens(agent.port)  # fills the collector's page pool and the task pool
    wait_until(lambda: agent.fds() <= fds)
    rss = agent.rss()
    for name, case in (("bad headers", bad_headers), ("slow senders", slow_senders),
                       ("1000 concurrent opens", concurrent_opens), ("10,000 cookies", many_cookies)):
        fds, t = agent.fds(), time.time()
        case(agent.port)
        # However long the agent takes to end what the case left (under a
        # sanitizer and load, a thousand sessions take a while), it answers
        # again.
        check(wait_until(lambda: answers(agent.port), 120, 1), "%s: the agent answers" % name)
        check(wait_until(lambda: agent.fds() <= fds), "%s: descriptors %d, before %d" % (name, agent.fds(), fds))
        print("%-22s %.1f s" % (name, time.time() - t), flush=True)
    # The sanitizer gives the memory of a thousand threads back slowly (and
    # keeps more of it: its bound comes from the build).
    grown, bound = lambda: (agent.rss() - rss) >> 20, int(os.environ.get("ZOH_RSS_BOUND_MIB", "50"))
    check(wait_until(lambda: grown() < bound, 60, 0.5), "resident size grew by %d MiB" % grown())
    print("resident size: +%d MiB" % grown())


def stalled_kept_alive(agent, _):
    """Twelve kept-alive peers stall inside their next request, held by a
    header guard of two minutes; another kept-alive client's exchanges on
    its kept connection are answered all the same."""
    port = agent.port
    stalled = [Session(port, keep=True) for _ in range(12)]
    for ses in stalled:
        ses.conn.sendall(b"P")
    kept = Session(port, keep=True)
    answered = [kept.send(2, b"(+ %d 1)\n" % i)[0] is not None for i in range(3)]
    check(all(answered) and kept.conn, "a kept-alive client beside stalled ones: %r" % answered)
    for ses in stalled + [kept]:
        if ses.conn:
            ses.conn.close()


def kept_idle(agent, _):
    """A kept-alive connection with nothing more to read is closed after
    the stock's idle time (1 s here), the session kept."""
    ses = Session(agent.port, keep=True)
    check(b"2</Result>" in ses.query(b"(+ 1 1)\n") and ses.conn, "a kept-alive exchange")
    check(ended(ses.conn, 10), "an idle kept-alive connection is closed")
    ses.conn.close()
    ses.conn, ses.keep = None, False
    check(b"3</Result>" in ses.query(b"(+ 1 2)\n"), "the session goes on over a new connection")


def session_bounds(agent, _):
    """Opens past the bounds (3 sessions per peer address, 5 in all here)
    get the Busy reply at once and no session, unless an idle session of an
    address holding more gives way (a session never used first); sessions
    never used end after a short idle time (1 s here) while one in use
    lives on."""
    port, busy = agent.port, (3, 0, (0, 0), True, b"<Permission>Busy</Permission>\n")

    def open_from(addr):
        with socket.create_connection((HOST, port), timeout=20, source_address=(addr, 0)) as s:
            s.sendall(request(port, header(1, 0)))
            return unpack(read_reply(s)[2])

    used = Session(port)
    check(b"3</Result>" in used.query(b"(+ 1 2)\n"), "a session in use answers")
    # The peer's own bound at its fourth; from the sixth session on, one of
    # the address holding most gives way to an address holding fewer, and
    # an address holding as many as any other is refused.
    opened = [open_from(addr) for addr in ("127.0.0.1",) * 3 + ("127.0.0.3",) * 3 + ("127.0.0.4", "127.0.0.1")]
    check([o[0] for o in opened] == [2, 2, 3, 2, 2, 2, 2, 3] and all(o == busy for o in opened if o[0] == 3),
          "3 sessions per peer, 5 in all: %r" % opened)
    last = []
    check(wait_until(lambda: last.append(open_from("127.0.0.1")) or last[-1][0] == 2, 20, 0.2),
          "unused sessions end: the last open answered %r" % (last[-1:],))
    check(b"5</Result>" in used.query(b"(+ 2 3)\n"), "the session in use lives on")


def slow_first_lines(agent, _):
    """Peers that send a first byte, or nothing, and then wait: one address
    fills the 8 waiting slots here and its next four are refused at once; a
    line link and a GET of two other addresses are served all the same;
    every waiting peer is cut off after 3 s without a byte, and one that
    sends its header a byte a second after 6 s in all."""
    port = agent.port
    slow = [socket.create_connection((HOST, port), timeout=20, source_address=("127.0.0.5", 0)) for _ in range(12)]
    for i, s in enumerate(slow):
        s.sendall(b"G" if i % 2 else b"")
    got, end = {s: b"" for s in slow}, time.time() + 2.5
    while time.time() < end:
        for s in select.select([s for s in slow if not got[s].endswith(b"\n")], [], [], 0.1)[0]:
            got[s] += s.recv(100) or b"\n"
    refused = [s for s in slow if b"Busy" in got[s]]
    check(len(refused) == 4, "one address's four slow peers past the slots refused: %d" % len(refused))
    with socket.create_connection((HOST, port), timeout=20, source_address=("127.0.0.6", 0)) as line:
        line.sendall(b"\n(+ 1 2)\n")
        check(b"3</Result>" in read_until(line, b"</Result>"), "a line link of another address is served")
    with socket.create_connection((HOST, port), timeout=20, source_address=("127.0.0.7", 0)) as get:
        get.sendall(b"GET /none HTTP/1.0\r\n\r\n")
        check("404" in (read_reply(get)[0] or ""), "a GET of another address is answered")
    check(all(ended(s, 3) for s in slow if s not in refused), "waiting peers are cut off after 3 s without a byte")
    trickle = socket.create_connection((HOST, port), timeout=20, source_address=("127.0.0.8", 0))
    t0, cut = time.time(), None
    for c in b"GET /" + b"a" * 15:
        try:
            trickle.sendall(bytes([c]))
        except OSError:
            pass
        if select.select([trickle], [], [], 1)[0]:
            cut = time.time() - t0
            break
    check(cut is not None and cut < 9, "a header sent a byte a second is cut off after its total: %r" % cut)
    for s in slow + [trickle]:
        s.close()


def threads(agent):
    with open("/proc/%d/status" % agent.proc.pid) as f:
        return next(int(l.split()[1]) for l in f if l.startswith("Threads:"))


def idle_sessions(agent, _):
    """Five addresses hold all 40 sessions (8 each here), each used once: an
    idle session costs the agent fewer than three threads, and a sixth
    address still gets a session, whose form is answered."""
    port, before = agent.port, threads(agent)
    held = [Session(port, source="127.0.0.%d" % (11 + i // 8)) for i in range(40)]
    answered = sum(b"2</Result>" in s.query(b"(+ 1 1)\n") for s in held)
    check(answered == 40, "40 sessions answered: %d" % answered)
    # The task pool keeps up to 32 idle threads, which sessions take first.
    check(wait_until(lambda: threads(agent) - before < 3 * 40, 10), "40 idle sessions hold %d threads more than none" %
          (threads(agent) - before))
    newcomer = Session(port, source="127.0.0.16")
    check(b"42</Result>" in newcomer.query(b"(* 6 7)\n"), "a newcomer of another address: %r" % (newcomer.open_reply,))


def closed_downloads(agent, _):
    """Version-2 sessions whose clients close their downloads without ever
    uploading end (their unused time is long here): the agent's descriptors
    come back to where they were, its threads too but for the 32 idle ones
    the task pool keeps (each session runs about five)."""
    port, before = agent.port, agent.fds()
    first = download(port)[0]  # starts the tasks every session uses
    first.close()
    check(wait_until(lambda: agent.fds() <= before, 60), "the first session ends: %d descriptors" % agent.fds())
    fds, tasks = agent.fds(), threads(agent)
    opened = [download(port) for _ in range(20)]
    check(all(o[1] for o in opened) and agent.fds() >= fds + 20, "20 sessions: %d descriptors" % agent.fds())
    for o in opened:
        o[0].close()
    check(wait_until(lambda: agent.fds() <= fds and threads(agent) <= tasks + 32, 60),
          "closed downloads end their sessions: %d descriptors, %d threads; %d and %d before" %
          (agent.fds(), threads(agent), fds, tasks))


def reopen(port, limit):
    """Opens downloads until one gets a session, for at most limit seconds:
    whether one did, and every download opened."""
    again = []

    def reopened():
        if not again or not again[-1][1]:
            again.append(download(port))
        return again[-1][1]
    return wait_until(reopened, limit, 0.2), again


def unused_downloads(agent, _):
    """Version-2 sessions that never upload end after the unused idle time
    (3 s here), and their address may open sessions again (3 per address
    here); a session whose upload runs lives on."""
    port = agent.port
    used, cookie, _, got = download(port)
    running = upload(port, cookie, b"(+ 1 2)\n", length=12 + 100)
    check(b"3</Result>" in read_until(used, b"3</Result>", got), "a session in use answers")
    unused = [download(port) for _ in range(2)]
    busy = download(port)
    check(all(u[1] for u in unused) and busy[1] is None, "3 sessions per address: %r" % [u[1] for u in unused + [busy]])
    for d, _, _, got in unused:
        read_until(d, b"</Permission>\n", got)
        check(ended(d, 30), "an unused session ends")
        d.close()
    # The client sees the end before the session has let go of its tasks.
    ok, again = reopen(port, 20)
    check(ok, "the address opens a session again")
    running.sendall(b"(* 6 7)\n" + b" " * (100 - 8 - 8))
    check(b"42</Result>" in read_until(used, b"42</Result>"), "the session whose upload runs lives on")
    for s in [used, running, busy[0]] + [a[0] for a in again]:
        s.close()


def stalled_upload(agent, _):
    """A version-2 upload that stops short of its announced length ends at
    the body guard (2 s here), and its session with it; the address (one
    session here) opens a session again."""
    port = agent.port
    d, cookie, _, got = download(port)
    u = upload(port, cookie, b"(+ 1 2)\n", length=12 + 100)
    check(b"3</Result>" in read_until(d, b"3</Result>", got), "the upload's bytes are evaluated")
    check(ended(d, 60), "the session of a stalled upload ends")
    ok, again = reopen(port, 60)
    check(ok, "the address opens a session again")
    for s in [d, u] + [a[0] for a in again]:
        s.close()


def run(args, env, case, tmp):
    """case(agent, tmp) against a test agent started with args (name=seconds)."""
    agent = Agent(EXE, *args, env=env, nofile=8192)
    if check(agent.port > 0, "the agent listens"):
        try:
            case(agent, tmp)
        except OSError as e:
            check(False, "%s: %r" % (case.__name__, e))
        status, err = agent.stop()
        check(status == 0, "the agent ends cleanly: %r %s" % (status, err[-2000:]))


def main():
    opts = os.environ.get("ASAN_OPTIONS", "")
    env = dict(os.environ, ASAN_OPTIONS=(opts + ":" if opts else "") +
               "quarantine_size_mb=4:detect_leaks=0:allocator_release_to_os_interval_ms=200")
    for t in ("curl", "wget", "socat"):
        check(shutil.which(t), "%s is installed by scripts/setup.sh" % t)
    short = ("header=4", "idle=2", "poll=1", "empty=1")
    bounds = dict(env, QNMX_ZOH_PEER_SESSIONS="3", QNMX_ZOH_SESSIONS="5", QNMX_ZOH_UNUSED_IDLE="1")
    groups = {"clients": [(short, env, clients)], "protocol": [(short, env, protocol), (short, dict(env, QNMX_TRACE="1"), traces)],
              # Sessions in use live long here (the kept one of the slow
              # senders asks once a second); the thousand opened and left
              # end after 2 s unused.
              "hostile": [(("header=4", "idle=10", "poll=1", "empty=1"), dict(env, QNMX_ZOH_UNUSED_IDLE="2"), hostile)],
              "peers": [(("header=120",), env, stalled_kept_alive), (("poll=1", "empty=1"), bounds, session_bounds),
                        (("stock=1", "poll=1", "empty=1"), env, kept_idle),
                        (("empty=1",), dict(env, QNMX_ZOH_PEER_SESSIONS="8", QNMX_ZOH_SESSIONS="40"), idle_sessions),
                        # One address holds the 20 sessions: tasks for them all.
                        ((), dict(env, QNMX_ZOH_UNUSED_IDLE="600", QNMX_PEER_THREADS="64"), closed_downloads),
                        ((), dict(env, QNMX_ZOH_PEER_SESSIONS="3", QNMX_ZOH_UNUSED_IDLE="3"), unused_downloads),
                        (("body=2", "poll=1"), dict(env, QNMX_ZOH_PEER_SESSIONS="1"), stalled_upload),
                        ((), dict(env, QNMX_FIRST_LINE_SLOTS="8", QNMX_FIRST_LINE_IDLE="3", QNMX_FIRST_LINE_TOTAL="6"),
                         slow_first_lines)]}
    with tempfile.TemporaryDirectory() as tmp:
        for args, case_env, case in groups[GROUP]:
            run(args, case_env, case, tmp)
    print("%d failure(s)" % len(failures) if failures else "ok")
    sys.exit(1 if failures else 0)


main()
