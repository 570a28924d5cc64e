"""Solver reuse in a time-stepping loop: the first solve of a system sets up the preconditioner
or factorisation, a later solve with an unchanged matrix and a new right-hand side reuses it.
Prints, per solver kind, the time of the first solve, of a second solve after zeroRHS and a new
right-hand side, and of a solve after zeroMatrix and reassembly (which must set up again).

    PYTHONPATH=build/dev .venv/bin/python bench/bench_solver_reuse.py [order] [levels] [kinds...]
"""
import pathlib
import sys

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "examples"))
import _pymosk
from poisson_road import assemble, manufactured_solution, manufactured_source
from timing import timed

ROOT = pathlib.Path(__file__).resolve().parents[1]


def main():
    order = int(sys.argv[1]) if len(sys.argv) > 1 else 2
    levels = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    kinds = sys.argv[3:] or ["lu", "cg"]
    grid = _pymosk.Grid(str(ROOT / "meshes" / "cube.msh"))
    grid.refineAllElements(levels)
    u = _pymosk.Dof(grid, "P", order, name="u")
    f = _pymosk.Dof(grid, "P", order, udf=manufactured_source, name="f")
    print(f"P{order}, {grid.getNumElements()} elements, {u.getSize()} unknowns")
    for kind in kinds:
        s = _pymosk.Solver(kind, u)
        s.setSymmetry(_pymosk.Solver.SPD)
        t_assemble = timed(lambda: assemble(grid, s, u, f, manufactured_solution))
        first = timed(lambda: s.solve(u))
        # A new right-hand side with the same matrix: twice the source, the same boundary values.
        f.setValues(2 * f.getValues())
        s.zeroRHS()
        for e in grid.getElementIterator():
            b = e.quadDofTimesBas(f, u)[0]
            A = e.quadGradBasDotGradBas(u, u)
            mask, values = e.getDirichletBC(u, manufactured_solution)
            _pymosk.utils.processBoundary(mask, values, A, b)
            s.addRHSEntries(e.getGlobalIndex(s), b)
        second = timed(lambda: s.solve(u))
        u2 = u.getValues()
        s.zeroMatrix()
        s.zeroRHS()
        assemble(grid, s, u, f, manufactured_solution)
        third = timed(lambda: s.solve(u))
        print(f"{kind:6s} assembly {t_assemble:6.2f} s | first solve {first:6.3f} s | "
              f"same matrix, new RHS {second:6.3f} s ({first / second:5.1f}x faster) | "
              f"zeroMatrix, zeroRHS, reassembly: {third:6.3f} s, "
              f"answer changed by {np.abs(u.getValues() - u2).max():.2g}")


if __name__ == "__main__":
    main()
