#!/usr/bin/python3
"""End-to-end tests of the point-vector commands (qmxPgPlotField,
qmxPgPlotInsert, qmxPgDisplay), run by the plot agent (qnmx with a switch
that makes chosen nodes refuse their plot block): cli_plot_test.py
<plot_agent binary> <group>.

fields   descriptions and records: spreadsheet columns, column order, an
         empty column, a start line, initial values, list records, the
         field kinds as shown; every refusal; hostile blocks shown or
         refused exactly as an outside reader of plot code (written from the
         format, tests/matrix_ops/plot_model.py) accepts or refuses them
insert   10^5 CSV rows from a generator (known coordinates, an empty
         column, a start line, a dense cluster) into a plain and a
         compressed plot matrix until blocks divide: every node read back
         with qmxGetPoint mode="block" and shown with qmxPgDisplay; the
         union of the leaves' points made absolute equals the rows, without
         loss or duplicate; inner nodes hold none; the outside reader agrees
         with the display; the compressed blocks inflate with Python's zlib
         to the type byte and the plain blocks' bytes
failure  push-downs that fail part way (a node refusing its plot block),
         one level down and nested: no point is lost, the points not handed
         on are back in the block they were taken from
reopen   points inserted, the matrix closed and reopened by another process,
         points inserted again: none lost or doubled, with the plot
         structure installed after or before the load
"""
import collections
import os
import random
import sys
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "matrix_ops"))
import plot_model  # noqa: E402
from qmx_cli import PARAM, TYPE, Cli, error_of, value  # noqa: E402

cli = Cli(sys.argv[1], "plot_" + sys.argv[2])
GROUP = sys.argv[2]
INVALID_NUMBER = (1 << 32) - 7  # a field conversion's own -7
NODE_MISSING = object()
ZOE = "Zoë".encode()


ZIP = ' compress="on"'


def fetch(channel, compress, init_first=False):
    """The fetch script of a plot matrix: the node loaded (made when
    writing), its plot structure installed (after the load, or before it)
    and filled from the bytes."""
    load = ('(if (equal (GE (ErrHandler create-node) 6) "enable") (mxLoad target="file-n-create") '
            '(mxLoad target="file"))')
    init = f'(if (TestPlotAllowed) (mxPgPlotInitialize channel="{channel}"{ZIP if compress else ""}))'
    return ('(mxFinish normal-jump-status="MS_OK" err-jump-status="MS_LOADING_ERR_1") '
            f'{init + " " + load if init_first else load + " " + init} (mxLoadSB)')


def plot_matrix(name, side, block, compress=False, init_first=False):
    """A qmxCreate form of a 2-D matrix of side x side with a plot block
    channel 0 kept in the file (nodes of 2^block cells per side, divide 1)."""
    dims = " ".join(f'(qmxMatrixPixelSize dim="{d}" value="{side}") (qmxMatrixBlockSize dim="{d}" value="{block}") '
                    f'(qmxMatrixDimDivide dim="{d}" value="1")' for d in (0, 1))
    return (f'(qmxCreate filename="{name}" activePhase_mode="direct" (qmxMatrixParam channel_nos="1" dim="2") {dims} '
            f'(qmxChannelInfo channel="0" type="block" file="on") (qmxPhase area="3" {fetch(0, compress, init_first)}) '
            '(qmxPhase area="4" type="equ" equ="3") (qmxPhase area="5" type="equ" equ="3") '
            '(qmxPhase area="21" (mxSaveSB) (mxSave)) (qmxPhase area="22" type="equ" equ="21") '
            '(qmxPhase area="23" (mxSaveSB) (mxSave)))')


def top_level(side):
    return (side - 1).bit_length()


def lst(code):
    return "(List %s)" % " ".join(map(str, code))


# ---- reading every node of plot matrices back


def read_trees(files, compress=False):
    """{(file, dim code): (children, raw block, display)} of every node
    reachable from the top of each (file, side); a node that cannot be read
    maps to NODE_MISSING."""
    nodes, frontier, run = {}, [(f, (top_level(side), 0, 0)) for f, side in files], 0
    while frontier:
        run += 1
        replies, _ = cli.run([f'(qmxGetPoint mode="node" "{f}" {lst(c)})' for f, c in frontier], name=f"tree{run}")
        following = []
        for (f, c), reply in zip(frontier, replies):
            status = value(reply) if reply and not reply.startswith("#error") else None
            if status is None:
                nodes[(f, c)] = NODE_MISSING
                continue
            info = status[1]
            kids = [tuple(k) for k in info[1]] if info[0] in ("bitFieldType", "ListType") else []
            nodes[(f, c)] = kids
            following += [(f, k) for k in kids]
        frontier = following
    keys = [k for k, v in nodes.items() if v is not NODE_MISSING]
    forms = []
    for i, (f, c) in enumerate(keys):
        forms += [f'(define b (qmxGetPoint mode="block" channel="0" "{f}" {lst(c)}))',
                  f'(Save option="raw" oflag="creat:trunc" "blk{i}.bin" (List (car (cdr (cdr b)))))',
                  f'(qmxPgDisplay{ZIP if compress else ""} b)']
    replies, _ = cli.run(forms, name="blocks")
    out = {k: NODE_MISSING for k, v in nodes.items() if v is NODE_MISSING}
    for i, k in enumerate(keys):
        with open(cli.path(f"blk{i}.bin"), "rb") as fh:
            raw = fh.read()
        out[k] = (nodes[k], raw, replies[3 * i + 2])
    return out


def text_field(v):
    """A text as compared: texts that do not print as they are (quotes,
    control bytes, other encodings than the one the tests use) only as
    such."""
    if v is None or v == ZOE or all(32 <= c < 127 and c not in b'"\\' for c in v):
        return v
    return "?"


def shown_points(display, name):
    """The points of a display (pg size length count (ip point...)) as
    readable() gives them."""
    if not isinstance(display, list) or display[0] != "pg":
        cli.fail(f"{name}: not a display: {display!r}")
        return []
    pts = []
    for p in display[4][1:]:
        fields = []
        for f in (p[4][1:] if p[4] else []):
            t, kind = f[1], f[1] >> 4
            v = (None if kind == 1 else text_field(f[2].encode() if f[2] != [] else None) if kind == 2
                 else (f[2], f[3]) if t == 0x32 else (f[2].to_bytes(4, "big"), f[3]) if kind == 4 else f[2])
            fields.append([t, v])
        pts.append([p[1], p[2][1:], p[3][1:] if p[3] else None, 0, fields])
    if display[3] != len(pts):
        cli.fail(f"{name}: count {display[3]} for {len(pts)} points")
    return pts


def readable(code):
    """The outside reader's points as a display shows them: no ids, bases
    as signed numbers."""
    out = []
    for flags, cells, base, _, fields in plot_model.read(code, 2):
        fields = [[t, text_field(v) if t >> 4 == 2 else v] for t, v in fields]
        out.append([flags, cells, [plot_model.s64(b) for b in base] if base else None, 0, fields])
    return out


def absolute(code, point):
    """The finest-level coordinates of a point of the node at code."""
    level, cells, base = code[0], point[1], point[2] or [0, 0]
    return tuple(code[1 + d] + (cells[d] << level) + base[d] for d in range(2))


def check_tree(tree, name, compressed=False):
    """The display of every node against the outside reader of its bytes;
    the points of every node by (dim code, absolute coordinates, fields)."""
    held = {}
    for key, node in tree.items():
        if node is NODE_MISSING:
            continue
        _, raw, reply = node
        code = raw
        if compressed and not raw:  # the channel's empty default: no zlib stream
            cli.expect_error(f"{name} {key} empty block", reply, PARAM)
            held[key] = []
            continue
        display = value(reply)
        if compressed:
            inflated = zlib.decompress(raw)
            cli.expect(f"{name} {key} type byte", inflated[:1], b"\x0d")
            code = inflated[1:]
            cli.expect(f"{name} {key} size shown", display[1], len(inflated))
        else:
            cli.expect(f"{name} {key} size shown", display[1], len(raw))
        cli.expect(f"{name} {key} length shown", display[2], len(raw))
        model = readable(code or b"\0")
        shown = shown_points(display, f"{name} {key}")
        if shown != model:
            cli.fail(f"{name} {key}: display {shown[:2]!r}... differs from the reader's {model[:2]!r}...")
        held[key] = [(absolute(key[1], p), p[4]) for p in model]
    return held


# ---- fields


def field_matrix(name):
    return plot_matrix(name, 16, 4)


def one_point(forms, name):
    """Runs the forms (matrix 1 is name.mx) and closes; the points found in
    name.mx, as (absolute coordinates, fields), and the replies."""
    replies, err = cli.run([field_matrix(name + ".mx")] + forms + ['(qmxClose id="1")'], name=name)
    tree = read_trees([(name + ".mx", 16)])
    pts = [p for v in check_tree(tree, name).values() for p in v]
    return pts, replies[1:], err


def group_fields():
    # Columns named by letters, as a spreadsheet counts, and by numbers; the
    # same column twice: the later description wins; an initial value for
    # fields without a column.
    line = ",".join(str(k if k < 16 else 7 * k) for k in range(60))
    forms = ['(define h (qmxPgPlotField id="1"))',
             '(qmxPgPlotField dim="0" csv="B" merge-type="48" h mxPgFDIT_INT 1 0 1)',
             '(qmxPgPlotField dim="1" csv="3" merge-type="48" h mxPgFDIT_INT 1 0 1)',
             '(qmxPgPlotField label="0" csv="z" merge-type="49" h mxPgFDIT_INT 1 0 1)',
             '(qmxPgPlotField label="1" csv="AA" merge-type="49" h mxPgFDIT_INT 1 0 1)',
             '(qmxPgPlotField label="2" csv="bA" merge-type="49" h mxPgFDIT_INT 1 0 1)',
             '(qmxPgPlotField label="3" csv="2" merge-type="49" h mxPgFDIT_INT 1 0 1)',
             '(qmxPgPlotField label="4" csv="0" merge-type="49" h mxPgFDIT_INT 1 0 1)',
             '(qmxPgPlotField label="3" csv="2" merge-type="49" h mxPgFDIT_INT 10 5 1)',
             '(qmxPgPlotField label="5" merge-type="49" h mxPgFDIT_INT 1 0 1 77)',
             '(qmxPgPlotField label="6" csv="17" merge-type="64" h 5)',
             '(qmxPgPlotField label="7" csv="18" merge-type="50" h mxPgFDIT_FLOAT 0.5 0 3)',
             '(qmxPgPlotField label="9" merge-type="16" h 1)',
             f'(qmxPgPlotInsert id="1" channel="0" csv="on" h (List "{line}"))']
    pts, replies, _ = one_point(forms, "columns")
    want = [((1, 3), [[0x31, 175], [0x31, 182], [0x31, 364], [0x31, 25], [0x31, 0], [0x31, 77],
                      [0x40, ((119).to_bytes(4, "big"), 5)], [0x32, (63, 3)], [0x10, None], [0x10, None]])]
    cli.expect("columns by letters and numbers", pts, want)
    cli.expect("descriptions answer the handle", [r.startswith("[ptr:") for r in replies[1:13]], [True] * 12)

    # An empty column ends the line; a start line skips lines and starts
    # the count there; lines that are not text, and empty lines, are
    # skipped.
    forms = ['(define h (qmxPgPlotField id="1"))',
             '(qmxPgPlotField dim="0" csv="A" merge-type="48" h mxPgFDIT_INT 1 0 1)',
             '(qmxPgPlotField dim="1" csv="B" merge-type="48" h mxPgFDIT_INT 1 0 1)',
             '(qmxPgPlotField label="0" csv="D" merge-type="49" h mxPgFDIT_INT 1 0 1)',
             '(qmxPgPlotField label="1" csv="C" merge-type="32" h "UTF-8" ())',
             '(qmxPgPlotInsert id="1" channel="0" csv="on" startline="2" h (List "x,y" "header" 7 "" "\\r" "5,9,,4\\r"))']
    pts, replies, err = one_point(forms, "empty")
    cli.expect("an empty column ends the line", pts, [((5, 9), [[0x10, None], [0x10, None]])])
    cli.expect("insert answers nil", replies[-2], "()")
    pts, _, err = one_point(forms[:-1] + [forms[-1].replace('"5,9,,4\\r"', '"5,9,text,4"')], "texts")
    cli.expect("text and int columns", pts, [((5, 9), [[0x31, 4], [0x20, b"text"]])])

    # One record as a list of values.
    forms = ['(define h (qmxPgPlotField id="1"))',
             '(qmxPgPlotField dim="1" csv="0" merge-type="48" h mxPgFDIT_INT 1 0 1)',
             '(qmxPgPlotField dim="0" csv="1" merge-type="48" h mxPgFDIT_FLOAT 2 0 1)',
             '(qmxPgPlotField label="0" csv="2" merge-type="32" h "UTF-8" ())',
             '(qmxPgPlotInsert id="1" channel="0" h (List 11 "3.5" "Zoë"))']
    pts, _, _ = one_point(forms, "record")
    cli.expect("a list record", pts, [((7, 11), [[0x20, ZOE]])])

    # Progress lines, only when traces are asked for, counting from the
    # start line.
    trace_forms = [field_matrix("tr.mx"), '(define h (qmxPgPlotField id="1"))',
                   '(qmxPgPlotField dim="0" csv="0" merge-type="48" h mxPgFDIT_INT 1 0 1)',
                   '(qmxPgPlotInsert id="1" channel="0" csv="on" startline="2" h (List "a" "b" "1" "2"))']
    _, err = cli.run(trace_forms, env={"QNMX_TRACE": "1"}, name="trace")
    counts = [ln for ln in err.splitlines() if ln.startswith("CNT=")]
    cli.expect("progress from the start line", counts[:1], ["CNT=2"])
    _, err = cli.run(trace_forms, name="quiet")
    cli.expect("no progress without traces", [ln for ln in err.splitlines() if ln.startswith("CNT=")], [])

    refusals()
    hostile_blocks()


def refusals():
    f_reason, i_reason = "invalid parameter in qmxPgPlotField", "invalid parameter in qmxPgPlotInsert"
    d = '(qmxPgPlotField dim="0" csv="0" merge-type="48" h mxPgFDIT_INT 1 0 1)'
    setup = [field_matrix("r1.mx"), field_matrix("r2.mx"), '(define h (qmxPgPlotField id="1"))', d,
             '(define h2 (qmxPgPlotField id="2"))']
    cases = [
        ('(qmxPgPlotField)', PARAM, f'("{f_reason}" "id required")'),
        ('(qmxPgPlotField id="9")', PARAM, f'("{f_reason}" "invalid id")'),
        ('(qmxPgPlotField 5)', TYPE, '("type missmatch" "opt_list")'),
        ('(qmxPgPlotField merge-type="0" h)', PARAM, f'("{f_reason}" "merge-type")'),
        ('(qmxPgPlotField merge-type="80" h)', PARAM, f'("{f_reason}" "merge-type")'),
        ('(qmxPgPlotField label="0" merge-type="53" h mxPgFDIT_INT 1 0 1)', PARAM, f'("{f_reason}" "merge-type")'),
        ('(qmxPgPlotField label="0" merge-type="48" h mxPgFDIT_INT 1 0 1)', PARAM, f'("{f_reason}" "merge-type")'),
        ('(qmxPgPlotField dim="2" merge-type="48" h mxPgFDIT_INT 1 0 1)', PARAM, f'("{f_reason}" "dim")'),
        ('(qmxPgPlotField label="70000" merge-type="16" h)', PARAM, f'("{f_reason}" "label")'),
        ('(qmxPgPlotField csv="AAAAAAAAAAAAAAAA" merge-type="16" h)', PARAM, f'("{f_reason}" "csv")'),
        ('(qmxPgPlotField merge-type="49" h mxPgFDIT_INT 1 0)', PARAM, f'("{f_reason}" "initialize" -1)'),
        ('(qmxPgPlotField merge-type="32" h "NO-SUCH-CODE" ())', PARAM, f'("{f_reason}" "initialize" -4)'),
        ('(qmxPgPlotInsert channel="0" h (List 1))', PARAM, f'("{i_reason}" "matrix id")'),
        ('(qmxPgPlotInsert id="9" channel="0" h (List 1))', PARAM, f'("{i_reason}" "matrix id")'),
        ('(qmxPgPlotInsert id="1" channel="0" 5 (List 1))', TYPE, '("type missmatch" "fd option")'),
        ('(qmxPgPlotInsert id="1" channel="0" h no-such-value)', 0x80030705, None),
        ('(qmxPgPlotInsert id="2" channel="0" h (List 1))', PARAM, f'("{i_reason}" "matrix in the id and fd ptr")'),
        ('(qmxPgPlotInsert id="1" h (List 1))', PARAM, f'("{i_reason}" "channel")'),
        ('(qmxPgPlotInsert id="1" channel="0" h 5)', TYPE, '("type missmatch" "data")'),
        ('(qmxPgPlotInsert id="1" channel="0" csv="on" h (List "x1"))', INVALID_NUMBER,
         '("type missmatch or others" "getDim1")'),
        ('(qmxPgPlotInsert id="1" channel="0" h (List "x1"))', INVALID_NUMBER, '("type missmatch or others" "getDim")'),
        ('(qmxPgPlotInsert id="1" channel="0" h (List 99))', PARAM, f'("{i_reason}" "cache error (Access to Matrix)")'),
        ('(qmxPgPlotInsert id="1" channel="4" h (List 1))', PARAM, f'("{i_reason}" "cannot get channel block")'),
        ('(qmxPgPlotField dim="1" merge-type="32" h2 "UTF-8" () "3")', None, None),
        ('(qmxPgPlotInsert id="2" channel="0" h2 ())', TYPE, '("type missmatch" "dimmention data type missmatch")'),
        ('(qmxPgPlotField label="0" merge-type="49" h2 mxPgFDIT_INT 1 0 1 "many")', None, None),
        ('(qmxPgPlotInsert id="2" channel="0" h2 ())', INVALID_NUMBER, '("type missmatch or others" "get data3")'),
        ('(qmxPgDisplay 5)', TYPE, None),
        ('(qmxPgDisplay (List 1 2))', TYPE, None),
        ('(qmxPgDisplay (List 1 2 3))', TYPE, None),
        ('(qmxPgDisplay (List (quote data) 2 3))', PARAM, '"attribute:path-type"'),
        ('(qmxPgDisplay id="9" (List (quote data) 2 3))', PARAM, '"attribute:path-type"'),
        ('(qmxPgDisplay id="1" (List (quote data) 2 "text"))', TYPE, None),
    ]
    replies, _ = cli.run(setup + [c[0] for c in cases], name="refusals")
    for (form, code, data), reply in zip(cases, replies[len(setup):]):
        if code is None:
            cli.expect(form, reply.startswith("[ptr:"), True)
        else:
            cli.expect_error(form, reply, code, data)


def hostile_blocks():
    """Blocks from a peer: a real block cut at every length and with bytes
    changed, and random bytes, each shown or refused as the outside reader
    reads or refuses its code, plain and compressed."""
    good = plot_model.write([[0x21, [3, 5], [1, 2], 0, [[0x31, 7], [0x20, b"ab"]]],
                             [0x01, [15, 0], None, 0, [[0x32, (4, 2)], [0x40, (b"\1\2\3\4", 9)], [0x10, None]]],
                             [0x41, [0, 0], None, 512, []]])
    r = random.Random(39)
    blocks = [good[:n] for n in range(1, len(good) + 1)]
    for _ in range(40):
        b = bytearray(good)
        b[r.randrange(len(b))] = r.randrange(256)
        blocks.append(bytes(b))
    blocks += [bytes(r.randrange(256) for _ in range(r.randrange(1, 40))) for _ in range(20)]
    cases = [(b, False) for b in blocks] + [(zlib.compress(b"\x0d" + b), True) for b in blocks]
    cases += [(b"\x78\x9c\x03\x00\x00\x00\x00\x01", True), (good, True), (b"\x00", False)]
    forms = [field_matrix("h.mx")]
    for i, (b, _) in enumerate(cases):
        with open(cli.path(f"h{i}.raw"), "wb") as fh:
            fh.write(b)
    for i, (_, z) in enumerate(cases):
        forms.append(f'(qmxPgDisplay id="1"{ZIP if z else ""} '
                     f'(List (quote data) (List 0 0 0) (car (Load option="raw" "h{i}.raw"))))')
    # compress="on" alone means zlib data.
    whole = f'(List (quote data) (List 0 0 0) (car (Load option="raw" "h{len(good) - 1}.raw")))'
    forms += [f'(qmxPgDisplay id="1" compress="yes" {whole})', f'(qmxPgDisplay id="1" {whole})']
    replies, _ = cli.run(forms, name="hostile")
    cli.expect("any other compress is plain code", (replies[-2], replies[-1][:4]), (replies[-1], "(pg "))
    replies = replies[:-2]
    for i, ((b, z), reply) in enumerate(zip(cases, replies[1:])):
        try:
            code = zlib.decompress(b) if z else b
            if z and len(code) < 2:
                raise plot_model.Damaged()
            model = readable(code[1:] if z else code)
        except (plot_model.Damaged, zlib.error):
            cli.expect_error(f"hostile {i} refused", reply, PARAM,
                             '("invalid parameter in qmxPgPlotInsert" "operation of PLOT")')
            continue
        if shown_points(value(reply), f"hostile {i}") != model:
            cli.fail(f"hostile {i}: {reply!r} for {model!r}")
    cli.expect("the empty plot", value(replies[-1]), ["pg", 1, 1, 0, ["ip"]])


# ---- many rows


N_ROWS, SIDE, BLOCK = 100000, 4096, 6
# Every 150th row lies in one quarter of one level-0 node: more than that
# block's limit, so it is asked to divide.


def rows():
    r = random.Random(7)
    out = []
    for i in range(N_ROWS):
        if i % 150 == 0:
            x, y = 1024 + 4 + r.randrange(28), 2048 + 4 + r.randrange(28)
        else:
            x, y = r.randrange(SIDE), r.randrange(SIDE)
        out.append((i, x, y, f"n{i}", "" if i % 7 == 0 else "e", 3 * i))
    return out


def plot_fields(handle_id):
    return [f'(define h (qmxPgPlotField id="{handle_id}"))',
            '(qmxPgPlotField label="0" csv="A" merge-type="49" h mxPgFDIT_INT 1 0 1)',
            '(qmxPgPlotField dim="0" csv="B" merge-type="48" h mxPgFDIT_INT 1 0 1)',
            '(qmxPgPlotField dim="1" csv="C" merge-type="48" h mxPgFDIT_INT 1 0 1)',
            '(qmxPgPlotField label="1" csv="D" merge-type="32" h "UTF-8" ())',
            '(qmxPgPlotField label="2" csv="F" merge-type="49" h mxPgFDIT_INT 1 0 1)']


def expected(rows_):
    return collections.Counter(
        ((x, y), (i, f"n{i}".encode(), f if e else None)) for i, x, y, _, e, f in rows_)


def as_rows(held, keys):
    got = collections.Counter()
    for key in keys:
        for xy, fields in held[key]:
            v = [f[1] for f in fields]
            got[(xy, (v[0], v[1], v[2]))] += 1
    return got


def group_insert():
    data = rows()
    with open(cli.path("rows.csv"), "w") as fh:
        fh.write("id,x,y,name,e,f\n# made by cli_plot_test.py\n")
        fh.writelines(",".join(map(str, row)) + "\n" for row in data)
    load = '(Load option="text" terminate="\\n" "rows.csv")'
    for name, z in (("plain.mx", False), ("zip.mx", True)):
        replies, _ = cli.run([plot_matrix(name, SIDE, BLOCK, z)] + plot_fields(1) +
                             [f'(qmxPgPlotInsert id="1" channel="0" csv="on" startline="2" h {load})',
                              '(qmxClose id="1")'], name="fill_" + name)
        cli.expect(f"{name}: the rows go in", replies[-2], "()")
    plain, zipped = read_trees([("plain.mx", SIDE)]), read_trees([("zip.mx", SIDE)], compress=True)
    held = check_tree(plain, "plain")
    leaves = [k for k, v in plain.items() if v is not NODE_MISSING and not v[0]]
    inner = [k for k, v in plain.items() if v is not NODE_MISSING and v[0]]
    cli.expect("every node could be read", [k for k, v in plain.items() if v is NODE_MISSING], [])
    cli.expect("blocks divided over several levels", len({k[1][0] for k in leaves}) > 2 and len(inner) > 10, True)
    cli.expect("inner nodes hold no point", [k for k in inner if held[k]], [])
    got, want = as_rows(held, leaves), expected(data)
    cli.expect("points lost", sum((want - got).values()), 0)
    cli.expect("points added or doubled", sum((got - want).values()), 0)
    dense = [k for k in leaves if k[1][0] == 0 and len(held[k]) > 256]
    cli.expect("a dense level-0 block keeps its points", len(dense), 1)
    # The compressed matrix: the same nodes, each block the plain one behind
    # the type byte.
    check_tree(zipped, "zip", compressed=True)
    cli.expect("same nodes", sorted(k[1] for k in zipped), sorted(k[1] for k in plain))
    for key, node in plain.items():
        other = zipped.get(("zip.mx", key[1]))
        if node is NODE_MISSING or other is None or other is NODE_MISSING:
            continue
        if zlib.decompress(other[1]) != b"\x0d" + node[1]:
            cli.fail(f"{key[1]}: the compressed block does not inflate to the plain one")
        cli.expect(f"{key[1]} shown alike", value(other[2])[3:], value(node[2])[3:])


# ---- failing push-downs


def group_failure():
    """All points of a scenario at one or two places, so that the divisions
    are known: nodes above level 4 cover the whole 256 x 256 matrix and
    hold at most 0, 0, 1 or 4 points per child, from level 4 down 16. The
    17th point at P divides level 4 and the pushes run down to level 0."""
    p, q = (10, 20), (200, 220)
    fields = plot_fields(1)[0:4]
    nested = [p] * 20
    flat = [p] * 16 + [q] * 16 + [p]
    forms = [plot_matrix("nested.mx", 256, 4), plot_matrix("flat.mx", 256, 4)] + fields + \
        ['(define h2 (qmxPgPlotField id="2"))'] + [f.replace(" h ", " h2 ") for f in fields[1:]]
    lines = lambda pts: " ".join(f'"{i},{x},{y}"' for i, (x, y) in enumerate(pts))
    forms += ['(TestRefusePlot (List 1 10 20))',
              f'(qmxPgPlotInsert id="1" channel="0" csv="on" h (List {lines(nested)}))',
              '(TestRefusePlot (List 3 200 220))',
              f'(qmxPgPlotInsert id="2" channel="0" csv="on" h2 (List {lines(flat)}))',
              '(TestRefusePlot)', '(qmxClose id="1")', '(qmxClose id="2")']
    replies, _ = cli.run(forms, name="fail")
    refused = '("invalid parameter in qmxPgPlotInsert" "cannot get channel block")'
    cli.expect_error("nested push-down fails", replies[-6], PARAM, refused)
    cli.expect_error("flat push-down fails", replies[-4], PARAM, refused)
    tree = read_trees([("nested.mx", 256), ("flat.mx", 256)])
    held = check_tree(tree, "fail")
    where = collections.defaultdict(list)
    for (f, code), pts in held.items():
        for xy, flds in pts:
            where[f].append((code, xy, flds[0][1]))
    # Nested: the 17th point divides level 4; level 1 refuses, so level 2
    # keeps all 17; the rows after the failing one were not read.
    cli.expect("nested: no point lost", sorted(i for _, _, i in where["nested.mx"]), list(range(17)))
    cli.expect("nested: back at level 2", {c for c, _, _ in where["nested.mx"]}, {(2, 0, 0)})
    # Flat: P's 17 reach level 0; Q's child refuses, so Q's 16 go back to
    # the level-4 block they were taken from.
    cli.expect("flat: no point lost", sorted(i for _, _, i in where["flat.mx"]), list(range(33)))
    at = collections.defaultdict(set)
    for c, xy, i in where["flat.mx"]:
        at[c].add(xy)
    cli.expect("flat: placed and put back", dict(at), {(0, 0, 16): {p}, (4, 0, 0): {q}})


# ---- a matrix reopened


def group_reopen():
    """Points inserted, the matrix closed, then reopened by another process
    and inserted into again: every point of both runs is kept once, whether
    the fetch script installs the plot structure after the load or before
    it (a node is handed out only when its fetch script has ended)."""
    r = random.Random(11)
    pts = [(i, r.randrange(256), r.randrange(256)) for i in range(600)]
    fields = plot_fields(1)[0:4]
    insert = lambda part: ('(qmxPgPlotInsert id="1" channel="0" csv="on" h (List %s))'
                           % " ".join(f'"{i},{x},{y}"' for i, x, y in part))
    for name, first in (("after.mx", False), ("before.mx", True)):
        opened = [plot_matrix(name, 256, 4, init_first=first),
                  f'(qmxCreate filename="{name}" currentPhase_mode="direct")']
        for run, part in enumerate((pts[:300], pts[300:])):
            replies, _ = cli.run([opened[run]] + fields + [insert(part), '(qmxClose id="1")'], name=f"{name}{run}")
            cli.expect(f"{name} run {run}: the points go in", replies[-2], "()")
        held = check_tree(read_trees([(name, 256)]), name)
        got = collections.Counter((xy, flds[0][1]) for node in held.values() for xy, flds in node)
        want = collections.Counter(((x, y), i) for i, x, y in pts)
        cli.expect(f"{name}: points lost", sorted(want - got), [])
        cli.expect(f"{name}: points added or doubled", sorted(got - want), [])


{"fields": group_fields, "insert": group_insert, "failure": group_failure, "reopen": group_reopen}[GROUP]()
cli.finish()
