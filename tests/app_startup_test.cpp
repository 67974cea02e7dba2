// Start-up from another working directory than the program's own (ctest starts this test in
// the source tree's tests folder), and where the backups go.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

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

// An installed program's folder is not the user's: the backups then go to a folder the user
// owns, made when it is needed and only then.
TEST(BackupDirectory, TheProgramsFolderWhenThisProcessMayWriteThereOtherwiseTheUsersOwn) {
    const fs::path base = fs::temp_directory_path() / ("tarvex-backup-choice-" + std::to_string(::getpid()));
    fs::remove_all(base);
    fs::create_directories(base / "program");
    fs::create_directories(base / "closed");
    fs::permissions(base / "closed", fs::perms::owner_read | fs::perms::owner_exec);
    std::ofstream(base / "file") << "not a folder";
    struct Case {
        fs::path program;
        bool fallsBack;
    };
    std::vector<Case> cases = {
        {base / "program", false},
        {base / "missing", true},
        {base / "file" / "program", true},
        {"", true},
    };
    if (::geteuid() != 0) cases.push_back({base / "closed", true});  // root may write anywhere
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const fs::path fallback = base / ("home" + std::to_string(i)) / "文档" / "tarvex-convert";
        const tarvex::BackupDirectory chosen = tarvex::ChooseBackupDirectory(cases[i].program.string(), fallback.string());
        EXPECT_EQ(chosen.fellBack, cases[i].fallsBack) << cases[i].program;
        EXPECT_EQ(fs::path(chosen.path), cases[i].fallsBack ? fallback : cases[i].program) << cases[i].program;
        EXPECT_EQ(fs::is_directory(fallback), cases[i].fallsBack) << cases[i].program;
    }
    fs::permissions(base / "closed", fs::perms::owner_all);
    fs::remove_all(base);
    // This test's own folder takes files: the ordinary case.
    const tarvex::BackupDirectory own = tarvex::ProgramBackupDirectory();
    EXPECT_FALSE(own.fellBack);
    EXPECT_EQ(own.path, tarvex::ProgramDirectory());
}
