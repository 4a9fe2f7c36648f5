#!/usr/bin/env python3
"""ZUoHTTP and the HTTP agent's error page, spoken to from outside:
zuohttp_test.py ZOH_AGENT GROUP.

clients: curl, wget and socat against the agent. protocol: the message types,
ordering, refusals and the session check through the Python client of
zoh_client.py."""
import os
import re
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from zoh_client import HOST, Agent, Session, header, read_reply, request, unpack  # noqa: E402

EXE, GROUP = sys.argv[1], sys.argv[2]
failures = []


def check(cond, what):
    if not cond:
        failures.append(what)
        print("FAIL:", what, flush=True)
    return cond


def tool(name):
    return check(shutil.which(name) is not None, "%s is installed by scripts/setup.sh" % name)


def raw(port, data, half_close=False):
    with socket.create_connection((HOST, port), timeout=20) as s:
        s.sendall(data)
        if half_close:
            s.shutdown(socket.SHUT_WR)
        return read_reply(s)


def url(port, path):
    return "http://%s:%d%s" % (HOST, port, path)


def curl(*args):
    return subprocess.run(["curl", "--noproxy", "*", "-sS"] + list(args), capture_output=True, timeout=60)


def clients(agent, tmp):
    port = agent.port
    if tool("curl"):
        opening = os.path.join(tmp, "open.bin")
        with open(opening, "wb") as f:
            f.write(header(1, 0))
        r = curl("-D", "-", "--data-binary", "@" + opening, "-H", "Content-Type: application/zuohttp",
                 url(port, "/cgi-bin/zusv.cgi"))
        head, _, body = r.stdout.partition(b"\r\n\r\n")
        kind, seq, cookie, good, payload = unpack(body)
        check(head.startswith(b"HTTP/1.0 200 OK\r\n") and b"\r\nConnection: close\r\n" in head, "curl open: %r" % head)
        check((kind, seq, good, payload) == (2, 0, True, b"") and cookie[0] and cookie[1],
              "curl open: type 2, seq 0, a cookie and a valid sum: %r" % body)
        # Keep-alive: type 5, and the next request reuses the connection.
        r = curl("-v", "--http1.0", "--data-binary", "@" + opening, "-H", "Content-Type: application/zuohttp",
                 "-H", "Connection: keep-alive", url(port, "/cgi-bin/zusv.cgi"), "--next", "--http1.0",
                 "--data-binary", "@" + opening, "-H", "Content-Type: application/zuohttp", "-H",
                 "Connection: keep-alive", url(port, "/cgi-bin/zusv.cgi"))
        kinds = [unpack(r.stdout[i:i + 12])[0] for i in (0, 12)] if len(r.stdout) == 24 else []
        check(kinds == [5, 5], "keep-alive opens: type 5 twice: %r" % r.stdout)
        check(b"Re-using existing connection" in r.stderr or b"Reusing existing connection" in r.stderr,
              "curl --next reuses the kept connection")
        # The 404 page, its status line and the escaped path.
        r = curl("-i", url(port, "/x"))
        check(r.stdout.startswith(b"HTTP/1.1 404 Not Found\r\n") and b"Connection: close\r\n" in r.stdout and
              b"Content-Type: text/html\r\n" in r.stdout and b"HTTP Status: 404 Not Found\n\r" in r.stdout and
              b"Message: /x<BR>" in r.stdout, "curl -i /x: %r" % r.stdout)
        r = curl("-i", url(port, "/%3Cscript%3E"))
        check(b"Message: /%3Cscript%3E<BR>" in r.stdout, "percent-coded path kept as sent: %r" % r.stdout)
    if tool("wget"):
        r = subprocess.run(["wget", "--no-proxy", "-S", "-O", "-", "-t", "1", url(port, "/x")], capture_output=True,
                           timeout=60)
        check(r.returncode == 8 and b"HTTP/1.1 404 Not Found" in r.stderr, "wget -S /x: %r" % r.stderr)
    status, lines, page = raw(port, b"GET /<script>&\"x HTTP/1.0\r\n\r\n")
    check(status == "HTTP/1.1 404 Not Found" and b"Message: /&lt;script&gt;&amp;&quot;x<BR>" in page,
          "the path is HTML-escaped: %r" % page)
    if tool("socat"):
        # Content-Length 11 cannot hold a header: closed without a reply.
        r = subprocess.run(["socat", "-t", "5", "-", "TCP:%s:%d" % (HOST, port)], timeout=60, capture_output=True,
                           input=request(port, header(1, 0)[:11]))
        check(r.stdout == b"", "Content-Length 11: no reply, got %r" % r.stdout)


def in_order(port):
    """seq 2 sent before seq 1 is answered after it."""
    ses = Session(port)
    ses.query(b"1\n")  # the greeting and a first reply
    late = socket.create_connection((HOST, port), timeout=20)
    late.sendall(request(port, header(2, ses.seq + 1, ses.cookie)))
    early = socket.create_connection((HOST, port), timeout=20)
    early.sendall(request(port, header(2, ses.seq, ses.cookie) + b"(+ 1 2)\n"))
    first, second = read_reply(early), read_reply(late)
    check(unpack(first[2])[1] == ses.seq and unpack(second[2])[1] == ses.seq + 1,
          "replies carry their own seq: %r %r" % (first[2][:12], second[2][:12]))
    late.close()
    early.close()
    ses.seq += 2
    return ses


def protocol(agent, _):
    port = agent.port
    # The session check closes a session that sends nothing (idle 2 s): its
    # pipe's descriptors go, and its cookie is then unknown.
    base = agent.fds()
    idle = Session(port)
    check(wait_until(lambda: agent.fds() > base) and wait_until(lambda: agent.fds() <= base),
          "the idle session's descriptors are released")
    check(unpack(idle.send(2)[2])[0] == 4, "the idle session is closed")
    # A form, answered after the greeting; empty replies are polled over.
    ses = Session(port)
    got = ses.query(b"(+ 1 2)\n")
    check(b"<Permission>Allow</Permission>" in got and re.search(rb"<Result> \d+ 3</Result>", got),
          "greeting and result: %r" % got)
    # The same over one kept-alive connection, in origin form as well.
    keep = Session(port, keep=True)
    check(unpack(keep.open_reply[2])[0] == 5 and "Connection: keep-alive" in keep.open_reply[1], "kept open")
    got = keep.query(b"(* 6 7)\n")
    check(re.search(rb"<Result> \d+ 42</Result>", got) and keep.conn is not None, "kept session: %r" % got)
    status, _, body = raw(port, request(port, header(2, keep.seq, keep.cookie), target=b"/cgi-bin/zusv.cgi"))
    check(unpack(body)[:2] == (2, keep.seq), "origin-form target: %r" % body)
    keep.seq += 1
    check(unpack(keep.close()[2])[0] == 3, "type 3 gets type 3")
    # Without a Content-Length the body runs to the end of the connection.
    status, _, body = raw(port, request(port, header(2, ses.seq, ses.cookie) + b"(+ 2 2)\n", length="none"), True)
    ses.seq += 1
    check(unpack(body)[:2] == (2, ses.seq - 1) and (b"4</Result>" in body or b"4</Result>" in ses.query(b"")),
          "a body read to the end: %r" % body)
    # Refusals: a bad sum, an unknown cookie, a seq already queued.
    bad = bytearray(header(2, ses.seq, ses.cookie))
    bad[5] ^= 1
    r = raw(port, request(port, bytes(bad)))
    check(unpack(r[2])[0] == 4 and "CHECKSUM ERROR\n" in agent.stderr(), "bad sum: %r" % (r,))
    r = raw(port, request(port, header(2, 1, (ses.cookie[0] ^ 1, ses.cookie[1]))))
    check(unpack(r[2])[0] == 4 and "ZoH INVALID COCKIE\n" in agent.stderr(), "unknown cookie: %r" % (r,))
    waiting = socket.create_connection((HOST, port), timeout=20)
    waiting.sendall(request(port, header(2, ses.seq + 5, ses.cookie)))  # queued: seq not yet due
    r = raw(port, request(port, header(2, ses.seq + 5, ses.cookie)))
    check(unpack(r[2])[0] == 4, "a seq already queued is refused: %r" % (r,))
    waiting.close()
    # The version probe.
    r = raw(port, request(port, header(6, 0)))
    check(unpack(r[2])[:2] == (6, 2) and "Connection: close" in r[1], "type 6 gets type 6, seq 2: %r" % (r,))
    ses = in_order(port)
    # A peer that resets at once: its empty reply meets a dead connection.
    with socket.create_connection((HOST, port), timeout=20) as s:
        s.sendall(request(port, header(2, ses.seq, ses.cookie)))
        s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    ses.seq += 1
    check(unpack(ses.send(2)[2])[1] == ses.seq - 1, "the session goes on after a reset peer")


def wait_until(cond, limit=30.0):
    end = time.time() + limit
    while time.time() < end:
        if cond():
            return True
        time.sleep(0.05)
    return cond()


def main():
    agent = Agent(EXE, "empty=1", "idle=2", "poll=1")
    if not check(agent.port > 0, "the agent listens"):
        sys.exit(1)
    with tempfile.TemporaryDirectory() as tmp:
        {"clients": clients, "protocol": protocol}[GROUP](agent, tmp)
    status, err = agent.stop()
    check(status == 0, "the agent ends cleanly: %r %s" % (status, err[-2000:]))
    if failures:
        print("%d failure(s)" % len(failures))
        sys.exit(1)
    print("ok")


main()
