// Mesh readers: small files written here in every Gmsh encoding and in Medit, compared with the
// mesh they were written from; every class of malformed input must give FileError/FormatError
// naming the file (and the line), including every truncation and many corruptions of a good file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "grid/grid_impl.h"
#include "io/mesh_formats.h"
#include "mosk_errors.h"

namespace fs = std::filesystem;
using mosk::MeshData;

namespace {

class TempDir {
public:
    TempDir() {
        char name[] = "/tmp/mosk_readers_XXXXXX";
        path_ = ::mkdtemp(name);
    }
    ~TempDir() { fs::remove_all(path_); }
    std::string write(const std::string& name, const std::string& bytes) const {
        const std::string p = path_ + "/" + name;
        std::ofstream(p, std::ios::binary) << bytes;
        return p;
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// Writes values as ASCII tokens or as binary data (with the given size_t width and byte order).
struct Writer {
    bool binary = false;
    int size_bytes = 8;
    bool swap = false;
    std::string s;

    Writer& text(const std::string& t) {
        s += t;
        return *this;
    }
    template <class T>
    void raw(T v) {
        char b[sizeof(T)];
        std::memcpy(b, &v, sizeof v);
        if (swap) std::reverse(b, b + sizeof b);
        s.append(b, sizeof b);
    }
    Writer& sz(uint64_t v) {
        if (!binary)
            s += std::to_string(v) + " ";
        else if (size_bytes == 8)
            raw<uint64_t>(v);
        else
            raw<uint32_t>(uint32_t(v));
        return *this;
    }
    Writer& i(int v) {
        if (binary)
            raw<int32_t>(v);
        else
            s += std::to_string(v) + " ";
        return *this;
    }
    Writer& d(double v) {
        if (binary) {
            raw<double>(v);
        } else {
            std::ostringstream o;
            o.precision(17);
            o << v << " ";
            s += o.str();
        }
        return *this;
    }
    Writer& nl() {
        if (!binary) s += "\n";
        return *this;
    }
    // Text that begins a binary part ends with its own newline.
    Writer& head(const std::string& t) { return text(t + "\n"); }
    Writer& tail(const std::string& t) { return text(binary ? "\n" + t + "\n" : t + "\n"); }
};

// The test mesh: 5 corner points, 6 more for a second-order tetrahedron, a linear and a
// second-order tetrahedron, two triangles (one on a surface with a physical tag, one without),
// and a point and a line element that are read past.
const mosk::Point kCoords[11] = {{0, 0, 0},   {1, 0, 0},     {0, 1, 0},     {0, 0, 1},
                                 {1, 1, 1},   {0.5, 0, 0},   {0.5, 0.5, 0}, {0, 0.5, 0},
                                 {0, 0, 0.5}, {0.5, 0, 0.5}, {0, 0.5, 0.5}};

void expect_test_mesh(const MeshData& m) {
    ASSERT_EQ(m.points.size(), 11u);
    for (int k = 0; k < 11; ++k) EXPECT_EQ(m.points[k], kCoords[k]) << "point " << k;
    ASSERT_EQ(m.tets.size(), 2u);
    EXPECT_EQ(m.tets[0], (std::array<int, 4>{1, 2, 3, 4}));
    EXPECT_EQ(m.tets[1], (std::array<int, 4>{0, 1, 2, 3}));  // corners of the 10-node tet
    ASSERT_EQ(m.triangles.size(), 2u);
    EXPECT_EQ(m.triangles[0], (std::array<int, 3>{0, 1, 2}));
    EXPECT_EQ(m.triangles[1], (std::array<int, 3>{0, 1, 3}));
    // Physical tag 3 for the first, the elementary/entity tag 8 for the second (no physical).
    EXPECT_EQ(m.triangle_labels, (std::vector<int>{3, 8}));
}

// MSH 2.2 with node tags tag0 + 10 * k; sections the reader must skip come first.
std::string msh22(bool binary, bool swap = false, uint64_t tag0 = 1000000) {
    auto T = [&](int k) { return tag0 + 10 * uint64_t(k); };
    Writer w;
    w.binary = binary;
    w.swap = swap;
    w.text("$MeshFormat\n2.2 ").text(binary ? "1" : "0").text(" 8\n");
    if (binary) {
        w.raw<int32_t>(1);
        w.text("\n");
    }
    w.text(
        "$EndMeshFormat\n$PhysicalNames\n2\n2 3 \"bottom\"\n3 100 \"$EndNodes lookalike\"\n"
        "$EndPhysicalNames\n$Comments\nanything at all 1 2 3\n$EndComments\n");
    w.head("$Nodes").text("11\n");
    for (int k = 0; k < 11; ++k) {
        if (binary)
            w.raw<int32_t>(int32_t(T(k)));
        else
            w.text(std::to_string(T(k)) + " ");
        w.d(kCoords[k][0]).d(kCoords[k][1]).d(kCoords[k][2]).nl();
    }
    w.tail("$EndNodes");
    w.text("$Elements\n7\n");
    // number, type, physical tag, elementary tag, node indices
    struct E {
        int number, type, phys, elem;
        std::vector<int> nodes;
    };
    const E elements[] = {
        {1, 15, 0, 1, {0}},           {2, 1, 0, 2, {0, 1}},
        {3, 2, 3, 7, {0, 1, 2}},      {4, 2, 0, 8, {0, 1, 3}},
        {5, 4, 100, 1, {1, 2, 3, 4}}, {6, 11, 100, 1, {0, 1, 2, 3, 5, 6, 7, 8, 9, 10}},
        {7, 8, 0, 2, {0, 1, 5}}};
    for (size_t e = 0; e < std::size(elements); ++e) {
        const E& x = elements[e];
        if (binary) {
            // The two triangles share one block header.
            if (e != 3) {
                w.raw<int32_t>(x.type);
                w.raw<int32_t>(e == 2 ? 2 : 1);
                w.raw<int32_t>(2);
            }
            w.raw<int32_t>(x.number);
            w.raw<int32_t>(x.phys);
            w.raw<int32_t>(x.elem);
            for (int n : x.nodes) w.raw<int32_t>(int32_t(T(n)));
        } else {
            w.text(std::to_string(x.number) + " " + std::to_string(x.type) + " 2 " +
                   std::to_string(x.phys) + " " + std::to_string(x.elem));
            for (int n : x.nodes) w.text(" " + std::to_string(T(n)));
            w.text("\n");
        }
    }
    w.tail("$EndElements");
    return w.s;
}

// MSH 4.1 with node tags tag0 + 10 * k, parametric coordinates in the volume block, an
// $Entities section giving surface 7 the physical tag 3 and surface 8 none.
std::string msh41(bool binary, int size_bytes = 8, bool swap = false,
                  uint64_t tag0 = (uint64_t(1) << 40)) {
    auto T = [&](int k) { return tag0 + 10 * uint64_t(k); };
    Writer w;
    w.binary = binary;
    w.size_bytes = size_bytes;
    w.swap = swap;
    w.text("$MeshFormat\n4.1 ").text(binary ? "1 " : "0 ").text(std::to_string(size_bytes) + "\n");
    if (binary) {
        w.raw<int32_t>(1);
        w.text("\n");
    }
    w.text("$EndMeshFormat\n");
    w.head("$Entities").sz(1).sz(0).sz(2).sz(1).nl();
    w.i(1).d(0).d(0).d(0).sz(0).nl();
    w.i(7).d(0).d(0).d(0).d(1).d(1).d(0).sz(1).i(3).sz(0).nl();
    w.i(8).d(0).d(0).d(0).d(1).d(0).d(1).sz(0).sz(2).i(1).i(-2).nl();
    w.i(1).d(0).d(0).d(0).d(1).d(1).d(1).sz(2).i(100).i(101).sz(2).i(7).i(8).nl();
    w.tail("$EndEntities");
    w.text("$Periodic\n0\n$EndPeriodic\n");
    w.head("$Nodes").sz(2).sz(11).sz(T(0)).sz(T(10)).nl();
    w.i(0).i(1).i(0).sz(1).nl().sz(T(0)).nl();
    w.d(0).d(0).d(0).nl();
    w.i(3).i(1).i(1).sz(10).nl();
    for (int k = 1; k < 11; ++k) w.sz(T(k)).nl();
    for (int k = 1; k < 11; ++k)
        w.d(kCoords[k][0]).d(kCoords[k][1]).d(kCoords[k][2]).d(0.25).d(0.5).d(0.75).nl();
    w.tail("$EndNodes");
    struct B {
        int dim, entity, type;
        std::vector<int> nodes;
    };
    const B blocks[] = {{0, 1, 15, {0}},         {1, 2, 1, {0, 1}},
                        {2, 7, 2, {0, 1, 2}},    {2, 8, 2, {0, 1, 3}},
                        {3, 1, 4, {1, 2, 3, 4}}, {3, 1, 11, {0, 1, 2, 3, 5, 6, 7, 8, 9, 10}}};
    const uint64_t nb = std::size(blocks);
    w.head("$Elements").sz(nb).sz(nb).sz(1).sz(nb).nl();
    int number = 1;
    for (const B& b : blocks) {
        w.i(b.dim).i(b.entity).i(b.type).sz(1).nl();
        w.sz(uint64_t(number++));
        for (int n : b.nodes) w.sz(T(n));
        w.nl();
    }
    w.tail("$EndElements");
    return w.s;
}

std::string medit_text() {
    return "# a Medit mesh\nmeshversionformatted 2 # keywords in any case\n\nDimension\n3\n"
           "Vertices\n11\n"
           "0 0 0 1\n1 0 0 1\n0 1 0 1\n0 0 1 1\n1 1 1 1\n"
           "0.5 0 0 0\n0.5 0.5 0 0\n0 0.5 0 0\n0 0 0.5 0\n0.5 0 0.5 0\n0 0.5 0.5 0\n"
           "Corners 2 1 2\nRidges\n1\n1\nEdges\n2\n1 2 5\n2 3 5\n"
           "RequiredVertices 1 3\nNormals 1 0 0 1 NormalAtVertices 1 1 1\n"
           "Quadrilaterals\n1\n1 2 3 4 7\nHexahedra\n1\n1 2 3 4 5 6 7 8 9\n"
           "Tetrahedra\n2\n2 3 4 5 1\n1 2 3 4 1\n"
           "Triangles\n2\n1 2 3 3\n1 2 4 8\n"
           "End\n";
}

MeshData read_text(const std::string& bytes, bool medit) {
    mosk::io::Scanner in(bytes.data(), bytes.size(), "memory");
    if (medit) {
        in.set_hash_comments(true);
        return mosk::io::read_medit(in);
    }
    return mosk::io::read_gmsh(in);
}

// The message of the FormatError that reading `bytes` (as file `name`) throws.
std::string format_error(const TempDir& dir, const std::string& bytes,
                         const std::string& name = "bad.msh") {
    const std::string path = dir.write(name, bytes);
    try {
        mosk::read_mesh(path);
    } catch (const mosk::FormatError& e) {
        return e.what();
    }
    ADD_FAILURE() << "no FormatError for " << name;
    return "";
}

// Line (1-based) at which `needle` starts in `text`.
int line_of(const std::string& text, const std::string& needle) {
    const size_t at = text.find(needle);
    EXPECT_NE(at, std::string::npos) << needle;
    return 1 + int(std::count(text.begin(), text.begin() + std::ptrdiff_t(at), '\n'));
}

std::string replaced(std::string s, const std::string& from, const std::string& to) {
    const size_t at = s.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) s.replace(at, from.size(), to);
    return s;
}

#define EXPECT_HAS(text, part) EXPECT_NE(std::string(text).find(part), std::string::npos) << (text)

// ---- good files ------------------------------------------------------------------------------

TEST(MeshReaderGmsh, AllEncodingsGiveTheSameMesh) {
    TempDir dir;
    const struct {
        const char* name;
        std::string bytes;
    } files[] = {{"a22.msh", msh22(false)},
                 {"b22.msh", msh22(true)},
                 {"b22swapped.msh", msh22(true, true)},
                 {"a41.msh", msh41(false)},
                 {"b41.msh", msh41(true)},
                 {"b41size4.msh", msh41(true, 4, false, 1000)},
                 {"b41swapped.msh", msh41(true, 8, true)},
                 // Content decides, not the extension.
                 {"gmsh.mesh", msh41(false)},
                 {"gmsh.txt", msh22(false)}};
    for (const auto& f : files) {
        SCOPED_TRACE(f.name);
        expect_test_mesh(mosk::read_mesh(dir.write(f.name, f.bytes)));
    }
}

TEST(MeshReaderGmsh, DenseAndSparseTagsAlike) {
    // Small dense tags use the direct table, tags near 2^64 the sorted one.
    for (uint64_t tag0 : {uint64_t(1), uint64_t(0), ~uint64_t(0) - 200}) {
        SCOPED_TRACE(tag0);
        expect_test_mesh(read_text(msh41(false, 8, false, tag0), false));
    }
    expect_test_mesh(read_text(msh22(false, false, 1), false));
    expect_test_mesh(read_text(msh22(false, false, 123456789012345), false));
}

TEST(MeshReaderGmsh, SlicesOfABinaryFileMakeUpTheWholeMesh) {
    TempDir dir;
    EXPECT_EQ(mosk::sliceable_tetrahedra(dir.write("a.msh", msh41(false))), -1);
    EXPECT_EQ(mosk::sliceable_tetrahedra(dir.write("b.msh", msh22(true))), -1);
    // Two tetrahedra in two blocks (one of second order), parametric nodes, sparse tags.
    for (const auto& bytes : {msh41(true), msh41(true, 4, false, 1000), msh41(true, 8, true)}) {
        const std::string path = dir.write("b41.msh", bytes);
        const MeshData whole = mosk::read_mesh(path);
        ASSERT_EQ(mosk::sliceable_tetrahedra(path), 2);
        for (int parts : {1, 2, 3}) {
            std::vector<std::array<int, 4>> tets;
            std::vector<int> labels;
            for (int part = 0; part < parts; ++part) {
                const mosk::MeshSlice s = mosk::read_mesh_slice(path, part, parts);
                EXPECT_EQ(s.first, int64_t(tets.size()));
                EXPECT_EQ(s.total_tets, 2);
                EXPECT_EQ(s.triangles, whole.triangles);
                EXPECT_EQ(s.triangle_labels, whole.triangle_labels);
                for (size_t k = 0; k < s.points.size(); ++k)
                    EXPECT_EQ(s.points[k], whole.points[size_t(s.point_numbers[k])]);
                for (const auto& t : s.tets)
                    tets.push_back(
                        {int(s.point_numbers[size_t(t[0])]), int(s.point_numbers[size_t(t[1])]),
                         int(s.point_numbers[size_t(t[2])]), int(s.point_numbers[size_t(t[3])])});
                labels.insert(labels.end(), s.tet_labels.begin(), s.tet_labels.end());
            }
            EXPECT_EQ(tets, whole.tets) << parts << " parts";
            EXPECT_EQ(labels, whole.tet_labels) << parts << " parts";
        }
    }
}

TEST(MeshReaderGmsh, WindowsLineEndingsAndMissingEntities) {
    std::string crlf;
    for (char c : msh22(false)) {
        if (c == '\n') crlf += '\r';
        crlf += c;
    }
    expect_test_mesh(read_text(crlf, false));
    // Without $Entities a triangle's label is its entity tag.
    std::string s = msh41(false);
    s.erase(s.find("$Entities"), s.find("$Periodic") - s.find("$Entities"));
    const MeshData m = read_text(s, false);
    EXPECT_EQ(m.triangle_labels, (std::vector<int>{7, 8}));
}

TEST(MeshReaderMedit, ReadsVerticesTetsAndLabelledTrianglesAndSkipsTheRest) {
    TempDir dir;
    const std::string text = replaced(medit_text(), "Hexahedra\n1\n1 2 3 4 5 6 7 8 9\n", "");
    expect_test_mesh(mosk::read_mesh(dir.write("m.mesh", text)));
    expect_test_mesh(mosk::read_mesh(dir.write("medit.msh", text)));
    // The reader counts other volume cells; the import refuses them instead of losing them.
    const MeshData with_hex = read_text(medit_text(), true);
    expect_test_mesh(with_hex);
    EXPECT_EQ(with_hex.hexahedra, 1);
    EXPECT_HAS(format_error(dir, medit_text(), "hex.mesh"), "1 hexahedra");
}

TEST(MeshReaderBundled, CubeAndBallImportWithLabels) {
    const std::string root = MOSK_SOURCE_DIR;
    const MeshData cube = mosk::read_mesh(root + "/meshes/cube.msh");
    EXPECT_GE(cube.tets.size(), 1000u);
    EXPECT_LE(cube.tets.size(), 3000u);
    EXPECT_EQ(std::set<int>(cube.triangle_labels.begin(), cube.triangle_labels.end()),
              (std::set<int>{1, 2, 3, 4, 5, 6}));
    double volume = 0;
    for (const auto& t : cube.tets)
        volume += mosk::signed_volume(cube.points[t[0]], cube.points[t[1]], cube.points[t[2]],
                                      cube.points[t[3]]);
    EXPECT_NEAR(volume, 1.0, 1e-12);
    const MeshData ball = mosk::read_mesh(root + "/meshes/ball.mesh");
    EXPECT_GT(ball.tets.size(), 100u);
    EXPECT_FALSE(ball.triangles.empty());
}

// ---- errors ----------------------------------------------------------------------------------

TEST(MeshReaderInput, FileErrorsCarryErrnoAndName) {
    TempDir dir;
    const std::string missing = dir.path() + "/none.msh";
    try {
        mosk::read_mesh(missing);
        ADD_FAILURE();
    } catch (const mosk::FileError& e) {
        EXPECT_EQ(e.code(), ENOENT);
        EXPECT_HAS(e.what(), "none.msh");
    }
    try {
        mosk::read_mesh(dir.path());
        ADD_FAILURE();
    } catch (const mosk::FileError& e) {
        EXPECT_EQ(e.code(), EISDIR);
        EXPECT_HAS(e.what(), dir.path());
    }
    EXPECT_THROW(mosk::read_mesh(""), mosk::FileError);
    // A FIFO with no writer must not block the reader.
    const std::string fifo = dir.path() + "/pipe.msh";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_THROW(mosk::read_mesh(fifo), mosk::FileError);
}

TEST(MeshReaderInput, UnknownContentNamesFileAndUsesExtensionAsHint) {
    TempDir dir;
    const std::string empty = format_error(dir, "", "empty.msh");
    EXPECT_HAS(empty, "file '" + dir.path() + "/empty.msh', line 1:");
    EXPECT_HAS(empty, "empty");
    EXPECT_HAS(format_error(dir, "  \n\n", "blank.mesh"), "empty");
    EXPECT_HAS(format_error(dir, "hello world\n", "x.msh"), "does not begin with $MeshFormat");
    EXPECT_HAS(format_error(dir, "\nhello\n", "x.mesh"), "line 2: not a Medit mesh");
    const std::string other = format_error(dir, "solid cube\n", "x.stl");
    EXPECT_HAS(other, "x.stl");
    EXPECT_HAS(other, "unknown mesh format");
    std::string meshb(16, '\0');
    meshb[0] = 1;
    EXPECT_HAS(format_error(dir, meshb, "x.meshb"), "binary Medit");
}

TEST(MeshReaderInput, GmshErrorsNameTheLine) {
    TempDir dir;
    const std::string good = msh22(false);
    const std::string path = dir.path() + "/bad.msh";
    // An element naming a node tag that $Nodes lacks.
    std::string bad = replaced(good, "\n4 2 2 0 8 1000000", "\n4 2 2 0 8 1000001");
    EXPECT_HAS(format_error(dir, bad), "file '" + path + "', line " +
                                           std::to_string(line_of(bad, "\n4 2 2 0 8") + 1) +
                                           ": element 4 names node tag 1000001");
    // Unknown element type.
    bad = replaced(good, "\n5 4 2", "\n5 77 2");
    EXPECT_HAS(format_error(dir, bad),
               "line " + std::to_string(line_of(bad, "\n5 77") + 1) + ": unknown element type 77");
    // A non-numeric coordinate, NaN and infinity.
    for (const char* token : {"0x1p3", "nan", "inf", "1e999", "1.0.0", "--1"}) {
        SCOPED_TRACE(token);
        bad = replaced(good, "\n1000020 0 1 0", std::string("\n1000020 0 ") + token + " 0");
        const std::string m = format_error(dir, bad);
        EXPECT_HAS(m, "line " + std::to_string(line_of(bad, "\n1000020 ") + 1) + ":");
        EXPECT_HAS(m, "coordinate");
    }
    // A duplicate node tag is reported at its section.
    bad = replaced(good, "\n1000010 ", "\n1000000 ");
    EXPECT_HAS(format_error(dir, bad), "line " + std::to_string(line_of(bad, "$Nodes")) +
                                           ": node tag 1000000 is defined twice");
    // Tags beyond 64 bits.
    bad =
        replaced(msh41(false, 8, false, 1), "0 1 0 1 \n1 \n", "0 1 0 1 \n18446744073709551616 \n");
    EXPECT_HAS(format_error(dir, bad), "out of range");
}

TEST(MeshReaderInput, GmshStructureErrors) {
    TempDir dir;
    const std::string good = msh22(false);
    struct Case {
        std::string bytes, expected;
    };
    const Case cases[] = {
        {replaced(good, "\n$EndNodes", "\n$EndNode"), "expected $EndNodes"},
        {replaced(good, "\n11\n", "\n12\n"), "expected a node tag"},     // one node short
        {replaced(good, "\n11\n", "\n10\n"), "expected $EndNodes"},      // one node too many
        {replaced(good, "\n11\n", "\n-11\n"), "non-negative"},
        {replaced(good, "\n11\n", "\n1000000000000\n"), "exceeds what the rest of the file"},
        {replaced(good, "\n7\n", "\n99999999999999999\n"), "exceeds what the rest of the file"},
        {replaced(good, "2.2 0 8", "4.0 0 8"), "version '4.0' is not supported"},
        {replaced(good, "2.2 0 8", "2.2 7 8"), "file type"},
        {replaced(good, "$EndComments", "$EndComment"), "$Comments has no $EndComments"},
        {good.substr(0, good.find("$Elements")), "no $Elements section"},
        {good.substr(0, good.find("\n6 11 2")), "expected an element number, found the end"},
        {replaced(good, "$Elements", "Elements"), "beginning with '$'"},
        {replaced(good, "$Comments", "$Nodes\n0\n$EndNodes\n$Comments"), "second $Nodes"},
        {replaced(msh41(false), "$Nodes\n2 11", "$Nodes\n2 12"), "the node blocks hold 11 nodes"},
        {replaced(msh41(false), "\n3 1 1 10", "\n3 1 1 11"), "more nodes than"},
        {replaced(msh41(false), "\n3 1 1 10", "\n3 1 2 10"), "parametric flag"},
        {replaced(msh41(false), "$Elements\n6 6", "$Elements\n6 5"), "more elements than"},
        {replaced(msh41(false), "$Elements\n6 6", "$Elements\n6 7"), "the element blocks hold 6"},
        {replaced(msh41(false), "\n2 7 2 1", "\n2 7 34 1"), "unknown element type 34"},
        {replaced(msh41(false), "\n2 7 2 1", "\n2 7 2 -1"), "non-negative"},
        {replaced(msh41(false), "2 1 -2", "2 1 x"), "bounding entity tag"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        const std::string m = format_error(dir, c.bytes);
        EXPECT_HAS(m, "file '" + dir.path() + "/bad.msh', line ");
        EXPECT_HAS(m, c.expected);
    }
}

TEST(MeshReaderInput, GmshBinaryErrors) {
    TempDir dir;
    const std::string b41 = msh41(true);
    // Cut inside the element data: the data runs past the end.
    EXPECT_HAS(format_error(dir, b41.substr(0, b41.size() - 30)), "runs past the end of the file");
    // A node count no file of this size can hold.
    std::string bad = b41;
    const size_t nodes = bad.find("$Nodes\n") + 7;
    const uint64_t huge = uint64_t(1) << 50;
    std::memcpy(&bad[nodes + 8], &huge, 8);
    EXPECT_HAS(format_error(dir, bad), "exceeds what the rest of the file can hold");
    // A NaN coordinate in binary.
    bad = msh22(true);
    const size_t first = bad.find("$Nodes\n11\n") + 10;
    const double nan = std::nan("");
    std::memcpy(&bad[first + 4 + 8], &nan, 8);
    EXPECT_HAS(format_error(dir, bad), "not finite (binary data at byte offset");
    // An element block claiming more elements than announced.
    bad = msh22(true);
    const size_t block = bad.find("$Elements\n7\n") + 12;
    const int32_t many = 1 << 30;
    std::memcpy(&bad[block + 4], &many, 4);
    EXPECT_HAS(format_error(dir, bad), "does not fit the announced 7");
    // A wrong byte-order mark and a missing line break before binary data.
    EXPECT_HAS(format_error(dir, replaced(msh22(true), std::string("\1\0\0\0", 4),
                                          std::string("\2\0\0\0", 4))),
               "byte-order mark");
    EXPECT_HAS(format_error(dir, replaced(msh22(true), "$Nodes\n11\n", "$Nodes\n11 x")),
               "end of the line");
    EXPECT_HAS(format_error(dir, replaced(msh41(true), "4.1 1 8", "4.1 1 2")), "2-byte sizes");
}

TEST(MeshReaderInput, MeditErrorsNameTheLine) {
    TempDir dir;
    const std::string good = medit_text();
    const std::string path = dir.path() + "/bad.mesh";
    struct Case {
        std::string bytes, expected;
        int line;  // 0: do not check
    };
    const Case cases[] = {
        {replaced(good, "End\n", ""), "ends without End", 0},
        {replaced(good, "Dimension\n3", "Dimension\n2"), "only 3-dimensional", 5},
        {replaced(good, "Ridges", "Riddles"), "unknown keyword 'Riddles'", 0},
        {replaced(good, "2 3 4 5 1", "2 3 4 12 1"), "vertex index 12 is outside 1..11", 0},
        {replaced(good, "1 2 4 8", "1 0 4 8"), "vertex index 0 is outside", 0},
        {replaced(good, "0.5 0.5 0 0", "0.5 nan 0 0"), "not finite", 0},
        {replaced(good, "0.5 0.5 0 0", "0.5 half 0 0"), "expected a vertex coordinate", 0},
        {replaced(good, "Vertices\n11", "Vertices\n-1"), "non-negative", 0},
        {replaced(good, "Vertices\n11", "Vertices\n4000000000"), "exceeds what the rest", 0},
        {replaced(good, "Hexahedra\n1", "Hexahedra\n1000000000000"), "exceeds what the rest", 0},
        {replaced(good, "Tetrahedra\n2", "Tetrahedra\n3"), "expected a vertex index", 0},
        {replaced(good, "Triangles\n2", "Triangles\n1"), "unknown keyword '1'", 0},
        {replaced(good, "2 3 4 5 1", "2 3 4 5 1.5"), "reference number", 0},
        {replaced(good, "meshversionformatted 2", "MeshVersionFormatted 9"), "format version", 0},
        {good.substr(0, good.find("Triangles") + 9), "found the end of the file", 0},
        {replaced(good, "Dimension\n3\n", ""), "Vertices before Dimension", 0},
        {replaced(good, "End\n", "Vertices 0\nEnd\n"), "second Vertices", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        const std::string m = format_error(dir, c.bytes, "bad.mesh");
        EXPECT_HAS(m, "file '" + path + "', line ");
        EXPECT_HAS(m, c.expected);
        if (c.line) EXPECT_HAS(m, "line " + std::to_string(c.line) + ":");
    }
    // The line of an error after comments and blank lines.
    const std::string bad = replaced(good, "1 2 4 8", "1 2 4 x");
    EXPECT_HAS(format_error(dir, bad, "bad.mesh"),
               "line " + std::to_string(line_of(bad, "1 2 4 x")) + ": expected a reference number");
}

// Every truncation and many single-byte corruptions of good files either read or fail with
// FormatError: never another exception, a crash or a hang (run under the sanitizers too).
TEST(MeshReaderHostile, TruncationsAndCorruptionsFailCleanly) {
    const struct {
        std::string bytes;
        bool medit;
    } files[] = {{msh22(false), false}, {msh22(true), false},    {msh41(false), false},
                 {msh41(true), false},  {msh41(true, 4), false}, {medit_text(), true}};
    int read_ok = 0, rejected = 0;
    auto attempt = [&](const std::string& bytes, bool medit) {
        try {
            const MeshData m = read_text(bytes, medit);
            for (const auto& t : m.tets)
                for (int v : t) ASSERT_TRUE(v >= 0 && size_t(v) < m.points.size());
            ASSERT_EQ(m.triangles.size(), m.triangle_labels.size());
            ++read_ok;
        } catch (const mosk::FormatError&) {
            ++rejected;
        }
        // The last of two slices of what reads as binary MSH 4.1.
        try {
            mosk::io::Scanner in(bytes.data(), bytes.size(), "memory");
            if (medit || mosk::io::gmsh_sliceable_tetrahedra(in) < 0) return;
            mosk::io::Scanner again(bytes.data(), bytes.size(), "memory");
            const mosk::MeshSlice s = mosk::io::read_gmsh_slice(again, nullptr, 1, 2);
            for (const auto& t : s.tets)
                for (int v : t) ASSERT_TRUE(v >= 0 && size_t(v) < s.points.size());
            ASSERT_EQ(s.points.size(), s.point_numbers.size());
        } catch (const mosk::FormatError&) {}
    };
    for (const auto& f : files) {
        for (size_t cut = 0; cut < f.bytes.size(); ++cut) attempt(f.bytes.substr(0, cut), f.medit);
        for (size_t at = 0; at < f.bytes.size(); ++at)
            for (char c : {'\0', '\n', '9', '-', char(0xff)}) {
                std::string b = f.bytes;
                b[at] = c;
                attempt(b, f.medit);
            }
    }
    EXPECT_GT(rejected, 1000);
    EXPECT_GT(read_ok, 0);
}

TEST(MeshReaderHostile, TruncatedPrefixesOfGmshAreRejected) {
    // Cutting a file anywhere before its last section is closed must never pass as a mesh.
    for (const std::string& s : {msh22(false), msh22(true), msh41(false), msh41(true)}) {
        const size_t closed = s.rfind("$EndElements");
        for (size_t cut = 0; cut < closed + 11; ++cut)
            EXPECT_THROW(read_text(s.substr(0, cut), false), mosk::FormatError) << cut;
    }
}

}  // namespace

// MSH 2 lists an element once per physical group: a triangle then carries every group's label
// (the import joins them), a tetrahedron stays one cell with the first group as its label.
TEST(MeshReaderGmsh, ElementsOfSeveralGroupsInMsh2) {
    const std::string s =
        "$MeshFormat\n2.2 0 8\n$EndMeshFormat\n$Nodes\n4\n1 0 0 0\n2 1 0 0\n3 0 1 0\n4 0 0 1\n"
        "$EndNodes\n$Elements\n4\n1 4 2 5 1 1 2 3 4\n2 4 2 6 1 1 2 3 4\n"
        "3 2 2 3 1 1 3 2\n4 2 2 7 1 1 3 2\n$EndElements\n";
    const MeshData m = read_text(s, false);
    EXPECT_EQ(m.tets.size(), 1u);
    EXPECT_EQ(m.tet_labels, (std::vector<int>{5}));
    EXPECT_EQ(m.triangles.size(), 2u);
    EXPECT_EQ(m.triangle_labels, (std::vector<int>{3, 7}));
}
