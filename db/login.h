#pragma once
// Log-in: checks the connection inputs, keeps their trimmed values as the log-in settings,
// builds the connection string and opens the connection.

#include <optional>
#include <string>
#include <string_view>

#include "codepage.h"
#include "odbcdb.h"
#include "window_port.h"

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

// The text of an input that goes to the server, or why it cannot: a character that the code
// page of the process cannot hold would reach the server as '?'.
struct Input {
    std::string text;
    std::string problem;  // a message for the user; empty when the text can be sent
    bool Ok() const { return problem.empty(); }
};
Input ReadInput(Window& window, Control control);

// The restored database's name as every action uses it: the text of 编辑框4 trimmed as for
// log-in, so that the database the log-in opened is the one the lookup and the copies read.
Input DatabaseName(Window& window);

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

// The window's four inputs as a log-in takes them: server, user and password not empty, every
// text one the code page of the process can hold, each trimmed. Nullopt once a notice has told
// the user what is wrong.
std::optional<LoginSettings> ReadLoginSettings(Window& window);

// The action of 按钮1, on the window's thread: the window repaints but takes no input while
// the connection opens, and the driver's log-in dialog, if it shows one, is the window's. True
// when the connection opened.
bool Login(Window& window, Database& database, LoginSettings& settings);

}  // namespace tarvex
