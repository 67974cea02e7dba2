// The restore's texts: the statement with every name and path quoted, where the files go, and
// which server names are this computer.
#include <gtest/gtest.h>

#include "codepage.h"
#include "restore.h"
#include "this_computer.h"

namespace {

std::string Local(const char* utf8) { return tarvex::CodePage::Process().FromUtf8(utf8); }

}  // namespace

// Identifiers bracketed with "]" doubled, literals with "'" doubled; the files named for the new
// database, what a file name cannot hold as "_", in the folder's own separator style.
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
              "MOVE N'财务''数据' TO N'C:\\数据\\审计]库_1𠀀.mdf', MOVE N'more' TO N'C:\\数据\\审计]库_1𠀀_2.ndf', "
              "MOVE N'财务_log' TO N'C:\\数据\\审计]库_1𠀀_log.ldf', STATS = 10");
    EXPECT_FALSE(tarvex::BuildRestoreStatement(backup, moves, Local("审'计"), 10));
}

TEST(RestoreName, EmptyApostropheLeadingBracketAndTooLongAreRefused) {
    for (const char* bad : {"", "a'b", "[ab"}) EXPECT_FALSE(tarvex::RestoreNameProblem(Local(bad)).empty()) << bad;
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
