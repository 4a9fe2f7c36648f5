#!/usr/bin/env python3
"""Remote round trips from a ZU script next to the C++ link benchmark, in
the same run: netsvc_peers.py BUILD-DIR (a release build with the
benchmarks, as `make bench` makes it).

A listening qnmx serves a second qnmx whose script sends 2000 sequential
(Remote iid (+ 1 2)); the same script without the queries gives the fixed
cost, which is taken off. runtime_links_bench's BM_RemoteQueryRoundTrip
sends the same query from C++ over the same kind of link. Prints both
times per round trip and their ratio."""
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "netsvc"))
from net_e2e import free_port, listening, wait_for  # noqa: E402

N = 2000
build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/bench")
qnmx = os.path.join(build, "src", "app", "qnmx")
links = os.path.join(build, "bench", "runtime_links_bench")
work = tempfile.mkdtemp(prefix="qnmx_netsvc_bench_")
env = dict(os.environ, HOME=work, STD_CODE="UTF-8")
port = free_port()
with open(os.path.join(work, "srv.zu"), "w") as f:
    f.write('(SetMainInterpreter (OpenInterpreter "accept" Env0 (Port (Cast type="integer" (Arg 1))) '
            '(Environment "new") (Permission () (Allow "ip" "127.0.0.1" "255.255.255.255"))))\n')
srv = subprocess.Popen([qnmx, "srv.zu", "/dev/null", "/dev/null", "/", str(port)], cwd=work, env=env)
try:
    if not wait_for(lambda: listening(port), 10):
        sys.exit("the listener did not start")

    def client(n):
        with open(os.path.join(work, "cli.zu"), "w") as f:
            f.write('(define iid (OpenInterpreter "connect" Env0 (HostName "127.0.0.1") '
                    '(Port (Cast type="integer" (Arg 1)))))\n' + "(Remote iid (+ 1 2))\n" * n)
        best = float("inf")
        for _ in range(3):
            t = time.perf_counter()
            subprocess.run([qnmx, "cli.zu", "/dev/null", "-", "/", str(port)], cwd=work, env=env, check=True)
            best = min(best, time.perf_counter() - t)
        return best

    script_us = (client(N) - client(0)) / N * 1e6
    r = subprocess.run([links, "--benchmark_filter=RemoteQueryRoundTrip", "--benchmark_format=json",
                        "--benchmark_min_time=0.5"], capture_output=True, text=True, check=True)
    # One asker, as the script is.
    runs = [b for b in json.loads(r.stdout)["benchmarks"]
            if b["name"].startswith("BM_RemoteQueryRoundTrip") and b.get("threads", 1) == 1]
    cpp_us = runs[0]["real_time"] / (1000.0 if runs[0]["time_unit"] == "ns" else 1.0)
    print("%d Remote round trips from a script: %.1f us each" % (N, script_us))
    print("C++ remote_query round trip (%s): %.1f us each" % (runs[0]["name"], cpp_us))
    print("ratio script / C++: %.2f" % (script_us / cpp_us))
finally:
    srv.terminate()
    srv.wait()
    shutil.rmtree(work, ignore_errors=True)
