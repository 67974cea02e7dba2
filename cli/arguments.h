#pragma once
// The words of the command line: the command, its options, or why they cannot be taken.
// Arguments come in the code page of the process, as the system hands them to main; every
// text here is in it too.

#include <optional>
#include <string>
#include <vector>

namespace tarvex {

// An account set as the command line names it: "2016/001/001".
struct SetCodes {
    std::string year, unitCode, accountSetNumber;
    bool operator==(const SetCodes&) const = default;
};

struct Arguments {
    enum class Command { Help, Version, List, Convert, DropTemporary, Restore, Verify };
    Command command = Command::Help;
    // The connection, trimmed as the window's log-in trims its fields: `database` is the source
    // database that list and convert read.
    std::string server, user, database;
    // restore --as: the restored database's new name (restore takes --database for it as well, as
    // before --as came); nullopt: the backup's own.
    std::optional<std::string> restoreAs;
    std::string file;                     // restore --file: the backup, as the server reads it
    int position = 0;                     // restore --position: the full backup's set; 0: chosen
    std::optional<std::string> password;  // --password; the environment and the prompt come later
    std::vector<std::string> years;       // --year, in the order given
    std::vector<SetCodes> sets;           // --set, in the order given
    bool all = false;                     // --all
    // --folder: convert's backups go there, without it into the program's own folder; verify's
    // folder to check, which it needs.
    std::optional<std::string> folder;
    std::optional<std::string> manifest;  // verify --manifest: the sizes and SHA-256 written there
    bool restoreCheck = false;            // verify --restore-check: each backup restored on the server
    bool header = false;                  // list --header
    bool verbose = false;                 // convert --verbose: the conversion's whole log on stderr
    bool quiet = false;                   // convert --quiet: only errors and the summary's path
    bool json = false;                    // convert, verify --json: the outcome as JSON on stdout
    bool skipDone = false;                // convert --skip-done: sets converted before are skipped
    bool windowsLogin = false;            // --windows-login: as this computer's Windows user, no password
    bool userGiven = false;               // --user was given
    bool connectionGiven = false;         // --server, --user, --password or --windows-login was given
};

struct ParsedArguments {
    Arguments arguments;
    std::string problem;  // why the command line cannot be taken, for the user; empty when it can
    bool Ok() const { return problem.empty(); }
};

// `words` without the program's name.
ParsedArguments ParseArguments(const std::vector<std::string>& words);

// What --help prints.
std::string UsageText();

// The name of the environment variable that carries the password.
inline constexpr const char* kPasswordVariable = "TARVEX_PASSWORD";

}  // namespace tarvex
