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


def main():
    target = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    with tempfile.TemporaryDirectory() as tmp:
        path = mesh_path(sys.argv, tmp)
        g = _pymosk.Grid(path)
    n0 = g.getNumElements()
    print(f"mesh: {path}: {n0} tetrahedra; refining to at least {target} leaf elements")
    print(f"machine load (1-minute average) at start: {os.getloadavg()[0]:.2f} on "
          f"{os.cpu_count()} cores")

    rss_before = peak_rss_bytes()
    wall = cpu = 0.0
    level = 0
    n = n0
    while n < target:
        w, c = time.perf_counter(), time.process_time()
        g.refineAllElements(1)
        w, c = time.perf_counter() - w, time.process_time() - c
        wall += w
        cpu += c
        level += 1
        before, n = n, g.getNumElements()
        print(f"  level {level}: {before} -> {n} leaf elements ({n / before:.2f}x), "
              f"{w:.3f} s wall, {c:.3f} s cpu")
        if n <= before:
            print("  refinement did not add elements; stopping")
            break
    rss_after = peak_rss_bytes()

    print(f"refinement: {n0} -> {n} leaf elements in {level} levels, {wall:.3f} s wall, "
          f"{cpu:.3f} s cpu")
    if wall > 0:
        print(f"  {n / wall:,.0f} leaf elements per second of refinement (wall), "
              f"{n / cpu:,.0f} per cpu second (target >= {TARGET_RATE:,})")
        print(f"  {(n - n0) / wall:,.0f} new leaf elements per second (wall)")
    grown = rss_after - rss_before
    print(f"peak memory: {grown / max(n, 1):.0f} bytes per leaf element (target <= {TARGET_BYTES})")
    print("  measure: growth of the process's peak resident set (getrusage ru_maxrss) from just "
          "before the first level to after the last, divided by the final leaf count. It covers "
          "the element store with every level's records, the coordinates, the leaf numbering and "
          "the temporaries of refinement and numbering; the interpreter, libraries and the "
          f"imported mesh ({rss_before / 1e6:.0f} MB peak before) are not counted.")

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
