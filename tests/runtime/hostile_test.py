#!/usr/bin/env python3
"""Hostile peers against a listening agent: hostile_test.py LINK_AGENT QNMX [case...]

Each case attacks the agent (tests/runtime/agent/link_agent.cc) over line
links on 127.0.0.1. After each one the agent must still answer a valid
query on a new link, and its descriptors and threads must come back to
where they were before the case. Memory is bounded twice: the peak
resident size during a case may exceed the size before it by at most
PEAK_BOUND (PEAK_BOUND_LINKS for 500 concurrent links, whose 1,000 threads
need their stacks), and after any case the agent may have grown by at most
DRIFT_BOUND over its start. The flood cases are repeated through
`qnmx +f3,f4`, whose parent writes and then stops reading.

The agent runs with a small allocator quarantine and frequent release of
free memory, so that its resident size reflects what it keeps rather than
what the sanitizer holds back.
"""
import os
import resource
import select
import socket
import struct
import subprocess
import sys
import threading
import time

AGENT, QNMX = sys.argv[1], sys.argv[2]
ONLY = set(sys.argv[3:])
MIB = 1 << 20
# A link's line is capped at a few MiB and its relay queue at a few
# thousand forms or 8 MiB of source; without those caps the 100 MiB line
# alone peaks several hundred MiB above the start, and so do the floods.
PEAK_BOUND = 128 * MIB
PEAK_BOUND_LINKS = 256 * MIB
DRIFT_BOUND = 160 * MIB
SETTLE = 30.0  # seconds for descriptors and threads to come back

failures = []


def check(cond, what):
    if not cond:
        failures.append(what)
        print("FAIL:", what, flush=True)
    return cond


def sanitizer_env():
    env = dict(os.environ)
    opts = env.get("ASAN_OPTIONS", "")
    env["ASAN_OPTIONS"] = ((opts + ":" if opts else "") +
                           "quarantine_size_mb=4:detect_leaks=0:allocator_release_to_os_interval_ms=200")
    return env


class Agent:
    def __init__(self):
        def limits():
            hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
            want = 4096 if hard == resource.RLIM_INFINITY else min(4096, hard)
            resource.setrlimit(resource.RLIMIT_NOFILE, (want, hard))

        self.proc = subprocess.Popen([AGENT], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     env=sanitizer_env(), preexec_fn=limits)
        line = self.proc.stdout.readline().split()
        self.port = int(line[1]) if len(line) == 2 else 0

    def status(self, key):
        with open("/proc/%d/status" % self.proc.pid) as f:
            for line in f:
                if line.startswith(key + ":"):
                    return int(line.split()[1])
        return -1

    def fds(self):
        return len(os.listdir("/proc/%d/fd" % self.proc.pid))

    def threads(self):
        return self.status("Threads")

    def rss(self):
        return self.status("VmRSS") * 1024

    def peak(self):
        return self.status("VmHWM") * 1024

    def reset_peak(self):
        with open("/proc/%d/clear_refs" % self.proc.pid, "w") as f:
            f.write("5")

    def alive(self):
        return self.proc.poll() is None

    def stop(self):
        self.proc.stdin.close()
        try:
            self.proc.wait(timeout=20)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


def connect(port, admit=True, timeout=10):
    s = socket.create_connection(("127.0.0.1", port), timeout=timeout)
    if admit:
        s.sendall(b"\n")
        read_until(s, b"</Permission>\n")
    return s


def read_until(s, marker, limit=10.0, count=1):
    buf = b""
    end = time.time() + limit
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


def wait_closed(s, limit=20.0):
    """True when the agent ends the link within `limit` seconds; what it
    sent meanwhile is read and dropped."""
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


def reset(s):
    s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    s.close()


def answers(agent):
    try:
        with connect(agent.port) as s:
            s.sendall(b"(+ 40 2)\n")
            return b"<Result> 2 42</Result>" in read_until(s, b"</Result>")
    except OSError:
        return False


def settle(agent, name, start, before, peak_bound):
    check(agent.alive(), "%s: the agent is running" % name)
    if not agent.alive():
        return
    check(answers(agent), "%s: the agent answers a valid query" % name)
    fds0, threads0, rss0 = start
    end = time.time() + SETTLE
    while time.time() < end and (agent.fds() > fds0 or agent.threads() > threads0 or
                                 agent.rss() - rss0 > DRIFT_BOUND):
        time.sleep(0.1)
    check(agent.fds() == fds0, "%s: descriptors %d, at the start %d" % (name, agent.fds(), fds0))
    check(agent.threads() <= threads0, "%s: threads %d, at the start %d" % (name, agent.threads(), threads0))
    peak = agent.peak() - before
    check(peak <= peak_bound, "%s: resident memory peaked %d MiB above its size before" % (name, peak // MIB))
    drift = agent.rss() - rss0
    check(drift <= DRIFT_BOUND, "%s: resident memory grew by %d MiB" % (name, drift // MIB))
    print("%-22s fds %d threads %d peak +%d MiB, since the start +%d MiB" %
          (name, agent.fds(), agent.threads(), peak // MIB, drift // MIB), flush=True)


# ---- cases: each gets the agent's port

def garbage(port):
    import random
    rnd = random.Random(15)
    for i in range(30):
        with connect(port, admit=i % 2 == 0) as s:
            blob = bytes(rnd.randrange(256) for _ in range(rnd.randrange(1, 20000)))
            blob += b"))))<<</x>]]]&cx;&#x110000;\"\\" * 3
            try:
                s.sendall(blob)
            except OSError:
                pass


def long_line(port):
    # 100 MiB without a line end: the link ends with an error once the line
    # passes its cap, long before the end.
    s = connect(port)
    s.sendall(b"(quote ")
    chunk = b"a" * MIB
    sent = 0
    try:
        for _ in range(100):
            s.sendall(chunk)
            sent += 1
    except OSError:
        pass
    got = read_until(s, b"</Result>", limit=20)
    check(b"#error(" in got, "long line: an error reply, got %r" % got[:200])
    check(wait_closed(s), "long line: the link ends")
    s.close()


def endless_line(port):
    s = connect(port)
    s.sendall(b'"')
    chunk = b"b" * (256 * 1024)
    end = time.time() + 30
    closed = False
    while time.time() < end:
        try:
            s.sendall(chunk)
        except OSError:
            closed = True
            break
    check(closed or wait_closed(s), "endless line: the link ends")
    s.close()


def slow_peers(port):
    peers = [connect(port) for _ in range(100)]
    text = b"(+ 1\n 2)\n"
    for i in range(len(text)):
        for s in peers:
            s.sendall(text[i:i + 1])
        time.sleep(0.02)
        if i == 3:
            check(answers_port(port), "slow peers: others are served meanwhile")
    for s in peers:
        check(b"<Result> 2 3</Result>" in read_until(s, b"</Result>"), "slow peers: each is answered")
        s.close()


def answers_port(port):
    try:
        with connect(port) as s:
            s.sendall(b"(+ 40 2)\n")
            return b"<Result> 2 42</Result>" in read_until(s, b"</Result>")
    except OSError:
        return False


def big_reply_forms(n):
    payload = b'(quote "' + b"r" * 60000 + b'")\n'
    return payload * n


def stops_reading(port):
    # Large replies nobody reads: the agent's writes stall, its queue fills,
    # it stops reading this link; other links are served meanwhile.
    s = connect(port)
    s.setblocking(False)
    data = big_reply_forms(1000)
    sent = 0
    end = time.time() + 5
    while sent < len(data) and time.time() < end:
        try:
            sent += s.send(data[sent:sent + 65536])
        except BlockingIOError:
            select.select([], [s], [], 0.05)
    check(sent < 40 * MIB, "stops reading: the agent stops taking input (sent %d MiB)" % (sent // MIB))
    check(answers_port(port), "stops reading: others are served meanwhile")
    s.close()


def flood_then_close(port):
    for _ in range(3):
        s = connect(port)
        s.setblocking(False)
        data = b"(+ 1 1)\n" * (512 * 1024)  # 4 MiB of small forms
        sent = 0
        end = time.time() + 10
        while sent < len(data) and time.time() < end:
            try:
                sent += s.send(data[sent:])
            except BlockingIOError:
                select.select([], [s], [], 0.05)
        s.close()


def flood_never_reading(port):
    s = connect(port)
    s.setblocking(False)
    data = b"(+ 1 1)\n" * 65536
    end = time.time() + 5
    while time.time() < end:
        try:
            s.send(data)
        except BlockingIOError:
            select.select([], [s], [], 0.05)
        except OSError:
            break
    check(answers_port(port), "flood never reading: others are served meanwhile")
    s.close()


def resets_mid_query(port):
    for i in range(40):
        s = connect(port)
        s.sendall(b"(while 1 1)\n" if i % 2 else b"(+ 1 2)\n(quote (a b c")
        time.sleep(0.01)
        reset(s)


def concurrent_links(port):
    links = []
    for _ in range(500):
        s = socket.create_connection(("127.0.0.1", port), timeout=30)
        s.sendall(b"\n(+ 2 3)\n")
        links.append(s)
    answered = sum(b"<Result> 2 5</Result>" in read_until(s, b"</Result>", limit=60) for s in links)
    check(answered == len(links), "500 links: %d answered" % answered)
    for s in links:
        s.close()


def churn(port):
    for i in range(1500):
        s = socket.create_connection(("127.0.0.1", port), timeout=10)
        if i % 3 == 1:
            s.sendall(b"\n")
        elif i % 3 == 2:
            s.sendall(b"\n(+ 1 1)\n")
        s.close()


def half_close(port):
    # Forms sent before the peer ends its input are all answered.
    s = connect(port)
    forms = b"".join(b"(+ %d 1)\n" % i for i in range(2000))
    s.sendall(forms)
    s.shutdown(socket.SHUT_WR)
    got = read_until(s, b"</Result>", limit=30, count=2000)
    check(got.count(b"</Result>") == 2000, "half close: %d of 2000 answered" % got.count(b"</Result>"))
    check(b"<Result> 2001 2000</Result>" in got, "half close: the last form is answered")
    s.close()


CASES = [("garbage", garbage), ("100 MiB line", long_line), ("endless line", endless_line),
         ("100 slow peers", slow_peers), ("peer stops reading", stops_reading),
         ("flood then close", flood_then_close), ("flood never reading", flood_never_reading),
         ("resets mid-query", resets_mid_query), ("500 concurrent links", concurrent_links),
         ("connect/close churn", churn), ("half close", half_close)]


def warm_up(agent):
    # Fill the task pool to its idle limit, so that threads come back to
    # the same count after every case.
    links = [connect(agent.port) for _ in range(40)]
    for s in links:
        s.sendall(b"(+ 1 1)\n")
    for s in links:
        read_until(s, b"</Result>")
        s.close()
    time.sleep(1)
    answers(agent)


def run_agent_cases():
    agent = Agent()
    if not check(agent.port > 0, "the agent listens"):
        return
    fds = agent.fds()
    warm_up(agent)
    end = time.time() + SETTLE
    while time.time() < end and agent.fds() > fds:
        time.sleep(0.1)
    start = (agent.fds(), agent.threads(), agent.rss())
    print("start: fds %d threads %d rss %d MiB" % (start[0], start[1], start[2] // MIB), flush=True)
    for name, case in CASES:
        if ONLY and name not in ONLY:
            continue
        t0 = time.time()
        before = agent.rss()
        agent.reset_peak()
        try:
            case(agent.port)
        except OSError as e:
            check(False, "%s: %r" % (name, e))
        settle(agent, name, start, before, PEAK_BOUND_LINKS if case is concurrent_links else PEAK_BOUND)
        print("  %.1f s" % (time.time() - t0), flush=True)
    agent.stop()
    check(agent.proc.returncode == 0, "the agent ends cleanly: %r" % agent.proc.returncode)


def piped_flood(stop_reading):
    """qnmx +f3,f4: the parent writes small forms on fd 3 and reads replies
    on fd 4 (or stops reading them), then ends the input."""
    to_child_r, to_child_w = os.pipe()
    from_child_r, from_child_w = os.pipe()
    p = subprocess.Popen([QNMX, "+f%d,f%d" % (to_child_r, from_child_w)], pass_fds=(to_child_r, from_child_w),
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=sanitizer_env())
    os.close(to_child_r)
    os.close(from_child_w)
    got = bytearray()
    done = threading.Event()

    def reader():
        while True:
            if stop_reading and len(got) > 4096:
                done.wait()
                break
            c = os.read(from_child_r, 65536)
            if not c:
                break
            got.extend(c)

    t = threading.Thread(target=reader)
    t.start()
    n = 20000 if stop_reading else 5000
    try:
        os.write(to_child_w, b"".join(b"(+ %d 1)\n" % i for i in range(n)))
    except OSError:
        pass
    os.close(to_child_w)
    try:
        err = p.communicate(timeout=90)[1]
    except subprocess.TimeoutExpired:
        p.kill()
        err = p.communicate()[1]
        check(False, "qnmx +f3,f4 ends after its input ends")
    done.set()
    t.join()
    os.close(from_child_r)
    what = "qnmx +f3,f4 %s" % ("whose parent stops reading" if stop_reading else "reading every reply")
    check(b"panic" not in err.lower() and b"_close_zu_interpreter" not in err, "%s: no fatal stop: %r" % (what, err[-300:]))
    check(p.returncode == 0, "%s: status %r" % (what, p.returncode))
    if not stop_reading:
        check(got.count(b"</Result>") == n, "%s: %d of %d answered" % (what, got.count(b"</Result>"), n))
    print("%s: status %r" % (what, p.returncode), flush=True)


if not ONLY or "agent" in ONLY or ONLY - {"pipe"}:
    run_agent_cases()
if not ONLY or "pipe" in ONLY:
    piped_flood(False)
    piped_flood(True)
print("%d failed" % len(failures))
sys.exit(1 if failures else 0)
