// Mesh input: reads the file whole and hands it to the reader its content calls for. The
// extension only sharpens the message when the content is not recognised.
#include <cstring>
#include <strings.h>

#include "core/check.h"
#include "io/mesh_data.h"
#include "io/mesh_formats.h"

namespace mosk {

namespace {

std::string lower_extension(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    const size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
    std::string ext = path.substr(dot);
    for (char& c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
    return ext;
}

// A grid is made of tetrahedra only: a mesh with other volume cells is refused rather than
// imported without them.
template <class Mesh>
Mesh only_tetrahedra(Mesh mesh, const std::string& path) {
    const std::pair<const char*, int64_t> others[] = {
        {"hexahedra", mesh.hexahedra}, {"prisms", mesh.prisms}, {"pyramids", mesh.pyramids}};
    std::string found;
    for (const auto& [name, count] : others)
        if (count > 0) found += (found.empty() ? "" : ", ") + std::to_string(count) + " " + name;
    if (!found.empty())
        fail<FormatError>(mesh_read_operation(path),
                          "it holds " + found + "; tetrahedra are the only volume cells supported");
    return mesh;
}

MeshData read_any(const std::string& path, const io::FileBytes& bytes) {
    io::Scanner in(bytes.data.get(), bytes.size, path);

    io::Scanner probe = in;
    if (probe.at_end()) probe.fail("the file is empty");
    if (probe.peek_token() == "$MeshFormat") return io::read_gmsh(in);
    probe.set_hash_comments(true);  // a Medit file may begin with comments
    const std::string_view first = probe.peek_token();
    if (first.size() == std::strlen("MeshVersionFormatted") &&
        ::strncasecmp(first.data(), "MeshVersionFormatted", first.size()) == 0) {
        in.set_hash_comments(true);
        return io::read_medit(in);
    }

    const std::string ext = lower_extension(path);
    if (bytes.size >= 4) {
        uint32_t head;
        std::memcpy(&head, bytes.data.get(), 4);
        if (head == 1 || head == __builtin_bswap32(1u))
            io::Scanner(bytes.data.get(), bytes.size, path)
                .fail_line(1,
                           "binary Medit files (.meshb) are not supported; write the mesh "
                           "as ASCII .mesh");
    }
    probe.token("a mesh");
    if (first == "$NOD" || first == "$PTS")
        probe.fail_token("MSH 1 (the file begins with " + std::string(first) +
                         ") is not supported; save the mesh as MSH 2.2 or 4.1");
    if (ext == ".msh")
        probe.fail_token("not a Gmsh mesh: the file does not begin with $MeshFormat");
    if (ext == ".mesh")
        probe.fail_token("not a Medit mesh: the file does not begin with MeshVersionFormatted");
    probe.fail_token(
        "unknown mesh format: neither Gmsh (beginning with $MeshFormat) nor Medit "
        "(beginning with MeshVersionFormatted)");
}

}  // namespace

MeshData read_mesh(const std::string& path) {
    const io::FileBytes bytes = io::read_file_bytes(path);
    return only_tetrahedra(read_any(path, bytes), path);
}

int64_t sliceable_tetrahedra(const std::string& path) {
    const io::MappedFile file(path);
    io::Scanner in(file.data(), file.size(), path);
    if (in.at_end() || io::Scanner(in).peek_token() != "$MeshFormat") return -1;
    return io::gmsh_sliceable_tetrahedra(in);
}

MeshSlice read_mesh_slice(const std::string& path, int part, int parts) {
    const io::MappedFile file(path);
    io::Scanner in(file.data(), file.size(), path);
    return only_tetrahedra(io::read_gmsh_slice(in, &file, part, parts), path);
}

}  // namespace mosk
