// The account-set chooser through the window, the driver and the stand-in: the lookup on
// focus, the selection, and the database shared with other actions.

#include "flow_support.h"

#include <thread>

using namespace flowtest;

namespace {

class ChooserFlow : public FlowTest {
protected:
    void LogInAndList() {
        ASSERT_EQ(LogIn().caption, U("成功"));
        FocusChooser();
        ASSERT_TRUE(QTest::qWaitFor([&] { return !ChooserItems().isEmpty(); }, kGuardMs));
    }
    // Waits until the stand-in has received `n` statements containing `part`.
    bool WaitForStatements(const std::string& part, int n) {
        return QTest::qWaitFor([&] { return StatementsWith(part) >= n; }, kGuardMs);
    }
    // Makes the window's database busy with a statement that runs for `seconds`, on a thread
    // of the test's own, as a long action would.
    std::thread Busy(int seconds) {
        tarvex::Database& db = window->外部数据库1();
        const std::string wait = "WAITFOR DELAY '00:00:" + std::to_string(100 + seconds).substr(1) + "'";
        std::thread t([&db, wait] {
            db.Run([wait](tarvex::ODBCDB& c) { return c.ExecuteSql(wait, tarvex::Timeout::None()); });
        });
        EXPECT_TRUE(WaitForStatements("WAITFOR", 1));
        return t;
    }

    const QStringList k2016 = {U("演示账套"), U("城关镇工会账套"), U("演示账套2"), U("河西乡专项资金账套"),
                               U("旧制度账套"), U("东山乡食堂账套")};
};

}  // namespace

TEST_F(ChooserFlow, FocusListsTheYearsAccountSetsOnceHoweverOftenItComes) {
    LogInAndList();
    EXPECT_EQ(ChooserItems(), k2016);
    for (int i = 2; i <= 4; ++i) {
        LeaveChooser();
        FocusChooser();
        ASSERT_TRUE(WaitForStatements("kjnd Like '%2016%'", i));
    }
    QTest::qWait(100);
    EXPECT_EQ(ChooserItems(), k2016);
    // Item data count from 0 in the server's order.
    auto* combo = Get<QComboBox>("组合框1");
    for (int i = 0; i < combo->count(); ++i) EXPECT_EQ(combo->itemData(i).toInt(), i);
}

TEST_F(ChooserFlow, TheYearIsMatchedAsContainedText) {
    ASSERT_EQ(LogIn().caption, U("成功"));
    Type("编辑框5", "");
    FocusChooser();
    ASSERT_TRUE(QTest::qWaitFor([&] { return ChooserItems().size() == 18; }, kGuardMs));  // every year
    Type("编辑框5", "16");
    FocusChooser();
    ASSERT_TRUE(QTest::qWaitFor([&] { return ChooserItems().size() == 6; }, kGuardMs));
    EXPECT_EQ(ChooserItems(), k2016);
    EXPECT_EQ(StatementsWith("kjnd Like '%16%'"), 1);
}

TEST_F(ChooserFlow, ChoosingFillsThatAccountSetsCodesOnly) {
    LogInAndList();
    Choose("演示账套");  // also contained in 演示账套2
    ASSERT_TRUE(WaitForStatements("ztmc like '%演示账套%'", 1));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !Text("编辑框7").isEmpty(); }, kGuardMs));
    EXPECT_EQ(Text("编辑框6"), U("001"));
    EXPECT_EQ(Text("编辑框7"), U("001"));
    Choose("演示账套2");
    ASSERT_TRUE(QTest::qWaitFor([&] { return Text("编辑框7") == U("002"); }, kGuardMs));
    EXPECT_EQ(Text("编辑框6"), U("002"));
}

TEST_F(ChooserFlow, ARunStartedRightAfterAChoiceCopiesThatChoicesRows) {
    LogInAndList();
    Choose("演示账套");
    ASSERT_TRUE(QTest::qWaitFor([&] { return Text("编辑框7") == U("001"); }, kGuardMs));
    std::thread busy = Busy(1);  // the choice's lookup of the codes waits behind it
    Choose("演示账套2");
    Click("按钮4");
    ASSERT_TRUE(notices.Next().text.startsWith(U("代码执行完毕！")));
    busy.join();
    EXPECT_EQ(StatementsWith("='002'"), 34);  // every copy filters on the unit code
    EXPECT_EQ(StatementsWith("='001'"), 0);
}

TEST_F(ChooserFlow, LeavingTheChooserWithAnItemsTextKeepsCodesTypedByHand) {
    LogInAndList();
    Get<QComboBox>("组合框1")->setEditText(U("演示账套"));
    Type("编辑框6", "999");
    Type("编辑框7", "999");
    FocusChooser();
    LeaveChooser();
    QTest::qWait(300);
    EXPECT_EQ(StatementsWith("ztmc like"), 0);
    EXPECT_EQ(Text("编辑框6"), U("999"));
    EXPECT_EQ(Text("编辑框7"), U("999"));
}

TEST_F(ChooserFlow, BlanksAroundTheDatabaseNameAreTrimmedAsForLogIn) {
    Type("编辑框4", " 2016年乡镇数据采集 ");
    LogInAndList();
    EXPECT_EQ(ChooserItems(), k2016);
    Choose("演示账套");
    ASSERT_TRUE(QTest::qWaitFor([&] { return Text("编辑框7") == U("001"); }, kGuardMs));
}

TEST_F(ChooserFlow, AUnitWithoutTheNewChartLeavesBothBoxesEmpty) {
    LogInAndList();
    Choose("演示账套");
    ASSERT_TRUE(QTest::qWaitFor([&] { return Text("编辑框7") == U("001"); }, kGuardMs));
    Choose("旧制度账套");
    ASSERT_TRUE(WaitForStatements("ztmc like '%旧制度账套%'", 1));
    ASSERT_TRUE(QTest::qWaitFor([&] { return Text("编辑框6").isEmpty() && Text("编辑框7").isEmpty(); }, kGuardMs));
}

TEST_F(ChooserFlow, ANameThatNoConvertibleRowHasLeavesBothBoxesEmptyAndSaysWhy) {
    // 城关镇工会 is contained in 城关镇工会账套 (unit 001), but its own unit lacks the new chart.
    Sql("INSERT INTO GL_Ztcs (hsdwdm, ztmc, ztbh, kjnd, hsdwmc) VALUES ('004', '城关镇工会', '004', '2016', '城关镇总工会')");
    LogInAndList();
    Choose("演示账套");
    ASSERT_TRUE(QTest::qWaitFor([&] { return Text("编辑框7") == U("001"); }, kGuardMs));
    Choose("城关镇工会");
    ASSERT_TRUE(WaitForStatements("ztmc like '%城关镇工会%'", 1));
    ASSERT_TRUE(QTest::qWaitFor([&] { return Text("编辑框6").isEmpty() && Text("编辑框7").isEmpty(); }, kGuardMs));
    ASSERT_TRUE(QTest::qWaitFor([&] { return Log().contains(U("新科目")); }, kGuardMs)) << Log().toStdString();
    EXPECT_TRUE(Log().contains(U("城关镇总工会"))) << Log().toStdString();
}

TEST_F(ChooserFlow, BeforeAnyLogInNothingHappensAndNothingIsShown) {
    FocusChooser();
    QTest::qWait(300);
    EXPECT_TRUE(ChooserItems().isEmpty());
    EXPECT_TRUE(notices.Seen().empty());
    EXPECT_EQ(Log(), "");
    EXPECT_EQ(StatementsWith("GL_Ztcs"), 0);
}

TEST_F(ChooserFlow, ApostrophesAndWildcardsStayInsideTheirLiterals) {
    Sql("INSERT INTO GL_Ztcs (hsdwdm, ztmc, ztbh, kjnd, hsdwmc) VALUES ('004', 'O''Neil_100%', '004', '2016', "
        "'新科目单位'), ('005', 'OxNeil-1000', '005', '2016', '新科目单位')");
    LogInAndList();
    ASSERT_TRUE(ChooserItems().contains("O'Neil_100%"));
    Choose("O'Neil_100%");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !Text("编辑框7").isEmpty(); }, kGuardMs));
    EXPECT_EQ(Text("编辑框6"), U("004"));
    EXPECT_EQ(StatementsWith("ztmc like '%O''Neil[_]100[%]%'"), 1);

    Type("编辑框5", "20'16");
    FocusChooser();
    ASSERT_TRUE(WaitForStatements("kjnd Like '%20''16%'", 1));
    QTest::qWait(200);
    EXPECT_TRUE(ChooserItems().isEmpty());  // a year that matches nothing lists nothing
}

TEST_F(ChooserFlow, TheDatabaseNamedInTheWindowIsTheOneRead) {
    Sql("create database 另一个库");
    Sql("SELECT * INTO 另一个库.dbo.GL_Ztcs FROM \"2016年乡镇数据采集\".dbo.GL_Ztcs WHERE hsdwdm='003'");
    ASSERT_EQ(LogIn().caption, U("成功"));
    Type("编辑框4", "另一个库");
    FocusChooser();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !ChooserItems().isEmpty(); }, kGuardMs));
    EXPECT_EQ(ChooserItems(), (QStringList{U("旧制度账套"), U("东山乡食堂账套")}));
    EXPECT_EQ(StatementsWith("FROM \"另一个库\".\"dbo\".\"GL_Ztcs\""), 1);
}

TEST_F(ChooserFlow, ALookupWhileTheDatabaseIsBusyRunsAfterwards) {
    ASSERT_EQ(LogIn().caption, U("成功"));
    std::thread busy = Busy(2);
    FocusChooser();
    // The window keeps taking input meanwhile.
    Type("编辑框7", "typed");
    EXPECT_EQ(Text("编辑框7"), "typed");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !ChooserItems().isEmpty(); }, kGuardMs));
    busy.join();
    const std::vector<std::string> statements = standin->Statements();
    ASSERT_GE(statements.size(), 2u);
    EXPECT_NE(statements[statements.size() - 2].find("WAITFOR"), std::string::npos);
    EXPECT_NE(statements.back().find("GL_Ztcs"), std::string::npos);
}

TEST_F(ChooserFlow, OvertakenLookupsAreSkippedWhileTheDatabaseIsBusy) {
    ASSERT_EQ(LogIn().caption, U("成功"));
    std::thread busy = Busy(2);
    for (int i = 0; i < 5; ++i) {
        FocusChooser();
        LeaveChooser();
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return !ChooserItems().isEmpty(); }, kGuardMs));
    busy.join();
    QTest::qWait(300);
    EXPECT_EQ(StatementsWith("GL_Ztcs"), 1);
}

TEST_F(ChooserFlow, FortyLookupsInARowStillWork) {
    ASSERT_EQ(LogIn().caption, U("成功"));
    for (int i = 1; i <= 40; ++i) {
        FocusChooser();
        ASSERT_TRUE(WaitForStatements("GL_Ztcs", i));
        LeaveChooser();
    }
    Type("编辑框5", "");
    FocusChooser();
    EXPECT_TRUE(QTest::qWaitFor([&] { return ChooserItems().size() == 18; }, kGuardMs));
}

TEST_F(ChooserFlow, ClosingTheWindowDuringASlowLookupEndsCleanly) {
    ASSERT_EQ(LogIn().caption, U("成功"));
    std::thread busy = Busy(50);
    FocusChooser();
    QTest::qWait(200);
    QTest::keyClick(window->windowHandle(), Qt::Key_Escape);
    // The running statement is cancelled and the lookup's worker ends; the window closes long
    // before the statement would have ended.
    EXPECT_TRUE(QTest::qWaitFor([&] { return !window->isVisible(); }, kGuardMs));
    EXPECT_EQ(window->Workers().Running(), 0);
    busy.join();
    EXPECT_EQ(StatementsWith("GL_Ztcs"), 0);
}
