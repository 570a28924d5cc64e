// Gmsh MSH (2.x and 4.1, ASCII and binary) straight from the fuzzer's bytes, and a slice of
// what reads as binary 4.1.
#include <cstddef>
#include <cstdint>

#include "fuzz_check.h"
#include "io/mesh_formats.h"
#include "mosk_errors.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    mosk::io::Scanner in(reinterpret_cast<const char*>(data), size, "fuzz.msh");
    try {
        mosk::fuzz::check_mesh(mosk::io::read_gmsh(in));
    } catch (const mosk::FormatError&) {}
    // And the last of two slices, when the bytes read as binary 4.1.
    try {
        mosk::io::Scanner layout(reinterpret_cast<const char*>(data), size, "fuzz.msh");
        if (mosk::io::gmsh_sliceable_tetrahedra(layout) < 0) return 0;
        mosk::io::Scanner again(reinterpret_cast<const char*>(data), size, "fuzz.msh");
        mosk::fuzz::check_slice(mosk::io::read_gmsh_slice(again, nullptr, 1, 2));
    } catch (const mosk::FormatError&) {}
    return 0;
}
