// VTK output: files are parsed back byte by byte (with decoders of their own, not the writer's)
// and compared with the grid and the fields; failures must leave no file behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "grid/grid_impl.h"
#include "grid/grid_export.h"
#include "mosk.h"
#include "mosk_errors.h"

namespace fs = std::filesystem;
using mosk::VtkField;

namespace {

// The unit cube (scaled and shifted so coordinates have untidy bits) cut into six tetrahedra
// along its diagonal, plus one point no tetrahedron uses.
mosk::MeshData cube_mesh() {
    mosk::MeshData m;
    for (int v = 0; v < 8; ++v)
        m.points.push_back(
            {0.3 * (v & 1) + 1.0 / 3, 0.7 * ((v >> 1) & 1) - 0.1, 1.1 * ((v >> 2) & 1) + 1e-3});
    m.points.push_back({5, 5, 5});
    const int axes[6][3] = {{1, 2, 4}, {1, 4, 2}, {2, 1, 4}, {2, 4, 1}, {4, 1, 2}, {4, 2, 1}};
    for (auto& a : axes) {
        std::array<int, 4> t = {0, a[0], a[0] + a[1], 7};
        const auto& p = m.points;
        if (mosk::signed_volume(p[t[0]], p[t[1]], p[t[2]], p[t[3]]) < 0) std::swap(t[2], t[3]);
        m.tets.push_back(t);
    }
    return m;
}

struct TempDir {
    fs::path path;
    TempDir() {
        std::string tmpl = (fs::path(testing::TempDir()) / "mosk-vtk-XXXXXX").string();
        if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
        path = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(path, ec);
    }
    std::string operator/(const std::string& name) const { return (path / name).string(); }
    std::set<std::string> listing() const {
        std::set<std::string> names;
        for (auto& e : fs::directory_iterator(path)) names.insert(e.path().filename().string());
        return names;
    }
};

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

uint64_t big_endian(const std::string& b, size_t at, int n) {
    uint64_t v = 0;
    for (int k = 0; k < n; ++k) v = (v << 8) | uint8_t(b.at(at + k));
    return v;
}
uint64_t little_endian(const std::string& b, size_t at, int n) {
    uint64_t v = 0;
    for (int k = n - 1; k >= 0; --k) v = (v << 8) | uint8_t(b.at(at + k));
    return v;
}
double as_double(uint64_t bits) {
    double d;
    std::memcpy(&d, &bits, 8);
    return d;
}

// A cursor over a legacy file: text lines and big-endian binary blocks.
struct Legacy {
    std::string bytes;
    size_t at = 0;
    std::string line() {
        const size_t end = bytes.find('\n', at);
        if (end == std::string::npos) throw std::runtime_error("no line at " + std::to_string(at));
        std::string s = bytes.substr(at, end - at);
        at = end + 1;
        return s;
    }
    int32_t int32() { return int32_t(uint32_t(big_endian(bytes, (at += 4) - 4, 4))); }
    double real() { return as_double(big_endian(bytes, (at += 8) - 8, 8)); }
};

class VtkWriterTest : public testing::Test {
protected:
    void SetUp() override { grid.assign(cube_mesh(), "cube"); }

    // Point field with 2 components and cell field with 3, values that tell places apart.
    std::vector<VtkField> sample_fields(const std::string& point_name = "T [K] & <more>") const {
        VtkField p{point_name, 2, false, {}};
        for (size_t v = 0; v < size_t(grid.num_vertices()); ++v)
            for (int c = 0; c < 2; ++c) p.values.push_back(v + 0.25 * c + 1.0 / 7);
        VtkField q{"part", 3, true, {}};
        for (size_t e = 0; e < size_t(grid.num_leaves()); ++e)
            for (int c = 0; c < 3; ++c) q.values.push_back(-1.5 * e - c * 1e-9);
        return {p, q};
    }

    mosk::GridImpl grid{nullptr, -1};
    TempDir dir;
};

void expect_legacy(const mosk::GridImpl& grid, const std::string& path,
                   const std::vector<VtkField>& fields, const std::string& point_name_token) {
    Legacy f{slurp(path)};
    const size_t np = size_t(grid.num_vertices()), nc = size_t(grid.num_leaves());
    EXPECT_EQ(f.line(), "# vtk DataFile Version 3.0");
    f.line();  // title
    EXPECT_EQ(f.line(), "BINARY");
    EXPECT_EQ(f.line(), "DATASET UNSTRUCTURED_GRID");
    ASSERT_EQ(f.line(), "POINTS " + std::to_string(np) + " double");
    for (size_t v = 0; v < np; ++v)
        for (int c = 0; c < 3; ++c) ASSERT_EQ(f.real(), grid.vertex(v)[c]) << v << " " << c;
    EXPECT_EQ(f.line(), "");
    ASSERT_EQ(f.line(), "CELLS " + std::to_string(nc) + " " + std::to_string(5 * nc));
    for (size_t e = 0; e < nc; ++e) {
        ASSERT_EQ(f.int32(), 4);
        for (int k = 0; k < 4; ++k) ASSERT_EQ(f.int32(), grid.leaf(int(e)).verts[k]);
    }
    EXPECT_EQ(f.line(), "");
    ASSERT_EQ(f.line(), "CELL_TYPES " + std::to_string(nc));
    for (size_t e = 0; e < nc; ++e) ASSERT_EQ(f.int32(), 10);
    EXPECT_EQ(f.line(), "");
    for (bool cell : {false, true}) {
        const VtkField& fld = fields[cell ? 1 : 0];
        const size_t n = cell ? nc : np;
        EXPECT_EQ(f.line(), (cell ? "CELL_DATA " : "POINT_DATA ") + std::to_string(n));
        EXPECT_EQ(f.line(), "FIELD FieldData 1");
        EXPECT_EQ(f.line(), (cell ? std::string("part") : point_name_token) + " " +
                                std::to_string(fld.components) + " " + std::to_string(n) +
                                " double");
        for (double x : fld.values) ASSERT_EQ(f.real(), x);
        EXPECT_EQ(f.line(), "");
    }
    EXPECT_EQ(f.at, f.bytes.size());
}

struct XmlArray {
    std::map<std::string, std::string> attr;
    std::string data;  // the block's bytes, without its size
};

// Splits a .vtu file into its XML head and the arrays of the appended raw section, checking the
// framing (block sizes, offsets, closing tags) on the way.
std::map<std::string, XmlArray> read_vtu(const std::string& bytes, std::string* head_out) {
    const std::string opening = "<AppendedData encoding=\"raw\">";
    const size_t open = bytes.find(opening);
    if (open == std::string::npos) throw std::runtime_error("no raw appended data");
    const size_t base = bytes.find('_', open) + 1;
    const std::string head = bytes.substr(0, base);
    *head_out = head;
    std::map<std::string, XmlArray> arrays;
    std::regex element("<DataArray ([^>]*)/>"), attribute("(\\w+)=\"([^\"]*)\"");
    size_t end = base;
    for (std::sregex_iterator it(head.begin(), head.end(), element), stop; it != stop; ++it) {
        XmlArray a;
        const std::string attrs = (*it)[1];
        for (std::sregex_iterator jt(attrs.begin(), attrs.end(), attribute); jt != stop; ++jt)
            a.attr[(*jt)[1]] = (*jt)[2];
        const size_t at = base + std::stoull(a.attr.at("offset"));
        const uint64_t size = little_endian(bytes, at, 8);
        a.data = bytes.substr(at + 8, size);
        if (a.data.size() != size) throw std::runtime_error("block runs past the end");
        end = std::max<size_t>(end, at + 8 + size);
        arrays[a.attr.at("Name")] = a;
    }
    if (bytes.substr(end) != "\n  </AppendedData>\n</VTKFile>\n")
        throw std::runtime_error("unexpected bytes after the appended data");
    return arrays;
}

void expect_xml(const mosk::GridImpl& grid, const std::string& path,
                const std::vector<VtkField>& fields, const std::string& point_name_xml) {
    std::string head;
    const auto arrays = read_vtu(slurp(path), &head);
    const size_t np = size_t(grid.num_vertices()), nc = size_t(grid.num_leaves());
    EXPECT_NE(head.find("byte_order=\"LittleEndian\""), std::string::npos);
    EXPECT_NE(head.find("header_type=\"UInt64\""), std::string::npos);
    EXPECT_NE(head.find("NumberOfPoints=\"" + std::to_string(np) + "\" NumberOfCells=\"" +
                        std::to_string(nc) + "\""),
              std::string::npos);
    ASSERT_EQ(arrays.size(), 6u);

    const XmlArray& pts = arrays.at("Points");
    EXPECT_EQ(pts.attr.at("type"), "Float64");
    EXPECT_EQ(pts.attr.at("NumberOfComponents"), "3");
    ASSERT_EQ(pts.data.size(), np * 24);
    for (size_t v = 0; v < np; ++v)
        for (int c = 0; c < 3; ++c)
            ASSERT_EQ(as_double(little_endian(pts.data, 24 * v + 8 * c, 8)), grid.vertex(v)[c]);

    const XmlArray& conn = arrays.at("connectivity");
    const XmlArray& offs = arrays.at("offsets");
    const XmlArray& types = arrays.at("types");
    EXPECT_EQ(conn.attr.at("type"), "Int32");
    EXPECT_EQ(offs.attr.at("type"), "Int64");
    EXPECT_EQ(types.attr.at("type"), "UInt8");
    ASSERT_EQ(conn.data.size(), nc * 16);
    ASSERT_EQ(offs.data.size(), nc * 8);
    ASSERT_EQ(types.data, std::string(nc, char(10)));
    for (size_t e = 0; e < nc; ++e) {
        EXPECT_EQ(little_endian(offs.data, 8 * e, 8), 4 * (e + 1));
        for (int k = 0; k < 4; ++k)
            ASSERT_EQ(int32_t(little_endian(conn.data, 16 * e + 4 * k, 4)),
                      grid.leaf(int(e)).verts[k]);
    }

    for (bool cell : {false, true}) {
        const VtkField& fld = fields[cell ? 1 : 0];
        const XmlArray& a = arrays.at(cell ? std::string("part") : point_name_xml);
        EXPECT_EQ(a.attr.at("NumberOfComponents"), std::to_string(fld.components));
        EXPECT_EQ(a.attr.at("type"), "Float64");
        // Each array sits in its own section of the piece.
        const std::string name = cell ? std::string("part") : point_name_xml;
        const size_t where = head.find("Name=\"" + name + "\"");
        EXPECT_GT(where, head.find(cell ? "<CellData>" : "<PointData>")) << name;
        EXPECT_LT(where, head.find(cell ? "</CellData>" : "</PointData>")) << name;
        ASSERT_EQ(a.data.size(), fld.values.size() * 8);
        for (size_t i = 0; i < fld.values.size(); ++i)
            ASSERT_EQ(as_double(little_endian(a.data, 8 * i, 8)), fld.values[i]);
    }
}

TEST_F(VtkWriterTest, LegacyHoldsGridAndFields) {
    ASSERT_EQ(size_t(grid.num_vertices()), 8u);  // the unused point is not a grid vertex
    const auto fields = sample_fields();
    mosk::write_vtk(grid, dir / "out.vtk", fields);
    expect_legacy(grid, dir / "out.vtk", fields, "T%20[K]%20&%20<more>");
}

TEST_F(VtkWriterTest, XmlHoldsGridAndFields) {
    const auto fields = sample_fields();
    mosk::write_vtk(grid, dir / "out.vtu", fields);
    expect_xml(grid, dir / "out.vtu", fields, "T [K] &amp; &lt;more&gt;");
}

TEST_F(VtkWriterTest, NonAsciiNamesAreKept) {
    const auto fields = sample_fields("temp\xc3\xa9rature%");
    mosk::write_vtk(grid, dir / "a.vtk", fields);
    expect_legacy(grid, dir / "a.vtk", fields, "temp%C3%A9rature%25");
    mosk::write_vtk(grid, dir / "a.vtu", fields);
    expect_xml(grid, dir / "a.vtu", fields, "temp\xc3\xa9rature%");
}

TEST_F(VtkWriterTest, EmptyGridGivesEmptyPiece) {
    mosk::GridImpl empty(nullptr, -1);
    mosk::write_vtk(empty, dir / "e.vtu", {});
    std::string head;
    const auto arrays = read_vtu(slurp(dir / "e.vtu"), &head);
    EXPECT_NE(head.find("NumberOfPoints=\"0\" NumberOfCells=\"0\""), std::string::npos);
    EXPECT_TRUE(arrays.at("connectivity").data.empty());
}

TEST_F(VtkWriterTest, ReplacesExistingFileWithUsualPermissions) {
    const std::string target = dir / "r.vtu";
    std::ofstream(target) << "old";
    std::ofstream(dir / "other") << "x";
    const mode_t saved = umask(022);
    mosk::write_vtk(grid, target, {});
    umask(saved);
    struct stat st;
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);  // not the 0600 of a temporary made by mkstemp
    EXPECT_EQ(slurp(target).rfind("<?xml", 0), 0u);
    EXPECT_EQ(dir.listing(), (std::set<std::string>{"r.vtu", "other"}));
}

TEST_F(VtkWriterTest, UnknownExtensionIsRejected) {
    for (const std::string name : {"out.txt", "out", "out.vtk.bak", "d.vtu/out", ".vtu", "out."}) {
        const std::string path = dir / name;
        try {
            mosk::write_vtk(grid, path, {});
            ADD_FAILURE() << name << " was accepted";
        } catch (const std::invalid_argument& e) {
            const std::string what = e.what();
            EXPECT_NE(what.find(path), std::string::npos) << what;
            EXPECT_NE(what.find(".vtk"), std::string::npos) << what;
            EXPECT_NE(what.find(".vtu"), std::string::npos) << what;
        }
    }
    EXPECT_TRUE(dir.listing().empty());
}

TEST_F(VtkWriterTest, MalformedFieldsAreRejected) {
    auto good = sample_fields();
    std::vector<std::vector<VtkField>> bad(6, good);
    bad[0][0].values.pop_back();         // one value short
    bad[1][1].values.push_back(1);       // one cell value too many
    bad[2][0].components = 0;
    bad[3][1].name = "";
    bad[4][1].name = "a\nb";             // would break the legacy header line
    bad[5][1].name = "bad\xff\xfeutf8";  // would make the XML unreadable
    for (size_t k = 0; k < bad.size(); ++k)
        for (const char* name : {"f.vtk", "f.vtu"})
            EXPECT_THROW(mosk::write_vtk(grid, dir / name, bad[k]), std::invalid_argument) << k;
    EXPECT_TRUE(dir.listing().empty());
}

TEST_F(VtkWriterTest, UnwritablePathsGiveFileErrors) {
    struct Case {
        std::string path;
        int code;
    };
    fs::create_directory(dir.path / "sub.vtu");
    const std::vector<Case> cases = {{dir / "missing/out.vtu", ENOENT},
                                     {dir / "missing/out.vtk", ENOENT},
                                     {dir / "sub.vtu", EISDIR}};
    for (const Case& c : cases) {
        try {
            mosk::write_vtk(grid, c.path, {});
            ADD_FAILURE() << c.path << " was written";
        } catch (const mosk::FileError& e) {
            EXPECT_EQ(e.code(), c.code) << c.path;
            EXPECT_NE(std::string(e.what()).find(c.path), std::string::npos) << e.what();
        }
    }
    EXPECT_EQ(dir.listing(), std::set<std::string>{"sub.vtu"});
    EXPECT_TRUE(fs::is_empty(dir.path / "sub.vtu"));
}

TEST_F(VtkWriterTest, ReadOnlyDirectoryGivesPermissionError) {
    if (geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
    fs::permissions(dir.path, fs::perms::owner_read | fs::perms::owner_exec);
    try {
        mosk::write_vtk(grid, dir / "p.vtu", {});
        ADD_FAILURE() << "written into a read-only directory";
    } catch (const mosk::FileError& e) {
        EXPECT_EQ(e.code(), EACCES);
    }
}

// A write that fails half-way (here: the file size limit) keeps the old file and leaves no
// temporary behind.
TEST_F(VtkWriterTest, FailedWriteKeepsOldFile) {
    std::vector<VtkField> big = {{"big", 40000, false, {}}};
    big[0].values.assign(size_t(grid.num_vertices()) * 40000, 0.5);  // 2.5 MB
    for (const char* name : {"k.vtk", "k.vtu"}) {
        const std::string target = dir / name;
        std::ofstream(target) << "old";
        struct rlimit saved;
        getrlimit(RLIMIT_FSIZE, &saved);
        struct rlimit small = saved;
        small.rlim_cur = 1 << 20;
        auto old_handler = signal(SIGXFSZ, SIG_IGN);
        setrlimit(RLIMIT_FSIZE, &small);
        int code = 0;
        try {
            mosk::write_vtk(grid, target, big);
        } catch (const mosk::FileError& e) {
            code = e.code();
        }
        setrlimit(RLIMIT_FSIZE, &saved);  // before any test output
        signal(SIGXFSZ, old_handler);
        EXPECT_EQ(code, EFBIG) << name;
        EXPECT_EQ(slurp(target), "old") << name;
    }
    EXPECT_EQ(dir.listing(), (std::set<std::string>{"k.vtk", "k.vtu"}));
}

struct GridRecord {
    GRID_* g = moskNewGrid(-1);
    ~GridRecord() { moskFreeGrid(&g); }
};

TEST_F(VtkWriterTest, ExportFunctionWritesGridAndRejectsBadFields) {
    GridRecord rec;
    mosk::impl_of(rec.g).assign(cube_mesh(), "cube");
    moskExportVTKn(rec.g, (dir / "g.vtk").c_str(), 0, nullptr);
    Legacy f{slurp(dir / "g.vtk")};
    for (int k = 0; k < 4; ++k) f.line();
    EXPECT_EQ(f.line(), "POINTS 8 double");

    EXPECT_THROW(moskExportVTKn(rec.g, nullptr, 0, nullptr), std::invalid_argument);
    EXPECT_THROW(moskExportVTKn(rec.g, (dir / "n.vtu").c_str(), -1, nullptr),
                 std::invalid_argument);
    DOF_ dof{};
    DOF_* list[1] = {&dof};
    try {
        moskExportVTKn(rec.g, (dir / "d.vtu").c_str(), 1, list);
        ADD_FAILURE() << "a field without values was accepted";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "mosk: export: null field");
    }
    EXPECT_EQ(dir.listing(), std::set<std::string>{"g.vtk"});
}

}  // namespace
