// The structure a preconditioner takes from a field: the interpolation from P1 reproduces every
// linear function at the nodes of P2..P4 fields (so coarse corrections are exact where they should
// be), and the node coordinates of a 3-component field are those of its rows.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "two_tets.h"
#include "grid/grid_impl.h"
#include "mosk.h"
#include "solver/field_structure.h"
#include "solver/map.h"

namespace {

DOF_TYPE_* lagrange(int p) { return moskDofTypesList[0].types[p - 1]; }

double linear(const double* x, int component) {
    return 1 + 2 * x[0] - 3 * x[1] + 0.5 * x[2] + component;
}

class FieldStructure : public ::testing::TestWithParam<std::tuple<int, int>> {
protected:
    void SetUp() override {
        grid = new_two_tet_grid();
        moskRefineAllElements(grid, 2);
    }
    void TearDown() override { moskFreeGrid(&grid); }
    GRID_* grid = nullptr;
};

TEST_P(FieldStructure, InterpolationReproducesLinearFunctions) {
    const auto [order, dim] = GetParam();
    DOF_* u = moskDofNew_(grid, lagrange(order), nullptr, dim, "u", nullptr, "test", 0);
    MAP_* map = moskMapCreateN(1, &u);
    const mosk::FieldStructure fs = mosk::field_structure(mosk::map_impl(map, "test"), true);
    const int n = map->global_size;
    std::vector<double> xyz(3 * std::size_t(n));
    moskDofGetNodeCoordinates(u, xyz.data(), n);

    EXPECT_EQ(fs.order, order);
    EXPECT_EQ(fs.block_size, dim);
    const int vertex_values = mosk::impl_of(grid).num_vertices() * dim;
    if (order == 1) {
        EXPECT_FALSE(fs.multilevel());
    } else {
        // One process: the vertex values are the first rows, in order, and the coarse rows.
        ASSERT_EQ(fs.coarse_size, vertex_values);
        ASSERT_EQ(fs.interp_offsets.size(), std::size_t(n) + 1);
        for (int r = 0; r < n; ++r) {
            double value = 0;
            for (int k = fs.interp_offsets[r]; k < fs.interp_offsets[r + 1]; ++k) {
                const int c = fs.interp_columns[std::size_t(k)];
                ASSERT_GE(c, 0);
                ASSERT_LT(c, fs.coarse_size);
                value +=
                    fs.interp_values[std::size_t(k)] * linear(&xyz[3 * std::size_t(c)], c % dim);
            }
            EXPECT_NEAR(value, linear(&xyz[3 * std::size_t(r)], r % dim), 1e-12) << "row " << r;
        }
    }
    EXPECT_EQ(fs.rigid_body_modes(), dim == 3);
    if (dim == 3) {
        ASSERT_EQ(fs.node_xyz.size(), std::size_t(n));
        for (int r = 0; r < n; ++r)
            EXPECT_EQ(fs.node_xyz[std::size_t(r)], xyz[3 * std::size_t(r - r % 3) + r % 3]);
        if (order > 1)
            for (int r = 0; r < vertex_values; ++r)
                EXPECT_EQ(fs.coarse_xyz[std::size_t(r)], xyz[3 * std::size_t(r - r % 3) + r % 3]);
    }
    moskMapDestroy(&map);
    moskDofFree(&u);
}

INSTANTIATE_TEST_SUITE_P(OrdersAndComponents, FieldStructure,
                         ::testing::Combine(::testing::Values(1, 2, 3, 4),
                                            ::testing::Values(1, 3)));

}  // namespace
