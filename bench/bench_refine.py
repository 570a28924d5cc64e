"""Refinement speed and memory: the sample cube refined level by level to at least a million leaf
elements, then the refined grid written as .vtu.
Usage: bench_refine.py [target leaf elements] [mesh file] [--compare DIR] [--processes N]
                       [--rounds R]
With --compare, DIR holds an earlier build's libmosk.so: refinement runs in child processes,
alternately with that library and with this build's, and the medians and their ratio are
printed (on a shared machine, interleaving keeps the load alike for both). With --processes,
refinement after balance runs in mpirun jobs of 1 and of N processes alternately (the clock of
the slowest process: the processes meet before and after), and the medians and their ratio are
printed against the target of a distributed grid's refinement on 2 processes; with both, the
earlier library and this build alternate in jobs of N processes (wall clock only).
The figures are printed with the targets they are meant to meet; nothing here passes or fails."""
import os
import shutil
import statistics
import subprocess
import sys
import time

import _pymosk
from timing import machine_load, peak_rss_bytes, timed

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TARGET_RATE = 1_000_000  # leaf elements per second of refinement
TARGET_BYTES = 400       # peak bytes per leaf element
TARGET_TWO_PROCESSES = 0.6  # refinement on 2 processes against 1


def mesh_path(argv):
    return argv[2] if len(argv) > 2 else os.path.join(ROOT, "meshes", "cube.msh")


def probe_levels(path, target):
    """Levels that reach `target` leaf elements and the count after each, found level by level in
    a child process, so that this process's peak memory stays that of one call."""
    code = ("import sys, _pymosk\n"
            "g = _pymosk.Grid(sys.argv[1]); t = int(sys.argv[2])\n"
            "while g.getNumElements() < t:\n"
            "    n = g.getNumElements(); g.refineAllElements(1)\n"
            "    print(g.getNumElements(), flush=True)\n"
            "    if g.getNumElements() <= n: break\n")
    out = subprocess.run([sys.executable, "-c", code, path, str(target)], check=True,
                         capture_output=True, text=True).stdout
    return [int(x) for x in out.split()]


def library_env(libdir):
    """The environment with libdir, when given, first on LD_LIBRARY_PATH (ahead of the module's
    runpath)."""
    env = dict(os.environ)
    if libdir:
        env["LD_LIBRARY_PATH"] = os.pathsep.join(
            x for x in (os.path.abspath(libdir), env.get("LD_LIBRARY_PATH")) if x)
    return env


def refine_in_child(path, levels, libdir=None):
    """(wall, cpu) seconds of refineAllElements(levels) in a fresh process; libdir, when given,
    goes first on LD_LIBRARY_PATH (ahead of the module's runpath)."""
    code = ("import sys, time, _pymosk\n"
            "g = _pymosk.Grid(sys.argv[1])\n"
            "w, c = time.perf_counter(), time.process_time()\n"
            "g.refineAllElements(int(sys.argv[2]))\n"
            "print(time.perf_counter() - w, time.process_time() - c)\n")
    out = subprocess.run([sys.executable, "-c", code, path, str(levels)], check=True,
                         capture_output=True, text=True, env=library_env(libdir)).stdout
    wall, cpu = (float(x) for x in out.split())
    return wall, cpu


def compare(path, levels, libdir, rounds, processes=0):
    """Earlier library against this build; with processes, in mpirun jobs (wall only)."""
    def run(lib):
        if processes:
            return refine_in_job(path, levels, processes, lib), 0.0
        return refine_in_child(path, levels, lib)
    runs = {"earlier": [], "this build": []}
    for _ in range(rounds):
        runs["earlier"].append(run(libdir))
        runs["this build"].append(run(None))
    med = {k: (statistics.median(w for w, _ in v), statistics.median(c for _, c in v))
           for k, v in runs.items()}
    for k, v in runs.items():
        cpu = "" if processes else ("; cpu " + " ".join(f"{c:.2f}" for _, c in v) +
                                    f" s (median {med[k][1]:.2f})")
        print(f"  {k:10s}: wall " + " ".join(f"{w:.2f}" for w, _ in v) +
              f" s (median {med[k][0]:.2f})" + cpu)
    pairs = statistics.median(b[0] / a[0] for a, b in zip(runs["earlier"], runs["this build"]))
    cpu = "" if processes else f", cpu {med['this build'][1] / med['earlier'][1]:.2f}"
    print(f"  this build / earlier: wall {med['this build'][0] / med['earlier'][0]:.2f} "
          f"(medians), {pairs:.2f} (median of the pairs)" + cpu)


def refine_in_job(path, levels, processes, libdir=None):
    """Wall seconds of refineAllElements(levels) after balance in an mpirun job of `processes`
    (libdir as in refine_in_child)."""
    code = ("import sys, time, _pymosk\n"
            "from mpi4py import MPI\n"
            "comm = MPI.COMM_WORLD\n"
            "g = _pymosk.Grid(sys.argv[1])\n"
            "g.balance(1.05)\n"
            "comm.Barrier(); w = time.perf_counter()\n"
            "g.refineAllElements(int(sys.argv[2]))\n"
            "comm.Barrier(); w = time.perf_counter() - w\n"
            "if comm.rank == 0: print(w)\n")
    env = library_env(libdir)
    env["OMP_NUM_THREADS"] = "1"
    command = [shutil.which("mpirun"), "--allow-run-as-root", "--oversubscribe", "-x",
               "LD_LIBRARY_PATH", "-np", str(processes), sys.executable, "-c", code, path,
               str(levels)]
    out = subprocess.run(command, check=True, capture_output=True, text=True, env=env).stdout
    return float(out.split()[0])


def against_one_process(path, levels, processes, rounds):
    one, many = [], []
    for _ in range(rounds):
        one.append(refine_in_job(path, levels, 1))
        many.append(refine_in_job(path, levels, processes))
    for name, v in (("1 process", one), (f"{processes} processes", many)):
        print(f"  {name:12s}: " + " ".join(f"{w:.2f}" for w in v) +
              f" s (median {statistics.median(v):.2f})")
    pairs = statistics.median(b / a for a, b in zip(one, many))
    target = f" (target on 2: {TARGET_TWO_PROCESSES})" if processes == 2 else ""
    print(f"  {processes} processes / 1: {statistics.median(many) / statistics.median(one):.2f} "
          f"(medians), {pairs:.2f} (median of the pairs){target}")


def main():
    args = sys.argv[1:]

    def option(name, default):
        """The value after `name` (taken out of args), else default."""
        if name not in args:
            return default
        i = args.index(name)
        value = args[i + 1]
        del args[i:i + 2]
        return value

    libdir = option("--compare", None)
    processes = int(option("--processes", 0))
    rounds = int(option("--rounds", 3))
    target = int(args[0]) if args else 1_000_000
    path = mesh_path([None] + args)
    counts = probe_levels(path, target)
    levels = len(counts)
    refine = f"refineAllElements({levels}) to {counts[-1]} leaf elements"
    if processes and libdir:
        title = (f"balance, then {refine} on {processes} processes, {rounds} interleaved rounds, "
                 f"earlier library from {libdir}")
        run, run_args = compare, (path, levels, libdir, rounds, processes)
    elif processes:
        title = (f"balance, then {refine}, {rounds} interleaved rounds of 1 and {processes} "
                 f"processes")
        run, run_args = against_one_process, (path, levels, processes, rounds)
    elif libdir:
        title = f"{refine}, {rounds} interleaved rounds, earlier library from {libdir}"
        run, run_args = compare, (path, levels, libdir, rounds)
    if processes or libdir:
        print(f"mesh: {path}: {title}")
        print(machine_load("start"))
        run(*run_args)
        print(machine_load("end"))
        return
    g = _pymosk.Grid(path)
    n0 = g.getNumElements()
    print(f"mesh: {path}: {n0} tetrahedra; {levels} levels reach {target} leaf elements "
          f"(per level: {' -> '.join(str(c) for c in [n0] + counts)})")
    print(machine_load("start"))

    rss_before = peak_rss_bytes()
    wall, cpu = time.perf_counter(), time.process_time()
    g.refineAllElements(levels)
    wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
    rss_after = peak_rss_bytes()
    n = g.getNumElements()
    # Every bisection turns one leaf into two records, so the store holds this many records.
    records = n0 + 2 * (n - n0)

    print(f"refineAllElements({levels}): {n0} -> {n} leaf elements ({records} element records "
          f"in the store), {wall:.3f} s wall, {cpu:.3f} s cpu")
    print(f"  {n / wall:,.0f} leaf elements per second (wall; target >= {TARGET_RATE:,}), "
          f"{n / cpu:,.0f} per cpu second")
    print(f"  {(records - n0) / wall:,.0f} element records made per second (wall)")
    grown = rss_after - rss_before
    print(f"peak memory: {grown / max(n, 1):.0f} bytes per leaf element (target <= {TARGET_BYTES})")
    print("  measure: growth of the process's peak resident set (VmHWM) across the "
          "call, divided by the final leaf count. It covers the element store with every level's "
          "records, the coordinates, the leaf numbering and the temporaries of refinement and "
          "numbering; the interpreter, libraries and the imported mesh "
          f"({rss_before / 1e6:.0f} MB peak before) are not counted.")

    out = os.path.join("out", "cube.vtu")
    os.makedirs("out", exist_ok=True)
    w = timed(lambda: g.exportVTK(out))
    print(f"exportVTK({out!r}): {w:.3f} s, {os.path.getsize(out) / 1e6:.1f} MB, "
          f"{w / n * 1e9:.0f} ns per element")


if __name__ == "__main__":
    main()
