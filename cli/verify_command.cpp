#include "verify_command.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>

#include "arguments.h"
#include "batch_output.h"
#include "codepage.h"
#include "command_line.h"
#include "console.h"
#include "failure_reason.h"
#include "folder_check.h"
#include "login.h"
#include "restore_check.h"

namespace tarvex {

namespace {

void Say(const std::string& text) { Write(stderr, text + "\n"); }

// On a terminal one line, written over as the files are read; elsewhere a line per file.
class VerifyConsole final : public FolderCheckReport {
public:
    explicit VerifyConsole(const Interruption& interruption) : interruption_(interruption) {}
    ~VerifyConsole() override {
        if (open_) Write(stderr, "\n");
    }

    void Reading(const std::string& file, int n, int files, long long done, long long total) override {
        const auto now = std::chrono::steady_clock::now();
        if (terminal_) {
            if (n == n_ && now - shown_ < std::chrono::milliseconds(200)) return;
            shown_ = now;
            const long long percent = total > 0 ? done * 100 / total : 100;
            ReplaceLine(stderr, ProgramText("正在核对[") + std::to_string(n) + "/" + std::to_string(files) + "] " + file + " " +
                                    std::to_string(percent) + "%");
            open_ = true;
        } else if (n != n_) {
            Say("[" + std::to_string(n) + "/" + std::to_string(files) + "] " + file);
        }
        n_ = n;
    }
    bool Cancelled() override { return interruption_.Requested(); }

private:
    const Interruption& interruption_;
    const bool terminal_ = IsTerminal(stderr);
    bool open_ = false;
    int n_ = 0;
    std::chrono::steady_clock::time_point shown_{};
};

std::string KindText(CheckedFile::Kind kind) {
    switch (kind) {
        case CheckedFile::Kind::Backup: return "backup";
        case CheckedFile::Kind::Record: return "record";
        case CheckedFile::Kind::Summary: return "summary";
        case CheckedFile::Kind::Other: return "other";
    }
    return {};
}

std::string JsonList(const std::vector<std::string>& texts) {
    std::string list;
    for (const std::string& t : texts) list += (list.empty() ? "" : ",") + JsonText(t);
    return "[" + list + "]";
}

// The check as JSON: the folder, the manifest, why it stopped, the exit code, the summary, and
// per file its name, kind, whether it agrees, its result, reasons, notes, size and SHA-256.
std::string VerifyJson(const std::string& folder, const std::string& manifest, const std::string& stopped, int code,
                       const FolderCheck* check) {
    std::string json = "{\"folder\":" + JsonText(folder) + ",\"manifest\":" + JsonText(manifest) +
                       ",\"stopped\":" + JsonText(stopped) + ",\"exitCode\":" + std::to_string(code) +
                       ",\"summary\":" + JsonText(check ? check->SummaryText() : std::string()) + ",\"files\":[";
    bool first = true;
    for (const CheckedFile& f : check ? check->files : std::vector<CheckedFile>{}) {
        if (!f.line) continue;
        json += std::string(first ? "" : ",") + "{\"file\":" + JsonText(f.name) + ",\"kind\":\"" + KindText(f.kind) +
                "\",\"agrees\":" + (f.Agrees() ? "true" : "false") + ",\"result\":" + JsonText(f.ResultText()) +
                ",\"reasons\":" + JsonList(f.reasons) + ",\"notes\":" + JsonList(f.notes) +
                ",\"size\":" + (f.size < 0 ? std::string("null") : std::to_string(f.size)) +
                ",\"sha256\":" + JsonText(f.sha256) + ",\"restoreCheck\":" + JsonText(f.restoreCheck) + "}";
        first = false;
    }
    return json + "]}\n";
}


// A --restore-check that could not start: its exit code and why, as said on stderr.
struct Refusal {
    int code = 0;
    std::string why;
};

Refusal Refused(int code, const std::string& why) {
    Say(why);
    return {code, why};
}

// The password of --restore-check: the environment, --password, or typed at the terminal.
std::optional<std::string> Password(const Arguments& a, const Interruption& interruption) {
    if (const char* value = std::getenv(kPasswordVariable); value != nullptr && *value != '\0') return TrimBlanks(value);
    if (a.password) return TrimBlanks(*a.password);
    const HiddenLine typed = ReadHiddenLine(ProgramText("密码："), interruption);
    if (typed.end == HiddenLine::End::Read) return TrimBlanks(typed.text);
    return std::nullopt;
}

// Prints what the restores report on stderr: their log, and which backup is under way.
class RestoreCheckConsole final : public FolderCheckReport {
public:
    explicit RestoreCheckConsole(const Interruption& interruption) : interruption_(interruption) {}
    void Begins(int n, int total, const std::string& file) override {
        Say(ProgramText("还原核对[") + std::to_string(n) + "/" + std::to_string(total) + "] " + file);
    }
    void Log(const std::string& line) override {
        std::string text = line;
        std::erase(text, '\r');
        Write(stderr, text);
    }
    void Percent(int) override {}
    void Elapsed(std::chrono::seconds) override {}
    bool Cancelled() override { return interruption_.Requested(); }

private:
    const Interruption& interruption_;
};

// The log-in to master of --restore-check: as the Windows user, no password asked, or the user
// with the password; nullopt when there is none.
std::optional<LoginSettings> RestoreLogin(const Arguments& a, const Interruption& interruption) {
    if (a.windowsLogin) return LoginSettings{a.server, {}, {}, "master", true};
    const std::optional<std::string> password = Password(a, interruption);
    if (!password || password->empty()) return std::nullopt;
    return LoginSettings{a.server, a.user, *password, "master"};
}

// --restore-check: logs in to the server's master and proves each backup by restoring it. Code 0,
// or the exit code of a run that could not start (no password, the log-in).
Refusal ProveByRestoring(const Arguments& a, const std::string& folder, FolderCheck& check,
                     const Interruption& interruption) {
    std::optional<LoginSettings> settings = RestoreLogin(a, interruption);
    if (!settings) {
        return Refused(interruption.Requested() ? kExitInterrupted : kExitUsage,
                       ProgramText("没有密码：请设置环境变量 ") + kPasswordVariable + ProgramText("，或在终端里运行本程序并按提示输入密码。"));
    }
    LoginSettings& login = *settings;
    std::unique_ptr<Database> database;
    {
        const Interruption::ThreadsShielded shielded;
        database = std::make_unique<Database>();
    }
    const Reading<RestoreServer> server = ConnectForRestore(*database, login, LoginPrompt::Never());
    ReleaseLoginSettings(login);
    if (!server.value) {
        return Refused(ConnectionLost(server.error) ? kExitUnreachable : kExitUsage, server.problem + ReasonLine(server.error));
    }
    RestoreCheckConsole console(interruption);
    CheckFolderByRestoring(*database, *server.value, folder, check, console);
    return {};
}

int ExitCode(const FolderCheck& check, const Interruption& interruption) {
    if (interruption.Requested() || check.cancelled) return kExitInterrupted;
    if (!check.problem.empty()) return kExitUsage;
    return check.AllAgree() ? 0 : 1;
}

}  // namespace

int RunVerify(const ParsedArguments& parsed, bool json) {
    const Arguments& a = parsed.arguments;
    const std::string folder = a.folder && !a.folder->empty() ? AbsoluteFolder(*a.folder) : std::string();
    if (!parsed.Ok()) {
        Say(parsed.problem);
        Say(ProgramText("用法见 tarvex-convert-cli --help。"));
        if (json) Write(stdout, VerifyJson(folder, "", parsed.problem, kExitUsage, nullptr));
        return kExitUsage;
    }
    const Interruption interruption(a.restoreCheck ? Interruption::Of::Restore : Interruption::Of::Check);
    FolderCheck check;
    {
        VerifyConsole console(interruption);
        check = CheckFolder(folder, console, a.manifest.value_or(""));
    }
    if (a.restoreCheck && check.problem.empty() && !check.cancelled) {
        if (const Refusal refused = ProveByRestoring(a, folder, check, interruption); refused.code != 0) {
            if (a.json) Write(stdout, VerifyJson(folder, "", refused.why, refused.code, &check));
            return refused.code;
        }
    }
    int code = ExitCode(check, interruption);
    std::string stopped = check.problem.empty() && code == kExitInterrupted ? check.SummaryText() : check.problem;
    std::string manifest;
    if (a.manifest && code != kExitInterrupted && check.problem.empty()) {
        if (const std::string problem = WriteManifest(*a.manifest, check); problem.empty()) {
            manifest = *a.manifest;
        } else {
            stopped = ProgramText("清单文件“") + *a.manifest + ProgramText("”未能写出：") + problem;
            code = 1;
        }
    }
    if (!stopped.empty()) Say(stopped);
    if (a.json) {
        Write(stdout, VerifyJson(folder, manifest, stopped, code, check.problem.empty() ? &check : nullptr));
        return code;
    }
    if (!check.problem.empty()) return code;
    for (const CheckedFile& f : check.files)
        if (f.line) Write(stdout, f.name + "\t" + f.ResultText() + "\n");
    Write(stdout, check.SummaryText() + "\n");
    if (!manifest.empty()) Write(stdout, ProgramText("清单文件：") + manifest + "\n");
    return code;
}

}  // namespace tarvex
