#!/usr/bin/env python3
"""Hostile peers against the ZUoHTTP server: zuohttp_hostile_test.py ZOH_AGENT [case...]

Each case attacks the test agent on 127.0.0.2. Afterwards the agent must
still run and answer a form over a new session, its descriptors must come
back to where they were, and its resident size must stay within 50 MiB of
its size before the case. The guard and session times are shortened (header
guard 4 s, idle sessions 3 s) so the cases stay short."""
import os
import socket
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from zoh_client import HOST, Agent, Session, header, read_reply, request, unpack  # noqa: E402

EXE, ONLY = sys.argv[1], set(sys.argv[2:])
MIB = 1 << 20
failures = []


def check(cond, what):
    if not cond:
        failures.append(what)
        print("FAIL:", what, flush=True)
    return cond


def refused_silently(port, data):
    """Sends data (as much as the agent takes): True when it closes the
    connection without writing anything."""
    with socket.create_connection((HOST, port), timeout=20) as s:
        try:
            s.sendall(data)
        except OSError:
            pass
        try:
            return s.recv(4096) == b""
        except ConnectionError:
            return True


def bad_headers(port):
    post = b"POST /cgi-bin/zusv.cgi HTTP/1.0\r\n"
    cases = {
        "100 KB line": post + b"X-Long: " + b"a" * 100000 + b"\r\n\r\n",
        "1 MB path": b"POST /" + b"p" * MIB + b" HTTP/1.0\r\n\r\n",
        "10,000 lines": post + b"X: 1\r\n" * 10000 + b"\r\n",
        "Content-Length 99999999999": post + b"Content-Length: 99999999999\r\n\r\n" + header(1, 0),
        "Content-Length -5": post + b"Content-Length: -5\r\n\r\n" + header(1, 0),
        "Content-Length 12abc": post + b"Content-Length: 12abc\r\n\r\n" + header(1, 0),
    }
    for name, data in cases.items():
        check(refused_silently(port, data), "%s: closed without a reply" % name)


def slow_senders(port):
    """50 peers send a request a byte a second; the header guard (4 s) cuts
    them off while a kept-alive session goes on being answered."""
    text = request(port, header(1, 0))
    peers = [socket.create_connection((HOST, port), timeout=30) for _ in range(50)]
    kept = Session(port, keep=True)
    answered, start = 0, time.time()
    for i in range(6):
        for s in peers:
            try:
                s.sendall(text[i:i + 1])
            except OSError:
                pass
        if b"</Result>" in kept.query(b"(+ %d 1)\n" % i):
            answered += 1
        time.sleep(max(0.0, start + i + 1 - time.time()))
    check(answered == 6, "slow senders: the kept session answered %d of 6" % answered)
    cut = 0
    for s in peers:
        s.settimeout(10)
        try:
            cut += s.recv(4096) == b""
        except (socket.timeout, ConnectionError):
            pass
        s.close()
    check(cut == 50, "slow senders: %d of 50 cut off by the guard" % cut)
    kept.close()


def concurrent_opens(port):
    socks = [socket.create_connection((HOST, port), timeout=60) for _ in range(1000)]
    for s in socks:
        s.sendall(request(port, header(1, 0)))
    cookies = set()
    for s in socks:
        body = read_reply(s, 60)[2]
        if len(body) >= 12 and unpack(body)[0] == 2:
            cookies.add(unpack(body)[2])
        s.close()
    check(len(cookies) == 1000, "1000 concurrent opens: %d sessions" % len(cookies))


def many_cookies(port):
    cookies = []
    lock = threading.Lock()

    def opener(n):
        got = []
        for _ in range(n):
            with socket.create_connection((HOST, port), timeout=30) as s:
                s.sendall(request(port, header(1, 0)))
                body = read_reply(s)[2]
                if len(body) >= 12:
                    got.append(unpack(body)[2])
                    s2 = socket.create_connection((HOST, port), timeout=30)
                    s2.sendall(request(port, header(3, 1, got[-1])))
                    read_reply(s2)
                    s2.close()
        with lock:
            cookies.extend(got)

    threads = [threading.Thread(target=opener, args=(1250,)) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    words = sorted(c[1] for c in cookies)
    steps = sum(b - a == 1 for a, b in zip(words, words[1:]))
    check(len(cookies) == 10000 and len(set(cookies)) == 10000 and all(c[0] and c[1] for c in cookies),
          "10,000 opens: %d cookies, %d distinct" % (len(cookies), len(set(cookies))))
    check(steps < 5, "cookies are not consecutive (%d neighbours one apart)" % steps)


CASES = [("bad headers", bad_headers), ("slow senders", slow_senders), ("1000 concurrent opens", concurrent_opens),
         ("10,000 cookies", many_cookies)]


def answers(port):
    try:
        ses = Session(port)
        ok = b"42</Result>" in ses.query(b"(+ 40 2)\n")
        ses.close()
        return ok
    except OSError:
        return False


def settle(agent, name, fds0, rss0):
    if not check(agent.proc.poll() is None, "%s: the agent is running" % name):
        return
    check(answers(agent.port), "%s: the agent answers a form" % name)
    end = time.time() + 30
    while time.time() < end and agent.fds() > fds0:
        time.sleep(0.1)
    rss = agent.status("VmRSS") * 1024
    check(agent.fds() == fds0, "%s: descriptors %d, before %d" % (name, agent.fds(), fds0))
    check(rss - rss0 < 50 * MIB, "%s: resident size grew by %d MiB" % (name, (rss - rss0) // MIB))
    print("%-22s fds %d, resident +%d MiB" % (name, agent.fds(), (rss - rss0) // MIB), flush=True)


def main():
    opts = os.environ.get("ASAN_OPTIONS", "")
    env = dict(os.environ, ASAN_OPTIONS=(opts + ":" if opts else "") +
               "quarantine_size_mb=4:detect_leaks=0:allocator_release_to_os_interval_ms=200")
    agent = Agent(EXE, "header=4", "idle=3", "poll=1", "empty=1", env=env, nofile=8192)
    if not check(agent.port > 0, "the agent listens"):
        sys.exit(1)
    # Warm the task pool and the allocator, then wait for the sessions to go.
    base = agent.fds()
    for _ in range(40):
        answers(agent.port)
    end = time.time() + 30
    while time.time() < end and agent.fds() > base:
        time.sleep(0.1)
    for name, case in CASES:
        if ONLY and name not in ONLY:
            continue
        fds0, rss0 = agent.fds(), agent.status("VmRSS") * 1024
        t0 = time.time()
        case(agent.port)
        settle(agent, name, fds0, rss0)
        print("%-22s %.1f s" % (name, time.time() - t0), flush=True)
    status, err = agent.stop()
    check(status == 0, "the agent ends cleanly: %r %s" % (status, err[-2000:]))
    if failures:
        print("%d failure(s)" % len(failures))
        sys.exit(1)
    print("ok")


main()
