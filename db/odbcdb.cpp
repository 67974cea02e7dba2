#include "odbcdb.h"

#include "odbc_api.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "connection_string.h"

namespace tarvex {
namespace {

constexpr std::size_t kBoundTextBytes = 512;  // buffer of each bound column
constexpr std::size_t kNameBytes = 256;       // buffer of a column name
constexpr int kMaxDiagnostics = 64;           // records read after one failed call

// A driver answer that counts as success.
bool Succeeded(SQLRETURN rc) { return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO || rc == SQL_NO_DATA; }

// Repeats a call at once for as long as the driver answers SQL_STILL_EXECUTING.
template <class Call>
SQLRETURN UntilDone(Call call) {
    SQLRETURN rc;
    do rc = call();
    while (rc == SQL_STILL_EXECUTING);
    return rc;
}

// The statement goes to the driver in UTF-16: through the narrow entry point FreeTDS converts
// from the process's code page itself, and one character outside the Basic Multilingual Plane
// (an emoji, CJK Extension B) makes it send the whole statement as Latin-1.
bool Execute(SQLHSTMT stmt, const std::string& text, Execution execution = Execution::Prepared) {
    static_assert(sizeof(SQLWCHAR) == sizeof(char16_t), "the driver manager's SQLWCHAR must be UTF-16");
    std::u16string wide = CodePage::Process().ToUtf16(text);
    auto* sql = reinterpret_cast<SQLWCHAR*>(wide.data());
    const auto length = static_cast<SQLINTEGER>(wide.size());
    if (execution == Execution::Direct) return Succeeded(UntilDone([&] { return SQLExecDirectW(stmt, sql, length); }));
    return Succeeded(UntilDone([&] { return SQLPrepareW(stmt, sql, length); })) &&
           Succeeded(UntilDone([&] { return SQLExecute(stmt); }));
}

// A text the driver wrote into a buffer of `size` bytes, up to its terminator. The length the
// driver manager reports is not used: when it converts a text from the driver's UTF-16 to the
// code page it hands on the driver's length, in UTF-16 units.
std::string Terminated(const SQLCHAR* buffer, std::size_t size) {
    const auto* text = reinterpret_cast<const char*>(buffer);
    return std::string(text, strnlen(text, size - 1));
}

OdbcError Problem(std::string message) {
    OdbcError e;
    e.message = std::move(message);
    return e;
}

// Every diagnostic record the driver manager holds for one handle (give exactly one), in order.
// SQLError hands out each record once.
std::vector<OdbcError> Records(SQLHENV env, SQLHDBC dbc, SQLHSTMT stmt) {
    std::vector<OdbcError> records;
    for (int i = 0; i < kMaxDiagnostics; ++i) {
        SQLCHAR state[SQL_SQLSTATE_SIZE + 1] = {};
        SQLINTEGER native = 0;
        std::array<SQLCHAR, 4 * SQL_MAX_MESSAGE_LENGTH> message{};
        SQLSMALLINT length = 0;
        const SQLRETURN rc = SQLError(env, dbc, stmt, state, &native, message.data(),
                                      static_cast<SQLSMALLINT>(message.size()), &length);
        if (!SQL_SUCCEEDED(rc)) break;
        OdbcError record;
        record.state = reinterpret_cast<const char*>(state);
        record.native = native;
        record.message = Terminated(message.data(), message.size());
        records.push_back(std::move(record));
    }
    return records;
}

// The records as one error: the first, with the others after it.
OdbcError Diagnose(SQLHENV env, SQLHDBC dbc, SQLHSTMT stmt) {
    std::vector<OdbcError> records = Records(env, dbc, stmt);
    if (records.empty()) return Problem(ProgramText("驱动程序报告失败，但没有给出原因。"));
    OdbcError first = std::move(records.front());
    first.more.assign(std::make_move_iterator(records.begin() + 1), std::make_move_iterator(records.end()));
    return first;
}

OdbcError Diagnose(SQLHDBC dbc) { return Diagnose(SQL_NULL_HENV, dbc, SQL_NULL_HSTMT); }
OdbcError DiagnoseStatement(SQLHSTMT stmt) { return Diagnose(SQL_NULL_HENV, SQL_NULL_HDBC, stmt); }

bool HasState(const OdbcError& e, std::string_view state) {
    return e.state == state || std::any_of(e.more.begin(), e.more.end(), [&](const OdbcError& m) { return m.state == state; });
}

// ---- Handles -------------------------------------------------------------------------------

// An ODBC environment handle, made for ODBC 2 by SQLAllocEnv.
class EnvironmentHandle {
public:
    EnvironmentHandle() {
        if (!SQL_SUCCEEDED(SQLAllocEnv(&env_))) env_ = SQL_NULL_HENV;
    }
    ~EnvironmentHandle() {
        if (env_ != SQL_NULL_HENV) SQLFreeEnv(env_);
    }
    EnvironmentHandle(const EnvironmentHandle&) = delete;
    EnvironmentHandle& operator=(const EnvironmentHandle&) = delete;
    SQLHENV get() const { return env_; }

private:
    SQLHENV env_ = SQL_NULL_HENV;
};

// The process's one ODBC environment, created for the first connection and freed with the
// last, and the number of connections allocated on it. Both only under `lock`.
struct SharedEnvironment {
    std::mutex lock;
    std::unique_ptr<EnvironmentHandle> handle;
    int connections = 0;
};

SharedEnvironment& TheEnvironment() {
    static SharedEnvironment environment;
    return environment;
}

// A connection handle allocated on the shared environment. Freeing it disconnects it when it is
// connected and frees the environment when it was the last connection.
class ConnectionHandle {
public:
    explicit ConnectionHandle(OdbcError& error) {
        SharedEnvironment& env = TheEnvironment();
        std::lock_guard lock(env.lock);
        if (!env.handle) {
            auto made = std::make_unique<EnvironmentHandle>();
            if (made->get() == SQL_NULL_HENV) {
                error = Problem(ProgramText("ODBC驱动程序管理器无法创建环境。"));
                return;
            }
            env.handle = std::move(made);
        }
        if (!SQL_SUCCEEDED(SQLAllocConnect(env.handle->get(), &dbc_))) {
            dbc_ = SQL_NULL_HDBC;
            error = Diagnose(env.handle->get(), SQL_NULL_HDBC, SQL_NULL_HSTMT);
            if (env.connections == 0) env.handle.reset();
            return;
        }
        ++env.connections;
    }
    ~ConnectionHandle() {
        if (dbc_ == SQL_NULL_HDBC) return;
        if (connected_) SQLDisconnect(dbc_);
        SQLFreeConnect(dbc_);
        SharedEnvironment& env = TheEnvironment();
        std::lock_guard lock(env.lock);
        if (--env.connections == 0) env.handle.reset();
    }
    ConnectionHandle(const ConnectionHandle&) = delete;
    ConnectionHandle& operator=(const ConnectionHandle&) = delete;

    SQLHDBC get() const { return dbc_; }
    void Connected() { connected_ = true; }

private:
    SQLHDBC dbc_ = SQL_NULL_HDBC;
    bool connected_ = false;
};

// A statement handle on a connection, dropped with SQLFreeStmt(SQL_DROP).
class StatementHandle {
public:
    explicit StatementHandle(SQLHDBC dbc) {
        if (!SQL_SUCCEEDED(SQLAllocStmt(dbc, &stmt_))) stmt_ = SQL_NULL_HSTMT;
    }
    ~StatementHandle() {
        if (stmt_ != SQL_NULL_HSTMT) SQLFreeStmt(stmt_, SQL_DROP);
    }
    StatementHandle(const StatementHandle&) = delete;
    StatementHandle& operator=(const StatementHandle&) = delete;
    SQLHSTMT get() const { return stmt_; }

private:
    SQLHSTMT stmt_ = SQL_NULL_HSTMT;
};

// ---- Record sets and connections --------------------------------------------------------------

struct ResultColumn {
    std::string name;
    SQLSMALLINT type = 0;
    SQLULEN precision = 0;
    SQLSMALLINT scale = 0;
    SQLSMALLINT nullable = 0;
    int bound = -1;  // index into RecordSet::bound, or -1
};

// A column fetched as text with every row.
struct BoundColumn {
    SQLUSMALLINT number = 0;
    char text[kBoundTextBytes] = {};
    SQLLEN indicator = SQL_NULL_DATA;
};

struct RecordSet {
    explicit RecordSet(SQLHDBC dbc) : statement(dbc) {}

    RecordSetHandle handle = 0;
    std::string text;  // the statement after bracket rewriting
    std::vector<ResultColumn> columns;
    std::vector<BoundColumn> bound;  // never resized once bound: the driver writes into it
    bool eof = false;
    long rowCount = 0;
    StatementHandle statement;  // last: freed before the buffers the driver writes into
};

struct Connection {
    explicit Connection(OdbcError& error) : handle(error) {}

    ConnectionHandle handle;
    std::string connectString;
    char quote = ' ';
    bool staticCursors = false;
    int statementTimeout = ODBCDB::kStatementTimeoutSeconds;  // -1 once the driver refused it
    // Last: the record sets, and with them their statements, go before the connection.
    std::array<std::unique_ptr<RecordSet>, ODBCDB::kMaxRecordSets> slots;
};

enum class Fetched { Row, End, Error };

// One SQLExtendedFetch of one row. Success-with-information is an error when the row itself
// failed (01S01) and not merely a value was truncated (01004).
Fetched Fetch(RecordSet& rs, SQLUSMALLINT orientation, OdbcError& error) {
    SQLULEN rows = 0;
    SQLUSMALLINT status[1] = {};
    const SQLRETURN rc = SQLExtendedFetch(rs.statement.get(), orientation, 0, &rows, status);
    if (rc == SQL_NO_DATA) return Fetched::End;
    if (rc == SQL_SUCCESS) return Fetched::Row;
    OdbcError diagnostics = DiagnoseStatement(rs.statement.get());
    if (rc == SQL_SUCCESS_WITH_INFO && !(HasState(diagnostics, "01S01") && !HasState(diagnostics, "01004")))
        return Fetched::Row;
    error = std::move(diagnostics);
    return Fetched::Error;
}

// ---- Column values ------------------------------------------------------------------------

enum class Kind { Truth, Byte, Int16, Int32, Single, Double, DateTime, Text, Bytes };

Kind KindOf(SQLSMALLINT sqlType) {
    switch (sqlType) {
        case SQL_BIT: return Kind::Truth;
        case SQL_TINYINT: return Kind::Byte;
        case SQL_SMALLINT: return Kind::Int16;
        case SQL_INTEGER: return Kind::Int32;
        case SQL_REAL: return Kind::Single;
        case SQL_FLOAT:
        case SQL_DOUBLE: return Kind::Double;
        case SQL_DATE:
        case SQL_TIME:
        case SQL_TIMESTAMP:
        case SQL_TYPE_DATE:
        case SQL_TYPE_TIME:
        case SQL_TYPE_TIMESTAMP: return Kind::DateTime;
        case SQL_BINARY:
        case SQL_VARBINARY:
        case SQL_LONGVARBINARY: return Kind::Bytes;
        default: return Kind::Text;  // character types, numeric, decimal, bigint and the rest
    }
}

// Characters needed to show a value of the column as text.
SQLULEN DisplayWidth(SQLSMALLINT sqlType, SQLULEN precision) {
    switch (sqlType) {
        case SQL_DECIMAL:
        case SQL_NUMERIC: return precision + 2;  // sign and decimal point
        case SQL_BINARY:
        case SQL_VARBINARY:
        case SQL_LONGVARBINARY: return 2 * precision;  // two hexadecimal digits a byte
        default: return precision;
    }
}

bool IsBound(const ResultColumn& c) {
    switch (c.type) {
        case SQL_LONGVARCHAR:
        case SQL_BINARY:
        case SQL_VARBINARY:
        case SQL_LONGVARBINARY: return false;
        default: return DisplayWidth(c.type, c.precision) <= kBoundTextBytes;
    }
}

// Days from 1 January 1970 to a date of the proleptic Gregorian calendar, and back.
long long DaysFromCivil(long long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe) - 719468;
}

void CivilFromDays(long long z, long long& y, unsigned& m, unsigned& d) {
    z += 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = static_cast<long long>(yoe) + era * 400 + (m <= 2);
}

constexpr long long kDaysTo18991230 = -25569;  // DaysFromCivil(1899, 12, 30)

double ToDays(const TIMESTAMP_STRUCT& t) {
    static const double first = static_cast<double>(DaysFromCivil(100, 1, 1) - kDaysTo18991230);
    static const double last = static_cast<double>(DaysFromCivil(9999, 12, 31) - kDaysTo18991230) + 86399.0 / 86400;
    const double seconds = t.hour * 3600.0 + t.minute * 60.0 + t.second + t.fraction / 1e9;
    const double days =
        static_cast<double>(DaysFromCivil(t.year, t.month, t.day) - kDaysTo18991230) + seconds / 86400;
    return std::clamp(days, first, last);
}

template <class T>
std::optional<T> GetFixed(SQLHSTMT stmt, SQLUSMALLINT column, SQLSMALLINT cType) {
    T value{};
    SQLLEN indicator = 0;
    const SQLRETURN rc = SQLGetData(stmt, column, cType, &value, sizeof value, &indicator);
    if (!SQL_SUCCEEDED(rc) || indicator == SQL_NULL_DATA || indicator == 0) return std::nullopt;
    return value;
}

// A binary value read whole, however long.
std::optional<std::string> GetWholeBytes(SQLHSTMT stmt, SQLUSMALLINT column) {
    std::array<char, 4096> buffer;
    std::string value;
    for (;;) {
        SQLLEN indicator = 0;
        const SQLRETURN rc = SQLGetData(stmt, column, SQL_C_BINARY, buffer.data(), static_cast<SQLLEN>(buffer.size()), &indicator);
        if (rc == SQL_NO_DATA) break;  // all of it has been read
        if (!SQL_SUCCEEDED(rc) || indicator == SQL_NULL_DATA) return std::nullopt;
        const std::size_t room = buffer.size();
        const std::size_t got = indicator == SQL_NO_TOTAL || static_cast<std::size_t>(indicator) > room
                                    ? room
                                    : static_cast<std::size_t>(indicator);
        value.append(buffer.data(), got);
        // More only after a part that filled the buffer: a driver's other warnings on the last
        // part must not read it again.
        if (rc == SQL_SUCCESS || got < room) break;
    }
    if (value.empty()) return std::nullopt;
    return value;
}

// A character value read whole as UTF-16, so that characters outside the Basic Multilingual
// Plane come back intact, then converted to the process's code page.
std::optional<std::string> GetWholeText(SQLHSTMT stmt, SQLUSMALLINT column) {
    std::array<char16_t, 2048> buffer;
    std::u16string value;
    for (;;) {
        SQLLEN indicator = 0;
        const SQLRETURN rc = SQLGetData(stmt, column, SQL_C_WCHAR, buffer.data(),
                                        static_cast<SQLLEN>(buffer.size() * sizeof(char16_t)), &indicator);
        if (rc == SQL_NO_DATA) break;  // all of it has been read
        if (!SQL_SUCCEEDED(rc) || indicator == SQL_NULL_DATA) return std::nullopt;
        const std::size_t room = buffer.size() - 1;  // the terminator
        const std::size_t got = indicator == SQL_NO_TOTAL || static_cast<std::size_t>(indicator) / 2 > room
                                    ? room
                                    : static_cast<std::size_t>(indicator) / 2;
        value.append(buffer.data(), got);
        // More only after a part that filled the buffer: a driver's other warnings on the last
        // part must not read it again.
        if (rc == SQL_SUCCESS || got < room) break;
    }
    if (value.empty()) return std::nullopt;
    return CodePage::Process().FromUtf16(value);
}

// The value as the driver gives it now; nullopt when the call fails or the value is NULL or empty.
std::optional<ColumnValue::Variant> GetData(SQLHSTMT stmt, SQLUSMALLINT column, SQLSMALLINT sqlType) {
    const auto as = [](auto v) -> std::optional<ColumnValue::Variant> {
        if (!v) return std::nullopt;
        return ColumnValue::Variant(*v);
    };
    switch (KindOf(sqlType)) {
        case Kind::Truth: {
            const auto v = GetFixed<unsigned char>(stmt, column, SQL_C_BIT);
            return v ? std::optional<ColumnValue::Variant>(*v != 0) : std::nullopt;
        }
        case Kind::Byte: return as(GetFixed<std::uint8_t>(stmt, column, SQL_C_UTINYINT));
        case Kind::Int16: return as(GetFixed<std::int16_t>(stmt, column, SQL_C_SSHORT));
        case Kind::Int32: return as(GetFixed<std::int32_t>(stmt, column, SQL_C_SLONG));
        case Kind::Single: return as(GetFixed<float>(stmt, column, SQL_C_FLOAT));
        case Kind::Double: return as(GetFixed<double>(stmt, column, SQL_C_DOUBLE));
        case Kind::DateTime: {
            const auto v = GetFixed<TIMESTAMP_STRUCT>(stmt, column, SQL_C_TIMESTAMP);
            return v ? std::optional<ColumnValue::Variant>(DateTimeValue{ToDays(*v)}) : std::nullopt;
        }
        case Kind::Text: return as(GetWholeText(stmt, column));
        case Kind::Bytes: {
            const auto v = GetWholeBytes(stmt, column);
            return v ? std::optional<ColumnValue::Variant>(ColumnValue::Bytes(v->begin(), v->end())) : std::nullopt;
        }
    }
    return std::nullopt;
}

// The shortest decimal text that reads back as the same number.
template <class Real>
std::string Shortest(Real v) {
    char text[64];
    const auto r = std::to_chars(text, text + sizeof text, v);
    return std::string(text, r.ptr);
}

long ToInteger(const std::string& text) { return std::strtol(text.c_str(), nullptr, 10); }

template <class Real>
Real ToReal(const std::string& text) {
    Real value = 0;
    const char* begin = text.data() + std::min(text.find_first_not_of(' '), text.size());
    std::from_chars(begin, text.data() + text.size(), value);
    return value;
}

// The value taken from the column's bound text of the current row, converted by its SQL type.
ColumnValue::Variant FromBoundText(const RecordSet& rs, const ResultColumn& c) {
    std::string text;
    if (c.bound >= 0) {
        const BoundColumn& b = rs.bound[static_cast<std::size_t>(c.bound)];
        if (b.indicator != SQL_NULL_DATA) text.assign(b.text, strnlen(b.text, sizeof b.text));
    }
    switch (KindOf(c.type)) {
        case Kind::Int32: return static_cast<std::int32_t>(ToInteger(text));
        case Kind::Int16: return static_cast<std::int16_t>(ToInteger(text));
        case Kind::Byte: return static_cast<std::uint8_t>(ToInteger(text));
        case Kind::Truth: return ToInteger(text) != 0;
        case Kind::Single: return ToReal<float>(text);
        case Kind::Double: return ToReal<double>(text);
        case Kind::Bytes: return ColumnValue::Bytes{};
        case Kind::DateTime:
        case Kind::Text: break;
    }
    return text;
}

}  // namespace

// ---- The object --------------------------------------------------------------------------------

struct ODBCDB::Impl {
    std::mutex operation;  // held for the whole of every operation
    std::unique_ptr<Connection> current;
    OdbcError lastError;
    long rowsAffected = -1;  // of the last ExecuteSql
    RecordSetHandle lastHandle = 0;  // handles count up over every connection of the object

    // The statement an operation is running, for Cancel(), which holds `runningLock` across its
    // SQLCancel so that the statement cannot be freed meanwhile. Never the operation mutex.
    std::mutex runningLock;
    SQLHSTMT running = SQL_NULL_HSTMT;
    // Cancel() met the running statement: a driver may end a cancelled batch between two of
    // its results as if it had ended there (SQL_NO_DATA), which this tells apart.
    bool cancelled = false;

    RecordSet* Find(RecordSetHandle handle) const {
        if (!current || handle == 0) return nullptr;
        for (const auto& slot : current->slots)
            if (slot && slot->handle == handle) return slot.get();
        return nullptr;
    }

    // The record set a move names, with the last error cleared, or else why there is none.
    RecordSet* ToMove(RecordSetHandle handle) {
        RecordSet* rs = Find(handle);
        lastError = rs ? OdbcError() : Problem(ProgramText("记录集句柄不指向任何打开的记录集。"));
        return rs;
    }

    RecordSetHandle NextHandle() {
        if (++lastHandle == 0) ++lastHandle;
        return lastHandle;
    }

    // Sets the query time-out of a new statement as `timeout` asks. The connection's own
    // time-out, once the driver refuses it, is not set again on this connection; a refused
    // time-out of the caller's choosing is not an error either.
    void SetTimeout(SQLHSTMT stmt, const Timeout& timeout) const {
        if (timeout.seconds) {
            SQLSetStmtOption(stmt, SQL_QUERY_TIMEOUT, static_cast<SQLULEN>(*timeout.seconds));
        } else if (current->statementTimeout >= 0 &&
                   !SQL_SUCCEEDED(SQLSetStmtOption(stmt, SQL_QUERY_TIMEOUT,
                                                   static_cast<SQLULEN>(current->statementTimeout)))) {
            current->statementTimeout = -1;
        }
    }

    // Why a statement cannot be sent at all; an empty text when it can.
    std::string Unsendable(std::string_view statement, const Timeout& timeout) const {
        if (statement.empty()) return ProgramText("语句为空。");
        if (!current) return ProgramText("尚未登录数据库：没有打开的数据库连接。");
        if (timeout.seconds && *timeout.seconds < 0) return ProgramText("语句的超时时间不能为负数。");
        return {};
    }

    // The start of a statement's run: the last run's error and count forgotten; false, the last
    // error saying why, when `statement` cannot be sent.
    bool Sendable(std::string_view statement, const Timeout& timeout) {
        lastError = {};
        rowsAffected = -1;
        if (std::string why = Unsendable(statement, timeout); !why.empty()) {
            lastError = Problem(why);
            return false;
        }
        return true;
    }

    // Whether `handle` is a statement of the connection; the last error says why not.
    bool Allocated(const StatementHandle& handle) {
        if (handle.get() != SQL_NULL_HSTMT) return true;
        lastError = Diagnose(current->handle.get());
        return false;
    }

    ColumnValue Read(RecordSet& rs, std::size_t index) const {
        const ResultColumn& c = rs.columns[index];
        const auto column = static_cast<SQLUSMALLINT>(index + 1);
        if (auto value = GetData(rs.statement.get(), column, c.type)) return ColumnValue(std::move(*value));
        return ColumnValue(FromBoundText(rs, c));
    }
};

namespace {

// Names the statement an operation runs, for Cancel(), while it runs. The statement outlives it.
class Running {
public:
    Running(ODBCDB::Impl& d, SQLHSTMT stmt) : d_(d) {
        std::lock_guard lock(d_.runningLock);
        d_.running = stmt;
        d_.cancelled = false;
    }
    ~Running() {
        std::lock_guard lock(d_.runningLock);
        d_.running = SQL_NULL_HSTMT;
    }
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;

private:
    ODBCDB::Impl& d_;
};

// What the program needs of the driver of a new connection: the conformance it relies on, and
// the identifier quote and static cursors. False, with the error, when the driver falls short.
bool ReadDriverInfo(SQLHDBC dbc, Connection& connection, OdbcError& error) {
    SQLSMALLINT api = 0;
    SQLSMALLINT grammar = 0;
    if (!SQL_SUCCEEDED(SQLGetInfo(dbc, SQL_ODBC_API_CONFORMANCE, &api, sizeof api, nullptr)) ||
        !SQL_SUCCEEDED(SQLGetInfo(dbc, SQL_ODBC_SQL_CONFORMANCE, &grammar, sizeof grammar, nullptr))) {
        error = Diagnose(dbc);
        return false;
    }
    if (api < SQL_OAC_LEVEL1 || grammar < SQL_OSC_MINIMUM) {
        error = Problem(ProgramText("ODBC驱动程序达不到API一致性级别1和最低SQL语法。"));
        return false;
    }

    SQLCHAR quote[8] = {};
    if (SQL_SUCCEEDED(SQLGetInfo(dbc, SQL_IDENTIFIER_QUOTE_CHAR, quote, sizeof quote, nullptr)) &&
        Terminated(quote, sizeof quote).size() == 1)
        connection.quote = static_cast<char>(quote[0]);
    SQLUINTEGER scrollOptions = 0;
    if (SQL_SUCCEEDED(SQLGetInfo(dbc, SQL_SCROLL_OPTIONS, &scrollOptions, sizeof scrollOptions, nullptr)))
        connection.staticCursors = (scrollOptions & SQL_SO_STATIC) != 0;
    return true;
}

// The result's columns described into `rs`, the bound ones bound; false when the driver fails.
bool DescribeAndBindColumns(SQLHSTMT stmt, RecordSet& rs) {
    SQLSMALLINT count = 0;
    if (!SQL_SUCCEEDED(SQLNumResultCols(stmt, &count))) return false;
    for (SQLSMALLINT i = 1; i <= count; ++i) {
        SQLCHAR name[kNameBytes] = {};
        SQLSMALLINT nameLength = 0;
        ResultColumn c;
        if (!SQL_SUCCEEDED(SQLDescribeCol(stmt, static_cast<SQLUSMALLINT>(i), name, sizeof name, &nameLength, &c.type,
                                          &c.precision, &c.scale, &c.nullable)))
            return false;
        c.name = Terminated(name, sizeof name);
        if (IsBound(c)) {
            c.bound = static_cast<int>(rs.bound.size());
            rs.bound.push_back({static_cast<SQLUSMALLINT>(i), {}, SQL_NULL_DATA});
        }
        rs.columns.push_back(std::move(c));
    }
    for (BoundColumn& b : rs.bound)
        if (!SQL_SUCCEEDED(SQLBindCol(stmt, b.number, SQL_C_CHAR, b.text, sizeof b.text, &b.indicator))) return false;
    return true;
}

// The rows of `rs` counted and its cursor back on the first; false, with the error, when not
// even the first row can be fetched.
bool CountRowsFromTheFirst(RecordSet& rs, OdbcError& error) {
    // The first row of a fresh cursor. A statement that returns no rows was executed by the
    // server without a cursor, so there is nothing to fetch: that fails here, whatever columns
    // the driver may describe.
    switch (Fetch(rs, SQL_FETCH_FIRST, error)) {
        case Fetched::Error: return false;
        case Fetched::End: rs.eof = true; break;
        case Fetched::Row: rs.rowCount = 1; break;
    }
    // Count the rows; an error ends the count and is otherwise ignored.
    for (OdbcError ignored; !rs.eof;) {
        const Fetched f = Fetch(rs, SQL_FETCH_NEXT, ignored);
        if (f == Fetched::Error) break;
        if (f == Fetched::End) rs.eof = true;
        else ++rs.rowCount;
    }
    if (rs.rowCount > 0) {
        OdbcError ignored;
        if (Fetch(rs, SQL_FETCH_FIRST, ignored) == Fetched::Row) rs.eof = false;
    }
    return true;
}

}  // namespace

ODBCDB::ODBCDB() : impl_(std::make_unique<Impl>()) {}

ODBCDB::~ODBCDB() { CloseDatabase(); }

bool ODBCDB::NewOpenDatabase(std::string_view connectionString, LoginPrompt prompt, bool readOnly) {
    std::lock_guard lock(impl_->operation);
    Impl& d = *impl_;
    d.lastError = {};

    // Until it is made current, a failure leaves the current connection as it is; the new one
    // is disconnected and freed (and the environment with it when it was the last) on return.
    auto connection = std::make_unique<Connection>(d.lastError);
    const SQLHDBC dbc = connection->handle.get();
    if (dbc == SQL_NULL_HDBC) return false;

    SQLSetConnectOption(dbc, SQL_LOGIN_TIMEOUT, kLoginTimeoutSeconds);  // a refusal is not an error
    if (readOnly) SQLSetConnectOption(dbc, SQL_ACCESS_MODE, SQL_MODE_READ_ONLY);

    const DriverConnectionString forDriver = ForSqlServerDriver(connectionString);
    if (!forDriver.Ok()) {
        d.lastError = Problem(forDriver.problem);
        return false;
    }
    const SQLUSMALLINT completion = !prompt.Allowed()          ? SQL_DRIVER_NOPROMPT
                                    : connectionString.empty() ? SQL_DRIVER_PROMPT
                                                               : SQL_DRIVER_COMPLETE;
    std::string completed;
    const SQLRETURN rc =
        DriverConnect(dbc, prompt.Allowed() ? prompt.Owner() : nullptr, forDriver.text, completion, completed);
    if (rc == SQL_NO_DATA) {
        d.lastError = Problem(ProgramText("登录已取消。"));
        return false;
    }
    if (rc != SQL_SUCCESS && rc != SQL_SUCCESS_WITH_INFO) {
        d.lastError = Diagnose(dbc);
        return false;
    }
    connection->handle.Connected();
    connection->connectString = "ODBC;" + completed;

    if (!ReadDriverInfo(dbc, *connection, d.lastError)) return false;

    // The new connection is established: the previous one, if any, is closed now.
    d.current = std::move(connection);
    return true;
}

void ODBCDB::CloseDatabase() {
    std::lock_guard lock(impl_->operation);
    impl_->current.reset();
}

bool ODBCDB::IsOpen() const {
    std::lock_guard lock(impl_->operation);
    return impl_->current != nullptr;
}

std::string ODBCDB::ConnectString() const {
    std::lock_guard lock(impl_->operation);
    return impl_->current ? impl_->current->connectString : std::string();
}

char ODBCDB::IdentifierQuote() const {
    std::lock_guard lock(impl_->operation);
    return impl_->current ? impl_->current->quote : ' ';
}

RecordSetHandle ODBCDB::OpenTable(std::string_view statement, Timeout timeout) {
    std::lock_guard lock(impl_->operation);
    Impl& d = *impl_;
    d.lastError = {};
    if (std::string why = d.Unsendable(statement, timeout); !why.empty()) {
        d.lastError = Problem(why);
        return 0;
    }
    Connection& connection = *d.current;
    const auto slot = std::find(connection.slots.begin(), connection.slots.end(), nullptr);
    if (slot == connection.slots.end()) {
        d.lastError = Problem(ProgramText("连接的") + std::to_string(kMaxRecordSets) +
                              ProgramText("个记录集都已打开，关闭其中一个之前无法再打开新的记录集。"));
        return 0;
    }

    auto rs = std::make_unique<RecordSet>(connection.handle.get());
    const SQLHSTMT stmt = rs->statement.get();
    if (stmt == SQL_NULL_HSTMT) {
        d.lastError = Diagnose(connection.handle.get());
        return 0;
    }
    const Running running(d, stmt);
    const auto failed = [&] {
        d.lastError = DiagnoseStatement(stmt);
        return 0;
    };

    d.SetTimeout(stmt, timeout);
    if (!connection.staticCursors) {
        d.lastError = Problem(ProgramText("ODBC驱动程序不提供静态游标。"));
        return 0;
    }
    if (!SQL_SUCCEEDED(SQLSetStmtOption(stmt, SQL_CURSOR_TYPE, SQL_CURSOR_STATIC)) ||
        !SQL_SUCCEEDED(SQLSetStmtOption(stmt, SQL_CONCURRENCY, SQL_CONCUR_READ_ONLY)))
        return failed();

    rs->text = RewriteBrackets(statement, connection.quote);
    if (!Execute(stmt, rs->text)) return failed();

    if (!DescribeAndBindColumns(stmt, *rs)) return failed();
    if (!CountRowsFromTheFirst(*rs, d.lastError)) return 0;

    rs->handle = d.NextHandle();
    *slot = std::move(rs);
    return (*slot)->handle;
}

void ODBCDB::MoveFirst(RecordSetHandle handle) {
    std::lock_guard lock(impl_->operation);
    Impl& d = *impl_;
    RecordSet* rs = d.ToMove(handle);
    if (!rs) return;
    const Running running(d, rs->statement.get());
    switch (Fetch(*rs, SQL_FETCH_FIRST, d.lastError)) {
        case Fetched::Row: rs->eof = false; break;
        case Fetched::End: rs->eof = true; break;
        case Fetched::Error: break;
    }
}

void ODBCDB::MoveNext(RecordSetHandle handle) {
    std::lock_guard lock(impl_->operation);
    Impl& d = *impl_;
    RecordSet* rs = d.ToMove(handle);
    if (!rs) return;
    if (rs->eof) return;
    const Running running(d, rs->statement.get());
    if (Fetch(*rs, SQL_FETCH_NEXT, d.lastError) == Fetched::End) rs->eof = true;
}

bool ODBCDB::IsEOF(RecordSetHandle handle) {
    std::lock_guard lock(impl_->operation);
    const RecordSet* rs = impl_->Find(handle);
    return !rs || rs->eof;
}

long ODBCDB::RowCount(RecordSetHandle handle) {
    std::lock_guard lock(impl_->operation);
    const RecordSet* rs = impl_->Find(handle);
    return rs ? rs->rowCount : 0;
}

ColumnValue ODBCDB::ReadColByIndex(RecordSetHandle handle, int column) {
    std::lock_guard lock(impl_->operation);
    RecordSet* rs = impl_->Find(handle);
    if (!rs || column < 1 || static_cast<std::size_t>(column) > rs->columns.size()) return {};
    return impl_->Read(*rs, static_cast<std::size_t>(column - 1));
}

ColumnValue ODBCDB::ReadColByName(RecordSetHandle handle, std::string_view name) {
    std::lock_guard lock(impl_->operation);
    RecordSet* rs = impl_->Find(handle);
    if (!rs) return {};
    const auto c = std::find_if(rs->columns.begin(), rs->columns.end(), [&](const ResultColumn& rc) { return rc.name == name; });
    if (c == rs->columns.end()) return {};
    return impl_->Read(*rs, static_cast<std::size_t>(c - rs->columns.begin()));
}

void ODBCDB::CloseRecordSet(RecordSetHandle handle) {
    std::lock_guard lock(impl_->operation);
    if (!impl_->current || handle == 0) return;
    for (auto& slot : impl_->current->slots)
        if (slot && slot->handle == handle) slot.reset();
}

bool ODBCDB::ExecuteSql(std::string_view statement, Timeout timeout, Execution execution) {
    return Run(statement, timeout, execution, nullptr, nullptr);
}

bool ODBCDB::ExecuteSql(std::string_view statement, Timeout timeout, Execution execution,
                        std::vector<OdbcError>& messages) {
    return Run(statement, timeout, execution, nullptr, nullptr, &messages);
}

bool ODBCDB::ExecuteSql(std::string_view statement, Timeout timeout, Execution execution,
                        std::vector<OdbcError>& messages, std::vector<std::vector<std::string>>& rows) {
    return Run(statement, timeout, execution, &rows, nullptr, &messages);
}

std::optional<std::vector<std::vector<std::string>>> ODBCDB::ReadAllText(std::string_view statement, Timeout timeout,
                                                                         std::vector<std::string>* columnNames) {
    std::vector<std::vector<std::string>> rows;
    if (!Run(statement, timeout, Execution::Direct, &rows, columnNames)) return std::nullopt;
    return rows;
}

namespace {

// The names of the current result's columns, as the driver describes them.
std::vector<std::string> ColumnNames(SQLHSTMT stmt, SQLSMALLINT columns) {
    std::vector<std::string> names;
    for (SQLUSMALLINT column = 1; column <= columns; ++column) {
        std::array<SQLCHAR, 256> name{};
        SQLSMALLINT length = 0, type = 0, digits = 0, nullable = 0;
        SQLULEN size = 0;
        if (!SQL_SUCCEEDED(SQLDescribeCol(stmt, column, name.data(), static_cast<SQLSMALLINT>(name.size()), &length,
                                          &type, &size, &digits, &nullable)))
            length = 0;
        names.emplace_back(reinterpret_cast<const char*>(name.data()),
                           static_cast<std::size_t>(std::clamp<SQLSMALLINT>(length, 0, name.size() - 1)));
    }
    return names;
}

// Appends the diagnostic records a call on the statement left (its informational messages after a
// success), if any. Read before the next call on the statement, which clears them.
void TakeMessages(SQLHSTMT stmt, std::vector<OdbcError>* messages) {
    if (!messages) return;
    for (OdbcError& record : Records(SQL_NULL_HENV, SQL_NULL_HDBC, stmt)) messages->push_back(std::move(record));
}

}  // namespace

bool ODBCDB::Run(std::string_view statement, Timeout timeout, Execution execution,
                 std::vector<std::vector<std::string>>* rows, std::vector<std::string>* columnNames,
                 std::vector<OdbcError>* messages) {
    std::lock_guard lock(impl_->operation);
    Impl& d = *impl_;
    if (!d.Sendable(statement, timeout)) return false;
    const std::string text = RewriteBrackets(statement, d.current->quote);
    const StatementHandle statementHandle(d.current->handle.get());
    if (!d.Allocated(statementHandle)) return false;
    const SQLHSTMT stmt = statementHandle.get();
    const Running running(d, stmt);
    const auto failed = [&] {
        d.lastError = DiagnoseStatement(stmt);
        SQLCancel(stmt);
        return false;
    };

    d.SetTimeout(stmt, timeout);
    if (!Execute(stmt, text, execution)) return failed();
    TakeMessages(stmt, messages);

    // Read every result and message, so that the statement has finished at the server when
    // this returns. A time-out or cancel on the way is a failure like any other. The counts of
    // rows the results report (a DONE token's count) add up to the rows affected.
    for (;;) {
        SQLLEN count = -1;
        if (SQL_SUCCEEDED(SQLRowCount(stmt, &count)) && count >= 0)
            d.rowsAffected = std::max<long>(d.rowsAffected, 0) + static_cast<long>(count);
        SQLSMALLINT columns = 0;
        if (!SQL_SUCCEEDED(SQLNumResultCols(stmt, &columns))) return failed();
        if (columns > 0) {
            if (columnNames && columnNames->empty()) *columnNames = ColumnNames(stmt, columns);
            SQLRETURN rc;
            while (SQL_SUCCEEDED(rc = SQLFetch(stmt))) {
                if (!rows) continue;
                std::vector<std::string>& row = rows->emplace_back();
                for (SQLUSMALLINT column = 1; column <= columns; ++column)
                    row.push_back(GetWholeText(stmt, column).value_or(std::string()));
            }
            if (rc != SQL_NO_DATA) return failed();
        }
        const SQLRETURN rc = SQLMoreResults(stmt);
        if (rc == SQL_NO_DATA) break;
        if (!SQL_SUCCEEDED(rc)) return failed();
        TakeMessages(stmt, messages);
    }
    return true;
}

namespace {

// Whether a failure ends the whole batch rather than one statement: a cancel, a time-out, or a
// connection the driver has given up.
bool BreaksOff(const OdbcError& error) {
    const auto breaks = [](const OdbcError& e) {
        return e.state == "HY008" || e.state == "S1008" || e.state == "HYT00" || e.state == "S1T00" ||
               e.state == "HYT01" || e.state.starts_with("08");
    };
    if (breaks(error)) return true;
    return std::any_of(error.more.begin(), error.more.end(), breaks);
}

// One result of the statement's batch, read whole: its count, its rows and its messages.
BatchResult ReadResult(SQLHSTMT stmt, SQLRETURN rc) {
    BatchResult r;
    if (rc == SQL_SUCCESS_WITH_INFO) TakeMessages(stmt, &r.messages);
    SQLLEN count = -1;
    if (SQL_SUCCEEDED(SQLRowCount(stmt, &count)) && count >= 0) r.count = static_cast<long>(count);
    SQLSMALLINT columns = 0;
    if (SQL_SUCCEEDED(SQLNumResultCols(stmt, &columns)) && columns > 0) {
        r.columns = columns;
        r.names = ColumnNames(stmt, columns);
        SQLRETURN fetched;
        while (SQL_SUCCEEDED(fetched = SQLFetch(stmt))) {
            std::vector<std::string>& row = r.rows.emplace_back();
            for (SQLUSMALLINT column = 1; column <= columns; ++column)
                row.push_back(GetWholeText(stmt, column).value_or(std::string()));
        }
        if (fetched == SQL_ERROR) {
            r.ok = false;
            r.error = DiagnoseStatement(stmt);
        }
    }
    return r;
}

// Whether the statement stands on a result set: a driver reports a failed statement with the
// result that follows it (FreeTDS), which is then still to be read.
bool OnResultSet(SQLHSTMT stmt) {
    SQLSMALLINT columns = 0;
    return SQL_SUCCEEDED(SQLNumResultCols(stmt, &columns)) && columns > 0;
}

}  // namespace

bool ODBCDB::ExecuteBatch(std::string_view statements, Timeout timeout,
                          const std::function<void(const BatchResult&)>& each) {
    std::lock_guard lock(impl_->operation);
    Impl& d = *impl_;
    if (!d.Sendable(statements, timeout)) return false;
    const std::string text = RewriteBrackets(statements, d.current->quote);
    const StatementHandle statementHandle(d.current->handle.get());
    if (!d.Allocated(statementHandle)) return false;
    const SQLHSTMT stmt = statementHandle.get();
    const Running running(d, stmt);
    d.SetTimeout(stmt, timeout);
    // A failure that ends the batch: a cancel, a time-out, a connection the driver has given up
    // (whatever its words for it).
    const SQLHDBC dbc = d.current->handle.get();
    const auto breaksOff = [&](OdbcError& error) {
        SQLUINTEGER dead = SQL_CD_FALSE;
        error.connectionDead = SQL_SUCCEEDED(SQLGetConnectAttr(dbc, SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr)) &&
                               dead == SQL_CD_TRUE;
        if (!error.connectionDead && !BreaksOff(error)) return false;
        d.lastError = error;
        SQLCancel(stmt);
        return true;
    };
    std::u16string wide = CodePage::Process().ToUtf16(text);
    auto* sql = reinterpret_cast<SQLWCHAR*>(wide.data());
    SQLRETURN rc = UntilDone([&] { return SQLExecDirectW(stmt, sql, static_cast<SQLINTEGER>(wide.size())); });
    // SQL_NO_DATA at first: a statement that touched no rows, a result like any other; from
    // SQLMoreResults: the batch's end.
    for (;;) {
        if (rc == SQL_ERROR) {
            BatchResult failed;
            failed.ok = false;
            failed.error = DiagnoseStatement(stmt);
            if (breaksOff(failed.error)) return false;
            each(failed);
        }
        if (rc != SQL_ERROR || OnResultSet(stmt)) {
            BatchResult result = ReadResult(stmt, rc);
            if (!result.ok && breaksOff(result.error)) return false;
            if (result.count >= 0) d.rowsAffected = std::max<long>(d.rowsAffected, 0) + result.count;
            each(result);
        }
        rc = UntilDone([&] { return SQLMoreResults(stmt); });
        if (rc == SQL_NO_DATA) break;
    }
    std::lock_guard cancelLock(d.runningLock);
    if (d.cancelled) {
        OdbcError cancelled;
        cancelled.state = "HY008";
        cancelled.message = ProgramText("操作已取消。");
        d.lastError = cancelled;
        return false;
    }
    return true;
}

void ODBCDB::Cancel() {
    std::lock_guard lock(impl_->runningLock);
    if (impl_->running == SQL_NULL_HSTMT) return;
    impl_->cancelled = true;
    SQLCancel(impl_->running);
}

long ODBCDB::RowsAffected() const {
    std::lock_guard lock(impl_->operation);
    return impl_->rowsAffected;
}

OdbcError ODBCDB::LastError() const {
    std::lock_guard lock(impl_->operation);
    OdbcError error = impl_->lastError;
    // A driver may word a broken link as anything ("Unknown error"); it can say whether the
    // connection is dead.
    if (!error.Empty() && impl_->current && impl_->current->handle.get() != SQL_NULL_HDBC) {
        SQLUINTEGER dead = SQL_CD_FALSE;
        if (SQL_SUCCEEDED(SQLGetConnectAttr(impl_->current->handle.get(), SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr)))
            error.connectionDead = dead == SQL_CD_TRUE;
    }
    return error;
}

// ---- Values and diagnostics ---------------------------------------------------------------------

std::string OdbcError::Describe() const {
    const auto line = [](const OdbcError& e) {
        if (e.state.empty()) return e.message;
        return "[" + e.state + "] (" + std::to_string(e.native) + ") " + e.message;
    };
    std::string out = line(*this);
    for (const OdbcError& m : more) out += "\n" + line(m);
    return out;
}

std::string ColumnValue::Text() const {
    struct Visitor {
        std::string operator()(std::monostate) const { return {}; }
        std::string operator()(const std::string& s) const { return s; }
        std::string operator()(std::uint8_t v) const { return std::to_string(v); }
        std::string operator()(std::int16_t v) const { return std::to_string(v); }
        std::string operator()(std::int32_t v) const { return std::to_string(v); }
        std::string operator()(bool v) const { return v ? "1" : "0"; }
        std::string operator()(float v) const { return Shortest(v); }
        std::string operator()(double v) const { return Shortest(v); }
        std::string operator()(DateTimeValue v) const {
            const auto seconds = std::llround(v.days * 86400.0);
            const long long day = (seconds >= 0 ? seconds : seconds - 86399) / 86400;
            const long long inDay = seconds - day * 86400;
            long long y = 0;
            unsigned m = 0, d = 0;
            CivilFromDays(day + kDaysTo18991230, y, m, d);
            char text[128];
            std::snprintf(text, sizeof text, "%04lld-%02u-%02u %02lld:%02lld:%02lld", y, m, d, inDay / 3600,
                          inDay / 60 % 60, inDay % 60);
            return text;
        }
        std::string operator()(const Bytes& bytes) const {
            static constexpr char kHex[] = "0123456789ABCDEF";
            std::string out;
            for (unsigned char b : bytes) {
                out += kHex[b >> 4];
                out += kHex[b & 0xF];
            }
            return out;
        }
    };
    return std::visit(Visitor{}, value_);
}

std::string RewriteBrackets(std::string_view statement, char quote, const CodePage& codePage) {
    std::string out;
    out.reserve(statement.size());
    bool literal = false;
    for (std::size_t pos = 0; pos < statement.size();) {
        const std::size_t n = codePage.CharLength(statement, pos);
        const char c = statement[pos];
        const bool doubled = pos + 1 < statement.size() && statement[pos + 1] == c;
        if (n == 1 && c == '\'') {
            if (literal && doubled) {
                out += "''";
                pos += 2;
                continue;
            }
            literal = !literal;
        } else if (n == 1 && !literal && (c == '[' || c == ']')) {
            out += doubled ? c : quote;
            pos += doubled ? 2 : 1;
            continue;
        }
        out.append(statement.substr(pos, n));
        pos += n;
    }
    return out;
}

}  // namespace tarvex
