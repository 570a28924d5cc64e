// The mesh file formats read_mesh chooses between. Each reader starts at the beginning of the
// scanner's text and throws FormatError (through the scanner) for malformed content.
#pragma once

#include "io/mesh_data.h"
#include "io/mesh_scanner.h"

namespace mosk::io {

MeshData read_gmsh(Scanner& in);   // MSH 2.x and 4.1, ASCII and binary
MeshData read_medit(Scanner& in);  // Medit .mesh, ASCII

}  // namespace mosk::io
