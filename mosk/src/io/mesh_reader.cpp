// PLACEHOLDER: replaced by the real readers.
#include <stdexcept>
#include "grid/grid_impl.h"
namespace mosk {
MeshData read_mesh(const std::string& path) { throw std::logic_error("mesh reading not built: " + path); }
}
