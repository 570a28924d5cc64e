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

// Writes the grid's vertices and leaf tetrahedra and the fields to `path`, which appears only
// once it is complete (a temporary in the same directory is renamed onto it). Throws
// std::invalid_argument for an extension other than .vtk or .vtu (any case) or a malformed field,
// FileError (with errno) when the file cannot be written.
void write_vtk(const GridImpl& grid, const std::string& path, const std::vector<VtkField>& fields);

}  // namespace mosk
