#!/usr/bin/env python3
"""Damaged matrix files given to qmxCreate with a full description.

usage: damaged_mx.py QNMX

Makes a small matrix file with the qnmx program (channels with default
data, stored scripts and priorities), then every cut of it (1 to size - 1
bytes) and every single-byte flip (each byte XOR 0xFF, 0x01 and 0x80), and
gives all of them to one qnmx process, each to a qmxCreate with the same
description. validate_mx.py judges each copy beforehand:
  new    nothing but a sound record-file header and free list: an id;
  valid  a matrix file that holds together: an id;
  bad    anything else: the store's -129 and not one byte changed.
Prints the copies that break this and exits 1 when any does.
"""
import os
import re
import resource
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "matrix"))
sys.path.insert(0, os.path.join(HERE, "..", "store"))
import validate_mx as vm  # noqa: E402
import validate_pdb64 as pdb  # noqa: E402

DESCRIPTION = """(qmxMatrixParam channel_nos="3" dim="2"
    (qmxPriority area="2" pri="1" mode="server") (qmxPriority area="5" pri="3"))
  (qmxMatrixPixelSize dim="0" value="100") (qmxMatrixPixelSize dim="1" value="60")
  (qmxMatrixBlockSize dim="0" value="4") (qmxMatrixBlockSize dim="1" value="3")
  (qmxMatrixDimDivide dim="0" value="1") (qmxMatrixDimDivide dim="1" value="1")
  (qmxChannelInfo channel="0" type="int16" file="on" 700)
  (qmxChannelInfo channel="2" type="uint8" send="on" 9)
  (qmxPhase area="3" mode="server" (mxLoad target="n"))
  (qmxPhase area="4" mode="server" type="equ" equ="3")
  (qmxPhase area="21" mode="client" (mxSave))""".replace("\n", " ")
FLIPS = (0xFF, 0x01, 0x80)


def verdict(data):
    errors, records = vm.problems(data)
    heads = [o for o, r in records.items() if r[0] == pdb.FREE_HEAD]
    own = (pdb.FILE_HEADER, pdb.FREE_HEAD, pdb.FREE_SEG)
    if len(heads) != 1 or not records:
        return "bad"
    if all(r[0] in own for r in records.values()):
        # A matrix problem of a file without a matrix is its newness.
        body = errors[-1:] == ["0 matrix headers"]
        return "new" if not errors or body else "bad"
    return "bad" if errors else "valid"


def open_files_for(count):
    """Raises the soft limit of open files (which the qnmx process inherits)
    to hold count, as far as the hard limit lets it: a login's 1,024 is
    fewer than the copies that stay open."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    want = count if hard == resource.RLIM_INFINITY else min(count, hard)
    if soft != resource.RLIM_INFINITY and soft < want:
        resource.setrlimit(resource.RLIMIT_NOFILE, (want, hard))


def main(qnmx, work):
    os.chdir(work)
    os.environ["HOME"] = work
    for name in ("ZUPATH", "STD_CODE"):
        os.environ.pop(name, None)
    with open("make.zu", "w") as f:
        f.write('(qmxCreate filename="good.mx" %s)\n' % DESCRIPTION)
    subprocess.run([qnmx, "make.zu", "make.txt"], check=True, stderr=subprocess.DEVNULL)
    good = open("good.mx", "rb").read()
    if verdict(good) != "valid":
        print("the original does not validate: %s" % vm.problems(good)[0])
        return 1
    copies = [("cut%d" % n, good[:n]) for n in range(1, len(good))]
    for at in range(len(good)):
        for x in FLIPS:
            copies.append(("flip%d_%x" % (at, x), good[:at] + bytes([good[at] ^ x]) + good[at + 1:]))
    with open("all.zu", "w") as script:
        for name, data in copies:
            with open(name + ".mx", "wb") as f:
                f.write(data)
            script.write('(qmxCreate filename="%s.mx" %s)\n' % (name, DESCRIPTION))
    # Every copy that opens stays open to the end of the process.
    open_files_for(len(copies) + 256)
    subprocess.run([qnmx, "all.zu", "all.txt"], stderr=subprocess.DEVNULL, timeout=300)
    replies = {int(m.group(1)): m.group(2)
               for m in re.finditer(r"<Result> (\d+) (.*?)</Result>", open("all.txt").read(), re.S)}
    faults = []
    counts = {}
    for line, (name, data) in enumerate(copies, 1):
        want = verdict(data)
        counts[want] = counts.get(want, 0) + 1
        got = replies.get(line, "no reply")
        after = open(name + ".mx", "rb").read()
        if want == "bad":
            if not got.endswith(' "qmxCreate" (-129 "not a matrix file, or a damaged one"))'):
                faults.append("%s: %s (%s)" % (name, got, vm.problems(data)[0][:1]))
            elif after != data:
                faults.append("%s: refused but changed (%d bytes now)" % (name, len(after)))
        elif not re.fullmatch(r"\d+", got):
            faults.append("%s (%s): %s" % (name, want, got))
    print("%d copies of a %d-byte file: %s" % (len(copies), len(good), counts))
    for f in faults[:40]:
        print("FAIL " + f)
    if faults:
        print("%d copies handled wrongly" % len(faults))
    return 1 if faults else 0


if __name__ == "__main__":
    with tempfile.TemporaryDirectory(prefix="qnmx_damaged_") as work:
        sys.exit(main(os.path.realpath(sys.argv[1]), work))
