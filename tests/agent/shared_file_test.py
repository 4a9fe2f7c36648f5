#!/usr/bin/python3
"""Agents sharing a matrix file under the lock service keep each other's
writes: shared_file_test.py <qnmx> <qnmx_lockd> table|random [seed]. The
table has a row per case; the random run has three writers in overlapping
sessions, a reader all along and one restart of the service."""
import os
import random
import re
import socket
import sys
import threading
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from qmx_cli import (NO_OBJECT, STORE, THIN, Cli, error_of, free_port, matrix, open_when_free, pyramid,  # noqa: E402
                     rgb_word, value, write_ppm)
from checks import start_lockd, stop, wait_until  # noqa: E402

QNMX, LOCKD, GROUP = sys.argv[1:4]
cli = Cli(QNMX, "shared_" + GROUP)
CHANGED = "the matrix file changed since it was read"
OPEN, IMPORT, CLOSE = ('(qmxCreate filename="{}" currentPhase_mode="direct")', '(qmxImportPNM id="{}" "{}" 0 0 {} {})',
                       '(qmxClose id="{}")')
RED, BLUE = 0xFF000000, 0xFF00


class Service:
    """qnmx_lockd; restart() ends it and starts another on the same port."""
    port = 0

    def restart(self):
        if self.port:
            stop(self.proc)
        self.proc, self.port = start_lockd(LOCKD, "-v", port=self.port, stderr=open(cli.path("lockd.log"), "a"))
        return self

    def agent(self, name, port=None, **env):
        a = cli.agent(name, env)
        a.ask(f'(Eval Env1 (quote (Sequence () (Define LockHostName "127.0.0.1") (Define LockPort {port or self.port}))))')
        return a

    def asked(self, agent):
        """How many locks agent has asked the service for so far."""
        return lockd_log().count(f" agent pid {agent.proc.pid} ")

    def held_elsewhere(self):
        """A raw client of the service holding the write lock on s.mx, once
        it is granted."""
        holder, got = socket.create_connection(("127.0.0.1", self.port), timeout=60), b""
        holder.sendall(b'\n<Lock type="write" data="1"> s.mx </Lock>\n')
        while b"<Result>" not in got:
            got += holder.recv(4096) or b"<Result>"
        return holder


def lockd_log():
    with open(cli.path("lockd.log")) as f:
        return f.read()


class Early(threading.Thread):
    """A service that calls the holder back before it grants: it sends the
    event for the lock asked, waits for its answer, then grants, and notes
    the lock given back."""

    def __init__(self):
        super().__init__(daemon=True)
        self.port, self.unlocked = free_port(), threading.Event()
        self.server = socket.create_server(("127.0.0.1", self.port))
        self.start()

    def run(self):
        conn, buf, line, grant = self.server.accept()[0], b"", 0, b""
        conn.sendall(b"\n<Permission>Allow</Permission>\n")
        while True:
            while b"\n" not in buf:
                chunk = conn.recv(4096)
                if not chunk:
                    return
                buf += chunk
            text, buf = buf.split(b"\n", 1)
            line += 1
            if text.startswith(b"<Lock"):
                conn.sendall(b"(call-lock-event %s)\n" % re.search(rb'seq="(\d+)"', text).group(1))
                grant = b"<Result> %d ()</Result>\n" % line
            elif text.startswith(b"<Result>") and grant:  # the holder has taken the event
                conn.sendall(grant)
                grant = b""
            elif text.startswith(b"<Unlock>"):
                conn.sendall(b"<Result> %d ()</Result>\n" % line)
                self.unlocked.set()


def levels_of(rgb):
    """Every level of a square picture whose side is a power of two."""
    return [rgb.astype(np.int64)] + pyramid(np, rgb, rgb.shape[0].bit_length() - 1)


def made(name, rgb):
    """A new name.mx of nodes of 64 holding rgb (name.ppm), closed."""
    if os.path.exists(cli.path(name + ".mx")):
        os.remove(cli.path(name + ".mx"))
    write_ppm(cli.path(name + ".ppm"), rgb)
    cli.run([matrix(name + ".mx", rgb.shape[1::-1], block=6, save_up=THIN), IMPORT.format(1, name + ".ppm", 0, 0),
             CLOSE.format(1)], name="make")


def words(name, points):
    """The pixel words of name.mx at (level, x, y) points, read by a qnmx of its own."""
    replies, _ = cli.run([f'(qmxGetPoint "{name}.mx" (List {l} {x} {y}))' for l, x, y in points], name="read")
    return [value(r)[0][1] if not error_of(r) else r for r in replies]


# ---------------------------------------------------------------------------

def writers(svc, row, order, files="ss"):
    """A's red at (10, 10) of files[0], B's blue at (215, 10) of files[1],
    sessions interleaved as order says: both kept, on every level."""
    for f in set(files):
        made(f, np.full((512, 512, 3), 255, np.uint8))
    steps = {"a": [OPEN.format(files[0] + ".mx"), IMPORT.format(1, "red.ppm", 10, 10), CLOSE.format(1)],
             "b": [OPEN.format(files[1] + ".mx"), IMPORT.format(1, "blue.ppm", 215, 10), CLOSE.format(1)]}
    agents, forms = {k: svc.agent(row + k) for k in steps}, [(k, steps[k].pop(0)) for k in order]
    cli.expect(row, [agents[k].ask(f) for k, f in forms], ["1" if "Create" in f else "()" for _, f in forms])
    points = [(0, 200, 20), (0, 230, 20), (1, 208, 20), (1, 300, 20), (4, 208, 16), (9, 0, 0)]  # around node (192, 0)
    for f in set(files):
        model = np.full((512, 512, 3), 255, np.uint8)
        model[10:210, 10:210] = (255, 0, 0) if f == files[0] else 255
        model[10:210, 215:415] = (0, 0, 255) if f == files[1] else 255
        want = levels_of(model)
        cli.expect(f"{row}: {f}.mx", words(f, points), [rgb_word(want[l][y >> l, x >> l]) for l, x, y in points])


def reader(svc, row):
    """R read s.mx, then W wrote it: R never answers the old picture, and
    its read of a node it never held names the node and the change."""
    made("s", np.full((512, 512, 3), (255, 0, 0), np.uint8))
    r, w = svc.agent(row + "r"), svc.agent(row + "w")
    cli.expect(row + ": first read", r.ask('(qmxGetPoint "s.mx" (List 0 20 20))'), f"((0 {RED}))")
    cli.expect(row + ": W", [w.ask(f) for f in (OPEN.format("s.mx"), IMPORT.format(1, "blue.ppm", 0, 0), CLOSE.format(1))],
               ["1", "()", "()"])
    again = r.ask('(qmxGetPoint "s.mx" (List 0 20 20))')
    cli.expect(row + ": the node held", again == f"((0 {BLUE}))" or (CHANGED in again and "-127" in again), True)
    cli.expect_error(row + ": a node not held", r.ask('(qmxGetPoint "s.mx" (List 0 300 300))'), NO_OBJECT,
                     f'("invalid object in channel of NODE" "others" (-127 (0 256 256)) "{CHANGED}")')


def restarted(svc, row, kill=False):
    """A imported, then the service restarts (or A is killed): B opens once
    A let the file go and finds A's import (writes), A's close ends."""
    made("s", np.full((512, 512, 3), 255, np.uint8))
    a, b = svc.agent(row + "a"), svc.agent(row + "b")
    cli.expect(row + ": A", [a.ask(OPEN.format("s.mx")), a.ask(IMPORT.format(1, "red.ppm", 10, 10))], ["1", "()"])
    a.proc.kill() if kill else svc.restart()
    opened = open_when_free(b, OPEN.format("s.mx"))
    forms = [IMPORT.format(opened, "blue.ppm", 215, 10)] if kill else ['(qmxGetPoint "s.mx" (List 0 20 20))']
    cli.expect(row + ": B", [b.ask(f) for f in forms + [CLOSE.format(opened)]], ["()" if kill else f"((0 {RED}))", "()"])
    if not kill:
        cli.expect(row + ": A's close", a.ask(CLOSE.format(1)), "()")


def idled(svc, row):
    """A imported, then its file idled out: the closer saved the import and
    gave the lock back, so B reads it."""
    made("s", np.full((512, 512, 3), 255, np.uint8))
    a, b = svc.agent(row + "a", QNMX_MX_FILE_IDLE="1"), svc.agent(row + "b")
    cli.expect(row + ": A", [a.ask(OPEN.format("s.mx")), a.ask(IMPORT.format(1, "red.ppm", 10, 10))], ["1", "()"])
    given = lockd_log().count('unlock "s.mx"')
    if wait_until(lambda: lockd_log().count('unlock "s.mx"') > given, 60):
        cli.expect(row + ": B", b.ask('(qmxGetPoint "s.mx" (List 0 20 20))'), f"((0 {RED}))")
    else:
        cli.fail(row + ": the lock was never given back")


def hung_up(svc, row):
    """The service hung up on A's link before it answered (it was stopping
    as A connected), and admitted no later link: A's open answers -128
    within the lock's wait, naming the service and what it did. Once a
    service listens again, A's next open asks it, instead of taking the
    address for one that never answers."""
    made("s", np.full((512, 512, 3), 255, np.uint8))
    stop(svc.proc)
    a = svc.agent(row + "a")
    with socket.create_server(("127.0.0.1", svc.port)) as stopping:
        threading.Thread(target=lambda: stopping.accept()[0].close(), daemon=True).start()
        got = error_of(a.ask(OPEN.format("s.mx")))
        said = rf'\(-128 "the lock service 127\.0\.0\.1:{svc.port} (closed the connection|did not admit within \d+ s)"\)'
        if not (got and got[0] == STORE and re.fullmatch(said, got[2])):
            cli.fail(f"{row}: A while the service stops: {got!r}")
    svc.restart()
    cli.expect(row + ": A", [a.ask(OPEN.format("s.mx")), a.ask(CLOSE.format(1))], ["1", "()"])


def early(svc, row):
    """The service called A back before A had taken in the grant: A gives
    the lock back all the same, once its command is done."""
    made("s", np.full((512, 512, 3), 255, np.uint8))
    service = Early()
    a = svc.agent(row + "a", port=service.port)
    cli.expect(row + ": A", a.ask(OPEN.format("s.mx")), "1")
    cli.expect(row + ": the lock given back", service.unlocked.wait(20), True)


def held(svc, row):
    """Another client of the service holds A's file: A's import waits for
    the lock once and answers, not once for every node it writes."""
    made("s", np.full((512, 512, 3), 255, np.uint8))
    a = svc.agent(row + "a", QNMX_LOCK_WAIT="1")
    cli.expect(row + ": A", a.ask(OPEN.format("s.mx")), "1")
    holder, asked = svc.held_elsewhere(), svc.asked(a)  # granted once A gave the file up
    cli.expect_error(row + ": A's import", a.ask(IMPORT.format(1, "red.ppm", 10, 10)), NO_OBJECT)
    cli.expect(row + ": locks A asked for", svc.asked(a) - asked, 1)
    holder.close()
    cli.expect(row + ": A's close", a.ask(CLOSE.format(1)), "()")


def queued(svc, row):
    """R's read and then W's write wait for a client's write lock: R is
    granted first, and told that W waits, so W is granted well within its
    wait, not when R's file idles out. R read the picture, or says that W's
    opening changed the file under it."""
    made("s", np.full((512, 512, 3), (255, 0, 0), np.uint8))
    r, w = svc.agent(row + "r"), svc.agent(row + "w", QNMX_LOCK_WAIT="20")
    holder, replies = svc.held_elsewhere(), {}
    for name, agent, form in (("R", r, '(qmxGetPoint "s.mx" (List 0 20 20))'), ("W", w, OPEN.format("s.mx"))):
        waiting = lockd_log().count(" waits")
        threading.Thread(target=lambda n=name, a=agent, f=form: replies.setdefault(n, a.ask(f)), daemon=True).start()
        wait_until(lambda: lockd_log().count(" waits") > waiting, 60)
    holder.sendall(b"<Unlock> s.mx </Unlock>\n")
    wait_until(lambda: len(replies) == 2, 60)
    read = replies.get("R") or ""
    cli.expect(row, [read == f"((0 {RED}))" or (CHANGED in read and "-127" in read), replies.get("W")], [True, "1"])
    holder.close()


def same_new(svc, row):
    """A and B make the same new file at once: B's create, begun and done
    while A's description still runs, keeps its file and its import; A's,
    finding the file made by B, answers an error and removes nothing."""
    if os.path.exists(cli.path("n.mx")):
        os.remove(cli.path("n.mx"))
    a, b = svc.agent(row + "a"), svc.agent(row + "b")
    make = matrix("n.mx", (512, 512), block=6)
    slow = make.replace("(qmxMatrixParam", "(Sleep 3) (qmxMatrixParam", 1)
    released, got = lockd_log().count('unlock "n.mx"'), []
    asking = threading.Thread(target=lambda: got.append(a.ask(slow)), daemon=True)
    asking.start()
    wait_until(lambda: lockd_log().count('unlock "n.mx"') > released, 20)  # A's opening made the file
    cli.expect(row + ": B", [b.ask(make), b.ask(IMPORT.format(1, "red.ppm", 10, 10))], ["1", "()"])
    asking.join(120)
    cli.expect(row + ": A's create fails", bool(got and error_of(got[0])), True)
    cli.expect(row + ": B's close, then its import", [b.ask(CLOSE.format(1)), words("n", [(0, 20, 20)])],
               ["()", [RED]])


def group_table():
    for name, colour in (("red", (255, 0, 0)), ("blue", (0, 0, 255))):
        write_ppm(cli.path(name + ".ppm"), np.full((200, 200, 3), colour, np.uint8))
    svc = Service().restart()
    rows = {"overlap": lambda r: writers(svc, r, "aabbba"), "reader": lambda r: reader(svc, r),
            "restart": lambda r: restarted(svc, r), "turns": lambda r: writers(svc, r, "aaabbb"),
            "killed": lambda r: restarted(svc, r, kill=True), "twofiles": lambda r: writers(svc, r, "aabbba", "st"),
            "idle": lambda r: idled(svc, r), "hangup": lambda r: hung_up(svc, r), "early": lambda r: early(svc, r),
            "held": lambda r: held(svc, r), "queued": lambda r: queued(svc, r),
            "samenew": lambda r: same_new(svc, r)}
    for row, run in rows.items():
        try:
            run(row)
        except Exception as e:  # a reply that never came
            cli.fail(f"{row}: {e!r}")


# ---------------------------------------------------------------------------

def group_random():
    """Each read is a picture the place held no earlier than the last write
    completed before it (or an error); at the end every level is the model
    of the last writes."""
    seed = int(sys.argv[4]) if len(sys.argv) > 4 else random.randrange(1 << 30)
    print(f"seed {seed}; repeat: shared_file_test.py QNMX LOCKD random {seed}", flush=True)
    pics, side, places = np.random.default_rng(seed), 60, [(8, 8), (70, 8), (8, 100), (130, 130)]  # the last shared
    base = pics.integers(0, 256, (256, 256, 3), dtype=np.uint8)
    made("r", base)
    writes = [[dict(pic=base[y:y + side, x:x + side], t0=-1e9, t1=-1e9, done=-1e9)] for x, y in places]
    svc, ended, done, reads = Service().restart(), threading.Event(), [], []

    def writer(i):
        rng, a = random.Random(seed + i), svc.agent(f"w{i}")
        for k in range(10):
            p, w = i if rng.random() < 0.5 else 3, dict(pic=pics.integers(0, 256, (side, side, 3), dtype=np.uint8))
            write_ppm(cli.path(f"w{i}_{k}.ppm"), w["pic"])
            until = time.monotonic() + 60
            while time.monotonic() < until:  # until a session completes: opens are refused while the service restarts
                opened = open_when_free(a, OPEN.format("r.mx"), until - time.monotonic())
                if error_of(opened):
                    continue
                w = dict(w, t0=time.monotonic(), t1=1e9, done=1e9)
                writes[p].append(w)
                got = [a.ask(IMPORT.format(opened, f"w{i}_{k}.ppm", *places[p]))]
                w["t1"] = time.monotonic()
                time.sleep(rng.uniform(0, 0.4))
                if got + [a.ask(CLOSE.format(opened))] == ["()", "()"]:
                    w["done"] = time.monotonic()
                    done.append(w)
                    break
            else:
                cli.fail(f"seed {seed}: writer {i} never completed write {k}")
        a.end()

    points = [(x, y, l, x + 12 * l + 5, y + 10 * l + 7) for x, y in places for l in (0, 2)]
    form = '(qmxGetPoint "r.mx" (List ' + " ".join(f"(List {l} {px} {py})" for _, _, l, px, py in points) + "))"

    def read():
        r, entry, rng = svc.agent("r"), 1, random.Random(seed + 9)
        while not ended.is_set():
            t0, got = time.monotonic(), r.ask(form)
            if CHANGED in got:  # a reader's file changed: read it again from the start
                r.ask(CLOSE.format(entry))
                entry += 1
            elif not error_of(got):
                reads.append((t0, time.monotonic(), [v[0][1] for v in value(got)]))
            time.sleep(rng.uniform(0, 0.1))
        r.end()

    def guarded(f, *args):
        try:
            f(*args)
        except Exception as e:  # a reply that never came
            cli.fail(f"seed {seed}: {f.__name__}{args}: {e!r}")
    # Daemons: a signal that ends the run is not held up by a reply awaited.
    threads = [threading.Thread(target=guarded, args=a, daemon=True) for a in [(writer, i) for i in range(3)] + [(read,)]]
    for t in threads:
        t.start()
    wait_until(lambda: len(done) >= 8, 120)
    svc.restart()
    for t in threads[:3]:
        t.join()
    ended.set()
    threads[3].join()

    def pixel(w, x, y, l, px, py):  # the level l pixel of write w over (px, py)
        bx, by = (px >> l << l) - x, (py >> l << l) - y
        return rgb_word(levels_of(w["pic"][by:by + (1 << l), bx:bx + (1 << l)])[l][0, 0])
    stale = 0
    for t0, t1, got in reads:
        for (x, y, l, px, py), v in zip(points, got):
            ws = writes[places.index((x, y))]
            last = max((w for w in ws if w["done"] < t0), key=lambda w: w["t0"])
            stale += v not in [pixel(w, x, y, l, px, py) for w in ws if w["t0"] < t1 and w["t1"] >= last["t0"]]
    cli.expect(f"seed {seed}: stale reads, any read", (stale, bool(reads)), (0, True))
    levels = [np.zeros(m.shape, np.uint8) for m in levels_of(base)]
    cli.run([OPEN.format("r.mx")] + [f'(qmxExportPNM id="1" "r{k}.ppm" 0 {k})' for k in range(len(levels))], name="levels")
    for k, g in enumerate(levels):
        with open(cli.path(f"r{k}.ppm"), "rb") as f:
            g[...] = np.frombuffer(f.read()[-g.size:], np.uint8).reshape(g.shape)
    model = base.copy()
    for (x, y), ws in zip(places, writes):  # the last write: none began after it ended (of two at once, the one held)
        held = levels[0][y:y + side, x:x + side]
        last = [w["pic"] for w in ws if not any(v["t0"] > w["t1"] for v in ws)]
        model[y:y + side, x:x + side] = next((c for c in last if np.array_equal(held, c)), last[0])
    unlike = [k for k, m in enumerate(levels_of(model)) if not np.array_equal(levels[k], m)]
    cli.expect(f"seed {seed}: levels unlike the model", unlike, [])


{"table": group_table, "random": group_random}[GROUP]()
cli.finish()
