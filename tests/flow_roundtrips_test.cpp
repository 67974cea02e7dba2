// How many exchanges with the server the window's actions take, counted in the stand-in's
// request log: a server behind a VPN answers each one tens of milliseconds late, so the count,
// not the loopback time, is what the auditor waits for.

#include "flow_support.h"

using namespace flowtest;

namespace {

class RoundTripsFlow : public FlowTest {
protected:
    // Logs in; the window's connection is the one that logged in last.
    void LogInCounting() {
        ASSERT_EQ(LogIn().caption, U("成功"));
        const std::vector<testsupport::StandinProcess::Request> requests = standin->Requests();
        for (const auto& r : requests)
            if (r.kind == "login") connection_ = r.connection;
    }
    // The window's exchanges so far.
    int Exchanges() const {
        int n = 0;
        for (const auto& r : standin->Requests()) n += r.connection == connection_;
        return n;
    }
    // The exchanges of a lookup of `year`'s account sets, once the chooser shows `rows` of them.
    int LookUpCounting(const char* year, int rows) {
        Type("编辑框5", year);
        const int before = Exchanges();
        FocusChooser();
        EXPECT_TRUE(QTest::qWaitFor([&] { return ChooserItems().size() == rows; }, kGuardMs)) << year;
        LeaveChooser();
        return Exchanges() - before;
    }

    int connection_ = -1;
};

class TownshipRoundTrips : public RoundTripsFlow {
protected:
    TownshipRoundTrips() { standinOptions.sampleName = "township"; }
};

}  // namespace

// Rows come in one read, not one exchange each.
TEST_F(TownshipRoundTrips, TheLookupTakesAsFewExchangesFor153RowsAsFor31) {
    LogInCounting();
    const int year2016 = LookUpCounting("2016", 31);
    const int everyYear = LookUpCounting("201", 153);
    EXPECT_LE(year2016, 4);
    EXPECT_EQ(everyYear, year2016);
}

// Log-in, lookup, choice, run and export with its check and drop, as an auditor goes.
TEST_F(RoundTripsFlow, AWholeConversionTakesAtMost55Exchanges) {
    LogInCounting();
    EXPECT_LE(LookUpCounting("2016", 6), 4);
    Choose("演示账套");
    ASSERT_TRUE(QTest::qWaitFor([&] { return Text("编辑框7") == U("001"); }, kGuardMs));
    Click("按钮4");
    ASSERT_EQ(notices.Next(120000).text, U("代码执行完毕！"));
    Click("按钮2");
    ASSERT_TRUE(notices.Next().text.startsWith(U("导出完毕！")));
    EXPECT_LE(Exchanges(), 55);
}
