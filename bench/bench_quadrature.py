"""Speed of element matrices: microseconds per call of Element.quadGradBasDotGradBas for P1, P2
and P3 over the elements of the sample cube (every call a new element, so every call computes its
matrix), per matrix entry, and as a ratio to the floor of one empty module call (Dof.getDim).
Usage: bench_quadrature.py [mesh file]. Figures only; nothing here passes or fails."""
import os
import sys

import _pymosk
from timing import per_call_us

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def main():
    path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "meshes", "cube.msh")
    g = _pymosk.Grid(path)
    elements = list(g.getElementIterator())[:2000]
    d = _pymosk.Dof(g, "P", 1)
    floor = per_call_us(lambda e: d.getDim(), elements)
    print(f"mesh {os.path.basename(path)}: {len(elements)} elements timed")
    print(f"floor (Dof.getDim): {floor:.3f} us per call")
    print(f"{'type':>4} {'entries':>7} {'us/call':>9} {'us/entry':>9} {'ratio to floor':>15}")
    for p in (1, 2, 3):
        u = _pymosk.Dof(g, "P", p)
        n = u.getNBas(elements[0])
        t = per_call_us(lambda e: e.quadGradBasDotGradBas(u, u), elements)
        print(f"{'P%d' % p:>4} {n * n:>7} {t:>9.3f} {t / (n * n):>9.4f} {t / floor:>15.1f}")


if __name__ == "__main__":
    main()
