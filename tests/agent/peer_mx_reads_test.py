#!/usr/bin/python3
"""A peer's matrix and picture reads by file path, from outside:
peer_mx_reads_test.py <qnmx binary>.

The agent listens with its script's own environment, where the second top
environment's qmxGetPoint, qmxStatus and qmxPNMStatus take file paths. Its
working folder and document tree hold matrices and pictures; "outside" is
in neither. Matrices made by another user's run fetch their nodes with a
script that first writes a mark outside every tree with `PrintStd file=`.
A peer reads only where the real path lies in the working folder or the
tree, and the scripts its reads cause run with none of the agent's powers;
the agent's own read runs the same script as the agent. A matrix in the
tree whose access file asks for a password is refused by path as by its
document path, whichever top environment's binding is reached. A fetch
that copies from another matrix named by file reads only where the peer
may, and one that names a matrix not open yet opens it."""
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "netsvc"))
from qmx_cli import DENIED, FETCH, Cli, error_of, free_port, listening, matrix, start, wait_for  # noqa: E402
from line_peer import link  # noqa: E402

cli = Cli(sys.argv[1], "peer_mx_reads")
W = cli.work
for d in ("agent", "db/zudocs/d", "db/zudocs/g", "outside", "marks", "home"):
    os.makedirs(os.path.join(W, d), exist_ok=True)


def marking(path, mark, jump=False):
    """A matrix whose fetch writes marks/<mark> first; with jump, in the
    slot its first fetch jumps to."""
    fetch = f'(qmxPhase area="3" (PrintStd file="{W}/marks/{mark}" "x") {FETCH})'
    if jump:
        fetch = (f'(qmxPhase area="3" (mxFinish normal-jump="MI_FETCH_2")) ' + fetch.replace('"3"', '"6"') +
                 ' (qmxPhase area="7" type="equ" equ="6") (qmxPhase area="8" type="equ" equ="6")')
    return matrix(path, (512, 512)).replace('(qmxPhase area="3" ' + FETCH + ")", fetch)


def reaching(path, other):
    """A matrix whose fetch copies its node from the other one's."""
    return matrix(path, (512, 512)).replace(
        FETCH, f'(mxFinish normal-jump-status="MS_OK") (mxSet 0 (mxCH type="matrix" filename="{other}" 0))')


ppm = b"P6\n4 4\n255\n" + bytes(48)
for place in ("agent/plain.ppm", "db/zudocs/d/doc.ppm", "outside/o.ppm"):
    with open(os.path.join(W, place), "wb") as f:
        f.write(ppm)
made = [marking(f"{W}/outside/evil.mx", "outside"), marking(f"{W}/outside/own.mx", "own"),
        marking(f"{W}/agent/evil.mx", "inside"), marking(f"{W}/agent/jump.mx", "jump", True),
        matrix(f"{W}/agent/plain.mx", (512, 512)),
        matrix(f"{W}/db/zudocs/d/doc.mx", (512, 512)), matrix(f"{W}/db/zudocs/g/g.mx", (512, 512)),
        matrix(f"{W}/outside/o.mx", (512, 512)), matrix(f"{W}/agent/inner.mx", (512, 512)),
        reaching(f"{W}/agent/reach.mx", f"{W}/outside/o.mx"), reaching(f"{W}/agent/reach_in.mx", "inner.mx")]
fill = ['(qmxImportPNM id="%d" "agent/plain.ppm" 0 0 0 0)' % i for i in (5, 6, 8, 9)]
cli.run(made + fill + ['(qmxClose id="%d")' % (i + 1) for i in range(len(made))], name="maker")
with open(f"{W}/db/zudocs/g/.zuaccess", "w") as f:
    f.write('(?zu encoding="UTF-8")\n(zuaccess (service name="pw" type="fix-user-passwd" user="u" passwd="x") '
            '(target prefix=".mx" "pw"))\n')
os.symlink(f"{W}/outside/evil.mx", f"{W}/agent/link.mx")
os.symlink(f"{W}/outside/o.ppm", f"{W}/agent/link.ppm")

port = free_port()
with open(os.path.join(W, "agent/s.zu"), "w") as f:
    f.write(f'(SetThisAgentName "qnmx")\n(SetDirectory url="/" "{W}/db/")\n(SetPrefixMode ".mx" "qnmx" "lod" "Get")\n'
            f'(qmxGetPoint "{W}/outside/own.mx" (List 0 150 60))\n'
            '(SetMainInterpreter (OpenInterpreter "accept" (CurrentEnvironment) (Port (Cast type="integer" (Arg 1))) '
            '(Permission () (Allow "ip" "127.0.0.1" "255.255.255.255"))))\n')
agent = start([cli.qnmx, "s.zu", "s.out", "s.err", "/", str(port)], cwd=os.path.join(W, "agent"), env=cli.env,
              stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
cli.procs.append(agent)
if not wait_for(lambda: listening(port) or agent.poll() is not None, 60) or agent.poll() is not None:
    raise SystemExit("the agent does not listen")
cli.expect("the agent's own read ran its fetch as the agent", os.listdir(f"{W}/marks"), ["own"])

peer = link(port)


def ask(form):
    """The reply to form; the agent's questions for a password get none."""
    peer.s.sendall(form.encode() + b"\n")
    while True:
        m, line = peer.until(rb"<Result> [0-9]+ (.*?)</Result>\n|\(LocalEval [^\n]*\n")
        if m.group(1) is not None:
            return m.group(1).decode("utf-8", "replace")
        peer.s.sendall(b"<Result> %d ()</Result>\n" % line)


ANY = "any error"
ROWS = [  # (what, form, how it is refused: DENIED, ANY error, or None)
    ("a matrix outside the trees", f'(qmxGetPoint "{W}/outside/evil.mx" (List 0 150 60))', DENIED),
    ("its status", f'(qmxStatus "{W}/outside/evil.mx")', DENIED),
    ("the PNM status of a picture outside", f'(qmxPNMStatus "{W}/outside/o.ppm")', DENIED),
    ("a symlink in the working folder to a matrix outside", '(qmxGetPoint "link.mx" (List 0 150 60))', DENIED),
    ("a symlink in the working folder to a picture outside", '(qmxPNMStatus "link.ppm")', DENIED),
    ("a matrix in the working folder whose fetch reads one outside", '(qmxGetPoint "reach.mx" (List 0 1 1))', ANY),
    ("a matrix in the working folder whose fetch reads one there", '(qmxGetPoint "reach_in.mx" (List 0 1 1))', None),
    ("a matrix in the working folder", '(qmxGetPoint "plain.mx" (List 0 1 1))', None),
    ("its status", '(qmxStatus "plain.mx")', None),
    ("a picture in the working folder", '(qmxPNMStatus "plain.ppm")', None),
    ("a matrix in the document tree", f'(qmxGetPoint "{W}/db/zudocs/d/doc.mx" (List 0 1 1))', None),
    ("a picture in the document tree", f'(qmxPNMStatus "{W}/db/zudocs/d/doc.ppm")', None),
    ("a guarded matrix by path", f'(qmxGetPoint "{W}/db/zudocs/g/g.mx" (List 0 1 1))', DENIED),
    ("a guarded matrix by document path", '(qmxGetPoint path-type="related" "/g/g.mx" (List 0 1 1))', DENIED),
]
for what, form, refused in ROWS:
    got = ask(form)
    if refused == DENIED:
        cli.expect_error(what, got, DENIED)
    elif bool(error_of(got)) != bool(refused):
        cli.fail(f"{what}: {got!r}")
# Matrices the peer may read whose fetch writes outside every tree, at once
# or after a jump: the reads fail as their scripts do, and nothing is
# written.
ask('(qmxGetPoint "evil.mx" (List 0 150 60))')
ask('(qmxGetPoint "jump.mx" (List 0 150 60))')
cli.expect("marks after the peer's reads", sorted(os.listdir(f"{W}/marks")), ["own"])
cli.expect("the agent goes on", ask("(+ 1 2)"), "3")
peer.s.close()
cli.finish()
