#include "export.h"

#include <QFileInfo>
#include <QString>

#include <algorithm>
#include <optional>
#include <vector>

#include "catalogue.h"
#include "conversion.h"
#include "conversion_record.h"
#include "database.h"
#include "failure_reason.h"
#include "program_directory.h"
#include "sqltext.h"
#include "temporary_database.h"
#include "window_port.h"
#include "window_report.h"

namespace tarvex {

namespace {

#ifdef _WIN32
constexpr std::string_view kSeparator = "\\";
#else
constexpr std::string_view kSeparator = "/";
#endif

// The account-set names held in the temporary database's own copy of GL_ZTCS, each once and
// without the blanks a fixed-width column pads it with; nullopt when it cannot be read (no
// temporary database, no such table, no connection). A conversion holds one row there. Sent
// directly, the rows come with the answer instead of through a cursor's exchanges.
auto ReadingHeldNames(Execution execution) {
    const std::string statement = "SELECT ztmc FROM [" + ProgramText(kTemporaryDatabase) + "].[dbo].[GL_ZTCS]";
    return [statement, execution](ODBCDB& db) -> std::optional<std::vector<std::string>> {
        std::optional<std::vector<std::string>> rows;
        if (execution == Execution::Direct) {
            if (auto read = db.ReadAllText(statement)) {
                rows.emplace();
                for (std::vector<std::string>& row : *read) rows->push_back(std::move(row.front()));
            }
        } else if (const RecordSetHandle h = db.OpenTable(statement)) {
            rows.emplace();
            for (db.MoveFirst(h); !db.IsEOF(h); db.MoveNext(h)) rows->push_back(db.ReadColByIndex(h, 1).Text());
            db.CloseRecordSet(h);
        }
        if (!rows) return std::nullopt;
        std::vector<std::string> names;
        for (std::string& name : *rows) {
            name.erase(name.find_last_not_of(' ') + 1);
            if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(std::move(name));
        }
        return names;
    };
}

// What the backup holds and how it compares with what this program filled, decided before the
// backup: the account set to name the file for, what the user must be told, and the question
// to ask first (empty: none).
struct Contents {
    std::string name;
    std::vector<std::string> warnings;
    std::string question;
};

std::string HeldNamesWarning(const std::optional<std::vector<std::string>>& held, const std::string& name) {
    const std::string named = ProgramText("无法确认备份属于哪个账套；备份文件按“") + name + ProgramText("”命名。");
    if (!held) return ProgramText("临时数据库中没有可以读取的GL_ZTCS表，") + named;
    if (held->empty()) return ProgramText("临时数据库的GL_ZTCS表里没有账套，") + named;
    return ProgramText("临时数据库的GL_ZTCS表里不止一个账套，") + named;
}

Contents Judge(const std::optional<std::vector<std::string>>& held, const std::optional<ExtractionRecord>& filled,
               const std::string& chosen) {
    Contents c;
    if (held && held->size() == 1) {
        c.name = held->front();
    } else {
        c.name = filled ? filled->accountSetName : chosen;
        c.warnings.push_back(HeldNamesWarning(held, c.name));
    }
    const std::string ask = ProgramText("\r\n\r\n仍然要导出吗？");
    if (!filled) {
        const std::string notHere = ProgramText(
            "临时数据库不是本程序这次运行中整理的（可能是以前留下的），无法确认其中的数据是否完整、属于哪个账套。");
        c.warnings.push_back(notHere);
        c.question = notHere + ProgramText("\r\n\r\n") +
                     (held && held->size() == 1 ? ProgramText("其中的GL_ZTCS表属于账套“") + c.name + ProgramText("”。")
                                                : c.warnings.front()) +
                     ask;
        return c;
    }
    if (!filled->finished) {
        c.warnings.push_back(ProgramText("上次整理没有完成，只整理了") + std::to_string(filled->copies.size()) +
                             ProgramText("张表，备份中缺少其余的表。"));
    } else if (const int failed = filled->FailedCopies(); failed > 0) {
        c.warnings.push_back(ProgramText("上次整理有") + std::to_string(failed) + ProgramText("张表整理失败，备份中缺少这些表。"));
    }
    if (filled->Empty())
        c.question = ProgramText("这次整理的账套没有复制到任何数据，临时数据库中的表都是空的。\r\n"
                                 "请检查转换年度、当前单位编号和当前账套编号。") + ask;
    else if (filled->AccountSetMissing())
        c.question = ProgramText("这次整理没有找到该账套：临时数据库的GL_ZTCS表是空的，其中的数据不属于这个账套。\r\n"
                                 "请检查转换年度、当前单位编号和当前账套编号。") + ask;
    return c;
}

// The backup's name: the account set, the date and the time it is made. A file of that name
// already there (two account sets of one name within a second) is never overwritten: the
// later one gets a number.
std::string BackupName(const std::string& directory, const std::string& accountSet,
                       const std::vector<std::string>* namesTaken) {
    const auto taken = [&](const std::string& file) {
        return (namesTaken && std::find(namesTaken->begin(), namesTaken->end(), file) != namesTaken->end()) ||
               QFileInfo::exists(QString::fromStdString(CodePage::Process().ToUtf8(BackupPath(directory, file))));
    };
    const std::string base = FileNamePart(accountSet) + MonthDayText() + TimeOfDayText();
    std::string file = base + ".bak";
    for (int n = 2; taken(file); ++n) file = base + "(" + std::to_string(n) + ").bak";
    return file;
}

std::string VerificationText(const Export& e) {
    if (e.Verified()) return ProgramText("通过");
    if (e.VerifyNotRun()) return ProgramText("未能进行：与服务器的连接断开");
    return ProgramText("未通过，") + ReasonLine(e.verify->error);
}

// Database work that drops the temporary database.
auto Dropping(const ConversionOptions& options) {
    return Executing("drop database " + ProgramText(kTemporaryDatabase), Timeout::None(), options.execution);
}

// Writes the record beside the backup; why it could not be written, or an empty text.
std::string WriteRecord(const std::optional<ExtractionRecord>& filled, const LoggedIn& login, const Export& e,
                        const std::string& started) {
    ExportFacts facts;
    facts.started = started;
    facts.ended = LocalTimeText();
    facts.backupFile = e.file;
    facts.backupPath = e.path;
    facts.verification = VerificationText(e);
    facts.warnings = e.warnings;
    return WriteRecordFile(e.path + ".txt", RecordText(filled, login, facts));
}

// For the notice of an export that wrote its record: the record's name, or why it could not be
// written.
std::string RecordNotice(const Export& e) {
    if (!e.recordProblem.empty())
        return RecordFailedText(e.file, e.recordProblem) + ProgramText("，备份文件不受影响。");
    return ProgramText("转换记录：") + e.file + ".txt";
}

// Database work: gives up this connection's hold on the temporary database, once it is gone.
bool GivingUpHold(ODBCDB& db) {
    GiveUpHold(db);
    return true;
}

// The steps after a backup that was made: the check, the drop and the record.
void CheckAndDrop(Database::Session& session, ConversionLedger& ledger, Export& e, ConversionReport& report,
                  const ConversionOptions& options, const std::string& started) {
    // What the record tells of the extraction, taken before the drop clears it.
    const std::optional<ExtractionRecord> filled = ledger.Filled();
    const auto writeRecord = [&] { e.recordProblem = WriteRecord(filled, ledger.Login(), e, started); };
    const auto pause = [&] {
        if (options.pauseMilliseconds > 0) report.Pause(options.pauseMilliseconds);
    };
    // The server reads the file back and checks it before the database it came from is dropped.
    report.Log(ProgramText("正在校验备份文件！\r\n"));
    pause();
    e.verify = session.Run(Executing(BuildVerifyStatement(e.path), Timeout::None(), options.execution));
    if (!e.verify) return;
    if (!e.verify->ok) {
        writeRecord();
        report.Log((e.VerifyNotRun() ? ProgramText("备份文件校验未能进行：与服务器的连接断开！")
                                     : ProgramText("备份文件校验失败！")) +
                   ReasonLine(e.verify->error) + "\r\n");
        return;
    }
    report.Log(ProgramText("正在删除临时数据库！\r\n"));
    pause();
    e.drop = session.Run(Dropping(options));
    if (!e.drop) return;
    if (e.drop->ok) {
        ledger.ClearFilled();
        if (!options.heldByCaller) session.Run(GivingUpHold);
    }
    pause();
    if (e.drop->ok)
        report.Log(ProgramText("完成删除临时数据库！\r\n"));
    else
        report.Log(ProgramText("删除临时数据库失败！") + ReasonLine(e.drop->error) + "\r\n");
    pause();
    writeRecord();
    for (const std::string& warning : e.warnings) report.Log(ProgramText("注意：") + warning + "\r\n");
}

std::string InUseText() { return HeldElsewhereText() + ProgramText("，不能导出或删除它。"); }

}  // namespace

bool Export::VerifyNotRun() const { return verify && !verify->ok && ConnectionLost(verify->error); }

Export ExportTemporaryDatabase(Database& database, ConversionLedger& ledger, const std::string& chosenName,
                               const std::string& directory, ConversionReport& report,
                               const ConversionOptions& options) {
    const std::string started = LocalTimeText();
    report.Log(ProgramText("正在执行导出备份数据！\r\n"));
    Export e;
    Database::Session session = database.Begin();
    const std::optional<Hold> hold =
        options.heldByCaller ? Hold::Held : session.Run([](ODBCDB& db) { return TakeHold(db); });
    if (!hold) return e;
    if (*hold == Hold::InUse) {
        report.Log(InUseText() + "\r\n");
        e.end = Export::End::InUse;
        return e;
    }
    // A caller that holds the temporary database for its run has just filled it.
    const auto exists = options.heldByCaller ? std::optional<std::optional<bool>>(true)
                                             : session.Run([](ODBCDB& db) { return TemporaryDatabaseExists(db); });
    const auto held = session.Run(ReadingHeldNames(options.execution));
    if (!exists || !held) return e;
    Contents contents = Judge(*held, ledger.Filled(), chosenName);
    // Without a temporary database there is nothing to ask about: the backup says why it fails.
    if (exists->value_or(held->has_value()) && !contents.question.empty() && !report.Ask(contents.question)) {
        report.Log(ProgramText("已取消导出，临时数据库保留在服务器上。\r\n"));
        e.end = Export::End::Declined;
        return e;
    }
    if (report.Cancelled()) {
        e.end = Export::End::Cancelled;
        return e;
    }
    e.warnings = std::move(contents.warnings);
    e.file = BackupName(directory, contents.name, options.namesTaken);  // named for the time it is made
    e.path = BackupPath(directory, e.file);
    // A large account set takes the server a while to back up: no time-out cuts it off.
    e.backup = session.Run(Executing(BuildBackupStatement(directory, e.file), Timeout::None(), options.execution));
    if (!e.backup) return e;
    if (!e.backup->ok) {
        e.end = Export::End::BackupFailed;
        return e;
    }
    CheckAndDrop(session, ledger, e, report, options, started);
    e.end = (e.verify && (!e.verify->ok || e.drop)) ? Export::End::Exported : Export::End::Closing;
    return e;
}

bool DropTemporaryDatabase(Database& database, ConversionLedger& ledger, ConversionReport& report,
                           const ConversionOptions& options) {
    Database::Session session = database.Begin();
    const std::optional<Executed> drop = session.Run(Dropping(options));
    if (!drop) return false;
    if (!drop->ok) {
        report.Log(ProgramText("删除临时数据库失败！") + ReasonLine(drop->error) + "\r\n");
        return false;
    }
    ledger.ClearFilled();
    if (!options.heldByCaller) session.Run(GivingUpHold);
    report.Log(ProgramText("完成删除临时数据库！\r\n"));
    return true;
}

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

// ---- The action of 按钮2 ---------------------------------------------------------------------

namespace {

// The notice that ends an export; nullopt when none is shown.
std::optional<std::pair<std::string, int>> ExportNotice(const Export& e) {
    const std::string kept = ProgramText("临时数据库") + ProgramText(kTemporaryDatabase);
    switch (e.end) {
        case Export::End::Closing:
        case Export::End::Cancelled:
        case Export::End::Declined: return std::nullopt;
        case Export::End::InUse:
            return std::pair{InUseText() + ProgramText("\r\n\r\n请等另一个转换程序导出完毕后再试。"), kNoticeExclamation};
        case Export::End::BackupFailed:
            return std::pair{ProgramText("导出失败！请重试") + ReasonParagraph(e.backup->error), kNoticeExclamation};
        case Export::End::Exported: break;
    }
    if (e.VerifyNotRun())
        return std::pair{ProgramText("导出未完成！备份文件") + e.file +
                             ProgramText("已经写出，但校验未能进行：与服务器的连接断开。") + kept +
                             ProgramText("仍在服务器上。") + ReasonParagraph(e.verify->error) + "\r\n\r\n" + RecordNotice(e),
                         kNoticeExclamation};
    if (!e.Verified())
        return std::pair{ProgramText("导出失败！备份文件") + e.file + ProgramText("没有通过服务器的校验，不能使用。") + kept +
                             ProgramText("已保留，请重新导出。") + ReasonParagraph(e.verify->error) + "\r\n\r\n" + RecordNotice(e),
                         kNoticeExclamation};
    std::string notice = ProgramText("导出完毕！请查看软件目录！\r\n\r\n备份文件：") + e.file + "\r\n" + RecordNotice(e);
    for (const std::string& warning : e.warnings) notice += ProgramText("\r\n\r\n注意：") + warning;
    if (!e.drop->ok)
        notice += ProgramText("\r\n\r\n") + kept +
                  ProgramText("未能删除，仍留在服务器上。请在服务器上删除它，再整理下一个账套。");
    return std::pair{notice, kNoticeExclamation};
}

}  // namespace

std::string RecordFailedText(const std::string& file, const std::string& why) {
    return ProgramText("转换记录文件") + file + ProgramText(".txt写入失败（") + why + ProgramText("）");
}

void ExportAndCleanUp(Window& window, Database& database, ConversionLedger& ledger, std::string_view programDirectory,
                      int pauseMilliseconds, bool fellBack) {
    WindowReport report(window);
    window.SetActionsEnabled(false);
    const Export e = ExportTemporaryDatabase(database, ledger, window.Text(Control::AccountSetChooser),
                                             std::string(programDirectory), report, {pauseMilliseconds});
    window.SetActionsEnabled(true);
    if (auto notice = ExportNotice(e)) {
        if (fellBack && !e.file.empty()) notice->first += "\r\n\r\n" + FellBackText(programDirectory);
        window.ShowNotice(notice->first, notice->second);
    }
}

}  // namespace tarvex
