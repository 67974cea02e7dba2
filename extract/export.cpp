#include "export.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "catalogue.h"
#include "conversion_record.h"
#include "database.h"
#include "failure_reason.h"
#include "sqltext.h"
#include "window_port.h"

namespace tarvex {

namespace {

#ifdef _WIN32
constexpr std::string_view kSeparator = "\\";
#else
constexpr std::string_view kSeparator = "/";
#endif

// The account-set names held in the temporary database's own copy of GL_ZTCS, each once and
// without the blanks a fixed-width column pads it with; nullopt when it cannot be read (no
// temporary database, no connection). A conversion holds one row there.
auto ReadingHeldNames() {
    const std::string statement = "SELECT ztmc FROM [" + ProgramText(kTemporaryDatabase) + "].[dbo].[GL_ZTCS]";
    return [statement](ODBCDB& db) -> std::optional<std::vector<std::string>> {
        const RecordSetHandle h = db.OpenTable(statement);
        if (h == 0) return std::nullopt;
        std::vector<std::string> names;
        for (db.MoveFirst(h); !db.IsEOF(h); db.MoveNext(h)) {
            std::string name = db.ReadColByIndex(h, 1).Text();
            name.erase(name.find_last_not_of(' ') + 1);
            if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(std::move(name));
        }
        db.CloseRecordSet(h);
        return names;
    };
}

// What the backup holds and how it compares with what this program filled, decided before the
// backup: the account set to name the file for, and what the user must be told.
struct Contents {
    std::string name;
    std::vector<std::string> warnings;
    bool empty = false;  // this program filled it, and no copy put in a row
};

Contents Judge(const std::optional<std::vector<std::string>>& held, const std::optional<ExtractionRecord>& filled,
               const std::string& chosen) {
    Contents c;
    if (held && held->size() == 1) {
        c.name = held->front();
    } else {
        c.name = filled ? filled->accountSetName : chosen;
        if (held)
            c.warnings.push_back(ProgramText("临时数据库的GL_ZTCS表里") +
                                 ProgramText(held->empty() ? "没有账套" : "不止一个账套") +
                                 ProgramText("，无法确认备份属于哪个账套；备份文件按“") + c.name + ProgramText("”命名。"));
    }
    if (!filled) {
        c.warnings.push_back(ProgramText("临时数据库不是本程序这次运行中整理的（可能是以前留下的），无法确认其中的数据是否完整、属于哪个账套。"));
    } else if (!filled->finished) {
        c.warnings.push_back(ProgramText("上次整理没有完成，只整理了") + std::to_string(filled->copies.size()) +
                             ProgramText("张表，备份中缺少其余的表。"));
    } else if (const int failed = filled->FailedCopies(); failed > 0) {
        c.warnings.push_back(ProgramText("上次整理有") + std::to_string(failed) + ProgramText("张表整理失败，备份中缺少这些表。"));
    }
    c.empty = filled && filled->Empty();
    return c;
}

// What the export's database steps came to; nullopt in a field: the step did not run (the
// window is closing, or an earlier step failed).
struct ExportResult {
    bool closing = false;
    bool declined = false;  // the user chose not to export an empty conversion
    Contents contents;
    std::string file;
    std::optional<Executed> backup;
    std::optional<Executed> verify;
    std::optional<Executed> drop;
};

// The steps that need the database, which the export holds for itself throughout.
ExportResult ExportSteps(Window& window, Database& database, const ConversionLedger& ledger,
                         const std::string& directory, int pauseMilliseconds) {
    const auto log = [&](const std::string& line) { window.AppendText(Control::Log, line); };
    ExportResult result;
    Database::Session session = database.Begin();
    // Each step's outcome; nullopt, and `closing` set, when the window is closing.
    const auto run = [&](auto work) {
        auto outcome = session.Run(std::move(work));
        result.closing = !outcome;
        return outcome;
    };
    const auto held = run(ReadingHeldNames());
    if (!held) return result;
    const std::string monthDay = MonthDayText();
    const std::string timeOfDay = TimeOfDayText();
    result.contents = Judge(*held, ledger.Filled(), window.Text(Control::AccountSetChooser));
    if (result.contents.empty &&
        !window.AskYesNo(ProgramText("这次整理的账套没有复制到任何数据，临时数据库中的表都是空的。\r\n"
                                     "请检查转换年度、当前单位编号和当前账套编号。\r\n\r\n仍然要导出吗？"))) {
        result.declined = true;
        return result;
    }
    result.file = FileNamePart(result.contents.name) + monthDay + timeOfDay + ".bak";
    const std::string path = BackupPath(directory, result.file);
    // A large account set takes the server a while to back up: no time-out cuts it off.
    result.backup = run(Executing(BuildBackupStatement(directory, result.file), Timeout::None()));
    if (!result.backup || !result.backup->ok) return result;

    // The server reads the file back and checks it before the database it came from is dropped.
    log(ProgramText("正在校验备份文件！\r\n"));
    window.ResponsiveWait(pauseMilliseconds);
    result.verify = run(Executing(BuildVerifyStatement(path), Timeout::None()));
    if (!result.verify || !result.verify->ok) return result;

    log(ProgramText("正在删除临时数据库！\r\n"));
    window.ResponsiveWait(pauseMilliseconds);
    result.drop = run(Executing("drop database " + ProgramText(kTemporaryDatabase), Timeout::None()));
    if (!result.drop) return result;
    window.ResponsiveWait(pauseMilliseconds);
    if (result.drop->ok)
        log(ProgramText("完成删除临时数据库！\r\n"));
    else
        log(ProgramText("删除临时数据库失败！") + ReasonLine(result.drop->error) + "\r\n");
    window.ResponsiveWait(pauseMilliseconds);
    return result;
}

// Writes the record beside the backup; a text for the notice: the record's name, or why it
// could not be written.
std::string WriteRecord(const ConversionLedger& ledger, const ExportResult& r, const std::string& directory,
                        const std::string& started) {
    ExportFacts facts;
    facts.started = started;
    facts.ended = LocalTimeText();
    facts.backupFile = r.file;
    facts.backupPath = BackupPath(directory, r.file);
    facts.verification = r.verify->ok ? ProgramText("通过") : ProgramText("未通过，") + ReasonLine(r.verify->error);
    facts.warnings = r.contents.warnings;
    const std::string recordPath = facts.backupPath + ".txt";
    const std::string failed = WriteRecordFile(recordPath, RecordText(ledger.Filled(), ledger.Login(), facts));
    if (!failed.empty()) return ProgramText("转换记录文件") + r.file + ProgramText(".txt写入失败（") + failed +
                                ProgramText("），备份文件不受影响。");
    return ProgramText("转换记录：") + r.file + ".txt";
}

}  // namespace

std::string MonthDayText(const std::tm& t) {
    return std::to_string(t.tm_mon + 1) + ProgramText("月") + std::to_string(t.tm_mday) + ProgramText("日");
}

std::string TimeOfDayText(const std::tm& t) {
    return std::to_string(t.tm_hour) + ProgramText("时") + std::to_string(t.tm_min) + ProgramText("分") +
           std::to_string(t.tm_sec) + ProgramText("秒");
}

std::string MonthDayText() { return MonthDayText(LocalTime()); }
std::string TimeOfDayText() { return TimeOfDayText(LocalTime()); }

std::string FileNamePart(std::string_view name, const CodePage& codePage) {
    constexpr std::string_view kForbidden = "\\/:*?\"<>|";
    std::string out;
    out.reserve(name.size());
    for (std::size_t pos = 0; pos < name.size();) {
        const std::size_t n = codePage.CharLength(name, pos);
        const unsigned char c = static_cast<unsigned char>(name[pos]);
        if (n == 1 && (c < 0x20 || c == 0x7F || kForbidden.find(name[pos]) != std::string_view::npos))
            out += '_';
        else
            out.append(name.substr(pos, n));
        pos += n;
    }
    return out;
}

std::string BackupPath(std::string_view directory, std::string_view file) {
    return std::string(directory) + std::string(kSeparator) + std::string(file);
}

std::string BuildBackupStatement(std::string_view directory, std::string_view file) {
    return "backup database " + ProgramText(kTemporaryDatabase) + " to disk='" +
           QuoteLiteralText(BackupPath(directory, file) + " ") + "'with init";
}

std::string BuildVerifyStatement(std::string_view path) {
    return "RESTORE VERIFYONLY FROM DISK = N'" + QuoteLiteralText(path) + "'";
}

void ExportAndCleanUp(Window& window, Database& database, ConversionLedger& ledger, std::string_view programDirectory,
                      int pauseMilliseconds) {
    const std::string started = LocalTimeText();
    window.AppendText(Control::Log, ProgramText("正在执行导出备份数据！\r\n"));
    const std::string directory(programDirectory);
    window.SetActionsEnabled(false);
    const ExportResult result = ExportSteps(window, database, ledger, directory, pauseMilliseconds);
    window.SetActionsEnabled(true);
    if (result.closing) return;
    if (result.declined) {
        window.AppendText(Control::Log, ProgramText("已取消导出，临时数据库保留在服务器上。\r\n"));
        return;
    }
    if (!result.backup->ok) {
        window.ShowNotice(ProgramText("导出失败！请重试") + ReasonParagraph(result.backup->error), kNoticeExclamation);
        return;
    }
    const std::string record = WriteRecord(ledger, result, directory, started);
    if (!result.verify->ok) {
        window.AppendText(Control::Log, ProgramText("备份文件校验失败！") + ReasonLine(result.verify->error) + "\r\n");
        window.ShowNotice(ProgramText("导出失败！备份文件") + result.file +
                              ProgramText("没有通过服务器的校验，不能使用。临时数据库") + ProgramText(kTemporaryDatabase) +
                              ProgramText("已保留，请重新导出。") + ReasonParagraph(result.verify->error) + "\r\n\r\n" + record,
                          kNoticeExclamation);
        return;
    }
    if (result.drop->ok) ledger.ClearFilled();
    std::string notice = ProgramText("导出完毕！请查看软件目录！\r\n\r\n备份文件：") + result.file + "\r\n" + record;
    for (const std::string& warning : result.contents.warnings) {
        window.AppendText(Control::Log, ProgramText("注意：") + warning + "\r\n");
        notice += ProgramText("\r\n\r\n注意：") + warning;
    }
    if (!result.drop->ok)
        notice += ProgramText("\r\n\r\n临时数据库") + ProgramText(kTemporaryDatabase) +
                  ProgramText("未能删除，仍留在服务器上。请在服务器上删除它，再整理下一个账套。");
    window.ShowNotice(notice, kNoticeExclamation);
}

}  // namespace tarvex
