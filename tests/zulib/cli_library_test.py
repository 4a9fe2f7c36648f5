#!/usr/bin/env python3
"""End-to-end tests of the library's strings, casts, tables and units.

cli_library_test.py <qnmx binary> <group>

Each group writes ZU scripts, runs qnmx on them in a fresh temporary
directory and HOME, and compares the replies with what outside programs
(iconv, grep, sort, join, units) or Python's own number reading give for
the same inputs. Inputs are generated here with a fixed seed.
"""
import itertools
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from zu_text import zu_string  # noqa: E402

QNMX = os.path.realpath(sys.argv[1])
GROUP = sys.argv[2]
WORK = tempfile.mkdtemp(prefix="qnmx_zulib_")
SITE = os.uname().nodename
FAILS = []
RNG = random.Random(35)


def fail(what):
    FAILS.append(what)
    print("FAIL", what)


def need(*tools):
    for t in tools:
        if not shutil.which(t):
            fail(f"{t} is not installed (scripts/setup.sh installs it)")
    if FAILS:
        finish()


def tool(args, data=b"", env=None):
    r = subprocess.run(args, input=data, capture_output=True, env=env, timeout=60)
    return r.returncode, r.stdout


def qnmx(lines, code="UTF-8"):
    """Runs the forms (one per line) and returns the replies in order."""
    home = os.path.join(WORK, "home")
    os.makedirs(home, exist_ok=True)
    script = os.path.join(WORK, "s.zu")
    with open(script, "wb") as f:
        f.write(("\n".join(lines) + "\n").encode(code))
    out = os.path.join(WORK, "out.txt")
    env = {k: v for k, v in os.environ.items() if k not in ("ZUPATH",)}
    env.update(HOME=home, STD_CODE=code)
    r = subprocess.run([QNMX, "s.zu", "out.txt"], cwd=WORK, env=env, capture_output=True, timeout=300)
    if r.returncode != 0:
        fail(f"qnmx exited {r.returncode}: {r.stderr[-500:]!r}")
        return []
    text = decode_replies(open(out, "rb").read(), code)
    replies = re.findall(r"<Result> (\d+) (.*?)</Result>\n", text, re.S)
    if [int(n) for n, _ in replies] != list(range(1, len(lines) + 1)):
        fail(f"replies do not match the forms: {text[:500]!r}")
    return [v.replace(f'"{SITE}"', '"SITE"') for _, v in replies]


# Encodings by identifier, as the reply stream names them when a reply
# switches to the encoding of its text's code set ("&cx<identifier>;").
ENCODINGS = {1: "ascii", 2: "latin-1", 3: "euc-jp", 4: "shift_jis", 5: "iso-2022-jp", 6: "utf-8", 7: "utf-16-be"}


def decode_replies(raw, code):
    parts = re.split(rb"&cx([0-9a-f]+);\n?", raw)
    text = parts[0].decode(code)
    for ident, chunk in zip(parts[1::2], parts[2::2]):
        text += chunk.decode(ENCODINGS[int(ident, 16) & 0xFFFF])
    return text


def expect(name, got, want):
    if got != want:
        fail(f"{name}: got {got!r}, want {want!r}")


def error_reply(code, line, func, data):
    return f'#error({code} "SITE" "s.zu" {line} "{func}" {data})'


def finish():
    shutil.rmtree(WORK, ignore_errors=True)
    print(f"{GROUP}: {'all cases passed' if not FAILS else f'{len(FAILS)} failed'}")
    sys.exit(1 if FAILS else 0)


# ---- strings: encodings through iconv, matches through grep

def group_strings():
    need("iconv", "grep")
    # Word2String of EUC-JP and Shift_JIS byte codes, read back by iconv.
    _, a = tool(["iconv", "-f", "EUC-JP", "-t", "UTF-8"], b"\xa4\xa2")
    text = "日本語のテキストです"
    lines = ['(Word2String word="2" encoding="EUC-JP" 42146)']
    want = [zu_string(a.decode())]
    for enc in ("EUC-JP", "SHIFT_JIS"):
        _, raw = tool(["iconv", "-f", "UTF-8", "-t", enc], text.encode())
        codes = [raw[i] << 8 | raw[i + 1] for i in range(0, len(raw), 2)]
        lines.append(f'(Word2String word="2" encoding="{enc}" (List {" ".join(map(str, codes))}))')
        _, back = tool(["iconv", "-f", enc, "-t", "UTF-8"], raw)
        want.append(zu_string(back.decode()))
    lines.append("(SetChar 26412)")
    want.append('"本"')
    expect("Word2String against iconv", qnmx(lines), want)

    # Lengths and character codes of a text that iconv wrote in each
    # encoding: the script itself is in that encoding.
    sample = "日本語 ABC かなカナ"
    for enc in ("UTF-8", "EUC-JP", "Shift_JIS"):
        lines = [f"(define t {zu_string(sample)})", "(StringLength t)"]
        lines += [f"(GetChar t {i})" for i in range(len(sample) + 1)]
        lines += [f"(equal (SetChar (GetChar t {i})) (CutString t {i} 1))" for i in range(len(sample))]
        path = os.path.join(WORK, "u.zu")
        open(path, "w", encoding="utf-8").write("\n".join(lines) + "\n")
        rc, converted = tool(["iconv", "-f", "UTF-8", "-t", enc, path])
        want = ["t", str(len(sample))] + [str(ord(c)) for c in sample] + ["0"] + ["1"] * len(sample)
        expect(f"characters in {enc}", qnmx(converted.decode(enc).splitlines(), enc), want)

    # Matches from the left, each the longest at its start, as grep -E -o -b
    # reports them (grep leaves out empty matches).
    patterns = ["ab*c", "(ab|a)c*", "[a-c]+", "[^ ]+", "a?b+", "x(yz)*", ".b", "(a|b)(c|d)+", "d|dd|ddd", "y?z?x"]
    alphabet = "abcd xyz"
    texts = ["".join(RNG.choice(alphabet) for _ in range(80)) for _ in range(3)]
    scan = ("(define scan (lambda () (f text) (progn (define i 0) (define n (StringLength text)) (define out (List)) "
            "(while (< i n) (progn (define m (car (cdr (cdr (REGCMP (CutString text i n)))))) "
            "(if (> m 0) (progn (set out (cons (List i m) out)) (set i (+ i m))) (set i (+ i 1))))) (Reverse out))))")
    lines, want = [], []
    for p in patterns:
        lines.append(scan.replace("REGCMP", f'RegCmp rex="{p}"'))
        want.append("scan")
        for t in texts:
            lines.append(f"(scan {zu_string(t)})")
            _, found = tool(["grep", "-E", "-o", "-b", p], t.encode())
            pairs = [ln.split(":", 1) for ln in found.decode().splitlines()]
            want.append("(" + " ".join(f"({o} {len(m)})" for o, m in pairs) + ")" if pairs else "()")
            # The whole text matches exactly when grep -x says so.
            rc, _ = tool(["grep", "-E", "-x", "-q", p], t.encode())
            lines.append(f'(car (RegCmp rex="{p}" {zu_string(t)}))')
            want.append(str(len(t)) if rc == 0 else "-1")
    for p in ["a(", "[ab", "(ab", "a|(b"]:
        rc, _ = tool(["grep", "-E", "-q", p], b"ab")
        if rc != 2:
            fail(f"grep accepted {p}")
        lines.append(f'(RegCmp rex="{p}" "ab")')
        want.append(error_reply(2147747075, len(lines), "RegCmp", '"parameter error: regular expression"'))
    expect("RegCmp against grep", qnmx(lines), want)

    # Setting attributes makes a new tag; the original stays as it was.
    lines = [
        '(define t (quote <item id="1" k="x">a</item>))',
        '(SetAttribute t "id" 2)',
        '(GetAttribute (car t) "id")',
        '(GetAttribute (car (SetAttribute t "n" "v")) type="list")',
        '(SetAttribute (car t) "k" 2.5m)',
        "t",
    ]
    want = ["t", '([item id="2" k="x"] "a")', '"1"', '((id "1") (k "x") (n "v"))', '[item k="2.500000m" id="1"]',
            '([item id="1" k="x"] "a")']
    expect("attributes", qnmx(lines), want)


# ---- cast: numbers read from text against Python's int() and float()

def group_cast():
    units = ["", "km", "m", "sec", "x"]
    lines, want = [], []

    def add(form, reply):
        lines.append(form)
        want.append(reply)

    def signed(digits):
        return RNG.choice(["", "-", "+"]) + str(RNG.randint(1, 9)) + "".join(str(RNG.randint(0, 9)) for _ in range(digits - 1))

    texts = [signed(d) + RNG.choice(units) for d in list(range(1, 20)) * 3 + [16, 17, 18, 19] * 10 + [20, 21]]
    texts += ["9223372036854775807", "-9223372036854775808", "9223372036854775808", "-5km", "+0x7fffffffffffffff"]
    for t in texts:
        m = re.fullmatch(r"([+-]?(?:0x[0-9a-f]+|\d+))(.*)", t)
        v = int(m.group(1), 0)
        reply = f"{v}{m.group(2)}" if -2**63 <= v < 2**63 else error_reply(2147747075, len(lines) + 1, "Cast",
                                                                               '"number out of range"')
        add(f'(Cast "{t}" type="integer")', reply)
    floats = ["1.5e300", "-5km", "1e308", "-2.5e-3sec", "0.1", "123456789012345678"]
    for _ in range(60):
        mant = RNG.choice(["", "-"]) + str(RNG.randint(0, 10**RNG.randint(1, 17)))
        if RNG.random() < 0.7:
            mant += "." + str(RNG.randint(0, 10**RNG.randint(1, 9)))
        if RNG.random() < 0.5:
            mant += "e" + str(RNG.randint(-300, 300))
        floats.append(mant + RNG.choice(units))
    for t in floats:
        m = re.fullmatch(r"([+-]?\d*\.?\d*(?:e[+-]?\d+)?)(.*)", t)
        add(f'(Cast "{t}" type="floating")', "%f%s" % (float(m.group(1)), m.group(2)))
    add('(Cast "1e999" type="floating")', error_reply(2147747075, len(lines) + 1, "Cast", '"number out of range"'))
    # Each option word.
    add('(Cast "Mixed Case" type="string" option="small")', '"mixed case"')
    add('(Cast "Mixed Case" type="string" option="capital")', '"MIXED CASE"')
    add('(Cast (quote [Tag Id="1"]) type="symbol" option="small")', '[tag id="1"]')
    add('(Cast 26412 type="string" option="char")', '"本"')
    add('(Cast "0012" type="integer" option="zeroIgnore")', "12")
    add('(Cast "0012" type="integer")', "10")
    add('(Cast "0012.5" type="floating" option="zeroIgnore")', "12.500000")
    expect("Cast against Python", qnmx(lines), want)


# ---- tables: sort -n, a model of the merge, coreutils join

def merge_model(items, less):
    """The sort's merge steps, written out: which member of an equal pair
    comes first is fixed by them."""
    chain = [[x] for x in reversed(items)]
    while len(chain) > 1:
        made = []
        for k in range(0, len(chain) - 1, 2):
            a, b, out = list(chain[k]), list(chain[k + 1]), []
            while a and b:
                out.append(b.pop(0) if less(a[0], b[0]) else a.pop(0))
            made.append(out + a + b)
        if len(chain) % 2:
            made.append(chain[-1])
        chain = made[::-1]
    return chain[0][::-1]


def group_tables():
    need("sort", "join")
    members = [(RNG.randint(-20, 20), i) for i in range(400)]
    _, sorted_keys = tool(["sort", "-n"], "".join(f"{k}\n" for k, _ in members).encode())
    keys_want = [int(k) for k in sorted_keys.split()]
    ids_want = [i for _, i in merge_model(members, lambda a, b: a[0] < b[0])]
    data = "(quote (" + " ".join(f"({k} {i})" for k, i in members) + "))"
    recs = "(quote (" + " ".join(f"(r (k {k}) (id {i}))" for k, i in members) + "))"
    replies = qnmx([f"(Sort {data} (lambda () (f a b) (- (car a) (car b))))", f"(Sort field=\"k\" {recs})"])
    for name, reply in zip(["compare lambda", "field="], replies):
        got = [tuple(map(int, p)) for p in re.findall(r"\((?:r \(k )?(-?\d+)\)? \(?(?:id )?(\d+)\)?\)", reply)]
        expect(f"Sort with {name}: keys", [k for k, _ in got], keys_want)
        expect(f"Sort with {name}: equal keys", [i for _, i in got], ids_want)

    # NaturalJoin of two sorted tables against join: every pair of equal runs.
    left = sorted((f"k{RNG.randint(0, 12):02d}", f"v{i}") for i in range(60))
    right = sorted((f"k{RNG.randint(0, 12):02d}", f"w{i}") for i in range(60))
    env = dict(os.environ, LC_ALL="C")
    for name, rows in (("l.txt", left), ("r.txt", right)):
        open(os.path.join(WORK, name), "w").write("".join(f"{k} {v}\n" for k, v in rows))
    _, joined = tool(["join", "-j", "1", os.path.join(WORK, "l.txt"), os.path.join(WORK, "r.txt")], env=env)
    want = "(" + " ".join(f'(a (k "{k}") (v "{v}") (w "{w}"))' for k, v, w in
                          (ln.split() for ln in joined.decode().splitlines())) + ")"
    ta = "(quote (" + " ".join(f'(a (k "{k}") (v "{v}"))' for k, v in left) + "))"
    tb = "(quote (" + " ".join(f'(b (k "{k}") (w "{w}"))' for k, w in right) + "))"
    replies = qnmx([f'(Reverse (NaturalJoin field="k" sort1="off" sort2="off" {ta} {tb}))'])
    expect("NaturalJoin against join", replies, [want])

    # Groups, runs and hierarchies against Python's grouping of the same rows.
    rows = sorted({(RNG.choice("abc"), RNG.randint(1, 3), RNG.choice("wxyz")) for _ in range(30)})
    lines = ["(define shared (lambda () (f p e) (if (equal (car p) (car e)) "
             "(if (equal (car (cdr p)) (car (cdr e))) 2 1) 0)))",
             "(V2H (quote (" + " ".join(f"({a} {n} {x})" for a, n, x in rows) + ")) shared h2v)"]
    tree = " ".join(f"({a} " + " ".join(f"({n} {' '.join(r[2] for r in sub)})"
                                         for n, sub in itertools.groupby(g, lambda r: r[1])) + ")"
                    for a, g in itertools.groupby(rows, lambda r: r[0]))
    want = ["shared", f"({tree})"]
    nums = sorted(RNG.sample(range(100), 40))
    lines.append(f"(Categorize (List {' '.join(map(str, nums))}) (lambda () (f a b) (if (== b (+ a 1)) 1 0)))")
    runs = [[n for _, n in g] for _, g in itertools.groupby(enumerate(nums), lambda p: p[1] - p[0])]
    want.append("(" + " ".join("(" + " ".join(map(str, r)) + ")" for r in runs) + ")")
    recs = [(r[0], f"{r[2]}{r[1]}") for r in rows]
    lines.append('(Projection field="g" sort1="off" (quote (' +
                 " ".join(f"(r (g {g}) (v {v}))" for g, v in recs) + ")))")
    groups = [(g, [v for _, v in grp]) for g, grp in itertools.groupby(recs, lambda r: r[0])]
    want.append("(" + " ".join(f"(r (g {g}) (table " + " ".join(f"(record (v {v}))" for v in reversed(vs)) + "))"
                               for g, vs in reversed(groups)) + ")")
    expect("V2H, Categorize and Projection", qnmx(lines), want)


# ---- units: conversions against the units program

def group_units():
    need("units")

    def units_value(value, frm, to):
        rc, out = tool(["units", "-t", "-o", "%.12g", f"{value} {frm}", to])
        if rc != 0:
            fail(f"units {value} {frm} {to}: {out!r}")
            return None
        return float(out)

    def check_conversion(reply, want, unit, what):
        m = re.fullmatch(r"(-?\d+(\.\d{6})?)" + re.escape(unit), reply)
        if not m or want is None:
            fail(f"{what}: reply {reply}")
            return
        whole = want == int(want) and -2**31 <= want < 2**31
        if (m.group(2) is None) != whole or abs(float(m.group(1)) - want) > 5e-7 + 1e-12 * abs(want):
            fail(f"{what}: reply {reply}, units says {want}")

    cases = [(v, "km", "m") for v in (1, 1.5, 0.25, 3, 2.125, 2147484)]
    cases += [(v, "m", "km") for v in (1500, 3000, 1234, 2)]
    cases += [(v, "hour", "sec") for v in (1, 0.5, 2.75, 600000)]
    cases += [(v, "sec", "hour") for v in (3600, 5400, 100)]
    lines = [f'(ConvertUnit {v}{frm} "{to}")' for v, frm, to in cases]
    for (v, frm, to), reply in zip(cases, qnmx(lines)):
        check_conversion(reply, units_value(v, frm, to), to, f"{v}{frm} in {to}")

    system = ('(UnitSystem (System 1 0.0254 name="inch" dim="l") (System 1 1609.344 name="mile" dim="l") '
              '(Alias name="mph" dim="mile/hour") (Alias name="ips" dim="inch/sec"))')
    cases = [(60, "mph", "m/sec", "mile/hour", "m/s"), (10, "ips", "km/hour", "inch/sec", "km/hour"),
             (1, "inch", "mile", "inch", "mile"), (3, "mph", "ips", "mile/hour", "inch/sec"),
             (2.5, "km", "mile", "km", "mile")]
    lines = [system] + [f'(ConvertUnit {v}{frm} "{to}")' for v, frm, to, _, _ in cases]
    replies = qnmx(lines)
    expect("UnitSystem", replies[:1], ["()"])
    for (v, frm, to, ufrm, uto), reply in zip(cases, replies[1:]):
        check_conversion(reply, units_value(v, ufrm, uto), to, f"{v}{frm} in {to}")


GROUPS = {"strings": group_strings, "cast": group_cast, "tables": group_tables, "units": group_units}

if __name__ == "__main__":
    try:
        GROUPS[GROUP]()
    except Exception as e:  # a broken test run fails too
        fail(f"{type(e).__name__}: {e}")
    finish()
