// VTK output of a grid and arrays of values on it.
#pragma once

#include <string>
#include <vector>

#include "grid/grid_impl.h"
#include "io/vtk_writer.h"

namespace mosk {

// Writes the grid's vertices and leaf tetrahedra and the fields (point data: one value per grid
// vertex; cell data: one per leaf, in leaf order) to `path`. .vtk and .vtu hold the whole grid
// (process 0 writes them); .pvtu is an index of one .vtu piece per process (piece_path), each
// with the elements that process owns and a cell array "process". Collective. Throws as
// write_vtk_file.
void write_vtk(const GridImpl& grid, const std::string& path, const std::vector<VtkField>& fields);

}  // namespace mosk
