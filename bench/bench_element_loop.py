"""Where the element loop's time goes: the cost per element of each call of the Poisson loop,
for P1 and P2, against the floor of 7 empty module calls (Dof.getNBas, through pybind11's general
dispatcher; the loop's own calls take the module's fast-call path, so they can cost less than an
empty call of the floor).

The whole loop is the road's own (examples/poisson_road.assemble), as a script writes it. Each
call's marginal cost is the time of an instrumented copy of that loop (which also looks up a kept
result and tests which call to skip, about half a microsecond more) minus the time of the same copy
in which that call is replaced by a look-up of its result (kept from a first pass), so the
marginals add up to about the instrumented loop less the iterator and the floor's share. Runs are interleaved (every variant
once per round) and each figure is, in microseconds per element, the fastest of the rounds: on a
machine shared with other work the noise only ever adds time, and a median of a few rounds still
carries it (marginals of a loaded run came out negative). `--stat median` gives the median.
The column "alone" is each call by itself in a loop that takes its arguments from the first pass,
less that loop without the call: a shorter loop, so less noise, but without the other calls'
effect on caches.

    bench_element_loop.py [--levels 4] [--rounds 5] [--orders 1,2] [--stat min]

Targets (one process): the whole loop at most 5 us (P1) and 10 us (P2) per element,
addMatrixEntries at most 1 us (P1) and 2.5 us (P2).
"""
import argparse
import gc
import pathlib
import statistics
import sys
import time

import _pymosk

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "examples"))
from poisson_road import assemble  # noqa: E402
CALLS = ["quadGradBasDotGradBas", "quadDofTimesBas", "getGlobalIndex", "getDirichletBC",
         "processBoundary", "addMatrixEntries", "addRHSEntries"]
TARGETS = {(1, "whole loop"): 5.0, (2, "whole loop"): 10.0, (1, "addMatrixEntries"): 1.0,
           (2, "addMatrixEntries"): 2.5}


def boundary(p):
    return [p[0] + 2 * p[1]]


def loop(grid, u, f, solver, skip, kept):
    """The Poisson loop; the call named `skip` is replaced by its result from `kept`."""
    process = _pymosk.utils.processBoundary
    for n, e in enumerate(grid.getElementIterator()):
        k = kept[n]
        A = k[0] if skip == "quadGradBasDotGradBas" else e.quadGradBasDotGradBas(u, u)
        b = k[1] if skip == "quadDofTimesBas" else e.quadDofTimesBas(f, u)[0]
        idx = k[2] if skip == "getGlobalIndex" else e.getGlobalIndex(solver)
        mask, values = k[3] if skip == "getDirichletBC" else e.getDirichletBC(u, boundary)
        if skip != "processBoundary":
            process(mask, values, A, b)
        if skip != "addMatrixEntries":
            solver.addMatrixEntries(idx, idx, A)
        if skip != "addRHSEntries":
            solver.addRHSEntries(idx, b)


def alone(grid, u, f, solver, call, kept):
    """The loop with `call` alone, its arguments taken from `kept` (None: no call at all)."""
    process = _pymosk.utils.processBoundary
    for n, e in enumerate(grid.getElementIterator()):
        A, b, idx, (mask, values) = kept[n]
        if call == "quadGradBasDotGradBas":
            e.quadGradBasDotGradBas(u, u)
        elif call == "quadDofTimesBas":
            e.quadDofTimesBas(f, u)[0]
        elif call == "getGlobalIndex":
            e.getGlobalIndex(solver)
        elif call == "getDirichletBC":
            e.getDirichletBC(u, boundary)
        elif call == "processBoundary":
            process(mask, values, A, b)
        elif call == "addMatrixEntries":
            solver.addMatrixEntries(idx, idx, A)
        elif call == "addRHSEntries":
            solver.addRHSEntries(idx, b)


def floor(grid, u):
    nbas = u.getNBas
    for e in grid.getElementIterator():
        nbas(e); nbas(e); nbas(e); nbas(e); nbas(e); nbas(e); nbas(e)  # noqa: E702


def measure(levels, order, rounds, stat):
    grid = _pymosk.Grid(str(ROOT / "meshes" / "cube.msh"))
    grid.refineAllElements(levels)
    u = _pymosk.Dof(grid, "P", order, name="u")
    f = _pymosk.Dof(grid, "P", order, udf=lambda p: [1.0], name="f")
    solver = _pymosk.Solver("cg", u)
    kept = []
    for e in grid.getElementIterator():
        kept.append((e.quadGradBasDotGradBas(u, u), e.quadDofTimesBas(f, u)[0],
                     e.getGlobalIndex(solver), e.getDirichletBC(u, boundary)))
    # The kept results are a million objects; frozen, the collector no longer walks them on every
    # collection that the loop's own allocations trigger (the road itself keeps nothing).
    gc.collect()
    gc.freeze()
    n = grid.getNumElements()
    variants = {"whole loop": lambda: assemble(grid, solver, u, f, boundary),
                "instrumented loop": lambda: loop(grid, u, f, solver, None, kept),
                "floor (7 empty calls)": lambda: floor(grid, u)}
    for call in CALLS:
        variants[call] = lambda call=call: loop(grid, u, f, solver, call, kept)
    # Each call alone as well: a short loop carries less of the machine's noise than the whole.
    variants["alone: none"] = lambda: alone(grid, u, f, solver, None, kept)
    for call in CALLS:
        variants["alone: " + call] = lambda call=call: alone(grid, u, f, solver, call, kept)
    times = {name: [] for name in variants}
    for _ in range(rounds):
        for name, run in variants.items():
            t = time.perf_counter()
            run()
            times[name].append((time.perf_counter() - t) / n * 1e6)
    gc.unfreeze()
    summary = {name: stat(t) for name, t in times.items()}
    instrumented = summary["instrumented loop"]
    rows = [(name, summary[name], None)
            for name in ("whole loop", "instrumented loop", "floor (7 empty calls)")]
    rows += sorted(((c, instrumented - summary[c], summary["alone: " + c] - summary["alone: none"])
                    for c in CALLS), key=lambda r: -r[1])
    return n, u.getSize(), rows


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--levels", type=int, default=4)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--orders", default="1,2")
    parser.add_argument("--stat", choices=["min", "median"], default="min")
    args = parser.parse_args()
    stat = min if args.stat == "min" else statistics.median
    what = "fastest" if args.stat == "min" else "median"
    for order in map(int, args.orders.split(",")):
        n, unknowns, rows = measure(args.levels, order, args.rounds, stat)
        print(f"\nP{order}: {n:,} elements, {unknowns:,} unknowns (cube.msh, {args.levels} "
              f"levels); us per element, {what} of {args.rounds} interleaved rounds")
        print(f"  {'':24s} {'marginal':>8s} {'alone':>7s}")
        for name, us, by_itself in rows:
            target = TARGETS.get((order, name))
            note = f"   target <= {target:g}" if target else ""
            cell = f"{by_itself:7.2f}" if by_itself is not None else " " * 7
            print(f"  {name:24s} {us:8.2f} {cell}{note}")


if __name__ == "__main__":
    main()
