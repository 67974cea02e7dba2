// ODBCDB through the real stack: unixODBC, FreeTDS's driver registered as "SQL Server", and the
// stand-in server over loopback, reached as "." through the connection-string layer. The binary
// runs once with the process in zh_CN.GBK and once in zh_CN.UTF-8; texts are written here in
// UTF-8 and converted to the code page of the process before they reach ODBCDB.

#include "backup_contents.h"
#include "odbcdb.h"
#include "standin_process.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <thread>

using tarvex::CodePage;
using tarvex::ColumnValue;
using tarvex::ODBCDB;
using tarvex::OdbcError;
using tarvex::RecordSetHandle;
using tarvex::Timeout;
using testsupport::StandinProcess;

namespace {

// A text written in UTF-8, in the code page of the process.
std::string Local(std::string_view utf8) { return CodePage::Process().FromUtf8(utf8); }

const char* const kSampleDatabase = "2016年乡镇数据采集";

std::string ToolConnectionString(std::string_view password = "1", std::string_view database = kSampleDatabase) {
    return Local("DRIVER=SQL Server;SERVER=.;UID=sa;PWD=" + std::string(password) + ";WSID=.;DATABASE=" +
             std::string(database));
}

bool HasNative(const OdbcError& e, long native) {
    return e.native == native ||
           std::any_of(e.more.begin(), e.more.end(), [&](const OdbcError& m) { return m.native == native; });
}

bool IsState(const OdbcError& e, std::string_view odbc2, std::string_view odbc3) {
    return e.state == odbc2 || e.state == odbc3;
}

std::string Text(const ColumnValue& v) {
    EXPECT_TRUE(std::holds_alternative<std::string>(v.Get())) << "kind " << v.Get().index();
    return v.Text();
}

// A stand-in with the sample database, reached by SERVER=. through TDSPORT.
class Stack : public ::testing::Test {
protected:
    explicit Stack(StandinProcess::Options options = {}) : standin_(std::move(options)) { standin_.ExportTdsPort(); }

    void Open() {
        ASSERT_TRUE(db_.NewOpenDatabase(ToolConnectionString())) << db_.LastError().Describe();
    }

    // Runs statements (written in UTF-8) that must succeed.
    void Execute(std::initializer_list<std::string_view> statements) {
        for (std::string_view s : statements) ASSERT_TRUE(db_.ExecuteSql(Local(s))) << s << "\n" << db_.LastError().Describe();
    }

    // The table 名单 with three rows, ordered by 编号.
    void MakeNameList() {
        Execute({"CREATE TABLE [名单] ([编号] int NOT NULL, [名称] varchar(40) NULL, [数量] int NULL)",
                 "INSERT INTO [名单] VALUES (1, '演示账套', 10), (2, '演示账套2', 20), (3, '旧制度账套', 30)"});
    }

    RecordSetHandle OpenNameList() {
        const RecordSetHandle h = db_.OpenTable(Local("SELECT [编号],[名称],[数量] FROM [名单] ORDER BY [编号]"));
        EXPECT_NE(h, 0u) << db_.LastError().Describe();
        return h;
    }

    bool ServerReceived(std::string_view utf8Statement) const {
        const auto log = standin_.Statements();
        return std::find(log.begin(), log.end(), utf8Statement) != log.end();
    }

    bool ServerReceivedSomethingWith(std::string_view utf8Part) const {
        const auto log = standin_.Statements();
        return std::any_of(log.begin(), log.end(), [&](const std::string& s) { return s.find(utf8Part) != std::string::npos; });
    }

    StandinProcess standin_;
    ODBCDB db_;
};

}  // namespace

// ---- Connecting ---------------------------------------------------------------------------------

TEST_F(Stack, OpensWithTheToolsStringThroughTheConnectionLayer) {
    Open();
    EXPECT_TRUE(db_.IsOpen());
    EXPECT_TRUE(db_.LastError().Empty());
    EXPECT_EQ(db_.IdentifierQuote(), '"');
    // The driver completes the string the layer gave it, with the Chinese name intact.
    const std::string completed = db_.ConnectString();
    EXPECT_EQ(completed.rfind("ODBC;", 0), 0u) << completed;
    EXPECT_NE(completed.find("SERVER=127.0.0.1,1433"), std::string::npos) << completed;
    EXPECT_NE(completed.find(Local(std::string("DATABASE=") + kSampleDatabase)), std::string::npos) << completed;

    // The current database is the one the string named: its table is reached by a one-part name.
    const RecordSetHandle h = db_.OpenTable(Local("SELECT ztmc FROM GL_Ztcs WHERE ztmc = '演示账套' AND kjnd = '2016'"));
    ASSERT_NE(h, 0u) << db_.LastError().Describe();
    EXPECT_EQ(Text(db_.ReadColByIndex(h, 1)), Local("演示账套"));

    // Read-only and without a dialog, as the object also offers.
    ASSERT_TRUE(db_.NewOpenDatabase(ToolConnectionString(), tarvex::LoginPrompt::Never(), true)) << db_.LastError().Describe();
    EXPECT_NE(db_.OpenTable(Local("SELECT ztmc FROM GL_Ztcs")), 0u) << db_.LastError().Describe();
}

TEST_F(Stack, AWrongPasswordOrDatabaseFailsWithTheReasonAndKeepsTheConnection) {
    Open();
    MakeNameList();
    const RecordSetHandle h = OpenNameList();
    const std::string before = db_.ConnectString();

    EXPECT_FALSE(db_.NewOpenDatabase(ToolConnectionString("2")));
    EXPECT_TRUE(HasNative(db_.LastError(), 18456)) << db_.LastError().Describe();

    EXPECT_FALSE(db_.NewOpenDatabase(ToolConnectionString("1", "没有这个库")));
    const OdbcError unknown = db_.LastError();
    EXPECT_TRUE(HasNative(unknown, 4060)) << unknown.Describe();
    EXPECT_NE(unknown.Describe().find(Local("没有这个库")), std::string::npos) << unknown.Describe();

    // No string at all asks for the driver's dialog, which this platform cannot show.
    EXPECT_FALSE(db_.NewOpenDatabase("", tarvex::LoginPrompt::OverWindow(nullptr)));
    EXPECT_FALSE(db_.LastError().state.empty()) << db_.LastError().Describe();
    EXPECT_FALSE(db_.NewOpenDatabase(Local("DRIVER=SQL Server;SERVER=.;PWD={1")));
    EXPECT_NE(db_.LastError().message.find(Local("没有与之配对的“}”")), std::string::npos) << db_.LastError().Describe();

    // The earlier connection is current and usable, its record set included.
    EXPECT_TRUE(db_.IsOpen());
    EXPECT_EQ(db_.ConnectString(), before);
    EXPECT_FALSE(db_.IsEOF(h));
    EXPECT_EQ(Text(db_.ReadColByIndex(h, 2)), Local("演示账套"));
    db_.MoveNext(h);
    EXPECT_EQ(Text(db_.ReadColByIndex(h, 2)), Local("演示账套2"));
    EXPECT_NE(db_.OpenTable(Local("SELECT [名称] FROM [名单]")), 0u) << db_.LastError().Describe();
}

TEST_F(Stack, ASecondOpenVoidsTheFirstConnectionsHandles) {
    Open();
    MakeNameList();
    const RecordSetHandle first = OpenNameList();
    ASSERT_FALSE(db_.IsEOF(first));

    ASSERT_TRUE(db_.NewOpenDatabase(ToolConnectionString())) << db_.LastError().Describe();
    EXPECT_TRUE(db_.IsEOF(first));
    EXPECT_TRUE(db_.ReadColByIndex(first, 1).IsEmpty());
    EXPECT_EQ(db_.RowCount(first), 0);
    db_.MoveNext(first);
    EXPECT_FALSE(db_.LastError().Empty());

    // The new connection's record sets get handles of their own; the old one still names nothing.
    const RecordSetHandle second = OpenNameList();
    EXPECT_NE(second, first);
    EXPECT_TRUE(db_.IsEOF(first));
    EXPECT_EQ(db_.RowCount(second), 3);

    db_.CloseDatabase();
    EXPECT_FALSE(db_.IsOpen());
    EXPECT_TRUE(db_.IsEOF(second));
    EXPECT_EQ(db_.OpenTable(Local("SELECT [名称] FROM [名单]")), 0u);
    EXPECT_FALSE(db_.LastError().message.empty());
    EXPECT_FALSE(db_.ExecuteSql("SELECT 1"));
}

namespace {
class StackWithOddPassword : public Stack {
protected:
    static StandinProcess::Options WithPassword() {
        StandinProcess::Options o;
        o.password = "p;w}d{";
        return o;
    }
    StackWithOddPassword() : Stack(WithPassword()) {}
};
}  // namespace

TEST_F(StackWithOddPassword, ABracedPasswordWithSemicolonAndBracesReachesTheServerIntact) {
    EXPECT_TRUE(db_.NewOpenDatabase(ToolConnectionString("{p;w}}d{}"))) << db_.LastError().Describe();
    EXPECT_FALSE(db_.NewOpenDatabase(ToolConnectionString("{p;w}d{}")));  // "}" not doubled: refused here
    EXPECT_NE(db_.LastError().message.find(Local("在右花括号之后还有内容")), std::string::npos) << db_.LastError().Describe();
}

// ---- Record sets ----------------------------------------------------------------------------------

TEST_F(Stack, ARecordSetCountsItsRowsAndStartsAtTheFirst) {
    Open();
    MakeNameList();
    const RecordSetHandle h = OpenNameList();
    EXPECT_EQ(db_.RowCount(h), 3);
    EXPECT_FALSE(db_.IsEOF(h));
    std::vector<std::int32_t> seen;
    for (; !db_.IsEOF(h); db_.MoveNext(h)) seen.push_back(std::get<std::int32_t>(db_.ReadColByIndex(h, 1).Get()));
    EXPECT_EQ(seen, (std::vector<std::int32_t>{1, 2, 3}));
    EXPECT_TRUE(db_.LastError().Empty()) << db_.LastError().Describe();

    db_.MoveNext(h);  // past the end: nothing changes
    EXPECT_TRUE(db_.IsEOF(h));
    db_.MoveFirst(h);
    EXPECT_FALSE(db_.IsEOF(h));
    EXPECT_EQ(Text(db_.ReadColByIndex(h, 2)), Local("演示账套"));
    EXPECT_EQ(Text(db_.ReadColByName(h, Local("名称"))), Local("演示账套"));
}

TEST_F(Stack, AQueryWithoutRowsGivesAHandleAtItsEnd) {
    Open();
    MakeNameList();
    const RecordSetHandle h = db_.OpenTable(Local("SELECT [名称] FROM [名单] WHERE [编号] > 100"));
    ASSERT_NE(h, 0u) << db_.LastError().Describe();
    EXPECT_TRUE(db_.IsEOF(h));
    EXPECT_EQ(db_.RowCount(h), 0);
    db_.MoveFirst(h);
    EXPECT_TRUE(db_.IsEOF(h));
}

TEST_F(Stack, ReadingDirectlyGivesEveryRowInOrderAsTextNullAsEmptyAndNothingOnFailure) {
    Open();
    MakeNameList();
    Execute({"INSERT INTO [名单] VALUES (4, NULL, 40)"});
    const auto rows = db_.ReadAllText(Local("SELECT [名称],[编号] FROM [名单] ORDER BY [编号]"));
    ASSERT_TRUE(rows) << db_.LastError().Describe();
    using Rows = std::vector<std::vector<std::string>>;
    EXPECT_EQ(*rows, (Rows{{Local("演示账套"), "1"}, {Local("演示账套2"), "2"}, {Local("旧制度账套"), "3"}, {"", "4"}}));
    EXPECT_EQ(db_.ReadAllText(Local("SELECT [名称] FROM [名单] WHERE [编号] > 100")), Rows{});
    EXPECT_FALSE(db_.ReadAllText(Local("SELECT [名称] FROM [没有这张表]")));
    EXPECT_FALSE(db_.LastError().Empty());
}

TEST_F(Stack, ColumnNumbersOutsideTheResultAndUnknownNamesGiveTheEmptyValue) {
    Open();
    MakeNameList();
    const RecordSetHandle h = OpenNameList();
    EXPECT_TRUE(db_.ReadColByIndex(h, 0).IsEmpty());
    EXPECT_TRUE(db_.ReadColByIndex(h, -1).IsEmpty());
    EXPECT_TRUE(db_.ReadColByIndex(h, 4).IsEmpty());
    EXPECT_EQ(db_.ReadColByIndex(h, 4).Text(), "");
    EXPECT_FALSE(db_.ReadColByIndex(h, 3).IsEmpty());
    EXPECT_TRUE(db_.ReadColByName(h, Local("没有")).IsEmpty());
    EXPECT_TRUE(db_.ReadColByIndex(0, 1).IsEmpty());
    EXPECT_TRUE(db_.IsEOF(0));
}

TEST_F(Stack, NullsReadAsEmptyTextOrZeroAndEachTypeAsItsKind) {
    Open();
    Execute({"CREATE TABLE [类型] ([编号] int, [名称] varchar(20) NULL, [数量] int NULL, [小] smallint NULL, "
             "[字节] tinyint NULL, [真] bit NULL, [实] float NULL, [金额] decimal(18,2) NULL, [日期] datetime NULL)",
             "INSERT INTO [类型] VALUES (1, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL)",
             "INSERT INTO [类型] VALUES (2, '', 7, -3, 200, 1, 2.5, 1234.50, '2016-04-05 09:07:03')"});
    const RecordSetHandle h = db_.OpenTable(Local("SELECT * FROM [类型] ORDER BY [编号]"));
    ASSERT_NE(h, 0u) << db_.LastError().Describe();
    ASSERT_EQ(db_.RowCount(h), 2);

    // NULL: empty text in a character column, 0 in an integer column.
    EXPECT_EQ(db_.ReadColByIndex(h, 2).Get(), ColumnValue::Variant(std::string()));
    EXPECT_EQ(db_.ReadColByIndex(h, 3).Get(), ColumnValue::Variant(std::int32_t{0}));
    EXPECT_EQ(db_.ReadColByIndex(h, 4).Get(), ColumnValue::Variant(std::int16_t{0}));
    EXPECT_EQ(db_.ReadColByIndex(h, 5).Get(), ColumnValue::Variant(std::uint8_t{0}));
    EXPECT_EQ(db_.ReadColByIndex(h, 6).Get(), ColumnValue::Variant(false));
    EXPECT_EQ(db_.ReadColByIndex(h, 7).Get(), ColumnValue::Variant(0.0));
    EXPECT_EQ(db_.ReadColByIndex(h, 8).Get(), ColumnValue::Variant(std::string()));

    db_.MoveNext(h);
    EXPECT_EQ(db_.ReadColByIndex(h, 2).Get(), ColumnValue::Variant(std::string()));  // empty, not NULL
    EXPECT_EQ(db_.ReadColByIndex(h, 3).Get(), ColumnValue::Variant(std::int32_t{7}));
    EXPECT_EQ(db_.ReadColByIndex(h, 4).Get(), ColumnValue::Variant(std::int16_t{-3}));
    EXPECT_EQ(db_.ReadColByIndex(h, 5).Get(), ColumnValue::Variant(std::uint8_t{200}));
    EXPECT_EQ(db_.ReadColByIndex(h, 6).Get(), ColumnValue::Variant(true));
    EXPECT_EQ(db_.ReadColByIndex(h, 7).Get(), ColumnValue::Variant(2.5));
    EXPECT_EQ(Text(db_.ReadColByIndex(h, 8)), "1234.50");
    const ColumnValue date = db_.ReadColByIndex(h, 9);
    ASSERT_TRUE(std::holds_alternative<tarvex::DateTimeValue>(date.Get())) << date.Get().index();
    EXPECT_EQ(date.Text(), "2016-04-05 09:07:03");
    // A value can be read again.
    EXPECT_EQ(db_.ReadColByIndex(h, 3).Get(), ColumnValue::Variant(std::int32_t{7}));
}

TEST_F(Stack, The31stOpenRecordSetFailsWithoutReachingTheServerUntilOneIsClosed) {
    Open();
    MakeNameList();
    std::vector<RecordSetHandle> handles;
    for (int i = 0; i < 29; ++i) {
        handles.push_back(db_.OpenTable(Local("SELECT [名称] FROM [名单] WHERE [编号] > " + std::to_string(i))));
        ASSERT_NE(handles.back(), 0u) << i << " " << db_.LastError().Describe();
    }
    // A statement without a result set takes no slot.
    EXPECT_EQ(db_.OpenTable(Local("CREATE TABLE [空表] ([a] int)")), 0u);
    EXPECT_TRUE(ServerReceived("CREATE TABLE \"空表\" (\"a\" int)"));
    handles.push_back(db_.OpenTable(Local("SELECT [名称] FROM [名单] WHERE [编号] > 29")));
    ASSERT_NE(handles.back(), 0u) << db_.LastError().Describe();

    const std::string the31st = "SELECT \"名称\" FROM \"名单\" WHERE \"编号\" = 31";
    EXPECT_EQ(db_.OpenTable(Local(the31st)), 0u);
    EXPECT_NE(db_.LastError().message.find("30"), std::string::npos) << db_.LastError().Describe();
    EXPECT_TRUE(db_.LastError().state.empty());
    EXPECT_FALSE(ServerReceived(the31st));

    db_.CloseRecordSet(handles[7]);
    EXPECT_TRUE(db_.IsEOF(handles[7]));
    EXPECT_FALSE(db_.IsEOF(handles[1]));  // rows 2 and 3: still open
    const RecordSetHandle again = db_.OpenTable(Local(the31st));
    EXPECT_NE(again, 0u) << db_.LastError().Describe();
    EXPECT_TRUE(ServerReceived(the31st));
    EXPECT_TRUE(std::find(handles.begin(), handles.end(), again) == handles.end());
}

TEST_F(Stack, BracketsReachTheServerAsQuotesAndLiteralsUntouched) {
    Open();
    MakeNameList();
    const RecordSetHandle h =
        db_.OpenTable(Local("SELECT [名称] FROM [名单] WHERE [名称] <> '[演示]]' AND [名称] LIKE '%[账]%'"));
    EXPECT_NE(h, 0u) << db_.LastError().Describe();
    EXPECT_TRUE(ServerReceived("SELECT \"名称\" FROM \"名单\" WHERE \"名称\" <> '[演示]]' AND \"名称\" LIKE '%[账]%'"));
    EXPECT_EQ(db_.RowCount(h), 3);

    db_.ExecuteSql(Local("SELECT [[x]]] FROM [名单]"));  // doubled brackets are sent as one
    EXPECT_TRUE(ServerReceived("SELECT [x]\" FROM \"名单\""));
}

// ---- Executing ----------------------------------------------------------------------------------

TEST_F(Stack, AFailedStatementKeepsTheServersReason) {
    Open();
    EXPECT_FALSE(db_.ExecuteSql(Local("drop database [不存在的库]")));
    const OdbcError e = db_.LastError();
    EXPECT_TRUE(HasNative(e, 3701)) << e.Describe();
    EXPECT_NE(e.Describe().find(Local("不存在的库")), std::string::npos) << e.Describe();
    EXPECT_EQ(db_.OpenTable(Local("SELECT * FROM [没有的表]")), 0u);
    EXPECT_TRUE(HasNative(db_.LastError(), 208)) << db_.LastError().Describe();
    EXPECT_FALSE(db_.ExecuteSql(""));
    EXPECT_FALSE(db_.LastError().message.empty());
    EXPECT_EQ(db_.OpenTable("SELECT 1", Timeout::Seconds(-1)), 0u);
    EXPECT_FALSE(db_.LastError().message.empty());
    // Success clears the reason.
    EXPECT_TRUE(db_.ExecuteSql("SELECT 1")) << db_.LastError().Describe();
    EXPECT_TRUE(db_.LastError().Empty());
}

TEST_F(Stack, ExecuteSqlReturnsOnlyWhenEveryStatementOfABatchHasRun) {
    Open();
    // The rows and messages of the first statements come back before the last one runs.
    ASSERT_TRUE(db_.ExecuteSql(Local("SELECT ztmc FROM GL_Ztcs; WAITFOR DELAY '00:00:01'; CREATE TABLE [完成] ([a] int)"),
                               Timeout::None()))
        << db_.LastError().Describe();
    ODBCDB other;  // a second connection on the process's one environment
    ASSERT_TRUE(other.NewOpenDatabase(ToolConnectionString())) << other.LastError().Describe();
    EXPECT_NE(other.OpenTable(Local("SELECT [a] FROM [完成]")), 0u) << other.LastError().Describe();

    // A later statement that fails, or runs past the time-out, fails the whole call.
    EXPECT_FALSE(db_.ExecuteSql(Local("SELECT ztmc FROM GL_Ztcs; drop database [不存在的库]")));
    EXPECT_TRUE(HasNative(db_.LastError(), 3701)) << db_.LastError().Describe();
    EXPECT_FALSE(db_.ExecuteSql("SELECT ztmc FROM GL_Ztcs; WAITFOR DELAY '00:00:30'", Timeout::Seconds(1)));
    EXPECT_TRUE(IsState(db_.LastError(), "S1T00", "HYT00")) << db_.LastError().Describe();
}

namespace {
class StackWithLargeSample : public Stack {
protected:
    static StandinProcess::Options Large() {
        StandinProcess::Options o;
        o.scale = 20;
        return o;
    }
    StackWithLargeSample() : Stack(Large()) {}
};
}  // namespace

TEST_F(StackWithLargeSample, ABackupThroughExecuteSqlReturnsWhenTheFileIsComplete) {
    Open();
    const std::filesystem::path file = standin_.DataDir() / std::filesystem::u8path("演示账套4月5日9时7分3秒.bak");
    const std::string statement = std::string("backup database [") + kSampleDatabase + "] to disk='" +
                                  reinterpret_cast<const char*>(file.u8string().c_str()) + " 'with init";
    ASSERT_TRUE(db_.ExecuteSql(Local(statement), Timeout::None())) << db_.LastError().Describe();
    ASSERT_TRUE(std::filesystem::exists(file));

    // The backup is complete, its database whole, the moment the call returns.
    const testsupport::BackupContents contents(file);
    sqlite3* backup = nullptr;
    ASSERT_EQ(sqlite3_open_v2(contents.File().c_str(), &backup, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    const auto single = [&](const char* sql) {
        sqlite3_stmt* st = nullptr;
        std::string out;
        if (sqlite3_prepare_v2(backup, sql, -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW)
            out = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
        sqlite3_finalize(st);
        return out;
    };
    EXPECT_EQ(single("PRAGMA integrity_check"), "ok");
    const RecordSetHandle h = db_.OpenTable("SELECT COUNT(*) FROM GL_PZNR");
    ASSERT_NE(h, 0u) << db_.LastError().Describe();
    EXPECT_EQ(single("SELECT COUNT(*) FROM GL_PZNR"), db_.ReadColByIndex(h, 1).Text());
    sqlite3_close(backup);
}

TEST_F(Stack, AStatementPastItsTimeOutFailsWithTheReasonAndNoneLetsItFinish) {
    Open();
    EXPECT_FALSE(db_.ExecuteSql("WAITFOR DELAY '00:00:30'", Timeout::Seconds(1)));
    EXPECT_TRUE(IsState(db_.LastError(), "S1T00", "HYT00")) << db_.LastError().Describe();
    // The connection goes on.
    EXPECT_TRUE(db_.ExecuteSql("WAITFOR DELAY '00:00:02'", Timeout::None())) << db_.LastError().Describe();
    EXPECT_TRUE(db_.ExecuteSql("WAITFOR DELAY '00:00:00.100'")) << db_.LastError().Describe();
}

TEST_F(Stack, CancelFromAnotherThreadStopsARunningStatement) {
    Open();
    auto running = std::async(std::launch::async, [&] { return db_.ExecuteSql("WAITFOR DELAY '00:02:00'", Timeout::None()); });
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(30);  // hang guard
    while (!ServerReceived("WAITFOR DELAY '00:02:00'") && std::chrono::steady_clock::now() < giveUp)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(ServerReceived("WAITFOR DELAY '00:02:00'"));
    db_.Cancel();
    ASSERT_EQ(running.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    EXPECT_FALSE(running.get());
    EXPECT_TRUE(IsState(db_.LastError(), "S1008", "HY008")) << db_.LastError().Describe();
    EXPECT_TRUE(db_.ExecuteSql("SELECT 1")) << db_.LastError().Describe();
    db_.Cancel();  // nothing running: nothing happens
    EXPECT_TRUE(db_.ExecuteSql("SELECT 1")) << db_.LastError().Describe();
}

// A batch's results reach the caller one by one as the server completes them, a failure among
// them with its reason and the results after it; a cancel breaks the batch off at the server.
TEST_F(Stack, ABatchHandsOverEachResultInOrderAndACancelBreaksItOff) {
    Open();
    std::vector<std::string> seen;
    const auto note = [&](const tarvex::BatchResult& r) {
        seen.push_back(!r.ok ? "error " + std::to_string(r.error.native)
                             : r.rows.empty() ? "count " + std::to_string(r.count) : "row " + r.rows.front().front());
    };
    EXPECT_TRUE(db_.ExecuteBatch("SELECT 1; EXEC (N'SELECT * FROM nowhere'); SELECT 2", Timeout::None(), note));
    EXPECT_EQ(seen, (std::vector<std::string>{"row 1", "error 208", "row 2"}));

    seen.clear();
    std::promise<void> first;
    auto running = std::async(std::launch::async, [&] {
        return db_.ExecuteBatch("SELECT 1; WAITFOR DELAY '00:02:00'; CREATE TABLE made_after (n int)", Timeout::None(),
                                [&](const tarvex::BatchResult& r) {
                                    note(r);
                                    if (seen.size() == 1) first.set_value();
                                });
    });
    ASSERT_EQ(first.get_future().wait_for(std::chrono::seconds(60)), std::future_status::ready);  // hang guard
    db_.Cancel();
    ASSERT_EQ(running.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    EXPECT_FALSE(running.get());
    EXPECT_TRUE(IsState(db_.LastError(), "S1008", "HY008")) << db_.LastError().Describe();
    EXPECT_FALSE(db_.ExecuteSql("SELECT n FROM made_after"));
}

TEST_F(Stack, OperationsFromSeveralThreadsDoNotInterleave) {
    Open();
    MakeNameList();
    const auto walk = [&] {
        for (int i = 0; i < 20; ++i) {
            const RecordSetHandle h = db_.OpenTable(Local("SELECT [名称],[数量] FROM [名单] ORDER BY [编号]"));
            if (h == 0) return false;
            long sum = 0;
            for (; !db_.IsEOF(h); db_.MoveNext(h)) sum += std::get<std::int32_t>(db_.ReadColByIndex(h, 2).Get());
            db_.CloseRecordSet(h);
            if (sum != 60) return false;
        }
        return true;
    };
    auto a = std::async(std::launch::async, walk);
    auto b = std::async(std::launch::async, walk);
    EXPECT_TRUE(walk());
    EXPECT_TRUE(a.get());
    EXPECT_TRUE(b.get());
}

// ---- Chinese names and values -----------------------------------------------------------------------

TEST_F(Stack, ChineseNamesAndValuesTravelIntactThroughTheNarrowCalls) {
    Open();
    // 癩 and 盵 are characters whose GBK trail bytes are ']' and '['.
    Execute({"CREATE TABLE [账套表] ([名称] varchar(40), [癩盵] varchar(10))",
             "INSERT INTO [账套表] VALUES ('演示账套[新科目]', '癩盵''')"});
    EXPECT_TRUE(ServerReceived("CREATE TABLE \"账套表\" (\"名称\" varchar(40), \"癩盵\" varchar(10))"));
    EXPECT_TRUE(ServerReceived("INSERT INTO \"账套表\" VALUES ('演示账套[新科目]', '癩盵''')"));

    const RecordSetHandle h = db_.OpenTable(Local("SELECT [名称],[癩盵] FROM [账套表] WHERE [名称] = '演示账套[新科目]'"));
    ASSERT_NE(h, 0u) << db_.LastError().Describe();
    ASSERT_EQ(db_.RowCount(h), 1);
    EXPECT_EQ(Text(db_.ReadColByIndex(h, 1)), Local("演示账套[新科目]"));
    EXPECT_EQ(Text(db_.ReadColByName(h, Local("癩盵"))), Local("癩盵'"));
}

int main(int argc, char** argv) {
    // The code page of the process comes from the environment (LC_ALL=zh_CN.GBK or zh_CN.UTF-8).
    if (!std::setlocale(LC_ALL, "")) {
        std::fprintf(stderr, "The locale %s is not installed.\n", std::getenv("LC_ALL") ? std::getenv("LC_ALL") : "");
        return 1;
    }
    testsupport::UsePrivateOdbcConfig();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

TEST_F(Stack, CharactersOutsideTheBasicPlaneReachTheServerAndComeBackIntact) {
    if (CodePage::Process().GetKind() != CodePage::Kind::Utf8) GTEST_SKIP() << "GBK holds no such character";
    Open();
    MakeNameList();
    Execute({"INSERT INTO [名单] VALUES (4, '😀账套𠀾', 40)"});
    EXPECT_TRUE(ServerReceived("INSERT INTO \"名单\" VALUES (4, '😀账套𠀾', 40)"));
    const RecordSetHandle h = db_.OpenTable("SELECT [名称] FROM [名单] WHERE [名称] = '😀账套𠀾'");
    ASSERT_NE(h, 0u) << db_.LastError().Describe();
    EXPECT_EQ(db_.RowCount(h), 1);
    EXPECT_EQ(Text(db_.ReadColByIndex(h, 1)), "😀账套𠀾");
}
