// The rules of importing a mesh that the whole read and the read in slices share: the checks of
// a tetrahedron and the label-set codes of tetrahedra's faces.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "core/point.h"

namespace mosk {

class GridImpl;

// What is wrong with tetrahedron `t` (vertex numbers, corners x): "repeats a vertex", "is
// degenerate (...)", "is inverted (...)"; empty when it is sound.
std::string tetrahedron_fault(const std::array<int, 4>& t, const std::array<const Point*, 4>& x);
// Throws FormatError for the file's tetrahedron k (0-based) with vertices t (0-based numbers in
// the file), naming the file through `op` and the line when there is one (>= 0).
[[noreturn]] void fail_tetrahedron(const std::string& op, int64_t line, int64_t k,
                                   const std::array<int, 4>& t, const std::string& fault);

// The label-set codes of every tetrahedron's faces (face k opposite vertex k) among `tets` (on
// vertices 0 .. nv - 1), as the numbered leaf mesh gives them, without numbering it: a face of
// one tetrahedron is a boundary face, and the triangles on a face give its labels. The faces
// are bucketed by their smallest vertex and sorted within. New label sets go to `sets`.
std::vector<std::array<int, 4>> face_codes_of(size_t nv,
                                              const std::vector<std::array<int, 4>>& tets,
                                              const std::vector<std::array<int, 3>>& triangles,
                                              const std::vector<int>& triangle_labels,
                                              GridImpl& sets);

}  // namespace mosk
