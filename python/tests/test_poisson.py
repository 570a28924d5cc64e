"""Poisson's equation end to end through the module, against theory and against an independent
finite-element code (scikit-fem) on the same mesh."""
import math
import pathlib
import sys

import numpy as np
import pytest

import _pymosk
from conftest import MESHES, ROOT

sys.path.insert(0, str(ROOT / "examples"))
from poisson_road import errors, manufactured_solution, manufactured_source, solve_poisson  # noqa: E402


def quadratic(p):
    x, y, z = p
    return [1 + x * x + 2 * y * y - 3 * z * z + x * y]  # harmonic


def test_p2_reproduces_a_harmonic_quadratic(box_mesh):
    grid = _pymosk.Grid(str(box_mesh[0]))
    # A direct solve: the error left is the discretisation's (none) and rounding, not the
    # iterative solver's stopping point (at rtol 1e-10 the algebraic error is about 1e-8).
    u, solver = solve_poisson(grid, 2, quadratic, lambda p: [0.0], kind="lu")
    l2, h1 = errors(grid, u, quadratic)
    assert l2 < 1e-8 and h1 < 1e-7, (l2, h1)
    # The same problem in P1 is not exact: errors() must see that.
    u1, _ = solve_poisson(grid, 1, quadratic, lambda p: [0.0])
    assert errors(grid, u1, quadratic)[0] > 1e-3


def test_observed_rates_match_theory():
    """L2 rates p + 1 and H1 rates p between two refinements of the bundled cube."""
    rates = {}
    for order in (1, 2, 3):
        rows = []
        for level in (1, 2):
            grid = _pymosk.Grid(str(MESHES / "cube.msh"))
            grid.refineAllElements(level)
            u, _ = solve_poisson(grid, order, manufactured_solution, manufactured_source)
            rows.append((grid.getNumElements(), *errors(grid, u, manufactured_solution)))
        (n0, l2a, h1a), (n1, l2b, h1b) = rows
        log_h = math.log(n1 / n0) / 3  # h ~ N^(-1/3)
        rates[order] = (math.log(l2a / l2b) / log_h, math.log(h1a / h1b) / log_h)
    for order, (l2_rate, h1_rate) in rates.items():
        assert abs(l2_rate - (order + 1)) < 0.4, rates
        assert h1_rate > order - 0.4, rates


# Independent reference: the same discrete problem assembled and solved by scikit-fem on the
# mesh the module exports. The load is a cubic polynomial, so that both codes integrate it exactly
# (the module's source field is its P(order + 2) interpolant), and the Dirichlet data are nodal
# values in both: the discrete solutions must then agree to the solver tolerance.
def cubic_load(p):
    x, y, z = p
    return [1 + x * y * z - 2 * x * x * y + z ** 3]


def boundary_data(p):
    x, y, z = p
    return [math.sin(x) + y * y - math.cos(z)]


def scikit_fem_solution(points, tets, order):
    import skfem
    from scipy.sparse.linalg import spsolve
    from skfem.models.poisson import laplace

    mesh = skfem.MeshTet(points.T.copy(), tets.T.copy())
    element = skfem.ElementTetP1() if order == 1 else skfem.ElementTetP2()
    basis = skfem.Basis(mesh, element, intorder=6)

    @skfem.LinearForm
    def load(v, w):
        x, y, z = w.x
        return (1 + x * y * z - 2 * x * x * y + z ** 3) * v

    A = skfem.asm(laplace, basis).tocsr()
    b = skfem.asm(load, basis)
    D = basis.get_dofs().all()
    x = np.zeros(basis.N)
    x[D] = [boundary_data(basis.doflocs[:, k])[0] for k in D]
    interior = np.setdiff1d(np.arange(basis.N), D)
    rhs = b[interior] - A[interior][:, D] @ x[D]
    x[interior] = spsolve(A[interior][:, interior].tocsc(), rhs)
    return x[basis.nodal_dofs[0]]


@pytest.mark.parametrize("order", [1, 2])
def test_agrees_with_an_independent_code(tmp_path, order):
    import meshio
    from conftest import make_mesh

    mesh_path = tmp_path / "ball.msh"
    make_mesh(mesh_path, shape="ball", size=(1.0,), h=0.35)
    grid = _pymosk.Grid(str(mesh_path))
    grid.refineAllElements(1)
    u, solver = solve_poisson(grid, order, boundary_data, cubic_load)
    grid.exportVTK(str(tmp_path / "u.vtu"), [u])
    m = meshio.read(tmp_path / "u.vtu")
    ours = m.point_data["u"].ravel()
    theirs = scikit_fem_solution(m.points, m.cells_dict["tetra"], order)
    assert np.abs(ours - theirs).max() < 1e-8 * np.abs(theirs).max()


def test_errors_agree_with_an_independent_integration(tmp_path):
    """errors() of a P1 field, against scikit-fem integrating the same P1 field exactly."""
    import meshio
    import skfem
    from skfem.helpers import dot, grad

    grid = _pymosk.Grid(str(MESHES / "cube.msh"))
    u, _ = solve_poisson(grid, 1, manufactured_solution, manufactured_source)
    l2, h1 = errors(grid, u, manufactured_solution)

    grid.exportVTK(str(tmp_path / "u.vtu"), [u])
    m = meshio.read(tmp_path / "u.vtu")
    mesh = skfem.MeshTet(m.points.T.copy(), m.cells_dict["tetra"].T.copy())
    basis = skfem.Basis(mesh, skfem.ElementTetP1(), intorder=8)
    uh = basis.interpolate(m.point_data["u"].ravel())

    def exact(x, y, z):
        return np.sin(2 * x + 0.5) * np.cos(y) * np.exp(z)

    def exact_grad(x, y, z):
        return np.array([2 * np.cos(2 * x + 0.5) * np.cos(y) * np.exp(z),
                         -np.sin(2 * x + 0.5) * np.sin(y) * np.exp(z),
                         exact(x, y, z)])

    @skfem.Functional
    def l2_density(w):
        return (w["uh"] - exact(*w.x)) ** 2

    @skfem.Functional
    def h1_density(w):
        d = grad(w["uh"]) - exact_grad(*w.x)
        return dot(d, d)

    ref_l2 = math.sqrt(l2_density.assemble(basis, uh=uh))
    ref_h1 = math.sqrt(h1_density.assemble(basis, uh=uh))
    # The module measures against the P4 interpolant of the exact solution: O(h^5) apart.
    assert l2 == pytest.approx(ref_l2, rel=1e-3)
    assert h1 == pytest.approx(ref_h1, rel=1e-3)
