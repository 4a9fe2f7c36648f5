#!/usr/bin/env python3
"""The HTTP agent against nginx with one worker, in pairs taken in turn:
http_agent_peers.py BUILD-DIR (a release build with the benchmarks).

The agent under test is bench/http_agent_driver, which registers /bench,
whose handler answers (text/html "ok"); its output goes to /dev/null.
nginx runs one worker process (the like-for-like peer of one process) and
serves a 2-byte file with keepalive_timeout 0: a connection per request,
as the agent closes every connection. A pair is wrk -t2 -c32 -d10s against
the agent, then the same against nginx; QNMX_BENCH_REPEATS pairs (5 by
default). The row's times are the seconds of a request (a run's time over
the requests it completed), so that its ratio ours / peer is nginx's rate
over the agent's. For every run the requests a second, the p50 and p99
latency and the CPU time the server spent per request (its own and its
threads', from /proc; nginx's master and worker together) are printed;
nginx with keep-alive and python3 -m http.server run once besides."""
import os
import re
import shutil
import statistics
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


def cpu_seconds(pids):
    """User and system time of the processes pids (all their threads)."""
    total = 0
    for pid in pids:
        try:
            with open("/proc/%d/stat" % pid) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            total += int(fields[11]) + int(fields[12])
        except (FileNotFoundError, ProcessLookupError):
            pass
    return total / os.sysconf("SC_CLK_TCK")


def children(pid):
    out = subprocess.run(["pgrep", "-P", str(pid)], capture_output=True, text=True).stdout
    return [int(x) for x in out.split()]


class Wrk:
    """One wrk run against url: its rate, seconds a request, latencies and
    the server's CPU time a request."""

    def __init__(self, url, pids):
        before = cpu_seconds(pids)
        out = subprocess.run(WRK + [url], capture_output=True, text=True, timeout=120).stdout
        cpu = cpu_seconds(pids) - before
        m = re.search(r"(\d+) requests in ([\d.]+)(\w+)", out)
        if not m or "99%" not in out:
            raise pairs.Failed("wrk against %s:\n%s" % (url, out))
        self.requests = int(m.group(1))
        took = ms(m.group(2) + m.group(3)) / 1000
        self.rate = self.requests / took
        self.seconds = took / self.requests
        self.cpu_us = cpu / self.requests * 1e6
        self.p50 = ms(re.search(r"50%\s+([\d.]+\w+)", out).group(1))
        self.p99 = ms(re.search(r"99%\s+([\d.]+\w+)", out).group(1))
        # A reply that ends with its connection (no Content-Length) is
        # counted by wrk as a request and as a read error besides.
        self.errors = "; ".join(re.findall(r"Socket errors:.*|Non-2xx.*", out))

    def report(self, name):
        print("%-34s %8.0f req/s  p50 %6.2f ms  p99 %7.2f ms  CPU %6.1f us a request  %s" %
              (name, self.rate, self.p50, self.p99, self.cpu_us, self.errors), flush=True)


def start(procs, cmd, port, what, **kw):
    p = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, **kw)
    procs.append(p)
    if not wait_for(lambda: listening(port), 60):
        sys.exit("%s did not start" % what)
    return p


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build/bench"
    driver = os.path.abspath(os.path.join(build, "bench", "http_agent_driver"))
    rid, path = "http_agent", "HTTP agent: a GET of a registered path answered by a ZU handler, a connection a request"
    ours_does = "bench/http_agent_driver, one process: /bench evaluated, (text/html \"ok\") written, connection closed"
    peer_does = "nginx, 1 worker, keepalive_timeout 0: a 2-byte file"
    how = "processes: wrk -t2 -c32 -d10s on 127.0.0.1, seconds a request"
    aim = "ratio<=2; at least half nginx's requests a second"
    for tool, package in (("wrk", "wrk"), ("nginx", "nginx-light")):
        if not shutil.which(tool):
            pairs.row(rid, path, "nginx (1 worker)", ours_does, peer_does, how, aim, [],
                      pairs.missing(tool, package))
            return
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
        agent = start(procs, [driver, "/bench", "--", "s.zu", "-", "-", "/", str(port)], port, "the driver",
                      cwd=tmp, env=dict(os.environ, STD_CODE="UTF-8"))
        nport = free_port()
        nginx = pairs.nginx(tmp, nport, keepalive=0, workers="1", mime="text/html", name="nginx-close")
        procs.append(nginx)
        if not wait_for(lambda: listening(nport), 60):
            sys.exit("nginx did not start")
        nginx_pids = [nginx.pid] + children(nginx.pid)
        runs = {"ours": [], "nginx": []}

        def side(name, url, pids):
            def run():
                w = Wrk(url, pids)
                w.report("%s, pair %d" % (name, len(runs[name]) + 1))
                runs[name].append(w)
                return w.seconds
            return run

        try:
            ours, theirs = pairs.alternate(side("ours", "http://%s:%d/bench" % (HOST, port), [agent.pid]),
                                           side("nginx", "http://%s:%d/ok" % (HOST, nport), nginx_pids))
        except pairs.Failed as e:
            pairs.row(rid, path, "nginx (1 worker)", ours_does, peer_does, how, aim, "failed: %s" % e, "-")
            return
        for name, label in (("ours", "HTTP agent"), ("nginx", "nginx, 1 worker, keepalive_timeout 0")):
            print("%s: median %.0f req/s, %.1f us of CPU a request" %
                  (label, statistics.median(w.rate for w in runs[name]),
                   statistics.median(w.cpu_us for w in runs[name])), flush=True)
        nginx.terminate()
        nginx.wait(timeout=30)

        kport = free_port()
        p = pairs.nginx(tmp, kport, keepalive=65, workers="1", mime="text/html", name="nginx-keepalive")
        procs.append(p)
        if wait_for(lambda: listening(kport), 60):
            Wrk("http://%s:%d/ok" % (HOST, kport), [p.pid] + children(p.pid)).report("nginx, 1 worker, keep-alive")
        pport = free_port()
        p = start(procs, [sys.executable, "-m", "http.server", "--bind", HOST, "--directory",
                          os.path.join(tmp, "www"), str(pport)], pport, "python3 -m http.server")
        Wrk("http://%s:%d/ok" % (HOST, pport), [p.pid]).report("python3 -m http.server")
        pairs.row(rid, path, "nginx (1 worker)", ours_does, peer_does, how, aim, ours, theirs)
    finally:
        for p in procs:
            if p.poll() is None:
                p.kill()
                p.wait()
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
