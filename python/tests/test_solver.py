"""Maps, solvers and the element boundary treatment, on a P1 Laplacian whose element matrices
are built here from the library's Jacobians (V G G^T of the barycentric gradients)."""
import re

import numpy as np
import pytest

import _pymosk

exact = lambda p: [1.0 + 2.0 * p[0] - p[1] + 0.5 * p[2]]  # harmonic: P1 reproduces it


def p1_stiffness(grid, e):
    j = np.array(grid.geomGetJacobian(e)).reshape(4, 4)
    g = j[:, :3]
    return grid.geomGetVolume(e) * g @ g.T


def assemble(grid, u, s):
    for e in grid.getElementIterator():
        A = p1_stiffness(grid, e)
        b = np.zeros(4)
        mask, values = e.getDirichletBC(u, exact)
        _pymosk.utils.processBoundary(mask, values, A, b)
        idx = e.getGlobalIndex(s)
        s.addMatrixEntries(idx, idx, A)
        s.addRHSEntries(idx, b)


@pytest.fixture
def grid(box_mesh):
    g = _pymosk.Grid(str(box_mesh[0]))
    g.refineAllElements(1)
    return g


def vertex_values(grid, u, tmp_path):
    import meshio
    grid.exportVTK(str(tmp_path / "u.vtu"), u)
    m = meshio.read(tmp_path / "u.vtu")
    return m.points, m.point_data["u"].ravel()


@pytest.mark.parametrize("kind", ["cg", "gmres", "bicgstab", "lu", "petsc", "pcg", "nonsense"])
def test_every_kind_reproduces_a_linear_solution(grid, tmp_path, kind):
    u = _pymosk.Dof(grid, "P", 1, name="u")
    s = _pymosk.Solver(kind, u)
    s.setSymmetry(_pymosk.Solver.SPD)
    assemble(grid, u, s)
    s.solve(u)
    pts, vals = vertex_values(grid, u, tmp_path)
    assert np.abs(vals - (1 + 2 * pts[:, 0] - pts[:, 1] + 0.5 * pts[:, 2])).max() < 1e-7
    fields = re.fullmatch(r"iter \d+ maxit \d+ residual (\S+) rtol (\S+)", repr(s))
    # The tolerance bounds the true relative residual (within the documented factor 10).
    assert float(fields[1]) <= 10 * float(fields[2])


def solve_with_dominant_boundary_values(grid, kind, rtol):
    # Boundary values of order 1e3 and a unit source: the boundary rows hold nearly all of ||b||.
    u = _pymosk.Dof(grid, "P", 1)
    s = _pymosk.Solver(kind, u)
    s.setOptions(f"-solver_rtol {rtol}")
    for e in grid.getElementIterator():
        A, b = p1_stiffness(grid, e), np.full(4, grid.geomGetVolume(e) / 4)
        mask, values = e.getDirichletBC(u, lambda p: 1e3 * (1.0 + p[0] * p[1]))
        _pymosk.utils.processBoundary(mask, values, A, b)
        idx = e.getGlobalIndex(s)
        s.addMatrixEntries(idx, idx, A)
        s.addRHSEntries(idx, b)
    s.solve(u)
    return u.getValues()


def test_iterative_kinds_agree_with_lu_to_the_tolerance(grid):
    # The tolerance is relative to the rows left to solve, not to the boundary values; and a
    # tolerance below what double precision allows gives the best answer, not an error.
    exact = solve_with_dominant_boundary_values(grid, "lu", 1e-15)
    for kind, rtol in [("cg", 1e-6), ("gmres", 1e-6), ("bicgstab", 1e-6), ("cg", 1e-15)]:
        u = solve_with_dominant_boundary_values(grid, kind, rtol)
        assert np.linalg.norm(u - exact) <= 4 * max(rtol, 1e-13) * np.linalg.norm(exact), kind


@pytest.mark.parametrize("kind", ["cg", "gmres", "bicgstab", "lu"])
def test_inconsistent_singular_system_raises_and_keeps_the_field(grid, tmp_path, kind):
    # Pure Neumann Laplacian with a right-hand side of non-zero sum: no solution exists.
    u = _pymosk.Dof(grid, "P", 1, name="u")
    u.setDataByValue(7.0)
    s = _pymosk.Solver(kind, u)
    for e in grid.getElementIterator():
        idx = e.getGlobalIndex(s)
        s.addMatrixEntries(idx, idx, p1_stiffness(grid, e))
        s.addRHSEntries(idx, np.full(4, grid.geomGetVolume(e) / 4))
    with pytest.raises(RuntimeError) as raised:
        s.solve(u)
    message = str(raised.value)
    iterations, residual = re.fullmatch(r"iter (\d+) maxit \d+ residual (\S+) rtol \S+",
                                        repr(s)).groups()
    assert f"'{kind}'" in message and f"after {iterations} iterations" in message
    assert f"relative residual {residual}," in message and "PETSc's reason" in message
    assert float(residual) > 1e-6
    assert np.all(vertex_values(grid, u, tmp_path)[1] == 7.0)


def test_solve_that_cannot_converge_raises():
    # The iteration limit is a library option, read at start-up: run in a fresh interpreter.
    import subprocess, sys
    code = f"""
import numpy as np, _pymosk, sys
sys.path.insert(0, {str(__file__.rsplit('/', 1)[0])!r})
from test_solver import assemble
g = _pymosk.Grid({str(grid_path_holder[0])!r}); g.refineAllElements(1)
u = _pymosk.Dof(g, "P", 1, name="u")
s = _pymosk.Solver("gmres", u)
assemble(g, u, s)
try:
    s.solve(u)
except RuntimeError as e:
    print("RAISED", e)
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         env={**__import__("os").environ, "MOSK_OPTIONS": "-solver_maxit 1"})
    assert "RAISED" in out.stdout and "gmres" in out.stdout, out.stderr


grid_path_holder = []


@pytest.fixture(autouse=True)
def _remember(box_mesh):
    grid_path_holder[:] = [box_mesh[0]]


def test_vector_dirichlet_data_prescribes_every_component(grid):
    # A vector Laplacian, one copy per component; entry i * 3 + k of the element system is
    # component k of basis function i, at global index idx[i] + k.
    g = lambda p: [p[0], 2.0 * p[1] - p[2], 1.0 + p[0] + p[2]]
    w = _pymosk.Dof(grid, "P", 1, dim=3, name="w")
    s = _pymosk.Solver("lu", w)
    for e in grid.getElementIterator():
        A = np.kron(p1_stiffness(grid, e), np.eye(3))
        b = np.zeros(12)
        mask, values = e.getDirichletBC(w, g)
        _pymosk.utils.processBoundary(mask, values, A, b)
        idx = (np.array(e.getGlobalIndex(s))[:, None] + np.arange(3)).ravel()
        s.addMatrixEntries(idx, idx, A)
        s.addRHSEntries(idx, b)
    s.solve(w)
    x = w.getNodeCoordinates()[0::3]
    assert np.abs(w.getValues().reshape(-1, 3) - np.array([g(p) for p in x])).max() < 1e-9


def test_map_indices_cover_the_numbering(grid):
    u = _pymosk.Dof(grid, "P", 2)
    p = _pymosk.Dof(grid, "P", 1)
    m = _pymosk.Map([u, p])
    assert m.getSize() == m.getGlobalSize() == u.getSize() + p.getSize()
    seen = set()
    for e in grid.getElementIterator():
        a = m.getGlobalIndex(e)
        b = e.getGlobalIndex(e=m, dof_idx=1)
        assert len(a) == 10 and len(b) == 4
        seen.update(a)
        seen.update(b)
    assert seen == set(range(m.getSize()))
    with pytest.raises(IndexError):
        m.getGlobalIndex(next(grid.getElementIterator()), 2)
    with pytest.raises(IndexError):
        m.getDof(-1)
    assert m.getDof(1).getSize() == p.getSize()
    with pytest.raises(TypeError):
        next(grid.getElementIterator()).getGlobalIndex(u)


def test_dump_matches_assembly(grid, tmp_path):
    u = _pymosk.Dof(grid, "P", 1, name="u")
    s = _pymosk.Solver("cg", u)
    assemble(grid, u, s)
    s.dumpMATLAB(str(tmp_path / "A.m"), str(tmp_path / "b.m"))
    text = (tmp_path / "A.m").read_text()
    triplets = np.array([[float(x) for x in re.split(r"[\s,;]+", line.strip()) if x]
                         for line in text.splitlines()
                         if re.fullmatch(r"\s*\d+[\s,]+\d+[\s,]+\S+[;\s]*", line)])
    n = u.getSize()
    A = np.zeros((n, n))
    for i, j, v in triplets:
        A[int(i) - 1, int(j) - 1] += v
    assert np.allclose(A, A.T)
    # Dirichlet rows: k times the identity, k the number of elements sharing the vertex.
    assert np.all(np.diag(A) > 0)


def test_value_arrays_are_checked_and_read_in_logical_order(grid):
    u = _pymosk.Dof(grid, "P", 1)
    s = _pymosk.Solver("lu", u)
    with pytest.raises(ValueError):
        s.addMatrixEntries([0, 1], [0, 1], np.ones(3))
    with pytest.raises(ValueError):
        s.addRHSEntries([0, 1], [1.0])
    with pytest.raises(IndexError):
        s.addRHSEntries([10 ** 8], [1.0])
    s.addRHSEntries([0, 1], [1.0, 2.0])  # plain lists convert
    s.addMatrixEntries([], [], np.zeros(0))


def test_process_boundary_worked_example_and_checks():
    A = np.array([[2.0, 3.0], [4.0, 6.0]])
    b = np.array([7.0, 8.0])
    _pymosk.utils.processBoundary([1, 0], [5.0, 9.0], A, b)
    assert A.tolist() == [[1, 0], [0, 6]] and b.tolist() == [5, -12]
    A = np.arange(9.0).reshape(3, 3) + np.arange(9.0).reshape(3, 3).T
    b = np.ones(3)
    _pymosk.utils.processBoundary([0, -1, 0], [0.0, 2.0, 0.0], A, b)
    assert np.allclose(A, A.T) and A[1, 1] == 1 and b[1] == 2
    A0, b0 = np.eye(2) * 3, np.ones(2)
    _pymosk.utils.processBoundary([0, 0], [1.0, 1.0], A0, b0)
    assert A0.tolist() == [[3, 0], [0, 3]]
    _pymosk.utils.processBoundary([], [], np.zeros(0), np.zeros(0))
    with pytest.raises(TypeError):
        _pymosk.utils.processBoundary([1], [1.0], [[1.0]], np.zeros(1))  # a list: copy lost
    with pytest.raises(TypeError):
        _pymosk.utils.processBoundary([1, 0], [1.0, 0], np.eye(2).T[:, ::-1], np.zeros(2))
    with pytest.raises(ValueError):
        _pymosk.utils.processBoundary([1, 0], [1.0], np.eye(2), np.zeros(2))
    with pytest.raises(ValueError):
        _pymosk.utils.processBoundary([1, 0], [1.0, 2.0], np.eye(1), np.zeros(2))
    with pytest.raises(TypeError):
        _pymosk.utils.processBoundary(mask=[1], values=[1.0], A=np.eye(1), b=np.zeros(1))


def assemble_rhs(grid, u, s, g):
    for e in grid.getElementIterator():
        A, b = p1_stiffness(grid, e), np.zeros(4)
        mask, values = e.getDirichletBC(u, g)
        _pymosk.utils.processBoundary(mask, values, A, b)
        s.addRHSEntries(e.getGlobalIndex(s), b)


@pytest.mark.parametrize("kind", ["lu", "cg"])
def test_zeroed_solver_gives_the_answer_of_a_fresh_one(grid, kind, monkeypatch):
    other = lambda p: [p[0] * p[1] - p[2]]
    u = _pymosk.Dof(grid, "P", 1)
    fresh = _pymosk.Solver(kind, u)
    monkeypatch.setattr(__import__(__name__), "exact", other)
    assemble(grid, u, fresh)
    fresh.solve(u)
    expected = u.getValues()
    monkeypatch.undo()

    s = _pymosk.Solver(kind, u)
    assemble(grid, u, s)
    s.solve(u)
    first = u.getValues()
    # Same matrix, new right-hand side: only the right-hand side is zeroed.
    s.zeroRHS()
    assemble_rhs(grid, u, s, other)
    s.solve(u)
    assert np.allclose(u.getValues(), expected, rtol=0, atol=1e-8)
    # Everything zeroed; twice the matrix with the first right-hand side halves the first
    # answer (a kept factorisation of the old matrix would return it unchanged).
    s.zeroMatrix()
    s.zeroRHS()
    assemble(grid, u, s)
    assemble(grid, u, s)
    s.zeroRHS()
    assemble_rhs(grid, u, s, exact)
    s.solve(u)
    assert np.allclose(u.getValues(), first / 2, rtol=0, atol=1e-8)


def test_set_options_per_solver(grid):
    u = _pymosk.Dof(grid, "P", 1)
    plain, tuned = _pymosk.Solver("cg", u), _pymosk.Solver("cg", u)
    tuned.setOptions("-solver_rtol 1e-8 -solver_maxit 500")
    assert repr(tuned).endswith("rtol 1e-08") and " maxit 500 " in repr(tuned)
    assert " maxit 10000 " in repr(plain)
    for bad, name in (("-solver_rtl 1e-6", "-solver_rtl"), ("-verbosity 2", "-verbosity"),
                      ("-solver_maxit 0", "-solver_maxit"), ("-ksp_rtol 1e-3 5", "'5'")):
        with pytest.raises(ValueError, match=f"Solver.setOptions: .*{name}"):
            tuned.setOptions(bad)
    assert " maxit 500 " in repr(tuned) and "rtol 1e-08" in repr(tuned)
    # PETSc options reach this solver's KSP and preconditioner alone (with or without the
    # library's prefix).
    tuned.setOptions("-mosk_pc_type none -ksp_norm_type unpreconditioned")
    for s in (plain, tuned):
        assemble(grid, u, s)
        s.setSymmetry(_pymosk.Solver.SPD)
        s.solve(u)
    iterations = lambda s: int(repr(s).split()[1])
    assert iterations(tuned) > 2 * iterations(plain)
    tuned.setOptions("-ksp_max_it 2")
    with pytest.raises(RuntimeError):
        tuned.solve(u)
    plain.solve(u)


def test_options_nothing_used_are_reported_alike(box_mesh):
    code = f"""
import sys, _pymosk
sys.path.insert(0, {str(__file__.rsplit('/', 1)[0])!r})
from test_solver import assemble
g = _pymosk.Grid({str(box_mesh[0])!r})
u = _pymosk.Dof(g, "P", 1)
s = _pymosk.Solver("cg", u)
s.setOptions("-ksp_monitr -ksp_norm_type unpreconditioned")
assemble(g, u, s)
s.solve(u)
"""
    from conftest import run_python
    err = run_python(code, env={"MOSK_OPTIONS": "-verbosity 1 -ksp_typo 1"}).stderr
    assert "option -ksp_monitr of a solver's own options (setOptions) was never used" in err
    assert "option -ksp_typo was never used" in err and "-ksp_norm_type" not in err, err
