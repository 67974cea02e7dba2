// The restore dialog through the real window (headless), the driver and the stand-in: the sample
// backed up and dropped, restored under another name, then looked up and one account set
// converted from it, the conversion's backup holding the source rows.

#include "flow_support.h"

#include <QLabel>

#include "backup_check.h"
#include "backup_contents.h"
#include "test_files.h"

using namespace flowtest;
namespace fs = std::filesystem;

namespace {

class RestoreFlow : public FlowTest {
protected:
    // Opens the dialog and waits for its log-in to master.
    void Open() {
        Click("还原数据库按钮");
        QLabel* server = nullptr;
        ASSERT_TRUE(QTest::qWaitFor([&] { return (server = window->findChild<QLabel*>(U("还原服务器"))) != nullptr; }, kGuardMs));
        ASSERT_TRUE(QTest::qWaitFor([&] { return server->text().contains(U("SQL Server 2019")); }, kGuardMs));
        dialog = server->window();
    }
    QPushButton* Button(const char* text) {
        for (QPushButton* b : dialog->findChildren<QPushButton*>())
            if (b->text().section(QLatin1Char('('), 0, 0) == U(text)) return b;
        ADD_FAILURE() << text;
        return nullptr;
    }
    QString Shown(const char* label) { return dialog->findChild<QLabel*>(U(label))->text(); }

    // Backs the sample up into the test's folder, opens the dialog and reads the backup.
    fs::path OpenWithBackup() {
        const fs::path bak = backupDirectory / "样本.bak";
        EXPECT_TRUE(Sql("backup database [2016年乡镇数据采集] to disk = N'" + bak.string() + "'"));
        Open();
        Type("备份文件", bak.string().c_str());
        Button("读取")->click();
        EXPECT_TRUE(QTest::qWaitFor([&] { return !Shown("备份数据库名称").isEmpty(); }, kGuardMs));
        return bak;
    }

    QPointer<QWidget> dialog;
};

// Each of the restore's hundred progress steps lasts 100 ms: a restore of ten seconds.
class SlowRestoreFlow : public RestoreFlow {
protected:
    SlowRestoreFlow() { standinOptions.extraArgs = {"--restore-step-ms", "100"}; }
};

}  // namespace

TEST_F(RestoreFlow, TheSampleBackedUpAndDroppedIsRestoredUnderAnotherNameAndAnAccountSetConverted) {
    EXPECT_TRUE(Get("还原数据库按钮")->isEnabled());  // before any log-in
    const fs::path bak = OpenWithBackup();
    EXPECT_EQ(Shown("备份数据库名称"), U("2016年乡镇数据采集"));
    ASSERT_TRUE(Sql("USE master", tarvex::Execution::Direct));
    ASSERT_TRUE(Sql("DROP DATABASE [2016年乡镇数据采集]"));
    EXPECT_EQ(Shown("备份服务器版本"), U("SQL Server 2019（15.0.2000）"));
    EXPECT_EQ(Text("还原数据库名称"), U("2016年乡镇数据采集"));  // the backup's own name, proposed
    EXPECT_EQ(Shown("还原状态"), U("服务器上已有名为“2016年乡镇数据采集”的数据库。还原不会覆盖已有的数据库：请换一个数据库名称。"));
    Type("还原数据库名称", "审计2016");
    Button("还原")->click();
    const Notice restored = notices.Next();
    EXPECT_EQ(restored.caption, U("还原完成"));
    EXPECT_TRUE(restored.text.startsWith(U("已把备份还原为数据库“审计2016”"))) << restored.text.toStdString();
    EXPECT_EQ(Text("编辑框4"), U("审计2016"));
    Button("关闭")->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return dialog.isNull(); }, kGuardMs));

    ASSERT_EQ(LogIn().caption, U("成功"));
    FocusChooser();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !ChooserItems().isEmpty(); }, kGuardMs));
    Choose("演示账套");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !Text("编辑框7").isEmpty(); }, kGuardMs));
    Click("按钮4");
    EXPECT_EQ(notices.Next(120000).text, U("代码执行完毕！"));
    Click("按钮2");
    EXPECT_TRUE(notices.Next().text.startsWith(U("导出完毕！")));
    std::vector<fs::path> backups = testsupport::FilesEndingIn(backupDirectory, ".bak");
    std::erase(backups, bak);
    ASSERT_EQ(backups.size(), 1u);
    const testsupport::BackupContents source(bak);
    backupcheck::ExpectRowsOfAccountSet(backups.front(), source.File(), "001", "001", "2016");
}

// Closing the dialog (Esc, its close button) while it restores cancels the restore at the server;
// the dialog stays to say how it ended, and nothing is left.
TEST_F(SlowRestoreFlow, ClosingTheDialogDuringTheRestoreCancelsItAndLeavesNoDatabase) {
    OpenWithBackup();
    Type("还原数据库名称", "取消的库");
    Button("还原")->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return Shown("还原用时") == U("已用时1秒"); }, kGuardMs));
    dialog->close();
    const Notice cancelled = notices.Next();
    EXPECT_TRUE(cancelled.text.startsWith(U("还原已取消。\n\n服务器上没有留下数据库“取消的库”。"))) << cancelled.text.toStdString();
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_FALSE(fs::exists(standin->DataDir() / "取消的库.sqlite"));
    EXPECT_EQ(Text("编辑框4"), U("2016年乡镇数据采集"));
}
