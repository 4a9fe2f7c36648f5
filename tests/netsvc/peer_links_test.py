#!/usr/bin/env python3
"""What a peer causes through links, from outside: peer_links_test.py QNMX
GROUP, a group below. The agent listens in its script's environment for the
peers of 127.0.0.0/8; peers and fake servers are sockets on 127.0.0.x."""
import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(HERE, "..", "support"), HERE]
from checks import check, failures, free_port, listening, start, wait_until  # noqa: E402
from line_peer import Peer, link, serve  # noqa: E402

QNMX, GROUP = os.path.abspath(sys.argv[1]), sys.argv[2]
WORK = tempfile.mkdtemp(prefix="qnmx_peer_links_")
MARKS = os.path.join(WORK, "marks")  # outside every tree of the agent
LISTEN = ('(OpenInterpreter "accept" (CurrentEnvironment) (Port %d) '
          '(Permission () (Allow "ip" "127.0.0.0" "255.0.0.0")))')


def agent(lines, main=True, **env):
    """qnmx on the lines, then listening (its main interpreter when main):
    (process, port)."""
    port = free_port()
    with open(os.path.join(WORK, "a.zu"), "w") as f:
        f.write("\n".join(lines + [("(SetMainInterpreter %s)" if main else "%s") % (LISTEN % port)]) + "\n")
    p = start([QNMX, "a.zu", "a.out", "a.err", "/"], cwd=WORK, env=dict(os.environ, **env), stdin=subprocess.DEVNULL,
              stdout=subprocess.DEVNULL, stderr=open(os.path.join(WORK, "log"), "wb"))
    if not wait_until(lambda: listening(port) or p.poll() is not None, 60) or p.poll() is not None:
        raise SystemExit("the agent does not listen")
    return p, port


def record():
    """A half-made interpreter record is its opening thread's: while that
    thread stores an option in a loop, the options' environment, kept in a
    binding, reaches it from a second thread storing too and from the
    peer's relay; each is refused and the agent lives."""
    p, port = agent([])
    peer = link(port)
    for form in (b"(Define go 1)", b"(Define ok ())", b'(IgnoreDelay (Thread (OpenInterpreter "connect" () (set ok '
                 b'(CurrentEnvironment)) (While go (HostName "%s")) (Port 1))))' % (b"a" * 4000)):
        peer.ask(form)
    check(wait_until(lambda: peer.ask(b"(GetType ok)") == b'"environment"', 30), "the options' environment")
    peer.ask(b'(IgnoreDelay (Thread (While go (Eval ok (quote (HostName "%s"))))))' % (b"b" * 4000))
    got = peer.ask(b'(Eval ok (quote (HostName "c")))')
    check(b"opening the interpreter" in got, "an option from another thread: %r" % got)
    check(not wait_until(lambda: p.poll() is not None, 3), "the agent ended: %r" % p.poll())


def links():
    """Under a cap of 4 tasks an address, a peer has the agent open two links
    (two tasks each) to a server that keeps them: a third and a thread are
    refused to that address alone, and its links close with its own."""
    kept = []

    def keep(conn):
        kept.append(conn)
        try:
            conn.recv(1)
            conn.sendall(b"<Permission>Allow</Permission>\n")
            while conn.recv(4096):
                pass
        except OSError:
            pass
        kept.remove(conn)

    form = b'(OpenInterpreter "connect" () (HostName "127.0.0.9") (Port %d))' % serve("127.0.0.9", keep)
    _, port = agent([], QNMX_PEER_THREADS="4")
    first = link(port)
    got = [first.ask(f) for f in (form, form, form, b"(IgnoreDelay (Thread 1))")]
    check([g.isdigit() for g in got] == [True, True, False, False] and b"cannot start a thread" in got[2] + got[3],
          "links and a thread past the cap: %r" % got)
    other = link(port, "127.0.0.2")
    check(other.ask(form).isdigit(), "another address has its own opened")
    first.s.close()
    check(wait_until(lambda: len(kept) == 1, 30), "links open after their peer left: %d" % len(kept))
    check(link(port).ask(form).isdigit(), "a link for the address once they closed")


def relay():
    """A GetUserInfo that the agent relays to its main link for a peer, and
    the text of a chain stream the link's server asked for, are not the
    agent's questions: a LocalEval answering one saves nothing outside the
    trees. The server points the agent's output at the link and prints."""
    os.makedirs(MARKS)
    replies = {}  # the agent's reply to the LocalEval, by question

    def talk(conn):
        p, asked = Peer(conn), None  # the question a LocalEval was sent for, and its answer
        p.until(rb"\n")
        p.s.sendall(b'<Permission>Allow</Permission>\n(PrintChain sync="entry")\n(PrintStd "hello")\n')
        while True:
            try:
                m, line = p.until(rb"(?:&cx[0-9a-f]+;)?([^\n]*)\n")
            except ConnectionError:
                return
            r = re.match(rb"<Result> ([0-9]+) (.*)</Result>$", m.group(1))
            q = re.match(rb"\((GetUserInfo|PrintChain) ", m.group(1))
            if r and int(r.group(1)) > 3 and asked:  # not a reply to the forms above
                replies[asked[0]] = r.group(2)
                p.s.sendall(asked[1])
                asked = None
            elif q:
                asked = (q.group(1).decode(), b"<Result> %d (2130706433)</Result>\n" % line)
                save = b'(Save oflag="creat:trunc" "%s/%s" 1)' % (MARKS.encode(), q.group(1))
                p.s.sendall(b"(LocalEval %d %s)\n" % (line, save))

    main = '(SetMainInterpreter (OpenInterpreter "connect" (CurrentEnvironment) (HostName "127.0.0.8") (Port %d)))'
    _, port = agent([main % serve("127.0.0.8", talk)], main=False)
    peer = link(port)
    peer.ask(b'(GetUserInfo 1 2 3 "ip")')
    peer.ask(b'(PrintChain sync="exit")')  # what was printed goes out
    wait_until(lambda: len(replies) == 2, 30)
    for name in ("GetUserInfo", "PrintChain"):
        check(replies.get(name, b"").startswith(b"#error(") and not os.path.exists(os.path.join(MARKS, name)),
              "a LocalEval answering a relayed %s: %r" % (name, replies.get(name)))


{"record": record, "links": links, "relay": relay}[GROUP]()
if failures:
    raise SystemExit("%d failed; work folder kept: %s" % (len(failures), WORK))
shutil.rmtree(WORK, ignore_errors=True)
print("ok")
