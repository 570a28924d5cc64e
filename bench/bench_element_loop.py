"""Cost per element of walking a grid from Python, against the interpreter's floor (the same
loop over a Python list of the same length)."""
import pathlib

import _pymosk
from timing import best_of

root = pathlib.Path(__file__).resolve().parents[1]
grid = _pymosk.Grid(str(root / "meshes" / "cube.msh"))
grid.refineAllElements(3)
n = grid.getNumElements()
items = list(range(n))


def best(f):
    return best_of(5, f) / n * 1e9


def floor():
    for _ in items:
        pass


def bare():
    for _ in grid.getElementIterator():
        pass


def volume():
    v = grid.geomGetVolume
    for e in grid.getElementIterator():
        v(e)


def explicit():
    it = grid.getElementIterator()
    while it.hasNext():
        it.getElement()
        it.next()


f = best(floor)
print(f"{n} elements")
print(f"list loop (floor)          {f:8.1f} ns/element")
for name, fn in [("for e in iterator", bare), ("... with geomGetVolume", volume),
                 ("hasNext/getElement/next", explicit)]:
    t = best(fn)
    print(f"{name:26s} {t:8.1f} ns/element  {t / f:6.1f} x floor")
