"""A picture of the demo's solution: Poisson's equation on the bundled cube (as
examples/poisson.py solves it), rendered off-screen with pyvista, one octant of the cube cut away and
coloured by u, to a PNG.

    pip install pyvista        # optional: only this example needs it
    python examples/plot_solution.py [output.png] [refinement levels]

The mesh and the values come straight from the module, without a file in between: node
coordinates of a P1 field give the points, a map over it the cells, and the solution's values at
the element vertices (its first four basis functions on every element) the colours.
"""
import pathlib
import sys

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import _pymosk  # noqa: E402
from poisson_road import manufactured_solution, manufactured_source, solve_poisson  # noqa: E402

try:
    import pyvista as pv
except ImportError:
    sys.exit("this example draws with pyvista: pip install pyvista")

root = pathlib.Path(__file__).resolve().parents[1]
target = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else root / "docs" / "poisson_solution.png"
levels = int(sys.argv[2]) if len(sys.argv) > 2 else 2

grid = _pymosk.Grid(str(root / "meshes" / "cube.msh"))
grid.refineAllElements(levels)
u, _ = solve_poisson(grid, 2, manufactured_solution, manufactured_source)

vertices = _pymosk.Dof(grid, "P", 1)
vertex_map, u_map = _pymosk.Map(vertices), _pymosk.Map(u)
elements = list(grid.getElementIterator())
cells = np.array([vertex_map.getGlobalIndex(e) for e in elements])
u_at_vertices = np.empty(vertices.getSize())
u_values = u.getValues()
for e, c in zip(elements, cells):
    u_at_vertices[c] = u_values[u_map.getGlobalIndex(e)[:4]]

mesh = pv.UnstructuredGrid(np.hstack([np.full((len(cells), 1), 4), cells]).ravel(),
                           np.full(len(cells), pv.CellType.TETRA), vertices.getNodeCoordinates())
mesh.point_data["u"] = u_at_vertices
# The octant nearest the viewer is cut away to show the inside.
(x0, x1, y0, y1, z0, z1), (cx, cy, cz) = mesh.bounds, mesh.center
clipped = mesh.clip_box([cx, x1 + 1, cy, y1 + 1, cz, z1 + 1], invert=True)

pv.OFF_SCREEN = True
plotter = pv.Plotter(off_screen=True, window_size=(720, 540))
plotter.add_mesh(clipped, scalars="u", cmap="viridis", show_edges=True, edge_color="#333333",
                 line_width=0.2, ambient=0.35, scalar_bar_args={"title": "u", "vertical": True})
plotter.add_mesh(mesh.outline(), color="black")
plotter.view_isometric()
target.parent.mkdir(parents=True, exist_ok=True)
image = plotter.screenshot(return_img=True)
# 256 colours keep the PNG small enough to live in the repository (pillow comes with pyvista).
from PIL import Image  # noqa: E402
Image.fromarray(image).quantize(colors=256, method=Image.Quantize.MEDIANCUT).save(target,
                                                                                optimize=True)
print(f"{grid.getNumElements()} elements, P2: {u.getSize()} unknowns; wrote {target}")
