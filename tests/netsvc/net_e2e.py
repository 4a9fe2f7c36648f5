#!/usr/bin/env python3
"""Harness of the network services' end-to-end tests.

It starts `qnmx` processes on scripts (written into a work folder that is
kept when a check fails), picks free ports on 127.0.0.1 and hands them to
the scripts as arguments after "/" (read there with `Arg`), runs every
outside tool under timeout(1), keeps all output, and counts a process's
descriptors in /proc/PID/fd. Only 127.0.0.1 is ever spoken to.

    run = Run("group")
    srv = run.agent("srv", SCRIPT, [port])
    srv.wait_replies(1)
    rc, out, err = run.tool(["socat", ...], data=b"...")
    run.check(cond, "what")
    run.finish()      # prints "N passed, M failed" and exits
"""
import os
import re
import resource
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

REPLY = re.compile(rb"<Result> (\d+) (.*?)</Result>\n", re.S)


def free_port():
    """A port on 127.0.0.1 that nothing listens on just now."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def listening(port):
    """True when something listens on port (read from /proc/net/tcp, so
    that no probe connection disturbs the listener)."""
    want = ":%04X" % port
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(table) as f:
                for line in f.readlines()[1:]:
                    fields = line.split()
                    if fields[1].endswith(want) and fields[3] == "0A":
                        return True
        except OSError:
            pass
    return False


def wait_for(cond, limit):
    end = time.time() + limit
    while time.time() < end:
        if cond():
            return True
        time.sleep(0.05)
    return cond()


def zu_string(s):
    """A ZU string literal of s (the reader takes "&" as a reference)."""
    return '"' + s.replace("\\", "\\\\").replace('"', '\\"').replace("&", "&amp;") + '"'


def printed_string(text):
    """The text of a string as a reply prints it, or None."""
    m = re.fullmatch(r'"((?:[^"\\]|\\.)*)"', text, re.S)
    return re.sub(r"\\(.)", r"\1", m.group(1), flags=re.S) if m else None


class Agent:
    """A qnmx process running one script; replies go to NAME.out, the error
    stream to NAME.err, both kept in the work folder."""

    def __init__(self, run, name, script, args, nofile):
        self.run, self.name = run, name
        self.script = os.path.join(run.work, name + ".zu")
        with open(self.script, "w") as f:
            f.write(script)
        self.out = os.path.join(run.work, name + ".out")
        self.err = os.path.join(run.work, name + ".err")
        pre = None
        if nofile:
            pre = lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (nofile, nofile))
        self.proc = subprocess.Popen([run.qnmx, self.script, self.out, self.err, "/"] + [str(a) for a in args],
                                     cwd=run.work, env=run.env, stdin=subprocess.DEVNULL,
                                     stdout=open(self.err + ".stdout", "wb"), stderr=subprocess.STDOUT,
                                     preexec_fn=pre)
        self.pid = self.proc.pid

    def replies(self):
        """The replies written so far, as (sequence number, text)."""
        try:
            with open(self.out, "rb") as f:
                raw = f.read()
        except OSError:
            return []
        raw = re.sub(rb"&cx[0-9a-f]+;\n?", b"", raw)
        return [(int(n), v.decode("utf-8", "replace")) for n, v in REPLY.findall(raw)]

    def wait_replies(self, n, limit=30):
        """The first n replies, waiting for them; fewer when they do not come."""
        wait_for(lambda: len(self.replies()) >= n or self.proc.poll() is not None, limit)
        return [v for _, v in self.replies()[:n]]

    def fds(self):
        try:
            return len(os.listdir("/proc/%d/fd" % self.pid))
        except OSError:
            return -1

    def alive(self):
        return self.proc.poll() is None

    def wait_exit(self, limit=30):
        try:
            return self.proc.wait(timeout=limit)
        except subprocess.TimeoutExpired:
            return None

    def stop(self, sig=signal.SIGTERM):
        if self.alive():
            self.proc.send_signal(sig)
            if self.wait_exit(10) is None:
                self.proc.kill()
                self.proc.wait()


class Run:
    """One group of checks with its work folder and processes."""

    def __init__(self, qnmx, group):
        self.qnmx, self.group = os.path.realpath(qnmx), group
        self.work = tempfile.mkdtemp(prefix="qnmx_net_%s_" % group)
        self.env = {k: v for k, v in os.environ.items() if k != "ZUPATH"}
        self.env.update(HOME=self.work, STD_CODE="UTF-8")
        self.agents = []
        self.passed, self.failed = 0, []
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (min(8192, hard), hard))

    def check(self, cond, what):
        if cond:
            self.passed += 1
        else:
            self.failed.append(what)
            print("FAIL:", what)
        return cond

    def agent(self, name, script, args=(), nofile=None):
        a = Agent(self, name, script, list(args), nofile)
        self.agents.append(a)
        return a

    def tool(self, args, data=b"", limit=10):
        """Runs an outside program under timeout(1); (status, stdout, stderr),
        both outputs also kept in the work folder."""
        if not shutil.which(args[0]):
            self.check(False, "%s is not installed (scripts/setup.sh installs it)" % args[0])
            return 127, b"", b""
        r = subprocess.run(["timeout", str(limit)] + args, input=data, capture_output=True)
        n = len(os.listdir(self.work))
        with open(os.path.join(self.work, "tool%d.%s.out" % (n, os.path.basename(args[0]))), "wb") as f:
            f.write(b" ".join(a.encode() for a in args) + b"\n" + r.stdout + b"\n--- stderr\n" + r.stderr)
        return r.returncode, r.stdout, r.stderr

    def spawn(self, args):
        """An outside program left running (a fake peer), under timeout(1)."""
        n = len(os.listdir(self.work))
        log = open(os.path.join(self.work, "spawn%d.%s.log" % (n, os.path.basename(args[0]))), "wb")
        return subprocess.Popen(["timeout", "60"] + args, cwd=self.work, stdin=subprocess.DEVNULL,
                                stdout=log, stderr=subprocess.STDOUT)

    def finish(self):
        for a in self.agents:
            a.stop()
        if self.failed:
            print("work folder kept:", self.work)
        else:
            shutil.rmtree(self.work, ignore_errors=True)
        print("%s: %d passed, %d failed" % (self.group, self.passed, len(self.failed)))
        sys.exit(1 if self.failed else 0)
