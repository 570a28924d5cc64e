"""Assembly block by block against element by element, on any number of processes:
python element_blocks.py MESH OUT_DIR. For each case the two systems are dumped; process 0
writes OUT_DIR/summary.json with the largest difference of their entries relative to the
largest entry (None when the entries' positions differ). Contributions to rows of other
processes are summed in the order their messages arrive, so the last bit may differ. And the block system's solution of
the scalar P2 case goes to OUT_DIR/u.vtu for comparison with a run on one process."""
import json
import pathlib
import sys

import numpy as np
from mpi4py import MPI

import _pymosk

mesh, out = sys.argv[1], pathlib.Path(sys.argv[2])
grid = _pymosk.Grid(mesh)
grid.balance(1.05)
process = _pymosk.utils.processBoundary


def boundary(p):
    return [p[0] + 2 * p[1] - p[2]]


def vector_system(A, idx, dim):
    """The block-diagonal system of a dim-component field from the scalar one (a node's
    components are consecutive)."""
    if dim == 1:
        return A, idx
    eye = np.eye(dim)
    big = np.einsum("...ij,kl->...ikjl", A, eye)
    n = A.shape[-1] * dim
    return big.reshape(A.shape[:-2] + (n, n)), (idx[..., :, None] + np.arange(dim)).reshape(
        idx.shape[:-1] + (n,))


def by_elements(solver, u, f, dim):
    for e in grid.getElementIterator():
        A, idx = vector_system(e.quadGradBasDotGradBas(u, u), np.array(e.getGlobalIndex(solver)), dim)
        b = np.repeat(e.quadDofTimesBas(f, u)[0], dim)
        # A field of dim components has dim entries per basis function, a node's consecutive.
        mask, values = e.getDirichletBC(u, lambda p: boundary(p) * dim)
        process(mask, values, A, b)
        solver.addMatrixEntries(idx.tolist(), idx.tolist(), A)
        solver.addRHSEntries(idx.tolist(), b)


def by_blocks(solver, u, f, dim):
    for block in grid.getElementBlocks(100):
        A, idx = vector_system(block.quadGradBasDotGradBas(u, u), block.getGlobalIndex(solver), dim)
        b = np.repeat(block.quadDofTimesBas(f, u)[:, 0], dim, axis=1)
        mask, values = block.getDirichletBC(
            u, lambda p: np.repeat((p[:, 0] + 2 * p[:, 1] - p[:, 2])[:, None], dim, axis=1),
            vectorized=True)
        A = np.ascontiguousarray(A)
        process(mask, values, A, b)
        solver.addMatrixEntries(idx, idx, A)
        solver.addRHSEntries(idx, b)


def difference(a, b):
    rows_a, rows_b = (
        [line.split() for line in path.read_text().splitlines() if line[:1] in "-0123456789"]
        for path in (a, b))
    if [r[:-1] for r in rows_a] != [r[:-1] for r in rows_b]:
        return None
    va, vb = (np.array([float(r[-1]) for r in rows]) for rows in (rows_a, rows_b))
    return float(np.abs(va - vb).max() / np.abs(va).max())


same = {}
for order, dim in [(1, 1), (2, 1), (3, 1), (2, 3)]:
    u = _pymosk.Dof(grid, "P", order, dim=dim, name="u")
    f = _pymosk.Dof(grid, "P", order, udf=lambda p: [p[0] * p[1]], name="f")
    files = []
    for name, assemble in (("element", by_elements), ("block", by_blocks)):
        solver = _pymosk.Solver("cg", u)
        assemble(solver, u, f, dim)
        files.append([out / f"{name}_{order}_{dim}_{part}.m" for part in "Ab"])
        solver.dumpMATLAB(str(files[-1][0]), str(files[-1][1]))
        if name == "block" and (order, dim) == (2, 1):
            solver.setOptions("-solver_rtol 1e-12")
            solver.solve(u)
            grid.exportVTK(str(out / "u.vtu"), u)
    MPI.COMM_WORLD.Barrier()
    if MPI.COMM_WORLD.Get_rank() == 0:
        gaps = [difference(a, b) for a, b in zip(*files)]
        same[f"P{order} dim {dim}"] = None if None in gaps else max(gaps)

if MPI.COMM_WORLD.Get_rank() == 0:
    (out / "summary.json").write_text(json.dumps(same))
