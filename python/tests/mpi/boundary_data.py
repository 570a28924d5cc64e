"""Labels, Neumann and Robin data and a time series on any number of processes:
python boundary_data.py MESH OUT_DIR.

MESH is the unit cube with its sides labelled x0..z1 = 1..6 and the sides x=0 and x=1 in group 7
as well. The grid is refined and balanced; every face's labels are checked against where the
face lies; u = x is computed from u = 0 on x=0 and du/dn = 1 (Neumann) or du/dn + u = 2 (Robin)
on x=1, for P1 and P2; three steps of a .pvd series are written. Process 0 writes
OUT_DIR/summary.json."""
import json
import pathlib
import sys

import numpy as np
from mpi4py import MPI

import _pymosk

mesh, out = sys.argv[1], pathlib.Path(sys.argv[2])
comm = MPI.COMM_WORLD
grid = _pymosk.Grid(mesh)
grid.refineAllElements(1)
grid.balance(1.05)

# Every face's labels against its place: the sides it lies on (and 7 on x=0 and x=1), none inside.
p1 = _pymosk.Dof(grid, "P", 1)
vertices, vertex_map = p1.getNodeCoordinates(whole=True), _pymosk.Map(p1)
labels_right, faces_per_label = True, {}
for e in grid.getElementIterator():
    corners = vertices[vertex_map.getGlobalIndex(e)]
    for face in range(4):
        c = np.delete(corners, face, axis=0).mean(axis=0)
        expected = [1 + 2 * k + (c[k] > 0.5) for k in range(3)
                    if np.isclose(c[k], 0) or np.isclose(c[k], 1)]
        expected = sorted(expected + [7] if expected and expected[0] <= 2 else expected)
        labels = grid.getFaceLabels(e, face)
        labels_right &= labels == expected
        for label in labels:
            faces_per_label[label] = faces_per_label.get(label, 0) + 1
    labels_right &= grid.getElementLabel(e) == 1
faces_per_label = {k: sum(comm.allgather(faces_per_label.get(k, 0))) for k in range(1, 8)}


def solve(order, robin):
    u = _pymosk.Dof(grid, "P", order, name="u")
    u.setDirichletLabels([1])
    solver = _pymosk.Solver("cg", u)
    for e in grid.getElementIterator():
        A = e.quadGradBasDotGradBas(u, u)
        b = np.zeros(A.shape[0])
        for face in range(4):
            if 2 in grid.getFaceLabels(e, face):
                if robin:
                    A += e.quadFaceBasDotBas(u, u, face)
                b += e.quadFaceFuncTimesBas(lambda p: [2.0 if robin else 1.0], u, face)[0]
        mask, values = e.getDirichletBC(u, lambda p: [0.0])
        _pymosk.utils.processBoundary(mask, values, A, b)
        idx = e.getGlobalIndex(solver)
        solver.addMatrixEntries(idx, idx, A)
        solver.addRHSEntries(idx, b)
    solver.solve(u)
    return u


errors = {}
for order in (1, 2):
    for robin in (False, True):
        u = solve(order, robin)
        errors[f"P{order}-{'robin' if robin else 'neumann'}"] = float(
            np.abs(u.getValues() - u.getNodeCoordinates()[:, 0]).max())

# Three steps of a series: u scaled by the step's time.
values = u.getValues()
for t in (0.0, 0.5, 1.5):
    u.setValues(t * values)
    grid.exportVTK(str(out / "series.pvd"), [u], time=t)

summary = {"labels_right": comm.allgather(bool(labels_right)), "faces_per_label": faces_per_label,
           "boundary_labels": comm.allgather(grid.getBoundaryLabels()), "errors": errors}
if comm.Get_rank() == 0:
    (out / "summary.json").write_text(json.dumps(summary))
