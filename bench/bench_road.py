"""The whole finite-element road through the module, phase by phase, against a reference run on
the same mesh in the same run.

Problem: -laplace(u) = 0 in the unit cube, u = g on its boundary, with the exact solution
g = 1 + x^2 + 2 y^2 - 3 z^2 + x y (P2 reproduces it up to the solver tolerance; P1 shows its
discretisation error at the vertices).

Module, per case in a fresh process (so that the peak resident set is that case's): import and
refine, fields (u, f) and the solver, the element loop (element matrix and load vector,
Dirichlet treatment, addition), solve ("cg": CG with algebraic multigrid), export to .vtu. The
process runs with PETSc's -log_view, so that solve()'s wall time can be set beside PETSc's own
time for the same solve on the same matrix (KSPSetUp + PCSetUp + KSPSolve). The element loop is
set against its floor: the same walk over the elements with the same number of module calls,
each a trivial one (Dof.getNBas).

Reference, per case in a fresh process: scikit-fem on the same vertices and tetrahedra (read
from the module's .vtu), assembly of the same matrix and load vector, Dirichlet condensation,
then PyAMG smoothed aggregation as the preconditioner of SciPy's CG at the same relative
tolerance (1e-10). Both sides run on one thread (OMP/OpenBLAS threads 1).

Meshes: P1 from meshes/cube.msh refined 3, 5, 7 levels (about 1e4, 1e5, 1e6 unknowns); P2 from a
gmsh cube of mesh size 0.16 refined 1, 3, 5 levels. The actual counts are printed.

    bench_road.py [--sizes 1e4,1e5,1e6] [--orders 1,2] [--no-reference] [--keep DIR]

The default runs all six cases with the reference: about 7 minutes of one core, nearly all of it
in the two 1e6 cases (and their 6 GB reference processes); --sizes 1e4,1e5 takes about a minute.
Figures only; nothing here passes or fails.
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

from timing import machine_load, peak_rss_bytes

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:0] = [os.path.join(ROOT, "tools"), os.path.join(ROOT, "examples")]
from gmsh_meshes import write_mesh  # noqa: E402

RTOL = 1e-10  # the module's default (-solver_rtol); the reference uses the same
SIZES = ("1e4", "1e5", "1e6")
# (mesh, refinement levels) per order and size; "gmsh" is a gmsh cube of mesh size 0.16 (which
# puts 1, 3 and 5 levels near 1e4, 1e5 and 1e6 P2 unknowns).
CASES = {
    1: {"1e4": ("cube.msh", 3), "1e5": ("cube.msh", 5), "1e6": ("cube.msh", 7)},
    2: {"1e4": ("gmsh", 1), "1e5": ("gmsh", 3), "1e6": ("gmsh", 5)},
}
TARGET_SOLVE_RATIO = 1.2  # solve() wall over PETSc's own time
TARGET_LOOP_RATIO = 3.0   # element loop over its floor of empty module calls
# Trivial module calls per element in the floor: as many as the road makes besides the
# iterator's own (quadGradBasDotGradBas, quadDofTimesBas, getGlobalIndex, getDirichletBC,
# processBoundary, addMatrixEntries, addRHSEntries).
CALLS_PER_ELEMENT = 7


def exact(p):
    x, y, z = p
    return [1 + x * x + 2 * y * y - 3 * z * z + x * y]


def exact_array(x, y, z):
    return 1 + x * x + 2 * y * y - 3 * z * z + x * y


def source(p):
    return [0.0]  # -laplace(exact) = -(2 + 4 - 6)


# ---------------------------------------------------------------------------------------------
# The module's side (child process)

def exact_points(x):
    return exact_array(x[:, 0], x[:, 1], x[:, 2])


def run_module(mesh, levels, order, vtu, sync=lambda: None, blocks=False):
    """The road, phase by phase; sync() runs before every clock reading (a barrier on several
    processes, so that no phase's time holds another process's lateness). blocks: the element
    loop block by block (no floor is then measured)."""
    import _pymosk
    from poisson_road import assemble, assemble_blocks

    sync()
    t0 = time.perf_counter()
    grid = _pymosk.Grid(mesh)
    grid.balance(1.05)
    grid.refineAllElements(levels)
    grid.balance(1.05)
    sync()
    t1 = time.perf_counter()
    u = _pymosk.Dof(grid, "P", order, name="u")
    f = _pymosk.Dof(grid, "P", order, udf=source, name="f")
    sync()
    t2 = time.perf_counter()
    solver = _pymosk.Solver("cg", u)
    solver.setSymmetry(_pymosk.Solver.SPD)
    sync()
    t3 = time.perf_counter()
    if blocks:
        assemble_blocks(grid, solver, u, f, exact_points)
    else:
        assemble(grid, solver, u, f, exact)
    sync()
    t4 = time.perf_counter()
    solver.solve(u)
    sync()
    t5 = time.perf_counter()
    grid.exportVTK(vtu, [u, f])
    sync()
    t6 = time.perf_counter()
    t = dict(grid=t1 - t0, fields=t2 - t1, solver=t3 - t2, loop=t4 - t3, solve=t5 - t4,
             export=t6 - t5)
    rss = peak_rss_bytes() / 2 ** 20

    floor = None
    if not blocks:
        nbas = u.getNBas
        t0 = time.perf_counter()
        for e in grid.getElementIterator():
            nbas(e); nbas(e); nbas(e); nbas(e); nbas(e); nbas(e); nbas(e)  # noqa: E702
        floor = time.perf_counter() - t0

    iterations = int(str(solver).split()[1])  # "iter N maxit M residual R rtol T"
    residual = float(str(solver).split()[5])
    return dict(elements=grid.getNumElements(), unknowns=u.getSize(), times=t, floor=floor,
                peak_mb=rss, iterations=iterations, residual=residual)


def petsc_solve_seconds(log_path):
    """PETSc's own seconds for the solve, from a -log_view flame graph (lines "a;b;c
    microseconds", each the time spent in the innermost event itself): everything under
    KSPSetUp, PCSetUp and KSPSolve. The library calls KSPSetUp before KSPSolve, and KSPSetUp
    runs PCSetUp after its own event closes, so the three are separate roots."""
    roots = {}
    with open(log_path) as fh:
        for line in fh:
            stack, _, micro = line.rpartition(" ")
            if stack:
                root = stack.split(";")[0]
                roots[root] = roots.get(root, 0.0) + float(micro) * 1e-6
    parts = {k: roots.get(k, 0.0) for k in ("KSPSetUp", "PCSetUp", "KSPSolve")}
    return sum(parts.values()), parts


# ---------------------------------------------------------------------------------------------
# The reference (child process)

def run_reference(vtu, order):
    import meshio
    import pyamg
    import scipy.sparse.linalg as spla
    from skfem import Basis, ElementTetP1, ElementTetP2, LinearForm, MeshTet, condense
    from skfem.models.poisson import laplace

    t0 = time.perf_counter()
    m = meshio.read(vtu)
    mesh = MeshTet(np.ascontiguousarray(m.points.T), np.ascontiguousarray(m.cells_dict["tetra"].T))
    ours = np.asarray(m.point_data["u"]).ravel()
    t1 = time.perf_counter()

    @LinearForm
    def load(v, w):
        return w.f * v

    # Rules of the integrands' degrees, as the module's quadrature picks them: 2(p-1) for the
    # stiffness, 2p for the load (a second basis on the same DOFs).
    element = ElementTetP1() if order == 1 else ElementTetP2()
    basis = Basis(mesh, element, intorder=2 * (order - 1))
    A = laplace.assemble(basis)
    load_basis = Basis(mesh, element, intorder=2 * order, dofs=basis.dofs, disable_doflocs=True)
    fh = np.zeros(basis.N)  # the source, interpolated (zero, as source() is)
    b = load.assemble(load_basis, f=load_basis.interpolate(fh))
    # Boundary DOFs by their coordinates on the cube's faces: skfem's own get_dofs() first builds
    # the mesh's facets, which alone costs about as much as the assembly (5 s at 1e5 P1).
    x, y, z = basis.doflocs
    D = np.flatnonzero(np.any((np.abs(basis.doflocs) < 1e-12) |
                              (np.abs(basis.doflocs - 1) < 1e-12), axis=0))
    xh = np.zeros(basis.N)
    xh[D] = exact_array(x[D], y[D], z[D])
    AI, bI, xh, I = condense(A, b, x=xh, D=D)
    t2 = time.perf_counter()
    ml = pyamg.smoothed_aggregation_solver(AI)
    M = ml.aspreconditioner(cycle="V")
    t3 = time.perf_counter()
    count = [0]
    xI, info = spla.cg(AI, bI, rtol=RTOL, maxiter=10000, M=M,
                       callback=lambda _: count.__setitem__(0, count[0] + 1))
    t4 = time.perf_counter()
    if info != 0:
        raise RuntimeError(f"reference CG did not converge (info {info})")
    xh[I] = xI
    rss = peak_rss_bytes() / 2 ** 20

    nv = mesh.p.shape[1]  # the vertex values come first in the global numbering
    px, py, pz = mesh.p
    return dict(times=dict(mesh=t1 - t0, assemble=t2 - t1, amg_setup=t3 - t2, cg=t4 - t3),
                unknowns=int(basis.N), peak_mb=rss, iterations=count[0],
                residual=float(np.linalg.norm(bI - AI @ xI) / np.linalg.norm(bI)),
                error=float(np.abs(xh[:nv] - exact_array(px, py, pz)).max()),
                diff=float(np.abs(xh[:nv] - ours).max()))


# ---------------------------------------------------------------------------------------------
# The driver

def child(args, env_extra=None):
    env = dict(os.environ, OMP_NUM_THREADS="1", OPENBLAS_NUM_THREADS="1", **(env_extra or {}))
    out = subprocess.run([sys.executable, os.path.abspath(__file__)] + args, env=env,
                         capture_output=True, text=True)
    if out.returncode != 0:
        sys.exit(f"bench_road.py: case {' '.join(args)} failed ({out.returncode}):\n"
                 f"{out.stderr}")
    return json.loads(out.stdout.strip().splitlines()[-1])


def vertex_error(vtu):
    import meshio
    m = meshio.read(vtu)
    x, y, z = m.points.T
    return float(np.abs(np.asarray(m.point_data["u"]).ravel() - exact_array(x, y, z)).max())


def case_mesh(order, size, work):
    """(mesh file, refinement levels) of a case; the gmsh cube is written into `work` once."""
    mesh_name, levels = CASES[order][size]
    if mesh_name == "cube.msh":
        return os.path.join(ROOT, "meshes", "cube.msh"), levels
    path = os.path.join(work, "cube_016.msh")
    if not os.path.exists(path):
        write_mesh(path, shape="box", h=0.16)
    return path, levels


def run_case(order, size, work, reference):
    mesh, levels = case_mesh(order, size, work)
    vtu = os.path.join(work, f"road_p{order}_{size}.vtu")
    log = os.path.join(work, f"road_p{order}_{size}_petsc_log.txt")
    r = child(["--case", "module", "--mesh", mesh, "--levels", str(levels),
               "--order", str(order), "--vtu", vtu],
              {"MOSK_OPTIONS": os.environ.get("MOSK_OPTIONS", "") +
               f" -log_view :{log}:ascii_flamegraph"})
    r["mesh"], r["levels"] = CASES[order][size][0], levels
    r["petsc"], r["petsc_parts"] = petsc_solve_seconds(log)
    r["error"] = vertex_error(vtu)
    if reference:
        r["ref"] = child(["--case", "reference", "--vtu", vtu, "--order", str(order)])
    return r


def module_total(r):
    t = r["times"]
    return t["grid"] + t["fields"] + t["solver"] + t["loop"] + t["solve"]


def print_tables(rows):
    print("\nModule, by phase (s); to solution = import+refine .. solve, export excluded; "
          "rel. res = ||b - A x|| / ||b||;\nvertex err = max |u - exact| at the vertices "
          "(read back from the .vtu)")
    print(f"{'case':>7} {'mesh, levels':>13} {'elements':>9} {'unknowns':>9} {'import+ref':>10} "
          f"{'fields':>7} {'Solver()':>8} {'loop':>7} {'solve':>7} {'export':>7} "
          f"{'to sol.':>8} {'peak MB':>8} {'its':>4} {'rel. res':>8} {'vertex err':>10}")
    for r in rows:
        t = r["times"]
        print(f"{r['case']:>7} {r['mesh'] + ', ' + str(r['levels']):>13} {r['elements']:>9} "
              f"{r['unknowns']:>9} {t['grid']:>10.2f} {t['fields']:>7.2f} {t['solver']:>8.2f} "
              f"{t['loop']:>7.2f} {t['solve']:>7.2f} {t['export']:>7.2f} {module_total(r):>8.2f} "
              f"{r['peak_mb']:>8.0f} {r['iterations']:>4} {r['residual']:>8.1e} "
              f"{r['error']:>10.2e}")

    refs = [r for r in rows if "ref" in r]
    if refs:
        print("\nReference (scikit-fem assembly, PyAMG smoothed aggregation + SciPy CG), by phase "
              "(s); mesh = read the module's .vtu")
        print(f"{'case':>7} {'unknowns':>9} {'mesh':>7} {'assemble':>8} {'AMG setup':>9} "
              f"{'CG':>7} {'to sol.':>8} {'peak MB':>8} {'its':>4} {'rel. res':>8} "
              f"{'vertex err':>10} {'max |ours-ref|':>14}")
        for r in refs:
            f, t = r["ref"], r["ref"]["times"]
            print(f"{r['case']:>7} {f['unknowns']:>9} {t['mesh']:>7.2f} {t['assemble']:>8.2f} "
                  f"{t['amg_setup']:>9.2f} {t['cg']:>7.2f} {sum(t.values()):>8.2f} "
                  f"{f['peak_mb']:>8.0f} {f['iterations']:>4} {f['residual']:>8.1e} "
                  f"{f['error']:>10.2e} {f['diff']:>14.2e}")

    print(f"\nsolve() against PETSc's own time for the same solve (KSPSetUp + PCSetUp + KSPSolve "
          f"from -log_view), target <= {TARGET_SOLVE_RATIO}x;\nelement loop against "
          f"{CALLS_PER_ELEMENT} Dof.getNBas calls per element on the same iterator, target <= "
          f"{TARGET_LOOP_RATIO}x")
    print(f"{'case':>7} {'solve()':>8} {'PETSc':>8} {'(setup':>7} {'PCSetUp':>7} {'KSPSolve)':>9} "
          f"{'ratio':>6} {'loop us/el':>10} {'floor us/el':>11} {'ratio':>6}")
    for r in rows:
        p, n = r["petsc_parts"], r["elements"]
        loop, floor = r["times"]["loop"] / n * 1e6, r["floor"] / n * 1e6
        print(f"{r['case']:>7} {r['times']['solve']:>8.3f} {r['petsc']:>8.3f} "
              f"{p['KSPSetUp']:>7.3f} {p['PCSetUp']:>7.3f} {p['KSPSolve']:>9.3f} "
              f"{r['times']['solve'] / r['petsc']:>6.2f} {loop:>10.2f} {floor:>11.2f} "
              f"{loop / floor:>6.2f}")

    if refs:
        print("\nTime to solution (s), module against reference; target: module below the "
              "reference at 1e6 unknowns")
        print(f"{'case':>7} {'unknowns':>9} {'module':>8} {'reference':>9} {'ratio':>6} "
              f"{'peak MB mod/ref':>15}")
        for r in refs:
            mod, ref = module_total(r), sum(r["ref"]["times"].values())
            print(f"{r['case']:>7} {r['unknowns']:>9} {mod:>8.2f} {ref:>9.2f} {mod / ref:>6.2f} "
                  f"{r['peak_mb']:>7.0f}/{r['ref']['peak_mb']:<7.0f}")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--sizes", default=",".join(SIZES),
                    help="comma-separated subset of " + ",".join(SIZES))
    ap.add_argument("--orders", default="1,2", help="comma-separated subset of 1,2")
    ap.add_argument("--no-reference", action="store_true", help="skip the scikit-fem reference")
    ap.add_argument("--keep", metavar="DIR", help="write the .vtu files and PETSc logs here")
    # One case in this process (used by the driver).
    ap.add_argument("--case", choices=("module", "reference"), help=argparse.SUPPRESS)
    ap.add_argument("--mesh", help=argparse.SUPPRESS)
    ap.add_argument("--levels", type=int, help=argparse.SUPPRESS)
    ap.add_argument("--order", type=int, help=argparse.SUPPRESS)
    ap.add_argument("--vtu", help=argparse.SUPPRESS)
    a = ap.parse_args()

    if a.case == "module":
        print(json.dumps(run_module(a.mesh, a.levels, a.order, a.vtu)))
        return
    if a.case == "reference":
        print(json.dumps(run_reference(a.vtu, a.order)))
        return

    sizes = [s.strip() for s in a.sizes.split(",")]
    orders = [int(o) for o in a.orders.split(",")]
    for s in sizes:
        if s not in SIZES:
            ap.error(f"--sizes: unknown size {s!r} (known: {', '.join(SIZES)})")
    for o in orders:
        if o not in CASES:
            ap.error(f"--orders: unknown order {o} (known: 1, 2)")

    print("bench_road.py " + " ".join(sys.argv[1:]))
    print(machine_load("start"), flush=True)
    with tempfile.TemporaryDirectory() as tmp:
        work = a.keep or tmp
        os.makedirs(work, exist_ok=True)
        rows = []
        for order in orders:
            for size in sizes:
                start = time.perf_counter()
                r = run_case(order, size, work, not a.no_reference)
                r["case"] = f"P{order} {size}"
                rows.append(r)
                print(f"  {r['case']}: {r['unknowns']} unknowns, {r['elements']} elements, "
                      f"case done in {time.perf_counter() - start:.0f} s", flush=True)
        print_tables(rows)
    print(machine_load("end"))


if __name__ == "__main__":
    main()
