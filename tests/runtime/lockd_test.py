#!/usr/bin/env python3
"""The lock service tool seen from outside, over raw TCP line links.

usage: lockd_test.py PATH-TO-qnmx_lockd
Waiting is shown without timing: a request that waits gets no reply while
a later request on the same link does.
"""
import os
import re
import socket
import subprocess
import sys
import tempfile
import unittest

LOCKD = None
ALLOW = re.compile(rb"^\n&cx[0-9a-f]+;\n<Permission>Allow</Permission>\n$")


class Service:
    def __init__(self, *args):
        self.log = tempfile.TemporaryFile()
        self.proc = subprocess.Popen([LOCKD, "0", "-v", *args], stdout=subprocess.PIPE,
                                     stderr=self.log)
        first = self.proc.stdout.readline().decode()
        assert first.startswith("port "), first
        self.port = int(first.split()[1])
        self.links = []

    def stop(self):
        for link in self.links:
            link.close()
        self.proc.terminate()
        self.proc.wait()
        self.proc.stdout.close()
        self.log.seek(0)
        text = self.log.read().decode()
        self.log.close()
        return text


class Link:
    """One agent connection; counts its own output lines as the peer does."""

    def __init__(self, service, pid):
        self.sock = socket.create_connection(("127.0.0.1", service.port), timeout=30)
        self.pid = pid
        service.links.append(self)
        self.buf = b""
        self.line = 1
        self.send_raw("\n")
        hello = b""
        while not hello.endswith(b"</Permission>\n"):
            hello += self.sock.recv(1)
        assert ALLOW.match(hello), hello

    def send_raw(self, text):
        self.sock.sendall(text.encode())
        start = self.line
        self.line += text.count("\n")
        return start

    def lock(self, kind, name, seq=0):
        return self.send_raw(f'<Lock type="{kind}" file="t.zu" line="7" data="{self.pid}" '
                             f'seq="{seq}"> {name} </Lock>\n')

    def unlock(self, name):
        return self.send_raw(f"<Unlock> {name} </Unlock>\n")

    def read_line(self):
        while b"\n" not in self.buf:
            data = self.sock.recv(4096)
            if not data:
                raise EOFError
            self.buf += data
        line, self.buf = self.buf.split(b"\n", 1)
        return line.decode()

    def reply(self):
        m = re.match(r"^<Result> (\d+) (.*)</Result>$", self.read_line())
        assert m, "not a reply"
        return int(m.group(1)), m.group(2)

    def close(self):
        self.sock.close()


class LockServiceTest(unittest.TestCase):
    def setUp(self):
        self.service = Service()

    def tearDown(self):
        self.log = self.service.stop()

    def test_replies_carry_the_line_each_request_began_on(self):
        a = Link(self.service, 1)
        a.send_raw("&cxdfff0006;\n")  # encoding announcement, then keep-alives
        a.send_raw("\n\n")
        n = a.lock("read", "x")
        self.assertEqual(a.reply(), (n, "()"))
        a.send_raw("<Result> 3 ()</Result>\n")  # a peer's reply is not answered
        n = a.send_raw("(what is this)\n")
        seq, value = a.reply()
        self.assertEqual(seq, n)
        self.assertIn('"unknown request"', value)
        n = a.send_raw('<Lock type="append" data="1"> y </Lock>\n')
        self.assertEqual(a.reply()[0], n)
        n = a.unlock("never-held")
        seq, value = a.reply()
        self.assertEqual(seq, n)
        self.assertTrue(value.startswith("#error("))
        n = a.unlock("x")
        self.assertEqual(a.reply(), (n, "()"))

    def test_conflicts_wait_and_events_reach_the_holder(self):
        a, b, c = Link(self.service, 10), Link(self.service, 20), Link(self.service, 30)
        n = a.lock("write", "a/b", seq=4)
        self.assertEqual(a.reply(), (n, "()"))
        # Unrelated names and the holder's own agent are never blocked.
        n = b.lock("write", "c")
        self.assertEqual(b.reply(), (n, "()"))
        a2 = Link(self.service, 10)
        n = a2.lock("write", "a")
        self.assertEqual(a2.reply(), (n, "()"))
        a2.close()
        # "a" is related to "a/b": this waits, and the holder hears of it once.
        waiting = b.lock("read", "a")
        later = b.unlock("c")
        self.assertEqual(b.reply(), (later, "()"))
        self.assertEqual(a.read_line(), "(call-lock-event 4)")
        waiting_c = c.lock("read", "a/b/c")
        n = c.lock("read", "zz")
        self.assertEqual(c.reply(), (n, "()"))
        n = a.unlock("a/b")
        self.assertEqual(a.reply(), (n, "()"))
        self.assertEqual(b.reply(), (waiting, "()"))
        self.assertEqual(c.reply(), (waiting_c, "()"))
        # Two readers share; a writer waits for both, without an event (seq 0).
        n = a.lock("write", "a/b/c/d")
        later = a.lock("read", "q")
        self.assertEqual(a.reply(), (later, "()"))
        b.unlock("a")
        b.reply()
        later = a.lock("read", "q2")  # still waits for c
        self.assertEqual(a.reply(), (later, "()"))
        c.close()  # a connection that ends gives back what it held
        self.assertEqual(a.reply(), (n, "()"))

    def test_a_waiter_that_leaves_is_forgotten(self):
        a, b, c = Link(self.service, 1), Link(self.service, 2), Link(self.service, 3)
        a.lock("write", "f")
        a.reply()
        b.lock("write", "f")
        b.close()
        waiting = c.lock("read", "f")
        a.unlock("f")
        a.reply()
        self.assertEqual(c.reply(), (waiting, "()"))

    def test_escaped_names_are_read_back(self):
        a = Link(self.service, 5)
        n = a.lock("write", "d&lt;1&amp;2 x")
        self.assertEqual(a.reply(), (n, "()"))
        log = self.service.stop()
        self.service = Service()
        self.assertIn('lock write "d<1&2 x" agent 127.0.0.1/5', log)


class RefusingServiceTest(unittest.TestCase):
    def test_refuses_the_first_requests_only(self):
        service = Service("--refuse=2")
        a = Link(service, 1)
        for _ in range(2):
            n = a.lock("read", "r")
            seq, value = a.reply()
            self.assertEqual(seq, n)
            self.assertIn('"lock refused"', value)
        n = a.lock("read", "r")
        self.assertEqual(a.reply(), (n, "()"))
        service.stop()


if __name__ == "__main__":
    LOCKD = sys.argv.pop(1)
    unittest.main(verbosity=1)
