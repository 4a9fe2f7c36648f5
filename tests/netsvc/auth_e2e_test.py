#!/usr/bin/python3
"""Authentication of peers between qnmx processes on 127.0.0.1:
auth_e2e_test.py <qnmx> <group>.

password   a listening qnmx serves a fixture matrix under a ".zuaccess" that
           asks for fix-user-passwd; a second qnmx reads a node with the
           agent's Get (Remote) with the right, a wrong and no client result
           file; a broken access file denies its directory; a peer's Rm is
           asked about too; the password is in no output of either process,
           with QNMX_TRACE unset and set
localroot  localhost-root: the same user is accepted and leaves no key file
           in /tmp, a client run as nobody is denied, a peer that goes away
           before it answers leaves no key file; socat fake servers naming a
           symlink, a file of another owner, of the wrong size or mode get no
           key back (a proper file does); a local user (nobody) who relays
           the agent's question back to the agent gets no key; nor does a
           server that a peer had the agent connect to
churn      1000 refused attempts on fresh links: the server's descriptors and
           resident memory stay steady
client     a peer that asks the agent's client side (as a query, as a
           LocalEval on its own link, or through a (Local ...) that the
           agent's own listener puts back to it) gets no password, nor can
           it put a function of its own in the place of the agent's
           built-ins; a server gets only the preset results of its own site
rotate     a changed access file counts at once: a password rotated in the
           root's file, a file added later, a removed file
edits      a peer's Rm and Mv never touch an access file, are judged where
           symlinks lead, and are refused outside every tree
dirs       a peer's Mv or recursive Rm of a directory is judged on every
           entry in it, as each would be alone
"""
import os
import random
import re
import socket
import stat
import struct
import subprocess
import shutil
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "agent"))
from qmx_cli import DENIED, Cli, error_of, matrix  # noqa: E402
from net_e2e import free_port, listening, start, stop, wait_for  # noqa: E402
from line_peer import Peer, link  # noqa: E402

GROUP = sys.argv[2]
cli = Cli(sys.argv[1], "auth_" + GROUP)
PASSWD = "Zq7-s3cret-" + str(random.randrange(10**8))
SETUP = ['(SetThisAgentName "qnmx")', f'(SetDirectory url="/" "{cli.path("db/")}")',
         '(SetPrefixMode ".lod" "qnmx" "lod" "Get")']
CLEANUPS = []
CONNECT = '(define iid (OpenInterpreter "connect" Env0 (HostName "127.0.0.1") (Port (Cast type="integer" (Arg 1)))))'


def access(dirname, body):
    os.makedirs(cli.path(f"db/zudocs/{dirname}"), exist_ok=True)
    with open(cli.path(f"db/zudocs/{dirname}/.zuaccess"), "w") as f:
        f.write(f'(?zu encoding="UTF-8")\n(zuaccess\n{body})\n')


def make_matrix(dirname):
    """A fixture matrix at /DIR/m.lod and the bytes of its top node as an
    unguarded local Get reads them."""
    os.makedirs(cli.path(f"db/zudocs/{dirname}"), exist_ok=True)
    if not os.path.exists(cli.path("g.ppm")):
        with open(cli.path("g.ppm"), "wb") as f:
            f.write(cli.sh("ppmpat", "-g2", "64", "64"))
    m = cli.path(f"db/zudocs/{dirname}/m.lod")
    forms = SETUP + [matrix(m, (64, 64), mode="server"), '(qmxImportPNM id="1" "g.ppm" 0 0 0 0)', '(qmxClose id="1")',
                     f'(Save option="raw" oflag="creat:trunc" "{dirname}.ref" (List (Get "/{dirname}/m.lod" (List 0 0 0))))']
    replies, _ = cli.run(forms, name="make_" + dirname)
    with open(cli.path(dirname + ".ref"), "rb") as f:
        ref = f.read()
    if not ref or error_of(replies[-1]):
        cli.fail(f"fixture {dirname}: {replies}")
    return ref


def listener(name, env=None):
    """A serving qnmx, its standard error kept: (process, port)."""
    port = free_port()
    script = SETUP + ['(SetMainInterpreter (OpenInterpreter "accept" Env0 (Port (Cast type="integer" (Arg 1))) '
                      '(Permission () (Allow "ip" "127.0.0.1" "255.255.255.255"))))']
    with open(cli.path(name + ".zu"), "w") as f:
        f.write("\n".join(script) + "\n")
    p = start([cli.qnmx, name + ".zu", name + ".out", name + ".err", "/", str(port)], cwd=cli.work,
              env=dict(cli.env, **(env or {})), stdin=subprocess.DEVNULL,
              stdout=open(cli.path(name + ".stdout"), "wb"), stderr=subprocess.STDOUT)
    cli.procs.append(p)
    if not wait_for(lambda: listening(port) or p.poll() is not None, 60) or p.poll() is not None:
        raise SystemExit(f"{name} does not listen")
    return p, port


def home_with(name, results):
    """A HOME whose client result file holds the given (service ...) forms."""
    home = cli.path("home_" + name)
    d = os.path.join(home, ".pzuconf", "authentification", "clientresult")
    os.makedirs(d, exist_ok=True)
    if results:
        with open(os.path.join(d, "results.zu"), "w") as f:
            f.write('(?zu encoding="UTF-8")\n(results ' + results + ")\n")
    return home


def fetch(name, port, path, env=None, extra=()):
    """A second qnmx reads path's top node through Remote: (bytes or None,
    replies)."""
    out = cli.path(name + ".bin")
    forms = [CONNECT, f'(Save option="raw" oflag="creat:trunc" "{name}.bin" (List (Remote iid (Get "{path}" '
                      '(List 0 0 0)))))', *extra]
    replies, err = cli.run(forms, env=env, name=name, args=[port])
    with open(cli.path(name + ".stderr"), "w") as f:
        f.write(err)
    data = open(out, "rb").read() if os.path.exists(out) else None
    return data, replies


def denied(reply):
    e = error_of(reply)
    return e is not None and e[0] == DENIED and "authentification (DENIED)" in reply


def group_password():
    ref = make_matrix("db")
    make_matrix("bad")
    site = cli.run(["(GetLocalHostName)"], name="site")[0][0].strip('"')
    access("db", f'(service name="pw" type="fix-user-passwd" user="alice" passwd="{PASSWD}")\n'
                 '(target prefix=".lod" "pw") (target operation="Rm" "pw")')
    # A file that fails with an error showing a password: closed, and the
    # error printed masked.
    access("bad", f'(service name="x" type="fix-user-passwd" user="u" passwd="{PASSWD}")\n'
                  f'(Error () (quote [service passwd="{PASSWD}"]))')
    result = '(service result="on" type="fix-user-passwd" name="SERVICE://%s/pw" user="alice" passwd="%s")'
    for trace in ("", "1"):
        env = {"QNMX_TRACE": "1"} if trace else {}
        server, port = listener("server" + trace, env)
        right = home_with("right", result % (site, PASSWD))
        wrong = home_with("wrong", result % (site, PASSWD[:-1] + "x"))
        none = home_with("none", "")
        got, _ = fetch("right" + trace, port, "/db/m.lod", dict(env, HOME=right))
        cli.expect(f"trace={trace!r}: the right password reads the node", got, ref)
        for who, home in (("wrong", wrong), ("none", none)):
            _, replies = fetch(who + trace, port, "/db/m.lod", dict(env, HOME=home))
            if not denied(replies[1]):
                cli.fail(f"trace={trace!r}, {who} password: {replies[1]!r}")
        cli.expect(f"trace={trace!r}: service still required", f'SERVICE://{site}/pw' in replies[1], True)
        _, replies = fetch("broken" + trace, port, "/bad/m.lod", dict(env, HOME=right))
        if not denied(replies[1]):
            cli.fail(f"broken access file: {replies[1]!r}")
        # A peer's Rm of a file in the guarded directory is asked about.
        victim = cli.path("db/zudocs/db/victim.txt")
        open(victim, "w").close()
        rm = [CONNECT, f'(Remote iid (Rm "{victim}"))']
        replies, _ = cli.run(rm, env=dict(env, HOME=none), name="rm_none" + trace, args=[port])
        cli.expect(f"trace={trace!r}: Rm without a password", (denied(replies[1]), os.path.exists(victim)), (True, True))
        replies, _ = cli.run(rm, env=dict(env, HOME=right), name="rm_right" + trace, args=[port])
        cli.expect(f"trace={trace!r}: Rm with the password", os.path.exists(victim), False)
        stop(server, limit=60)
    # No output of either process shows the password: files written by the
    # programs (replies, errors, standard streams); not the scripts and
    # result files the test wrote for them.
    for name in os.listdir(cli.work):
        path = cli.path(name)
        if os.path.isfile(path) and not name.endswith((".zu", ".ppm")) and PASSWD.encode() in open(path, "rb").read():
            cli.fail(f"the password is in {name}")
    if "****" not in open(cli.path("server.stdout")).read():
        cli.fail("the broken access file's error is not reported (masked)")


def key_files_since(mark):
    """The files in /tmp that look like key files (a decimal name, four
    bytes, mode 0600) and were written after the file mark."""
    since = os.stat(mark).st_mtime
    found = set()
    for n in os.listdir("/tmp"):
        if not re.fullmatch(r"[0-9]+", n):
            continue
        try:
            st = os.lstat("/tmp/" + n)
        except OSError:
            continue
        if stat.S_ISREG(st.st_mode) and st.st_size == 4 and stat.S_IMODE(st.st_mode) == 0o600 and st.st_mtime > since:
            found.add(n)
    return found


def other_user_folder():
    """As root: a folder that user nobody can reach, outside the work folder
    (which may lie under a home nobody cannot enter), holding a copy of
    qnmx and a subfolder nobody may write; None (said in the output) when
    the runs as nobody are left out."""
    if os.geteuid() != 0:
        print("NOTE: not root, the runs as nobody are left out")
        return None
    base = tempfile.mkdtemp(prefix="qnmx_auth_nobody_", dir="/tmp")
    CLEANUPS.append(lambda: shutil.rmtree(base, ignore_errors=True))
    os.chmod(base, 0o755)
    run = os.path.join(base, "run")
    os.makedirs(run)
    os.chmod(run, 0o777)
    shutil.copy(cli.qnmx, os.path.join(run, "qnmx"))
    os.chmod(os.path.join(run, "qnmx"), 0o755)
    if subprocess.run(as_other(["test", "-x", os.path.join(run, "qnmx")])).returncode != 0:
        print(f"NOTE: user nobody cannot run {run}/qnmx, the runs as nobody are left out")
        return None
    return run


def as_other(argv):
    return [cli.tool("runuser"), "-u", "nobody", "--", *argv]


RELAY = r'''
"""A local user's relay attack on the localhost-root check of the agent at
port argv[1]: the agent's question taken from one link is put back to the
agent, as a query on a second link and as the LocalEval of a fake server
that a third link makes the agent connect to. A key got either way answers
the question. Prints what each route gave and how the read ended."""
import re, socket, sys
from line_peer import Peer, link

port = int(sys.argv[1])


def key_of(text):
    m = re.search(rb'key="([0-9]+)"', text)
    return m.group(1).decode() if m else None


first = link(port)
first.s.sendall(b'(Get "/lr/m.lod" (List 0 0 0))\n')
(m, asked_line) = first.until(rb"\(LocalEval [0-9]+ (\(auth-transaction [^\n]*\))\)\n")
question = m.group(1)
entry = re.search(rb'\(\[service [^]]*\]\)', question).group(0)

second = link(port)
as_query = second.ask(question)

server = socket.socket()
server.bind(("127.0.0.1", 0))
server.listen(1)
third = link(port)
third.s.sendall(b'(Remote (OpenInterpreter "connect" Env0 (HostName "127.0.0.1") (Port %d)) (Get "/x/y.lod"))\n'
                % server.getsockname()[1])
server.settimeout(60)
fake = Peer(server.accept()[0])
fake.until(rb"\n")
fake.s.sendall(b"<Permission>Allow</Permission>\n")
(m, get_line) = fake.until(rb"\(Get [^\n]*\n")
fake.s.sendall(b"(LocalEval %d %s)\n" % (get_line, question))
(m, _) = fake.until(rb"<Result> [0-9]+ (.*?)</Result>\n")
as_server = m.group(1)
fake.s.sendall(b"<Result> %d ()</Result>\n" % get_line)

key = key_of(as_query) or key_of(as_server)
answer = b"(result-list)"
if key:
    answer = b'(result-list type="and" %s status="32" key="%s"]))' % (entry[:-2], key.encode())
first.s.sendall(b"<Result> %d %s</Result>\n" % (asked_line, answer))
(m, _) = first.until(rb"<Result> [0-9]+ (.*?)</Result>\n")
read = b"authentification (DENIED)" not in m.group(1)
print("query", key_of(as_query), "denied" if b"authentification (DENIED)" in as_query else "answered")
print("server", key_of(as_server))
print("read", read)
'''


def relay_attack(port, other):
    """The relay attack, as nobody when the test runs as root: no route gives
    the attacker the key, and the read is refused."""
    folder = other or cli.work
    with open(os.path.join(folder, "relay.py"), "w") as f:
        f.write(RELAY)
    shutil.copy(os.path.join(HERE, "line_peer.py"), folder)
    argv = [sys.executable, os.path.join(folder, "relay.py"), str(port)]
    r = subprocess.run(as_other(argv) if other else argv, cwd=folder, capture_output=True, text=True, timeout=180)
    got = dict(line.split(" ", 1) for line in r.stdout.splitlines() if " " in line)
    cli.expect(f"relay attack ({r.stderr[-300:]!r})", (got.get("query"), got.get("server"), got.get("read")),
               ("None denied", "None", "False"))


def group_localroot():
    ref = make_matrix("lr")
    access("lr", '(service name="lr" type="localhost-root") (target prefix=".lod" "lr")')
    mark = cli.path("MARK")
    open(mark, "w").close()
    time.sleep(1.1)  # -newer compares whole seconds on some file systems
    server, port = listener("server")
    got, _ = fetch("same", port, "/lr/m.lod", {"HOME": home_with("same", "")})
    cli.expect("the same user reads the node", got, ref)
    other = other_user_folder()
    if other:
        with open(os.path.join(other, "n.zu"), "w") as f:
            f.write(CONNECT + '\n(Remote iid (Get "/lr/m.lod" (List 0 0 0)))\n')
        r = subprocess.run(as_other([os.path.join(other, "qnmx"), "n.zu", "n.out", "-", "/", str(port)]), cwd=other,
                           env=dict(cli.env, HOME=other), capture_output=True, timeout=120)
        out = open(os.path.join(other, "n.out"), errors="replace").read() if r.returncode == 0 else ""
        reply = (re.findall(r"<Result> 2 (.*?)</Result>", out, re.S) or [None])[0]
        if not denied(reply):
            cli.fail(f"nobody: {reply!r} {r.stderr[-300:]!r}")
    relay_attack(port, other)
    # A peer that goes away instead of answering: its check ends, and with
    # it the key file.
    s = socket.create_connection(("127.0.0.1", port), timeout=30)
    s.sendall(b'\n(Get "/lr/m.lod" (List 0 0 0))\n')
    buf = b""
    while b"auth-transaction" not in buf or not buf.endswith(b"\n"):
        buf += s.recv(4096) or b"\n"
    name = re.search(rb'filename="([0-9]+)"', buf)
    cli.expect("the question names a key file", bool(name and os.path.exists(b"/tmp/" + name[1])), True)
    s.close()
    if name and not wait_for(lambda: not os.path.exists(b"/tmp/" + name[1]), 30):
        cli.fail("the key file of an unanswered check stays")
    # /tmp is shared with whatever else runs on the host: a key file of
    # another agent's check in progress goes when that check ends, one this
    # server left stays.
    seen = key_files_since(mark)
    wait_for(lambda: not seen & key_files_since(mark), 60)
    cli.expect("key files left in /tmp", sorted(seen & key_files_since(mark)), [])
    fake_servers()
    peer_made_links(port)


FAKE = r'''
import sys
inp, out = sys.stdin.buffer, sys.stdout.buffer
entries = open(sys.argv[1], "rb").read()
inp.readline()
out.write(b"<Permission>Allow</Permission>\n"); out.flush()
while b"Get" not in inp.readline(): pass
out.write(b'(LocalEval 3 (auth-transaction 1 "/lr/m.lod" (quote (service-list type="and" ' + entries + b'))))\n')
out.flush()
got = b""
while b"</Result>" not in got:
    got += inp.readline() or b"</Result>"
open(sys.argv[2], "wb").write(got)
out.write(b"<Result> 3 ()</Result>\n"); out.flush()
inp.read()
'''


def fake_server(name, entries, forms, env):
    """A socat fake server that asks a qnmx client running forms (connected
    with CONNECT) about the (service ...) entries: what the client answers."""
    if not os.path.exists(cli.path("fake.py")):
        with open(cli.path("fake.py"), "w") as f:
            f.write(FAKE)
    with open(cli.path(name + ".entries"), "w") as f:
        f.write(entries)
    port = free_port()
    reply = cli.path(name + ".reply")
    p = start([cli.tool("socat"), f"TCP-LISTEN:{port},bind=127.0.0.1,reuseaddr",
               f"EXEC:{sys.executable} {cli.path('fake.py')} {cli.path(name + '.entries')} {reply}"], cwd=cli.work)
    cli.procs.append(p)
    if wait_for(lambda: listening(port), 10):
        cli.run(forms, env=env, name=name, args=[port])
    stop(p, 9)
    return open(reply).read() if os.path.exists(reply) else ""


def fake_servers():
    """socat fake servers: the client gives a key only from a proper file."""
    key = random.randrange(1, 2**32)
    target = cli.path("target")
    with open(target, "wb") as f:
        f.write(struct.pack("=I", key))
    os.chmod(target, 0o600)
    cases = [("proper", struct.pack("=I", key), 0o600, None, True), ("size", struct.pack("=I", key) + b"x", 0o600, None, False),
             ("mode", struct.pack("=I", key), 0o644, None, False), ("symlink", None, 0o600, None, False)]
    if os.geteuid() == 0:
        cases.append(("owner", struct.pack("=I", key), 0o600, 65534, False))
    for name, data, mode, owner, sent in cases:
        number = str(random.randrange(10**9, 4 * 10**9))
        path = "/tmp/" + number
        if data is None:
            os.symlink(target, path)
        else:
            fd = os.open(path, os.O_CREAT | os.O_EXCL | os.O_WRONLY, mode)
            os.write(fd, data)
            os.close(fd)
            os.chmod(path, mode)
            if owner is not None:
                os.chown(path, owner, -1)
        text = fake_server("fake_" + name, f'(service name="SERVICE://fake/lr" type="localhost-root" filename="{number}")',
                           [CONNECT, '(Remote iid (Get "/lr/m.lod" (List 0 0 0)))'], {"HOME": home_with("fake", "")})
        has_key = f'key="{key}"' in text
        cli.expect(f"fake server, {name}: key sent", (bool(text), has_key), (True, sent))
        os.unlink(path)


def admitted(server):
    """The next link the agent opens to the listening socket server,
    admitted."""
    p = Peer(server.accept()[0])
    p.s.settimeout(60)
    p.until(rb"\n")
    p.s.sendall(b"<Permission>Allow</Permission>\n")
    return p


def peer_made_links(port):
    """A peer has the agent open a link to a server of the peer's choosing
    (here the test's): neither that server's LocalEval nor a form it sends
    of its own accord, which has the agent open a second link to it and
    answer a LocalEval there, gets the key of a proper key file."""
    key = random.randrange(1, 2**32)
    number = str(random.randrange(10**9, 4 * 10**9))
    path = "/tmp/" + number
    fd = os.open(path, os.O_CREAT | os.O_EXCL | os.O_WRONLY, 0o600)
    os.write(fd, struct.pack("=I", key))
    os.close(fd)
    CLEANUPS.append(lambda: os.unlink(path))
    question = (b'(auth-transaction 1 "/lr/m.lod" (quote (service-list type="and" (service name="SERVICE://fake/lr" '
                b'type="localhost-root" filename="%s"))))' % number.encode())
    connect = b'(Remote (OpenInterpreter "connect" Env0 (HostName "127.0.0.1") (Port %d)) (Get "%s"))\n'
    result = rb"<Result> [0-9]+ (.*?)</Result>\n"
    server = socket.socket()
    server.bind(("127.0.0.1", 0))
    server.listen(2)
    server.settimeout(60)
    fake = server.getsockname()[1]
    peer = link(port)
    peer.s.sendall(connect % (fake, b"/x"))
    first = admitted(server)
    _, get_x = first.until(rb'\(Get "/x"\)\n')
    first.s.sendall(b"(LocalEval %d %s)\n" % (get_x, question))
    answers = [first.until(result)[0].group(1)]
    first.s.sendall(connect % (fake, b"/y"))
    second = admitted(server)
    _, get_y = second.until(rb'\(Get "/y"\)\n')
    second.s.sendall(b"(LocalEval %d %s)\n" % (get_y, question))
    answers.append(second.until(result)[0].group(1))
    second.s.sendall(b"<Result> %d ()</Result>\n" % get_y)
    first.until(result)
    first.s.sendall(b"<Result> %d ()</Result>\n" % get_x)
    peer.until(result)
    for s in (peer, first, second):
        s.s.close()
    server.close()
    cli.expect("keys given to a server a peer chose (its LocalEval, then a form of its own)",
               [b'key="%d"' % key in a for a in answers], [False, False])


def group_client():
    """The client side answers only the server of a link it opened, and a
    preset result only a server on the site it names."""
    make_matrix("db")
    access("db", '(service name="pw" type="fix-user-passwd" user="u" passwd="x") (target prefix=".lod" "pw")')
    far, near = "SERVICE://192.0.2.1/pw", "SERVICE://127.0.0.1/pw"
    preset = '(service result="on" type="fix-user-passwd" name="%s" user="%s" passwd="%s")'
    home = home_with("agent", preset % (far, "far", PASSWD + "-far") + preset % (near, "near", PASSWD + "-near"))
    entries = f'(service name="{far}" type="fix-user-passwd") (service name="{near}" type="fix-user-passwd")'
    ask = f'(auth-transaction 1 "/db/m.lod" (quote (service-list type="and" {entries})))'
    server, port = listener("agent", {"HOME": home})
    # A peer of the agent asks as a query, and as a LocalEval naming the
    # question the agent itself put to it.
    peer = link(port)
    reply = peer.ask(ask.encode()).decode()
    cli.expect("a peer's query", (denied(reply), PASSWD in reply), (True, False))
    peer.s.sendall(b'(Get "/db/m.lod" (List 0 0 0))\n')
    _, line = peer.until(rb"\(LocalEval [0-9]+ \(auth-transaction [^\n]*\n")
    reply = peer.ask(f"(LocalEval {line} {ask})".encode()).decode()
    cli.expect("a peer's LocalEval", (denied(reply), PASSWD in reply), (True, False))
    # A peer has the agent open a link to the agent's own listener (on
    # 127.0.0.1) and sends (Local question) over it: the listener puts the
    # question back to the agent as the server of that link.
    reply = peer.ask(f'(Remote (OpenInterpreter "connect" Env0 (HostName "127.0.0.1") (Port {port})) '
                     f'(Local {ask}))'.encode()).decode()
    cli.expect("a peer's question put back by the agent's own listener", PASSWD in reply, False)
    # Nor may a peer put a function of its own in the place of a built-in
    # that the agent's scripts call (auth-transaction among them, which a
    # server's question to the agent calls as the agent): the agent's
    # bindings stay as they are, while a peer's own names stay its own.
    hooks = ['(Define auth-transaction () (h a b c) 1)', '(Define GetZUTime () (h) "hooked")', '(set GetZUTime 1)',
             '(DeleteDefine (quote GetZUTime))', '(MoveDefine GetZUTime Env0 (NewEnvironment ()))',
             '(Eval Env0 (quote (Define GetZUTime 2)))', '(SetEA Env0 "GetZUTime" 3)', '(DefineEval () GetZUTime 4)',
             '(Thread (Define GetZUTime 5))', '(DefineDefault () (h) 6)', '(SetParentEnvironment Env0 (NewEnvironment ()))',
             '(SetListbaseEnv (quote (zuisp-env (type "env") (parent ()) (hash ("GetZUTime" 6)))) Env0)',
             '(GetAttribute (car (quote (a GetZUTime="7"))) type="env")',
             # The unit system the agent's own conversions go through.
             '(UnitSystem inherit="new" (System 1 1000 name="km" dim="l"))',
             # The loop's counter, an integer of the agent's: not stepped, it
             # would never end the loop.
             '(Sequence () (Define k 0) (For dec="MI_SAVE_BT" (Define k (+ k 1)) (If (> k 2) (Then (Break k)))))']
    refused = [error_of(peer.ask(f.encode()).decode()) for f in hooks]
    cli.expect("a peer's hooks refused", [e and e[0] for e in refused], [DENIED] * len(hooks))
    other = link(port)
    cli.expect("the built-in, seen from another link", other.ask(b"(GetZUTime)").decode().endswith("sec"), True)
    own = [other.ask(f).decode() for f in (b"(Define mine 1)", b"(Define mine 2)", b"(set mine 3)", b"mine")]
    cli.expect("a peer's own name", own, ["[mine]", "[mine]", "3", "3"])
    # The agent's own client, asked by the server of a link it opened.
    text = fake_server("presets", entries, [CONNECT, '(Remote iid (Get "/lr/m.lod" (List 0 0 0)))'], {"HOME": home})
    cli.expect("presets sent to 127.0.0.1", (PASSWD + "-near" in text, PASSWD + "-far" in text), (True, False))


def group_rotate():
    """An access file is read again when it changes: a password rotated in
    the root's file stops working at once and the new one opens the rules
    of every directory that names it, a file added later is honoured, and a
    removed one denies."""
    site = cli.run(["(GetLocalHostName)"], name="site")[0][0].strip('"')
    service = '(service name="pw" type="fix-user-passwd" user="alice" passwd="%s")'
    result = '(service result="on" type="fix-user-passwd" name="SERVICE://%s/pw" user="alice" passwd="%s")'
    old, new = PASSWD, PASSWD + "-rotated"
    homes = {"old": home_with("old", result % (site, old)), "new": home_with("new", result % (site, new)),
             "none": home_with("none", "")}
    refs = {d: make_matrix(d) for d in ("rot", "late")}
    access("", service % old)
    access("rot", '(target prefix=".lod" "pw")')
    server, port = listener("server")
    steps = []

    def read(dirname, who):
        got, replies = fetch(f"{dirname}_{who}_{len(steps)}", port, f"/{dirname}/m.lod", {"HOME": homes[who]})
        steps.append((dirname, who, "read" if got == refs[dirname] else "denied" if denied(replies[1]) else replies[1]))

    read("rot", "old")
    read("late", "none")
    access("", service % new)
    access("late", '(target prefix=".lod" "pw")')
    read("rot", "old")
    read("rot", "new")
    read("late", "none")
    read("late", "new")
    os.unlink(cli.path("db/zudocs/rot/.zuaccess"))
    read("rot", "new")
    cli.expect("reads as the access files change", steps,
               [("rot", "old", "read"), ("late", "none", "read"), ("rot", "old", "denied"), ("rot", "new", "read"),
                ("late", "none", "denied"), ("late", "new", "read"), ("rot", "new", "denied")])


def group_edits():
    """A peer's file edits never touch an access file and are judged where
    the path leads, whatever symlinks it passes; outside every tree they are
    refused."""
    make_matrix("vault")
    access("vault", '(service name="pw" type="fix-user-passwd" user="u" passwd="x") (target prefix=".lod" "pw")')
    access("nest/inner", '(service name="pw2" type="fix-user-passwd" user="u" passwd="x") (target prefix=".lod" "pw2")')
    tree = cli.path("db/zudocs")
    os.makedirs(f"{tree}/open")
    os.makedirs(cli.path("outside"))
    os.symlink(f"{tree}/vault", cli.path("outside/door"))
    for name in ("open/junk", "open/keep", "outside/file"):
        open(os.path.join(tree if name.startswith("open") else cli.work, name), "w").close()
    server, port = listener("server")
    cases = [  # (form, path that must still exist, or that must be gone when allowed)
        (f'(Rm "{tree}/vault/.zuaccess")', f"{tree}/vault/.zuaccess", False),
        (f'(Mv "{tree}/vault/.zuaccess" "{tree}/open/stolen")', f"{tree}/vault/.zuaccess", False),
        (f'(Thread (Rm "{tree}/vault/.zuaccess"))', f"{tree}/vault/.zuaccess", False),
        (f'(Mv "{cli.path("outside/door/m.lod")}" "{tree}/open/m.lod")', f"{tree}/vault/m.lod", False),
        (f'(Rm "{cli.path("outside/door/m.lod")}")', f"{tree}/vault/m.lod", False),
        (f'(Rm flag="rec" "{tree}/nest")', f"{tree}/nest/inner/.zuaccess", False),
        (f'(Rm "{cli.path("outside/file")}")', cli.path("outside/file"), False),
        (f'(Mv "{tree}/open/keep" "{cli.path("outside/keep")}")', f"{tree}/open/keep", False),
        (f'(Rm "{tree}/open/junk")', f"{tree}/open/junk", True),
    ]
    peer_edits("edits", port, cases)


def peer_edits(name, port, cases):
    """A peer sends each (form, path, allowed) case: it is refused exactly
    when not allowed, and the path is gone exactly when allowed."""
    replies, _ = cli.run([CONNECT] + [f"(Remote iid {form})" for form, _, _ in cases], name=name, args=[port],
                         env={"HOME": home_with(name, "")})
    for (form, path, allowed), reply in zip(cases, replies[1:]):
        cli.expect(form, (not denied(reply), not os.path.exists(path)), (allowed, allowed))


def group_dirs():
    """A peer moves or removes a directory only when each entry in it could
    be moved or removed alone: the rules of the directories above match
    each entry by its own name, so a directory whose name no rule matches
    still carries the matrices they guard."""
    ref = make_matrix("fixture")
    tree = cli.path("db/zudocs")
    for d in ("vault/sub.x", "vault/plain", "vault/logs.d", "open/sub.y", "open/logs.d"):
        os.makedirs(f"{tree}/{d}")
        shutil.copy(f"{tree}/fixture/m.lod", f"{tree}/{d}/m.lod")
    os.makedirs(f"{tree}/vault/notes.d")
    access("vault", '(service name="pw" type="fix-user-passwd" user="u" passwd="x") (target prefix=".lod" "pw")')
    for name in ("vault/plain/notes.txt", "vault/notes.d/a.txt", "open/sub.y/a.txt"):
        open(f"{tree}/{name}", "w").close()
    server, port = listener("server")
    cases = [  # (form, the path it would move or remove, allowed)
        (f'(Mv "{tree}/vault/sub.x" "{tree}/open/sub.x")', f"{tree}/vault/sub.x/m.lod", False),
        (f'(Rm flag="rec" "{tree}/vault/logs.d")', f"{tree}/vault/logs.d/m.lod", False),
        (f'(Mv "{tree}/vault/plain/m.lod" "{tree}/open/m.lod")', f"{tree}/vault/plain/m.lod", False),
        (f'(Rm "{tree}/vault/plain/m.lod")', f"{tree}/vault/plain/m.lod", False),
        (f'(Mv "{tree}/vault/notes.d" "{tree}/open/notes.d")', f"{tree}/vault/notes.d/a.txt", True),
        (f'(Rm "{tree}/vault/plain/notes.txt")', f"{tree}/vault/plain/notes.txt", True),
        (f'(Mv "{tree}/open/sub.y" "{tree}/open/sub.z")', f"{tree}/open/sub.y/m.lod", True),
        (f'(Rm flag="rec" "{tree}/open/logs.d")', f"{tree}/open/logs.d/m.lod", True),
    ]
    peer_edits("dirs", port, cases)
    got, replies = fetch("moved", port, "/open/sub.x/m.lod")
    cli.expect("the guarded node is not readable where a peer put it", got == ref, False)


def fds(pid):
    return len(os.listdir(f"/proc/{pid}/fd"))


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        return int(re.search(r"VmRSS:\s+(\d+)", f.read())[1])


def group_churn():
    access("db", '(service name="pw" type="fix-user-passwd" user="alice" passwd="right")\n(target prefix=".lod" "pw")')
    # The sanitizers' quarantine of freed memory would pass for growth.
    asan = ":".join(filter(None, [os.environ.get("ASAN_OPTIONS"), "quarantine_size_mb=0",
                                  "thread_local_quarantine_size_kb=0"]))
    server, port = listener("server", {"ASAN_OPTIONS": asan})
    home = home_with("wrong", '(service result="on" type="fix-user-passwd" name="SERVICE://%s/pw" user="alice" '
                              'passwd="wrong")' % cli.run(["(GetLocalHostName)"], name="site")[0][0].strip('"'))
    attempt = ['(define iid (OpenInterpreter "connect" Env0 (HostName "127.0.0.1") (Port (Cast type="integer" (Arg 1)))))',
               '(Remote iid (Get "/db/m.lod" (List 0 0 0)))', "(CloseInterpreter iid)"]

    def attempts(n, name):
        replies, _ = cli.run(attempt * n, env={"HOME": home}, name=name, args=[port])
        refused = sum(denied(r) for r in replies[1::3])
        cli.expect(f"{name}: refused", refused, n)

    idle = fds(server.pid)

    def settled():
        # Ended links give their descriptors back as they close.
        return wait_for(lambda: fds(server.pid) <= idle, 30)

    attempts(500, "warm")
    settled()
    before = (fds(server.pid), rss_kib(server.pid))
    attempts(1000, "churn")
    settled()
    after = (fds(server.pid), rss_kib(server.pid))
    print(f"descriptors {before[0]} -> {after[0]}, RSS {before[1]} -> {after[1]} KiB")
    if after[0] > before[0] + 2:
        cli.fail(f"descriptors grew: {before[0]} -> {after[0]}")
    if after[1] > before[1] + int(os.environ.get("AUTH_RSS_GROWTH_KIB", "12288")):
        cli.fail(f"resident memory grew: {before[1]} -> {after[1]} KiB")


try:
    {"password": group_password, "localroot": group_localroot, "churn": group_churn, "client": group_client,
     "rotate": group_rotate, "edits": group_edits, "dirs": group_dirs}[GROUP]()
except Exception as e:  # a reply that is not what it should be
    cli.fail(f"{type(e).__name__}: {e}")
    raise
finally:
    for undo in CLEANUPS:
        undo()
    cli.finish()
