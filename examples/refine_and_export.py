"""Reads the bundled cube, refines it, walks its elements and writes the grid as VTK."""
import os
import pathlib
import sys
import time

import _pymosk

root = pathlib.Path(__file__).resolve().parents[1]
mesh = sys.argv[1] if len(sys.argv) > 1 else str(root / "meshes" / "cube.msh")
levels = int(sys.argv[2]) if len(sys.argv) > 2 else 2
out = root / "out"
out.mkdir(exist_ok=True)

grid = _pymosk.Grid(mesh)
print(f"read {mesh}: {grid.getNumElements()} elements")
t = time.perf_counter()
grid.balance(1.05)  # each process keeps its part of the coarse grid
grid.refineAllElements(levels)  # and refines that part alone
grid.balance(1.05)  # even again, should refinement have left the parts uneven
print(f"refined {levels} levels: {grid.getNumElements()} elements "
      f"({time.perf_counter() - t:.3f} s)")
volume = sum(grid.geomGetVolume(e) for e in grid.getElementIterator())
print(f"volume: {volume:.12g}")
target = out / "cube.vtu"
grid.exportVTK(str(target))
print(f"wrote {target} ({os.path.getsize(target)} bytes)")
