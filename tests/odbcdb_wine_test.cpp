// The connection object of the Windows program under wine, against a stand-in on this machine
// (tests/windows/with-standin): what differs from Linux is the driver manager (wine's odbc32
// before unixODBC), the process code page (936) and the paths (drive letters, "\").

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "codepage.h"
#include "connection_string.h"
#include "odbcdb.h"

namespace {

using tarvex::CodePage;

std::string Local(std::string_view utf8) { return CodePage::Process().FromUtf8(utf8); }

class WineStack : public ::testing::Test {
protected:
    void Open() {
        ASSERT_TRUE(db_.NewOpenDatabase(Local("DRIVER=SQL Server;SERVER=.;UID=sa;PWD=1;DATABASE=2016年乡镇数据采集")))
            << db_.LastError().Describe();
    }
    tarvex::ODBCDB db_;
};

TEST_F(WineStack, TheDriverBehindSqlServerIsFreeTdsSoTheToolsStringIsAdapted) {
    EXPECT_TRUE(tarvex::DriverIsFreeTds());
    Open();
    EXPECT_NE(db_.ConnectString().find("SERVER=127.0.0.1,1433"), std::string::npos) << db_.ConnectString();
}

TEST_F(WineStack, ChineseTextCrossesOdbcInCodePage936) {
    Open();
    ASSERT_EQ(CodePage::Process().Name(), "GBK");
    const auto h = db_.OpenTable(Local("SELECT ztmc FROM GL_Ztcs WHERE ztmc = '演示账套'"));
    ASSERT_FALSE(db_.IsEOF(h)) << db_.LastError().Describe();
    EXPECT_EQ(db_.ReadColByIndex(h, 1).Text(), Local("演示账套"));
    db_.CloseRecordSet(h);
}

TEST_F(WineStack, ABackupToAWindowsPathLandsThere) {
    Open();
    const std::filesystem::path file = std::filesystem::current_path() / "wine-stack-backup.bak";
    std::filesystem::remove(file);
    ASSERT_EQ(file.string().substr(0, 3), "Z:\\") << file.string();
    ASSERT_TRUE(db_.ExecuteSql(Local("create database Tarvex数据整理"))) << db_.LastError().Describe();
    EXPECT_TRUE(db_.ExecuteSql(Local("backup database Tarvex数据整理 to disk='") + file.string() + "'with init",
                               tarvex::Timeout::None()))
        << db_.LastError().Describe();
    EXPECT_TRUE(std::filesystem::exists(file));
    std::filesystem::remove(file);
}

}  // namespace
