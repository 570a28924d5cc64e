"""-laplace(u) = 1 in the mesh's volume, u = 0 on its boundary, assembled block by block: each
call gives or takes the arrays of a whole block of elements, stacked along a leading axis.

    python examples/poisson_batched.py MESH ORDER OUT.vtu
    mpirun -np N python examples/poisson_batched.py MESH ORDER OUT.vtu

The solver is "cg" at the tolerance the options give (MOSK_OPTIONS="-solver_rtol 1e-8").
"""
import sys

import numpy as np

import _pymosk

mesh, order, out = sys.argv[1], int(sys.argv[2]), sys.argv[3]
grid = _pymosk.Grid(mesh)
grid.balance(1.05)
u = _pymosk.Dof(grid, "P", order, name="u")
solver = _pymosk.Solver("cg", u)
solver.setSymmetry(_pymosk.Solver.SPD)
process = _pymosk.utils.processBoundary


def zero(points):  # boundary values at an (m, 3) array of points
    return np.zeros(len(points))


for block in grid.getElementBlocks():
    A = block.quadGradBasDotGradBas(u, u)                         # (n, nb, nb)
    _, weights = block.getQuadraturePoints(order)                 # (n, nq)
    b = np.einsum("nqi,nq->ni", block.getBasisValues(u, order), weights)  # integral of phi_i
    mask, values = block.getDirichletBC(u, zero, vectorized=True)  # (n, nb) each
    process(mask, values, A, b)
    idx = block.getGlobalIndex(solver)                            # (n, nb)
    solver.addMatrixEntries(idx, idx, A)
    solver.addRHSEntries(idx, b)
solver.solve(u)
grid.exportVTK(out, u)
