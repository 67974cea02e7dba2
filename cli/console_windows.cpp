#include "console.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>

#include "codepage.h"
#include "console_state.h"

namespace tarvex {

using namespace console_state;

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

}  // namespace tarvex
