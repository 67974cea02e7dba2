#pragma once
// The temporary database on the server, shared by every copy of the program that reaches it:
// whether it exists, and the hold a copy takes on it. The hold is SQL Server's application
// lock on the database's name, owned by the connection (the server's session): a copy takes it
// before it creates the database and keeps it until it has dropped it; a connection that ends,
// the program closed or killed, gives it up. Another copy finds it held and leaves the
// database alone. The server keeps such locks per database: the hold is taken in master, so
// that copies logged in to different restored databases meet there; the connection stays in
// master afterwards (every statement of the program names its database).

#include <optional>
#include <string>

#include "odbcdb.h"

namespace tarvex {

enum class Hold {
    Held,     // this connection holds it
    InUse,    // another connection holds it
    Unknown,  // no connection, or the server could not say
};

// Takes the hold unless this connection has it already. Database work: runs on the database
// thread (Database::Run / Session::Run).
Hold TakeHold(ODBCDB& db);
// Gives up the hold this connection has; nothing when it has none.
void GiveUpHold(ODBCDB& db);
// "临时数据库Tarvex数据整理正被另一个转换程序使用（…）", for a message that goes on from there.
std::string HeldElsewhereText();
// Whether the temporary database exists; nullopt when the server could not say.
std::optional<bool> TemporaryDatabaseExists(ODBCDB& db);

}  // namespace tarvex
