#include "console.h"

#include <atomic>
#include <cstdio>
#include <mutex>

#include "codepage.h"
#include "file_paths.h"

#ifdef _WIN32
#include <windows.h>

#include <algorithm>
#else
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <thread>
#endif

namespace tarvex {

namespace {

// What a signal handler can reach (a handler takes no argument): how many interruptions came,
// lock-free so that counting is safe in a handler, and the texts it writes, made before any
// handler is installed.
std::atomic<int> interruptions{0};
static_assert(std::atomic<int>::is_always_lock_free);
std::string acknowledgement, lastWords;
// Whether stderr's last line is one written over in place (ReplaceLine), not yet ended: an
// interruption's acknowledgement then starts on a line of its own.
std::atomic<bool> lineOpen{false};
static_assert(std::atomic<bool>::is_always_lock_free);

// Keeps lineOpen as a write to `stream` leaves stderr's line: before an in-place line is written,
// after a line's end, so that an interruption between the two finds the line still open.
void Track(std::FILE* stream, std::string_view text, bool inPlace = false) {
    if (stream != stderr || text.empty()) return;
    if (inPlace) lineOpen.store(true);
    else if (text.back() == '\n') lineOpen.store(false);
}

// What the first interruption calls besides, while a Cancelling lives.
std::mutex cancelMutex;
std::function<void()> cancelling;

void MakeTexts(Interruption::Of of) {
    if (of == Interruption::Of::Restore) {
        acknowledgement = ProgramText("已收到中断：正在取消还原，然后删除没有还原完的数据库。再按一次 Ctrl+C 立即结束。\n");
        lastWords = ProgramText("再次中断，程序立即结束。服务器上可能留下没有还原完的数据库：请查看，如果有，请删除它。\n");
        return;
    }
    if (of == Interruption::Of::Check) {
        acknowledgement = ProgramText("已收到中断：正在停止核对。再按一次 Ctrl+C 立即结束。\n");
        lastWords = ProgramText("再次中断，程序立即结束。核对没有在文件夹里写入任何文件。\n");
        return;
    }
    acknowledgement = ProgramText(
        "已收到中断：正在取消当前的语句，然后删除临时数据库并停止，已完成的账套保留。再按一次 Ctrl+C 立即结束。\n");
    lastWords = ProgramText(
        "再次中断，程序立即结束。服务器上可能留下临时数据库Tarvex数据整理：确认没有别的转换程序在使用它后，"
        "可以用 tarvex-convert-cli drop-temporary 删除它。\n");
}

void Cancel() {
    std::lock_guard lock(cancelMutex);
    if (cancelling) cancelling();
}

}  // namespace

bool Interruption::Requested() const { return interruptions.load() > 0; }

std::unique_ptr<Interruption::Cancelling> Interruption::CancelWith(std::function<void()> cancel) const {
    std::lock_guard lock(cancelMutex);
    cancelling = std::move(cancel);
    return std::unique_ptr<Cancelling>(new Cancelling);
}

Interruption::Cancelling::~Cancelling() {
    std::lock_guard lock(cancelMutex);
    cancelling = nullptr;
}

#ifdef _WIN32

namespace {

// The console behind a standard handle, or null when it leads to a pipe or a file.
HANDLE ConsoleOf(std::FILE* stream) {
    const HANDLE handle = GetStdHandle(stream == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    return handle != INVALID_HANDLE_VALUE && handle != nullptr && GetConsoleMode(handle, &mode) ? handle : nullptr;
}

// The console calls its control handlers on a thread of their own, which may wait for the
// statement's cancel.
BOOL WINAPI OnControl(DWORD type) {
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) return FALSE;
    if (lineOpen.exchange(false)) Write(stderr, "\n");
    if (interruptions.fetch_add(1) > 0) {
        Write(stderr, lastWords);
        ExitProcess(130);
    }
    Write(stderr, acknowledgement);
    Cancel();
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
        return Track(stream, text);
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
    Track(stream, text);
}

bool IsTerminal(std::FILE* stream) { return ConsoleOf(stream) != nullptr; }

void ReplaceLine(std::FILE* stream, std::string_view text) {
    const HANDLE console = ConsoleOf(stream);
    CONSOLE_SCREEN_BUFFER_INFO info{};
    Track(stream, text, true);
    if (console == nullptr || !GetConsoleScreenBufferInfo(console, &info)) return Write(stream, "\r" + std::string(text));
    SetConsoleCursorPosition(console, COORD{0, info.dwCursorPosition.Y});
    Write(stream, text);
    // What is left of the line's earlier text becomes blank; the cursor stays after the text.
    if (GetConsoleScreenBufferInfo(console, &info) && info.dwCursorPosition.X < info.dwSize.X) {
        DWORD written = 0;
        FillConsoleOutputCharacterW(console, L' ', static_cast<DWORD>(info.dwSize.X - info.dwCursorPosition.X),
                                    info.dwCursorPosition, &written);
    }
}

Interruption::Interruption(Of of) {
    interruptions.store(0);
    MakeTexts(of);
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

#endif

}  // namespace tarvex
