// Windows log-in end to end, in a Kerberos realm of the test's own: the window with
// Windows身份验证 checked logs in through FreeTDS with the user's ticket, looks up and converts
// a set, and the record names the Windows account as the server does (SUSER_SNAME(),
// "SUSER_SNAME (Transact-SQL)"); the command line's batch and verify's restore-check with
// --windows-login do the same.

#include "flow_support.h"
#include "test_files.h"

#include <sys/wait.h>

#include <QCheckBox>

#include <cstdlib>
#include <fstream>

#include "kerberos_realm.h"

using namespace flowtest;
namespace fs = std::filesystem;

namespace {

const char* const kAccountLabel = "TARVEX.TEST\\auditor（Windows身份验证）";

std::string FileText(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

class WindowsLoginFlow : public FlowTest {
protected:
    static void SetUpTestSuite() { realm_ = std::make_unique<testsupport::KerberosRealm>(); }
    static void TearDownTestSuite() { realm_.reset(); }
    WindowsLoginFlow() { standinOptions.extraArgs = realm_->StandinArguments(); }
    void SetUp() override {
        FlowTest::SetUp();
        realm_->AddService(standin->Port());
    }
    static std::unique_ptr<testsupport::KerberosRealm> realm_;
};
std::unique_ptr<testsupport::KerberosRealm> WindowsLoginFlow::realm_;

}  // namespace

TEST_F(WindowsLoginFlow, TheWindowLogsInLooksUpAndConvertsAsTheWindowsUser) {
    // Checked, the user name and password are not used: empty, disabled, and not asked for.
    Type("编辑框2", "");
    Type("编辑框3", "");
    Get<QCheckBox>("选择框1")->click();
    EXPECT_FALSE(Get("编辑框2")->isEnabled() || Get("编辑框3")->isEnabled());
    Type("编辑框1", "");
    EXPECT_EQ(LogIn().text, U("服务器名不能为空。"));
    Type("编辑框1", ".");
    ASSERT_EQ(LogIn().caption, U("成功"));
    EXPECT_EQ(Log(), U("数据库登陆成功！\n登录账户：") + U(kAccountLabel) + "\n");

    FocusChooser();  // the lookup
    ASSERT_TRUE(QTest::qWaitFor([&] { return !ChooserItems().isEmpty(); }, kGuardMs));
    Choose("演示账套");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !Text("编辑框7").isEmpty(); }, kGuardMs));
    Click("按钮4");
    ASSERT_EQ(notices.Next(120000).text, U("代码执行完毕！"));
    Click("按钮2");
    ASSERT_TRUE(notices.Next().text.startsWith(U("导出完毕！")));
    const std::vector<fs::path> records = testsupport::FilesEndingIn(backupDirectory, ".bak.txt");
    ASSERT_EQ(records.size(), 1u);
    EXPECT_NE(FileText(records.front()).find(std::string("\n用户名：") + kAccountLabel + "\n"), std::string::npos);

    Get<QCheckBox>("选择框1")->click();
    EXPECT_TRUE(Get("编辑框2")->isEnabled() && Get("编辑框3")->isEnabled());
}

TEST_F(WindowsLoginFlow, TheCommandLinesBatchRunsAsTheWindowsUserWithoutAPassword) {
    ::unsetenv("TARVEX_PASSWORD");
    const fs::path folder = backupDirectory / "cli", err = backupDirectory / "cli-err";
    fs::create_directories(folder);
    const int status = std::system((std::string(CLI_EXE) + " convert --windows-login --set 2016/001/001 --folder '" +
                                    folder.string() + "' < /dev/null > /dev/null 2> '" + err.string() + "'")
                                       .c_str());
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << FileText(err);
    const std::vector<fs::path> records = testsupport::FilesEndingIn(folder, ".bak.txt"),
                                summaries = testsupport::FilesEndingIn(folder, ".csv");
    ASSERT_TRUE(records.size() == 1 && summaries.size() == 1);
    EXPECT_NE(FileText(records.front()).find(std::string("\n用户名：") + kAccountLabel + "\n"), std::string::npos);
    EXPECT_NE(FileText(err).find(std::string("登录账户：") + kAccountLabel + "\n"), std::string::npos) << FileText(err);
    EXPECT_NE(FileText(summaries.front()).find(std::string(",\"") + kAccountLabel + "\","), std::string::npos)
        << FileText(summaries.front());
    // verify's restore-check logs in to master the same way.
    const int verified = std::system((std::string(CLI_EXE) + " verify --folder='" + folder.string() +
                                      "' --restore-check --windows-login < /dev/null > '" + err.string() + "' 2>&1").c_str());
    EXPECT_TRUE(WIFEXITED(verified) && WEXITSTATUS(verified) == 0) << FileText(err);
    EXPECT_NE(FileText(err).find("内容一致（34张表共"), std::string::npos) << FileText(err);
}
