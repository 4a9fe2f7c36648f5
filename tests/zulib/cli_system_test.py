#!/usr/bin/env python3
"""End-to-end tests of the system and process built-ins and of script threads:
cli_system_test.py <qnmx binary> <group>. Replies are read as they come, each
stamped with its arrival time, and checked against date, printf, head and cmp,
ps, and stand-ins for a browser and for a child that never answers."""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from checks import start, wait_until  # noqa: E402

QNMX = os.path.realpath(sys.argv[1])
GROUP = sys.argv[2]
WORK = tempfile.mkdtemp(prefix="qnmx_system_")
SITE = os.uname().nodename
FAILS = []


def fail(what):
    FAILS.append(what)
    print("FAIL", what)


def expect(name, got, want):
    if got != want:
        fail(f"{name}: got {got!r:.300}, want {want!r:.300}")


def err(code, line, func, data):
    return f'#error({code} "SITE" "s.zu" {line} "{func}" {data})'


def write(name, text, mode=0o644):
    path = os.path.join(WORK, name)
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, mode)
    return path


def out(*args):
    return subprocess.run(args, capture_output=True, text=True).stdout


class Run:
    """qnmx on a script; replies read from its standard output as they come."""

    def __init__(self, lines, **env):
        write("s.zu", "\n".join(lines) + "\n")
        e = {k: v for k, v in os.environ.items() if k not in ("ZUPATH", "BROWSER")}
        e.update(HOME=WORK, STD_CODE="UTF-8", TZ="UTC", **env)
        self.start, self.echo, self.replies, self.printed = time.monotonic(), "", [], []
        self.p = start([QNMX, "s.zu", "-"], cwd=WORK, env=e, stdout=subprocess.PIPE)

    def next(self):
        """The next reply: (seconds since the start, text), (None, None) at the end."""
        line = ""
        while "</Result>\n" not in line:
            more = self.p.stdout.readline().decode()
            if not more:
                return None, None
            line += more
        pre, _, reply = line.partition("<Result> ")
        self.echo += pre
        self.printed.append(pre)  # printed[n - 1]: what came just before the n-th reply
        text = reply.split(" ", 1)[1][:-len("</Result>\n")].replace(f'"{SITE}"', '"SITE"')
        self.replies.append((time.monotonic() - self.start, text))
        return self.replies[-1]

    def all(self):
        while self.next()[0] is not None:
            pass
        self.p.wait(60)
        return [t for _, t in self.replies]


def children(pid):
    return out("ps", "-o", "pid=,stat=,comm=", "--ppid", str(pid)).split()


def group_info():
    day, before = out("date", "-u", "+%F %s").split()
    got = Run(['(GetVariable "QNMX_TEST_VAR")', '(GetVariable "QNMX_UNSET_VAR")', "(GetVariable 1)",
               "(GetZUTime)", '(GetZUTime format="W3C-DTF")', '(GetZUTime format="RFC")',
               "(GetVersion)", '(GetVersion layer="AP.code")', '(GetVersion layer="QN.proto")', '(GetVersion layer="X")',
               '(GetProperCode "plain")', '(GetProperCode (List "a" (List "日本語")))', '(GetProperCode trace="1" "a日")',
               '(GetProperCode (quote ([?zu encoding="Shift_JIS"] "x")))'], QNMX_TEST_VAR="a value ü").all()
    after = int(out("date", "-u", "+%s"))
    expect("GetVariable", got[:3], ['"a value ü"', err(2147747598, 2, "GetEnvVar", '"undefined evironment variable"'),
                                    err(2147682310, 3, "Arg", "()")])
    m = re.fullmatch(r"(\d+)sec", got[3])
    if not m or not int(before) - 2 <= int(m.group(1)) + 978307200 <= after + 2:
        fail(f"GetZUTime {got[3]} against date -u +%s {before}..{after}")
    expect("dates", got[4:6], [f'"{day}"', err(2147747075, 6, "GetZUTime", '("invalid format attribute")')])
    # The agent's records close the list, oldest registration first.
    qn, ap = '("QN.proto" "QUARVEN" "qnmx" "ver.05.5.23" "2005-5-23")', '("AP.code" "qnmx" "qnmx" "ver.B.b16.14(SKELDER)" "2007-10-28")'
    if not got[6].endswith(f'{qn} ("QN.code" "QN.lib(CINDRALE)" "qnmx" "ver.B.b16.14(SKELDER)" "2007-10-28") {ap})'):
        fail(f"GetVersion: {got[6][-300:]}")
    expect("GetVersion layer", got[7:10], [f"({ap})", f"({qn})", "()"])
    expect("GetProperCode", got[10:], ['"ASCII"', '"EUC-JP"', '"ASCII"', '"Shift_JIS"'])


def group_launch():
    r = Run(['(Launch "sleep  2")', '(Launch "  ")', '(Launch "/nonexistent/program x")', "(Launch 3)", "(Sleep 4)"])
    pid = r.next()[1]
    expect("ps sees the launched program", out("ps", "-o", "args=", "-p", pid).strip(), "sleep 2")
    # Once it has ended it is reaped: nothing stays under qnmx.
    if not wait_until(lambda: not children(r.p.pid), 10):
        fail(f"children left: {children(r.p.pid)}")
    expect("Launch errors", r.all()[1:4], [err(2147747075, 2, "Launch", '"parameter error"'),
                                           err(2147748377, 3, "Launch", '"cannot launch"'),
                                           err(2147682310, 4, "Launch", '"type missmatch"')])
    record = os.path.join(WORK, "url.txt")
    browser = write("browser.sh", f'#!/bin/sh\nprintf "%s|" "$@" > {record}.part && mv {record}.part {record}\n', 0o755)
    got = Run(['(LaunchWWW "http://example.test/a page?x=1")', "(LaunchWWW 1)"], BROWSER=browser).all()
    expect("LaunchWWW", got, ["()", err(2147682310, 2, "LaunchWWW", "()")])
    if not wait_until(lambda: os.path.exists(record)) or open(record).read() != "http://example.test/a page?x=1|":
        fail("the browser did not record the page")
    expect("a browser that cannot start", Run(['(LaunchWWW "x")'], BROWSER=WORK + "/none").all(),
           [err(2147748377, 1, "LaunchWWW", '"cannot launch"')])
    # No BROWSER and no xdg-open on the search path: nil, and nothing runs.
    os.remove(record)
    expect("no browser", Run(['(LaunchWWW "http://example.test/")'], PATH=WORK + "/none").all(), ["()"])
    time.sleep(0.5)  # a browser would have written by now; there is no event to wait for
    if os.path.exists(record):
        fail("a browser ran without BROWSER")


def group_shell():
    with open(os.path.join(WORK, "big.txt"), "wb") as f:
        subprocess.run(["base64"], input=os.urandom(4_000_000), stdout=f, check=True)
    r = Run(['(Shell pipe="on" "printf \'%s-%d\\\\n\' " "abc 42")',
             '(Shell pipe="on" "head -c 204800 /dev/zero | tr \'\\\\0\' e >&2; printf done")',
             '(Shell pipe="on" "head -c 5000000 big.txt")', '(Shell pipe="on" cmdout="on" "printf echoed")',
             '(Shell "printf x > marker.txt")', '(Shell pipe="on" "cat")', '(Shell pipe="on" "printf a" 1)'])
    got = r.all()
    expect("printf", got[0], '"' + out("printf", "%s-%d\\n", "abc", "42").replace("\n", "\\n") + '"')
    # 200 KB on the standard error before the output ends: no deadlock.
    expect("standard error", got[1], err(2147746330, 2, "Shell", '("done" "' + "e" * 204800 + '")'))
    write("got.txt", got[2][1:-1].replace("\\n", "\n"))
    with open(os.path.join(WORK, "want.txt"), "wb") as f:
        subprocess.run(["head", "-c", "5000000", "big.txt"], cwd=WORK, stdout=f, check=True)
    if subprocess.run(["cmp", "got.txt", "want.txt"], cwd=WORK).returncode:
        fail("5 MB of output differ from head's")
    expect("cmdout", (got[3], r.echo), ('"echoed"', "printf echoed\nechoed"))
    expect("background, no input, argument type", got[4:],
           ["()", '""', err(2147682310, 7, "Shell", '("type missmatch at argment " 2)')])
    if not wait_until(lambda: os.path.exists(os.path.join(WORK, "marker.txt"))):
        fail("the background command did not run")


def group_threads():
    keep = '[define ignore.delay="1"]'
    # The threads print when their sleeps are over, so that what comes "at
    # once" is told by the order of replies and prints; a sleep that is not
    # skipped would show as a wait many times longer than anything else
    # takes.
    r = Run([f'({keep} t (Thread (Sleep 2) (PrintStd "slept") 5))', "t",
             f'({keep} s (Thread (DelayAppend (List 1)) (Sleep 1) (PrintStd "first") (DelayAppend (List 2 3)) (Sleep 1) '
             '(DelayAppend (List 4))))',
             "(car s)", "(car (cdr s))", "(car (cdr (cdr (cdr s))))", "s", "(Thread)", "(Thread (car 1) (Sleep 60))",
             "(Thread (DelayAppend (List 1)) (car 1))", "(DelayAppend 1)", "(KillThread)", "(Thread (define shared 7))",
             "shared", "(Sleep 0)", "(progn" + " (Sleep 0.9)" * 20 + ")", "(Sleep 0.04min)", '(Sleep "2")',
             '(Thread pri="9" 5)', '(Thread pri="-3" 6)', '(Thread pri="x" 7)'])
    car = err(2147682310, "{}", "car", '("type missmatch")')
    expect("values", r.all(), ["t", "5", "s", "1", "2", "4", "(1 2 3 4)", "()", car.format(9), f"(1 .{car.format(10)})",
                               err(2147747336, 11, "DelayAppend", '"this command cannot use in this thread"'), "()",
                               "shared", "7", "0", "0.900000", "0.040000min", err(2147682310, 18, "Sleep", "()"),
                               "5", "6", "7"])  # priorities out of range are held at the ends
    at = [0.0] + [t for t, _ in r.replies] + [0.0] * 18  # at[n]: the n-th reply's arrival; at[0] the start
    printed = r.printed + [""] * 18
    # Sleeps are never cut short; what comes at once comes before a sleep
    # ends, or well within the one second that 20 sleeps of 0.9 would take
    # each if they were not skipped.
    for what, a, b, lo, hi in (("its value after 2 s", 1, 2, 1.9, None), ("the second a second later", 4, 5, 0.8, None),
                               ("the last another second later", 5, 6, 0.8, None),
                               ("a failed form ends it, not its sleep", 8, 9, 0, 30),
                               ("(Sleep 0) and (Sleep 0.9) at once", 14, 16, 0, 10), ("0.04min", 16, 17, 1.9, None)):
        if not lo <= at[b] - at[a] <= (hi or float("inf")):
            fail(f"{what}: {at[b] - at[a]:.2f} s")
    expect("Thread returns before its forms end", ['"slept"' in p for p in printed[:2]], [False, True])
    expect("the first member before the thread's sleep ends", ['"first"' in p for p in printed[2:5]],
           [False, False, True])
    # KillThread ends a looping thread by its value, or all of the caller's.
    # The cancel error delivered as the thread's value ends the caller's
    # script, as any cancel that reaches the top of an interpreter does.
    for kill in ("(KillThread w)", "(KillThread)"):
        r = Run([f"({keep} w (Thread (define n 0) (while 1 (set n (+ n 1)))))", "(Sleep 1)", kill, "(> n 0)", "w"])
        expect(kill, r.all(), ["w", "1", "()", "1", "()"])
        if len(r.replies) == 5 and r.replies[4][0] - r.replies[2][0] > 3:
            fail(f"{kill} took {r.replies[4][0] - r.replies[2][0]:.2f} s")


def group_export():
    path = os.path.dirname(QNMX) + ":" + os.environ["PATH"]
    r = Run(["(define v 42)", '(Export target="qnmx" (PrintStd "one") (List 1 2) (define inside 3) (PrintStd d="stdout" '
             '"two") (Export target="qnmx" (PrintStd (List 3))) (+ inside 1))',
             '(Export target="qnmx" type="normal" (List ($ v) ^v))', '(Export target="qnmx" (car 1) (List 9))',
             "(Export (List 1))", '(Export target="/nonexistent/qnmx" 1)', '(Export target="false" 1)'], PATH=path)
    r.next(), r.next()
    # What the child prints, and what its own child prints, comes before
    # the reply, in order.
    expect("printed by the child", r.echo, '"one"\ntwo(3)\n')
    got = r.all()
    # The child's error comes back as a remote call's, from the third line
    # of the pipe (after PrintChain and SetScriptPath).
    expect("Export", got, ["v", "4", "(42 42)", '#error(2147682310 "SITE" "s.zu" 4 "remote call" '
                           '("SITE" "pipe input" 3 "car" 2147682310 ("type missmatch")))',
                           err(2147747075, 5, "Export", '("target is required ")'),
                           err(2147748377, 6, "Export", '"cannot launch"'), err(2147748370, 7, "Export", '("stream error")')])
    # A child that never answers: the error after the shortened time-out
    # (one tick), and the child is gone, not left as a zombie.
    silent = write("silent.sh", "#!/bin/sh\nexec sleep 300\n", 0o755)
    r = Run([f'(Export target="{silent}" (List 1))', "(Sleep 3)"], QNMX_EXPORT_TIMEOUT="1")
    t, text = r.next()
    expect("silent child", text, err(2147748370, 1, "Export", '("stream error")'))
    if t is None or t > 12:
        fail(f"the silent child was given up after {t} s")
    if not wait_until(lambda: not children(r.p.pid), 3):
        fail(f"children left: {children(r.p.pid)}")
    r.all()


if __name__ == "__main__":
    try:
        for tool in ("date", "ps", "printf", "head", "cmp", "base64"):
            if not shutil.which(tool):
                fail(f"{tool} is not installed (scripts/setup.sh installs it)")
        if not FAILS:
            globals()["group_" + GROUP]()
    except Exception as e:  # a broken test run fails too
        fail(f"{type(e).__name__}: {e}")
    shutil.rmtree(WORK, ignore_errors=True)
    print(f"{GROUP}: {'all cases passed' if not FAILS else f'{len(FAILS)} failed'}")
    sys.exit(1 if FAILS else 0)
