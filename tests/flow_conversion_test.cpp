// A whole conversion through the window, the driver and the stand-in: log-in, the chooser,
// the extraction run and the export, and what happens when parts of it fail.

#include "flow_support.h"
#include "test_files.h"

#include <sys/wait.h>

#include <QCryptographicHash>
#include <QFile>

#include <QLabel>
#include <QProgressBar>

#include <algorithm>
#include <ctime>
#include <functional>
#include <fstream>
#include <regex>

#include "backup_check.h"
#include "catalogue.h"
#include "codepage.h"
#include "export.h"
#include "temporary_database.h"

using namespace flowtest;
namespace fs = std::filesystem;

namespace {

class ConversionFlow : public FlowTest {
protected:
    // Runs 演示账套, then binds the actions anew with the real one-second pauses, so that a test
    // can act in the pause between the backup and its check; the export will ask (bound anew, the
    // actions know nothing of the run before) and is answered Yes.
    void RunWithARealPauseBeforeTheCheck() {
        Prepare("演示账套");
        Click("按钮4");
        EXPECT_EQ(notices.Next(120000).text, U("代码执行完毕！"));
        tarvex::BindActions(*window, {1000, backupDirectory.string()});
        notices.AnswerQuestionsWith(true);
    }
    // Logs in, lists the account sets and chooses one.
    void Prepare(const char* accountSet) {
        ASSERT_EQ(LogIn().caption, U("成功"));
        FocusChooser();
        ASSERT_TRUE(QTest::qWaitFor([&] { return !ChooserItems().isEmpty(); }, kGuardMs));
        Choose(accountSet);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !Text("编辑框7").isEmpty(); }, kGuardMs));
    }
    bool ActionsEnabled() {
        return Get("按钮1")->isEnabled() && Get("按钮4")->isEnabled() && Get("按钮2")->isEnabled();
    }
    bool ActionsDisabled() {
        return !Get("按钮1")->isEnabled() && !Get("按钮4")->isEnabled() && !Get("按钮2")->isEnabled();
    }
    // The log's lines after the log-in line.
    QStringList RunLines() {
        QStringList lines = LogLines();
        if (!lines.isEmpty() && lines.front() == U("数据库登陆成功！")) lines.pop_front();
        return lines;
    }
    std::vector<fs::path> Backups() { return testsupport::FilesEndingIn(backupDirectory, ".bak"); }
    fs::path SourceFile() { return standin->DataDir() / "2016年乡镇数据采集.sqlite"; }
    bool TemporaryDatabaseExists() { return testsupport::TemporaryDatabaseExists(standin->DataDir()); }
    // Log-in, choice, extraction and export of 演示账套, checked step by step; the backup's
    // tables are compared with the source rows of unit 001, account set 001 and the year 2016,
    // and the record beside it with the rows and the file.
    void WholeConversion() {
        const backupcheck::SqliteFile source(SourceFile());
        std::vector<std::size_t> sourceRows;
        std::size_t total = 0, tables = 0;
        for (int p = 1; p <= tarvex::TableCatalogue::kEntryCount; ++p) {
            sourceRows.push_back(source.Rows(backupcheck::OracleQuery(p, "001", "001", "2016")).size());
            total += sourceRows.back();
            tables += sourceRows.back() > 0;
        }
        Prepare("演示账套");
        if (HasFatalFailure()) return;
        Click("按钮4");
        EXPECT_EQ(Get<QLabel>("标签9")->text(), U("当前整理账套：演示账套"));
        EXPECT_TRUE(ActionsDisabled());
        const Notice done = notices.Next(120000);
        EXPECT_EQ(done.caption, U("信息："));
        EXPECT_EQ(done.text, U("代码执行完毕！"));
        EXPECT_EQ(done.icon, QMessageBox::NoIcon);
        EXPECT_TRUE(ActionsEnabled());
        EXPECT_EQ(Get<QProgressBar>("进度条1")->value(), 34);

        QStringList expected = {U("创建临时数据库成功！"), U("当前整理账套：演示账套")};
        expected << ProgressLines() << U("数据整理完毕！请点击导出按钮！")
                 << U("共复制%1行数据，%2张表有数据（共34张表）。").arg(total).arg(tables);
        EXPECT_EQ(RunLines(), expected);

        Click("按钮2");
        const Notice exported = notices.Next();
        const std::vector<fs::path> backups = Backups();
        ASSERT_EQ(backups.size(), 1u);
        const fs::path bak = backups.front();
        const QString name = QString::fromStdString(bak.filename().string());
        EXPECT_TRUE(std::regex_match(name.toStdString(), std::regex(R"(演示账套\d{1,2}月\d{1,2}日\d{1,2}时\d{1,2}分\d{1,2}秒\.bak)"))) << name.toStdString();
        EXPECT_EQ(exported.caption, U("信息："));
        EXPECT_EQ(exported.text, U("导出完毕！请查看软件目录！\n\n备份文件：%1\n转换记录：%1.txt").arg(name));
        EXPECT_EQ(exported.icon, QMessageBox::Warning);
        expected << U("正在执行导出备份数据！") << U("正在校验备份文件！") << U("正在删除临时数据库！") << U("完成删除临时数据库！");
        EXPECT_EQ(RunLines(), expected);
        EXPECT_FALSE(TemporaryDatabaseExists());

        backupcheck::ExpectRowsOfAccountSet(bak, SourceFile(), "001", "001", "2016");

        // The record: UTF-8 with a byte-order mark, LF line ends, each table's rows, the file's hash, no password.
        QFile recordFile(QString::fromStdString(bak.string() + ".txt"));
        ASSERT_TRUE(recordFile.open(QIODevice::ReadOnly));
        const QByteArray record = recordFile.readAll();
        EXPECT_TRUE(record.startsWith("\xEF\xBB\xBF"));
        EXPECT_FALSE(record.contains('\r')) << "lines end in LF on Linux";
        const QString text = QString::fromUtf8(record);
        for (int p = 1; p <= tarvex::TableCatalogue::kEntryCount; ++p)
            EXPECT_TRUE(text.contains(QStringLiteral("\n%1\t%2\n").arg(tarvex::TableCatalogue::TableName(p).data()).arg(sourceRows[p - 1])))
                << tarvex::TableCatalogue::TableName(p);
        QFile bakFile(QString::fromStdString(bak.string()));
        ASSERT_TRUE(bakFile.open(QIODevice::ReadOnly));
        const QByteArray sha = QCryptographicHash::hash(bakFile.readAll(), QCryptographicHash::Sha256).toHex();
        for (const QString& line : {U("服务器：."), U("数据库：2016年乡镇数据采集"), U("用户名：sa"), U("账套名称：演示账套"),
                                    U("单位编号：001"), U("账套编号：001"), U("转换年度：2016"), U("备份文件：") + name,
                                    U("SHA-256：") + QString::fromLatin1(sha), U("校验（RESTORE VERIFYONLY）：通过"),
                                    U("服务器版本：15.0.2000.5 Express Edition (64-bit)（这个备份只能在同样或更新版本的SQL Server上还原）")})
            EXPECT_TRUE(text.contains(line + "\n")) << line.toStdString();
        EXPECT_FALSE(text.contains(U("密码")));
    }

    static QStringList ProgressLines() {
        QStringList lines;
        for (int p = 1; p <= tarvex::TableCatalogue::kEntryCount; ++p)
            lines << QString::fromUtf8(tarvex::CodePage::Process().ToUtf8(tarvex::TableCatalogue::ProgressLine(p)))
                         .trimmed();
        return lines;
    }
};

class ConversionWithRealPauses : public ConversionFlow {
protected:
    ConversionWithRealPauses() { pauseMilliseconds = 1000; }
};

}  // namespace

TEST_F(ConversionWithRealPauses, AWholeConversionEndsInABackupOfThatAccountSetsRows) { WholeConversion(); }

TEST_F(ConversionFlow, AWholeConversionEndsInABackupOfThatAccountSetsRows) { WholeConversion(); }

// With nothing to back up the window says so rather than report a failed backup.
TEST_F(ConversionFlow, ExportBeforeAnyExtractionFailsWithTheReason) {
    ASSERT_EQ(LogIn().caption, U("成功"));
    Click("按钮2");
    const Notice n = notices.Next();
    EXPECT_TRUE(n.text.startsWith(U("导出失败！请重试"))) << n.text.toStdString();
    EXPECT_TRUE(n.text.contains(U("没有可以导出的数据：服务器上没有临时数据库Tarvex数据整理"))) << n.text.toStdString();
    EXPECT_TRUE(n.text.contains("911")) << n.text.toStdString();
    EXPECT_EQ(n.caption, U("信息："));
    EXPECT_EQ(n.icon, QMessageBox::Warning);
    EXPECT_EQ(RunLines(), QStringList{U("正在执行导出备份数据！")});
    EXPECT_TRUE(Backups().empty());
    EXPECT_TRUE(ActionsEnabled());
}

TEST_F(ConversionFlow, ALeftoverTemporaryDatabaseStopsTheRunBeforeAnyCopy) {
    Sql("create database Tarvex数据整理");
    Sql("SELECT * INTO Tarvex数据整理.dbo.GL_BZ FROM \"2016年乡镇数据采集\".dbo.GL_BZ WHERE GSDM='002'");
    Prepare("演示账套");
    Click("按钮4");
    const Notice n = notices.Next();
    EXPECT_TRUE(n.text.contains(U("已有临时数据库Tarvex数据整理"))) << n.text.toStdString();
    EXPECT_TRUE(n.text.contains(U("导出数据"))) << n.text.toStdString();
    const QStringList lines = RunLines();
    ASSERT_EQ(lines.size(), 2);
    EXPECT_EQ(lines[0], U("创建临时数据库失败！请重新登陆数据库！"));
    EXPECT_TRUE(lines[1].startsWith(U("原因："))) << lines[1].toStdString();
    EXPECT_TRUE(lines[1].contains("1801")) << lines[1].toStdString();
    EXPECT_EQ(StatementsWith("into \"Tarvex数据整理\""), 0);
    EXPECT_TRUE(ActionsEnabled());
}

TEST_F(ConversionFlow, WithoutALogInTheRunSaysSoAndCopiesNothing) {
    Click("按钮4");
    const Notice n = notices.Next();
    EXPECT_TRUE(n.text.contains(U("尚未登录数据库"))) << n.text.toStdString();
    EXPECT_EQ(RunLines(), (QStringList{U("创建临时数据库失败！请重新登陆数据库！"), U("原因：尚未登录数据库。")}));
    EXPECT_TRUE(standin->Statements().empty());
}

TEST_F(ConversionFlow, AFailedCopyIsLoggedWithItsReasonAndCounted) {
    Sql("DROP TABLE GL_BZ");
    Prepare("演示账套");
    Click("按钮4");
    const Notice n = notices.Next();
    EXPECT_TRUE(n.text.startsWith(U("代码执行完毕！"))) << n.text.toStdString();
    EXPECT_TRUE(n.text.contains(U("其中1张表整理失败"))) << n.text.toStdString();
    const QStringList lines = RunLines();
    // The create line, the account-set line, 34 progress lines and the completion line, plus
    // the failure line and the count.
    ASSERT_EQ(lines.size(), 37 + 3);
    EXPECT_EQ(lines[3], ProgressLines()[1]);
    EXPECT_TRUE(lines[4].startsWith(U("GL_BZ表整理失败！原因："))) << lines[4].toStdString();
    EXPECT_TRUE(lines[4].contains("208")) << lines[4].toStdString();
    EXPECT_EQ(lines[37], U("数据整理完毕！请点击导出按钮！"));
    EXPECT_TRUE(lines[38].contains(U("其中1张表整理失败")));
    EXPECT_TRUE(lines[39].startsWith(U("共复制")));
    // Its export asks first, naming the table the backup lacks, and says so after a Yes.
    Click("按钮2");
    const Notice asked = notices.Next();
    EXPECT_TRUE(asked.text.contains(U("缺少的表：GL_BZ\n\n仍然要导出吗？"))) << asked.text.toStdString();
    EXPECT_TRUE(Backups().empty());
    notices.AnswerQuestionsWith(true);
    Click("按钮2");
    EXPECT_TRUE(notices.Next().text.contains(U("缺少的表：GL_BZ")));
    const Notice exported = notices.Next();
    EXPECT_TRUE(exported.text.startsWith(U("导出完毕！"))) << exported.text.toStdString();
    EXPECT_TRUE(exported.text.contains(U("注意：上次整理有1张表整理失败，备份中缺少这些表。"))) << exported.text.toStdString();
    EXPECT_TRUE(RunLines().contains(U("注意：上次整理有1张表整理失败，备份中缺少这些表。")));
}

TEST_F(ConversionFlow, TheServerStoppingMidRunGivesFailureLinesNotAHang) {
    pauseMilliseconds = 200;
    tarvex::BindActions(*window, {pauseMilliseconds, backupDirectory.string()});
    Prepare("演示账套");
    Click("按钮4");
    ASSERT_TRUE(QTest::qWaitFor([&] { return RunLines().size() >= 6; }, kGuardMs));
    standin->KillNow();
    const Notice n = notices.Next(120000);
    EXPECT_TRUE(n.text.startsWith(U("代码执行完毕！"))) << n.text.toStdString();
    EXPECT_TRUE(n.text.contains(U("张表整理失败"))) << n.text.toStdString();
    const QStringList lines = RunLines();
    EXPECT_TRUE(lines.contains(U("数据整理完毕！请点击导出按钮！")));
    EXPECT_GE(std::count_if(lines.begin(), lines.end(), [](const QString& l) { return l.contains(U("表整理失败！原因：")); }),
              25);
    EXPECT_TRUE(ActionsEnabled());
}

TEST_F(ConversionFlow, ClosingTheWindowDuringARunEndsCleanly) {
    pauseMilliseconds = 1000;
    tarvex::BindActions(*window, {pauseMilliseconds, backupDirectory.string()});
    Prepare("演示账套");
    Click("按钮4");
    ASSERT_TRUE(QTest::qWaitFor([&] { return RunLines().size() >= 4; }, kGuardMs));
    QTest::qWait(300);  // inside a pause, between two copies
    const std::size_t sent = standin->Statements().size();
    QTest::keyClick(window->windowHandle(), Qt::Key_Escape);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !window->isVisible(); }, kGuardMs));
    EXPECT_EQ(window->Workers().Running(), 0);
    // Nothing more reached the server once the window was closed.
    EXPECT_EQ(standin->Statements().size(), sent);
    // The temporary database stays for a later export.
    EXPECT_TRUE(TemporaryDatabaseExists());
}

TEST_F(ConversionFlow, ADropThatFailsIsReportedAndTheDatabaseSaidToRemain) {
    Prepare("演示账套");
    Click("按钮4");
    EXPECT_TRUE(notices.Next(120000).text.startsWith(U("代码执行完毕！")));
    // Another connection works in the temporary database, so the server refuses the drop.
    Sql("USE Tarvex数据整理", tarvex::Execution::Direct);
    Click("按钮2");
    const Notice n = notices.Next();
    EXPECT_TRUE(n.text.startsWith(U("导出完毕！请查看软件目录！"))) << n.text.toStdString();
    EXPECT_TRUE(n.text.contains(U("未能删除"))) << n.text.toStdString();
    const QStringList lines = RunLines();
    EXPECT_TRUE(lines.back().startsWith(U("删除临时数据库失败！原因："))) << lines.back().toStdString();
    EXPECT_TRUE(lines.back().contains("3702")) << lines.back().toStdString();
    EXPECT_FALSE(lines.contains(U("完成删除临时数据库！")));
    EXPECT_EQ(Backups().size(), 1u);
    EXPECT_TRUE(TemporaryDatabaseExists());
}

TEST_F(ConversionFlow, AChooserTextWithPathCharactersStaysInTheFolder) {
    ASSERT_EQ(LogIn().caption, U("成功"));
    auto* combo = Get<QComboBox>("组合框1");
    combo->lineEdit()->setText(U("../审计/a:b"));  // typed, not chosen: no event, empty codes
    Click("按钮4");
    const Notice done = notices.Next(120000);
    EXPECT_TRUE(done.text.startsWith(U("代码执行完毕！")));
    // Empty codes match no row: the run warns, and its export asks first.
    EXPECT_TRUE(done.text.contains(U("警告：该账套没有复制到任何数据。请检查转换年度、当前单位编号和当前账套编号是否正确。")));
    EXPECT_EQ(done.icon, QMessageBox::Warning);
    EXPECT_EQ(RunLines().back(), U("警告：该账套没有复制到任何数据，请检查转换年度、当前单位编号和当前账套编号！"));
    Click("按钮2");
    EXPECT_TRUE(notices.Next().text.contains(U("仍然要导出吗？")));  // answered No, the default
    EXPECT_TRUE(Backups().empty());
    EXPECT_TRUE(TemporaryDatabaseExists());
    notices.AnswerQuestionsWith(true);
    Click("按钮2");
    EXPECT_TRUE(notices.Next().text.contains(U("仍然要导出吗？")));
    EXPECT_TRUE(notices.Next().text.startsWith(U("导出完毕！请查看软件目录！")));
    const std::vector<fs::path> backups = Backups();
    ASSERT_EQ(backups.size(), 1u);
    // Its GL_ZTCS names no account set: the file is named for the temporary database, not for
    // what the chooser says.
    EXPECT_EQ(backups.front().filename().string().rfind("临时数据库", 0), 0u) << backups.front();
}

TEST_F(ConversionFlow, ABackupIsNamedForTheAccountSetWhoseRowsItHolds) {
    Prepare("演示账套");
    Click("按钮4");
    EXPECT_EQ(notices.Next(120000).text, U("代码执行完毕！"));
    // Another choice cannot be extracted over the leftover; its export backs up the first one.
    Choose("演示账套2");
    ASSERT_TRUE(QTest::qWaitFor([&] { return Text("编辑框7") == U("002"); }, kGuardMs));
    Click("按钮4");
    EXPECT_TRUE(notices.Next().text.startsWith(U("服务器上已有临时数据库")));
    Click("按钮2");
    const Notice n = notices.Next();
    EXPECT_TRUE(n.text.startsWith(U("导出完毕！"))) << n.text.toStdString();
    EXPECT_FALSE(n.text.contains(U("注意"))) << n.text.toStdString();
    ASSERT_EQ(Backups().size(), 1u);
    const std::string name = Backups().front().filename().string();
    EXPECT_TRUE(std::regex_search(name, std::regex(R"(^演示账套\d{1,2}月)"))) << name;
}

TEST_F(ConversionFlow, ADatabaseThisProgramDidNotFillIsExportedOnlyOnAYesWithAWarning) {
    Sql("create database Tarvex数据整理");
    Sql("SELECT * INTO Tarvex数据整理.dbo.GL_ZTCS FROM \"2016年乡镇数据采集\".dbo.GL_Ztcs WHERE hsdwdm='002' AND ztbh='002' AND kjnd='2016'");
    ASSERT_EQ(LogIn().caption, U("成功"));
    // Exported only on the user's explicit Yes; No is the default.
    Click("按钮2");
    EXPECT_TRUE(notices.Next().text.contains(U("仍然要导出吗？")));
    EXPECT_TRUE(Backups().empty());
    notices.AnswerQuestionsWith(true);
    Click("按钮2");
    const Notice question = notices.Next();
    EXPECT_TRUE(question.text.startsWith(U("临时数据库不是本程序这次运行中整理的"))) << question.text.toStdString();
    EXPECT_TRUE(question.text.contains(U("其中的GL_ZTCS表属于账套“演示账套2”"))) << question.text.toStdString();
    const Notice n = notices.Next();
    EXPECT_TRUE(n.text.startsWith(U("导出完毕！"))) << n.text.toStdString();
    EXPECT_TRUE(n.text.contains(U("注意：临时数据库不是本程序这次运行中整理的"))) << n.text.toStdString();
    EXPECT_TRUE(RunLines().back().startsWith(U("注意：临时数据库不是本程序这次运行中整理的")));
    ASSERT_EQ(Backups().size(), 1u);
    EXPECT_EQ(Backups().front().filename().string().rfind("演示账套2", 0), 0u) << Backups().front();
}

// Backups in the user's own folder, where the program's cannot take them: the notice that sends
// the user to the program's folder also says where they are.
TEST_F(ConversionFlow, AnExportIntoTheUsersOwnFolderSaysWhereTheBackupIs) {
    tarvex::BindActions(*window, {pauseMilliseconds, backupDirectory.string(), true});
    Prepare("演示账套");
    Click("按钮4");
    EXPECT_EQ(notices.Next(120000).text, U("代码执行完毕！"));
    Click("按钮2");
    const QString text = notices.Next().text;
    EXPECT_TRUE(text.startsWith(U("导出完毕！请查看软件目录！"))) << text.toStdString();
    EXPECT_TRUE(text.endsWith(U("\n\n程序所在的文件夹不能写入，备份文件和转换记录保存在：") + QString::fromStdString(backupDirectory.string())))
        << text.toStdString();
    EXPECT_EQ(Backups().size(), 1u);
}

TEST_F(ConversionFlow, ABackupAlteredBeforeItsCheckFailsAndTheDatabaseStays) {
    RunWithARealPauseBeforeTheCheck();
    // One byte of the file changes during the pause before the server checks it.
    bool altered = false;
    QTimer alter;
    QObject::connect(&alter, &QTimer::timeout, [&] {
        if (altered || !RunLines().contains(U("正在校验备份文件！")) || Backups().size() != 1) return;
        testsupport::AlterByte(Backups().front(), fs::file_size(Backups().front()) / 2, 0x5A);
        altered = true;
    });
    alter.start(20);
    Click("按钮2");
    EXPECT_TRUE(notices.Next().text.contains(U("仍然要导出吗？")));
    EXPECT_TRUE(altered);
    const Notice n = notices.Next();
    EXPECT_TRUE(n.text.startsWith(U("导出失败！备份文件"))) << n.text.toStdString();
    EXPECT_TRUE(n.text.contains("3189")) << n.text.toStdString();
    EXPECT_TRUE(RunLines().back().startsWith(U("备份文件校验失败！原因："))) << RunLines().back().toStdString();
    EXPECT_TRUE(TemporaryDatabaseExists());
    EXPECT_EQ(StatementsWith("drop database"), 0);
}

TEST_F(ConversionFlow, ARecordThatCannotBeWrittenIsReportedAndTheBackupStays) {
    Prepare("演示账套");
    Click("按钮4");
    EXPECT_EQ(notices.Next(120000).text, U("代码执行完毕！"));
    // Where the record of every name the export may take in the next seconds is written before
    // it takes its place stands a folder.
    const std::time_t now = std::time(nullptr);
    for (std::time_t t = now - 2; t < now + 30; ++t) {
        std::tm local{};
        localtime_r(&t, &local);
        const std::string file = tarvex::CodePage::Process().ToUtf8(
            tarvex::ProgramText("演示账套") + tarvex::MonthDayText(local) + tarvex::TimeOfDayText(local) + ".bak.txt.tmp");
        fs::create_directory(backupDirectory / file);
    }
    Click("按钮2");
    const Notice n = notices.Next();
    EXPECT_TRUE(n.text.startsWith(U("导出完毕！"))) << n.text.toStdString();
    EXPECT_TRUE(n.text.contains(U(".txt写入失败（已有同名的文件夹），备份文件不受影响。"))) << n.text.toStdString();
    ASSERT_EQ(Backups().size(), 1u);
    EXPECT_FALSE(TemporaryDatabaseExists());
    EXPECT_NO_THROW(testsupport::BackupContents{Backups().front()});
}

TEST_F(ConversionFlow, ARunCopiesFromTheDatabaseItStartedWithWhateverTheFieldSaysLater) {
    pauseMilliseconds = 100;
    tarvex::BindActions(*window, {pauseMilliseconds, backupDirectory.string()});
    Sql("create database 另一个库");
    Prepare("演示账套");
    Click("按钮4");
    ASSERT_TRUE(QTest::qWaitFor([&] { return RunLines().size() >= 6; }, kGuardMs));
    Type("编辑框4", "另一个库");
    EXPECT_TRUE(notices.Next(120000).text.startsWith(U("代码执行完毕！")));
    int copies = 0;
    for (const std::string& statement : standin->Statements()) {
        if (statement.find("into \"Tarvex数据整理\"") == std::string::npos) continue;
        ++copies;
        EXPECT_NE(statement.find("FROM \"2016年乡镇数据采集\""), std::string::npos) << statement;
    }
    EXPECT_EQ(copies, 34);
    Type("编辑框4", "2016年乡镇数据采集");
    Click("按钮2");
    EXPECT_TRUE(notices.Next().text.startsWith(U("导出完毕！")));
    ASSERT_EQ(Backups().size(), 1u);
    backupcheck::ExpectRowsOfAccountSet(Backups().front(), SourceFile(), "001", "001", "2016");
}

TEST_F(ConversionFlow, AnApostropheInTheDatabaseNameStopsTheRunBeforeItCreatesAnything) {
    Prepare("演示账套");
    Type("编辑框4", "2016年'乡镇");
    Click("按钮4");
    const Notice n = notices.Next();
    EXPECT_TRUE(n.text.startsWith(U("数据库名称中不能含有单引号"))) << n.text.toStdString();
    EXPECT_EQ(StatementsWith("create database"), 0);
    EXPECT_FALSE(TemporaryDatabaseExists());
    EXPECT_TRUE(ActionsEnabled());
}

TEST_F(ConversionFlow, ARunWhoseAccountSetRowIsMissingWarnsAndItsExportAsksFirst) {
    Prepare("演示账套");
    Type("编辑框7", "999");
    Click("按钮4");
    const Notice done = notices.Next(120000);
    EXPECT_TRUE(done.text.startsWith(U("代码执行完毕！"))) << done.text.toStdString();
    EXPECT_TRUE(done.text.contains(U("警告"))) << done.text.toStdString();
    EXPECT_EQ(done.icon, QMessageBox::Warning);
    EXPECT_TRUE(RunLines().back().startsWith(U("警告："))) << RunLines().back().toStdString();
    Click("按钮2");
    EXPECT_TRUE(notices.Next().text.contains(U("仍然要导出吗？")));  // answered No
    EXPECT_TRUE(Backups().empty());
    EXPECT_TRUE(TemporaryDatabaseExists());
}

TEST_F(ConversionFlow, TheBackupIsNamedForTheTimeItIsMadeNotTheTimeOfTheQuestion) {
    ASSERT_EQ(LogIn().caption, U("成功"));
    Get<QComboBox>("组合框1")->lineEdit()->setText(U("空账套"));  // no codes: an empty run
    Click("按钮4");
    EXPECT_TRUE(notices.Next(120000).text.contains(U("警告")));
    notices.AnswerQuestionsWith(true, 2500);
    const std::time_t asked = std::time(nullptr);
    Click("按钮2");
    EXPECT_TRUE(notices.Next().text.contains(U("仍然要导出吗？")));
    EXPECT_TRUE(notices.Next().text.startsWith(U("导出完毕！")));
    ASSERT_EQ(Backups().size(), 1u);
    std::smatch m;
    const std::string name = Backups().front().filename().string();
    ASSERT_TRUE(std::regex_search(name, m, std::regex(R"((\d+)时(\d+)分(\d+)秒\.bak$)"))) << name;
    // Its GL_ZTCS holds no account set: no set's name goes on the file, and the record says so.
    EXPECT_EQ(name.rfind("临时数据库", 0), 0u) << name;
    std::ifstream record(Backups().front().string() + ".txt");
    EXPECT_NE(std::string(std::istreambuf_iterator<char>(record), {}).find("备份中的账套（按临时数据库的GL_ZTCS表）：未知（"),
              std::string::npos);
    std::tm local{};
    localtime_r(&asked, &local);
    const int named = std::stoi(m[1]) * 3600 + std::stoi(m[2]) * 60 + std::stoi(m[3]);
    EXPECT_GE((named - (local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec) + 86400) % 86400, 2) << name;
}

TEST_F(ConversionFlow, ATemporaryDatabaseAnotherCopyHoldsIsNeitherFilledNorBackedUpNorDropped) {
    // Another copy of the program: its own connection holds the temporary database it fills.
    Sql("create database Tarvex数据整理");
    ASSERT_EQ(tarvex::TakeHold(own), tarvex::Hold::Held);
    Sql("SELECT * INTO Tarvex数据整理.dbo.GL_BZ FROM \"2016年乡镇数据采集\".dbo.GL_BZ WHERE GSDM='001'");
    Prepare("城关镇工会账套");
    Click("按钮4");
    EXPECT_TRUE(notices.Next().text.contains(U("正被另一个转换程序使用")));
    Click("按钮2");
    const Notice n = notices.Next();
    EXPECT_TRUE(n.text.contains(U("正被另一个转换程序使用"))) << n.text.toStdString();
    EXPECT_EQ(StatementsWith("create database"), 1);  // the other copy's
    EXPECT_EQ(StatementsWith("backup database"), 0);
    EXPECT_EQ(StatementsWith("drop database"), 0);
    EXPECT_TRUE(Backups().empty());
    // Once the other copy has gone, its leftover is exported only on an explicit Yes. (Its lock is
    // given up before the close: the server ends a closed session a moment after the close.)
    tarvex::SettleHold(own, tarvex::Hold::Held, false);
    own.CloseDatabase();
    Click("按钮2");
    EXPECT_TRUE(notices.Next().text.startsWith(U("临时数据库不是本程序这次运行中整理的")));
    EXPECT_TRUE(Backups().empty());
    EXPECT_TRUE(TemporaryDatabaseExists());
}

TEST_F(ConversionFlow, LosingTheServerDuringTheCheckSaysTheCheckCouldNotRunAndToLogInAgain) {
    RunWithARealPauseBeforeTheCheck();
    QTimer kill;
    QObject::connect(&kill, &QTimer::timeout, [&] {
        if (standin->Running() && RunLines().contains(U("正在校验备份文件！"))) standin->KillNow();
    });
    kill.start(20);
    Click("按钮2");
    EXPECT_TRUE(notices.Next().text.contains(U("仍然要导出吗？")));
    const Notice n = notices.Next();
    EXPECT_TRUE(n.text.contains(U("校验未能进行：与服务器的连接断开"))) << n.text.toStdString();
    EXPECT_TRUE(n.text.contains(U("请重新点击“登录数据库”"))) << n.text.toStdString();
    ASSERT_EQ(Backups().size(), 1u);
    QFile record(QString::fromStdString(Backups().front().string() + ".txt"));
    ASSERT_TRUE(record.open(QIODevice::ReadOnly));
    EXPECT_TRUE(QString::fromUtf8(record.readAll()).contains(U("校验（RESTORE VERIFYONLY）：未能进行：与服务器的连接断开")));
    // The server back, the dead connection says to log in again.
    kill.stop();
    standin->Start();
    Click("按钮2");
    const Notice again = notices.Next();
    EXPECT_TRUE(again.text.contains(U("与服务器的连接已断开"))) << again.text.toStdString();
    EXPECT_TRUE(again.text.contains(U("请重新点击“登录数据库”"))) << again.text.toStdString();
}

// Another copy of the program logged in to another restored database at the same server (the
// command line, or a connection of the test's own that takes the hold as a copy does) meets the
// window on the same hold: SQL Server keeps application locks per database, and the hold lives
// in master.
class TwoCopies : public ConversionFlow {
protected:
    // The command line converting one set into a folder of its own; its exit code and stderr.
    std::pair<int, QString> CommandLineConverts(const char* database) {
        const fs::path folder = backupDirectory / "cli", err = backupDirectory / "cli-err";
        fs::create_directories(folder);
        ::setenv("TARVEX_PASSWORD", standinOptions.password.c_str(), 1);
        const tarvex::CodePage cp = tarvex::CodePage::Process();  // the program's words are in it
        const int status = std::system((std::string(CLI_EXE) + " convert --database '" + cp.FromUtf8(database) +
                                        "' --set 2016/001/011 --folder '" + folder.string() + "' 2> '" + err.string() + "'")
                                           .c_str());
        std::ifstream in(err);
        const std::string said{std::istreambuf_iterator<char>(in), {}};
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, QString::fromStdString(cp.ToUtf8(said))};
    }
    // Whether another copy could take the hold now; it gives it up again at once (not with its
    // close, which the server reads a moment later).
    bool AnotherCopyCouldTakeTheHold() {
        tarvex::ODBCDB other;
        const tarvex::CodePage cp = tarvex::CodePage::Process();
        EXPECT_TRUE(other.NewOpenDatabase(cp.FromUtf8("DRIVER=SQL Server;SERVER=.;UID=sa;PWD=" + standinOptions.password +
                                                      ";DATABASE=2017年乡镇数据采集")));
        const tarvex::Hold hold = tarvex::TakeHold(other);
        tarvex::SettleHold(other, hold, false);
        return hold == tarvex::Hold::Held;
    }
    void SetUp() override {
        ConversionFlow::SetUp();
        fs::copy_file(SourceFile(), standin->DataDir() / "2017年乡镇数据采集.sqlite");
    }
};

TEST_F(TwoCopies, ACopyLoggedInToAnotherDatabaseLeavesTheWindowsTemporaryDatabaseAlone) {
    Prepare("城关镇工会账套");
    Click("按钮4");
    EXPECT_EQ(notices.Next(120000).text, U("代码执行完毕！"));
    const auto [code, said] = CommandLineConverts("2017年乡镇数据采集");
    EXPECT_NE(code, 0);
    EXPECT_TRUE(said.contains(U("正被另一个转换程序使用"))) << said.toStdString();
    EXPECT_FALSE(AnotherCopyCouldTakeTheHold());
    EXPECT_EQ(StatementsWith("drop database"), 0);
    Click("按钮2");
    EXPECT_TRUE(notices.Next().text.startsWith(U("导出完毕！")));
    ASSERT_EQ(Backups().size(), 1u);
    backupcheck::ExpectRowsOfAccountSet(Backups().front(), SourceFile(), "001", "011", "2016");
    EXPECT_TRUE(AnotherCopyCouldTakeTheHold());  // given up with the drop
}

// A failed export or create gives up the hold it took; a log-in again gives up the window's
// hold only on an explicit Yes, and forgets what the window filled.
TEST_F(TwoCopies, ACopyHoldsTheTemporaryDatabaseExactlyWhileItsOwnIsOnTheServer) {
    ASSERT_EQ(LogIn().caption, U("成功"));
    Click("按钮2");
    EXPECT_TRUE(notices.Next().text.startsWith(U("导出失败！请重试")));
    EXPECT_TRUE(AnotherCopyCouldTakeTheHold());
    Sql("create database Tarvex数据整理");  // a leftover
    Prepare("城关镇工会账套");
    Click("按钮4");
    EXPECT_TRUE(notices.Next().text.startsWith(U("服务器上已有临时数据库")));
    EXPECT_TRUE(AnotherCopyCouldTakeTheHold());
    Sql("drop database Tarvex数据整理");
    Click("按钮4");
    EXPECT_EQ(notices.Next(120000).text, U("代码执行完毕！"));
    EXPECT_FALSE(AnotherCopyCouldTakeTheHold());
    Click("按钮1");  // No, the default: no log-in
    EXPECT_TRUE(notices.Next().text.contains(U("仍然要重新登录吗？")));
    EXPECT_FALSE(AnotherCopyCouldTakeTheHold());
    notices.AnswerQuestionsWith(true);
    Click("按钮1");
    EXPECT_TRUE(notices.Next().text.contains(U("仍然要重新登录吗？")));
    EXPECT_EQ(notices.Next().caption, U("成功"));
    EXPECT_TRUE(AnotherCopyCouldTakeTheHold());
    // What the earlier connection filled is no longer the window's own: exported only on a Yes.
    notices.AnswerQuestionsWith(false);
    Click("按钮2");
    EXPECT_TRUE(notices.Next().text.startsWith(U("临时数据库不是本程序这次运行中整理的")));
    EXPECT_TRUE(Backups().empty());
}

// The check reads the file's header: a valid backup of an earlier temporary database in the
// place of this one's is not taken for it.
TEST_F(ConversionFlow, AnotherValidBackupInThePlaceOfTheNewOneFailsItsCheck) {
    Prepare("演示账套");
    Click("按钮4");
    EXPECT_EQ(notices.Next(120000).text, U("代码执行完毕！"));
    Click("按钮2");
    EXPECT_TRUE(notices.Next().text.startsWith(U("导出完毕！")));
    ASSERT_EQ(Backups().size(), 1u);
    const fs::path earlier = backupDirectory / "earlier";
    fs::rename(Backups().front(), earlier);
    QTest::qWait(1100);  // the next temporary database is made in another second
    RunWithARealPauseBeforeTheCheck();
    QTimer replace;
    QObject::connect(&replace, &QTimer::timeout, [&] {
        if (!RunLines().contains(U("正在校验备份文件！")) || Backups().size() != 1 || !fs::exists(earlier)) return;
        fs::rename(earlier, Backups().front());
    });
    replace.start(20);
    Click("按钮2");
    EXPECT_TRUE(notices.Next().text.contains(U("仍然要导出吗？")));
    const Notice n = notices.Next();
    EXPECT_TRUE(n.text.contains(U("不是这次导出的临时数据库的备份"))) << n.text.toStdString();
    EXPECT_EQ(StatementsWith("drop database"), 1);  // the earlier one's only
    EXPECT_TRUE(TemporaryDatabaseExists());
}

// A checked backup has exported its set though its drop was cut: a log-in again asks nothing.
TEST_F(ConversionFlow, ALogInAfterAnExportWhoseDropWasCutAsksNothing) {
    standin->Stop();
    standin->Start({"--reply-delay-ms", "100"});
    Prepare("演示账套");
    Click("按钮4");
    EXPECT_EQ(notices.Next(120000).text, U("代码执行完毕！"));
    QTimer kill;
    QObject::connect(&kill, &QTimer::timeout, [&] {
        if (standin->Running() && StatementsWith("drop database") > 0) standin->KillNow();
    });
    kill.start(5);
    Click("按钮2");
    EXPECT_TRUE(notices.Next().text.contains(U("是否已经删除无法确认")));
    kill.stop();
    standin->Start({});
    Click("按钮1");
    EXPECT_EQ(notices.Next().caption, U("成功"));
}

// A server a network hop away (each reply held a while) dies at the worst moments of an export:
// right after it wrote the backup, and right after it dropped the temporary database. The
// notice and the record say what is known, and a file nobody checked is marked as such.
TEST_F(ConversionFlow, AServerThatDiesAfterTheBackupOrTheDropLeavesNoDoubtAboutEither) {
    struct Moment {
        const char* name;
        std::function<bool()> reached;
        const char* notice;
    };
    int drops = 0;  // before the export
    fs::path unchecked;  // the backup the first moment left
    const std::vector<Moment> moments{
        {"after the backup", [&] { return Backups().size() == 1; }, "未经校验，不能使用"},
        {"after the drop", [&] { return StatementsWith("drop database") > drops && !TemporaryDatabaseExists(); },
         "是否已经删除无法确认"},
    };
    Prepare("演示账套");
    notices.AnswerQuestionsWith(true);
    for (const Moment& m : moments) {
        SCOPED_TRACE(m.name);
        Click("按钮4");
        EXPECT_EQ(notices.Next(120000).text, U("代码执行完毕！"));
        standin->Stop();
        standin->Start({"--reply-delay-ms", "300"});
        Click("按钮1");  // again, giving up the temporary database it filled on the dead connection
        EXPECT_TRUE(notices.Next().text.contains(U("仍然要重新登录吗？")));
        EXPECT_EQ(notices.Next().caption, U("成功"));
        QTimer kill;
        QObject::connect(&kill, &QTimer::timeout, [&] {
            if (standin->Running() && m.reached()) standin->KillNow();
        });
        drops = StatementsWith("drop database");
        kill.start(5);
        Click("按钮2");
        EXPECT_TRUE(notices.Next().text.contains(U("仍然要导出吗？")));
        const Notice n = notices.Next();
        EXPECT_TRUE(n.text.contains(U(m.notice))) << n.text.toStdString();
        kill.stop();
        standin->Start({});
        Click("按钮1");
        EXPECT_EQ(notices.Next().caption, U("成功"));
        if (TemporaryDatabaseExists()) Sql("drop database Tarvex数据整理");
        if (unchecked.empty() && !Backups().empty()) unchecked = Backups().front();
    }
    // The backup of the first moment (names sort by their time's digits, not by time): its record
    // says nobody checked it.
    ASSERT_EQ(Backups().size(), 2u);
    std::ifstream record(unchecked.string() + ".txt");
    EXPECT_NE(std::string(std::istreambuf_iterator<char>(record), {}).find("未进行：备份没有成功完成"), std::string::npos);
}
