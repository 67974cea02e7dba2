#pragma once
// Who the server let in: the log-in as the server sees it, read once the connection is open,
// and how the records, the batch's summary and the logs name it.

#include <string>

#include "odbcdb.h"

namespace tarvex {

struct LoginSettings;

// What the log-in reads once connected, in one exchange: SUSER_SNAME(), a SQL log-in's name or
// a Windows log-in's account DOMAIN\user as the server names it, and the server's version as
// the records give it ("<ProductVersion> <Edition>"), which the export and the batch then need
// not ask. Each empty when the server did not say.
struct LoginFacts {
    std::string account;
    std::string serverVersion;
};
LoginFacts ReadLoginFacts(ODBCDB& db);

// The account for the records and logs: the server's name for it, "（Windows身份验证）" after it
// for a Windows log-in; where the server did not say, the user name the log-in sent (a Windows
// log-in: "Windows身份验证" alone).
std::string AccountLabel(const LoginSettings& settings, const std::string& account);

}  // namespace tarvex
