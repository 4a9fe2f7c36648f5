#!/usr/bin/env python3
"""Sessions between qnmx processes on 127.0.0.1: session_e2e_test.py <qnmx> <group>.

The serving agent is a fixture script: it names itself, maps the suffix
".zu" to agentA with SetPrefixMode, defines SetAgent (which records what it
receives) and listens for loopback peers.

basic     a request and the announcement it opens with, option errors,
          routing by suffix, a path above the root, an unknown template
          mode, a session closed while its reply is pending
order     call order on one server, two servers side by side, a script that
          ends with a request in flight
failures  a server killed and restarted (or not) under a pending request, a
          denied link, an unreachable server
tick      a short session tick trims six servers of two sessions to four
hostile   fake agents: garbage for SetAgent, a GetPrefixMode reply of
          100,000 entries, a time-out of 2147483647
"""
import os
import re
import socket
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from net_e2e import Run, free_port, listening, wait_for  # noqa: E402

GROUP = sys.argv[2]
run = Run(sys.argv[1], GROUP)
TYPE_ERR, LENGTH_ERR, PARAM_ERR, OPEN_ERR, STREAM_ERR = 2147682310, 2147681538, 2147747075, 2147748358, 2147748370
PORT = '(Cast type="integer" (Arg %d))'
ALLOW = '(Allow "ip" "127.0.0.1" "255.255.255.255")'


def server(name, ports, args=(), options="", rule=ALLOW):
    """The fixture agent, listening on each port; (Arg 1) is the first port,
    args follow the ports. Its work folder is a document tree, where a
    peer's request may touch files."""
    listeners = "".join('(OpenInterpreter "accept" (CurrentEnvironment) (Port %d) %s (Permission () %s))\n'
                        % (p, options, rule) for p in ports[1:])
    script = ('(SetThisAgentName "srv")\n(SetDirectory url="/" "%s/")\n' % run.work +
              '(SetPrefixMode ".zu" "agentA" "zu" "Get")\n(Define seen ())\n(Define order ())\n'
              '(Define SetAgent () (h a m) (Sequence () (set seen (List a m client)) ()))\n'
              '(Define Note () (h n) (Sequence () (set order (cons n order)) n))\n' + listeners +
              '(SetMainInterpreter (OpenInterpreter "accept" (CurrentEnvironment) (Port %s) %s (Permission () %s)))\n'
              % (PORT % 1, options, rule))
    a = run.agent(name, script, list(ports) + list(args))
    run.check(wait_for(lambda: all(listening(p) for p in ports), 20), "%s listens" % name)
    return a


def client(name, forms):
    return run.agent(name, "".join(f + "\n" for f in forms))


def url(port, path="/@agentA/db/x.zu"):
    return '"zup://127.0.0.1:%d%s"' % (port, path)


def is_error(reply, code, text=""):
    return reply.startswith("#error(%d " % code) and text in reply


def group_basic():
    p, p2 = free_port(), free_port()
    srv, srv2 = server("srv", [p]), server("srv2", [p2])
    forms = ["(Define s (OpenSession))", "(Define t (GetZUTime))",
             "(IgnoreDelay (RemoteSession s (URL %s) (Sequence () (Sleep 2) 3)))" % url(p),
             "(List (- (GetZUTime) t) (RemoteSession s (URL %s) (+ 1 2)))" % url(p),
             "(RemoteSession s (URL %s) seen)" % url(p),
             # What the request's environment tells the peer's local requests.
             "(List SessionPath SessionResource)",
             # No agent: the suffix routes the request.
             "(RemoteSession s (URL %s) (+ 2 3))" % url(p, "/db/y.zu"),
             "(RemoteSession s (URL %s) 1)" % url(p, "/db/noprefix"),
             "(RemoteSession s (URL %s) 1)" % url(p, "/@agentA/db/../../x.zu"),
             '(RemoteSession s (URL 5) 1)', "(RemoteSession s (Agent) 1)", '(RemoteSession "s" 1)',
             '(RemoteSession s (Command "no") (Command "Get") (URL %s) (quote (Print 1)))' % url(p, "/db/x.zu"),
             '(RemoteSession type="nomode" s (URL %s) (Note 99))' % url(p),
             "(Define here 40)", '(RemoteSession type="normal" s (URL %s) (+ ($ here) 2))' % url(p),
             "(RemoteSession s (URL %s) order)" % url(p),
             "(RemoteSession 999 (URL %s) 1)" % url(p),
             # Closed while its reply is pending: the reply still comes.
             "(Define s2 (OpenSession))",
             "(RemoteSession s2 (URL %s) (Sequence () (Local (CloseSession s2)) (Sleep 1) 7))" % url(p),
             "(RemoteSession s2 (URL %s) 8)" % url(p),
             "(CloseSession 12345)", '(CloseSession "x")',
             # A login mode given with a request is the one the session
             # logs in with at an agent it reaches afterwards.
             "(Define s3 (OpenSession))", '(RemoteSession s3 (LoginMode "guest") (URL %s) seen)' % url(p2),
             '(RemoteSession s3 (LoginMode 5) (URL %s) 1)' % url(p2)]
    r = client("cli", forms).wait_replies(len(forms), limit=60)
    if not run.check(len(r) == len(forms), "replies: %r" % r):
        return
    path = r.pop(5)
    checks = [
        (r[2], lambda v: v == "()", "RemoteSession answers with a delayed value"),
        (r[3], lambda v: v in ("(0sec 3)", "(1sec 3)"), "at once, filled later"),
        (r[4], lambda v: v == '("agentA" "user" "qnmx/ver.B.b16.14(SKELDER)")', "SetAgent with the identification"),
        (path, lambda v: v == '("/db/" "x.zu")', "SessionPath and SessionResource"),
        (r[5], lambda v: v == "5", "routed by .zu"),
        (r[6], lambda v: is_error(v, OPEN_ERR, '("GET AGENT: invalid prefix (there is no prifix) " "zup://127.0.0.1:'),
         "no suffix"),
        (r[7], lambda v: is_error(v, PARAM_ERR, '("invalid URL path 3")'), "above the root"),
        (r[8], lambda v: is_error(v, TYPE_ERR, '"type missmatch"'), "a URL that is no string"),
        (r[9], lambda v: is_error(v, LENGTH_ERR, '"invalid parameter length"'), "an option without value"),
        (r[10], lambda v: is_error(v, TYPE_ERR, '"type missmatch"'), "a session id that is no integer"),
        (r[11], lambda v: v == "(Print 1)", "the later Command wins; a list with another head is body"),
        (r[12], lambda v: is_error(v, PARAM_ERR, '"invalid type attribute"'), "an unknown template mode"),
        (r[14], lambda v: v == "42", "($ expr) filled in here"),
        (r[15], lambda v: v == "()", "nothing was sent for it"),
        (r[16], lambda v: is_error(v, PARAM_ERR, '("invalid session id(session)" 999)'), "an unknown session"),
        (r[18], lambda v: v == "7", "closed while pending: the reply arrives"),
        (r[19], lambda v: is_error(v, PARAM_ERR, '"invalid session id(session)"'), "then the session is gone"),
        (r[20], lambda v: v == "()", "closing an unknown session"),
        (r[21], lambda v: is_error(v, TYPE_ERR, '"id type missmatch"'), "CloseSession of a string"),
        (r[23], lambda v: v == '("agentA" "guest" "qnmx/ver.B.b16.14(SKELDER)")', "SetAgent with the login mode given"),
        (r[24], lambda v: is_error(v, TYPE_ERR, '"type missmatch"'), "a login mode that is no string"),
    ]
    for v, ok, what in checks:
        run.check(ok(v), "%s: %s" % (what, v))
    srv.stop()
    srv2.stop()


def group_order():
    p, q = free_port(), free_port()
    a, b = server("srv_a", [p]), server("srv_b", [q])
    # Requests left pending (IgnoreDelay does not wait): a slow first one
    # is not overtaken.
    forms = ["(Define s (OpenSession))",
             "(IgnoreDelay (RemoteSession s (URL %s) (Sequence () (Sleep 1) (Note 1))))" % url(p)]
    forms += ["(IgnoreDelay (RemoteSession s (URL %s) (Note %d)))" % (url(p), i) for i in range(2, 21)]
    forms += ["(RemoteSession s (URL %s) order)" % url(p)]
    r = client("one", forms).wait_replies(len(forms), limit=60)
    run.check(r[-1:] == ["(%s)" % " ".join(str(i) for i in range(20, 0, -1))], "call order on one server: %r" % r[-1:])
    # Two servers work at the same time.
    forms = ["(Define s (OpenSession))", "(RemoteSession s (URL %s) 0)" % url(p), "(RemoteSession s (URL %s) 0)" % url(q),
             "(Define t (GetZUTime))",
             # Built-ins wait for their arguments: IgnoreDelay makes both
             # requests before it waits for the second.
             "(Define both (IgnoreDelay (RemoteSession s (URL %s) (Sequence () (Sleep 2) 1)) (RemoteSession s (URL %s) "
             "(Sequence () (Sleep 2) 2))))" % (url(p), url(q)),
             "(Define sum (+ (car both) (cdr both)))", "(List sum (- (GetZUTime) t))"]
    r = client("two", forms).wait_replies(len(forms), limit=60)
    m = re.fullmatch(r"\(3 (\d+)sec\)", r[-1]) if r else None
    run.check(m and int(m[1]) <= 3, "two servers side by side: %r" % r[-1:])
    # A script that ends with a request in flight waits for its reply, which
    # still reaches the script's own environment.
    cli = client("inflight", ["(Define s (OpenSession))",
                              "(IgnoreDelay (RemoteSession s (URL %s) (Sequence () (Sleep 2) (Local (PrintStd \"late reply\")))))"
                              % url(p)])
    run.check(cli.wait_exit(60) == 0, "the script ends")
    printed = open(cli.out.replace(".out", ".err.stdout"), encoding="utf-8", errors="replace").read()
    run.check("late reply" in printed, "the reply came before the end: %r" % printed)
    a.stop()
    b.stop()


def group_failures():
    p = free_port()
    srv = server("srv", [p], [30, 0])
    # The server marks the start of a request with a file in its tree.
    os.makedirs(os.path.join(run.work, "zudocs"), exist_ok=True)
    body = '(Sequence () (Touch "%s/zudocs/%%s") (Sleep %%s) %%d)' % run.work
    forms = ["(Define s (OpenSession))", "(RemoteSession s (URL %s) 0)" % url(p),
             "(RemoteSession s (URL %s) %s)" % (url(p), body % ("running", PORT % 2, 11)),
             "(RemoteSession s (URL %s) %s)" % (url(p), body % ("again", PORT % 3, 12)),
             "(Define t (GetZUTime))", "(RemoteSession s (URL %s) 1)" % url(free_port()), "(- (GetZUTime) t)"]
    cli = client("cli", forms)
    started = lambda name: os.path.exists(os.path.join(run.work, "zudocs", name))
    # Killed under the first pending request, back within the retries: the
    # request is sent again and answered.
    run.check(wait_for(lambda: started("running"), 30), "the request runs")
    srv.stop(9)
    srv = server("srv2", [p], [0, 30])
    r = cli.wait_replies(3, limit=60)
    run.check(r[2:] == ["11"], "answered after the restart: %r" % r)
    # Killed for good under the second: a stream that cannot be reached.
    run.check(wait_for(lambda: started("again"), 30), "the second request runs")
    srv.stop(9)
    r = cli.wait_replies(len(forms), limit=60)
    if not run.check(len(r) == len(forms), "replies: %r" % r):
        return
    run.check(is_error(r[3], STREAM_ERR, '"cannot access the server"'), "no server any more: %r" % r[3])
    # Nothing listens: three tries two seconds apart.
    run.check(is_error(r[5], STREAM_ERR, '"cannot access the server"') and re.fullmatch(r"[3-7]sec", r[6]),
              "unreachable: %r" % r[5:])
    # A denied link is not tried again.
    q = free_port()
    srv = server("denied", [q], rule='(Deny "all")')
    forms = ["(Define s (OpenSession))", "(Define t (GetZUTime))", "(RemoteSession s (URL %s) 1)" % url(q),
             "(- (GetZUTime) t)"]
    r = client("cli_denied", forms).wait_replies(len(forms), limit=30)
    run.check(len(r) == 4 and is_error(r[2], STREAM_ERR, "-7))") and r[3] in ("0sec", "1sec"), "denied: %r" % r[2:])
    srv.stop()


def established(ports):
    """Open connections from the client to each of the ports, read from
    /proc/net/tcp."""
    want = {"%04X" % p: p for p in ports}
    seen = []
    with open("/proc/net/tcp") as f:
        for line in f.readlines()[1:]:
            cols = line.split()
            port = cols[2].split(":")[1]
            if cols[3] == "01" and port in want:
                seen.append(want[port])
    return seen


def group_tick():
    ports = [free_port() for _ in range(6)]
    srv = server("srv", ports)
    forms = ["(Define a (OpenSession))", "(Define b (OpenSession))", "(RemoteSession b (URL %s) 6)" % url(ports[5])]
    forms += ["(RemoteSession a (URL %s) %d)" % (url(p), i + 1) for i, p in enumerate(ports[:5])]
    forms += ["(Sleep 20)"]
    run.env["QNMX_SESSION_TICK"] = "1"
    cli = client("cli", forms)
    del run.env["QNMX_SESSION_TICK"]
    r = cli.wait_replies(8, limit=60)
    run.check(r[2:8] == ["6", "1", "2", "3", "4", "5"], "six servers reached: %r" % r)
    # Twice as many servers as sessions stay: the two attached ones among them.
    run.check(wait_for(lambda: len(established(ports)) == 4, 15), "four links left: %r" % established(ports))
    left = established(ports)
    run.check(ports[4] in left and ports[5] in left, "the servers the sessions are attached to stay: %r" % left)
    cli.stop()
    srv.stop()


class FakeAgent(threading.Thread):
    """An agent that speaks the line protocol and answers each form with
    answer(form): a ZU value as text, or bytes sent as they are (and the
    link closed)."""

    def __init__(self, answer):
        super().__init__(daemon=True)
        self.answer, self.sock = answer, socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(16)
        self.port = self.sock.getsockname()[1]
        self.forms = []

    def run(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            threading.Thread(target=self.serve, args=(conn,), daemon=True).start()

    def serve(self, conn):
        f = conn.makefile("rb")
        line = 0
        try:
            for raw in f:
                line += 1
                if line == 1:
                    conn.sendall(b"<Permission>Allow</Permission>\n")
                    continue
                text = re.sub(rb"&cx[0-9a-f]+;", b"", raw).strip(b" \f\r\n").decode("utf-8", "replace")
                if not text:
                    continue
                self.forms.append(text)
                reply = self.answer(text)
                if isinstance(reply, bytes):
                    conn.sendall(reply)
                    break
                conn.sendall(("<Result> %d %s</Result>\n" % (line, reply)).encode())
        finally:
            conn.close()


def announcing(t):
    """The announcement, its head printed with its attribute."""
    return t.startswith("([SetAgent ")


def group_hostile():
    garbage = FakeAgent(lambda t: bytes(range(256)) * 16 if announcing(t) else "42")
    many = "(%s)" % " ".join('(".zu" "a%d" "zu" 1 ("Get"))' % i for i in range(100000))
    prefixes = FakeAgent(lambda t: many if t.startswith("(GetPrefixMode") else "()" if announcing(t) else "42")
    forever = FakeAgent(lambda t: "(zui-info (connection-timeout 2147483647))" if t.startswith("(GetZUIinfo")
                        else "()" if announcing(t) else "42")
    for fake in (garbage, prefixes, forever):
        fake.start()
    forms = ["(Define s (OpenSession))",
             "(RemoteSession s (URL %s) 1)" % url(garbage.port),
             "(RemoteSession s (URL %s) 1)" % url(prefixes.port, "/db/x.zu"),
             "(RemoteSession s (URL %s) 1)" % url(forever.port),
             "(RemoteSession s (URL %s) 1)" % url(forever.port), "(Sleep 2)"]
    t = time.time()
    cli = client("cli", forms)
    r = cli.wait_replies(len(forms), limit=90)
    if run.check(len(r) == len(forms), "replies: %r" % [x[:200] for x in r]):
        run.check(is_error(r[1], STREAM_ERR), "garbage for SetAgent: %s" % r[1][:200])
        run.check(r[2] == "42", "100,000 prefix entries: %s" % r[2][:200])
        run.check(r[3:5] == ["42", "42"], "a time-out of 2147483647: %r" % r[3:5])
        # The agent link asks for its time-out once it is announced.
        run.check(wait_for(lambda: any(f.startswith("(GetZUIinfo 0)") for f in forever.forms), 10),
                  "the time-out is asked: %r" % forever.forms)
    run.check(cli.wait_exit(60) == 0 and time.time() - t < 120, "the client ends")
    # The peak of the client's whole life, as its end reports it: read
    # while it runs, it may already have gone.
    peak = cli.peak_kib or 0
    bound = int(os.environ.get("SESSION_RSS_BOUND_MIB", "500")) * 1024
    print("client peak RSS %d KiB (bound %d KiB)" % (peak, bound))
    run.check(0 < peak < bound, "memory stays bounded: %d KiB" % peak)


try:
    globals()["group_" + GROUP]()
except Exception as e:  # a broken expectation fails the group; the processes still stop
    run.check(False, "%s: %r" % (GROUP, e))
run.finish()
