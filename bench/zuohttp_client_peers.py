#!/usr/bin/env python3
"""Remote queries between two qnmx processes over each road of an
interpreter link, in one run: zuohttp_client_peers.py BUILD-DIR [COUNT].

Roads: the plain line link; ZUoHTTP version 2 directly; version 1, forced
by a stand-in that answers the version probe as a version-1 server and
relays the rest (tests/netsvc/zoh_peers.py); version 2 through the same
relay (the relay's own cost); version 2 through tinyproxy. For each road a
client script sends COUNT (2000) sequential (Remote iid (+ 1 2)), and
separately 10 MB of strings there and back (ten of 1 MiB: a link's line
holds at most 4 MiB). Each is timed from the client's first reply after the
connect to its last (the strings less a script that only reads them), in
five rounds over all roads; the fastest round and the median ratio are
given. Last, (Remote iid (Sleep 3) 1) over version 1 and over the line
link shows what the polls' back-off adds to a slow answer (and sleeps of 9
and 14 s, which end while no poll is out)."""
import os
import random
import shutil
import socket
import string
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "netsvc"))
from net_e2e import free_port, listening, wait_for  # noqa: E402
from zoh_peers import Relay  # noqa: E402

SERVER = ('(SetMainInterpreter (OpenInterpreter "accept" Env0 (Port %d) '
          '(Permission () (Allow "ip" "127.0.0.0" "255.0.0.0"))))\n')


class Bench:
    def __init__(self, qnmx):
        self.qnmx, self.work = qnmx, tempfile.mkdtemp(prefix="qnmx_zohc_bench_")
        self.env = dict(os.environ, HOME=self.work, STD_CODE="UTF-8")
        self.procs = []

    def spawn(self, args):
        p = subprocess.Popen(["timeout", "600"] + args, cwd=self.work, env=self.env, stdin=subprocess.DEVNULL,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.procs.append(p)
        return p

    def server(self):
        port = free_port()
        with open(os.path.join(self.work, "srv.zu"), "w") as f:
            f.write(SERVER % port)
        self.spawn([self.qnmx, "srv.zu", "srv.out", "srv.err"])
        if not wait_for(lambda: listening(port), 30):
            sys.exit("the server does not listen")
        return port

    def tinyproxy(self):
        if not shutil.which("tinyproxy"):
            return None
        port = free_port()
        conf = os.path.join(self.work, "tinyproxy.conf")
        with open(conf, "w") as f:
            f.write("Port %d\nListen 127.0.0.1\nTimeout 600\nLogLevel Critical\nMaxClients 100\nAllow 127.0.0.1\n" % port)
        self.spawn(["tinyproxy", "-d", "-c", conf])
        return port if wait_for(lambda: listening(port), 30) else None

    def run(self, setting, port, body):
        """Seconds from the first reply after the connect to the last reply
        of one client script (its replies read as they come)."""
        with open(os.path.join(self.work, "cli.zu"), "w") as f:
            f.write('%s\n(define iid (OpenInterpreter "connect" Env0 (HostName "127.0.0.2") (Port %d)))\n'
                    "(Remote iid 0)\n%s(Remote iid 1)\n" % (setting, port, body))
        p = subprocess.Popen(["timeout", "600", self.qnmx, "cli.zu", "-", "cli.err"], cwd=self.work, env=self.env,
                             stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        start = end = None
        for line in p.stdout:
            if b"#error" in line:
                sys.exit("a client failed (%s): %r" % (setting, line[:300]))
            if line.startswith(b"<Result> 3 "):
                start = time.perf_counter()
            if line.endswith(b" 1</Result>\n"):
                end = time.perf_counter()
        p.wait()
        if start is None or end is None:
            sys.exit("a client did not finish (%s)" % setting)
        return end - start

    def finish(self):
        for p in self.procs:
            p.kill()
            p.wait()
        shutil.rmtree(self.work, ignore_errors=True)


def main(argv):
    build = argv[0] if argv else "build/bench"
    count = int(argv[1]) if len(argv) > 1 else 2000
    b = Bench(os.path.realpath(os.path.join(build, "src", "app", "qnmx")))
    try:
        port = b.server()
        v1_relay, v2_relay = Relay(port, v1=True), Relay(port, v1=False)
        proxy = b.tinyproxy()
        zoh = '(SetProxy type="ZUoHTTP")'
        roads = [("line link", '(SetProxy type="NoProxy")', port), ("ZUoHTTP v2", zoh, port),
                 ("ZUoHTTP v1 (forced, relayed)", zoh, v1_relay.port), ("ZUoHTTP v2 (relayed)", zoh, v2_relay.port)]
        if proxy:
            roads.append(("ZUoHTTP v2 via tinyproxy", '(SetProxy type="HTTPProxy" server="127.0.0.1" port="%d")' % proxy,
                          port))
        else:
            print("tinyproxy is not installed: that road is left out")
        # A link carries lines of at most 4 MiB: the 10 MB go as ten strings
        # of 1 MiB, one Remote each.
        big = "".join(random.choice(string.ascii_letters + string.digits) for _ in range(1 << 20))
        loop = "(define n %d)\n(For dec=\"n\" (Remote iid (+ 1 2)))\n" % count
        strings, reads = '(Remote iid "%s")\n' % big * 10, '(StringLength "%s")\n' % big * 10
        # Every road once a round, the rounds one after another: a change of
        # the machine's load falls on all roads alike. Ratios are taken within
        # a round; the median round is given.
        rounds = [[(b.run(s, t, loop) / count, b.run(s, t, strings) - b.run(s, t, reads)) for _, s, t in roads]
                  for _ in range(5)]
        median = lambda xs: sorted(xs)[len(xs) // 2]  # noqa: E731
        for i, (name, _, _) in enumerate(roads):
            per, mb = min(r[i][0] for r in rounds), min(r[i][1] for r in rounds)
            print("%-32s %8.1f us per Remote  %6.3f s per 10 MB there and back (fastest round)" % (name, per * 1e6, mb))
        print("\nratios to the line link, median of the rounds (Remote round trip, 10 MB):")
        for i, (name, _, _) in enumerate(roads[1:], 1):
            print("  %-32s %5.2fx %5.2fx" % (name, median([r[i][0] / r[0][0] for r in rounds]),
                                            median([r[i][1] / r[0][1] for r in rounds])), flush=True)
        print()
        for name, setting, target, sleeps in (("line link", roads[0][1], port, (3,)),
                                              ("ZUoHTTP v1", zoh, v1_relay.port, (3, 9, 14))):
            for t in sleeps:
                slow = b.run(setting, target, "(Remote iid (Sleep %d) 1)\n" % t)
                print("(Remote iid (Sleep %d) 1) over %-12s %6.2f s (%.2f s past the sleep)" % (t, name, slow, slow - t))
    finally:
        b.finish()


if __name__ == "__main__":
    main(sys.argv[1:])
