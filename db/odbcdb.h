#pragma once
// ODBCDB: the connection object through which every statement reaches SQL Server, over the
// narrow-character ODBC 2 call interface of the driver manager (unixODBC here). It holds at
// most one connection, opens read-only static record sets (at most 30 open at a time) and
// executes statements. Failures come back as false, a handle of 0 or an empty value; the
// diagnostics of the last failed call are kept for the caller to show.
//
// Every operation is atomic with respect to other threads. Cancel() may be called from any
// thread while another one is inside an operation.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "codepage.h"

namespace tarvex {

// Diagnostics of a failed call, as the driver reported them (SQLError).
struct OdbcError {
    std::string state;    // SQLSTATE, five characters; empty when there was no driver call
    long native = 0;      // the server's or driver's error number
    std::string message;  // in the code page of the process
    // The records the same call left after this first one, in the driver's order (for a failed
    // log-in, say, the driver's summary and then the server's reason with its error number).
    std::vector<OdbcError> more;
    // The driver reported the connection dead after the failure: the server went away or the
    // link broke, and nothing gets through it any more.
    bool connectionDead = false;

    bool Empty() const { return state.empty() && message.empty(); }
    // "[SQLSTATE] (native) message", one line per diagnostic record gathered.
    std::string Describe() const;
};

// A point in time as days since 30 December 1899, clamped to 1 January 100 .. 31 December 9999.
struct DateTimeValue {
    double days = 0;
    bool operator==(const DateTimeValue&) const = default;
};

// The value of one column of the current row.
class ColumnValue {
public:
    using Bytes = std::vector<unsigned char>;
    using Variant = std::variant<std::monostate,  // empty
                                 std::string,     // text
                                 std::uint8_t,    // byte
                                 std::int16_t, std::int32_t, float, double,
                                 bool,            // truth value
                                 DateTimeValue, Bytes>;

    ColumnValue() = default;
    explicit ColumnValue(Variant v) : value_(std::move(v)) {}

    const Variant& Get() const { return value_; }
    bool IsEmpty() const { return std::holds_alternative<std::monostate>(value_); }
    bool IsText() const { return std::holds_alternative<std::string>(value_) || IsEmpty(); }
    // The value as text: text as it is, the empty value as "", numbers in decimal, a truth value
    // as "1" or "0", a date-time as "YYYY-MM-DD hh:mm:ss", bytes in hexadecimal.
    std::string Text() const;

private:
    Variant value_;
};

// One result of a batch of statements (ODBCDB::ExecuteBatch), as the driver hands it over: a
// statement's count, its rows, or its failure.
struct BatchResult {
    bool ok = true;    // the driver reported no error with it
    long count = -1;   // the rows it affected (SQLRowCount); -1 when none was reported
    int columns = 0;   // a result set's columns; 0 for none
    std::vector<std::string> names;  // a result set's column names
    std::vector<std::vector<std::string>> rows;  // a result set's rows, each column as text ("" for NULL)
    OdbcError error;   // when !ok: the server's reason
    std::vector<OdbcError> messages;  // the informational messages that came with it
};

// A record-set handle names one open record set of the current connection; 0 names none.
using RecordSetHandle = std::uint32_t;

// How ExecuteSql hands a statement to the driver: prepared, then executed; or directly, unprepared,
// which takes the driver one exchange with the server instead of two (its prepare-and-execute,
// and the unprepare when the statement is freed). A batch sends hundreds of statements, each
// once: directly.
enum class Execution { Prepared, Direct };

// How long a statement may run: the connection's time-out (15 s, unless the driver refused
// it), none at all, or a number of seconds of the caller's choosing.
struct Timeout {
    static Timeout Default() { return Timeout{}; }
    static Timeout None() { return Timeout{0}; }
    static Timeout Seconds(int s) { return Timeout{s}; }
    std::optional<int> seconds;  // nullopt: the connection's; 0: none
};

// Whether the driver may ask the user for what a log-in lacks, in a dialog of its own. Windows'
// own driver shows its log-in dialog when the connection string lacks a detail or the server
// refuses it (SQL_DRIVER_COMPLETE), and needs a window to own it: without one it fails with
// IM008 ("Dialog failed") instead of the server's reason. A caller with a window gives its
// handle as the window system names it (opaque here; an HWND on Windows, none where no driver
// shows a dialog); a caller without one never lets the driver prompt (SQL_DRIVER_NOPROMPT).
class LoginPrompt {
public:
    static LoginPrompt Never() { return LoginPrompt(false, nullptr); }
    static LoginPrompt OverWindow(void* owner) { return LoginPrompt(true, owner); }
    bool Allowed() const { return allowed_; }
    void* Owner() const { return owner_; }

private:
    LoginPrompt(bool allowed, void* owner) : allowed_(allowed), owner_(owner) {}
    bool allowed_;
    void* owner_;
};

class ODBCDB {
public:
    static constexpr int kMaxRecordSets = 30;
    static constexpr int kLoginTimeoutSeconds = 15;
    static constexpr int kStatementTimeoutSeconds = 15;

    ODBCDB();
    ~ODBCDB();  // closes the connection
    ODBCDB(const ODBCDB&) = delete;
    ODBCDB& operator=(const ODBCDB&) = delete;

    // Opens a connection from a complete connection string (in the code page of the process)
    // and makes it current, closing the previous one only once the new one is established.
    // A failed open leaves the current connection as it was. With a prompt allowed, an empty
    // string lets the driver ask for everything (SQL_DRIVER_PROMPT).
    bool NewOpenDatabase(std::string_view connectionString, LoginPrompt prompt = LoginPrompt::Never(),
                         bool readOnly = false);
    void CloseDatabase();
    bool IsOpen() const;
    // "ODBC;" followed by the completed connection string the driver returned.
    std::string ConnectString() const;
    // The driver's identifier quote character; a blank when it reports none.
    char IdentifierQuote() const;

    // Opens a read-only static record set on the current row 1; 0 when none could be opened
    // (no connection, no free slot, the statement failed or returned no rows).
    RecordSetHandle OpenTable(std::string_view statement, Timeout timeout = Timeout::Default());
    void MoveFirst(RecordSetHandle handle);
    void MoveNext(RecordSetHandle handle);
    bool IsEOF(RecordSetHandle handle);
    // Number of rows counted when the record set was opened; 0 for a handle that names none.
    long RowCount(RecordSetHandle handle);
    // Column numbers count from 1; a bad handle or number gives the empty value.
    ColumnValue ReadColByIndex(RecordSetHandle handle, int column);
    ColumnValue ReadColByName(RecordSetHandle handle, std::string_view name);
    // Closes one record set and frees its slot; a handle that names none is ignored.
    void CloseRecordSet(RecordSetHandle handle);

    // Executes a statement and reads every result and message it produces, so that it returns
    // only when the statement has finished at the server. True when it ran without an error.
    bool ExecuteSql(std::string_view statement, Timeout timeout = Timeout::Default(),
                    Execution execution = Execution::Prepared);
    // ExecuteSql that also gives the server's informational messages, each as a record of its own
    // in the order the driver lists them: a RESTORE's "n percent processed." (3211) and its end
    // (3014), say. A failed statement's messages are in LastError() with its errors.
    bool ExecuteSql(std::string_view statement, Timeout timeout, Execution execution,
                    std::vector<OdbcError>& messages);
    // The same, with every row of every result as text ("" for NULL), as ReadAllText reads them.
    bool ExecuteSql(std::string_view statement, Timeout timeout, Execution execution,
                    std::vector<OdbcError>& messages, std::vector<std::vector<std::string>>& rows);
    // Executes a statement directly as ExecuteSql does, reading its rows as they come instead of
    // through a cursor (one exchange with the server, however many rows): every row of every
    // result, each column as text ("" for NULL), and, when asked, the names of the first
    // result's columns. Nullopt when it failed.
    std::optional<std::vector<std::vector<std::string>>> ReadAllText(std::string_view statement,
                                                                     Timeout timeout = Timeout::Default(),
                                                                     std::vector<std::string>* columnNames = nullptr);
    // Sends a batch of statements directly, in one exchange, and hands each of its results to
    // `each` as it arrives (on the calling thread), so that a caller can show each statement's
    // end as the server reports it. A statement that fails is a result like the others, and the
    // results after it follow. False when the batch could not be sent or was broken off (a
    // cancel, a time-out, a lost connection): LastError() then says why, and the results of the
    // statements still to run are not read.
    bool ExecuteBatch(std::string_view statements, Timeout timeout, const std::function<void(const BatchResult&)>& each);

    // The rows the server reported the last ExecuteSql to have affected (a select-into: the rows
    // copied); -1 when it reported no count.
    long RowsAffected() const;

    // Cancels the statement that another thread is running on this object now, if any.
    void Cancel();

    // Why the last NewOpenDatabase, OpenTable, ExecuteSql, MoveFirst or MoveNext failed: the
    // driver's diagnostics, or (state empty) the object's own reason, such as no free slot.
    // Empty when that call succeeded.
    OdbcError LastError() const;

    struct Impl;

private:
    bool Run(std::string_view statement, Timeout timeout, Execution execution,
             std::vector<std::vector<std::string>>* rows, std::vector<std::string>* columnNames,
             std::vector<OdbcError>* messages = nullptr);

    std::unique_ptr<Impl> impl_;
};

// Bracket rewriting: outside single-quoted literals "[[" becomes "[", "]]" becomes "]" and a
// single bracket becomes `quote`; literals and whole multibyte characters of the code page
// pass unchanged.
std::string RewriteBrackets(std::string_view statement, char quote, const CodePage& codePage = CodePage::Process());

}  // namespace tarvex
