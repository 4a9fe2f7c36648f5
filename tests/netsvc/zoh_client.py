"""A ZUoHTTP client for the tests and the benchmark: headers are packed with
struct, checksums computed here, requests written in the system's own
(absolute) form to 127.0.0.2."""
import os
import socket
import struct
import subprocess
import tempfile
import time

HOST = "127.0.0.2"


def header(kind, seq, cookie=(0, 0), fix_sum=True):
    h = bytearray(struct.pack(">BBhII", kind, 0, seq, cookie[0], cookie[1]))
    if fix_sum:
        h[1] = -sum(h) & 0xFF
    return bytes(h)


def unpack(body):
    """(type, seq, cookie, sum ok, payload) of a reply body."""
    kind, _, seq, c0, c1 = struct.unpack(">BBhII", body[:12])
    return kind, seq, (c0, c1), sum(body[:12]) % 256 == 0, body[12:]


def request(port, body, keep=False, length=None, target=None):
    lines = [b"POST %s HTTP/1.0" % (target or b"http://%s:%d/cgi-bin/zusv.cgi" % (HOST.encode(), port))]
    if keep:
        lines.append(b"Connection: keep-alive")
    lines += [b"Pragma: no-cache", b"Content-Type: application/zuohttp", b"Host: %s:%d" % (HOST.encode(), port)]
    if length != "none":
        lines.append(b"Content-Length: %d" % (len(body) if length is None else length))
    return b"\r\n".join(lines) + b"\r\n\r\n" + body


def read_reply(s, limit=20.0):
    """(status line, header lines, body); the body up to Content-Length, else
    to the end. (None, [], b"") when the connection ends without a reply."""
    s.settimeout(limit)
    buf = b""
    try:
        while b"\r\n\r\n" not in buf:
            c = s.recv(65536)
            if not c:
                return None, [], buf
            buf += c
        head, _, body = buf.partition(b"\r\n\r\n")
        lines = head.decode("latin-1").split("\r\n")
        length = next((int(l.split()[1]) for l in lines if l.lower().startswith("content-length:")), None)
        while length is None or len(body) < length:
            c = s.recv(65536)
            if not c:
                break
            body += c
    except (socket.timeout, ConnectionError):
        return None, [], buf
    return lines[0], lines[1:], body


def closed_silently(s, limit=20.0):
    status, _, rest = read_reply(s, limit)
    return status is None and rest == b""


class Session:
    """One ZUoHTTP session; every message on a new connection unless kept alive."""

    def __init__(self, port, keep=False):
        self.port, self.keep, self.seq, self.conn = port, keep, 1, None
        status, lines, body = self.exchange(header(1, 0))
        self.open_reply = (status, lines, body)
        self.cookie = unpack(body)[2] if len(body) >= 12 else (0, 0)

    def exchange(self, body):
        s = self.conn or socket.create_connection((HOST, self.port), timeout=20)
        s.sendall(request(self.port, body, self.keep))
        reply = read_reply(s)
        if self.keep and reply[0]:
            self.conn = s
        else:
            s.close()
            self.conn = None
        return reply

    def send(self, kind, payload=b""):
        reply = self.exchange(header(kind, self.seq, self.cookie) + payload)
        self.seq += 1
        return reply

    def query(self, form, marker=b"</Result>", limit=30.0):
        """Sends form and polls until marker has come back: all payload text."""
        got = unpack(self.send(2, form)[2])[4]
        end = time.time() + limit
        while marker not in got and time.time() < end:
            got += unpack(self.send(2)[2])[4]
        return got

    def close(self):
        reply = self.send(3)
        if self.conn:
            self.conn.close()
        return reply


class Agent:
    """The test agent (tests/netsvc/agent/zoh_agent.cc) with the given times."""

    def __init__(self, exe, *times, env=None, nofile=None):
        def limits():
            if nofile:
                import resource
                resource.setrlimit(resource.RLIMIT_NOFILE, (nofile, nofile))
        self.err = tempfile.TemporaryFile()
        self.proc = subprocess.Popen([exe] + list(times), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=self.err, env=env, preexec_fn=limits)
        words = self.proc.stdout.readline().split()
        self.port = int(words[1]) if len(words) == 2 else 0

    def fds(self):
        return len(os.listdir("/proc/%d/fd" % self.proc.pid))

    def status(self, key):
        with open("/proc/%d/status" % self.proc.pid) as f:
            return next((int(l.split()[1]) for l in f if l.startswith(key + ":")), -1)

    def stderr(self):
        self.err.seek(0)
        return self.err.read().decode("latin-1")

    def stop(self):
        """Ends the agent: its exit status and its standard error."""
        self.proc.stdin.close()
        try:
            self.proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.proc.stdout.close()
        return self.proc.returncode, self.stderr()
