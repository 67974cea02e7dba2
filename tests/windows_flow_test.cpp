// The Windows program under wine, driven as a user drives it (tests/windows/drive-conversion)
// against a stand-in on this machine: the .bak lands in the program's own folder (Z:\... to
// the program, mapped back by the stand-in) and holds the chosen account set's rows, compared
// with the source as the Linux flow test compares them; and closing the window in the middle of
// a run ends the program cleanly. TARVEX_WINDOWS_EXE names the program.

#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "backup_check.h"
#include "standin_process.h"

namespace fs = std::filesystem;

namespace {

std::string Quoted(const fs::path& path) { return "'" + path.string() + "'"; }

// The program's folder: a copy of the program alone, removed with the object.
struct ProgramFolder {
    fs::path dir = fs::temp_directory_path() / ("tarvex-wine-" + std::to_string(::getpid()));
    fs::path exe = dir / "tarvex-convert.exe";
    explicit ProgramFolder(const fs::path& program) {
        fs::remove_all(dir);
        fs::create_directories(dir);
        fs::copy_file(program, exe);
    }
    ~ProgramFolder() {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    std::vector<fs::path> Backups() const {
        std::vector<fs::path> files;
        for (const auto& entry : fs::directory_iterator(dir))
            if (entry.path().extension() == ".bak") files.push_back(entry.path());
        return files;
    }
};

const char* WindowsProgram() {
    const char* program = std::getenv("TARVEX_WINDOWS_EXE");
    return program != nullptr && *program != '\0' ? program : nullptr;
}

}  // namespace

TEST(WindowsProgramUnderWine, AConversionEndsInABackupOfThatAccountSetsRowsInTheProgramsFolder) {
    const char* program = WindowsProgram();
    if (program == nullptr) GTEST_SKIP() << "TARVEX_WINDOWS_EXE names no Windows program";

    // wine's odbc32 hands the program's ODBC calls to this process's unixODBC, so the private
    // configuration and TDSPORT reach its driver as they reach the Linux program's.
    testsupport::UsePrivateOdbcConfig();
    testsupport::StandinProcess::Options options;
    options.extraArgs = {"--map-drive", "Z:=/"};
    testsupport::StandinProcess standin(options);
    standin.ExportTdsPort();
    const ProgramFolder folder{fs::path(program)};

    const std::string command = Quoted(DRIVE_CONVERSION) + " " + Quoted(folder.exe) + " " + Quoted(standin.StatementLog());
    ASSERT_EQ(std::system(command.c_str()), 0) << command;

    const std::vector<fs::path> backups = folder.Backups();
    ASSERT_EQ(backups.size(), 1u);
    const std::string name = backups.front().filename().string();
    EXPECT_TRUE(std::regex_match(name, std::regex(R"(演示账套\d{1,2}月\d{1,2}日\d{1,2}时\d{1,2}分\d{1,2}秒\.bak)"))) << name;
    backupcheck::ExpectRowsOfAccountSet(backups.front(), standin.DataDir() / "2016年乡镇数据采集.sqlite", "001", "001",
                                        "2016");
}

// Closes at random moments of a run's first seconds, alternately with Alt+F4 and the close
// button: every one ends the program with exit code 0, no crash dialog and nothing left running.
TEST(WindowsProgramUnderWine, ClosingTheWindowAtAnyMomentOfARunEndsTheProgramCleanly) {
    const char* program = WindowsProgram();
    if (program == nullptr) GTEST_SKIP() << "TARVEX_WINDOWS_EXE names no Windows program";
    constexpr int kCloses = 12;
    testsupport::UsePrivateOdbcConfig();
    std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<int> moment(0, 8000);
    int clean = 0;
    for (int close = 0; close < kCloses; ++close) {
        // A server of its own: a close leaves the temporary database behind.
        testsupport::StandinProcess::Options options;
        options.extraArgs = {"--map-drive", "Z:=/"};
        testsupport::StandinProcess standin(options);
        standin.ExportTdsPort();
        const ProgramFolder folder{fs::path(program)};
        const int afterMs = moment(random);
        const char* by = close % 2 == 0 ? "alt-f4" : "close-button";
        const std::string command = Quoted(CLOSE_DURING_RUN) + " " + Quoted(folder.exe) + " " +
                                    Quoted(standin.StatementLog()) + " " + std::to_string(afterMs) + " " + by;
        const bool ended = std::system(command.c_str()) == 0;
        EXPECT_TRUE(ended) << "close " << close + 1 << ": " << by << " " << afterMs << " ms into the run";
        clean += ended;
    }
    std::cout << clean << " of " << kCloses << " closes ended the program cleanly\n";
}
