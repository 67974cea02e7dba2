#include "temporary_database.h"

#include <optional>
#include <string>
#include <vector>

#include "catalogue.h"
#include "codepage.h"
#include "failure_reason.h"

namespace tarvex {
namespace {

std::string Name() { return ProgramText(kTemporaryDatabase); }

// The lock's resource as a literal, and as a literal inside a literal (apostrophes doubled).
std::string Resource() { return "N'" + Name() + "'"; }
std::string InnerResource() { return "N''" + Name() + "''"; }

// The mode this session holds the lock in, and whether it could take it now, read in master.
std::string ReadingState() {
    return "EXEC master.sys.sp_executesql N'SELECT APPLOCK_MODE(''public'', " + InnerResource() +
           ", ''Session''), APPLOCK_TEST(''public'', " + InnerResource() + ", ''Exclusive'', ''Session'')'";
}

// What the state's one row says; Unknown when there is none.
Hold Judge(const std::optional<std::vector<std::vector<std::string>>>& rows) {
    if (!rows || rows->size() != 1 || rows->front().size() != 2) return Hold::Unknown;
    const std::string& mode = rows->front()[0];
    const std::string& grantable = rows->front()[1];
    if (mode == "Exclusive") return Hold::Held;
    // Nobody else holds it: taking it did not work for a reason the server did not tell.
    if (mode == "NoLock" && grantable == "0") return Hold::InUse;
    return Hold::Unknown;
}

void GiveUpHold(ODBCDB& db) {
    // Taken once (TakeHold asks first), so one release gives it up.
    db.ExecuteSql("EXEC master.sys.sp_releaseapplock @Resource = " + Resource() + ", @LockOwner = 'Session'",
                  Timeout::Default(), Execution::Direct);
}

// Every conversion takes the hold before its copies, so the hold's first exchange also asks for
// the row counts that the copies report: a server whose `user options` set NOCOUNT for every
// session reports none otherwise. A language batch's SET lasts for the session.
constexpr std::string_view kCountRows = "SET NOCOUNT OFF; ";

}  // namespace

Hold TakeHold(ODBCDB& db) {
    if (!db.IsOpen()) return Hold::NoConnection;
    const std::optional<std::vector<std::vector<std::string>>> before =
        db.ReadAllText(std::string(kCountRows) + ReadingState());
    if (!before) return Hold::Unknown;
    if (before->size() == 1 && before->front().size() == 2 && before->front()[0] == "NoLock" &&
        before->front()[1] == "1") {
        // Free: take it (not granted while another session holds it), then read what came of it.
        return Judge(db.ReadAllText("EXEC master.sys.sp_getapplock @Resource = " + Resource() +
                                    ", @LockMode = 'Exclusive', @LockOwner = 'Session', @LockTimeout = 0; " +
                                    ReadingState()));
    }
    return Judge(before);
}

HoldTaken TakingHold(ODBCDB& db, const std::string& alsoRead, std::vector<BatchResult>& read) {
    read.clear();
    HoldTaken taken;
    if (!db.IsOpen()) {
        taken.hold = Hold::NoConnection;
        return taken;
    }
    // The state before, the take (not granted while another session holds it), the state after
    // and the caller's reads, in one exchange; the result sets come in that order.
    std::vector<std::vector<std::vector<std::string>>> states;
    bool whole = true;
    const bool ran = db.ExecuteBatch(std::string(kCountRows) + ReadingState() +
                                         "; EXEC master.sys.sp_getapplock @Resource = " + Resource() +
                                         ", @LockMode = 'Exclusive', @LockOwner = 'Session', @LockTimeout = 0; " +
                                         ReadingState() + "; " + alsoRead,
                                     Timeout::Default(), [&](const BatchResult& r) {
                                         if (!r.ok) whole = false;
                                         else if (r.columns == 0) return;
                                         else if (states.size() < 2) states.push_back(r.rows);
                                         else read.push_back(r);
                                     });
    const std::optional<std::vector<std::vector<std::string>>> after =
        states.size() == 2 ? std::optional(states[1]) : std::nullopt;
    taken.hold = Judge(after);
    // Held here already: the take counted a second time, which one release gives back, so
    // that the settling's one release still gives the hold up.
    if (taken.hold == Hold::Held && Judge(states.empty() ? std::nullopt : std::optional(states[0])) == Hold::Held)
        GiveUpHold(db);
    if (taken.hold == Hold::Unknown) taken.why = db.LastError();
    if (!ran || !whole) read.clear();
    return taken;
}

HoldTaken TakingHold(ODBCDB& db) {
    HoldTaken taken;
    taken.hold = TakeHold(db);
    if (taken.hold == Hold::Unknown) taken.why = db.LastError();
    return taken;
}

void SettleHold(ODBCDB& db, Hold held, bool createdHereRemains) {
    if ((held == Hold::Held || held == Hold::Unknown) && db.IsOpen() && !createdHereRemains) GiveUpHold(db);
}

HoldOnTemporaryDatabase::HoldOnTemporaryDatabase(Database& database, ConversionLedger& ledger, bool takeInput)
    : session_(database.Begin(takeInput)), ledger_(ledger) {}

HoldOnTemporaryDatabase::~HoldOnTemporaryDatabase() {
    if (taken_) session_.Run([held = taken_->hold, remains = ledger_.Filled().has_value()](ODBCDB& db) {
        SettleHold(db, held, remains);
        return true;
    });
}

std::optional<HoldTaken> HoldOnTemporaryDatabase::Take() {
    if (!taken_) taken_ = session_.Run([](ODBCDB& db) { return TakingHold(db); });
    return taken_;
}

std::optional<HoldTaken> HoldOnTemporaryDatabase::Take(const std::string& alsoRead, std::vector<BatchResult>& read) {
    read.clear();
    if (!taken_) taken_ = session_.Run([&](ODBCDB& db) { return TakingHold(db, alsoRead, read); });
    return taken_;
}

std::string HeldElsewhereText(const HoldTaken& taken) {
    if (taken.hold == Hold::Unknown)
        return ProgramText("无法确认临时数据库") + Name() + ProgramText("是否正被另一个转换程序使用（") +
               ProgramText(ConnectionLost(taken.why) ? "与服务器的连接已断开" : "服务器没有回答") +
               ProgramText("），为免数据混在一起");
    return ProgramText("临时数据库") + Name() +
           ProgramText("正被另一个转换程序使用（在这台或另一台电脑上，它正在整理或等待导出）");
}

std::string TemporaryDatabaseQuery() {
    return "SELECT database_id, create_date FROM sys.databases WHERE name = " + Resource();
}

TemporaryDatabase TemporaryDatabase::Of(const std::vector<std::string>& row) {
    TemporaryDatabase t;
    if (row.size() != 2) return t;
    t.is = Is::Present;
    t.id = row[0];
    t.created = row[1];
    return t;
}

TemporaryDatabase ReadTemporaryDatabase(ODBCDB& db) {
    if (!db.IsOpen()) return {};
    const std::optional<std::vector<std::vector<std::string>>> rows = db.ReadAllText(TemporaryDatabaseQuery());
    if (!rows) return {};
    if (rows->empty()) return {TemporaryDatabase::Is::Absent, {}, {}};
    return TemporaryDatabase::Of(rows->front());
}

}  // namespace tarvex
