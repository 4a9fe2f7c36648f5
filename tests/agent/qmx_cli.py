"""Harness of the end-to-end tests of the UTM import and of remote node
reads: qnmx runs on scripts in a work folder (replies parsed apart from the
standard error), listening agents on free ports of 127.0.0.1, a line-link
client, and the matrix descriptions the tests share. Nothing but 127.0.0.1
is spoken to."""
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "netsvc"))
from net_e2e import free_port, listening, wait_for  # noqa: E402,F401
from checks import start, stop, wait_until  # noqa: E402

# Nodes missing from the file are made only while a writing command runs
# ("create-node" is unbound in a process that has run none).
FETCH = ('(mxFinish normal-jump-status="MS_OK" err-jump-status="MS_LOADING_ERR_1") '
         '(if (equal (GE (ErrHandler create-node) 6) "enable") (mxLoad target="file-n-create") (mxLoad target="file"))')
THIN = '(mxSet 0 (mxThinnedOut type="average" channel="0" (mxCH type="children" 0))) (mxSave)'
PARAM, TYPE, NO_OBJECT, OPEN, DENIED, NOT_AVAILABLE, LENGTH = (0x80040503, 0x80030806, 0x80040501, 0x80040a06,
                                                               0x80040d10, 0x80040608, 0x80030502)
STORE = 0x80041015  # a matrix file outcome, its code as the data
BUSY = '(-128 "the matrix file is busy in another process")'  # the data of a file refused as busy


def matrix(name, size, block=8, divide=1, channels=(("rgb8_v", 'file="on"', "255"),), mode="direct", save_up="(mxSave)"):
    """A qmxCreate form of a 2-D matrix: size (w, h), nodes of 2^block per
    side, 2^divide more per level (one divide, or one per dimension);
    channels as (type, flags, default)."""
    divides = tuple(divide) if isinstance(divide, (tuple, list)) else (divide,) * len(size)
    body = [f'(qmxMatrixParam channel_nos="{len(channels)}" dim="2")']
    for d, v in enumerate(size):
        body.append(f'(qmxMatrixPixelSize dim="{d}" value="{v}") (qmxMatrixBlockSize dim="{d}" value="{block}") '
                    f'(qmxMatrixDimDivide dim="{d}" value="{divides[d]}")')
    body += [f'(qmxChannelInfo channel="{i}" type="{t}" {flags} {dflt})' for i, (t, flags, dflt) in enumerate(channels)]
    body += [f'(qmxPhase area="3" {FETCH}) (qmxPhase area="4" type="equ" equ="3") (qmxPhase area="5" type="equ" equ="3")',
             f'(qmxPhase area="21" {save_up}) (qmxPhase area="22" type="equ" equ="21") (qmxPhase area="23" (mxSave))']
    return f'(qmxCreate filename="{name}" activePhase_mode="{mode}" ' + " ".join(body) + ")"


def coordinate_word(x, y):
    """The pixel word of the coordinate image: x and y in 12 bits each."""
    return ((x >> 4) << 24) | ((((x & 15) << 4) | (y >> 8)) << 16) | ((y & 255) << 8)


def coordinate_image(np, w, h):
    ys, xs = np.mgrid[0:h, 0:w]
    return np.stack([xs >> 4, ((xs & 15) << 4) | (ys >> 8), ys & 255], axis=2).astype(np.uint8)


def pyramid(np, rgb, count):
    """The first count coarser levels of a picture as the save scripts make
    them: each pixel the truncated mean of its 2 x 2 children, white outside
    the picture."""
    out = [rgb.astype(np.int64)]
    for _ in range(count):
        a = np.pad(out[-1], ((0, out[-1].shape[0] % 2), (0, out[-1].shape[1] % 2), (0, 0)), constant_values=255)
        out.append((a[0::2, 0::2] + a[1::2, 0::2] + a[0::2, 1::2] + a[1::2, 1::2]) // 4)
    return out[1:]


def reopen(name):
    """The qmxCreate form that opens the matrix file name for writing."""
    return f'(qmxCreate filename="{name}" currentPhase_mode="direct")'


def use_lock_service(port):
    """The form that makes an agent take its named locks from the lock
    service on 127.0.0.1:port."""
    return f'(Eval Env1 (quote (Sequence () (Define LockHostName "127.0.0.1") (Define LockPort {port}))))'


def open_when_free(agent, form, limit=60):
    """Asks agent the open form again while it answers an error (the file is
    held elsewhere), for at most limit seconds: its last reply."""
    last = []

    def opened():
        if not last or error_of(last[-1]):
            last.append(agent.ask(form))
        return error_of(last[-1]) is None

    wait_until(opened, limit, 0.1)
    return last[-1]


def rgb_word(px):
    """The pixel word of an RGB sample."""
    return (int(px[0]) << 24) | (int(px[1]) << 16) | (int(px[2]) << 8)


def write_ppm(path, rgb):
    with open(path, "wb") as f:
        f.write(b"P6\n%d %d\n255\n" % (rgb.shape[1], rgb.shape[0]) + rgb.tobytes())


def read_ppm(np, path):
    with open(path, "rb") as f:
        b = f.read()
    w, h = map(int, b.split(maxsplit=3)[1:3])
    return np.frombuffer(b[-w * h * 3:], np.uint8).reshape(h, w, 3)


def value(text):
    """A printed value: lists, strings, integers; anything else as text
    (a tag with attributes keeps its bracketed text)."""
    tokens = re.findall(r'\(|\)|"(?:[^"\\]|\\.)*"|\[[^\]]*\]|[^\s()]+', text)
    stack = [[]]
    for t in tokens:
        if t == "(":
            stack.append([])
        elif t == ")":
            done = stack.pop()
            stack[-1].append(done)
        elif t.startswith('"'):
            stack[-1].append(t[1:-1])
        else:
            stack[-1].append(int(t) if re.fullmatch(r"-?\d+", t) else t)
    return stack[0][0] if stack[0] else None


def error_of(reply):
    """(code, function, data text) of an error reply, or None."""
    if not isinstance(reply, str):
        return None
    m = re.match(r'#error\((\d+) "[^"]*" (?:"[^"]*"|\(\)) \d+ "([^"]*)" ?(.*)\)$', reply or "", re.S)
    return (int(m.group(1)), m.group(2), m.group(3)) if m else None


def read_replies(path):
    """The replies of a replies file by form number (none when it is missing)."""
    if not os.path.exists(path):
        return {}
    with open(path, encoding="utf-8", errors="replace") as f:
        return dict((int(n), v) for n, v in re.findall(r"<Result> (\d+) (.*?)</Result>\n", f.read(), re.S))


class Cli:
    def __init__(self, qnmx, group):
        self.qnmx = os.path.realpath(qnmx)
        self.work = tempfile.mkdtemp(prefix=f"qnmx_{group}_")
        self.fails = []
        self.procs = []
        self.env = {k: v for k, v in os.environ.items() if k not in ("ZUPATH", "QNMX_TRACE")}
        self.env.update(HOME=self.path("home"), STD_CODE="UTF-8")
        os.makedirs(self.env["HOME"], exist_ok=True)

    def path(self, name):
        return os.path.join(self.work, name)

    def fail(self, what):
        self.fails.append(what)
        print("FAIL", what)

    def expect(self, name, got, want):
        if got != want:
            self.fail(f"{name}: got {got!r}, want {want!r}")

    def expect_error(self, name, reply, code, data=None, func=None):
        e = error_of(reply)
        if not e or e[0] != code or (data is not None and e[2] != data) or (func and e[1] != func):
            self.fail(f"{name}: got {reply!r}, want error {code:#x} {func} {data!r}")

    def tool(self, name):
        for p in ("/usr/bin/" + name, shutil.which(name)):
            if p and os.access(p, os.X_OK):
                return p
        raise SystemExit(f"outside tool {name} is missing: run scripts/setup.sh")

    def sh(self, *args, inp=None):
        """An outside tool in the work folder: its standard output."""
        r = subprocess.run([self.tool(args[0]), *args[1:]], cwd=self.work, input=inp, capture_output=True, check=True)
        return r.stdout

    def run(self, forms, env=None, name="s", args=(), status=0, folder=None, preexec=None):
        """The forms as one script in folder (the work folder): (replies by
        form number, standard error); qnmx must end with status (None: any,
        kept in self.status). Raw values print as their size only: scripts
        save them. preexec runs in the child before qnmx starts (limits,
        another user)."""
        folder = folder or self.work
        with open(os.path.join(folder, name + ".zu"), "w") as f:
            f.write("\n".join(forms) + "\n")
        e = dict(self.env, **(env or {}))
        r = subprocess.run([self.qnmx, name + ".zu", name + ".out", "-", "/", *map(str, args)], cwd=folder, env=e,
                           capture_output=True, timeout=600, preexec_fn=preexec)
        self.status = r.returncode
        if status is not None and r.returncode != status:
            self.fail(f"{name}: qnmx exited {r.returncode}: {r.stderr[-400:]!r}")
        got = read_replies(os.path.join(folder, name + ".out"))
        return [got.get(i + 1) for i in range(len(forms))], r.stderr.decode(errors="replace")

    def agent(self, name, env=None):
        """A qnmx reading its script from a pipe, one form at a time (env:
        variables added to its environment)."""
        p = Agent(self, name, env)
        self.procs.append(p.proc)
        return p

    def listener(self, name, setup):
        """A qnmx that runs the setup forms and then serves peers of
        127.0.0.1 on a free port until it is stopped: (process, port)."""
        port = free_port()
        accept = ('(SetMainInterpreter (OpenInterpreter "accept" Env0 (Port (Cast type="integer" (Arg 1))) '
                  '(Permission () (Allow "ip" "127.0.0.1" "255.255.255.255"))))')
        with open(self.path(name + ".zu"), "w") as f:
            f.write("\n".join(setup + [accept]) + "\n")
        p = start([self.qnmx, name + ".zu", name + ".out", name + ".err", "/", str(port)], cwd=self.work,
                  env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.procs.append(p)
        if not wait_for(lambda: listening(port) or p.poll() is not None, 60) or p.poll() is not None:
            raise SystemExit(f"{name} does not listen")
        return p, port

    def finish(self):
        for p in self.procs:
            stop(p, signal.SIGKILL)
        if self.fails:
            print(f"{len(self.fails)} failed; work folder kept: {self.work}")
            raise SystemExit(1)
        shutil.rmtree(self.work, ignore_errors=True)
        print("ok")


class Agent:
    """A qnmx that runs each form as it is sent and stays up between forms
    (its matrices stay open); ask() waits for the form's reply in the
    replies file."""

    def __init__(self, cli, name, env=None):
        self.out, self.count = cli.path(name + ".out"), 0
        with open(cli.path(name + ".err"), "wb") as err:
            self.proc = start([cli.qnmx, "/dev/stdin", name + ".out"], cwd=cli.work, env=dict(cli.env, **(env or {})),
                              stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=err)

    def ask(self, form):
        self.count += 1
        self.proc.stdin.write(form.encode() + b"\n")
        self.proc.stdin.flush()
        want = self.count

        def reply():
            return read_replies(self.out).get(want)
        if not wait_for(lambda: reply() is not None or self.proc.poll() is not None, 120):
            raise TimeoutError(f"no reply to {form}")
        return reply()

    def end(self):
        """Ends the script: the exit status."""
        self.proc.stdin.close()
        return self.proc.wait(120)


class Link:
    """A peer on an interpreter line link: sends one form a line and reads
    its reply; a raw value comes back as bytes, anything else as text."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=120)
        self.buf = b""
        self.sock.sendall(b"\n")
        self._until(b"</Permission>\n")

    def _until(self, mark):
        while mark not in self.buf:
            chunk = self.sock.recv(1 << 16)
            if not chunk:
                raise ConnectionError("the agent closed the link")
            self.buf += chunk
        i = self.buf.index(mark) + len(mark)
        head, self.buf = self.buf[:i], self.buf[i:]
        return head

    def _take(self, n):
        while len(self.buf) < n:
            chunk = self.sock.recv(max(1 << 16, n - len(self.buf)))
            if not chunk:
                raise ConnectionError("the agent closed the link")
            self.buf += chunk
        head, self.buf = self.buf[:n], self.buf[n:]
        return head

    def ask(self, form):
        self.sock.sendall(form.encode() + b"\n")
        self._until(b"<Result> ")
        self._until(b" ")
        # A raw value: its size in hex between two "#", its bytes, "]".
        while len(self.buf) < 18 and b"</Result>\n" not in self.buf:
            self.buf += self.sock.recv(1 << 16) or b"</Result>\n"
        m = re.match(rb"#([0-9a-f]{1,16})#", self.buf)
        if not m:
            return self._until(b"</Result>\n")[:-10].decode("utf-8", "replace")
        self.buf = self.buf[m.end():]
        data = self._take(int(m.group(1), 16))
        self._until(b"</Result>\n")
        return data

    def close(self):
        self.sock.close()
