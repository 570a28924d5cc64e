"""Poisson's equation on the bundled cube, element by element from Python.

    -laplace(u) = f in the cube, u = g on its boundary,

with the manufactured solution u = sin(2x + 1/2) cos(y) exp(z), so f = 4 u. The script walks the
whole road: import, balance, refine, balance, fields, the element loop (poisson_road.assemble), solve,
export; then prints the L2 and H1-seminorm errors against the exact solution.

    python examples/poisson.py [mesh] [refinement levels] [order]
    mpirun -np N python examples/poisson.py ...   (the same on N processes)
"""
import pathlib
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import numpy as np  # noqa: E402
from mpi4py import MPI  # noqa: E402

import _pymosk  # noqa: E402
from poisson_road import (REFERENCE_ORDER, assemble, errors, manufactured_solution,  # noqa: E402
                          manufactured_source)

root = pathlib.Path(__file__).resolve().parents[1]
mesh = sys.argv[1] if len(sys.argv) > 1 else str(root / "meshes" / "cube.msh")
levels = int(sys.argv[2]) if len(sys.argv) > 2 else 1
order = int(sys.argv[3]) if len(sys.argv) > 3 else 2
out = root / "out"
out.mkdir(exist_ok=True)
rank = MPI.COMM_WORLD.Get_rank()

t0 = time.perf_counter()
grid = _pymosk.Grid(mesh)
grid.balance(1.05)  # each process keeps its part of the coarse grid
grid.refineAllElements(levels)  # and refines that part alone
grid.balance(1.05)  # even again, should refinement have left the parts uneven
t1 = time.perf_counter()
u = _pymosk.Dof(grid, "P", order, name="u")
f = _pymosk.Dof(grid, "P", min(order + 2, REFERENCE_ORDER), udf=manufactured_source, name="f")
solver = _pymosk.Solver("cg", u)
solver.setSymmetry(_pymosk.Solver.SPD)
t2 = time.perf_counter()
assemble(grid, solver, u, f, manufactured_solution)
t3 = time.perf_counter()
solver.solve(u)
t4 = time.perf_counter()
target = out / "poisson.vtu"
grid.exportVTK(str(target), [u, f])
t5 = time.perf_counter()
l2, h1 = errors(grid, u, manufactured_solution)
# The slowest process sets the pace.
times = np.array([t1 - t0, t2 - t1, t3 - t2, t4 - t3, t5 - t4])
MPI.COMM_WORLD.Allreduce(MPI.IN_PLACE, times, op=MPI.MAX)

if rank == 0:
    processes = MPI.COMM_WORLD.Get_size()
    print(f"mesh {mesh}, {levels} refinement level(s): {grid.getGlobalNumElements()} elements"
          f"{f' on {processes} processes' if processes > 1 else ''}, "
          f"P{order}: {u.getSize()} unknowns")
    print(f"solver: {solver}")
    print("times: grid {:.2f} s, fields {:.2f} s, element loop {:.2f} s, solve {:.2f} s, "
          "export {:.2f} s".format(*times))
    print(f"errors against the exact solution: L2 {l2:.3e}, H1 seminorm {h1:.3e}")
    print(f"wrote {target}")
