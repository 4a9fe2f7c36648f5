#!/usr/bin/python3
"""End-to-end tests of nodes that are stored but cannot be read, through the
qnmx binary: a damaged data record, a file rewritten by another process
while a reader had it closed, a file busy in another process; closes that
could not save a change; temporaries of exports killed part way.

cli_node_fault_test.py <qnmx binary> <group>

Only "not stored" reads as the channel's default: every other failed load
is an error naming the node and the cause, and nothing is written as if the
read had succeeded. Files are damaged through validate_mx.py's reading of
the records; two-process cases wait for the lock events they need, never
for a time.
"""
import os
import struct
import subprocess
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "matrix"))
from qmx_cli import (NO_OBJECT, STORE, THIN, Cli, coordinate_image, error_of, matrix, open_when_free, read_ppm,  # noqa: E402
                     reopen, write_ppm)
import validate_mx  # noqa: E402

cli = Cli(sys.argv[1], sys.argv[2])
GROUP = sys.argv[2]
NODE = "invalid object in channel of NODE"
CAUSES = {-127: "the matrix file changed since it was read", -128: "the matrix file is busy in another process",
          -129: "damaged record in the matrix file"}
# The idle closer of a process run with this closes its files after a second.
QUICK_CLOSE = {"QNMX_MX_FILE_IDLE": "1"}


def node_fault(code, dc):
    """The data of the error a command answers for a node that is stored
    but could not be loaded."""
    return f'("{NODE}" "others" ({code} ({" ".join(map(str, dc))})) "{CAUSES[code]}")'


def file_bytes(name):
    with open(cli.path(name), "rb") as f:
        return f.read()


def first_data_record(name, level):
    """(node code, offset of the first data record) of a stored node of
    level, read through validate_mx.py."""
    data = file_bytes(name)
    errors, records = validate_mx.problems(data)
    if errors:
        raise SystemExit(f"{name} does not validate: {errors}")
    mx = validate_mx.Matrix(data, records, validate_mx.pdb.check_trees(data, records, False, []), False)
    mx.check()
    for key in mx.trees[mx.root]:
        fofs = struct.unpack(">q", key[:8])[0]
        code, _ = mx.code(key, 8)
        if code[0] == level:
            return code, struct.unpack_from(">q", mx.body(fofs, validate_mx.NODE, "node", minimum=8), 0)[0]
    raise SystemExit(f"{name} stores no node of level {level}")


def expect_fault(name, reply, code, dc, func=None):
    cli.expect_error(name, reply, NO_OBJECT, node_fault(code, dc), func)


def wait_until(what, check, seconds=90):
    """Asks check() until it is true: the other process's lock event."""
    end = time.monotonic() + seconds
    while not check():
        if time.monotonic() > end:
            raise SystemExit(f"gave up waiting: {what}")
        time.sleep(0.2)


# ---------------------------------------------------------------------------


def damaged_file():
    """f.mx: 256 x 128 in nodes of 64 x 64, the coordinate picture, its
    pyramid, one level-1 node's data record damaged; (that node's code,
    the picture)."""
    pic = coordinate_image(np, 256, 128)
    write_ppm(cli.path("a.ppm"), pic)
    replies, _ = cli.run([matrix("f.mx", (256, 128), block=6), '(qmxImportPNM id="1" "a.ppm" 0 0 0 0)',
                          '(qmxScan id="1" area="21" call-dir="pre" (List 0 0 0) (List 0 255 127))',
                          '(qmxClose id="1")'], name="make")
    cli.expect("made f.mx", replies, ["1", "()", "0", "()"])
    code, at = first_data_record("f.mx", 1)
    data = bytearray(file_bytes("f.mx"))
    data[at + 21] ^= 0xA5
    with open(cli.path("f.mx"), "wb") as f:
        f.write(data)
    return code, pic


def group_damaged():
    code, pic = damaged_file()
    before = file_bytes("f.mx")
    dc = [code[0], code[1], code[2]]
    forms = [reopen("f.mx"),
             '(qmxExportPNM id="1" "f.ppm" 0 1)',
             '(qmxExportPNM id="1" "f0.ppm" 0 0)',
             f'(qmxGetPoint mode="node" "f.mx" (List {" ".join(map(str, dc))}))',
             '(qmxClose id="1")']
    replies, err = cli.run(forms, name="read")
    expect_fault("export of the damaged level", replies[1], -129, dc, "qmxExportPNM")
    cli.expect("nothing written for it", os.path.exists(cli.path("f.ppm")), False)
    cli.expect("no temporary left", [n for n in os.listdir(cli.work) if n.endswith(".tmp")], [])
    cli.expect("said on standard error", "invalid matrix file: channel record at" in err, True)
    cli.expect("the sound level", replies[2], "()")
    cli.expect("the sound level exact", np.array_equal(read_ppm(np, cli.path("f0.ppm")), pic), True)
    expect_fault("node read of the damaged node", replies[3], -129, dc, "qmxGetPoint")
    cli.expect("a close of reads", replies[4], "()")
    cli.expect("reads change nothing", file_bytes("f.mx"), before)
    # The commands that walk stored nodes name it too: a copy into a
    # matrix of the same shape, a scan.
    forms = [reopen("f.mx"), matrix("g.mx", (256, 128), block=6),
             '(qmxCopy src="1" dest="2" (List 0))',
             '(qmxScan id="1" area="21" call-dir="pre" (List 0 0 0) (List 0 255 127))']
    replies, _ = cli.run(forms, name="walks")
    expect_fault("copy", replies[2], -129, dc, "qmxCopy")
    expect_fault("scan", replies[3], -129, dc, "qmxScan")


def group_close():
    # A level-0 node written under the damaged level-1 node: the coarser
    # node cannot be made again, and the close says how many were lost.
    code, _ = damaged_file()
    write_ppm(cli.path("b.ppm"), np.zeros((8, 8, 3), np.uint8))
    replies, err = cli.run([reopen("f.mx"),
                            f'(qmxImportPNM id="1" "b.ppm" 0 0 {code[1]} {code[2]})', '(qmxClose id="1")'], name="lost")
    cli.expect("import under the damaged node", replies[1], "()")
    cli.expect_error("close that lost a change", replies[2], STORE, '("changes of nodes not saved" 1)', "qmxClose")
    cli.expect("said on standard error", "not saved" in err, True)
    # An import that changes nothing (every pixel transparent) reports no
    # node at the close, however its nodes were read.
    write_ppm(cli.path("w.ppm"), np.full((64, 256, 3), 255, np.uint8))
    replies, err = cli.run([reopen("f.mx"),
                            '(qmxImportPNM id="1" transparent="0xFFFFFF" "w.ppm" 0 0 0 0)', '(qmxClose id="1")'],
                           name="nothing")
    cli.expect("an import that changes nothing", replies, ["1", "()", "()"])
    cli.expect("no false alarm", "not saved" in err, False)


def group_changed():
    # (a) R read a point, its file was closed while idle, W wrote the file
    # meanwhile: R's later reads say the file changed; R reopening it reads
    # the new file.
    old, new = coordinate_image(np, 256, 256), 255 - coordinate_image(np, 256, 256)
    write_ppm(cli.path("old.ppm"), old)
    write_ppm(cli.path("new.ppm"), new)
    replies, _ = cli.run([matrix("k.mx", (256, 256), block=6), '(qmxImportPNM id="1" "old.ppm" 0 0 0 0)',
                          '(qmxClose id="1")'], name="make")
    cli.expect("made k.mx", replies, ["1", "()", "()"])
    r = cli.agent("r", env=QUICK_CLOSE)
    cli.expect("R reads a point", r.ask('(qmxGetPoint "k.mx" (List 0 10 10))') not in (None, "()"), True)
    w = cli.agent("w")
    # W opens the file once R's closer has let it go.
    opened = open_when_free(w, reopen("k.mx"), 90)
    cli.expect("W opens once R's file closed", error_of(opened), None)
    cli.expect("W writes", [w.ask(f'(qmxImportPNM id="{opened}" "new.ppm" 0 0 0 0)'),
                            w.ask(f'(qmxClose id="{opened}")')], ["()", "()"])
    reply = r.ask('(qmxExportPNM id="1" "rk.ppm" 0 0)')
    e = error_of(reply)
    cli.expect("R's export is refused", e is not None and e[0] == NO_OBJECT and CAUSES[-127] in e[2] and "-127" in e[2],
               True)
    cli.expect("nothing written for it", os.path.exists(cli.path("rk.ppm")), False)
    cli.expect("R reopens", [r.ask('(qmxClose id="1")'), r.ask('(qmxGetPoint "k.mx" (List 0 10 10))') is not None,
                             r.ask('(qmxExportPNM id="2" "rk.ppm" 0 0)')], ["()", True, "()"])
    cli.expect("the new file read", np.array_equal(read_ppm(np, cli.path("rk.ppm")), new), True)
    cli.expect("R ends", r.end(), 0)
    cli.expect("W ends", w.end(), 0)


def group_busy():
    # (c) W's file closed while idle; R holds it by reading; W's loads are
    # refused as busy, and loaded again once R has ended.
    pic = coordinate_image(np, 512, 512)
    write_ppm(cli.path("p.ppm"), pic)
    write_ppm(cli.path("part.ppm"), np.zeros((64, 64, 3), np.uint8))
    replies, _ = cli.run([matrix("s.mx", (512, 512), block=6), '(qmxImportPNM id="1" "p.ppm" 0 0 0 0)',
                          '(qmxScan id="1" area="21" call-dir="pre" (List 0 0 0) (List 0 511 511))',
                          '(qmxClose id="1")'], name="make")
    cli.expect("made s.mx", replies, ["1", "()", "0", "()"])
    before = file_bytes("s.mx")
    w = cli.agent("w", env=QUICK_CLOSE)
    cli.expect("W opens", w.ask(reopen("s.mx")), "1")
    r = cli.agent("r")
    wait_until("W's file closed", lambda: error_of(r.ask('(qmxGetPoint "s.mx" (List 0 10 10))')) is None)
    reply = w.ask('(qmxImportPNM id="1" "part.ppm" 0 0 128 128)')
    cli.expect_error("W's import while R reads", reply, NO_OBJECT)
    cli.expect("the import's answer names -128 and why", "-128" in reply and "busy in another process" in reply, True)
    expect_fault("W's export while R reads", w.ask('(qmxExportPNM id="1" "busy.ppm" 0 0)'), -128, [0, 0, 0])
    cli.expect("nothing written for it", os.path.exists(cli.path("busy.ppm")), False)
    cli.expect("R ends", r.end(), 0)
    cli.expect("W's export once R ended", w.ask('(qmxExportPNM id="1" "s0.ppm" 0 0)'), "()")
    cli.expect("every node read again", np.array_equal(read_ppm(np, cli.path("s0.ppm")), pic), True)
    cli.expect("W's close", w.ask('(qmxClose id="1")'), "()")
    cli.expect("W ends", w.end(), 0)
    cli.expect("the file unchanged", file_bytes("s.mx"), before)


def group_busy_walk():
    # W's file closed while idle, R holding it: W's walks (a copy from it, a
    # scan) and an export of a coarser level answer the file's error and
    # cause, never success for work not done, and do the work once R ended.
    # A reader's scan while a writer holds the file likewise.
    new = 255 - coordinate_image(np, 256, 256)
    write_ppm(cli.path("old.ppm"), 255 - new)
    write_ppm(cli.path("new.ppm"), new)
    cli.run([matrix("k.mx", (256, 256), block=6, save_up=THIN), '(qmxImportPNM id="1" "old.ppm" 0 0 0 0)'], name="make")
    busy = f'("k.mx" -128 "{CAUSES[-128]}")'
    scan = '(qmxScan id="1" area="21" call-dir="pre" (List 0 0 0) (List 0 255 255))'
    w = cli.agent("w", env=QUICK_CLOSE)
    for form in (reopen("k.mx"), '(qmxImportPNM id="1" "new.ppm" 0 0 0 0)',
                 matrix("c.mx", (256, 256), block=6)):
        w.ask(form)
    r = cli.agent("r")
    wait_until("W's file closed", lambda: error_of(r.ask('(qmxGetPoint "k.mx" (List 0 10 10))')) is None)
    for form in ('(qmxCopy src="1" dest="2" (List 0))', scan, '(qmxExportPNM id="1" "w1.ppm" 0 1)'):
        cli.expect_error(f"while R reads: {form}", w.ask(form), STORE, busy)
    cli.expect("nothing exported", os.path.exists(cli.path("w1.ppm")), False)
    cli.expect("R ends", r.end(), 0)
    cli.expect("once R ended", [w.ask(scan), w.ask('(qmxExportPNM id="1" "w1.ppm" 0 1)'), w.ask('(qmxClose id="1")')],
               ["0", "()", "()"])
    cli.expect("the new level 1", np.array_equal(read_ppm(np, cli.path("w1.ppm")), new.reshape(128, 2, 128, 2, 3).sum((1, 3)) // 4), True)
    r2 = cli.agent("r2", env=QUICK_CLOSE)
    cli.expect("R2 reads", error_of(r2.ask('(qmxGetPoint "k.mx" (List 0 10 10))')), None)
    w2 = cli.agent("w2")
    cli.expect("W2 opens once R2's file closed", error_of(open_when_free(w2, reopen("k.mx"), 90)), None)
    cli.expect_error("R2's scan while W2 holds the file", r2.ask(scan), STORE, busy)


def group_temps():
    # Temporaries that exports into the same target left when their process
    # died are removed by the next export into it; a live process's, other
    # targets', other users' and files that merely look alike stay.
    gone = subprocess.Popen(["true"])
    gone.wait()
    live = subprocess.Popen(["sleep", "600"])
    cli.procs.append(live)
    os.makedirs(cli.path("out"))
    names = {f".x.ppm.{gone.pid}.0.tmp": False, f".x.ppm.{gone.pid}.17.tmp": False,
             f".y.ppm.{gone.pid}.17.tmp": True, f".photo.{gone.pid}.1.tmp": True, f".notes.txt.{gone.pid}.7.tmp": True,
             f".x.ppm.0{gone.pid}.3.tmp": True,
             f".x.ppm.{live.pid}.1.tmp": True, f".x.ppm.{os.getpid()}.2.tmp": True,
             f"x.ppm.{gone.pid}.0.tmp": True, f".x.ppm.{gone.pid}.tmp": True, f".x.ppm.{gone.pid}.a.tmp": True,
             f".x.ppm.{gone.pid}.0.tmp.keep": True}
    if os.geteuid() == 0:
        names[f".x.ppm.{gone.pid}.5.tmp"] = True  # another user's, below
    for n in names:
        with open(cli.path("out/" + n), "w") as f:
            f.write("x")
    if os.geteuid() == 0:
        os.chown(cli.path(f"out/.x.ppm.{gone.pid}.5.tmp"), 65534, 65534)
    write_ppm(cli.path("a.ppm"), coordinate_image(np, 64, 64))
    replies, _ = cli.run([matrix("t.mx", (64, 64), block=6), '(qmxImportPNM id="1" "a.ppm" 0 0 0 0)',
                          '(qmxExportPNM id="1" "out/x.ppm" 0 0)'], name="export")
    cli.expect("export", replies[2], "()")
    left = set(os.listdir(cli.path("out")))
    cli.expect("temporaries kept", sorted(n for n in names if n in left), sorted(n for n, keep in names.items() if keep))
    cli.expect("the picture", "x.ppm" in left, True)


GROUPS = {"damaged": group_damaged, "close": group_close, "changed": group_changed, "busy": group_busy,
          "busy_walk": group_busy_walk, "temps": group_temps}

try:
    GROUPS[GROUP]()
finally:
    cli.finish()
