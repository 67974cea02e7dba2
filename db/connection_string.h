#pragma once
// The layer between a connection string and the driver that answers to "SQL Server" on this
// platform, FreeTDS (1.3). It is the only code that knows about FreeTDS. ODBCDB hands it the
// string exactly as its caller built it; the layer makes FreeTDS read it as SQL Server's own
// driver reads it on Windows:
//
//  - SERVER "." or "(local)", in any case, alone or before ",port" or "\instance", names this
//    computer: FreeTDS cannot resolve them, so they become 127.0.0.1.
//  - A SERVER without a port or an instance (and no PORT key) gets SQL Server's default port,
//    ",1433": FreeTDS reads no configuration file for SERVER= and refuses a server without one.
//  - Values are read as ODBC defines them: a value in braces {...} may hold ";" and writes "}"
//    as "}}". FreeTDS 1.3 does not undouble "}}" and ends a braced value at the first "};", so
//    each value is written the way FreeTDS reads it back unchanged: bare unless it holds ";" or
//    starts with "{", else in braces, with nothing doubled and always followed by ";".
//  - The string reaches the driver with its characters intact: it is converted from the code
//    page of the process to UTF-16 and connected with SQLDriverConnectW (the narrow entry point
//    makes FreeTDS read it as Latin-1). The completed string comes back the same way.
//
// Everything else (keys, their order, other values) is left as the user typed it.

#include <string>
#include <string_view>

#include <sql.h>
#include <sqlext.h>

#include "codepage.h"

namespace tarvex {

struct DriverConnectionString {
    std::string text;     // the string for the driver, in the same code page as the input
    std::string problem;  // why the input cannot be used; empty when it can
    bool Ok() const { return problem.empty(); }
};

// Rewrites a connection string for FreeTDS as described above, stepping over whole characters
// of `codePage`.
DriverConnectionString ForDriver(std::string_view connectionString, const CodePage& codePage = CodePage::Process());

// Connects the allocated connection handle `dbc` with a string made by ForDriver (in the code
// page of the process; empty: no string at all). `completed` receives the completed connection
// string the driver returned, at most 511 characters. Returns the driver manager's answer.
SQLRETURN DriverConnect(SQLHDBC dbc, std::string_view driverString, SQLUSMALLINT completion, std::string& completed);

}  // namespace tarvex
