#!/usr/bin/env python3
"""What qnmx answers when it cannot do what it was asked: cli_said_test.py
QNMX. One table: each row a script, the error its last reply must be (the
error's own text, then the cause) and what must hold after."""
import errno
import os
import socket
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from qmx_cli import OPEN, PARAM, STORE, Cli, free_port, matrix, reopen, rgb_word, stop  # noqa: E402

cli = Cli(sys.argv[1], "said")
STREAM = 0x80040a12
REOPEN = reopen("m.mx")
for name, data in (("p.ppm", b"P6\n64 64\n255\n" + bytes(range(256)) * 48), ("q.ppm", b"P6\n1 1\n255\n\x01\x02\x03"),
                   ("deep.ppm", b"P6\n2 2\n65535\n" + bytes(24)), ("junk.mx", b"this is no matrix file\n" * 4),
                   ("empty.mx", b"")):
    with open(cli.path(name), "wb") as f:
        f.write(data)
cli.expect("the matrix made", cli.run([matrix("m.mx", (64, 64), block=4), '(qmxImportPNM id="1" "p.ppm" 0 0 0 0)',
                                       '(qmxClose id="1")'])[0], ["1", "()", "()"])
# A port in use, one nobody listens on, and a peer that never answers.
used, quiet = socket.create_server(("127.0.0.1", 0)), socket.create_server(("127.0.0.1", 0))
nobody, in_use, silent = free_port(), used.getsockname()[1], quiet.getsockname()[1]
connect = '(OpenInterpreter "connect" Env1 (HostName "127.0.0.1") (Port %d) (ConnectionTimeout 5))'


def stream(why):
    return STREAM, "OpenInterpreter", '("cannot access the stream" "%s")' % why


HELD = "a matrix file another process writes"
for what, forms, (code, func, data), holds in [
        ("a 16-bit PPM", [REOPEN, '(qmxImportPNM id="1" "deep.ppm" 0 0 0 0)'],
         (PARAM, "qmxImportPNM", '("unsupported PNM format" "P6" "samples of 2 bytes")'), None),
        ("a listening port in use", ['(OpenInterpreter "accept" Env1 (Port %d))' % in_use],
         stream("port %d: %s" % (in_use, os.strerror(errno.EADDRINUSE))), None),
        ("a listening port out of range", ['(OpenInterpreter "accept" Env1 (Port 70000))'], stream("bad port 70000"), None),
        ("a connection to a port out of range", [connect % 70000], stream("bad port 70000"), None),
        ("a refused connection", [connect % nobody],
         stream("127.0.0.1:%d: %s" % (nobody, os.strerror(errno.ECONNREFUSED))), None),
        ("a peer that never answers", [connect % silent],
         stream("127.0.0.1:%d: %s" % (silent, os.strerror(errno.ETIMEDOUT))), None),
        ("a file that is no matrix file", ['(qmxCreate filename="junk.mx")'],
         (STORE, "qmxCreate", '(-129 "not a matrix file, or a damaged one")'), ("junk.mx", 92)),
        (HELD, [REOPEN], (STORE, "qmxCreate", '(-128 "the matrix file is busy in another process")'), None),
        ("an import into a channel the matrix does not have", [REOPEN, '(qmxImportPNM id="1" "p.ppm" 3 0 0 0)'],
         (PARAM, "qmxImportPNM", '("invalida parameter" "channel")'), None),
        ("a failed reopen of an empty file", ['(qmxCreate filename="empty.mx" currentPhase_mode="direct")'],
         (STORE, "qmxCreate", None), ("empty.mx", 0))]:
    busy = cli.listener("hold", [REOPEN])[0] if what == HELD else None  # holds m.mx open for writing
    replies = cli.run(forms)[0]
    if busy:
        stop(busy)
    cli.expect_error(what, replies[-1], code, data, func)
    if holds:
        cli.expect(what + ": the file's size after", os.path.getsize(cli.path(holds[0])), holds[1])
# The read by name holds the file open for reading; the create answers an
# entry that writes, whose close saves.
cli.expect("a create of a file a read by name holds",
           cli.run(['(qmxGetPoint "m.mx" (List 0 5 6))', REOPEN, '(qmxImportPNM id="2" "q.ppm" 0 0 5 6)',
                    '(qmxClose id="2")', '(qmxGetPoint "m.mx" (List 0 5 6))'])[0][1:],
           ["2", "()", "()", "((0 %d))" % rgb_word((1, 2, 3))])
# A file a script opened for its id stays the script's, however a read by
# name came to it: the create is refused and the id still closes.
READ, GET = '(qmxCreate filename="m.mx" readphase="1")', '(qmxGetPoint "m.mx" (List 0 5 6))'
for what, forms in [("a create of a file a script reads", [READ]), ("the same after a read by name", [GET, READ]),
                    ("a read by name of a file a script reads", [READ, GET])]:
    replies = cli.run(forms + [REOPEN, '(qmxClose id="1")'])[0]
    cli.expect_error(what, replies[-2], OPEN, '("open file error" "open_matrix")', "qmxCreate")
    cli.expect(what + ": the script's id after", replies[-1], "()")
used.close()
quiet.close()
cli.finish()
