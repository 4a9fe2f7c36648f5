#!/usr/bin/env python3
"""layering.py on small trees made here: folders that Python leaves beside
imported modules (__pycache__) are no part of the tree, while a real folder
of tests/support that names no layer is still reported."""
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
FILES = {
    "src/CMakeLists.txt": "set(QNMX_SUBSYSTEMS base)\n",
    "src/base/a.h": "#pragma once\n",
    "tests/base/a_test.cc": '#include "base/a.h"\n#include "support/s.h"\n',
    "tests/support/s.h": "#pragma once\n",
}
CACHES = ["tests/__pycache__/m.cpython-311.pyc", "tests/support/__pycache__/checks.cpython-311.pyc",
          "tests/base/__pycache__/m.cpython-311.pyc"]
CASES = [
    # (what, files added to FILES, problems expected)
    ("a clean tree", [], 0),
    ("byte code beside the scripts", CACHES, 0),
    ("a support folder of no layer", CACHES + ["tests/support/nolayer/x.h"], 1),
]

failed = 0
for what, extra, want in CASES:
    with tempfile.TemporaryDirectory(prefix="qnmx_layering_") as root:
        for rel in list(FILES) + extra:
            os.makedirs(os.path.dirname(os.path.join(root, rel)), exist_ok=True)
            with open(os.path.join(root, rel), "w") as f:
                f.write(FILES.get(rel, ""))
        r = subprocess.run([sys.executable, os.path.join(HERE, "layering.py"), root], capture_output=True, text=True)
        got = int(r.stdout.rsplit(", ", 1)[-1].split()[0]) if " problems" in r.stdout else -1
        if got != want or r.returncode != (1 if want else 0):
            failed += 1
            print("FAIL: %s: %d problem(s), %d expected:\n%s" % (what, got, want, r.stdout + r.stderr))
print("layering_test: %d case(s), %d failed" % (len(CASES), failed))
sys.exit(1 if failed else 0)
