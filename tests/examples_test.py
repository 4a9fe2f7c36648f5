#!/usr/bin/python3
"""Every script under examples/ run as a user runs it, so none goes stale:
examples_test.py <qnmx> <qnmx_lockd> <group>.

Each runs in an empty folder through the binary; its replies must hold no
error (but where the script means one) and its key results. The demo's
exported levels are checked against a numpy model of 2 x 2 means and its
report of the distance to ImageMagick against the images themselves.
Nothing but 127.0.0.1 is spoken to."""
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "support"))
from checks import check, curl, failures, free_port, listening, start, start_lockd, stop, wait_until  # noqa: E402

QNMX, LOCKD = (os.path.realpath(a) for a in sys.argv[1:3])
GROUP = sys.argv[3]
EXAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples")
WORK = tempfile.mkdtemp(prefix="qnmx_examples_%s_" % GROUP)
ENV = dict(os.environ, HOME=WORK, STD_CODE="UTF-8")
ENV.pop("ZUPATH", None)
ENV.pop("QNMX_TRACE", None)


def example(name):
    return os.path.join(EXAMPLES, name)


def replies(path):
    with open(path, encoding="utf-8", errors="replace") as f:
        text = re.sub(r"&cx[0-9a-f]+;\n?", "", f.read())
    return dict((int(n), v) for n, v in re.findall(r"<Result> (\d+) (.*?)</Result>\n", text, re.S))


def run(script, args=(), prog=None, timeout=300):
    """Runs an example to its end: (replies by line, standard output)."""
    out = os.path.join(WORK, os.path.basename(script) + ".out")
    r = subprocess.run((prog or [QNMX]) + [example(script), out] + (["/"] + [str(a) for a in args] if args else []),
                       cwd=WORK, env=ENV, capture_output=True, timeout=timeout)
    check(r.returncode == 0, "%s exited %d: %r" % (script, r.returncode, r.stderr[-400:]))
    return replies(out), r.stdout.decode(errors="replace")


def no_errors(script, got, allowed=()):
    bad = [(n, v) for n, v in got.items() if "#error(" in v and n not in allowed]
    check(not bad, "%s replied errors: %r" % (script, bad[:3]))


def values(got):
    """The replies in line order."""
    return [got[n] for n in sorted(got)]


def read_ppm(name):
    with open(os.path.join(WORK, name), "rb") as f:
        b = f.read()
    m = re.match(rb"P6\s+(\d+)\s+(\d+)\s+255\s", b)
    w, h = int(m.group(1)), int(m.group(2))
    return np.frombuffer(b[m.end():], np.uint8).reshape(h, w, 3).astype(np.int64)


def wait_listening(port, limit=60):
    return wait_until(lambda: listening(port), limit)


# ---------------------------------------------------------------------------


def group_demo():
    got, out = run("demo.zu")
    no_errors("demo.zu", got)
    steps = re.findall(r"^  (\d)\. .*\((\d+) ms\)$", out, re.M)
    check([s for s, _ in steps] == [str(k) for k in range(1, 10)], "numbered steps with times: %r" % out)
    check("the same values as before closing" in out, "reopened reads agree: %r" % out)
    # The exported levels are the truncated 2 x 2 means, level by level.
    level = read_ppm("in.ppm")
    for k in (1, 2):
        level = (level[0::2, 0::2] + level[1::2, 0::2] + level[0::2, 1::2] + level[1::2, 1::2]) // 4
        check(np.array_equal(read_ppm("level%d.ppm" % k), level), "level %d is the mean of its children" % k)
    # The points printed are the matrix's levels at those places.
    for k, x, y, rgb in re.findall(r"level (\d) at \((\d+), (\d+)\): rgb \((\d+ \d+ \d+)\)", out):
        k, x, y = int(k), int(x), int(y)
        if k in (1, 2):
            want = " ".join(map(str, read_ppm("level%d.ppm" % k)[y >> k, x >> k]))
            check(rgb == want, "point at level %d (%d, %d): %s, want %s" % (k, x, y, rgb, want))
    # What it says of ImageMagick's reduction is what the images show.
    said = re.findall(r"level (\d) against ImageMagick: largest difference (\d+) of 255, mean ([\d.]+)", out)
    check(len(said) == 2, "two comparisons reported: %r" % out)
    for k, peak, mean in said:
        d = np.abs(read_ppm("level%s.ppm" % k) - read_ppm("magick%s.ppm" % k))
        check((int(peak), round(float(mean), 2)) == (int(d.max()), round(float(d.mean()), 2)),
              "level %s: said %s %s, images differ by %d %.3f" % (k, peak, mean, d.max(), d.mean()))
        check(int(peak) <= int(k), "level %s within a unit per level of ImageMagick's: %s" % (k, peak))


def group_language():
    got, _ = run("language.zu")
    v = values(got)
    check(v[:4] == ["6", "10.000000", "3.200000km", "6m"], "arithmetic with units: %r" % v[:4])
    check("144" in v and "49" in v, "functions: %r" % v)
    check('<quote><item price="3">apple</item></quote>' not in v and any("apple" in x for x in v), "tags read")
    check(sum("#error(" in x for x in v) == 2, "the two errors shown as values: %r" % v)
    check('"still running"' in v and '"never reached"' not in v, "the exit-class error ends the script")


def group_matrices():
    got, _ = run("matrices.zu")
    no_errors("matrices.zu", got)
    v = values(got)
    check("(general (dim 11 1024dot 1024dot))" in v, "status: %r" % v)
    points = [x for x in v if x.startswith("((0 ")]
    check(len(points) == 4, "four point reads: %r" % points)
    word = lambda px: (int(px[0]) << 24) | (int(px[1]) << 16) | (int(px[2]) << 8)  # noqa: E731
    with open(os.path.join(WORK, "cloth.ppm"), "rb") as f:
        b = f.read()
    src = np.frombuffer(b[len(b) - 1024 * 1024 * 3:], np.uint8).reshape(1024, 1024, 3).astype(np.int64)
    lv = src
    want = {}
    for k in range(4):
        want[k] = word(lv[60 >> k, 150 >> k])
        lv = (lv[0::2, 0::2] + lv[1::2, 0::2] + lv[0::2, 1::2] + lv[1::2, 1::2]) // 4
    check(points == ["((0 %d))" % want[k] for k in (0, 1, 3, 3)], "points at levels 0, 1, 3: %r" % points)


def group_images():
    got, _ = run("images.zu")
    no_errors("images.zu", got)
    v = values(got)
    check('"same\\n"' in v, "the cloth comes back unchanged: %r" % v)
    check('("unsupported PNM format" "P4")' in v, "a P4 refused: %r" % v)
    allp, cloth, ramp = read_ppm("all.ppm"), read_ppm("cloth.ppm"), None
    check(allp.shape == (512, 512, 3) and (allp[300:, 400:] == 255).all(), "white where nothing was written")
    check(np.array_equal(allp[10:40, 10:330], cloth[:30]), "the cloth above the ramp")
    with open(os.path.join(WORK, "ramp.pgm"), "rb") as f:
        b = f.read()
    ramp = np.frombuffer(b[len(b) - 100 * 50:], np.uint8).reshape(50, 100).astype(np.int64)
    region = allp[40:90, 40:140]
    under = cloth[30:80, 30:130]
    want = np.where((ramp == 0)[:, :, None], under, np.repeat(ramp[:, :, None], 3, axis=2))
    check(np.array_equal(region, want), "the ramp over the cloth, its black transparent")


def group_points():
    got, _ = run("points.zu")
    no_errors("points.zu", got)
    shown = values(got)[-1]
    found = sorted(re.findall(r'\(INT 49 (\d+)\) \(STRING 32 "(\w+)"\)', shown))
    check(found == [("310", "mill"), ("522", "tower"), ("95", "ford")], "the three points: %r" % shown)


def group_library():
    got, _ = run("library.zu")
    no_errors("library.zu", got)
    v = values(got)
    for want in ['"a+b+c"', '("red" "green" "blue")', '"nm"', "3.200000km", "1.500000km",
                 '((p (id 1) (name "ann")) (p (id 2) (name "bob")))', '((note "hello") (note "world"))',
                 '("kept/notes.zu")', "10", '"one is less"', '("type missmatch")']:
        check(want in v, "library result %s: %r" % (want, v))
    check(os.path.exists(os.path.join(WORK, "kept", "notes.zu")), "the file moved")


def lockd_log():
    with open(os.path.join(WORK, "lockd.err")) as f:
        return f.read()


def group_agents():
    lockd, lport = start_lockd(LOCKD, "-v", stderr=open(os.path.join(WORK, "lockd.err"), "wb"))
    port = free_port()
    srv_out = os.path.join(WORK, "server.out")
    server = start([QNMX, example("agents_server.zu"), srv_out, os.path.join(WORK, "server.err"), "/",
                    str(port), str(lport)], cwd=WORK, env=ENV, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    try:
        check(wait_listening(port), "the server listens")
        got, _ = run("agents.zu", [port, lport], timeout=120)
        no_errors("agents.zu", got)
        v = values(got)
        check(v[2] == "3", "a remote sum: %r" % v)
        check("(qmxPNMStatus \"P6\" 512 512 255)" in v[3], "the server's picture: %r" % v)
        point = [x for x in v if x.startswith("((0 ")]
        check(len(point) == 2 and point[0] == point[1], "the same point read there and here: %r" % point)
        check("42" in v, "a session request answered: %r" % v)
        no_errors("agents_server.zu", replies(srv_out))
    finally:
        stop(server, limit=60)
        # Both agents have ended: the service has seen their links close
        # once it has read all they sent.
        end = time.time() + 30
        while time.time() < end and lockd_log().count(" closed, ") < 2:
            time.sleep(0.05)
        stop(lockd, limit=60)
        lockd.stdout.close()
    log = lockd_log()
    agents = set(re.findall(r'lock write "shared.mx" agent ((?:pid|conn) \d+) ', log))
    check(len(agents) == 2, "both agents took the named lock: %r" % log)
    check(log.count('unlock "shared.mx"') == log.count('lock write "shared.mx"'), "every lock given back: %r" % log)


def group_http():
    port = free_port()
    agent = start([QNMX, example("http.zu"), os.path.join(WORK, "http.out"), "/", str(port)], cwd=WORK, env=ENV,
                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        check(wait_listening(port), "the agent listens")

        def page(path, *args):
            return curl(port, path, "-w", " %{http_code}", *args).stdout

        check(page("/hello") == b"<p>hello from qnmx</p> 200", "/hello")
        check(page("/sum") == b"42 200", "/sum")
        check(page("/sum", "--data-binary", "abcdef") == b"6 200", "a POST's body size")
        check(page("/other").endswith(b" 404"), "an unregistered path")
        # The point pages show the grey of the picture the matrix holds.
        with open(os.path.join(WORK, "ramp.pgm"), "rb") as f:
            ramp = np.frombuffer(f.read()[-64 * 64:], np.uint8).reshape(64, 64)
        for x, y in ((40, 10), (63, 3), (0, 0)):
            want = b"<p>level 0 at (%d, %d): grey %d</p> 200" % (x, y, ramp[y, x])
            got = page("/point?y=%d&x=%d" % (y, x))
            check(got == want, "the point (%d, %d): %r, want %r" % (x, y, got, want))
        # A coordinate that is not a number, or none, answers the error page
        # (no made-up point), where what the client sent shows as text.
        for query, shown in (("x=abc", b"abc"), ("x=1&y=<b>", b"&lt;b&gt;"), ("x=12x&y=1", b"12x"),
                             ("y=3", b"no number")):
            got = page("/point?" + query)
            check(got.endswith(b" 503") and shown in got and b"<b>" not in got and b"level 0 at" not in got,
                  "the point of %s: %r" % (query, got[-300:]))
    finally:
        stop(agent, limit=60)
    no_errors("http.zu", replies(os.path.join(WORK, "http.out")))


GROUPS = {"demo": group_demo, "language": group_language, "matrices": group_matrices, "images": group_images,
          "points": group_points, "library": group_library, "agents": group_agents, "http": group_http}

try:
    GROUPS[GROUP]()
finally:
    if not failures:
        shutil.rmtree(WORK, ignore_errors=True)
if failures:
    print("%d failed; work left in %s" % (len(failures), WORK))
    sys.exit(1)
print("ok")
