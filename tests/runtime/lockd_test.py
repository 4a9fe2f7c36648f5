#!/usr/bin/env python3
"""The lock service tool over raw line links: lockd_test.py PATH-TO-qnmx_lockd.

Waiting is shown without timing: a waiting request gets no reply while a
later request on the same link does.
"""
import re
import socket
import subprocess
import sys
import unittest

LOCKD = None


class Service:
    def __init__(self, *args):
        self.proc = subprocess.Popen([LOCKD, "0", *args], stdout=subprocess.PIPE)
        self.port = int(self.proc.stdout.readline().split()[1])
        self.links = []

    def stop(self):
        for link in self.links:
            link.sock.close()
        self.proc.terminate()
        self.proc.wait()
        self.proc.stdout.close()


class Link:
    """One agent's connection; counts its own output lines as the peer does."""

    def __init__(self, service, pid):
        self.sock = socket.create_connection(("127.0.0.1", service.port), timeout=30)
        service.links.append(self)
        self.pid, self.buf, self.line = pid, b"", 1
        self.send("\n")
        hello = [self.read_line() for _ in range(3)]
        assert hello[0] == "" and re.match(r"^&cx[0-9a-f]+;$", hello[1]), hello
        assert hello[2] == "<Permission>Allow</Permission>", hello

    def send(self, text):
        self.sock.sendall(text.encode())
        start, self.line = self.line, self.line + text.count("\n")
        return start

    def lock(self, kind, name, seq=0):
        return self.send(f'<Lock type="{kind}" file="t.zu" line="7" data="{self.pid}" '
                         f'seq="{seq}"> {name} </Lock>\n')

    def unlock(self, name):
        return self.send(f"<Unlock> {name} </Unlock>\n")

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
        return int(m.group(1)), m.group(2)


class LockServiceTest(unittest.TestCase):
    def setUp(self):
        self.service = Service()
        self.addCleanup(self.service.stop)

    def test_replies_carry_the_line_each_request_began_on(self):
        a = Link(self.service, 1)
        a.send("&cxdfff0006;\n\n\n")  # encoding announcement, keep-alives
        n = a.lock("read", "x")
        self.assertEqual(a.reply(), (n, "()"))
        a.send("<Result> 3 ()</Result>\n")  # a peer's reply is not answered
        for request, why in (("(what is this)\n", "unknown request"),
                             ('<Lock type="append" data="1"> y </Lock>\n', "bad lock request"),
                             ("<Unlock> never </Unlock>\n", "lock not held")):
            n = a.send(request)
            seq, value = a.reply()
            self.assertEqual(seq, n)
            self.assertTrue(value.startswith("#error(") and f'"{why}"' in value, value)

    def test_conflicts_wait_and_events_reach_the_holder(self):
        a, b, c = (Link(self.service, pid) for pid in (10, 20, 30))
        n = a.lock("write", "a/b", seq=4)
        self.assertEqual(a.reply(), (n, "()"))
        a2 = Link(self.service, 10)  # the holder's own agent is not blocked
        n = a2.lock("write", "a")
        self.assertEqual(a2.reply(), (n, "()"))
        waiting = b.lock("read", "a")  # related to a/b: waits
        n = b.lock("write", "c")
        self.assertEqual(b.reply(), (n, "()"))
        self.assertEqual(a.read_line(), "(call-lock-event 4)")
        a2.unlock("a")
        a2.reply()
        waiting_c = c.lock("read", "a/b/c")
        n = a.unlock("a/b")
        self.assertEqual(a.reply(), (n, "()"))
        self.assertEqual(b.reply(), (waiting, "()"))  # readers share
        self.assertEqual(c.reply(), (waiting_c, "()"))
        # A writer waits for both readers; a link that ends gives back its
        # locks, and its own waiting requests are forgotten.
        n = a.lock("write", "a/b/c/d")
        b.unlock("a")
        b.reply()
        c.lock("write", "c")
        c.sock.close()
        self.assertEqual(a.reply(), (n, "()"))
        n = b.unlock("c")
        self.assertEqual(b.reply(), (n, "()"))
        n = a.lock("write", "c")  # nobody got it for the link that left
        self.assertEqual(a.reply(), (n, "()"))

    def test_refuses_the_first_requests_only(self):
        service = Service("--refuse=2")
        self.addCleanup(service.stop)
        a = Link(service, 1)
        for _ in range(2):
            n = a.lock("read", "r")
            seq, value = a.reply()
            self.assertEqual(seq, n)
            self.assertIn('"lock refused"', value)
        n = a.lock("read", "r")
        self.assertEqual(a.reply(), (n, "()"))


if __name__ == "__main__":
    LOCKD = sys.argv.pop(1)
    unittest.main(verbosity=1)
