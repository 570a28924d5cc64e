"""Pieces of a Poisson solve through _pymosk, shared by the examples, the tests and the benchmarks.

    -laplace(u) = f in the domain, u = g on its boundary.

`assemble` is the element loop, `assemble_blocks` the same work block by block; `errors`
measures a computed field against a known solution in the L2 norm and the H1 seminorm.

How `errors` reads a field: the module gives the integrals r_j = int(u_h psi_j) of a field
against the basis psi of another field, whatever the field's order or numbering. With psi the
basis of a higher-order Lagrange field U on the same element, and M the mass matrix of psi, the
coefficients of u_h in that basis are M^-1 r (exact, since the lower-order space is contained in
the higher one). The exact solution enters as its interpolant in U; the difference of the two
coefficient vectors is the error polynomial on the element, whose L2 norm and H1 seminorm follow
from M and the stiffness matrix of psi. U is P4: its interpolation error is at least one order
of h smaller than the error of a P1, P2 or P3 solution, so it does not spoil observed rates.

Under mpirun every process walks its own elements; `errors` sums the squares over the processes
(mpi4py), so every process gets the errors of the whole grid.
"""
import math

import numpy as np
from mpi4py import MPI

import _pymosk

REFERENCE_ORDER = 4  # the highest Lagrange order the library has


def manufactured_solution(p):
    """A smooth, non-polynomial solution: sin(2x + 1/2) cos(y) exp(z), whose -laplace is 4 u."""
    x, y, z = p
    return [math.sin(2 * x + 0.5) * math.cos(y) * math.exp(z)]


def manufactured_source(p):
    return [4.0 * manufactured_solution(p)[0]]


def assemble(grid, solver, u, f, boundary):
    """Adds every element's stiffness matrix and load vector (f times the basis of u) to solver,
    with the Dirichlet data of `boundary` on the boundary nodes."""
    for e in grid.getElementIterator():
        A = e.quadGradBasDotGradBas(u, u)
        b = e.quadDofTimesBas(f, u)[0]
        idx = e.getGlobalIndex(solver)
        mask, values = e.getDirichletBC(u, boundary)
        _pymosk.utils.processBoundary(mask, values, A, b)
        solver.addMatrixEntries(idx, idx, A)
        solver.addRHSEntries(idx, b)


def assemble_blocks(grid, solver, u, f, boundary_points, size=8192):
    """The same additions as `assemble`, block by block; boundary_points(x) takes an (m, 3)
    array of points and returns their m boundary values."""
    process = _pymosk.utils.processBoundary
    for block in grid.getElementBlocks(size):
        A = block.quadGradBasDotGradBas(u, u)
        b = block.quadDofTimesBas(f, u)[:, 0]
        idx = block.getGlobalIndex(solver)
        mask, values = block.getDirichletBC(u, boundary_points, vectorized=True)
        process(mask, values, A, b)
        solver.addMatrixEntries(idx, idx, A)
        solver.addRHSEntries(idx, b)


def solve_poisson(grid, order, exact, source, kind="cg"):
    """The whole Poisson road on `grid` with P(order) elements; returns (u, solver)."""
    u = _pymosk.Dof(grid, "P", order, name="u")
    f = _pymosk.Dof(grid, "P", min(order + 2, REFERENCE_ORDER), udf=source, name="f")
    solver = _pymosk.Solver(kind, u)
    solver.setSymmetry(_pymosk.Solver.SPD)
    assemble(grid, solver, u, f, exact)
    solver.solve(u)
    return u, solver


def errors(grid, uh, exact, order=REFERENCE_ORDER):
    """(L2 error, H1 seminorm error) of the one-component field uh against exact(p)."""
    ref = _pymosk.Dof(grid, "P", order, udf=exact, name="exact")
    l2 = h1 = 0.0
    for e in grid.getElementIterator():
        M = e.quadBasDotBas(ref, ref)
        K = e.quadGradBasDotGradBas(ref, ref)
        r = e.quadDofTimesBas(uh, ref)[0] - e.quadDofTimesBas(ref, ref)[0]
        d = np.linalg.solve(M, r)
        l2 += d @ M @ d
        h1 += d @ K @ d
    l2, h1 = MPI.COMM_WORLD.allreduce(np.array([l2, h1]))
    return math.sqrt(max(l2, 0.0)), math.sqrt(max(h1, 0.0))
