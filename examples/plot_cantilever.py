"""A picture of the cantilever's deflection (examples/cantilever.py writes out/cantilever.vtu):
the beam drawn displaced, the displacement magnified, coloured by its size, over the outline of
the beam at rest; rendered off-screen with pyvista to a PNG.

    pip install pyvista        # optional: only the pictures need it
    python examples/cantilever.py && python examples/plot_cantilever.py [output.png] [magnification]
"""
import pathlib
import sys

try:
    import pyvista as pv
except ImportError:
    sys.exit("this example draws with pyvista: pip install pyvista")
from PIL import Image  # comes with pyvista

root = pathlib.Path(__file__).resolve().parents[1]
target = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else root / "docs" / "cantilever.png"
magnification = float(sys.argv[2]) if len(sys.argv) > 2 else 5.0

beam = pv.read(root / "out" / "cantilever.vtu")
beam.point_data["|u|"] = (beam.point_data["displacement"] ** 2).sum(axis=1) ** 0.5
bent = beam.warp_by_vector("displacement", factor=magnification)

pv.OFF_SCREEN = True
plotter = pv.Plotter(off_screen=True, window_size=(900, 420))
plotter.add_mesh(bent, scalars="|u|", cmap="viridis", show_edges=True, edge_color="#333333",
                 line_width=0.2, ambient=0.35,
                 scalar_bar_args={"title": "size of the displacement "
                                           f"(drawn {magnification:g} times larger)"})
plotter.add_mesh(beam.outline(), color="black")
plotter.camera_position = [(5.0, -22.0, 6.0), (5.0, 0.5, -0.9), (0.0, 0.0, 1.0)]
plotter.camera.zoom(1.7)
target.parent.mkdir(parents=True, exist_ok=True)
image = plotter.screenshot(return_img=True)
# 256 colours keep the PNG small enough to live in the repository.
Image.fromarray(image).quantize(colors=256, method=Image.Quantize.MEDIANCUT).save(target,
                                                                                optimize=True)
print(f"wrote {target}")
