"""Time steps with one matrix: python reuse.py MESH OUT_DIR (under MOSK_OPTIONS=-verbosity 1).

For "lu" and "cg": a solve, then two more after zeroRHS and a new right-hand side, which must keep
the factorisation or preconditioner. Each process writes its log to OUT_DIR/log<rank>.txt;
process 0 writes the node coordinates and the last solution of each kind to OUT_DIR/<kind>.npy."""
import os
import pathlib
import sys

out = pathlib.Path(sys.argv[2])
rank = os.environ.get("OMPI_COMM_WORLD_RANK", "0")
log = os.open(out / f"log{rank}.txt", os.O_WRONLY | os.O_CREAT | os.O_TRUNC)
os.dup2(log, 2)  # the library logs to stderr

import numpy as np  # noqa: E402

import _pymosk  # noqa: E402

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[3] / "examples"))
from poisson_road import assemble, manufactured_solution  # noqa: E402

grid = _pymosk.Grid(sys.argv[1])
grid.refineAllElements(1)
grid.balance(1.05)
u = _pymosk.Dof(grid, "P", 2, name="u")
f = _pymosk.Dof(grid, "P", 2, udf=lambda p: [4 * manufactured_solution(p)[0]], name="f")
for kind in ["lu", "cg"]:
    solver = _pymosk.Solver(kind, u)
    assemble(grid, solver, u, f, manufactured_solution)
    solver.solve(u)
    for step in range(2):
        f.setValues(2 * f.getValues())
        solver.zeroRHS()
        for e in grid.getElementIterator():
            A, b = e.quadGradBasDotGradBas(u, u), e.quadDofTimesBas(f, u)[0]
            mask, values = e.getDirichletBC(u, manufactured_solution)
            _pymosk.utils.processBoundary(mask, values, A, b)
            solver.addRHSEntries(e.getGlobalIndex(solver), b)
        solver.solve(u)
    whole = np.column_stack([u.getNodeCoordinates(whole=True), u.getValues(whole=True)])
    if rank == "0":
        np.save(out / f"{kind}.npy", whole)
    f.setValues(f.getValues() / 4)
