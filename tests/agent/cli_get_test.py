#!/usr/bin/python3
"""End-to-end tests of remote node reads (the agent's Get), through the qnmx
binary: cli_get_test.py <qnmx binary> <group>.

local  Get in a script: the answers decoded here from the node byte form
       (written from its description, not from the program) and compared
       with qmxGetPoint's node and block reads of the same nodes and with
       the imported image; mode="meta" against qmxStatus's client view;
       every refusal.
peers  a listening qnmx asked by a Python client on a line link and by a
       second qnmx through Remote: the same bytes as a local read; reads
       of places that hold nothing create no node (the matrix file's node
       records stay as many).
sharing  one matrix file in two qnmx processes: while one reads it
       another cannot open it for writing, and while one writes it another
       cannot open it for reading (-128 both ways, the file unchanged); the
       reader's points all come from the picture it first read.
"""
import os
import signal
import struct
import subprocess
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from qmx_cli import (BUSY, DENIED, LENGTH, NO_OBJECT, NOT_AVAILABLE, OPEN, PARAM, STORE, THIN, TYPE, Cli, Link,  # noqa: E402
                     error_of, matrix, reopen, rgb_word, value, write_ppm)

cli = Cli(sys.argv[1], "get_" + sys.argv[2])
GROUP = sys.argv[2]
HERE = os.path.dirname(os.path.abspath(__file__))
CHANNELS = (("rgb8_v", 'file="on" send="on"', "255"), ("uint8_v", 'file="on"', "7"))


# ---- the node byte form, decoded from its description


def number(b, i):
    """A compressed number at b[i]: (value, next index). Its leading bits
    give its length: 0 two bytes, 10 four, 110 six, 1110 eight, each
    big-endian two's complement in the bits that follow; 0xF0 is followed by
    eight bytes of a full 64-bit value."""
    first = b[i]
    if first == 0xF0:
        return struct.unpack(">q", b[i + 1:i + 9])[0], i + 9
    for size, mark_bits in ((2, 1), (4, 2), (6, 3), (8, 4)):
        if first >> (8 - mark_bits) == (1 << mark_bits) - 2:
            bits = size * 8 - mark_bits
            v = int.from_bytes(b[i:i + size], "big") & ((1 << bits) - 1)
            return (v - (1 << bits) if v >> (bits - 1) else v), i + size
    raise ValueError(f"no number at {i}: {first:#x}")


def decode_node(b, dim=2):
    """(form, children, {channel: bytes}): children as the bit-field bytes
    (form 1) or a list of dim codes (form 0)."""
    form, i = b[0], 1
    count, i = number(b, i)
    if form == 1:
        children, i = bytes(b[i:i + count]), i + count
    else:
        children = []
        for _ in range(count):
            code = []
            for _ in range(dim + 1):
                v, i = number(b, i)
                code.append(v)
            if b[i] != 0xF1:
                raise ValueError("a dim code without its end byte")
            children.append(code)
            i += 1
    channels = {}
    while i < len(b):
        ch, i = number(b, i)
        size, i = number(b, i)
        channels[ch], i = bytes(b[i:i + size]), i + size
    if i != len(b):
        raise ValueError("a channel runs past the end")
    return form, children, channels


def words_of(stored):
    """The elements of a stored 4-byte vector: header length, type code and
    dimensions, one 32-bit extent per dimension, big-endian words."""
    h, _, dim = struct.unpack(">bBh", stored[:4])
    ext = struct.unpack(">%dI" % dim, stored[4:4 + 4 * dim])
    return np.frombuffer(stored[h:], ">u4").reshape(ext[::-1]).astype(np.uint64)


def image_words(rgb):
    return (rgb[:, :, 0].astype(np.uint64) << 24) | (rgb[:, :, 1].astype(np.uint64) << 16) | (
        rgb[:, :, 2].astype(np.uint64) << 8)


# ---- the tree served

SETUP = ['(SetThisAgentName "qnmx")', None, '(SetPrefixMode zusys="precedence" ".mx" "qnmx" "lod" "Get")',
         '(SetPrefixMode ".raw" "qnmx" "raw" "Get")']


def setup():
    return [SETUP[0], f'(SetDirectory url="/" "{cli.path("db/")}")'] + SETUP[2:]


def make_tree():
    """s.mx: two channels (only the first sent), a pyramid built by a scan;
    l.mx: nodes that keep their children as lists of dim codes; n.mx:
    without server scripts. The image lies at (0, 0) of s.mx and (300, 500)
    of l.mx."""
    os.makedirs(cli.path("db/zusys/maps"))
    os.makedirs(cli.path("db/zudocs/maps"))
    with open(cli.path("g.ppm"), "wb") as f:
        f.write(cli.sh("ppmpat", "-g2", "300", "200"))
    s, l, n = (cli.path(f"db/zusys/maps/{x}.mx") for x in "sln")
    forms = [matrix(s, (1024, 1024), channels=CHANNELS, mode="server", save_up=THIN),
             '(qmxImportPNM id="1" "g.ppm" 0 0 0 0)',
             '(qmxScan id="1" area="21" call-dir="pre" (List 0 0 0) (List 0 1023 1023))',
             matrix(l, (1024, 1024), divide=7, channels=CHANNELS[:1], mode="server"),
             '(qmxImportPNM id="2" "g.ppm" 0 0 300 500)',
             matrix(n, (512, 512), mode="direct"), '(qmxImportPNM id="3" "g.ppm" 0 0 0 0)']
    replies, _ = cli.run(forms, name="make")
    for i, r in enumerate(replies):
        if r is None or error_of(r):
            cli.fail(f"making the tree, form {i + 1}: {r}")
    return s


def read_image():
    with open(cli.path("g.ppm"), "rb") as f:
        data = f.read()
    return np.frombuffer(data[-300 * 200 * 3:], np.uint8).reshape(200, 300, 3)


def node_records(path):
    out = subprocess.run([sys.executable, os.path.join(HERE, "..", "matrix", "validate_mx.py"), "--closed", "--records",
                          path], capture_output=True, text=True)
    if out.returncode != 0:
        cli.fail(f"validate_mx {path}: {out.stdout[-300:]}")
    return out.stdout.split().count("606/16")


# The nodes read from s.mx: level 0 inside and at the border of the image,
# level 1, level 2 and the top.
S_CODES = [(0, 0, 0), (0, 256, 0), (1, 0, 0), (2, 0, 0), (10, 0, 0)]


def saved(name, form):
    """A form that keeps the raw value of form in the file name."""
    return f'(Save option="raw" oflag="creat:trunc" "{name}" (List {form}))'


def read_saved(name):
    try:
        with open(cli.path(name), "rb") as f:
            return f.read()
    except OSError:
        return None


def local_reads():
    """Get, qmxGetPoint's node status and block reads of channels 0 and 1 of
    every S_CODES node in one script: (gets, statuses, blocks 0, blocks 1),
    the raw ones as bytes (None when there was none)."""
    lst = lambda c: "(List %d %d %d)" % c
    block = 'car (cdr (cdr (qmxGetPoint path-type="related" mode="block" channel="{}" "/maps/s.mx" {})))'
    forms = setup()
    for i, c in enumerate(S_CODES):
        forms += [saved(f"get{i}", f'(Get "/maps/s.mx" {lst(c)})'),
                  f'(qmxGetPoint path-type="related" mode="node" "/maps/s.mx" {lst(c)})',
                  saved(f"block0_{i}", "(" + block.format(0, lst(c)) + ")"),
                  saved(f"block1_{i}", "(" + block.format(1, lst(c)) + ")")]
    replies, _ = cli.run(forms, name="local")
    statuses = replies[len(setup()) + 1::4]
    return ([read_saved(f"get{i}") for i in range(len(S_CODES))], statuses,
            [read_saved(f"block0_{i}") for i in range(len(S_CODES))],
            [read_saved(f"block1_{i}") for i in range(len(S_CODES))])


def group_local():
    make_tree()
    img = image_words(read_image())
    gets, statuses, blocks0, blocks1 = local_reads()
    for code, got, status, b0, b1 in zip(S_CODES, gets, statuses, blocks0, blocks1):
        if not isinstance(got, bytes):
            cli.fail(f"Get {code}: {got!r}")
            continue
        form, bits, channels = decode_node(got)
        held, children = value(status)
        cli.expect(f"{code} form", form, 1)
        cli.expect(f"{code} children as a bit field", children[0], "bitFieldType")
        cli.expect(f"{code} child bits", list(bits), children[2])
        # Only the channel marked for sending travels, when the node holds it.
        sent = [0] if [0, 28, "exist"] in held else []
        cli.expect(f"{code} channels sent", sorted(channels), sent)
        if sent:
            cli.expect(f"{code} channel 0 equals the block read", channels[0], b0)
        if isinstance(b1, bytes) and 1 in channels:
            cli.fail(f"{code}: channel 1 was sent")
    # Level 0 against the image (the default, 255, where it has no pixel).
    for code, got in zip(S_CODES[:2], gets):
        want = np.full((256, 256), 255, np.uint64)
        part = img[0:200, code[1]:code[1] + 256]
        want[:part.shape[0], :part.shape[1]] = part
        if not np.array_equal(words_of(decode_node(got)[2][0]), want):
            cli.fail(f"Get {code}: the words differ from the image")
    # Children kept as lists: the image at (300, 500) touches four nodes.
    lists(img)
    refusals()


def lists(img):
    forms = setup() + [saved("top", '(Get "/maps/l.mx" (List 1 0 0))'),
                       '(qmxGetPoint path-type="related" mode="node" "/maps/l.mx" (List 1 0 0))',
                       saved("node", '(Get "/maps/l.mx" (List 0 512 512))')]
    replies, _ = cli.run(forms, name="lists")
    top, status, node = read_saved("top"), replies[len(setup()) + 1], read_saved("node")
    form, children, _ = decode_node(top)
    cli.expect("list form", form, 0)
    # A child's code names a place inside the child, not always its origin.
    children = [[lv, x & ~255, y & ~255] for lv, x, y in children]
    cli.expect("list children", sorted(children), sorted(value(status)[1][1]))
    cli.expect("children of the image", sorted(children), [[0, x, y] for x in (256, 512) for y in (256, 512)])
    want = np.full((256, 256), 255, np.uint64)
    want[0:188, 0:88] = img[12:200, 212:300]
    cli.expect("list matrix level 0", np.array_equal(words_of(decode_node(node)[2][0]), want), True)


def refusals():
    cases = [('(Get 5 (List 0 0 0))', TYPE, '"filename"'),
             ('(Get mode="info" "/maps/s.mx" (List 0 0 0))', PARAM, '"mode value"'),
             ('(Get "/maps/a.raw" (List 0 0 0))', NOT_AVAILABLE, '"unsupport Get mode"'),
             ('(Get "/maps/s.mx")', TYPE, '"dim_code"'), ('(Get "/maps/s.mx" 5)', TYPE, '"dim_code"'),
             ('(Get "/maps/s.mx" (List 0 0))', PARAM, '"dim_code format"'),
             ('(Get "/maps/s.mx" (List 0 "a" 0))', PARAM, '"dim_code format"'),
             ('(Get "/maps/s.mx" (List 11 0 0))', PARAM, '"dim_code"'),
             ('(Get "/maps/s.mx" (List -1 0 0))', PARAM, '"dim_code"'),
             ('(Get "/maps/s.mx" (List 0 -1 0))', PARAM, '"dim_code"'),
             ('(Get "/maps/s.mx" (List 0 1024 0))', PARAM, '"dim_code"'),
             ('(Get "/maps/s.mx" (List 0 0 1024))', PARAM, '"dim_code"'),
             ('(Get "/maps/none.mx" (List 0 0 0))', OPEN, "()"),
             ('(Get "/maps/s.mx" (List 0 900 900))', NO_OBJECT, '("get_matrix there is no node" (0 900 900))'),
             ('(Get "/maps/n.mx" (List 0 0 0))', NO_OBJECT,
              '("invalid object in channel of NODE" "others" (-103 (0 0 0)))'),
             ('(Get "/maps/s.mx" (List 0 0 0) 1)', LENGTH, None)]
    forms = setup() + [c[0] for c in cases] + [
        '(qmxGetPoint path-type="related" mode="node" "/maps/s.mx" (List 0 900 900))',
        '(Get mode="meta" "/maps/s.mx")', '(Eval Env0 (quote (qmxStatus path-type="related" "/maps/s.mx")))',
        '(Get mode="meta" "/maps/none.mx")']
    replies, _ = cli.run(forms, env={"QNMX_NODE_WAIT_TRIES": "2"}, name="refusals")
    replies = replies[len(setup()):]
    for (form, code, data), reply in zip(cases, replies):
        cli.expect_error(form, reply, code, data, None if code == LENGTH else "Get(qnmx)")
    rest = replies[len(cases):]
    cli.expect_error("no node made by a read", rest[0], NO_OBJECT,
                     '("invalid object in channel of NODE" "others" (-101 (0 768 768)))')
    cli.expect("meta is the client view", rest[1], rest[2])
    if not (rest[1] or "").startswith("(status (general (dim 11 1024dot 1024dot)) ([qmxStatus"):
        cli.fail(f"meta: {rest[1]!r}")
    cli.expect_error("meta of no file", rest[3], OPEN)
    # A peer may not read below an access file.
    open(cli.path("db/zudocs/.zuaccess"), "w").close()
    replies, _ = cli.run(setup() + ['(Get "/maps/s.mx" (List 0 0 0))', '(Get mode="meta" "/maps/s.mx")'],
                            name="denied")
    for r in replies[len(setup()):]:
        cli.expect_error("under .zuaccess", r, DENIED, None, "authentification (DENIED)")
    os.unlink(cli.path("db/zudocs/.zuaccess"))


def group_peers():
    s = make_tree()
    before = node_records(s)
    if before < 10:
        cli.fail(f"{before} node records in the made matrix")
    gets = local_reads()[0]
    # The serving agent holds s.mx open for writing with its server scripts,
    # and its "create-node" is "enable" after an import: a peer's read must
    # still make no node.
    server, port = cli.listener("server", setup() + [f'(qmxCreate filename="{s}" currentPhase_mode="server")',
                                                     '(qmxImportPNM id="1" "g.ppm" 0 0 0 0)'])
    link = Link(port)
    lst = lambda c: "(List %d %d %d)" % c
    for code, want in zip(S_CODES, gets):
        cli.expect(f"Python client, Get {code}", link.ask(f'(Get "/maps/s.mx" {lst(code)})'), want)
    cli.expect_error("outside the matrix", link.ask('(Get "/maps/s.mx" (List 0 5000 0))'), PARAM, '"dim_code"')
    cli.expect_error("a place without data", link.ask('(Get "/maps/s.mx" (List 0 900 900))'), NO_OBJECT,
                     '("get_matrix there is no node" (0 900 900))')
    cli.expect_error("no node made there", link.ask('(qmxGetPoint path-type="related" mode="node" "/maps/s.mx" '
                                                    '(List 0 900 900))'), NO_OBJECT,
                     '("invalid object in channel of NODE" "others" (-101 (0 768 768)))')
    meta = link.ask('(Get mode="meta" "/maps/s.mx")')
    cli.expect("meta over the link", meta, link.ask('(qmxStatus path-type="related" "/maps/s.mx")'))
    # A second qnmx through Remote, keeping the answers in files.
    forms = ['(define iid (OpenInterpreter "connect" Env0 (HostName "127.0.0.1") (Port (Cast type="integer" (Arg 1)))))']
    forms += [f'(Save option="raw" oflag="creat:trunc" "remote{i}.bin" (List (Remote iid (Get "/maps/s.mx" {lst(c)}))))'
              for i, c in enumerate(S_CODES)]
    replies, _ = cli.run(forms, name="asker", args=[port])
    for r in replies:
        if error_of(r):
            cli.fail(f"second qnmx: {r}")
    for i, (code, want) in enumerate(zip(S_CODES, gets)):
        with open(cli.path(f"remote{i}.bin"), "rb") as f:
            cli.expect(f"second qnmx, Get {code}", f.read(), want)
    link.close()
    server.send_signal(signal.SIGINT)
    server.wait(60)
    cli.expect("node records after the peers' reads", node_records(s), before)


def group_sharing():
    m = cli.path("m.mx")
    first = np.random.default_rng(58).integers(0, 256, (64, 64, 3), dtype=np.uint8)
    write_ppm(cli.path("first.ppm"), first)
    write_ppm(cli.path("second.ppm"), 255 - first)
    replies, _ = cli.run([matrix(m, (64, 64), block=4), '(qmxImportPNM id="1" "first.ppm" 0 0 0 0)'], name="make")
    cli.expect("made", replies, ["1", "()"])

    def contents():
        with open(m, "rb") as f:
            return f.read()

    def point(x, y):
        return value(f"((0 {rgb_word(first[y, x])}))")

    again = reopen(m)
    # A reader first: its nodes of the picture stay in memory, and a writer
    # that rewrote the file would leave it reading a mix of the two.
    reader = cli.agent("reader")
    cli.expect("the reader's first point", value(reader.ask(f'(qmxGetPoint "{m}" (List 0 1 1))')), point(1, 1))
    before = contents()
    replies, _ = cli.run([again, '(qmxImportPNM id="1" "second.ppm" 0 0 0 0)'], name="writer")
    cli.expect_error("a writer while another process reads", replies[0], STORE, BUSY, "qmxCreate")
    cli.expect("a writer refused: the file unchanged", contents() == before, True)
    for x, y in ((40, 40), (20, 50), (63, 0), (5, 33)):
        cli.expect(f"the reader's point {x} {y}", value(reader.ask(f'(qmxGetPoint "{m}" (List 0 {x} {y}))')),
                   point(x, y))
    cli.expect("the reader ends", reader.end(), 0)
    # A writer first: a reader of another process is refused until it
    # closes the matrix.
    writer = cli.agent("holder")
    cli.expect("the writer opens", writer.ask(again), "1")
    before = contents()
    replies, _ = cli.run([f'(qmxGetPoint "{m}" (List 0 1 1))'], name="late")
    cli.expect_error("a reader while another process writes", replies[0], STORE, BUSY, "qmxGetPoint")
    cli.expect("a reader refused: the file unchanged", contents() == before, True)
    cli.expect("the writer closes", writer.ask('(qmxClose id="1")'), "()")
    replies, _ = cli.run([f'(qmxGetPoint "{m}" (List 0 1 1))'], name="after")
    cli.expect("a reader after the writer closed", value(replies[0]), point(1, 1))
    cli.expect("the writer ends", writer.end(), 0)


try:
    {"local": group_local, "peers": group_peers, "sharing": group_sharing}[GROUP]()
except Exception as e:  # a reply that is not what it should be
    cli.fail(f"{type(e).__name__}: {e}")
    raise
finally:
    cli.finish()
