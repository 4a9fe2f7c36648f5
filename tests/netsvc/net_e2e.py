#!/usr/bin/env python3
"""Harness of the network services' end-to-end tests: qnmx processes on
scripts with free ports of 127.0.0.1 handed over as arguments after "/"
(read with `Arg`), outside tools under timeout(1), every output kept in a
work folder (left in place when a check fails), descriptor counts from
/proc/PID/fd. Nothing but 127.0.0.1 is spoken to."""
import os
import random
import re
import resource
import shutil
import socket
import subprocess
import sys
import tempfile
import time


def free_port():
    """A port nothing listens on, for a server the test starts next. Drawn
    below the kernel's ephemeral range (32768 and up), so the outgoing
    connections of tests running at the same time cannot take it between
    this check and the server's bind."""
    rng = random.SystemRandom()
    for _ in range(200):
        port = rng.randrange(20000, 32700)
        with socket.socket() as s:
            try:
                s.bind(("127.0.0.1", port))
            except OSError:
                continue
            return port
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def listening(port):
    """Whether something listens on port, read from /proc/net/tcp so that no
    probe connection disturbs the listener."""
    with open("/proc/net/tcp") as f:
        return any(l.split()[1].endswith(":%04X" % port) and l.split()[3] == "0A" for l in f.readlines()[1:])


def wait_for(cond, limit):
    end = time.time() + limit
    while not cond():
        if time.time() > end:
            return False
        time.sleep(0.05)
    return True


def zu_string(s):
    """A ZU string literal of s (the reader takes "&" as a reference)."""
    return '"' + s.replace("\\", "\\\\").replace('"', '\\"').replace("&", "&amp;") + '"'


def printed_string(text):
    m = re.fullmatch(r'"((?:[^"\\]|\\.)*)"', text, re.S)
    return re.sub(r"\\(.)", r"\1", m.group(1), flags=re.S) if m else None


class Agent:
    """qnmx on one script; replies in NAME.out, errors in NAME.err."""

    def __init__(self, run, name, script, args, nofile):
        self.out, err = (os.path.join(run.work, name + x) for x in (".out", ".err"))
        with open(os.path.join(run.work, name + ".zu"), "w") as f:
            f.write(script)
        pre = (lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (nofile, nofile))) if nofile else None
        self.proc = subprocess.Popen([run.qnmx, name + ".zu", self.out, err, "/"] + [str(a) for a in args],
                                     cwd=run.work, env=run.env, stdin=subprocess.DEVNULL,
                                     stdout=open(err + ".stdout", "wb"), stderr=subprocess.STDOUT, preexec_fn=pre)

    def replies(self):
        try:
            raw = re.sub(rb"&cx[0-9a-f]+;\n?", b"", open(self.out, "rb").read())
        except OSError:
            return []
        return [v.decode("utf-8", "replace") for v in re.findall(rb"<Result> \d+ (.*?)</Result>\n", raw, re.S)]

    def wait_replies(self, n, limit=30):
        wait_for(lambda: len(self.replies()) >= n or self.proc.poll() is not None, limit)
        return self.replies()[:n]

    def fds(self):
        return len(os.listdir("/proc/%d/fd" % self.proc.pid)) if self.alive() else -1

    def alive(self):
        return self.proc.poll() is None

    def wait_exit(self, limit=30):
        try:
            return self.proc.wait(timeout=limit)
        except subprocess.TimeoutExpired:
            return None

    def stop(self, sig=15):
        if self.alive():
            self.proc.send_signal(sig)
            if self.wait_exit(10) is None:
                self.proc.kill()
        self.proc.wait()


class Run:
    """One group of checks: its work folder, processes and tally."""

    def __init__(self, qnmx, group):
        self.qnmx, self.group = os.path.realpath(qnmx), group
        self.work = tempfile.mkdtemp(prefix="qnmx_net_%s_" % group)
        self.env = dict(os.environ, HOME=self.work, STD_CODE="UTF-8")
        self.env.pop("ZUPATH", None)
        self.procs, self.passed, self.failed = [], 0, []
        hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
        resource.setrlimit(resource.RLIMIT_NOFILE, (min(8192, hard), hard))

    def check(self, cond, what):
        self.passed += bool(cond)
        if not cond:
            self.failed.append(what)
            print("FAIL:", what)
        return cond

    def agent(self, name, script, args=(), nofile=None):
        self.procs.append(Agent(self, name, script, list(args), nofile))
        return self.procs[-1]

    def log(self, args):
        name = "%d.%s" % (len(os.listdir(self.work)), os.path.basename(args[0]))
        return open(os.path.join(self.work, name), "wb")

    def tool(self, args, data=b"", limit=10):
        """Runs an outside program under timeout(1): (status, stdout)."""
        if not self.check(shutil.which(args[0]), "%s is installed (scripts/setup.sh)" % args[0]):
            return 127, b""
        r = subprocess.run(["timeout", str(limit)] + args, input=data, capture_output=True)
        self.log(args).write(" ".join(args).encode() + b"\n" + r.stdout + b"\n--- stderr\n" + r.stderr)
        return r.returncode, r.stdout

    def spawn(self, args):
        """An outside program left running (a fake peer), under timeout(1)."""
        p = subprocess.Popen(["timeout", "60"] + args, cwd=self.work, stdin=subprocess.DEVNULL,
                             stdout=self.log(args), stderr=subprocess.STDOUT)
        self.procs.append(p)
        return p

    def finish(self):
        for p in self.procs:
            p.stop() if isinstance(p, Agent) else (p.kill(), p.wait())
        print("work folder kept:", self.work) if self.failed else shutil.rmtree(self.work, ignore_errors=True)
        print("%s: %d passed, %d failed" % (self.group, self.passed, len(self.failed)))
        sys.exit(1 if self.failed else 0)
