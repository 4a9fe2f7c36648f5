"""What the scripted tests share: check() notes a failed case and lets the
script go on to the next, failures lists them for the exit status,
wait_until() polls for a condition instead of sleeping a fixed time,
free_port() and listening() find a port for a server and see it listen, and
start() and stop() run the processes a test leaves running while it goes on.

No process a test starts outlives it: start() puts each in a process group
of its own, stop() ends the whole group, and when the script ends (normally,
by an exception, or by SIGTERM, SIGINT or SIGHUP) every group it started is
killed, and so is every other process descended from it. Importing this
module makes the script a subreaper, so that what a killed or exited child
leaves behind becomes the script's descendant instead of init's."""
import atexit
import ctypes
import os
import random
import signal
import socket
import subprocess
import sys
import time

failures = []


def check(cond, what):
    if not cond:
        failures.append(what)
        print("FAIL:", what, flush=True)
    return cond


def wait_until(cond, limit=30.0, step=0.05):
    """Whether cond() held within limit seconds."""
    end = time.monotonic() + limit
    while not cond() and time.monotonic() < end:
        time.sleep(step)
    return cond()


def free_port():
    """A port nothing listens on, for a server the test starts next. Drawn
    below the kernel's ephemeral range (32768 and up), so the outgoing
    connections of tests running at the same time cannot take it between
    this check and the server's bind."""
    rng = random.SystemRandom()
    for _ in range(200):
        port = rng.randrange(20000, 32700)
        with socket.socket() as s:
            try:
                s.bind(("127.0.0.1", port))
            except OSError:
                continue
            return port
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def curl(port, path, *args, host="127.0.0.1", source=None, limit=60, data=None):
    """curl run on http://host:port path (args go before the URL; from the
    local address source when given, data on its standard input)."""
    frm = ["--interface", source] if source else []
    return subprocess.run(["curl", "--noproxy", "*", "-sS", *frm, *args, "http://%s:%d%s" % (host, port, path)],
                          input=data, capture_output=True, timeout=limit)


def read_all(s, limit=5):
    """What arrives on s until its peer ends or resets it, or until limit
    seconds have passed (the checks then judge what came)."""
    got, end = b"", time.monotonic() + limit
    while time.monotonic() < end:
        s.settimeout(max(end - time.monotonic(), 0.001))
        try:
            c = s.recv(65536)
        except (ConnectionError, socket.timeout):
            return got
        if not c:
            return got
        got += c
    return got


def line_link(port, timeout=30, source=None):
    """A line link to the agent listening on port (from the local address
    source when given), past its admission; ConnectionError when the agent
    refuses it or ends it first."""
    s = socket.create_connection(("127.0.0.1", port), timeout=timeout, source_address=(source, 0) if source else None)
    s.sendall(b"\n")
    got = b""
    while b"</Permission>" not in got:
        c = s.recv(4096)
        if not c:
            s.close()
            raise ConnectionError("closed before its admission")
        got += c
    if b"<Permission>Allow" not in got:
        s.close()
        raise ConnectionError("refused: %r" % got)
    return s


def listening(port):
    """Whether something listens on port, read from /proc/net/tcp so that no
    probe connection disturbs the listener."""
    with open("/proc/net/tcp") as f:
        return any(l.split()[1].endswith(":%04X" % port) and l.split()[3] == "0A" for l in f.readlines()[1:])


# ---- processes

_started = []  # every Popen that start() made, ended or not
_PR_SET_CHILD_SUBREAPER = 36


def start(argv, **popen_args):
    """subprocess.Popen(argv, **popen_args) as the leader of a process group
    of its own; the group is ended by stop(), or when the script ends."""
    p = subprocess.Popen(argv, start_new_session=True, **popen_args)
    _started.append(p)
    return p


def start_lockd(lockd, *args, port=0, **popen_args):
    """qnmx_lockd on port (0: a free one) with options args: the process and
    the port it listens on, which it writes first."""
    p = start([lockd, str(port), *args], stdout=subprocess.PIPE, **popen_args)
    return p, int(p.stdout.readline().split()[1])


def _kill_group(p, sig):
    try:
        os.killpg(p.pid, sig)
    except (ProcessLookupError, PermissionError):
        pass


def stop(p, sig=signal.SIGTERM, limit=30):
    """Ends p's process group: sig, then SIGKILL when p has not ended within
    limit seconds; what p left running in its group is killed as well.
    p's exit status (negative for a signal)."""
    if p.poll() is None:
        _kill_group(p, sig)
        p.send_signal(sig)  # also when p leads no group of its own
        try:
            p.wait(limit)
        except subprocess.TimeoutExpired:
            pass
    # The pid stays reserved while any member of its group lives.
    _kill_group(p, signal.SIGKILL)
    if p.poll() is None:
        p.kill()
    status = p.wait()
    # A member killed above may not have run its exit yet when the leader's
    # has been reaped; the caller is told the group has ended only once
    # none of its members runs.
    wait_until(lambda: not _group_runs(p.pid), limit)
    return status


def _group_runs(pgid):
    """Whether a process of group pgid runs (a zombie does not)."""
    return any(group == pgid and state not in "ZX" for _pid, state, _ppid, group in _processes())


def _processes():
    """(pid, state, parent pid, group) of every process, read from /proc."""
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % name) as f:
                stat = f.read()
        except OSError:
            continue
        fields = stat[stat.rindex(")") + 2:].split()
        yield int(name), fields[0], int(fields[1]), int(fields[2])


def _descendants():
    """The processes descended from this one."""
    children = {}
    for pid, _state, ppid, _group in _processes():
        children.setdefault(ppid, []).append(pid)
    found, todo = [], [os.getpid()]
    while todo:
        for c in children.get(todo.pop(), []):
            found.append(c)
            todo.append(c)
    return found


def end_all():
    """Kills every group start() made and every other descendant of this
    process, and reaps them. Run at exit; a test may call it earlier."""
    for p in _started:
        if p.returncode is None:
            _kill_group(p, signal.SIGKILL)
    for p in _started:
        try:
            p.wait(30)
        except subprocess.TimeoutExpired:
            pass
    # Descendants outside those groups: killing one may hand its own
    # children to this process, so go on until none is left.
    for _ in range(100):
        left = _descendants()
        if not left:
            break
        for pid in left:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        time.sleep(0.05)
        try:
            while os.waitpid(-1, os.WNOHANG)[0] > 0:
                pass
        except ChildProcessError:
            pass


def _end_by_signal(sig, _frame):
    sys.exit(128 + sig)


def _guard():
    try:
        ctypes.CDLL(None, use_errno=True).prctl(_PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)
    except (OSError, AttributeError):
        pass
    atexit.register(end_all)
    for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        if signal.getsignal(sig) in (signal.SIG_DFL, signal.default_int_handler):
            signal.signal(sig, _end_by_signal)


_guard()
