"""Derives the orbit tables of tet_symmetric_rules.cpp (needs NumPy only).

    python derive_symmetric_rules.py DEGREE S31,S31,S22 [--tries N] [--seed S]

Unknowns: one weight per orbit plus its parameters. Equations: exactness for every symmetric
homogeneous polynomial of degree DEGREE in the barycentric coordinates (the monomial symmetric
functions of the partitions of DEGREE into at most 4 parts), which spans all symmetric
polynomials of degree <= DEGREE on the tetrahedron. Damped Gauss-Newton from random starts with
an analytic Jacobian; a solution with positive weights and points inside is refined in extended
precision and printed as C++ table rows. Underdetermined structures have families of solutions:
different seeds give different members.
"""
import argparse
import itertools
import math

import numpy as np

SIZE = {"S4": 1, "S31": 4, "S22": 6, "S211": 12, "S1111": 24}
NPAR = {"S4": 0, "S31": 1, "S22": 1, "S211": 2, "S1111": 3}
PATTERN = {k: sorted(set(itertools.permutations(p))) for k, p in
           {"S4": (0, 0, 0, 0), "S31": (0, 0, 0, 1), "S22": (0, 0, 1, 1),
            "S211": (0, 0, 1, 2), "S1111": (0, 1, 2, 3)}.items()}


def partitions(q):
    out = []

    def rec(rem, top, cur):
        if len(cur) == 4:
            if rem == 0:
                out.append(tuple(cur))
            return
        for p in range(min(rem, top), -1, -1):
            rec(rem - p, p, cur + [p])
    rec(q, q, [])
    return out


def system(q, dtype):
    """Exponents of all distinct permutations, their partition index and the exact means."""
    exps, group, target = [], [], []
    for j, mu in enumerate(partitions(q)):
        perms = sorted(set(itertools.permutations(mu)))
        exps += perms
        group += [j] * len(perms)
        num = len(perms) * 6 * math.prod(math.factorial(m) for m in mu)
        target.append(dtype(num) / dtype(math.factorial(q + 3)))
    return np.array(exps), np.array(group), np.array(target, dtype=dtype)


def values(kind, p, one):
    """Distinct coordinates of an orbit and their derivatives in its parameters."""
    if kind == "S4":
        return np.array([one / 4]), np.zeros((1, 0))
    if kind == "S31":
        return np.array([p[0], one - 3 * p[0]]), np.array([[1.0], [-3.0]])
    if kind == "S22":
        return np.array([p[0], one / 2 - p[0]]), np.array([[1.0], [-1.0]])
    if kind == "S211":
        return (np.array([p[0], p[1], one - 2 * p[0] - p[1]]),
                np.array([[1.0, 0], [0, 1.0], [-2.0, -1.0]]))
    return (np.array([p[0], p[1], p[2], one - p[0] - p[1] - p[2]]),
            np.array([[1.0, 0, 0], [0, 1.0, 0], [0, 0, 1.0], [-1.0, -1.0, -1.0]]))


def residual(orbits, x, q, dtype=np.float64, jacobian=True):
    E, G, T = system(q, dtype)
    ne = len(T)
    F = np.zeros(ne, dtype=dtype)
    J = np.zeros((ne, len(x)))
    i = 0
    for kind in orbits:
        w, p = x[i], x[i + 1:i + 1 + NPAR[kind]]
        v, dv = values(kind, p, dtype(1))
        pat = np.array(PATTERN[kind])
        P = v[pat]                                        # points x 4
        powers = P[:, None, :] ** E[None, :, :]           # points x terms x 4
        mono = np.prod(powers, axis=2)
        S = np.array([mono[:, G == j].sum() for j in range(ne)], dtype=dtype)
        F += w * S
        if jacobian:
            J[:, i] = S.astype(float)
            for m in range(4):
                Em = E[:, m]
                d = Em * np.where(Em > 0, P[:, m][:, None] ** np.maximum(Em - 1, 0), 0)
                d = d * np.prod(np.delete(powers, m, axis=2), axis=2)
                for a in range(NPAR[kind]):
                    col = d * dv[pat][:, m, a][:, None]
                    J[:, i + 1 + a] += float(w) * np.array(
                        [col[:, G == j].sum() for j in range(ne)], dtype=float)
        i += 1 + NPAR[kind]
    return F / T - 1, J / T.astype(float)[:, None]


def points(orbits, x):
    i, out = 0, []
    for kind in orbits:
        v, _ = values(kind, x[i + 1:i + 1 + NPAR[kind]], type(x[i])(1))
        out.append((x[i], v[np.array(PATTERN[kind])]))
        i += 1 + NPAR[kind]
    return out


def start(orbits, rng):
    n = sum(SIZE[k] for k in orbits)
    x = []
    for kind in orbits:
        x.append(rng.uniform(0.3, 1.5) / n)
        if kind == "S31":
            x.append(rng.uniform(0, 1 / 3))
        elif kind == "S22":
            x.append(rng.uniform(0, 0.25))
        elif kind == "S211":
            a = rng.uniform(0, 0.5)
            x += [a, rng.uniform(0, 1 - 2 * a)]
        elif kind == "S1111":
            x += list(rng.dirichlet([1, 1, 1, 1])[:3])
    return np.array(x)


def solve(orbits, q, rng):
    x = start(orbits, rng)
    r, J = residual(orbits, x, q)
    cost, mu = r @ r, 1e-2
    for _ in range(300):
        dx = -J.T @ np.linalg.solve(J @ J.T + mu * np.eye(len(r)), r)
        rn, Jn = residual(orbits, x + dx, q)
        if rn @ rn < cost:
            x, r, J, cost, mu = x + dx, rn, Jn, rn @ rn, max(mu / 3, 1e-12)
        else:
            mu *= 4
        if cost < 1e-28 or mu > 1e8:
            break
    return x if cost < 1e-26 else None


def refine(orbits, x, q):
    """Newton (minimum-norm steps) on residuals evaluated in extended precision."""
    x = x.astype(np.longdouble)
    for _ in range(20):
        r, J = residual(orbits, x, q, np.longdouble)
        dx = np.linalg.lstsq(J, -r.astype(float), rcond=None)[0]
        x = x + dx.astype(np.longdouble)
        if np.max(np.abs(dx)) < 1e-19:
            break
    return x


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("degree", type=int)
    ap.add_argument("orbits")
    ap.add_argument("--tries", type=int, default=2000)
    ap.add_argument("--seed", type=int, default=1)
    args = ap.parse_args()
    orbits, q = args.orbits.split(","), args.degree
    rng = np.random.default_rng(args.seed)
    for t in range(args.tries):
        x = solve(orbits, q, rng)
        if x is None or any(w <= 0 or P.min() <= 0 for w, P in points(orbits, x)):
            continue
        x = refine(orbits, x, q)
        res = np.max(np.abs(residual(orbits, x, q, np.longdouble, False)[0]))
        nxt = np.max(np.abs(residual(orbits, x, q + 1, np.longdouble, False)[0]))
        print(f"// try {t}: {sum(SIZE[k] for k in orbits)} points, residual {float(res):.1e}, "
              f"degree {q + 1} residual {float(nxt):.1e}")
        i = 0
        for kind in orbits:
            vals = [x[i]] + list(x[i + 1:i + 1 + NPAR[kind]])
            i += 1 + NPAR[kind]
            txt = ", ".join(np.format_float_scientific(v, precision=19, unique=False)
                            for v in vals)
            print(f"    {{K::{kind}, {txt}{', 0' * (4 - len(vals))}}},")
        return
    print("no positive interior solution found")


if __name__ == "__main__":
    main()
