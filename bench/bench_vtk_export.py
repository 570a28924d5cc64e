"""VTK export speed: a gmsh box refined to about a million tetrahedra, written as .vtu and .vtk;
meshio writing the same mesh (read back from our .vtu) is the reference, timed in the same run.
Usage: bench_vtk_export.py [target tetrahedra]"""
import os
import sys
import tempfile

import meshio

import _pymosk
from timing import best_of

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tools"))
from gmsh_meshes import write_mesh  # noqa: E402


def main():
    target = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    with tempfile.TemporaryDirectory() as d:
        msh = os.path.join(d, "box.msh")
        write_mesh(msh, shape="box", h=0.1, labels="none")
        g = _pymosk.Grid(msh)
        while g.getNumElements() < target:
            g.refineAllElements(1)
        n = g.getNumElements()
        print(f"grid: {n} tetrahedra")
        for ext in (".vtu", ".vtk"):
            path = os.path.join(d, "out" + ext)
            t = best_of(3, lambda: g.exportVTK(path))
            size = os.path.getsize(path)
            print(f"exportVTK {ext}: {t:.3f} s, {size / 1e6:.1f} MB, {t / n * 1e9:.0f} ns/tet, "
                  f"{size / t / 1e6:.0f} MB/s")
        mesh = meshio.read(os.path.join(d, "out.vtu"))
        ref = os.path.join(d, "ref.vtu")
        t = best_of(3, lambda: meshio.write(ref, mesh, binary=True, compression=None))
        print(f"reference meshio.write .vtu (binary, uncompressed): {t:.3f} s, "
              f"{os.path.getsize(ref) / 1e6:.1f} MB")


if __name__ == "__main__":
    main()
