// Element geometry against independent computations: 4x4 determinants, Heron's formula, brute
// force over vertex pairs, and the closed surface of a box split into tetrahedra.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <random>
#include <thread>
#include <utility>
#include <vector>

#include "grid/grid_impl.h"
#include "mosk.h"

namespace {

using mosk::MeshData;
using mosk::Point;

struct TestGrid {
    GRID_* g = nullptr;
    explicit TestGrid(MeshData mesh) {
        g = moskNewGrid(0);
        mosk::impl_of(g).assign(std::move(mesh), "test");
    }
    ~TestGrid() { moskFreeGrid(&g); }
    std::vector<ELEMENT_*> leaves() const {
        std::vector<ELEMENT_*> out;
        for (int c = 0; ELEMENT_* e = _mosk_step_element(g, &c, 1); ++c) out.push_back(e);
        return out;
    }
    Point vertex(const ELEMENT_* e, int i) const { return mosk::impl_of(g).vertex(e->verts[i]); }
};

// Six times the signed volume: the determinant of the rows (x, y, z, 1), expanded along the last
// column. The points are first moved by -p0 (exact for nearby points) so that elements far from
// the origin do not lose their digits to cancellation.
double det4(std::array<Point, 4> p) {
    const Point o = p[0];
    for (auto& x : p)
        for (int k = 0; k < 3; ++k) x[k] -= o[k];
    auto det3 = [&](int skip_row) {
        int r[3], k = 0;
        for (int i = 0; i < 4; ++i)
            if (i != skip_row) r[k++] = i;
        double d = 0;
        for (int c = 0; c < 3; ++c) {
            const int c1 = (c + 1) % 3, c2 = (c + 2) % 3;
            d += p[r[0]][c] * (p[r[1]][c1] * p[r[2]][c2] - p[r[1]][c2] * p[r[2]][c1]);
        }
        return d;
    };
    double d = 0;
    for (int i = 0; i < 4; ++i) d += ((i % 2) ? 1 : -1) * det3(i);  // cofactor signs (-1)^(i+3)
    return -d;  // positive when (p1 - p0, p2 - p0, p3 - p0) is right-handed
}

double dist(const Point& a, const Point& b) {
    return std::hypot(a[0] - b[0], a[1] - b[1], a[2] - b[2]);
}

// Heron's formula in Kahan's stable arrangement.
double heron(const Point& p, const Point& q, const Point& r) {
    double s[3] = {dist(p, q), dist(q, r), dist(r, p)};
    std::sort(s, s + 3, std::greater<>());
    const double a = s[0], b = s[1], c = s[2];
    return 0.25 * std::sqrt((a + (b + c)) * (c - (a - b)) * (c + (a - b)) * (a + (b - c)));
}

// Random tetrahedra, each with its own four points, positively oriented and not flat; a few are
// far from the origin or strongly anisotropic.
MeshData random_tets(int n, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(-1, 1);
    MeshData m;
    while (int(m.tets.size()) < n) {
        const int k = int(m.tets.size());
        const double scale = k % 5 == 3 ? 1e-2 : 1.0;
        const double shift = k % 5 == 3 ? 1e5 : 0.0;
        const double squash = k % 5 == 4 ? 1e-3 : 1.0;
        std::array<Point, 4> p;
        for (auto& x : p)
            x = {shift + scale * u(rng), shift + scale * u(rng), squash * scale * u(rng)};
        double h = 0;
        for (int i = 0; i < 4; ++i)
            for (int j = i + 1; j < 4; ++j) h = std::max(h, dist(p[i], p[j]));
        double d = det4(p);
        if (std::fabs(d) < 1e-2 * squash * h * h * h) continue;
        if (d < 0) std::swap(p[2], p[3]);
        const int base = int(m.points.size());
        for (auto& x : p) m.points.push_back(x);
        m.tets.push_back({base, base + 1, base + 2, base + 3});
    }
    return m;
}

// The box [0,a]x[0,b]x[0,c] on a graded n x n x n lattice, each cell split into six tetrahedra.
MeshData box(double a, double b, double c, int n) {
    MeshData m;
    auto coord = [&](int i, double len) { return len * std::pow(double(i) / n, 1.5); };
    auto id = [&](int i, int j, int k) { return (i * (n + 1) + j) * (n + 1) + k; };
    for (int i = 0; i <= n; ++i)
        for (int j = 0; j <= n; ++j)
            for (int k = 0; k <= n; ++k)
                m.points.push_back({coord(i, a), coord(j, b), coord(k, c)});
    const int perms[6][3] = {{0, 1, 2}, {0, 2, 1}, {1, 0, 2}, {1, 2, 0}, {2, 0, 1}, {2, 1, 0}};
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j)
            for (int k = 0; k < n; ++k)
                for (const auto& pm : perms) {
                    int v[3] = {i, j, k};
                    std::array<int, 4> t;
                    t[0] = id(v[0], v[1], v[2]);
                    for (int s = 0; s < 3; ++s) {
                        ++v[pm[s]];
                        t[s + 1] = id(v[0], v[1], v[2]);
                    }
                    std::array<Point, 4> p;
                    for (int s = 0; s < 4; ++s) p[s] = m.points[t[s]];
                    if (det4(p) < 0) std::swap(t[2], t[3]);
                    m.tets.push_back(t);
                }
    return m;
}

std::array<Point, 4> points_of(const TestGrid& g, const ELEMENT_* e) {
    return {g.vertex(e, 0), g.vertex(e, 1), g.vertex(e, 2), g.vertex(e, 3)};
}

TEST(GeometryJacobian, MapsVerticesToBarycentricUnitVectors) {
    TestGrid g(random_tets(60, 7));
    for (ELEMENT_* e : g.leaves()) {
        double out[MOSK_JACOBIAN_SIZE];
        const double* j = moskGeomGetJacobian_(g.g, e, out, nullptr);
        ASSERT_NE(j, nullptr);
        ASSERT_NE(j, out);
        for (int k = 0; k < 16; ++k) EXPECT_EQ(out[k], j[k]);
        for (int v = 0; v < 4; ++v) {
            const Point p = g.vertex(e, v);
            for (int i = 0; i < 4; ++i) {
                const double* r = j + 4 * i;
                const double li = r[0] * p[0] + r[1] * p[1] + r[2] * p[2] + r[3];
                // Even exactly rounded entries leave an error of a few ulps of the largest term
                // (far from the origin the constant is large).
                const double terms = std::fabs(r[0] * p[0]) + std::fabs(r[1] * p[1]) +
                                     std::fabs(r[2] * p[2]) + std::fabs(r[3]);
                EXPECT_NEAR(li, i == v ? 1.0 : 0.0, 1e-14 * (1 + terms)) << "element " << e->index;
            }
        }
        // The coordinates sum to one everywhere: the rows add up to (0, 0, 0, 1).
        double gmax = 0;
        for (int k = 0; k < 16; ++k) gmax = std::max(gmax, std::fabs(j[k]));
        for (int c = 0; c < 4; ++c)
            EXPECT_NEAR(j[c] + j[4 + c] + j[8 + c] + j[12 + c], c == 3 ? 1.0 : 0.0, 1e-13 * gmax);
        // null `out` still fills the returned buffer
        EXPECT_EQ(moskGeomGetJacobian_(g.g, e, nullptr, nullptr)[5], out[5]);
    }
}

TEST(GeometryVolume, IsAbsoluteDeterminantOverSixAndMatchesJacobian) {
    TestGrid g(random_tets(60, 11));
    for (ELEMENT_* e : g.leaves()) {
        const auto p = points_of(g, e);
        const double v = moskGeomGetVolume(g.g, e);
        EXPECT_NEAR(v, std::fabs(det4(p)) / 6, 1e-12 * v);
        // The gradient block of the Jacobian is the inverse edge matrix: its determinant is
        // 1 / (6 V).
        const double* j = moskGeomGetJacobian_(g.g, e, nullptr, nullptr);
        double d3 = 0;
        for (int c = 0; c < 3; ++c) {
            const int c1 = (c + 1) % 3, c2 = (c + 2) % 3;
            d3 += j[4 + c] * (j[8 + c1] * j[12 + c2] - j[8 + c2] * j[12 + c1]);
        }
        EXPECT_NEAR(1 / (6 * d3), v, 1e-9 * v);
    }
}

TEST(GeometryFaces, AreaNormalAndDiameterOfFaceOppositeEachVertex) {
    TestGrid g(random_tets(60, 13));
    for (ELEMENT_* e : g.leaves()) {
        const auto p = points_of(g, e);
        const double vol = moskGeomGetVolume(g.g, e);
        double jac[16];
        moskGeomGetJacobian_(g.g, e, jac, nullptr);
        double sum[3] = {0, 0, 0}, amax = 0;
        for (int f = 0; f < 4; ++f) {
            std::vector<Point> q;  // the face's vertices: all but vertex f
            for (int v = 0; v < 4; ++v)
                if (v != f) q.push_back(p[v]);
            const double area = moskGeomGetFaceArea_(g.g, e, f, nullptr, nullptr);
            EXPECT_NEAR(area, heron(q[0], q[1], q[2]), 1e-9 * area);
            // |grad l_f| is one over the height above face f, and V = area * height / 3.
            const double grad = std::hypot(jac[4 * f], jac[4 * f + 1], jac[4 * f + 2]);
            EXPECT_NEAR(area, 3 * vol * grad, 1e-8 * area);

            const double fd = moskGeomGetFaceDiameter(g.g, e, f);
            EXPECT_DOUBLE_EQ(fd, std::max({dist(q[0], q[1]), dist(q[1], q[2]), dist(q[0], q[2])}));

            const double* n = moskGeomGetFaceNormal(g.g, e, f);
            EXPECT_NEAR(std::hypot(n[0], n[1], n[2]), 1.0, 1e-14);
            double scale = 0;
            for (int s = 1; s < 3; ++s) {
                const Point d = {q[s][0] - q[0][0], q[s][1] - q[0][1], q[s][2] - q[0][2]};
                scale = dist(q[s], q[0]);
                EXPECT_NEAR(n[0] * d[0] + n[1] * d[1] + n[2] * d[2], 0, 1e-12 * scale);
            }
            // away from the opposite vertex
            const Point out = {q[0][0] - p[f][0], q[0][1] - p[f][1], q[0][2] - p[f][2]};
            EXPECT_GT(n[0] * out[0] + n[1] * out[1] + n[2] * out[2], 0);
            for (int k = 0; k < 3; ++k) sum[k] += n[k] * area;
            amax = std::max(amax, area);
        }
        for (double s : sum) EXPECT_NEAR(s, 0, 1e-9 * amax);  // closed surface
    }
}

TEST(GeometryDiameter, IsLongestDistanceBetweenVertices) {
    TestGrid g(random_tets(40, 17));
    for (ELEMENT_* e : g.leaves()) {
        const auto p = points_of(g, e);
        double h = 0;
        for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 4; ++j) h = std::max(h, dist(p[i], p[j]));
        EXPECT_DOUBLE_EQ(moskGeomGetDiameter(g.g, e), h);
    }
}

TEST(GeometryBox, VolumesFillTheBoxAndBoundaryFacesCloseItsSurface) {
    const double a = 1, b = 2, c = 3;
    TestGrid g(box(a, b, c, 4));
    const auto leaves = g.leaves();
    ASSERT_EQ(leaves.size(), size_t(6 * 4 * 4 * 4));
    double volume = 0, surface = 0, flux[3] = {0, 0, 0};
    for (ELEMENT_* e : leaves) {
        volume += moskGeomGetVolume(g.g, e);
        for (int f = 0; f < 4; ++f) {
            if (e->label[f] == 0) continue;  // interior face
            const double area = moskGeomGetFaceArea_(g.g, e, f, nullptr, nullptr);
            const double* n = moskGeomGetFaceNormal(g.g, e, f);
            surface += area;
            for (int k = 0; k < 3; ++k) flux[k] += n[k] * area;
            // A boundary normal is the box's outward axis: its face lies in the plane it names.
            const int axis =
                int(std::max_element(
                        n, n + 3, [](double x, double y) { return std::fabs(x) < std::fabs(y); }) -
                    n);
            EXPECT_NEAR(std::fabs(n[axis]), 1.0, 1e-12);
            const double wall = n[axis] > 0 ? (axis == 0 ? a : axis == 1 ? b : c) : 0.0;
            for (int v = 0; v < 4; ++v)
                if (v != f) {
                    EXPECT_NEAR(g.vertex(e, v)[axis], wall, 1e-12);
                }
        }
    }
    EXPECT_NEAR(volume, a * b * c, 1e-12);
    EXPECT_NEAR(surface, 2 * (a * b + b * c + c * a), 1e-11);
    for (double x : flux) EXPECT_NEAR(x, 0, 1e-12);
}

TEST(GeometryErrors, FaceNumbersOutsideZeroToThreeAreRejected) {
    TestGrid g(random_tets(1, 3));
    ELEMENT_* e = g.leaves().at(0);
    for (int f : {-1, 4, INT_MIN, INT_MAX}) {
        const std::string num = std::to_string(f);
        auto expect = [&](auto&& call, const char* name) {
            try {
                call();
                ADD_FAILURE() << name << " accepted face " << f;
            } catch (const std::out_of_range& err) {
                EXPECT_NE(std::string(err.what()).find(name), std::string::npos) << err.what();
                EXPECT_NE(std::string(err.what()).find(num), std::string::npos) << err.what();
            }
        };
        expect([&] { moskGeomGetFaceArea_(g.g, e, f, nullptr, nullptr); }, "face area");
        expect([&] { moskGeomGetFaceDiameter(g.g, e, f); }, "face diameter");
        expect([&] { moskGeomGetFaceNormal(g.g, e, f); }, "face normal");
    }
}

TEST(GeometryErrors, ForeignNullOrRefinedElementsAndReservedArgumentsAreRejected) {
    TestGrid g(random_tets(2, 5)), other(random_tets(2, 5));
    ELEMENT_* e = g.leaves().at(1);
    ELEMENT_* foreign = other.leaves().at(1);
    int dummy = 0;
    EXPECT_THROW(moskGeomGetVolume(nullptr, e), std::invalid_argument);
    EXPECT_THROW(moskGeomGetVolume(g.g, nullptr), std::invalid_argument);
    EXPECT_THROW(moskGeomGetFaceNormal(g.g, nullptr, 0), std::invalid_argument);
    EXPECT_THROW(moskGeomGetVolume(g.g, foreign), std::invalid_argument);
    EXPECT_THROW(moskGeomGetJacobian_(g.g, foreign, nullptr, nullptr), std::invalid_argument);
    EXPECT_THROW(moskGeomGetJacobian_(g.g, e, nullptr, &dummy), std::invalid_argument);
    EXPECT_THROW(moskGeomGetFaceArea_(g.g, e, 0, &dummy, nullptr), std::invalid_argument);
    EXPECT_THROW(moskGeomGetFaceArea_(g.g, e, 0, nullptr, &dummy), std::invalid_argument);
    // A copy of a record is not the record.
    ELEMENT_ copy = *e;
    EXPECT_THROW(moskGeomGetDiameter(g.g, &copy), std::invalid_argument);
    // A record that has children is no longer a leaf.
    e->refined = 1;
    EXPECT_THROW(moskGeomGetDiameter(g.g, e), std::invalid_argument);
    e->refined = 0;
    EXPECT_GT(moskGeomGetDiameter(g.g, e), 0);
}

TEST(GeometryBuffers, NormalBufferIsPerThread) {
    TestGrid g(random_tets(1, 9));
    ELEMENT_* e = g.leaves().at(0);
    const double* mine = moskGeomGetFaceNormal(g.g, e, 0);
    const double n0[3] = {mine[0], mine[1], mine[2]};
    const double* theirs = nullptr;
    std::thread t([&] { theirs = moskGeomGetFaceNormal(g.g, e, 1); });
    t.join();
    EXPECT_NE(mine, theirs);
    for (int k = 0; k < 3; ++k) EXPECT_EQ(mine[k], n0[k]);
}

}  // namespace
