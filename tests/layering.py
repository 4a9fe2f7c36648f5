#!/usr/bin/env python3
"""Checks the layering of the source tree.

Each folder under src/ may include its own headers and those of the folders
below it in the table; tests/<folder> may include what src/<folder> may,
plus the test support library. The support library's own files stand on
nothing of the product, except those under tests/support/<layer>/, which may
include what src/<layer> may; a file including support/<layer>/ must be
allowed <layer> itself. Benchmarks may use the support headers too. A header
ending in _impl.h is private to its folder (and that folder's tests). The library list in src/CMakeLists.txt
must name every folder after all the folders it may include, and every
folder under src/ must be in the table.

Usage: layering.py <source root>. Prints each violation; exits 1 if any.
"""
import os
import re
import sys

# Who may include whom, directly; each folder may also include everything
# below what it names.
DIRECT = {
    "base": [],
    "text": ["base"],
    "stream": ["text"],
    "zu": ["stream"],
    "runtime": ["zu"],
    "store": ["zu"],
    "codec": ["text"],
    "elements": ["runtime", "store"],
    "matrix": ["elements", "codec"],
    "matrix_ops": ["matrix"],
    "zulib": ["runtime", "store", "codec"],
    "netsvc": ["zulib"],
    "agent": ["matrix_ops", "netsvc"],
    "app": ["agent"],
}
# The test support library stands on nothing of the product.
SUPPORT = "support"
# Folders outside src/ whose sources belong to no single layer: they may
# include any public header (but no other folder's _impl.h).
FREE = ("tools", "bench", "fuzz")

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)
SOURCE = re.compile(r"\.(cc|h|cpp|hpp)$")


def allowed_closure():
    closure = {}

    def walk(f, seen):
        for d in DIRECT[f]:
            if d not in seen:
                seen.add(d)
                walk(d, seen)
        return seen

    for f in DIRECT:
        closure[f] = walk(f, {f})
    return closure


# Folders that Python makes beside the scripted tests' modules; no part of
# the tree.
SKIPPED = ("__pycache__",)


def subfolders(path):
    return [d for d in sorted(os.listdir(path)) if os.path.isdir(os.path.join(path, d)) and d not in SKIPPED]


def sources(root, top):
    base = os.path.join(root, top)
    for dirpath, dirs, files in os.walk(base):
        dirs[:] = [d for d in dirs if d not in SKIPPED]
        for name in sorted(files):
            if SOURCE.search(name):
                yield os.path.join(dirpath, name)


def check_file(root, path, layer, closure, problems):
    """layer: the folder whose rules apply, SUPPORT, or None (free)."""
    rel = os.path.relpath(path, root)
    with open(path, encoding="utf-8", errors="replace") as f:
        text = f.read()
    for m in INCLUDE.finditer(text):
        inc = m.group(1)
        line = text.count("\n", 0, m.start()) + 1
        where = f"{rel}:{line}: \"{inc}\""
        if "/" not in inc:
            continue  # beside the including file
        top = inc.split("/", 1)[0]
        if top == SUPPORT:
            if not rel.startswith(("tests/", "fuzz/", "bench/")):
                problems.append(f"{where}: test support outside the tests")
                continue
            under = inc.split("/")[1] if inc.count("/") >= 2 else None
            if under in closure and layer is not None and (layer == SUPPORT or under not in closure[layer]):
                problems.append(f"{where}: {layer} may not use the support of {under}")
            continue
        if top not in closure:
            if not os.path.exists(os.path.join(os.path.dirname(path), inc)):
                problems.append(f"{where}: no folder \"{top}\" in the layering table")
            continue
        if inc.endswith("_impl.h") and top != layer:
            problems.append(f"{where}: {inc} is internal to {top}")
            continue
        if layer == SUPPORT:
            problems.append(f"{where}: test support may not include the product")
        elif layer is not None and top not in closure[layer]:
            problems.append(f"{where}: {layer} may not include {top} "
                            f"(allowed: {', '.join(sorted(closure[layer]))})")


def support_layer(root, path, closure):
    """The layer whose rules a support file follows: <layer> for one under
    tests/support/<layer>/, else the support library's own (SUPPORT)."""
    parts = os.path.relpath(path, os.path.join(root, "tests", SUPPORT)).split(os.sep)
    if len(parts) < 2:
        return SUPPORT
    if parts[0] not in closure:
        return None  # reported by main: no such layer
    return parts[0]


def check_order(root, problems):
    path = os.path.join(root, "src", "CMakeLists.txt")
    with open(path, encoding="utf-8") as f:
        m = re.search(r"set\(QNMX_SUBSYSTEMS([^)]*)\)", f.read())
    if not m:
        problems.append("src/CMakeLists.txt: no QNMX_SUBSYSTEMS list")
        return
    order = m.group(1).split()
    for i, f in enumerate(order):
        if f not in DIRECT:
            problems.append(f"src/CMakeLists.txt: \"{f}\" is not in the layering table")
            continue
        for d in DIRECT[f]:
            if d not in order[:i]:
                problems.append(f"src/CMakeLists.txt: \"{f}\" comes before \"{d}\", which it builds on")
    for d in sorted(os.listdir(os.path.join(root, "src"))):
        if os.path.isdir(os.path.join(root, "src", d)) and d != "app" and d not in order:
            problems.append(f"src/{d}: a folder missing from QNMX_SUBSYSTEMS and the layering table")


def main():
    root = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else ".")
    closure = allowed_closure()
    problems = []
    checked = 0
    for folder in sorted(os.listdir(os.path.join(root, "src"))):
        if not os.path.isdir(os.path.join(root, "src", folder)):
            continue
        for p in sources(root, os.path.join("src", folder)):
            layer = folder if folder in closure else None
            if layer is None:
                problems.append(f"{os.path.relpath(p, root)}: folder not in the layering table")
            check_file(root, p, layer, closure, problems)
            checked += 1
    tests = os.path.join(root, "tests")
    for folder in subfolders(tests):
        if folder == SUPPORT:
            for sub in subfolders(os.path.join(tests, folder)):
                if sub not in closure:
                    problems.append(f"tests/{SUPPORT}/{sub}: names no folder of the layering table")
        layer = SUPPORT if folder == SUPPORT else folder
        if layer != SUPPORT and layer not in closure:
            problems.append(f"tests/{folder}: mirrors no folder of the layering table")
            continue
        for p in sources(root, os.path.join("tests", folder)):
            check_file(root, p, support_layer(root, p, closure) if layer == SUPPORT else layer, closure, problems)
            checked += 1
    for top in FREE:
        for p in sources(root, top):
            check_file(root, p, None, closure, problems)
            checked += 1
    check_order(root, problems)
    for p in problems:
        print(p)
    print(f"layering: {checked} files checked, {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
