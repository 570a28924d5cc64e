#include "quad/reference_tables.h"

#include <array>

#include "core/built_once.h"

namespace mosk {

namespace {

ReferenceTable build_table(const LagrangeBasis& b, const QuadRule& r) {
    ReferenceTable t;
    t.basis = &b;
    t.rule = &r;
    t.nb = b.size;
    t.n = r.size;
    const size_t n = size_t(r.size), nb = size_t(b.size);
    t.value.resize(nb * n);
    t.dlambda.resize(4 * nb * n);
    t.dlambda_used.assign(4 * nb, 0);
    double v[kMaxLagrangeSize], d[4 * kMaxLagrangeSize];
    for (size_t q = 0; q < n; ++q) {
        const double* lambda = &r.bary[4 * q];
        lagrange_values(b, lambda, v);
        lagrange_derivatives(b, lambda, d);
        for (size_t k = 0; k < nb; ++k) {
            t.value[k * n + q] = v[k];
            for (size_t m = 0; m < 4; ++m) {
                t.dlambda[(4 * k + m) * n + q] = d[4 * k + m];
                t.dlambda_used[4 * k + m] |= d[4 * k + m] != 0;
            }
        }
    }
    return t;
}

}  // namespace

const ReferenceTable& reference_table(int p, int q) {
    // Validate both before touching the cache slots.
    const LagrangeBasis& b = lagrange_basis(p);
    const QuadRule& r = tet_rule(q);
    static std::array<std::array<BuiltOnce<ReferenceTable>, kMaxTetRuleDegree + 1>,
                      kMaxLagrangeDegree + 1>
        tables;
    return tables[p][q].get([&] { return build_table(b, r); });
}

}  // namespace mosk
