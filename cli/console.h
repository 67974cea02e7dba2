#pragma once
// What the command line needs of the console, where Linux and Windows differ: writing text,
// Ctrl+C, a password typed without echo, and a folder's absolute path. All of it is here.

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

namespace tarvex {

// Writes `text` (in the code page of the process) to `stream`, stdout or stderr, at once. A
// Windows console takes it as UTF-16 (WriteConsoleW), which it shows whatever its own code page;
// a pipe or a file, and every stream on Linux, gets the bytes as they are.
void Write(std::FILE* stream, std::string_view text);

// Ctrl+C (and Ctrl+Break on Windows) while it lives only sets a flag: the batch polls it
// between statements (BatchReport::Cancelled) and stops as Cancel stops it. On Linux a signal
// handler sets it, on Windows the console's control handler. One at a time.
class Interruption {
public:
    Interruption();
    ~Interruption();
    Interruption(const Interruption&) = delete;
    Interruption& operator=(const Interruption&) = delete;

    bool Requested() const;

    // While it lives, threads that the calling thread starts take no Ctrl+C of their own (on
    // Linux they block the signal, so that it reaches the thread that polls the flag and no
    // call of the driver's is broken off by it).
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
