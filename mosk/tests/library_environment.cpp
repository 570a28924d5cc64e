// Starts the library (MPI, PETSc) once for the whole test binary and shuts it down at the end.
// Test files that need a started library rely on this; they do not start it themselves.
#include <gtest/gtest.h>

#include "mosk.h"

namespace {

class LibraryEnvironment : public ::testing::Environment {
public:
    void SetUp() override { moskInit(nullptr, nullptr); }
    void TearDown() override { moskFinalize(); }
};

[[maybe_unused]] ::testing::Environment* const library_environment =
    ::testing::AddGlobalTestEnvironment(new LibraryEnvironment);

}  // namespace
