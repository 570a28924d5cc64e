// Mesh input: the mesh description the readers deliver, which a grid takes over.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "core/point.h"

namespace mosk {

// A mesh as a reader delivers it, before it becomes a grid. Indices are 0-based.
struct MeshData {
    std::vector<Point> points;
    std::vector<std::array<int, 4>> tets;
    std::vector<std::array<int, 3>> triangles;  // labelled surface triangles (any order)
    std::vector<int> triangle_labels;           // one per triangle
    // A triangle in several groups appears once per group, each time with that group's label.
    std::vector<int> tet_labels;  // one per tetrahedron (its volume label), or empty: all 0
    std::vector<int64_t> tet_lines;  // the file line of each tetrahedron; empty for binary files
    // Volume cells of other shapes, counted so that the import can refuse the file instead of
    // silently losing part of the volume.
    int64_t hexahedra = 0, prisms = 0, pyramids = 0;
};

// How every error about reading the mesh file `path` names what failed.
inline std::string mesh_read_operation(const std::string& path) {
    return "read mesh file '" + path + "'";
}

// Reads any supported format, chosen by content. Throws FileError when the file
// cannot be opened or read, FormatError for unknown or malformed content (naming file and line).
MeshData read_mesh(const std::string& path);

}  // namespace mosk
