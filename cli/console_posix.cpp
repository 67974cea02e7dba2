#include "console.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "console_state.h"
#include "file_paths.h"

namespace tarvex {

using namespace console_state;

namespace {

// The signals that ask the program to end, and the pipe through which the first one wakes the
// thread that cancels (a handler may call nothing that takes a lock).
constexpr int kEndSignals[] = {SIGINT, SIGTERM, SIGHUP};
int wakePipe[2] = {-1, -1};

void OnInterrupt(int) {
    if (lineOpen.exchange(false)) (void)!::write(STDERR_FILENO, "\n", 1);
    const bool first = interruptions.fetch_add(1) == 0;
    const std::string& text = first ? acknowledgement : lastWords;
    (void)!::write(STDERR_FILENO, text.data(), text.size());
    if (!first) _exit(130);
    (void)!::write(wakePipe[1], "!", 1);
}

}  // namespace

void Write(std::FILE* stream, std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
    Track(stream, text);
}

bool IsTerminal(std::FILE* stream) { return ::isatty(::fileno(stream)) == 1; }

// "\x1b[K" clears what is left of the line: every terminal emulator since the VT100 takes it.
void ReplaceLine(std::FILE* stream, std::string_view text) {
    Track(stream, text, true);
    Write(stream, "\r" + std::string(text) + "\x1b[K");
}

struct Interruption::Saved {
    struct sigaction previous[std::size(kEndSignals)]{};
    struct sigaction previousPipe {};
    std::thread canceller;  // waits for the first interruption's byte, then cancels
};
struct Interruption::ThreadsShielded::Saved {
    sigset_t previous{};
};

Interruption::Interruption(Of of) : saved_(std::make_unique<Saved>()) {
    interruptions.store(0);
    MakeTexts(of);
    if (::pipe2(wakePipe, O_CLOEXEC) == 0) {
        const ThreadsShielded shielded;
        saved_->canceller = std::thread([] {
            for (char c = 0;;) {
                const ssize_t n = ::read(wakePipe[0], &c, 1);
                if (n == 1) Cancel();
                else if (n == 0 || errno != EINTR) return;
            }
        });
    }
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    // Interrupted calls go on (a write to a full pipe keeps its line); the password prompt
    // waits in poll(), which returns at a signal all the same, and looks at the flag.
    action.sa_flags = SA_RESTART;
    for (std::size_t k = 0; k < std::size(kEndSignals); ++k) sigaction(kEndSignals[k], &action, &saved_->previous[k]);
    // A reader that went away (a pipe into `head`) makes writes fail, not the program end.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &saved_->previousPipe);
}

Interruption::~Interruption() {
    for (std::size_t k = 0; k < std::size(kEndSignals); ++k) sigaction(kEndSignals[k], &saved_->previous[k], nullptr);
    sigaction(SIGPIPE, &saved_->previousPipe, nullptr);
    if (saved_->canceller.joinable()) {
        ::close(wakePipe[1]);
        saved_->canceller.join();
        ::close(wakePipe[0]);
    }
}

Interruption::ThreadsShielded::ThreadsShielded() : saved_(std::make_unique<Saved>()) {
    sigset_t block;
    sigemptyset(&block);
    for (const int signal : kEndSignals) sigaddset(&block, signal);
    pthread_sigmask(SIG_BLOCK, &block, &saved_->previous);
}
Interruption::ThreadsShielded::~ThreadsShielded() { pthread_sigmask(SIG_SETMASK, &saved_->previous, nullptr); }

HiddenLine ReadHiddenLine(const std::string& prompt, const Interruption& interruption) {
    HiddenLine line;
    termios old{};
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &old) != 0) return line;
    termios quiet = old;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    struct Restore {
        termios old;
        ~Restore() { tcsetattr(STDIN_FILENO, TCSAFLUSH, &old); }
    } restore{old};
    std::fputs(prompt.c_str(), stderr);
    std::fflush(stderr);
    line.end = HiddenLine::End::Closed;
    for (;;) {
        pollfd input{STDIN_FILENO, POLLIN, 0};
        if (poll(&input, 1, -1) < 0 && errno != EINTR) break;
        if (interruption.Requested()) {
            std::fputs("\n", stderr);
            line.end = HiddenLine::End::Interrupted;
            return line;
        }
        if ((input.revents & (POLLIN | POLLHUP)) == 0) continue;
        char c = 0;
        const ssize_t n = read(STDIN_FILENO, &c, 1);
        if (n == 1 && c != '\n') {
            line.text += c;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        line.end = n == 1 || !line.text.empty() ? HiddenLine::End::Read : HiddenLine::End::Closed;
        break;
    }
    if (!line.text.empty() && line.text.back() == '\r') line.text.pop_back();
    return line;
}

std::string AbsoluteFolder(const std::string& folder) {
    std::error_code error;
    const std::filesystem::path path = std::filesystem::absolute(FileSystemPath(folder), error);
    std::string text = error ? folder : NarrowPath(path.lexically_normal());
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    return text;
}

}  // namespace tarvex
