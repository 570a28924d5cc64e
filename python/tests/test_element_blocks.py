"""Element blocks give the element loop's numbers: matrices, load vectors, indices and Dirichlet
data stacked per block, the stacks' additions the element path's system, and the quadrature data
the element matrices. Wrong shapes, fields of another grid and stale blocks are refused."""
import subprocess
import sys

import meshio
import numpy as np
import pytest

import _pymosk
from conftest import MESHES, ROOT, matlab_entries


@pytest.fixture(scope="module")
def grid():
    g = _pymosk.Grid(str(MESHES / "cube.msh"))
    return g


def boundary(p):
    return [p[0] + 2 * p[1] - p[2]]


def boundary_points(points):
    return points[:, 0] + 2 * points[:, 1] - points[:, 2]


def stacked(results, join):
    return [join([np.asarray(r[k]) for r in results]) for k in range(len(results[0]))]


@pytest.mark.parametrize("order", [1, 2, 3])
def test_block_stacks_and_system_are_the_element_paths(grid, tmp_path, order):
    u = _pymosk.Dof(grid, "P", order, name="u")
    f = _pymosk.Dof(grid, "P", order, udf=lambda p: [p[0] * p[1] + 1], name="f")
    solvers = [_pymosk.Solver("cg", u) for _ in range(2)]
    process = _pymosk.utils.processBoundary
    element_side = []
    for e in grid.getElementIterator():
        A, b = e.quadGradBasDotGradBas(u, u), e.quadDofTimesBas(f, u)[0]
        M, idx = e.quadBasDotBas(u, u), e.getGlobalIndex(solvers[0])
        mask, values = e.getDirichletBC(u, boundary)
        element_side.append((A.copy(), M, idx, mask, values))
        process(mask, values, A, b)
        solvers[0].addMatrixEntries(idx, idx, A)
        solvers[0].addRHSEntries(idx, b)
    block_side = []
    # Block sizes that do not divide the element count: the last block is shorter.
    for block in grid.getElementBlocks(97):
        A, b = block.quadGradBasDotGradBas(u, u), block.quadDofTimesBas(f, u)[:, 0]
        M, idx = block.quadBasDotBas(u, u), block.getGlobalIndex(solvers[1])
        mask, values = block.getDirichletBC(u, boundary)
        points_mask, points_values = block.getDirichletBC(u, boundary_points, vectorized=True)
        assert np.array_equal(points_mask, mask) and np.array_equal(points_values, values)
        assert len(block) == len(A) <= 97 and A.flags.c_contiguous and idx.dtype == np.int32
        block_side.append((A.copy(), M, idx, mask, values))
        process(mask, values, A, b)
        solvers[1].addMatrixEntries(idx, idx, A)
        solvers[1].addRHSEntries(idx, b)
    # Blocks of order 2 and more compute their matrices and loads from reference tables: the
    # same numbers up to rounding. Indices and boundary data are the same bit for bit.
    for got, want in zip(stacked(block_side, np.concatenate), stacked(element_side, np.stack)):
        assert got.shape == want.shape
        scale = np.abs(want).reshape(len(want), -1).max(axis=1).reshape((-1,) + (1,) * (want.ndim - 1))
        assert np.all(np.abs(got - want) <= 1e-14 * scale) if order > 1 else np.array_equal(got, want)
    dumps = []
    for k, s in enumerate(solvers):
        dumps.append([tmp_path / f"{k}_A.m", tmp_path / f"{k}_b.m"])
        s.dumpMATLAB(str(dumps[-1][0]), str(dumps[-1][1]))
    for element_dump, block_dump in zip(*dumps):
        (want, at), (got, got_at) = matlab_entries(element_dump), matlab_entries(block_dump)
        assert [r[:-1] for r in at] == [r[:-1] for r in got_at]  # the same positions
        assert np.abs(got - want).max() <= 1e-14 * np.abs(want).max()


def test_vector_field_blocks(grid):
    u = _pymosk.Dof(grid, "P", 1, dim=3, name="u")
    solver = _pymosk.Solver("cg", u)
    block = next(iter(grid.getElementBlocks(500)))
    elements = [e for _, e in zip(range(500), grid.getElementIterator())]
    assert np.array_equal(block.getGlobalIndex(solver),
                          [e.getGlobalIndex(solver) for e in elements])
    # Dirichlet data: dim entries per basis function, a node's components consecutive, as the
    # field's indices are laid out; the identity function gives the node's coordinates.
    mask, values = block.getDirichletBC(u, lambda p: p, vectorized=True)
    assert mask.shape == values.shape == (500, 12) and mask.any()
    element_path = [e.getDirichletBC(u, lambda p: list(p)) for e in elements]
    assert np.array_equal(mask, [m for m, _ in element_path])
    assert np.array_equal(values, [v for _, v in element_path])
    corners = block.getVertexCoordinates().reshape(500, 12)
    assert np.array_equal(values, np.where(mask == 1, corners, 0.0))
    assert np.array_equal(block.getDirichletBC(u, lambda p: list(p))[1], values)


@pytest.mark.parametrize("order", [1, 2, 3])
def test_quadrature_data_gives_the_element_matrices(grid, order):
    u = _pymosk.Dof(grid, "P", order, name="u")
    block = next(iter(grid.getElementBlocks(200)))
    e = next(iter(grid.getElementIterator()))
    q = 2 * order
    points, weights = block.getQuadraturePoints(q)
    values, gradients = block.getBasisValues(u, q), block.getBasisGradients(u, q)
    nb = values.shape[2]
    assert points.shape[:2] == weights.shape == values.shape[:2] and gradients.shape[2:] == (nb, 3)
    assert np.allclose(weights.sum(axis=1), block.getVolumes(), rtol=1e-13, atol=0)
    stiffness = np.einsum("nqic,nqjc,nq->nij", gradients, gradients, weights)
    mass = np.einsum("nqi,nqj,nq->nij", values, values, weights)
    A, M = block.quadGradBasDotGradBas(u, u), block.quadBasDotBas(u, u)
    assert np.abs(stiffness - A).max() <= 1e-13 * np.abs(A).max()
    assert np.abs(mass - M).max() <= 1e-13 * np.abs(M).max()
    # The basis sums to one at every point; the points lie in their elements.
    assert np.allclose(values.sum(axis=2), 1.0, atol=1e-13)
    corners = block.getVertexCoordinates()
    assert np.all(points.min(axis=1) >= corners.min(axis=1) - 1e-12)
    assert np.all(points.max(axis=1) <= corners.max(axis=1) + 1e-12)
    # One element: the block's first row, without the leading axis.
    ep, ew = grid.geomGetQuadraturePoints(e, q)
    assert np.array_equal(ep, points[0]) and np.array_equal(ew, weights[0])
    assert np.array_equal(e.getBasisValues(u, q), values[0])
    assert np.array_equal(e.getBasisGradients(u, q), gradients[0])


def test_bad_input_is_refused(grid, box_mesh):
    u = _pymosk.Dof(grid, "P", 1, name="u")
    solver = _pymosk.Solver("cg", u)
    block = next(iter(grid.getElementBlocks(10)))
    A = block.quadGradBasDotGradBas(u, u)
    idx = block.getGlobalIndex(solver)
    b = np.zeros((10, 4))
    mask, values = block.getDirichletBC(u, boundary)
    with pytest.raises(ValueError, match="do not fit"):
        solver.addMatrixEntries(idx, idx[:, :3], A)
    with pytest.raises(ValueError, match="shape"):
        solver.addRHSEntries(idx, b[:9])
    with pytest.raises(ValueError, match="outside the range"):
        solver.addRHSEntries(idx.astype(np.int64) + 2**40, b)
    with pytest.raises(ValueError, match="shape"):
        _pymosk.utils.processBoundary(mask, values, A[:, :3], b)
    with pytest.raises(ValueError, match="shape"):
        _pymosk.utils.processBoundary(mask, values[:5], A, b)
    with pytest.raises(TypeError, match="C-contiguous"):
        _pymosk.utils.processBoundary(mask, values, A.transpose(0, 2, 1), b)
    with pytest.raises(ValueError, match="returned shape"):
        block.getDirichletBC(u, lambda p: p, vectorized=True)
    with pytest.raises(TypeError, match="not an array of numbers"):
        block.getDirichletBC(u, lambda p: {"a": 1}, vectorized=True)
    with pytest.raises(ZeroDivisionError):
        block.getDirichletBC(u, lambda p: 1 / 0, vectorized=True)
    with pytest.raises(ValueError, match="block size"):
        grid.getElementBlocks(0)
    with pytest.raises(ValueError, match="order"):
        block.getQuadraturePoints(-1)
    with pytest.raises(TypeError, match="Solver or a Map"):
        block.getGlobalIndex(u)
    # A field of another grid.
    other = _pymosk.Grid(str(box_mesh[0]))
    w = _pymosk.Dof(other, "P", 1, name="w")
    with pytest.raises(ValueError, match="not an element of this grid"):
        block.quadGradBasDotGradBas(w, w)
    with pytest.raises(ValueError, match="not an element of this grid"):
        block.getDirichletBC(w, boundary)
    # Stale after a refinement, and after the grid is re-imported.
    blocks = other.getElementBlocks(50)
    stale = next(blocks)
    other.refineAllElements(1)
    for call in (lambda: stale.getVolumes(), lambda: stale.quadBasDotBas(w, w)):
        with pytest.raises(RuntimeError, match="stale"):
            call()


def test_batched_example_solves_poisson_on_the_cube(tmp_path):
    out = tmp_path / "u.vtu"
    done = subprocess.run([sys.executable, str(ROOT / "examples" / "poisson_batched.py"),
                           str(MESHES / "cube.msh"), "2", str(out)], capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0 and done.stdout == "", done.stderr[-2000:]
    mesh = meshio.read(out)
    u, x = mesh.point_data["u"].ravel(), mesh.points
    on_boundary = np.any((x < 1e-12) | (x > 1 - 1e-12), axis=1)
    assert np.abs(u[on_boundary]).max() < 1e-12
    # The maximum of -laplace(u) = 1 on the unit cube with u = 0 on its faces: 0.05624 (series).
    assert abs(u.max() - 0.05624) < 5e-4
