// Medit .mesh files (ASCII): keyword, count, entries; 1-based vertex indices and a reference
// number ending each entry. Tetrahedra (of any order, by their corners) become cells with their
// reference as volume label, triangles labelled surface triangles (the reference is the label);
// the other keywords are read past.
#include <climits>
#include <strings.h>

#include "io/mesh_formats.h"

namespace mosk::io {
namespace {

bool same_word(std::string_view a, const char* b) {
    const size_t n = std::strlen(b);
    return a.size() == n && ::strncasecmp(a.data(), b, n) == 0;
}

// Keywords whose entries we skip, with the numbers per entry in a 3-dimensional mesh and, for
// volume cells other than tetrahedra, the count they add to (the import refuses those).
struct Skipped {
    const char* name;
    int numbers;
    int64_t MeshData::* volume_cells = nullptr;
};
constexpr Skipped kSkipped[] = {
    {"Edges", 3},
    {"Quadrilaterals", 5},
    {"Hexahedra", 9, &MeshData::hexahedra},
    {"Prisms", 7, &MeshData::prisms},
    {"Pyramids", 6, &MeshData::pyramids},
    {"Corners", 1},
    {"Ridges", 1},
    {"RequiredVertices", 1},
    {"RequiredEdges", 1},
    {"RequiredTriangles", 1},
    {"RequiredQuadrilaterals", 1},
    {"Normals", 3},
    {"Tangents", 3},
    {"NormalAtVertices", 2},
    {"NormalAtTriangleVertices", 3},
    {"NormalAtQuadrilateralVertices", 3},
    {"TangentAtVertices", 2},
    {"TangentAtEdges", 3},
    {"EdgesP2", 4},
    {"QuadrilateralsQ2", 10},
    {"HexahedraQ2", 28, &MeshData::hexahedra},
};

// Tetrahedra and triangles of every order; entries of higher order list their corners first and
// are read by them, as the corners of a curved cell.
struct Cells {
    const char* name;
    int nodes;    // vertex indices per entry (a reference number follows)
    int corners;  // 4: a tetrahedron, 3: a triangle
};
constexpr Cells kCells[] = {
    {"Tetrahedra", 4, 4}, {"TetrahedraP2", 10, 4}, {"TetrahedraP3", 20, 4}, {"TetrahedraP4", 35, 4},
    {"Triangles", 3, 3},  {"TrianglesP2", 6, 3},   {"TrianglesP3", 10, 3},  {"TrianglesP4", 15, 3}};
constexpr size_t kCellKinds = sizeof(kCells) / sizeof(kCells[0]);

const Cells* cells_of(std::string_view keyword) {
    for (const Cells& c : kCells)
        if (same_word(keyword, c.name)) return &c;
    return nullptr;
}

class MeditReader {
public:
    explicit MeditReader(Scanner& in) : in_(in) {}

    MeshData read() {
        if (!same_word(in_.token("MeshVersionFormatted"), "MeshVersionFormatted"))
            in_.fail_token("expected MeshVersionFormatted, found " + in_.quoted_token());
        const int64_t version = in_.integer("the format version");
        if (version < 1 || version > 4)
            in_.fail_token("format version " + in_.quoted_token() + " is not 1..4");
        for (;;) {
            if (in_.at_end()) in_.fail("the file ends without End");
            const std::string_view k = in_.token("a keyword");
            if (same_word(k, "End")) break;
            if (same_word(k, "Dimension")) {
                const int64_t d = in_.integer("the dimension");
                if (d != 3)
                    in_.fail_token("only 3-dimensional meshes are supported, not Dimension " +
                                   in_.quoted_token());
                dimension_ = 3;
            } else if (same_word(k, "Vertices")) {
                once(have_vertices_, "Vertices");
                read_vertices();
            } else if (const Cells* c = cells_of(k)) {
                once(seen_[c - kCells], c->name);
                read_cells(*c);
            } else {
                skip(k);
            }
        }
        if (!have_vertices_) in_.fail("the file has no Vertices");
        return std::move(mesh_);
    }

private:
    Scanner& in_;
    int dimension_ = 0;
    bool have_vertices_ = false;
    bool seen_[kCellKinds] = {};
    int64_t vertex_count_ = -1;  // known once Vertices is read
    // Elements may come before Vertices: their largest index and its line, checked then.
    int64_t early_max_ = 0, early_line_ = 0;
    MeshData mesh_;

    void once(bool& seen, const char* keyword) {
        if (seen) in_.fail_token(std::string("a second ") + keyword + " section");
        seen = true;
    }

    // The count after a keyword, for entries of `numbers` numbers (at least 2 bytes each).
    uint64_t counted(const char* what, uint64_t numbers) {
        const uint64_t n = in_.count(what, 2 * numbers);
        if (n > uint64_t(INT32_MAX)) in_.fail_token(std::string("too many ") + what);
        return n;
    }

    void read_vertices() {
        if (dimension_ == 0) in_.fail_token("Vertices before Dimension");
        const uint64_t n = counted("vertices", 4);
        mesh_.points.reserve(n);
        for (uint64_t i = 0; i < n; ++i) {
            Point p;
            for (double& x : p) x = in_.real("a vertex coordinate");
            in_.int32("a reference number");
            mesh_.points.push_back(p);
        }
        vertex_count_ = int64_t(n);
        if (early_max_ > vertex_count_)
            in_.fail_line(early_line_, "vertex index " + std::to_string(early_max_) +
                                           " is outside 1.." + std::to_string(n) +
                                           " (the number of Vertices)");
    }

    // Numbers on the line of the next entry.
    int entry_width() {
        Scanner probe = in_;
        if (probe.at_end()) return 0;
        const int64_t line = probe.line();
        int k = 0;
        for (; !probe.at_end() && probe.line() == line; ++k) probe.token("a number");
        return k;
    }

    void read_cells(Cells c) {
        const uint64_t n = counted(c.name, uint64_t(c.nodes) + 1);
        // Some writers put cells of higher order under the linear keyword, one entry per line:
        // an entry as long as one of a higher order is read as such (by its corners).
        if (n > 0 && c.nodes == c.corners) {
            const int width = entry_width();
            for (const Cells& o : kCells)
                if (o.corners == c.corners && o.nodes > c.nodes && width == o.nodes + 1)
                    c.nodes = o.nodes;
        }
        for (uint64_t i = 0; i < n; ++i) {
            std::array<int, 4> v{};
            for (int k = 0; k < c.nodes; ++k) {
                const int index = vertex();
                if (k < c.corners) v[k] = index;
            }
            const int ref = in_.int32("a reference number");
            if (c.corners == 4) {
                mesh_.tets.push_back(v);
                mesh_.tet_labels.push_back(ref);
                mesh_.tet_lines.push_back(in_.line());
            } else {
                mesh_.triangles.push_back({v[0], v[1], v[2]});
                mesh_.triangle_labels.push_back(ref);
            }
        }
    }

    // A 1-based vertex index, returned 0-based.
    int vertex() {
        const int64_t v = in_.integer("a vertex index");
        const int64_t top = vertex_count_ >= 0 ? vertex_count_ : INT32_MAX;
        if (v < 1 || v > top)
            in_.fail_token("vertex index " + std::to_string(v) + " is outside 1.." +
                           std::to_string(top));
        if (vertex_count_ < 0 && v > early_max_) {
            early_max_ = v;
            early_line_ = in_.line();
        }
        return int(v - 1);
    }

    void skip(std::string_view keyword) {
        for (const Skipped& s : kSkipped) {
            if (!same_word(keyword, s.name)) continue;
            const uint64_t n = in_.count(s.name, 2 * uint64_t(s.numbers));
            if (s.volume_cells) mesh_.*s.volume_cells += int64_t(n);
            const std::string what = std::string("an entry of ") + s.name;
            for (uint64_t i = 0; i < n * uint64_t(s.numbers); ++i) in_.real_any(what.c_str());
            return;
        }
        in_.fail_token("unknown keyword " + in_.quoted_token());
    }
};

}  // namespace

MeshData read_medit(Scanner& in) { return MeditReader(in).read(); }

}  // namespace mosk::io
