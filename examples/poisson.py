"""Poisson's equation on the bundled cube, element by element from Python.

    -laplace(u) = f in the cube, u = g on its boundary,

with the manufactured solution u = 1 + x^2 + 2 y^2 - 3 z^2 + x y, so f = 0 and u lies
in the P2 space: the computed P2 field must reproduce it up to the solver tolerance. Prints the
largest error at the vertices (read back from the VTK file the script writes).
"""
import pathlib
import sys
import time

import numpy as np

import _pymosk

root = pathlib.Path(__file__).resolve().parents[1]
mesh = sys.argv[1] if len(sys.argv) > 1 else str(root / "meshes" / "cube.msh")
levels = int(sys.argv[2]) if len(sys.argv) > 2 else 1
order = int(sys.argv[3]) if len(sys.argv) > 3 else 2
out = root / "out"
out.mkdir(exist_ok=True)


def exact(p):
    x, y, z = p
    return [1 + x * x + 2 * y * y - 3 * z * z + x * y]


t0 = time.perf_counter()
grid = _pymosk.Grid(mesh)
grid.refineAllElements(levels)
grid.balance(1.05)
t1 = time.perf_counter()
u = _pymosk.Dof(grid, "P", order, name="u")
f = _pymosk.Dof(grid, "P", order, udf=lambda p: [0.0], name="f")
solver = _pymosk.Solver("cg", u)
solver.setSymmetry(_pymosk.Solver.SPD)
t2 = time.perf_counter()
for e in grid.getElementIterator():
    A = e.quadGradBasDotGradBas(u, u)
    b = e.quadDofTimesBas(f, u)[0].copy()
    idx = e.getGlobalIndex(solver)
    mask, values = e.getDirichletBC(u, exact)
    _pymosk.utils.processBoundary(mask, values, A, b)
    solver.addMatrixEntries(idx, idx, A)
    solver.addRHSEntries(idx, b)
t3 = time.perf_counter()
solver.solve(u)
t4 = time.perf_counter()
target = out / "poisson.vtu"
grid.exportVTK(str(target), [u, f])
t5 = time.perf_counter()

print(f"mesh {mesh}, {levels} refinement level(s): {grid.getNumElements()} elements, "
      f"P{order}: {u.getSize()} unknowns")
print(f"solver: {solver}")
print(f"times: grid {t1 - t0:.2f} s, fields {t2 - t1:.2f} s, element loop {t3 - t2:.2f} s, "
      f"solve {t4 - t3:.2f} s, export {t5 - t4:.2f} s")
try:
    import meshio
    m = meshio.read(target)
    err = np.abs(m.point_data["u"].ravel() - np.array([exact(p)[0] for p in m.points])).max()
    print(f"largest error at the vertices: {err:.3e}")
except ImportError:
    pass
print(f"wrote {target}")
