// The Windows program under wine, driven as a user drives it (tests/windows/drive-conversion)
// against a stand-in on this machine: the .bak lands in the program's own folder (Z:\... to
// the program, mapped back by the stand-in) and holds the chosen account set's rows, compared
// with the source as the Linux flow test compares them; the record beside it has Windows' line
// ends. TARVEX_WINDOWS_EXE names the program.

#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include "backup_check.h"
#include "codepage.h"
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

}  // namespace

TEST(WindowsProgramUnderWine, AConversionEndsInABackupOfThatAccountSetsRowsInTheProgramsFolder) {
    const char* program = std::getenv("TARVEX_WINDOWS_EXE");
    if (program == nullptr || *program == '\0') GTEST_SKIP() << "TARVEX_WINDOWS_EXE names no Windows program";

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

    // The record beside it ends its lines in CR LF, as every text file the auditor opens there.
    // Under wine in code page 936 the program's own files get names in GBK on this side (the
    // stand-in, a Linux process, names the backup in UTF-8).
    const fs::path recordPath = folder.dir / (tarvex::CodePage::Named("GBK").FromUtf8(name) + ".txt");
    std::ifstream in(recordPath, std::ios::binary);
    ASSERT_TRUE(in) << recordPath;
    const std::string record((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(record.rfind("\xEF\xBB\xBF", 0), 0u);
    EXPECT_NE(record.find("SHA-256"), std::string::npos) << record;
    std::size_t lines = 0, bare = 0;
    for (std::size_t at = record.find('\n'); at != std::string::npos; at = record.find('\n', at + 1), ++lines)
        bare += at == 0 || record[at - 1] != '\r';
    EXPECT_GT(lines, 40u);
    EXPECT_EQ(bare, 0u) << "lines ending in a bare LF";
}
