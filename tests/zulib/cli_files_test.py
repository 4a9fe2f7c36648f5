#!/usr/bin/env python3
"""End-to-end tests of the file, path and rule built-ins.

cli_files_test.py <qnmx binary> <group>

Each group builds a file tree with the system's own tools (mkdir -p,
touch -d @T, ln -s), runs qnmx scripts in it and checks the replies and the
tree against find, stat and small Python models of the star rules and of
"strictly newer".
"""
import os
import re
import shutil
import stat
import subprocess
import sys
import tempfile

QNMX = os.path.realpath(sys.argv[1])
GROUP = sys.argv[2]
WORK = tempfile.mkdtemp(prefix="qnmx_files_")
FAILS = []
T0 = 1_600_000_000  # a time well after the ZU epoch (2001)


def fail(what):
    FAILS.append(what)
    print("FAIL", what)


def sh(*args):
    subprocess.run(args, check=True, cwd=WORK)


def mk(tree):
    """tree: {path: mtime or None}; a path ending in "/" is a directory."""
    for p, t in tree.items():
        full = os.path.join(WORK, p)
        if p.endswith("/"):
            sh("mkdir", "-p", full)
        else:
            sh("mkdir", "-p", os.path.dirname(full))
            sh("touch", "-d", f"@{t or T0}", full)
    for p, t in tree.items():
        if p.endswith("/") and t:
            sh("touch", "-d", f"@{t}", os.path.join(WORK, p))


def run(forms, cwd=None, umask=None, want_rc=0):
    """Runs the forms (one per line) with cwd as the working directory;
    the parsed replies in order, and the standard error."""
    cwd = cwd or WORK
    home = os.path.join(WORK, ".home")
    os.makedirs(home, exist_ok=True)
    script = os.path.join(WORK, ".s.zu")
    with open(script, "w") as f:
        f.write("\n".join(forms) + "\n")
    env = {k: v for k, v in os.environ.items() if k != "ZUPATH"}
    env.update(HOME=home, STD_CODE="UTF-8")
    pre = (lambda: os.umask(umask)) if umask is not None else None
    r = subprocess.run([QNMX, script, "-"], cwd=cwd, env=env, capture_output=True, timeout=300, preexec_fn=pre)
    if r.returncode != want_rc:
        fail(f"qnmx exited {r.returncode}: {r.stderr[-500:]!r}")
    text = r.stdout.decode("utf-8")
    replies = re.findall(r"<Result> (\d+) (.*?)</Result>\n", text, re.S)
    if [int(n) for n, _ in replies] != list(range(1, len(forms) + 1)):
        fail(f"replies do not match the forms: {text[:800]!r}")
        return [None] * len(forms), r.stderr.decode()
    return [parse(v) for _, v in replies], r.stderr.decode()


def parse(text):
    """A printed value: lists and strings become Python lists and str,
    integers int; anything else stays as its text."""
    pos = 0

    def value():
        nonlocal pos
        while text[pos] == " ":
            pos += 1
        c = text[pos]
        if c == "(":
            pos += 1
            items = []
            while True:
                while text[pos] == " ":
                    pos += 1
                if text[pos] == ")":
                    pos += 1
                    return items
                items.append(value())
        if c == '"':
            pos += 1
            out = []
            while text[pos] != '"':
                if text[pos] == "\\":
                    pos += 1
                    out.append({"n": "\n", "t": "\t"}.get(text[pos], text[pos]))
                else:
                    out.append(text[pos])
                pos += 1
            pos += 1
            return "".join(out)
        m = re.compile(r"-?\d+(?=[ )]|$)").match(text, pos)
        if m:
            pos = m.end()
            return int(m.group())
        return text[pos:]  # an error or another atom: the rest as printed

    try:
        return value()
    except IndexError:
        return text


def q(s):
    return '"' + s.replace("\\", "\\\\").replace('"', '\\"') + '"'


def expect(name, got, want):
    if got != want:
        fail(f"{name}: got {got!r}, want {want!r}")


def expect_set(name, got, want):
    if not isinstance(got, list):
        fail(f"{name}: not a list: {got!r}")
    elif sorted(got) != sorted(want) or len(got) != len(set(got)):
        fail(f"{name}: extra {sorted(set(got) - set(want))}, missing {sorted(set(want) - set(got))}")


def find(*args):
    """find's answer without the names beginning with "." and below them."""
    r = subprocess.run(["find", ".", "-mindepth", "1", *args], cwd=WORK, capture_output=True, text=True, check=True)
    paths = [p[2:] for p in r.stdout.split("\n") if p.startswith("./")]
    return [p for p in paths if not any(c.startswith(".") for c in p.split("/"))]


def is_error(v, func, code=None):
    return isinstance(v, str) and v.startswith("#error(") and f'"{func}"' in v and (
        code is None or f"({code} " in v)


# ---- models


def star_regex(seg, one_or_more):
    """A star rule: "*" any run of characters in one component (one or more
    of them in rule patterns)."""
    return re.compile("".join("[^/]+" if c == "*" and one_or_more else "[^/]*" if c == "*" else re.escape(c)
                              for c in seg) + r"\Z", re.S)


def rule_pattern(text):
    """A Rule pattern as (kind, name) elements: kind d, f or "**" (trailing)."""
    segs = text.split("/")
    out = []
    for i, s in enumerate(segs[:-1]):
        out.append(("d", "$" if i == 0 and s == "" else s))
    if segs[-1] == "**":
        out.append(("**", None))
    elif segs[-1]:
        out.append(("f", segs[-1]))
    return out


def rule_match(q, p, prefix):
    """The odometer over the spans of the "**" elements, tried literally."""
    stars = [i for i, (k, n) in enumerate(q) if k == "**" or (k == "d" and n == "**")]
    spans = {i: 1 for i in stars}
    while True:
        i = j = 0
        ok = True
        while i < len(q) and j < len(p):
            k, n = q[i]
            if i in spans:
                take = p[j:j + spans[i]]
                if len(take) < spans[i] or (k == "d" and any(pk == "f" for pk, _ in take)):
                    ok = False
                    break
                j += spans[i]
            else:
                pk, pn = p[j]
                if pk != k or not star_regex(n, True).match(pn):
                    ok = False
                    break
                j += 1
            i += 1
        if ok and j == len(p) and (prefix or i == len(q)):
            return True
        for s in reversed(stars):
            if spans[s] < len(p):
                spans[s] += 1
                break
            spans[s] = 1
        else:
            return False


def rule_model(clauses, root):
    """The candidates the Rule clauses select: [(kind, pattern)]."""
    pats = [(k, rule_pattern(t)) for k, t in clauses]

    def decide(p, prefix):
        for k, qq in pats:
            if rule_match(qq, p, prefix):
                return k == "Accept"
        return False

    found = []
    todo = [[]]
    while todo:
        at = todo.pop()
        d = os.path.join(root, *[n for _, n in at])
        for name in os.listdir(d):
            if name.startswith("."):
                continue
            full = os.path.join(d, name)
            if not os.path.exists(full):
                continue
            kind = "d" if os.path.isdir(full) else "f" if os.path.isfile(full) else None
            if not kind:
                continue
            p = at + [(kind, name)]
            if decide(p, True):
                if decide(p, False):
                    found.append("/".join(n for _, n in p))
                if kind == "d" and not os.path.islink(full):
                    todo.append(p)
    return found


# ---- groups


def group_paths():
    # Expected values; ("!", function) for an error value from that function.
    cases = [
        ('(Directory "abc")', "."), ('(Directory "a/b/")', "a/b/"), ('(Directory mode="URL" "/nowhere/x")', []),
        ('(Leaf 1 "a/b/c")', "b/c"), ('(Leaf dir="back" 1 "a/b/c")', "a/b"), ('(Leaf 5 "a/b/c")', ""),
        ('(Leaf dir="back" 5 "a/b/c")', ""), ('(Leaf 0 "/a/b/")', "a/b/"), ('(Leaf dir="back" 0 "/a/b/")', "/a/b"),
        ('(Leaf 1.9 "/a/b")', "b"), ('(Prefix "a.b/c")', ""), ('(Prefix "a/b.tar.gz")', ".gz"),
        ('(Trunc "abc.txt" ".txt")', "abc"), ('(Trunc "t" "long")', "t"), ('(ComposePath "/a/b/c" "../d")', "/a/d"),
        ('(Directory mode="x" "a")', ("!", "Directory")), ('(Leaf "1" "a")', ("!", "Leaf")),
        ('(Trunc "a" 1)', ("!", "Trunc")), ('(ComposePath "/a" "../../..")', ("!", "ComposePath")),
    ]
    got, _ = run([f for f, _ in cases])
    for (form, want), g in zip(cases, got):
        if isinstance(want, tuple):
            if not is_error(g, want[1]):
                fail(f"{form}: {g!r}")
        else:
            expect(form, g, want)
    # Working directory: Chdir is seen by GetCwd and by relative paths; a
    # failed Chdir stays nil and names the reason on standard error.
    mk({"sub/inner/": None, "sub/inner/f.txt": None})
    got, err = run(['(Chdir "sub")', "(GetCwd)", '(FindFile scriptpath="off" "inner/*")', '(Chdir "missing")',
                    "(GetCwd)"])
    real = os.path.realpath(os.path.join(WORK, "sub"))
    expect("GetCwd after Chdir", got[1], real)
    expect("relative after Chdir", got[2], ["inner/f.txt"])
    expect("failed Chdir", (got[3], got[4]), ([], real))
    if "No such file or directory" not in err:
        fail(f"Chdir failure not on standard error: {err!r}")


def group_ops():
    # Mkdir sets the permission exactly, whatever the umask.
    got, _ = run(['(Mkdir "d755")', '(Mkdir mode="511" "d777")', '(Mkdir mode="448" "d700")', '(Mkdir "d755")',
                  '(Mkdir 5)'], umask=0o077)
    expect("Mkdir results", got[:4], [0, 0, 0, -1])
    for d, want in (("d755", "755"), ("d777", "777"), ("d700", "700")):
        r = subprocess.run(["stat", "-c", "%a", os.path.join(WORK, d)], capture_output=True, text=True)
        expect(f"stat -c %a {d}", r.stdout.strip(), want)
    if not is_error(got[4], "Mkdir", "2147682310") or "directory name is type missmatch" not in got[4]:
        fail(f"Mkdir 5: {got[4]!r}")
    # Modes outside the permission bits are refused, and nothing is made:
    # neither set-id and sticky bits nor a number that would wrap.
    bad = {"dneg": "-1", "dbig": "99999999999", "d1000": "512", "d7777": "4095", "dhuge": "99999999999999999999"}
    got, _ = run([f'(Mkdir mode="{m}" "{d}")' for d, m in bad.items()] + ['(Mkdir mode="0" "d000")'], umask=0o022)
    for (d, m), r in zip(bad.items(), got):
        if not is_error(r, "Mkdir", "2147747075") or "(mode)" not in r:
            fail(f"Mkdir mode={m}: {r!r}")
        expect(f"Mkdir mode={m} made nothing", os.path.exists(os.path.join(WORK, d)), False)
    expect("Mkdir mode=0", got[len(bad)], 0)
    expect("stat -c %a d000", stat.S_IMODE(os.stat(os.path.join(WORK, "d000")).st_mode), 0)
    os.chmod(os.path.join(WORK, "d000"), 0o700)

    # Touch and UTime against stat -c %Y.
    mk({"old.txt": T0})
    got, _ = run(['(Touch "new.txt")', '(Touch "new.txt")', '(UTime "old.txt")', '(UTime "none.txt")',
                  '(Touch "nodir/x")'], umask=0o022)
    expect("Touch / UTime results", got[:4], [-1, 0, 0, -1])
    if not is_error(got[4], "Touch", "2147748358"):
        fail(f"Touch in a missing directory: {got[4]!r}")
    st = os.stat(os.path.join(WORK, "new.txt"))
    expect("Touch made an empty 0644 file", (st.st_size, stat.S_IMODE(st.st_mode)), (0, 0o644))
    now = int(subprocess.run(["date", "+%s"], capture_output=True, text=True).stdout)
    y = int(subprocess.run(["stat", "-c", "%Y", os.path.join(WORK, "old.txt")], capture_output=True, text=True).stdout)
    if not now - 60 <= y <= now + 1:
        fail(f"UTime left mtime {y}, now {now}")
    if os.path.exists(os.path.join(WORK, "none.txt")):
        fail("UTime made a file")

    # Mv: atomic replacement within a file system, into a directory, and a
    # refused move across file systems that leaves both files.
    with open(os.path.join(WORK, "src.txt"), "w") as f:
        f.write("new")
    with open(os.path.join(WORK, "dst.txt"), "w") as f:
        f.write("old")
    os.makedirs(os.path.join(WORK, "box"))
    shm = tempfile.mkdtemp(prefix="qnmx_files_", dir="/dev/shm")
    try:
        if os.stat(shm).st_dev == os.stat(WORK).st_dev:
            fail("/dev/shm is on the working directory's file system: no cross-device move to show")
        with open(os.path.join(shm, "far.txt"), "w") as f:
            f.write("far")
        with open(os.path.join(WORK, "keep.txt"), "w") as f:
            f.write("keep")
        got, _ = run(['(Mv "src.txt" "dst.txt")', '(Mv "dst.txt" "box")', f'(Mv {q(shm + "/far.txt")} "keep.txt")',
                      '(Mv "missing" "x")', '(Mv "a" 5)'])
        expect("Mv results", got[:2], [[], []])
        expect("Mv replaced the target", open(os.path.join(WORK, "box/dst.txt")).read(), "new")
        expect("Mv left no source", os.path.exists(os.path.join(WORK, "src.txt")), False)
        if not (is_error(got[2], "rename", "2147748358") and '"EXDEV"' in got[2]):
            fail(f"cross-device Mv: {got[2]!r}")
        expect("cross-device target intact", open(os.path.join(WORK, "keep.txt")).read(), "keep")
        expect("cross-device source intact", open(os.path.join(shm, "far.txt")).read(), "far")
        if not (is_error(got[3], "rename") and '"ENOENT"' in got[3]):
            fail(f"Mv of a missing file: {got[3]!r}")
        if not is_error(got[4], "Mv", "2147682310"):
            fail(f"Mv of a number: {got[4]!r}")
    finally:
        shutil.rmtree(shm)
    # A move into a directory whose joined name is too long moves nothing.
    deep = "/".join(["d" * 200] * 3)
    os.makedirs(os.path.join(WORK, deep))
    with open(os.path.join(WORK, "stay.txt"), "w") as f:
        f.write("stay")
    got, _ = run([f'(Mv "stay.txt" {q(deep)})'])
    if not (is_error(got[0], "Mv", "2147681539") and '"too long filename"' in got[0]):
        fail(f"Mv into a deep directory: {got[0]!r}")
    expect("a source too long to move stays", os.path.exists(os.path.join(WORK, "stay.txt")), True)

    # Rm: a tree with a link to an outside directory goes, the outside
    # stays; refused names stay; names a shell would read are removed as
    # written and nothing else happens.
    outside = tempfile.mkdtemp(prefix="qnmx_files_out_")
    try:
        with open(os.path.join(outside, "precious"), "w") as f:
            f.write("x")
        mk({"tree/a/b/": None, "tree/a/b/f": None, "tree/g": None})
        os.symlink(outside, os.path.join(WORK, "tree/a/link"))
        odd = ["a b", 'q"uote', "$(touch pwned)", "`touch pwned2`", "it's"]
        for n in odd + ["semi;colon", "keep"]:
            open(os.path.join(WORK, n), "w").close()
        mk({"emptydir/": None, "full/x": None})
        got, _ = run(['(Rm flag="rec" "tree")', '(Rm "semi;colon")', *[f"(Rm {q(n)})" for n in odd],
                      '(Rm "emptydir")', '(Rm flag="dir" "full")', '(Rm 5)'])
        expect("outside intact", os.listdir(outside), ["precious"])
        expect("tree removed", os.path.exists(os.path.join(WORK, "tree")), False)
        if not (is_error(got[1], "Rm", "2147681539") and '"is invalid"' in got[1]):
            fail(f"Rm of an unsafe name: {got[1]!r}")
        expect("unsafe name stays", os.path.exists(os.path.join(WORK, "semi;colon")), True)
        for n in odd:
            expect(f"removed {n!r}", os.path.exists(os.path.join(WORK, n)), False)
        for n in ("keep", "pwned", "pwned2"):
            expect(f"{n} after Rm", os.path.exists(os.path.join(WORK, n)), n == "keep")
        expect("a directory without flag stays", os.path.isdir(os.path.join(WORK, "emptydir")), True)
        expect("flag dir keeps a full directory", os.path.isdir(os.path.join(WORK, "full")), True)
        got, _ = run(['(Rm flag="dir" "emptydir")', '(Rm flag="file" flag="rec" "full")'])
        expect("flag dir / file+rec", [os.path.exists(os.path.join(WORK, d)) for d in ("emptydir", "full")],
               [False, False])
    finally:
        shutil.rmtree(outside)


FIND_TREE = {
    "a.txt": T0, "b.dat": T0, ".x.txt": T0, "sp ace.txt": T0, "a*b.txt": T0,
    "src/": None, "src/x.txt": T0, "src/y.c": T0, "src/.h/": None, "src/.h/z.txt": T0,
    "src/sub/": None, "src/sub/deep.txt": T0, "src/sub/deep.c": T0, "src/sub/x.txt/": None,
    "tmp/": None, "tmp/t.txt": T0, "e/": None,
}


def group_find():
    mk(FIND_TREE)
    os.symlink("..", os.path.join(WORK, "src/sub/loop"))  # a loop back up the tree
    os.symlink("a.txt", os.path.join(WORK, "lnk.txt"))
    pats = ["*", "*.txt", "*a*", "a*", "**", "**/*.txt", "src/*", "src/**", "*/*.c", "*/sub/*.txt", "src/**/*.c",
            "**/x.txt", "e/*", "nothing/*", "e/*/tmp"]
    got, err = run([f'(FindFile scriptpath="off" {q(p)})' for p in pats])
    everything = find("(", "-xtype", "f", "-o", "-xtype", "d", ")")
    for p, g in zip(pats, got):
        segs = p.split("/")
        want = []
        for path in everything:
            parts = path.split("/")
            # "**" spans one or more components; nothing is entered through
            # a link, so a path below a link never counts.
            if any(os.path.islink(os.path.join(WORK, *parts[:i])) for i in range(1, len(parts))):
                continue
            rx = "/".join("[^/]+(?:/[^/]+)*" if s == "**" else star_regex(s, False).pattern[:-2] for s in segs)
            if re.fullmatch(rx, path):
                want.append(path)
        expect_set(f"FindFile {p}", g, want)
    # A few against find alone.
    expect_set("*.txt vs find", got[1], find("-maxdepth", "1", "-name", "*.txt", "!", "-name", ".*"))
    expect_set("**/*.txt vs find", got[5], [p for p in find("-mindepth", "2", "-name", "*.txt")])
    if err:
        fail(f"unexpected standard error: {err!r}")

    # The condition words: kinds, and "**" not entered when directories are
    # not wanted.
    got, _ = run(['(FindFile scriptpath="off" condition="file" "**")',
                  '(FindFile scriptpath="off" condition="dir" "**")',
                  '(FindFile scriptpath="off" condition="file,dir" "src/*")',
                  '(FindFile condition="dirs" "*")', '(FindFile "a" "b")', '(FindFile 5)'])
    expect_set("file **", got[0], find("-maxdepth", "1", "!", "-name", ".*", "-xtype", "f"))
    expect_set("dir **", got[1], find("-type", "d") + ["src/sub/loop"])
    expect_set("file,dir src/*", got[2], ["src/x.txt", "src/y.c", "src/sub"])
    for g, text in zip(got[3:], ("invalid attribute parameter (condition)", "invalid parameter length",
                                 "type_missmatch")):
        if not is_error(g, "FindFile") or text not in g:
            fail(f"FindFile error {text}: {g!r}")

    # The relative result: a pattern taken from the script's directory.
    got, _ = run(['(FindFile "src/*.c")'], cwd=os.path.join(WORK, "e"))
    expect("script-relative FindFile", got[0], ["src/y.c"])

    # Sources against their targets under every condition word.
    mk({"obj/": None, "in/n1.c": T0 + 100, "in/n2.c": T0 + 100, "in/n3.c": T0 + 100, "in/n4.c": T0 + 100,
        "obj/n1.o": T0 + 50, "obj/n2.o": T0 + 200, "obj/n3.o": T0 + 100, "obj/n4.o/": None})
    sources = {f"in/n{i}.c" for i in range(1, 5)}
    words = {"file": 1, "dir": 2, "exist": 4, "notexist": 8, "DCexist": 12, "touch": 16, "notouch": 32,
             "DCtimestamp": 48}
    conds = ["notexist", "exist", "touch", "notouch", "exist,notouch", "exist,touch", "DCexist", "DCtimestamp",
             "file,notexist", "dir"]
    got, _ = run([f'(FindFile condition="{c}" prefix=".o" "in/*.c" "in/" "obj/")' for c in conds])
    for c, g in zip(conds, got):
        bits = 0
        for w in c.split(","):
            bits |= words[w]
        for group in (3, 12, 48):
            bits |= 0 if bits & group else group
        want = []
        for s in sorted(sources):
            if not bits & 1:
                continue
            t = os.path.join(WORK, "obj", os.path.basename(s)[:-2] + ".o")
            if not os.path.exists(t):
                ok = bits & 8
            elif not os.path.isfile(t):
                ok = False
            else:
                newer = os.stat(os.path.join(WORK, s)).st_mtime > os.stat(t).st_mtime
                ok = bits & 4 and (bits & 32 if newer else bits & 16)
            if ok:
                want.append(s)
        expect_set(f"condition {c}", g, want)


RULE_TREE = {
    "a.txt": T0, "b.dat": T0, ".hid.txt": T0, "src/": None, "src/x.txt": T0, "src/m.c": T0, "src/n.c": T0,
    "src/sub/": None, "src/sub/k.c": T0, "src/sub/k.h": T0, "tmp/": None, "tmp/t.c": T0, ".git/": None,
    ".git/g.c": T0, "lib/": None, "lib/x/": None, "lib/x/y.c": T0,
}


def group_rule():
    mk(RULE_TREE)
    os.symlink("..", os.path.join(WORK, "src/sub/up"))  # the walk must end
    clauses = [
        [("Accept", "*.txt")], [("Accept", "**/*.txt")], [("Accept", "src/**")], [("Accept", "*")],
        [("Ignore", "tmp/"), ("Accept", "**")], [("Accept", "**"), ("Ignore", "tmp/")],
        [("Ignore", "tmp"), ("Accept", "**")], [("Accept", "*/*")], [("Accept", "**/")], [("Accept", "**/*.c")],
        [("Ignore", "src/sub/"), ("Accept", "**/*.c")], [("Accept", "/**")], [("Accept", "*r*/**/*.c")], [],
    ]
    forms = []
    for cl in clauses:
        forms.append('(Rule target="allfor1" ' + " ".join(f"({k} {q(t)})" for k, t in cl) + " from)")
    got, err = run(forms)
    for cl, g in zip(clauses, got):
        expect_set(f"Rule {cl}", g, rule_model(cl, WORK))
    if err:
        fail(f"unexpected standard error: {err!r}")

    # 1by1: the body runs once per match; a skip goes on with the next one;
    # definitions land in the caller.
    got, _ = run(['(define n 0)', '(Rule (Accept "**/*.c") (define n (+ n 1)))', "n",
                  '(Rule (Accept "**/*.c") (NotExist "src/m.c") (define n (+ n 100)))', "n",
                  '(Rule target="allfor1" (Accept "**/*.c") (Exist "nope") 5)',
                  '(Rule target="allfor1" (Accept "**/*.c") (Exist "a.txt") 5)',
                  "(Rule 7)", '(Rule target="allfor1" 7)', "(Rule (Accept 5) 1)", '(Rule (Accept "a" "b") 1)',
                  '(Rule (Accept "**/*.c") (Exist 5))', '(Rule (Accept "**/*.c") (Target "a.txt" 5))'])
    n_c = len(rule_model([("Accept", "**/*.c")], WORK))
    expect("1by1 count", got[2], n_c)
    expect("skip goes on", got[4], n_c)
    expect("allfor1 results", got[5:9], [[], 5, [], 7])
    for g, func in zip(got[9:], ("Rule/Accept", "Rule/Accept", "Exist", "Target")):
        if not is_error(g, func):
            fail(f"Rule error from {func}: {g!r}")

    # Target: sources rebuilt exactly when strictly newer than their
    # targets; missing targets made, with their directories, under dir="make".
    mk({"obj/": None, "obj/src/m.c": T0 + 10, "obj/src/n.c": T0, "obj/lib/x/y.c": T0 - 10})
    obj_mode = stat.S_IMODE(os.stat(os.path.join(WORK, "obj")).st_mode)
    os.utime(os.path.join(WORK, "src/m.c"), (T0 + 5, T0 + 5))
    os.utime(os.path.join(WORK, "lib/x/y.c"), (T0, T0))
    build = ('(Rule (Ignore "tmp/") (Ignore "obj/") (Accept "**/*.c") (define t (ComposePath "obj/" from)) '
             '(Target dir="make" mode="0750" t from) (define built (cons from built)) (Touch t))')
    expected = []
    for src in rule_model([("Ignore", "tmp/"), ("Ignore", "obj/"), ("Accept", "**/*.c")], WORK):
        t = os.path.join(WORK, "obj", src)
        if not os.path.exists(t) or os.stat(os.path.join(WORK, src)).st_mtime > os.stat(t).st_mtime:
            expected.append(src)
    got, _ = run(["(define built ())", build, "built"], umask=0o077)
    expect_set("rebuilt", got[2], expected)
    r = subprocess.run(["stat", "-c", "%a", os.path.join(WORK, "obj/src/sub")], capture_output=True, text=True)
    expect("made directory mode", r.stdout.strip(), "750")
    expect("existing directory kept", stat.S_IMODE(os.stat(os.path.join(WORK, "obj")).st_mode), obj_mode)
    got, _ = run(["(define built ())", build, "built"])
    expect("second run rebuilds nothing", got[2], [])
    got, _ = run(['(Rule target="allfor1" (Accept "a.txt") (Target "b.dat" "a.txt" (List "src/m.c")) 1)',
                  '(Rule target="allfor1" (Accept "a.txt") (Target "missing/x.o" "a.txt") 1)'])
    expect("equal times skip / missing target skips", got, [[], []])

    # Under /tmp: the directories made get the mode, /tmp keeps 1777.
    base = f"/tmp/qnmx_files_rule_{os.getpid()}"
    before = stat.S_IMODE(os.stat("/tmp").st_mode)
    try:
        got, _ = run([f'(Rule target="allfor1" (Accept "a.txt") (Target dir="make" mode="0x1c0" {q(base + "/d/e.o")} '
                      '"a.txt") 1)'], umask=0)
        expect("Target under /tmp", got[0], 1)
        expect("/tmp mode", stat.S_IMODE(os.stat("/tmp").st_mode), before)
        expect("made under /tmp", [stat.S_IMODE(os.stat(p).st_mode) for p in (base, base + "/d")], [0o700, 0o700])
    finally:
        shutil.rmtree(base, ignore_errors=True)


def group_settings():
    docs = os.path.join(WORK, "db/")
    got, _ = run([
        f'(SetDirectory url="/maps" {q(docs)})', f'(GetZUpathpair {q(docs + "zudocs/sub")})',
        '(GetZUpathpair "/elsewhere")', '(SetDirectory "/x/")', f'(SetDatabasePath "db" {q(WORK + "/r/conf.zu")})',
        f'(GetZUpathpair {q(WORK + "/r/zudocs")})', '(SetDatabasePath "only")', '(SetDatabasePath 5)',
        '(SetPrefixMode ".mx" "qnmx" "raw" "qmxGetPoint" "Load")',
        '(SetPrefixMode zusys="precedence" lock="full" ".zu" "qnmx" "zu")',
        '(SetPrefixMode zudocs="precedence" lock="url" lock="off" ".mx" "qnmx" "zu" "Save")',
        '(GetPrefixMode ".mx")', '(GetPrefixMode ".none")', '(SetPrefixMode ".mx" "a" "b" 5)',
        '(GetPrefixMode 1)', '(SetScriptPath 5)', f'(SetLogPath {q(WORK + "/log/")} 1000 2)', '(SetLogPath "x" 1 "2")',
    ])
    expect("SetDirectory", got[0], [docs])
    expect("GetZUpathpair", got[1], [docs + "zudocs/", docs + "zusys/", "/maps"])
    expect("GetZUpathpair outside", got[2], [])
    if not is_error(got[3], "SetDirectory") or "invalid path url" not in got[3]:
        fail(f"SetDirectory without url: {got[3]!r}")
    expect("SetDatabasePath", got[4], [])
    expect("pair of SetDatabasePath", got[5], [WORK + "/r/zudocs/", WORK + "/r/zusys/", "/"])
    expect("SetDatabasePath alone", got[6], ["only"])
    expect("SetPrefixMode results", got[8:11], [".mx", ".zu", ".mx"])
    rules = got[11]
    expect_set("GetPrefixMode", [tuple(r[:4]) + tuple(r[4]) for r in rules] if isinstance(rules, list) else rules,
               [(".mx", "qnmx", "raw", 1, "qmxGetPoint"), (".mx", "qnmx", "raw", 1, "Load"),
                (".mx", "qnmx", "zu", 3, "Save")])
    expect("GetPrefixMode none", got[12], [])
    for g, func in ((got[7], "SetDatabasePath"), (got[13], "SetPrefixMode"), (got[17], "SetLogPath")):
        if not is_error(g, func, "2147682310"):
            fail(f"{func} type error: {g!r}")
    expect("SetLogPath", got[16], [])
    # SetScriptPath moves where relative FindFile patterns start.
    mk({"elsewhere/q.txt": None})
    got, _ = run([f'(SetScriptPath {q(WORK + "/elsewhere/s.zu")})', '(FindFile "*.txt")'])
    expect("FindFile after SetScriptPath", got[1], ["q.txt"])


GROUPS = {"paths": group_paths, "ops": group_ops, "find": group_find, "rule": group_rule, "settings": group_settings}

try:
    GROUPS[GROUP]()
finally:
    shutil.rmtree(WORK, ignore_errors=True)
if FAILS:
    print(f"{len(FAILS)} failed")
    sys.exit(1)
print("ok")
