// The record beside the backup: why it cannot be written, or the backup read, in the user's
// words, and no half-written file left behind.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "codepage.h"
#include "conversion_record.h"

namespace fs = std::filesystem;

namespace {

class RecordFiles : public ::testing::Test {
protected:
    RecordFiles() {
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    ~RecordFiles() override {
        std::error_code ignored;
        fs::permissions(dir / "closed", fs::perms::owner_all, ignored);
        fs::remove_all(dir, ignored);
    }
    std::vector<fs::path> Entries(const fs::path& folder) const {
        std::vector<fs::path> entries;
        for (const auto& e : fs::recursive_directory_iterator(folder)) entries.push_back(e.path());
        std::sort(entries.begin(), entries.end());
        return entries;
    }
    const fs::path dir = fs::temp_directory_path() /
                         (std::string("tarvex-record-") + ::testing::UnitTest::GetInstance()->current_test_info()->name());
};

}  // namespace

TEST_F(RecordFiles, ARecordThatCannotBeWrittenSaysWhyInChinese) {
    fs::create_directory(dir / "a.bak.txt");
    std::ofstream(dir / "file") << "a file, not a folder";
    struct Case {
        fs::path record;
        const char* reason;
    };
    std::vector<Case> cases = {
        {dir / "a.bak.txt", "已有同名的文件夹"},
        {dir / "missing" / "a.bak.txt", "文件夹不存在"},
        {dir / "file" / "a.bak.txt", "文件夹不存在"},
    };
#ifndef _WIN32
    if (::geteuid() != 0) {  // root writes into any folder
        fs::create_directory(dir / "closed");
        fs::permissions(dir / "closed", fs::perms::owner_read | fs::perms::owner_exec);
        cases.push_back({dir / "closed" / "a.bak.txt", "没有写入权限"});
    }
#endif
    const std::vector<fs::path> before = Entries(dir);
    for (const Case& c : cases) {
        EXPECT_EQ(tarvex::WriteRecordFile(c.record.string(), "记录\n"), tarvex::ProgramText(c.reason)) << c.record;
        EXPECT_EQ(Entries(dir), before) << c.record << ": a failed write leaves nothing behind";
    }
}

TEST_F(RecordFiles, ABackupThatCannotBeReadSaysWhyInChinese) {
    fs::create_directory(dir / "folder.bak");
    struct Case {
        fs::path backup;
        const char* reason;
    };
    const Case cases[] = {
        {dir / "missing.bak", "文件不存在"},
        {dir / "missing" / "a.bak", "文件不存在"},
        {dir / "folder.bak", "这是一个文件夹，不是文件"},
    };
    for (const Case& c : cases) {
        tarvex::ExportFacts facts;
        facts.backupFile = c.backup.filename().string();
        facts.backupPath = c.backup.string();
        const std::string text = tarvex::RecordText(std::nullopt, {}, facts);
        EXPECT_NE(text.find(std::string("大小：未知\nSHA-256：此处无法读取（") + c.reason + "）\n"), std::string::npos)
            << c.backup << "\n" << text;
    }
}

TEST_F(RecordFiles, ARecordIsWrittenWithItsByteOrderMarkAndTheLineEndsOfThePlatform) {
    const fs::path record = dir / "a.bak.txt";
    std::ofstream(record) << "an older record of that name";
    ASSERT_EQ(tarvex::WriteRecordFile(record.string(), "一\n二\n"), "");
    std::ifstream in(record, std::ios::binary);
    const std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
#ifdef _WIN32
    EXPECT_EQ(content, "\xEF\xBB\xBF一\r\n二\r\n");
#else
    EXPECT_EQ(content, "\xEF\xBB\xBF一\n二\n");
#endif
    EXPECT_EQ(Entries(dir), std::vector<fs::path>{record});
}
