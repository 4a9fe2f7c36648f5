#!/usr/bin/env python3
"""The program's own http session posts to the HTTP agent of the examples:
a row of the peer accounts' table (peer_account_test.py), or alone as
session_post_test.py <qnmx>.

qnmx serves examples/http.zu (its POST answers the size of the body) with
its listener opened to every 127.x address. A qnmx client posts a
printed string through a session; curl posts the same bytes (the printed
string and its line end) as the independent client, and both must be
answered with the size. A newcomer from another address is served
afterwards."""
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
from checks import check, failures, free_port, listening, start, stop, wait_until  # noqa: E402

EXAMPLE = os.path.join(HERE, "..", "..", "examples", "http.zu")


def curl(port, path, *args, source="127.0.0.1"):
    r = subprocess.run(["curl", "--noproxy", "*", "-sS", "--interface", source, "-w", " %{http_code}"] + list(args) +
                       ["http://127.0.0.1:%d%s" % (port, path)], capture_output=True, timeout=60)
    return r.stdout


def row_session_post(qnmx, work):
    """A session's POST of (post "/sum" "abcdefghij") is answered as curl's
    POST of the same 13 bytes is; a newcomer from 127.0.0.9 is served.
    Whether the row held."""
    env = dict(os.environ, HOME=work, STD_CODE="UTF-8")
    env.pop("ZUPATH", None)
    with open(EXAMPLE) as f:
        script = f.read().replace('"127.0.0.1" "255.255.255.255"', '"127.0.0.0" "255.0.0.0"')
    with open(os.path.join(work, "http.zu"), "w") as f:
        f.write(script)
    port = free_port()
    drv = start([qnmx, "http.zu", "http.out", "/", str(port)], cwd=work, env=env,
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    held = True
    try:
        if not check(wait_until(lambda: listening(port), 60), "the agent listens"):
            return False
        held &= check(curl(port, "/sum", "--data-binary", '"abcdefghij"\n') == b"13 200", "curl's POST of 13 bytes")
        with open(os.path.join(work, "client.zu"), "w") as f:
            f.write('(Define s (OpenSession))\n'
                    '(RemoteSession s (URL "http://127.0.0.1:%d/sum") (post "/sum" "abcdefghij"))\n' % port)
        r = subprocess.run([qnmx, "client.zu", "client.out"], cwd=work, env=env, capture_output=True, timeout=120)
        with open(os.path.join(work, "client.out"), encoding="utf-8", errors="replace") as f:
            out = f.read()
        held &= check(r.returncode == 0 and "(text/html (13))" in out and "#error" not in out,
                      "the session's POST is answered with its size: %r" % out[-300:])
        held &= check(curl(port, "/hello", source="127.0.0.9") == b"<p>hello from qnmx</p> 200",
                      "a newcomer from another address is served")
    finally:
        stop(drv, limit=60)
    return held


if __name__ == "__main__":
    work = tempfile.mkdtemp(prefix="qnmx_session_post_")
    try:
        row_session_post(os.path.realpath(sys.argv[1]), work)
    finally:
        if failures:
            print("work left in", work)
        else:
            shutil.rmtree(work, ignore_errors=True)
    sys.exit(1 if failures else 0)
