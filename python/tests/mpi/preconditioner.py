"""Solves with the "cg" kind's preconditioner for order >= 2 and vector fields, on any number of
processes: python preconditioner.py MESH OUT.json [lu]

Poisson's equation with P2 and P3 and a clamped elastic body with P2 and 3 components; process 0
writes each case's iterations and its solution, ordered by node coordinates and component, so
that runs on different numbers of processes compare. With `lu` the kind is "lu" (the
reference)."""
import json
import pathlib
import sys

import numpy as np
from mpi4py import MPI

import _pymosk

ROOT = pathlib.Path(__file__).resolve().parents[3]
sys.path[:0] = [str(ROOT / "examples"), str(ROOT / "bench")]
from elasticity import assemble_elasticity  # noqa: E402
from poisson_road import assemble, manufactured_solution  # noqa: E402

mesh, out = sys.argv[1], pathlib.Path(sys.argv[2])
kind = sys.argv[3] if len(sys.argv) > 3 else "cg"
grid = _pymosk.Grid(mesh)
grid.refineAllElements(1)
grid.balance(1.05)
results = {}
for name, order, dim in [("P2", 2, 1), ("P3", 3, 1), ("P2 elastic", 2, 3)]:
    u = _pymosk.Dof(grid, "P", order, dim=dim, name="u")
    solver = _pymosk.Solver(kind, u)
    if dim == 1:
        f = _pymosk.Dof(grid, "P", order, udf=lambda p: [4 * manufactured_solution(p)[0]])
        assemble(grid, solver, u, f, manufactured_solution)
    else:
        assemble_elasticity(grid, solver, u)
    solver.solve(u)
    xyz = np.round(u.getNodeCoordinates(whole=True), 9)
    component = np.arange(u.getSize()) % dim
    by_node = np.lexsort((component, xyz[:, 2], xyz[:, 1], xyz[:, 0]))
    results[name] = {"iterations": int(str(solver).split()[1]),
                     "values": u.getValues(whole=True)[by_node].tolist()}
if MPI.COMM_WORLD.Get_rank() == 0:
    out.write_text(json.dumps(results))
