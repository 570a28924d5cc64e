// VTK writers. Both formats are written in large blocks through AtomicFile, so a failed export
// never leaves a partial file under the target name.
#include "io/vtk_writer.h"
#include "core/check.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "io/atomic_file.h"
#include "io/byte_order.h"
#include "io/utf8.h"
#include "mosk_errors.h"

namespace mosk {
namespace {

constexpr int kVtkTetra = 10;
static_assert(sizeof(Point) == 3 * sizeof(double), "coordinates must be packed");

std::string file_name(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// `count` records of `record_bytes` each, filled in place in the file's buffer by fill(p, i).
template <class Fill>
void put_records(AtomicFile& out, std::size_t count, std::size_t record_bytes, Fill&& fill) {
    const std::size_t per_block = std::max<std::size_t>(1, AtomicFile::kBufferSize / record_bytes);
    for (std::size_t i = 0; i < count;) {
        const std::size_t k = std::min(per_block, count - i);
        unsigned char* p = out.room(k * record_bytes);
        for (std::size_t j = 0; j < k; ++j, ++i, p += record_bytes) fill(p, i);
    }
}

template <ByteOrder Order>
void put_doubles(AtomicFile& out, const std::vector<double>& v) {
    if constexpr (host_has_byte_order(Order)) {
        out.write(v.data(), v.size() * sizeof(double));
    } else {
        put_records(out, v.size(), sizeof(double),
                    [&](unsigned char* p, std::size_t i) { store_bytes<Order>(p, v[i]); });
    }
}

template <ByteOrder Order>
void put_points(AtomicFile& out, const VtkPiece& piece) {
    const std::span<const Point> coords = piece.coords;
    if (piece.points.empty() && host_has_byte_order(Order)) {
        out.write(coords.data(), coords.size() * sizeof(Point));
    } else {
        put_records(out, piece.point_count(), sizeof(Point), [&](unsigned char* p, std::size_t i) {
            const Point& x = coords[piece.points.empty() ? i : std::size_t(piece.points[i])];
            for (int c = 0; c < 3; ++c) store_bytes<Order>(p + 8 * c, x[c]);
        });
    }
}

// The piece's point numbers of cell i's four vertices.
std::array<int32_t, 4> cell_points(const VtkPiece& piece, std::size_t i) {
    const int* c = piece.cell(i);
    if (piece.points.empty()) return {c[0], c[1], c[2], c[3]};
    return {piece.point_of[c[0]], piece.point_of[c[1]], piece.point_of[c[2]], piece.point_of[c[3]]};
}

// ---- legacy ------------------------------------------------------------------------------------

// Legacy names are single tokens: whitespace, '%' and non-ASCII bytes become %XX, which the VTK
// reader decodes.
std::string legacy_name(const std::string& name) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    for (unsigned char c : name) {
        if (c <= 0x20 || c >= 0x7f || c == '%') {
            s += '%';
            s += digits[c >> 4];
            s += digits[c & 15];
        } else {
            s += char(c);
        }
    }
    return s;
}

void put_legacy_fields(AtomicFile& out, const std::vector<VtkField>& fields, bool cell_data,
                       std::size_t count) {
    std::size_t k = 0;
    for (const VtkField& f : fields) k += f.cell_data == cell_data;
    if (k == 0) return;
    out.write((cell_data ? "CELL_DATA " : "POINT_DATA ") + std::to_string(count) +
              "\nFIELD FieldData " + std::to_string(k) + "\n");
    for (const VtkField& f : fields) {
        if (f.cell_data != cell_data) continue;
        out.write(legacy_name(f.name) + " " + std::to_string(f.components) + " " +
                  std::to_string(count) + " double\n");
        put_doubles<ByteOrder::big>(out, f.values);
        out.write("\n");
    }
}

void write_legacy(const VtkPiece& piece, AtomicFile& out, const std::vector<VtkField>& fields) {
    const std::size_t np = piece.point_count(), nc = piece.cell_count();
    // CELLS counts its int32 entries; 5 per tetrahedron.
    if (nc > std::size_t(INT32_MAX) / 5)
        fail<std::invalid_argument>("export",
                                    "cannot write '" + out.path() + "': " + std::to_string(nc) +
                                        " cells are too many for the legacy format; write .vtu");
    out.write("# vtk DataFile Version 3.0\nmosk grid\nBINARY\nDATASET UNSTRUCTURED_GRID\n");
    out.write("POINTS " + std::to_string(np) + " double\n");
    put_points<ByteOrder::big>(out, piece);
    out.write("\nCELLS " + std::to_string(nc) + " " + std::to_string(5 * nc) + "\n");
    put_records(out, nc, 5 * sizeof(int32_t), [&](unsigned char* p, std::size_t i) {
        store_bytes<ByteOrder::big>(p, int32_t(4));
        const std::array<int32_t, 4> c = cell_points(piece, i);
        for (int v = 0; v < 4; ++v) store_bytes<ByteOrder::big>(p + 4 * (v + 1), c[v]);
    });
    out.write("\nCELL_TYPES " + std::to_string(nc) + "\n");
    put_records(out, nc, sizeof(int32_t), [](unsigned char* p, std::size_t) {
        store_bytes<ByteOrder::big>(p, int32_t(kVtkTetra));
    });
    out.write("\n");
    put_legacy_fields(out, fields, false, np);
    put_legacy_fields(out, fields, true, nc);
}

// ---- XML ---------------------------------------------------------------------------------------

std::string xml_escaped(const std::string& s) {
    std::string r;
    for (char c : s) {
        switch (c) {
            case '&': r += "&amp;"; break;
            case '<': r += "&lt;"; break;
            case '>': r += "&gt;"; break;
            case '"': r += "&quot;"; break;
            case '\'': r += "&apos;"; break;
            default: r += c;
        }
    }
    return r;
}

// Appended raw data: each array is a UInt64 byte count followed by its bytes; a DataArray's
// offset counts bytes from the '_' that opens the section.
void write_xml(const VtkPiece& piece, AtomicFile& out, const std::vector<VtkField>& fields) {
    const std::size_t np = piece.point_count(), nc = piece.cell_count();
    uint64_t offset = 0;
    auto array = [&](const std::string& attributes, uint64_t bytes) {
        std::string s = "        <DataArray " + attributes + " format=\"appended\" offset=\"" +
                        std::to_string(offset) + "\"/>\n";
        offset += sizeof(uint64_t) + bytes;
        return s;
    };
    std::string head =
        "<?xml version=\"1.0\"?>\n"
        "<VTKFile type=\"UnstructuredGrid\" version=\"1.0\" byte_order=\"LittleEndian\" "
        "header_type=\"UInt64\">\n"
        "  <UnstructuredGrid>\n"
        "    <Piece NumberOfPoints=\"" +
        std::to_string(np) + "\" NumberOfCells=\"" + std::to_string(nc) + "\">\n";
    for (bool cell_data : {false, true}) {
        head += cell_data ? "      <CellData>\n" : "      <PointData>\n";
        for (const VtkField& f : fields)
            if (f.cell_data == cell_data)
                head += array("type=\"Float64\" Name=\"" + xml_escaped(f.name) +
                                  "\" NumberOfComponents=\"" + std::to_string(f.components) + "\"",
                              f.values.size() * sizeof(double));
        head += cell_data ? "      </CellData>\n" : "      </PointData>\n";
    }
    // One statement per array: array() advances the offset, so the order must be fixed.
    head += "      <Points>\n";
    head += array("type=\"Float64\" Name=\"Points\" NumberOfComponents=\"3\"", np * sizeof(Point));
    head += "      </Points>\n      <Cells>\n";
    head += array("type=\"Int32\" Name=\"connectivity\"", 4 * nc * sizeof(int32_t));
    head += array("type=\"Int64\" Name=\"offsets\"", nc * sizeof(int64_t));
    head += array("type=\"UInt8\" Name=\"types\"", nc);
    head +=
        "      </Cells>\n    </Piece>\n  </UnstructuredGrid>\n"
        "  <AppendedData encoding=\"raw\">\n_";
    out.write(head);

    auto block_size = [&](uint64_t bytes) {
        store_bytes<ByteOrder::little>(out.room(sizeof(uint64_t)), bytes);
    };
    for (bool cell_data : {false, true})
        for (const VtkField& f : fields)
            if (f.cell_data == cell_data) {
                block_size(f.values.size() * sizeof(double));
                put_doubles<ByteOrder::little>(out, f.values);
            }
    block_size(np * sizeof(Point));
    put_points<ByteOrder::little>(out, piece);
    block_size(4 * nc * sizeof(int32_t));
    put_records(out, nc, 4 * sizeof(int32_t), [&](unsigned char* p, std::size_t i) {
        const std::array<int32_t, 4> c = cell_points(piece, i);
        for (int v = 0; v < 4; ++v) store_bytes<ByteOrder::little>(p + 4 * v, c[v]);
    });
    block_size(nc * sizeof(int64_t));
    put_records(out, nc, sizeof(int64_t), [](unsigned char* p, std::size_t i) {
        store_bytes<ByteOrder::little>(p, int64_t(4 * (i + 1)));
    });
    block_size(nc);
    put_records(out, nc, 1, [](unsigned char* p, std::size_t) { *p = kVtkTetra; });
    // The newline before the closing tag is what readers that cut the raw block out rely on.
    out.write("\n  </AppendedData>\n</VTKFile>\n");
}

}  // namespace

VtkFormat vtk_format(const std::string& path) {
    const auto slash = path.rfind('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    for (char& c : name) c = char(std::tolower((unsigned char)c));
    // A bare ".vtk" is a hidden file without an extension, not an extension without a name.
    if (name.size() > 4 && name.ends_with(".vtk")) return VtkFormat::legacy;
    if (name.size() > 4 && name.ends_with(".vtu")) return VtkFormat::xml;
    if (name.size() > 5 && name.ends_with(".pvtu")) return VtkFormat::parallel_xml;
    if (name.size() > 4 && name.ends_with(".pvd")) return VtkFormat::series;
    fail<std::invalid_argument>("export",
                                "cannot write '" + path +
                                    "': unknown extension; accepted are .vtk (VTK legacy), .vtu "
                                    "(VTK XML), .pvtu (VTK XML, one piece per process) and .pvd "
                                    "(a time series of .vtu or .pvtu files)");
}

void check_vtk_fields(const VtkPiece& piece, const std::string& path,
                      const std::vector<VtkField>& fields) {
    const std::string op = "export to '" + path + "'";
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const VtkField& f = fields[i];
        // Readers keep one array per name: a second field of the same name would be lost.
        for (std::size_t j = 0; j < i; ++j)
            if (fields[j].name == f.name)
                fail(op, "two fields are named '" + f.name + "'; give each field its own name");
        if (f.name.empty()) fail(op, "a field has no name");
        const std::string field = "field '" + f.name + "' ";
        // Anything else would make the XML file unreadable or break the legacy header line.
        if (!is_clean_utf8(f.name))
            fail(op, field + "has a name that is not UTF-8 or holds control characters");
        if (f.components < 1)
            fail(op, field + "has " + std::to_string(f.components) + " components");
        const std::size_t count = f.cell_data ? piece.cell_count() : piece.point_count();
        if (f.values.size() != count * std::size_t(f.components))
            fail(op, field + "has " + std::to_string(f.values.size()) + " values, expected " +
                         std::to_string(count) + (f.cell_data ? " cells" : " points") + " x " +
                         std::to_string(f.components) + " components");
    }
}

// The index of a .pvtu file: the arrays of the pieces and the pieces' file names.
void write_pvtu_index(const std::string& path, const std::vector<VtkField>& fields, int pieces) {
    AtomicFile out(path, "export");
    std::string text =
        "<?xml version=\"1.0\"?>\n"
        "<VTKFile type=\"PUnstructuredGrid\" version=\"1.0\" byte_order=\"LittleEndian\" "
        "header_type=\"UInt64\">\n"
        "  <PUnstructuredGrid GhostLevel=\"0\">\n";
    for (bool cell_data : {false, true}) {
        text += cell_data ? "    <PCellData>\n" : "    <PPointData>\n";
        for (const VtkField& f : fields)
            if (f.cell_data == cell_data)
                text += "      <PDataArray type=\"Float64\" Name=\"" + xml_escaped(f.name) +
                        "\" NumberOfComponents=\"" + std::to_string(f.components) + "\"/>\n";
        text += cell_data ? "    </PCellData>\n" : "    </PPointData>\n";
    }
    text +=
        "    <PPoints>\n      <PDataArray type=\"Float64\" NumberOfComponents=\"3\"/>\n"
        "    </PPoints>\n";
    for (int p = 0; p < pieces; ++p)
        text += "    <Piece Source=\"" + xml_escaped(file_name(piece_path(path, p))) + "\"/>\n";
    text += "  </PUnstructuredGrid>\n</VTKFile>\n";
    out.write(text);
    out.commit();
}

void write_pvd_index(const std::string& path, const std::vector<VtkStep>& steps) {
    AtomicFile out(path, "export");
    std::string text =
        "<?xml version=\"1.0\"?>\n"
        "<VTKFile type=\"Collection\" version=\"0.1\" byte_order=\"LittleEndian\">\n"
        "  <Collection>\n";
    char time[32];
    for (const VtkStep& s : steps) {
        std::snprintf(time, sizeof time, "%.17g", s.time);
        text += std::string("    <DataSet timestep=\"") + time + "\" part=\"0\" file=\"" +
                xml_escaped(file_name(s.file)) + "\"/>\n";
    }
    text += "  </Collection>\n</VTKFile>\n";
    out.write(text);
    out.commit();
}

std::string piece_path(const std::string& pvtu_path, int rank) {
    return pvtu_path.substr(0, pvtu_path.size() - 5) + "_" + std::to_string(rank) + ".vtu";
}

void write_vtk_file(const std::string& path, VtkFormat format, const VtkPiece& piece,
                    const std::vector<VtkField>& fields) {
    check_vtk_fields(piece, path, fields);
    AtomicFile out(path, "export");
    if (format == VtkFormat::legacy)
        write_legacy(piece, out, fields);
    else
        write_xml(piece, out, fields);
    out.commit();
}

}  // namespace mosk
