#!/usr/bin/env python3
"""What a peer address holds is one account: peer_account_test.py QNMX
LOCKD [ROW...]. Each row is an attack by one 127.0.0.x address on an
agent of its own (qnmx, its HTTP paths, the lock service) under small
limits, after which a newcomer of another address is served."""
import contextlib
import os
import re
import resource
import select
import socket
import struct
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(HERE, "..", "agent")]
from line_peer import link  # noqa: E402
from net_e2e import Run, start_lockd, stop, wait_for  # noqa: E402
from checks import curl, read_all  # noqa: E402
from zoh_client import HOST, download, header, read_replies, read_reply, request, unpack, upload  # noqa: E402
from qmx_cli import FETCH, matrix  # noqa: E402

run = Run(sys.argv[1], "account")
LOCKD = os.path.abspath(sys.argv[2])
check = run.check
NEWCOMER = "127.0.0.60"
SERVE = ('(Define L (OpenInterpreter "accept" Env0 (Port (Cast type="integer" (Arg 1))) '
         '(Permission () (Allow "ip" "127.0.0.0" "255.0.0.0"))))\n(SetMainInterpreter L)\n')
SMALL_HEAP = {"QNMX_HEAP_BUDGET_MIB": "64"}
TWO_MIB = b'"%s"' % (b"a" * (512 << 10))  # four bytes a character
# 206 bytes of arithmetic-coded JPEG claiming 16384 x 16384 pixels.
ARITH_16384 = os.path.join(HERE, "..", "codec", "data", "fuzz", "jpeg_uncompress_fuzz", "arith_16384_no_end")


def serving(script=SERVE, **options):
    return run.listening("a%d" % len(run.procs), script, **options)


def ended(a, port):
    """A line link from the newcomer's address is admitted and answered, and
    the agent is alive; then it is stopped."""
    try:
        p = link(port, NEWCOMER, 20)
        check(p.admitted and p.ask(b"(+ 40 2)") == b"42", "a newcomer is answered")
    except OSError as e:
        check(False, "a newcomer is answered: %r" % e)
    check(a.alive(), "the agent is alive")
    a.stop()


def binds(p, form, limit):
    """How many of form % k are bound before the first refusal."""
    return next((k for k in range(limit) if b"#error" in p.ask(form % k)), limit)


def still_waiting(socks):
    """The sockets that have neither a reply nor their end to read."""
    poller = select.poll()
    for s in socks:
        poller.register(s, select.POLLIN)
    ready = {fd for fd, _ in poller.poll(200)}
    return [s for s in socks if s.fileno() not in ready]


# ---- the rows

def another_peers_env():
    """One address binds 2 MiB strings into an environment another address
    made: they are its own, a quarter of a 64 MiB heap at most, and a new
    peer binds 4 MiB once both have left."""
    a, port = serving(env=SMALL_HEAP)
    p, q = link(port, "127.0.0.2"), link(port, "127.0.0.3")
    p.ask(b"(Define EA1 (NewEnvironment ()))")
    taken = binds(q, b'(SetEA EA1 "k%%d" %s)' % TWO_MIB, 31)
    check(taken <= 8, "the second address binds at most its quarter into another's environment: %d" % taken)
    p.s.close()
    q.s.close()
    check(b"#error" not in link(port, "127.0.0.4").ask(b'(Define c0 "%s")' % (b"a" * (1 << 20))),
          "a new peer binds 4 MiB after both left")
    ended(a, port)


def link_keeps_no_form():
    """One address sends 80 MiB of forms under a 64 MiB heap, one at a time:
    its link keeps none of them once it is answered."""
    a, port = serving(env=SMALL_HEAP)
    p = link(port, "127.0.0.3")
    done = sum(p.ask(b"(StringLength %s)" % TWO_MIB) == b"524288" for _ in range(40))
    check(done == 40, "a link's forms are let go once answered: %d of 40" % done)
    ended(a, port)


def agent_keeps_half():
    """Five addresses bind 7 x 2 MiB each: all peers keep at most half of a
    64 MiB heap, and the agent's own thread, waiting on a pipe meanwhile,
    then makes 1 MiB."""
    os.mkfifo(os.path.join(run.work, "go"))
    a, port = serving(SERVE.replace("(SetMainInterpreter L)", '(Load "go")\n(Let (Sub (s "a") (i 0)) (While (< i 18) '
                                    '(Let (set s (ReplaceString s "a" "aa")) (set i (+ i 1)))) (StringLength s))\n'
                                    "(SetMainInterpreter L)"), env=SMALL_HEAP)
    taken = [binds(link(port, "127.0.0.%d" % (11 + i)), b"(Define h%d_%%d %s)" % (i, TWO_MIB), 7) for i in range(5)]
    check(sum(taken) <= 16, "all peers keep at most half of the heap: %r x 2 MiB" % taken)
    with open(os.path.join(run.work, "go"), "w") as f:
        f.write("go\n")
    got = a.wait_replies(3, 60)
    check(got[2:] == ["262144"], "the agent's own thread makes 1 MiB: %r" % got)
    ended(a, port)


def open_session(port, src):
    """The cookie of a session opened from src, or None when it is Busy."""
    with socket.create_connection((HOST, port), timeout=20, source_address=(src, 0)) as s:
        s.sendall(request(port, header(1, 0)))
        kind, _, cookie, _, _ = unpack(read_reply(s)[2])
    return cookie if kind == 2 and all(cookie) else None


def data_then_close(port, src, cookie, form):
    """The output of form and of the close sent right behind it on another
    connection, both from src."""
    conns = [socket.create_connection((HOST, port), timeout=20, source_address=(src, 0)) for _ in range(2)]
    conns[0].sendall(request(port, header(2, 1, cookie) + form))
    conns[1].sendall(request(port, header(3, 2, cookie)))
    got = b"".join(unpack(read_reply(c, 60)[2])[4] for c in conns)
    for c in conns:
        c.close()
    return got


def session_threads():
    """One address opens sessions: their interpreters' tasks count against
    its cap of 8, so it has 4 and no Thread more, and a newcomer has both.
    One of the 4 closed behind a slow form still answers it: what it counts
    already covers its ending."""
    a, port = serving(env={"QNMX_PEER_THREADS": "8"})
    cookies = [c for c in (open_session(port, "127.0.0.7") for _ in range(12)) if c]
    check(len(cookies) == 4, "an address of 8 tasks has 4 sessions: %d" % len(cookies))
    check(b"cannot start a thread" in link(port, "127.0.0.7").ask(b"(Thread 1)"), "its sessions leave it no thread")
    got = data_then_close(port, "127.0.0.7", cookies[0], b"(Let (Sub (i 0)) (While (< i 100000) (set i (+ i 1))) i)\n")
    check(b" 100000</Result>" in got, "a session at the cap closed behind a slow form answers it: %r" % got)
    check(open_session(port, NEWCOMER), "a newcomer opens a session")
    ended(a, port)


def queued_requests():
    """Under 1,024 descriptors one address queues requests in its sessions,
    each on a connection left open and each far ahead of the one due (seq 1
    never comes): most are refused at once, the rest count against its
    share (a quarter of the 256 connections that may wait, and the few not
    read yet), and descriptors are left for a newcomer."""
    a, port = serving(nofile=1024)
    conns = []
    for cookie in (open_session(port, "127.0.0.7") for _ in range(15)):
        for seq in range(2, 66) if cookie else ():
            conns.append(socket.create_connection((HOST, port), timeout=20, source_address=("127.0.0.7", 0)))
            conns[-1].sendall(request(port, header(2, seq, cookie)))
    check(wait_for(lambda: len(still_waiting(conns)) <= 64 + 8, 10),
          "the address holds its share of queued requests: %d of %d" % (len(still_waiting(conns)), len(conns)))
    ended(a, port)
    for s in conns:
        s.close()


def slow_bodies():
    """One address trickles nine request bodies into the HTTP agent under 8
    places for connections that wait: a body holds one, so one of the nine
    is refused at once, a newcomer takes the place of one, and the others
    end after the body's total time (4 s here)."""
    a, port = serving('(Eval Env1 (quote (Define POST () (h body) (List (quote text/html) "got"))))\n'
                      '(Eval Env1 (quote (Define GET () (h) (List (quote text/html) "hello"))))\n'
                      '(SetHttpAgentPath "/sum" Env1)\n(SetHttpAgentPath "/hello" Env1)\n' +
                      SERVE.replace("Env0", "Env1"),
                      env={"QNMX_FIRST_LINE_SLOTS": "8", "QNMX_HTTP_BODY_TOTAL": "4"})
    bodies, got = [], {}
    for _ in range(9):
        bodies.append(socket.create_connection(("127.0.0.1", port), timeout=30, source_address=("127.0.0.7", 0)))
        bodies[-1].sendall(b"POST /sum HTTP/1.0\r\nContent-Length: 100\r\n\r\n")

    def replies(limit):
        """What the bodies' connections answer within limit seconds, a byte
        sent on each every 2 s meanwhile, within the idle guard."""
        end, trickle = time.monotonic() + limit, 0
        while len(got) < len(bodies) and time.monotonic() < end:
            if time.monotonic() >= trickle:
                trickle = time.monotonic() + 2
                for s in set(bodies) - set(got):
                    try:
                        s.sendall(b"x")
                    except OSError:  # ended: its reply is read below
                        pass
            for s in set(bodies) - set(got) - set(still_waiting([b for b in bodies if b not in got])):
                got[s] = read_all(s)
        return list(got.values())

    check([r for r in replies(3) if b"Busy" in r or r.startswith(b"HTTP/1.1 503")],
          "the address's bodies count as its connections that wait: none refused")
    with socket.create_connection(("127.0.0.1", port), timeout=30, source_address=(NEWCOMER, 0)) as s:
        s.sendall(b"GET /hello HTTP/1.0\r\n\r\n")
        check(b"hello" in read_all(s), "a newcomer is answered")
    check([r for r in replies(15) if r.startswith(b"HTTP/1.1 500") and b"request body too slow" in r],
          "the trickling bodies end after their total time")
    check(a.alive(), "the agent is alive")
    a.stop()


def first_reply(p, data, name):
    """Asks name's write lock of the lock service for process `data` (line 2
    of link p), then the release of a lock it does not hold (line 3): the
    line answered first."""
    p.s.sendall(b'<Lock type="write" file="t.zu" line="1" data="%d" seq="0"> %s </Lock>\n<Unlock> none </Unlock>\n'
                % (data, name))
    return int(p.until(rb"<Result> (\d+) ")[0].group(1))


def granted(p, line):
    """Whether the request of input line `line` of p is granted, when its answer comes."""
    return p.until(rb"<Result> %d (.*?)</Result>\n" % line)[0].group(1) == b"()"


def lock_service():
    """An agent takes a lock, its own second link a related one, and another
    process claiming the agent's id waits; then 1,500 silent connections of
    one address hold no thread of the lock service, and a newcomer is
    admitted and served."""
    p, port = start_lockd(LOCKD, preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (1024, 1024)))
    holder = link(port)
    check(holder.admitted and first_reply(holder, os.getpid(), b"m") == 2, "an agent takes a lock")
    check(first_reply(link(port), os.getpid(), b"m/n") == 2, "its own second link is not held up by it")
    child = os.fork()
    if child == 0:  # another process, claiming the agent's id
        try:
            os._exit(first_reply(link(port), os.getppid(), b"m"))
        except BaseException:
            os._exit(1)
    check(os.waitpid(child, 0)[1] >> 8 == 3, "a client claiming the agent's process id waits")
    silent = []
    while len(silent) < 1500:
        try:
            silent.append(socket.create_connection(("127.0.0.1", port), timeout=10, source_address=("127.0.0.9", 0)))
        except OSError:
            break
    threads = len(os.listdir("/proc/%d/task" % p.pid))
    check(threads < 100, "%d silent connections hold no thread: %d" % (len(silent), threads))
    newcomer = link(port, NEWCOMER)
    check(newcomer.admitted and first_reply(newcomer, os.getpid(), b"q") == 2, "a newcomer is admitted and served")
    for s in silent:
        s.close()
    check(p.poll() is None, "the lock service is alive")
    stop(p)
    p.stdout.close()


# ---- the lock service past a connection's first byte: its connections, waiting requests and their bytes have
# totals and the address holding most gives way; honest clients are served after each row.

def lockd_limited(nofile=1024):
    return start_lockd(LOCKD, preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (nofile, nofile)))


def lockd_served(p, port, newcomer=None):
    """A client of a fresh address (newcomer) takes a lock at once, and of two agents of 127.0.0.1 sharing file
    "shared" the second waits until the first lets go; then the service, alive, is stopped."""
    if newcomer:
        try:
            fresh = link(port, newcomer, 10)
            check(fresh.admitted and first_reply(fresh, os.getpid(), b"fresh") == 2,
                  "a fresh address's client is served")
            one, two = link(port, timeout=10), link(port, timeout=10)
            check(first_reply(one, 1, b"shared") == 2, "an agent takes the shared file's lock")
            check(first_reply(two, 2, b"shared") == 3, "another agent waits for it")
            one.s.sendall(b"<Unlock> shared </Unlock>\n")
            check(granted(two, 2), "and has it once the first lets go")
        except OSError as e:
            check(False, "honest clients are served: %r" % e)
    check(p.poll() is None, "the lock service is alive")
    stop(p)
    p.stdout.close()


def lockd_still_lines():
    """1,100 connections of one address that send their line end and keep still hold a bounded number of threads."""
    p, port = lockd_limited()
    still = connections(port, "127.0.0.9", 1100, b"\n", 10)
    time.sleep(1)
    n = threads(p.pid)
    check(n <= 500, "%d still connections hold at most 480 served places: %d threads" % (len(still), n))
    lockd_served(p, port, "127.0.0.61")
    for s in still:
        s.close()


def lockd_long_waits():
    """Six addresses' waits on 16,000-character names are held to the bytes total, each to its quarter."""
    p, port = lockd_limited()
    holder = link(port, "127.0.0.2", 10)
    check(first_reply(holder, 1, b"z") == 2, "a write lock is held")
    name = b"z/" + b"n" * 16000
    attackers = []
    for k in range(6):
        w = link(port, "127.0.0.%d" % (3 + k), 30)
        w.s.sendall(b"".join(b'<Lock type="write" data="0"> %s%d </Lock>\n' % (name, i) for i in range(256)) +
                    b"<Unlock> none </Unlock>\n")
        refused = 0
        try:
            while True:  # the unlock (line 258), answered at once, comes after every refusal
                m = w.until(rb"<Result> (\d+) ([^\n]*)</Result>\n")[0]
                if m.group(1) == b"258":
                    break
                refused += b"#error" in m.group(2)
        except OSError:  # ended for another address
            pass
        attackers.append((w, 256 - refused))
    time.sleep(0.5)
    waiting = [n if w.s in still_waiting([w.s]) else 0 for w, n in attackers]
    check(max(waiting) <= 120 and sum(waiting) <= 480,
          "the waiting requests stay within a quarter of 64 MiB of names an address, and 64 MiB in all: %r" % waiting)
    lockd_served(p, port, "127.0.0.62")


def waits_behind(p, line, names, kind=b"write"):
    """Whether p's requests of kind for names (from input line `line` on) wait: a release sent behind comes first."""
    p.s.sendall(b"".join(b'<Lock type="%s" data="0"> %s </Lock>\n' % (kind, n) for n in names) +
                b"<Unlock> none </Unlock>\n")
    return int(p.until(rb"<Result> (\d+) ")[0].group(1)) == line + len(names)


def lockd_holders_keep_places():
    """Under 32 served places a newcomer takes the place of a connection holding no lock (its wait given up), past
    that the reserve, then Busy: the address holding most keeps a connection that holds locks."""
    p, port = lockd_limited(128)
    agent = link(port, timeout=10)
    check(agent.ask(b'<Lock type="write" data="1"> shared </Lock>') == b"()" and
          agent.ask(b'<Lock type="read" data="1"> r </Lock>') == b"()", "an agent takes its locks")
    writer, reader = link(port, "127.0.0.2", 10), link(port, "127.0.0.3", 10)
    check(waits_behind(writer, 2, [b"r"]) and waits_behind(reader, 2, [b"r"], b"read"),
          "a write of r waits, a read behind it")
    others = [link(port, "127.0.0.%d" % i, 10) for i in [2] + list(range(4, 32))]
    check(all(o.admitted for o in others), "every place is taken")
    first = link(port, "127.0.0.40", 10)
    check(first.admitted, "a newcomer takes the place of a connection that holds no lock")
    check(granted(reader, 2), "the read that waited behind the given-up write is granted")
    reserve = [link(port, "127.0.0.%d" % i, 10) for i in (41, 42)]
    check(all(r.admitted for r in reserve), "with only lock holders to give way, newcomers take the reserve")
    check(not link(port, "127.0.0.43", 10).admitted, "past the reserve a newcomer is Busy")
    check(first_reply(first, 40, b"shared") == 3, "the agent keeps its write lock: another's request waits")
    check(agent.ask(b"<Unlock> shared </Unlock>") == b"()" and granted(first, 2),
          "the agent lets go, and the request is granted")
    lockd_served(p, port)


def lockd_holders_keep_waits():
    """When all waiting requests are taken, the address holding most gives up one connection's waits for a
    newcomer's, with errors, and keeps that connection and the lock it holds."""
    p, port = lockd_limited()
    blocker = link(port, "127.0.0.9", 10)
    check(blocker.ask(b'<Lock type="write" data="9"> w </Lock>') == b"()", "a write lock is held")
    holder = link(port, "127.0.0.2", 30)
    check(holder.ask(b'<Lock type="write" data="2"> h </Lock>') == b"()", "a waiting connection holds a lock")
    waiting = [holder] + [link(port, "127.0.0.%d" % (2 + k // 4), 30) for k in range(1, 16)]
    check(all(waits_behind(w, 3 if w is holder else 2, [b"w/%d/%d" % (k, i) for i in range(256)])
              for k, w in enumerate(waiting)), "4,096 requests wait")
    newcomer = link(port, "127.0.0.60", 10)
    check(first_reply(newcomer, 60, b"w/new") == 3, "a newcomer's request waits")
    given_up = [holder.until(rb"<Result> (\d+) ([^\n]*)</Result>\n")[0] for _ in range(256)]
    check(all(b"too many requests from this address" in m.group(2) for m in given_up) and
          sorted(int(m.group(1)) for m in given_up) == list(range(3, 259)),
          "the holder's waiting requests are given up with errors")
    other = link(port, "127.0.0.61", 10)
    check(first_reply(other, 61, b"h") == 3, "its lock is kept: another's request waits")
    check(holder.ask(b"<Unlock> h </Unlock>") == b"()" and granted(other, 2),
          "it lets go on its connection, and the request is granted")
    lockd_served(p, port, "127.0.0.62")


# ---- what a decoder makes follows the bytes it was given

def jpeg_block_read():
    """A peer of 127.0.0.8 reads a node of a matrix in the agent's folder
    whose fetch script decodes an image block the agent loaded from a file:
    206 bytes of arithmetic-coded JPEG claiming 16384 x 16384 pixels, under
    a heap budget that would hold them. The block is refused before its
    image is made: the agent's peak memory stays far below a gigabyte."""
    with open(ARITH_16384, "rb") as f, open(os.path.join(run.work, "block.zu"), "wb") as out:
        block = b"cj" + f.read()
        out.write(b"#%x#%s]\n" % (len(block), block))
    fetch = ('(mxFinish normal-jump-status="MS_OK" err-jump-status="MS_LOADING_ERR_1") '
             '(mxSet 0 (mxUncompressJPEG (List (quote data) (List 0 0 0) BLOCK)))')
    maker = run.agent("maker", matrix(os.path.join(run.work, "big.mx"), (512, 512)).replace(FETCH + ")", fetch + ")") +
                      '\n(qmxClose id="1")\n')
    check(maker.wait_exit(60) == 0, "the matrix is made")
    # Documents elsewhere: a peer reads the agent's working folder, by path
    # where the second top environment's commands are reached.
    os.makedirs(os.path.join(run.work, "docs"))
    a, port = serving('(SetDirectory url="/" "%s/docs/")\n'
                      '(Eval Env0 (List (quote Define) (quote BLOCK) (car (Load "block.zu"))))\n%s'
                      % (run.work, SERVE.replace("Env0", "Env1")), env={"QNMX_HEAP_BUDGET_MIB": "2048"})
    got = link(port, "127.0.0.8").ask(b'(qmxGetPoint "big.mx" (List 0 1 1))')
    with open("/proc/%d/status" % a.proc.pid) as f:
        peak = int(re.search(r"VmHWM:\s+(\d+)", f.read()).group(1))
    check(got.startswith(b"#error") and peak < 400 << 10,
          "the block is refused and the agent's memory stays below 400 MiB: %d KiB at most (%r)" % (peak, got[:80]))
    ended(a, port)


def rewrite_function():
    """A link's set of the function another link of its address defined is
    refused, and the function's owner runs its own."""
    a, port = serving()
    p, q = link(port), link(port)
    p.ask(b"(Define myf () (h) (+ 1 2))")
    check(q.ask(b"(set myf (Lambda () (h) (CloseInterpreter (GetIid))))").startswith(b"#error(2147749136 "),
          "another link of the same address does not rewrite it (0x80040d10)")
    check(p.ask(b"(myf)") == b"3", "the function runs as its owner wrote it")
    ended(a, port)


def session_post():
    """The program's own HTTP session posts to examples/http.zu (whose POST
    answers the size of the body) with the body's length, and is answered
    as curl's POST of the same 13 bytes (the printed string and its line
    end) is; a newcomer from 127.0.0.9 is served."""
    with open(os.path.join(HERE, "..", "..", "examples", "http.zu")) as f:
        a, port = serving(f.read().replace('"127.0.0.1" "255.255.255.255"', '"127.0.0.0" "255.0.0.0"'))
    check(curl(port, "/sum", "-w", " %{http_code}", "--data-binary", '"abcdefghij"\n').stdout == b"13 200",
          "curl's POST of 13 bytes")
    client = run.agent("client", '(Define s (OpenSession))\n'
                       '(RemoteSession s (URL "http://127.0.0.1:%d/sum") (post "/sum" "abcdefghij"))\n' % port)
    check(client.wait_exit(120) == 0 and client.replies()[1:] == ["(text/html (13))"],
          "the session's POST is answered with its size: %r" % client.replies())
    check(curl(port, "/hello", "-w", " %{http_code}", source="127.0.0.9").stdout == b"<p>hello from qnmx</p> 200",
          "a newcomer from another address is served")
    a.stop()


ROWS = [another_peers_env, link_keeps_no_form, agent_keeps_half, session_threads, queued_requests, slow_bodies,
        lock_service, lockd_still_lines, lockd_long_waits, lockd_holders_keep_places,
        lockd_holders_keep_waits, jpeg_block_read, rewrite_function, session_post]


# ---- totals: each place all peers share has a bound below what the agent can hold, and when one is all taken the
# address holding most gives way to a newcomer; the agent's own script saves a counter each second throughout.

TICKING = SERVE.replace("(SetMainInterpreter L)", '(Define n 0)\n(IgnoreDelay (Thread (While 1 (Sequence () (set n '
                        '(+ n 1)) (Save oflag="creat:trunc" "tick.txt" n) (Sleep 1)))))\n(SetMainInterpreter L)')


def ticking(nofile=1024, **env):
    return serving(TICKING, nofile=nofile, env=dict(SMALL_HEAP, **env))


def tick():
    try:
        with open(os.path.join(run.work, "tick.txt")) as f:
            return int(f.read().split()[0])
    except (OSError, ValueError, IndexError):
        return None


def newcomer_served(a, port, socks=(), session=0):
    """The agent's tick goes on under the attack, a newcomer from a fresh address is answered (ended), with session
    in a session too (with 2, a request it queues ahead is taken in), and the attack's sockets are closed."""
    first = tick()
    check(wait_for(lambda: tick() not in (None, first), 5), "the agent's own script ticks on: %r" % first)
    if session:
        cookie = open_session(port, NEWCOMER)
        check(cookie, "a newcomer opens a session")
        ahead = (connections(port, NEWCOMER, 1, request(port, header(2, 3, cookie) + b"(+ 1 1)\n"))
                 if cookie and session > 1 else [])
        check(session < 2 or still_waiting(ahead), "a newcomer's request queued ahead is taken in")
        got = data_then_close(port, NEWCOMER, cookie, b"(+ 40 2)\n") if cookie else b""
        check(b" 42</Result>" in got, "the newcomer's session answers: %r" % got)
        socks = list(socks) + ahead
    ended(a, port)
    for s in socks:
        s.close()


def connections(port, src, n, data, timeout=20):
    """Up to n connections from src, each sent data (fewer once one fails)."""
    socks = []
    for _ in range(n):
        try:
            socks.append(socket.create_connection(("127.0.0.1", port), timeout=timeout, source_address=(src, 0)))
            socks[-1].sendall(data)
        except OSError:
            break
    return socks


def admitted(s):
    """Whether the line link on s was admitted (read to its admission)."""
    got = b""
    while b"</Permission>" not in got and (c := s.recv(4096)):
        got += c
    return b"Allow" in got


def line_links_total():
    """Links count from their first line against all peers' total, leaving descriptors for 700 first lines."""
    a, port = ticking()
    links, refused = [], 0
    while len(links) < 700 and refused < 20:  # until refused 20 times in a row
        made = connections(port, "127.0.0.2", 1, b"\n")
        if made and admitted(made[0]):
            links, refused = links + made, 0
        else:
            refused += 1
            for s in made:
                s.close()
    check(len(links) <= 1024 * 3 // 16, "its links stop at all peers' total: %d" % len(links))
    newcomer_served(a, port, links + connections(port, "127.0.0.3", 700, b"G"))


def queued_requests_total():
    """Seven addresses' queued requests stop at all peers' total; a newcomer's queued request is taken in."""
    a, port = ticking()
    conns = []
    for src in ("127.0.0.%d" % i for i in range(2, 9)):
        for cookie in (open_session(port, src) for _ in range(9)):
            for seq in range(2, 17) if cookie else ():
                conns += connections(port, src, 1, request(port, header(2, seq, cookie)))
    newcomer_served(a, port, conns, 2)


def threads(pid):
    return len(os.listdir("/proc/%d/task" % pid))


def session_tasks_total():
    """Sessions hold no more threads than all peers' tasks (64), and the address holding most gives way."""
    a, port = ticking(QNMX_PEER_TASKS_ALL="64")
    base = threads(a.proc.pid)
    for src in ("127.0.0.%d" % i for i in range(2, 8)):
        for cookie in (open_session(port, src) for _ in range(16)):
            for s in connections(port, src, 1, request(port, header(2, 1, cookie) + b"(+ 1 1)\n")) if cookie else ():
                read_reply(s)
                s.close()
    check(wait_for(lambda: threads(a.proc.pid) <= base + 64 + 32, 10),
          "the sessions hold at most the peers' 64 tasks: %d threads, %d at the start" % (threads(a.proc.pid), base))
    newcomer_served(a, port, session=1)


def heap_reserve():
    """Once three addresses have bound up to the peers' half of the heap and left, a fresh one binds from a reserve."""
    a, port = ticking()
    for i in range(2, 5):
        p = link(port, "127.0.0.%d" % i)
        for size in (512 << 10, 32 << 10, 2 << 10, 128, 8, 1):  # within its quarter, ever smaller strings
            binds(p, b'(Define r%d_%d_%%d "%s")' % (i, size, b"a" * size), 64)
        p.s.close()
    reply = link(port, "127.0.0.61").ask(b"(Define x 1)")
    check(b"#error" not in reply, "a fresh address binds: %r" % reply)
    newcomer_served(a, port)


def half_closed_links():
    """Half-closed links running endless forms still count, and give way to newcomers, the longest first."""
    a, port = ticking(QNMX_PEER_LINKS_ALL="8")
    links = [link(port, "127.0.0.2") for _ in range(8)]
    for i, p in enumerate(links):
        p.s.sendall(b"(While 1 1)\n" if i == 0 else b"(Sleep 100000)\n")
        p.s.shutdown(socket.SHUT_WR)
    time.sleep(0.5)
    p = link(port, "127.0.0.61", 20)
    check(p.admitted and p.ask(b"(+ 40 2)") == b"42", "a newcomer is served while the links have sent their ends")
    begun = time.monotonic()
    read_all(links[0].s, 10)  # until the connection ends, or 10 s
    check(time.monotonic() - begun < 10, "the longest open gave way: its endless form stopped and its connection ended")
    newcomer_served(a, port, [q.s for q in links + [p]])


def stopped_waits():
    """Links waiting for the main interpreter, reset, end their waits and give their places back."""
    a, port = ticking(QNMX_PEER_LINKS_ALL="8")
    for _ in range(8):
        p = link(port, "127.0.0.2")
        p.ask(b"1")
        p.s.sendall(b"(WaitInterpreter (GetMainInterpreter))\n")
        time.sleep(0.2)
        p.s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))  # a reset
        p.s.close()
    check(wait_for(lambda: link(port, "127.0.0.2", 20).admitted, 10), "the reset links' waits end and give places back")
    newcomer_served(a, port)


def v2_sessions(port, src, n, body=None):
    """Up to n version-2 sessions' download connections from src, each with an upload of body that stops short."""
    held = []
    for _ in range(n):
        d, cookie, _, _ = download(port, src)
        if cookie or body:
            held += [d, upload(port, cookie, body, 12 + 1000, src)] if cookie and body else [d]
        else:
            d.close()
    return held


def v2_downloads():
    """Version-2 sessions of twelve addresses count among all peers' line links and leave descriptors."""
    a, port = ticking(nofile=256)
    held = [d for i in range(2, 14) for d in v2_sessions(port, "127.0.0.%d" % i, 16)]
    check(a.fds() < 256 * 40 // 64, "the sessions leave descriptors: %d in use, %d sessions" % (a.fds(), len(held)))
    newcomer_served(a, port, held)


def v2_uploads():
    """Under 256 descriptors uploads that stop short wait on their peers in the places of connections that send
    nothing yet, so that together with 64 of those they leave room for a newcomer."""
    a, port = ticking(nofile=256, QNMX_FIRST_LINE_IDLE="60", QNMX_FIRST_LINE_TOTAL="60")
    held = [s for i in range(2, 5) for s in v2_sessions(port, "127.0.0.%d" % i, 16, b"(+ 1 2)\n")]
    time.sleep(0.5)
    held += connections(port, "127.0.0.20", 64, b"")
    time.sleep(0.5)
    check(a.fds() < 256 * 40 // 64, "uploads and silent connections leave descriptors: %d in use" % a.fds())
    newcomer_served(a, port, held)


def refused_ends_nobody():
    """A newcomer refused past the descriptors' gate ends none of the links of the address holding all peers' line
    links, and is served once the silent connections holding the descriptors have gone."""
    a, port = ticking(nofile=128, QNMX_PEER_LINKS_ALL="24", QNMX_FIRST_LINE_SLOTS="96",
                      QNMX_FIRST_LINE_IDLE="60", QNMX_FIRST_LINE_TOTAL="60")
    links = [link(port, "127.0.0.2") for _ in range(24)]
    silent = connections(port, "127.0.0.3", 88 - a.fds(), b"")
    check(wait_for(lambda: a.fds() >= 128 * 40 // 64 + 2, 5), "the descriptors pass the gate: %d" % a.fds())
    refused = link(port, NEWCOMER, 20)
    check(not refused.admitted, "a newcomer is refused past the gate")
    alive = 0
    for p in links:  # each answers (not ended)
        with contextlib.suppress(OSError):
            alive += p.ask(b"(+ 1 1)") == b"2"
    check(alive == 24, "no link gave way for it: %d of 24 answer" % alive)
    for s in silent + [refused.s]:
        s.close()
    check(wait_for(lambda: a.fds() < 128 * 40 // 64 - 4, 10), "the silent connections have gone: %d" % a.fds())
    newcomer_served(a, port, [p.s for p in links])


ROWS += [line_links_total, queued_requests_total, session_tasks_total, heap_reserve, half_closed_links,
         stopped_waits, v2_downloads, v2_uploads, refused_ends_nobody]

for row in ROWS:
    name = row.__name__.replace("_", "-")
    if not sys.argv[3:] or name in sys.argv[3:]:
        before = len(run.failed)
        try:
            row()
        except (OSError, AttributeError) as e:
            check(False, "%s: %r" % (name, e))
        print("%s: %s" % (name, "ok" if len(run.failed) == before else "FAILED"), flush=True)
run.finish()
