// Medit .mesh (ASCII) straight from the fuzzer's bytes, with '#' comments as read_mesh reads it.
#include <cstddef>
#include <cstdint>

#include "fuzz_check.h"
#include "io/mesh_formats.h"
#include "mosk_errors.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    mosk::io::Scanner in(reinterpret_cast<const char*>(data), size, "fuzz.mesh");
    in.set_hash_comments(true);
    try {
        mosk::fuzz::check_mesh(mosk::io::read_medit(in));
    } catch (const mosk::FormatError&) {}
    return 0;
}
