#!/usr/bin/env python3
"""Talks to an accepting interpreter from outside the process: a raw socket
client, socat, and a peer whose descriptor limit has been lowered.

The peer is the test binary's LinkPeer.Serve case, which listens on
127.0.0.1 and writes its port to a file."""
import os
import resource
import shutil
import socket
import subprocess
import sys
import tempfile
import time

EXE = sys.argv[1]
ADMIT = b"\n&cxdfff0003;\n<Permission>Allow</Permission>\n"
failures = []


def check(cond, what):
    if not cond:
        failures.append(what)
        print("FAIL:", what)


def start_peer(nofile=None):
    d = tempfile.mkdtemp()
    pf = os.path.join(d, "port")
    env = dict(os.environ, QNMX_LINK_PEER_PORTFILE=pf)
    pre = None
    if nofile:
        pre = lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (nofile, nofile))
    p = subprocess.Popen([EXE, "--gtest_filter=LinkPeer.Serve"], env=env,
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, preexec_fn=pre)
    for _ in range(1000):
        if os.path.exists(pf) or p.poll() is not None:
            break
        time.sleep(0.01)
    port = int(open(pf).read()) if os.path.exists(pf) else 0
    shutil.rmtree(d, ignore_errors=True)
    return p, port


def read_until(s, marker, count=1, limit=10.0):
    buf = b""
    end = time.time() + limit
    while buf.count(marker) < count and time.time() < end:
        try:
            c = s.recv(4096)
        except socket.timeout:
            break
        if not c:
            break
        buf += c
    return buf


def stop(p, port):
    if port:
        with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
            s.sendall(b"\n(Stop)\n")
            read_until(s, b"</Result>")
    try:
        p.wait(timeout=10)
    except subprocess.TimeoutExpired:
        p.kill()
        check(False, "peer did not stop")


# Admission, then replies numbered by the input line on which each form
# began: line 1 is the opening line end, blank lines are keep-alives, and a
# form spread over lines keeps its first line's number.
p, port = start_peer()
check(port > 0, "peer listens")
with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
    s.sendall(b"\n")
    check(read_until(s, b"</Permission>") == ADMIT, "admission text")
    s.sendall(b"(+ 1 2)\n\n\n(+ 3\n4) (* 2 5)\n(car 5)\n")
    got = read_until(s, b"</Result>", 4)
    lines = got.decode().splitlines()
    check(lines[:3] == ["<Result> 2 3</Result>", "<Result> 5 7</Result>",
                        "<Result> 6 10</Result>"], "sequence numbers: %r" % lines)
    check(len(lines) == 4 and lines[3].startswith("<Result> 7 #error(") and '"car"' in lines[3],
          "an error is replied and the link goes on: %r" % lines[3:])

# The same exchange through socat, as another agent's shell would do it.
if shutil.which("socat"):
    # Standard input stays open a moment: the link ends with its input.
    feed = "printf '\\n(+ 40 2)\\n'; sleep 1"
    out = subprocess.run("(%s) | socat -t 5 - TCP:127.0.0.1:%d" % (feed, port), shell=True,
                         capture_output=True, timeout=20).stdout
    check(out == ADMIT + b"<Result> 2 42</Result>\n", "socat exchange: %r" % out)
else:
    check(False, "socat is installed by scripts/setup.sh")
stop(p, port)

# With the descriptor limit lowered (as `ulimit -n` does) the peer answers
# Busy instead of admitting; the limit where that starts depends on how
# many descriptors the process holds, so walk up from a small one.
busy = False
for nofile in range(9, 40):
    p, port = start_peer(nofile)
    if not port:
        p.wait(timeout=10)
        continue
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        s.sendall(b"\n")
        answer = read_until(s, b"</Permission>")
    if answer == b"<Permission>Busy</Permission>\n":
        busy = True
        p.kill()
        p.wait()
        break
    check(answer == ADMIT, "admitted or busy, nothing else: %r" % answer)
    stop(p, port)
    break
check(busy, "Busy when descriptors run short")

print("%d passed, %d failed" % (5 - len(failures), len(failures)))
sys.exit(1 if failures else 0)
