#!/usr/bin/python3
"""An independent model of the vector algebra and the linear solver, in numpy.

Vectors travel as "e0,e1,.. hex": extents first dimension fastest and the
elements in host byte order; a numpy array of shape (e0, e1, ..) in Fortran
order is the same vector. Subcommands print one case per line:
  algebra  op code operands... result   (result "-": refused)
  solve    n a rhs-shape rhs x          (x "-": no solution)
  inverse  n a inv                      (inv "-": no inverse)
"""
import sys

import numpy as np

DTYPES = {2: np.int8, 3: np.int16, 4: np.int32, 5: np.int64, 6: np.uint8, 7: np.uint16, 8: np.uint32,
          9: np.uint64, 10: np.float32, 11: np.float64}


def shown(a):
    return ",".join(map(str, a.shape)) + " " + np.asfortranarray(a).tobytes(order="F").hex()


def sample(code, rng, shape):
    dt = np.dtype(DTYPES[code])
    if dt.kind == "f":
        vals = rng.integers(-4000, 4000, shape) / 16.0 + rng.random(shape) * 1e-3
        return vals.astype(dt)
    info = np.iinfo(dt)
    vals = rng.integers(info.min, info.max, shape, dtype=dt, endpoint=True)
    flat = vals.reshape(-1, order="F")
    for i in range(0, flat.size, 3):  # edges wrap when added or multiplied
        flat[i] = [info.min, info.max, 100, 16, 0, 1][rng.integers(6)]
    return flat.reshape(shape, order="F")


def seq_matmul(a, b, dt):
    """R[k, r] (our (column k, row r)) summed from zero in increasing j in
    the element type: every product and sum rounded or wrapped as it goes."""
    n, rows = a.shape  # a: (columns n, rows)
    cols = b.shape[0]
    out = np.zeros((cols, rows), dtype=dt)
    with np.errstate(over="ignore"):
        for r in range(rows):
            for k in range(cols):
                s = dt.type(0)
                for j in range(n):
                    s = dt.type(s + dt.type(a[j, r] * b[k, j]))
                out[k, r] = s
    return out


def cmd_algebra():
    rng = np.random.default_rng(28)
    fixed = [("add", 2, [100], [100]), ("sub", 7, [0], [1])]
    for op, code, x, y in fixed:
        dt = np.dtype(DTYPES[code])
        a, b = np.array(x, dtype=dt), np.array(y, dtype=dt)
        with np.errstate(over="ignore"):
            print(op, code, shown(a), shown(b), shown(a + b if op == "add" else a - b))
    print("mulsv", 6, np.array([16], dtype=np.uint8).tobytes().hex(), shown(np.array([16, 17], dtype=np.uint8)),
          shown(np.array([0, 16], dtype=np.uint8)))
    for code in sorted(DTYPES):
        dt = np.dtype(DTYPES[code])
        for _ in range(4):
            shape = tuple(int(e) for e in rng.integers(1, 5, int(rng.integers(1, 4))))
            a, b = sample(code, rng, shape), sample(code, rng, shape)
            with np.errstate(over="ignore"):
                print("add", code, shown(a), shown(b), shown(a + b))
                print("sub", code, shown(a), shown(b), shown(a - b))
                s = sample(code, rng, (1,))
                print("mulsv", code, s.tobytes().hex(), shown(a), shown(a * s[0]))
            n, m, p = (int(v) for v in rng.integers(1, 6, 3))
            ma, mb = sample(code, rng, (n, m)), sample(code, rng, (p, n))
            print("mulmm", code, shown(ma), shown(mb), shown(seq_matmul(ma, mb, dt)))
            print("trans", code, shown(ma), shown(ma.T))
            ax = int(rng.integers(0, len(shape)))
            other = list(shape)
            other[ax] = int(rng.integers(0, 3))
            c = sample(code, rng, tuple(other))
            print("compound", code, ax, shown(a), shown(c), shown(np.concatenate([a, c], axis=ax)))
            size = int(rng.integers(0, 5))
            print("eye", code, size, shown(np.eye(size, dtype=dt)))
            row = sample(code, rng, (size,))
            print("ary", code, 1, row.tobytes().hex(), shown(row))
            print("ary", code, 2, row.tobytes().hex(), shown(row.reshape(size, 1)))


def systems(rng):
    """(n, A) with A[i, j] the coefficient of variable j in equation i."""
    for n in range(1, 13):
        for _ in range(3):
            while True:
                a = rng.normal(size=(n, n))
                if np.linalg.cond(a) < 1e4:
                    break
            yield n, a
        yield n, np.eye(n)
        yield n, np.diag(rng.uniform(0.5, 4.0, n) * rng.choice([-1, 1], n))
        perm = np.eye(n)[rng.permutation(n)]
        yield n, perm
        yield n, np.eye(n)[::-1] * 3.0  # every diagonal entry zero when n is even
    yield 1, np.array([[2.0]])
    yield 1, np.array([[0.0]])
    yield 3, np.array([[1.0, 2.0, 3.0], [2.0, 4.0, 6.0], [0.0, 1.0, 1.0]])  # rank 2
    yield 4, np.zeros((4, 4))
    yield 3, np.array([[1.0, 0.0, 0.0], [0.0, np.nan, 0.0], [0.0, 0.0, 1.0]])
    yield 2, np.array([[np.inf, 1.0], [1.0, 1.0]])
    yield 3, np.full((3, 3), np.nan)


def solution(a, b):
    if not (np.isfinite(a).all() and np.isfinite(b).all()) or np.linalg.matrix_rank(a) < a.shape[0]:
        return None
    return np.linalg.solve(a, b)


def cmd_solve():
    rng = np.random.default_rng(131)
    for n, a in systems(rng):
        # Our matrix (columns n, rows n): element j + n * i is a[i, j].
        ours = a.astype(np.float64).tobytes().hex()
        for shape in ("%d" % n, "1,%d" % n, "%d,1" % n):
            b = rng.normal(size=n) * 10
            if n == 1 and a[0, 0] == 2.0:
                b = np.array([6.0])
            x = solution(a, b)
            print("solve", n, ours, shape, b.tobytes().hex(), "-" if x is None else x.tobytes().hex())
        b = rng.normal(size=n)
        b[n // 2] = np.nan
        print("solve", n, ours, "%d" % n, b.tobytes().hex(), "-")
        inv = None if solution(a, np.ones(n)) is None else np.linalg.inv(a)
        print("inverse", n, ours, "-" if inv is None else inv.tobytes().hex())


if __name__ == "__main__":
    commands = {"algebra": cmd_algebra, "solve": cmd_solve}
    if len(sys.argv) == 2 and sys.argv[1] in commands:
        commands[sys.argv[1]]()
    else:
        sys.exit(__doc__)
