#!/usr/bin/env python3
"""The HTTP agent under wrk, next to nginx and Python's http.server in the
same run: http_agent_peers.py BUILD-DIR (a release build with the
benchmarks).

wrk -t2 -c32 -d10s --latency runs against the driver's /bench, whose
handler answers (text/html "ok"), with the driver's output sent to
/dev/null; against nginx serving a 2-byte file with keepalive_timeout 0
(a connection per request, as the agent closes every connection) and once
more with keep-alive; and against python3 -m http.server. Requests per
second, p50 and p99 latency and the agent's ratio to nginx's forced-close
rate are printed."""
import os
import re
import shutil
import subprocess
import sys
import tempfile

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, here)
sys.path.insert(0, os.path.join(here, "..", "tests", "netsvc"))
import pairs  # noqa: E402
from net_e2e import free_port, listening, wait_for  # noqa: E402

HOST = "127.0.0.1"
WRK = ["wrk", "-t2", "-c32", "-d10s", "--latency"]

SCRIPT = r'''
(Eval Env1 (quote (Define GET () (f) (List (quote text/html) "ok"))))
(SetMainInterpreter (OpenInterpreter "accept" Env1 (Port (Cast type="integer" (Arg 1))) (Permission () (Allow "all"))))
'''

def ms(text):
    m = re.match(r"([\d.]+)(us|ms|s)", text)
    v = float(m.group(1))
    return v / 1000 if m.group(2) == "us" else v * 1000 if m.group(2) == "s" else v


def wrk(url):
    out = subprocess.run(WRK + [url], capture_output=True, text=True, timeout=120).stdout
    if "Requests/sec" not in out or "99%" not in out:
        sys.exit("wrk against %s:\n%s" % (url, out))
    rate = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))
    p50 = ms(re.search(r"50%\s+([\d.]+\w+)", out).group(1))
    p99 = ms(re.search(r"99%\s+([\d.]+\w+)", out).group(1))
    # A reply that ends with its connection (no Content-Length) is counted
    # by wrk as a request and as a read error besides.
    errors = re.findall(r"Socket errors:.*|Non-2xx.*", out)
    return rate, p50, p99, "; ".join(errors)


def report(name, result):
    rate, p50, p99, errors = result
    print("%-40s %9.0f req/s  p50 %7.2f ms  p99 %7.2f ms  %s" % (name, rate, p50, p99, errors), flush=True)


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build/bench"
    driver = os.path.abspath(os.path.join(build, "bench", "http_agent_driver"))
    for tool in ("wrk", "nginx"):
        if not shutil.which(tool):
            sys.exit("%s is not installed (scripts/setup.sh installs it)" % tool)
    tmp = tempfile.mkdtemp()
    os.chmod(tmp, 0o755)  # nginx's workers read the file as another user
    procs = []
    try:
        os.makedirs(os.path.join(tmp, "www"))
        with open(os.path.join(tmp, "www", "ok"), "w") as f:
            f.write("ok")
        with open(os.path.join(tmp, "s.zu"), "w") as f:
            f.write(SCRIPT)
        port = free_port()
        null = open(os.devnull, "wb")
        procs.append(subprocess.Popen([driver, "/bench", "--", "s.zu", "-", "-", "/", str(port)], cwd=tmp,
                                      stdout=null, stderr=null, env=dict(os.environ, STD_CODE="UTF-8")))
        if not wait_for(lambda: listening(port), 60):
            sys.exit("the driver did not start")
        agent = wrk("http://%s:%d/bench" % (HOST, port))
        report("HTTP agent (driver, /bench)", agent)
        results = {}
        for name, keepalive in (("close", 0), ("keep-alive", 65)):
            nport = free_port()
            p = pairs.nginx(tmp, nport, keepalive=keepalive, workers="auto", mime="text/html", name="nginx-" + name)
            procs.append(p)
            if not wait_for(lambda: listening(nport), 60):
                sys.exit("nginx did not start")
            results[name] = wrk("http://%s:%d/ok" % (HOST, nport))
            report("nginx, keepalive_timeout %d" % keepalive, results[name])
            p.terminate()
            p.wait(timeout=30)
        pport = free_port()
        p = subprocess.Popen([sys.executable, "-m", "http.server", "--bind", HOST, "--directory",
                              os.path.join(tmp, "www"), str(pport)], stdout=null, stderr=null)
        procs.append(p)
        if wait_for(lambda: listening(pport), 60):
            report("python3 -m http.server", wrk("http://%s:%d/ok" % (HOST, pport)))
        print("agent / nginx (connection per request): %.2f x" % (agent[0] / results["close"][0]))
    finally:
        for p in procs:
            if p.poll() is None:
                p.kill()
                p.wait()
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
