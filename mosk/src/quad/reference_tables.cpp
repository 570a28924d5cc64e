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

// The rule applied to the reference gradients d phi / d l_a - d phi / d l_0 of the table.
ReferenceStiffness build_stiffness(const ReferenceTable& t) {
    ReferenceStiffness r;
    const std::size_t nb = std::size_t(t.nb), n = std::size_t(t.n);
    r.nb = t.nb;
    std::vector<double> grad(3 * nb * n);  // [(3 k + a - 1) * n + q]
    for (std::size_t k = 0; k < nb; ++k)
        for (int a = 1; a <= 3; ++a)
            for (std::size_t q = 0; q < n; ++q)
                grad[(3 * k + a - 1) * n + q] =
                    t.dlambda_of(int(k), a)[q] - t.dlambda_of(int(k), 0)[q];
    r.entries.assign(nb * nb * 6, 0.0);
    for (std::size_t k = 0; k < nb; ++k)
        for (std::size_t l = 0; l < nb; ++l)
            for (int s = 0; s < 6; ++s) {
                const int a = kGradientPairs[s][0] - 1, b = kGradientPairs[s][1] - 1;
                double sum = 0;
                for (std::size_t q = 0; q < n; ++q) {
                    const double w = t.rule->weights[q];
                    sum += w * grad[(3 * k + a) * n + q] * grad[(3 * l + b) * n + q];
                    if (a != b) sum += w * grad[(3 * k + b) * n + q] * grad[(3 * l + a) * n + q];
                }
                r.entries[(k * nb + l) * 6 + s] = sum;
            }
    return r;
}

ReferenceMass build_mass(const ReferenceTable& tv, const ReferenceTable& tf) {
    ReferenceMass r;
    r.nv = tv.nb;
    r.nf = tf.nb;
    r.entries.assign(std::size_t(r.nv) * r.nf, 0.0);
    for (int k = 0; k < r.nv; ++k)
        for (int l = 0; l < r.nf; ++l) {
            double sum = 0;
            for (int q = 0; q < tv.n; ++q)
                sum += tv.rule->weights[q] * tv.values_of(k)[q] * tf.values_of(l)[q];
            r.entries[std::size_t(k) * r.nf + l] = sum;
        }
    return r;
}

}  // namespace

const ReferenceMass& reference_mass(int pv, int pf, int q) {
    const ReferenceTable& tv = reference_table(pv, q);
    const ReferenceTable& tf = reference_table(pf, q);
    static std::array<std::array<std::array<BuiltOnce<ReferenceMass>, kMaxTetRuleDegree + 1>,
                                 kMaxLagrangeDegree + 1>,
                      kMaxLagrangeDegree + 1>
        tables;
    return tables[pv][pf][q].get([&] { return build_mass(tv, tf); });
}

const ReferenceStiffness& reference_stiffness(int p, int q) {
    const ReferenceTable& t = reference_table(p, q);
    static std::array<std::array<BuiltOnce<ReferenceStiffness>, kMaxTetRuleDegree + 1>,
                      kMaxLagrangeDegree + 1>
        tables;
    return tables[p][q].get([&] { return build_stiffness(t); });
}

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
