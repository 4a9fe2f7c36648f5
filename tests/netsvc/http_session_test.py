#!/usr/bin/env python3
"""http sessions from outside: http_session_test.py <qnmx> <group>.

servers  python3 -m http.server serving XML (UTF-8 and an EUC-JP copy made
         with iconv), HTML and PNG; a missing file
wire     the request bytes, captured with socat: request line, Encoding,
         "*" headers, Content-Length (the counted one, never a "*" header's),
         Connection and Host in order, printed and raw bodies,
         a CR refused before any connection (in the form or in the URL)
forms    three forms in one call: the first two answered in order before
         the next goes out, the third as the call's delayed value
proxy    three qnmx processes: a client, a native proxy that records what
         it receives, and a server; the set-up forms go to the proxy once,
         a direct-access host bypasses it, SessionEnvironment's form is
         sent again after it changes, GetNativeProxy lists the setting
hostile  fake servers: an endless body past a cap of 1 MiB, a header line
         of 1 MB, no content type, a server that stalls one reply key
guard    a server that goes silent before the reply header, in a raw body
         and in a parsed body: each reply ends with an error while the
         server still holds it
"""
import hashlib
import http.server
import os
import re
import shutil
import socket
import subprocess
import sys
import threading
import time
import xml.dom.minidom

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from net_e2e import Run, free_port, listening, printed_string, stop, wait_for, zu_string  # noqa: E402

GROUP = sys.argv[2]
run = Run(sys.argv[1], GROUP)
METHOD_ERR, OPEN_ERR, STREAM_ERR = 0x80020508, 0x80040a06, 0x80040a12
ALLOW = '(Allow "ip" "127.0.0.1" "255.255.255.255")'


def is_error(reply, code, text=""):
    return reply.startswith("#error(%d " % code) and text in reply


def client(name, forms, env=None):
    a = run.agent(name, "".join(f + "\n" for f in forms))
    return a


def session_call(url, *forms):
    return "(RemoteSession s (URL %s) %s)" % (zu_string(url), " ".join(forms))


# ---- the reader's view of an XML document, from minidom

def zu_text(node):
    """The printed ZU form of a minidom element: (name ...) or
    ([name a="v" ...] ...), text split into words as strings."""
    attrs = "".join(' %s="%s"' % (k, v) for k, v in node.attributes.items())
    head = "[%s%s]" % (node.tagName, attrs) if attrs else node.tagName
    parts = [head]
    for c in node.childNodes:
        if c.nodeType == c.ELEMENT_NODE:
            parts.append(zu_text(c))
        elif c.nodeType == c.TEXT_NODE:
            parts += ['"%s"' % w for w in c.data.split()]
    return "(" + " ".join(parts) + ")"


XML = ('<?xml version="1.0" encoding="UTF-8"?>\n<catalog kind="books">\n'
       '  <book id="b1" lang="ja"><title>日本語の本</title><note>two words</note></book>\n'
       '  <book id="b2"><title>Plain</title><empty/></book>\n</catalog>\n')


def group_servers():
    root = os.path.join(run.work, "site")
    os.mkdir(root)
    with open(os.path.join(root, "a.xml"), "w", encoding="utf-8") as f:
        f.write(XML)
    status, euc = run.tool(["iconv", "-f", "UTF-8", "-t", "EUC-JP"], XML.encode())
    run.check(status == 0, "iconv makes the EUC-JP copy")
    with open(os.path.join(root, "e.xml"), "wb") as f:
        f.write(euc.replace(b'encoding="UTF-8"', b'encoding="EUC-JP"'))
    with open(os.path.join(root, "b.html"), "w") as f:
        f.write("<html><head><title>T</title></head><body><p class=x>Hi<br>there<img src=a.png></p></body></html>\n")
    status, png = run.tool(["pnmtopng"], b"P6\n3 2\n255\n" + bytes(range(18)))
    run.check(status == 0 and png.startswith(b"\x89PNG"), "pnmtopng makes c.png")
    with open(os.path.join(root, "c.png"), "wb") as f:
        f.write(png)
    p = free_port()
    srv = run.spawn(["python3", "-m", "http.server", "--bind", "127.0.0.1", "--directory", root, str(p)])
    run.check(wait_for(lambda: listening(p), 20), "http.server listens")
    base = "http://127.0.0.1:%d" % p
    forms = ["(Define s (OpenSession))",
             session_call(base + "/a.xml", '(get "/a.xml")'),
             session_call(base + "/e.xml", '(get "/e.xml")'),
             session_call(base + "/b.html", '(get "/b.html")'),
             "(Define png %s)" % session_call(base + "/c.png", '(get "/c.png")'),
             "(car png)",
             '(Save option="raw" oflag="creat:trunc" "got.png" (cdr png))',
             session_call(base + "/no.xml", '(get "/no.xml")'),
             session_call(base, '(get "/no.xml")')]
    r = client("cli", forms).wait_replies(len(forms), limit=60)
    if not run.check(len(r) == len(forms), "replies: %r" % r):
        return
    dom = xml.dom.minidom.parseString(XML.encode())
    want = "%s (([?xml version=\"1.0\" encoding=\"%%s\"]) %s))" % ("%s", zu_text(dom.documentElement))
    xml_type = r[1].split(" ", 1)[0][1:]
    run.check(xml_type in ("application/xml", "text/xml"), "the XML type the server sent: %s" % r[1][:40])
    run.check(r[1] == want % ("(" + xml_type, "UTF-8"), "XML as minidom reads it: %s" % r[1])
    run.check(r[2] == want % ("(" + xml_type, "EUC-JP"), "the EUC-JP copy reads the same: %s" % r[2])
    run.check(r[3] == '(text/html ((HTML (HEAD (TITLE "T")) (BODY ([P CLASS="x"] "Hi" (BR) "there" ([IMG SRC="a.png"]))))))',
              "HTML with tags in upper case: %s" % r[3])
    run.check(r[5] == "image/png", "the PNG's type: %s" % r[5])
    got = open(os.path.join(run.work, "got.png"), "rb").read()
    run.check(hashlib.sha256(got).digest() == hashlib.sha256(png).digest(), "the PNG's bytes (sha256)")
    run.check(is_error(r[7], STREAM_ERR, '("http error" 404)'), "a missing file: %s" % r[7])
    run.check(is_error(r[8], STREAM_ERR, '("http error" 404)'), "no path: the whole URL is the target: %s" % r[8])
    stop(srv)


# ---- request bytes

def capture(port, name):
    """socat on port: what it receives goes to name (the client never
    half-closes, so the capture ends after a second), then a fixed reply."""
    with open(os.path.join(run.work, "reply.txt"), "wb") as f:
        f.write(b"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nhi")
    cmd = "SYSTEM:timeout 1 cat > %s; cat reply.txt" % name
    return run.spawn(["socat", "TCP-LISTEN:%d,bind=127.0.0.1,reuseaddr" % port, cmd])


def group_wire():
    if not run.check(shutil.which("socat"), "socat is installed (scripts/setup.sh)"):
        return
    ports = [free_port() for _ in range(4)]
    for i, p in enumerate(ports):
        capture(p, "req%d" % i)
    run.check(wait_for(lambda: all(listening(p) for p in ports), 20), "socat listens")
    body = bytes([0, 13, 10, 255, 65, 66])
    with open(os.path.join(run.work, "body.bin"), "wb") as f:
        f.write(body)
    url = lambda i: "http://127.0.0.1:%d/x" % ports[i]
    forms = ["(Define s (OpenSession))",
             session_call(url(0), '(get "/a")'),
             session_call(url(1), '([post encode="EUC-JP" *X-A="1" other="no" *X-B="two words" *content-length="1"] "/b" '
                                 '(data "日本" 1))'),
             "(RemoteSession type=\"normal\" s (URL %s) (put \"/c\" ($ (car (Load option=\"raw\" \"body.bin\")))))" % zu_string(url(2)),
             session_call(url(3), '([get *X-A="1&#13;"] "/d")'),
             session_call(url(3), '(get "/d&#10;")'),
             session_call(url(3), '([get encode="EUC-JP&#10;"] "/d")'),
             session_call(url(3), '("get" "/d")'),
             # A line break or blank in the URL itself, whatever its protocol.
             '(RemoteSession s (URL "http://127.0.0.1:%d/a&#13;&#10;X-Injected: 1") (get))' % ports[3],
             '(RemoteSession s (URL "zup://127.0.0.1:%d/@ag/db/a b.zu") (get))' % ports[3]]
    r = client("cli", forms).wait_replies(len(forms), limit=60)
    if not run.check(len(r) == len(forms), "replies: %r" % r):
        return
    read = lambda i: open(os.path.join(run.work, "req%d" % i), "rb").read()
    host = lambda i: b"Host: 127.0.0.1:%d\r\n" % ports[i]
    run.check(read(0) == b"GET /a HTTP/1.0\r\nConnection: close\r\n" + host(0) + b"\r\n", "a GET: %r" % read(0))
    printed = '(data "日本" 1)\n'.encode("euc-jp")
    want = (b"POST /b HTTP/1.0\r\nEncoding: EUC-JP\r\nX-A: 1\r\nX-B: two words\r\nContent-Length: %d\r\n"
            b"Connection: close\r\n" % len(printed) + host(1) + b"\r\n" + printed)
    run.check(read(1) == want, "a POST with an encoding and headers, a printed body: %r" % read(1))
    run.check(read(2) == b"PUT /c HTTP/1.0\r\nContent-Length: 6\r\nConnection: close\r\n" + host(2) + b"\r\n" + body,
              "raw bytes sent as they are: %r" % read(2))
    run.check(r[1] == "(text/plain #2#])", "the reply as raw: %s" % r[1])
    for i, what in ((4, "a CR in a header"), (5, "a LF in the path"), (6, "a LF in the encoding"),
                    (7, "a head that is no symbol"), (8, "a CR LF in the URL"), (9, "a blank in a zup URL")):
        run.check(is_error(r[i], METHOD_ERR, '"method error"'), "%s is refused: %s" % (what, r[i]))
    run.check(not os.path.exists(os.path.join(run.work, "req3")) and listening(ports[3]),
              "no connection for a refused request")


# ---- fake servers in this process

class Fake(http.server.BaseHTTPRequestHandler):
    """Answers by path; records when each request began and ended."""
    protocol_version = "HTTP/1.0"
    log = []
    lock = threading.Lock()
    release = threading.Event()

    def log_message(self, *a):
        pass

    def note(self, what):
        with Fake.lock:
            Fake.log.append((what, self.path, time.time()))

    def do_GET(self):
        self.note("begin")
        self.ended = False
        try:
            self.answer()
        except (BrokenPipeError, ConnectionResetError):
            pass
        if not self.ended:
            self.note("end")

    def answer(self):
        p = self.path
        if p.startswith("/slow"):
            time.sleep(float(p.split("/")[2]))
            self.plain(p.encode())
        elif p == "/endless":
            self.wfile.write(b"HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n\r\n")
            chunk = b"x" * 65536
            for _ in range(64):  # 4 MiB at most, past any cap of the test
                self.wfile.write(chunk)
        elif p == "/endless.xml":
            self.wfile.write(b"HTTP/1.0 200 OK\r\nContent-Type: text/xml\r\n\r\n<r>")
            for _ in range(64):
                self.wfile.write(b"<a>x</a>" * 8192)
        elif p == "/longline":
            self.wfile.write(b"HTTP/1.0 200 OK\r\nX-Long: " + b"y" * 1000000 + b"\r\n\r\nbody")
        elif p == "/notype":
            self.wfile.write(b"HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nabcde")
        elif p == "/doc.xml":
            self.wfile.write(b"HTTP/1.0 200 OK\r\nContent-Type: text/xml\r\n\r\n<r><a>x</a></r>")
        elif p == "/stall":
            Fake.release.wait(60)
            self.plain(b"late")
        elif p.startswith("/silent"):
            heads = {"/silent.body": b"Content-Type: application/octet-stream\r\n\r\nab",
                     "/silent.xml": b"Content-Type: text/xml\r\n\r\n<r><a>x</a>"}
            if p in heads:
                self.wfile.write(b"HTTP/1.0 200 OK\r\n" + heads[p])
            Fake.release.wait(120)
        else:
            self.plain(b"ok")

    def plain(self, body):
        # The end is noted before the last byte goes out: a client that
        # waits for the whole reply cannot send its next request before it,
        # however late this thread runs once the reply has gone.
        reply = b"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: %d\r\n\r\n" % len(body) + body
        self.wfile.write(reply[:-1])
        self.note("end")
        self.ended = True
        self.wfile.write(reply[-1:])


def fake_server():
    srv = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Fake)
    srv.daemon_threads = True
    threading.Thread(target=srv.serve_forever, daemon=True).start()
    return srv, "http://127.0.0.1:%d" % srv.server_address[1]


def group_forms():
    srv, base = fake_server()
    # The replies of the forms before the last are dropped: their
    # connections close at once, parsed bodies too.
    dropped = " ".join(['(get "/doc.xml")'] * 20)
    forms = ["(Sleep 2)", "(Define s (OpenSession))", "(Define t (GetZUTime))",
             session_call(base + "/", '(get "/slow/1")', '(get "/slow/0.5")', '(get "/slow/0")'),
             "(- (GetZUTime) t)", session_call(base + "/", dropped, '(get "/doc.xml")'), "(Sleep 3)"]
    cli = client("cli", forms)
    wait_for(lambda: cli.fds() > 0, 10)
    time.sleep(1)
    baseline = cli.fds()
    r = cli.wait_replies(len(forms) - 1, limit=60)
    if not run.check(len(r) == len(forms) - 1, "replies: %r" % r):
        return
    time.sleep(1)
    run.check(cli.fds() == baseline, "dropped replies hold no connection: %d, %d before" % (cli.fds(), baseline))
    run.check(r[5] == '(text/xml ((r (a "x"))))', "the last form's reply: %s" % r[5])
    r = r[1:]
    run.check(r[2] == "(text/plain #7#])", "the third form's reply: %s" % r[2])
    order = [(w, p) for w, p, _ in Fake.log if p.startswith("/slow")]
    run.check(order == [("begin", "/slow/1"), ("end", "/slow/1"), ("begin", "/slow/0.5"), ("end", "/slow/0.5"),
                        ("begin", "/slow/0"), ("end", "/slow/0")], "each form waits for the one before: %r" % order)
    srv.shutdown()


def group_hostile():
    srv, base = fake_server()
    other, base2 = fake_server()
    run.env["QNMX_HTTP_REPLY_CAP"] = str(1 << 20)
    forms = ["(Sleep 2)", "(Define s (OpenSession))",
             session_call(base + "/", '(get "/endless")'),
             "(Define x %s)" % session_call(base + "/", '(get "/endless.xml")'),
             "(car (cdr x))",
             session_call(base + "/", '(get "/longline")'),
             session_call(base + "/", '(get "/notype")'),
             # The stall holds its reply key, and the replies of its server
             # come in call order: another server goes on.
             "(Define stalled (IgnoreDelay %s 0))" % session_call(base + "/", '(get "/stall")'),
             "(Define t (GetZUTime))",
             session_call(base2 + "/", '(get "/fine")'),
             "(- (GetZUTime) t)",
             "(car (car stalled))", "(Sleep 3)"]
    cli = client("cli", forms)
    wait_for(lambda: cli.fds() > 0, 10)
    time.sleep(1)
    baseline = cli.fds()
    r = cli.wait_replies(len(forms) - 2, limit=60)
    Fake.release.set()
    if not run.check(len(r) == len(forms) - 2, "replies: %r" % r):
        return
    run.check(is_error(r[2], STREAM_ERR, '"http connection error"'), "an endless body stops at the cap: %s" % r[2][:80])
    run.check("input over its memory budget" in r[4] and len(r[4]) < 400,
              "an endless XML body ends at the cap: %s" % r[4][:400])
    run.check(is_error(r[5], STREAM_ERR, '"http connection error"'), "a header line of 1 MB: %s" % r[5][:80])
    run.check(r[6] == "(application/octet-stream #5#])", "no content type: raw: %s" % r[6])
    run.check(r[9] == "(text/plain #2#])" and r[10] in ("0sec", "1sec"), "a stalled key blocks nothing else: %r" % r[9:11])
    r = cli.wait_replies(len(forms) - 1, limit=60)
    run.check(r[-1:] == ["text/plain"], "the stalled reply arrives once let go: %r" % r[-1:])
    time.sleep(1)
    fds = cli.fds()
    run.check(fds == baseline, "descriptors back to the baseline: %d, %d before" % (fds, baseline))
    run.check(cli.wait_exit(30) == 0, "the script ends")
    srv.shutdown()
    other.shutdown()


def group_guard():
    srv, base = fake_server()
    run.env["QNMX_ZOH_REPLY_GUARD"] = "2"
    forms = ["(Sleep 2)", "(Define s (OpenSession))",
             session_call(base + "/", '(get "/silent")'),
             session_call(base + "/", '(get "/silent.body")'),
             "(Define x %s)" % session_call(base + "/", '(get "/silent.xml")'),
             "(cdr x)"]
    cli = client("cli", forms)
    r = cli.wait_replies(len(forms), limit=90)
    ended = [p for w, p, _ in Fake.log if w == "end"]
    Fake.release.set()
    if not run.check(len(r) == len(forms), "replies: %r" % r):
        return
    run.check(ended == [], "every reply ended while its server still held it: %r" % ended)
    run.check(is_error(r[2], STREAM_ERR, '"http connection error"'), "no reply header: %s" % r[2])
    run.check(is_error(r[3], STREAM_ERR, '"http connection error"'), "a raw body that stops: %s" % r[3])
    run.check(r[5].startswith("((#error(") and '"parse" ("read error")' in r[5],
              "a parsed body that stops ends with the reader's error: %s" % r[5])
    run.check(cli.wait_exit(30) == 0, "the script ends")
    srv.shutdown()


# ---- the native proxy

def agent_script(name, log=False):
    """A serving agent on (Arg 1): it names itself, maps ".zu" to agentA,
    binds the forms peers are expected to have bound and, for the proxy,
    records what it receives."""
    record = '(Define SetSessionEnv () (h f) (Sequence () (set got (cons (List "env" f) got)) ()))\n' if log else \
             '(Define SetSessionEnv () (h f) ())\n'
    return ('(SetThisAgentName "%s")\n(SetPrefixMode ".zu" "agentA" "zu" "Get")\n(Define got ())\n'
            '(Define SetAgent () (h a m) ())\n%s(Define Where () (h) "%s")\n(Define Note () (h n) (Sequence () (set got (cons n got)) n))\n'
            '(SetMainInterpreter (OpenInterpreter "accept" (CurrentEnvironment) (Port (Cast type="integer" (Arg 1))) '
            '(Permission () %s)))\n' % (name, record, name, ALLOW))


def relay(listen_port, to_port):
    """socat between client and proxy, logging what passes (-v)."""
    return run.spawn(["socat", "-v", "TCP-LISTEN:%d,bind=127.0.0.1,reuseaddr,fork" % listen_port,
                      "TCP:127.0.0.1:%d" % to_port])


def group_proxy():
    if not run.check(shutil.which("socat"), "socat is installed (scripts/setup.sh)"):
        return
    pp, sp, rp = free_port(), free_port(), free_port()
    proxy = run.agent("proxy", agent_script("proxy", log=True), [pp])
    srv = run.agent("srv", agent_script("srv"), [sp])
    tap = relay(rp, pp)
    web_srv, web = fake_server()
    run.check(wait_for(lambda: listening(pp) and listening(sp) and listening(rp), 20), "proxy, server and tap listen")
    srv_url = lambda host: zu_string("zup://%s:%d/@agentA/db/x.zu" % (host, sp))
    forms = ["(Define s (OpenSession))",
             '(SetNativeProxy type="NativeProxy" server="127.0.0.1" port="%d")' % rp,
             '(SetNativeProxy type="NoProxy" direct="localhost, 127.0.0.2")',
             "(GetNativeProxy)",
             "(RemoteSession s (URL %s) (List (Where) (Note 1)))" % srv_url("127.0.0.1"),
             "(RemoteSession s (URL %s) (List (Where) (Note 2)))" % srv_url("127.0.0.1"),
             # Direct: the server itself answers, the proxy sees nothing.
             "(RemoteSession s (URL %s) (Where))" % srv_url("localhost"),
             "(SessionEnvironment s (quote (Note 10)))",
             "(RemoteSession s (URL %s) (Note 3))" % srv_url("127.0.0.1"),
             "(SessionEnvironment s (quote (Note 20)))",
             "(RemoteSession s (URL %s) (Note 4))" % srv_url("127.0.0.1"),
             # What the proxy holds, asked directly.
             "(RemoteSession s (URL %s) got)" % zu_string("zup://localhost:%d/@agentA/db/x.zu" % pp),
             "(RemoteSession s (URL %s) got)" % srv_url("localhost"),
             # An http request goes through the proxy as well.
             session_call(web + "/", '(get "/fine")'),
             '(SessionEnvironment "s" 1)', "(SessionEnvironment 99999 1)",
             '(SetNativeProxy type="HTTPProxy" server="h" port="1")', '(SetNativeProxy type="ZUoHTTP")',
             '(SetNativeProxy type="NativeProxy" direct="h")', '(SetNativeProxy type="Nope")',
             '(SetNativeProxy type="NativeProxy" server="h")', '(SetNativeProxy type="NoProxy" direct=" , ")',
             '(SetNativeProxy type="NoProxy")', "(GetNativeProxy)"]
    r = client("cli", forms).wait_replies(len(forms), limit=90)
    if not run.check(len(r) == len(forms), "replies: %r" % r):
        return
    run.check(r[3] == '(proxyinfo "NativeProxy" "127.0.0.1" %d (server "NoProxy" "localhost") (server "NoProxy" "127.0.0.2"))'
              % rp, "GetNativeProxy lists the setting: %s" % r[3])
    run.check(r[4] == '("srv" 1)' and r[5] == '("srv" 2)', "requests reach the server through the proxy: %r" % r[4:6])
    run.check(r[6] == '"srv"', "a direct-access host is reached directly: %s" % r[6])
    run.check(r[8] == "3" and r[10] == "4", "requests after SessionEnvironment: %r" % [r[8], r[10]])
    # The proxy got each set-up form once, quoted; asked directly, it ran
    # the session's own set-up form first, as the server did.
    run.check(r[11] == '(20 ("env" (Note 20)) ("env" (Note 10)))', "SetSessionEnv at the proxy, once per change: %s" % r[11])
    run.check(r[12] == "(20 4 3 2 1)", "the server's order: %s" % r[12])
    stop(tap)
    log = "".join(open(os.path.join(run.work, f), errors="replace").read() for f in sorted(os.listdir(run.work))
                  if f.endswith(".socat"))
    m = re.search(r"\(Define rs(\d+) ", log)
    sid = m.group(1) if m else "?"
    # Once at the first request, again with each new set-up form.
    defines = log.count('(Define rs%s ([OpenSession type="optimize"]))' % sid)
    run.check(defines == 3, "(Define rsN (OpenSession type=\"optimize\")) went to the proxy once per set-up: %d" % defines)
    run.check(log.count("(RemoteSession rs%s " % sid) == 5, "five requests went through the proxy")
    run.check(r[13] == "(text/plain #2#])", "an http request through the proxy: %s" % r[13])
    run.check(log.count("(RemoteSession rs%s (URL \"%s/\")" % (sid, web)) == 1, "it went through the proxy")
    errs = r[14:23]
    run.check(is_error(errs[0], 0x80030806, '"SetAessionEnv" "type missmatch"'), "SessionEnvironment of a string: %s" % errs[0])
    run.check(is_error(errs[1], 0x80040217, '"SetAessionEnv" -1)'), "an unknown session: %s" % errs[1])
    run.check(all(is_error(e, 0x80040503, '("invalid proxy type" "%s")' % t)
                  for e, t in ((errs[2], "HTTPProxy"), (errs[3], "ZUoHTTP"), (errs[4], "NativeProxy"))),
              "type and direct combinations refused: %r" % errs[2:5])
    run.check(is_error(errs[5], 0x80040503, '("invalid proxy type")'), "an unknown type: %s" % errs[5])
    run.check(is_error(errs[6], 0x80040503, '("proxy server port is required")'), "a server without port: %s" % errs[6])
    run.check(is_error(errs[7], 0x80040503, '("invalid direct parameter")'), "an empty direct list: %s" % errs[7])
    run.check(errs[8] == "()" and r[23] == '(proxyinfo "NoProxy")', "NoProxy stops the proxy: %r" % r[22:])
    web_srv.shutdown()
    proxy.stop()
    srv.stop()


GROUPS = {"servers": group_servers, "wire": group_wire, "forms": group_forms, "hostile": group_hostile,
          "proxy": group_proxy, "guard": group_guard}
try:
    GROUPS[GROUP]()
finally:
    run.finish()
