// Element quadrature against closed forms: P1 stiffness from the barycentric gradients, the P2
// mass matrix of the reference tetrahedron, integrals of polynomials in barycentric coordinates
// (exact by the factorial formula), and the invalidation of the per-thread cache.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

#include "dof/dof_layout.h"
#include "grid/grid_impl.h"
#include "mosk.h"

namespace {

using mosk::MeshData;
using mosk::Point;

DOF_TYPE_* lagrange(int p) {
    return p == 0 ? moskDofTypesList[1].types[0] : moskDofTypesList[0].types[p - 1];
}

// Separate random tetrahedra whose local vertex order does not follow their global numbers, so
// that P3 and P4 elements use permuted node orders.
MeshData shuffled_tets(int n, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(-1, 1);
    MeshData m;
    while (int(m.tets.size()) < n) {
        std::array<Point, 4> p;
        for (auto& x : p) x = {u(rng), u(rng), u(rng)};
        Point a, b, c;
        for (int k = 0; k < 3; ++k)
            a[k] = p[1][k] - p[0][k], b[k] = p[2][k] - p[0][k], c[k] = p[3][k] - p[0][k];
        const double det = a[0] * (b[1] * c[2] - b[2] * c[1]) - a[1] * (b[0] * c[2] - b[2] * c[0]) +
                           a[2] * (b[0] * c[1] - b[1] * c[0]);
        if (std::fabs(det) < 0.05) continue;
        if (det < 0) std::swap(p[2], p[3]);
        std::array<int, 4> perm{0, 1, 2, 3};
        std::shuffle(perm.begin(), perm.end(), rng);
        const int base = int(m.points.size());
        std::array<int, 4> tet;
        for (int s = 0; s < 4; ++s) {
            m.points.push_back(p[perm[s]]);
            tet[perm[s]] = base + s;
        }
        m.tets.push_back(tet);
    }
    return m;
}

MeshData reference_tet() {
    MeshData m;
    m.points = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    m.tets = {{0, 1, 2, 3}};
    return m;
}

struct Grid {
    GRID_* g = nullptr;
    std::vector<DOF_*> dofs;
    explicit Grid(MeshData mesh) {
        g = moskNewGrid(0);
        mosk::impl_of(g).assign(std::move(mesh), "test");
    }
    ~Grid() {
        for (DOF_*& d : dofs) moskDofFree(&d);
        moskFreeGrid(&g);
    }
    DOF_* field(int p, int dim = 1, MOSK_POINT_FUNC init = nullptr) {
        dofs.push_back(moskDofNew_(g, lagrange(p), nullptr, dim, "f", init, __FILE__, __LINE__));
        return dofs.back();
    }
    std::vector<ELEMENT_*> leaves() const {
        std::vector<ELEMENT_*> out;
        for (int c = 0; ELEMENT_* e = _mosk_step_element(g, &c, 1); ++c) out.push_back(e);
        return out;
    }
    std::array<Point, 4> points(const ELEMENT_* e) const {
        std::array<Point, 4> p;
        for (int m = 0; m < 4; ++m) p[m] = mosk::impl_of(g).vertex(e->verts[m]);
        return p;
    }
};

using Matrix = std::vector<std::vector<double>>;

Matrix grad_grad(ELEMENT_* e, DOF_* u, DOF_* a, DOF_* v, int order = -1) {
    Matrix k(u->type->nbas, std::vector<double>(v->type->nbas));
    for (int i = 0; i < u->type->nbas; ++i)
        for (int j = 0; j < v->type->nbas; ++j)
            k[i][j] = moskQuadGradBasAGradBas(e, u, i, a, v, j, order);
    return k;
}

Matrix mass(ELEMENT_* e, DOF_* u, DOF_* a, DOF_* v, int order = -1) {
    Matrix k(u->type->nbas, std::vector<double>(v->type->nbas));
    for (int i = 0; i < u->type->nbas; ++i)
        for (int j = 0; j < v->type->nbas; ++j) k[i][j] = moskQuadBasABas(e, u, i, a, v, j, order);
    return k;
}

double max_abs(const Matrix& m) {
    double s = 0;
    for (const auto& r : m)
        for (double x : r) s = std::max(s, std::fabs(x));
    return s;
}

void expect_near(const Matrix& a, const Matrix& b, double tol) {
    ASSERT_EQ(a.size(), b.size());
    for (size_t i = 0; i < a.size(); ++i)
        for (size_t j = 0; j < a[i].size(); ++j)
            EXPECT_NEAR(a[i][j], b[i][j], tol) << i << "," << j;
}

double factorial(int n) { return n <= 1 ? 1.0 : n * factorial(n - 1); }

// Integral over a tetrahedron of volume V of l0^a0 l1^a1 l2^a2 l3^a3.
double lambda_integral(double volume, std::array<int, 4> a) {
    return 6 * volume * factorial(a[0]) * factorial(a[1]) * factorial(a[2]) * factorial(a[3]) /
           factorial(a[0] + a[1] + a[2] + a[3] + 3);
}

// Integral of the product of two coordinates x_c x_d over the tetrahedron p.
double coordinate_product_integral(const std::array<Point, 4>& p, double volume, int c, int d) {
    double s = 0;
    for (int m = 0; m < 4; ++m)
        for (int n = 0; n < 4; ++n) {
            std::array<int, 4> a{};
            ++a[m];
            ++a[n];
            s += p[m][c] * p[n][d] * lambda_integral(volume, a);
        }
    return s;
}

// Values of a field on the element in element basis order (first component).
std::vector<double> local_values(const DOF_* d, const ELEMENT_* e) {
    const mosk::ValueBlocks b = mosk::value_blocks(*d, *d->grid);
    std::vector<double> out;
    for (int k = 0; k < d->type->nbas; ++k) out.push_back(d->data[mosk::value_index(*d, b, *e, k)]);
    return out;
}

void quadratic(double x, double y, double z, double* v) { v[0] = x * y + z * z; }
void coordinate_x(double x, double, double, double* v) { v[0] = x; }
void one_and_y(double, double y, double, double* v) {
    v[0] = 1;
    v[1] = y;
}

TEST(ElementQuadratureStiffness, P1IsVolumeTimesGradientProducts) {
    Grid g(shuffled_tets(20, 3));
    DOF_* u = g.field(1);
    for (ELEMENT_* e : g.leaves()) {
        const double* jac = moskGeomGetJacobian_(g.g, e, nullptr, nullptr);
        const double vol = moskGeomGetVolume(g.g, e);
        Matrix expected(4, std::vector<double>(4));
        for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 4; ++j)
                for (int c = 0; c < 3; ++c) expected[i][j] += vol * jac[4 * i + c] * jac[4 * j + c];
        expect_near(grad_grad(e, u, nullptr, u), expected, 1e-12 * max_abs(expected));
    }
}

TEST(ElementQuadratureStiffness, RowSumsVanishAndMatricesAreSymmetric) {
    Grid g(shuffled_tets(6, 5));
    for (int p = 1; p <= 4; ++p) {
        DOF_* u = g.field(p);
        for (ELEMENT_* e : g.leaves()) {
            const Matrix k = grad_grad(e, u, nullptr, u);
            const double scale = max_abs(k);
            for (int i = 0; i < u->type->nbas; ++i) {
                EXPECT_NEAR(std::accumulate(k[i].begin(), k[i].end(), 0.0), 0.0, 1e-11 * scale)
                    << "P" << p << " row " << i;
                for (int j = 0; j < i; ++j) EXPECT_NEAR(k[i][j], k[j][i], 1e-12 * scale);
            }
        }
    }
}

// The energy of the interpolant of a quadratic is exact for P2..P4; on elements with permuted
// node orders this catches a mismatch between the quadrature's basis order and the values' order.
TEST(ElementQuadratureStiffness, EnergyOfAnInterpolatedQuadratic) {
    Grid g(shuffled_tets(6, 11));
    for (int p = 2; p <= 4; ++p) {
        DOF_* u = g.field(p, 1, quadratic);
        for (ELEMENT_* e : g.leaves()) {
            const Matrix k = grad_grad(e, u, nullptr, u);
            const std::vector<double> x = local_values(u, e);
            double energy = 0;
            for (size_t i = 0; i < x.size(); ++i)
                for (size_t j = 0; j < x.size(); ++j) energy += x[i] * k[i][j] * x[j];
            // |grad(xy + z^2)|^2 = y^2 + x^2 + 4 z^2
            const auto pts = g.points(e);
            const double vol = moskGeomGetVolume(g.g, e);
            const double exact = coordinate_product_integral(pts, vol, 1, 1) +
                                 coordinate_product_integral(pts, vol, 0, 0) +
                                 4 * coordinate_product_integral(pts, vol, 2, 2);
            EXPECT_NEAR(energy, exact, 1e-11 * exact) << "P" << p;
        }
    }
}

TEST(ElementQuadratureMass, EntriesSumToTheVolume) {
    Grid g(shuffled_tets(5, 9));
    for (int p = 0; p <= 4; ++p) {
        DOF_* u = g.field(p);
        DOF_* w = g.field(std::max(p - 1, 1));
        for (ELEMENT_* e : g.leaves()) {
            const double vol = moskGeomGetVolume(g.g, e);
            for (DOF_* v : {u, w}) {
                const Matrix m = mass(e, u, nullptr, v);
                double s = 0;
                for (const auto& r : m) s = std::accumulate(r.begin(), r.end(), s);
                EXPECT_NEAR(s, vol, 1e-12) << "P" << p << " x " << v->type->name;
            }
        }
    }
}

TEST(ElementQuadratureMass, P2ReferenceTetrahedronClosedForm) {
    Grid g(reference_tet());
    DOF_* u = g.field(2);
    ELEMENT_* e = g.leaves().at(0);
    const Matrix m = mass(e, u, nullptr, u);
    // In units of V / 420: vertex-vertex 6 (same) and 1; vertex-edge -4 when the edge holds the
    // vertex, -6 otherwise; edge-edge 32 (same), 16 when the edges share a vertex, 8 otherwise.
    const int edge[6][2] = {{0, 1}, {0, 2}, {0, 3}, {1, 2}, {1, 3}, {2, 3}};
    auto holds = [&](int k, int v) { return edge[k][0] == v || edge[k][1] == v; };
    for (int i = 0; i < 10; ++i)
        for (int j = 0; j < 10; ++j) {
            double c;
            if (i < 4 && j < 4)
                c = i == j ? 6 : 1;
            else if (i < 4 || j < 4) {
                const int v = std::min(i, j), k = std::max(i, j) - 4;
                c = holds(k, v) ? -4 : -6;
            } else {
                const int a = i - 4, b = j - 4;
                const bool share = holds(b, edge[a][0]) || holds(b, edge[a][1]);
                c = a == b ? 32 : share ? 16 : 8;
            }
            EXPECT_NEAR(m[i][j], c / 6.0 / 420.0, 1e-15) << i << "," << j;
        }
}

TEST(ElementQuadratureOrder, DefaultOrderMatchesAHighFixedOrder) {
    Grid g(shuffled_tets(3, 13));
    std::vector<DOF_*> fields;
    for (int p = 0; p <= 4; ++p) fields.push_back(g.field(p, 1, quadratic));
    for (ELEMENT_* e : g.leaves())
        for (DOF_* u : fields)
            for (DOF_* v : fields)
                for (DOF_* a : {(DOF_*)nullptr, fields[2], fields[4]}) {
                    const Matrix k = grad_grad(e, u, a, v), m = mass(e, u, a, v);
                    expect_near(k, grad_grad(e, u, a, v, 24), 1e-12 * std::max(1.0, max_abs(k)));
                    expect_near(m, mass(e, u, a, v, 24), 1e-12 * max_abs(m));
                }
    // And a low fixed order really is a different rule.
    ELEMENT_* e = g.leaves().at(0);
    EXPECT_GT(std::fabs(moskQuadBasABas(e, fields[4], 0, nullptr, fields[4], 0, 1) -
                        moskQuadBasABas(e, fields[4], 0, nullptr, fields[4], 0, -1)),
              1e-6);
    EXPECT_NO_THROW(moskQuadBasABas(e, fields[1], 0, nullptr, fields[1], 0, 0));
    EXPECT_NO_THROW(moskQuadBasABas(e, fields[1], 0, nullptr, fields[1], 0, 40));
}

TEST(ElementQuadratureCoefficient, ScalesAndFollowsTheFieldValues) {
    Grid g(shuffled_tets(4, 17));
    DOF_* u = g.field(2);
    DOF_* a = g.field(1);
    for (ELEMENT_* e : g.leaves()) {
        moskDofSetDataByValue(a, 3.0);
        const Matrix k3 = grad_grad(e, u, a, u), m3 = mass(e, u, a, u);
        moskDofSetDataByValue(a, 1.0);
        const Matrix k1 = grad_grad(e, u, nullptr, u), m1 = mass(e, u, nullptr, u);
        for (int i = 0; i < 10; ++i)
            for (int j = 0; j < 10; ++j) {
                EXPECT_NEAR(k3[i][j], 3 * k1[i][j], 1e-12 * max_abs(k1));
                EXPECT_NEAR(m3[i][j], 3 * m1[i][j], 1e-14);
            }
    }
    // A linear coefficient: integral of x l_i l_j by the factorial formula.
    DOF_* x = g.field(1, 1, coordinate_x);
    DOF_* p1 = g.field(1);
    for (ELEMENT_* e : g.leaves()) {
        const auto pts = g.points(e);
        const double vol = moskGeomGetVolume(g.g, e);
        const Matrix m = mass(e, p1, x, p1);
        for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 4; ++j) {
                double exact = 0;
                for (int s = 0; s < 4; ++s) {
                    std::array<int, 4> al{};
                    ++al[s], ++al[i], ++al[j];
                    exact += pts[s][0] * lambda_integral(vol, al);
                }
                EXPECT_NEAR(m[i][j], exact, 1e-14);
            }
    }
    // Writing the values directly (not through the library) still reaches the next call.
    ELEMENT_* e = g.leaves().at(0);
    moskDofSetDataByValue(a, 2.0);
    const double before = moskQuadBasABas(e, u, 0, a, u, 0, -1);
    std::fill(a->data, a->data + a->nvert_values * a->grid->nvert_global, 5.0);
    EXPECT_NEAR(moskQuadBasABas(e, u, 0, a, u, 0, -1), 2.5 * before, 1e-15);
}

TEST(ElementQuadratureDofTimesBas, IntegratesEachComponent) {
    Grid g(shuffled_tets(4, 19));
    DOF_* f = g.field(1, 2, one_and_y);
    for (int p = 1; p <= 4; ++p) {
        DOF_* v = g.field(p);
        for (ELEMENT_* e : g.leaves()) {
            const auto pts = g.points(e);
            const double vol = moskGeomGetVolume(g.g, e);
            const Matrix m = mass(e, v, nullptr, g.field(1));
            double sum[2] = {0, 0};
            for (int i = 0; i < v->type->nbas; ++i) {
                double out[2] = {-1, -1};
                const double first = moskQuadDofTimesBas(e, f, v, i, -1, out);
                EXPECT_EQ(first, out[0]);
                // f = (1, y): component 0 is the integral of phi_i, which the mass row sums give.
                EXPECT_NEAR(out[0], std::accumulate(m[i].begin(), m[i].end(), 0.0), 1e-14);
                sum[0] += out[0];
                sum[1] += out[1];
            }
            EXPECT_NEAR(sum[0], vol, 1e-14);
            const double ybar = (pts[0][1] + pts[1][1] + pts[2][1] + pts[3][1]) / 4;
            EXPECT_NEAR(sum[1], vol * ybar, 1e-14);
        }
    }
    // The result follows the field's values.
    ELEMENT_* e = g.leaves().at(0);
    double out[2];
    moskDofSetDataByValue(f, 2.0);
    moskQuadDofTimesBas(e, f, f, 0, -1, out);
    EXPECT_NEAR(out[0], moskGeomGetVolume(g.g, e) / 2, 1e-14);
    EXPECT_NEAR(out[1], moskGeomGetVolume(g.g, e) / 2, 1e-14);
    f->data[mosk::value_index(*f, mosk::value_blocks(*f, *f->grid), *e, 0) + 1] = 6.0;
    moskQuadDofTimesBas(e, f, f, 0, -1, out);
    // Component 1 is now 2 + 4 l0: its integral against l0 is V (2 / 4 + 4 / 10).
    EXPECT_NEAR(out[1], moskGeomGetVolume(g.g, e) * (2.0 / 4 + 4.0 / 10), 1e-14);
}

TEST(ElementQuadratureCache, ElementsAndThreadsGetTheirOwnMatrices) {
    Grid g(shuffled_tets(8, 23));
    DOF_* u = g.field(3);
    const auto leaves = g.leaves();
    std::vector<Matrix> expected;
    for (ELEMENT_* e : leaves) expected.push_back(grad_grad(e, u, nullptr, u));
    auto run = [&](int offset, int& failures) {
        for (int round = 0; round < 20; ++round)
            for (size_t n = 0; n < leaves.size(); ++n) {
                const size_t k = (n + offset + round) % leaves.size();
                for (int i = 0; i < 20; i += 7)
                    if (moskQuadGradBasAGradBas(leaves[k], u, i, nullptr, u, 19 - i, -1) !=
                        expected[k][i][19 - i])
                        ++failures;
            }
    };
    int f1 = 0, f2 = 0;
    std::thread t1(run, 0, std::ref(f1)), t2(run, 3, std::ref(f2));
    t1.join();
    t2.join();
    EXPECT_EQ(f1 + f2, 0);
}

TEST(ElementQuadratureCache, RefinementAndImportInvalidate) {
    Grid g(reference_tet());
    DOF_* u = g.field(1);
    ELEMENT_* e = g.leaves().at(0);
    const double before = moskQuadGradBasAGradBas(e, u, 0, nullptr, u, 0, -1);
    moskRefineAllElements(g.g, 1);
    EXPECT_THROW(moskQuadGradBasAGradBas(e, u, 0, nullptr, u, 0, -1), std::invalid_argument);
    double total = 0;
    for (ELEMENT_* c : g.leaves())
        for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 4; ++j) total += moskQuadBasABas(c, u, i, nullptr, u, j, -1);
    EXPECT_NEAR(total, 1.0 / 6, 1e-15);
    // A larger tetrahedron in a re-import gets its own matrix even if its record is reused.
    MeshData big = reference_tet();
    for (auto& p : big.points)
        for (double& x : p) x *= 2;
    mosk::impl_of(g.g).assign(std::move(big), "test");
    ELEMENT_* b = g.leaves().at(0);
    EXPECT_NEAR(moskQuadGradBasAGradBas(b, u, 0, nullptr, u, 0, -1), 2 * before, 1e-14);
}

TEST(ElementQuadratureErrors, RejectsBadArguments) {
    Grid g(reference_tet());
    Grid other(reference_tet());
    DOF_* u = g.field(2);
    DOF_* two = g.field(1, 2);
    DOF_* foreign = other.field(1);
    ELEMENT_* e = g.leaves().at(0);
    ELEMENT_* e_other = other.leaves().at(0);
    double out[2];
    EXPECT_THROW(moskQuadGradBasAGradBas(e, nullptr, 0, nullptr, u, 0, -1), std::invalid_argument);
    EXPECT_THROW(moskQuadGradBasAGradBas(e, u, 0, nullptr, foreign, 0, -1), std::invalid_argument);
    EXPECT_THROW(moskQuadBasABas(e, u, 0, foreign, u, 0, -1), std::invalid_argument);
    EXPECT_THROW(moskQuadBasABas(e, u, 0, two, u, 0, -1), std::invalid_argument);
    EXPECT_THROW(moskQuadBasABas(e_other, u, 0, nullptr, u, 0, -1), std::invalid_argument);
    EXPECT_THROW(moskQuadBasABas(nullptr, u, 0, nullptr, u, 0, -1), std::invalid_argument);
    EXPECT_THROW(moskQuadDofTimesBas(e, foreign, u, 0, -1, out), std::invalid_argument);
    EXPECT_THROW(moskQuadDofTimesBas(e, u, u, 0, -1, nullptr), std::invalid_argument);
    for (int bad : {-1, 10}) {
        EXPECT_THROW(moskQuadGradBasAGradBas(e, u, bad, nullptr, u, 0, -1), std::out_of_range);
        EXPECT_THROW(moskQuadBasABas(e, u, 0, nullptr, u, bad, -1), std::out_of_range);
        EXPECT_THROW(moskQuadDofTimesBas(e, two, u, bad, -1, out), std::out_of_range);
    }
    EXPECT_THROW(moskQuadBasABas(e, u, 0, nullptr, u, 0, -2), std::invalid_argument);
    EXPECT_THROW(moskQuadBasABas(e, u, 0, nullptr, u, 0, 41), std::out_of_range);
    EXPECT_THROW(moskQuadDofTimesBas(e, two, u, 0, -7, out), std::invalid_argument);
    // A field whose grid is gone.
    moskFreeGrid(&other.g);
    EXPECT_THROW(moskQuadBasABas(e, u, 0, nullptr, foreign, 0, -1), std::invalid_argument);
    // Failed calls left nothing behind that a good call would see.
    EXPECT_NEAR(moskQuadBasABas(e, u, 0, nullptr, u, 0, -1), 6.0 / 6 / 420, 1e-15);
}

}  // namespace

namespace {

TEST(ElementQuadratureWhole, OneCallGivesEveryEntryOfThePerEntryCalls) {
    Grid g(shuffled_tets(3, 29));
    DOF_* a = g.field(2, 1, quadratic);
    DOF_* f = g.field(1, 2, one_and_y);
    for (int p = 1; p <= 4; ++p) {
        DOF_* u = g.field(p);
        DOF_* v = g.field(p == 1 ? 2 : p - 1);
        for (ELEMENT_* e : g.leaves())
            for (DOF_* coef : {static_cast<DOF_*>(nullptr), a}) {
                const int nu = u->type->nbas, nv = v->type->nbas;
                std::vector<double> k(size_t(nu) * nv), m(k.size()), s(size_t(nv) * 2);
                EXPECT_EQ(moskQuadGradBasAGradBasElement(e, u, coef, v, -1, k.data(), nu * nv),
                          nu * nv);
                EXPECT_EQ(moskQuadBasABasElement(e, u, coef, v, 3, m.data(), nu * nv), nu * nv);
                EXPECT_EQ(moskQuadDofTimesBasElement(e, f, v, -1, s.data(), nv * 2), nv * 2);
                for (int i = 0; i < nu; ++i)
                    for (int j = 0; j < nv; ++j) {
                        EXPECT_EQ(k[size_t(i) * nv + j],
                                  moskQuadGradBasAGradBas(e, u, i, coef, v, j, -1));
                        EXPECT_EQ(m[size_t(i) * nv + j], moskQuadBasABas(e, u, i, coef, v, j, 3));
                    }
                for (int j = 0; j < nv; ++j) {
                    double out[2];
                    moskQuadDofTimesBas(e, f, v, j, -1, out);
                    EXPECT_EQ(s[size_t(j) * 2], out[0]);
                    EXPECT_EQ(s[size_t(j) * 2 + 1], out[1]);
                }
            }
    }
    // Too small a buffer is refused before anything is written.
    ELEMENT_* e = g.leaves().at(0);
    DOF_* u = g.field(2);
    std::vector<double> small(99, -1.0);
    EXPECT_THROW(moskQuadGradBasAGradBasElement(e, u, nullptr, u, -1, small.data(), 99),
                 std::length_error);
    EXPECT_THROW(moskQuadDofTimesBasElement(e, f, u, -1, small.data(), 19), std::length_error);
    EXPECT_THROW(moskQuadBasABasElement(e, u, nullptr, u, -1, nullptr, 100), std::invalid_argument);
    EXPECT_TRUE(std::all_of(small.begin(), small.end(), [](double x) { return x == -1.0; }));
}

}  // namespace
