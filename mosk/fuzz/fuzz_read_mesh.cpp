// The public entry point read_mesh on a file holding the fuzzer's bytes: reading the file,
// choosing the format by content (Gmsh, Medit, the rejected binary Medit) and the extension
// hint. The files live in a private temporary directory, removed at exit.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "fuzz_check.h"
#include "mosk_errors.h"

namespace {

const char* const kNames[] = {"input", "input.msh", "input.mesh", "input.MESHB"};

// Made once and never destroyed, so that the exit handler can still use it.
const std::string& directory() {
    static const std::string* const dir = [] {
        const char* base = std::getenv("TMPDIR");
        auto* d =
            new std::string(std::string(base && *base ? base : "/tmp") + "/fuzz_read_mesh_XXXXXX");
        if (!::mkdtemp(d->data())) mosk::fuzz::broken("mkdtemp failed");
        std::atexit([] {
            for (const char* n : kNames) ::unlink((directory() + "/" + n).c_str());
            ::rmdir(directory().c_str());
        });
        return d;
    }();
    return *dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The size picks the extension: every hint gets tried without changing the content.
    const std::string path = directory() + "/" + kNames[size % 4];
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), std::streamsize(size));
        if (!out) mosk::fuzz::broken("cannot write the input file");
    }
    try {
        mosk::fuzz::check_mesh(mosk::read_mesh(path));
    } catch (const mosk::FormatError&) {}
    return 0;
}
