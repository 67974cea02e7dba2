#pragma once
// How an action reports while it runs: the conversion of one account set, the batch and the
// restore all take a Report, and each place that shows one implements what it shows: the window
// (app/window_report.h), the batch and restore dialogs (app/dialog_report.h), the command line
// (cli/), the tests' and benches' recorders. Every event does nothing unless overridden, so a
// report takes only the events its place shows. Called on the thread that runs the action,
// except Elapsed.
//
// All texts are in the code page of the process.

#include <chrono>
#include <string>

namespace tarvex {

struct AccountSetEntry;
struct BatchRow;
struct TableCopy;

class Report {
public:
    virtual ~Report() = default;

    // One line of the log, ending in "\r\n".
    virtual void Log(const std::string& /*line*/) {}
    // A step of the progress: the copy of the catalogue's table at `position` (1..34) has ended,
    // well or not.
    virtual void Copied(int /*position*/, const TableCopy& /*copy*/) {}
    // A question with Yes and No; No is the default answer.
    virtual bool Ask(const std::string& /*question*/) { return false; }
    // The pause between two steps.
    virtual void Pause(int /*milliseconds*/) {}
    // Whether to stop once the statement under way has ended (a Cancel, Ctrl+C); a restore asks
    // it on its own thread too, and cancels a restore under way at the server.
    virtual bool Cancelled() { return false; }

    // A batch's: set `n` (1-based) of `total` begins with `set`, and has ended as `row` says.
    virtual void SetBegins(int /*n*/, int /*total*/, const AccountSetEntry& /*set*/) {}
    virtual void SetEnded(int /*n*/, const BatchRow& /*row*/) {}
    // A restore's: the server has processed `percent` of it (its "n percent processed."; through
    // FreeTDS they all come when the restore ends), and, about every second while the server
    // restores, the time since it began. Elapsed comes on a thread of the restore's own, which
    // must not touch a window.
    virtual void Percent(int /*percent*/) {}
    virtual void Elapsed(std::chrono::seconds /*elapsed*/) {}
};

}  // namespace tarvex
