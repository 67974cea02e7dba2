#include "login_account.h"

#include "codepage.h"
#include "login.h"

namespace tarvex {

LoginFacts ReadLoginFacts(ODBCDB& db) {
    // SERVERPROPERTY answers a sql_variant, which drivers need not read as text: cast, it is text.
    const auto rows = db.ReadAllText("SELECT SUSER_SNAME(), CAST(SERVERPROPERTY('ProductVersion') AS nvarchar(128)), "
                                     "CAST(SERVERPROPERTY('Edition') AS nvarchar(128))");
    if (!rows || rows->size() != 1 || rows->front().size() != 3) return {};
    const std::vector<std::string>& row = rows->front();
    return {row[0], row[1].empty() ? std::string() : row[1] + " " + row[2]};
}

std::string AccountLabel(const LoginSettings& settings, const std::string& account) {
    if (!settings.WindowsLogin) return account.empty() ? settings.User : account;
    return account.empty() ? ProgramText("Windows身份验证") : account + ProgramText("（Windows身份验证）");
}

}  // namespace tarvex
