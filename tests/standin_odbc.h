#pragma once
// The ODBC 2 calls that the tool makes, through unixODBC and FreeTDS's driver, for the
// stand-in's tests. Texts given and returned are UTF-8; on the narrow calls they travel in the
// process's code page, as the tool's do.

#include <iconv.h>
#include <langinfo.h>
#include <sql.h>
#include <sqlext.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace standintest {

inline std::string Convert(std::string_view text, const char* to, const char* from) {
    const iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error(std::string("iconv_open ") + to);
    std::string out(text.size() * 4 + 8, '\0');
    char* in = const_cast<char*>(text.data());
    std::size_t inLeft = text.size();
    char* dst = out.data();
    std::size_t outLeft = out.size();
    const std::size_t rc = iconv(cd, &in, &inLeft, &dst, &outLeft);
    iconv_close(cd);
    if (rc == static_cast<std::size_t>(-1)) throw std::runtime_error("cannot convert to " + std::string(to));
    out.resize(out.size() - outLeft);
    return out;
}

// The code page of the process, as FreeTDS takes it.
inline const char* LocalCodeset() { return nl_langinfo(CODESET); }
inline std::string ToLocal(std::string_view utf8) { return Convert(utf8, LocalCodeset(), "UTF-8"); }
inline std::string FromLocal(std::string_view text) { return Convert(text, "UTF-8", LocalCodeset()); }

struct Diagnostic {
    std::string state;
    SQLINTEGER native = 0;
    std::string text;
};

inline std::vector<Diagnostic> Errors(SQLHENV env, SQLHDBC dbc, SQLHSTMT stmt) {
    std::vector<Diagnostic> out;
    for (;;) {
        SQLCHAR state[6] = {};
        SQLCHAR text[1024] = {};
        SQLINTEGER native = 0;
        SQLSMALLINT length = 0;
        if (!SQL_SUCCEEDED(SQLError(env, dbc, stmt, state, &native, text, sizeof text, &length))) break;
        out.push_back({reinterpret_cast<char*>(state), native, FromLocal(reinterpret_cast<char*>(text))});
    }
    return out;
}

inline bool HasNative(const std::vector<Diagnostic>& diagnostics, SQLINTEGER native) {
    for (const Diagnostic& d : diagnostics)
        if (d.native == native) return true;
    return false;
}

inline std::string Describe(const std::vector<Diagnostic>& diagnostics) {
    std::string out;
    for (const Diagnostic& d : diagnostics) out += d.state + " " + std::to_string(d.native) + " " + d.text + "\n";
    return out;
}

// UTF-8 as the SQLWCHAR (UTF-16) text of the wide calls, zero-terminated.
inline std::vector<SQLWCHAR> ToWide(std::string_view utf8) {
    const std::string wide = Convert(utf8, "UTF-16LE", "UTF-8");
    std::vector<SQLWCHAR> text(wide.size() / 2 + 1, 0);
    for (std::size_t k = 0; k < wide.size() / 2; ++k)
        text[k] = static_cast<SQLWCHAR>(static_cast<unsigned char>(wide[2 * k]) | (static_cast<unsigned char>(wide[2 * k + 1]) << 8));
    return text;
}

// The tool's connection string, with the host and port of a stand-in.
inline std::string ToolConnectionString(int port, std::string_view database, std::string_view user = "sa",
                                        std::string_view password = "1") {
    return "DRIVER=SQL Server;SERVER=127.0.0.1," + std::to_string(port) + ";UID=" + std::string(user) +
           ";PWD=" + std::string(password) + ";WSID=AUDIT-PC;DATABASE=" + std::string(database);
}

// An environment and a connection (SQLAllocEnv, SQLAllocConnect), freed with it.
class Client {
public:
    Client() {
        SQLAllocEnv(&env_);
        SQLAllocConnect(env_, &dbc_);
    }
    ~Client() {
        if (connected_) SQLDisconnect(dbc_);
        SQLFreeConnect(dbc_);
        SQLFreeEnv(env_);
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // SQLDriverConnectW: the narrow call would read the string as Latin-1.
    SQLRETURN Connect(std::string_view utf8) {
        std::vector<SQLWCHAR> text = ToWide(utf8);
        SQLWCHAR out[1024];
        SQLSMALLINT outLength = 0;
        SQLSetConnectOption(dbc_, SQL_LOGIN_TIMEOUT, 15);
        const SQLRETURN rc = SQLDriverConnectW(dbc_, nullptr, text.data(), SQL_NTS, out, 1024, &outLength, SQL_DRIVER_NOPROMPT);
        connected_ = SQL_SUCCEEDED(rc);
        return rc;
    }

    std::vector<Diagnostic> Errors() const { return standintest::Errors(env_, dbc_, SQL_NULL_HSTMT); }
    SQLHENV Env() const { return env_; }
    SQLHDBC Dbc() const { return dbc_; }

private:
    SQLHENV env_ = SQL_NULL_HENV;
    SQLHDBC dbc_ = SQL_NULL_HDBC;
    bool connected_ = false;
};

using Row = std::vector<std::optional<std::string>>;

class Statement {
public:
    explicit Statement(const Client& client) : client_(client) { SQLAllocStmt(client.Dbc(), &stmt_); }
    ~Statement() { SQLFreeStmt(stmt_, SQL_DROP); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    // What the tool's OpenTable sets: a static, read-only cursor and a statement time-out.
    void UseStaticCursor(SQLULEN timeoutSeconds = 15) {
        SQLSetStmtOption(stmt_, SQL_CURSOR_TYPE, SQL_CURSOR_STATIC);
        SQLSetStmtOption(stmt_, SQL_CONCURRENCY, SQL_CONCUR_READ_ONLY);
        SetTimeout(timeoutSeconds);
    }
    void SetTimeout(SQLULEN seconds) { SQLSetStmtOption(stmt_, SQL_QUERY_TIMEOUT, seconds); }

    SQLRETURN Prepare(std::string_view utf8) {
        const std::string local = ToLocal(utf8);
        return SQLPrepare(stmt_, reinterpret_cast<SQLCHAR*>(const_cast<char*>(local.c_str())), SQL_NTS);
    }
    SQLRETURN Execute() { return SQLExecute(stmt_); }
    SQLRETURN ExecDirect(std::string_view utf8) {
        const std::string local = ToLocal(utf8);
        return SQLExecDirect(stmt_, reinterpret_cast<SQLCHAR*>(const_cast<char*>(local.c_str())), SQL_NTS);
    }
    // The wide calls: the text travels intact whatever the process's code page.
    SQLRETURN PrepareW(std::string_view utf8) {
        std::vector<SQLWCHAR> text = ToWide(utf8);
        return SQLPrepareW(stmt_, text.data(), SQL_NTS);
    }
    SQLRETURN ExecDirectW(std::string_view utf8) {
        std::vector<SQLWCHAR> text = ToWide(utf8);
        return SQLExecDirectW(stmt_, text.data(), SQL_NTS);
    }
    // Prepare and execute: the tool's way for both of its calls.
    SQLRETURN Run(std::string_view utf8) {
        const SQLRETURN rc = Prepare(utf8);
        return SQL_SUCCEEDED(rc) ? Execute() : rc;
    }

    SQLLEN RowCount() {
        SQLLEN n = -2;
        SQLRowCount(stmt_, &n);
        return n;
    }

    // One row by SQLExtendedFetch (rowset of one) and SQLGetData; nothing at the end.
    std::optional<Row> Fetch(SQLUSMALLINT orientation = SQL_FETCH_NEXT, SQLLEN offset = 0) {
        SQLULEN fetched = 0;
        SQLUSMALLINT status[1];
        const SQLRETURN rc = SQLExtendedFetch(stmt_, orientation, offset, &fetched, status);
        if (rc == SQL_NO_DATA) return std::nullopt;
        if (!SQL_SUCCEEDED(rc)) throw std::runtime_error("SQLExtendedFetch: " + Describe(Errors()));
        SQLSMALLINT columns = 0;
        SQLNumResultCols(stmt_, &columns);
        Row row;
        for (SQLUSMALLINT c = 1; c <= columns; ++c) {
            char buffer[8192];
            SQLLEN indicator = 0;
            SQLGetData(stmt_, c, SQL_C_CHAR, buffer, sizeof buffer, &indicator);
            if (indicator == SQL_NULL_DATA) {
                row.emplace_back();
            } else {
                row.emplace_back(FromLocal(buffer));
            }
        }
        return row;
    }

    std::vector<Row> FetchAll() {
        std::vector<Row> rows;
        while (std::optional<Row> r = Fetch()) rows.push_back(std::move(*r));
        return rows;
    }

    struct Column {
        std::string name;
        SQLSMALLINT type = 0;
        SQLULEN size = 0;
        SQLSMALLINT scale = 0;
    };
    Column DescribeColumn(SQLUSMALLINT column) {
        SQLCHAR name[256] = {};
        SQLSMALLINT length = 0, nullable = 0;
        Column c;
        SQLDescribeCol(stmt_, column, name, sizeof name, &length, &c.type, &c.size, &c.scale, &nullable);
        c.name = FromLocal(reinterpret_cast<char*>(name));
        return c;
    }

    SQLRETURN MoreResults() { return SQLMoreResults(stmt_); }
    SQLRETURN Cancel() { return SQLCancel(stmt_); }
    std::vector<Diagnostic> Errors() const { return standintest::Errors(client_.Env(), client_.Dbc(), stmt_); }
    SQLHSTMT Handle() const { return stmt_; }

private:
    const Client& client_;
    SQLHSTMT stmt_ = SQL_NULL_HSTMT;
};

}  // namespace standintest
