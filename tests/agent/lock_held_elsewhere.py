#!/usr/bin/python3
"""A named lock held elsewhere keeps one file busy, and nothing else:
lock_held_elsewhere.py <qnmx> <qnmx_lockd>. row_lock_held_elsewhere() is a
row of a table: a listening agent holds a.mx and b.mx, both imported; a raw
client of the lock service takes the write lock "b", which covers b.mx. A
peer's read of a node of b.mx answers -128 once the agent's lock wait
(QNMX_LOCK_WAIT) runs out, a peer's status of a.mx is answered while that
read waits, and an interrupt ends the agent with both imports saved."""
import os
import re
import signal
import socket
import subprocess
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from qmx_cli import NO_OBJECT, THIN, Cli, Link, free_port, listening, matrix, wait_for, write_ppm  # noqa: E402
from checks import start, stop, wait_until  # noqa: E402


def row_lock_held_elsewhere(qnmx, lockd):
    """The failures of the row, none when it holds."""
    cli = Cli(qnmx, "lock_held_elsewhere")
    service = start([lockd, "0", "-v"], stdout=subprocess.PIPE, stderr=open(cli.path("lockd.log"), "w"))
    lport, port = int(service.stdout.readline().split()[1]), free_port()
    forms = [f'(Eval Env1 (quote (Sequence () (Define LockHostName "127.0.0.1") (Define LockPort {lport}))))']
    for n, (name, colour) in enumerate((("a", (255, 0, 0)), ("b", (0, 0, 255))), 1):
        write_ppm(cli.path(name + ".ppm"), np.full((100, 100, 3), colour, np.uint8))
        forms += [matrix(name + ".mx", (256, 256), block=6, save_up=THIN), f'(qmxImportPNM id="{n}" "{name}.ppm" 0 0 0 0)']
    with open(cli.path("agent.zu"), "w") as f:
        f.write("\n".join(forms) + f'\n(SetMainInterpreter (OpenInterpreter "accept" (CurrentEnvironment) (Port {port}) '
                '(Permission () (Allow "ip" "127.0.0.1" "255.255.255.255"))))\n')
    agent = start([cli.qnmx, "agent.zu", "agent.out", "agent.err", "/"], cwd=cli.work, env=dict(cli.env, QNMX_LOCK_WAIT="3"),
                  stdout=subprocess.DEVNULL, stderr=open(cli.path("agent.log"), "w"))
    wait_for(lambda: listening(port) or agent.poll() is not None, 60)
    holder = socket.create_connection(("127.0.0.1", lport), timeout=30)
    holder.sendall(b'\n<Lock type="write" data="1"> b </Lock>\n')
    got = b""
    while b"</Result>" not in got:
        got += holder.recv(4096)
    cli.expect("the agent gives b.mx up", got.endswith(b"<Result> 2 ()</Result>\n"), True)
    log = lambda: open(cli.path("lockd.log")).read()  # noqa: E731
    seen, reader, status = len(log()), Link(port), Link(port)
    try:
        reader.sock.sendall(b'(qmxGetPoint "b.mx" (List 0 200 200))\n')
        wait_until(lambda: re.search(r'lock write "b.mx".*\n.* waits', log()[seen:]), 20)  # the agent asks and waits
        status.sock.settimeout(20)
        answered = status.ask('(qmxStatus id="1")')[:8]
        reader.sock.setblocking(False)
        try:
            meanwhile = reader.sock.recv(1, socket.MSG_PEEK)
        except BlockingIOError:
            meanwhile = b""
        reader.sock.settimeout(20)
        cli.expect("a.mx answered while b.mx's read waits", [answered, meanwhile], ["(status ", b""])
        reader._until(b"<Result> ")
        cli.expect_error("b.mx's read after the wait", reader._until(b"</Result>\n")[:-10].decode().split(" ", 1)[1],
                         NO_OBJECT, '("invalid object in channel of NODE" "others" (-128 (0 192 192)) '
                         '"the matrix file is busy in another process")')
    except OSError as e:
        cli.fail(f"no answer: {e!r}")
    agent.send_signal(signal.SIGINT)
    cli.expect("the interrupt ends the agent", wait_for(lambda: agent.poll() is not None, 30), True)
    stop(agent)
    replies, _ = cli.run([f'(qmxGetPoint "{n}.mx" (List 0 10 10))' for n in "ab"], name="after")
    cli.expect("both imports saved", replies, [f"((0 {0xFF000000}))", f"((0 {0xFF00}))"])
    stop(service)
    return cli.fails


if __name__ == "__main__":
    fails = row_lock_held_elsewhere(*sys.argv[1:3])
    print("failed" if fails else "ok")
    sys.exit(1 if fails else 0)
