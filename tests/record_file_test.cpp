// The record beside the backup: why it cannot be written, or the backup read, in the user's
// words; no half-written file left behind; the platform's line ends; the backup's hash.

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

#include <QCryptographicHash>

#include "codepage.h"
#include "conversion_record.h"
#include "sha256.h"

namespace fs = std::filesystem;

namespace {

// A fresh folder of the test's own.
fs::path Folder() {
    const fs::path dir = fs::temp_directory_path() /
                         (std::string("tarvex-record-") + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

std::vector<fs::path> Entries(const fs::path& dir) {
    std::vector<fs::path> entries(fs::recursive_directory_iterator(dir), {});
    std::sort(entries.begin(), entries.end());
    return entries;
}

}  // namespace

TEST(RecordFiles, ARecordThatCannotBeWrittenSaysWhyInChinese) {
    const fs::path dir = Folder();
    fs::create_directory(dir / "a.bak.txt");
    std::ofstream(dir / "file") << "a file, not a folder";
    std::vector<std::pair<fs::path, const char*>> cases = {
        {dir / "a.bak.txt", "已有同名的文件夹"},
        {dir / "missing" / "a.bak.txt", "文件夹不存在"},
        {dir / "file" / "a.bak.txt", "文件夹不存在"},
    };
#ifndef _WIN32
    fs::create_directory(dir / "closed");
    fs::permissions(dir / "closed", fs::perms::owner_read | fs::perms::owner_exec);
    if (::geteuid() != 0) cases.push_back({dir / "closed" / "a.bak.txt", "没有写入权限"});  // root writes anywhere
#endif
    const std::vector<fs::path> before = Entries(dir);
    for (const auto& [record, reason] : cases) {
        EXPECT_EQ(tarvex::WriteRecordFile(record.string(), "记录\n"), tarvex::ProgramText(reason)) << record;
        EXPECT_EQ(Entries(dir), before) << record << ": a failed write leaves nothing behind";
    }
#ifndef _WIN32
    fs::permissions(dir / "closed", fs::perms::owner_all);
#endif
    fs::remove_all(dir);
}

TEST(RecordFiles, ABackupThatCannotBeReadSaysWhyInChinese) {
    const fs::path dir = Folder();
    fs::create_directory(dir / "folder.bak");
    const std::pair<fs::path, const char*> cases[] = {
        {dir / "missing.bak", "文件不存在"},
        {dir / "missing" / "a.bak", "文件不存在"},
        {dir / "folder.bak", "这是一个文件夹，不是文件"},
    };
    for (const auto& [backup, reason] : cases) {
        tarvex::ExportFacts facts;
        facts.backupPath = backup.string();
        facts.digest = tarvex::DigestOf(facts.backupPath);
        const std::string text = tarvex::RecordText(std::nullopt, {}, facts);
        EXPECT_NE(text.find(std::string("大小：未知\nSHA-256：此处无法读取（") + reason + "）\n"), std::string::npos)
            << backup << "\n" << text;
    }
    fs::remove_all(dir);
}

TEST(RecordFiles, ARecordReplacesAnOlderOneWithTheLineEndsOfThePlatform) {
    const fs::path dir = Folder();
    std::ofstream(dir / "a.bak.txt") << "an older record of that name";
    ASSERT_EQ(tarvex::WriteRecordFile((dir / "a.bak.txt").string(), "一\n二\n"), "");
    std::ifstream in(dir / "a.bak.txt", std::ios::binary);
    const std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
#ifdef _WIN32
    EXPECT_EQ(content, "\xEF\xBB\xBF一\r\n二\r\n");
#else
    EXPECT_EQ(content, "\xEF\xBB\xBF一\n二\n");
#endif
    EXPECT_EQ(Entries(dir), std::vector<fs::path>{dir / "a.bak.txt"});
    in.close();
    fs::remove_all(dir);
}

// The backup's hash, whichever way this processor computes it, equals the portable one for
// every length around the block's edges and every way the reads cut the file.
TEST(RecordHash, EqualsThePortableHashForAnyLengthReadInAnyPieces) {
    std::string data((1 << 20) + 7, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 7919) >> 3);
    for (const std::size_t length : {0, 1, 55, 56, 63, 64, 65, 119, 120, 127, 128, 1000, (1 << 20) + 7}) {
        const QByteArray expected =
            QCryptographicHash::hash(QByteArrayView(data.data(), static_cast<qsizetype>(length)),
                                     QCryptographicHash::Sha256)
                .toHex();
        for (const std::size_t piece : {1, 63, 64, 1000, 1 << 20}) {
            tarvex::Sha256 hash;
            for (std::size_t at = 0; at < length; at += piece) hash.Add(data.data() + at, std::min(piece, length - at));
            EXPECT_EQ(hash.Hex(), expected.toStdString()) << length << " bytes in pieces of " << piece;
        }
    }
    tarvex::Sha256 abc;
    abc.Add("abc", 3);
    EXPECT_EQ(abc.Hex(), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad")
        << "accelerated: " << tarvex::Sha256::Accelerated();
}
