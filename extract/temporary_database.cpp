#include "temporary_database.h"

#include <string>

#include "catalogue.h"
#include "codepage.h"

namespace tarvex {
namespace {

std::string Resource() { return "N'" + ProgramText(kTemporaryDatabase) + "'"; }

// The one value of a one-row query as text; nullopt when it failed.
std::optional<std::string> ValueOf(ODBCDB& db, const std::string& statement) {
    const RecordSetHandle h = db.OpenTable(statement);
    if (h == 0) return std::nullopt;
    std::optional<std::string> value;
    if (!db.IsEOF(h)) value = db.ReadColByIndex(h, 1).Text();
    db.CloseRecordSet(h);
    return value;
}

// The hold lives in master, whichever database the log-in named.
bool InMaster(ODBCDB& db) { return db.ExecuteSql("USE master"); }

bool Holding(ODBCDB& db) {
    return ValueOf(db, "SELECT APPLOCK_MODE('public', " + Resource() + ", 'Session')") == "Exclusive";
}

}  // namespace

Hold TakeHold(ODBCDB& db) {
    if (!db.IsOpen() || !InMaster(db)) return Hold::Unknown;
    if (Holding(db)) return Hold::Held;
    // Not granted while another session holds it; the mode afterwards says which it was.
    db.ExecuteSql("EXEC sp_getapplock @Resource = " + Resource() +
                  ", @LockMode = 'Exclusive', @LockOwner = 'Session', @LockTimeout = 0");
    if (Holding(db)) return Hold::Held;
    const std::optional<std::string> free =
        ValueOf(db, "SELECT APPLOCK_TEST('public', " + Resource() + ", 'Exclusive', 'Session')");
    return free == "0" ? Hold::InUse : Hold::Unknown;
}

void GiveUpHold(ODBCDB& db) {
    if (db.IsOpen() && InMaster(db) && Holding(db))
        db.ExecuteSql("EXEC sp_releaseapplock @Resource = " + Resource() + ", @LockOwner = 'Session'");
}

std::string HeldElsewhereText() {
    return ProgramText("临时数据库") + ProgramText(kTemporaryDatabase) +
           ProgramText("正被另一个转换程序使用（在这台或另一台电脑上，它正在整理或等待导出）");
}

std::optional<bool> TemporaryDatabaseExists(ODBCDB& db) {
    if (!db.IsOpen()) return std::nullopt;
    const RecordSetHandle h = db.OpenTable("SELECT DB_ID(" + Resource() + ")");
    if (h == 0) return std::nullopt;
    std::optional<bool> exists;
    if (!db.IsEOF(h)) {
        // NULL, no such database, reads as 0 (no database has the id 0).
        const std::string id = db.ReadColByIndex(h, 1).Text();
        exists = !id.empty() && id != "0";
    }
    db.CloseRecordSet(h);
    return exists;
}

}  // namespace tarvex
