"""A cantilever beam in linear elasticity with vector P2 elements, against beam theory.

The beam [0, L] x [0, b] x [0, b] is clamped at x = 0 (u = 0 on label 1) and pulled down by a
uniform traction (0, 0, -t) on its end x = L (label 2); the other faces are free. The element
stiffness of linear elasticity needs every product of partial derivatives of the basis, so it is
computed here from the element's barycentric gradients (Grid.geomGetJacobian) with a 4-point
rule, exact for P2; the traction is a face integral (Element.quadFaceFuncTimesBas). The values of
a vector field are node by node, components consecutively: component k of basis function i of
an element is at index idx[i] + k.

The end's deflection (the mean over its nodes) is compared with Euler-Bernoulli theory,
P L^3 / (3 E I), and with Timoshenko's, which adds the shear deflection P L / (kappa G A).

    python examples/cantilever.py [levels] [solver kind]
    mpirun -np N python examples/cantilever.py ...
"""
import pathlib
import sys

import numpy as np
from mpi4py import MPI

root = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(root / "tools"))
import _pymosk  # noqa: E402
from gmsh_meshes import write_mesh  # noqa: E402

levels = int(sys.argv[1]) if len(sys.argv) > 1 else 1
kind = sys.argv[2] if len(sys.argv) > 2 else "lu"
L, b = 10.0, 1.0  # length and side of the square cross-section
E, nu, t = 1000.0, 0.3, 0.1  # Young's modulus, Poisson's ratio, traction on the end
CLAMPED, END = 1, 2
lam, mu = E * nu / ((1 + nu) * (1 - 2 * nu)), E / (2 * (1 + nu))
comm = MPI.COMM_WORLD
out = root / "out"
mesh = out / "cantilever.msh"
if comm.Get_rank() == 0:
    out.mkdir(exist_ok=True)
    write_mesh(mesh, shape="box", size=(L, b, b), h=0.4, labels="sides")
comm.Barrier()

grid = _pymosk.Grid(str(mesh))
grid.balance(1.05)  # each process keeps its part of the coarse grid
grid.refineAllElements(levels)  # and refines that part alone
grid.balance(1.05)  # even again, should refinement have left the parts uneven
u = _pymosk.Dof(grid, "P", 2, dim=3, name="displacement")
u.setDirichletLabels([CLAMPED])
solver = _pymosk.Solver(kind, u)
solver.setSymmetry(_pymosk.Solver.SPD)

# A 4-point rule of degree 2 (products of the P2 gradients, which are linear).
A_, B_ = 0.5854101966249685, 0.1381966011250105
RULE = np.full((4, 4), B_) + np.eye(4) * (A_ - B_)  # barycentric coordinates of the points
EDGES = [(0, 1), (0, 2), (0, 3), (1, 2), (1, 3), (2, 3)]  # the element's edge order


def p2_gradients(grad_lambda, lam_q):
    """Gradients (10 x 3) of the P2 basis at barycentric lam_q: vertices, then edge midpoints."""
    vertex = (4 * lam_q - 1)[:, None] * grad_lambda
    edge = [4 * (lam_q[j] * grad_lambda[i] + lam_q[i] * grad_lambda[j]) for i, j in EDGES]
    return np.vstack([vertex, edge])


def stiffness(e):
    """The 30 x 30 element matrix, rows and columns ordered node by node, x y z per node."""
    grad_lambda = np.array(grid.geomGetJacobian(e)).reshape(4, 4)[:, :3]
    K = np.zeros((10, 3, 10, 3))
    for lam_q in RULE:
        G = p2_gradients(grad_lambda, lam_q)  # (basis, direction)
        K += lam * np.einsum("ia,jb->iajb", G, G)
        K += mu * np.einsum("ib,ja->iajb", G, G)
        K += mu * np.einsum("ic,jc,ab->iajb", G, G, np.eye(3))
    return K.reshape(30, 30) * grid.geomGetVolume(e) / 4


for e in grid.getElementIterator():
    K = stiffness(e)
    f = np.zeros(30)
    for face in range(4):
        if END in grid.getFaceLabels(e, face):
            f += e.quadFaceFuncTimesBas(lambda p: [0.0, 0.0, -t], u, face).T.ravel()
    mask, values = e.getDirichletBC(u, lambda p: [0.0, 0.0, 0.0])  # node by node, x y z
    _pymosk.utils.processBoundary(mask, values, K, f)
    idx = [i + k for i in e.getGlobalIndex(solver) for k in range(3)]
    solver.addMatrixEntries(idx, idx, K)
    solver.addRHSEntries(idx, f)
solver.solve(u)
grid.exportVTK(str(out / "cantilever.vtu"), [u])

# This process's nodes; each node counted once over all processes, by its owner.
values, nodes = u.getValues().reshape(-1, 3), u.getNodeCoordinates()[::3]
end = np.isclose(nodes[:, 0], L) & u.getOwnedMask()[::3]
w = -comm.allreduce(values[end, 2].sum()) / comm.allreduce(int(end.sum()))
P, I, A = t * b * b, b ** 4 / 12, b * b
bending = P * L ** 3 / (3 * E * I)
shear = P * L / (5 / 6 * mu * A)
if comm.Get_rank() == 0:
    print(f"{grid.getGlobalNumElements()} elements, vector P2: {u.getSize()} unknowns, "
          f"solver {kind!r}")
    print(f"end deflection, mean over the end face: {w:.5f}")
    print(f"Euler-Bernoulli P L^3 / (3 E I):        {bending:.5f} "
          f"({(w / bending - 1) * 100:+.2f} %)")
    print(f"Timoshenko (+ P L / (kappa G A)):       {bending + shear:.5f} "
          f"({(w / (bending + shear) - 1) * 100:+.2f} %)")
    print(f"wrote {out / 'cantilever.vtu'}")
