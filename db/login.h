#pragma once
// Log-in: the log-in settings, their trimmed values, the connection string built from them and
// opening the connection. The window's action that reads them from its fields is in app/
// (window_actions.h).

#include <optional>
#include <string>
#include <string_view>

#include "codepage.h"
#include "odbcdb.h"

namespace tarvex {

class Database;

// The four trimmed texts of the last log-in that passed the empty-field check.
struct LoginSettings {
    std::string Server;
    std::string User;
    std::string Password;
    std::string Database;
    // Windows log-in: the server is asked to trust this computer's Windows user (Kerberos or
    // NTLM through the driver); User and Password are not sent.
    bool WindowsLogin = false;
    // After the log-in: the server's name for the log-in and its version (ReadLoginFacts);
    // empty when not known.
    std::string Account{};
    std::string ServerVersion{};
};

// Releases the four texts, in the order server, user, password, database.
void ReleaseLoginSettings(LoginSettings& settings);

// Removes blanks at both ends: the ASCII space and the full-width space U+3000 (A1 A1 in GBK),
// stepping over whole characters so that the bytes of a blank only count where they begin one.
std::string TrimBlanks(std::string_view text, const CodePage& codePage = CodePage::Process());

// "DRIVER=SQL Server;SERVER=…;UID=…;PWD=…;WSID=…;DATABASE=…". A value that holds ";", "{" or "}"
// goes in braces with "}" doubled, as ODBC defines, so that it cannot add keys of its own;
// every other value stands as it is. A Windows log-in has "Trusted_Connection=Yes" in place of
// UID and PWD.
std::string BuildConnectionString(const LoginSettings& settings, const CodePage& codePage = CodePage::Process());

// What opening a connection came to: whether it opened, and the driver's reason when not.
struct Opened {
    bool ok = false;
    OdbcError error;
    // Once open: the log-in as the server sees it (SUSER_SNAME()), which the driver's own
    // dialog may have changed, and the server's version (ReadLoginFacts); empty when not said.
    std::string account;
    std::string serverVersion;
};
// Opens the connection of `settings` on the database thread, replacing the current one once
// it is open; nullopt when the database is shutting down. On the window's thread the window
// repaints but takes no input meanwhile. `prompt`: whether the driver may ask the user, and
// over which window. `readFacts`: once open, read the account and the server's version
// (ReadLoginFacts) for the records to come; a log-in that writes none spares the exchange.
std::optional<Opened> OpenConnection(Database& database, const LoginSettings& settings, LoginPrompt prompt,
                                     bool readFacts = false);

}  // namespace tarvex
