#pragma once
// The temporary database on the server, shared by every copy of the program that reaches it:
// whether it is there and which one it is, and the hold a copy takes on it.
//
// The hold is SQL Server's application lock on the database's name, owned by the connection
// (the server's session). The server keeps such locks per database, so the hold lives in
// master, whatever database the log-in named: the lock procedures are called in master by name
// (a database change would last only as long as the call on a real server, whose drivers send
// prepared statements as procedure calls). A connection that ends, the program closed or
// killed, gives it up. Another copy finds it held and leaves the database alone; a hold whose
// state the server cannot tell counts as another's.
//
// Who holds it when: a connection holds it exactly while the temporary database it created is
// on the server, and for the length of an action (an extraction, an export, a batch, a drop of
// a leftover) that works on one. Each action makes one HoldOnTemporaryDatabase, which takes the
// hold at most once and, at the action's end whatever way it ends, settles it from the
// connection's ledger: it stays only while a database this connection filled is on the server.
// A new log-in ends the connection, and the hold with it.

#include <optional>
#include <string>
#include <vector>

#include "conversion_record.h"
#include "database.h"
#include "odbcdb.h"

namespace tarvex {

enum class Hold {
    Held,          // this connection holds it
    InUse,         // another connection holds it
    Unknown,       // the server could not say: treated as held by another
    NoConnection,  // there is no connection to ask
};

// Takes the hold unless this connection has it already. Database work: runs on the database
// thread; the actions take it through HoldOnTemporaryDatabase, which alone calls these two.
Hold TakeHold(ODBCDB& db);
// TakeHold with the driver's reason when the state is unknown (the connection lost, say).
struct HoldTaken {
    Hold hold = Hold::Unknown;
    OdbcError why;
};
HoldTaken TakingHold(ODBCDB& db);
// TakingHold in one exchange, with the statements `alsoRead`: their result sets (those with
// columns) in `read`, or none when one of them failed.
HoldTaken TakingHold(ODBCDB& db, const std::string& alsoRead, std::vector<BatchResult>& read);
// Ends an action that found the hold `held`: gives it up unless a temporary database that this
// connection created is still on the server (`createdHereRemains`: the ledger has it filled).
void SettleHold(ODBCDB& db, Hold held, bool createdHereRemains);

// The hold for the length of one action. Made by the action (the window's extraction or export,
// a batch, a drop of a leftover) and handed to the conversion by reference. It takes the
// database for itself (a Database::Session) as it is made, so that no log-in replaces the
// connection while the action runs; Take() takes the hold on the temporary database's name the
// first time it is called and answers what that found every later time, with no exchange. Its
// end settles the hold in the session, from `ledger`: it gives it up unless a temporary
// database this connection created is still on the server; then the session ends.
class HoldOnTemporaryDatabase {
public:
    // On the window's thread `takeInput` says whether the window takes user input while the
    // action waits for the database.
    HoldOnTemporaryDatabase(Database& database, ConversionLedger& ledger, bool takeInput = true);
    ~HoldOnTemporaryDatabase();
    HoldOnTemporaryDatabase(const HoldOnTemporaryDatabase&) = delete;
    HoldOnTemporaryDatabase& operator=(const HoldOnTemporaryDatabase&) = delete;

    // What taking the hold found; nullopt when the database shut down (the window is closing).
    std::optional<HoldTaken> Take();
    // Take(), which also reads `alsoRead` (TakingHold) when this call is the one that takes it.
    std::optional<HoldTaken> Take(const std::string& alsoRead, std::vector<BatchResult>& read);
    // The action's use of the database; its work runs between the take and the settling.
    Database::Session& Session() { return session_; }
    // What this connection filled, and who it is logged in as.
    ConversionLedger& Ledger() { return ledger_; }

private:
    Database::Session session_;
    ConversionLedger& ledger_;
    std::optional<HoldTaken> taken_;
};

// "临时数据库Tarvex数据整理正被另一个转换程序使用（…）", or for Hold::Unknown that this cannot be
// told and why, for a message that goes on from there.
std::string HeldElsewhereText(const HoldTaken& taken = {Hold::InUse, {}});

// What the server says of the temporary database: whether it is there and, when it is, which
// one it is: its id and creation time, which tell it from a database of the same name created
// after it was dropped.
struct TemporaryDatabase {
    enum class Is { Unknown, Absent, Present };
    Is is = Is::Unknown;
    std::string id, created;  // database_id and create_date, as text, when present

    // Both together: "<database_id> <create_date>"; empty unless present.
    std::string Identity() const { return is == Is::Present ? id + " " + created : std::string(); }
    // From a row of TemporaryDatabaseQuery's two columns.
    static TemporaryDatabase Of(const std::vector<std::string>& row);
};
TemporaryDatabase ReadTemporaryDatabase(ODBCDB& db);

// "SELECT database_id, create_date FROM sys.databases WHERE name = N'Tarvex数据整理'", the
// statement ReadTemporaryDatabase sends, for a batch of statements that reads it too.
std::string TemporaryDatabaseQuery();

}  // namespace tarvex
