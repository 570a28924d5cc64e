"""The heat equation by backward Euler, with a fixed temperature on one face and convection on
the opposite one, watched as a time series.

    du/dt = laplace(u) in the unit cube, u = 0 at t = 0,
    u = 1 on the face x = 0 (label 1 of the bundled cube),
    du/dn + h u = 0 on the face x = 1 (label 2: convection to surroundings at 0, a Robin condition),
    du/dn = 0 on the other faces (nothing to assemble).

Each step solves (M / dt + K + h R) u_new = M / dt u_old. The matrix is the same for every step:
it is assembled once, and one Solver is reused; each step only zeroes and reassembles the
right-hand side from the old values (as an array), so the preconditioner is set up once. Every
fifth step goes into out/heat.pvd (open it in ParaView and press play). The temperature tends to
the steady state u = 1 - h x / (1 + h), which the space holds exactly; the script prints how far
each printed step is from it.

    python examples/heat.py [levels] [order] [steps] [dt]
    mpirun -np N python examples/heat.py ...
"""
import pathlib
import sys

import numpy as np
from mpi4py import MPI

import _pymosk

root = pathlib.Path(__file__).resolve().parents[1]
levels = int(sys.argv[1]) if len(sys.argv) > 1 else 1
order = int(sys.argv[2]) if len(sys.argv) > 2 else 2
steps = int(sys.argv[3]) if len(sys.argv) > 3 else 100
dt = float(sys.argv[4]) if len(sys.argv) > 4 else 0.02
h = 2.0  # heat transfer coefficient of the convecting face
HOT, CONVECTING = 1, 2
out = root / "out"
out.mkdir(exist_ok=True)
rank = MPI.COMM_WORLD.Get_rank()

grid = _pymosk.Grid(str(root / "meshes" / "cube.msh"))
grid.balance(1.05)  # each process keeps its part of the coarse grid
grid.refineAllElements(levels)  # and refines that part alone
grid.balance(1.05)  # even again, should refinement have left the parts uneven
u = _pymosk.Dof(grid, "P", order, name="u")
u.setDirichletLabels([HOT])  # u = 1 there; the other faces carry natural conditions
index = _pymosk.Map(u)
solver = _pymosk.Solver("cg", u)
solver.setSymmetry(_pymosk.Solver.SPD)
hot = lambda p: [1.0]  # noqa: E731


def element_system(e):
    """The element's matrix M / dt + K + h R and its mass matrix M / dt."""
    mass = e.quadBasDotBas(u, u) / dt
    A = mass + e.quadGradBasDotGradBas(u, u)
    for face in range(4):
        if CONVECTING in grid.getFaceLabels(e, face):
            A += h * e.quadFaceBasDotBas(u, u, face)
    return A, mass


def assemble(old, with_matrix):
    """Adds every element's right-hand side M / dt u_old (and its matrix on the first call)."""
    for e in grid.getElementIterator():
        A, mass = element_system(e)
        b = mass @ old[index.getGlobalIndex(e)]
        mask, values = e.getDirichletBC(u, hot)
        _pymosk.utils.processBoundary(mask, values, A, b)
        idx = e.getGlobalIndex(solver)
        if with_matrix:
            solver.addMatrixEntries(idx, idx, A)
        solver.addRHSEntries(idx, b)


# Whole arrays in the numbering of `index` (every process holds them: a small problem).
x = u.getNodeCoordinates(whole=True)[:, 0]
steady = 1 - h * x / (1 + h)
series = str(out / "heat.pvd")
grid.exportVTK(series, [u], time=0.0)
if rank == 0:
    print(f"{u.getSize()} unknowns (P{order}), dt = {dt}, {steps} steps")
    print(f"{'step':>5} {'time':>6} {'mean u':>8} {'max |u - steady|':>17}")
for step in range(1, steps + 1):
    old = u.getValues(whole=True)
    if step > 1:
        solver.zeroRHS()  # the matrix stays, and so does its preconditioner
    assemble(old, with_matrix=step == 1)
    solver.solve(u)
    if step % 5 == 0 or step == steps:
        grid.exportVTK(series, [u], time=step * dt)
    if step % 10 == 0 or step == 1 or step == steps:
        values = u.getValues(whole=True)  # collective: on every process
        if rank == 0:
                print(f"{step:5d} {step * dt:6.2f} {values.mean():8.4f} "
                  f"{np.abs(values - steady).max():17.2e}")
if rank == 0:
    print(f"wrote {series}")
