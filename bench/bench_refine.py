"""Refinement speed and memory: the sample cube refined level by level to at least a million leaf
elements, then the refined grid written as .vtu.
Usage: bench_refine.py [target leaf elements] [mesh file]
The figures are printed with the targets they are meant to meet; nothing here passes or fails."""
import os
import resource
import subprocess
import sys
import tempfile
import time

import _pymosk

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TARGET_RATE = 1_000_000  # leaf elements per second of refinement
TARGET_BYTES = 400       # peak bytes per leaf element

# A stand-in for meshes/cube.msh (unit cube, labelled sides) when the repository has none; gmsh
# runs in its own process so that its libraries never share one with the module's.
GMSH = r"""
import sys, gmsh
gmsh.initialize(interruptible=False)
gmsh.option.setNumber("General.Terminal", 0)
gmsh.option.setNumber("General.NumThreads", 1)
gmsh.model.occ.addBox(0, 0, 0, 1, 1, 1)
gmsh.model.occ.synchronize()
for _, tag in gmsh.model.getEntities(2):
    gmsh.model.addPhysicalGroup(2, [tag], tag)
gmsh.model.addPhysicalGroup(3, [1], 1)
gmsh.option.setNumber("Mesh.MeshSizeMax", 0.2)
gmsh.model.mesh.generate(3)
gmsh.option.setNumber("Mesh.MshFileVersion", 4.1)
gmsh.option.setNumber("Mesh.Binary", 0)
gmsh.write(sys.argv[1])
gmsh.finalize()
"""


def peak_rss_bytes():
    # ru_maxrss is in kilobytes on Linux.
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def mesh_path(argv, tmp):
    if len(argv) > 2:
        return argv[2]
    path = os.path.join(ROOT, "meshes", "cube.msh")
    if os.path.exists(path):
        return path
    path = os.path.join(tmp, "cube.msh")
    subprocess.run([sys.executable, "-c", GMSH, path], check=True)
    return path


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
    with tempfile.TemporaryDirectory() as tmp:
        path = mesh_path(sys.argv, tmp)
        counts = probe_levels(path, target)
        g = _pymosk.Grid(path)
    n0 = g.getNumElements()
    levels = len(counts)
    print(f"mesh: {path}: {n0} tetrahedra; {levels} levels reach {target} leaf elements "
          f"(per level: {' -> '.join(str(c) for c in [n0] + counts)})")
    print(f"machine load (1-minute average) at start: {os.getloadavg()[0]:.2f} on "
          f"{os.cpu_count()} cores")

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
    print("  measure: growth of the process's peak resident set (getrusage ru_maxrss) across the "
          "call, divided by the final leaf count. It covers the element store with every level's "
          "records, the coordinates, the leaf numbering and the temporaries of refinement and "
          "numbering; the interpreter, libraries and the imported mesh "
          f"({rss_before / 1e6:.0f} MB peak before) are not counted.")

    out = os.path.join("out", "cube.vtu")
    try:
        os.makedirs("out", exist_ok=True)
        w = time.perf_counter()
        g.exportVTK(out)
        w = time.perf_counter() - w
        print(f"exportVTK({out!r}): {w:.3f} s, {os.path.getsize(out) / 1e6:.1f} MB, "
              f"{w / n * 1e9:.0f} ns per element")
    except Exception as err:  # the writer may not be there yet
        print(f"exportVTK({out!r}): not available ({type(err).__name__}: {err})")


if __name__ == "__main__":
    main()
