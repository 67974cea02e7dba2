#pragma once
// Turns parsed T-SQL into SQLite SQL with SQL Server's semantics: names resolved
// case-insensitively against the table's real columns, = and < on texts through the collation
// mssql_ci (case-insensitive, trailing blanks ignored), LIKE through the function mssql_like,
// left() as substr(). The collation and the function exist only on the engine's connections
// (RegisterTextSemantics); stored schemas never name them, so every database file stays
// readable by a plain sqlite3. APPLOCK_MODE, APPLOCK_TEST and DB_ID become calls of the
// functions that a session registers on its own connection (mssql_applock_mode, ...).

#include <string>
#include <string_view>
#include <vector>

#include "engine.h"
#include "sql_ast.h"

struct sqlite3;

namespace standin {

struct TableColumn {
    std::string name;      // as stored
    std::string declared;  // declared type text, e.g. "varchar(20)"
    ColumnInfo info;       // derived from `declared`; info.name == name
};

// A table as one statement sees it: the SQLite schema it is reached through ("main" or an
// attached database) and its stored name and columns.
struct Table {
    std::string schema;
    std::string name;
    std::vector<TableColumn> columns;
};

// "name" and 'text' for SQLite, with the quote doubled inside.
std::string QuoteName(std::string_view name);
std::string QuoteText(std::string_view text);

struct SelectPlan {
    std::string sql;                    // the SELECT in SQLite syntax, without INTO
    std::vector<ColumnInfo> columns;    // as results describe them; unnamed expressions have ""
    std::vector<std::string> declared;  // the type text of each column for a SELECT INTO
};

// `from` is null for a SELECT without FROM. Throws SqlError (207, 208-like binding errors,
// 195 unknown function, 8120 column outside an aggregate, ...).
SelectPlan TranslateSelect(const SelectStatement& select, const Table* from);

// A search condition over the columns of `table`.
std::string TranslateCondition(const Expr& condition, const Table& table);

// A value: of an INSERT (table null: no column may appear) or of an UPDATE's SET.
std::string TranslateValue(const Expr& value, const Table* table);

// Registers the collation mssql_ci and the function mssql_like(value, pattern, unicode).
void RegisterTextSemantics(sqlite3* db);

}  // namespace standin
