#pragma once
// The ODBC headers. On Windows they use the SDK's types, so <windows.h> comes first there.
// Only the narrow entry points without a suffix and the W ones are called: the A-suffixed ones
// are not implemented everywhere (wine's odbc32 ends the process in them).

#ifdef _WIN32
#include <windows.h>
#endif
#include <sql.h>
#include <sqlext.h>
