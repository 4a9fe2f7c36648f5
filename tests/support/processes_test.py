#!/usr/bin/env python3
"""The process helpers of checks.py: a script that starts processes leaves
none running, however it ends. Each case runs a small script that imports
checks, starts processes that write their pids to files, and ends in its own
way; then every one of those pids must be gone."""
import os
import shutil
import signal
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from checks import check, failures, wait_until  # noqa: E402

WORK = tempfile.mkdtemp(prefix="qnmx_procs_")
HEAD = "import os, subprocess, sys, time\nsys.path.insert(0, %r)\nfrom checks import start, stop\n" % HERE
# A shell that leaves a sleeper behind in its own group, and one that leaves
# the group (setsid) and is orphaned when the shell exits. A pid file is
# renamed into place once written, so that whoever sees it reads the pid.
PID_FILE = "echo {pid} > {name}.new && mv {name}.new {name}"
IN_GROUP = "sh -c 'sleep 600 & %s; wait'" % PID_FILE.format(pid="$!", name="{0}")
SETSID = "sh -c 'setsid sleep 600 & %s'" % PID_FILE.format(pid="$!", name="{0}")

CASES = [
    # (what, script body, how the script is ended)
    ("stop() ends what the process left in its group",
     "p = start(%r, shell=True)\nwhile not os.path.exists('a'): time.sleep(0.01)\nstop(p)\n"
     "open('stopped', 'w').write(str(p.pid))\ntime.sleep(600)\n" % (IN_GROUP.format("a")),
     "stopped"),
    ("a process under timeout(1), the script failing",
     "p = start(['timeout', '-s', 'KILL', '120', 'sh', '-c', %r])\n"
     "while not os.path.exists('a'): time.sleep(0.01)\nraise RuntimeError('a failed check')\n"
     % (PID_FILE.format(pid="$$", name="a") + "; exec sleep 600"),
     "exit"),
    ("an orphan that left its group, the script ending normally",
     "subprocess.run(%r, shell=True)\nwhile not os.path.exists('a'): time.sleep(0.01)\n" % (SETSID.format("a")),
     "exit"),
    ("the script ended by SIGTERM",
     "start(%r, shell=True)\nsubprocess.Popen(%r, shell=True)\ntime.sleep(600)\n" % (IN_GROUP.format("a"), IN_GROUP.format("b")),
     "sigterm"),
]


def alive(pid):
    """Whether pid runs (a zombie waiting for its parent does not)."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            stat = f.read()
    except OSError:
        return False
    return stat[stat.rindex(")") + 2] != "Z"


def pids(folder):
    return [int(open(os.path.join(folder, n)).read()) for n in ("a", "b") if os.path.exists(os.path.join(folder, n))]


def run_case(i, what, body, ending):
    folder = os.path.join(WORK, str(i))
    os.mkdir(folder)
    with open(os.path.join(folder, "s.py"), "w") as f:
        f.write(HEAD + body)
    script = subprocess.Popen([sys.executable, "s.py"], cwd=folder, stderr=subprocess.DEVNULL)
    if ending == "exit":
        script.wait(120)
    else:
        # Both shells of the SIGTERM case run at once: either may write first.
        marks = ["stopped"] if ending == "stopped" else ["a", "b"]
        check(wait_until(lambda: all(os.path.exists(os.path.join(folder, m)) for m in marks), 60),
              "%s: the script starts" % what)
        if ending == "stopped":
            left = [p for p in pids(folder) if alive(p)]
            check(not left, "%s: nothing of the group runs after stop(): %r" % (what, left))
        script.send_signal(signal.SIGTERM)
        script.wait(120)
    started = pids(folder)
    check(started, "%s: the processes wrote their pids" % what)
    check(wait_until(lambda: not any(alive(p) for p in started), 10),
          "%s: no process outlives the script: %r" % (what, [p for p in started if alive(p)]))


for i, case in enumerate(CASES):
    run_case(i, *case)
print("work folder kept:", WORK) if failures else shutil.rmtree(WORK, ignore_errors=True)
print("processes: %d case(s), %d failure(s)" % (len(CASES), len(failures)))
sys.exit(1 if failures else 0)
