#!/usr/bin/env python3
"""What qnmx answers when it cannot do what it was asked, from outside:
cli_said_test.py QNMX. One table: each row a script, what its last reply
must say (the error's own text, then the cause) and what must hold after.
Nothing but 127.0.0.1 is spoken to."""
import errno
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
sys.path.insert(0, HERE)
from checks import check, failures, free_port, listening, start, stop, wait_until  # noqa: E402
from qmx_cli import matrix  # noqa: E402

QNMX = os.path.abspath(sys.argv[1])
WORK = tempfile.mkdtemp(prefix="qnmx_said_")
ENV = {k: v for k, v in os.environ.items() if k not in ("ZUPATH", "QNMX_TRACE")}
ENV.update(HOME=WORK, STD_CODE="UTF-8")
PARAM, STORE, STREAM = 0x80040503, 0x80041015, 0x80040a12
REOPEN = '(qmxCreate filename="m.mx" currentPhase_mode="direct")'


def run(forms):
    """qnmx on the forms: their replies in order."""
    with open(os.path.join(WORK, "s.zu"), "w") as f:
        f.write("\n".join(forms) + "\n")
    subprocess.run([QNMX, "s.zu", "s.out"], cwd=WORK, env=ENV, capture_output=True, timeout=120)
    with open(os.path.join(WORK, "s.out"), errors="replace") as f:
        return re.findall(r"<Result> \d+ (.*?)</Result>\n", re.sub(r"&cx[0-9a-f]+;\n?", "", f.read()), re.S)


def error(code, func, data):
    """Whether the last reply is an error of code from func with data
    (printed)."""
    pattern = r'#error\(%d "[^"]*" "s.zu" \d+ "%s" %s\)' % (code, func, re.escape(data))
    return lambda replies: bool(re.fullmatch(pattern, replies[-1]))


def size(name):
    return os.path.getsize(os.path.join(WORK, name))


def write(name, data):
    with open(os.path.join(WORK, name), "wb") as f:
        f.write(data)


def listener():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    s.listen(4)
    return s, s.getsockname()[1]


def setup():
    """m.mx, a 64 x 64 matrix with a picture in it; the pictures; a file
    that is no matrix file; an empty one."""
    write("p.ppm", b"P6\n64 64\n255\n" + bytes(range(256)) * 48)
    write("q.ppm", b"P6\n1 1\n255\n\x01\x02\x03")
    write("deep.ppm", b"P6\n2 2\n65535\n" + bytes(24))
    write("junk.mx", b"this is no matrix file\n" * 4)
    write("empty.mx", b"")
    got = run([matrix("m.mx", (64, 64), block=4), '(qmxImportPNM id="1" "p.ppm" 0 0 0 0)', '(qmxClose id="1")'])
    check(got == ["1", "()", "()"], "the matrix made: %r" % got)


def holder():
    """Another qnmx holding m.mx open for writing while it listens."""
    port = free_port()
    write("hold.zu", ('%s\n(SetMainInterpreter (OpenInterpreter "accept" Env1 (Port %d)))\n' % (REOPEN, port)).encode())
    p = start([QNMX, "hold.zu", "hold.out"], cwd=WORK, env=ENV, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    check(wait_until(lambda: listening(port), 60), "the holder listens")
    return p


def main():
    setup()
    # A port in use, one nobody listens on, and a peer that never answers.
    (in_use, used), nobody, (silent, quiet) = listener(), free_port(), listener()
    junk = size("junk.mx")
    connect = '(OpenInterpreter "connect" Env1 (HostName "127.0.0.1") (Port %d) (ConnectionTimeout 5))'

    def refused(why):
        return error(STREAM, "OpenInterpreter", '("cannot access the stream" "%s")' % why)

    held = "a matrix file another process writes"
    cases = [  # (what, forms, the test of the replies, what else must hold)
        ("a 16-bit PPM", [REOPEN, '(qmxImportPNM id="1" "deep.ppm" 0 0 0 0)'],
         error(PARAM, "qmxImportPNM", '("unsupported PNM format" "P6" "samples of 2 bytes")'), None),
        ("a listening port in use", ['(OpenInterpreter "accept" Env1 (Port %d))' % used],
         refused("port %d: %s" % (used, os.strerror(errno.EADDRINUSE))), None),
        ("a listening port out of range", ['(OpenInterpreter "accept" Env1 (Port 70000))'],
         refused("bad port 70000"), None),
        ("a connection to a port out of range", [connect % 70000], refused("bad port 70000"), None),
        ("a refused connection", [connect % nobody],
         refused("127.0.0.1:%d: %s" % (nobody, os.strerror(errno.ECONNREFUSED))), None),
        ("a peer that never answers", [connect % quiet],
         refused("127.0.0.1:%d: %s" % (quiet, os.strerror(errno.ETIMEDOUT))), None),
        ("a file that is no matrix file", ['(qmxCreate filename="junk.mx")'],
         error(STORE, "qmxCreate", '(-129 "not a matrix file, or a damaged one")'), lambda: size("junk.mx") == junk),
        (held, [REOPEN],
         error(STORE, "qmxCreate", '(-128 "the matrix file is busy in another process")'), None),
        ("an import into a channel the matrix does not have", [REOPEN, '(qmxImportPNM id="1" "p.ppm" 3 0 0 0)'],
         error(PARAM, "qmxImportPNM", '("invalida parameter" "channel")'), None),
        ("a failed reopen of an empty file", ['(qmxCreate filename="empty.mx" currentPhase_mode="direct")'],
         lambda r: r[-1].startswith("#error("), lambda: size("empty.mx") == 0),
        # The read by name holds the file open for reading; the create
        # answers an entry that writes, whose close saves.
        ("a create of a file a read by name holds",
         ['(qmxGetPoint "m.mx" (List 0 5 6))', REOPEN, '(qmxImportPNM id="2" "q.ppm" 0 0 5 6)', '(qmxClose id="2")',
          '(qmxGetPoint "m.mx" (List 0 5 6))'],
         lambda r: r[1:] == ["2", "()", "()", "((0 %d))" % (1 << 24 | 2 << 16 | 3 << 8)], None),
    ]
    for what, forms, said, holds in cases:
        busy = holder() if what == held else None
        got = run(forms)
        if busy:
            stop(busy)
        check(len(got) == len(forms) and said(got) and (holds is None or holds()), "%s: %r" % (what, got))
    in_use.close()
    silent.close()


try:
    main()
finally:
    if not failures:
        shutil.rmtree(WORK, ignore_errors=True)
if failures:
    print("%d failed; work left in %s" % (len(failures), WORK))
    sys.exit(1)
print("ok")
