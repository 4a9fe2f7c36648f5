#!/usr/bin/env python3
"""What a peer causes through the links of a listening qnmx, from outside:
peer_links_test.py QNMX GROUP.

record  a half-made interpreter record is its opening thread's alone
links   the links a peer has the agent open count against its address and
        close with its own link
relay   a question the agent forwards or relays for a peer is the peer's

The agent listens in its script's environment for the peers of 127.0.0.0/8;
peers and fake servers are raw sockets on 127.0.0.x."""
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
sys.path.insert(0, HERE)
from checks import check, failures, free_port, listening, start, stop, wait_until  # noqa: E402
from line_peer import Peer, link, serve  # noqa: E402

QNMX, GROUP = os.path.abspath(sys.argv[1]), sys.argv[2]
WORK = tempfile.mkdtemp(prefix="qnmx_peer_links_")
MARKS = os.path.join(WORK, "marks")  # outside every tree of the agent
LISTEN = '(OpenInterpreter "accept" (CurrentEnvironment) (Port %d) (Permission () (Allow "ip" "127.0.0.0" "255.0.0.0")))'


def agent(lines, env=None, main=True):
    """qnmx on the script lines, then listening on a port of its own (its
    main interpreter unless main is false): (process, port)."""
    port = free_port()
    listen = ("(SetMainInterpreter %s)" if main else "%s") % (LISTEN % port)
    with open(os.path.join(WORK, "a.zu"), "w") as f:
        f.write("\n".join(lines + [listen]) + "\n")
    p = start([QNMX, "a.zu", "a.out", "a.err", "/"], cwd=WORK, env=dict(os.environ, **(env or {})),
              stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=open(os.path.join(WORK, "log"), "wb"))
    if not wait_until(lambda: listening(port) or p.poll() is not None, 60) or p.poll() is not None:
        raise SystemExit("the agent does not listen")
    return p, port


def link_from(port, address):
    p = Peer(socket.create_connection(("127.0.0.1", port), timeout=60, source_address=(address, 0)))
    p.s.sendall(b"\n")
    p.until(rb"</Permission>\n")
    return p


class Keeper:
    """A server on 127.0.0.9 that admits every link and keeps it, answering
    nothing more; counts the links open."""

    def __init__(self):
        self.open, self.mu = 0, threading.Lock()
        self.port = serve("127.0.0.9", self.keep)

    def count(self, n):
        with self.mu:
            self.open += n

    def keep(self, conn):
        self.count(1)
        try:
            conn.recv(1)
            conn.sendall(b"<Permission>Allow</Permission>\n")
            while conn.recv(4096):
                pass
        except OSError:
            pass
        self.count(-1)


def links():
    """Under a cap of 4 tasks an address, a peer has the agent open two
    links (two tasks each) to a server that keeps them: a third link, and a
    thread, are refused to it alone; when its own link closes, so do they,
    and the address may open links again."""
    keeper = Keeper()
    p, port = agent([], env={"QNMX_PEER_THREADS": "4"})
    try:
        form = b'(OpenInterpreter "connect" () (HostName "127.0.0.9") (Port %d))' % keeper.port
        first = link(port)
        got = [first.ask(form) for _ in range(3)]
        check(got[0].isdigit() and got[1].isdigit() and b"cannot start a thread" in got[2], "three links: %r" % got)
        got = first.ask(b"(IgnoreDelay (Thread 1))")
        check(b"cannot start a thread" in got, "a thread past the cap: %r" % got)
        other = link_from(port, "127.0.0.2")
        check(other.ask(form).isdigit(), "another address has its own link opened")
        first.s.close()
        check(wait_until(lambda: keeper.open == 1, 30), "links open after their peer left: %d" % keeper.open)
        check(link(port).ask(form).isdigit(), "a link for the address once they closed")
    finally:
        stop(p)


def record():
    """One thread sets a record up and stores an option in a loop; the
    environment of its options, kept in a binding, reaches the record from
    the peer's relay and from a second thread storing too. Each of those is
    refused, and the agent lives."""
    p, port = agent([])
    try:
        peer = link(port)
        peer.ask(b"(Define go 1)")
        peer.ask(b"(Define ok ())")
        peer.ask(b'(IgnoreDelay (Thread (OpenInterpreter "connect" () (set ok (CurrentEnvironment)) '
                 b'(While go (HostName "%s")) (HostName "127.0.0.1") (Port 1))))' % (b"a" * 4000))
        check(wait_until(lambda: peer.ask(b"(GetType ok)") == b'"environment"', 30), "the options' environment")
        peer.ask(b'(IgnoreDelay (Thread (While go (Eval ok (quote (HostName "%s"))))))' % (b"b" * 4000))
        got = peer.ask(b'(Eval ok (quote (HostName "c")))')
        check(b"opening the interpreter" in got, "an option from another thread: %r" % got)
        wait_until(lambda: p.poll() is not None, 3)
        check(p.poll() is None, "the agent ended: %r" % p.poll())
        if p.poll() is None:
            peer.ask(b"(set go 0)")
            check(link(port).ask(b"(+ 1 2)") == b"3", "the agent answers")
    finally:
        stop(p)


class Upstream:
    """The server of the agent's main link, on 127.0.0.8: it admits the link,
    points the agent's standard output at it (a chain stream, whose text
    comes back as PrintChain questions) and prints, then answers each
    question of the agent's with a LocalEval that saves a file named for
    the question, before its answer. The agent's replies to the LocalEvals
    are kept by question."""

    def __init__(self):
        self.replies = {}
        self.port = serve("127.0.0.8", self.serve)

    def serve(self, conn):
        p = Peer(conn)
        p.until(rb"\n")
        sent = [b"<Permission>Allow</Permission>", b'(PrintChain sync="entry")', b'(PrintStd "hello")']
        lines, asked = 0, {}  # the agent's number of a LocalEval's line -> (question, its answer)
        try:
            while True:
                p.s.sendall(b"".join(x + b"\n" for x in sent))
                lines += len(sent)
                sent.clear()
                m, line = p.until(rb"(?:&cx[0-9a-f]+;)?([^\n]*)\n")
                r = re.match(rb"<Result> ([0-9]+) (.*)</Result>$", m.group(1))
                head = re.match(rb"\((GetUserInfo|PrintChain) ", m.group(1))
                if r and int(r.group(1)) in asked:
                    question, answer = asked.pop(int(r.group(1)))
                    self.replies[question] = r.group(2)
                    sent.append(answer)
                elif head:
                    question = head.group(1).decode()
                    save = '(Save oflag="creat:trunc" "%s" 1)' % os.path.join(MARKS, question)
                    asked[lines + 1] = (question, b"<Result> %d (2130706433)</Result>" % line)
                    sent.append(b"(LocalEval %d %s)" % (line, save.encode()))
        except (OSError, ConnectionError):
            pass


def relay():
    """A peer's GetUserInfo that the agent relays to its main link, and the
    text a chain stream forwards there for the server that asked for it,
    are questions of the peer's: a LocalEval answering one saves nothing
    outside the trees."""
    os.makedirs(MARKS)
    up = Upstream()
    p, port = agent(['(SetMainInterpreter (OpenInterpreter "connect" (CurrentEnvironment) (HostName "127.0.0.8") '
                     '(Port %d)))' % up.port], main=False)
    try:
        peer = link(port)
        peer.ask(b'(GetUserInfo 1 2 3 "ip")')
        peer.ask(b'(PrintChain sync="exit")')  # the text printed goes out
        wait_until(lambda: len(up.replies) == 2, 30)
        for question in ("GetUserInfo", "PrintChain"):
            reply = up.replies.get(question, b"(none)")
            check(reply.startswith(b"#error(") and not os.path.exists(os.path.join(MARKS, question)),
                  "a LocalEval answering a relayed %s: %r" % (question, reply))
    finally:
        stop(p)


def main():
    {"record": record, "links": links, "relay": relay}[GROUP]()
    if failures:
        print("%d failed; work folder kept: %s" % (len(failures), WORK))
        raise SystemExit(1)
    shutil.rmtree(WORK, ignore_errors=True)
    print("ok")


main()
