#!/usr/bin/env python3
"""Text crosses every kind of link as it was sent: link_text_test.py QNMX
EXAMPLES.

One table: each row sends values holding "&" (and the other characters
readers take specially) over one kind of link, from a client qnmx of its
own: a line link both ways (a query, a reply, a question the server puts
back), a list, a form holding such a string, an attribute value, symbols,
a ZUoHTTP link, a session request to examples/agents_server.zu, and an HTTP
request whose path a qnmx registered to a remote agent. Every row must
answer the values sent within LIMIT seconds: a reader that waits for the
rest of a character reference would hold its link until then. The rows run
at the same time."""
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from net_e2e import Run, zu_string  # noqa: E402
from checks import curl  # noqa: E402

QNMX, EXAMPLES = sys.argv[1], os.path.realpath(sys.argv[2])
LIMIT = 30
run = Run(QNMX, "text")

# Listens on every address; its peers' forms see greet, and amp, a symbol
# whose name ends in "&" (which a reply ends with, just before its tag).
SERVER = '''(Define greet () (h) who)
(Define amp (quote a&cx26;))
(SetMainInterpreter (OpenInterpreter "accept" (CurrentEnvironment) (Port (Cast type="integer" (Arg 1)))
  (Permission () (Allow "ip" "127.0.0.0" "255.0.0.0"))))
'''
# A remote agent of HTTP paths: its GET answers the path it was asked for.
HTTP_PEER = '''(Eval Env1 (quote (Define SetAgent () (f agent mode) ())))
(Eval Env1 (quote (Define HTTP () (f define form) form)))
(Eval Env1 (quote (Define GET () (f) (List (quote text/html) (List (quote P) HttpAgent_path dir)))))
(SetMainInterpreter (OpenInterpreter "accept" Env1 (Port (Cast type="integer" (Arg 1))) (Permission () (Allow "all"))))
'''
# The qnmx whose path /q&r is served by that agent (which it tells the path
# when it connects).
HTTP_OWN = '''(SetHttpAgentPath "/q&amp;r" "zup://127.0.0.1:%d/@agent")
(SetMainInterpreter (OpenInterpreter "accept" Env1 (Port (Cast type="integer" (Arg 1))) (Permission () (Allow "all"))))
'''
# Texts each of which hung a link, and the other characters readers take
# specially.
TEXTS = ["a&b=2", "a&b", "a& b", "&", "x&1", "x&bc d", "a&b;", '<q a="1">\'x\'</q>', "&amp;&cx41;&#38;&lt"]


def connect(host, port, setting=""):
    return setting + '(define l (OpenInterpreter "connect" Env0 (HostName "%s") (Port %d)))\n' % (host, port)


def remote(form):
    return "(Remote l %s)\n" % form


def main():
    port = run.listening("server", SERVER)[1]
    peer_port = run.listening("http_peer", HTTP_PEER)[1]
    own_port = run.listening("http_own", HTTP_OWN % peer_port)[1]
    with open(os.path.join(EXAMPLES, "agents_server.zu")) as f:
        maps_port = run.listening("mapserver", f.read())[1]
    line = connect("127.0.0.1", port)
    # (name, client script, its replies)
    rows = [("a string there and back", line + remote('"a&amp;b"'), ["l", zu_string("a&b")]),
            ("a value only the reply holds", line + remote("amp"), ["l", '["a&amp;"]']),
            ("a string the server asks back", line + remote('(Local "a&amp;b")'), ["l", zu_string("a&b")]),
            ("the texts that hung", line + "".join(remote(zu_string(t)) for t in TEXTS),
             ["l"] + [zu_string(t) for t in TEXTS]),
            ("a list", line + remote('(List "x&amp;y" 1)'), ["l", "(%s 1)" % zu_string("x&y")]),
            ("a form holding one", line + remote('(StringLength "a&amp;b")'), ["l", "3"]),
            ("an attribute value", line + remote('(greet who="a&amp;b")'), ["l", zu_string("a&b")]),
            ("symbols come back symbols", line + remote("(quote a&cx26;b)") + remote("(quote abc)"),
             ["l", '["a&amp;b"]', "abc"]),
            ("a ZUoHTTP link", connect("127.0.0.2", port, '(SetProxy type="ZUoHTTP")\n') + remote('"a&amp;b"') +
             remote('(greet who="a&amp;b")'), ["()", "l", zu_string("a&b"), zu_string("a&b")]),
            ("a session request", "(define s (OpenSession))\n" + "".join(
                '(RemoteSession s (URL "zup://127.0.0.1:%d/@mapserver/db/hello.zu") %s)\n' % (maps_port, v)
                for v in ('"a&amp;b"', "(quote a&cx26;b)")), ["s", zu_string("a&b"), '["a&amp;b"]'])]
    clients = [(name, run.agent("row%d" % i, script), want) for i, (name, script, want) in enumerate(rows)]
    deadline = time.monotonic() + LIMIT
    # An HTTP request to the path registered to the remote agent, with "&"
    # in its query too (the request travels to the agent as an attribute).
    page = curl(own_port, "/q&r?x=1&y=2", "-m", str(LIMIT), limit=LIMIT + 10).stdout
    run.check(page == b'<P>\n  "/q&amp;r"\n  "/q&amp;r?x=1&amp;y=2"\n</P>',
              "an HTTP path registered to a remote agent: %r" % page)
    for name, client, want in clients:
        got = client.wait_replies(len(want), limit=max(deadline - time.monotonic(), 0.1))
        run.check(got == want, "%s: %r, want %r" % (name, got, want))
    run.finish()


main()
