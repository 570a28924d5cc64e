"""Preconditioners of the "cg" kind for fields of order >= 2 and for vector fields: the solve's
time (preconditioner set-up included) and CG iterations of each candidate, on one process.

    PYTHONPATH=build/dev .venv/bin/python bench/bench_high_order_pc.py
        [--orders 2,3] [--sizes 1e5,1e6] [--beam-levels 0,1,2] [--rtol 1e-8]
        [--candidates amg,pmg,...] [--baseline]

Problems: Poisson's equation (examples/poisson_road.py's manufactured solution) with P2 and P3
on the gmsh cube refined to about 1e5 and 1e6 unknowns (3e5 also exists); a beam
[0,5] x [0,1] x [0,1] clamped at x = 0 under its own weight (elasticity.py), P2 (or
--beam-order 1, with the candidates amg, amg-nodal, gamg) with 3 components, refined
`--beam-levels` times. Each candidate solves the same assembled system with its own options
(setOptions); the solution is compared with the first candidate's. The p-multigrid's
interpolation and the pattern of its coarse matrix are made by the first p-multigrid candidate
and kept by the later ones (as by a second solve), so compare the first of them with the
others. --baseline solves once with the kind as it is (no options), for a build of another
version of the module.
"""
import argparse
import os
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(HERE, "..", "examples"), os.path.join(HERE, "..", "tools")]

import _pymosk  # noqa: E402
import bench_road  # noqa: E402
from elasticity import assemble_elasticity  # noqa: E402
from gmsh_meshes import write_mesh  # noqa: E402
from poisson_road import assemble, manufactured_solution, manufactured_source  # noqa: E402

# Every candidate sets every option any of them sets (a solver's options add up), starting from
# the kind's own choice for the field (order, components).
def base(order, dim):
    return {"-pc_type": "mg" if order >= 2 else "hypre", "-mg_levels_pc_type": "jacobi",
            "-mg_levels_ksp_max_it": "1" if order <= 2 else "2",
            "-mg_coarse_pc_type": "gamg" if dim == 3 else "hypre",
            "-pc_hypre_boomeramg_strong_threshold": "0.25",
            "-mg_coarse_pc_hypre_boomeramg_nodal_coarsen": "0",
            "-mg_coarse_pc_hypre_boomeramg_vec_interp_variant": "0",
            "-pc_hypre_boomeramg_nodal_coarsen": "0", "-pc_hypre_boomeramg_vec_interp_variant": "0"}


CANDIDATES = {
    "amg": {"-pc_type": "hypre"},  # BoomerAMG on the field's own matrix
    "amg-0.5": {"-pc_type": "hypre", "-pc_hypre_boomeramg_strong_threshold": "0.5"},
    "amg-nodal": {"-pc_type": "hypre", "-pc_hypre_boomeramg_nodal_coarsen": "6",
                  "-pc_hypre_boomeramg_vec_interp_variant": "2"},
    "gamg": {"-pc_type": "gamg"},
    "pmg": {},  # the kind's default for order >= 2
    "pmg-sor": {"-mg_levels_pc_type": "sor"},
    "pmg-1": {"-mg_levels_ksp_max_it": "1"},
    "pmg-2": {"-mg_levels_ksp_max_it": "2"},
    "pmg-3": {"-mg_levels_ksp_max_it": "3"},
    "pmg-hypre": {"-mg_coarse_pc_type": "hypre"},
    "pmg-nodal": {"-mg_coarse_pc_type": "hypre",
                  "-mg_coarse_pc_hypre_boomeramg_nodal_coarsen": "6",
                  "-mg_coarse_pc_hypre_boomeramg_vec_interp_variant": "2"},
}
# Levels of the gmsh cube (h = 0.16) per order and size.
POISSON_LEVELS = {2: {"1e5": 3, "3e5": 4, "1e6": 5}, 3: {"1e5": 2, "3e5": 3, "1e6": 4}}


def options(name, rtol, order, dim):
    o = dict(base(order, dim), **CANDIDATES[name])
    return " ".join(f"{k} {v}" for k, v in o.items()) + f" -solver_rtol {rtol}"


def run(label, solver, u, order, names, rtol, baseline):
    print(f"\n{label}: {u.getSize():,} unknowns")
    runs = ([("as built", None)] if baseline else
            [(n, options(n, rtol, order, u.getDim())) for n in names])
    if baseline:
        solver.setOptions(f"-solver_rtol {rtol}")
    first = None
    for name, opts in runs:
        if opts:
            solver.setOptions(opts)
        t = time.perf_counter()
        try:
            solver.solve(u)
        except RuntimeError as err:
            print(f"  {name:<10} failed: {err}")
            continue
        seconds = time.perf_counter() - t
        x = u.getValues()
        first = x if first is None else first
        diff = np.abs(x - first).max() / max(np.abs(first).max(), 1e-300)
        fields = str(solver).split()  # "iter N maxit M residual R rtol T"
        print(f"  {name:<10} {seconds:8.2f} s {int(fields[1]):6d} iterations  "
              f"residual {float(fields[5]):.1e}  vs first {diff:.1e}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--orders", default="2,3")
    parser.add_argument("--sizes", default="1e5,1e6")
    parser.add_argument("--beam-levels", default="0,1,2")
    parser.add_argument("--rtol", type=float, default=1e-8)
    parser.add_argument("--candidates", default="amg,amg-0.5,pmg,pmg-sor,pmg-1,pmg-2,pmg-3")
    parser.add_argument("--beam-candidates", default="amg,gamg,pmg,pmg-hypre,pmg-nodal")
    parser.add_argument("--beam-order", type=int, choices=[1, 2], default=2)
    parser.add_argument("--baseline", action="store_true")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as work:
        cube = os.path.join(work, "cube_016.msh")
        for order in [int(o) for o in args.orders.split(",") if o]:
            for size in [s for s in args.sizes.split(",") if s]:
                if not os.path.exists(cube):
                    write_mesh(cube, shape="box", h=0.16)
                levels = POISSON_LEVELS[order][size]
                grid = _pymosk.Grid(cube)
                grid.refineAllElements(levels)
                u = _pymosk.Dof(grid, "P", order, name="u")
                f = _pymosk.Dof(grid, "P", order, udf=manufactured_source, name="f")
                solver = _pymosk.Solver("cg", u)
                solver.setSymmetry(_pymosk.Solver.SPD)
                assemble(grid, solver, u, f, manufactured_solution)
                run(f"Poisson P{order}, cube refined {levels} times", solver, u, order,
                    args.candidates.split(","), args.rtol, args.baseline)
                del solver, u, f, grid
        levels = [int(v) for v in args.beam_levels.split(",") if v]
        if levels:
            beam = os.path.join(work, "beam.msh")
            write_mesh(beam, shape="box", size=(5, 1, 1), h=0.2)
        for level in levels:
            grid = _pymosk.Grid(beam)
            grid.refineAllElements(level)
            u = _pymosk.Dof(grid, "P", args.beam_order, dim=3, name="u")
            solver = _pymosk.Solver("cg", u)
            solver.setSymmetry(_pymosk.Solver.SPD)
            assemble_elasticity(grid, solver, u)
            run(f"Elastic beam P{args.beam_order}, refined {level} times", solver, u,
                args.beam_order,
                args.beam_candidates.split(","), args.rtol, args.baseline)
            del solver, u, grid


if __name__ == "__main__":
    main()
