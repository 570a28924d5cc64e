// VTK writers. Both formats are written in large blocks through AtomicFile, so a failed export
// never leaves a partial file under the target name.
#include "io/vtk_writer.h"

#include "dof/dof_layout.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>
#include <stdexcept>

#include "core/parallel.h"
#include "io/atomic_file.h"
#include "io/byte_order.h"
#include "mosk_errors.h"

namespace mosk {
namespace {

constexpr int kVtkTetra = 10;
static_assert(sizeof(Point) == 3 * sizeof(double), "coordinates must be packed");

enum class Format { legacy, xml, parallel_xml };

Format format_of(const std::string& path) {
    const auto slash = path.rfind('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    for (char& c : name) c = char(std::tolower((unsigned char)c));
    // A bare ".vtk" is a hidden file without an extension, not an extension without a name.
    if (name.size() > 4 && name.ends_with(".vtk")) return Format::legacy;
    if (name.size() > 4 && name.ends_with(".vtu")) return Format::xml;
    if (name.size() > 5 && name.ends_with(".pvtu")) return Format::parallel_xml;
    throw std::invalid_argument("mosk: export: cannot write '" + path +
                                "': unknown extension; accepted are .vtk (VTK legacy), .vtu "
                                "(VTK XML) and .pvtu (VTK XML, one piece per process)");
}

std::string file_name(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Well-formed UTF-8 (no overlong forms, surrogates or values beyond U+10FFFF), no control
// characters: anything else would make the XML file unreadable or break the legacy header line.
bool acceptable_name(const std::string& s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    for (std::size_t i = 0; i < n;) {
        const unsigned c = p[i];
        if (c < 0x20 || c == 0x7f) return false;
        if (c < 0x80) {
            ++i;
            continue;
        }
        int len;
        unsigned cp;
        if ((c & 0xe0) == 0xc0) len = 2, cp = c & 0x1f;
        else if ((c & 0xf0) == 0xe0) len = 3, cp = c & 0x0f;
        else if ((c & 0xf8) == 0xf0) len = 4, cp = c & 0x07;
        else return false;
        if (i + len > n) return false;
        for (int k = 1; k < len; ++k) {
            if ((p[i + k] & 0xc0) != 0x80) return false;
            cp = (cp << 6) | (p[i + k] & 0x3f);
        }
        static const unsigned min_of_len[5] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < min_of_len[len] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return false;
        i += len;
    }
    return true;
}

void check_fields(const VtkPiece& piece, const std::string& path,
                  const std::vector<VtkField>& fields) {
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const VtkField& f = fields[i];
        // Readers keep one array per name: a second field of the same name would be lost.
        for (std::size_t j = 0; j < i; ++j)
            if (fields[j].name == f.name)
                throw std::invalid_argument("mosk: export to '" + path + "': two fields are named '" +
                                            f.name + "'; give each field its own name");
        const std::string where = "mosk: export to '" + path + "': field '" + f.name + "' ";
        if (f.name.empty())
            throw std::invalid_argument("mosk: export to '" + path + "': a field has no name");
        if (!acceptable_name(f.name))
            throw std::invalid_argument(where +
                                        "has a name that is not UTF-8 or holds control characters");
        if (f.components < 1)
            throw std::invalid_argument(where + "has " + std::to_string(f.components) +
                                        " components");
        const std::size_t count = f.cell_data ? piece.cell_count() : piece.point_count();
        if (f.values.size() != count * std::size_t(f.components))
            throw std::invalid_argument(
                where + "has " + std::to_string(f.values.size()) + " values, expected " +
                std::to_string(count) + (f.cell_data ? " cells" : " points") + " x " +
                std::to_string(f.components) + " components");
    }
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
    const std::vector<Point>& coords = piece.grid.coords;
    if (piece.points.empty() && host_has_byte_order(Order)) {
        out.write(coords.data(), coords.size() * sizeof(Point));
    } else {
        put_records(out, piece.point_count(), sizeof(Point), [&](unsigned char* p, std::size_t i) {
            const Point& x = coords[piece.points.empty() ? i : std::size_t(piece.points[i])];
            for (int c = 0; c < 3; ++c) store_bytes<Order>(p + 8 * c, x[c]);
        });
    }
}

// The piece's point number of vertex v of the piece's cell i.
int32_t cell_point(const VtkPiece& piece, std::size_t i, int v) {
    const ELEMENT_& e = piece.grid.leaf(piece.cells.empty() ? int(i) : piece.cells[i]);
    return int32_t(piece.points.empty() ? e.verts[v] : piece.point_of[e.verts[v]]);
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
        throw std::invalid_argument("mosk: export: cannot write '" + out.path() + "': " +
                                    std::to_string(nc) +
                                    " cells are too many for the legacy format; write .vtu");
    out.write("# vtk DataFile Version 3.0\nmosk grid\nBINARY\nDATASET UNSTRUCTURED_GRID\n");
    out.write("POINTS " + std::to_string(np) + " double\n");
    put_points<ByteOrder::big>(out, piece);
    out.write("\nCELLS " + std::to_string(nc) + " " + std::to_string(5 * nc) + "\n");
    put_records(out, nc, 5 * sizeof(int32_t), [&](unsigned char* p, std::size_t i) {
        store_bytes<ByteOrder::big>(p, int32_t(4));
        for (int v = 0; v < 4; ++v)
            store_bytes<ByteOrder::big>(p + 4 * (v + 1), cell_point(piece, i, v));
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
        "    <Piece NumberOfPoints=\"" + std::to_string(np) + "\" NumberOfCells=\"" +
        std::to_string(nc) + "\">\n";
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
    head += "      </Cells>\n    </Piece>\n  </UnstructuredGrid>\n"
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
        for (int v = 0; v < 4; ++v) store_bytes<ByteOrder::little>(p + 4 * v, cell_point(piece, i, v));
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

// The DOF records as VtkFields: fields with vertex values become point data (their values at
// the vertices; higher-order nodes on edges and faces are not written), piecewise constants cell
// data in leaf order.
std::vector<VtkField> fields_of_dofs(const GridImpl& grid, int n, DOF_** dofs) {
    if (n < 0)
        throw std::invalid_argument("mosk: export: negative field count " + std::to_string(n));
    if (n > 0 && !dofs) throw std::invalid_argument("mosk: export: null field list");
    std::vector<VtkField> fields;
    for (int i = 0; i < n; ++i) {
        const DOF_* d = dofs[i];
        // A record without a grid was never made by moskDofNew_.
        if (!d || !d->grid) throw std::invalid_argument("mosk: export: null field");
        if (d->grid != grid.record)
            throw std::invalid_argument(std::string("mosk: export: field '") +
                                        (d->name ? d->name : "") + "' lives on another grid");
        const ValueBlocks b = value_blocks(*d, *grid.record);
        // A field of an empty grid holds no values, and then no storage either.
        if (!d->data && b.total > 0) throw std::invalid_argument("mosk: export: null field");
        VtkField f;
        f.name = d->name ? d->name : "";
        f.components = d->dim;
        if (d->nvert_values > 0) {
            f.cell_data = false;
            f.values.resize(grid.coords.size() * size_t(d->dim));
            for (size_t v = 0; v < grid.coords.size(); ++v)
                for (int c = 0; c < d->dim; ++c)
                    f.values[v * d->dim + c] = d->data[b.vert + int64_t(v) * d->nvert_values + c];
        } else if (d->nelem_values > 0) {
            f.cell_data = true;
            f.values.resize(grid.leaves.size() * size_t(d->dim));
            for (size_t e = 0; e < grid.leaves.size(); ++e)
                for (int c = 0; c < d->dim; ++c)
                    f.values[e * d->dim + c] = d->data[b.elem + int64_t(e) * d->nelem_values + c];
        } else {
            throw std::invalid_argument(std::string("mosk: export: field '") +
                                        (d->name ? d->name : "") +
                                        "' has neither vertex nor element values");
        }
        fields.push_back(std::move(f));
    }
    return fields;
}


// The index of a .pvtu file: the arrays of the pieces and the pieces' file names.
void write_pvtu_index(const std::string& path, const std::vector<VtkField>& fields,
                      int pieces) {
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
    text += "    <PPoints>\n      <PDataArray type=\"Float64\" NumberOfComponents=\"3\"/>\n"
            "    </PPoints>\n";
    for (int p = 0; p < pieces; ++p)
        text += "    <Piece Source=\"" + xml_escaped(file_name(piece_path(path, p))) + "\"/>\n";
    text += "  </PUnstructuredGrid>\n</VTKFile>\n";
    out.write(text);
    out.commit();
}

// The part of the grid one process owns: its leaves and the vertices they use, in increasing
// global number.
VtkPiece owned_piece(const GridImpl& grid, int owner) {
    VtkPiece piece{grid};
    std::vector<char> used(grid.coords.size(), 0);
    for (int i = 0; i < int(grid.leaves.size()); ++i) {
        const ELEMENT_& e = grid.leaf(i);
        if (e.owner != owner) continue;
        piece.cells.push_back(i);
        for (int v : e.verts) used[v] = 1;
    }
    piece.point_of.assign(grid.coords.size(), -1);
    for (std::size_t v = 0; v < used.size(); ++v)
        if (used[v]) {
            piece.point_of[v] = int(piece.points.size());
            piece.points.push_back(int(v));
        }
    return piece;
}

// The fields' values on the piece's points and cells, and the owning process as a cell array.
std::vector<VtkField> restrict_to_piece(const VtkPiece& piece, const std::vector<VtkField>& all,
                                        int owner) {
    std::vector<VtkField> out;
    for (const VtkField& f : all) {
        VtkField r{f.name, f.components, f.cell_data, {}};
        const std::vector<int>& ids = f.cell_data ? piece.cells : piece.points;
        r.values.reserve(ids.size() * std::size_t(f.components));
        for (int id : ids)
            for (int c = 0; c < f.components; ++c)
                r.values.push_back(f.values[std::size_t(id) * f.components + c]);
        out.push_back(std::move(r));
    }
    out.push_back(VtkField{"process", 1, true,
                           std::vector<double>(piece.cells.size(), double(owner))});
    return out;
}

}  // namespace

std::string piece_path(const std::string& pvtu_path, int rank) {
    return pvtu_path.substr(0, pvtu_path.size() - 5) + "_" + std::to_string(rank) + ".vtu";
}

void write_vtk(const GridImpl& grid, const std::string& path, const std::vector<VtkField>& fields) {
    const Format format = format_of(path);
    const VtkPiece whole{grid};
    if (format == Format::parallel_xml) {
        // Every process writes the piece it owns, then process 0 the index.
        check_fields(whole, path, fields);
        collective(grid.comm, [&] {
            const VtkPiece piece = owned_piece(grid, grid.rank);
            const std::vector<VtkField> own = restrict_to_piece(piece, fields, grid.rank);
            check_fields(piece, path, own);
            AtomicFile out(piece_path(path, grid.rank), "export");
            write_xml(piece, out, own);
            out.commit();
        });
        on_root(grid.comm, 0, [&] {
            write_pvtu_index(path, restrict_to_piece(VtkPiece{grid}, fields, 0), grid.nprocs);
        });
        return;
    }
    // One file with the whole grid, which every process holds: process 0 writes it.
    on_root(grid.comm, 0, [&] {
        check_fields(whole, path, fields);
        AtomicFile out(path, "export");
        if (format == Format::legacy) write_legacy(whole, out, fields);
        else write_xml(whole, out, fields);
        out.commit();
    });
}

}  // namespace mosk

using namespace mosk;

extern "C" void moskExportVTKn(GRID_* grid, const char* file, int n, DOF_** dofs) {
    if (!file) throw std::invalid_argument("mosk: export: null file name");
    const GridImpl& g = impl_of(grid);
    std::vector<VtkField> fields;
    collective(g.comm, [&] { fields = fields_of_dofs(g, n, dofs); });
    write_vtk(g, file, fields);
}
