#!/usr/bin/env python3
"""Listeners, links and the network built-ins of qnmx from outside.

links_e2e_test.py <qnmx binary> <group>

socat    a listener spoken to by socat: greeting and replies, Deny, a bad
         address, reply forms, a listener without environment
remote   two qnmx processes: Remote, Local, unknown iids, a peer killed
         mid-query; socat fake peers that answer or refuse
tables   time-outs read back in seconds, SetProxy refusals, the errors of
         the interpreter built-ins, a stale "__zui"
urls     URLStringCode and DecodeURLString against Python models, ComposeURL
hostile  1000 concurrent connections under a descriptor limit, 200 silent
         ones next to a new peer
"""
import os
import random
import selectors
import signal
import socket
import sys
import time
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from net_e2e import Run, free_port, listening, printed_string, wait_for, zu_string  # noqa: E402

GROUP = sys.argv[2]
run = Run(sys.argv[1], GROUP)
# The listener's greeting to a line link: the encoding (UTF-8) and Allow.
GREETING = b"\n&cxdfff0006;\n<Permission>Allow</Permission>\n"
TYPE_ERROR, PARAM_ERROR, IID_ERROR, STREAM_ERROR = 2147682310, 2147747075, 2147747101, 2147748370


def listener_script(options="", rule='(Allow "ip" "127.0.0.1" "255.255.255.255")', env="Env0"):
    return ('(SetMainInterpreter (OpenInterpreter "accept" %s (Port (Cast type="integer" (Arg 1))) %s '
            "(Permission () %s)))\n" % (env, options, rule))


def start_listener(name, nofile=None, **kw):
    port = free_port()
    a = run.agent(name, listener_script(**kw), [port], nofile=nofile)
    replies = a.wait_replies(1)
    run.check(replies == ["()"] and wait_for(lambda: listening(port), 10), "%s listens: %r" % (name, replies))
    return a, port


def socat_lines(port, text, limit=10):
    return run.tool(["sh", "-c", "printf '%s' | socat -t 5 - TCP:127.0.0.1:%d" % (text, port)], limit=limit)[1]


def is_error(reply, code, text=""):
    return reply.startswith("#error(%d " % code) and text in reply


# ---- socat against listeners

def group_socat():
    srv, port = start_listener("allow")
    got = socat_lines(port, r"\n(+ 1 2)\n")
    run.check(got == GREETING + b"<Result> 2 3</Result>\n", "greeting and reply: %r" % got)
    srv, port = start_listener("deny", rule='(Deny "all")')
    got = socat_lines(port, r"\n(+ 1 2)\n")
    run.check(got == b"<Permission>Denied</Permission>\n", "denied: %r" % got)
    bad = run.agent("badip", listener_script(rule='(Allow "ip" "127.0.0.300" "255.255.255.255")'), [free_port()])
    r = bad.wait_replies(1)
    run.check(len(r) == 1 and is_error(r[0], TYPE_ERROR, '"allow/deny" ("type missmatch")'), "bad address: %r" % r)
    # Reply forms: bare values, XML, and a listener without environment.
    srv, port = start_listener("plain", options="(Result 0)")
    got = socat_lines(port, r"\n(+ 1 2)\n(quote (a b))\n")
    run.check(got == GREETING + b"3\n(a b)\n", "Result 0: %r" % got)
    srv, port = start_listener("xml", options='(FormatMode "xml")')
    got = socat_lines(port, r"\n(quote (a b))\n")
    run.check(got == GREETING + b"<Result> 2 <a>[b]</a></Result>\n", "FormatMode xml: %r" % got)
    srv, port = start_listener("noenv", env="()", rule='(Allow "all")')
    got = socat_lines(port, r"\n(+ 1 2)\n").split(b"</Permission>\n")[-1].decode()
    run.check(got.startswith("<Result> 2 #error(2147682053 ") and '("+")' in got, "nil environment: %r" % got)


# ---- two processes, and fake peers

CLIENT = ('(define iid (OpenInterpreter "connect" Env0 (HostName "127.0.0.1") '
          '(Port (Cast type="integer" (Arg 1)))))\n')


def group_remote():
    srv, port = start_listener("srv")
    cli = run.agent("cli", CLIENT + "(Remote iid (+ 1 2))\n(list (GetIid) (Remote iid (Local (GetIid))))\n"
                    "(Remote 999999 (+ 1 2))\n(Remote iid (+ 1 1))\n(Remote iid (while 1 1))\n", [port])
    r = cli.wait_replies(5)
    run.check(len(r) == 5 and r[0] == "iid", "connected: %r" % r)
    if len(r) == 5:
        run.check(r[1] == "3", "Remote (+ 1 2): %r" % r[1])
        ids = r[2].strip("()").split()
        run.check(len(ids) == 2 and ids[0] == ids[1], "Local reaches the asker: %r" % r[2])
        run.check(is_error(r[3], IID_ERROR, '"Remote" ("invalid iid 1")'), "unknown iid: %r" % r[3])
        # The peer dies while the last query runs there.
        srv.stop(signal.SIGKILL)
        t = time.time()
        last = cli.wait_replies(6, limit=10)
        waited = time.time() - t
        run.check(len(last) == 6 and is_error(last[5], STREAM_ERROR) and waited < 10,
                  "killed peer answered in %.1f s: %r" % (waited, last[5:]))
    # Fake peers: Allow, then a reply for the command's line (the opening
    # line end is line 1, the encoding announcement after Allow line 2).
    for name, answer, want in (("fake_allow", r'<Result> 3 42</Result>\n', "42"), ("fake_denied", "", None)):
        port = free_port()
        peer = os.path.join(run.work, name + ".sh")
        with open(peer, "w") as f:
            if want:
                f.write('read a\nprintf "<Permission>Allow</Permission>\\n"\nread b\nread c\n'
                        'printf "%s"\ncat >/dev/null\n' % answer)
            else:
                f.write('read a\nprintf "<Permission>Denied</Permission>\\n"\ncat >/dev/null\n')
        fake = run.spawn(["socat", "TCP-LISTEN:%d,bind=127.0.0.1,reuseaddr" % port, "EXEC:sh %s" % peer])
        run.check(wait_for(lambda: listening(port), 10), "%s listens" % name)
        cli = run.agent(name + "_cli", CLIENT + "(Remote iid (+ 1 2))\n", [port])
        r = cli.wait_replies(2)
        if want:
            run.check(r == ["iid", want], "%s: %r" % (name, r))
        else:
            run.check(len(r) == 2 and is_error(r[0], STREAM_ERROR, '"cannot access the stream"'), "%s: %r" % (name, r))
        cli.stop()
        fake.kill()
        fake.wait()


# ---- tables and the errors of the built-ins

TABLE = [
    # Time-outs are kept in ticks of 5 s and read back in seconds.
    ('(GetZUIinfo (OpenInterpreter "accept" Env0 (Port (Cast type="integer" (Arg 1))) (ConnectionTimeout 10) '
     '(SilentTimeout 2min) (Permission () (Allow "all"))))', lambda r: "(connection-timeout 10) (silent-timeout 120)" in r),
    ('(GetZUIinfo (OpenInterpreter "accept" Env0 (Port (Cast type="integer" (Arg 2))) (SilentTimeout 7) '
     '(ConnectionTimeout 3km) (Permission () (Allow "all"))))', lambda r: "(connection-timeout 5) (silent-timeout 10)" in r),
    # SetProxy checks everything before it stores anything.
    ('(SetProxy type="HTTPProxy" server="p.example" port="3128")', lambda r: r == "()"),
    ('(SetProxy type="NativeProxy" server="q" port="1" keep-alive="off")', lambda r: is_error(r, PARAM_ERROR, '"invalid proxy type"')),
    ('(SetProxy type="HTTPProxy" port="3128")', lambda r: is_error(r, PARAM_ERROR, '"proxy server is required"')),
    ('(SetProxy type="HTTPProxy" server="q" port="70000")', lambda r: is_error(r, PARAM_ERROR, '"proxy server port is required"')),
    ('(SetProxy type="HTTPProxy" direct="h")', lambda r: is_error(r, PARAM_ERROR, '("invalid proxy type" "HTTPProxy")')),
    ('(GetProxy)', lambda r: r == '(proxyinfo "HTTPProxy" "p.example" 3128)'),
    ('(SetProxy type="NoProxy" direct=" a,,b ")', lambda r: r == "()"),
    ('(GetProxy)', lambda r: r == '(proxyinfo "HTTPProxy" "p.example" 3128 (server "NoProxy" "b") (server "NoProxy" "a"))'),
    # The interpreter built-ins' refusals.
    ('(OpenInterpreter "socket" Env0)', lambda r: is_error(r, PARAM_ERROR, '"interpreter accept type"')),
    ('(OpenInterpreter "pipe" Env0)', lambda r: is_error(r, PARAM_ERROR, '"RecvStream in OpenInterpreter" "No recieved streams"')),
    ('(OpenInterpreter "accept" 5)', lambda r: is_error(r, TYPE_ERROR, '"first argment(interpreter environment)"')),
    ('(OpenInterpreter "accept" Env0 (Permission ("a" 5)))', lambda r: is_error(r, TYPE_ERROR, '"type missmatch"')),
    ('(OpenInterpreter "accept" Env0 (FormatMode "json"))', lambda r: is_error(r, PARAM_ERROR, '("invalid format mode" "json")')),
    ('(OpenInterpreter "accept" Env0 (Type "x"))', lambda r: is_error(r, PARAM_ERROR, '"Type in OpenInterpreter" "invalid Type"')),
    ('(OpenInterpreter "accept" Env0 (Port "x"))', lambda r: is_error(r, TYPE_ERROR, '"Port" ()')),
    ('(OpenInterpreter "connect" Env0 (HostName "127.0.0.1") (Port (Cast type="integer" (Arg 3))))',
     lambda r: is_error(r, STREAM_ERROR, '"cannot access the stream"')),
    ('(CloseInterpreter "1")', lambda r: is_error(r, TYPE_ERROR)),
    ('(WaitInterpreter 999999.5)', lambda r: r == "()"),
    ('(WaitInterpreter -1)', lambda r: is_error(r, PARAM_ERROR)),
    ('(GetCPUStatus 999999)', lambda r: is_error(r, PARAM_ERROR, '"there is no such ZU interpreter"')),
    ('(GetZUIinfo "1")', lambda r: is_error(r, TYPE_ERROR, '"type missmatch IID"')),
    ('(GetZUIinfo 999999)', lambda r: is_error(r, 2147747073, '"undefined IID"')),
    ('(SetMainInterpreter 999999)', lambda r: is_error(r, 2147747598, '"MainInterpreter" "undefined iid"')),
    ('(SetThisAgentName "a")', lambda r: r == '"a"'),
    # A keyword kept past its call finds no record behind a stale "__zui".
    ('(define k 0)', lambda r: True),
    ('(define p 0)', lambda r: True),
    ('(OpenInterpreter "accept" Env0 (set k __zui) (set p Port) (Port "x"))', lambda r: is_error(r, TYPE_ERROR)),
    ('(define __zui k)', lambda r: True),
    ('(p 5)', lambda r: r == "()"),
    ('(GetCPUStatus (GetIid))', lambda r: r.startswith("((iid ") and "(a-type 2)" in r and "(timeout -1 -1)" in r),
    ('(SetMainInterpreter -1)', lambda r: r == "()"),
    ('(GetMainInterpreter)', lambda r: is_error(r, 2147747598, '"undefined main interpreter"')),
    ('(SetMainInterpreter (GetIid))', lambda r: r == "()"),
]


def group_tables():
    a = run.agent("tables", "\n".join(form for form, _ in TABLE) + "\n", [free_port(), free_port(), free_port()])
    r = a.wait_replies(len(TABLE))
    run.check(len(r) == len(TABLE), "all replies: %d of %d" % (len(r), len(TABLE)))
    for (form, ok), reply in zip(TABLE, r):
        run.check(ok(reply), "%s -> %s" % (form, reply))
    run.check(a.wait_exit(30) == 0, "the script ends")


# ---- URLs against Python models

def model_code(text):
    out = ""
    for b in text.encode("utf-8"):
        out += "%%%02X" % b if b < 0x20 or b >= 0x80 or chr(b) in " #%*/:?" else chr(b)
    return out


def group_urls():
    rng = random.Random(40)
    alphabet = [chr(c) for c in range(0x20, 0x7F)] + ["é", "あ", "€", "\U0001F600"]
    texts = ["", "a b/c?d", "only=letters&digits123"] + [
        "".join(rng.choice(alphabet) for _ in range(rng.randint(1, 12))) for _ in range(60)]
    # Valid escapes of UTF-8 text (no zero byte), mixed with plain characters.
    def escape(ch):
        return "".join(("%%%02x" if rng.random() < .5 else "%%%02X") % b for b in ch.encode())
    plain = [c for c in alphabet if c < "\x7f" and c != "%"]
    escaped = ["%20%2f", "a%", "%E3%81%82b", "%7e%7E"] + [
        "".join(escape(ch) if ch not in plain or rng.random() < .5 else ch for ch in rng.sample(alphabet, 8))
        for _ in range(40)]
    compose = [('"http://h:80/a/b/c.txt" "../d/e.txt"', '"http://h:80/a/d/e.txt"'),
               ('"http://h:80/a/b/c.txt" "http://x:81/y"', '"http://x:81/y"'),
               ('"/a/b" "c"', None)]
    forms = ["(URLStringCode %s)" % zu_string(t) for t in texts]
    forms += ["(DecodeURLString %s)" % zu_string(t) for t in escaped]
    forms += ["(ComposeURL %s)" % c for c, _ in compose]
    forms += ['(GetURL "zup://host:99/@ag/db/x/r.txt?q#n")', '(GetURL "rel/path")']
    a = run.agent("urls", "\n".join(forms) + "\n")
    r = a.wait_replies(len(forms))
    if not run.check(len(r) == len(forms), "all replies: %d of %d" % (len(r), len(forms))):
        return
    for t, reply in zip(texts, r):
        run.check(printed_string(reply) == model_code(t), "URLStringCode %r -> %s" % (t, reply))
    r = r[len(texts):]
    for t, reply in zip(escaped, r):
        run.check(printed_string(reply) == urllib.parse.unquote(t), "DecodeURLString %r -> %s" % (t, reply))
    r = r[len(escaped):]
    for (c, want), reply in zip(compose, r):
        run.check(reply == want if want else is_error(reply, PARAM_ERROR, '"invalid path argments"'),
                  "ComposeURL %s -> %s" % (c, reply))
    run.check(r[3:] == ['("zup" "host" 99 "/db/x/" "r.txt")', '(() () 0 "rel/" "path")'], "GetURL: %r" % r[3:])


# ---- hostile peers

def connect_all(port, n):
    socks = []
    for _ in range(n):
        s = socket.socket()
        s.setblocking(False)
        s.connect_ex(("127.0.0.1", port))
        socks.append(s)
    return socks


def group_hostile():
    srv, port = start_listener("srv", rule='(Allow "all")', nofile=4096)
    baseline = srv.fds()
    # 1000 peers at once, each opening a line link: each is admitted, told
    # Busy, or closed.
    socks = connect_all(port, 1000)
    sel = selectors.DefaultSelector()
    answers, partial = {}, {}
    for i, s in enumerate(socks):
        sel.register(s, selectors.EVENT_WRITE, i)
    end = time.time() + 120
    while len(answers) < len(socks) and time.time() < end:
        for key, ev in sel.select(timeout=1):
            i, s = key.data, key.fileobj
            if ev & selectors.EVENT_WRITE:
                try:
                    s.send(b"\n")
                    sel.modify(s, selectors.EVENT_READ, i)
                except OSError:
                    answers[i] = "closed"
                    sel.unregister(s)
                continue
            try:
                data = s.recv(4096)
            except OSError:
                data = b""
            got = partial[i] = partial.get(i, b"") + data
            if b"Allow" in got or b"Busy" in got or not data:
                answers[i] = "allow" if b"Allow" in got else "busy" if b"Busy" in got else "closed"
                sel.unregister(s)
    kinds = list(answers.values())
    run.check(len(kinds) == len(socks), "every peer answered: %d of %d" % (len(kinds), len(socks)))
    print("1000 peers: %d allow, %d busy, %d closed" % (kinds.count("allow"), kinds.count("busy"), kinds.count("closed")))
    run.check(kinds.count("allow") > 0, "some peers admitted")
    for s in socks:
        s.close()
    run.check(srv.alive(), "the listener lives")
    run.check(wait_for(lambda: srv.fds() <= baseline, 30), "descriptors back to %d: %d" % (baseline, srv.fds()))
    # 200 silent peers do not keep a new one waiting.
    silent = connect_all(port, 200)
    run.check(wait_for(lambda: srv.fds() >= baseline + 200, 10), "silent peers accepted: %d" % (srv.fds() - baseline))
    t = time.time()
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        s.sendall(b"\n(+ 1 2)\n")
        got = b""
        while b"</Result>" not in got:
            try:
                data = s.recv(4096)
            except socket.timeout:
                break
            if not data:
                break
            got += data
    run.check(got == GREETING + b"<Result> 2 3</Result>\n" and time.time() - t < 10,
              "a new peer next to 200 silent ones: %r in %.1f s" % (got, time.time() - t))
    for s in silent:
        s.close()
    run.check(srv.alive() and wait_for(lambda: srv.fds() <= baseline, 30), "descriptors back after the silent peers")


try:
    {"socat": group_socat, "remote": group_remote, "tables": group_tables, "urls": group_urls,
     "hostile": group_hostile}[GROUP]()
except Exception as e:  # a broken expectation is a failure, and the processes still stop
    run.check(False, "%s: %r" % (GROUP, e))
run.finish()
