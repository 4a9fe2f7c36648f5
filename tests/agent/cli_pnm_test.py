#!/usr/bin/python3
"""End-to-end tests of the PNM import, export and status commands and of
the point reads, run through the qnmx binary.

cli_pnm_test.py <qnmx binary> <group>

Images are made by netpbm and ImageMagick; exports are compared with cmp
against the tools' own conversions and cuts, with ImageMagick's compare,
and with numpy models; the stored form of node data is decoded here from
its description (big-endian vector header, extents, elements).
"""
import os
import random
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from qmx_cli import error_of, pyramid, rgb_word, value  # noqa: E402

QNMX = os.path.realpath(sys.argv[1])
GROUP = sys.argv[2]
WORK = tempfile.mkdtemp(prefix="qnmx_pnm_")
FAILS = []

# Nodes missing from the file are made only while a writing command runs
# ("create-node" is unbound in a process that has run none).
FETCH = ('(mxFinish normal-jump-status="MS_OK" err-jump-status="MS_LOADING_ERR_1") '
         '(if (equal (GE (ErrHandler create-node) 6) "enable") (mxLoad target="file-n-create") (mxLoad target="file"))')
SAVE = "(mxSave)"
THIN = '(mxSet 0 (mxThinnedOut type="average" channel="0" (mxCH type="children" 0))) (mxSave)'


def fail(what):
    FAILS.append(what)
    print("FAIL", what)


def expect(name, got, want):
    if got != want:
        fail(f"{name}: got {got!r}, want {want!r}")


def tool(name):
    for path in ("/usr/bin/" + name, shutil.which(name)):
        if path and os.access(path, os.X_OK):
            return path
    raise SystemExit(f"outside tool {name} is missing: run scripts/setup.sh")


def sh(*args, out=None, inp=None):
    """Runs an outside tool in WORK, reading the file inp, writing the file out."""
    args = [tool(args[0]), *args[1:]]
    with open(path(out) if out else os.devnull, "wb") as f, open(path(inp) if inp else os.devnull, "rb") as i:
        subprocess.run(args, check=True, cwd=WORK, stdout=f, stdin=i)


def path(name):
    return os.path.join(WORK, name)


def run(forms, env=None, timeout=300):
    """Runs the forms as one script: (replies by form number, stderr)."""
    with open(path("s.zu"), "w") as f:
        f.write("\n".join(forms) + "\n")
    e = {k: v for k, v in os.environ.items() if k not in ("ZUPATH", "QNMX_TRACE")}
    e.update(HOME=path("home"), STD_CODE="UTF-8", **(env or {}))
    os.makedirs(e["HOME"], exist_ok=True)
    r = subprocess.run([QNMX, "s.zu", "out.txt"], cwd=WORK, env=e, capture_output=True, timeout=timeout)
    with open(path("out.txt"), encoding="utf-8") as f:
        text = f.read()
    if r.returncode != 0:
        fail(f"qnmx exited {r.returncode}: {r.stderr[-400:]!r}")
    replies = dict((int(n), v) for n, v in re.findall(r"<Result> (\d+) (.*?)</Result>\n", text, re.S))
    return [replies.get(i + 1) for i in range(len(forms))], r.stderr.decode(errors="replace")


def expect_error(name, reply, code, data=None):
    e = error_of(reply)
    if not e or e[0] != code or (data is not None and e[2] != data):
        fail(f"{name}: got {reply!r}, want error {code:#x} {data!r}")


def read_pnm(name):
    """(magic, pixels as an array of rows x columns [x 3]) of a binary P5/P6."""
    with open(path(name), "rb") as f:
        b = f.read()
    fields, i = [], 0
    while len(fields) < 4:
        while b[i:i + 1].isspace():
            i += 1
        if b[i:i + 1] == b"#":
            i = b.index(b"\n", i)
            continue
        j = i
        while not b[j:j + 1].isspace():
            j += 1
        fields.append(b[i:j].decode())
        i = j
    w, h = int(fields[1]), int(fields[2])
    data = np.frombuffer(b[i + 1:], np.uint8)
    return fields[0], data.reshape(h, w, 3) if fields[0] == "P6" else data.reshape(h, w)


def write_ppm(name, rgb):
    with open(path(name), "wb") as f:
        f.write(b"P6\n%d %d\n255\n" % (rgb.shape[1], rgb.shape[0]) + rgb.astype(np.uint8).tobytes())


def create(name, w, h, channels=(("rgb8_v", "255"),), save_up=SAVE, mode="direct"):
    """A qmxCreate form of a 2-D matrix in 256 x 256 nodes halving per level."""
    body = [f'(qmxMatrixParam channel_nos="{len(channels)}" dim="2")']
    for d, v in enumerate((w, h)):
        body.append(f'(qmxMatrixPixelSize dim="{d}" value="{v}") (qmxMatrixBlockSize dim="{d}" value="8") '
                    f'(qmxMatrixDimDivide dim="{d}" value="1")')
    body += [f'(qmxChannelInfo channel="{i}" type="{t}" file="on" {dflt})' for i, (t, dflt) in enumerate(channels)]
    body += [f'(qmxPhase area="3" {FETCH}) (qmxPhase area="4" type="equ" equ="3") (qmxPhase area="5" type="equ" equ="3")',
             f'(qmxPhase area="21" {save_up}) (qmxPhase area="22" type="equ" equ="21") (qmxPhase area="23" {SAVE})']
    return f'(qmxCreate filename="{name}" activePhase_mode="{mode}" ' + " ".join(body) + ")"


def cmp(a, b):
    return subprocess.run(["cmp", "-s", path(a), path(b)]).returncode == 0


def pamfile(name):
    return subprocess.run([tool("pamfile"), path(name)], capture_output=True, text=True).stdout.split(":", 1)[-1]


# ---------------------------------------------------------------------------


def group_roundtrip():
    sh("ppmpat", "-g2", "1000", "600", out="g.ppm")
    sh("convert", "rose:", "ppm:rose.ppm")
    sh("pgmramp", "-lr", "300", "200", out="ramp.pgm")
    sh("pgmtoppm", "white", "ramp.pgm", out="ramp.ppm")
    cuts = [(0, 0, 17, 9), (150, 200, 300, 120), (255, 1, 3, 599), (999, 599, 1, 1)]
    forms = [create("r.mx", 2048, 1024),
             '(qmxImportPNM id="1" "g.ppm" 0 0 100 37)',
             '(qmxExportPNM id="1" "g.out" 0 0 100 37 1000 600)',
             '(qmxImportPNM id="1" "rose.ppm" 0 0 1300 700.9)',
             '(qmxExportPNM id="1" "rose.out" 0 0 1300 700 70 46)',
             '(qmxImportPNM id="1" "ramp.pgm" 0 0 1500 -0.5)',
             '(qmxExportPNM id="1" "ramp.out" 0 0 1500 0 300 200)',
             '(qmxExportPNM id="1" "empty.out" 0 0 1200 800 40 30)',
             '(qmxExportPNM id="1" "all.out" 0 0)',
             '(qmxExportPNM id="1" "l2.out" 0 2 0 0 1000 600)']
    forms += [f'(qmxExportPNM id="1" "cut{i}.out" 0 0 {100 + x} {37 + y} {w} {h})' for i, (x, y, w, h) in enumerate(cuts)]
    # The export of the empty region made no node there.
    forms += ['(qmxGetPoint mode="node" "r.mx" (List 0 1200 800))']
    replies, err = run(forms)
    expect("imports and exports", replies[1:-1], ["()"] * (len(forms) - 2))
    expect_error("no node made by an export", replies[-1], 0x80040501,
                 '("invalid object in channel of NODE" "others" (-101 (0 1024 768)))')
    for src, out in (("g.ppm", "g.out"), ("rose.ppm", "rose.out"), ("ramp.ppm", "ramp.out")):
        if not cmp(src, out):
            fail(f"{out} differs from {src}")
    for i, (x, y, w, h) in enumerate(cuts):
        sh("pamcut", "-left", str(x), "-top", str(y), "-width", str(w), "-height", str(h), "g.ppm", out=f"cut{i}.ppm")
        if not cmp(f"cut{i}.ppm", f"cut{i}.out"):
            fail(f"cut {i} differs from pamcut")
    expect("empty region header", pamfile("empty.out").split(), ["PPM", "raw,", "40", "by", "30", "maxval", "255"])
    expect("empty region white", set(read_pnm("empty.out")[1].flatten()), {255})
    expect("level 2 header", pamfile("l2.out").split()[2:5], ["250", "by", "150"])
    # The whole matrix: white where nothing was imported (the channel's
    # default has a non-zero marker).
    model = np.full((1024, 2048, 3), 255, np.uint8)
    model[37:637, 100:1100] = read_pnm("g.ppm")[1]
    model[700:746, 1300:1370] = read_pnm("rose.ppm")[1]
    model[0:200, 1500:1800] = read_pnm("ramp.ppm")[1]
    if not np.array_equal(read_pnm("all.out")[1], model):
        fail("whole-matrix export differs from the model")
    if os.stat(path("all.out")).st_mode & 0o777 != 0o644:
        fail(f"export mode {os.stat(path('all.out')).st_mode & 0o777:o}")
    if "h = " in err:
        fail("per-row trace without QNMX_TRACE")
    # Traces on standard error only, per-row ones only under QNMX_TRACE.
    replies, err = run([create("t.mx", 512, 512), '(qmxImportPNM id="1" "rose.ppm" 0 0 0 0)'], env={"QNMX_TRACE": "1"})
    expect("traced rows", re.findall(r"^h = (\d+)/46   $", err, re.M), [str(h) for h in range(46)])
    expect("TRANSPARENT line", "TRANSPARENT = ffffffff" in err, True)


def group_transparency():
    sh("ppmpat", "-madras", "400", "300", out="base.ppm")
    rng = np.random.default_rng(7)
    over = rng.integers(0, 256, (120, 200, 3), dtype=np.uint8)
    over[rng.random((120, 200)) < 0.3] = (255, 0, 0)
    write_ppm("over.ppm", over)
    sh("convert", "base.ppm", "(", "over.ppm", "-transparent", "#FF0000", ")", "-geometry", "+50+23", "-composite",
       "ppm:want.ppm")
    forms = [create("t.mx", 512, 512)]
    for i, colour in enumerate(("0xFF0000", "16711680", "077600000")):
        forms += [f'(qmxImportPNM id="1" "base.ppm" 0 0 10 10)',
                  f'(qmxImportPNM id="1" transparent="{colour}" "over.ppm" 0 0 60 33)',
                  f'(qmxExportPNM id="1" "got{i}.ppm" 0 0 10 10 400 300)']
    # A grey image whose 128s are transparent, over colour.
    grey = np.tile(np.arange(0, 256, 2, dtype=np.uint8), (20, 1))
    with open(path("grey.pgm"), "wb") as f:
        f.write(b"P5\n128 20\n255\n" + grey.tobytes())
    forms += ['(qmxImportPNM id="1" transparent="0x808080" "grey.pgm" 0 0 10 10)',
              '(qmxExportPNM id="1" "grey.out" 0 0 10 10 128 20)']
    replies, err = run(forms)
    for i in range(3):
        r = subprocess.run([tool("compare"), "-metric", "AE", path(f"got{i}.ppm"), path("want.ppm"), "null:"],
                           capture_output=True, text=True)
        expect(f"pixels differing from the composite ({i})", r.stderr.strip(), "0")
    expect("TRANSPARENT lines", re.findall(r"TRANSPARENT = (\w+)", err),
           ["ffffffff", "ff000000"] * 3 + ["80808000"])
    want = np.repeat(grey[:, :, None], 3, axis=2)
    want[grey == 128] = read_pnm("base.ppm")[1][0:20, 0:128][grey == 128]
    expect("grey transparency", np.array_equal(read_pnm("grey.out")[1], want), True)


def group_formats():
    sh("ppmpat", "-g2", "64", "48", out="p6.ppm")
    sh("ppmtopgm", "p6.ppm", out="p5.pgm")
    sh("pbmmake", "-black", "33", "7", out="p4.pbm")
    sh("pnmtoplainpnm", "p6.ppm", out="p3.ppm")
    sh("pamdepth", "65535", "p6.ppm", out="p16.ppm")
    sh("pamtopam", inp="p6.ppm", out="p7.pam")
    pixels = bytes(range(6))
    for name, header in (("comment.pgm", b"P5\n# made by hand\n3 2\n# maximum\n255\n"),
                         ("tabs.pgm", b"P5\t3\t2\t200\t"), ("crlf.pgm", b"P5\r\n3 2\r\n255\r")):
        with open(path(name), "wb") as f:
            f.write(header + pixels)
    with open(path("huge.ppm"), "wb") as f:
        f.write(b"P6\n20000 20000\n255\n" + bytes(99))
    with open(path("junk.ppm"), "wb") as f:
        f.write(b"P6\nwide high\n255\n")
    statused = ["p6.ppm", "p5.pgm", "p4.pbm", "comment.pgm", "tabs.pgm", "crlf.pgm"]
    refused = ["p4.pbm", "p3.ppm", "p16.ppm", "p7.pam", "junk.ppm"]
    forms = [f'(qmxPNMStatus "{n}")' for n in statused] + ['(qmxPNMStatus "junk.ppm")', '(qmxPNMStatus "none.ppm")',
                                                          '(qmxPNMStatus 5)']
    forms += [create("f.mx", 512, 512), '(qmxImportPNM id="1" "p6.ppm" 0 0 0 0)',
              '(qmxExportPNM id="1" "before.ppm" 0 0 0 0 64 48)']
    forms += [f'(qmxImportPNM id="1" "{n}" 0 0 0 0)' for n in refused]
    forms += ['(qmxImportPNM id="1" "huge.ppm" 0 0 0 0)', '(qmxExportPNM id="1" "after.ppm" 0 0 0 0 64 48)']
    replies, err = run(forms)
    for i, n in enumerate(statused):
        m = re.match(r"\s*P([BGP])M raw, (\d+) by (\d+)(?:\s+maxval (\d+))?", pamfile(n))
        magic = {"B": "P4", "G": "P5", "P": "P6"}[m.group(1)]
        expect(f"qmxPNMStatus {n}", value(replies[i]),
               ["qmxPNMStatus", magic, int(m.group(2)), int(m.group(3)), int(m.group(4) or 1)])
    k = len(statused)
    expect_error("unparsable header", replies[k], 0x80040503, f'("invalid PNM header" "junk.ppm")')
    expect_error("missing file", replies[k + 1], 0x80040a06, '("cannot open the file" "none.ppm")')
    expect_error("not a string", replies[k + 2], 0x80030806, "()")
    k += 6
    for i, (n, magic) in enumerate(zip(refused, ["P4", "P3", "P6\" \"samples of 2 bytes", "P7", "P6"])):
        expect_error(f"import of {n}", replies[k + i], 0x80040503, f'("unsupported PNM format" "{magic}")')
    expect_error("over 2^28 pixels", replies[k + len(refused)], 0x80040503, '("invalida parameter" "size")')
    expect("the P4 message", err.count("not support the  format P4\n"), 1)
    if not cmp("before.ppm", "after.ppm") or not cmp("before.ppm", "p6.ppm"):
        fail("a refused import changed the matrix")
    # A file cut inside a row: the whole rows before it are written.
    with open(path("p6.ppm"), "rb") as f:
        whole = f.read()
    header = len(whole) - 64 * 48 * 3
    with open(path("cut.ppm"), "wb") as f:
        f.write(whole[:header + 64 * 3 * 30 + 7])
    replies, _ = run([create("c.mx", 512, 512), '(qmxImportPNM id="1" "cut.ppm" 0 0 0 0)',
                      '(qmxExportPNM id="1" "cut.out" 0 0 0 0 64 30)', '(qmxExportPNM id="1" "row.out" 0 0 0 30 64 1)'])
    expect_error("short file", replies[1], 0x80010101, '("cannot read the file" "cut.ppm")')
    expect("rows before the cut", np.array_equal(read_pnm("cut.out")[1], read_pnm("p6.ppm")[1][:30]), True)
    expect("the cut row", set(read_pnm("row.out")[1].flatten()), {255})


def group_refusals():
    sh("ppmpat", "-g2", "8", "8", out="s.ppm")
    forms = [create("a.mx", 512, 512, channels=(("rgb8_v", "255"), ("uint8_v", "1"), ("rgb8", "0"))),
             '(qmxCreate filename="d3.mx" (qmxMatrixParam channel_nos="1" dim="3") ' + " ".join(
                 f'(qmxMatrixPixelSize dim="{d}" value="64") (qmxMatrixBlockSize dim="{d}" value="4") '
                 f'(qmxMatrixDimDivide dim="{d}" value="1")' for d in range(3)) + ' (qmxChannelInfo channel="0" type="rgb8_v"))',
             '(qmxImportPNM "s.ppm" 0 0 0 0)', '(qmxImportPNM id="9" "s.ppm" 0 0 0 0)',
             '(qmxImportPNM id="1" 5 0 0 0 0)', '(qmxImportPNM id="1" "s.ppm" 0.5 0 0 0)',
             '(qmxImportPNM id="1" "s.ppm" 0 0 "x" 0)', '(qmxImportPNM id="1" "s.ppm" 1 0 0 0)',
             '(qmxImportPNM id="1" "s.ppm" 2 0 0 0)', '(qmxImportPNM id="2" "s.ppm" 0 0 0 0)',
             '(qmxImportPNM id="1" "s.ppm" 0 60 0 0)', '(qmxImportPNM id="1" "none.ppm" 0 0 0 0)',
             '(qmxImportPNM id="1" "s.ppm" 7 0 0 0)',
             '(qmxExportPNM id="1" "x.ppm" 0 0 0)', '(qmxExportPNM id="1" "x.ppm" 0 0 0 0 5)',
             '(qmxExportPNM id="1" "x.ppm" 0 0 0 0 1 (List))', '(qmxExportPNM "x.ppm" 0 0)',
             '(qmxExportPNM id="1" "x.ppm" 0 1 0 0 1 1)', '(qmxExportPNM id="1" "/dev/full" 0 0)',
             '(qmxExportPNM id="1" "nodir/x.ppm" 0 0)', '(qmxExportPNM id="1" "seven.ppm" 7 0 0 0 8 8)',
             '(qmxExportPNM id="1" "x.ppm" 0 1.5)',
             # A level past 32 bits names no level (it once lost its high bits).
             '(qmxImportPNM id="1" "s.ppm" 0 4294967296 0 0)', '(qmxExportPNM id="1" "x.ppm" 0 4294967296)']
    replies, _ = run(forms)
    idp = '("invalida parameter (attribute id)")'
    want = [(0x80040503, idp), (0x80040503, idp), (0x80030806, "()"), (0x80030806, "()"), (0x80030806, "()"),
            (0x80040503, '("invalida parameter" "channel type")'), (0x80040503, '("invalida parameter" "channel type")'),
            (0x80040503, '("invalida parameter" "dim")'), (0x80040503, '("invalida parameter" "level")'),
            (0x80040a06, '("cannot open the file" "none.ppm")'), (0x80040503, '("invalida parameter" "channel")'),
            (0x80040503, idp), (0x80040503, idp), (0x80030806, "()"), (0x80040503, idp),
            (0x80040503, '("invalida parameter" "size")'), (0x80040a06, '("cannot access the file" "/dev/full" "No space left on device")'),
            (0x80040a06, '("cannot open the file" "nodir/x.ppm" "No such file or directory")'), None, (0x80030806, "()"),
            (0x80040503, '("invalida parameter" "level")'), (0x80040503, '("invalida parameter" "level")')]
    for i, w in enumerate(want):
        if w is None:
            expect(forms[i + 2], replies[i + 2], "()")
        else:
            expect_error(forms[i + 2], replies[i + 2], *w)
    expect("a channel that names none exports white", set(read_pnm("seven.ppm")[1].flatten()), {255})
    expect("refused exports made no file", os.path.exists(path("x.ppm")), False)


def group_points():
    sh("ppmpat", "-g2", "1000", "600", out="g.ppm")
    src = read_pnm("g.ppm")[1]
    rng = random.Random(3)
    pts = [(rng.randrange(1000), rng.randrange(600)) for _ in range(200)]
    plist = "(List " + " ".join(f"(List 0 {100 + x} {37 + y})" for x, y in pts) + ")"
    forms = [create("p.mx", 2048, 1024, channels=(("rgb8_v", "255"), ("uint8_v", "200"), ("double_v", "1.5"))),
             '(qmxImportPNM id="1" "g.ppm" 0 0 100 37)', f'(qmxGetPoint "p.mx" {plist})',
             '(qmxGetPoint "p.mx" (List 0 300 300 4 5))',
             '(qmxGetPoint mode="block" channel="0" "p.mx" (List 0 300 300))',
             '(Save option="raw" oflag="creat:trunc" "block.bin" (cdr (cdr (qmxGetPoint mode="block" channel="0" "p.mx" (List 0 300 300)))))',
             '(qmxGetPoint mode="node" "p.mx" (List 1 600 600))', '(qmxGetPoint mode="node" "p.mx" (List 3 0 0))',
             '(qmxGetPoint mode="node" "p.mx" (List (List 0 1 1) (List 0 300 300)))',
             '(qmxGetPoint "p.mx" (List 0 300 300 4))', '(qmxGetPoint "p.mx" (List 0 5000 1))',
             '(qmxGetPoint mode="block" "p.mx" (List 0 1 1))', '(qmxGetPoint mode="other" "p.mx" (List 0 1 1))',
             '(qmxGetPoint path-type="relative" "p.mx" (List 0 1 1))', '(qmxGetPoint "none.mx" (List 0 1 1))',
             '(qmxGetPoint "p.mx" 5)', '(qmxGetPoint "p.mx" (List "x"))',
             '(Eval Env0 (quote (qmxGetPoint "p.mx" (List 0 1 1))))',
             '(Eval Env0 (quote (qmxGetPoint path-type="absolute" "p.mx" (List 0 1 1))))',
             '(qmxGetPoint mode="block" channel="7" "p.mx" (List 0 1 1))']
    replies, err = run(forms)
    got = value(replies[2])
    expect("point values", got, [[[0, rgb_word(src[y, x])], [1, 200], [2, "1.500000"]] for x, y in pts])
    expect("offsets inside the node", value(replies[3])[0], [0, rgb_word(src[305 - 37, 304 - 100])])
    m = re.match(r"\(\[data id=\"1\"\] \(0 256 256\) ", replies[4] or "")
    expect("block head", bool(m), True)
    # The stored form: header length, type, dim, extents, big-endian words.
    with open(path("block.bin"), "rb") as f:
        b = f.read()
    h, code, dim = struct.unpack(">bBh", b[:4])
    ext = struct.unpack(">%dI" % dim, b[4:4 + 4 * dim])
    expect("stored header", (code, dim, ext), (28, 2, (256, 256)))
    words = np.frombuffer(b[h:], ">u4").reshape(256, 256)
    model = np.full((256, 256), 255, np.uint64)
    region = src[256 - 37:512 - 37, 256 - 100:512 - 100].astype(np.uint64)
    model[:, :] = (region[:, :, 0] << 24) | (region[:, :, 1] << 16) | (region[:, :, 2] << 8)
    expect("stored words", np.array_equal(words.astype(np.uint64), model), True)
    # Children of (1 512 512): the level-0 nodes the image touches.
    node = value(replies[6])
    # A node made on the way down holds data of the first channel only.
    expect("node channels", node[0], [[2, 27, "empty"], [1, 22, "empty"], [0, 28, "exist"]])
    kids = sorted(map(tuple, node[1][1]))
    expect("children", kids, [(0, x, y) for x in (512, 768) for y in (512,)])
    expect("children kind", node[1][0], "bitFieldType")
    expect("top children", value(replies[7])[1][1], [[2, 0, 0], [2, 1024, 0]])
    level0 = [[[2, 27, "exist"], [1, 22, "exist"], [0, 28, "exist"]], ["bitFieldType", [], [0]]]
    expect("a list of node reads", value(replies[8]), [level0, level0])
    expect_error("three numbers and one", replies[9], 0x80040503, '"param"')
    expect_error("outside", replies[10], 0x80040501, '"object"')
    expect_error("no channel", replies[11], 0x80040503, '"attribute channel is required"')
    expect_error("mode", replies[12], 0x80040503, '"attribute::mode"')
    expect_error("path-type", replies[13], 0x80040503, '"attribute:path-type"')
    expect_error("no file", replies[14], 0x80040a06, "()")
    expect_error("not a list", replies[15], 0x80030806, "()")
    expect_error("not a point", replies[16], 0x80040503, '("read_point" ("x"))')
    expect_error("env0 without path-type", replies[17], 0x80040d10, '"file path"')
    expect_error("env0 absolute", replies[18], 0x80040d10, '"file path"')
    expect_error("channel out of range", replies[19], 0x80040503, '"invalid parameter in qmxGetPoint"')
    if "G " in err:
        fail("per-point trace without QNMX_TRACE")


def group_related():
    """Document paths: a rule of mode "lod" serves the two trees; a peer's
    (env0) read asks the access check, and a node that never settles is
    waited for a bounded number of times."""
    sh("ppmpat", "-g2", "300", "200", out="g.ppm")
    os.makedirs(path("db/zudocs/maps"))
    os.makedirs(path("db/zusys/maps"))
    setup = ['(SetThisAgentName "qnmx")', f'(SetDirectory url="/" "{path("db/")}")',
             '(SetPrefixMode zusys="precedence" ".mx" "qnmx" "lod" "Get")', '(SetPrefixMode ".raw" "qnmx" "raw" "Get")']
    make = [create(path("db/zusys/maps/s.mx"), 512, 512, mode="server"), '(qmxImportPNM id="1" "g.ppm" 0 0 0 0)',
            create(path("db/zudocs/maps/n.mx"), 512, 512, mode="direct"), '(qmxImportPNM id="2" "g.ppm" 0 0 0 0)']
    run(make)
    src = read_pnm("g.ppm")[1]
    reads = ['(qmxGetPoint path-type="related" "/maps/s.mx" (List 0 10 20))',
             '(Eval Env0 (quote (qmxGetPoint path-type="related" "/maps/s.mx" (List 0 10 20))))',
             '(qmxGetPoint path-type="related" "/maps/none.mx" (List 0 1 1))',
             '(qmxGetPoint path-type="related" "/maps/a.raw" (List 0 1 1))',
             '(qmxGetPoint path-type="related" mode="node" "/maps/n.mx" (List 0 0 0))']
    replies, _ = run(setup + reads, env={"QNMX_NODE_WAIT_TRIES": "2"})
    replies = replies[len(setup):]
    word = rgb_word(src[20, 10])
    expect("related read", value(replies[0]), [[0, word]])
    expect("peer related read", value(replies[1]), [[0, word]])
    expect_error("no candidate opens", replies[2], 0x80040a06, "()")
    expect_error("mode not lod", replies[3], 0x80040608, '"unsupport Get mode"')
    # n.mx holds no server scripts: its node never settles.
    expect_error("bounded wait", replies[4], 0x80040501, '("invalid object in channel of NODE" "others" (-103 (0 0 0)))')
    open(path("db/zudocs/.zuaccess"), "w").close()
    replies, _ = run(setup + reads[:2])
    expect("script read under .zuaccess", value(replies[len(setup)]), [[0, word]])
    expect_error("peer read under .zuaccess", replies[len(setup) + 1], 0x80040d10, "()")
    if error_of(replies[len(setup) + 1])[1] != "authentification (DENIED)":
        fail(f"denial: {replies[len(setup) + 1]!r}")


def group_persistence():
    sh("convert", "rose:", "ppm:rose.ppm")
    src = read_pnm("rose.ppm")[1]
    pts = [(0, 0), (69, 45), (33, 17), (5, 40)]
    plist = "(List " + " ".join(f"(List 0 {250 + x} {250 + y})" for x, y in pts) + ")"
    r1, _ = run([create("k.mx", 512, 512), '(qmxImportPNM id="1" "rose.ppm" 0 0 250 250)', f'(qmxGetPoint "k.mx" {plist})'])
    # The read opened the file as entry 1 of the second process.
    r2, _ = run([f'(qmxGetPoint "k.mx" {plist})', '(qmxExportPNM id="1" "rose.out" 0 0 250 250 70 46)'])
    want = [[[0, rgb_word(src[y, x])]] for x, y in pts]
    expect("points in the writing process", value(r1[2]), want)
    expect("points in a second process", value(r2[0]), want)
    expect("export in a second process", cmp("rose.ppm", "rose.out"), True)


def group_levels():
    """Coarser levels built by a scan of the save scripts, children before
    their parent, while the matrix is open (each coarser node the truncated
    2 x 2 mean of its children); exported after the matrix was closed."""
    sh("ppmpat", "-g2", "1024", "768", out="g.ppm")
    sh("gdal_translate", "-q", "-of", "GTiff", "-co", "TILED=YES", "-co", "BLOCKXSIZE=256", "-co", "BLOCKYSIZE=256",
       "g.ppm", "g.tif")
    sh("gdaladdo", "-q", "-r", "average", "g.tif", "2", "4", "8")
    replies, err = run([create("l.mx", 1024, 768, save_up=THIN), '(qmxImportPNM id="1" "g.ppm" 0 0 0 0)',
                        '(qmxScan id="1" area="21" call-dir="pre" (List 0 0 0) (List 0 1023 767))'])
    expect("import and scan", replies[1:], ["()", "0"])
    if "not saved" in err:
        fail(f"nodes left unsaved: {err[:300]!r}")
    replies, _ = run(['(qmxCreate filename="l.mx" currentPhase_mode="direct")'] +
                     [f'(qmxExportPNM id="1" "l{k}.ppm" 0 {k})' for k in (1, 2, 3)])
    level = read_pnm("g.ppm")[1].astype(np.int64)
    for k in (1, 2, 3):
        level = (level[0::2, 0::2] + level[1::2, 0::2] + level[0::2, 1::2] + level[1::2, 1::2]) // 4
        got = read_pnm(f"l{k}.ppm")[1].astype(np.int64)
        expect(f"level {k} against the model", np.array_equal(got, level), True)
        sh("gdal_translate", "-q", "-ovr", str(k - 1), "-of", "PNM", "g.tif", f"gdal{k}.ppm")
        # GDAL rounds its means where the scripts truncate (on busier
        # images the two drift apart by up to a unit per level).
        off = int(np.abs(got - read_pnm(f"gdal{k}.ppm")[1].astype(np.int64)).max())
        if off > 1:
            fail(f"level {k} differs from GDAL's overview by {off}")


def group_closing_levels():
    """Closing makes every coarser node over what an import wrote, up to the
    top, each from its children, with no scan: every level equals the
    truncated 2 x 2 mean, whether the node cache held the nodes or let most
    of them go under a small budget (what closing leaves must not depend on
    it), and after a scan as well; nothing is reported lost."""
    side = 1024
    rgb = np.random.default_rng(20).integers(0, 256, (side, side, 3), dtype=np.uint8)
    write_ppm("g.ppm", rgb)
    model = pyramid(np, rgb, side.bit_length() - 1)
    scan = f'(qmxScan id="1" area="21" call-dir="pre" (List 0 0 0) (List 0 {side - 1} {side - 1}))'
    # (what, node side in bits, forms before the matrix, forms after the
    # import). A scan's saves of coarser nodes whose children had no data
    # yet were reported lost, though the scan made them right afterwards.
    cases = [("nodes of 256", 8, [], []), ("nodes of 16 past the cache budget", 4, ['(qmxCache size="100000")'], []),
             ("nodes of 32 past the cache budget, scanned", 5, ['(qmxCache size="2200000")'], [scan])]
    for what, bits, before, after in cases:
        if os.path.exists(path("c.mx")):
            os.remove(path("c.mx"))
        made = create("c.mx", side, side, save_up=THIN).replace('value="8"', f'value="{bits}"')
        replies, err = run(before + [made, '(qmxImportPNM id="1" "g.ppm" 0 0 0 0)'] + after)
        expect(f"{what}: written", [r for r in replies if r not in ("()", "1", "0")], [])
        expect(f"{what}: nothing reported lost", [e for e in err.splitlines() if "not saved" in e], [])
        run(['(qmxCreate filename="c.mx" currentPhase_mode="direct")'] +
            [f'(qmxExportPNM id="1" "c{k}.ppm" 0 {k})' for k in range(1, len(model) + 1)])
        for k, want in enumerate(model, 1):
            expect(f"{what}: level {k} against the model", np.array_equal(read_pnm(f"c{k}.ppm")[1], want), True)
    # A copy from a matrix of fewer levels: closing builds the levels above
    # the source's top from the copied nodes as it does after an import of
    # the same picture (the copied top node was once reached from no node).
    write_ppm("s.ppm", rgb[:48, :64])
    small = create("s.mx", 64, 48, save_up=THIN).replace('value="8"', 'value="5"')
    wide = create("w.mx", side, side, save_up=THIN).replace('value="8"', 'value="5"')
    run([small, '(qmxImportPNM id="1" "s.ppm" 0 0 0 0)', wide.replace("w.mx", "i.mx"),
         '(qmxImportPNM id="2" "s.ppm" 0 0 0 0)'])
    replies, err = run(['(qmxCreate filename="s.mx" currentPhase_mode="direct")', wide, '(qmxCopy src="1" dest="2" 0)'])
    expect("copied, nothing reported lost", (replies[2], [e for e in err.splitlines() if "not saved" in e]), ("()", []))
    reads = [f'(qmxGetPoint "{name}" (List {k} {x} {y}))' for name in ("w.mx", "i.mx") for k in range(11)
             for x, y in ((0, 0), (40, 30))]
    replies, _ = run(reads)
    expect("every level as after an import", replies[:len(reads) // 2], replies[len(reads) // 2:])


def group_walk_levels():
    """Between an import and the close: nothing, a scan of the whole area or
    of a corner, a copy from the matrix, an export of level 2; at sizes whose
    edge nodes are whole or partial. Every close answers (), and every level
    after reopening (and the export) equals the model."""
    rng, rows, forms, ids = np.random.default_rng(72), [], [], iter(range(1, 99))
    for w, h in ((256, 256), (300, 300), (100, 70)):
        write_ppm(f"p{w}.ppm", rng.integers(0, 256, (h, w, 3), dtype=np.uint8))
        made = lambda name: create(name, w, h, save_up=THIN).replace('value="8"', 'value="4"')  # noqa: E731
        scan = '(qmxScan id="{a}" area="21" call-dir="pre" (List 0 0 0) (List 0 %d %d))'
        for what, step in {"nothing": [], "full scan": [scan % (w - 1, h - 1)], "partial scan": [scan % (31, 31)],
                           "copy": [made("c{b}.mx"), '(qmxCopy src="{a}" dest="{b}" (List 0))', '(qmxClose id="{b}")'],
                           "export": ['(qmxExportPNM id="{a}" "e{a}.ppm" 0 2)']}.items():
            a = next(ids)
            b = next(ids) if what == "copy" else 0
            forms += [made(f"r{a}.mx"), f'(qmxImportPNM id="{a}" "p{w}.ppm" 0 0 0 0)']
            forms += [f.format(a=a, b=b) for f in step] + [f'(qmxClose id="{a}")']
            rows.append((f"{w}x{h}, {what}", w, h, a, len(forms) - 1))
    replies, _ = run(forms)
    expect("closes", [r[0] for r in rows if replies[r[4]] != "()"], [])
    forms = []
    for n, (_, w, h, a, _) in enumerate(rows, 1):
        forms.append(f'(qmxCreate filename="r{a}.mx" currentPhase_mode="direct")')
        forms += [f'(qmxExportPNM id="{n}" "l{a}_{k}.ppm" 0 {k})' for k in range(1, min(w, h).bit_length())]
    run(forms)
    for what, w, h, a, _ in rows:
        model = pyramid(np, read_pnm(f"p{w}.ppm")[1], min(w, h).bit_length() - 1)
        got = [(k, f"l{a}_{k}.ppm") for k in range(1, len(model) + 1)] + [(2, f"e{a}.ppm")] * what.endswith("export")
        wrong = [name for k, name in got if not np.array_equal(read_pnm(name)[1], model[k - 1][:h >> k, :w >> k])]
        expect(f"{what}: unlike the model", wrong, [])


def group_reopen():
    """A fetch script that reads "create-node" works in a process that wrote
    nothing; a matrix reopened with no script that makes its nodes ready
    answers every node command with an error at once, its file unchanged;
    an import into nodes whose fetch fails answers the failure."""
    sh("convert", "rose:", "ppm:rose.ppm")
    plain = FETCH.replace("(GE (ErrHandler create-node) 6)", "create-node")
    run([create("k.mx", 512, 512).replace(FETCH, plain), '(qmxImportPNM id="1" "rose.ppm" 0 0 0 0)'])
    replies, _ = run(['(qmxGetPoint "k.mx" (List 0 10 20))'])
    expect("read in a process that wrote nothing", value(replies[0]), [[0, rgb_word(read_pnm("rose.ppm")[1][20, 10])]])
    with open(path("k.mx"), "rb") as f:
        before = f.read()
    node = '("invalid object in channel of NODE" "others" (-103 (0 0 0)))'
    cases = [('(qmxGetPoint "k.mx" (List 0 10 20))', '"object"'), ('(qmxExportPNM id="1" "k.out" 0 0 0 0 30 20)', node),
             ('(qmxImportPNM id="1" "rose.ppm" 0 0 0 0)', node), ('(qmxGetPoint mode="node" "k.mx" (List 0 10 20))', node)]
    replies, err = run(['(qmxCreate filename="k.mx")'] + [c[0] for c in cases], timeout=120)
    for (form, data), reply in zip(cases, replies[1:]):
        expect_error(form, reply, 0x80040501, data)
    with open(path("k.mx"), "rb") as f:
        expect("file unchanged, nothing reported lost", (f.read() == before, "not saved" in err), (True, False))
    # A fetch script that cannot make a missing node: the import writes
    # nothing and says so (it once answered success).
    never = create("n.mx", 512, 512).replace(FETCH, FETCH.split(" (if ")[0] + ' (mxLoad target="file")')
    replies, _ = run([never, '(qmxImportPNM id="1" "rose.ppm" 0 0 0 0)'], timeout=120)
    expect_error("an import no node takes", replies[1], 0x80040501, node.replace("-103", "-102"))


def group_waits():
    """Waits for a slowly loading node end after QNMX_NODE_WAIT_TRIES seconds
    in the element reads too, and at an interrupt, which the read answers."""
    sh("convert", "rose:", "ppm:rose.ppm")
    run([create("w.mx", 512, 512), '(qmxImportPNM id="1" "rose.ppm" 0 0 0 0)'])
    slow = '(qmxCreate filename="w.mx" ' + " ".join(f'(qmxPhase area="{a}" (Sleep 4) {FETCH})' for a in (3, 4, 5)) + ")"
    read = '(qmxGetPoint "w.mx" (List 0 10 20))'
    replies, _ = run([slow, read, '(qmxExportPNM id="1" "w.out" 0 0 0 0 30 20)'], env={"QNMX_NODE_WAIT_TRIES": "1"})
    expect_error("point read past the bound", replies[1], 0x80040501, '"object"')
    expect_error("export past the bound", replies[2], 0x80040501,
                 '("invalid object in channel of NODE" "others" (-103 (0 0 0)))')
    with open(path("s.zu"), "w") as f:
        f.write(f"{slow}\n{read}\n")
    e = {k: v for k, v in os.environ.items() if k not in ("ZUPATH", "QNMX_TRACE")}
    p = subprocess.Popen([QNMX, "s.zu", "out.txt"], cwd=WORK, env=dict(e, HOME=path("home"), STD_CODE="UTF-8"),
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    def replies():
        return open(path("out.txt"), encoding="utf-8").read() if os.path.exists(path("out.txt")) else ""

    while "<Result> 1 " not in replies() and p.poll() is None:  # reopened: the read waits now
        time.sleep(0.05)
    time.sleep(0.5)
    p.send_signal(signal.SIGINT)
    out, _ = p.communicate(timeout=60)
    expect("interrupted", (p.returncode, b"Interrupted" in out), (1, True))
    expect_error("interrupted read", dict(re.findall(r"<Result> (\d+) (.*?)</Result>", replies())).get("2"),
                 0x80040501, '"object"')


def group_reads_change_nothing():
    """Reading a channel a node does not hold answers its default and leaves
    the node and the file as they were: a picture over part of the matrix,
    a channel kept in memory only, reads at several levels before and after
    a close (the matrix then open for reading by name) and in another
    process."""
    sh("convert", "rose:", "ppm:rose.ppm")
    two = (("rgb8_v", "255"), ("uint8_v", "7"))
    made = create("r.mx", 1024, 1024, channels=two, save_up=THIN).replace(
        'value="8"', 'value="6"').replace('channel="1" type="uint8_v" file="on"', 'channel="1" type="uint8_v"')
    scan = '(qmxScan id="1" area="21" call-dir="pre" (List 0 0 0) (List 0 1023 1023))'
    reads = ['(qmxGetPoint "r.mx" (List 0 10 20))', '(qmxGetPoint "r.mx" (List 3 150 60))']
    replies, err = run([made, '(qmxImportPNM id="1" "rose.ppm" 0 0 0 0)', scan] + reads + ['(qmxClose id="1")'] + reads)
    want = [[[0, rgb_word(read_pnm("rose.ppm")[1][20, 10])], [1, 7]], [[0, 255], [1, 7]]]
    expect("reads before and after the close", [value(r) for r in replies[3:5] + replies[6:]], want * 2)
    expect("nothing reported lost", "not saved" in err, False)
    with open(path("r.mx"), "rb") as f:
        before = f.read()
    replies, err = run(reads)
    expect("reads in another process", [value(r) for r in replies], want)
    with open(path("r.mx"), "rb") as f:
        expect("reads leave the file alone", (f.read() == before, "not saved" in err), (True, False))


def group_far_rows():
    """Images placed where the positions of their rows or columns pass the
    64-bit range: those pixels are nowhere, the bands of rows stay within
    their buffers, the process goes on and the matrix keeps its data."""
    sh("ppmpat", "-g2", "100", "600", out="tall.ppm")
    sh("ppmpat", "-g2", "100", "60", out="fit.ppm")
    far = 9223372036854775800
    forms = [create("f.mx", 100, 60), '(qmxImportPNM id="1" "fit.ppm" 0 0 0 0)']
    places = [(0, far), (0, -far), (far, 0), (-far, far)]
    forms += [f'(qmxImportPNM id="1" "tall.ppm" 0 0 {x} {y})' for x, y in places]
    forms += [f'(qmxImportPNM id="1" "tall.ppm" 0 1 0 {far})']
    forms += [f'(qmxExportPNM id="1" "far{i}.ppm" 0 0 {x} {y} 100 600)' for i, (x, y) in enumerate(places)]
    forms += ['(qmxExportPNM id="1" "kept.ppm" 0 0 0 0 100 60)']
    replies, _ = run(forms)
    expect("imports and exports", replies[1:], ["()"] * (len(forms) - 1))
    for i in range(len(places)):
        expect(f"export {i} outside the matrix is white", set(read_pnm(f"far{i}.ppm")[1].flatten()), {255})
    expect("the matrix keeps its data", cmp("fit.ppm", "kept.ppm"), True)


def group_export_targets():
    """An export never destroys the file it writes to before the picture is
    whole: the file of a matrix open in the process and a file another
    process holds locked are refused untouched; an export that fails part
    way leaves the old file; a replaced file keeps its mode."""
    import fcntl
    sh("convert", "rose:", "ppm:rose.ppm")
    with open(path("locked.mx"), "wb") as f:
        f.write(b"held by another process\n")
    forms = [create("e.mx", 512, 512), '(qmxImportPNM id="1" "rose.ppm" 0 0 0 0)',
             '(qmxExportPNM id="1" "e.mx" 0 0 0 0 70 46)', '(qmxExportPNM id="1" "locked.mx" 0 0 0 0 70 46)',
             '(qmxExportPNM id="1" "back.ppm" 0 0 0 0 70 46)', '(qmxClose id="1")']
    with open(path("locked.mx"), "r+b") as held:
        fcntl.lockf(held, fcntl.LOCK_EX)
        replies, err = run(forms)
    expect_error("onto the open matrix", replies[2], 0x80040a06, '("cannot open the file" "e.mx" "Device or resource busy")')
    expect_error("onto a locked file", replies[3], 0x80040a06, '("cannot open the file" "locked.mx" "Device or resource busy")')
    expect("the rest", replies[4:], ["()", "()"])
    expect("the locked file untouched", open(path("locked.mx"), "rb").read(), b"held by another process\n")
    expect("export after the refusals", cmp("back.ppm", "rose.ppm"), True)
    replies, err = run(['(qmxCreate filename="e.mx" currentPhase_mode="direct")',
                        '(qmxExportPNM id="1" "again.ppm" 0 0 0 0 70 46)'])
    expect("the matrix reopens", (value(replies[0]), replies[1], "not saved" in err), (1, "()", False))
    expect("and holds its picture", cmp("again.ppm", "rose.ppm"), True)
    # No script makes the reopened matrix's nodes ready: the export fails at
    # its first node and the old file stays whole; a good one keeps the mode.
    with open(path("old.ppm"), "wb") as f:
        f.write(b"P6\n1 1\n255\nabc")
    os.chmod(path("old.ppm"), 0o600)
    replies, _ = run(['(qmxCreate filename="e.mx")', '(qmxExportPNM id="1" "old.ppm" 0 0 0 0 70 46)'], timeout=120)
    expect_error("a failed export", replies[1], 0x80040501,
                 '("invalid object in channel of NODE" "others" (-103 (0 0 0)))')
    expect("the old file whole", open(path("old.ppm"), "rb").read(), b"P6\n1 1\n255\nabc")
    replies, _ = run(['(qmxCreate filename="e.mx" currentPhase_mode="direct")',
                      '(qmxExportPNM id="1" "old.ppm" 0 0 0 0 70 46)'])
    expect("replaced", (replies[1], cmp("old.ppm", "rose.ppm"), os.stat(path("old.ppm")).st_mode & 0o777),
           ("()", True, 0o600))
    expect("no file left beside", sorted(n for n in os.listdir(WORK) if n.startswith(".")), [])


def group_fifo():
    """A FIFO that no writer opens is refused at once, not waited for."""
    os.mkfifo(path("pipe.ppm"))
    replies, _ = run([create("q.mx", 512, 512), '(qmxPNMStatus "pipe.ppm")',
                      '(qmxImportPNM id="1" "pipe.ppm" 0 0 0 0)'], timeout=60)
    expect_error("status", replies[1], 0x80010101, '("cannot read the file" "pipe.ppm")')
    expect_error("import", replies[2], 0x80010101, '("cannot read the file" "pipe.ppm")')


# The main road of a 256 x 128 P6 in nodes of 128 x 128 (64 KiB of pixel
# words each), as builds of main wrote it: before the road was made faster
# (and before closing rebuilt the coarser levels, which moved records), and
# after that change to closing, from the same script and picture.
DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")
ROAD_BEFORE = os.path.join(DATA, "road_before_256x128.mx.xz")
ROAD_NOW = os.path.join(DATA, "road_now_256x128.mx.xz")
ROAD_CREATE = (
    '(qmxCreate filename="road.mx" activePhase_mode="direct" (qmxMatrixParam channel_nos="1" dim="2") '
    '(qmxMatrixPixelSize dim="0" value="256") (qmxMatrixBlockSize dim="0" value="7") (qmxMatrixDimDivide dim="0" '
    'value="1") (qmxMatrixPixelSize dim="1" value="128") (qmxMatrixBlockSize dim="1" value="7") '
    '(qmxMatrixDimDivide dim="1" value="1") (qmxChannelInfo channel="0" type="rgb8_v" file="on" 255) '
    '(qmxPhase area="3" (mxFinish normal-jump-status="MS_OK" err-jump-status="MS_LOADING_ERR_1") (if (equal (GE '
    '(ErrHandler create-node) 6) "enable") (mxLoad target="file-n-create") (mxLoad target="file"))) (qmxPhase '
    'area="4" type="equ" equ="3") (qmxPhase area="5" type="equ" equ="3") (qmxPhase area="21" (mxSet 0 '
    '(mxThinnedOut type="average" channel="0" (mxCH type="children" 0))) (mxSave)) (qmxPhase area="22" '
    'type="equ" equ="21") (qmxPhase area="23" (mxSave)))')


def unpacked(name):
    import lzma
    with open(name, "rb") as f:
        return lzma.decompress(f.read())


def group_main_file():
    """The stored form of the main road does not change: the same picture
    and script give, byte for byte, the file main writes; and the file an
    earlier main wrote, opened here, exports every level as the truncated
    2 x 2 means of the picture, and validates."""
    ys, xs = np.mgrid[0:128, 0:256].astype(np.int64)
    k = ((xs >> 3) * 5 + (ys >> 3) * 3) % 7
    pic = np.stack([(k * 37) & 255, (k * 91 + 11) & 255, (k * 53 + 200) & 255], axis=2).astype(np.uint8)
    write_ppm("pic.ppm", pic)
    replies, err = run([ROAD_CREATE, '(qmxImportPNM id="1" "pic.ppm" 0 0 0 0)',
                        '(qmxScan id="1" area="21" call-dir="pre" (List 0 0 0) (List 0 255 127))',
                        '(qmxClose id="1")'])
    expect("the road", replies[1:], ["()", "0", "()"])
    with open(path("road.mx"), "rb") as f:
        expect("the file written is the one main writes", f.read() == unpacked(ROAD_NOW), True)
    with open(path("road.mx"), "wb") as f:
        f.write(unpacked(ROAD_BEFORE))
    levels = range(0, 8)
    replies, _ = run(['(qmxCreate filename="road.mx" currentPhase_mode="direct")'] +
                     [f'(qmxExportPNM id="1" "l{k}.ppm" 0 {k})' for k in levels])
    expect("exports of the file written before", replies[1:], ["()"] * len(levels))
    level = pic.astype(np.int64)
    for k in levels:
        if k:
            level = (level[0::2, 0::2] + level[1::2, 0::2] + level[0::2, 1::2] + level[1::2, 1::2]) // 4
        expect(f"level {k} of the file written before", np.array_equal(read_pnm(f"l{k}.ppm")[1], level), True)
    check = subprocess.run([sys.executable, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "matrix",
                                                         "validate_mx.py"), "--closed", path("road.mx")],
                           capture_output=True, text=True)
    expect("the file written before validates", check.stdout + check.stderr, "")


GROUPS = {"roundtrip": group_roundtrip, "transparency": group_transparency, "formats": group_formats,
          "refusals": group_refusals, "points": group_points, "related": group_related,
          "persistence": group_persistence, "levels": group_levels, "closing_levels": group_closing_levels,
          "walk_levels": group_walk_levels,
          "reopen": group_reopen, "waits": group_waits, "reads_change_nothing": group_reads_change_nothing,
          "far_rows": group_far_rows, "export_targets": group_export_targets, "fifo": group_fifo,
          "main_file": group_main_file}

try:
    GROUPS[GROUP]()
finally:
    shutil.rmtree(WORK, ignore_errors=True)
if FAILS:
    print(f"{len(FAILS)} failed")
    sys.exit(1)
print("ok")
