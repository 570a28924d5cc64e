"""Memory and time per process as processes are added: the P1 road on a grid that is built after
balance (meshes/cube.msh read, balanced, refined to about the target number of elements and
balanced again) or read whole from one mesh file (a structured gmsh cube, binary MSH 4.1), on 1, 2
and 3 processes.

    bench_memory_per_process.py [--sizes 1.7e6,5e6] [--file 5e6] [--processes 1,2,3] [--rtol 1e-8]

Printed per run: each process's memory growth (peak resident set minus the resident set right
after `import _pymosk`, so that the interpreter, MPI and PETSc are left out; a P1 field, its
right-hand side field, a Solver and the solve are included), the same for the resident set at
the end (what the process still holds after the solve: its part of the grid, the fields and the
solver, without the transient peaks of the grid phase), and the phases' times (the slowest
process's; the processes meet at a barrier between phases): grid (read, balance, refine,
balance), loop (the fields, Solver() and the element loop), solve, and their total; the
refinement alone is printed too, with each process's peak growth up to its end. --file 0
leaves the file case out. Below the table: what each process's `Solver()` holds (the
pattern, matrix and vectors it keeps: the allocator's bytes in use across it, and the resident
set's growth, which counts new pages only and so depends on what earlier phases freed) and the
time it took (the slowest process).
Targets, printed beside the figures: the largest process's growth on
2 processes at most 0.55x and on 3 at most 0.4x the one-process growth; the grid phase on 2
processes at most 0.6x of one.
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
CUBE = os.path.join(ROOT, "meshes", "cube.msh")
PHASES = ["grid", "loop", "solve"]
MEMORY_TARGETS = {2: 0.55, 3: 0.4}
GRID_TARGET = {2: 0.6}


def rss_bytes(field):
    with open("/proc/self/status") as fh:
        for line in fh:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(f"no {field} line in /proc/self/status")


def child(mesh, levels, out):
    """One process of the job."""
    import _pymosk
    base = rss_bytes("VmRSS")
    from mpi4py import MPI
    sys.path.insert(0, os.path.join(ROOT, "examples"))
    from poisson_road import assemble, manufactured_solution, manufactured_source

    comm = MPI.COMM_WORLD
    clock = {}

    def mark(name):
        comm.Barrier()
        clock[name] = time.perf_counter()

    mark("start")
    grid = _pymosk.Grid(mesh)
    grid.balance(1.05)
    mark("balanced")
    if levels > 0:
        grid.refineAllElements(levels)
        mark("refined")
        refined = (rss_bytes("VmHWM") - base) / 2 ** 20
        grid.balance(1.05)
    mark("grid")
    u = _pymosk.Dof(grid, "P", 1, name="u")
    f = _pymosk.Dof(grid, "P", 1, udf=manufactured_source, name="f")
    from bench_solver_memory import heap_mb
    before, heap_before, started = rss_bytes("VmRSS"), heap_mb(), time.perf_counter()
    solver = _pymosk.Solver("cg", u)
    made = time.perf_counter() - started
    solver_held = comm.allgather((rss_bytes("VmRSS") - before) / 2 ** 20)
    solver_heap = comm.allgather(heap_mb() - heap_before)
    solver.setSymmetry(_pymosk.Solver.SPD)
    assemble(grid, solver, u, f, manufactured_solution)
    mark("loop")
    solver.solve(u)
    mark("solve")
    times = {"grid": clock["grid"] - clock["start"], "loop": clock["loop"] - clock["grid"],
             "solve": clock["solve"] - clock["loop"],
             "refine": clock.get("refined", clock["balanced"]) - clock["balanced"]}
    growth = comm.allgather((rss_bytes("VmHWM") - base) / 2 ** 20)
    refined = comm.allgather(refined if levels > 0 else 0.0)
    held = comm.allgather((rss_bytes("VmRSS") - base) / 2 ** 20)
    made = max(comm.allgather(made))
    if comm.Get_rank() == 0:
        with open(os.path.join(out, "result.json"), "w") as fh:
            json.dump(dict(times=times, growth=growth, held=held, refined=refined,
                           solver_held=solver_held, solver_heap=solver_heap,
                           solver_seconds=made,
                           elements=grid.getGlobalNumElements(),
                           unknowns=u.getSize(), solver=str(solver)), fh)


def run(mesh, levels, processes, rtol):
    from bench_parallel import mpirun_child
    return mpirun_child(__file__, [mesh, levels], processes, rtol)


def levels_for(target):
    """Levels of refinement of the sample cube whose element count is nearest `target` (a level
    about doubles it: the first count above target / sqrt(2)), found in a child process."""
    code = ("import sys, _pymosk\n"
            "g = _pymosk.Grid(sys.argv[1]); t = float(sys.argv[2]); n = 0\n"
            "while g.getNumElements() < t:\n"
            "    g.refineAllElements(1); n += 1\n"
            "print(n)\n")
    out = subprocess.run([sys.executable, "-c", code, CUBE, str(target / 2 ** 0.5)], check=True,
                         capture_output=True, text=True).stdout
    return int(out.split()[-1])


def report(title, results, counts):
    one = results[counts[0]]
    print(f"\n{title}: {one['elements']:,} elements, {one['unknowns']:,} P1 unknowns")
    print(f"{'processes':>9} {'growth per process (MB)':>28} {'largest/1':>10} "
          f"{'held at the end (MB)':>24} {'largest/1':>10} "
          + "".join(f"{p + ' (s)':>11}" for p in PHASES + ["total"]) + f" {'grid/1':>7}"
          f" {'refine (s)':>11} {'peak to refine (MB)':>24} {'largest/1':>10}")
    for n in counts:
        r = results[n]
        r["times"]["total"] = sum(r["times"][p] for p in PHASES)
        growth = ", ".join(f"{g:.0f}" for g in r["growth"])
        largest = max(r["growth"]) / max(one["growth"])
        held = ", ".join(f"{g:.0f}" for g in r["held"])
        largest_held = max(r["held"]) / max(one["held"])
        grid = r["times"]["grid"] / one["times"]["grid"]
        refined = ", ".join(f"{g:.0f}" for g in r["refined"])
        largest_refined = max(r["refined"]) / max(max(one["refined"]), 1e-9)
        target = ""
        if n in MEMORY_TARGETS:
            target += f"  memory target <= {MEMORY_TARGETS[n]}"
        if n in GRID_TARGET:
            target += f", grid target <= {GRID_TARGET[n]}"
        print(f"{n:>9} {growth:>28} {largest:>10.2f} {held:>24} {largest_held:>10.2f} "
              + "".join(f"{r['times'][p]:>11.2f}" for p in PHASES + ["total"])
              + f" {grid:>7.2f} {r['times']['refine']:>11.2f} {refined:>24} "
              f"{largest_refined:>10.2f}{target}")
    for n in counts:
        r = results[n]
        print(f"{n:>9} processes: Solver() holds "
              + ", ".join(f"{g:.1f}" for g in r["solver_heap"])
              + " MB per process (allocator bytes in use; resident set growth "
              + ", ".join(f"{g:.1f}" for g in r["solver_held"])
              + f" MB), made in {r['solver_seconds']:.2f} s")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", default="1.7e6")
    parser.add_argument("--file", type=float, default=0)
    parser.add_argument("--processes", default="1,2,3")
    parser.add_argument("--rtol", type=float, default=1e-8)
    parser.add_argument("--child", nargs=3)
    args = parser.parse_args()
    if args.child:
        mesh, levels, out = args.child
        return child(mesh, int(levels), out)
    counts = [int(p) for p in args.processes.split(",")]
    print(f"rtol {args.rtol:g}; machine load (1-minute average) {os.getloadavg()[0]:.2f} on "
          f"{os.cpu_count()} cores")
    for size in (float(s) for s in args.sizes.split(",") if s):
        levels = levels_for(size)
        results = {n: run(CUBE, levels, n, args.rtol) for n in counts}
        report(f"cube.msh balanced, refined {levels} levels, balanced again", results, counts)
    if args.file > 0:
        sys.path.insert(0, os.path.join(ROOT, "tools"))
        from gmsh_meshes import write_mesh
        work = tempfile.mkdtemp(prefix="bench-memory-mesh-")
        try:
            cells = max(1, round((args.file / 6) ** (1 / 3)))
            path = os.path.join(work, f"structured_{cells}.msh")
            write_mesh(path, shape="structured", cells=cells, binary=True)
            results = {n: run(path, 0, n, args.rtol) for n in counts}
            report(f"a structured cube of {cells}^3 cells read from one binary MSH 4.1 file",
                   results, counts)
        finally:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
