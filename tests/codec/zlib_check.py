#!/usr/bin/env python3
"""zlib blocks against Python's zlib: zlib_check.py PATH-TO-codec_check."""
import os
import struct
import zlib

import codec_tools as ct


def batch(streams):
    """Our verdict per stream: None for null, else the inflated bytes."""
    data = b"".join(struct.pack(">I", len(s)) + s for s in streams)
    _, out, _ = ct.harness("zbatch", data=data)
    return [None if line == b"null" else bytes.fromhex(line.decode()) for line in out.splitlines()]


def python_verdict(stream):
    try:
        return zlib.decompress(stream)
    except zlib.error:
        return None


class Zlib(ct.TempDir):
    def test_both_ways_at_every_level(self):
        sources = [b"", b"x", os.urandom(400) + bytes(600), ct.test_image(500, 667, noise_bits=3)[:1000000]]
        for data in sources:
            for level in range(-1, 10):
                _, ours, _ = ct.harness("zdeflate", level, data=data)
                self.assertEqual(zlib.decompress(ours), data, (len(data), level))
                theirs = zlib.compress(data, level)
                _, back, _ = ct.harness("zinflate", data=theirs)
                self.assertEqual(back, data, (len(data), level))

    def test_a_refused_level(self):
        rc, _, _ = ct.harness("zdeflate", 10, data=b"abc", check=False)
        self.assertEqual(rc, 3)

    def test_damaged_and_foreign_streams(self):
        streams = [zlib.compress(b"The quick brown fox " * 3, 6), zlib.compress(bytes(range(40)), 0)]
        cases = []
        for s in streams:
            cases += [s[:n] for n in range(len(s))]
            cases += [s[:i] + bytes([s[i] ^ (1 << b)]) + s[i + 1:] for i in range(len(s)) for b in range(8)]
        verdicts = batch(cases)
        self.assertEqual(len(verdicts), len(cases))
        for case, ours in zip(cases, verdicts):
            self.assertEqual(ours, python_verdict(case), case.hex())
        # Every prefix is refused.
        self.assertTrue(all(v is None for v in verdicts[:len(streams[0])]))

        payload = b"dictionary words dictionary words"
        c = zlib.compressobj(zdict=b"dictionary words")
        with_dict = c.compress(payload) + c.flush()
        raw = zlib.compressobj(wbits=-15)
        gz = zlib.compressobj(wbits=31)
        foreign = [with_dict, raw.compress(payload) + raw.flush(), gz.compress(payload) + gz.flush()]
        self.assertEqual(batch(foreign), [None, None, None])

    def test_the_inflate_ceiling(self):
        # No single allocation may pass the ceiling (plus the allocator's
        # own header): the sanitizer's per-allocation limit enforces it.
        env = dict(os.environ, ASAN_OPTIONS="max_allocation_size_mb=257:allocator_may_return_null=0")
        for size, accepted in ((256 << 20, True), ((256 << 20) + 1, False)):
            path = self.write("big.z", zlib.compress(bytes(size), 9))
            with open(path, "rb") as f:
                p = ct.subprocess.run([ct.CHECK, "zinflate"], stdin=f, stdout=ct.subprocess.PIPE,
                                      stderr=ct.subprocess.PIPE, env=env)
            self.assertEqual(p.returncode, 0 if accepted else 3, p.stderr.decode()[-2000:])
            if accepted:
                self.assertEqual(len(p.stdout), size)


if __name__ == "__main__":
    ct.main()
