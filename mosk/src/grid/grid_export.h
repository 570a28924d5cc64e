// VTK output of a grid and arrays of values on it.
#pragma once

#include <string>
#include <vector>

#include "grid/grid_impl.h"
#include "io/vtk_writer.h"

namespace mosk {

// Writes the grid's vertices and leaf tetrahedra and the fields (point data: one value per grid
// vertex; cell data: one per leaf, in leaf order) to `path`. .vtk and .vtu hold the whole grid
// (process 0 writes them, on several processes from the pieces of the leaves each owns, points
// in increasing vertex number and cells piece by piece); .pvtu is an index of one .vtu piece per process (piece_path), each
// with the elements that process owns and a cell array "process". Collective. Throws as
// write_vtk_file.
// .pvd is a time series: each call writes one step, x_<step>.vtu (x_<step>.pvtu with pieces on
// several processes) beside the index, then rewrites the index with every step of the series so
// far and its time (`time`, or the step number when null). The first call for a path in this run
// starts a new series.
void write_vtk(GridImpl& grid, const std::string& path, const std::vector<VtkField>& fields,
               const double* time = nullptr);

}  // namespace mosk
