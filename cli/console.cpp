#include "console.h"

#include <atomic>
#include <cstdio>

#ifdef _WIN32
#include <windows.h>

#include <algorithm>

#include "codepage.h"
#else
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#endif

namespace tarvex {

namespace {

// The one flag a signal handler can reach: a handler takes no argument. Lock-free, so that
// setting it is safe in a handler.
std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free);

}  // namespace

bool Interruption::Requested() const { return interrupted.load(); }

#ifdef _WIN32

namespace {

// The console behind a standard handle, or null when it leads to a pipe or a file.
HANDLE ConsoleOf(std::FILE* stream) {
    const HANDLE handle = GetStdHandle(stream == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    return handle != INVALID_HANDLE_VALUE && handle != nullptr && GetConsoleMode(handle, &mode) ? handle : nullptr;
}

BOOL WINAPI OnControl(DWORD type) {
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) return FALSE;
    interrupted.store(true);
    return TRUE;
}

}  // namespace

struct Interruption::Saved {};
struct Interruption::ThreadsShielded::Saved {};

void Write(std::FILE* stream, std::string_view text) {
    const HANDLE console = ConsoleOf(stream);
    if (console == nullptr) {
        std::fwrite(text.data(), 1, text.size(), stream);
        std::fflush(stream);
        return;
    }
    std::fflush(stream);  // whatever the C library still holds goes first
    // In pieces: older consoles refuse a single write of more than 64 KB.
    constexpr std::size_t kPiece = 8192;
    const std::u16string wide = CodePage::Process().ToUtf16(text);
    for (std::size_t at = 0; at < wide.size(); at += kPiece) {
        const auto length = static_cast<DWORD>(std::min(kPiece, wide.size() - at));
        DWORD written = 0;
        if (!WriteConsoleW(console, wide.data() + at, length, &written, nullptr)) return;
    }
}

Interruption::Interruption() {
    interrupted.store(false);
    SetConsoleCtrlHandler(OnControl, TRUE);
}
Interruption::~Interruption() { SetConsoleCtrlHandler(OnControl, FALSE); }

// The console calls its control handlers on a thread of their own: the others need nothing.
Interruption::ThreadsShielded::ThreadsShielded() = default;
Interruption::ThreadsShielded::~ThreadsShielded() = default;

HiddenLine ReadHiddenLine(const std::string& prompt, const Interruption& interruption) {
    HiddenLine line;
    const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (in == INVALID_HANDLE_VALUE || in == nullptr || !GetConsoleMode(in, &mode)) return line;
    SetConsoleMode(in, (mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT)) | ENABLE_LINE_INPUT | ENABLE_PROCESSED_INPUT);
    struct Restore {
        HANDLE in;
        DWORD mode;
        ~Restore() { SetConsoleMode(in, mode); }
    } restore{in, mode};
    Write(stderr, prompt);
    line.end = HiddenLine::End::Closed;
    for (;;) {
        char buffer[256];
        DWORD got = 0;
        const BOOL ok = ReadConsoleA(in, buffer, sizeof buffer, &got, nullptr);
        if (interruption.Requested()) {
            line.end = HiddenLine::End::Interrupted;
            break;
        }
        if (!ok || got == 0) break;
        line.text.append(buffer, got);
        if (const std::size_t end = line.text.find_first_of("\r\n"); end != std::string::npos) {
            line.text.resize(end);
            line.end = HiddenLine::End::Read;
            break;
        }
    }
    Write(stderr, "\n");
    return line;
}

std::string AbsoluteFolder(const std::string& folder) {
    const DWORD size = GetFullPathNameA(folder.c_str(), 0, nullptr, nullptr);
    if (size == 0) return folder;
    std::string path(size, '\0');
    const DWORD length = GetFullPathNameA(folder.c_str(), size, path.data(), nullptr);
    path.resize(length < size ? length : 0);
    if (path.empty()) return folder;
    // "C:\" stays as it is; "C:\备份\" loses its separator.
    while (path.size() > 3 && (path.back() == '\\' || path.back() == '/')) path.pop_back();
    return path;
}

#else

namespace {

void OnInterrupt(int) { interrupted.store(true); }

}  // namespace

void Write(std::FILE* stream, std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

struct Interruption::Saved {
    struct sigaction previous {};
};
struct Interruption::ThreadsShielded::Saved {
    sigset_t previous{};
};

Interruption::Interruption() : saved_(std::make_unique<Saved>()) {
    interrupted.store(false);
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    // Interrupted calls go on (a write to a full pipe keeps its line); the password prompt
    // waits in poll(), which returns at a signal all the same, and looks at the flag.
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, &saved_->previous);
}
Interruption::~Interruption() { sigaction(SIGINT, &saved_->previous, nullptr); }

Interruption::ThreadsShielded::ThreadsShielded() : saved_(std::make_unique<Saved>()) {
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
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
    const std::filesystem::path path = std::filesystem::absolute(folder, error);
    std::string text = error ? folder : path.lexically_normal().native();
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    return text;
}

#endif

}  // namespace tarvex
