// The batch dialog through the real window (headless), the driver and the stand-in: the list,
// the year filter, check boxes, Start, Cancel and the summary.

#include "flow_support.h"

#include <QCheckBox>
#include <QLabel>
#include <QStandardItemModel>
#include <QTableView>

#include "batch_dialog.h"
#include "codepage.h"
#include "temporary_database.h"
#include "test_files.h"

using namespace flowtest;
namespace fs = std::filesystem;

namespace {

class BatchFlow : public FlowTest {
protected:
    // Logs in, opens the dialog and waits for its list.
    void Open() {
        EXPECT_FALSE(Get("批量转换按钮")->isEnabled());  // before a log-in
        ASSERT_EQ(LogIn().caption, U("成功"));
        ASSERT_TRUE(Get("批量转换按钮")->isEnabled());
        OpenDialog();
    }
    // Opens the dialog of a logged-in window and waits for its list.
    void OpenDialog() {
        Click("批量转换按钮");
        QTableView* table = nullptr;
        ASSERT_TRUE(QTest::qWaitFor([&] { return (table = window->findChild<QTableView*>(U("账套列表"))) != nullptr; }, kGuardMs));
        dialog = static_cast<tarvex::BatchDialog*>(table->window());
        list = qobject_cast<QStandardItemModel*>(table->model());
        ASSERT_TRUE(QTest::qWaitFor([&] { return list->rowCount() > 0; }, kGuardMs));
    }
    // The button whose caption, without its mnemonic "(&X)", is `text`.
    QPushButton* Button(const char* text) {
        for (QPushButton* b : dialog->findChildren<QPushButton*>())
            if (b->text().section(QLatin1Char('('), 0, 0) == U(text)) return b;
        ADD_FAILURE() << text;
        return nullptr;
    }
    // Shows the rows of these years only.
    void Years(const QStringList& years) {
        for (QCheckBox* box : dialog->findChildren<QCheckBox*>()) box->setChecked(years.contains(box->text()));
    }
    int Row(const char* year, const char* name) {
        for (int r = 0; r < list->rowCount(); ++r)
            if (list->item(r, 1)->text() == U(year) && list->item(r, 5)->text() == U(name)) return r;
        ADD_FAILURE() << year << " " << name;
        return 0;
    }
    void Check(const char* year, const char* name) { list->item(Row(year, name), 0)->setCheckState(Qt::Checked); }
    // The summary's rows, each as its cells joined by "|".
    QStringList Summary() {
        auto* model = qobject_cast<QStandardItemModel*>(dialog->findChild<QTableView*>(U("汇总"))->model());
        EXPECT_TRUE(QTest::qWaitFor([&] { return model->rowCount() > 0; }, 120000));
        QStringList rows;
        for (int r = 0; r < model->rowCount(); ++r) {
            QStringList cells;
            for (int c = 0; c < model->columnCount(); ++c) cells << model->item(r, c)->text();
            rows << cells.join('|');
        }
        return rows;
    }
    std::vector<fs::path> Files(const std::string& extension) { return testsupport::FilesEndingIn(backupDirectory, extension); }

    QPointer<tarvex::BatchDialog> dialog;
    QStandardItemModel* list = nullptr;
};

}  // namespace

TEST_F(BatchFlow, TheCheckedSetsOfTheYearsShownAreConvertedAndSummed) {
    Open();
    EXPECT_EQ(list->rowCount(), 18);
    // A unit without the new chart is shown greyed, with the reason, and cannot be checked.
    const int old = Row("2016", "旧制度账套");
    EXPECT_FALSE(list->item(old, 0)->isCheckable());
    EXPECT_FALSE(list->item(old, 5)->isEnabled());
    EXPECT_EQ(list->item(old, 6)->text(), U("单位名称中没有“新科目”，不能转换"));
    Years({U("2016")});
    Button("全选")->click();  // the four convertible sets of 2016 shown
    list->item(Row("2016", "城关镇工会账套"), 0)->setCheckState(Qt::Unchecked);
    list->item(Row("2016", "河西乡专项资金账套"), 0)->setCheckState(Qt::Unchecked);
    Check("2017", "演示账套");  // checked, then hidden by the filter: counted, and converted
    EXPECT_EQ(dialog->findChild<QLabel*>(U("已选"))->text(), U("已选3个账套，其中1个不在当前显示的年度中。"));
    Button("开始")->click();
    const QStringList rows = Summary();
    ASSERT_EQ(rows.size(), 3);
    EXPECT_TRUE(rows[0].startsWith(U("2016|001|城关镇人民政府（新科目）|001|演示账套|已转换|"))) << rows[0].toStdString();
    EXPECT_TRUE(rows[1].startsWith(U("2016|002|河西乡人民政府新科目|002|演示账套2|已转换|"))) << rows[1].toStdString();
    EXPECT_TRUE(rows[2].startsWith(U("2017|001|城关镇人民政府（新科目）|001|演示账套|已转换|"))) << rows[2].toStdString();
    EXPECT_EQ(Files(".bak").size(), 3u);
    EXPECT_EQ(Files(".csv").size(), 1u);
    EXPECT_TRUE(dialog->findChild<QLabel*>(U("当前账套"))->text().startsWith(U("批量转换结束：3个已转换")));
    // The window's own conversion is as it was: no temporary database left, the buttons enabled.
    EXPECT_EQ(StatementsWith("drop database"), 3);
    dialog->close();
    EXPECT_TRUE(QTest::qWaitFor([&] { return dialog.isNull(); }, kGuardMs));
    EXPECT_TRUE(Get("按钮4")->isEnabled());
}

TEST_F(BatchFlow, CancelStopsTheBatchAndLeavesNoTemporaryDatabase) {
    Open();
    Years({U("2016"), U("2017")});
    Button("全选")->click();
    Button("开始")->click();
    Button("取消")->click();
    const QStringList rows = Summary();
    ASSERT_EQ(rows.size(), 8);
    for (const QString& row : rows) EXPECT_FALSE(row.contains(U("|已转换|"))) << row.toStdString();
    EXPECT_TRUE(dialog->findChild<QLabel*>(U("当前账套"))->text().startsWith(U("批量转换已取消"))) << dialog->findChild<QLabel*>(U("当前账套"))->text().toStdString();
    EXPECT_TRUE(Files(".bak").empty());
    EXPECT_EQ(StatementsWith("create database"), StatementsWith("drop database"));
}

// A batch refused because the window's own extraction waits for its export leaves that hold
// alone: no other copy can take the database meanwhile, and the window's export still works.
TEST_F(BatchFlow, ABatchRefusedForTheWindowsOwnTemporaryDatabaseLeavesItsHold) {
    ASSERT_EQ(LogIn().caption, U("成功"));
    FocusChooser();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !ChooserItems().isEmpty(); }, kGuardMs));
    Choose("城关镇工会账套");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !Text("编辑框7").isEmpty(); }, kGuardMs));
    Click("按钮4");
    EXPECT_EQ(notices.Next(120000).text, U("代码执行完毕！"));
    OpenDialog();
    Check("2016", "演示账套");
    Button("开始")->click();
    EXPECT_EQ(Summary().size(), 1);
    const QString log = dialog->findChild<QPlainTextEdit*>(U("批量日志"))->toPlainText();
    EXPECT_EQ(log.count(U("还没有导出，批量转换没有开始")), 1) << log.toStdString();
    tarvex::ODBCDB other;
    ASSERT_TRUE(other.NewOpenDatabase(tarvex::CodePage::Process().FromUtf8(
        "DRIVER=SQL Server;SERVER=.;UID=sa;PWD=1;DATABASE=2016年乡镇数据采集")));
    EXPECT_EQ(tarvex::TakeHold(other), tarvex::Hold::InUse);
    dialog->close();
    ASSERT_TRUE(QTest::qWaitFor([&] { return dialog.isNull(); }, kGuardMs));
    Click("按钮2");
    EXPECT_TRUE(notices.Next().text.startsWith(U("导出完毕！")));
    EXPECT_EQ(Files(".bak").size(), 1u);
}

// The summary's notes show whole within the table, without hovering; skipped sets count as such.
TEST_F(BatchFlow, TheSummaryShowsItsNotesWholeAndCountsSkippedSets) {
    const auto convertBoth = [&] {
        for (const char* year : {"2016", "2017"}) Check(year, "演示账套");
        Button("开始")->click();
        return Summary().size();
    };
    Sql("DROP TABLE GL_PZML");
    Open();
    ASSERT_EQ(convertBoth(), 2);
    auto* summary = dialog->findChild<QTableView*>(U("汇总"));
    for (int row = 0; row < 2; ++row) {
        const QModelIndex notes = summary->model()->index(row, summary->model()->columnCount() - 1);
        const QRect cell = summary->visualRect(notes);
        const QString text = notes.data().toString();
        EXPECT_TRUE(text.contains(U("张表整理失败")) && cell.right() <= summary->viewport()->width()) << text.toStdString();
        EXPECT_GE(cell.height(), summary->fontMetrics().boundingRect(cell.adjusted(4, 0, -4, 0), Qt::TextWordWrap, text).height());
    }
    dialog->close();
    ASSERT_TRUE(QTest::qWaitFor([&] { return dialog.isNull(); }, kGuardMs));
    OpenDialog();
    ASSERT_EQ(convertBoth(), 2);
    EXPECT_EQ(dialog->findChild<QLabel*>(U("当前账套"))->text(),
              U("批量转换结束：0个已转换，2个已存在（跳过），0个已转换但有警告，0个失败，0个未转换。"));
}

// Offscreen no file manager opens a folder, as on a Linux without xdg-open: the user is told the
// folder's path instead of nothing happening.
TEST_F(BatchFlow, AFolderThatCannotBeOpenedIsShownByItsPath) {
    Open();
    Button("打开文件夹")->click();
    const Notice n = notices.Next();
    EXPECT_EQ(n.caption, U("打开文件夹"));
    EXPECT_TRUE(n.text.endsWith(QString::fromStdString(backupDirectory.string()))) << n.text.toStdString();
}

// A leftover that no copy holds stops the batch; the dialog offers to drop it, says what it
// held, and the batch starts again.
TEST_F(BatchFlow, ALeftoverIsDroppedFromTheDialogAndTheBatchStartsAgain) {
    Sql("create database Tarvex数据整理");
    Sql("SELECT * INTO Tarvex数据整理.dbo.GL_ZTCS FROM \"2016年乡镇数据采集\".dbo.GL_Ztcs WHERE hsdwdm='002' AND ztbh='002' AND kjnd='2016'");
    own.CloseDatabase();
    Open();
    Check("2016", "演示账套");
    notices.AnswerQuestionsWith(true);
    Button("开始")->click();
    EXPECT_TRUE(notices.Next().text.contains(U("要删除它，再重新开始批量转换吗？")));
    const auto* log = dialog->findChild<QPlainTextEdit*>(U("批量日志"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return log->toPlainText().contains(U("年度2016，单位002，账套002 演示账套2")); }, kGuardMs))
        << log->toPlainText().toStdString();
    EXPECT_FALSE(testsupport::TemporaryDatabaseExists(standin->DataDir()));
    EXPECT_TRUE(Summary().front().contains(U("|已转换|"))) << Summary().front().toStdString();
}
