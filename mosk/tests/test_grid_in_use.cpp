// A grid that the library is walking while it calls a user function cannot change: refinement,
// import and balancing from inside the function are refused, the walk finishes on the grid it
// started with, and the grid is free again once the function's call is over.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <stdexcept>
#include <string>

#include "grid/grid_impl.h"
#include "mosk.h"

namespace {

mosk::MeshData two_tets() {
    mosk::MeshData m;
    m.points = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {1, 1, 1}};
    m.tets = {{0, 1, 2, 3}, {1, 2, 3, 4}};
    return m;
}

std::function<void()> inside;  // what the user function does besides returning 1
int calls = 0;
void user_function(double, double, double, double* v) {
    ++calls;
    inside();
    v[0] = 1.0;
}

class GridInUse : public ::testing::Test {
protected:
    void SetUp() override {
        grid = moskNewGrid(0);
        mosk::impl_of(grid).assign(two_tets(), "two tets");
        calls = 0;
    }
    void TearDown() override { moskFreeGrid(&grid); }
    GRID_* grid = nullptr;
};

// Each change the function attempts is refused with std::logic_error; the test records them.
std::function<void()> attempt_changes(GRID_* grid, int& refused) {
    return [grid, &refused] {
        const std::function<void()> changes[] = {
            [&] { moskRefineAllElements(grid, 1); },
            [&] { moskImport_(grid, "/nonexistent.msh", 1); },
            [&] { moskBalanceGrid_(grid, 1.05, 1, 0, 0, moskComm, 0); },
        };
        for (const auto& change : changes) {
            try {
                change();
            } catch (const std::logic_error& e) {
                if (std::string(e.what()).find("in use") != std::string::npos) ++refused;
            }
        }
    };
}

TEST_F(GridInUse, InitialValueFunctionCannotChangeTheGrid) {
    int refused = 0;
    inside = attempt_changes(grid, refused);
    DOF_* d = moskDofNew_(grid, DOF_DEFAULT, nullptr, 1, "u", user_function, __FILE__, __LINE__);
    EXPECT_EQ(calls, 5);  // one call per vertex of the unchanged grid
    EXPECT_EQ(refused, 3 * calls);
    EXPECT_EQ(grid->nelem, 2);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(d->data[i], 1.0);
    moskDofFree(&d);
    moskRefineAllElements(grid, 1);  // free again
    EXPECT_GT(grid->nelem, 2);
}

TEST_F(GridInUse, BoundaryFunctionCannotChangeTheGrid) {
    DOF_* d = moskDofNew_(grid, DOF_DEFAULT, nullptr, 1, "u", nullptr, __FILE__, __LINE__);
    int refused = 0;
    inside = attempt_changes(grid, refused);
    int c = 0;
    ELEMENT_* e = _mosk_step_element(grid, &c, 1);
    double row[4], value = 0;
    EXPECT_EQ(moskDofDirichletBC(d, e, 0, user_function, row, &value, 0), 1);
    EXPECT_EQ(value, 1.0);
    EXPECT_EQ(refused, 3);
    EXPECT_EQ(moskElementIsCurrent(grid->store_id, e->record, e), 1);
    moskDofFree(&d);
}

TEST_F(GridInUse, FunctionThatThrowsLeavesTheGridFree) {
    inside = [] {
        if (calls == 2) throw std::runtime_error("user function failed");
    };
    EXPECT_THROW(moskDofNew_(grid, DOF_DEFAULT, nullptr, 1, "u", user_function, __FILE__, __LINE__),
                 std::runtime_error);
    EXPECT_NO_THROW(moskBalanceGrid_(grid, 1.05, 1, 0, 0, moskComm, 0));
    moskRefineAllElements(grid, 1);
    EXPECT_GT(grid->nelem, 2);
}

TEST_F(GridInUse, BalanceRefusesAnImbalanceThatIsNoBound) {
    for (double x : {0.0, 0.99, -1.0, std::nan("")})
        EXPECT_THROW(moskBalanceGrid_(grid, x, 1, 0, 0, moskComm, 0), std::invalid_argument) << x;
    EXPECT_NO_THROW(moskBalanceGrid_(grid, 1.0, 1, 0, 0, moskComm, 0));
    EXPECT_NO_THROW(moskBalanceGrid_(grid, HUGE_VAL, 1, 0, 0, moskComm, 0));
}

}  // namespace
