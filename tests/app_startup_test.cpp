// Start-up from another working directory than the program's own (ctest starts this test in
// the source tree's tests folder).
#include <gtest/gtest.h>

#include <filesystem>

#include "startup.h"

namespace fs = std::filesystem;

TEST(ProgramDirectory, IsTheProgramsFolderAndBecomesTheCurrentDirectory) {
    const fs::path own = fs::canonical(TEST_PROGRAM_DIRECTORY);
    ASSERT_NE(fs::current_path(), own) << "the test must start elsewhere";
    const std::string directory = tarvex::ProgramDirectory();
    EXPECT_EQ(fs::path(directory), own);
    EXPECT_NE(directory.back(), '/');
    tarvex::PrepareProcess();
    tarvex::PrepareProcess();  // idempotent
    EXPECT_EQ(fs::current_path(), own);
    EXPECT_EQ(tarvex::ProgramDirectory(), directory);
}

TEST(ProgramDirectory, CutsThePathAtItsLastSeparator) {
    EXPECT_EQ(tarvex::DirectoryOf("/opt/工具/tarvex-convert"), "/opt/工具");
    EXPECT_EQ(tarvex::DirectoryOf("/tarvex-convert"), "");
    EXPECT_EQ(tarvex::DirectoryOf("tarvex-convert"), "");
}
