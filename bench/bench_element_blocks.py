"""The element loop per element, element by element and block by block, for P1 and P2 at about
1e5 and 1e6 unknowns on one process. Both loops do the same work: the stiffness matrix, the load
vector of a source field, the global indices, the Dirichlet data of a boundary function,
processBoundary and the two additions (the block loop's boundary function takes an (m, 3) array).
Each figure is the fastest of the rounds, in microseconds per element, as wall time and as this
process's CPU time (on a machine shared with other work the wall time carries their load); the
matrices the two loops assemble are compared below 1e6 elements (the dumps' entries, relative to
the largest: blocks of order 2 and more compute from reference tables, equal up to rounding).

    bench_element_blocks.py [--sizes 1e5,1e6] [--orders 1,2] [--rounds 2] [--block 8192] [--split]

--split adds the block loop's CPU time per element of each of its calls (fastest round). The
time of the first Solver() (its pattern and matrix) is printed too.

Targets at 1e6 unknowns: the block loop at most 0.5 us (P1) and 1.5 us (P2) per element.
"""
import argparse
import os
import sys
import tempfile
import time

import numpy as np

import _pymosk

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:0] = [os.path.join(ROOT, "tools"), os.path.join(ROOT, "examples")]
from gmsh_meshes import write_mesh  # noqa: E402
from poisson_road import assemble, assemble_blocks  # noqa: E402

# (mesh, refinement levels): cube.msh for P1, a gmsh cube of mesh size 0.16 for P2.
CASES = {(1, "1e5"): ("cube.msh", 5), (1, "1e6"): ("cube.msh", 7),
         (2, "1e5"): ("gmsh", 3), (2, "1e6"): ("gmsh", 5)}
TARGETS = {1: 0.5, 2: 1.5}


def boundary(p):
    return [p[0] + 2 * p[1]]


def boundary_points(p):
    return p[:, 0] + 2 * p[:, 1]


def matrix_of(solver, work, name):
    """The dumped matrix: its entries' positions (the lines' words) and values."""
    path = os.path.join(work, name)
    solver.dumpMATLAB(path + "_A.m", path + "_b.m")
    with open(path + "_A.m") as fh:
        rows = [line.split() for line in fh if line[:1] in set("-0123456789")]
    return [r[:-1] for r in rows], np.array([float(r[-1]) for r in rows])


def difference(element, block):
    """The largest difference of the two matrices' entries relative to their largest entry
    (None when their entries sit in different places)."""
    if element[0] != block[0]:
        return None
    return float(np.abs(element[1] - block[1]).max() / np.abs(element[1]).max())


def mesh_of(order, size, work):
    name, levels = CASES[(order, size)]
    if name == "cube.msh":
        return os.path.join(ROOT, "meshes", "cube.msh"), levels
    path = os.path.join(work, "cube_016.msh")
    if not os.path.exists(path):
        write_mesh(path, shape="box", h=0.16)
    return path, levels


def measure(order, size, rounds, block, work, with_split=False):
    mesh, levels = mesh_of(order, size, work)
    grid = _pymosk.Grid(mesh)
    grid.refineAllElements(levels)
    u = _pymosk.Dof(grid, "P", order, name="u")
    f = _pymosk.Dof(grid, "P", order, name="f")
    f.setValues(np.ones(f.getLocalSize()))
    n = grid.getNumElements()
    t, c = time.perf_counter(), time.process_time()
    solvers = {"element": _pymosk.Solver("cg", u)}
    made = (time.perf_counter() - t, time.process_time() - c)
    solvers["block"] = _pymosk.Solver("cg", u)
    loops = {"element": lambda s: assemble(grid, s, u, f, boundary),
             "block": lambda s: assemble_blocks(grid, s, u, f, boundary_points, block)}
    best = {(k, clock): float("inf") for k in loops for clock in ("wall", "cpu")}
    for _ in range(rounds):
        for name, run in loops.items():
            s = solvers[name]
            s.zeroMatrix()
            s.zeroRHS()
            t, c = time.perf_counter(), time.process_time()
            run(s)
            for clock, spent in (("wall", time.perf_counter() - t), ("cpu", time.process_time() - c)):
                best[name, clock] = min(best[name, clock], spent / n * 1e6)
    same = "not compared"
    if n < 1_000_000:  # the dump of a million-element system takes longer than the loops
        gap = difference(matrix_of(solvers["element"], work, "e"),
                         matrix_of(solvers["block"], work, "b"))
        same = "MATRICES DIFFER" if gap is None or gap > 1e-14 else f"matrices agree to {gap:.1e}"
    split = None
    if with_split:
        runs = []
        for _ in range(rounds):
            s = solvers["block"]
            s.zeroMatrix()
            s.zeroRHS()
            runs.append(split_block_loop(grid, s, u, f, block))
        split = {k: min(r[k] for r in runs) / n * 1e6 for k in SPLIT}
    return n, u.getSize(), best, same, split, made


SPLIT = ["stiffness", "load", "indices", "dirichlet", "processBoundary", "addMatrixEntries",
         "addRHSEntries"]


def split_block_loop(grid, solver, u, f, size):
    """assemble_blocks with each call timed on this process's CPU clock: {call: seconds}."""
    spent = dict.fromkeys(SPLIT, 0.0)
    process = _pymosk.utils.processBoundary

    def timed(name, call, *args, **kwargs):
        t = time.process_time()
        result = call(*args, **kwargs)
        spent[name] += time.process_time() - t
        return result

    for block in grid.getElementBlocks(size):
        A = timed("stiffness", block.quadGradBasDotGradBas, u, u)
        b = timed("load", block.quadDofTimesBas, f, u)[:, 0]
        idx = timed("indices", block.getGlobalIndex, solver)
        mask, values = timed("dirichlet", block.getDirichletBC, u, boundary_points, vectorized=True)
        timed("processBoundary", process, mask, values, A, b)
        timed("addMatrixEntries", solver.addMatrixEntries, idx, idx, A)
        timed("addRHSEntries", solver.addRHSEntries, idx, b)
    return spent


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", default="1e5,1e6")
    parser.add_argument("--orders", default="1,2")
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--block", type=int, default=8192)
    parser.add_argument("--split", action="store_true")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as work:
        for order in map(int, args.orders.split(",")):
            for size in args.sizes.split(","):
                n, unknowns, best, same, split, made = measure(order, size, args.rounds, args.block,
                                                         work, args.split)
                check = "" if same == "not compared" else ", " + same
                print(f"P{order} {unknowns:,} unknowns, {n:,} elements, us per element "
                      f"(target for blocks <= {TARGETS[order]:g} at 1e6){check}", flush=True)
                for clock in ("wall", "cpu"):
                    e, b = best["element", clock], best["block", clock]
                    print(f"  {clock:4s}: element loop {e:.2f}, block loop {b:.3f} ({e / b:.1f}x)",
                          flush=True)
                print(f"  Solver(): {made[0]:.2f} s wall, {made[1]:.2f} s CPU", flush=True)
                if split:
                    print("  block loop CPU per call: " +
                          ", ".join(f"{k} {v:.3f}" for k, v in split.items()), flush=True)


if __name__ == "__main__":
    main()
