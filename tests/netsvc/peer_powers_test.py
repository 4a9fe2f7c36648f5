#!/usr/bin/env python3
"""What a peer can make the agent do, from outside: peer_powers_test.py
QNMX GROUP.

table    every route by which a peer reaches the agent against every power
own      what a peer may do only to its own: the agent's session and link
         refused to it, its own allowed; the options that act on the process
threads  the threads one peer address may hold at once

The agent S is qnmx serving a matrix tree, and for HTTP another qnmx on
the same script that registers a path for each power. Every route by which
a peer reaches S is
tried with every power of S, as one table: the peer's own forms on an
accepted link, a LocalEval there, a Thread it starts, an HTTP request, and
the forms of a server the peer made S reach (a LocalEval answering S's
question, forms sent of its own accord on a link or a zup session, a
LocalEval answering a question S asks in the background, a lock service the
peer named). The powers: running a program, starting one, saving a file
outside the trees, rebinding a built-in, a preset password, a
localhost-root key, renaming the host, registering an HTTP path. Every cell
is refused and nothing happens on the machine (no path a peer registered is
served); the control row is S's own script doing each."""
import os
import random
import re
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
sys.path.insert(0, os.path.join(HERE, "..", "agent"))
sys.path.insert(0, HERE)
from qmx_cli import matrix  # noqa: E402
from checks import check, curl, failures, free_port, listening, start, stop, wait_until  # noqa: E402
from line_peer import Peer, link  # noqa: E402

QNMX, GROUP = os.path.abspath(sys.argv[1]), sys.argv[2]
WORK = tempfile.mkdtemp(prefix="qnmx_peer_powers_")
MARKS = os.path.join(WORK, "marks")  # outside every tree of S
PASSWD = "Pw-%d" % random.randrange(10**9)
KEY = random.randrange(1, 2**32)
RESULT = rb"<Result> [0-9]+ (.*?)</Result>\n"


def key_file():
    """A proper localhost-root key file of this user: its number."""
    number = str(random.randrange(10**9, 4 * 10**9))
    fd = os.open("/tmp/" + number, os.O_CREAT | os.O_EXCL | os.O_WRONLY, 0o600)
    os.write(fd, struct.pack("=I", KEY))
    os.close(fd)
    return number


KEY_NUMBER = key_file()
QUESTION = ('(auth-transaction 1 "/q/x.zu" (quote (service-list type="and" (service name="SERVICE://127.0.0.1/%s" '
            'type="%s"%s))))')


def powers(tag):
    """(name, form, marker file or None) of each power, for the cell tag."""
    m = os.path.join(MARKS, tag)
    return [("shell", '(Shell "touch %s_shell")' % m, m + "_shell"),
            ("launch", '(Launch "touch %s_launch")' % m, m + "_launch"),
            ("save", '(Save oflag="creat:trunc" "%s_save" 1)' % m, m + "_save"),
            ("rebind", "(Define GetZUTime 0)", None),
            ("preset", QUESTION % ("pw", "fix-user-passwd", ""), None),
            ("key", QUESTION % ("lr", "localhost-root", ' filename="%s"' % KEY_NUMBER), None),
            ("hostname", '(SetLocalHostName "localhost")', None),
            ("httppath", '(SetHttpAgentPath "/peer_%s" Env1)' % tag, None)]


POWERS = len(powers(""))


def leaked(reply):
    return PASSWD in reply or 'key="%d"' % KEY in reply


cells = {}  # (route, power) -> the reply S gave


def note(route, tag, replies):
    for (name, _, _), r in zip(powers(tag), replies):
        cells[(route, name)] = r


# ---- fake servers that S is made to reach

ZUP = {b"GetPrefixMode": b'((".zu" "agentA" "zu" 1 ("Get")))', b"SetAgent": b"()",
       b"GetZUIinfo": b"(zui-info (connection-timeout 60))"}


class Fake:
    """A server on 127.0.0.1 that admits every link S opens to it and
    speaks as a zup server would. mode "own": it sends the forms of its own
    accord first; "answer": it answers the first other question with
    LocalEvals of them; "background": it answers (GetZUIinfo 0) so; None:
    it only answers. The replies S gave to the forms are kept."""

    def __init__(self, forms, mode):
        self.forms, self.mode, self.links, self.replies = forms, mode, 0, []
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(8)
        self.port = self.sock.getsockname()[1]
        threading.Thread(target=self.accept, daemon=True).start()

    def accept(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            self.links += 1
            threading.Thread(target=self.serve, args=(Peer(conn),), daemon=True).start()

    def send(self, p, line=None):
        for f in self.forms:
            p.s.sendall((f.encode() if line is None else b"(LocalEval %d %s)" % (line, f.encode())) + b"\n")

    def serve(self, p):
        """Line by line: S's replies are kept, its questions answered; the
        question that triggers the LocalEvals is answered once they are."""
        try:
            p.s.settimeout(60)
            p.until(rb"\n")
            p.s.sendall(b"<Permission>Allow</Permission>\n")
            if self.mode == "own":
                self.send(p)
            deferred, expected = None, 0
            while True:
                m, line = p.until(rb"(?:&cx[0-9a-f]+;)?([^\n]*)\n")
                text = m.group(1)
                if os.environ.get("PP_DEBUG"):
                    print("F%d got %d %r" % (self.port, line, text[:150]), flush=True)
                r = re.match(rb"<Result> [0-9]+ (.*)</Result>$", text)
                if r:
                    self.replies.append(r.group(1).decode("utf-8", "replace"))
                    if deferred and len(self.replies) >= expected:
                        p.s.sendall(deferred)
                        deferred = None
                    continue
                if not text.strip(b" \x0c") or text.startswith(b"<Permission"):
                    continue
                head = re.match(rb"[(\[]*([A-Za-z-]+)", text)
                head = head.group(1) if head else b""
                answer = b"<Result> %d %s</Result>\n" % (line, ZUP.get(head, b"()"))
                if (self.mode == "answer" and head not in ZUP) or (self.mode == "background" and head == b"GetZUIinfo"):
                    self.mode, expected, deferred = None, len(self.replies) + len(self.forms), answer
                    self.send(p, line)
                else:
                    p.s.sendall(answer)
        except (OSError, ConnectionError):
            return

    def close(self):
        self.sock.close()


def wait_replies(fake, n=POWERS, limit=60):
    wait_until(lambda: len(fake.replies) >= n, limit)
    return fake.replies[:n]


# ---- the agent

ZUACCESS = '(?zu encoding="UTF-8")\n(zuaccess\n(service name="pw" type="fix-user-passwd" user="u" passwd="x")\n' \
           '(target prefix=".lod" "pw"))\n'
SETUP = ['(SetThisAgentName "qnmx")', '(SetDirectory url="/" "%s/db/")' % WORK,
         '(SetPrefixMode ".lod" "qnmx" "lod" "Get")']


def tree():
    """The document tree (a matrix in q, guarded by a password, and one in
    l), S's client result file: S's environment."""
    for d in ("db/zudocs/q", "db/zudocs/l", "db/zudocs/l2", "marks"):
        os.makedirs(os.path.join(WORK, d), exist_ok=True)
    home = os.path.join(WORK, "home")
    results = os.path.join(home, ".pzuconf", "authentification", "clientresult")
    os.makedirs(results, exist_ok=True)
    with open(os.path.join(results, "results.zu"), "w") as f:
        f.write('(?zu encoding="UTF-8")\n(results (service result="on" type="fix-user-passwd" '
                'name="SERVICE://127.0.0.1/pw" user="u" passwd="%s"))\n' % PASSWD)
    env = {k: v for k, v in os.environ.items() if k not in ("ZUPATH", "QNMX_TRACE")}
    env.update(HOME=home, STD_CODE="UTF-8")
    with open(os.path.join(WORK, "g.ppm"), "wb") as f:
        f.write(b"P6\n16 16\n255\n" + bytes(range(256)) * 3)
    forms = SETUP + sum(([matrix("%s/db/zudocs/%s/m.lod" % (WORK, d), (16, 16), block=3, mode="server"),
                          '(qmxImportPNM id="%d" "g.ppm" 0 0 0 0)' % (i + 1), '(qmxClose id="%d")' % (i + 1)]
                         for i, d in enumerate(("q", "l", "l2"))), [])
    run("make", forms, env)
    with open(os.path.join(WORK, "db/zudocs/q/.zuaccess"), "w") as f:
        f.write(ZUACCESS)
    return env


def run(name, forms, env):
    """qnmx on the forms as a script of its own: its replies."""
    with open(os.path.join(WORK, name + ".zu"), "w") as f:
        f.write("\n".join(forms) + "\n")
    subprocess.run([QNMX, name + ".zu", name + ".out", "-", "/"], cwd=WORK, env=env, timeout=120, capture_output=True)
    with open(os.path.join(WORK, name + ".out"), errors="replace") as f:
        return re.findall(r"<Result> \d+ (.*?)</Result>\n", f.read(), re.S)


ENV = tree()


def handlers():
    """An HTTP path of S for each power: S's own handler runs it for the
    client."""
    cases = "".join('(Case (equal HttpAgent_path "/%s") %s)' % (name, form) for name, form, _ in powers("http"))
    return ['(Eval Env1 (quote (Define GET () (h) (Switch %s (Case 1 ())))))' % cases]


def agent(name, argv, paths=()):
    """S listening for the peers of 127.0.0.1 on the second top environment,
    where every power is bound, serving the HTTP paths its forms register:
    (process, port)."""
    port = free_port()
    script = SETUP + handlers() + list(paths) + [
        '(SetMainInterpreter (OpenInterpreter "accept" Env1 (Port (Cast type="integer" (Arg 1))) '
        '(Permission () (Allow "ip" "127.0.0.1" "255.255.255.255"))))']
    with open(os.path.join(WORK, name + ".zu"), "w") as f:
        f.write("\n".join(script) + "\n")
    p = start(argv + [name + ".zu", name + ".out", name + ".err", "/", str(port)], cwd=WORK, env=ENV,
              stdin=subprocess.DEVNULL, stdout=open(os.path.join(WORK, name + ".stdout"), "wb"),
              stderr=subprocess.STDOUT)
    if not wait_until(lambda: listening(port) or p.poll() is not None, 60) or p.poll() is not None:
        raise SystemExit("%s does not listen" % name)
    return p, port


def ask_all(peer, forms):
    return [peer.ask(f.encode()).decode("utf-8", "replace") for f in forms]


def connect(port):
    return '(OpenInterpreter "connect" Env1 (HostName "127.0.0.1") (Port %d))' % port


def routes(port, http_port):
    """Each route with the seven powers: the replies of S by power."""
    forms = lambda tag: [f for _, f, _ in powers(tag)]
    peer = link(port)
    note("query", "query", ask_all(peer, forms("query")))
    note("thread", "thread", ask_all(peer, ["(Thread %s)" % f for f in forms("thread")]))
    # S asks the peer for a password before it hands out /q/x.zu; the peer
    # answers with LocalEvals naming that question.
    peer.s.sendall(b'(Get "/q/m.lod" (List 0 0 0))\n')
    _, line = peer.until(rb"\(LocalEval [0-9]+ \(auth-transaction [^\n]*\n")
    note("localeval", "localeval", ask_all(peer, ["(LocalEval %d %s)" % (line, f) for f in forms("localeval")]))
    peer.s.sendall(b"<Result> %d ()</Result>\n" % line)
    peer.until(RESULT)
    # Servers the peer makes S reach, each asked for its own row.
    for route, mode, via in [("answer", "answer", "link"), ("own-link", "own", "link"), ("own-zup", "own", "zup"),
                             ("background", "background", "zup")]:
        fake = Fake(forms(route), mode)
        if via == "link":
            peer.s.sendall(("(Remote %s (+ 1 2))\n" % connect(fake.port)).encode())
        else:
            peer.ask(b"(Define s (OpenSession))")
            peer.s.sendall(b'(RemoteSession s (URL "zup://127.0.0.1:%d/db/x.zu") 1)\n' % fake.port)
        note(route, route, wait_replies(fake))
        if os.environ.get("PP_DEBUG"):
            print(route, fake.replies, flush=True)
        peer.until(RESULT)
        fake.close()
    # A lock service the peer names: S never reaches it, and opens a matrix
    # (l2, not open yet, the same as l) as with no service.
    fake = Fake(forms("lock"), "own")
    unnamed = peer.ask(b'(Get "/l/m.lod" (List 0 0 0))').decode("utf-8", "replace")
    got = ask_all(peer, ["(Define LockPort %d)" % fake.port, '(Define LockHostName "127.0.0.1")',
                         '(Get "/l2/m.lod" (List 0 0 0))'])
    check(got[2] == unnamed and fake.links == 0,
          "a lock service a peer named: %r, %d links" % (got[2], fake.links))
    note("lock", "lock", ["(not reached)"] * POWERS if fake.links == 0 else wait_replies(fake))
    fake.close()
    # A picture of a matrix S holds open (the Gets above opened them) is a
    # file: written only where the peer may edit.
    got = peer.ask(('(qmxExportPNM id="1" "%s/export.ppm" 0 0)' % MARKS).encode()).decode("utf-8", "replace")
    check(got.startswith("#error("), "a peer's export outside the trees: %r" % got)
    # HTTP: S's own handler runs each power for the client; a method a peer
    # bound is not served at all.
    for name, _, _ in powers("http"):
        r = curl(http_port, "/" + name, "-w", "\n%{http_code}")
        cells[("http", name)] = r.stdout.decode("utf-8", "replace")
    http_peer = link(http_port)
    http_peer.ask(('(Eval Env1 (quote (Define PUT () (h) (Shell "touch %s/put"))))' % MARKS).encode())
    r = curl(http_port, "/shell", "-o", "/dev/null", "-w", "%{http_code}", "-X", "PUT")
    check(r.stdout == b"501", "a method a peer bound: %r" % r.stdout)
    http_peer.s.close()
    peer.s.close()


def judge():
    for (route, name), reply in sorted(cells.items()):
        # A question about passwords or keys is refused by answering none;
        # what a rebinding changed, after() tells.
        refused = (reply == "(not reached)" or reply.startswith("#error(") or name in ("preset", "key", "rebind") or
                   (route == "http" and not reply.endswith("200")))
        check(refused and not leaked(reply), "%s x %s: %r" % (route, name, reply[-300:]))
    check(len(cells) == 9 * POWERS, "cells tried: %d" % len(cells))
    time.sleep(1)  # a Launch that did start would have run by now
    check(sorted(os.listdir(MARKS)) == [], "what happened on the machine: %r" % os.listdir(MARKS))


def after(port, site, http_port):
    """S's own bindings, name and paths are as they were."""
    peer = link(port)
    check(peer.ask(b"(GetZUTime)").endswith(b"sec"), "the built-in GetZUTime")
    check(peer.ask(b"(GetLocalHostName)") == site, "the host name")
    peer.s.close()
    for at, route in [(port, r) for r in sorted({r for r, _ in cells} - {"http"})] + [(http_port, "http")]:
        r = curl(at, "/peer_" + route, "-o", "/dev/null", "-w", "%{http_code}")
        check(r.stdout == b"404", "a path registered by the %s route: %r" % (route, r.stdout))


def control():
    """S's own script does each power."""
    fake = Fake([f for name, f, _ in powers("own") if name in ("preset", "key")], "answer")
    own = SETUP + [f for name, f, _ in powers("own") if name not in ("preset", "key")]
    own += ["(Remote %s (+ 1 2))" % connect(fake.port)]
    got = run("own", own, ENV)
    check(len(got) == len(own) and not any(r.startswith("#error(") for r in got), "the agent's own powers: %r" % got)
    asked = wait_replies(fake, 2)
    check(len(asked) == 2 and PASSWD in asked[0] and 'key="%d"' % KEY in asked[1], "the agent's own answers: %r" % asked)
    wait_until(lambda: len(os.listdir(MARKS)) == 3, 10)
    check(sorted(os.listdir(MARKS)) == ["own_launch", "own_save", "own_shell"], "the agent's own: %r" % os.listdir(MARKS))
    fake.close()


def threads():
    """A peer address holds at most QNMX_PEER_THREADS threads (4 here): past
    it Thread answers "cannot start a thread" to that address alone, and
    its threads count until they end, whether or not its link stays."""
    port = free_port()
    with open(os.path.join(WORK, "t.zu"), "w") as f:
        f.write('(SetMainInterpreter (OpenInterpreter "accept" Env1 (Port (Cast type="integer" (Arg 1))) '
                '(Permission () (Allow "ip" "127.0.0.0" "255.0.0.0"))))\n')
    p = start([QNMX, "t.zu", "t.out", "t.err", "/", str(port)], cwd=WORK, env=dict(ENV, QNMX_PEER_THREADS="4"),
              stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        wait_until(lambda: listening(port), 60)
        first = link(port)
        # IgnoreDelay: a thread's value is not waited for.
        started = [first.ask(b"(IgnoreDelay (Thread (Sleep 10) 1))") for _ in range(4)]
        refused = first.ask(b"(IgnoreDelay (Thread 1))")
        check(started == [b"()"] * 4 and b"cannot start a thread" in refused, "a fifth thread: %r" % refused)
        other = Peer(socket.create_connection(("127.0.0.1", port), timeout=60, source_address=("127.0.0.2", 0)))
        other.s.sendall(b"\n")
        other.until(rb"</Permission>\n")
        check(other.ask(b"(Thread 7)") == b"7", "another address starts its own")
        first.s.close()
        again = link(port)
        check(b"cannot start a thread" in again.ask(b"(IgnoreDelay (Thread 1))"), "threads count after their link ended")
        check(wait_until(lambda: again.ask(b"(Thread 2)") == b"2", 30), "a thread once the first ones ended")
        again.s.close()
        other.s.close()
    finally:
        stop(p)


DENIED = "#error(2147749136 "


def own():
    """A peer acts on its own session and links, never on the agent's, and
    none of the options that act on the whole process is its."""
    port = free_port()
    script = ['(Define listener (OpenInterpreter "accept" Env1 (Port (Cast type="integer" (Arg 1))) '
              '(Permission () (Allow "ip" "127.0.0.1" "255.255.255.255"))))',
              '(Eval Env1 (quote (Define agentSession (OpenSession))))',
              '(Eval Env1 (quote (Define agentLink (OpenInterpreter "connect" Env1 (HostName "127.0.0.1") '
              '(Port (Cast type="integer" (Arg 1)))))))', "(SetMainInterpreter listener)"]
    with open(os.path.join(WORK, "o.zu"), "w") as f:
        f.write("\n".join(script) + "\n")
    p = start([QNMX, "o.zu", "o.out", "o.err", "/", str(port)], cwd=WORK, env=ENV, stdin=subprocess.DEVNULL,
              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        wait_until(lambda: listening(port), 60)
        peer = link(port)
        session = '(URL "zup://127.0.0.1:%d/db/x.zu")' % port
        cases = [  # (form, refused)
            ("(CloseSession agentSession)", True),
            ("(SessionEnvironment agentSession (quote (+ 1 2)))", True),
            ("(RemoteSession agentSession %s 1)" % session, True),
            ("(Remote agentLink (+ 1 2))", True),
            ("(CloseInterpreter agentLink)", True),
            ('(OpenInterpreter "accept" Env1 (Port %d))' % free_port(), True),
            ('(ErrHandler stderr="on" (Error () 1))', True),
            ('(UnitSystem name="peer" (System 1 1000 name="km" dim="l"))', True),
            ('(PrintStd d="3" 1)', True),
            ("(CloseSession (OpenSession))", False),
            ("(Remote %s (+ 2 2))" % connect(port), False),
            ("(KillThread (Thread (Sleep 3) 1))", False),
        ]
        for form, refused in cases:
            got = peer.ask(form.encode()).decode("utf-8", "replace")
            check(got.startswith(DENIED) == refused, "%s: %r" % (form, got))
        check(p.poll() is None and link(port).ask(b"(+ 1 2)") == b"3", "the agent goes on")
    finally:
        stop(p)


def table():
    s, port = agent("s", [QNMX])
    h, http_port = agent("h", [QNMX], ['(SetHttpAgentPath "/%s" Env1)' % name for name, _, _ in powers("http")])
    try:
        site = link(port).ask(b"(GetLocalHostName)")
        check(site != b'"localhost"', "a host name that a change would show: %r" % site)
        routes(port, http_port)
        judge()
        after(port, site, http_port)
        control()
    finally:
        stop(s)
        stop(h)


def main():
    for tool in ("curl",):
        if not shutil.which(tool):
            raise SystemExit("outside tool %s is missing: run scripts/setup.sh" % tool)
    try:
        {"table": table, "own": own, "threads": threads}[GROUP]()
    finally:
        os.unlink("/tmp/" + KEY_NUMBER)
    if failures:
        print("%d failed; work folder kept: %s" % (len(failures), WORK))
        raise SystemExit(1)
    shutil.rmtree(WORK, ignore_errors=True)
    print("ok")


main()
