#!/usr/bin/env python3
"""Remote node reads over loopback: Get requests per second from 1 and 8
Python clients on interpreter line links to one listening qnmx, in one
run: remote_get_peers.py BUILD-DIR [SECONDS] (a release build as `make
bench` makes it; 3 seconds per case by default).

The served matrix is 2048 x 2048 rgb8 in 256 x 256 nodes (64 level-0 nodes
of 256 KiB each in their transmitted form, a pyramid above them). Each
client asks, one request at a time, for level-0 nodes in turn, or for the
top node (16 bytes of data), or evaluates (+ 1 2): the last is the link's
own round trip, the reference the node reads are measured against."""
import multiprocessing
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "agent"))
from qmx_cli import THIN, Link, free_port, listening, matrix, wait_for  # noqa: E402

SIDE = 2048
SETUP = ['(SetThisAgentName "qnmx")', None, '(SetPrefixMode zusys="precedence" ".mx" "qnmx" "lod" "Get")']
ACCEPT = ('(SetMainInterpreter (OpenInterpreter "accept" Env0 (Port (Cast type="integer" (Arg 1))) '
          '(Permission () (Allow "ip" "127.0.0.1" "255.255.255.255"))))')


def client(args):
    """One client's loop: (requests, bytes received) within the time."""
    port, kind, seconds, start = args
    link = Link(port)
    forms = {"nodes": [f'(Get "/maps/m.mx" (List 0 {x * 256} {y * 256}))' for y in range(8) for x in range(8)],
             "top": ['(Get "/maps/m.mx" (List 11 0 0))'], "plus": ["(+ 1 2)"]}[kind]
    while time.time() < start:
        time.sleep(0.001)
    end, n, size, first = start + seconds, 0, 0, os.getpid() % len(forms)
    while time.time() < end:
        reply = link.ask(forms[(n + first) % len(forms)])
        if not isinstance(reply, bytes) and kind != "plus":
            raise SystemExit(f"remote_get_peers: {reply[:200]}")
        n, size = n + 1, size + len(reply)
    link.close()
    return n, size


def main(argv):
    build = argv[0] if argv else "build/bench"
    seconds = float(argv[1]) if len(argv) > 1 else 3.0
    qnmx = os.path.realpath(os.path.join(build, "src", "app", "qnmx"))
    if not shutil.which("ppmpat"):
        sys.exit("remote_get_peers: ppmpat is missing (scripts/setup.sh installs netpbm)")
    with tempfile.TemporaryDirectory(prefix="getbench", dir=os.environ.get("TMPDIR", "/var/tmp")) as work:
        env = {k: v for k, v in os.environ.items() if k != "QNMX_TRACE"}
        env.update(HOME=work, STD_CODE="UTF-8")
        os.makedirs(os.path.join(work, "db", "zusys", "maps"))
        with open(os.path.join(work, "g.ppm"), "wb") as f:
            f.write(subprocess.run(["ppmpat", "-g2", str(SIDE), str(SIDE)], capture_output=True, check=True).stdout)
        mx = os.path.join(work, "db", "zusys", "maps", "m.mx")
        make = [matrix(mx, (SIDE, SIDE), channels=(("rgb8_v", 'file="on" send="on"', "255"),), mode="server",
                       save_up=THIN), '(qmxImportPNM id="1" "g.ppm" 0 0 0 0)',
                f'(qmxScan id="1" area="21" call-dir="pre" (List 0 0 0) (List 0 {SIDE - 1} {SIDE - 1}))']
        with open(os.path.join(work, "make.zu"), "w") as f:
            f.write("\n".join(make) + "\n")
        subprocess.run([qnmx, "make.zu", "-"], cwd=work, env=env, capture_output=True, check=True)
        port = free_port()
        setup = [SETUP[0], f'(SetDirectory url="/" "{work}/db/")', SETUP[2], ACCEPT]
        with open(os.path.join(work, "serve.zu"), "w") as f:
            f.write("\n".join(setup) + "\n")
        server = subprocess.Popen([qnmx, "serve.zu", "serve.out", "serve.err", "/", str(port)], cwd=work, env=env,
                                  stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            if not wait_for(lambda: listening(port), 30):
                sys.exit("remote_get_peers: the agent does not listen")
            Link(port).ask('(Get "/maps/m.mx" (List 0 0 0))')  # opens the matrix
            print(f"Get over loopback line links, {SIDE} x {SIDE} rgb8 matrix, {seconds:.0f} s per case")
            for kind, what in (("plus", "(+ 1 2), the link's round trip"), ("top", "Get of the top node"),
                               ("nodes", "Get of level-0 nodes (256 KiB each)")):
                for clients in (1, 8):
                    start = time.time() + 0.5
                    with multiprocessing.Pool(clients) as pool:
                        got = pool.map(client, [(port, kind, seconds, start)] * clients)
                    n, size = sum(g[0] for g in got), sum(g[1] for g in got)
                    print(f"  {what}, {clients} client{'s' if clients > 1 else ''}: {n / seconds:.0f} requests/s"
                          + (f", {size / seconds / 2**20:.0f} MiB/s" if kind == "nodes" else ""))
        finally:
            server.kill()
            server.wait()


if __name__ == "__main__":
    main(sys.argv[1:])
