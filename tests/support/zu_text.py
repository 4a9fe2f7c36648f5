"""ZU strings as the tests write and read them: zu_string(s) is the literal
of s as the printer writes it (a script may use it too: the reader takes it
back as s), printed_string(text) the string a printed literal stands for
(None when text is no string literal)."""
import re

_OUT = {"\\": "\\\\", "\n": "\\n", "\r": "\\r", "&": "&amp;", "<": "&lt;", ">": "&gt;", '"': "&quot;"}
_IN = {"amp": "&", "lt": "<", "gt": ">", "quot": '"', "apos": "'", "n": "\n", "r": "\r", "t": "\t"}


def zu_string(s):
    return '"' + "".join(_OUT.get(c, c) for c in s) + '"'


def printed_string(text):
    m = re.fullmatch(r'"((?:[^"\\]|\\.)*)"', text, re.S)
    if not m:
        return None
    return re.sub(r"\\(.)|&(amp|lt|gt|quot|apos);", lambda e: _IN.get(e[1], e[1]) if e[1] else _IN[e[2]], m[1],
                  flags=re.S)
