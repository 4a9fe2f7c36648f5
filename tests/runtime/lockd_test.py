#!/usr/bin/env python3
"""The lock service tool over raw line links: lockd_test.py PATH-TO-qnmx_lockd.

Waiting is shown without timing: a waiting request gets no reply while a
later request on the same link does.
"""
import itertools
import os
import random
import re
import resource
import socket
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from checks import start_lockd, stop  # noqa: E402

LOCKD = None


class Service:
    def __init__(self, *args, nofile=None):
        limit = (lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (nofile, nofile))) if nofile else None
        self.proc, self.port = start_lockd(LOCKD, *args, preexec_fn=limit)
        self.links = []

    def stop(self):
        for link in self.links:
            link.sock.close()
        stop(self.proc)
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
        # a and a2 are this process's links, and say so: one agent.
        a, b, c = (Link(self.service, pid) for pid in (os.getpid(), 20, 30))
        n = a.lock("write", "a/b", seq=4)
        self.assertEqual(a.reply(), (n, "()"))
        a2 = Link(self.service, os.getpid())  # the holder's own agent is not blocked
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

    def test_a_request_waits_exactly_when_a_related_name_is_held(self):
        # Names over two letters, so that many are prefixes of others; the
        # model: related means one name is a prefix of the other. Names of
        # even length are held for reading, which a read does not wait for,
        # so that a name's nearest held prefix is often not the one that
        # blocks it.
        rng = random.Random(7)
        a, b = Link(self.service, 1), Link(self.service, 2)
        names = sorted({"".join(rng.choices("ab", k=rng.randint(1, 6))) for _ in range(16)})
        held = [name for name in names if len(name) % 2]  # for writing
        for name in names:
            n = a.lock("write" if name in held else "read", name)
            self.assertEqual(a.reply(), (n, "()"))
        for size in range(1, 6):
            for name in map("".join, itertools.product("ab", repeat=size)):
                n = b.lock("read", name)
                n_other = b.lock("read", "z")  # related to nothing held
                first = b.reply()
                waits = first[0] == n_other
                self.assertEqual(waits, any(h.startswith(name) or name.startswith(h) for h in held), name)
                if not waits:
                    self.assertEqual(b.reply(), (n_other, "()"))
                    b.unlock(name)
                    b.reply()
                b.unlock("z")
                b.reply()

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

    def test_a_connection_may_have_only_so_many_requests_waiting(self):
        a, b = Link(self.service, 1), Link(self.service, 2)
        n = a.lock("write", "w")
        self.assertEqual(a.reply(), (n, "()"))
        for i in range(256):
            b.lock("read", "w/%d" % i)
        n = b.lock("read", "w/x")
        seq, value = b.reply()
        self.assertEqual(seq, n)
        self.assertIn('"too many waiting requests"', value)
        a.unlock("w")  # every waiting request is granted at once
        self.assertEqual(a.reply()[1], "()")
        self.assertEqual(sum(b.reply()[1] == "()" for _ in range(256)), 256)

    def test_a_line_over_the_cap_ends_its_connection(self):
        a, b = Link(self.service, 1), Link(self.service, 2)
        n = a.lock("write", "held")
        self.assertEqual(a.reply(), (n, "()"))
        # A long line, but under the 64 KiB cap.
        n = b.send('<Lock type="read" file="%s" line="7" data="2" seq="0"> n </Lock>\n' % ("f" * 60000))
        self.assertEqual(b.reply(), (n, "()"))
        # A request that never ends its line: the connection ends and gives
        # back its lock.
        a.sock.settimeout(20)
        try:
            a.sock.sendall(b'<Lock type="read" data="1"> ' + b"x" * (256 << 10))
            self.assertEqual(a.sock.recv(100), b"")
        except ConnectionResetError:
            pass
        n = b.lock("write", "held")
        self.assertEqual(b.reply(), (n, "()"))

    def test_long_names_are_compared_as_short_ones_are(self):
        a, b = Link(self.service, 1), Link(self.service, 2)
        longest = "n" * 60000  # a long line, but under the 64 KiB cap
        # Names that share all but their last characters are not related.
        for link, name in ((a, longest), (b, longest[:-1] + "m")):
            n = link.lock("write", name)
            self.assertEqual(link.reply(), (n, "()"))
        n = b.unlock(longest)
        seq, value = b.reply()
        self.assertEqual(seq, n)
        self.assertTrue(value.startswith("#error(") and '"lock not held"' in value, value)
        n = b.lock("read", "n")  # a prefix of a's name: waits on the same link
        n2 = a.unlock(longest)
        self.assertEqual(a.reply(), (n2, "()"))
        self.assertEqual(b.reply(), (n, "()"))  # b's own write lock does not block it

    def test_connections_that_send_nothing_are_dropped(self):
        service = Service("--idle=1")
        self.addCleanup(service.stop)
        quiet, talking = Link(service, 1), Link(service, 2)
        for _ in range(8):  # a keep-alive line end now and then keeps a link
            talking.send("\n")
            time.sleep(0.3)
        quiet.sock.settimeout(10)
        self.assertEqual(quiet.sock.recv(100), b"")
        n = talking.lock("read", "k")
        self.assertEqual(talking.reply(), (n, "()"))

    def test_running_out_of_descriptors_does_not_end_the_service(self):
        hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
        if hard != resource.RLIM_INFINITY and hard < 2048:
            self.fail("the test needs 2048 descriptors, the hard limit is %d" % hard)
        resource.setrlimit(resource.RLIMIT_NOFILE, (2048, hard))
        service = Service("--idle=2", nofile=128)
        self.addCleanup(service.stop)
        a = Link(service, 1)
        flood = []
        for _ in range(1100):
            s = socket.socket()
            s.setblocking(False)
            s.connect_ex(("127.0.0.1", service.port))
            flood.append(s)
        time.sleep(1)  # the service meets EMFILE meanwhile
        self.assertIsNone(service.proc.poll())
        n = a.lock("write", "f")  # an agent already linked is served
        self.assertEqual(a.reply(), (n, "()"))
        for s in flood:
            s.close()
        # And a new one once descriptors come back: until the service has
        # taken in and dropped the closed connections still queued, they
        # hold this address's places to wait, and a newcomer is refused.
        deadline = time.monotonic() + 20
        while True:
            try:
                b = Link(service, 2)
                break
            except (AssertionError, EOFError, ConnectionError):
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.5)
        n = b.lock("read", "g")
        self.assertEqual(b.reply(), (n, "()"))


if __name__ == "__main__":
    LOCKD = sys.argv.pop(1)
    unittest.main(verbosity=1)
