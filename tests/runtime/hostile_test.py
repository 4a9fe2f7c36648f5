#!/usr/bin/env python3
"""Hostile peers against a listening agent: hostile_test.py LINK_AGENT QNMX [case...]

Each case attacks the agent (tests/runtime/agent/link_agent.cc) over line
links on 127.0.0.1. After each one the agent must answer a valid query on a
new link, and its descriptors and threads must come back to where they were
before. Memory bounds: the resident size may peak at most PEAK MiB above its
size before the case (PEAK_LINKS for 500 concurrent links, whose 1,000
threads need stacks), and after the last case it may be at most DRIFT MiB
above its start.
A link's line is capped at 4 MiB and its relay queue at 4,096 forms or 8 MiB
of source; without those caps the 100 MiB line and the floods alone peak
several hundred MiB higher. The floods are repeated through `qnmx +f3,f4`,
whose parent writes and then stops reading. The agent runs with a small
allocator quarantine that releases free memory, so that its resident size
shows what it keeps.
"""
import os
import random
import resource
import select
import socket
import struct
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from checks import check, failures, start  # noqa: E402

AGENT, QNMX, ONLY = sys.argv[1], sys.argv[2], set(sys.argv[3:])
MIB = 1 << 20
PEAK, PEAK_LINKS, DRIFT = 128 * MIB, 384 * MIB, 160 * MIB
# Under ThreadSanitizer the resident size is mostly its shadow memory: the
# bounds are printed but not checked (HOSTILE_RSS_BOUNDS=off).
RSS_BOUNDS = os.environ.get("HOSTILE_RSS_BOUNDS", "on") != "off"


def quiet_sanitizer():
    opts = os.environ.get("ASAN_OPTIONS", "")
    return dict(os.environ, ASAN_OPTIONS=(opts + ":" if opts else "") +
                "quarantine_size_mb=4:detect_leaks=0:allocator_release_to_os_interval_ms=200")


class Agent:
    def __init__(self):
        def limits():
            hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
            resource.setrlimit(resource.RLIMIT_NOFILE, (4096 if hard == resource.RLIM_INFINITY else min(4096, hard), hard))
        self.proc = start([AGENT], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     env=quiet_sanitizer(), preexec_fn=limits)
        line = self.proc.stdout.readline().split()
        self.port = int(line[1]) if len(line) == 2 else 0

    def status(self, key):
        with open("/proc/%d/status" % self.proc.pid) as f:
            return next((int(l.split()[1]) * (1024 if key.startswith("Vm") else 1)
                         for l in f if l.startswith(key + ":")), -1)

    def fds(self):
        return len(os.listdir("/proc/%d/fd" % self.proc.pid))

    def reset_peak(self):
        with open("/proc/%d/clear_refs" % self.proc.pid, "w") as f:
            f.write("5")


def link(port, admit=True):
    s = socket.create_connection(("127.0.0.1", port), timeout=30)
    if admit:
        s.sendall(b"\n")
        read_until(s, b"</Permission>\n")
    return s


def read_until(s, marker, limit=10.0, count=1):
    buf, end = b"", time.time() + limit
    while buf.count(marker) < count and time.time() < end:
        try:
            s.settimeout(max(0.01, end - time.time()))
            c = s.recv(65536)
        except (socket.timeout, ConnectionError):
            break
        if not c:
            break
        buf += c
    return buf


def closed(s, limit=20.0):
    """True when the agent ends the link within `limit` seconds."""
    end = time.time() + limit
    while time.time() < end:
        try:
            s.settimeout(max(0.01, end - time.time()))
            if not s.recv(1 << 20):
                return True
        except socket.timeout:
            return False
        except ConnectionError:
            return True
    return False


def answers(port):
    try:
        with link(port) as s:
            s.sendall(b"(+ 40 2)\n")
            return b"<Result> 2 42</Result>" in read_until(s, b"</Result>")
    except OSError:
        return False


def send_for(s, data, seconds, times=1):
    """Sends data `times` times over without reading, until everything went,
    the agent ended the link or time is up; the bytes sent."""
    s.setblocking(False)
    sent, total, end = 0, len(data) * times, time.time() + seconds
    view = memoryview(data)
    while sent < total and time.time() < end:
        at = sent % len(data)
        try:
            sent += s.send(view[at:at + 65536])
        except BlockingIOError:
            select.select([], [s], [], 0.05)
        except OSError:
            break
    return sent


# ---- cases: each gets the agent's port

def garbage(port):
    rnd = random.Random(15)
    for i in range(30):
        with link(port, admit=i % 2 == 0) as s:
            try:
                s.sendall(rnd.randbytes(rnd.randrange(1, 20000)) + b"))))<<</x>]]]&cx;&#x110000;\"\\" * 3)
            except OSError:
                pass


def long_line(port):  # 100 MiB without a line end: an error, then the link ends
    s = link(port)
    s.sendall(b"(quote ")
    send_for(s, b"a" * MIB, 30, times=100)
    s.setblocking(True)
    got = read_until(s, b"</Result>", limit=20)
    check(b"#error(" in got and b"line too long" in got, "long line: an error reply, got %r" % got[:200])
    check(closed(s), "long line: the link ends")
    s.close()


def endless_line(port):
    s = link(port)
    s.sendall(b'"')
    send_for(s, b"b" * MIB, 30, times=1024)
    check(closed(s), "endless line: the link ends")
    s.close()


def slow_peers(port):
    peers = [link(port) for _ in range(100)]
    for i, byte in enumerate(b"(+ 1\n 2)\n"):
        for s in peers:
            s.sendall(bytes([byte]))
        time.sleep(0.02)
        if i == 3:
            check(answers(port), "slow peers: others are served meanwhile")
    answered = sum(b"<Result> 2 3</Result>" in read_until(s, b"</Result>") for s in peers)
    check(answered == 100, "slow peers: %d of 100 answered" % answered)
    for s in peers:
        s.close()


def stops_reading(port):  # large replies nobody reads: the agent stops reading too
    with link(port) as s:
        sent = send_for(s, b'(quote "' + b"r" * 60000 + b'")\n', 5, times=1000)
        check(sent < 40 * MIB, "stops reading: the agent stopped taking input only after %d MiB" % (sent // MIB))
        check(answers(port), "stops reading: others are served meanwhile")


def flood_then_close(port):
    for _ in range(3):
        with link(port) as s:
            send_for(s, b"(+ 1 1)\n" * (512 * 1024), 10)


def flood_never_reading(port):
    with link(port) as s:
        send_for(s, b"(+ 1 1)\n" * 8192, 5, times=1 << 16)
        check(answers(port), "flood never reading: others are served meanwhile")


def resets_mid_query(port):
    for i in range(40):
        s = link(port)
        s.sendall(b"(while 1 1)\n" if i % 2 else b"(+ 1 2)\n(quote (a b c")
        time.sleep(0.01)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        s.close()


def concurrent_links(port):
    links = [socket.create_connection(("127.0.0.1", port), timeout=30) for _ in range(500)]
    for s in links:
        s.sendall(b"\n(+ 2 3)\n")
    answered = sum(b"<Result> 2 5</Result>" in read_until(s, b"</Result>", limit=60) for s in links)
    check(answered == 500, "500 links: %d answered" % answered)
    for s in links:
        s.close()


def churn(port):
    for i in range(1500):
        with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
            s.sendall([b"", b"\n", b"\n(+ 1 1)\n"][i % 3])


def half_close(port):  # every form sent before the end of input is answered
    with link(port) as s:
        s.sendall(b"".join(b"(+ %d 1)\n" % i for i in range(2000)))
        s.shutdown(socket.SHUT_WR)
        got = read_until(s, b"</Result>", limit=30, count=2000)
        check(got.count(b"</Result>") == 2000 and b"<Result> 2001 2000</Result>" in got,
              "half close: %d of 2000 answered" % got.count(b"</Result>"))


CASES = [("garbage", garbage), ("100 MiB line", long_line), ("endless line", endless_line),
         ("100 slow peers", slow_peers), ("peer stops reading", stops_reading),
         ("flood then close", flood_then_close), ("flood never reading", flood_never_reading),
         ("resets mid-query", resets_mid_query), ("500 concurrent links", concurrent_links),
         ("connect/close churn", churn), ("half close", half_close)]


def settle(agent, name, start, before, peak_bound):
    if not check(agent.proc.poll() is None, "%s: the agent is running" % name):
        return
    check(answers(agent.port), "%s: the agent answers a valid query" % name)
    fds0, threads0, rss0 = start
    end = time.time() + 30
    while time.time() < end and (agent.fds() > fds0 or agent.status("Threads") > threads0):
        time.sleep(0.1)
    fds, threads = agent.fds(), agent.status("Threads")
    peak, drift = agent.status("VmHWM") - before, agent.status("VmRSS") - rss0
    check(fds == fds0, "%s: descriptors %d, at the start %d" % (name, fds, fds0))
    check(threads <= threads0, "%s: threads %d, at the start %d" % (name, threads, threads0))
    check(not RSS_BOUNDS or peak <= peak_bound, "%s: resident memory peaked %d MiB above its size before" % (name, peak // MIB))
    print("%-22s fds %d threads %d peak +%d MiB, since the start +%d MiB" %
          (name, fds, threads, peak // MIB, drift // MIB), flush=True)


def run_agent_cases():
    agent = Agent()
    if not check(agent.port > 0, "the agent listens"):
        return
    fds = agent.fds()
    # The task pool keeps up to 32 idle threads: fill it, so that the thread
    # count comes back to the same number after every case. The threads
    # past those end after 2 s without work: the count is taken once it
    # has stayed the same for longer.
    warm = [link(agent.port) for _ in range(40)]
    for s in warm:
        s.sendall(b"(+ 1 1)\n")
        read_until(s, b"</Result>")
        s.close()
    end = time.time() + 30
    while time.time() < end and agent.fds() > fds:
        time.sleep(0.1)
    threads, since = agent.status("Threads"), time.time()
    while time.time() < end and time.time() - since < 3:
        time.sleep(0.1)
        if agent.status("Threads") != threads:
            threads, since = agent.status("Threads"), time.time()
    start = (agent.fds(), agent.status("Threads"), agent.status("VmRSS"))
    for name, case in CASES:
        if ONLY and name not in ONLY:
            continue
        if not check(agent.proc.poll() is None, "%s: the agent is still running" % name):
            return
        before = agent.status("VmRSS")
        agent.reset_peak()
        try:
            case(agent.port)
        except OSError as e:
            check(False, "%s: %r" % (name, e))
        settle(agent, name, start, before, PEAK_LINKS if case is concurrent_links else PEAK)
    if agent.proc.poll() is None:
        drift = agent.status("VmRSS") - start[2]
        check(not RSS_BOUNDS or drift <= DRIFT, "after the cases resident memory is %d MiB above the start" % (drift // MIB))
    agent.proc.stdin.close()
    check(agent.proc.wait(timeout=20) == 0, "the agent ends cleanly")


def piped_flood(stop_reading):
    """qnmx +f3,f4: the parent writes forms and reads the replies (or stops
    reading them), then ends the input; every form is answered, or the link
    is broken off, and qnmx ends either way."""
    to_r, to_w = os.pipe()
    from_r, from_w = os.pipe()
    p = start([QNMX, "+f%d,f%d" % (to_r, from_w)], pass_fds=(to_r, from_w),
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=quiet_sanitizer())
    os.close(to_r)
    os.close(from_w)
    got, done = bytearray(), threading.Event()

    def reader():
        while not (stop_reading and len(got) > 4096):
            c = os.read(from_r, 65536)
            if not c:
                return
            got.extend(c)
        done.wait()

    t = threading.Thread(target=reader)
    t.start()
    n = 20000 if stop_reading else 5000
    try:
        os.write(to_w, b"".join(b"(+ %d 1)\n" % i for i in range(n)))
    except OSError:
        pass
    os.close(to_w)
    try:
        err = p.communicate(timeout=90)[1]
    except subprocess.TimeoutExpired:
        p.kill()
        err = p.communicate()[1]
    done.set()
    t.join()
    os.close(from_r)
    what = "qnmx +f3,f4 " + ("whose parent stops reading" if stop_reading else "reading every reply")
    check(p.returncode == 0 and b"_close_zu_interpreter" not in err, "%s: status %r %r" % (what, p.returncode, err[-300:]))
    if not stop_reading:
        check(got.count(b"</Result>") == n, "%s: %d of %d answered" % (what, got.count(b"</Result>"), n))


if not ONLY or ONLY - {"pipe"}:
    run_agent_cases()
if not ONLY or "pipe" in ONLY:
    piped_flood(False)
    piped_flood(True)
print("%d failed" % len(failures))
sys.exit(1 if failures else 0)
