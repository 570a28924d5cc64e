// VTK output, the file formats only: legacy (.vtk, binary), XML (.vtu, appended raw binary) and
// the index of a parallel XML file (.pvtu). The writers see points, tetrahedra over them and
// arrays of values; what those mean is the caller's.
#pragma once

#include <cstddef>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "core/point.h"

namespace mosk {

// One array of values. Point data: `components` values per point of the piece, point-major.
// Cell data: `components` values per cell, in cell order.
struct VtkField {
    std::string name;  // non-empty UTF-8 without control characters
    int components = 1;
    bool cell_data = false;
    std::vector<double> values;
};

// What one file shows: tetrahedra over numbered vertices, and the vertices they use.
struct VtkPiece {
    std::span<const Point> coords;                  // every vertex, by number
    std::size_t ncells = 0;
    std::function<const int*(std::size_t)> cell;    // the 4 vertex numbers of cell i
    std::vector<int> points;    // the vertices written, by number; empty: all of coords
    std::vector<int> point_of;  // vertex number -> point written (when `points` is not empty)

    std::size_t cell_count() const { return ncells; }
    std::size_t point_count() const { return points.empty() ? coords.size() : points.size(); }
};

enum class VtkFormat { legacy, xml, parallel_xml, series };

// The format of `path` by its extension (.vtk, .vtu, .pvtu, .pvd for a time series, any case);
// throws std::invalid_argument for another.
VtkFormat vtk_format(const std::string& path);

// Throws std::invalid_argument naming `path` for a field without a name, a name that is not clean
// UTF-8, two fields of one name, or values that do not fit the piece.
void check_vtk_fields(const VtkPiece& piece, const std::string& path,
                      const std::vector<VtkField>& fields);

// Writes the piece and the fields to `path` (legacy or XML), which appears only once it is
// complete (a temporary in the same directory is renamed onto it). Throws as check_vtk_fields,
// and FileError (with errno) when the file cannot be written.
void write_vtk_file(const std::string& path, VtkFormat format, const VtkPiece& piece,
                    const std::vector<VtkField>& fields);

// The index of a .pvtu file: the arrays of `fields` and `pieces` pieces named by piece_path.
void write_pvtu_index(const std::string& path, const std::vector<VtkField>& fields, int pieces);

// One step of a time series: its time and its file, which lies beside the index.
struct VtkStep {
    double time;
    std::string file;
};
// The index of a .pvd time series: every step with its time, in the order given.
void write_pvd_index(const std::string& path, const std::vector<VtkStep>& steps);

// The piece of process `rank` of a .pvtu file: x.pvtu -> x_<rank>.vtu.
std::string piece_path(const std::string& pvtu_path, int rank);

}  // namespace mosk
