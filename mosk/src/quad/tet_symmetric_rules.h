// Fully symmetric positive quadrature rules on the tetrahedron for low degrees, as orbit tables
// of barycentric points under the permutations of the four vertices.
#pragma once

namespace mosk {

enum class OrbitKind {
    S4,     // the centroid (1 point)
    S31,    // (a, a, a, 1 - 3a), 4 points
    S22,    // (a, a, 1/2 - a, 1/2 - a), 6 points
    S211,   // (a, a, b, 1 - 2a - b), 12 points
    S1111,  // (a, b, c, 1 - a - b - c), 24 points
};

struct SymmetricOrbit {
    OrbitKind kind;
    double weight;  // of each point; the rule's weights sum to 1
    double a, b, c;
};

struct SymmetricRule {
    int degree;  // exact degree (the rule is not exact one degree higher)
    int orbit_count;
    const SymmetricOrbit* orbits;
};

// The symmetric rule used for `degree`, or null where the conical product is used instead.
const SymmetricRule* symmetric_tet_rule(int degree);

}  // namespace mosk
