#!/usr/bin/env python3
"""ZUoHTTP clients from outside: zuohttp_client_test.py QNMX GROUP.

A qnmx server listens on every address with an Allow rule for 127.0.0.0/8
and is reached as 127.0.0.2 (127.0.0.1 would be reached directly whatever
the proxy setting). Every process runs under timeout(1), in a process group
of its own that the test ends.

v2        (SetProxy type="ZUoHTTP"): the probe, Remote with a nested Local,
          a 1 MB string there and back (also over upload bodies of 4000
          bytes)
v1        a stand-in that answers the probe as a version-1 server and
          relays the rest: Remote, 1 MB, keep-alive off (one connection per
          message)
proxy     versions 2 and 1 through tinyproxy, its log showing the requests
chunked   a fake server answering in chunks that cut the 12-byte header in
          three; a chunk size too large for any body
failures  two connects at once send one probe; a server killed in the middle
          of a Remote; a server that never answers, dropped by the guard
secrets   a passwd= value crosses both versions, with and without
          QNMX_TRACE, and shows in no output of either side
"""
import hashlib
import os
import random
import re
import shutil
import signal
import string
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from net_e2e import free_port, listening, wait_for  # noqa: E402
from zoh_peers import FakeV1, Relay, Silent  # noqa: E402
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from checks import check, failures, start, stop  # noqa: E402

QNMX, GROUP = os.path.realpath(sys.argv[1]), sys.argv[2]
WORK = tempfile.mkdtemp(prefix="qnmx_zohc_%s_" % GROUP)
STREAM_ERR = 2147748370
SERVER = ('(SetMainInterpreter (OpenInterpreter "accept" Env0 (Port (Cast type="integer" (Arg 1))) '
          '(Permission () (Allow "ip" "127.0.0.0" "255.0.0.0"))))\n')
procs = []


class Qnmx:
    """qnmx on a script under timeout(1): replies in NAME.out, errors in
    NAME.err, its standard streams in NAME.log."""

    def __init__(self, name, script, args=(), env=None, limit=120):
        self.name = name
        path = lambda x: os.path.join(WORK, name + x)  # noqa: E731
        with open(path(".zu"), "w") as f:
            f.write(script)
        self.files = [path(".out"), path(".err"), path(".log")]
        self.proc = start(["timeout", "-s", "KILL", str(limit), QNMX, name + ".zu", path(".out"),
                           path(".err"), "/"] + [str(a) for a in args],
                          cwd=WORK, env=dict(os.environ, HOME=WORK, STD_CODE="UTF-8", **(env or {})),
                          stdin=subprocess.DEVNULL, stdout=open(path(".log"), "wb"),
                          stderr=subprocess.STDOUT)
        procs.append(self)

    def text(self, i):
        try:
            return open(self.files[i], "rb").read().decode("utf-8", "replace")
        except OSError:
            return ""

    def replies(self):
        return re.findall(r"<Result> \d+ (.*?)</Result>\n", re.sub(r"&cx[0-9a-f]+;\n?", "", self.text(0)), re.S)

    def wait_replies(self, n, limit=60):
        wait_for(lambda: len(self.replies()) >= n or self.proc.poll() is not None, limit)
        return self.replies()

    def log(self):
        return self.text(2) + self.text(1)

    def pid(self):
        """The qnmx process under timeout(1)."""
        try:
            return int(open("/proc/%d/task/%d/children" % (self.proc.pid, self.proc.pid)).read().split()[0])
        except (OSError, IndexError):
            return None

    def wait(self, limit=60):
        try:
            return self.proc.wait(limit)
        except subprocess.TimeoutExpired:
            return None

    def stop(self):
        """Ends timeout(1) and qnmx under it (its process group)."""
        stop(self.proc, signal.SIGKILL)


def server(name="srv", env=None):
    port = free_port()
    s = Qnmx(name, SERVER, [port], env)
    check(wait_for(lambda: listening(port), 30), "%s listens" % name)
    return s, port


def connect(setting, port, host="127.0.0.2"):
    return ('%s\n(define iid (OpenInterpreter "connect" Env0 (HostName "%s") (Port %d)))\n' % (setting, host, port))


def is_error(reply, code):
    return reply.startswith("#error(%d " % code)


def big_string():
    return "".join(random.choice(string.ascii_letters + string.digits) for _ in range(1 << 20))


def sha(text):
    return hashlib.sha256(text.encode()).hexdigest()


def remote_checks(name, setting, port, big=True, env=None):
    """Remote with a nested Local, and a 1 MB string there and back; the
    client and its replies."""
    text = big_string() if big else "x"
    cli = Qnmx(name, connect(setting, port) + '(Remote iid (+ 1 2))\n(define mark 7)\n'
               '(Remote iid (list 5 (Local (list mark (+ 1 1)))))\n(Remote iid "%s")\n' % text, env=env)
    r = cli.wait_replies(6)
    check(r[:5] == ["()", "iid", "3", "mark", "(5 (7 2))"], "%s: Remote and Local: %r" % (name, r[:5]))
    got = r[5][1:-1] if len(r) > 5 else ""
    check(sha(got) == sha(text), "%s: the 1 MB string comes back (%d bytes)" % (name, len(got)))
    check(cli.wait() == 0, "%s: the client ends" % name)
    return cli


def group_v2():
    srv, port = server()
    cli = remote_checks("v2", '(SetProxy type="ZUoHTTP")', port)
    log = cli.log()
    check("   **** RETRY\n" in log and re.search(r"VERSION 127\.0\.0\.2\(0\):%d -> 2\n" % port, log),
          "v2: the probe and the retry: %r" % log[:400])
    # Upload bodies of 4000 bytes: what is written while one is complete
    # waits, and opens the next.
    remote_checks("v2_bodies", '(SetProxy type="ZUoHTTP")', port, env={"QNMX_ZOH_UPLOAD_BODY": "4000"})


def group_v1():
    srv, port = server()
    relay = Relay(port, v1=True)
    cli = remote_checks("v1", '(SetProxy type="ZUoHTTP")', relay.port)
    check(re.search(r"-> 1\n", cli.log()), "v1: the client uses version 1: %r" % cli.log()[:400])
    # Without keep-alive the server answers the open with type 2, and every
    # message has a connection of its own.
    before = relay.connections, relay.requests
    cli = Qnmx("v1_off", connect('(SetProxy type="ZUoHTTP" keep-alive="off")', relay.port) +
               "(Remote iid (+ 1 2))\n(Remote iid (* 6 7))\n")
    r = cli.wait_replies(4)
    check(r == ["()", "iid", "3", "42"] and cli.wait() == 0, "v1 keep-alive off: %r" % r)
    # The probe, then one connection a message.
    conns, reqs = relay.connections - before[0], relay.requests - before[1]
    check(reqs >= 4 and conns == reqs + 1, "v1 keep-alive off: %d connections for %d messages" % (conns, reqs))


def tinyproxy():
    if not check(shutil.which("tinyproxy"), "tinyproxy is installed (scripts/setup.sh)"):
        return None, None
    port, log = free_port(), os.path.join(WORK, "tinyproxy.log")
    conf = os.path.join(WORK, "tinyproxy.conf")
    with open(conf, "w") as f:
        f.write('Port %d\nListen 127.0.0.1\nTimeout 600\nLogFile "%s"\nLogLevel Connect\nMaxClients 100\n'
                'Allow 127.0.0.1\n' % (port, log))
    p = start(["timeout", "120", "tinyproxy", "-d", "-c", conf], stdout=subprocess.DEVNULL,
              stderr=subprocess.DEVNULL)
    procs.append(p)
    check(wait_for(lambda: listening(port), 30), "tinyproxy listens")
    return port, log


def group_proxy():
    proxy, log = tinyproxy()
    if not proxy:
        return
    srv, port = server()
    relay = Relay(port, v1=True)
    setting = '(SetProxy type="HTTPProxy" server="127.0.0.1" port="%d")' % proxy
    remote_checks("proxy_v2", setting, port, big=False)
    remote_checks("proxy_v1", setting, relay.port, big=False)
    lines = open(log, "rb").read().decode("latin-1")
    check(re.search(r"GET http://127\.0\.0\.2:%d/cgi-bin/download\.cgi HTTP/1\.0" % port, lines) and
          re.search(r"POST http://127\.0\.0\.2:%d/cgi-bin/upload\.cgi HTTP/1\.0" % port, lines),
          "tinyproxy carried the download and the uploads")
    # Numbered one after another (a poll and a message may pass each other).
    numbers = sorted(int(n) for n in re.findall(r"POST http://127\.0\.0\.2:%d/cgi-bin/zusv(\d+)\.cgi" % relay.port,
                                                lines))
    check(len(numbers) >= 4 and numbers == list(range(numbers[0], numbers[0] + len(numbers))),
          "tinyproxy carried numbered version-1 messages: %r" % numbers)


def group_chunked():
    fake = FakeV1(chunks=[4, 4, 4])
    cli = Qnmx("chunked", connect('(SetProxy type="ZUoHTTP")', fake.port) + "(Remote iid (+ 1 2))\n")
    r = cli.wait_replies(3)
    check(r == ["()", "iid", "42"], "an open answered in chunks that cut the header: %r" % r)
    cli.stop()
    bad = FakeV1(chunks=None, bad_size=b"FFFFFFFFF")
    cli = Qnmx("bad_chunk", connect('(SetProxy type="ZUoHTTP")', bad.port) + "(+ 1 2)\n")
    r = cli.wait_replies(3)
    check(len(r) == 3 and is_error(r[1], STREAM_ERR) and "cannot access the stream" in r[1] and r[2] == "3",
          "a chunk size of nine digits: %r" % r)
    check(cli.wait() == 0, "the client goes on and ends")


def established(port):
    """Connections to port on 127.0.0.2 still open on the client's side
    (established, or closed by the peer and not yet by the client)."""
    rows = [l.split() for l in open("/proc/net/tcp").readlines()[1:]]
    return [r for r in rows if r[2].endswith(":%04X" % port) and r[3] in ("01", "08")]


def group_failures():
    srv, port = server()
    relay = Relay(port, v1=False, delay=1.0)
    both = Qnmx("two", '(SetProxy type="ZUoHTTP")\n'
                '([define ignore.delay="1"] a (Thread (Remote (OpenInterpreter "connect" Env0 (HostName "127.0.0.2") '
                '(Port %d)) (+ 1 1))))\n(Remote (OpenInterpreter "connect" Env0 (HostName "127.0.0.2") (Port %d)) '
                '(+ 2 2))\na\n' % (relay.port, relay.port))
    r = both.wait_replies(4)
    check(r == ["()", "a", "4", "2"] and relay.probes == 1, "two connects at once: %r, %d probes" % (r, relay.probes))
    # The server killed while it runs a Remote: an error, and both
    # connections of the session closed.
    cli = Qnmx("killed", connect('(SetProxy type="ZUoHTTP")', port) + "(Remote iid (+ 1 2))\n"
               "(Remote iid (Sleep 30))\n(Sleep 30)\n")
    check(cli.wait_replies(3)[:3] == ["()", "iid", "3"] and len(established(port)) == 2,
          "a session of two connections: %r" % established(port))
    time.sleep(1)
    os.kill(srv.pid(), 9)
    t = time.time()
    r = cli.wait_replies(4, 20)
    check(len(r) == 4 and is_error(r[3], STREAM_ERR) and time.time() - t < 15, "killed server: %r" % r[3:])
    check(wait_for(lambda: not established(port), 10), "both connections closed: %r" % established(port))
    cli.stop()
    # A server that never answers: the probe gives up at the guard.
    silent = Silent()
    t = time.time()
    cli = Qnmx("silent", connect('(SetProxy type="ZUoHTTP")', silent.port),
               env={"QNMX_ZOH_REPLY_GUARD": "2"})
    r = cli.wait_replies(2, 30)
    check(len(r) == 2 and "cannot access the stream" in r[1] and time.time() - t < 15 and "   **** ERR 3\n" in cli.log(),
          "a server that never answers: %r after %.1f s" % (r, time.time() - t))


def group_secrets():
    srv_plain, port = server("srv_plain")
    srv_trace, trace_port = server("srv_trace", {"QNMX_TRACE": "1"})
    relays = {False: Relay(port), True: Relay(trace_port)}
    form = '(Remote iid (ListLength (quote (login passwd="s3cret" user="u"))))\n'
    clients = []
    for trace in (False, True):
        env = {"QNMX_TRACE": "1"} if trace else {}
        for version, target in ((2, trace_port if trace else port), (1, relays[trace].port)):
            cli = Qnmx("secret_v%d_%s" % (version, "trace" if trace else "plain"),
                       connect('(SetProxy type="ZUoHTTP")', target) + form, env=env)
            r = cli.wait_replies(3)
            check(r == ["()", "iid", "1"], "%s: the form crosses: %r" % (cli.name, r))
            cli.wait()
            clients.append(cli)
    traced = clients[2].log()
    # The version-2 stream dumps what it writes as >2> when it goes into an
    # upload at once and as >1> when it waits for the next upload; which one
    # depends on whether the upload task has opened its upload yet.
    check('passwd="****"' in traced and re.search(r"^>[12]> >> ", traced, re.M),
          "the traced dump masks the value: %r" % traced[-600:])
    for p in clients + [srv_plain, srv_trace]:
        p.stop()
        for i, f in enumerate(p.files):
            check("s3cret" not in p.text(i), "no password in %s" % os.path.basename(f))


def main():
    random.seed(42)
    try:
        {"v2": group_v2, "v1": group_v1, "proxy": group_proxy, "chunked": group_chunked, "failures": group_failures,
         "secrets": group_secrets}[GROUP]()
    finally:
        for p in procs:
            p.stop() if isinstance(p, Qnmx) else stop(p, signal.SIGKILL)
    print("work folder kept:", WORK) if failures else shutil.rmtree(WORK, ignore_errors=True)
    print("%s: %d failure(s)" % (GROUP, len(failures)) if failures else "%s: ok" % GROUP)
    sys.exit(1 if failures else 0)


main()
