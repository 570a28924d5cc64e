// Inputs the mesh-reader fuzzers (mosk/fuzz/) once broke the readers with, minimised. Each goes
// through read_mesh and must be rejected with the FormatError named here; every file in the
// directory must be listed, so that a new regression input gets its expectation.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "grid/grid_impl.h"
#include "mosk_errors.h"

namespace fs = std::filesystem;

namespace {

const std::string kDir = std::string(MOSK_SOURCE_DIR) + "/mosk/tests/data/fuzz_regressions";

// File name -> a part of the message its FormatError must carry.
const std::map<std::string, std::string> kExpected = {
    // A Medit tetrahedron before Vertices named a vertex the later Vertices section lacks; the
    // reader returned it unchecked.
    {"medit_tets_before_vertices.mesh", "line 5: vertex index 5 is outside 1..4"},
};

TEST(FuzzRegressions, EveryInputFailsCleanlyWithItsMessage) {
    int seen = 0;
    for (const auto& entry : fs::directory_iterator(kDir)) {
        const std::string name = entry.path().filename().string();
        SCOPED_TRACE(name);
        ++seen;
        const auto expected = kExpected.find(name);
        ASSERT_NE(expected, kExpected.end()) << "no expectation listed for " << name;
        try {
            mosk::read_mesh(entry.path().string());
            ADD_FAILURE() << "read without an error";
        } catch (const mosk::FormatError& e) {
            const std::string what = e.what();
            EXPECT_NE(what.find("'" + entry.path().string() + "'"), std::string::npos) << what;
            EXPECT_NE(what.find(expected->second), std::string::npos) << what;
        }
    }
    EXPECT_EQ(seen, int(kExpected.size()));
}

// The fix above must keep Medit files whose elements come before their Vertices readable.
TEST(FuzzRegressions, MeditElementsBeforeVerticesStillRead) {
    const fs::path path =
        fs::temp_directory_path() / ("mosk_elements_first_" + std::to_string(::getpid()) + ".mesh");
    std::ofstream(path) << "MeshVersionFormatted 2\nDimension 3\nTriangles\n1\n1 2 4 7\n"
                           "Tetrahedra\n1\n1 2 3 4 0\nVertices\n4\n0 0 0 0\n1 0 0 0\n"
                           "0 1 0 0\n0 0 1 0\nEnd\n";
    const mosk::MeshData m = mosk::read_mesh(path.string());
    fs::remove(path);
    ASSERT_EQ(m.points.size(), 4u);
    ASSERT_EQ(m.tets.size(), 1u);
    EXPECT_EQ(m.tets[0], (std::array<int, 4>{0, 1, 2, 3}));
    EXPECT_EQ(m.triangle_labels, (std::vector<int>{7}));
}

}  // namespace
