#pragma once
// What the command line needs of the console, where Linux and Windows differ: writing text,
// Ctrl+C, a password typed without echo, and a folder's absolute path. All of it is here, each
// system's in a file of its own: console_windows.cpp, console_posix.cpp.

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace tarvex {

// Writes `text` (in the code page of the process) to `stream`, stdout or stderr, at once. A
// Windows console takes it as UTF-16 (WriteConsoleW), which it shows whatever its own code page;
// a pipe or a file, and every stream on Linux, gets the bytes as they are.
void Write(std::FILE* stream, std::string_view text);

// Whether `stream` (stdout, stderr) leads to a terminal (a console on Windows), where a line may
// be written over.
bool IsTerminal(std::FILE* stream);
// On a terminal: writes `text` (one line, no line end) over the line the cursor is on, whatever
// that held, and leaves the cursor at its end.
void ReplaceLine(std::FILE* stream, std::string_view text);

// Ctrl+C, and the other ways a scheduler or a closed terminal asks a program to end (SIGTERM,
// SIGHUP; Ctrl+Break and the console's close on Windows), while it lives. The first one is
// acknowledged on stderr at once, sets the flag the batch polls between statements
// (Report::Cancelled), and calls what CancelWith gave, which cancels the statement under
// way, so that the batch drops the temporary database and stops. A second one ends the
// process at once with 130, saying what may be left on the server. A closed standard output
// ends nothing (SIGPIPE is ignored). One at a time.
class Interruption {
public:
    // What an interruption stops, for what it says: a batch (its temporary database), a restore
    // (the database it began) or a check of a folder (nothing to clean up).
    enum class Of { Batch, Restore, Check };
    explicit Interruption(Of of = Of::Batch);
    ~Interruption();
    Interruption(const Interruption&) = delete;
    Interruption& operator=(const Interruption&) = delete;

    bool Requested() const;

    // While the returned object lives, the first interruption also calls `cancel`, on a thread
    // of its own.
    class Cancelling {
    public:
        ~Cancelling();
        Cancelling(const Cancelling&) = delete;
        Cancelling& operator=(const Cancelling&) = delete;

    private:
        friend class Interruption;
        Cancelling() = default;
    };
    [[nodiscard]] std::unique_ptr<Cancelling> CancelWith(std::function<void()> cancel) const;

    // While it lives, threads that the calling thread starts take no interruption of their own
    // (on Linux they block the signals, so that no call of the driver's is broken off by one).
    class ThreadsShielded {
    public:
        ThreadsShielded();
        ~ThreadsShielded();
        ThreadsShielded(const ThreadsShielded&) = delete;
        ThreadsShielded& operator=(const ThreadsShielded&) = delete;

    private:
        struct Saved;
        std::unique_ptr<Saved> saved_;
    };

private:
    struct Saved;
    std::unique_ptr<Saved> saved_;
};

// A line typed at a prompt (on stderr) without echo, when standard input is a terminal.
struct HiddenLine {
    enum class End { Read, NotTerminal, Interrupted, Closed };
    End end = End::NotTerminal;
    std::string text;
};
HiddenLine ReadHiddenLine(const std::string& prompt, const Interruption& interruption);

// `folder` as an absolute path without a trailing separator (the server, which writes the
// backups, has a working directory of its own).
std::string AbsoluteFolder(const std::string& folder);

}  // namespace tarvex
