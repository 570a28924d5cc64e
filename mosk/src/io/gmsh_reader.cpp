// Gmsh MSH files, versions 2.x and 4.1, ASCII and binary. Tetrahedra become cells, triangles
// labelled surface triangles; hexahedra, prisms and pyramids are counted (the import refuses
// them); every other element type is read past.
#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <map>
#include <unordered_map>
#include <vector>

#include "io/mesh_formats.h"

namespace mosk::io {
namespace {

// Nodes per element of every element type gmsh writes with a fixed node count (0: unknown).
constexpr int kMaxType = 137;
constexpr std::array<int16_t, kMaxType + 1> kNodeCount = [] {
    std::array<int16_t, kMaxType + 1> n{};
    constexpr int16_t table[][2] = {
        {1, 2},     {2, 3},     {3, 4},     {4, 4},    {5, 8},    {6, 6},    {7, 5},
        {8, 3},     {9, 6},     {10, 9},    {11, 10},  {12, 27},  {13, 18},  {14, 14},
        {15, 1},    {16, 8},    {17, 20},   {18, 15},  {19, 13},  {20, 9},   {21, 10},
        {22, 12},   {23, 15},   {24, 15},   {25, 21},  {26, 4},   {27, 5},   {28, 6},
        {29, 20},   {30, 35},   {31, 56},   {32, 22},  {33, 28},  {36, 16},  {37, 25},
        {38, 36},   {39, 12},   {40, 16},   {41, 20},  {42, 28},  {43, 36},  {44, 45},
        {45, 55},   {46, 66},   {47, 49},   {48, 64},  {49, 81},  {50, 100}, {51, 121},
        {52, 18},   {53, 21},   {54, 24},   {55, 27},  {56, 30},  {57, 24},  {58, 28},
        {59, 32},   {60, 36},   {61, 40},   {62, 7},   {63, 8},   {64, 9},   {65, 10},
        {66, 11},   {71, 84},   {72, 120},  {73, 165}, {74, 220}, {75, 286}, {79, 34},
        {80, 40},   {81, 46},   {82, 52},   {83, 58},  {84, 1},   {85, 1},   {86, 1},
        {87, 1},    {88, 1},    {89, 1},    {92, 64},  {93, 125}, {94, 216}, {95, 343},
        {96, 512},  {97, 729},  {98, 1000}, {99, 32},  {100, 44}, {101, 56}, {102, 68},
        {103, 80},  {104, 92},  {105, 104}, {118, 30}, {119, 55}, {120, 91}, {121, 140},
        {122, 204}, {123, 285}, {124, 385}, {125, 21}, {126, 29}, {127, 37}, {128, 45},
        {129, 53},  {130, 61},  {131, 69},  {132, 1},  {137, 16}};
    for (const auto& e : table) n[e[0]] = e[1];
    return n;
}();

int node_count(int type) { return type >= 1 && type <= kMaxType ? kNodeCount[type] : 0; }

// How many leading nodes of an element the mesh keeps: 4 for tetrahedra, 3 for triangles, 0 for
// the rest. Elements of higher order list their corner nodes first, so a second-order (10-node,
// type 11) or higher tetrahedron becomes the linear tetrahedron of its 4 corners; triangles
// alike, so that the boundary labels of a curved mesh survive.
int corners_kept(int type) {
    switch (type) {
        case 4:
        case 11:
        case 29:
        case 30:
        case 31:
        case 32:
        case 33:
        case 71:
        case 72:
        case 73:
        case 74:
        case 75:
        case 79:
        case 80:
        case 81:
        case 82:
        case 83:
        case 137: return 4;
        case 2:
        case 9:
        case 20:
        case 21:
        case 22:
        case 23:
        case 24:
        case 25:
        case 42:
        case 43:
        case 44:
        case 45:
        case 46:
        case 52:
        case 53:
        case 54:
        case 55:
        case 56: return 3;
        default: return 0;
    }
}

// The count of volume cells a mesh cannot use that an element of `type` adds to, else null:
// hexahedra, prisms and pyramids of every order gmsh writes.
int64_t MeshData::* other_volume_cells(int type) {
    if (type == 5 || type == 12 || type == 17 || (type >= 92 && type <= 105))
        return &MeshData::hexahedra;
    if (type == 6 || type == 13 || type == 18) return &MeshData::prisms;
    if (type == 7 || type == 14 || type == 19 || (type >= 118 && type <= 131))
        return &MeshData::pyramids;
    return nullptr;
}

// Node tag -> 0-based point index. Tags may be sparse and large: a direct table when they are
// dense enough, a sorted list otherwise.
class NodeIndex {
public:
    // False, with the offending tag, when a tag occurs twice.
    bool build(const std::vector<uint64_t>& tags, uint64_t& repeated) {
        uint64_t max = 0;
        for (uint64_t t : tags) max = std::max(max, t);
        const uint64_t n = tags.size();
        dense_.clear();
        sorted_.clear();
        use_dense_ = max < 4 * n + (uint64_t(1) << 20);
        if (use_dense_) {
            dense_.assign(size_t(max) + 1, -1);
            for (size_t i = 0; i < tags.size(); ++i) {
                if (dense_[tags[i]] >= 0) {
                    repeated = tags[i];
                    return false;
                }
                dense_[tags[i]] = int(i);
            }
            return true;
        }
        sorted_.resize(tags.size());
        for (size_t i = 0; i < tags.size(); ++i) sorted_[i] = {tags[i], int(i)};
        std::sort(sorted_.begin(), sorted_.end());
        for (size_t i = 1; i < sorted_.size(); ++i)
            if (sorted_[i].first == sorted_[i - 1].first) {
                repeated = sorted_[i].first;
                return false;
            }
        return true;
    }

    int find(uint64_t tag) const {
        if (use_dense_) return tag < dense_.size() ? dense_[tag] : -1;
        const std::pair<uint64_t, int> key(tag, -1);
        auto it = std::lower_bound(sorted_.begin(), sorted_.end(), key);
        return it != sorted_.end() && it->first == tag ? it->second : -1;
    }

private:
    bool use_dense_ = true;
    std::vector<int> dense_;
    std::vector<std::pair<uint64_t, int>> sorted_;
};

class SliceReader;

class GmshReader {
public:
    explicit GmshReader(Scanner& in) : in_(in) {}

    MeshData read() {
        read_format();
        read_sections();
        return std::move(mesh_);
    }

    // The file's tetrahedra, read from its layout alone; -1 when it is not binary MSH 4.1.
    int64_t sliceable_tetrahedra() {
        read_format();
        if (version_ != 4 || !binary_) return -1;
        layout_only_ = true;
        read_sections();
        return tets_;
    }

private:
    void read_sections() {
        while (!in_.at_end()) {
            const std::string_view t = in_.token("a section");
            if (t.size() < 2 || t[0] != '$')
                in_.fail_token("expected a section name beginning with '$', found " +
                               in_.quoted_token());
            const std::string name(t.substr(1));
            if (name == "Nodes") {
                if (have_nodes_) in_.fail_token("a second $Nodes section");
                if (binary_) in_.end_text_line();
                version_ == 2 ? read_nodes_v2() : layout_only_ ? layout_nodes() : read_nodes_v4();
                have_nodes_ = true;
                expect_end("Nodes");
            } else if (name == "Elements") {
                if (have_elements_) in_.fail_token("a second $Elements section");
                if (!have_nodes_) in_.fail_token("$Elements before $Nodes");
                if (binary_) in_.end_text_line();
                version_ == 2  ? read_elements_v2()
                : layout_only_ ? layout_elements()
                               : read_elements_v4();
                have_elements_ = true;
                expect_end("Elements");
            } else if (name == "Entities" && version_ == 4) {
                if (have_entities_) in_.fail_token("a second $Entities section");
                if (have_elements_) in_.fail_token("$Entities after $Elements");
                if (binary_) in_.end_text_line();
                read_entities();
                have_entities_ = true;
                expect_end("Entities");
            } else if (name == "MeshFormat") {
                in_.fail_token("a second $MeshFormat section");
            } else if (name.starts_with("End")) {
                in_.fail_token("unexpected " + in_.quoted_token() + " outside its section");
            } else {
                // $PhysicalNames, $Periodic, $NodeData, ... and sections we do not know.
                const int64_t line = in_.line();
                if (!in_.skip_past_line_starting("$End" + name))
                    in_.fail_line(line, "section $" + name + " has no $End" + name);
            }
        }
        if (!have_nodes_) in_.fail("the file has no $Nodes section");
        if (!have_elements_) in_.fail("the file has no $Elements section");
    }

    Scanner& in_;
    int version_ = 0;      // 2 or 4
    bool binary_ = false;
    int size_bytes_ = 8;   // bytes of a size_t in 4.1 binary data
    bool have_nodes_ = false, have_elements_ = false, have_entities_ = false;
    std::vector<uint64_t> node_tags_;
    NodeIndex index_;
    // (dimension, entity tag) -> its physical tags
    std::map<std::pair<int, int>, std::vector<int>> physical_;
    MeshData mesh_;

    // The layout of a binary 4.1 file, for reading it in slices: where each block's data lies.
    bool layout_only_ = false;
    struct NodeBlock {
        const char* tags;    // m tags, then m records of coordinates (3 + `extra` numbers)
        const char* coords;
        uint64_t m;
        int extra;
    };
    struct ElementBlock {
        const char* data;  // m records of (1 + nodes) sizes: the element tag, its node tags
        uint64_t m;
        int nodes, keep;
        std::vector<int> labels;
    };
    std::vector<NodeBlock> node_blocks_;
    std::vector<ElementBlock> element_blocks_;
    uint64_t nodes_ = 0;   // in $Nodes
    int64_t tets_ = 0;     // tetrahedra in $Elements
    int64_t nodes_line_ = 0;
    friend class SliceReader;

    void expect_end(const std::string& name) {
        const std::string end = "$End" + name;
        if (in_.token(end.c_str()) != end)
            in_.fail_token("expected " + end + ", found " + in_.quoted_token());
    }

    // A failure about the value just read: at its token in ASCII, at its bytes in binary.
    [[noreturn]] void fail_value(const char* where, const std::string& message) {
        if (binary_) in_.fail_at(where, message);
        in_.fail_token(message);
    }

    // Values that are ASCII tokens or binary data depending on the file (4.1 and headers).
    uint64_t size_value(const char* what) {
        if (!binary_) return in_.unsigned_integer(what);
        const char* p = in_.bytes(uint64_t(size_bytes_), what);
        return size_bytes_ == 8 ? in_.load<uint64_t>(p) : in_.load<uint32_t>(p);
    }
    int int_value(const char* what) {
        if (!binary_) return in_.int32(what);
        return in_.load<int32_t>(in_.bytes(4, what));
    }
    double coordinate() {
        if (!binary_) return in_.real("a node coordinate");
        const char* p = in_.bytes(8, "a node coordinate");
        const double v = in_.load<double>(p);
        if (!std::isfinite(v)) in_.fail_at(p, "a node coordinate is not finite");
        return v;
    }
    void skip_real(const char* what) {
        if (binary_)
            in_.bytes(8, what);
        else
            in_.real_any(what);
    }
    // A count read with size_value whose entries take at least the given bytes each.
    uint64_t count_value(const char* what, uint64_t ascii_bytes, uint64_t binary_bytes) {
        const char* at = in_.position();
        const uint64_t n = size_value(what);
        const uint64_t min = binary_ ? binary_bytes : ascii_bytes;
        if (n > in_.remaining() / min)
            fail_value(at, "the count " + std::to_string(n) + " of " + what +
                               " exceeds what the rest of the file can hold");
        return n;
    }

    void read_format() {
        if (in_.token("$MeshFormat") != "$MeshFormat")
            in_.fail_token("expected $MeshFormat, found " + in_.quoted_token());
        const double v = in_.real("the format version");
        if (v >= 2 && v < 3)
            version_ = 2;
        else if (std::fabs(v - 4.1) < 1e-9)
            version_ = 4;
        else
            in_.fail_token("MSH format version " + in_.quoted_token() +
                           " is not supported (2.x and 4.1 are)");
        const int64_t type = in_.integer("the file type");
        if (type != 0 && type != 1)
            in_.fail_token("the file type must be 0 (ASCII) or 1 (binary), not " +
                           in_.quoted_token());
        binary_ = type == 1;
        const int64_t size = in_.integer("the data size");
        if (binary_) {
            if (version_ == 2 && size != 8)
                in_.fail_token("binary data with " + std::to_string(size) +
                               "-byte numbers is not supported (8 is)");
            if (version_ == 4 && size != 4 && size != 8)
                in_.fail_token("binary data with " + std::to_string(size) +
                               "-byte sizes is not supported (4 or 8 are)");
            size_bytes_ = int(size);
            in_.end_text_line();
            const char* p = in_.bytes(4, "the byte-order mark");
            const uint32_t one = in_.load<uint32_t>(p);
            if (one == __builtin_bswap32(1u))
                in_.swap_bytes = true;
            else if (one != 1)
                in_.fail_at(p, "the byte-order mark is not the integer 1");
        }
        expect_end("MeshFormat");
    }

    void index_nodes(int64_t section_line) {
        if (node_tags_.size() > size_t(INT32_MAX)) in_.fail_line(section_line, "too many nodes");
        uint64_t repeated = 0;
        if (!index_.build(node_tags_, repeated))
            in_.fail_line(section_line,
                          "node tag " + std::to_string(repeated) + " is defined twice in $Nodes");
    }

    void add_node(uint64_t tag, double x, double y, double z) {
        node_tags_.push_back(tag);
        mesh_.points.push_back({x, y, z});
    }

    void read_nodes_v2() {
        const int64_t line = in_.line();
        if (!binary_) {
            const uint64_t n = in_.count("the number of nodes", 8);
            node_tags_.reserve(n);
            mesh_.points.reserve(n);
            for (uint64_t i = 0; i < n; ++i) {
                const uint64_t tag = in_.unsigned_integer("a node tag");
                const double x = coordinate(), y = coordinate(), z = coordinate();
                add_node(tag, x, y, z);
            }
        } else {
            // The count is an ASCII line; node records (int tag, 3 doubles) follow in binary.
            const uint64_t n = in_.count("the number of nodes", 28);
            in_.end_text_line();
            node_tags_.reserve(n);
            mesh_.points.reserve(n);
            for (uint64_t i = 0; i < n; ++i) {
                const char* p = in_.bytes(28, "a node");
                const int32_t tag = in_.load<int32_t>(p);
                if (tag < 0) in_.fail_at(p, "negative node tag " + std::to_string(tag));
                double c[3];
                for (int k = 0; k < 3; ++k) {
                    c[k] = in_.load<double>(p + 4 + 8 * k);
                    if (!std::isfinite(c[k]))
                        in_.fail_at(p + 4 + 8 * k, "a node coordinate is not finite");
                }
                add_node(uint64_t(tag), c[0], c[1], c[2]);
            }
        }
        index_nodes(line);
    }

    // The 4.1 $Nodes section's counts and block headers, checked; block(m, extra) reads (or
    // skips) the data of a block of m nodes with `extra` parametric coordinates each. `n`
    // receives the node count before the first block.
    template <class Block>
    void walk_node_blocks(uint64_t& n, Block&& block) {
        const uint64_t sz = uint64_t(size_bytes_);
        const uint64_t blocks = count_value("node blocks", 8, 12 + sz);
        n = count_value("nodes", 8, sz + 24);
        size_value("the smallest node tag");
        size_value("the largest node tag");
        uint64_t done = 0;
        for (uint64_t b = 0; b < blocks; ++b) {
            const int dim = int_value("an entity dimension");
            if (dim < 0 || dim > 3)
                fail_value(in_.position() - 4,
                           "entity dimension " + std::to_string(dim) + " is not 0..3");
            int_value("an entity tag");
            const int parametric = int_value("the parametric flag");
            if (parametric != 0 && parametric != 1)
                fail_value(in_.position() - 4, "the parametric flag must be 0 or 1");
            const char* at = in_.position();
            const uint64_t m = size_value("the number of nodes in a block");
            if (m > n - done)
                fail_value(at, "the node blocks hold more nodes than the " + std::to_string(n) +
                                   " the section announces");
            block(m, parametric ? dim : 0);
            done += m;
        }
        if (done != n)
            in_.fail("the node blocks hold " + std::to_string(done) +
                     " nodes, the section announces " + std::to_string(n));
    }

    void read_nodes_v4() {
        const int64_t line = in_.line();
        uint64_t n = 0;
        walk_node_blocks(n, [&](uint64_t m, int extra) {
            if (node_tags_.empty()) {
                node_tags_.reserve(n);
                mesh_.points.reserve(n);
            }
            const size_t first = node_tags_.size();
            for (uint64_t j = 0; j < m; ++j) node_tags_.push_back(size_value("a node tag"));
            mesh_.points.resize(node_tags_.size());
            for (uint64_t j = 0; j < m; ++j) {
                Point& p = mesh_.points[first + j];
                for (int k = 0; k < 3; ++k) p[k] = coordinate();
                for (int k = 0; k < extra; ++k) skip_real("a parametric coordinate");
            }
        });
        index_nodes(line);
    }

    // The node blocks of a binary 4.1 file with the checks of read_nodes_v4 on the layout; the
    // node data is read by the slice reader.
    void layout_nodes() {
        nodes_line_ = in_.line();
        const uint64_t sz = uint64_t(size_bytes_);
        walk_node_blocks(nodes_, [&](uint64_t m, int extra) {
            const char* tags = in_.bytes(m * sz, "a node tag");
            const char* coords = in_.bytes(m * 8 * uint64_t(3 + extra), "a node coordinate");
            node_blocks_.push_back({tags, coords, m, extra});
        });
        if (nodes_ > uint64_t(INT32_MAX)) in_.fail_line(nodes_line_, "too many nodes");
    }

    // The element blocks of a binary 4.1 file with the checks of read_elements_v4 on the layout.
    void layout_elements() {
        const uint64_t sz = uint64_t(size_bytes_);
        walk_element_blocks([&](int type, int nodes, uint64_t m, const std::vector<int>& labels) {
            const char* data = in_.bytes(m * sz * uint64_t(1 + nodes), "an element");
            element_blocks_.push_back({data, m, nodes, corners_kept(type), labels});
            if (int64_t MeshData::* count = other_volume_cells(type)) mesh_.*count += int64_t(m);
            if (corners_kept(type) == 4) tets_ += int64_t(m);
        });
    }

    // Keeps an element of a type we use: the first `keep` of its point indices; counts the
    // volume cells of other shapes.
    // A triangle of several physical groups is kept once per group (the import joins their
    // labels); a tetrahedron takes the first label as its volume label.
    void add_element(int type, int keep, const std::array<int, 4>& v, const int* labels,
                     size_t nlabels) {
        if (int64_t MeshData::* count = other_volume_cells(type)) ++(mesh_.*count);
        if (keep == 4) {
            // MSH 2 repeats an element once per physical group it belongs to, one after the
            // other: the repeat is the same cell, not a second one.
            if (version_ == 2 && !mesh_.tets.empty() && mesh_.tets.back() == v) return;
            mesh_.tets.push_back(v);
            mesh_.tet_labels.push_back(nlabels ? labels[0] : 0);
            if (!binary_) mesh_.tet_lines.push_back(in_.line());
        } else if (keep == 3) {
            for (size_t k = 0; k < nlabels; ++k) {
                mesh_.triangles.push_back({v[0], v[1], v[2]});
                mesh_.triangle_labels.push_back(labels[k]);
            }
        }
    }
    void add_element(int type, int keep, const std::array<int, 4>& v, int label) {
        add_element(type, keep, v, &label, 1);
    }

    [[noreturn]] void unknown_node(const char* where, uint64_t element, uint64_t tag) {
        fail_value(where, "element " + std::to_string(element) + " names node tag " +
                              std::to_string(tag) + ", which $Nodes does not define");
    }

    void read_elements_v2() {
        if (!binary_) {
            const uint64_t n = in_.count("the number of elements", 8);
            for (uint64_t i = 0; i < n; ++i) {
                const uint64_t number = in_.unsigned_integer("an element number");
                const int type = in_.int32("an element type");
                const int nodes = node_count(type);
                if (nodes == 0) in_.fail_token("unknown element type " + std::to_string(type));
                const uint64_t ntags = in_.count("the number of element tags", 2);
                int tags[2] = {0, 0};
                for (uint64_t t = 0; t < ntags; ++t) {
                    const int v = in_.int32("an element tag");
                    if (t < 2) tags[t] = v;
                }
                // The first tag is the physical entity (0 when none), the second the elementary.
                const int label = tags[0] != 0 ? tags[0] : tags[1];
                const int keep = corners_kept(type);
                std::array<int, 4> v{};
                for (int k = 0; k < nodes; ++k) {
                    const uint64_t tag = in_.unsigned_integer("a node tag");
                    const int index = index_.find(tag);
                    if (index < 0) unknown_node(nullptr, number, tag);
                    if (k < keep) v[k] = index;
                }
                add_element(type, keep, v, label);
            }
            return;
        }
        // Binary: blocks of elements of one type and tag count, each a header of three ints
        // (type, elements, tags) and then per element: number, tags, nodes (ints).
        const uint64_t n = in_.count("the number of elements", 8);
        in_.end_text_line();
        uint64_t done = 0;
        while (done < n) {
            const char* h = in_.bytes(12, "an element block header");
            const int type = in_.load<int32_t>(h);
            const int32_t count = in_.load<int32_t>(h + 4);
            const int32_t ntags = in_.load<int32_t>(h + 8);
            const int nodes = node_count(type);
            if (nodes == 0) in_.fail_at(h, "unknown element type " + std::to_string(type));
            if (count <= 0 || uint64_t(count) > n - done)
                in_.fail_at(h + 4, "element block of " + std::to_string(count) +
                                       " elements does not fit the announced " + std::to_string(n));
            if (ntags < 0) in_.fail_at(h + 8, "negative number of element tags");
            const uint64_t record = 4 * (1 + uint64_t(ntags) + uint64_t(nodes));
            if (uint64_t(count) > in_.remaining() / record)
                in_.fail_at(h, "binary data (an element block) runs past the end of the file");
            const int keep = corners_kept(type);
            for (int32_t e = 0; e < count; ++e) {
                const char* p = in_.bytes(record, "an element");
                const uint64_t number = uint64_t(uint32_t(in_.load<int32_t>(p)));
                const int tag0 = ntags > 0 ? in_.load<int32_t>(p + 4) : 0;
                const int tag1 = ntags > 1 ? in_.load<int32_t>(p + 8) : 0;
                const int label = tag0 != 0 ? tag0 : tag1;
                const char* q = p + 4 * (1 + uint64_t(ntags));
                std::array<int, 4> v{};
                for (int k = 0; k < nodes; ++k) {
                    const int32_t tag = in_.load<int32_t>(q + 4 * k);
                    const int index = tag < 0 ? -1 : index_.find(uint64_t(tag));
                    if (index < 0) {
                        if (tag < 0)
                            in_.fail_at(q + 4 * k, "negative node tag " + std::to_string(tag));
                        unknown_node(q + 4 * k, number, uint64_t(tag));
                    }
                    if (k < keep) v[k] = index;
                }
                add_element(type, keep, v, label);
            }
            done += uint64_t(count);
        }
    }

    // The 4.1 $Elements section's counts and block headers, checked; block(type, nodes, m,
    // labels) reads (or skips) a block of m elements of `type` with `nodes` nodes each, whose
    // labels are its entity's physical tags, else the entity tag.
    template <class Block>
    void walk_element_blocks(Block&& block) {
        const uint64_t sz = uint64_t(size_bytes_);
        const uint64_t blocks = count_value("element blocks", 8, 12 + sz);
        const uint64_t n = count_value("elements", 4, 2 * sz);
        size_value("the smallest element tag");
        size_value("the largest element tag");
        uint64_t done = 0;
        for (uint64_t b = 0; b < blocks; ++b) {
            const int dim = int_value("an entity dimension");
            const int entity = int_value("an entity tag");
            const char* at = in_.position();
            const int type = int_value("an element type");
            const int nodes = node_count(type);
            if (nodes == 0) fail_value(at, "unknown element type " + std::to_string(type));
            at = in_.position();
            const uint64_t m = size_value("the number of elements in a block");
            if (m > n - done)
                fail_value(at, "the element blocks hold more elements than the " +
                                   std::to_string(n) + " the section announces");
            auto it = physical_.find({dim, entity});
            const std::vector<int> own{entity};
            block(type, nodes, m, it != physical_.end() ? it->second : own);
            done += m;
        }
        if (done != n)
            in_.fail("the element blocks hold " + std::to_string(done) +
                     " elements, the section announces " + std::to_string(n));
    }

    void read_elements_v4() {
        walk_element_blocks([&](int type, int nodes, uint64_t m, const std::vector<int>& labels) {
            const int keep = corners_kept(type);
            for (uint64_t e = 0; e < m; ++e) {
                const uint64_t number = size_value("an element tag");
                std::array<int, 4> v{};
                for (int k = 0; k < nodes; ++k) {
                    const char* where = in_.position();
                    const uint64_t tag = size_value("a node tag");
                    const int index = index_.find(tag);
                    if (index < 0) unknown_node(where, number, tag);
                    if (k < keep) v[k] = index;
                }
                add_element(type, keep, v, labels.data(), labels.size());
            }
        });
    }

    // $Entities (4.1): the physical tags of points, curves, surfaces and volumes.
    void read_entities() {
        const uint64_t sz = uint64_t(size_bytes_);
        uint64_t counts[4];
        counts[0] = count_value("points", 10, 4 + 24 + sz);
        for (int d = 1; d < 4; ++d) counts[d] = count_value("entities", 18, 4 + 48 + 2 * sz);
        for (int d = 0; d < 4; ++d) {
            for (uint64_t i = 0; i < counts[d]; ++i) {
                const int tag = int_value("an entity tag");
                for (int k = 0; k < (d == 0 ? 3 : 6); ++k) skip_real("an entity coordinate");
                const uint64_t nphys = count_value("physical tags", 2, 4);
                for (uint64_t k = 0; k < nphys; ++k) {
                    const int phys = int_value("a physical tag");
                    physical_[{d, tag}].push_back(phys);
                }
                if (d > 0) {
                    const uint64_t nbound = count_value("bounding entities", 2, 4);
                    for (uint64_t k = 0; k < nbound; ++k) int_value("a bounding entity tag");
                }
            }
        }
    }
};

// One slice of a binary 4.1 file whose layout a GmshReader has read (see MeshSlice): the slice's
// element records are read twice (the node tags they name, then the elements), the node blocks
// once in between, and every page read is given back.
class SliceReader {
public:
    SliceReader(GmshReader& r, const MappedFile* file, int part, int parts)
        : r_(r),
          in_(r.in_),
          file_(file),
          part_(part),
          parts_(parts),
          sz_(uint64_t(r.size_bytes_)) {}

    MeshSlice read() {
        MeshSlice s;
        s.total_tets = r_.tets_;
        s.file_points = int64_t(r_.nodes_);
        s.first = first_tet(part_);
        s.hexahedra = r_.mesh_.hexahedra;
        s.prisms = r_.mesh_.prisms;
        s.pyramids = r_.mesh_.pyramids;
        // A table by tag for tags up to the node count (the usual tags 1..n), a hash map above.
        dense_.assign(size_t(std::min<uint64_t>(r_.nodes_ + 1, kDenseMax)), kUnnamed);
        for_each_record([&](const GmshReader::ElementBlock& b, const char* rec) {
            for (int k = 0; k < b.nodes; ++k) {
                int& e = entry(size_at(rec + sz_ * uint64_t(1 + k)));
                e = b.keep == 4 && k < 4 ? kCorner : std::min(e, kNamed);
            }
        });
        read_nodes(s);
        s.tets.reserve(size_t(first_tet(part_ + 1) - s.first));
        s.tet_labels.reserve(s.tets.capacity());
        std::vector<int> v(4);
        for_each_record([&](const GmshReader::ElementBlock& b, const char* rec) {
            for (int k = 0; k < b.nodes; ++k) {
                const char* where = rec + sz_ * uint64_t(1 + k);
                const uint64_t tag = size_at(where);
                const int* e = find(tag);
                if (!e || *e < 0) r_.unknown_node(where, size_at(rec), tag);
                if (k < 4) v[size_t(k)] = *e;
            }
            if (b.keep == 4) {
                s.tets.push_back({slot_of_[size_t(v[0])], slot_of_[size_t(v[1])],
                                  slot_of_[size_t(v[2])], slot_of_[size_t(v[3])]});
                s.tet_labels.push_back(b.labels[0]);
            } else if (b.keep == 3) {
                for (int label : b.labels) {
                    s.triangles.push_back({v[0], v[1], v[2]});
                    s.triangle_labels.push_back(label);
                }
            }
        });
        return s;
    }

private:
    static constexpr int kUnnamed = -1, kNamed = -2, kCorner = -3;
    static constexpr uint64_t kDenseMax = uint64_t(1) << 31;
    static constexpr ptrdiff_t kReleaseBytes = ptrdiff_t(8) << 20;

    GmshReader& r_;
    Scanner& in_;
    const MappedFile* file_;
    const int part_, parts_;
    const uint64_t sz_;
    // Node tag -> kUnnamed, kNamed (by an element of the slice), kCorner (of a tetrahedron of
    // the slice), and once the nodes are read, the node's position among the file's nodes.
    std::vector<int> dense_;
    std::unordered_map<uint64_t, int> sparse_;
    std::vector<int> slot_of_;  // a corner's position in the file -> its place in the slice

    int64_t first_tet(int p) const {
        return int64_t((uint64_t(p) * uint64_t(r_.tets_) + uint64_t(parts_) - 1) /
                       uint64_t(parts_));
    }
    uint64_t size_at(const char* p) const {
        return sz_ == 8 ? in_.load<uint64_t>(p) : in_.load<uint32_t>(p);
    }
    int& entry(uint64_t tag) {
        if (tag < dense_.size()) return dense_[size_t(tag)];
        return sparse_.try_emplace(tag, kUnnamed).first->second;
    }
    int* find(uint64_t tag) {
        if (tag < dense_.size()) return &dense_[size_t(tag)];
        const auto it = sparse_.find(tag);
        return it == sparse_.end() ? nullptr : &it->second;
    }
    // Gives back the pages before `to` once enough of them were read since `from`.
    void read_past(const char*& from, const char* to, bool last = false) const {
        if (file_ && (last || to - from >= kReleaseBytes)) {
            file_->release(from, to);
            from = to;
        }
    }

    // Calls f(block, record) for the slice's records of every element block, in file order: its
    // tetrahedra, every triangle (their labels are needed to label its faces) and a share of
    // every other block (so that each element's nodes are checked on one process).
    template <class F>
    void for_each_record(F&& f) {
        const int64_t first = first_tet(part_), last = first_tet(part_ + 1);
        int64_t tet = 0;  // the file's tetrahedra before the block
        for (const auto& b : r_.element_blocks_) {
            const uint64_t bytes = sz_ * uint64_t(1 + b.nodes);
            uint64_t lo = 0, hi = b.m;
            if (b.keep == 4) {
                lo = uint64_t(std::clamp<int64_t>(first - tet, 0, int64_t(b.m)));
                hi = uint64_t(std::clamp<int64_t>(last - tet, 0, int64_t(b.m)));
                tet += int64_t(b.m);
            } else if (b.keep != 3) {
                lo = b.m * uint64_t(part_) / uint64_t(parts_);
                hi = b.m * uint64_t(part_ + 1) / uint64_t(parts_);
            }
            const char* from = b.data + lo * bytes;
            for (uint64_t r = lo; r < hi; ++r) {
                f(b, b.data + r * bytes);
                read_past(from, b.data + r * bytes);
            }
            read_past(from, b.data + hi * bytes, true);
        }
    }

    // Every node: its coordinates and its tag checked (for repeats: a bit per tag up to the node
    // count, the larger tags sorted), as by a whole read, and the slice's vertices kept.
    void read_nodes(MeshSlice& s) {
        slot_of_.assign(size_t(r_.nodes_), -1);
        std::vector<bool> seen(dense_.size(), false);
        std::vector<uint64_t> above;
        uint64_t repeated = 0;
        bool repeats = false;
        int position = 0;
        for (const auto& b : r_.node_blocks_) {
            const uint64_t stride = 8 * uint64_t(3 + b.extra);
            const char *tags_from = b.tags, *coords_from = b.coords;
            for (uint64_t k = 0; k < b.m; ++k, ++position) {
                const uint64_t tag = size_at(b.tags + k * sz_);
                const char* c = b.coords + k * stride;
                Point x;
                for (int d = 0; d < 3; ++d) {
                    x[size_t(d)] = in_.load<double>(c + 8 * d);
                    if (!std::isfinite(x[size_t(d)]))
                        in_.fail_at(c + 8 * d, "a node coordinate is not finite");
                }
                if (tag >= seen.size()) {
                    above.push_back(tag);
                } else if (seen[size_t(tag)] && !repeats) {
                    repeats = true;
                    repeated = tag;
                } else {
                    seen[size_t(tag)] = true;
                }
                read_past(tags_from, b.tags + k * sz_);
                read_past(coords_from, c);
                int* e = find(tag);
                if (!e || *e >= 0 || *e == kUnnamed) continue;
                if (*e == kCorner) {
                    slot_of_[size_t(position)] = int(s.points.size());
                    s.points.push_back(x);
                    s.point_numbers.push_back(position);
                }
                *e = position;
            }
            read_past(tags_from, b.tags + b.m * sz_, true);
            read_past(coords_from, b.coords + b.m * stride, true);
        }
        std::sort(above.begin(), above.end());
        const auto twice = std::adjacent_find(above.begin(), above.end());
        if (!repeats && twice != above.end()) {
            repeats = true;
            repeated = *twice;
        }
        if (repeats)
            in_.fail_line(r_.nodes_line_,
                          "node tag " + std::to_string(repeated) + " is defined twice in $Nodes");
    }
};

}  // namespace

MeshData read_gmsh(Scanner& in) { return GmshReader(in).read(); }

int64_t gmsh_sliceable_tetrahedra(Scanner& in) { return GmshReader(in).sliceable_tetrahedra(); }

MeshSlice read_gmsh_slice(Scanner& in, const MappedFile* file, int part, int parts) {
    GmshReader r(in);
    if (r.sliceable_tetrahedra() < 0) in.fail("not a binary MSH 4.1 file");
    return SliceReader(r, file, part, parts).read();
}

}  // namespace mosk::io
