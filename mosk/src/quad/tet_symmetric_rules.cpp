// Orbit parameters found by solving the moment equations of each orbit structure with
// derive_symmetric_rules.py (Gauss-Newton from random starts, refined in extended precision);
// the quadrature tests check every rule for exactness, tightness, positivity and inside-ness.
#include "quad/tet_symmetric_rules.h"

namespace mosk {

namespace {

using K = OrbitKind;

constexpr SymmetricOrbit kDeg1[] = {{K::S4, 1.0, 0, 0, 0}};

// a = (5 - sqrt 5) / 20
constexpr SymmetricOrbit kDeg2[] = {{K::S31, 0.25, 1.3819660112501051518e-01, 0, 0}};

// One member of a one-parameter family of positive 8-point rules.
constexpr SymmetricOrbit kDeg3[] = {
    {K::S31, 1.7407571367538033955e-01, 3.2777341036439931442e-01, 0, 0},
    {K::S31, 7.5924286324619660487e-02, 8.4799405599517722041e-02, 0, 0},
};

constexpr SymmetricOrbit kDeg5[] = {
    {K::S31, 1.1268792571801585077e-01, 3.1088591926330060979e-01, 0, 0},
    {K::S31, 7.3493043116361949573e-02, 9.2735250310891226418e-02, 0, 0},
    {K::S22, 4.2546020777081466462e-02, 4.5503704125649649528e-02, 0, 0},
};

constexpr SymmetricOrbit kDeg6[] = {
    {K::S31, 1.0077211055320642994e-02, 4.0673958534611353267e-02, 0, 0},
    {K::S31, 5.5357181543654721689e-02, 3.2233789014227551051e-01, 0, 0},
    {K::S31, 3.9922750258167492682e-02, 2.1460287125915202860e-01, 0, 0},
    {K::S211, 4.8214285714285714217e-02, 6.3661001875017525260e-02, 6.0300566479164914135e-01, 0},
};

constexpr SymmetricOrbit kDeg7[] = {
    {K::S4, 9.5485289464130848697e-02, 0, 0, 0},
    {K::S31, 4.2329581209967029231e-02, 3.1570114977820279938e-01, 0, 0},
    {K::S22, 3.1896927832857579951e-02, 5.0489822598396368763e-02, 0, 0},
    {K::S211, 3.7207130728334621358e-02, 1.8883383102600104763e-01, 5.7517163758700002376e-01, 0},
    {K::S211, 8.1107708299033415392e-03, 2.1265472541483245904e-02, 1.4663881381848494683e-01, 0},
};

// One member of a family of positive 46-point rules.
constexpr SymmetricOrbit kDeg8[] = {
    {K::S31, 5.8997364151833584539e-02, 1.8387075585693175216e-01, 0, 0},
    {K::S31, 2.1038003055468182690e-02, 8.5394319100017002233e-02, 0, 0},
    {K::S31, 2.7592748989124519993e-03, 2.5993900933516961240e-02, 0, 0},
    {K::S31, 3.5111105400451381800e-02, 3.1523202103873505629e-01, 0, 0},
    {K::S22, 3.3883567780091806525e-02, 6.0362259157752173294e-02, 0, 0},
    {K::S211, 1.9613367890041084897e-02, 2.0647006146374794302e-01, 1.8137421654628284807e-02, 0},
    {K::S211, 7.4762657176911448332e-03, 2.3153813669920589582e-02, 7.2715334545429444071e-01, 0},
};

template <int N>
constexpr SymmetricRule rule(int degree, const SymmetricOrbit (&orbits)[N]) {
    return {degree, N, orbits};
}

constexpr SymmetricRule kRules[] = {
    rule(1, kDeg1), rule(2, kDeg2), rule(3, kDeg3), rule(5, kDeg5),
    rule(6, kDeg6), rule(7, kDeg7), rule(8, kDeg8),
};

}  // namespace

const SymmetricRule* symmetric_tet_rule(int degree) {
    // The cheapest rule whose degree covers the request (0 takes the centroid, 4 the 14-point
    // rule of degree 5).
    for (const SymmetricRule& r : kRules)
        if (r.degree >= degree) return &r;
    return nullptr;
}

}  // namespace mosk
