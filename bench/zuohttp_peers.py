#!/usr/bin/env python3
"""ZUoHTTP version-1 round trips against the listening agent of the network
tests, next to plain line links to the same agent in the same run:
zuohttp_peers.py BUILD-DIR (a release build with the benchmarks).

Each form (+ i 1) is sent as one data message and answered once its result
has come back (polling with empty messages when a reply is empty): over one
kept-alive connection, and with a new connection per message; the line link
sends the form and waits for its result line. Forms per second, messages
per form and the ratio to the line link are printed."""
import os
import socket
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "netsvc"))
from zoh_client import HOST, Agent, Session  # noqa: E402

SECONDS = 3.0


def zuohttp(port, keep):
    ses = Session(port, keep=keep)
    ses.query(b"0\n")  # the greeting
    forms, start, first = 0, time.perf_counter(), ses.seq
    while time.perf_counter() - start < SECONDS:
        if b"</Result>" not in ses.query(b"(+ %d 1)\n" % forms):
            raise RuntimeError("no result")
        forms += 1
    elapsed = time.perf_counter() - start
    messages = ses.seq - first
    ses.close()
    return forms / elapsed, messages / forms


def line_link(port):
    with socket.create_connection((HOST, port), timeout=20) as s:
        s.sendall(b"\n")
        buf = b""
        while b"</Permission>" not in buf:
            buf += s.recv(4096)
        forms, start = 0, time.perf_counter()
        while time.perf_counter() - start < SECONDS:
            s.sendall(b"(+ %d 1)\n" % forms)
            buf = b""
            while b"</Result>" not in buf:
                buf += s.recv(4096)
            forms += 1
        return forms / (time.perf_counter() - start)


def main():
    agent = Agent(os.path.join(sys.argv[1] if len(sys.argv) > 1 else "build/bench", "bench", "zoh_agent"))
    if not agent.port:
        sys.exit("the agent did not start")
    try:
        base = line_link(agent.port)
        print("%-34s %9.0f forms/s" % ("line link (reference)", base))
        for name, keep in (("ZUoHTTP v1, kept-alive connection", True), ("ZUoHTTP v1, connection per message", False)):
            rate, per = zuohttp(agent.port, keep)
            print("%-34s %9.0f forms/s  %.2f messages/form  ratio to the line link %.2f" % (name, rate, per,
                                                                                          rate / base))
    finally:
        agent.stop()


main()
