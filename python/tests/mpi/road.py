"""The Poisson road on any number of processes: python road.py MESH ORDER OUT_DIR.

Every solver kind solves the same system; process 0 writes OUT_DIR/summary.json with what the
test compares against a run on one process, and the grid's exports land in OUT_DIR."""
import json
import pathlib
import sys
from collections import Counter

import numpy as np
from mpi4py import MPI

import _pymosk

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[3] / "examples"))
from poisson_road import assemble, manufactured_solution  # noqa: E402

mesh, order, out = sys.argv[1], int(sys.argv[2]), pathlib.Path(sys.argv[3])
comm = MPI.COMM_WORLD
FACES = [[1, 2, 3], [0, 2, 3], [0, 1, 3], [0, 1, 2]]  # vertices of face k


def consistent(field):
    """This process's values are the whole array's at their global indices, and every process
    holds the same value (its owner's) for a node: ghosts agree with their owners."""
    local, index, owned = field.getValues(), field.getGlobalIndices(), field.getOwnedMask()
    whole = field.getValues(whole=True)
    owners = np.zeros(field.getSize())
    owners[index[owned]] = local[owned]
    owners = comm.allreduce(owners)  # every value owned by one process
    return bool(np.array_equal(whole[index], local) and np.array_equal(owners, whole)
                and len(index) == field.getLocalSize())


def record_refined(grid, field, path):
    """Writes (on process 0) the refined grid as any number of processes must give it: the leaves'
    barycentres and volumes, how many faces one, two or more leaves have, and the field's nodes
    with their values, each sorted; checks every process's ghost values against their owners'."""
    blocks = list(grid.getElementBlocks())
    corners = np.concatenate([b.getVertexCoordinates() for b in blocks]).round(12)
    volumes = np.concatenate([b.getVolumes() for b in blocks])
    faces = [tuple(sorted(map(tuple, face))) for face in corners[:, FACES].reshape(-1, 3, 3)]
    owned = field.getOwnedMask()
    nodes = np.column_stack([field.getNodeCoordinates()[owned].round(12), field.getValues()[owned]])
    leaves = np.column_stack([corners.mean(axis=1), volumes])
    leaves, nodes, faces = (comm.gather(x) for x in (leaves, nodes, faces))
    ok = consistent(field)
    if comm.Get_rank() == 0:
        leaves, nodes = np.concatenate(leaves).round(12), np.concatenate(nodes)
        shared = np.bincount(list(Counter(f for part in faces for f in part).values()),
                             minlength=4)[1:4]
        np.savez(path, leaves=leaves[np.lexsort(leaves.T[::-1])],
                 nodes=nodes[np.lexsort(nodes[:, :3].T[::-1])], faces=shared)
    return ok


grid = _pymosk.Grid(mesh)
# A field made before the grid is distributed follows it through refinement and balance; its
# function is of the field's order, so interpolation carries it exactly.
carried = _pymosk.Dof(grid, "P", order, udf=lambda p: [(p[0] + 2 * p[1]) ** order - p[2]])
# A cubic field carried exactly by P3, whose edges and faces hold several nodes each: their order
# must survive new vertex numbers on every process.
cubic = _pymosk.Dof(grid, "P", 3, udf=lambda p: [(p[0] - 2 * p[1]) ** 3 + p[1] * p[2] ** 2])
grid.balance(1.05)
grid.refineAllElements(1)  # refinement of a distributed grid
before_balance = grid.getNumElements()
refined_ok = record_refined(grid, carried, out / "refined1.npz")
grid.balance(1.0)  # and balance again, to the element: leaves and field values move
u = _pymosk.Dof(grid, "P", order, name="u")
f = _pymosk.Dof(grid, "P", order, udf=lambda p: [4 * manufactured_solution(p)[0]], name="f")
cells = _pymosk.Dof(grid, "P", 0, udf=lambda p: [p[0] + 2 * p[1]], name="cells")

# Every leaf element once over all processes: the global indices of a P0 map are one per element.
cell_map = _pymosk.Map(cells)
walked = [cell_map.getGlobalIndex(e)[0] for e in grid.getElementIterator()]
walked_all = sorted(i for part in comm.allgather(walked) for i in part)
u_map = _pymosk.Map([u, f])


# Whole field arrays are in the global numbering of a map over the one field: an element's
# indices pick its nodes (whose mean is the element's centroid, for P1 and P2 nodes alike).
f_nodes, f_map = f.getNodeCoordinates(whole=True), _pymosk.Map(f)
p1 = _pymosk.Dof(grid, "P", 1)
vertices, vertex_map = p1.getNodeCoordinates(whole=True), _pymosk.Map(p1)
arrays_ok = bool(np.array_equal(f.getValues(whole=True),
                                [4 * manufactured_solution(p)[0] for p in f_nodes]))
arrays_ok &= bool(np.array_equal(f.getNodeCoordinates(), f_nodes[f.getGlobalIndices()]))
arrays_ok &= consistent(f)
x = carried.getNodeCoordinates()
arrays_ok &= consistent(carried) and bool(np.allclose(
    carried.getValues(), (x[:, 0] + 2 * x[:, 1]) ** order - x[:, 2], rtol=0, atol=1e-12))
x = cubic.getNodeCoordinates()
arrays_ok &= consistent(cubic) and bool(np.allclose(
    cubic.getValues(), (x[:, 0] - 2 * x[:, 1]) ** 3 + x[:, 1] * x[:, 2] ** 2, rtol=0, atol=1e-11))
for e in grid.getElementIterator():
    centroid = vertices[vertex_map.getGlobalIndex(e)].mean(axis=0)
    arrays_ok &= bool(np.allclose(f_nodes[f_map.getGlobalIndex(e)].mean(axis=0), centroid))
# The boundary walk (selector 3), by centroid: over all processes, the elements of one process.
boundary = [np.round(vertices[vertex_map.getGlobalIndex(e)].mean(axis=0), 12).tolist()
            for e in _pymosk.utils.ElementIterator(grid, 3)]

# Refined after balance: one level (recorded before the second balance, above) and two levels
# of another grid, with a field that interpolation does not reproduce.
arrays_ok &= refined_ok
fine = _pymosk.Grid(mesh)
wavy = _pymosk.Dof(fine, "P", order, udf=lambda p: [np.sin(3 * p[0]) * p[1] + p[2] ** 3])
fine.balance(1.05)
fine.refineAllElements(2)
arrays_ok &= record_refined(fine, wavy, out / "refined2.npz")

summary = {
    "processes": comm.Get_size(),
    "elements": comm.allgather(grid.getNumElements()),
    "elements_before_balance": comm.allgather(before_balance),
    "global_elements": grid.getGlobalNumElements(),
    "walked_once": walked_all == list(range(grid.getGlobalNumElements())),
    "boundary_walk": sorted(c for part in comm.allgather(boundary) for c in part),
    "map_sizes": comm.allgather(u_map.getSize()),
    "map_global_size": u_map.getGlobalSize(),
    "dof_size": u.getSize(),
    "solvers": {},
}
for kind in ["cg", "gmres", "bicgstab", "lu", "petsc"]:
    solver = _pymosk.Solver(kind, u)
    assemble(grid, solver, u, f, manufactured_solution)
    solver.solve(u)
    arrays_ok &= consistent(u)
    text = repr(solver)
    summary["solvers"][kind] = {"repr": comm.allgather(text)}
    grid.exportVTK(str(out / f"{kind}.vtu"), [u, f])
    if kind == "cg":
        # Reassembled after zeroing, with this solver's own tolerance: the same answer.
        first = u.getValues(whole=True)
        solver.setOptions("-solver_rtol 1e-9")
        solver.zeroMatrix()
        solver.zeroRHS()
        assemble(grid, solver, u, f, manufactured_solution)
        solver.solve(u)
        summary["reassembled"] = float(np.abs(u.getValues(whole=True) - first).max())
        # Values set on one process's nodes reach the ghost copies on the others.
        u.setValues(u.getValues() * (1 + comm.Get_rank()))
        arrays_ok &= consistent(u)
        u.setValues(first, whole=True)
        summary["own_rtol"] = comm.allgather(repr(solver).split()[-1])
        solver.dumpMATLAB(str(out / "A.m"), str(out / "b.m"))
        grid.exportVTK(str(out / "cg.pvtu"), [u, cells])
        grid.exportVTK(str(out / "cg.vtk"), [u, cells])
summary["arrays_ok"] = comm.allgather(arrays_ok)
if comm.Get_rank() == 0:
    (out / "summary.json").write_text(json.dumps(summary))
