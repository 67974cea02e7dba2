// Sessions: interrupting WAITFOR, a long select-into and a wait for a lock; several sessions
// working at once; application locks between sessions. Waits here are hang guards only.

#include <atomic>
#include <functional>
#include <chrono>
#include <future>
#include <thread>
#include <tuple>

#include "standin_engine_support.h"

namespace enginetest {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr auto kHangGuard = 120s;

// Records like RecordingSink and calls back when a statement is done.
class SignallingSink : public RecordingSink {
public:
    std::function<void()> onDone;
    void OnStatementDone(bool failed, std::int64_t rowCount) override {
        RecordingSink::OnStatementDone(failed, rowCount);
        if (onDone) onDone();
    }
};

// Runs SQL through a plain sqlite3 connection on a database file.
void PlainExec(const fs::path& file, const std::string& sql) {
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &raw), SQLITE_OK);
    std::unique_ptr<sqlite3, decltype(&sqlite3_close)> db(raw, &sqlite3_close);
    sqlite3_busy_timeout(db.get(), 60000);
    char* error = nullptr;
    EXPECT_EQ(sqlite3_exec(db.get(), sql.c_str(), nullptr, nullptr, &error), SQLITE_OK) << (error ? error : "");
    sqlite3_free(error);
}

class SessionTest : public SampleTest {};

TEST_F(SessionTest, InterruptStopsWaitfor) {
    SignallingSink sink;
    std::promise<void> firstDone;
    sink.onDone = [&] {
        if (sink.statements.size() == 1) firstDone.set_value();
    };
    auto running =
        std::async(std::launch::async, [&] { return S().Execute("SELECT 1 WAITFOR DELAY '00:10:00' SELECT 2", sink); });
    ASSERT_EQ(firstDone.get_future().wait_for(kHangGuard), std::future_status::ready);
    S().Interrupt();
    ASSERT_EQ(running.wait_for(kHangGuard), std::future_status::ready);
    EXPECT_FALSE(running.get());
    ASSERT_EQ(sink.statements.size(), 1u);
    EXPECT_EQ(sink.statements[0].rows, (Rows{{"1"}}));
    // The interrupt is used up: the session goes on normally.
    EXPECT_EQ(Query(S(), "SELECT 3"), (Rows{{"3"}}));
}

TEST_F(SessionTest, AnInterruptBetweenBatchesStopsTheNextStatement) {
    S().Interrupt();
    const BatchResult stopped = RunBatch(S(), "create database Tarvex数据整理");
    EXPECT_FALSE(stopped.completed);
    EXPECT_TRUE(stopped.statements.empty());
    EXPECT_FALSE(engine_->DatabaseExists(kTemp));
    // An empty batch takes a pending interrupt without stopping anything.
    S().Interrupt();
    EXPECT_FALSE(RunBatch(S(), "").completed);
    EXPECT_TRUE(RunBatch(S(), "create database Tarvex数据整理").completed);
    EXPECT_TRUE(engine_->DatabaseExists(kTemp));
}

TEST_F(SessionTest, WaitforDelays) {
    EXPECT_FALSE(Ok(S(), "WAITFOR DELAY '00:00:00.050'").failed);
    EXPECT_FALSE(Ok(S(), "waitfor delay '0:00'").failed);
    for (const char* bad : {"abc", "00:61:00", "00:00:00.1234", "", "12"}) {
        const Message m = Error(S(), std::string("WAITFOR DELAY '") + bad + "'");
        EXPECT_EQ(m.number, 148) << bad;
        EXPECT_EQ(m.text, std::string("Incorrect time syntax in time string '") + bad + "' used with WAITFOR.");
    }
}

TEST_F(SessionTest, AnInterruptedSelectIntoLeavesNoTable) {
    // A source big enough that the copy is still running when the target has spilled pages.
    Ok(S(), "create database big");
    Ok(S(), "CREATE TABLE big..numbers (id int, v varchar(20))");
    PlainExec(dir_.Path() / "big.sqlite",
              "WITH RECURSIVE c(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM c WHERE i < 2000000) "
              "INSERT INTO numbers SELECT i, printf('%08d-abcdefgh', i) FROM c");
    Ok(S(), "create database Tarvex数据整理");
    const fs::path wal = dir_.Path() / "tarvex数据整理.sqlite-wal";

    SignallingSink sink;
    auto running = std::async(std::launch::async, [&] {
        return S().Execute(
            R"(SELECT "id","v","x"='' into "Tarvex数据整理"."dbo"."copy" FROM "big"."dbo"."numbers" where v like '%-abc%')",
            sink);
    });
    const auto deadline = std::chrono::steady_clock::now() + kHangGuard;
    std::error_code ec;
    while (running.wait_for(10ms) != std::future_status::ready && std::chrono::steady_clock::now() < deadline) {
        if (fs::file_size(wal, ec) > 4'000'000 && !ec) break;
    }
    S().Interrupt();
    ASSERT_EQ(running.wait_for(kHangGuard), std::future_status::ready);
    ASSERT_FALSE(running.get()) << "the copy ended before it could be interrupted";
    EXPECT_TRUE(sink.statements.empty());
    EXPECT_EQ(Error(S(), "SELECT COUNT(*) FROM Tarvex数据整理..copy").number, 208);
    // Nothing holds the databases any more.
    Ok(S(), "drop database Tarvex数据整理");
    Ok(S(), "drop database big");
}

TEST_F(SessionTest, InterruptStopsAWaitForALock) {
    Ok(S(), "create database Tarvex数据整理");
    const fs::path file = dir_.Path() / "tarvex数据整理.sqlite";
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &raw), SQLITE_OK);
    std::unique_ptr<sqlite3, decltype(&sqlite3_close)> holder(raw, &sqlite3_close);
    ASSERT_EQ(sqlite3_exec(holder.get(), "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);

    const char* copy = R"(SELECT "BZ1" into "Tarvex数据整理"."dbo"."GL_BZ" FROM GL_BZ)";
    SignallingSink sink;
    auto running = std::async(std::launch::async, [&] { return S().Execute(copy, sink); });
    EXPECT_EQ(running.wait_for(200ms), std::future_status::timeout) << "did not wait for the lock";
    S().Interrupt();
    ASSERT_EQ(running.wait_for(kHangGuard), std::future_status::ready);
    EXPECT_FALSE(running.get());
    sqlite3_exec(holder.get(), "ROLLBACK", nullptr, nullptr, nullptr);
    holder.reset();
    EXPECT_EQ(Ok(S(), copy).rowCount, 12);
}

TEST_F(SessionTest, SeveralSessionsAtOnce) {
    Ok(S(), "create database Tarvex数据整理");
    constexpr int kSessions = 4;
    std::vector<std::unique_ptr<standin::Session>> sessions;
    for (int k = 0; k < kSessions; ++k) sessions.push_back(Open(*engine_, k % 2 ? kSource : "master"));
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int k = 0; k < kSessions; ++k) {
        threads.emplace_back([&, k] {
            standin::Session& s = *sessions[k];
            const std::string table = "GL_PZNR_" + std::to_string(k);
            for (int round = 0; round < 3; ++round) {
                RecordingSink sink;
                const std::string sql =
                    R"(SELECT "gsdm","ZTH","kjqj","pzh","flh","je","jdbz" into "Tarvex数据整理"."dbo"."T)" + table +
                    "_" + std::to_string(round) + R"(" FROM "2016年乡镇数据采集"."dbo"."GL_PZNR" where gsdm='00)" +
                    std::to_string(k % 3 + 1) + "' SELECT COUNT(*) FROM [2016年乡镇数据采集].[dbo].[GL_PZML]";
                if (!s.Execute(sql, sink) || sink.statements.size() != 2 || sink.statements[0].failed ||
                    sink.statements[0].rowCount <= 0 || sink.statements[1].rows != Rows{{"864"}}) {
                    ++failures;
                }
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(failures, 0);
    for (int k = 0; k < kSessions; ++k) {
        EXPECT_EQ(Query(S(), "SELECT COUNT(*) FROM Tarvex数据整理..TGL_PZNR_" + std::to_string(k) + "_2"),
                  Query(S(), "SELECT COUNT(*) FROM GL_PZNR WHERE gsdm = '00" + std::to_string(k % 3 + 1) + "'"));
    }
}

// Application locks of two sessions: modes that go together, the union a session holds after
// asking twice (kept until its last release), locks per database, and the procedures' return
// statuses and refusals. Expected: the query's one value, or the errors and the return status.
TEST(AppLockTest, ModesStatusesAndRefusals) {
    TempDir dir;
    standin::Engine engine(dir.Path());
    std::unique_ptr<standin::Session> sessions[2] = {Open(engine, "master"), Open(engine, "master")};
    const auto get = [](const std::string& mode) { return "EXEC sp_getapplock N'r', '" + mode + "', 'Session', 0"; };
    const std::string release = "EXEC sp_releaseapplock @Resource = N'r', @LockOwner = 'Session'";
    const std::string mode = "SELECT APPLOCK_MODE('public', N'r', 'Session')";
    const std::vector<std::tuple<int, std::string, std::string>> steps = {
        {0, get("Shared"), "0"},         {1, get("Shared"), "0"},         {1, get("Update"), "0"},
        {0, get("Update"), "-1"},        {0, mode, "Shared"},             {1, mode, "Update"},
        {0, release, "0"},               {1, get("Exclusive"), "0"},      {1, release, "0"},
        {1, mode, "Exclusive"},          {0, get("IntentShared"), "-1"},  {1, release, "0"},
        {1, release, "0"},               {0, get("IntentShared"), "0"},   {0, get("IntentExclusive"), "0"},
        {0, mode, "IntentExclusive"},    {1, get("Shared"), "-1"},        {1, "CREATE DATABASE other", ""},
        {1, "USE other", "5701"},        {1, get("Exclusive"), "0"},      {1, get("Exclusive"), "0"},
        {1, "EXEC sp_getapplock @Resource = 'r', @LockMode = Exclusive", "50000 -999"},
        {1, get("Bogus"), "50000 -999"},
        {1, "EXEC sp_releaseapplock 'x', 'Session'", "1223 -999"},
        {1, "EXEC sp_getapplock @LockMode = 'Shared'", "201"},
        {1, "EXEC sp_getapplock @Resource = 'r', @Mode = 'Shared'", "8145"},
        {1, "EXEC sp_getapplock @Resource = 'r', 'Shared'", "119"},
        {1, "EXECUTE dbo.sp_who", "2812"},
    };
    for (const auto& [session, sql, expected] : steps) {
        const Outcome o = One(*sessions[session], sql);
        std::string got;
        for (const Message& m : o.messages) got += (got.empty() ? "" : " ") + std::to_string(m.number);
        if (o.returnStatus) got += (got.empty() ? "" : " ") + std::to_string(*o.returnStatus);
        if (o.columns) got = o.rows.size() == 1 ? o.rows[0].at(0) : "rows";
        EXPECT_EQ(got, expected) << "session " << session << ": " << sql;
    }
}

// System procedures called with a database's name run in that database, so that sessions in
// different databases meet on a lock in master; sp_executesql runs its string as a batch of its
// own whose USE ends with the call. Pages: sp_getapplock ("created in the current database for
// the session"), "Execute a stored procedure" (system procedures are in the sys schema of every
// database, also called as db..sp_x), sp_executesql ("Changes in database context last only to
// the end of the sp_executesql statement"; @stmt must be a Unicode constant, 214 otherwise).
// Expected: each statement's rows, error numbers and return status, in order.
TEST(ProcedureTest, SystemProceduresRunInTheDatabaseTheirNameGives) {
    TempDir dir;
    standin::Engine engine(dir.Path());
    std::unique_ptr<standin::Session> master = Open(engine, "master");
    Ok(*master, "CREATE DATABASE other");
    std::unique_ptr<standin::Session> other = Open(engine, "other");
    const std::string lock = "@Resource = N'锁', @LockMode = 'Exclusive', @LockOwner = 'Session', @LockTimeout = 0";
    const std::vector<std::tuple<standin::Session*, std::string, std::string>> steps = {
        {other.get(), "EXEC master.sys.sp_getapplock " + lock, "0"},
        {master.get(), "EXEC sp_getapplock " + lock, "-1"},
        {other.get(), "SELECT APPLOCK_MODE('public', N'锁', 'Session')", "NoLock"},
        {other.get(), "EXEC master.sys.sp_executesql N'SELECT APPLOCK_MODE(''public'', N''锁'', ''Session'')'",
         "Exclusive 0"},
        {other.get(), "EXEC [master]..sp_executesql N'SELECT DB_ID()' SELECT DB_ID()", "1 0 5"},
        {other.get(), "EXEC sp_executesql N'USE master SELECT DB_ID()' SELECT DB_ID()", "5701 1 0 5"},
        {other.get(), "EXEC sp_executesql @stmt = N'EXEC sp_executesql N''SELECT 2'''", "2 0 0"},
        {other.get(), "EXEC dbo.sp_releaseapplock N'锁', 'Session'", "1223 -999"},
        {other.get(), "EXEC master.dbo.sp_releaseapplock N'锁', 'Session'", "0"},
        {other.get(), "EXEC sp_executesql N'SELECT * FROM nowhere'", "208 208"},
        {other.get(), "EXEC sp_executesql 'SELECT 1'", "214"},
        {other.get(), "EXEC sp_executesql N'SELECT 1', N'@p int', 1", "8144"},
        {other.get(), "EXEC nowhere..sp_executesql N'SELECT 1'", "911"},
        {other.get(), "EXEC master.guest.sp_executesql N'SELECT 1'", "2812"},
    };
    for (const auto& [session, sql, expected] : steps) {
        const BatchResult r = RunBatch(*session, sql);
        std::string got;
        const auto add = [&](const std::string& item) { got += (got.empty() ? "" : " ") + item; };
        for (const Outcome& o : r.statements) {
            for (const auto& row : o.rows) add(row.at(0));
            for (const Message& m : o.messages) add(std::to_string(m.number));
            if (o.returnStatus) add(std::to_string(*o.returnStatus));
        }
        EXPECT_EQ(got, expected) << session->CurrentDatabase() << ": " << sql;
        EXPECT_EQ(session->CurrentDatabase(), session == master.get() ? "master" : "other") << sql;
    }
}

// Which errors end the batch and which only their statement ("Batches", "Deferred Name
// Resolution and Compilation", "TRY...CATCH (Transact-SQL)", "EXECUTE (Transact-SQL)"): a name
// that does not resolve when its statement runs (208, 207) ends the rest of the batch, but
// inside EXEC ('…') or sp_executesql only that inner scope; an object already there (2714) ends
// only its statement. "@@ROWCOUNT (Transact-SQL)": EXECUTE keeps the count of the last
// statement it ran, NOCOUNT or not. Expected: rows and error numbers, in order.
TEST(ProcedureTest, ANameThatDoesNotResolveEndsItsBatchOrOnlyTheScopeOfItsExec) {
    TempDir dir;
    standin::Engine engine(dir.Path());
    std::unique_ptr<standin::Session> session = Open(engine, "master");
    const std::vector<std::pair<std::string, std::string>> steps = {
        {"SELECT 1 SELECT * FROM nowhere SELECT 2", "1 208"},
        {"CREATE TABLE t (a int) SELECT nothing FROM t SELECT 2", "207"},
        {"SELECT 1 EXEC (N'SELECT * FROM nowhere SELECT 3') SELECT 2", "1 208 2"},
        {"EXECUTE ('SELECT 4' + ' SELECT 5') SELECT 2", "4 5 2"},
        {"EXEC sp_executesql N'SELECT * FROM nowhere SELECT 3' SELECT 2", "208 208 2"},
        {"CREATE TABLE t (a int) SELECT 2", "2714 2"},
        {"EXEC (N'CREATE TABLE t (a int)') SELECT 2", "2714 2"},
        {"INSERT INTO t VALUES (1), (2) SELECT @@ROWCOUNT", "2"},
        {"SET NOCOUNT ON EXEC (N'SELECT * INTO r FROM t') SELECT @@ROWCOUNT", "2"},
        {"EXEC (N'INSERT INTO t VALUES (1), (2), (3)') SELECT @@ROWCOUNT", "3"},
    };
    for (const auto& [sql, expected] : steps) {
        const BatchResult r = RunBatch(*session, sql);
        std::string got;
        const auto add = [&](const std::string& item) { got += (got.empty() ? "" : " ") + item; };
        for (const Outcome& o : r.statements) {
            for (const auto& row : o.rows) add(row.at(0));
            for (const Message& m : o.messages) add(std::to_string(m.number));
            if (o.returnStatus) add(std::to_string(*o.returnStatus));
        }
        EXPECT_EQ(got, expected) << sql;
    }
}

}  // namespace
}  // namespace enginetest
