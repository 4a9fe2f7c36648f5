#!/usr/bin/env python3
"""The main road of two builds of qnmx in turn, without a lock service:
mainroad_builds.py QNMX_A QNMX_B [SIDE] (release builds; SIDE 4096).

One whole qnmx process per run: a new rgb8 matrix of 256 x 256 nodes, the
import of a SIDE x SIDE P6 (qmxImportPNM), a scan of the 2 x 2 mean save
scripts over the whole area (every coarser level), the export of level 3
and the close, which syncs the file. Runs go in pairs, A then B
(QNMX_BENCH_REPEATS pairs, 5 by default), each from an empty folder; the
median of the pairs' ratios A / B is printed with every pair's, and level 3
of both builds' last runs must agree."""
import os
import shutil
import statistics
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pairs  # noqa: E402

THIN = '(mxSet 0 (mxThinnedOut type="average" channel="0" (mxCH type="children" 0))) (mxSave)'


def road(side):
    sizes = " ".join(f'(qmxMatrixPixelSize dim="{d}" value="{side}") (qmxMatrixBlockSize dim="{d}" value="8") '
                     f'(qmxMatrixDimDivide dim="{d}" value="1")' for d in (0, 1))
    fetch = ('(mxFinish normal-jump-status="MS_OK" err-jump-status="MS_LOADING_ERR_1") '
             '(mxLoad target="file-n-create")')
    return [f'(qmxCreate filename="b.mx" activePhase_mode="direct" (qmxMatrixParam channel_nos="1" dim="2") {sizes} '
            f'(qmxChannelInfo channel="0" type="rgb8_v" file="on") (qmxPhase area="3" {fetch}) '
            '(qmxPhase area="4" type="equ" equ="3") (qmxPhase area="5" type="equ" equ="3") '
            f'(qmxPhase area="21" {THIN}) (qmxPhase area="22" type="equ" equ="21") (qmxPhase area="23" (mxSave)))',
            '(qmxImportPNM id="1" "../in.ppm" 0 0 0 0)',
            f'(qmxScan id="1" area="21" call-dir="pre" (List 0 0 0) (List 0 {side - 1} {side - 1}))',
            '(qmxExportPNM id="1" "l3.ppm" 0 3)', '(qmxClose id="1")']


def main(argv):
    np = pairs.numpy()
    builds, side = [os.path.realpath(a) for a in argv[:2]], int(argv[2]) if len(argv) > 2 else 4096
    with tempfile.TemporaryDirectory(prefix="mainroad", dir=os.environ.get("TMPDIR", "/var/tmp")) as d:
        x = np.arange(side, dtype=np.int64)[None, :]
        y = np.arange(side, dtype=np.int64)[:, None]
        img = np.stack([(x * 7 + y * 13) & 255, (x + 3 * y) & 255, ((x * y) >> 5) & 255], -1).astype(np.uint8)
        with open(os.path.join(d, "in.ppm"), "wb") as f:
            f.write(b"P6\n%d %d\n255\n" % (side, side) + img.tobytes())
        env = dict(os.environ, STD_CODE="UTF-8", HOME=d)
        for k in ("QNMX_TRACE", "ZUPATH"):
            env.pop(k, None)

        def run(k):
            work = os.path.join(d, "ab"[k])
            shutil.rmtree(work, ignore_errors=True)
            os.makedirs(work)
            with open(os.path.join(work, "s.zu"), "w") as f:
                f.write("\n".join(road(side)) + "\n")
            return pairs.script(builds[k], "s.zu", "s.out", work, env, "the road of " + builds[k])
        a, b = pairs.alternate(lambda: run(0), lambda: run(1))
        levels = [open(os.path.join(d, k, "l3.ppm"), "rb").read() for k in "ab"]
        ratios = [p / q for p, q in zip(a, b)]
        print(f"main road {side}^2, A {builds[0]}, B {builds[1]}: A/B median {statistics.median(ratios):.4f}; "
              f"pairs {' '.join(f'{r:.3f}' for r in ratios)}; A {statistics.median(a):.3f} s, "
              f"B {statistics.median(b):.3f} s; level 3 {'alike' if levels[0] == levels[1] else 'DIFFERS'}")
        return 0 if levels[0] == levels[1] else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
