// The Windows command line under wine (scripts/wine-run: code page 936) against a stand-in on
// this machine: two sets converted into the program's own folder (Z:\... to the program, mapped
// back by the stand-in), its output read in code page 936, and its exit code. TARVEX_WINDOWS_CLI
// names the program.

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "backup_check.h"
#include "codepage.h"
#include "standin_process.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::istringstream in(text);
    for (std::string part; std::getline(in, part, separator);) parts.push_back(part.ends_with('\r') ? part.substr(0, part.size() - 1) : part);
    return parts;
}

std::string FileText(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A folder with a copy of the program alone, and the program's output beside it; removed with
// the object.
struct Folders {
    fs::path root = fs::temp_directory_path() / ("tarvex-wine-cli-" + std::to_string(::getpid()));
    fs::path program = root / "program";
    fs::path exe = program / "tarvex-convert-cli.exe";
    explicit Folders(const fs::path& built) {
        fs::remove_all(root);
        fs::create_directories(program);
        fs::copy_file(built, exe);
    }
    ~Folders() {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }
    std::vector<fs::path> Files(const std::string& extension) const {
        std::vector<fs::path> files;
        for (const auto& entry : fs::directory_iterator(program))
            if (entry.path().extension() == extension) files.push_back(entry.path());
        return files;
    }
    // Runs the program under wine; its exit code, stdout and stderr in UTF-8.
    int Run(const std::string& args, std::string& out, std::string& err) const {
        const std::string command = std::string("'") + WINE_RUN + "' '" + exe.string() + "' " + args + " > '" +
                                    (root / "out").string() + "' 2> '" + (root / "err").string() + "'";
        const int status = std::system(command.c_str());
        const tarvex::CodePage cp936 = tarvex::CodePage::Named("GBK");
        out = cp936.ToUtf8(FileText(root / "out"));
        err = cp936.ToUtf8(FileText(root / "err"));
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

}  // namespace

TEST(WindowsCommandLineUnderWine, ConvertsTwoSetsIntoTheProgramsFolderAndAnswersInCodePage936) {
    const char* program = std::getenv("TARVEX_WINDOWS_CLI");
    if (program == nullptr || *program == '\0') GTEST_SKIP() << "TARVEX_WINDOWS_CLI names no Windows program";

    testsupport::UsePrivateOdbcConfig();
    testsupport::StandinProcess::Options options;
    options.extraArgs = {"--map-drive", "Z:=/"};
    testsupport::StandinProcess standin(options);
    standin.ExportTdsPort();
    ::setenv("TARVEX_PASSWORD", "1", 1);
    const Folders folders{fs::path(program)};

    std::string out, err;
    ASSERT_EQ(folders.Run("convert --set 2016/001/001 --set 2017/002/002", out, err), 0) << err;
    const std::vector<std::string> lines = Split(out, '\n');
    ASSERT_EQ(lines.size(), 4u) << out;
    EXPECT_EQ(lines[2], "汇总：2个账套，已转换2个。");
    EXPECT_TRUE(lines[3].starts_with("汇总文件：Z:\\")) << lines[3];
    const fs::path source = standin.DataDir() / "2016年乡镇数据采集.sqlite";
    for (const std::string& line : {lines[0], lines[1]}) {
        const std::vector<std::string> f = Split(line, '\t');
        ASSERT_GE(f.size(), 10u) << line;
        EXPECT_EQ(f[5], "已转换") << line;
        EXPECT_EQ(f[9], "通过") << line;
        // The server writes the backup under the name the program gave it.
        backupcheck::ExpectRowsOfAccountSet(folders.program / f[8], source, f[1], f[3], f[0]);
    }
    EXPECT_EQ(folders.Files(".bak").size(), 2u);
    // The program's own files: the two records and the summary, UTF-8 inside.
    EXPECT_EQ(folders.Files(".txt").size(), 2u);
    const std::vector<fs::path> csv = folders.Files(".csv");
    ASSERT_EQ(csv.size(), 1u);
    const std::vector<std::string> summary = Split(FileText(csv.front()), '\n');
    ASSERT_EQ(summary.size(), 3u);
    EXPECT_TRUE(summary[0].starts_with("\xEF\xBB\xBF年度,")) << summary[0];
    EXPECT_NE(summary[1].find("\"已转换\""), std::string::npos) << summary[1];

    // Bad usage: exit code 2 and the message in code page 936, nothing converted.
    EXPECT_EQ(folders.Run("convert --year 20x6", out, err), 2);
    EXPECT_NE(err.find("年度“20x6”不是四位数字的年份"), std::string::npos) << err;
    EXPECT_EQ(folders.Files(".bak").size(), 2u);
}
