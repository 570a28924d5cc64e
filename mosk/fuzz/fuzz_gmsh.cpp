// Gmsh MSH (2.x and 4.1, ASCII and binary) straight from the fuzzer's bytes.
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
    return 0;
}
