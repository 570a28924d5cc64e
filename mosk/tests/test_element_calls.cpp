// The calls that answer for a whole element at once agree with the calls per basis function,
// and the element currency check sees every change of the store registry at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <vector>

#include "grid/grid_impl.h"
#include "mosk.h"

namespace {

DOF_TYPE_* lagrange(int p) { return moskDofTypesList[0].types[p - 1]; }

mosk::MeshData two_tets() {
    mosk::MeshData m;
    m.points = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {1, 1, 1}};
    m.tets = {{0, 1, 2, 3}, {1, 2, 3, 4}};
    return m;
}

GRID_* refined_grid() {
    GRID_* grid = moskNewGrid(-1);
    mosk::impl_of(grid).assign(two_tets(), "two tets");
    moskRefineAllElements(grid, 2);
    return grid;
}

std::vector<ELEMENT_*> leaves(GRID_* grid) {
    std::vector<ELEMENT_*> out;
    for (int c = 0; ELEMENT_* e = _mosk_step_element(grid, &c, 1); ++c) out.push_back(e);
    return out;
}

void point_sum(double x, double y, double z, double* v) {
    v[0] = x + 2 * y;
    v[1] = z - 1;
}

TEST(ElementCalls, GlobalIndicesAndDirichletDataMatchTheCallsPerBasisFunction) {
    GRID_* grid = refined_grid();
    // Both fields have the two components point_sum writes.
    DOF_* p1 = moskDofNew_(grid, lagrange(1), nullptr, 2, "p1", nullptr, "test", 0);
    DOF_* p3 = moskDofNew_(grid, lagrange(3), nullptr, 2, "p3", nullptr, "test", 0);
    DOF_* both[2] = {p1, p3};
    MAP_* map = moskMapCreateN(2, both);
    int boundary_entries = 0;
    for (ELEMENT_* e : leaves(grid))
        for (int f = 0; f < 2; ++f) {
            DOF_* d = both[f];
            const int n = d->type->nbas;
            std::vector<int> idx(n), mask(n);
            std::vector<double> values(size_t(n) * d->dim);
            ASSERT_EQ(moskMapElementGlobalIndices(map, f, e, idx.data(), n), n);
            ASSERT_EQ(moskDofDirichletBCElement(d, e, point_sum, mask.data(), values.data(), n, 0),
                      n);
            for (int i = 0; i < n; ++i) {
                const int k = moskDofMapE2D_(d, e, i, 1);
                EXPECT_EQ(idx[i], moskMapL2G(map, moskMapD2L_(map, f, k, 1)));
                double one[2] = {0, 0};
                EXPECT_EQ(mask[i], moskDofDirichletBC(d, e, i, point_sum, nullptr, one, 0));
                for (int c = 0; c < d->dim; ++c)
                    EXPECT_EQ(values[size_t(i) * d->dim + c], mask[i] ? one[c] : 0.0);
                boundary_entries += mask[i];
            }
        }
    EXPECT_GT(boundary_entries, 0);
    // Bad arguments are refused, naming the cause.
    ELEMENT_* e = leaves(grid).at(0);
    int idx[20];
    double values[40];
    EXPECT_THROW(moskMapElementGlobalIndices(map, 1, e, idx, 19), std::length_error);
    EXPECT_THROW(moskMapElementGlobalIndices(map, 2, e, idx, 20), std::out_of_range);
    EXPECT_THROW(moskMapElementGlobalIndices(map, 0, nullptr, idx, 4), std::invalid_argument);
    EXPECT_THROW(moskDofDirichletBCElement(p3, e, point_sum, idx, values, 19, 0),
                 std::length_error);
    ELEMENT_* old = e;
    moskRefineAllElements(grid, 1);
    EXPECT_THROW(moskMapElementGlobalIndices(map, 0, old, idx, 4), std::logic_error);
    EXPECT_THROW(moskDofDirichletBCElement(p1, old, point_sum, idx, values, 4, 0),
                 std::invalid_argument);
    moskMapDestroy(&map);
    moskDofFree(&p1);
    moskDofFree(&p3);
    moskFreeGrid(&grid);
}

TEST(ElementCalls, BlockCallsStackTheElementCallsAndCheckTheirRoom) {
    GRID_* grid = refined_grid();
    DOF_* u = moskDofNew_(grid, lagrange(2), nullptr, 1, "u", nullptr, "test", 0);
    std::vector<ELEMENT_*> es = leaves(grid);
    const int n = int(es.size()), nb = u->type->nbas;
    std::vector<double> stiffness(size_t(n) * nb * nb), volumes(n), one(size_t(nb) * nb);
    ASSERT_EQ(moskQuadGradBasAGradBasBlock(n, es.data(), u, nullptr, u, -1, stiffness.data(),
                                           int64_t(stiffness.size())),
              int64_t(stiffness.size()));
    ASSERT_EQ(moskGeomBlock(grid, n, es.data(), volumes.data(), nullptr, n), n);
    // Blocks of order 2 and more compute from reference matrices: equal up to rounding.
    for (int k = 0; k < n; ++k) {
        moskQuadGradBasAGradBasElement(es[k], u, nullptr, u, -1, one.data(), nb * nb);
        double largest = 0;
        for (double a : one) largest = std::max(largest, std::abs(a));
        for (int i = 0; i < nb * nb; ++i)
            ASSERT_NEAR(stiffness[size_t(k) * nb * nb + i], one[i], 1e-14 * largest);
        ASSERT_EQ(volumes[k], moskGeomGetVolume(grid, es[k]));
    }
    EXPECT_THROW(moskQuadGradBasAGradBasBlock(n, es.data(), u, nullptr, u, -1, stiffness.data(),
                                              int64_t(stiffness.size()) - 1),
                 std::length_error);
    EXPECT_THROW(moskQuadBasisBlock(n, es.data(), u, 2, volumes.data(), nullptr, n),
                 std::length_error);
    EXPECT_THROW(moskGeomBlock(grid, -1, es.data(), volumes.data(), nullptr, n),
                 std::invalid_argument);
    moskRefineAllElements(grid, 1);  // every element of es is refined now
    EXPECT_THROW(moskQuadBasABasBlock(1, es.data(), u, nullptr, u, -1, stiffness.data(), nb * nb),
                 std::invalid_argument);
    moskDofFree(&u);
    moskFreeGrid(&grid);
}

TEST(ElementCurrency, ImportAndFreeAreSeenRightAfterAnElementWasFoundCurrent) {
    GRID_* grid = refined_grid();
    GRID_* other = refined_grid();
    ELEMENT_* e = leaves(grid).at(3);
    const uint64_t id = grid->store_id;
    // Asked twice, so that the second answer comes from the thread's last validated store.
    EXPECT_EQ(moskElementIsCurrent(id, e->record, e), 1);
    EXPECT_EQ(moskElementIsCurrent(id, e->record, e), 1);
    ELEMENT_* f = leaves(other).at(0);
    EXPECT_EQ(moskElementIsCurrent(other->store_id, f->record, f), 1);
    EXPECT_EQ(moskElementIsCurrent(id, e->record, f), 0) << "an element of another store";
    EXPECT_EQ(moskElementIsCurrent(id, e->record, e), 1);
    const int e_record = e->record;  // e is not to be read once its store is gone
    mosk::impl_of(grid).assign(two_tets(), "two tets");
    EXPECT_EQ(moskElementIsCurrent(id, e_record, e), 0) << "the store was rebuilt";
    EXPECT_EQ(moskElementIsCurrent(other->store_id, f->record, f), 1);
    const uint64_t other_id = other->store_id;
    const int record = f->record;
    moskFreeGrid(&other);
    EXPECT_EQ(moskElementIsCurrent(other_id, record, f), 0) << "the grid was freed";
    moskFreeGrid(&grid);
}

}  // namespace
