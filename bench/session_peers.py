#!/usr/bin/env python3
"""Session requests next to plain remote queries, in the same run:
session_peers.py BUILD-DIR (a release build, as `make bench` makes it).

A listening qnmx (the session fixture: SetAgent defined, four ports) serves
a second qnmx whose script sends
- 1000 sequential (Remote iid (+ 1 2)) over a link it opened itself, and
- 1000 sequential (RemoteSession s (URL u) (+ 1 2)), each waited for;
the same scripts without the requests give the fixed cost, which is taken
off. Then 200 RemoteSession calls made at once (left pending) to one port,
each a loop of 5000 steps at the server, and the same 200 spread over the
four ports; the script ends when every reply is in. Prints the times and
the ratios."""
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "netsvc"))
from net_e2e import free_port, listening, wait_for  # noqa: E402

N = 1000
M = 200
build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/bench")
qnmx = os.path.join(build, "src", "app", "qnmx")
work = tempfile.mkdtemp(prefix="qnmx_session_bench_")
env = dict(os.environ, HOME=work, STD_CODE="UTF-8")
ports = [free_port() for _ in range(4)]
allow = '(Permission () (Allow "ip" "127.0.0.1" "255.255.255.255"))'
with open(os.path.join(work, "srv.zu"), "w") as f:
    f.write('(Define SetAgent () (h a m) ())\n'
            '(Define Work () (h n) (Sequence () (Define i 0) (While (< i n) (set i (+ i 1))) i))\n')
    for p in ports[1:]:
        f.write('(OpenInterpreter "accept" (CurrentEnvironment) (Port %d) %s)\n' % (p, allow))
    f.write('(SetMainInterpreter (OpenInterpreter "accept" (CurrentEnvironment) (Port %d) %s))\n' % (ports[0], allow))
srv = subprocess.Popen([qnmx, "srv.zu", "/dev/null", "/dev/null"], cwd=work, env=env)


def timed(script):
    with open(os.path.join(work, "cli.zu"), "w") as f:
        f.write(script)
    best = float("inf")
    for _ in range(3):
        t = time.perf_counter()
        subprocess.run([qnmx, "cli.zu", "/dev/null", "-"], cwd=work, env=env, check=True)
        best = min(best, time.perf_counter() - t)
    return best


def url(port):
    return '(URL "zup://127.0.0.1:%d/@agentA/db/x.zu")' % port


try:
    if not wait_for(lambda: all(listening(p) for p in ports), 10):
        sys.exit("the listener did not start")
    # Both scripts open their link (or session) first, outside the count.
    remote = '(define iid (OpenInterpreter "connect" Env0 (HostName "127.0.0.1") (Port %d)))\n' % ports[0]
    session = "(Define s (OpenSession))\n(RemoteSession s %s 0)\n" % url(ports[0])
    base_r, base_s = timed(remote), timed(session)
    remote_us = (timed(remote + "(Remote iid (+ 1 2))\n" * N) - base_r) / N * 1e6
    session_us = (timed(session + "(RemoteSession s %s (+ 1 2))\n" % url(ports[0]) * N) - base_s) / N * 1e6
    print("%d sequential Remote: %.1f us each" % (N, remote_us))
    print("%d sequential RemoteSession: %.1f us each" % (N, session_us))
    print("ratio RemoteSession / Remote: %.2f" % (session_us / remote_us))
    # Calls left pending: the script's end waits for them.
    opening = "(Define s (OpenSession))\n" + "".join("(RemoteSession s %s 0)\n" % url(p) for p in ports)
    burst = lambda spread: opening + "".join("(IgnoreDelay (RemoteSession s %s (Work 5000)))\n" % url(ports[i % spread])
                                             for i in range(M))
    base = timed(opening)
    one, four = timed(burst(1)) - base, timed(burst(4)) - base
    print("%d RemoteSession calls to one port: %.1f ms" % (M, one * 1e3))
    print("%d RemoteSession calls over four ports: %.1f ms" % (M, four * 1e3))
    print("ratio one port / four ports: %.2f" % (one / four))
finally:
    srv.terminate()
    srv.wait()
    shutil.rmtree(work, ignore_errors=True)
