#!/usr/bin/env python3
"""The cost of authenticating a peer: Get latency over loopback line links
to one listening qnmx for a document with no access file, one that asks for
fix-user-passwd and one that asks for localhost-root, all in one run:
auth_get_peers.py BUILD-DIR [ROUNDS] (a release build as `make bench`
makes it; 300 rounds per case by default).

A Python peer asks for the top node of a small matrix on a fresh link each
round (connect, admission, Get, the authentication's question and answer
when one comes, the node) and on a kept link (the link's result is then
held and nothing is asked); it answers the question itself, reading the
key file for localhost-root. (+ 1 2) on a kept link is the round trip that
the costs are counted in. A second qnmx as the peer (its Get through
Remote on fresh links, a script of ROUNDS links per case) gives the whole
cost with the client's side included."""
import os
import re
import shutil
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "agent"))
from qmx_cli import free_port, listening, matrix, wait_for  # noqa: E402

PASSWD = "bench-passwd"


class Peer:
    """A line link that answers the authentication's question itself."""

    def __init__(self, port, site):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=60)
        self.site, self.buf, self.lines = site, b"", 0
        self.sock.sendall(b"\n")
        self.until(b"</Permission>\n")

    def until(self, mark):
        while mark not in self.buf:
            chunk = self.sock.recv(1 << 16)
            if not chunk:
                raise ConnectionError("the agent closed the link")
            self.buf += chunk
        i = self.buf.index(mark) + len(mark)
        head, self.buf = self.buf[:i], self.buf[i:]
        self.lines += head.count(b"\n")
        return head

    def answer(self, question, line):
        name = re.search(rb'filename="([0-9]+)"', question)
        if name:
            with open(b"/tmp/" + name[1], "rb") as f:
                key = struct.unpack("=I", f.read(4))[0]
            entry = (f'(service name="SERVICE://{self.site}/lr" type="localhost-root" status="32" '
                     f'filename="{name[1].decode()}" key="{key}")')
        else:
            entry = (f'(service name="SERVICE://{self.site}/pw" type="fix-user-passwd" status="32" user="bench" '
                     f'passwd="{PASSWD}")')
        self.sock.sendall(f'<Result> {line} (result-list type="and" {entry})</Result>\n'.encode())

    def fill(self):
        chunk = self.sock.recv(1 << 16)
        if not chunk:
            raise ConnectionError("the agent closed the link")
        self.buf += chunk

    def ask(self, form):
        """Sends form and answers questions until its result: (result, raw
        bytes or None)."""
        self.sock.sendall(form.encode() + b"\n")
        while True:
            while len(self.buf) < 10:
                self.fill()
            if self.buf.startswith(b"\n"):  # a keep-alive
                self.until(b"\n")
            elif self.buf.startswith(b"(LocalEval"):
                line = self.lines + 1
                self.answer(self.until(b"\n"), line)
            else:
                self.until(b"<Result> ")
                self.until(b" ")
                while len(self.buf) < 18 and b"</Result>\n" not in self.buf:
                    self.fill()
                m = re.match(rb"#([0-9a-f]{1,16})#", self.buf)
                raw = None
                if m:
                    n = int(m[1], 16)
                    while len(self.buf) < m.end() + n:
                        self.fill()
                    raw = self.buf[m.end():m.end() + n]
                    self.lines += raw.count(b"\n")
                    self.buf = self.buf[m.end() + n:]
                return self.until(b"</Result>\n"), raw

    def close(self):
        self.sock.close()


def timed(fn, rounds):
    t = []
    for _ in range(rounds):
        s = time.perf_counter()
        fn()
        t.append(time.perf_counter() - s)
    return statistics.median(t) * 1e6


def main(argv):
    build = argv[0] if argv else "build/bench"
    rounds = int(argv[1]) if len(argv) > 1 else 300
    qnmx = os.path.realpath(os.path.join(build, "src", "app", "qnmx"))
    if not shutil.which("ppmpat"):
        sys.exit("auth_get_peers: ppmpat is missing (scripts/setup.sh installs netpbm)")
    with tempfile.TemporaryDirectory(prefix="authbench", dir=os.environ.get("TMPDIR", "/var/tmp")) as work:
        env = {k: v for k, v in os.environ.items() if k != "QNMX_TRACE"}
        env.update(HOME=work, STD_CODE="UTF-8")
        setup = ['(SetThisAgentName "qnmx")', f'(SetDirectory url="/" "{work}/db/")',
                 '(SetPrefixMode ".lod" "qnmx" "lod" "Get")']
        with open(os.path.join(work, "g.ppm"), "wb") as f:
            f.write(subprocess.run(["ppmpat", "-g2", "64", "64"], capture_output=True, check=True).stdout)
        rules = {"open": "", "pw": f'(service name="pw" type="fix-user-passwd" user="bench" passwd="{PASSWD}") '
                                   '(target prefix=".lod" "pw")',
                 "lr": '(service name="lr" type="localhost-root") (target prefix=".lod" "lr")'}
        make = list(setup)
        for i, d in enumerate(rules):
            os.makedirs(os.path.join(work, "db", "zudocs", d))
            make += [matrix(os.path.join(work, "db", "zudocs", d, "m.lod"), (64, 64), mode="server"),
                     f'(qmxImportPNM id="{i + 1}" "g.ppm" 0 0 0 0)']
        with open(os.path.join(work, "make.zu"), "w") as f:
            f.write("\n".join(make) + "\n")
        subprocess.run([qnmx, "make.zu", "-"], cwd=work, env=env, capture_output=True, check=True)
        for d, body in rules.items():
            if body:
                with open(os.path.join(work, "db", "zudocs", d, ".zuaccess"), "w") as f:
                    f.write(f"(?zu)\n(zuaccess {body})\n")
        with open(os.path.join(work, "site.zu"), "w") as f:
            f.write("(GetLocalHostName)\n")
        site = subprocess.run([qnmx, "site.zu", "-"], env=env, capture_output=True, cwd=work).stdout.decode()
        site = re.search(r'"([^"]*)"', site)[1]
        port = free_port()
        accept = ('(SetMainInterpreter (OpenInterpreter "accept" Env0 (Port (Cast type="integer" (Arg 1))) '
                  '(Permission () (Allow "ip" "127.0.0.1" "255.255.255.255"))))')
        with open(os.path.join(work, "serve.zu"), "w") as f:
            f.write("\n".join(setup + [accept]) + "\n")
        server = subprocess.Popen([qnmx, "serve.zu", "serve.out", "serve.err", "/", str(port)], cwd=work, env=env,
                                  stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            if not wait_for(lambda: listening(port), 30):
                sys.exit("auth_get_peers: the agent does not listen")
            # A kept link per case: its first Get opens the matrix and is
            # answered, so the link holds its result from then on.
            kept = {d: Peer(port, site) for d in rules}
            for d, p in kept.items():
                p.ask(f'(Get "/{d}/m.lod" (List 0 0 0))')
            plain = Peer(port, site)
            rt = timed(lambda: plain.ask("(+ 1 2)"), rounds)

            def fresh(d):
                p = Peer(port, site)
                _, raw = p.ask(f'(Get "/{d}/m.lod" (List 0 0 0))')
                p.close()
                if raw is None:
                    sys.exit(f"auth_get_peers: no node from /{d}/m.lod: {_[:400]}")

            print(f"Get of a matrix's top node over loopback line links, median of {rounds} rounds;"
                  f" the link's round trip ((+ 1 2), kept link): {rt:.0f} us")
            base = None
            for d, what in (("open", "no access file"), ("pw", "fix-user-passwd"), ("lr", "localhost-root")):
                f = timed(lambda: fresh(d), rounds)
                k = timed(lambda: kept[d].ask(f'(Get "/{d}/m.lod" (List 0 0 0))'), rounds)
                base = base if base is not None else f
                print(f"  {what:16s} fresh link {f:7.0f} us ({(f - base) / rt:+.2f} round trips),"
                      f" kept link {k:6.0f} us")
            for p in list(kept.values()) + [plain]:
                p.close()
            whole(qnmx, work, env, port, site, rounds)
        finally:
            server.kill()
            server.wait()


def whole(qnmx, work, env, port, site, rounds):
    """A second qnmx as the peer: ROUNDS fresh links per case, the script's
    time apart from the same links asking (+ 1 2)."""
    d = os.path.join(work, ".pzuconf", "authentification", "clientresult")
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "r.zu"), "w") as f:
        f.write(f'(?zu)\n(r (service result="on" type="fix-user-passwd" name="SERVICE://{site}/pw" user="bench" '
                f'passwd="{PASSWD}"))\n')
    connect = f'(define iid (OpenInterpreter "connect" Env0 (HostName "127.0.0.1") (Port {port})))\n'

    def run(form):
        with open(os.path.join(work, "c.zu"), "w") as f:
            f.write((connect + f"(Remote iid {form})\n(CloseInterpreter iid)\n") * rounds)
        s = time.perf_counter()
        subprocess.run([qnmx, "c.zu", "c.out", "-"], cwd=work, env=env, capture_output=True, check=True)
        if "#error" in open(os.path.join(work, "c.out"), errors="replace").read():
            sys.exit(f"auth_get_peers: the qnmx peer got an error for {form}")
        return (time.perf_counter() - s) / rounds * 1e6

    # The round trip between two qnmx: (+ 1 2) asked many times on one link
    # against once.
    def one_link(n):
        with open(os.path.join(work, "k.zu"), "w") as f:
            f.write(connect + "(Remote iid (+ 1 2))\n" * n + "(CloseInterpreter iid)\n")
        s = time.perf_counter()
        subprocess.run([qnmx, "k.zu", "k.out", "-"], cwd=work, env=env, capture_output=True, check=True)
        return (time.perf_counter() - s) * 1e6

    many = rounds * 10
    rt = (one_link(many) - one_link(1)) / (many - 1)
    print(f"qnmx as the peer, per fresh link (script time / {rounds}); round trip on a kept link {rt:.0f} us")
    base = None
    for dname, what in (("open", "no access file"), ("pw", "fix-user-passwd"), ("lr", "localhost-root")):
        t = run(f'(Get "/{dname}/m.lod" (List 0 0 0))')
        base = base if base is not None else t
        print(f"  {what:16s} {t:7.0f} us ({(t - base) / rt:+.2f} round trips)")


if __name__ == "__main__":
    main(sys.argv[1:])
