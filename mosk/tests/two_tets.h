// A grid of two tetrahedra sharing a face, for tests that need a small mesh without a file.
#pragma once

#include <utility>

#include "grid/grid_impl.h"
#include "io/mesh_data.h"
#include "mosk.h"

inline GRID_* new_two_tet_grid() {
    GRID_* grid = moskNewGrid(-1);
    mosk::MeshData m;
    m.points = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {1, 1, 1}};
    m.tets = {{0, 1, 2, 3}, {1, 2, 3, 4}};
    mosk::impl_of(grid).assign(std::move(m), "two tets");
    return grid;
}
