"""Linear elasticity assembled element by element from the module's element calls (the
Jacobian of each element and its global indices), for the benchmarks and tests of the solver on
vector fields: a body clamped where x = 0 under its own weight.

    assemble_elasticity(grid, solver, u)   # u: a P1 or P2 field with 3 components

The element's basis functions of degree p are polynomials in its barycentric coordinates, so
the integrals of products of their derivatives are the same on every element up to the
Jacobian: they are taken once on the reference element with a rule exact for degree 2.
"""
import numpy as np

import _pymosk

EDGES = [(0, 1), (0, 2), (0, 3), (1, 2), (1, 3), (2, 3)]
YOUNG, POISSON = 1.0, 0.3
LAME_LAMBDA = YOUNG * POISSON / ((1 + POISSON) * (1 - 2 * POISSON))
LAME_MU = YOUNG / (2 * (1 + POISSON))
WEIGHT = (0.0, 0.0, -1e-3)  # body force per volume


def _derivatives(order, lam):
    """d phi_i / d lambda_m at barycentric lam: (nbas, 4), in the module's node order."""
    if order == 1:
        return np.eye(4)
    d = np.zeros((10, 4))
    for m in range(4):
        d[m, m] = 4 * lam[m] - 1
    for k, (i, j) in enumerate(EDGES):
        d[4 + k, i], d[4 + k, j] = 4 * lam[j], 4 * lam[i]
    return d


def _reference(order):
    """R[i, m, j, n] = mean over the element of (d phi_i / d lambda_m)(d phi_j / d lambda_n),
    and the mean of each phi_i."""
    a, b = 0.5854101966249685, 0.1381966011250105  # the 4-point rule of degree 2
    points = [np.roll([a, b, b, b], k) for k in range(4)]
    r = sum(np.einsum("im,jn->imjn", _derivatives(order, p), _derivatives(order, p))
            for p in points) / 4
    mean = np.full(4, 0.25) if order == 1 else np.r_[np.full(4, -0.05), np.full(6, 0.2)]
    return r, mean


def element_system(grid, e, reference):
    """The element's stiffness (3 nbas x 3 nbas, value (i, a) at 3 i + a) and load vector."""
    r, mean = reference
    jac = np.asarray(grid.geomGetJacobian(e)).reshape(4, 4)[:, :3]  # rows: grad lambda_m
    vol = grid.geomGetVolume(e)
    # t[i, a, j, b] = integral of d_a phi_i d_b phi_j
    t = np.einsum("ma,nb,imjn->iajb", jac, jac, r) * vol
    nb = t.shape[0]
    k = LAME_LAMBDA * t + LAME_MU * t.transpose(0, 3, 2, 1)
    k += LAME_MU * np.einsum("icjc,ab->iajb", t, np.eye(3))
    f = np.outer(mean * vol, WEIGHT)
    return k.reshape(3 * nb, 3 * nb), f.reshape(3 * nb)


def assemble_elasticity(grid, solver, u):
    """Adds the clamped body's stiffness and load to `solver` (over the one field u)."""
    xyz = u.getNodeCoordinates(whole=True)  # indexed by global indices
    references = {}  # by the number of basis functions: 4 (P1) or 10 (P2)
    for e in grid.getElementIterator():
        idx = np.asarray(e.getGlobalIndex(solver))
        if len(idx) not in references:
            references[len(idx)] = _reference(1 if len(idx) == 4 else 2)
        rows = (idx[:, None] + np.arange(3)).reshape(-1)
        a, b = element_system(grid, e, references[len(idx)])
        mask = (np.abs(xyz[rows, 0]) < 1e-9).astype(np.int32)
        if mask.any():
            _pymosk.utils.processBoundary(mask.tolist(), [0.0] * len(rows), a, b)
        rows = rows.tolist()
        solver.addMatrixEntries(rows, rows, a)
        solver.addRHSEntries(rows, b)
