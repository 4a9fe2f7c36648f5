#!/usr/bin/env python3
"""End-to-end tests of printing, loading and saving.

cli_io_test.py <qnmx binary> <group>

Each group writes its inputs and a ZU script in a fresh temporary directory
and HOME, runs qnmx on the script and checks the replies and the files it
wrote against outside programs (cmp, cat, wc, split, iconv, xmllint) and
Python's csv and icalendar readers. Inputs are made here.
"""
import csv
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from zu_text import zu_string  # noqa: E402

QNMX = os.path.realpath(sys.argv[1])
GROUP = sys.argv[2]
WORK = tempfile.mkdtemp(prefix="qnmx_io_")
FAILS = []
RNG = random.Random(36)
STDERR = b""  # of the last run


def fail(what):
    FAILS.append(what)
    print("FAIL", what)


def finish():
    shutil.rmtree(WORK, ignore_errors=True)
    print(f"{GROUP}: {'all cases passed' if not FAILS else f'{len(FAILS)} failed'}")
    sys.exit(1 if FAILS else 0)


def need(*tools):
    for t in tools:
        if not shutil.which(t):
            fail(f"{t} is not installed (scripts/setup.sh installs it)")
    if FAILS:
        finish()


def path(name):
    return os.path.join(WORK, name)


def write(name, data):
    with open(path(name), "wb") as f:
        f.write(data)


def read(name):
    with open(path(name), "rb") as f:
        return f.read()


def read_if(name):
    """The bytes of a file, or none when it is missing."""
    try:
        return read(name)
    except FileNotFoundError:
        return b""


def tool(args, data=b""):
    r = subprocess.run(args, input=data, capture_output=True, cwd=WORK, timeout=120)
    if r.returncode != 0:
        fail(f"{args[0]} failed: {r.stderr[-300:]!r}")
    return r.stdout


def qnmx_env(**extra):
    home = path("home")
    os.makedirs(home, exist_ok=True)
    env = {k: v for k, v in os.environ.items() if k != "ZUPATH"}
    env.update(HOME=home, STD_CODE="UTF-8", **extra)
    return env


def qnmx(lines, timeout=300, script=None, **extra_env):
    """Runs the forms (one per line; or the bytes of `script`, one form a
    line); the replies in order and the standard output."""
    write("s.zu", script if script is not None else ("\n".join(lines) + "\n").encode())
    r = subprocess.run([QNMX, "s.zu", "out.txt"], cwd=WORK, env=qnmx_env(**extra_env), capture_output=True,
                       timeout=timeout)
    global STDERR
    STDERR = r.stderr
    if r.returncode != 0:
        fail(f"qnmx exited {r.returncode}: {r.stderr[-500:]!r}")
        return [], b""
    text = read("out.txt").decode("utf-8", "replace")
    replies = re.findall(r"<Result> (\d+) (.*?)</Result>\n", text, re.S)
    if [int(n) for n, _ in replies] != list(range(1, len(lines) + 1)):
        fail(f"replies do not match the forms: {text[:500]!r}")
    return [v for _, v in replies], r.stdout


def expect(name, got, want):
    if got != want:
        fail(f"{name}: got {got!r}, want {want!r}")


def error_of(reply):
    """(code, function, data) of an error reply, or None."""
    m = re.match(r'#error\((\d+) "[^"]*" "[^"]*" \d+ "([^"]*)" (.*)\)$', reply, re.S)
    return (int(m.group(1)), m.group(2), m.group(3)) if m else None


# ---- raw: copies through Load and Save against cmp and cat

def group_raw():
    need("cmp", "cat")
    sizes = [0, 1, 4095, 4096, 5000, 10 << 20]
    lines = []
    for n in sizes:
        write(f"in{n}", os.urandom(n))
        lines.append(f'(Save option="raw" oflag="creat:trunc" "out{n}" (Load option="raw" "in{n}"))')
    # A list walked before it is saved: the walked part from memory, the
    # rest from the file.
    lines.append('(define l (Load option="raw" "in5000"))')
    lines.append("(ListLength l)")
    lines.append('(Save option="raw" oflag="creat:trunc" "walked" l)')
    # Append mode against cat; a mode for the created file.
    write("a", os.urandom(3000))
    write("b", os.urandom(7000))
    lines.append('(Save option="raw" oflag="creat:trunc" mode="0640" "ab" (Load option="raw" "a"))')
    lines.append('(Save option="raw" oflag="creat:append" "ab" (Load option="raw" "b"))')
    replies, _ = qnmx(lines)
    for n, r in zip(sizes, replies):
        # An empty file is an empty list, which Save refuses (nothing opened).
        if n == 0:
            expect("empty file", error_of(r), (0x80030806, "Save", '("save:type missmatch" 5)'))
            expect("empty file not created", os.path.exists(path("out0")), False)
            continue
        expect(f"save of {n} bytes", r, "()")
        if subprocess.run(["cmp", path(f"in{n}"), path(f"out{n}")]).returncode != 0:
            fail(f"copy of {n} bytes differs")
    expect("chunks of a 5000-byte file", replies[len(sizes) + 1], "2")
    if subprocess.run(["cmp", path("in5000"), path("walked")]).returncode != 0:
        fail("copy of a walked list differs")
    expect("created with its mode", oct(os.stat(path("ab")).st_mode & 0o777), "0o640")
    if read("ab") != tool(["cat", "a", "b"]):
        fail("append differs from cat a b")


# ---- text: pieces against wc and split, terminators, escapes, encodings

def group_text():
    need("wc", "split", "iconv")
    body = "".join(f"line {i} {'x' * RNG.randrange(40)}\n" for i in range(2000))
    variants = {"lf": body, "nolf": body + "tail", "crlf": body.replace("\n", "\r\n"), "empty": ""}
    lines = []
    for name, text in variants.items():
        write(name, text.encode())
        lines.append(f'(ListLength (Load option="text" terminate="\\r?\\n" "{name}"))')
    # The pieces themselves against split -l 1 of the LF file.
    lines.append('(define l (Load option="text" terminate="\\n" "nolf"))')
    lines.append("(Print (car l))")
    lines.append("(Print (car (cdr (cdr l))))")
    # Longest match: a run of line ends is one terminator.
    write("runs", b"a\n\n\nb\n\nc\n")
    lines.append('(Load option="text" terminate="\\n+" "runs")')
    # The earliest start at which a match can begin wins, then the longest;
    # a match that could still grow ends with the text; an empty match is
    # no match.
    cuts = [("abcd|bc", b"1abcX2abcd3"), ("ab|cccd", b"cccab"), ("\\r\\n|\\n|\\r", b"a\r\rb\r"), ("x*", b"axxb")]
    for i, (term, text) in enumerate(cuts):
        write(f"cut{i}", text)
        lines.append(f'(Load option="text" terminate="{term}" "cut{i}")')
    # Escapes.
    write("esc", b"&cx41;&CX42&cx4A4;&cx41x&cxq;&cx0;&cx123456789;\n")
    lines.append('(Load option="text.escape" terminate="\\n" "esc")')
    # A terminator that never completes over 10 MB: one piece, in linear time.
    write("big", b"a" * (10 << 20))
    lines.append('(GetSize (Load option="text" terminate="a*b" "big"))')
    # One text in three encodings gives one string.
    sample = "日本語のテキスト、かなカナ。\nABC 123\n"
    write("utf8", sample.encode())
    for enc in ("EUC-JP", "SHIFT_JIS", "UTF-8"):
        name = "t-" + enc
        write(name, tool(["iconv", "-f", "UTF-8", "-t", enc], sample.encode()))
        lines.append(f'(Load option="text" encoding="{enc}" "{name}")')
    replies, _ = qnmx(lines)
    for i, (name, text) in enumerate(variants.items()):
        want = tool(["wc", "-l"], text.encode()).decode().strip()
        if name == "nolf":
            want = str(int(want) + 1)  # the last line has no line end
        expect(f"lines of {name}", replies[i], want)
    os.makedirs(path("split"))
    tool(["split", "-l", "1", path("nolf"), path("split/p")])
    parts = sorted(os.listdir(path("split")))
    first = read("split/" + parts[0]).decode().rstrip("\n")
    third = read("split/" + parts[2]).decode().rstrip("\n")
    expect("first piece against split", replies[5], zu_string(zu_string(first)))
    expect("third piece against split", replies[6], zu_string(zu_string(third)))
    expect("longest terminator", replies[7], '("a" "b" "c")')
    expect("terminators", replies[8:12], ['("1a" "X2" "3")', '("ccc")', '("a" "" "b")', '("a" "b")'])
    # A reference followed by anything but ";" or the end stays as written.
    expect("escapes", replies[12], "(" + zu_string("A&CX42\u04a4&cx41x&cxq;&cx0;&cx123456789;") + ")")
    expect("never-ending terminator", replies[13], str(10 << 20))
    encoded = replies[14:17]
    expect("EUC-JP and UTF-8 loads", encoded[0], encoded[2])
    expect("Shift_JIS and UTF-8 loads", encoded[1], encoded[2])
    expect("UTF-8 load", encoded[2], "(" + zu_string(sample) + ")")


# ---- iCalendar written by Python's icalendar

def group_icalendar():
    try:
        import icalendar
    except ImportError:
        fail("python3-icalendar is not installed (scripts/setup.sh installs it)")
        finish()
    cal = icalendar.Calendar()
    cal.add("prodid", "-//qnmx test//")
    cal.add("version", "2.0")
    for i in range(3):
        ev = icalendar.Event()
        ev.add("summary", f"Meeting {i}, room; \"{i}\"")
        ev.add("uid", f"{i}@example")
        ev.add("description", "first line\nsecond line " + "long " * 20)
        cal.add_component(ev)
    write("cal.ics", cal.to_ical())
    replies, _ = qnmx(['(define c (Load option="icalendar" "cal.ics"))',
                       "(GetTag (car (car c)))",
                       '(ListLength (GE path="VCALENDAR" c))',
                       '(car (cdr (GE path="VCALENDAR/VEVENT\'2/SUMMARY" c)))',
                       '(car (cdr (GE path="VCALENDAR/VEVENT\'3/DESCRIPTION" c)))'])
    parsed = icalendar.Calendar.from_ical(read("cal.ics"))
    events = [c for c in parsed.walk() if c.name == "VEVENT"]
    expect("calendar tag", replies[1], "VCALENDAR")
    expect("calendar members", replies[2], str(1 + 2 + len(events)))
    expect("summary", replies[3], zu_string(str(events[1]["summary"])).replace("\n", "\\n"))
    expect("description", replies[4], zu_string(str(events[2]["description"])).replace("\n", "\\n"))


# ---- ZU, XML and HTML text: round trips and xmllint

def group_zu():
    need("xmllint")
    doc = '(quote <doc a="1"><item id="x">text</item><sub><n>1</n><n>2.5</n><e/></sub></doc>)'
    page = '(quote <html><body><p class="a">some text</p><br/><p>2</p></body></html>)'
    # Save writes each member of a list as a root of its own: a list of one
    # document is that document.
    lines = [f"(define d {doc})",
             '(Save oflag="creat:trunc" "d.zu" d)',
             '(equal (Load "d.zu") d)',
             '(Save oflag="creat:trunc" format.mode="xml" format.indent="on" "d.xml" (List d))',
             '(equal (car (Load "d.xml")) d)',
             f'(Save oflag="creat:trunc" format.mode="html" "d.html" (List {page}))',
             '(PrintStd option="xml:indent" d)',
             '(Save oflag="creat:trunc" format.multiroot="off" "two.zu" (List 1 2))',
             '(Save oflag="creat:trunc" "roots.zu" (List 1 2))',
             '(Load option="exec" "prog.zu")',
             '(Load option="html" "page.html")',
             '(Load option="zu" "none.zu")',
             '(Load option="xml" "d.zu")']
    write("prog.zu", b'(define x 40)\n(+ x 2)\n')
    write("page.html", b"<html><body><p>12</p></body></html>")
    replies, out = qnmx(lines)
    expect("ZU round trip", replies[2], "1")
    expect("XML round trip", replies[4], "1")
    for name in ("d.xml",):
        r = subprocess.run(["xmllint", "--noout", path(name)], capture_output=True)
        if r.returncode != 0:
            fail(f"xmllint refuses {name}: {r.stderr[:300]!r}")
    r = subprocess.run(["xmllint", "--noout", "-"], input=out, capture_output=True)
    if r.returncode != 0:
        fail(f"xmllint refuses PrintStd's XML: {out[:300]!r} {r.stderr[:300]!r}")
    r = subprocess.run(["xmllint", "--html", "--noout", path("d.html")], capture_output=True)
    if r.returncode != 0 or r.stderr:
        fail(f"xmllint --html refuses Save's HTML: {r.stderr[:300]!r}")
    expect("one root", read("two.zu"), b"(1 2)")
    expect("a root per member", read("roots.zu"), b"1\n2\n")
    expect("exec", replies[9], "42")
    expect("html", replies[10], '((HTML (BODY (P "12"))))')
    code = error_of(replies[11])
    expect("missing file", code, (0x80040a06, "load", '("cannot open the file" "none.zu")'))
    expect("unknown mode", error_of(replies[12]), (0x80040503, "load", '("invalid parameter")'))
    # The script's own header switches the decoding of the rest of it, and
    # SetResultFormat the form of the replies after it (the indent stays).
    script = ('<?xml encoding="EUC-JP"?>\n"\u65e5"\n(SetResultFormat mode="xml" indent="on")\n'
              '(quote (a (b 1)))\n(SetResultFormat mode="lisp")\n(quote (a (b 1)))\n').encode("euc-jp")
    replies, _ = qnmx(["h"] * 6, script=script)
    expect("script header and result formats", replies,
           ["()", '"\u65e5"', '("mode:XML" "indent:on")', "<a>\n  <b>\n    1\n  </b>\n</a>",
            '("mode:LISP" "indent:on")', "(a\n  (b 1))"])


# ---- CSV read back by Python's csv module

def group_csv():
    rows = [("r", 1, "plain"), ("r", 2, 'with "quotes"'), ("r", 3, "a,b,c"), ("s", 4, "line\nend"), ("r", 5, "")]
    recs = " ".join(f"({t} (n {n}) (text {zu_string(s)}))" for t, n, s in rows)
    lines = [f'(Save option="csv" oflag="creat:trunc" "t.csv" (quote ({recs} "bare" 2.5)))',
             f'(Save option="csv" oflag="creat:trunc" "g.csv" (quote ({recs})) (quote ((kind "tag") (text "text") (num 5))))']
    replies, _ = qnmx(lines)
    expect("csv saves", replies, ["()", "()"])
    with open(path("t.csv"), newline="") as f:
        got = list(csv.reader(f))
    want = [["RECORD-TYPE", "n", "text", "tp4", "tp6"], []]
    want += [[t, str(n), s.replace("\n", " "), "", ""] for t, n, s in rows]
    want += [["", "", "", "bare", ""], ["", "", "", "", "2.500000"]]
    expect("generated columns", got, want)
    with open(path("g.csv"), newline="") as f:
        got = list(csv.reader(f))
    want = [["kind", "text", "num"], []] + [[t, s.replace("\n", " "), ""] for t, _, s in rows]
    expect("given columns", got, want)


# ---- failures: a full disk, a missing file, bad options

def group_errors():
    lines = ['(Save option="raw" "/dev/full" (Load option="raw" "in"))',
             '(Save "/dev/full" (List 1 2 3))',
             '(Save option="csv" "/dev/full" (quote ((r (a 1)))))',
             '(Save option="raw" "missing" (Load option="raw" "in"))',
             '(Save oflag="creat:sync" "x" 1)',
             '(Save option="raw" oflag="creat:trunc" "partial" (List (car (Load option="raw" "ab")) "no"))',
             '(Save 5 1)',
             '(PrintStd file="no/such/dir" 1)']
    write("in", os.urandom(100000))
    write("ab", b"ab")
    replies, _ = qnmx(lines)
    full = '("cannot access the file" "/dev/full" "No space left on device")'
    for i, what in enumerate(("raw", "zu", "csv")):
        expect(f"full disk, {what}", error_of(replies[i]), (0x80040a06, "Save", full))
    expect("missing without creat", error_of(replies[3]), (0x80040a06, "Save",
                                                       '("cannot access the file" "missing" "No such file or directory")'))
    expect("bad oflag word", error_of(replies[4]), (0x80040503, "Save", '("invalid parameter")'))
    expect("not raw", error_of(replies[5]), (0x80030806, "Save", '("save:type missmatch" 6)'))
    expect("earlier bytes stay", read("partial"), b"ab")
    expect("path not a string", error_of(replies[6]), (0x80030806, "Save", '("save:type missmatch" 1)'))
    expect("PrintStd to a file that cannot open", error_of(replies[7]),
           (0x80040a06, "Printstd", '("cannot open the file" "no/such/dir" "No such file or directory")'))


# ---- descriptors: text written through openPrintStd descriptors reaches
# its file whichever way the program ends

def group_descriptors():
    need("wc")
    many = ['(openPrintStd "many.txt")', "(define i 0)",
            '(while (< i 3000) (PrintStd d="1" "a line of text\\n") (define i (+ i 1)))']
    ends = {"exit": ["(Exit)"], "error": ['(ErrHandler stderr="on" (car 5))']}
    for name, how in ends.items():
        write(f"{name}.zu", ("\n".join([f'(openPrintStd "{name}.txt")', '(PrintStd d="1" "only line\\n")'] + how +
                                       ['(PrintStd d="1" "never\\n")']) + "\n").encode())
    write("many.zu", ("\n".join(many) + "\n").encode())
    for name, rc in (("many", 0), ("exit", 0), ("error", 1)):
        r = subprocess.run([QNMX, f"{name}.zu", "out.txt"], cwd=WORK, env=qnmx_env(), capture_output=True,
                           timeout=300)
        expect(f"status after {name}", r.returncode, rc)
    expect("3,000 lines and the end of the script", tool(["wc", "-l", "many.txt"]).split()[0], b"3000")
    expect("a line and (Exit)", read("exit.txt"), b"only line\n")
    expect("a line and a fatal error", read("error.txt"), b"only line\n")
    # An interrupt while the script runs on.
    write("int.zu", b'(openPrintStd "int.txt")\n(PrintStd d="1" "only line\\n")\n(PrintStd "ready")\n(while 1 1)\n')
    if os.path.exists(path("out.txt")):
        os.remove(path("out.txt"))
    p = subprocess.Popen([QNMX, "int.zu", "out.txt"], cwd=WORK, env=qnmx_env(), stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE)
    # The third reply is written once the descriptor holds its line.
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and b"<Result> 3 " not in read_if("out.txt"):
        time.sleep(0.05)
    p.send_signal(signal.SIGINT)
    try:
        p.communicate(timeout=60)
    except subprocess.TimeoutExpired:
        p.kill()
        p.communicate()
    expect("replies before the interrupt", read_if("out.txt"), b"<Result> 1 1</Result>\n<Result> 2 ()</Result>\n"
           b"<Result> 3 ()</Result>\n")
    expect("status after an interrupt", p.returncode, 1)
    expect("a line and an interrupt", read("int.txt"), b"only line\n")


# ---- refusals: a value the printer refuses leaves every file as it was and
# is answered with the printer's error; a text piece has a cap

def group_refusals():
    for name in ("keep.zu", "keep.csv", "keep.raw", "keep.txt"):
        write(name, b"precious")
    lines = ["(define i 0)", "(define deep 1)", "(while (< i 6000) (define deep (List deep)) (define i (+ i 1)))",
             '(Save oflag="creat:trunc" "keep.zu" deep)',
             '(Save option="csv" oflag="creat:trunc" "keep.csv" deep)',
             '(Save option="raw" oflag="creat:trunc" "keep.raw" (List deep))',
             '(PrintStd file="keep.txt" deep)',
             "(PrintStd deep)",
             '(PrintStd "after")',
             '(car (Load option="text" terminate="\\n" "/dev/zero"))']
    replies, out = qnmx(lines, QNMX_LOAD_PIECE_CAP="100000")
    refused = (0x80030806, "print", '("value nested too deeply or cyclic")')
    for i, what in enumerate(("Save zu", "Save csv", "Save raw", "PrintStd file=", "PrintStd")):
        expect(what, error_of(replies[3 + i]) if len(replies) > 3 + i else None, refused)
    for name in ("keep.zu", "keep.csv", "keep.raw", "keep.txt"):
        expect(f"{name} kept", read(name), b"precious")
    expect("nothing printed for the refused value", out, b'"after"\n')
    zero = replies[9] if len(replies) > 9 else ""
    if not (zero.startswith("#error(2147549441 ") and zero.endswith('"load" ("line too long"))')):
        fail(f"/dev/zero: {zero[:300]!r}")


# ---- fifo: Load waits for a FIFO's writer without blocking in open

def fifo_write(name, data):
    """Writes to a FIFO once a reader has it open (the open waits for one)."""
    fd = os.open(path(name), os.O_WRONLY)
    os.write(fd, data)
    os.close(fd)


def holds_open(pid, name):
    """Whether process pid has the file open."""
    want = path(name)
    fds = f"/proc/{pid}/fd"
    try:
        return any(os.readlink(os.path.join(fds, fd)) == want for fd in os.listdir(fds))
    except OSError:
        return False


def group_fifo():
    for name in ("fifo", "never", "go"):
        os.mkfifo(path(name))
    # A writer that comes later is waited for; a Load in a thread waiting
    # for a writer that never comes holds the FIFO open (it is not stuck in
    # open), and KillThread ends it.
    lines = ['(Load option="text" terminate="\\n" "fifo")',
             '([define ignore.delay="1"] w (Thread (Load option="raw" "never")))',
             '(Load option="text" terminate="\\n" "go")', "(KillThread w)", "w"]
    write("s.zu", ("\n".join(lines) + "\n").encode())
    p = subprocess.Popen([QNMX, "s.zu", "out.txt"], cwd=WORK, env=qnmx_env(), stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE)
    try:
        fifo_write("fifo", b"one\ntwo\n")
        deadline = time.monotonic() + 60
        while not holds_open(p.pid, "never") and time.monotonic() < deadline and p.poll() is None:
            time.sleep(0.05)
        if not holds_open(p.pid, "never"):
            fail("a Load of a FIFO without a writer never opened it")
            return
        fifo_write("go", b"go\n")
        p.communicate(timeout=60)
    except subprocess.TimeoutExpired:
        fail("a Load waiting for a FIFO's writer does not end at KillThread")
        return
    finally:
        if p.poll() is None:
            p.kill()
            p.communicate()
    expect("status", p.returncode, 0)
    replies = re.findall(r"<Result> (\d+) (.*?)</Result>\n", read("out.txt").decode(), re.S)
    expect("replies", [v for _, v in replies], ['("one" "two")', "w", '("go")', "()", "()"])


GROUPS = {"raw": group_raw, "text": group_text, "icalendar": group_icalendar, "zu": group_zu, "csv": group_csv,
          "errors": group_errors, "descriptors": group_descriptors, "refusals": group_refusals, "fifo": group_fifo}

if __name__ == "__main__":
    try:
        GROUPS[GROUP]()
    finally:
        finish()
