"""A process that owns no element: python empty_part.py MESH OUT_DIR on more processes than the
mesh has elements. Balance, a field, a solve, both exports, refinement and balance again must
pass on every process; each process writes OUT_DIR/part<rank>.json with what it held."""
import json
import pathlib
import sys

import numpy as np

import _pymosk

mesh, out = sys.argv[1], pathlib.Path(sys.argv[2])
rank = _pymosk.getProcessNumber()
grid = _pymosk.Grid(mesh)
grid.exportVTK(str(out / "before.pvtu"), _pymosk.Dof(grid, "P", 1))  # a piece without cells
grid.balance(1.05)
held = grid.getNumElements()
u = _pymosk.Dof(grid, "P", 2, name="u")
solver = _pymosk.Solver("cg", u)
for e in grid.getElementIterator():
    A = e.quadGradBasDotGradBas(u, u)
    b = np.zeros(A.shape[0])
    mask, values = e.getDirichletBC(u, lambda p: [p[0] - p[2]])
    _pymosk.utils.processBoundary(mask, values, A, b)
    idx = e.getGlobalIndex(solver)
    solver.addMatrixEntries(idx, idx, A)
    solver.addRHSEntries(idx, b)
solver.solve(u)
grid.exportVTK(str(out / "u.vtu"), u)
grid.exportVTK(str(out / "u.pvtu"), u)
grid.refineAllElements(1)
grid.balance(1.05)
x = u.getNodeCoordinates()
error = float(np.abs(u.getValues() - (x[:, 0] - x[:, 2])).max()) if len(x) else 0.0
(out / f"part{rank}.json").write_text(json.dumps({"held": held, "error": error}))
