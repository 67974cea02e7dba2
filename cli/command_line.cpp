#include "command_line.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "account_sets.h"
#include "arguments.h"
#include "batch_output.h"
#include "batch.h"
#include "catalogue.h"
#include "codepage.h"
#include "console.h"
#include "database.h"
#include "export.h"
#include "failure_reason.h"
#include "login.h"
#include "login_account.h"
#include "program_directory.h"
#include "restore.h"
#include "sqltext.h"
#include "verify_command.h"

namespace tarvex {

namespace {

void Print(std::FILE* to, const std::string& text) { Write(to, text); }
// A message for the user, on stderr.
void Say(const std::string& text) { Print(stderr, text + "\n"); }

// What a run tells the user on stderr before its batch, kept: with --json, a run that stops
// before the batch's summary says why in a JSON document of its own.
class Voice {
public:
    void Say(const std::string& text) {
        tarvex::Say(text);
        said_ += (said_.empty() ? "" : "\n") + text;
    }
    const std::string& Said() const { return said_; }
    // The batch's summary has gone to stdout as JSON.
    bool summarized = false;

private:
    std::string said_;
};

std::string WithoutCarriageReturns(std::string text) {
    std::erase(text, '\r');
    return text;
}

// A value as the server returned it without its padding; a tab or line break in it would
// break the line's columns and becomes a blank.
std::string Field(const std::string& value) {
    std::string text = value.substr(0, value.find_last_not_of(' ') + 1);
    for (char& c : text)
        if (c == '\t' || c == '\r' || c == '\n') c = ' ';
    return text;
}

std::string Line(const std::vector<std::string>& fields) {
    std::string line;
    for (const std::string& field : fields) line += (line.empty() ? "" : "\t") + field;
    return line + "\n";
}

std::string Codes(const AccountSetEntry& e) {
    return Field(e.year) + "/" + Field(e.unitCode) + "/" + Field(e.accountSetNo);
}

// The password: the environment, --password, or typed at the terminal; nullopt after telling
// the user why there is none (`code` says how the program ends).
std::optional<std::string> Password(const Arguments& a, const Interruption& interruption, Voice& voice, int& code) {
    code = kExitUsage;
    if (const char* value = std::getenv(kPasswordVariable); value != nullptr && *value != '\0') return TrimBlanks(value);
    if (a.password) return *a.password;
    const HiddenLine typed = ReadHiddenLine(ProgramText("密码："), interruption);
    switch (typed.end) {
        case HiddenLine::End::Read: return TrimBlanks(typed.text);
        case HiddenLine::End::Interrupted:
            voice.Say(ProgramText("已取消。"));
            code = kExitInterrupted;
            return std::nullopt;
        case HiddenLine::End::NotTerminal:
        case HiddenLine::End::Closed: break;
    }
    voice.Say(ProgramText("没有密码：请设置环境变量 ") + kPasswordVariable +
        ProgramText("，或在终端里运行本程序并按提示输入密码。"));
    return std::nullopt;
}

// Releases the log-in settings (the password among them) when the run ends, however it ends.
struct SettingsReleased {
    LoginSettings& settings;
    ~SettingsReleased() { ReleaseLoginSettings(settings); }
};

bool Matches(const AccountSetEntry& e, const SetCodes& codes) {
    return Field(e.year) == codes.year && Field(e.unitCode) == codes.unitCode &&
           Field(e.accountSetNo) == codes.accountSetNumber;
}

bool OfYears(const AccountSetEntry& e, const std::vector<std::string>& years) {
    return years.empty() || std::find(years.begin(), years.end(), Field(e.year)) != years.end();
}

// The sets to convert, in the order named (--set) and listed (--year, --all), each once;
// nullopt after telling the user what is wrong.
std::optional<std::vector<AccountSetEntry>> Choose(const Arguments& a, const std::vector<AccountSetEntry>& entries,
                                                   Voice& voice) {
    std::vector<AccountSetEntry> chosen;
    std::set<std::string> taken;
    const auto take = [&](const AccountSetEntry& e) {
        if (taken.insert(Codes(e)).second) chosen.push_back(e);
    };
    for (const SetCodes& codes : a.sets) {
        const auto found = std::find_if(entries.begin(), entries.end(), [&](const AccountSetEntry& e) { return Matches(e, codes); });
        const std::string named = codes.year + "/" + codes.unitCode + "/" + codes.accountSetNumber;
        if (found == entries.end()) {
            voice.Say(ProgramText("数据库中没有账套 ") + named +
                ProgramText("（年度/单位编号/账套编号）。所有账套可用 list 命令列出。"));
            return std::nullopt;
        }
        if (!found->convertible) {
            voice.Say(ProgramText("账套 ") + named + " " + Field(found->name) + ProgramText("不能转换：单位名称“") +
                Field(found->unitName) + ProgramText("”中没有“新科目”。"));
            return std::nullopt;
        }
        take(*found);
    }
    int skipped = 0;
    if (a.all || !a.years.empty()) {
        for (const AccountSetEntry& e : entries) {
            if (!OfYears(e, a.years)) continue;
            if (e.convertible) take(e);
            else ++skipped;
        }
    }
    if (skipped > 0 && !a.quiet)
        voice.Say(ProgramText("跳过了") + std::to_string(skipped) + ProgramText("个账套：它们的单位名称中没有“新科目”，不能转换。"));
    if (chosen.empty()) {
        voice.Say(ProgramText("没有可以转换的账套。"));
        return std::nullopt;
    }
    return chosen;
}

std::string SummaryLine(const BatchOutcome& outcome) {
    std::string text = ProgramText("汇总：") + std::to_string(outcome.rows.size()) + ProgramText("个账套");
    for (BatchRow::Result result : {BatchRow::Result::Converted, BatchRow::Result::Skipped, BatchRow::Result::WithWarnings,
                                    BatchRow::Result::Failed, BatchRow::Result::Cancelled, BatchRow::Result::NotRun}) {
        const auto count = std::count_if(outcome.rows.begin(), outcome.rows.end(),
                                         [&](const BatchRow& row) { return row.result == result; });
        if (count > 0) text += ProgramText("，") + ResultText(result) + std::to_string(count) + ProgramText("个");
    }
    return text + ProgramText("。") + "\n";
}

int Convert(const Arguments& a, const LoggedIn& login, Database& database, const std::vector<AccountSetEntry>& entries,
            const BackupDirectory& folder, const Interruption& interruption, Voice& voice) {
    const std::optional<std::vector<AccountSetEntry>> chosen = Choose(a, entries, voice);
    if (!chosen) return kExitUsage;
    if (folder.fellBack && !a.quiet) Say(FellBackText(folder.path));
    if (a.windowsLogin && !a.quiet) Say(ProgramText("登录账户：") + login.user);
    const auto detail = a.quiet ? ConsoleReport::Detail::Quiet
                        : a.verbose ? ConsoleReport::Detail::Verbose : ConsoleReport::Detail::Normal;
    ConsoleReport report(interruption, detail, !a.quiet && !a.json);
    ConversionLedger ledger;
    ledger.SetLogin(login);
    const BatchOutcome outcome = RunBatch(database, ledger, a.database, *chosen, folder.path, report, {a.skipDone});
    if (!outcome.stopped.empty()) Say(outcome.stopped);
    int code = outcome.ExitCode();
    if (outcome.summaryFile.empty()) {
        Say(ProgramText("汇总文件未能写出：") + outcome.summaryProblem);
        if (code == 0 || code == 3) code = 1;
    }
    if (interruption.Requested()) code = kExitInterrupted;
    if (a.json) {
        Print(stdout, SummaryJson(outcome, folder.path, folder.fellBack, code));
        voice.summarized = true;
        return code;
    }
    if (!a.quiet) {
        Print(stdout, SummaryLine(outcome));
        if (folder.fellBack) Print(stdout, FellBackText(folder.path) + "\n");
    }
    if (!outcome.summaryFile.empty())
        Print(stdout, ProgramText("汇总文件：") + BackupPath(folder.path, outcome.summaryFile) + "\n");
    return code;
}

int List(const Arguments& a, const std::vector<AccountSetEntry>& entries) {
    if (a.header)
        Print(stdout, Line({ProgramText("年度"), ProgramText("单位编号"), ProgramText("单位名称"), ProgramText("账套编号"),
                            ProgramText("账套名称"), ProgramText("能否转换")}));
    for (const AccountSetEntry& e : entries)
        if (OfYears(e, a.years))
            Print(stdout, Line({Field(e.year), Field(e.unitCode), Field(e.unitName), Field(e.accountSetNo), Field(e.name),
                                ProgramText(e.convertible ? "是" : "否")}));
    return 0;
}

// Whether a failed log-in never reached a server that could refuse it (no server listening, the
// network, a time-out), as against a server's refusal (user, password, database).
bool Unreachable(const OdbcError& error) {
    std::vector<const OdbcError*> records{&error};
    for (const OdbcError& more : error.more) records.push_back(&more);
    bool link = false;
    for (const OdbcError* e : records) {
        if (e->state == "28000" || e->native == 18456 || e->native == 18452 || e->native == 4060) return false;
        link = link || e->state.starts_with("08") || e->state == "HYT00" || e->state == "HYT01";
    }
    return link;
}

// The log-in settings with the password; nullopt after telling the user why there is none, with
// the exit code in `code`.
std::optional<LoginSettings> Settings(const Arguments& a, const Interruption& interruption, Voice& voice, int& code) {
    if (a.windowsLogin) return LoginSettings{a.server, {}, {}, a.database, true};
    const std::optional<std::string> password = Password(a, interruption, voice, code);
    if (!password) return std::nullopt;
    if (password->empty()) {
        voice.Say(ProgramText("密码不能为空。"));
        code = kExitUsage;
        return std::nullopt;
    }
    return LoginSettings{a.server, a.user, *password, a.database};
}

// The connection object, its thread free of the interruptions.
std::unique_ptr<Database> NewDatabase() {
    const Interruption::ThreadsShielded shielded;
    return std::make_unique<Database>();
}

// The connection of the command line, the log-in as the records name it in `login` (its
// server, database, account and the server's version); nullptr after telling the user why there is none, with the exit code in `code`.
std::unique_ptr<Database> LogIn(const Arguments& a, const Interruption& interruption, Voice& voice, int& code,
                                LoggedIn& login) {
    std::optional<LoginSettings> settings = Settings(a, interruption, voice, code);
    if (!settings) return nullptr;
    const SettingsReleased released{*settings};
    std::unique_ptr<Database> database = NewDatabase();
    // No window: the driver never prompts, a refused log-in fails with the server's reason.
    // Only a batch writes records: list and drop-temporary spare the exchange that reads the account.
    const std::optional<Opened> opened =
        OpenConnection(*database, *settings, LoginPrompt::Never(), a.command == Arguments::Command::Convert);
    if (interruption.Requested()) {
        voice.Say(ProgramText("已取消。"));
        code = kExitInterrupted;
        return nullptr;
    }
    if (!opened || !opened->ok) {
        const bool unreachable = opened && Unreachable(opened->error);
        voice.Say(ProgramText("连接") + a.server + ProgramText("服务器上的") + a.database +
            ProgramText(unreachable       ? "数据库失败：连不上服务器。请查看服务器名称是否正确，服务器是否在运行，稍后再试。"
                        : a.windowsLogin ? "数据库失败。请查看SQL数据库服务器是否正确，服务器是否接受本机Windows用户的登录"
                                           "（Windows身份验证）；也可以改用 --user 和密码登录。"
                                         : "数据库失败。请查看SQL数据库服务器是否正确，用户名和密码是否正确。") +
            (opened ? ReasonLine(opened->error) : std::string()));
        code = unreachable ? kExitUnreachable : kExitUsage;
        return nullptr;
    }
    login = {a.server, a.database, AccountLabel(*settings, opened->account), opened->serverVersion};
    return database;
}

// drop-temporary: the temporary database goes when no copy of the program holds it.
int DropTemporary(Database& database) {
    ConversionLedger nothingFilled;
    const LeftoverDrop dropped = [&] {
        HoldOnTemporaryDatabase hold(database, nothingFilled);
        return DropLeftover(hold);
    }();
    switch (dropped.end) {
        case LeftoverDrop::End::Dropped:
            Say(ProgramText("已删除临时数据库Tarvex数据整理，其中是：\n") + dropped.held);
            return 0;
        case LeftoverDrop::End::Absent: Say(ProgramText("服务器上没有临时数据库Tarvex数据整理。")); return 0;
        case LeftoverDrop::End::HeldElsewhere: Say(WithoutCarriageReturns(dropped.refusal)); return kExitHeld;
        case LeftoverDrop::End::FilledHere:
        case LeftoverDrop::End::Failed:
        case LeftoverDrop::End::Closing: break;
    }
    Say(ProgramText("临时数据库Tarvex数据整理没有删除。") + ReasonLine(dropped.error));
    return ConnectionLost(dropped.error) ? kExitUnreachable : 1;
}

// The account sets of the restored database, or the exit code after saying why there are none.
std::optional<std::vector<AccountSetEntry>> ListedSets(const Arguments& a, Database& database, Voice& voice, int& code) {
    std::optional<AccountSetList> listed = ListAccountSets(database, a.database);
    if (listed && !listed->nameProblem.empty()) {
        voice.Say(listed->nameProblem);
        code = kExitUsage;
        return std::nullopt;
    }
    if (!listed || !listed->sets) {
        voice.Say(ProgramText("读不出数据库") + a.database + ProgramText("中的账套（GL_Ztcs表）。") +
            (listed ? ReasonLine(listed->error) : std::string()));
        code = listed && ConnectionLost(listed->error) ? kExitUnreachable : 1;
        return std::nullopt;
    }
    for (const std::string& year : a.years) {
        if (std::none_of(listed->sets->begin(), listed->sets->end(),
                         [&](const AccountSetEntry& e) { return Field(e.year) == year; })) {
            voice.Say(ProgramText("数据库中没有") + year + ProgramText("年度的账套。"));
            code = kExitUsage;
            return std::nullopt;
        }
    }
    return std::move(listed->sets);
}

// Prints what a restore reports on stderr: its log, and while the server works a line every ten
// seconds (from the restore's own thread).
class RestoreConsole final : public Report {
public:
    explicit RestoreConsole(const Interruption& interruption) : interruption_(interruption) {}

    void Log(const std::string& line) override { Print(stderr, WithoutCarriageReturns(line)); }
    // Percent: the log has its line.
    void Elapsed(std::chrono::seconds elapsed) override {
        if (elapsed.count() % 10 == 0) Say(ProgramText("正在还原，已用时") + DurationText(elapsed));
    }
    // The interruption has said so on stderr already.
    bool Cancelled() override { return interruption_.Requested(); }

private:
    const Interruption& interruption_;
};

// Of a restore that did not end well, what its log has not said: what to do about a database
// that may be left on the server (the message's paragraph after its first).
void SayLeftBehind(const Restored& restored) {
    const std::size_t advice = restored.message.find("\r\n\r\n");
    if (restored.leftBehind && advice != std::string::npos) Say(WithoutCarriageReturns(restored.message.substr(advice + 4)));
}

// restore: the backup named by --file as a new database, named by --as (or --database) or as in
// the backup. The restored name on stdout.
int Restore(const Arguments& a, Database& database, const LoginSettings& settings, const Interruption& interruption) {
    const RestoreReading read =
        ConnectAndReadBackup(database, settings, LoginPrompt::Never(), a.file, a.position, a.restoreAs.value_or(""));
    const Reading<RestoreServer>& server = read.server;
    if (!server.value) {
        Say(server.problem + ReasonLine(server.error));
        return Unreachable(server.error) ? kExitUnreachable : kExitUsage;
    }
    const Reading<BackupDescription>& backup = read.backup;
    if (!backup.value) {
        Say(WithoutCarriageReturns(backup.problem));
        return backup.refusedChoice ? kExitUsage : 1;
    }
    const BackupDescription& b = *backup.value;
    Say(ProgramText("备份文件中是数据库“") + b.database + ProgramText("”，备份于") + b.finished + ProgramText("，") +
        b.VersionText() + ProgramText("，备份") + SizeText(b.backupSize) + ProgramText("，还原后约") +
        SizeText(b.DatabaseSize()) + ProgramText("。"));
    if (!backup.problem.empty()) {
        Say(backup.problem);
        return 1;
    }
    const std::string name = a.restoreAs ? *a.restoreAs : ProposedName(b);
    if (name != b.database && !a.restoreAs)
        Say(RestoreNameProblem(b.database) + ProgramText("还原后的数据库改用备份文件的名称“") + name + ProgramText("”。"));
    RestoreConsole report(interruption);
    const Restored restored = RestoreBackup(database, *server.value, b, name, report);
    switch (restored.end) {
        case Restored::End::Restored: Print(stdout, restored.database + "\n"); return 0;
        case Restored::End::Refused: return kExitUsage;
        // The log has said how it ended and what the clean-up found; what to do about a
        // database that may be left follows.
        case Restored::End::Cancelled:
            SayLeftBehind(restored);
            return interruption.Requested() ? kExitInterrupted : 1;
        case Restored::End::Failed: SayLeftBehind(restored); return 1;
        case Restored::End::Closing: Say(WithoutCarriageReturns(restored.message)); return 1;
    }
    return 1;
}

// The JSON of a batch that stopped before its summary: why, and the exit code.
std::string StoppedJson(const std::string& why, const BackupDirectory& folder, int code) {
    BatchOutcome none;
    none.stop = BatchOutcome::Stop::Failed;
    none.stopped = why;
    return SummaryJson(none, folder.path, folder.fellBack, code);
}

int Run(const ParsedArguments& parsed, BackupDirectory& folder, Voice& voice) {
    if (!parsed.Ok()) {
        voice.Say(parsed.problem);
        voice.Say(ProgramText("用法见 tarvex-convert-cli --help。"));
        return kExitUsage;
    }
    const Arguments& a = parsed.arguments;
    switch (a.command) {
        case Arguments::Command::Help: Print(stdout, UsageText()); return 0;
        case Arguments::Command::Version: Print(stdout, TARVEX_VERSION "\n"); return 0;
        case Arguments::Command::List:
        case Arguments::Command::Convert:
        case Arguments::Command::DropTemporary:
        case Arguments::Command::Restore: break;
        case Arguments::Command::Verify: return RunVerify(parsed, a.json);  // RunCommandLine sends it there first
    }

    // The folder before the log-in: a batch that cannot put its files there does not start.
    if (a.command == Arguments::Command::Convert) {
        folder = a.folder ? BackupDirectory{*a.folder, false} : ProgramBackupDirectory();
        folder.path = AbsoluteFolder(folder.path);
        if (const std::string problem = FolderProblem(folder.path); !problem.empty()) {
            voice.Say(problem);
            return kExitUsage;
        }
    }

    const Interruption interruption(a.command == Arguments::Command::Restore ? Interruption::Of::Restore
                                                                              : Interruption::Of::Batch);
    int code = kExitUsage;
    if (a.command == Arguments::Command::Restore) {
        std::optional<LoginSettings> settings = Settings(a, interruption, voice, code);
        if (!settings) return code;
        const SettingsReleased released{*settings};
        const std::unique_ptr<Database> database = NewDatabase();
        return Restore(a, *database, *settings, interruption);
    }
    LoggedIn login;
    const std::unique_ptr<Database> database = LogIn(a, interruption, voice, code, login);
    if (!database) return code;
    // The first interruption cancels the statement under way, as long as the connection lives.
    const auto cancelling = interruption.CancelWith([&db = *database] { db.Cancel(); });
    if (a.command == Arguments::Command::DropTemporary) return DropTemporary(*database);
    const std::optional<std::vector<AccountSetEntry>> entries = ListedSets(a, *database, voice, code);
    if (!entries) return code;
    if (a.command == Arguments::Command::List) return List(a, *entries);
    return Convert(a, login, *database, *entries, folder, interruption, voice);
}

}  // namespace

int RunCommandLine(int argc, char** argv) {
    const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    const ParsedArguments parsed = ParseArguments(args);
    // With --json (also where the arguments could not be read), one JSON document whatever the end.
    const bool json = parsed.Ok() ? parsed.arguments.json : std::find(args.begin(), args.end(), "--json") != args.end();
    if (parsed.arguments.command == Arguments::Command::Verify) return RunVerify(parsed, json);  // its own JSON
    BackupDirectory folder;
    Voice voice;
    const int code = Run(parsed, folder, voice);
    if (json && !voice.summarized) Print(stdout, StoppedJson(voice.Said(), folder, code));
    return code;
}

}  // namespace tarvex
