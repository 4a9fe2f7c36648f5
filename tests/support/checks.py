"""What the scripted tests share: check() notes a failed case and lets the
script go on to the next, failures lists them for the exit status,
wait_until() polls for a condition instead of sleeping a fixed time, and
free_port() and listening() find a port for a server and see it listen."""
import random
import socket
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


def listening(port):
    """Whether something listens on port, read from /proc/net/tcp so that no
    probe connection disturbs the listener."""
    with open("/proc/net/tcp") as f:
        return any(l.split()[1].endswith(":%04X" % port) and l.split()[3] == "0A" for l in f.readlines()[1:])
