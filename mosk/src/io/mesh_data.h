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

// One process's slice of a binary MSH 4.1 file: the file's tetrahedra [first, first +
// tets.size()) of total_tets (the block i * parts / total_tets == part), their vertices, and every
// labelled surface triangle of the file. Nodes are named by their 0-based position among the
// file's nodes, as a whole read numbers its points.
struct MeshSlice {
    int64_t total_tets = 0, first = 0;
    int64_t file_points = 0;                // nodes in the file
    std::vector<std::array<int, 4>> tets;   // positions in `points`
    std::vector<int> tet_labels;            // one per tetrahedron
    std::vector<Point> points;              // the slice's vertices, in file order
    std::vector<int64_t> point_numbers;     // their positions among the file's nodes
    std::vector<std::array<int, 3>> triangles;  // file node positions, as MeshData
    std::vector<int> triangle_labels;
    int64_t hexahedra = 0, prisms = 0, pyramids = 0;
};

// How every error about reading the mesh file `path` names what failed.
inline std::string mesh_read_operation(const std::string& path) {
    return "read mesh file '" + path + "'";
}

// Reads any supported format, chosen by content. Throws FileError when the file
// cannot be opened or read, FormatError for unknown or malformed content (naming file and line).
MeshData read_mesh(const std::string& path);

// The number of tetrahedra of a binary MSH 4.1 file, whose layout lets processes read it in
// slices; -1 for any other file (or content that read_mesh would refuse).
int64_t sliceable_tetrahedra(const std::string& path);
// Slice `part` of `parts` of such a file (see MeshSlice): every check read_mesh makes on the
// file's layout, on the slice's elements (a slice of every other element block is checked too)
// and, for the nodes, every process alike or (repeated tags) a share of them. Throws as
// read_mesh does.
MeshSlice read_mesh_slice(const std::string& path, int part, int parts);

}  // namespace mosk
