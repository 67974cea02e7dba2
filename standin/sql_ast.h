#pragma once
// The statements of the T-SQL subset that the stand-in runs, as the parser produces them.

#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace standin {

// A one-, two- or three-part name: [database.][schema.]object.
struct ObjectName {
    std::string database;  // empty: the session's current database
    std::string schema;    // empty or dbo
    std::string object;
    std::string written;  // the parts joined by dots, as SQL Server quotes the name in messages
};

struct Expr {
    enum class Kind {
        Column,  // text: the column name; qualifier: the table part, if written
        String,  // text: the value; national: written N'...'
        Number,  // text: as written
        Null,
        Negate,      // args[0]
        Arithmetic,  // text: + - * / %; args[0], args[1]
        Compare,     // text: = <> != < > <= >= !< !>; args[0], args[1]
        Like,        // args[0] LIKE args[1]; negated: NOT LIKE
        IsNull,      // args[0] IS NULL; negated: IS NOT NULL
        Not,         // args[0]
        And,         // args[0], args[1]
        Or,          // args[0], args[1]
        Call,        // text: the function name as written; args; star: f(*)
        Cast,        // CAST(args[0] AS text), text the type as a column declares it
    };
    Kind kind = Kind::Null;
    std::string text;
    std::string qualifier;
    bool national = false;
    bool negated = false;
    bool star = false;
    std::vector<std::unique_ptr<Expr>> args;
    int height = 1;  // of the tree below and including this node

    // Whether this is a search condition (true or false) rather than a value.
    bool IsCondition() const {
        return kind == Kind::Compare || kind == Kind::Like || kind == Kind::IsNull || kind == Kind::Not ||
               kind == Kind::And || kind == Kind::Or;
    }
};
using ExprPtr = std::unique_ptr<Expr>;

struct SelectItem {
    bool star = false;  // *
    ExprPtr expr;
    std::optional<std::string> alias;  // AS alias, alias = expr, or expr alias
};

struct OrderItem {
    ExprPtr expr;
    bool descending = false;
};

struct SelectStatement {
    std::vector<SelectItem> items;
    std::optional<ObjectName> into;
    std::optional<ObjectName> from;
    std::string fromAlias;
    ExprPtr where;
    std::vector<OrderItem> orderBy;
};

struct ColumnDefinition {
    std::string name;
    std::string type;  // as written, folded to lower case: "varchar(20)", "decimal(18,2)"
    bool notNull = false;
};

struct CreateTableStatement {
    ObjectName table;
    std::vector<ColumnDefinition> columns;
};

struct InsertStatement {
    ObjectName table;
    std::vector<std::string> columns;  // empty: all, in table order
    std::vector<std::vector<ExprPtr>> rows;
};

struct UpdateStatement {
    ObjectName table;
    std::vector<std::pair<std::string, ExprPtr>> assignments;
    ExprPtr where;
};

struct DeleteStatement {
    ObjectName table;
    ExprPtr where;
};

struct DropTableStatement {
    ObjectName table;
};

struct CreateDatabaseStatement {
    std::string name;
};

struct DropDatabaseStatement {
    std::string name;
};

// BACKUP DATABASE name TO DISK = '...' [WITH INIT | NOINIT, DIFFERENTIAL]
struct BackupStatement {
    std::string database;
    std::string path;  // as written between the apostrophes
    bool init = false;          // INIT: the file is overwritten; NOINIT (the default): the set is appended
    bool differential = false;  // DIFFERENTIAL
};

// RESTORE VERIFYONLY FROM DISK = '...': checks a backup file without restoring it.
struct VerifyBackupStatement {
    std::string path;  // as written between the apostrophes
};

// RESTORE HEADERONLY or FILELISTONLY FROM DISK = '...' [WITH FILE = n, NOUNLOAD, ...]: describes
// a backup set without restoring it.
struct DescribeBackupStatement {
    enum class Kind { Header, FileList };
    Kind kind = Kind::Header;
    std::string path;  // as written between the apostrophes
    int file = 0;      // FILE = n: the backup set's position on the device; 0: not given
};

// MOVE 'logical_file_name' TO 'operating_system_file_name'
struct RestoreMove {
    std::string logicalName;
    std::string physicalName;
};

// RESTORE DATABASE name FROM DISK = '...' [WITH MOVE ... TO ..., STATS [= n], REPLACE,
// RECOVERY | NORECOVERY, NOUNLOAD, FILE = n]
struct RestoreDatabaseStatement {
    std::string database;
    std::string path;  // as written between the apostrophes
    std::vector<RestoreMove> moves;
    int stats = 0;  // the percentage between progress messages; 0: none
    bool replace = false;
    int file = 1;
    bool recovery = true;  // RECOVERY (the default); NORECOVERY leaves the database RESTORING
};

struct UseStatement {
    std::string database;
};

// SET NOCOUNT ON|OFF changes whether the session's statements report their row counts; other
// options are accepted without effect.
struct SetStatement {
    std::optional<bool> nocount;  // NOCOUNT ON (true) or OFF (false); empty for another option
};

struct WaitforStatement {
    std::string delay;  // 'hh:mm[:ss[.mmm]]' as written
};

// One argument of EXEC: a constant (a string, also one written without quotes, a number, a
// negative number or NULL) or DEFAULT.
struct ExecArgument {
    std::string name;  // "@Resource" as written; empty when given by position
    ExprPtr value;     // null for DEFAULT
};

// EXEC[UTE] procedure [argument, ...]: a system procedure called with constants; or
// EXEC[UTE] ('statements'): a string of statements run as a batch of its own (`text`).
struct ExecStatement {
    ObjectName procedure;
    std::vector<ExecArgument> arguments;
    std::optional<std::string> text;
};

struct Statement {
    int line = 1;  // where it starts in the batch
    std::variant<SelectStatement, CreateTableStatement, InsertStatement, UpdateStatement, DeleteStatement,
                 DropTableStatement, CreateDatabaseStatement, DropDatabaseStatement, BackupStatement,
                 VerifyBackupStatement, DescribeBackupStatement, RestoreDatabaseStatement, UseStatement, SetStatement, WaitforStatement, ExecStatement>
        body;
};

}  // namespace standin
