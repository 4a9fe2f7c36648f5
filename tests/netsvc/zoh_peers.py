"""Stand-in ZUoHTTP peers for the client tests and the benchmark, on
127.0.0.2: a relay to a real server that answers the version probe itself
(as a version-1 server does, or late, counting probes), and fake servers
that answer opens in chunks, never answer, or send a chunk size too large.
Each runs in threads of this process until stopped."""
import socket
import struct
import threading
import time

from zoh_client import HOST, header, unpack

PERMISSION = b"<Permission>Allow</Permission>\n"


def read_request(s, buf=b""):
    """(head text, body, rest) of one request read from s: head None when
    the connection ended first."""
    while b"\r\n\r\n" not in buf:
        c = s.recv(65536)
        if not c:
            return None, b"", buf
        buf += c
    head, _, rest = buf.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    length = next((int(l.split()[1]) for l in lines if l.lower().startswith("content-length:")), 0)
    while len(rest) < min(length, 12):
        c = s.recv(65536)
        if not c:
            break
        rest += c
    return head.decode("latin-1"), rest[:length], rest[length:]


def reply(kind, seq, cookie=(0, 0), payload=b"", keep=False, chunks=None):
    """A server reply; with chunks (a list of sizes) the body goes chunked,
    cut at those sizes."""
    body = header(kind, seq, cookie) + payload
    head = b"HTTP/1.0 200 OK\r\nConnection: %s\r\nContent-Type: application/zuohttp\r\n" % (
        b"keep-alive" if keep else b"close")
    if chunks is None:
        return head + b"Content-Length: %d\r\n\r\n" % len(body) + body
    out, at = head + b"Transfer-Encoding: chunked\r\n\r\n", 0
    for n in chunks + [len(body)]:
        piece = body[at:at + n]
        if piece:
            out += b"%x\r\n%s\r\n" % (len(piece), piece)
        at += len(piece)
    return out + b"0\r\n\r\n"


class Peer:
    """A listener on 127.0.0.2 whose connections `serve` handles, each in a
    thread; counts connections."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind((HOST, 0))
        self.sock.listen(256)
        self.port = self.sock.getsockname()[1]
        self.connections, self.lock, self.stopped = 0, threading.Lock(), False
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while not self.stopped:
            try:
                s, _ = self.sock.accept()
            except OSError:
                return
            with self.lock:
                self.connections += 1
            threading.Thread(target=self._serve, args=(s,), daemon=True).start()

    def _serve(self, s):
        try:
            self.serve(s)
        except OSError:
            pass
        finally:
            s.close()

    def stop(self):
        self.stopped = True
        self.sock.close()


class Relay(Peer):
    """Relays every connection to the real server at 127.0.0.2:target, but
    answers the version probe itself: with type 4 (a version-1 server) when
    v1, else with type 6 version 2 after `delay` seconds. Counts probes and
    the requests relayed (by their request lines)."""

    def __init__(self, target, v1=True, delay=0.0):
        self.target, self.v1, self.delay = target, v1, delay
        self.probes, self.requests = 0, 0
        super().__init__()

    def serve(self, s):
        head, body, rest = read_request(s)
        if head is None:
            return
        if unpack(body)[0] == 6:
            with self.lock:
                self.probes += 1
            time.sleep(self.delay)
            s.sendall(reply(4, 0) if self.v1 else reply(6, 2))
            return
        up = socket.create_connection((HOST, self.target))
        up.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        first = head.encode("latin-1") + b"\r\n\r\n" + body + rest
        self.count(first)
        up.sendall(first)
        back = threading.Thread(target=self.pipe, args=(up, s, False), daemon=True)
        back.start()
        self.pipe(s, up, True)
        back.join()
        up.close()

    def count(self, data):
        with self.lock:
            self.requests += data.count(b" HTTP/1.0\r\n")

    def pipe(self, a, b, counting):
        try:
            while True:
                c = a.recv(262144)
                if not c:
                    break
                if counting:
                    self.count(c)
                b.sendall(c)
        except OSError:
            pass
        try:
            b.shutdown(socket.SHUT_WR)
        except OSError:
            pass


class FakeV1(Peer):
    """A version-1 server of its own: refuses the probe, answers the open in
    chunks cut at `chunks` (the Allow text as its payload, or a body whose
    first chunk size is `bad_size`), and answers each data message with a
    result once the form (+ 1 2) has come: "<Result> 3 42</Result>"."""

    def __init__(self, chunks, bad_size=None):
        self.chunks, self.bad_size, self.received = chunks, bad_size, b""
        super().__init__()

    def serve(self, s):
        head, body, rest = read_request(s)
        if head is None:
            return
        kind, seq, cookie = unpack(body)[:3]
        if kind == 6:
            s.sendall(reply(4, 0))
        elif kind == 1 and self.bad_size:
            s.sendall(b"HTTP/1.0 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n%s\r\n" % self.bad_size +
                      header(2, 0, (1, 2)))
        elif kind == 1:
            s.sendall(reply(2, seq, (1, 2), b"\n" + PERMISSION, chunks=self.chunks))
        else:
            with self.lock:
                self.received += body[12:]
                done = b"(+ 1 2)" in self.received
                self.received = self.received.replace(b"(+ 1 2)", b"") if done else self.received
            s.sendall(reply(3 if kind == 3 else 2, seq, cookie, b"<Result> 3 42</Result>\n" if done else b"",
                            chunks=self.chunks))


class Silent(Peer):
    """Reads each request and never answers."""

    def serve(self, s):
        read_request(s)
        while s.recv(65536):
            pass
