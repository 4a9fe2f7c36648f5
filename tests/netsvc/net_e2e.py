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

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from checks import free_port, listening, start, start_lockd, stop  # noqa: E402,F401
from checks import wait_until as wait_for  # noqa: E402,F401
from zu_text import printed_string, zu_string  # noqa: E402,F401


class Agent:
    """qnmx on one script; replies in NAME.out, errors in NAME.err; fds
    are descriptors the agent inherits under their own numbers."""

    def __init__(self, run, name, script, args, nofile, fds=(), env=None, argv=None):
        self.out, err = (os.path.join(run.work, name + x) for x in (".out", ".err"))
        self.peak_kib = None
        with open(os.path.join(run.work, name + ".zu"), "w") as f:
            f.write(script)
        pre = (lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (nofile, nofile))) if nofile else None
        self.proc = start([*(argv or [run.qnmx]), name + ".zu", self.out, err, "/"] + [str(a) for a in args],
                          cwd=run.work, env=dict(run.env, **(env or {})), stdin=subprocess.DEVNULL,
                          stdout=open(err + ".stdout", "wb"), stderr=subprocess.STDOUT, preexec_fn=pre,
                          pass_fds=fds)

    def replies(self):
        try:
            raw = re.sub(rb"&cx[0-9a-f]+;\n?", b"", open(self.out, "rb").read())
        except OSError:
            return []
        return [v.decode("utf-8", "replace") for v in re.findall(rb"<Result> \d+ (.*?)</Result>\n", raw, re.S)]

    def wait_replies(self, n, limit=30):
        wait_for(lambda: len(self.replies()) >= n or not self.alive(), limit)
        return self.replies()[:n]

    def fds(self):
        return len(os.listdir("/proc/%d/fd" % self.proc.pid)) if self.alive() else -1

    def alive(self):
        """Whether the agent runs. One that has ended is reaped here, and
        leaves the peak resident size of its whole life in peak_kib."""
        if self.proc.returncode is None:
            try:
                pid, status, usage = os.wait4(self.proc.pid, os.WNOHANG)
            except ChildProcessError:
                return self.proc.poll() is None
            if pid:
                self.proc.returncode, self.peak_kib = os.waitstatus_to_exitcode(status), usage.ru_maxrss
        return self.proc.returncode is None

    def wait_exit(self, limit=30):
        """The exit status, None while the agent still runs after limit
        seconds."""
        wait_for(lambda: not self.alive(), limit)
        return self.proc.returncode

    def stop(self, sig=15):
        stop(self.proc, sig, 10)


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

    def agent(self, name, script, args=(), nofile=None, fds=(), env=None, argv=None):
        """argv (qnmx) and the script (env: variables added to its
        environment)."""
        self.procs.append(Agent(self, name, script, list(args), nofile, fds, env, argv))
        return self.procs[-1]

    def listening(self, name, script, env=None, nofile=None, argv=None):
        """An agent given a free port as its argument: (agent, port) once it
        listens there."""
        port = free_port()
        a = self.agent(name, script, [port], nofile, env=env, argv=argv)
        self.check(wait_for(lambda: listening(port) or not a.alive(), 60) and a.alive(), name + " listens")
        return a, port

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
        """An outside program left running (a fake peer), under timeout(1);
        stop() ends it."""
        p = start(["timeout", "60"] + args, cwd=self.work, stdin=subprocess.DEVNULL,
                  stdout=self.log(args), stderr=subprocess.STDOUT)
        self.procs.append(p)
        return p

    def finish(self):
        for p in self.procs:
            p.stop() if isinstance(p, Agent) else stop(p, 9)
        print("work folder kept:", self.work) if self.failed else shutil.rmtree(self.work, ignore_errors=True)
        print("%s: %d passed, %d failed" % (self.group, self.passed, len(self.failed)))
        sys.exit(1 if self.failed else 0)
