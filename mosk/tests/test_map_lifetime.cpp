// Maps and solvers outliving one of their fields: every later use is refused instead of reading
// the freed field, and either order of freeing is clean (the sanitizer build checks the memory).
#include <gtest/gtest.h>

#include <stdexcept>

#include "two_tets.h"
#include "grid/grid_impl.h"
#include "mosk.h"

namespace {

class MapLifetime : public ::testing::Test {
protected:
    void SetUp() override {
        grid = new_two_tet_grid();
        u = moskDofNew_(grid, DOF_DEFAULT, nullptr, 1, "u", nullptr, "test", 0);
        v = moskDofNew_(grid, DOF_DEFAULT, nullptr, 1, "v", nullptr, "test", 0);
    }
    void TearDown() override {
        moskDofFree(&u);
        moskDofFree(&v);
        moskFreeGrid(&grid);
    }
    GRID_* grid = nullptr;
    DOF_* u = nullptr;
    DOF_* v = nullptr;
};

TEST_F(MapLifetime, FieldFreedBeforeItsMapAndSolver) {
    DOF_* both[2] = {u, v};
    MAP_* map = moskMapCreateN(2, both);
    SOLVER_* solver = moskSolverCreateN(nullptr, 2, both);
    moskDofFree(&v);
    EXPECT_THROW(moskMapCheckCurrent(map, "check"), std::logic_error);
    EXPECT_THROW(moskMapD2L_(map, 0, 0, 1), std::logic_error);
    const int row = 0;
    const double one = 1;
    EXPECT_THROW(moskMatAddEntries_(solver->matrix, 1, &row, 1, &row, &one, 1, 1, 0),
                 std::logic_error);
    EXPECT_THROW(moskSolverSolveN(solver, 0, 2, both), std::logic_error);
    moskMapDestroy(&map);
    moskSolverDestroy(&solver);
}

TEST_F(MapLifetime, MapFreedBeforeItsFieldsAndOthersUnaffected) {
    MAP_* gone = moskMapCreateN(1, &u);
    MAP_* kept = moskMapCreateN(1, &u);
    moskMapDestroy(&gone);
    moskMapCheckCurrent(kept, "check");  // still current
    moskDofFree(&u);                     // must not reach the destroyed map
    EXPECT_THROW(moskMapCheckCurrent(kept, "check"), std::logic_error);
    moskMapDestroy(&kept);
}

}  // namespace
