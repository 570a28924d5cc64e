// The mesh file formats read_mesh chooses between. Each reader starts at the beginning of the
// scanner's text and throws FormatError (through the scanner) for malformed content.
#pragma once

#include "io/mesh_data.h"
#include "io/mesh_scanner.h"

namespace mosk::io {

MeshData read_gmsh(Scanner& in);   // MSH 2.x and 4.1, ASCII and binary
MeshData read_medit(Scanner& in);  // Medit .mesh, ASCII
// The tetrahedra of a binary MSH 4.1 file (-1 for another file), and one slice of them; `file`
// (when given) is the mapping `in` scans, whose pages the slice reader gives back as it goes.
int64_t gmsh_sliceable_tetrahedra(Scanner& in);
MeshSlice read_gmsh_slice(Scanner& in, const MappedFile* file, int part, int parts);

}  // namespace mosk::io
