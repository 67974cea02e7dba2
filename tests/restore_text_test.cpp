// The restore's texts: the statement with every name and path quoted, where the files go, and
// which server names are this computer.
#include <gtest/gtest.h>

#include <set>

#include "codepage.h"
#include "restore.h"
#include "this_computer.h"

namespace {

std::string Local(const char* utf8) { return tarvex::CodePage::Process().FromUtf8(utf8); }

}  // namespace

// Identifiers bracketed with "]" doubled, literals with "'" doubled; the files named for the new
// database, what a file name cannot hold as "_" and then a hash of the name, in the folder's own
// separator style.
TEST(RestoreStatement, QuotesEveryNameAndPathAndNamesTheFilesForTheNewDatabase) {
    tarvex::BackupDescription backup;
    backup.path = Local("D:\\审计's\\单位.bak");
    backup.position = 2;
    backup.files = {{Local("财务'数据"), 'D', 1}, {"more", 'D', 1}, {Local("财务_log"), 'L', 1}};
    const std::string name = Local("审计]库:1𠀀");
    const auto moves = tarvex::PlanFileMoves(backup, Local("C:\\数据\\"), name);
    const auto statement = tarvex::BuildRestoreStatement(backup, moves, name, 10);
    ASSERT_TRUE(statement);
    EXPECT_EQ(tarvex::CodePage::Process().ToUtf8(*statement),
              "RESTORE DATABASE [审计]]库:1𠀀] FROM DISK = N'D:\\审计''s\\单位.bak' WITH FILE = 2, "
              "MOVE N'财务''数据' TO N'C:\\数据\\审计]库_1𠀀_3a102884.mdf', MOVE N'more' TO "
              "N'C:\\数据\\审计]库_1𠀀_3a102884_2.ndf', MOVE N'财务_log' TO N'C:\\数据\\审计]库_1𠀀_3a102884_log.ldf', "
              "STATS = 10");
    EXPECT_FALSE(tarvex::BuildRestoreStatement(backup, moves, Local("审'计"), 10));
}

// Names a file name holds alike get files of their own; a long name's paths keep within 259 characters.
TEST(RestoreStatement, NoTwoNamesShareAFileAndLongNamesFit) {
    tarvex::BackupDescription backup;
    backup.files = {{"d", 'D', 1}, {"l", 'L', 1}};
    std::set<std::string> files;
    for (const char* name : {"审计:库", "审计\\库", "审计\t库", "审计库.", "审计库"})
        files.insert(tarvex::PlanFileMoves(backup, "/data/", Local(name))[0].target);
    EXPECT_EQ(files.size(), 5u);
    const std::string folder = "C:\\" + std::string(150, 'f') + "\\", longName(384, 'x');
    for (const tarvex::FileMove& move : tarvex::PlanFileMoves(backup, folder, longName))
        EXPECT_LE(tarvex::CodePage::Process().ToUtf16(move.target).size(), 259u) << move.target;
}

// 3169 answers a backup too new and one too old for the server: each said with both versions.
TEST(RestoreVersion, ABackupTooNewAndOneTooOldAreToldApart) {
    tarvex::RestoreServer server;
    server.productVersion = "15.0.2000.5";
    for (const auto& [major, says] : {std::pair{9, "SQL Server 2005（9.0.0）做的，而这台数据库服务器是SQL Server 2019（15.0.2000.5）：这个备份太旧"},
                                      std::pair{16, "SQL Server 2022（16.0.0）做的，而这台数据库服务器是SQL Server 2019（15.0.2000.5）：SQL Server不能还原更高版本"}}) {
        tarvex::BackupDescription backup;
        backup.versionMajor = major;
        EXPECT_NE(tarvex::CodePage::Process().ToUtf8(tarvex::VersionRefusal(backup, server)).find(says), std::string::npos);
    }
}

// Also the temporary database's and the system databases' names; a backup of the temporary
// database proposes its file's name.
TEST(RestoreName, EmptyApostropheLeadingBracketAndTooLongAreRefused) {
    for (const char* bad : {"", "a'b", "[ab", "Tarvex数据整理", "tarvex数据整理", "master", "TempDB", "model", "msdb"})
        EXPECT_FALSE(tarvex::RestoreNameProblem(Local(bad)).empty()) << bad;
    tarvex::BackupDescription backup;
    backup.path = Local("D:\\审计\\单位 2016.bak");
    backup.database = Local("Tarvex数据整理");
    EXPECT_EQ(tarvex::ProposedName(backup), Local("单位 2016"));
    backup.database = Local("财务");
    EXPECT_EQ(tarvex::ProposedName(backup), backup.database);
    EXPECT_FALSE(tarvex::RestoreNameProblem(std::string(129, 'x')).empty());
    EXPECT_EQ(tarvex::RestoreNameProblem(std::string(128, 'x')), "");
    EXPECT_EQ(tarvex::RestoreNameProblem(Local("审计]库")), "");
}

TEST(ThisComputer, LocalNamesInstancesPortsAndTheComputersOwnName) {
    for (const char* local : {".", ".\\SQLEXPRESS", "(local)", "LocalHost,1433", "tcp:127.0.0.1,1433", "audit-pc",
                              "AUDIT-PC\\SQLEXPRESS", "audit-pc.corp.example"})
        EXPECT_TRUE(tarvex::IsThisComputer(local, "audit-pc")) << local;
    for (const char* remote : {"10.0.0.5", "server2", "server2\\SQLEXPRESS", ""})
        EXPECT_FALSE(tarvex::IsThisComputer(remote, "audit-pc")) << remote;
}
