"""A ZUoHTTP client for the tests and the benchmark: headers packed with
struct, checksums computed here, requests in the system's own absolute form
to 127.0.0.2; and the listening test agent (agent/zoh_agent.cc)."""
import os
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from checks import start, stop  # noqa: E402

HOST = "127.0.0.2"


def header(kind, seq, cookie=(0, 0)):
    h = bytearray(struct.pack(">BBhII", kind, 0, seq, cookie[0], cookie[1]))
    h[1] = -sum(h) & 0xFF
    return bytes(h)


def unpack(body):
    """(type, seq, cookie, sum ok, payload) of a reply body."""
    kind, _, seq, c0, c1 = struct.unpack(">BBhII", body[:12].ljust(12, b"\0"))
    return kind, seq, (c0, c1), sum(body[:12]) % 256 == 0, body[12:]


def request(port, body, keep=False, length=None, target=None):
    head = b"POST %s HTTP/1.0\r\n" % (target or b"http://%s:%d/cgi-bin/zusv.cgi" % (HOST.encode(), port))
    head += b"Connection: keep-alive\r\n" if keep else b""
    head += b"Pragma: no-cache\r\nContent-Type: application/zuohttp\r\nHost: %s:%d\r\n" % (HOST.encode(), port)
    head += b"" if length == "none" else b"Content-Length: %d\r\n" % (len(body) if length is None else length)
    return head + b"\r\n" + body


def read_reply(s, limit=20.0):
    """(status line, header lines, body up to Content-Length or the end);
    (None, [], b"") when the connection ends without a reply."""
    s.settimeout(limit)
    buf, length = b"", None
    try:
        while b"\r\n\r\n" not in buf or (length is not None and len(buf.partition(b"\r\n\r\n")[2]) < length):
            c = s.recv(65536)
            if not c:
                break
            buf += c
            if length is None and b"\r\n\r\n" in buf:
                lines = buf.partition(b"\r\n\r\n")[0].decode("latin-1").split("\r\n")
                length = next((int(l.split()[1]) for l in lines if l.lower().startswith("content-length:")), -1)
    except (socket.timeout, ConnectionError):
        pass
    head, sep, body = buf.partition(b"\r\n\r\n")
    if not sep:
        return None, [], b""
    lines = head.decode("latin-1").split("\r\n")
    return lines[0], lines[1:], body


def read_replies(s, count, limit=20.0):
    """Up to count replies read one after another from s (pipelined on one
    connection): [(status line, header lines, body)]."""
    s.settimeout(limit)
    f, out = s.makefile("rb"), []
    try:
        while len(out) < count:
            lines = []
            while not lines or lines[-1]:
                line = f.readline()
                if not line:
                    return out
                lines.append(line.decode("latin-1").strip())
            length = next(int(l.split()[1]) for l in lines if l.lower().startswith("content-length:"))
            out.append((lines[0], lines[1:-1], f.read(length)))
    except (socket.timeout, ConnectionError, StopIteration):
        pass
    return out


def download(port, source=None):
    """A version-2 session opened from source: (its download connection,
    its cookie or None when refused, the header lines of the download's
    reply, what came after the reply's header)."""
    d = socket.create_connection((HOST, port), timeout=20, source_address=(source, 0) if source else None)
    d.sendall(b"GET http://%s:%d/cgi-bin/download.cgi HTTP/1.0\r\nHost: %s:%d\r\n\r\n" % (HOST.encode(), port,
                                                                                          HOST.encode(), port))
    buf = b""
    while b"\r\n\r\n" not in buf or len(buf.partition(b"\r\n\r\n")[2]) < 12:
        c = d.recv(4096)
        if not c:
            break
        buf += c
    head, _, rest = buf.partition(b"\r\n\r\n")
    kind, _, cookie, good, more = unpack(rest)
    return d, cookie if kind == 8 and good else None, head.decode("latin-1").split("\r\n"), more


def upload(port, cookie, data, length=None, source=None):
    """An upload's connection from source, its body (header and data) sent."""
    u = socket.create_connection((HOST, port), timeout=20, source_address=(source, 0) if source else None)
    body = header(7, 0, cookie) + data
    u.sendall(request(port, body, length=len(body) if length is None else length,
                      target=b"http://%s:%d/cgi-bin/upload.cgi" % (HOST.encode(), port)))
    return u


class Session:
    """One session; every message on a new connection unless kept alive."""

    def __init__(self, port, keep=False, source=None):
        self.port, self.keep, self.seq, self.conn, self.source = port, keep, 1, None, source
        self.open_reply = self.exchange(header(1, 0))
        self.cookie = unpack(self.open_reply[2])[2]

    def exchange(self, body):
        s = self.conn or socket.create_connection((HOST, self.port), timeout=20,
                                                  source_address=(self.source, 0) if self.source else None)
        s.sendall(request(self.port, body, self.keep))
        reply = read_reply(s)
        self.conn = s if self.keep and reply[0] else s.close()
        return reply

    def send(self, kind, payload=b""):
        seq = self.seq
        # A session's sequence number is 16 bits on the wire and wraps, as
        # the agent's own client wraps it.
        self.seq = (self.seq + 1 + 32768) % 65536 - 32768
        return self.exchange(header(kind, seq, self.cookie) + payload)

    def query(self, form, marker=b"</Result>", limit=30.0):
        """Sends form, polls until marker has come back: the payload text."""
        got, end = unpack(self.send(2, form)[2])[4], time.time() + limit
        while marker not in got and time.time() < end:
            got += unpack(self.send(2)[2])[4]
        return got

    def close(self):
        reply = self.send(3)
        if self.conn:
            self.conn.close()
        return reply


class Agent:
    """The test agent with the given times (name=seconds)."""

    def __init__(self, exe, *times, env=None, nofile=None):
        import resource
        limits = (lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (nofile, nofile))) if nofile else None
        self.err = tempfile.TemporaryFile()
        self.proc = start([exe] + list(times), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                          stderr=self.err, env=env, preexec_fn=limits)
        words = self.proc.stdout.readline().split()
        self.port = int(words[1]) if len(words) == 2 else 0

    def fds(self):
        return len(os.listdir("/proc/%d/fd" % self.proc.pid))

    def rss(self):
        """The resident size after a collection."""
        self.proc.stdin.write(b"gc\n")
        self.proc.stdin.flush()
        self.proc.stdout.readline()
        with open("/proc/%d/status" % self.proc.pid) as f:
            return next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmRSS:"))

    def stderr(self):
        self.err.seek(0)
        return self.err.read().decode("latin-1")

    def stop(self):
        """Ends the agent: its exit status and its standard error."""
        self.proc.stdin.close()
        try:
            self.proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            pass
        stop(self.proc, signal.SIGKILL)
        self.proc.stdout.close()
        return self.proc.returncode, self.stderr()
