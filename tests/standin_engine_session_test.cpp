// Sessions: interrupting WAITFOR, a long select-into and a wait for a lock; several sessions
// working at once. Waits here are hang guards only.

#include <atomic>
#include <functional>
#include <chrono>
#include <future>
#include <thread>

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

}  // namespace
}  // namespace enginetest
