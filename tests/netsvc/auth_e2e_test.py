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
           key back (a proper file does)
churn      1000 refused attempts on fresh links: the server's descriptors and
           resident memory stay steady
"""
import os
import random
import re
import socket
import struct
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "agent"))
from qmx_cli import DENIED, Cli, error_of, matrix  # noqa: E402
from net_e2e import free_port, listening, start, stop, wait_for  # noqa: E402

GROUP = sys.argv[2]
cli = Cli(sys.argv[1], "auth_" + GROUP)
PASSWD = "Zq7-s3cret-" + str(random.randrange(10**8))
SETUP = ['(SetThisAgentName "qnmx")', f'(SetDirectory url="/" "{cli.path("db/")}")',
         '(SetPrefixMode ".lod" "qnmx" "lod" "Get")']
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


def tmp_keys():
    return {n for n in os.listdir("/tmp") if re.fullmatch(r"[0-9]+", n)}


def group_localroot():
    ref = make_matrix("lr")
    access("lr", '(service name="lr" type="localhost-root") (target prefix=".lod" "lr")')
    mark = cli.path("MARK")
    open(mark, "w").close()
    time.sleep(1.1)  # -newer compares whole seconds on some file systems
    server, port = listener("server")
    got, _ = fetch("same", port, "/lr/m.lod", {"HOME": home_with("same", "")})
    cli.expect("the same user reads the node", got, ref)
    if os.geteuid() == 0:
        nobody = cli.path("nobody")
        os.makedirs(nobody)
        os.chmod(cli.work, 0o755)
        os.chmod(nobody, 0o777)
        with open(os.path.join(nobody, "n.zu"), "w") as f:
            f.write(CONNECT + '\n(Remote iid (Get "/lr/m.lod" (List 0 0 0)))\n')
        r = subprocess.run([cli.tool("runuser"), "-u", "nobody", "--", cli.qnmx, "n.zu", "n.out", "-", "/", str(port)],
                           cwd=nobody, env=dict(cli.env, HOME=nobody), capture_output=True, timeout=120)
        out = open(os.path.join(nobody, "n.out"), errors="replace").read() if r.returncode == 0 else ""
        reply = (re.findall(r"<Result> 2 (.*?)</Result>", out, re.S) or [None])[0]
        if not denied(reply):
            cli.fail(f"nobody: {reply!r} {r.stderr[-300:]!r}")
    else:
        print("NOTE: not root, the run as nobody is left out")
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
    left = subprocess.run(["find", "/tmp", "-maxdepth", "1", "-regex", ".*/[0-9]+", "-newer", mark], capture_output=True,
                          text=True).stdout.split()
    cli.expect("key files left in /tmp", left, [])
    fake_servers()


FAKE = r'''
import re, sys
inp, out = sys.stdin.buffer, sys.stdout.buffer
inp.readline()
out.write(b"<Permission>Allow</Permission>\n"); out.flush()
while b"Get" not in inp.readline(): pass
out.write(b'(LocalEval 3 (auth-transaction 1 "/lr/m.lod" (quote (service-list type="and" '
          b'(service name="SERVICE://fake/lr" type="localhost-root" filename="%s")))))\n' % sys.argv[1].encode())
out.flush()
got = b""
while b"</Result>" not in got:
    got += inp.readline() or b"</Result>"
open(sys.argv[2], "wb").write(got)
out.write(b"<Result> 3 ()</Result>\n"); out.flush()
inp.read()
'''


def fake_servers():
    """socat fake servers: the client gives a key only from a proper file."""
    with open(cli.path("fake.py"), "w") as f:
        f.write(FAKE)
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
        port = free_port()
        reply = cli.path("fake_" + name + ".reply")
        p = start([cli.tool("socat"), f"TCP-LISTEN:{port},bind=127.0.0.1,reuseaddr",
                   f"EXEC:{sys.executable} {cli.path('fake.py')} {number} {reply}"], cwd=cli.work)
        cli.procs.append(p)
        if wait_for(lambda: listening(port), 10):
            cli.run([CONNECT, '(Remote iid (Get "/lr/m.lod" (List 0 0 0)))'], env={"HOME": home_with("fake", "")},
                    name="fake_" + name, args=[port])
        text = open(reply).read() if os.path.exists(reply) else ""
        has_key = f'key="{key}"' in text
        cli.expect(f"fake server, {name}: key sent", (bool(text), has_key), (True, sent))
        os.unlink(path)
        stop(p, 9)


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
    {"password": group_password, "localroot": group_localroot, "churn": group_churn}[GROUP]()
except Exception as e:  # a reply that is not what it should be
    cli.fail(f"{type(e).__name__}: {e}")
    raise
finally:
    cli.finish()
