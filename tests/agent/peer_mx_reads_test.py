#!/usr/bin/python3
"""A peer's reads by file path, and the node scripts they cause, from a raw
line peer of an agent listening on its script's environment (where the
second top environment's bindings are reached): peer_mx_reads_test.py QNMX.
Fetch scripts of files another run made write a mark outside every tree."""
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(HERE, "..", "netsvc")]
from qmx_cli import DENIED, FETCH, Cli, error_of, free_port, listening, matrix, start, wait_for  # noqa: E402
from line_peer import link  # noqa: E402

cli = Cli(sys.argv[1], "peer_mx_reads")
W = cli.work
for d in ("agent", "db/zudocs/d", "db/zudocs/g", "outside", "marks"):
    os.makedirs(os.path.join(W, d))


def mx(path, fetch=FETCH, more=""):
    return matrix(f"{W}/{path}", (512, 512)).replace(FETCH + ")", fetch + ")" + more)


def marking(path, mark, jump=False):
    """Its fetch (or the slot its fetch jumps to) writes marks/<mark>."""
    write = f'(PrintStd file="{W}/marks/{mark}" "x") {FETCH}'
    if not jump:
        return mx(path, write)
    return mx(path, '(mxFinish normal-jump="MI_FETCH_2")', f' (qmxPhase area="6" {write}) '
              '(qmxPhase area="7" type="equ" equ="6") (qmxPhase area="8" type="equ" equ="6")')


def copying(path, other):
    return mx(path, f'(mxFinish normal-jump-status="MS_OK") (mxSet 0 (mxCH type="matrix" filename="{other}" 0))')


for place in ("agent/p.ppm", "db/zudocs/d/p.ppm", "outside/p.ppm"):
    with open(os.path.join(W, place), "wb") as f:
        f.write(b"P6\n4 4\n255\n" + bytes(48))
made = [marking("outside/evil.mx", "outside"), marking("outside/own.mx", "own"), marking("agent/evil.mx", "inside"),
        marking("agent/jump.mx", "jump", True), mx("agent/plain.mx"), mx("db/zudocs/d/doc.mx"), mx("db/zudocs/g/g.mx"),
        mx("outside/o.mx"), mx("agent/inner.mx"), copying("agent/reach.mx", f"{W}/outside/o.mx"),
        copying("agent/reach_in.mx", "inner.mx")]
fill = ['(qmxImportPNM id="%d" "agent/p.ppm" 0 0 0 0)' % i for i in (5, 6, 8, 9)]
cli.run(made + fill + ['(qmxClose id="%d")' % (i + 1) for i in range(len(made))], name="maker")
with open(f"{W}/db/zudocs/g/.zuaccess", "w") as f:
    f.write('(?zu encoding="UTF-8")\n(zuaccess (service name="pw" type="fix-user-passwd" user="u" passwd="x") '
            '(target prefix=".mx" "pw"))\n')
os.symlink(f"{W}/outside/evil.mx", f"{W}/agent/link.mx")
os.symlink(f"{W}/outside/p.ppm", f"{W}/agent/link.ppm")

port = free_port()
with open(os.path.join(W, "agent/s.zu"), "w") as f:
    f.write(f'(SetThisAgentName "qnmx") (SetDirectory url="/" "{W}/db/") (SetPrefixMode ".mx" "qnmx" "lod" "Get")\n'
            f'(qmxGetPoint "{W}/outside/own.mx" (List 0 150 60))\n(SetMainInterpreter (OpenInterpreter "accept" '
            f'(CurrentEnvironment) (Port {port}) (Permission () (Allow "ip" "127.0.0.1" "255.255.255.255"))))\n')
agent = start([cli.qnmx, "s.zu", "s.out"], cwd=os.path.join(W, "agent"), env=cli.env, stdin=subprocess.DEVNULL,
              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
cli.procs.append(agent)
if not wait_for(lambda: listening(port) or agent.poll() is not None, 60) or agent.poll() is not None:
    raise SystemExit("the agent does not listen")
cli.expect("the agent's own read runs the fetch as the agent", os.listdir(f"{W}/marks"), ["own"])
peer = link(port)


def ask(form):
    """The reply to form; the agent's questions for a password get none."""
    peer.s.sendall(form.encode() + b"\n")
    while True:
        m, line = peer.until(rb"<Result> [0-9]+ (.*?)</Result>\n|\(LocalEval [^\n]*\n")
        if m.group(1) is not None:
            return m.group(1).decode("utf-8", "replace")
        peer.s.sendall(b"<Result> %d ()</Result>\n" % line)


ANY, OUT, PT = "any error", f"{W}/outside", "(List 0 1 1)"
for form, refused in [  # refused: DENIED, ANY error, or None (answered)
        (f'(qmxGetPoint "{OUT}/evil.mx" {PT})', DENIED), (f'(qmxStatus "{OUT}/evil.mx")', DENIED),
        (f'(qmxPNMStatus "{OUT}/p.ppm")', DENIED), (f'(qmxGetPoint "link.mx" {PT})', DENIED),
        ('(qmxPNMStatus "link.ppm")', DENIED), (f'(qmxGetPoint "{W}/db/zudocs/g/g.mx" {PT})', DENIED),
        (f'(qmxGetPoint path-type="related" "/g/g.mx" {PT})', DENIED), (f'(qmxGetPoint "reach.mx" {PT})', ANY),
        (f'(qmxGetPoint "reach_in.mx" {PT})', None), (f'(qmxGetPoint "plain.mx" {PT})', None),
        ('(qmxStatus "plain.mx")', None), ('(qmxPNMStatus "p.ppm")', None),
        (f'(qmxGetPoint "{W}/db/zudocs/d/doc.mx" {PT})', None), (f'(qmxPNMStatus "{W}/db/zudocs/d/p.ppm")', None)]:
    got = ask(form)
    if refused == DENIED:
        cli.expect_error(form, got, DENIED)
    elif bool(error_of(got)) != bool(refused):
        cli.fail(f"{form}: {got!r}")
# Fetches the peer's reads cause, at once or after a jump, write nothing.
ask(f'(qmxGetPoint "evil.mx" {PT})')
ask(f'(qmxGetPoint "jump.mx" {PT})')
cli.expect("marks after the peer's reads", sorted(os.listdir(f"{W}/marks")), ["own"])
cli.expect("the agent goes on", ask("(+ 1 2)"), "3")
cli.finish()
