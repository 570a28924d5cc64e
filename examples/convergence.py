"""Observed convergence of P1, P2 and P3 elements for Poisson's equation on the bundled cube.

Solves -laplace(u) = 4 u_exact with u_exact = sin(2x + 1/2) cos(y) exp(z) and its Dirichlet data,
on a sequence of grids refined by bisection, and prints the L2 and H1-seminorm errors with the
observed rates against h = N^(-1/3), N the number of elements; theory gives p + 1 in L2 and p
in H1 for P(p). (Longest-edge bisection shrinks the largest diameter unevenly from level to
level while the mean element size follows N^(-1/3), so N is the steadier measure of h.)

    python examples/convergence.py [mesh] [--orders 1 2 3] [--levels 0 1 2 3]
"""
import argparse
import math
import pathlib
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import _pymosk  # noqa: E402
from poisson_road import errors, manufactured_solution, manufactured_source, solve_poisson  # noqa: E402

root = pathlib.Path(__file__).resolve().parents[1]


def study(mesh, order, levels):
    """Rows (h, elements, unknowns, L2 error, H1 error, seconds) for each refinement level,
    h = N^(-1/3)."""
    rows = []
    for level in levels:
        t0 = time.perf_counter()
        grid = _pymosk.Grid(mesh)
        grid.refineAllElements(level)
        u, _ = solve_poisson(grid, order, manufactured_solution, manufactured_source)
        l2, h1 = errors(grid, u, manufactured_solution)
        rows.append((grid.getNumElements() ** (-1 / 3), grid.getNumElements(), u.getSize(), l2, h1, time.perf_counter() - t0))
    return rows


def observed_rates(rows, column):
    """Rates of rows[.][column] against h between successive rows."""
    rates = [None]
    for a, b in zip(rows, rows[1:]):
        e0, e1 = a[column], b[column]
        usable = e0 > 0 and e1 > 0 and a[0] != b[0]
        rates.append(math.log(e0 / e1) / math.log(a[0] / b[0]) if usable else None)
    return rates


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("mesh", nargs="?", default=str(root / "meshes" / "cube.msh"))
    parser.add_argument("--orders", type=int, nargs="+", default=[1, 2, 3])
    parser.add_argument("--levels", type=int, nargs="+", default=[0, 1, 2, 3])
    args = parser.parse_args()

    fmt = "{:>3} {:>8} {:>9} {:>9} {:>12} {:>6} {:>12} {:>6} {:>8}"
    print(fmt.format("P", "h", "elements", "unknowns", "L2 error", "rate", "H1 error", "rate",
                     "seconds"))
    for order in args.orders:
        rows = study(args.mesh, order, args.levels)
        l2_rates, h1_rates = observed_rates(rows, 3), observed_rates(rows, 4)
        for (h, n, size, l2, h1, secs), r2, r1 in zip(rows, l2_rates, h1_rates):
            print(fmt.format(order, f"{h:.4f}", n, size, f"{l2:.4e}", "" if r2 is None else f"{r2:.2f}",
                             f"{h1:.4e}", "" if r1 is None else f"{r1:.2f}", f"{secs:.1f}"))
        print(f"    expected rates: L2 {order + 1}, H1 {order}")


if __name__ == "__main__":
    main()
