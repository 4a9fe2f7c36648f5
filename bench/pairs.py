"""Paired runs and table rows for the benchmark scripts (bench/table.py
reads the rows).

  alternate(ours, peer)   runs ours() and peer() in turn, REPEATS times each
                          (A B A B ...); each returns its seconds
  process(cmd, ...)       the seconds of one whole process
  row(...)                prints the ROW line of a comparison
  numpy()                 numpy, starting the script again under Debian's own
                          python3 when the running one lacks it

QNMX_BENCH_REPEATS sets the number of pairs (default 5, at least 1)."""
import os
import subprocess
import sys
import tempfile
import time


def repeats():
    try:
        n = int(os.environ.get("QNMX_BENCH_REPEATS", "5"))
    except ValueError:
        n = 5
    return max(n, 1)


def alternate(ours, peer, n=None, between=None):
    """Our and the peer's seconds of n pairs, each pair ours() then peer();
    between(), when given, runs before every run (untimed)."""
    a, b = [], []
    for _ in range(n or repeats()):
        for side, out in ((ours, a), (peer, b)):
            if between:
                between()
            out.append(side())
    return a, b


class Failed(Exception):
    pass


def process(cmd, cwd=None, env=None, stdin=None, stdout=None, usage=None):
    """Seconds of the whole process cmd (a list); stdin and stdout are paths
    (or None: nothing in, output thrown away). Raises Failed when it
    fails. A dict given as usage gets "rss_mib", the process's peak
    resident size, measured by time(1) (a child forked from this process
    would count this process's pages as its own); give one to both sides
    of a pair, so that both carry time(1)'s start."""
    fin = open(stdin, "rb") if stdin else subprocess.DEVNULL
    fout = open(stdout, "wb") if stdout else subprocess.DEVNULL
    rss, name = None, os.path.basename(cmd[0])
    if usage is not None:
        fd, rss = tempfile.mkstemp(prefix="rss")
        os.close(fd)
        cmd = ["/usr/bin/time", "-f", "%M", "-o", rss] + list(cmd)
    try:
        t = time.perf_counter()
        p = subprocess.run(cmd, cwd=cwd, env=env, stdin=fin, stdout=fout, stderr=subprocess.PIPE)
        took = time.perf_counter() - t
    finally:
        for f in (fin, fout):
            if f is not subprocess.DEVNULL:
                f.close()
    if rss:
        with open(rss) as f:
            words = f.read().split()
        os.unlink(rss)
        usage["rss_mib"] = int(words[-1]) / 1024 if words and words[-1].isdigit() else float("nan")
    if p.returncode != 0:
        raise Failed("%s failed (exit %d): %s" % (name, p.returncode,
                                                  p.stderr.decode(errors="replace")[-300:].strip()))
    return took


def script(qnmx, zu, replies, cwd, env, what, usage=None):
    """Seconds of a qnmx process running the script zu with its replies in
    the file replies (both in cwd); Failed when a reply is an error."""
    took = process([qnmx, zu, replies], cwd=cwd, env=env, usage=usage)
    with open(os.path.join(cwd, replies), errors="replace") as f:
        if "#error" in f.read():
            raise Failed("%s gave an error" % what)
    return took


def remove(folder, *names):
    """Removes the files names of folder that exist."""
    for name in names:
        if os.path.exists(os.path.join(folder, name)):
            os.unlink(os.path.join(folder, name))


def shell(script, cwd=None, env=None):
    """Seconds of a shell command line (for a peer that is a pipeline)."""
    return process(["sh", "-c", script], cwd=cwd, env=env)


def clean(text):
    return " ".join(str(text).replace("|", "/").split())


def row(rid, path, peer, ours_does, peer_does, how, aim, ours, theirs, out=None):
    """Prints the ROW line: theirs is a list of seconds, or a string
    ("missing: why", or "-" for a row judged on our figure alone)."""
    def times(v):
        return v if isinstance(v, str) else ",".join("%.6g" % x for x in v)
    fields = [rid, path, peer, ours_does, peer_does, how, aim, times(ours), times(theirs)]
    print("ROW " + " | ".join(clean(f) for f in fields), file=out or sys.stdout, flush=True)


NGINX = '''
daemon off;
worker_processes {workers};
pid {dir}/nginx.pid;
error_log {dir}/error.log;
events {{ worker_connections 1024; }}
http {{
  access_log off;
  client_body_temp_path {dir}/body;
  proxy_temp_path {dir}/proxy;
  fastcgi_temp_path {dir}/fastcgi;
  uwsgi_temp_path {dir}/uwsgi;
  scgi_temp_path {dir}/scgi;
  default_type {mime};
  server {{
    listen 127.0.0.1:{port};
    keepalive_timeout {keepalive};
    root {dir}/www;
  }}
}}
'''


def nginx(folder, port, keepalive=0, workers="1", mime="application/octet-stream", name="nginx"):
    """Starts nginx serving folder/www on 127.0.0.1:port, its configuration
    (folder/NAME.conf), pid, log and temporary files in folder, which its
    workers must be able to read; the Popen, for the caller to stop."""
    conf = os.path.join(folder, name + ".conf")
    with open(conf, "w") as f:
        f.write(NGINX.format(dir=folder, port=port, keepalive=keepalive, workers=workers, mime=mime))
    return subprocess.Popen(["nginx", "-c", conf, "-p", folder], stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)


def numpy():
    """The numpy module. Debian's own python3 has it (python3-numpy) and need
    not be the first python3 on PATH: a script run by another that lacks it
    starts again there, with the same arguments."""
    try:
        import numpy as np
    except ImportError:
        if sys.executable != "/usr/bin/python3":
            os.execv("/usr/bin/python3", ["/usr/bin/python3"] + sys.argv)
        raise
    return np


def missing(tool, package):
    """The peer field of a row whose peer is not installed."""
    return "missing: %s is not installed (scripts/setup.sh installs %s)" % (tool, package)
