// VTK output of a grid and fields on it: legacy (.vtk, binary) or XML (.vtu, appended raw binary),
// chosen by the extension of the path.
#pragma once

#include <string>
#include <vector>

#include "grid/grid_impl.h"

namespace mosk {

// One array of values on the grid. Point data: `components` values per grid vertex (all of
// GridImpl::coords), vertex-major. Cell data: `components` values per leaf element, in leaf order.
struct VtkField {
    std::string name;  // non-empty UTF-8 without control characters
    int components = 1;
    bool cell_data = false;
    std::vector<double> values;
};

// What one file shows of a grid: some of its leaves (`cells`, by leaf number) and the vertices
// they use (`points`, by global vertex number; point_of maps a vertex to its point). Empty lists
// mean the whole grid.
struct VtkPiece {
    const GridImpl& grid;
    std::vector<int> cells, points, point_of;

    std::size_t cell_count() const { return cells.empty() ? grid.leaves.size() : cells.size(); }
    std::size_t point_count() const {
        return points.empty() ? grid.coords.size() : points.size();
    }
};

// Writes the grid's vertices and leaf tetrahedra and the fields to `path`, which appears only
// once it is complete (a temporary in the same directory is renamed onto it). .vtk and .vtu hold
// the whole grid (process 0 writes them); .pvtu is an index of one .vtu piece per process
// (piece_path), each with the elements that process owns and a cell array "process". Collective.
// Throws std::invalid_argument for another extension (any case) or a malformed field, FileError
// (with errno) when a file cannot be written.
void write_vtk(const GridImpl& grid, const std::string& path, const std::vector<VtkField>& fields);

// The piece of process `rank` of a .pvtu file: x.pvtu -> x_<rank>.vtu.
std::string piece_path(const std::string& pvtu_path, int rank);

}  // namespace mosk
