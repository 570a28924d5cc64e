"""Element iteration in both loop styles, element text, and the guard against stale elements."""
import gc
import re

import numpy as np
import pytest

import _pymosk


@pytest.fixture
def grid(box_mesh):
    return _pymosk.Grid(str(box_mesh[0]))


def test_for_loop_visits_every_element_once(grid):
    seen = [repr(e) for e in grid.getElementIterator()]
    assert len(seen) == grid.getNumElements()
    assert len(set(seen)) == len(seen)


def test_explicit_loop_matches_for_loop(grid):
    it = grid.getElementIterator()
    explicit = []
    while it.hasNext():
        assert it.hasNext()  # asking twice skips nothing
        explicit.append(repr(it.getElement()))
        it.next()
    assert explicit == [repr(e) for e in grid.getElementIterator()]
    assert not it.hasNext()


def test_first_element_is_not_lost(grid):
    first = repr(next(iter(grid.getElementIterator())))
    assert repr(grid.getElementIterator().getElement()) == first
    it = grid.getElementIterator()
    assert next(it) is not None and repr(it.getElement()) == first
    it = grid.getElementIterator()
    assert it.hasNext() and repr(it.getElement()) == first


def test_exhausted_iterator_stays_exhausted(grid):
    it = grid.getElementIterator()
    assert iter(it) is it
    next(it)
    next(it)
    rest = [repr(e) for e in it]  # the loop goes on from the object's position
    assert rest == [repr(e) for e in grid.getElementIterator()][2:]
    assert [repr(e) for e in it] == [] and not it.hasNext()
    with pytest.raises(StopIteration):
        next(it)


def test_has_next_does_not_consume(grid):
    it = grid.getElementIterator()
    assert it.hasNext()
    a = it.getElement()
    b = next(it)
    assert repr(a) == repr(b) and a is not b
    assert repr(it.getElement()) == repr(b)


def test_stop_iteration_repeats():
    grid = _pymosk.Grid()
    it = grid.getElementIterator()
    for _ in range(3):
        with pytest.raises(StopIteration):
            next(it)
    assert not it.hasNext()


def test_constructed_iterator_and_selectors(grid):
    ref = [repr(e) for e in grid.getElementIterator()]
    assert [repr(e) for e in _pymosk.utils.ElementIterator(grid, 1)] == ref
    assert [repr(e) for e in _pymosk.utils.ElementIterator(grid, 2)] == ref
    assert list(_pymosk.utils.ElementIterator(grid, 0)) == []
    assert list(_pymosk.utils.ElementIterator(grid, 99)) == []
    boundary = [repr(e) for e in _pymosk.utils.ElementIterator(grid, 3)]
    assert 0 < len(boundary) < len(ref)
    assert set(boundary) <= set(ref)
    with pytest.raises(TypeError):
        _pymosk.utils.ElementIterator(grid)
    with pytest.raises(TypeError):  # pybind11 2.13 refuses None for a reference argument
        _pymosk.utils.ElementIterator(None, 1)


def test_element_text_and_construction(grid):
    e = next(grid.getElementIterator())
    text = repr(e)
    assert re.fullmatch(r"\[\d+,\d+,\d+,\d+\]", text)
    assert str(e) == text
    with pytest.raises(TypeError):
        _pymosk.Element()


def test_empty_iterator_hands_out_an_element_that_holds_none():
    e = _pymosk.Grid().getElementIterator().getElement()
    with pytest.raises(RuntimeError, match="holds no element"):
        repr(e)


def test_elements_go_stale_on_refinement_and_reimport(grid, box_mesh):
    e = next(grid.getElementIterator())
    grid.refineAllElements(1)
    with pytest.raises(RuntimeError, match="stale"):
        repr(e)
    f = next(grid.getElementIterator())
    repr(f)
    grid.importFrom(str(box_mesh[0]))
    with pytest.raises(RuntimeError, match="stale"):
        repr(f)


def test_iterator_keeps_its_grid_alive_and_elements_outlive_nothing(box_mesh):
    g = _pymosk.Grid(str(box_mesh[0]))
    n = g.getNumElements()
    it = g.getElementIterator()
    del g
    gc.collect()
    elements = list(it)
    assert len(elements) == n
    del it
    gc.collect()
    with pytest.raises(RuntimeError, match="stale"):
        repr(elements[0])  # the grid is gone: refused, never read


def test_loop_calls_agree_however_they_are_called(grid):
    """The element loop's calls take a short route for their usual arguments; keywords,
    subclasses, tuples and NumPy index arrays take the general one. Both give the same."""
    class SubDof(_pymosk.Dof):
        pass

    u = _pymosk.Dof(grid, "P", 2, name="u")
    w = SubDof(grid, "P", 2, name="w")
    solver = _pymosk.Solver("cg", u)
    boundary = lambda p: [p[0] + p[2]]  # noqa: E731
    for e in grid.getElementIterator():
        A = e.quadGradBasDotGradBas(u, u)
        assert np.array_equal(A, e.quadGradBasDotGradBas(w, v=w, order=-1))
        assert np.array_equal(e.quadBasDotBas(u, u), e.quadBasDotBas(u, w))
        b = e.quadDofTimesBas(u, u)
        assert b.shape == (1, 10) and np.array_equal(b, e.quadDofTimesBas(f=u, v=w))
        idx = e.getGlobalIndex(solver)
        assert idx == e.getGlobalIndex(solver, dof_idx=0) == e.getGlobalIndex(_pymosk.Map(u))
        mask, values = e.getDirichletBC(u, boundary)
        assert [mask, values] == e.getDirichletBC(w, boundary)
        B, c = A.copy(), np.ones(10)
        _pymosk.utils.processBoundary(mask, values, A, c)
        _pymosk.utils.processBoundary(tuple(mask), np.array(values), B, c.copy())
        assert np.array_equal(A, B)
    with pytest.raises(TypeError):
        e.quadGradBasDotGradBas(u, None)
    grid.refineAllElements(1)
    with pytest.raises(RuntimeError, match="stale"):
        e.quadGradBasDotGradBas(u, u)
    with pytest.raises(RuntimeError, match="stale"):
        e.getGlobalIndex(solver)
