"""Mesh import speed: a structured cube of about a million tetrahedra (6 per cell) written by the
gmsh package as MSH 2.2 and 4.1, ASCII and binary, and as Medit .mesh; each file is imported
(read, validated, numbered) by Grid(name). meshio reading the same file is the reference, timed
in the same run. Usage: bench_mesh_read.py [cells per edge, default 56 -> 1,053,696 tets]"""
import os
import subprocess
import sys
import tempfile

import meshio

import _pymosk
from timing import best_of

GMSH = r"""
import sys
import numpy as np
import gmsh
n, d = int(sys.argv[1]), sys.argv[2]
m = n + 1
idx = lambda i, j, k: (i * m + j) * m + k
g = np.arange(m, dtype=float) / n
x, y, z = np.meshgrid(g, g, g, indexing="ij")
coords = np.stack([x.ravel(), y.ravel(), z.ravel()], axis=1).ravel()
i, j, k = np.meshgrid(np.arange(n), np.arange(n), np.arange(n), indexing="ij")
base = idx(i, j, k).ravel()
step = np.array([m * m, m, 1])
tets = []
for perm, odd in (((0, 1, 2), 0), ((0, 2, 1), 1), ((1, 0, 2), 1),
                  ((1, 2, 0), 0), ((2, 0, 1), 0), ((2, 1, 0), 1)):
    a = base
    b = a + step[perm[0]]
    c = b + step[perm[1]]
    e = c + step[perm[2]]
    t = np.stack([a, b, e, c] if odd else [a, b, c, e], axis=1)
    tets.append(t)
tets = np.concatenate(tets) + 1
gmsh.initialize(interruptible=False)
gmsh.option.setNumber("General.Terminal", 0)
gmsh.model.add("cube")
gmsh.model.addDiscreteEntity(3, 1)
gmsh.model.mesh.addNodes(3, 1, np.arange(1, m ** 3 + 1), coords)
gmsh.model.mesh.addElementsByType(1, 4, [], tets.ravel())
gmsh.model.addPhysicalGroup(3, [1], 1)
for v, b in ((2.2, 0), (2.2, 1), (4.1, 0), (4.1, 1)):
    gmsh.option.setNumber("Mesh.MshFileVersion", v)
    gmsh.option.setNumber("Mesh.Binary", b)
    gmsh.write(f"{d}/cube_{v}_{'bin' if b else 'ascii'}.msh")
gmsh.write(f"{d}/cube.mesh")
gmsh.finalize()
print(len(tets))
"""


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 56
    with tempfile.TemporaryDirectory() as d:
        out = subprocess.run([sys.executable, "-c", GMSH, str(n), d], check=True,
                             capture_output=True, text=True)
        ntet = int(out.stdout.split()[-1])
        print(f"mesh: {ntet} tetrahedra, {(n + 1) ** 3} vertices")
        print(f"{'file':24} {'MB':>7} {'Grid(name) s':>13} {'us/tet':>7} {'meshio s':>9}")
        for name in sorted(os.listdir(d)):
            path = os.path.join(d, name)
            size = os.path.getsize(path) / 1e6
            g = _pymosk.Grid(path)
            assert g.getNumElements() == ntet, (name, g.getNumElements())
            del g
            ours = best_of(3, lambda: _pymosk.Grid(path))
            # meshio's MSH 2.2 binary reader takes minutes on this file: not timed.
            ref = "-"
            if name != "cube_2.2_bin.msh":
                ref = f"{best_of(1, lambda: meshio.read(path)):.2f}"
            print(f"{name:24} {size:7.1f} {ours:13.2f} {1e6 * ours / ntet:7.2f} {ref:>9}",
                  flush=True)


if __name__ == "__main__":
    main()
