#!/usr/bin/env python3
"""End-to-end tests of qmxStatus, qmxScan, qmxCopy and qmxCache.

matrix_commands_test.py <qnmx> <fill_agent> <group>

Scripts run as the program runs them (qnmx, or fill_agent: the same program
with test built-ins that fill level 0 of a matrix with a known pattern and
dump a level read back through the element-access cache). Replies are
parsed and compared apart from standard error; matrix files are checked
with tests/matrix/validate_mx.py; pyramids and copies are compared with a
numpy model of the pattern and of 2 x 2 means with truncation.

Groups: roundtrip, restricted, scan, copy, copy_shapes, cache.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from zu_text import printed_string  # noqa: E402

QNMX = os.path.realpath(sys.argv[1])
FILL = os.path.realpath(sys.argv[2])
GROUP = sys.argv[3]
HERE = os.path.dirname(os.path.abspath(__file__))
WORK = tempfile.mkdtemp(prefix="qnmx_mxcmd_")
FAILS = []

# Error codes as the replies print them.
PARAM, TYPE, DENIED, OPEN, NOT_AVAILABLE = 0x80040503, 0x80030806, 0x80040d10, 0x80040a06, 0x80040608
STR = r'"(?:\\.|[^"\\])*"'
TOKEN = re.compile(STR + r'|\[[^\]"]*(?:' + STR + r'[^\]"]*)*\]|#error\(|[()]|[^\s()"]+')


def fail(what):
    FAILS.append(what)
    print("FAIL", what)


def expect(name, got, want):
    if got != want:
        fail(f"{name}:\n  got  {got!r}\n  want {want!r}")


def parse(text):
    """A printed value: lists; strings and symbols as str; a tag with
    attributes as (name, ((attribute, value), ...)) in printed order;
    numbers, with a unit as (number, unit); an error as ["#error", ...]."""
    def atom(t):
        if t[0] == '"':
            return printed_string(t)
        if t[0] == "[":
            name = t[1:-1].split(" ")[0]
            return name, tuple((a, printed_string(v)) for a, v in re.findall(r'(\S+?)=(' + STR + ')', t))
        m = re.fullmatch(r"(-?\d+(?:\.\d+)?)([A-Za-z_]\w*)?", t)
        if not m:
            return t
        num = float(m.group(1)) if "." in m.group(1) else int(m.group(1))
        return (num, m.group(2)) if m.group(2) else num

    stack = [[]]
    for t in TOKEN.findall(text):
        if t in ("(", "#error("):
            stack.append([] if t == "(" else ["#error"])
        elif t == ")":
            done = stack.pop()
            stack[-1].append(done)
        else:
            stack[-1].append(atom(t))
    return stack[0][0] if stack[0] else None


def tag(v):
    """(name, attributes as a dict) of an element's head."""
    head = v[0] if isinstance(v, list) and v else None
    return (head[0], dict(head[1])) if isinstance(head, tuple) and len(head) == 2 else (head, {})


def is_error(v, code, func, data=None):
    return (isinstance(v, list) and v[:1] == ["#error"] and v[1] == code and v[5] == func and
            (data is None or v[6:] == [data]))


def run(forms, program=None, status=0):
    """Runs the forms (one per line): the printed replies in order; the
    program must end with status."""
    home = os.path.join(WORK, ".home")
    os.makedirs(home, exist_ok=True)
    script = os.path.join(WORK, ".s.zu")
    with open(script, "w") as f:
        f.write("\n".join(forms) + "\n")
    env = {k: v for k, v in os.environ.items() if k not in ("ZUPATH", "QNMX_TRACE")}
    env.update(HOME=home, STD_CODE="UTF-8")
    r = subprocess.run([program or QNMX, script, "-"], cwd=WORK, env=env, capture_output=True, timeout=600)
    if r.returncode != status:
        fail(f"exit status {r.returncode}: {r.stderr[-800:]!r}")
    text = r.stdout.decode("utf-8")
    replies = re.findall(r"<Result> (\d+) (.*?)</Result>\n", text, re.S)
    if [int(n) for n, _ in replies] != list(range(1, len(forms) + 1)):
        fail(f"replies do not match the forms: {text[:1500]!r}")
        return [""] * len(forms)
    return [v for _, v in replies]


def values(forms, program=None, status=0):
    return [parse(t) for t in run(forms, program, status)]


def validate(*files):
    r = subprocess.run([sys.executable, os.path.join(HERE, "..", "matrix", "validate_mx.py"), "--closed", *files],
                       cwd=WORK, capture_output=True, text=True)
    if r.returncode != 0:
        fail(f"validate_mx {files}: {r.stdout}{r.stderr}")


# ---- descriptions

FETCH = ('(qmxPhase area="3" (mxFinish normal-jump-status="MS_OK" err-jump-status="MS_LOADING_ERR_1") '
         '(mxLoad target="file-n-create")) (qmxPhase area="4" type="equ" equ="3") '
         '(qmxPhase area="5" type="equ" equ="3")')


def sizes(dims):
    """Sizes of each dimension: [(pixels, block bits, divide bits)]."""
    return " ".join(f'(qmxMatrixPixelSize dim="{d}" value="{p}") (qmxMatrixBlockSize dim="{d}" value="{b}") '
                    f'(qmxMatrixDimDivide dim="{d}" value="{v}")' for d, (p, b, v) in enumerate(dims))


# Every element type, with a default the type can take (none for block and
# sexp) and a mix of channel flags.
TYPES = [("bit", "1"), ("bit_v", "1"), ("int8", "-100"), ("int8_v", "100"), ("uint8", "200"), ("uint8_v", "255"),
         ("int16", "70000"), ("int16_v", "-2"), ("uint16", "65535"), ("uint16_v", "7"), ("int32", "-70000"),
         ("int32_v", "123456"), ("uint32", "4000000000"), ("uint32_v", "5"), ("int64", "-9000000000"),
         ("int64_v", "9000000000"), ("uint64", "-1"), ("uint64_v", "18"), ("float", "1.5"), ("float_v", "-0.25"),
         ("double", "2.75"), ("double_v", "10000000000.0"), ("rgb8", "4278190335"), ("rgb8_v", "16777216"),
         ("block", None), ("string", '"a \\"b\\""'), ("string_v", '"x"'), ("sexp", None)]
FLAGS = ["", 'send="on"', 'file="on"', 'visu="on"', 'send_file="on"', 'send_visu="on"',
         'send="on" file="on" visu="on" send_file="on" send_visu="on"']


def channels(with_defaults):
    out = []
    for ch, (t, d) in enumerate(TYPES):
        default = f" {d}" if with_defaults and d else ""
        out.append(f'(qmxChannelInfo channel="{ch}" type="{t}" {FLAGS[ch % len(FLAGS)]}{default})')
    return " ".join(out)


# 1 to 4 dimensions; every type with and without defaults; index_hem and
# cache_file; priorities of the current table and of the three stored modes;
# scripts current and in the three modes, "equ" slots among them. The last
# channel of the second has no type and is left out of the status.
DESCRIPTIONS = [
    ('(qmxMatrixParam channel_nos="2" dim="1") ' + sizes([(1000, 4, 1)]) +
     ' (qmxChannelInfo channel="0" type="int8" -3) (qmxChannelInfo channel="1" type="float_v" visu="on")'),
    ('(qmxMatrixParam channel_nos="29" dim="2" index_hem="on" (qmxPriority area="3" pri="65538") '
     '(qmxPriority area="21" pri="3") (qmxPriority area="21" pri="0x10" mode="direct") '
     '(qmxPriority area="22" pri="12" mode="direct") (qmxPriority area="4" pri="9" mode="server") '
     '(qmxPriority area="22" pri="7" mode="client")) ' + sizes([(1000, 8, 1), (600, 7, 2)]) + " " +
     channels(True) + " " + FETCH + ' (qmxPhase area="21" (mxSave)) (define x "file") '
     '(qmxPhase area="5" mode="client" (mxLoad target="f" ($ x))) '
     '(qmxPhase area="22" mode="client" type="equ" equ="5") '
     '(qmxPhase area="6" mode="direct" (quote 1) (quote 2)) (qmxPhase area="7" mode="direct" type="equ" equ="6")'),
    ('(qmxMatrixParam channel_nos="28" dim="3" cache_file="on") ' + sizes([(64, 3, 1), (32, 3, 1), (16, 2, 1)]) +
     " " + channels(False)),
    ('(qmxMatrixParam channel_nos="1" dim="4" index_hem="on" cache_file="on") ' +
     sizes([(16, 2, 1), (8, 2, 1), (8, 1, 1), (4, 1, 1)]) + ' (qmxChannelInfo channel="0" type="uint16_v" send="on")'),
]


def status_element(text):
    """The printed body of the qmxStatus element of a printed status."""
    i = text.index("([qmxStatus")
    depth = 0
    for m in TOKEN.finditer(text, i):
        depth += {"(": 1, ")": -1}.get(m.group(), 0)
        if depth == 0:
            return text[text.index("]", i) + 1:m.start()]


def comparable(status, drop_current=False):
    """A status without modify times and the matrix's names; with
    drop_current, without the current priorities and scripts (which a file
    does not keep)."""
    if isinstance(status, tuple) and len(status) == 2 and isinstance(status[1], tuple):
        return status[0], tuple(a for a in status[1] if a[0] not in ("modify_time", "filename", "key", "neturl"))
    if not isinstance(status, list):
        return status
    return [comparable(x, drop_current) for x in status
            if not (drop_current and tag(x)[0] in ("qmxPriority", "qmxPhase") and "mode" not in tag(x)[1])]


def element_order(status):
    """The tags of the description's elements, each run of one tag once."""
    runs = [tag(e)[0] for e in status[2][1:]]
    return [t for i, t in enumerate(runs) if i == 0 or runs[i - 1] != t]


def client_view(full):
    """The restricted view made from the full view: the client mode's
    priorities and scripts without the mode's name; a channel shows file for
    send_file and visu for send_visu, and no other flag."""
    def without_mode(e):
        return [(e[0][0], tuple(a for a in e[0][1] if a[0] != "mode"))] + e[1:]

    out = [full[2][0]]
    for e in full[2][1:]:
        name, attrs = tag(e)
        if name == "qmxMatrixParam":
            out.append([e[0]] + [without_mode(p) for p in e[1:] if tag(p)[1].get("mode") == "client"])
        elif name == "qmxChannelInfo":
            flags = [(k, "on") for k, f in (("visu", "send_visu"), ("file", "send_file")) if f in attrs]
            out.append([(name, tuple(a for a in e[0][1] if a[0] in ("type", "channel")) + tuple(flags))] + e[1:])
        elif name != "qmxPhase" or attrs.get("mode") == "client":
            out.append(without_mode(e) if name == "qmxPhase" else e)
    return [full[0], full[1], out]


# ---- groups


def group_roundtrip():
    for n, desc in enumerate(DESCRIPTIONS):
        first = run([f'(qmxCreate filename="a{n}.mx" activePhase_mode="server" {desc})', '(qmxStatus id="1")'])[1]
        s1 = parse(first)
        # Fed back as the body of a description on a new file; then from the
        # file alone, where the stored modes and the defaults survive.
        s2 = values([f'(qmxCreate filename="b{n}.mx"{status_element(first)})', '(qmxStatus id="1")'])[1]
        expect(f"description {n}: the status fed back", comparable(s2), comparable(s1))
        s3 = values([f'(qmxStatus "b{n}.mx")'])[0]
        expect(f"description {n}: the status of the file", comparable(s3, True), comparable(s2, True))
        expect(f"description {n}: elements", element_order(s1),
               ["qmxMatrixParam", "qmxChannelInfo", "qmxMatrixDimDivide", "qmxMatrixBlockSize",
                "qmxMatrixPixelSize"] + (["qmxPhase"] if n == 1 else []))
        expect(f"description {n}: sizes per dimension", [sum(tag(e)[0] == t for e in s1[2]) for t in
                                                         ("qmxMatrixDimDivide", "qmxMatrixBlockSize",
                                                          "qmxMatrixPixelSize")], [n + 1] * 3)
        validate(f"a{n}.mx", f"b{n}.mx")
    # The second description in detail: the general figures, number forms,
    # the priorities (current, client, server, direct) and scripts (current,
    # direct, server, client) in their order.
    s = values([f'(qmxCreate filename="c.mx" activePhase_mode="server" {DESCRIPTIONS[1]})', '(qmxStatus id="1")'])[1]
    expect("general", s[1], ["general", ["dim", 11, (1000, "dot"), (600, "dot")]])
    param = s[2][1]
    expect("parameters", param[0][1], (("channel_nos", "29"), ("dim", "2"), ("index_hem", "on"),
                                       ("total_levels", "0"), ("modify_time", "0")))
    expect("priorities", [(p[0][1]) for p in param[1:]],
           [(("area", "3"), ("pri", "0x10002")), (("area", "21"), ("pri", "0x3")),
            (("mode", "client"), ("area", "22"), ("pri", "0x7")), (("mode", "server"), ("area", "4"), ("pri", "0x9")),
            (("mode", "direct"), ("area", "21"), ("pri", "0x10")), (("mode", "direct"), ("area", "22"), ("pri", "0xc"))])
    chans = {int(tag(e)[1]["channel"]): e for e in s[2][1:] if tag(e)[0] == "qmxChannelInfo"}
    expect("typed channels", sorted(chans), list(range(28)))
    expect("defaults", [chans[c][1:] for c in (0, 6, 12, 16, 19, 21, 25, 26, 24, 27)],
           [[1], [4464], [4000000000], [-1], [-0.25], [10000000000.0], ['a "b"'], ["x"], [], []])
    expect("flags of every kind", chans[6][0][1],
           (("channel", "6"), ("type", "int16"), ("visu", "on"), ("file", "on"), ("send", "on"), ("send_visu", "on"),
            ("send_file", "on")))
    phases = [(tag(e)[1].get("mode", ""), int(tag(e)[1]["area"])) for e in s[2][1:] if tag(e)[0] == "qmxPhase"]
    expect("scripts", phases, [("", 3), ("", 4), ("", 5), ("", 21), ("direct", 6), ("direct", 7), ("server", 3),
                               ("server", 4), ("server", 5), ("server", 21), ("client", 5), ("client", 22)])
    expect("a client script with its value put in", s[2][-1][1:], [[("mxLoad", (("target", "f"),)), "file"]])
    # Refusals; a status by path closes what it opened, and only that.
    v = values(['(qmxCreate filename="d.mx" ' + DESCRIPTIONS[0] + ')', '(qmxStatus)', '(qmxStatus id="9")',
                '(qmxStatus 5)', '(qmxStatus path-type="relative" "d.mx")', '(qmxStatus "missing.mx")',
                '(qmxStatus "d.mx")', '(qmxStatus id="1")', '(qmxStatus "c.mx")', '(qmxCreate filename="c.mx")'])
    for i, code, data in ((1, TYPE, []), (2, PARAM, "id value"), (3, TYPE, []), (4, PARAM, "attribute:path-type"),
                          (5, OPEN, [])):
        expect(f"refusal {i}", is_error(v[i], code, "qmxStatus", data), True)
    expect("a matrix open by path, and its entry after", [tag(v[i][2])[0] for i in (6, 7)], ["qmxStatus"] * 2)
    expect("a file opened for the status is closed again", v[9], 3)


def group_restricted():
    docs = os.path.join(WORK, "base", "zudocs", "m")
    os.makedirs(docs)
    path = os.path.join(docs, "r.mx")
    desc = DESCRIPTIONS[1]
    env0 = lambda attrs, arg: f'(Eval Env0 (quote (qmxStatus {attrs} {arg})))'
    forms = [f'(qmxCreate filename="k.mx" key="k1" activePhase_mode="server" {desc})', '(qmxStatus id="1")',
             env0("path-type=\"key\"", '"k1"'), env0('id="1"', ""), env0("", '"k.mx"'),
             env0('path-type="absolute"', '"k.mx"'), '(qmxStatus id="1")', '(qmxClose id="1")',
             f'(qmxCreate filename="{path}" {desc})', '(qmxClose id="2")',
             '(SetThisAgentName "qa")', f'(SetDirectory url="/" "{WORK}/base/")',
             '(SetPrefixMode ".mx" "qa" "lod" "Get")', '(SetPrefixMode ".lx" "qa" "raw" "Get")',
             env0('path-type="related"', '"/m/r.mx"'), f'(qmxCreate filename="{path}")',
             env0('path-type="related"', '"/m/none.mx"'), env0('path-type="related"', '"/m/r.lx"')]
    v = values(forms)
    full = v[1]
    expect("client view by key", comparable(v[2]), comparable(client_view(full)))
    denied = "file path(path-type = absolute, id access in Env0 mode)"
    for i, what in ((3, "id"), (4, "no path-type"), (5, "absolute")):
        expect(f"restricted {what}", is_error(v[i], DENIED, "qmxStatus", denied), True)
    expect("the script's entry after a restricted status of its file", comparable(v[6]), comparable(full))
    expect("client view by document path", comparable(v[14]), comparable(client_view(full)))
    expect("the file is closed after the related status", v[15], 4)
    expect("related, no file", is_error(v[16], OPEN, "qmxStatus"), True)
    expect("related, not a matrix mode", is_error(v[17], NOT_AVAILABLE, "Get", "unsupport Get mode"), True)
    # An access file in the document root denies peers; the full view does
    # not ask.
    open(os.path.join(WORK, "base", "zudocs", ".zuaccess"), "w").close()
    v = values(forms[10:13] + [env0('path-type="related"', '"/m/r.mx"'), '(qmxStatus path-type="related" "/m/r.mx")'])
    expect("related under an access file", is_error(v[3], DENIED, "authentification (DENIED)"), True)
    by_file = values([f'(qmxStatus "{path}")'])[0]
    expect("full view of the same path", comparable(v[4], True), comparable(by_file, True))


# ---- pyramids, copies and the page cache through the fill agent

PYRAMID = ('(qmxMatrixParam channel_nos="1" dim="2" (qmxPriority area="21" pri="2") (qmxPriority area="22" pri="2") '
           '(qmxPriority area="23" pri="2")) ' + sizes([(512, 6, 1), (256, 6, 1)]) +
           ' (qmxChannelInfo channel="0" type="rgb8_v" file="on") ' + FETCH +
           ' (qmxPhase area="21" (mxSet 0 (mxThinnedOut type="average" channel="0" (mxCH type="children" 0))) '
           '(mxSave)) (qmxPhase area="22" type="equ" equ="21") (qmxPhase area="23" (mxSave))')
LEVELS = 6


def pattern(w, h, ch):
    x = np.arange(w, dtype=np.int64)[None, :]
    y = np.arange(h, dtype=np.int64)[:, None]
    r = (x * 7 + y * 13 + ((x ^ y) >> 3)) & 255
    g = (x + 3 * y + 17 * ch) & 255
    b = ((x * y) >> 5) & 255
    return (r << 24) | (g << 16) | (b << 8)


def lanes(words):
    return np.stack([(words >> s) & 255 for s in (24, 16, 8, 0)], -1)


def model_levels(w, h, n):
    """Level 0 of the pattern and n - 1 coarser levels: each lane the mean
    of 2 x 2, truncated."""
    level = lanes(pattern(w, h, 0))
    out = [level]
    for _ in range(1, n):
        hh, ww = level.shape[:2]
        level = level.reshape(hh // 2, 2, ww // 2, 2, 4).sum(axis=(1, 3)) // 4
        out.append(level)
    return out


def dump(level, name, entry=2, ch=0):
    return f'(TestDump id="{entry}" channel="{ch}" level="{level}" "{name}")'


def read_level(name, w, h, dtype="<u4"):
    return np.fromfile(os.path.join(WORK, name), dtype=dtype).reshape(h, w).astype(np.int64)


def pyramid_script(name, direction):
    """The pyramid filled and scanned, its levels dumped as the scan left
    them (NAME.open.LEVEL) and after closing (NAME.LEVEL)."""
    return ([f'(qmxCreate filename="{name}" {PYRAMID})', '(TestFill id="1" channel="0")',
             f'(qmxScan id="1" area="21" call-dir="{direction}" (List 0 0 0) (List 0 511 255))'] +
            [dump(lv, f"{name}.open.{lv}", 1) for lv in range(LEVELS)] +
            ['(qmxClose id="1")', f'(qmxCreate filename="{name}" readphase="-1")'] +
            [dump(lv, f"{name}.{lv}") for lv in range(LEVELS)])


def group_scan():
    model = model_levels(512, 256, LEVELS)
    for direction in ("pre", "post"):
        v = values(pyramid_script(f"{direction}.mx", direction), FILL)
        expect(f"{direction}: fill and scan", v[1:3], [256, 0])
        # Children first: every level is the mean of the one below. Node
        # first: the top node ran before its children had data, and read
        # them as the channel's default (the finer ones were saved, finest
        # first, before the walk began). Closing then makes every coarser
        # node again from its children.
        scanned = [True] * LEVELS if direction == "pre" else [True] * (LEVELS - 1) + [False]
        for when, want in (("open.", scanned), ("", [True] * LEVELS)):
            got = [lanes(read_level(f"{direction}.mx.{when}{lv}", 512 >> lv, 256 >> lv)) for lv in range(LEVELS)]
            expect(f"{direction}: levels {when or 'closed.'} equal to the model",
                   [bool((g == m).all()) for g, m in zip(got, model)], want)
        validate(f"{direction}.mx")
    # Refusals, and a save script that keeps failing ends the scan with the
    # script's error; the changes it could not save fail the program.
    failing = PYRAMID.replace('(mxSet 0 (mxThinnedOut type="average" channel="0" (mxCH type="children" 0)))',
                              '(mxSet 0 (mxThinnedOut (quote x)))')
    box = "(List 0 0 0) (List 0 511 255)"
    v = values([f'(qmxCreate filename="f.mx" {failing})', '(TestFill id="1" channel="0")',
                f'(qmxScan id="1" area="21" {box})', f'(qmxScan id="1" area="24" {box})',
                f'(qmxScan id="1" area="-1" {box})', f'(qmxScan id="1" area="21" call-dir="up" {box})',
                f'(qmxScan area="21" {box})', f'(qmxScan id="9" area="21" {box})', f'(qmxScan id="1" {box})',
                '(qmxScan id="1" area="21" (List 0 0) (List 0 511 255))',
                '(qmxScan id="1" area="21" (List 0 0 0) (List 0 "a" 255))',
                '(qmxScan id="1" area="21" (List 0 0 0) 5)', f'(qmxScan id="1" area="6" {box})'], FILL, 1)
    expect("a failing save script", v[2], -100)
    reasons = ["area boundary", "area boundary", "value of call-dir", "id", "value of id", "area",
               "dim_code format (start)", "dim_code format (end)", "dim_code format (end)"]
    for i, why in enumerate(reasons, 3):
        expect(f"refusal {why}", is_error(v[i], PARAM, "qmxScan", ["invalida parameter (attribute id)", why]), True)
    expect("a slot without script", v[12], 0)


COPY_CHANNELS = [("rgb8_v", "", 4, "<u4"), ("uint8_v", "", 1, "u1"), ("uint16_v", 'visu="on"', 2, "<u2"),
                 ("int32_v", 'file="on"', 4, "<i4")]


def copy_matrix(name):
    chans = " ".join(f'(qmxChannelInfo channel="{c}" type="{t}" {f})' for c, (t, f, _, _) in enumerate(COPY_CHANNELS))
    return (f'(qmxCreate filename="{name}" (qmxMatrixParam channel_nos="4" dim="2") ' +
            sizes([(200, 6, 1), (100, 6, 1)]) + f' {chans} {FETCH} (qmxPhase area="21" (mxSave)) '
            '(qmxPhase area="22" type="equ" equ="21") (qmxPhase area="23" type="equ" equ="21"))')


def group_copy():
    one_dim = ('(qmxCreate filename="o.mx" (qmxMatrixParam channel_nos="1" dim="1") ' + sizes([(100, 4, 1)]) +
               ' (qmxChannelInfo channel="0" type="int8"))')
    forms = [copy_matrix("s.mx"), copy_matrix("d.mx"), copy_matrix("e.mx"), one_dim]
    forms += [f'(TestFill id="1" channel="{c}")' for c in range(4)]
    forms += ['(qmxCopy src="1" dest="2" (List 0 2 "MF_FILE"))', '(qmxCopy src="1" dest="3" 0 1)']
    forms += [dump(0, f"d{c}.raw", 2, c) for c in range(4)] + [dump(0, f"e{c}.raw", 3, c) for c in range(4)]
    forms += ['(qmxCopy src="1" dest="3" (List 0 1.5))', '(qmxCopy src="1" dest="3" "MF_OTHER")',
              '(qmxCopy src="1" dest="3" 9)', '(qmxCopy src="1" dest="4" 0)', '(qmxCopy dest="3" 0)',
              '(qmxCopy src="1" dest="9" 0)', '(qmxCopy src="1" dest="1" 0)']
    v = values(forms, FILL)
    expect("copies", v[8:10], [[], []])
    copied = {"d": {0, 2, 3}, "e": {0, 1}}
    for m, chans in copied.items():
        for c, (_, _, size, dtype) in enumerate(COPY_CHANNELS):
            got = read_level(f"{m}{c}.raw", 200, 100, dtype)
            want = pattern(200, 100, c) >> (32 - 8 * size)
            if dtype == "<i4":
                want = want.astype(np.uint32).astype(np.int32).astype(np.int64)
            expect(f"{m} channel {c}", bool((got == want).all()) if c in chans else bool((got == 0).all()), True)
    refusals = [(TYPE, None), (TYPE, None), (PARAM, "channel"), (PARAM, -126), (PARAM, "attribute src"),
                (PARAM, "attribute dest"), (PARAM, "attribute dest")]
    for i, (code, what) in enumerate(refusals):
        data = ["invalida parameter", what] if what else []
        expect(f"refusal {i} {what}", is_error(v[18 + i], code, "qmxCopy", data), True)


def group_copy_shapes():
    """Copies the store cannot make whole are refused before anything is
    copied: nodes of another size, divide or vector shape (index_hem), a
    channel of another element type (named, or met through its flags), a
    channel the destination lacks. Run by qnmx itself, the source filled
    from a picture, every destination read back by point."""
    w, h = 64, 48
    picture = np.random.default_rng(58).integers(0, 256, (h, w, 3), dtype=np.uint8)
    with open(os.path.join(WORK, "p.ppm"), "wb") as f:
        f.write(b"P6\n%d %d\n255\n" % (w, h) + picture.tobytes())

    def matrix(name, block=5, divide=1, types=("rgb8_v", "rgb8_v"), hem=""):
        chans = " ".join(f'(qmxChannelInfo channel="{c}" type="{t}" file="on" 7)' for c, t in enumerate(types))
        return (f'(qmxCreate filename="{name}" (qmxMatrixParam channel_nos="{len(types)}" dim="2"{hem}) ' +
                sizes([(w, block, divide), (h, block, divide)]) + f' {chans} {FETCH} (qmxPhase area="21" (mxSave)) '
                '(qmxPhase area="22" type="equ" equ="21") (qmxPhase area="23" type="equ" equ="21"))')

    # (destination, its channels, copy arguments); the first copy fits.
    cases = [("same.mx", {}, "0"), ("b4.mx", {"block": 4}, "0"), ("b6.mx", {"block": 6}, "0"),
             ("d2.mx", {"divide": 2}, "0"), ("hem.mx", {"hem": ' index_hem="on"'}, "0"),
             ("int.mx", {"types": ("int32_v", "rgb8_v")}, "0"),
             ("flag.mx", {"types": ("rgb8_v", "int32_v")}, '"MF_FILE"'), ("one.mx", {"types": ("rgb8_v",)}, "1")]
    points = [(37, 5), (63, 47)]
    forms = [matrix("s.mx"), '(qmxImportPNM id="1" "p.ppm" 0 0 0 0)', '(qmxImportPNM id="1" "p.ppm" 1 0 0 0)']
    for i, (name, shape, what) in enumerate(cases, 2):
        forms += [matrix(name, **shape), f'(qmxCopy src="1" dest="{i}" {what})']
        forms += [f'(qmxGetPoint "{name}" (List 0 {x} {y}))' for x, y in points]
    v = values(forms)
    expect("source filled", v[1:3], [[], []])
    word = lambda x, y: (int(picture[y, x, 0]) << 24) | (int(picture[y, x, 1]) << 16) | (int(picture[y, x, 2]) << 8)
    for i, (name, shape, _) in enumerate(cases):
        copy, reads = v[4 + i * 4], v[5 + i * 4:7 + i * 4]
        if i == 0:
            expect("the copy that fits", (copy, reads), ([], [[[0, word(x, y)], [1, 7]] for x, y in points]))
            continue
        expect(f"refused copy into {name}", is_error(copy, PARAM, "qmxCopy", ["invalida parameter", -126]), True)
        expect(f"nothing copied into {name}", reads, [[[c, 7] for c in range(len(shape.get("types", "ab")))]] * 2)


def group_cache():
    limits = [("10000", 2), ("0", 0), ("4095", 0), ("8796093022207", 2**31 - 1)]
    forms = []
    for size, _ in limits:
        forms += [f'(qmxCache size="{size}")', "(TestCachePages)"]
    forms += ['(qmxCache size="-10000")', '(qmxCache size="8796093022208")', "(qmxCache)", "(TestCachePages)"]
    v = values(forms, FILL)
    for i, (size, pages) in enumerate(limits):
        expect(f"size {size}", v[2 * i:2 * i + 2], [[], pages])
    for i in range(3):
        expect(f"refused size {i}", is_error(v[8 + i], PARAM, "qmxCache"), True)
    expect("a refusal keeps the limit", v[11], 2**31 - 1)
    # The pyramid written under a two-page cache, the direct mode and a
    # large cache: the same bytes. Equal save priorities keep the saves in
    # the order they were fired, so two runs write records in one order.
    files = []
    for size in ("8192", "0", "1073741824"):
        name = f"cache{size}.mx"
        v = values([f'(qmxCache size="{size}")'] + pyramid_script(name, "pre"), FILL)
        expect(f"cache {size}: scan", v[3], 0)
        validate(name)
        files.append(os.path.join(WORK, name))
    for other in files[1:]:
        if subprocess.run(["cmp", "-s", files[0], other]).returncode != 0:
            fail(f"{os.path.basename(other)} differs from {os.path.basename(files[0])}")


GROUPS = {"roundtrip": group_roundtrip, "restricted": group_restricted, "scan": group_scan, "copy": group_copy,
          "copy_shapes": group_copy_shapes, "cache": group_cache}

try:
    GROUPS[GROUP]()
finally:
    shutil.rmtree(WORK, ignore_errors=True)
if FAILS:
    sys.exit(1)
print(f"all {GROUP} cases passed")
