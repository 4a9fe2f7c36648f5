"""Shared pieces of the codec checks: the harness, the outside tools they
are held against, and deterministic test images."""
import os
import random
import shutil
import subprocess
import sys
import tempfile
import unittest

CHECK = None  # path of codec_check, from the command line


def main():
    """Runs the calling module's tests with the harness named on the command line."""
    global CHECK
    if len(sys.argv) < 2:
        sys.exit("usage: %s PATH-TO-codec_check [unittest args]" % sys.argv[0])
    CHECK = sys.argv.pop(1)
    unittest.main()


def tool(name):
    """The path of an outside tool; a missing tool fails the check."""
    for path in ("/usr/bin/" + name, shutil.which(name)):
        if path and os.access(path, os.X_OK):
            return path
    raise AssertionError("outside tool %r is missing: run scripts/setup.sh" % name)


def run(args, data=b"", check=True):
    """Runs a command; returns (exit code, stdout, stderr)."""
    p = subprocess.run(args, input=data, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if check and p.returncode != 0:
        raise AssertionError("%s failed (%d): %s" % (" ".join(map(str, args)), p.returncode, p.stderr.decode()))
    return p.returncode, p.stdout, p.stderr


def harness(*args, data=b"", check=True):
    return run([CHECK, *map(str, args)], data, check)


def ppm(width, height, rgb):
    return b"P6\n%d %d\n255\n" % (width, height) + bytes(rgb)


def parse_pnm(data):
    """(magic, width, height, maxval, pixels) of a raw PNM without comments."""
    fields, at = [], 0
    while len(fields) < 4:
        while data[at:at + 1].isspace():
            at += 1
        start = at
        while not data[at:at + 1].isspace():
            at += 1
        fields.append(data[start:at])
    return fields[0].decode(), int(fields[1]), int(fields[2]), int(fields[3]), data[at + 1:]


def test_image(width, height, seed=1, noise_bits=4):
    """RGB bytes of a gradient picture with noise in the low bits, the same
    for a seed."""
    rnd = random.Random(seed)
    base = bytes((x * 255 // max(width, 1) + c * 85) & 255 for x in range(width) for c in range(3))
    mask = bytes(v & ((1 << noise_bits) - 1) for v in range(256))
    rows = []
    for y in range(height):
        shift = y * 255 // max(height, 1)
        row = base.translate(bytes((v + shift) & 255 for v in range(256)))
        noise = rnd.randbytes(len(row)).translate(mask)
        rows.append((int.from_bytes(row, "big") ^ int.from_bytes(noise, "big")).to_bytes(len(row), "big"))
    return b"".join(rows)


class TempDir(unittest.TestCase):
    def setUp(self):
        self._tmp = tempfile.TemporaryDirectory()
        self.dir = self._tmp.name

    def tearDown(self):
        self._tmp.cleanup()

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)
        return self.path(name)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()
