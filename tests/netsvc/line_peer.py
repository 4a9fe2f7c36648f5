"""A raw peer of an interpreter line link that keeps count of the lines it
has read, since a LocalEval is answered by the number of the line it came
on: Peer wraps a connected socket, link(port) is an admitted link to the
agent at port on 127.0.0.1 (from address), serve() a fake server."""
import re
import socket
import threading


class Peer:
    def __init__(self, sock):
        self.s, self.buf, self.lines = sock, b"", 0

    def until(self, pattern):
        """The match of pattern in what arrives, and the number of the line
        its start is on."""
        while True:
            m = re.search(pattern, self.buf, re.S)
            if m:
                line = self.lines + self.buf.count(b"\n", 0, m.start()) + 1
                self.lines += self.buf.count(b"\n", 0, m.end())
                self.buf = self.buf[m.end():]
                return m, line
            chunk = self.s.recv(65536)
            if not chunk:
                raise ConnectionError("closed while waiting for %r; got %r" % (pattern, self.buf[-300:]))
            self.buf += chunk

    def ask(self, form):
        """The text of the reply to form."""
        self.s.sendall(form + b"\n")
        return self.until(rb"<Result> [0-9]+ (.*?)</Result>\n")[0].group(1)


def link(port, address="127.0.0.1", timeout=60):
    """A link past its admission; admitted tells whether it was allowed."""
    p = Peer(socket.create_connection(("127.0.0.1", port), timeout=timeout, source_address=(address, 0)))
    p.s.sendall(b"\n")
    p.admitted = b"<Permission>Allow</Permission>" in p.until(rb".*?</Permission>\n")[0].group(0)
    return p


def serve(address, handle):
    """A server on address that runs handle(conn) on a thread of its own for
    each connection: its port."""
    sock = socket.create_server((address, 0), backlog=64)
    threading.Thread(target=lambda: [threading.Thread(target=handle, args=(sock.accept()[0],), daemon=True).start()
                                     for _ in iter(int, 1)], daemon=True).start()
    return sock.getsockname()[1]
