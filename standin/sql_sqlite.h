#pragma once
// SQLite underneath the engine: owned handles, the file that holds a database, and running
// SQL with failures turned into SQL Server errors.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "sql_error.h"

struct sqlite3;
struct sqlite3_context;
struct sqlite3_stmt;

namespace standin {

struct ConnectionCloser {
    void operator()(sqlite3* db) const;
};
using Connection = std::unique_ptr<sqlite3, ConnectionCloser>;

struct StatementFinalizer {
    void operator()(sqlite3_stmt* statement) const;
};
using PreparedStatement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

// Thrown when a session's interrupt stopped the work (SQLite reported SQLITE_INTERRUPT).
struct Interrupted {};

// The file of database `name` in `dataDir`. See the mapping in sql_sqlite.cpp.
std::filesystem::path DatabaseFile(const std::filesystem::path& dataDir, std::string_view name);

// Opens a database file read-write (creating it when `create`) with synchronous=NORMAL and
// the text semantics of the translator registered. Throws SqlError.
Connection OpenDatabase(const std::filesystem::path& file, bool create);

PreparedStatement Prepare(sqlite3* db, std::string_view sql);
// Steps once: true for a row, false when done. Throws SqlError or Interrupted.
bool Step(sqlite3* db, sqlite3_stmt* statement);
void Exec(sqlite3* db, const std::string& sql);

// SQLite's failure `rc` on `db` as a SQL Server error; throws Interrupted for SQLITE_INTERRUPT.
[[noreturn]] void ThrowSqlite(sqlite3* db, int rc);

// Makes a call of a function that the engine registered fail with `error`: the statement
// stops, and ThrowSqlite throws that error.
void FailFunction(sqlite3_context* context, const SqlError& error);

// A write transaction that rolls back unless committed.
class Transaction {
public:
    explicit Transaction(sqlite3* db);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void Commit();

private:
    sqlite3* db_;
    bool done_ = false;
};

}  // namespace standin
