#!/usr/bin/env python3
"""Listeners, links and the network built-ins of qnmx from outside:
links_e2e_test.py <qnmx> <group>.

socat    a listener and socat: greeting and replies, Deny, a bad address,
         reply forms, a listener without environment, a waiting link's
         status
remote   two qnmx processes (Remote, Local, an unknown iid, a peer killed
         mid-query), socat fake peers that answer or refuse, a peer's
         printed text chained back, and kept once the peer has left
tables   time-outs read back in seconds, SetProxy refusals, refusals of the
         interpreter built-ins, a stale "__zui", the local host, a file
         interpreter, a closed listener
urls     the URL coders against Python models, ComposeURL, GetURL
hostile  1000 concurrent peers under a descriptor limit, 200 silent ones
"""
import os
import random
import re
import selectors
import socket
import sys
import time
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from net_e2e import Run, free_port, listening, printed_string, wait_for, zu_string  # noqa: E402

GROUP = sys.argv[2]
run = Run(sys.argv[1], GROUP)
GREETING = b"\n&cxdfff0006;\n<Permission>Allow</Permission>\n"  # UTF-8, then Allow
TYPE_ERR, PARAM_ERR, IID_ERR, STREAM_ERR, UNDEF_ERR = 2147682310, 2147747075, 2147747101, 2147748370, 2147747598
CONNECT = '(define iid (OpenInterpreter "connect" Env0 (HostName "127.0.0.1") (Port (Cast type="integer" (Arg 1)))))\n'


def listener(name, options="", rule='(Allow "ip" "127.0.0.1" "255.255.255.255")', env="Env0", nofile=None):
    port = free_port()
    a = run.agent(name, '(SetMainInterpreter (OpenInterpreter "accept" %s (Port (Cast type="integer" (Arg 1))) '
                  "%s (Permission () %s)))\n" % (env, options, rule), [port], nofile)
    r = a.wait_replies(1)
    run.check(r == ["()"] and wait_for(lambda: listening(port), 10), "%s listens: %r" % (name, r))
    return a, port


def socat(port, text):
    return run.tool(["sh", "-c", "printf '%s' | socat -t 5 - TCP:127.0.0.1:%d" % (text, port)])[1]


def is_error(reply, code, text=""):
    return reply.startswith("#error(%d " % code) and text in reply


def group_socat():
    cases = [("allow", {}, r"\n(+ 1 2)\n", GREETING + b"<Result> 2 3</Result>\n"),
             ("deny", {"rule": '(Deny "all")'}, r"\n(+ 1 2)\n", b"<Permission>Denied</Permission>\n"),
             ("plain", {"options": "(Result 0)"}, r"\n(+ 1 2)\n(quote (a b))\n", GREETING + b"3\n(a b)\n"),
             ("xml", {"options": '(FormatMode "xml")'}, r"\n(quote (a b))\n", GREETING + b"<Result> 2 <a>[b]</a></Result>\n")]
    for name, kw, text, want in cases:
        got = socat(listener(name, **kw)[1], text)
        run.check(got == want, "%s: %r" % (name, got))
    got = socat(listener("noenv", env="()", rule='(Allow "all")')[1], r"\n(+ 1 2)\n")
    run.check(got.startswith(GREETING + b"<Result> 2 #error(2147682053 ") and b'("+")' in got, "nil environment: %r" % got)
    # A link's status shows what its reader holds while the reader waits
    # for the next form: the text so far, its length and the read position.
    port = listener("status", env="Env1", rule='(Allow "all")')[1]
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        s.sendall(b"\n(GetCPUStatus (GetIid))\n")
        got = b""
        while not got.endswith(b"</Result>\n"):
            part = s.recv(4096)
            if not part:
                break
            got += part
    io = re.search(rb'\(io "(.*)" (\d+) (\d+)\)\)</Result>\n$', got)
    run.check(io and io[1].endswith(b"(GetCPUStatus (GetIid))\\n") and int(io[2]) == len(io[1].replace(b"\\n", b"\n"))
              and int(io[3]) <= int(io[2]), "status of a waiting link: %r" % got)
    bad = run.agent("badip", '(OpenInterpreter "accept" Env0 (Permission () (Allow "ip" "127.0.0.300" "255.255.255.255")))')
    r = bad.wait_replies(1)
    run.check(r and is_error(r[0], TYPE_ERR, '"allow/deny" ("type missmatch")'), "bad address: %r" % r)


def group_remote():
    srv, port = listener("srv")
    # Local runs back in the asker: it sees the asker's own names, and its
    # link's iid.
    cli = run.agent("cli", CONNECT + "(Remote iid (+ 1 2))\n(define mark 7)\n(list iid (Remote iid (Local (list mark (GetIid)))))\n"
                    "(Remote 999999 (+ 1 2))\n(Remote iid 1)\n(Remote iid (while 1 1))\n", [port])
    r = cli.wait_replies(6)
    if run.check(len(r) == 6, "replies: %r" % r):
        run.check(r[:2] == ["iid", "3"], "Remote (+ 1 2): %r" % r[:2])
        link = re.fullmatch(r"\((\d+) \(7 (\d+)\)\)", r[3])
        run.check(link and link[1] == link[2], "Local reaches the asker: %r" % r[3])
        run.check(is_error(r[4], IID_ERR, '"Remote" ("invalid iid 1")'), "unknown iid: %r" % r[4])
        srv.stop(9)  # while the last query runs there
        t = time.time()
        r = cli.wait_replies(7, limit=10)
        run.check(len(r) == 7 and is_error(r[6], STREAM_ERR) and time.time() - t < 10, "killed peer: %r" % r[6:])
    # Fake peers. The opening line end is line 1 and the encoding announced
    # after Allow line 2, so the command is line 3.
    for name, peer, want in (("fake_allow", 'printf "<Permission>Allow</Permission>\\n"\nread b\nread c\n'
                              'printf "<Result> 3 42</Result>\\n"\n', "42"),
                             ("fake_denied", 'printf "<Permission>Denied</Permission>\\n"\n', None)):
        port = free_port()
        with open(os.path.join(run.work, name + ".sh"), "w") as f:
            f.write("read a\n" + peer + "cat >/dev/null\n")
        run.spawn(["socat", "TCP-LISTEN:%d,bind=127.0.0.1,reuseaddr" % port, "EXEC:sh %s.sh" % name])
        run.check(wait_for(lambda: listening(port), 10), name + " listens")
        r = run.agent(name + "_cli", CONNECT + "(Remote iid (+ 1 2))\n", [port]).wait_replies(2)
        run.check(r == ["iid", want] if want else r and is_error(r[0], STREAM_ERR, '"cannot access the stream"'),
                  "%s: %r" % (name, r))
    # What a peer prints comes back along the link once its standard
    # streams point there, by (PrintChain sync="entry") or by a header
    # (?xml stdout="chain"), which the peer's reader acts on at once.
    srv, port = listener("chain_srv")
    for name, redirect in (("entry", '(PrintChain sync="entry")'), ("header", '(?xml stdout="chain")')):
        cli = run.agent("chain_" + name, CONNECT + "(Remote iid %s)\n(Remote iid (PrintStd %s))\n"
                        "(Remote iid (PrintStd d=\"stdout\" \"%s \u65e5\"))\n(Remote iid (PrintChain sync=\"exit\"))\n"
                        % (redirect, zu_string(name), name), [port])
        r = cli.wait_replies(5)
        run.check(r == ["iid", "()", "()", "()", "()"] and cli.wait_exit() == 0, "chain %s: %r" % (name, r))
        printed = open(cli.out.replace(".out", ".err.stdout"), encoding="utf-8").read()
        run.check(printed == '"%s"\n%s \u65e5' % (name, name), "chain %s printed here: %r" % (name, printed))
    # A peer that pointed them there and left takes nothing with it: what it
    # had not had yet, and what is printed afterwards, shows on the peer's
    # own standard output.

    def peer(text):
        with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
            s.sendall(b"\n" + text.encode())
            got = b""
            while got.count(b"</Result>") < text.count("\n"):
                part = s.recv(4096)
                if not part:
                    break
                got += part
        return re.findall(rb"<Result> \d+ (.*?)</Result>", got)

    gone = peer('(PrintChain sync="entry")\n(PrintStd d="stdout" "unsent ")\n(GetIid)\n')
    r = peer('(WaitInterpreter %s)\n(PrintStd d="stdout" "after")\n(PrintChain sync="exit")\n' % gone[-1].decode())
    printed = open(srv.out.replace(".out", ".err.stdout"), encoding="utf-8").read()
    run.check(r == [b"()"] * 3 and printed.endswith("unsent after"), "peer gone: %r %r %r" % (gone, r, printed))


ACCEPT = '(OpenInterpreter "accept" Env0 (Port (Cast type="integer" (Arg %d))) %s (Permission () (Allow "all")))'
TABLE = [
    # Time-outs are kept in ticks of 5 s and read back in seconds.
    ("(GetZUIinfo %s)" % ACCEPT % (1, "(ConnectionTimeout 10) (SilentTimeout 2min)"),
     lambda r: "(connection-timeout 10) (silent-timeout 120)" in r),
    ("(GetZUIinfo %s)" % ACCEPT % (2, "(SilentTimeout 7) (ConnectionTimeout 3km)"),
     lambda r: "(connection-timeout 5) (silent-timeout 10)" in r),
    # SetProxy checks everything before it stores anything.
    ('(SetProxy type="HTTPProxy" server="p.example" port="3128")', lambda r: r == "()"),
    ('(SetProxy type="NativeProxy" server="q" port="1" keep-alive="off")', lambda r: is_error(r, PARAM_ERR, '"invalid proxy type"')),
    ('(SetProxy type="HTTPProxy" port="3128")', lambda r: is_error(r, PARAM_ERR, '"proxy server is required"')),
    ('(SetProxy type="HTTPProxy" server="q" port="70000")', lambda r: is_error(r, PARAM_ERR, '"proxy server port is required"')),
    ('(SetProxy type="NoProxy" direct=" a,,b ")', lambda r: r == "()"),
    ("(GetProxy)", lambda r: r == '(proxyinfo "HTTPProxy" "p.example" 3128 (server "NoProxy" "b") (server "NoProxy" "a"))'),
    # Links follow the setting: through a proxy whose name does not
    # resolve they cannot open; directly they reach the listener above.
    ('(OpenInterpreter "connect" Env0 (HostName "127.0.0.2") (Port (Cast type="integer" (Arg 1))))',
     lambda r: is_error(r, STREAM_ERR, '"cannot access the stream"')),
    ('(SetProxy type="NoProxy")', lambda r: r == "()"),
    ('(OpenInterpreter "connect" Env0 (HostName "127.0.0.2") (Port (Cast type="integer" (Arg 1))))', str.isdigit),
    # Refusals of the interpreter built-ins start nothing.
    ('(OpenInterpreter "socket" Env0)', lambda r: is_error(r, PARAM_ERR, '"interpreter accept type"')),
    ('(OpenInterpreter "pipe" Env0)', lambda r: is_error(r, PARAM_ERR, '"RecvStream in OpenInterpreter" "No recieved streams"')),
    ('(OpenInterpreter "accept" Env0 (Permission ("a" 5)))', lambda r: is_error(r, TYPE_ERR, '"type missmatch"')),
    ('(OpenInterpreter "accept" Env0 (FormatMode "json"))', lambda r: is_error(r, PARAM_ERR, '("invalid format mode" "json")')),
    ('(OpenInterpreter "connect" Env0 (HostName "127.0.0.1") (Port (Cast type="integer" (Arg 3))))',
     lambda r: is_error(r, STREAM_ERR, '"cannot access the stream"')),
    ("(WaitInterpreter 999999.5)", lambda r: r == "()"),
    ("(GetCPUStatus 999999)", lambda r: is_error(r, PARAM_ERR, '"there is no such ZU interpreter"')),
    ("(GetCPUStatus (GetIid))", lambda r: re.findall(r"\(([a-z-]+) ", r) == STATUS and "(a-type 2)" in r and "(timeout -1 -1)" in r),
    ("(GetZUIinfo 999999)", lambda r: is_error(r, 2147747073, '"undefined IID"')),
    ('(SetThisAgentName "a")', lambda r: r == '"a"'),
    # A keyword kept past its call finds no record behind a stale "__zui".
    ("(define k 0)", None), ("(define p 0)", None),
    ('(OpenInterpreter "accept" Env0 (set k __zui) (set p Port) (Port "x"))', lambda r: is_error(r, TYPE_ERR, '"Port" ()')),
    ("(define __zui k)", None),
    ("(p 5)", lambda r: r == "()"),
    ("(SetMainInterpreter -1)", lambda r: r == "()"),
    ("(GetMainInterpreter)", lambda r: is_error(r, UNDEF_ERR, '"undefined main interpreter"')),
    ("(SetMainInterpreter (GetIid))", lambda r: r == "()"),
    # The local host: the site's name, and a name set by the script.
    ("(GetLocalHostName)", lambda r: r == '"%s"' % os.uname().nodename),
    ("(GetLocalHostIP)", lambda r: r.isdigit() and int(r) < 1 << 32),
    ('(SetLocalHostName "localhost")', lambda r: r == "()"),
    ("(list (GetLocalHostName) (GetLocalHostIP))", lambda r: r == '("localhost" 2130706433)'),
    ("(SetLocalHostName 5)", lambda r: is_error(r, TYPE_ERR, '"type missmatch"')),
    # A file interpreter writes the replies to a file's forms into another;
    # a closed listener takes no more links.
    ('(define F (OpenInterpreter "file" Env0 (InputFileName "in.zu") (OutputFileName "file.out")))', None),
    ("(WaitInterpreter F)", lambda r: r == "()"),
    ('(define L %s)' % ACCEPT % (4, ""), None),
    ('(OpenInterpreter "connect" Env0 (HostName "127.0.0.1") (Port (Cast type="integer" (Arg 4))))', str.isdigit),
    ("(CloseInterpreter L)", lambda r: r == "()"),
    ("(WaitInterpreter L)", lambda r: r == "()"),
    ('(OpenInterpreter "connect" Env0 (HostName "127.0.0.1") (Port (Cast type="integer" (Arg 4))))',
     lambda r: is_error(r, STREAM_ERR, '"cannot access the stream"')),
    ('(CloseInterpreter "x")', lambda r: is_error(r, TYPE_ERR)),
]
STATUS = ["iid", "thread", "mode", "flags", "connect-ip", "a-type", "thread-mode", "msg", "stream", "fifo", "query", "timeout",
          "live"]


def group_tables():
    with open(os.path.join(run.work, "in.zu"), "w") as f:
        f.write("(+ 40 2)\n(quote x)\n")
    a = run.agent("tables", "\n".join(f for f, _ in TABLE) + "\n", [free_port() for _ in range(4)])
    r = a.wait_replies(len(TABLE))
    run.check(len(r) == len(TABLE), "replies: %d of %d" % (len(r), len(TABLE)))
    for (form, ok), reply in zip(TABLE, r):
        run.check(not ok or ok(reply), "%s -> %s" % (form, reply))
    run.check(a.wait_exit() == 0, "the script ends")
    with open(os.path.join(run.work, "file.out")) as f:
        run.check(f.read() == "<Result> 1 42</Result>\n<Result> 2 x</Result>\n", "the file interpreter's replies")


def group_urls():
    rng = random.Random(40)
    chars = [chr(c) for c in range(0x20, 0x7F)] + ["é", "あ", "€", "\U0001F600"]
    coded = ["", "a b/c?d", "only=letters&digits123"] + ["".join(rng.choices(chars, k=rng.randint(1, 12))) for _ in range(60)]
    # Valid escapes of UTF-8 text (upper and lower case) among plain ASCII.
    esc = lambda ch: "".join(rng.choice(("%%%02x", "%%%02X")) % b for b in ch.encode())
    escaped = ["%20%2f", "a%", "%E3%81%82b"] + ["".join(ch if ch < "\x7f" and ch != "%" and rng.random() < .5 else esc(ch)
                                                        for ch in rng.sample(chars, 8)) for _ in range(40)]
    forms = (["(URLStringCode %s)" % zu_string(t) for t in coded] + ["(DecodeURLString %s)" % zu_string(t) for t in escaped]
             + ['(ComposeURL "http://h:80/a/b/c.txt" "../d/e.txt")', '(ComposeURL "http://h:80/a/b/c.txt" "http://x:81/y")',
                '(ComposeURL "/a/b" "c")', '(GetURL "zup://host:99/@ag/db/x/r.txt?q#n")', '(GetURL "rel/path")',
                # Port 0 is no port, and what ComposeURL writes reads back as itself.
                '(ComposeURL "http://h:0/a/" "b")', '(ComposeURL "zup://Y::0/a/" "b")', '(GetURL "http://h:0/a")',
                '(ComposeURL "http://h/@/@x/" "b")'])
    r = run.agent("urls", "\n".join(forms) + "\n").wait_replies(len(forms))
    if not run.check(len(r) == len(forms), "replies: %d of %d" % (len(r), len(forms))):
        return
    model = lambda t: "".join("%%%02X" % b if b < 0x20 or b >= 0x80 or chr(b) in " #%*/:?" else chr(b) for b in t.encode())
    for t, reply in zip(coded, r):
        run.check(printed_string(reply) == model(t), "URLStringCode %r -> %s" % (t, reply))
    for t, reply in zip(escaped, r[len(coded):]):
        run.check(printed_string(reply) == urllib.parse.unquote(t), "DecodeURLString %r -> %s" % (t, reply))
    r = r[len(coded) + len(escaped):]
    run.check(r[:2] == ['"http://h:80/a/d/e.txt"', '"http://x:81/y"'] and is_error(r[2], PARAM_ERR, '"invalid path argments"'),
              "ComposeURL: %r" % r[:3])
    run.check(r[3:5] == ['("zup" "host" 99 "/db/x/" "r.txt")', '(() () 0 "rel/" "path")'], "GetURL: %r" % r[3:5])
    run.check(all(is_error(x, PARAM_ERR, '"invalid path argments"') for x in r[5:7]) and r[7] == "(() () 0 () ())"
              and r[8] == '"http://h:80/@/@x/b"', "port 0 and read-back: %r" % r[5:])


def connect_all(port, n):
    socks = [socket.socket() for _ in range(n)]
    for s in socks:
        s.setblocking(False)
        s.connect_ex(("127.0.0.1", port))
    return socks


def group_hostile():
    srv, port = listener("srv", rule='(Allow "all")', nofile=4096)
    baseline = srv.fds()
    # 1000 peers at once open a line link: each is admitted, told Busy or closed.
    sel, got, answers = selectors.DefaultSelector(), {}, {}
    for i, s in enumerate(connect_all(port, 1000)):
        sel.register(s, selectors.EVENT_WRITE, i)
    end = time.time() + 120
    while len(answers) < 1000 and time.time() < end:
        for key, ev in sel.select(timeout=1):
            i, s = key.data, key.fileobj
            try:
                data = s.send(b"\n") and b"" if ev & selectors.EVENT_WRITE else s.recv(4096)
            except OSError:
                data = None
            if data == b"" and ev & selectors.EVENT_WRITE:
                sel.modify(s, selectors.EVENT_READ, i)
                continue
            got[i] = got.get(i, b"") + (data or b"")
            if not data or b"Allow" in got[i] or b"Busy" in got[i]:
                answers[i] = "Allow" if b"Allow" in got[i] else "Busy" if b"Busy" in got[i] else "close"
                sel.unregister(s)
                s.close()
    run.check(len(answers) == 1000, "every peer answered: %d" % len(answers))
    print("1000 peers:", {k: list(answers.values()).count(k) for k in ("Allow", "Busy", "close")})
    run.check(srv.alive() and wait_for(lambda: srv.fds() <= baseline, 30), "descriptors back to %d: %d" % (baseline, srv.fds()))
    # 200 silent peers, accepted first, do not keep a new one waiting.
    silent = connect_all(port, 200)
    run.check(wait_for(lambda: srv.fds() >= baseline + 200, 10), "silent peers accepted")
    t = time.time()
    got = socat(port, r"\n(+ 1 2)\n")
    run.check(got == GREETING + b"<Result> 2 3</Result>\n" and time.time() - t < 10, "a new peer: %r" % got)
    for s in silent:
        s.close()
    run.check(srv.alive() and wait_for(lambda: srv.fds() <= baseline, 30), "descriptors back after the silent peers")


try:
    globals()["group_" + GROUP]()
except Exception as e:  # a broken expectation fails the group; the processes still stop
    run.check(False, "%s: %r" % (GROUP, e))
run.finish()
