#pragma once
// The window's actions: log-in (按钮1), the account-set chooser's lookup and selection (组合框1),
// the extraction run (按钮4) and the export (按钮2). Each reads the window's fields and shows its
// outcome through the window's port (window_port.h); the work itself is the connection's
// (login.h, account_sets.h) and the conversion's (conversion.h).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "login.h"
#include "window_port.h"

namespace tarvex {

class ConversionLedger;
class Database;

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

// The window's four inputs as a log-in takes them: server, user and password not empty, every
// text one the code page of the process can hold, each trimmed. Nullopt once a notice has told
// the user what is wrong.
std::optional<LoginSettings> ReadLoginSettings(Window& window);

// The action of 按钮1, on the window's thread: the window repaints but takes no input while
// the connection opens, and the driver's log-in dialog, if it shows one, is the window's. True
// when the connection opened.
bool Login(Window& window, Database& database, LoginSettings& settings);

// Worker routines, started by the chooser's focus and selection events with the request number
// the handler took from Database::NewRequest.
void LookUpAccountSets(Window& window, Database& database, std::uint64_t request);
void ShowAccountSetCodes(Window& window, Database& database, std::uint64_t request);

// Runs on a worker thread that the action of 按钮4 started after it disabled the action
// buttons; enables them again when it ends. It reads the year, unit code, account-set number,
// the source database and the account set's name from the window once, as it starts.
// `pauseMilliseconds` is the pause after the account-set line and after every copy (one
// second). What the run copied goes into `ledger` as it goes, for the export.
void RunExtraction(Window& window, Database& database, ConversionLedger& ledger, int pauseMilliseconds = 1000);

// The action of 按钮2, on the window's thread: the conversion's export (conversion.h) of the
// temporary database into `programDirectory`, its outcome in a notice. `pauseMilliseconds` is
// the pause between its steps (one second). `fellBack`: the directory is the user's own folder
// instead of the program's, and the notice, which sends the user to the program's, says so.
void ExportAndCleanUp(Window& window, Database& database, ConversionLedger& ledger, std::string_view programDirectory,
                      int pauseMilliseconds = 1000, bool fellBack = false);

}  // namespace tarvex
