#!/usr/bin/env python3
"""Checks the plot blocks of a parent and its children, as a matrix script
made them, against the outside model of plot_model.py:
plot_blocks.py MANIFEST.

The manifest's lines (paths relative to the manifest's folder):
  geom BS0:BS1.. DD0:DD1..
  run plain|zlib FIRST_ID     one script's blocks follow, compressed for zlib
  child LEVEL:C0:C1.. PATH    a child's block as the script read it
  diff PATH                   the blocks of mxPgPlotDiff: parent, then one
                              difference list per child, in child order
  add PATH                    mxPgPlotAdd of each child with points, in
                              child order, its new object ids counted from
                              FIRST_ID (a child without points has an empty
                              difference list, which mxPgPlotAdd refuses)
Compressed blocks are inflated (their first byte must be 0x0D) and must
hold the same code as the plain run before them. Prints "ok" and the number of
points checked, or each mismatch (and exits 1)."""
import os
import sys
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import plot_model as pm  # noqa: E402


def main():
    manifest = sys.argv[1]
    base = os.path.dirname(manifest)
    geom, runs = None, []
    with open(manifest) as f:
        for line in f:
            word, *args = line.split()
            if word == "geom":
                geom = tuple([int(v) for v in a.split(":")] for a in args)
            elif word == "run":
                runs.append({"zlib": args[0] == "zlib", "first_id": int(args[1]), "child": [], "diff": [], "add": []})
            else:
                data = open(os.path.join(base, args[-1]), "rb").read()
                dc = [int(v) for v in args[0].split(":")] if word == "child" else None
                runs[-1][word].append((dc, data))
    fails, points, plain = [], 0, {}

    def code_of(run, data, what):
        if not run["zlib"]:
            return data
        z = zlib.decompress(data)
        if z[0] != 0x0D:
            fails.append("%s: type byte %#x" % (what, z[0]))
        return z[1:]

    bs, dd = geom
    for run in runs:
        children = [(dc, code_of(run, b, "child")) for dc, b in run["child"]]
        tag = "%s run of the children of %s" % ("zlib" if run["zlib"] else "plain",
                                                 children and [children[0][0][0] + 1] + children[0][0][1:])
        diffs = [code_of(run, b, "diff") for _, b in run["diff"]]
        adds = [code_of(run, b, "add") for _, b in run["add"]]
        for what, got in (("child", [c for _, c in children]), ("diff", diffs)):
            if not run["zlib"]:
                plain[what] = got
            elif plain.get(what) != got:
                fails.append("%s %s blocks differ from the plain run's" % (tag, what))
        parent, lists, sorted_children = [], [], []
        for dc, code in children:
            xs = pm.sort(bs, pm.read(code, len(bs)))
            up, down = pm.diff_pp(geom, xs)
            parent = pm.splice(geom, parent, up, dc)
            lists.append(down)
            sorted_children.append(xs)
            points += len(xs)
        want = [pm.write(parent)] + [pm.write(d) for d in lists]
        for i, (g, w) in enumerate(zip(diffs, want)):
            if g != w:
                fails.append("%s diff block %d: got %s want %s" % (tag, i, g.hex(), w.hex()))
        if len(diffs) != len(want):
            fails.append("%s: %d diff blocks, %d wanted" % (tag, len(diffs), len(want)))
        ids = pm.ids_from(run["first_id"])
        rebuilt_children = [(dc, d, xs) for (dc, _), d, xs in zip(children, lists, sorted_children) if d]
        if len(rebuilt_children) != len(adds):
            fails.append("%s: %d add blocks, %d wanted" % (tag, len(adds), len(rebuilt_children)))
        for i, (dc, down, xs) in enumerate(rebuilt_children):
            rebuilt = pm.add_diff(geom, parent, down, dc, ids)
            if i >= len(adds) or pm.write(rebuilt) != adds[i]:
                fails.append("%s add block %d differs from the model" % (tag, i))
            # The child comes back, apart from the group marks and the ids
            # the difference list does not carry.
            plain_pts = [[p[0] & ~0x50, p[1], p[2], p[4]] for p in rebuilt]
            if plain_pts != [[p[0] & ~0x50, p[1], p[2], p[4]] for p in xs]:
                fails.append("%s add block %d is not the child" % (tag, i))
    for f in fails:
        print(f)
    if not fails:
        print("ok %d" % points)
    return 1 if fails else 0


if __name__ == "__main__":
    sys.exit(main())
