"""What a Solver holds per process, as processes are added: the P1 road of
bench_memory_per_process.py (meshes/cube.msh read, balanced, refined to about --size elements and
balanced again) on 1, 2 and 3 processes, with the memory the process's allocator hands out (glibc's
mallinfo2: bytes in use, freed memory excluded) across `Solver()`, the element loop and the solve.

    bench_solver_memory.py [--size 1.7e6] [--processes 1,2,3] [--order 1] [--rtol 1e-8]

The resident set's growth across `Solver()` is printed beside it: it counts new pages only, so
it hides what reuses memory an earlier phase freed and shows what the process had no free memory
for (the pattern's and the element lists' scratch included), and depends on what came before.
Times: Solver() and the element loop, wall and this process's CPU time (the slowest process's;
on a machine shared with other work the CPU time is the steadier figure).
"""
import argparse
import ctypes
import json
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
CUBE = os.path.join(ROOT, "meshes", "cube.msh")


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


def heap_mb():
    """Bytes the C allocator has handed out and not taken back, in MB."""
    libc = ctypes.CDLL(None)
    libc.mallinfo2.restype = _MallInfo2
    info = libc.mallinfo2()
    return (info.uordblks + info.hblkhd) / 2 ** 20


def rss_mb():
    with open("/proc/self/status") as fh:
        for line in fh:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    raise RuntimeError("no VmRSS line in /proc/self/status")


def child(levels, order, out):
    """One process of the job."""
    import _pymosk
    from mpi4py import MPI
    sys.path.insert(0, os.path.join(ROOT, "examples"))
    from poisson_road import assemble, manufactured_solution, manufactured_source

    comm = MPI.COMM_WORLD
    grid = _pymosk.Grid(CUBE)
    grid.balance(1.05)
    grid.refineAllElements(levels)
    grid.balance(1.05)
    u = _pymosk.Dof(grid, "P", order, name="u")
    f = _pymosk.Dof(grid, "P", order, udf=manufactured_source, name="f")
    comm.Barrier()
    heap, rss, started, cpu = heap_mb(), rss_mb(), time.perf_counter(), time.process_time()
    solver = _pymosk.Solver("cg", u)
    made, made_cpu = time.perf_counter() - started, time.process_time() - cpu
    held = {"solver": heap_mb() - heap}
    solver_rss = rss_mb() - rss
    solver.setSymmetry(_pymosk.Solver.SPD)
    comm.Barrier()
    heap, started, cpu = heap_mb(), time.perf_counter(), time.process_time()
    assemble(grid, solver, u, f, manufactured_solution)
    loop, loop_cpu = time.perf_counter() - started, time.process_time() - cpu
    held["loop"] = heap_mb() - heap
    comm.Barrier()
    heap = heap_mb()
    solver.solve(u)
    held["solve"] = heap_mb() - heap
    result = dict(held={k: comm.allgather(v) for k, v in held.items()},
                  solver_rss=comm.allgather(solver_rss),
                  seconds=[comm.allreduce(t, op=MPI.MAX) for t in (made, made_cpu, loop, loop_cpu)],
                  elements=grid.getGlobalNumElements(), unknowns=u.getSize())
    if comm.Get_rank() == 0:
        with open(os.path.join(out, "result.json"), "w") as fh:
            json.dump(result, fh)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--size", type=float, default=1.7e6)
    parser.add_argument("--processes", default="1,2,3")
    parser.add_argument("--order", type=int, choices=[1, 2], default=1)
    parser.add_argument("--rtol", type=float, default=1e-8)
    parser.add_argument("--child", nargs=3)
    args = parser.parse_args()
    if args.child:
        levels, order, out = args.child
        return child(int(levels), int(order), out)
    sys.path.insert(0, HERE)
    from bench_memory_per_process import levels_for
    from bench_parallel import mpirun_child
    levels = levels_for(args.size)
    print(f"P{args.order}, cube.msh refined {levels} levels; machine load (1-minute average) "
          f"{os.getloadavg()[0]:.2f} on {os.cpu_count()} cores")
    print(f"{'processes':>9} {'Solver() holds (MB)':>24} {'loop (MB)':>18} {'solve (MB)':>22} "
          f"{'Solver() resident growth (MB)':>30} {'Solver() wall, CPU (s)':>23} "
          f"{'loop wall, CPU (s)':>19}")
    for n in (int(p) for p in args.processes.split(",")):
        r = mpirun_child(__file__, [levels, args.order], n, args.rtol)
        cells = [", ".join(f"{v:.1f}" for v in r["held"][k]) for k in ("solver", "loop", "solve")]
        rss = ", ".join(f"{v:.1f}" for v in r["solver_rss"])
        made, made_cpu, loop, loop_cpu = r["seconds"]
        print(f"{n:>9} {cells[0]:>24} {cells[1]:>18} {cells[2]:>22} {rss:>30} "
              f"{f'{made:.2f}, {made_cpu:.2f}':>23} {f'{loop:.2f}, {loop_cpu:.2f}':>19}")
    print(f"{r['elements']:,} elements, {r['unknowns']:,} unknowns")


if __name__ == "__main__":
    main()
