"""The whole road (bench_road.py's module side, P1 or P2) on 1 and 2 processes: each phase's time (the
slowest process's; the processes meet at a barrier between phases, so that a phase's time holds
no wait for another process's earlier phase), the speedup of 2 processes over 1, and the peak
resident set per process.

    bench_parallel.py [--sizes 1e5,1e6] [--processes 1,2] [--order 1] [--rtol 1e-10] [--blocks]

Meshes: bench_road.py's (P1: meshes/cube.msh refined 5 and 7 levels; P2: a gmsh cube refined 3
and 5 levels; about 1e5 and 1e6 unknowns). --rtol sets the solver's relative tolerance (the
module's default is 1e-10; bench_ngsolve.py's reference solves to 1e-8); --blocks runs the element
loop block by block (poisson_road.assemble_blocks). Each run is a fresh
`mpirun -np N` job (one process: the same job with N = 1). Figures only; targets on 2
processes against 1, printed beside the figures: element loop 1.8x, solve 1.5x, total 1.6x.
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
PHASES = ["grid", "fields", "solver", "loop", "solve", "export"]
TARGETS = {"loop": 1.8, "solve": 1.5, "total": 1.6}


def child(mesh, levels, order, blocks, out):
    """One process of the job: the road, then the slowest process's phase times."""
    from mpi4py import MPI
    sys.path.insert(0, HERE)
    import bench_road
    import _pymosk  # noqa: F401 - started before the road runs

    comm = MPI.COMM_WORLD
    result = bench_road.run_module(mesh, levels, order, os.path.join(out, "road.vtu"),
                                   sync=comm.Barrier, blocks=blocks)
    times = {k: comm.allreduce(v, op=MPI.MAX) for k, v in result["times"].items()}
    peaks = comm.allgather(result["peak_mb"])
    unknowns = result["unknowns"]
    if comm.Get_rank() == 0:
        with open(os.path.join(out, "result.json"), "w") as fh:
            json.dump(dict(times=times, peaks=peaks, unknowns=unknowns,
                           iterations=result["iterations"], residual=result["residual"]), fh)


def run(mesh, levels, order, rtol, processes, blocks=False):
    return mpirun_child(__file__, [mesh, levels, order, int(blocks)], processes, rtol)


def mpirun_child(script, child_args, processes, rtol):
    """One mpirun job of `script --child *child_args OUT`; returns the result.json that the job
    writes into the directory OUT."""
    out = tempfile.mkdtemp(prefix="bench-parallel-")
    try:
        command = [shutil.which("mpirun"), "--allow-run-as-root", "--oversubscribe", "-np",
                   str(processes), sys.executable, os.path.abspath(script), "--child",
                   *map(str, child_args), out]
        env = dict(os.environ, OMP_NUM_THREADS="1", OPENBLAS_NUM_THREADS="1",
                   MOSK_OPTIONS=os.environ.get("MOSK_OPTIONS", "") + f" -solver_rtol {rtol}")
        subprocess.run(command, check=True, env=env)
        with open(os.path.join(out, "result.json")) as fh:
            return json.load(fh)
    finally:
        shutil.rmtree(out, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", default="1e5,1e6")
    parser.add_argument("--processes", default="1,2")
    parser.add_argument("--order", type=int, choices=[1, 2], default=1)
    parser.add_argument("--rtol", type=float, default=1e-10)
    parser.add_argument("--blocks", action="store_true", help="the element loop block by block")
    parser.add_argument("--child", nargs=5)
    args = parser.parse_args()
    if args.child:
        mesh, levels, order, blocks, out = args.child
        return child(mesh, int(levels), int(order), blocks == "1", out)
    sys.path.insert(0, HERE)
    import bench_road

    counts = [int(p) for p in args.processes.split(",")]
    work = tempfile.mkdtemp(prefix="bench-parallel-meshes-")
    try:
        for size in args.sizes.split(","):
            mesh, levels = bench_road.case_mesh(args.order, size, work)
            results = {n: run(mesh, levels, args.order, args.rtol, n, args.blocks) for n in counts}
            report(results, counts, f"P{args.order}", os.path.basename(mesh), levels, args.rtol)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def report(results, counts, order, mesh, levels, rtol):
    for r in results.values():
        r["times"]["total"] = sum(r["times"][k] for k in PHASES)
    first = results[counts[0]]
    print(f"\n{order}, {first['unknowns']:,} unknowns ({mesh}, {levels} levels), "
          f"rtol {rtol:g}")
    head = "".join(f"{f'{n} proc (s)':>14}" for n in counts)
    speed = "".join(f"{f'speedup {n}':>12}" for n in counts[1:])
    print(f"{'phase':<8}{head}{speed}   target")
    for phase in PHASES + ["total"]:
        row = "".join(f"{results[n]['times'][phase]:14.2f}" for n in counts)
        ups = "".join(f"{first['times'][phase] / max(results[n]['times'][phase], 1e-9):12.2f}"
                      for n in counts[1:])
        target = f"{TARGETS[phase]:.1f}x" if phase in TARGETS else ""
        print(f"{phase:<8}{row}{ups}   {target}")
    for n in counts:
        peaks = ", ".join(f"{p:.0f}" for p in results[n]["peaks"])
        print(f"peak MB per process on {n}: {peaks}; CG iterations "
              f"{results[n]['iterations']}")


if __name__ == "__main__":
    main()
