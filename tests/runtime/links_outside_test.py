#!/usr/bin/env python3
"""Talks to an accepting interpreter from outside the process: a raw socket
client, socat, and a peer whose descriptor limit has been lowered.

The peer is the test binary's LinkPeer child body: it listens on 127.0.0.1,
writes "port N" on its standard output and serves until its standard input
ends."""
import os
import resource
import shutil
import socket
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from checks import start  # noqa: E402

EXE = sys.argv[1]
ADMIT = b"\n&cxdfff0003;\n<Permission>Allow</Permission>\n"
failures = []
checks = 0


def check(cond, what):
    global checks
    checks += 1
    if not cond:
        failures.append(what)
        print("FAIL:", what)


def start_peer(nofile=None):
    pre = None
    if nofile:
        pre = lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (nofile, nofile))
    p = start([EXE, "--qnmx-child=LinkPeer"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL, preexec_fn=pre)
    words = p.stdout.readline().split()  # empty when the peer could not start
    port = int(words[1]) if len(words) == 2 and words[0] == b"port" else 0
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


def stop(p, started=True):
    """Ends the peer's input; a peer that started must then end cleanly."""
    p.stdin.close()
    try:
        status = p.wait(timeout=20)
        if started:
            check(status == 0, "peer ends cleanly (status %d)" % status)
    except subprocess.TimeoutExpired:
        p.kill()
        p.wait()
        check(False, "peer did not stop")
    p.stdout.close()


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
# Its input stays open until the reply has come: the link ends with it.
if shutil.which("socat"):
    sc = start(["socat", "-t", "5", "-", "TCP:127.0.0.1:%d" % port], stdin=subprocess.PIPE,
                          stdout=subprocess.PIPE)
    sc.stdin.write(b"\n(+ 40 2)\n")
    sc.stdin.flush()
    out = b""
    end = time.time() + 20
    while not out.endswith(b"</Result>\n") and time.time() < end:
        c = sc.stdout.read1(4096)
        if not c:
            break
        out += c
    sc.stdin.close()
    out += sc.stdout.read()
    sc.wait(timeout=20)
    check(out == ADMIT + b"<Result> 2 42</Result>\n", "socat exchange: %r" % out)
else:
    check(False, "socat is installed by scripts/setup.sh")
stop(p)

# With the descriptor limit lowered (as `ulimit -n` does) the peer answers
# Busy instead of admitting; the limit where that starts depends on how
# many descriptors the process holds, so walk up from a small one.
busy = False
for nofile in range(9, 40):
    p, port = start_peer(nofile)
    if not port:  # too few descriptors to start at all
        stop(p, started=False)
        continue
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        s.sendall(b"\n")
        answer = read_until(s, b"</Permission>")
    if answer == b"<Permission>Busy</Permission>\n":
        busy = True
        stop(p)
        break
    check(answer == ADMIT, "admitted or busy, nothing else: %r" % answer)
    stop(p)
    break
check(busy, "Busy when descriptors run short")

print("%d passed, %d failed" % (checks - len(failures), len(failures)))
sys.exit(1 if failures else 0)
