"""Refinement speed and memory: the sample cube refined level by level to at least a million leaf
elements, then the refined grid written as .vtu.
Usage: bench_refine.py [target leaf elements] [mesh file]
The figures are printed with the targets they are meant to meet; nothing here passes or fails."""
import os
import subprocess
import sys
import time

import _pymosk
from timing import machine_load, peak_rss_bytes, timed

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TARGET_RATE = 1_000_000  # leaf elements per second of refinement
TARGET_BYTES = 400       # peak bytes per leaf element


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


def main():
    target = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    path = mesh_path(sys.argv)
    counts = probe_levels(path, target)
    g = _pymosk.Grid(path)
    n0 = g.getNumElements()
    levels = len(counts)
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
