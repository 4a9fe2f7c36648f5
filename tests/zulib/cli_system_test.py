#!/usr/bin/env python3
"""End-to-end tests of the system and process built-ins and of script threads.

cli_system_test.py <qnmx binary> <group>

Each group runs qnmx on ZU scripts in a fresh directory and HOME, reading
the replies from its standard output as they arrive (each stamped with the
time it came), and checks them against outside programs: date, printf,
head and cmp, ps, iconv, and recording stand-ins for a browser and for a
child agent that never answers.
"""
import os
import re
import shutil
import stat
import subprocess
import sys
import tempfile
import threading
import time

QNMX = os.path.realpath(sys.argv[1])
GROUP = sys.argv[2]
WORK = tempfile.mkdtemp(prefix="qnmx_system_")
SITE = os.uname().nodename
FAILS = []


def fail(what):
    FAILS.append(what)
    print("FAIL", what)


def need(*tools):
    for t in tools:
        if not shutil.which(t):
            fail(f"{t} is not installed (scripts/setup.sh installs it)")
    if FAILS:
        finish()


def expect(name, got, want):
    if got != want:
        fail(f"{name}: got {got!r}, want {want!r}")


def error_reply(code, line, func, data):
    return f'#error({code} "SITE" "s.zu" {line} "{func}" {data})'


def write(name, text, mode=0o644):
    path = os.path.join(WORK, name)
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, mode)
    return path


class Run:
    """qnmx running a script: replies as (seconds since start, text)."""

    def __init__(self, lines, env=None):
        home = os.path.join(WORK, "home")
        os.makedirs(home, exist_ok=True)
        write("s.zu", "\n".join(lines) + "\n")
        e = {k: v for k, v in os.environ.items() if k not in ("ZUPATH", "BROWSER")}
        e.update(HOME=home, STD_CODE="UTF-8", TZ="UTC")
        e.update(env or {})
        self.replies = []
        self.cond = threading.Condition()
        self.start = time.monotonic()
        self.p = subprocess.Popen([QNMX, "s.zu", "-"], cwd=WORK, env=e, stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE)
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        buf = b""
        for chunk in iter(lambda: self.p.stdout.read1(1 << 16), b""):
            buf += chunk
            while True:
                m = re.match(rb"(.*?)<Result> (\d+) (.*?)</Result>\n", buf, re.S)
                if not m:
                    break
                with self.cond:
                    self.echo = getattr(self, "echo", b"") + m.group(1)
                    text = m.group(3).decode().replace(f'"{SITE}"', '"SITE"')
                    self.replies.append((time.monotonic() - self.start, text))
                    self.cond.notify_all()
                buf = buf[m.end():]
        with self.cond:
            self.echo = getattr(self, "echo", b"") + buf
            self.done = True
            self.cond.notify_all()

    def reply(self, n, limit=60):
        """The n-th reply (from 1): (time, text), or (None, None) if none came."""
        with self.cond:
            self.cond.wait_for(lambda: len(self.replies) >= n or getattr(self, "done", False), limit)
            return self.replies[n - 1] if len(self.replies) >= n else (None, None)

    def texts(self, limit=120):
        self.p.wait(limit)
        self.reader.join(10)
        return [t for _, t in self.replies]


def run(lines, env=None, limit=120):
    r = Run(lines, env)
    got = r.texts(limit)
    if len(got) != len(lines):
        fail(f"{len(got)} replies to {len(lines)} forms: {r.p.stderr.read()[-300:]!r}")
    return got


def finish():
    shutil.rmtree(WORK, ignore_errors=True)
    print(f"{GROUP}: {'all cases passed' if not FAILS else f'{len(FAILS)} failed'}")
    sys.exit(1 if FAILS else 0)


def children(pid):
    """(pid, state, command) of the processes whose parent is pid."""
    r = subprocess.run(["ps", "-o", "pid=,stat=,comm=", "--ppid", str(pid)], capture_output=True, text=True)
    return [tuple(line.split(None, 2)) for line in r.stdout.splitlines()]


def wait_until(cond, limit=10):
    end = time.monotonic() + limit
    while time.monotonic() < end:
        if cond():
            return True
        time.sleep(0.05)
    return cond()


# ---- environment, versions, time, encodings

def group_info():
    need("date", "iconv")
    lines = ['(GetVariable "QNMX_TEST_VAR")', '(GetVariable "QNMX_NOT_SET_VAR")', "(GetVariable 1)",
             "(GetZUTime)", '(GetZUTime format="W3C-DTF")', '(GetZUTime format="RFC")',
             "(GetVersion)", '(GetVersion layer="AP.code")', '(GetVersion layer="QN.proto")', '(GetVersion layer="X")',
             '(GetProperCode "plain text")', '(GetProperCode (List "a" (List "日本語")))',
             '(GetProperCode trace="1" "a日本")', '(GetProperCode (quote ([?zu encoding="Shift_JIS"] "x")))']
    before = int(subprocess.run(["date", "-u", "+%s"], capture_output=True, text=True).stdout)
    got = run(lines, {"QNMX_TEST_VAR": "a value ü"})
    after = int(subprocess.run(["date", "-u", "+%s"], capture_output=True, text=True).stdout)
    day = subprocess.run(["date", "-u", "+%F"], capture_output=True, text=True).stdout.strip()
    if len(got) != len(lines):
        return
    expect("GetVariable", got[:3], ['"a value ü"', error_reply(2147747598, 2, "GetEnvVar", '"undefined evironment variable"'),
                                    error_reply(2147682310, 3, "Arg", "()")])
    m = re.fullmatch(r"(\d+)sec", got[3])
    if not m or not before - 978307200 - 2 <= int(m.group(1)) <= after - 978307200 + 2:
        fail(f"GetZUTime {got[3]} against date -u +%s {before}..{after}")
    expect("W3C-DTF", got[4], f'"{day}"')
    expect("bad format", got[5], error_reply(2147747075, 6, "GetZUTime", '("invalid format attribute")'))
    # The agent's records close the list, oldest registration first.
    tail = ('("QN.proto" "QUARVEN" "qnmx" "ver.05.5.23" "2005-5-23") '
            '("QN.code" "QN.lib(CINDRALE)" "qnmx" "ver.B.b16.14(SKELDER)" "2007-10-28") '
            '("AP.code" "qnmx" "qnmx" "ver.B.b16.14(SKELDER)" "2007-10-28"))')
    if not got[6].startswith("((") or not got[6].endswith(tail):
        fail(f"GetVersion: {got[6][-400:]}")
    expect("GetVersion layer", got[7:10], ['(("AP.code" "qnmx" "qnmx" "ver.B.b16.14(SKELDER)" "2007-10-28"))',
                                           '(("QN.proto" "QUARVEN" "qnmx" "ver.05.5.23" "2005-5-23"))', "()"])
    # The encoding named must hold the text, as iconv converts it; ASCII
    # must not (for the Japanese text), and a bounded survey sees "a" only.
    expect("GetProperCode", got[10:], ['"ASCII"', '"EUC-JP"', '"ASCII"', '"Shift_JIS"'])
    for enc, ok in (("EUC-JP", 0), ("ASCII", 1)):
        rc = subprocess.run(["iconv", "-f", "UTF-8", "-t", enc], input="日本語".encode(), capture_output=True).returncode
        if (rc != 0) != ok:
            fail(f"iconv to {enc} exited {rc}")


# ---- Launch and LaunchWWW

def group_launch():
    need("ps")
    r = Run(['(Launch "sleep  2")', '(Launch "  ")', '(Launch "/nonexistent/program x")', "(Launch 3)",
             '(Sleep 4)'])
    _, pid = r.reply(1)
    if not pid or not pid.isdigit():
        fail(f"Launch: {pid}")
    else:
        seen = subprocess.run(["ps", "-o", "comm=,args=", "-p", pid], capture_output=True, text=True).stdout.split()
        expect("ps sees the launched program", seen, ["sleep", "sleep", "2"])
        # Once it has ended, it is reaped: no zombie stays under qnmx.
        if not wait_until(lambda: not children(r.p.pid), 8):
            fail(f"children left: {children(r.p.pid)}")
    expect("Launch errors", r.texts()[1:4], [error_reply(2147747075, 2, "Launch", '"parameter error"'),
                                             error_reply(2147748377, 3, "Launch", '"cannot launch"'),
                                             error_reply(2147682310, 4, "Launch", '"type missmatch"')])

    # A browser that records its arguments; the page is one argument.
    record = os.path.join(WORK, "url.txt")
    browser = write("browser.sh", f'#!/bin/sh\nprintf "%s|" "$@" > {record}.part && mv {record}.part {record}\n', 0o755)
    got = run(['(LaunchWWW "http://example.test/a page?x=1")', "(LaunchWWW 1)"], {"BROWSER": browser})
    expect("LaunchWWW", got, ["()", error_reply(2147682310, 2, "LaunchWWW", "()")])
    if not wait_until(lambda: os.path.exists(record)) or open(record).read() != "http://example.test/a page?x=1|":
        fail("the browser did not record the page")
    # No BROWSER and no xdg-open on the search path: nothing happens.
    os.remove(record)
    empty = os.path.join(WORK, "empty")
    os.makedirs(empty)
    expect("no browser", run(['(LaunchWWW "http://example.test/")'], {"PATH": empty}), ["()"])
    time.sleep(0.5)  # nothing may appear; there is no event to wait for
    if os.path.exists(record):
        fail("a browser ran without BROWSER")


# ---- Shell

def group_shell():
    need("printf", "head", "cmp", "base64")
    want = subprocess.run(["printf", "%s-%d\\n", "abc", "42"], capture_output=True, text=True).stdout
    big = os.path.join(WORK, "big.txt")
    with open(big, "wb") as f:
        subprocess.run(["base64"], input=os.urandom(4_000_000), stdout=f, check=True)
    r = Run(['(Shell pipe="on" "printf \'%s-%d\\\\n\' " "abc 42")',
             # 200 KB on the standard error before the standard output ends
             '(Shell pipe="on" "head -c 204800 /dev/zero | tr \'\\\\0\' e >&2; printf done")',
             '(Shell pipe="on" "head -c 5000000 big.txt")',
             '(Shell pipe="on" cmdout="on" "printf echoed")',
             '(Shell "printf x > marker.txt")',
             '(Shell pipe="on" "cat")',
             '(Shell pipe="on" "printf a" 1)'])
    got = r.texts()
    if len(got) != 7:
        fail(f"Shell replies: {len(got)} {r.p.returncode} {r.p.stderr.read()[-2000:]!r}")
        return
    expect("printf through the shell", got[0], '"' + want.replace("\n", "\\n") + '"')
    m = re.fullmatch(r'#error\(2147746330 "SITE" "s.zu" 2 "Shell" \("done" "(e*)"\)\)', got[1])
    if not m or len(m.group(1)) != 204800:
        fail(f"standard error text: {got[1][:120]}")
    # 5 MB of output, compared byte for byte with what head gives.
    with open(os.path.join(WORK, "got.txt"), "w") as f:
        f.write(got[2][1:-1].replace("\\n", "\n"))
    with open(os.path.join(WORK, "want.txt"), "wb") as f:
        subprocess.run(["head", "-c", "5000000", big], stdout=f, check=True)
    if subprocess.run(["cmp", os.path.join(WORK, "got.txt"), os.path.join(WORK, "want.txt")]).returncode:
        fail("5 MB of output differ from head's")
    expect("cmdout", (got[3], r.echo.decode()), ('"echoed"', "printf echoed\nechoed"))
    expect("background command", got[4], "()")
    marker = os.path.join(WORK, "marker.txt")
    if not wait_until(lambda: os.path.exists(marker) and open(marker).read() == "x"):
        fail("the background command did not run")
    expect("no standard input", got[5], '""')
    expect("argument type", got[6], error_reply(2147682310, 7, "Shell", '("type missmatch at argment " 2)'))


# ---- threads and sleeping, timed by the arrival of each reply

def group_threads():
    ignore = '[define ignore.delay="1"]'
    r = Run([f"({ignore} t (Thread (Sleep 2) 5))", "t",
             f"({ignore} s (Thread (DelayAppend (List 1)) (Sleep 1) (DelayAppend (List 2 3)) (Sleep 1) "
             "(DelayAppend (List 4))))",
             "(car s)", "(car (cdr s))", "(car (cdr (cdr (cdr s))))", "s",
             "(Thread)", "(Thread (car 1) (Sleep 5))", "(Thread (DelayAppend (List 1)) (car 1))",
             "(DelayAppend 1)", "(KillThread)", "(Thread (define shared 7))", "shared",
             "(Sleep 0)", "(Sleep 0.9)", "(Sleep 0.04min)", '(Sleep "2")'])
    got = r.texts()
    if len(got) != 18:
        fail(f"thread replies: {got}")
        return
    at = [t for t, _ in r.replies]
    car_error = error_reply(2147682310, "{}", "car", '("type missmatch")')
    expect("values", got, ["t", "5", "s", "1", "2", "4", "(1 2 3 4)", "()", car_error.format(9),
                           "(1 ." + car_error.format(10) + ")",
                           error_reply(2147747336, 11, "DelayAppend", '"this command cannot use in this thread"'),
                           "()", "shared", "7", "0", "0.900000", "0.040000min",
                           error_reply(2147682310, 18, "Sleep", "()")])

    def between(name, a, b, lo, hi):
        d = at[b] - at[a]
        if not lo <= d <= hi:
            fail(f"{name}: {d:.2f} s")
    if at[0] > 1.5:
        fail(f"Thread returned after {at[0]:.2f} s")
    between("its value after two seconds", 0, 1, 1.9, 4.0)
    between("the first member at once", 1, 3, 0, 0.5)
    between("the second after a second", 3, 4, 0.8, 3.0)
    between("the last after another", 4, 5, 0.8, 3.0)
    between("a failing first form ends the thread", 7, 8, 0, 1.0)
    between("(Sleep 0) and (Sleep 0.9)", 13, 15, 0, 0.5)
    between("(Sleep 0.04min) is two seconds", 15, 16, 1.9, 4.0)

    # KillThread ends looping threads: by value, and all of the caller's.
    for kill in ("(KillThread w)", "(KillThread)"):
        r = Run([f"({ignore} w (Thread (define n 0) (while 1 (set n (+ n 1)))))", "(Sleep 1)", kill, "(> n 0)", "w"])
        got = r.texts()
        # The cancel error delivered as the thread's value ends the caller's
        # script, as any cancel that reaches the top of an interpreter does.
        expect(kill, got, ["w", "1", "()", "1", "()"])
        if len(r.replies) == 5 and r.replies[4][0] - r.replies[2][0] > 3.0:
            fail(f"{kill} took {r.replies[4][0] - r.replies[2][0]:.2f} s")


# ---- Export: a child agent over a pipe pair

def group_export():
    need("ps")
    path = os.path.dirname(QNMX) + ":" + os.environ.get("PATH", "")
    silent = write("silent.sh", "#!/bin/sh\nexec sleep 300\n", 0o755)
    got = run(["(define v 42)",
               '(Export target="qnmx" (List 1 2) (define inside 3) (+ inside 1))',
               '(Export target="qnmx" type="normal" (List ($ v) ^v))',
               '(Export target="qnmx" (car 1) (List 9))',
               "(Export (List 1))", '(Export target="/nonexistent/qnmx" 1)', '(Export target="false" 1)'],
              {"PATH": path})
    if len(got) == 7:
        # The child's error comes back as a remote call's, at the line of
        # the pipe on which it was the third form (after PrintChain and
        # SetScriptPath).
        expect("Export", got[:4], ["v", "4", "(42 42)", '#error(2147682310 "SITE" "s.zu" 4 "remote call" '
                                   '("SITE" "pipe input" 3 "car" 2147682310 ("type missmatch")))'])
        expect("Export errors", got[4:], [error_reply(2147747075, 5, "Export", '("target is required ")'),
                                          error_reply(2147748377, 6, "Export", '"cannot launch"'),
                                          error_reply(2147748370, 7, "Export", '("stream error")')])
    # A child that never answers: the error after the shortened time-out
    # (one tick), and the child is gone, not left as a zombie.
    r = Run([f'(Export target="{silent}" (List 1))', "(Sleep 3)"], {"QNMX_EXPORT_TIMEOUT": "1"})
    t, text = r.reply(1, 30)
    expect("silent child", text, error_reply(2147748370, 1, "Export", '("stream error")'))
    if t is not None and t > 12:
        fail(f"the silent child was given up after {t:.1f} s")
    if not wait_until(lambda: not children(r.p.pid), 3):
        fail(f"children left: {children(r.p.pid)}")
    r.texts()


GROUPS = {"info": group_info, "launch": group_launch, "shell": group_shell, "threads": group_threads,
          "export": group_export}

if __name__ == "__main__":
    try:
        GROUPS[GROUP]()
    except Exception as e:  # a broken test run fails too
        fail(f"{type(e).__name__}: {e}")
    finish()
