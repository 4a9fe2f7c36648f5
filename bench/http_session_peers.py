#!/usr/bin/env python3
"""http sessions against one curl process, in the same run:
http_session_peers.py BUILD-DIR (a release build, as `make bench` makes it).

A 100 KB file is fetched 500 times in sequence from python3 -m
http.server and from nginx (keepalive_timeout 0: a connection per
request, as the sessions make), once by a qnmx script whose 500
RemoteSession calls are each waited for, each reply's whole body read
into a raw value (the replies print each body's size, which is checked),
once by one curl process given the same 500 URLs (HTTP/1.0, each body
written to /dev/null). Both sides are whole processes; the pairs
alternate. Prints one ROW line per server."""
import os
import shutil
import subprocess
import sys
import tempfile

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, here)
sys.path.insert(0, os.path.join(here, "..", "tests", "netsvc"))
import pairs  # noqa: E402
from net_e2e import free_port, listening, wait_for  # noqa: E402

N = 500
SIZE = 100 * 1024


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/bench")
    qnmx = os.path.join(build, "src", "app", "qnmx")
    work = tempfile.mkdtemp(prefix="qnmx_http_session_bench_")
    os.chmod(work, 0o755)  # nginx's workers read the file as another user
    www = os.path.join(work, "www")
    os.makedirs(www)
    with open(os.path.join(www, "f.bin"), "wb") as f:
        f.write(os.urandom(SIZE))
    env = dict(os.environ, HOME=work, STD_CODE="UTF-8")
    procs = []
    servers = []
    try:
        p = free_port()
        procs.append(subprocess.Popen([sys.executable, "-m", "http.server", "--bind", "127.0.0.1", "--directory", www,
                                       str(p)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        servers.append(("python", "python3 -m http.server", p))
        if shutil.which("nginx"):
            q = free_port()
            procs.append(pairs.nginx(work, q))
            servers.append(("nginx", "nginx (keepalive_timeout 0)", q))
        else:
            pairs.row("http_session.nginx", "http sessions: 500 sequential fetches of 100 KB", "curl", "-", "-", "-",
                      "-", [], pairs.missing("nginx", "nginx-light"))
        for rid, name, port in servers:
            if not wait_for(lambda: listening(port), 20):
                sys.exit("%s did not start" % name)
            url = "http://127.0.0.1:%d/f.bin" % port
            script = os.path.join(work, "fetch_%s.zu" % rid)
            with open(script, "w") as f:
                f.write("(Define s (OpenSession))\n")
                f.write('(car (cdr (RemoteSession s (URL "%s") (get "/f.bin"))))\n' % url * N)
            urls = os.path.join(work, "urls_%s.txt" % rid)
            with open(urls, "w") as f:
                f.write('url = "%s"\noutput = "/dev/null"\n' % url * N)
            path = "http sessions: 500 sequential fetches of a 100 KB file from " + name
            if not shutil.which("curl"):
                pairs.row("http_session." + rid, path, "curl", "-", "-", "-", "-", [], pairs.missing("curl", "curl"))
                continue
            replies = os.path.join(work, "replies_%s.txt" % rid)

            def ours():
                t = pairs.process([qnmx, script, replies, "/dev/null"], cwd=work, env=env)
                with open(replies, errors="replace") as f:
                    bodies = f.read().count(" #%x#]</Result>" % SIZE)
                if bodies != N:
                    raise pairs.Failed("%d of %d replies were the whole body" % (bodies, N))
                return t

            try:
                a, b = pairs.alternate(ours, lambda: pairs.process(["curl", "-s", "-S", "--http1.0", "-K", urls],
                                                                   cwd=work))
            except pairs.Failed as e:
                pairs.row("http_session." + rid, path, "curl", "-", "-", "processes", "-", "failed: %s" % e, "-")
                continue
            pairs.row("http_session." + rid, path, "curl (one process)",
                      "a qnmx script: 500 (car (cdr (RemoteSession s (URL u) (get path)))), each waited for, "
                      "each body read whole into a raw value",
                      "one curl process given the 500 URLs (HTTP/1.0, -o /dev/null each)", "processes", "-", a, b)
    finally:
        for proc in procs:
            proc.terminate()
            proc.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
