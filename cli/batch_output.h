#pragma once
// What the command line's batch says while it runs and at its end, fitted to where it goes: on a
// terminal one line per set that updates in place (set n of N, table k of 34, time taken and
// left); in a scheduler's log one line per set at its start and its end; --verbose the whole
// log and a line per table; --quiet nothing but errors. On stdout a tab-separated line per set,
// or with --json the whole summary as one JSON document at the end.

#include <chrono>
#include <string>

#include "batch.h"
#include "console.h"

namespace tarvex {

class ConsoleReport final : public Report {
public:
    enum class Detail { Quiet, Normal, Verbose };
    // `setLines`: a tab-separated line per set on stdout as each ends.
    ConsoleReport(const Interruption& interruption, Detail detail, bool setLines);

    void SetBegins(int n, int total, const AccountSetEntry& set) override;
    void Log(const std::string& line) override;
    void Copied(int position, const TableCopy& copy) override;
    void SetEnded(int n, const BatchRow& row) override;
    // The interruption has said so on stderr already.
    bool Cancelled() override { return interruption_.Requested(); }

private:
    std::string Progress() const;

    const Interruption& interruption_;
    const Detail detail_;
    const bool setLines_;
    const bool terminal_ = IsTerminal(stderr);
    const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point setStarted_;
    std::string set_;  // "[n/N] 2016/001/001 演示账套"
    int total_ = 0, n_ = 0, tables_ = 0;
};

// A JSON string of a text in the code page of the process, ASCII only (others as \uXXXX).
std::string JsonText(const std::string& narrow);

// The tab-separated line of a set, as a script reads it.
std::string SetLine(const BatchRow& row);

// The batch's summary as JSON (ASCII only: every other character as \uXXXX, so that any code
// page reads it): the folder, the summary file, why the batch stopped, the exit code, and per set
// year, unit code and name, account-set number and name, result, rows, tables with rows, file,
// SHA-256, check, notes and the server's version.
std::string SummaryJson(const BatchOutcome& outcome, const std::string& folder, bool folderFellBack, int exitCode);

}  // namespace tarvex
