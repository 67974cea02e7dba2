#pragma once
// The layer between a connection string and the driver that answers to "SQL Server". ODBCDB
// hands it the string exactly as its caller built it. Which driver that is, the layer asks the
// driver manager (its list of drivers names each one's file), never the platform:
//
//  - Windows' own "SQL Server" driver (the auditors' machines) gets the string unchanged: it
//    reads "." as this computer's default instance and the keys as the window writes them.
//  - FreeTDS (1.3), registered as "SQL Server" on Linux with unixODBC, and under wine, whose
//    odbc32 hands every call to the host's unixODBC: the layer makes FreeTDS read the string
//    as SQL Server's own driver reads it. It is the only code that knows about FreeTDS:
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

#include "odbc_api.h"

#include "codepage.h"

namespace tarvex {

struct DriverConnectionString {
    std::string text;     // the string for the driver, in the same code page as the input
    std::string problem;  // why the input cannot be used; empty when it can
    bool Ok() const { return problem.empty(); }
};

// Whether the driver the driver manager lists under `name` is FreeTDS's (its Driver= file is
// libtdsodbc); false when no driver has that name.
bool DriverIsFreeTds(std::string_view name = "SQL Server");

// The string for the driver that answers to "SQL Server": ForDriver's when that is FreeTDS,
// otherwise the string itself.
DriverConnectionString ForSqlServerDriver(std::string_view connectionString);

// Rewrites a connection string for FreeTDS as described above, stepping over whole characters
// of `codePage`.
DriverConnectionString ForDriver(std::string_view connectionString, const CodePage& codePage = CodePage::Process());

// Connects the allocated connection handle `dbc` with a string made by ForDriver (in the code
// page of the process; empty: no string at all), the driver's dialog, if it shows one, owned by
// the window `owner` (the window system's handle; null: none). `completed` receives the
// completed connection string the driver returned, at most 511 characters. Returns the driver
// manager's answer.
SQLRETURN DriverConnect(SQLHDBC dbc, void* owner, std::string_view driverString, SQLUSMALLINT completion,
                        std::string& completed);

}  // namespace tarvex
