#!/usr/bin/python3
"""Reference values of the interpolated reads, with scipy and numpy.

interp_ref.py FILE reads
  w nx ny                 cell width (finest units) and the level's grid size
  A: nx * ny doubles      channel A, x fastest, as hexadecimal floats
  B: the same             channel B
  P: 2 * n doubles        the points, x and y of each
and prints one line per point, each value a hexadecimal float:
  a b                     RegularGridInterpolator(method="linear") of A and B
  dax day dbx dby         np.diff at the cell's origin, divided by w
  eax eay ebx eby         the slopes interpolated at the point (the x slope
                          of the cell's two x edges, linear along y; the y
                          slope likewise)
"""
import sys

import numpy as np
from scipy.interpolate import RegularGridInterpolator


def values(line):
    return np.array([float.fromhex(v) for v in line.split()[1:]])


def main(path):
    with open(path) as f:
        lines = f.read().splitlines()
    w, nx, ny = (int(v) for v in lines[0].split())
    grids = [values(line).reshape(ny, nx).T for line in lines[1:3]]  # g[i, j]: x = i * w, y = j * w
    pts = values(lines[3]).reshape(-1, 2)
    xs, ys = np.arange(nx) * float(w), np.arange(ny) * float(w)
    lo = np.floor(np.trunc(pts) / w) * w
    cell = (lo / w).astype(int)
    out = []
    for g in grids:
        value = RegularGridInterpolator((xs, ys), g, method="linear")(pts)
        dx, dy = np.diff(g, axis=0) / w, np.diff(g, axis=1) / w
        fwd = [dx[cell[:, 0], cell[:, 1]], dy[cell[:, 0], cell[:, 1]]]
        ex = RegularGridInterpolator((xs[:-1], ys), dx, method="linear")(np.column_stack([lo[:, 0], pts[:, 1]]))
        ey = RegularGridInterpolator((xs, ys[:-1]), dy, method="linear")(np.column_stack([pts[:, 0], lo[:, 1]]))
        out.append((value, fwd, [ex, ey]))
    for k in range(len(pts)):
        row = [out[0][0][k], out[1][0][k]]
        row += [out[c][1][i][k] for c in range(2) for i in range(2)]
        row += [out[c][2][i][k] for c in range(2) for i in range(2)]
        print(" ".join(float(v).hex() for v in row))


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    main(sys.argv[1])
