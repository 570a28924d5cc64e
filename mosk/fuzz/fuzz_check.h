// What every fuzz target asks of a reader: it returns a mesh whose indices are in range, or
// throws FormatError. Any other exception, a crash or a sanitizer report is a bug.
#pragma once

#include <cstdio>
#include <cstdlib>

#include "grid/grid_impl.h"

namespace mosk::fuzz {

[[noreturn]] inline void broken(const char* what) {
    std::fprintf(stderr, "reader invariant broken: %s\n", what);
    std::abort();
}

inline void check_mesh(const MeshData& m) {
    const size_t np = m.points.size();
    for (const auto& t : m.tets)
        for (int v : t)
            if (v < 0 || size_t(v) >= np) broken("a tetrahedron names a point outside the mesh");
    for (const auto& t : m.triangles)
        for (int v : t)
            if (v < 0 || size_t(v) >= np) broken("a triangle names a point outside the mesh");
    if (m.triangles.size() != m.triangle_labels.size())
        broken("triangles and labels differ in number");
}

// A slice of a binary 4.1 file: its tetrahedra name its points, each with its number in the file.
inline void check_slice(const MeshSlice& s) {
    const size_t np = s.points.size();
    if (s.point_numbers.size() != np) broken("slice points and their numbers differ in number");
    for (const auto& t : s.tets)
        for (int v : t)
            if (v < 0 || size_t(v) >= np) broken("a tetrahedron names a point outside the slice");
    for (int64_t j : s.point_numbers)
        if (j < 0 || j >= s.file_points) broken("a slice point outside the file's nodes");
    if (s.triangles.size() != s.triangle_labels.size())
        broken("triangles and labels differ in number");
}

}  // namespace mosk::fuzz
