#!/usr/bin/env python3
"""hooks_table_test.py ROOT: the README's table of hooks against the setters
declared in ROOT/src. A hook setter is a function declared in a header
whose name holds "set" or "hook" and that takes functions only, or one
table of operations (a struct with function members). Every one must be
named in the section that lists the hooks (its table, or the lines after
it for those nothing or only tests fill), and every setter that section
names must still be declared."""
import os
import re
import sys

ROOT = sys.argv[1]
FUNC_ALIAS = re.compile(r"using\s+(\w+)\s*=[^;]*\(\s*\*\s*\)")
STRUCT = re.compile(r"struct\s+(\w+)\s*\{(.*?)\n\};", re.S)
DECL = re.compile(r"^[A-Za-z_][\w:<>*& ]*?[\s*&](\w+)\(([^;{]*)\)\s*;", re.M)


def headers():
    for d, _, files in os.walk(os.path.join(ROOT, "src")):
        for f in sorted(files):
            if f.endswith(".h"):
                yield os.path.join(d, f)


def hook_setters():
    texts = [open(h, encoding="utf-8").read() for h in headers()]
    funcs = {m.group(1) for t in texts for m in FUNC_ALIAS.finditer(t)}
    tables = {m.group(1) for t in texts for m in STRUCT.finditer(t)
              if "(*" in m.group(2) or any(re.search(r"\b%s\b" % f, m.group(2)) for f in funcs)}

    def function(p):
        return "(*" in p or set(re.findall(r"\w+", p)) & funcs

    def table(p):
        return set(re.findall(r"\w+", p)) & tables and re.search(r"[*&]", p)
    found = set()
    for t in texts:
        for m in DECL.finditer(t):
            name, params = m.group(1), re.sub(r"\s+", " ", m.group(2)).strip()
            parts = re.split(r",\s*(?![^()]*\))", params) if params else []
            hooks = (parts and all(function(p) for p in parts)) or (len(parts) == 1 and table(parts[0]))
            if re.search(r"(^|_)(set|hooks?)(_|$)", name) and hooks:
                found.add(name)
    return found


def readme_section():
    text = open(os.path.join(ROOT, "README.md"), encoding="utf-8").read()
    start = text.index("| Hook | Declared in |")
    end = text.index("\n\n", text.index("\n\n", start) + 2)
    return text[start:end]


def main():
    section = readme_section()
    named = set(re.findall(r"`(\w+)`", section))
    setters = hook_setters()
    declared = "".join(open(h, encoding="utf-8").read() for h in headers())
    missing = sorted(setters - named)
    stale = sorted(n for n in named if re.search(r"(^|_)(set|hooks?)(_|$)", n) and
                   not re.search(r"\b%s\b" % n, declared))
    for n in missing:
        print("FAIL: the hook setter %s is not in the README's table of hooks" % n)
    for n in stale:
        print("FAIL: the README's table of hooks names %s, which no header declares" % n)
    print("hooks_table_test: %d setters, %d in the table" % (len(setters), len(setters & named)))
    return 1 if missing or stale or len(setters) < 20 else 0


sys.exit(main())
