#include "batch.h"

#include <QFileInfo>
#include <QTemporaryFile>

#include <algorithm>
#include <filesystem>

#include "catalogue.h"
#include "codepage.h"
#include "export.h"
#include "file_paths.h"
#include "failure_reason.h"
#include "packed_set.h"
#include "sqltext.h"
#include "temporary_database.h"

namespace tarvex {

namespace {

namespace fs = std::filesystem;

// One set's conversion reporting to the batch: no pauses, and every question answered Yes, the
// set being flagged by its warnings instead (nobody sits before a batch to answer).
class SetReport final : public Report {
public:
    explicit SetReport(Report& batch) : batch_(batch) {}
    void Log(const std::string& line) override { batch_.Log(line); }
    void Copied(int position, const TableCopy& copy) override { batch_.Copied(position, copy); }
    bool Ask(const std::string&) override { return true; }
    bool Cancelled() override { return batch_.Cancelled(); }

private:
    Report& batch_;
};

std::string Trimmed(const std::string& s) { return s.substr(0, s.find_last_not_of(' ') + 1); }

// "2016_101城关镇人民政府（新科目）_002": what a batch's backup name says before the account set's
// own name, so that the folder tells which set each file is.
std::string FileNamePrefix(const AccountSetEntry& set) {
    return Trimmed(set.year) + "_" + Trimmed(set.unitCode) + Trimmed(set.unitName) + "_" + Trimmed(set.accountSetNo);
}

std::string CancelledText() { return ProgramText("批量转换已取消；已完成的账套不受影响。"); }

std::string LostConnectionText() {
    return ProgramText("与服务器的连接已断开，批量转换停止。已完成的账套不受影响；请重新登录后再转换其余的账套。");
}

// What the batch reads of sys.databases before its first set, in one exchange: whether the
// temporary database is there, and which database the sets come from (SourceIdentity).
struct Databases {
    TemporaryDatabase temporary;
    std::string sourceIdentity;
};

std::string DatabasesQuery(const std::string& source) {
    // The source's rows have a third column, which tells them from the temporary database's.
    return TemporaryDatabaseQuery() + "; SELECT database_id, create_date, name FROM sys.databases WHERE name = N'" +
           QuoteLiteralText(source) + "'";
}

Databases DatabasesOf(const std::vector<std::vector<std::string>>& rows) {
    Databases d;
    d.temporary.is = TemporaryDatabase::Is::Absent;
    for (const std::vector<std::string>& row : rows) {
        if (row.size() == 2) d.temporary = TemporaryDatabase::Of(row);
        else if (row.size() == 3) d.sourceIdentity = row[0] + " " + row[1];
    }
    return d;
}

auto ReadingDatabases(const std::string& source) {
    return [statement = DatabasesQuery(source)](ODBCDB& db) {
        const std::optional<std::vector<std::vector<std::string>>> rows = db.ReadAllText(statement);
        return rows ? DatabasesOf(*rows) : Databases{};
    };
}

// Takes the hold, the databases coming in the take's own exchange; where that read fell short,
// in an exchange of their own. (The log-in read the server's version.)
std::optional<HoldTaken> TakingHoldAndReading(HoldOnTemporaryDatabase& hold, const std::string& source,
                                              std::optional<Databases>& databases) {
    std::vector<BatchResult> read;
    const std::optional<HoldTaken> taken = hold.Take(DatabasesQuery(source), read);
    if (taken && (taken->hold == Hold::InUse || taken->hold == Hold::Unknown)) return taken;
    if (read.size() == 2) {
        std::vector<std::vector<std::string>> rows = read[0].rows;
        rows.insert(rows.end(), read[1].rows.begin(), read[1].rows.end());
        databases = DatabasesOf(rows);
    } else {
        databases = hold.Session().Run(ReadingDatabases(source));
    }
    return taken;
}

// Why the batch cannot start (`stop` says which kind), or empty: the temporary database must be
// free and absent. The hold the batch takes here lasts until the batch's end.
// `sourceIdentity`: which database `source` is, when the server says.
std::string StartProblem(HoldOnTemporaryDatabase& hold, const std::string& source, BatchOutcome::Stop& stop,
                         std::string& sourceIdentity) {
    const std::string name = ProgramText("临时数据库") + ProgramText(kTemporaryDatabase);
    const std::optional<ExtractionRecord> filled = hold.Ledger().Filled();
    if (filled && filled->exportedAs.empty()) {
        stop = BatchOutcome::Stop::Failed;
        return ProgramText("本程序整理的") + name + ProgramText("（账套“") + filled->accountSetName +
               ProgramText("”）还没有导出，批量转换没有开始。请先在主窗口点击“导出数据”导出它，再开始批量转换。");
    }
    std::optional<Databases> read;
    const std::optional<HoldTaken> taken = TakingHoldAndReading(hold, source, read);
    if (taken && (taken->hold == Hold::InUse || taken->hold == Hold::Unknown)) {
        stop = ConnectionLost(taken->why) ? BatchOutcome::Stop::ConnectionLost : BatchOutcome::Stop::HeldElsewhere;
        return HeldElsewhereText(*taken) + ProgramText("，批量转换没有开始。请等它导出完毕后再试。") +
               (taken->why.Empty() ? "" : ReasonLine(taken->why));
    }
    if (read) sourceIdentity = read->sourceIdentity;
    const std::optional<TemporaryDatabase> found = read ? std::optional(read->temporary) : std::nullopt;
    if (found && found->is == TemporaryDatabase::Is::Present) {
        stop = BatchOutcome::Stop::Leftover;
        if (filled)  // exported and checked; only its drop was cut off
            return ProgramText("服务器上还有") + name + ProgramText("：本程序整理的账套“") + filled->accountSetName +
                   ProgramText("”已经导出到“") + filled->exportedAs +
                   ProgramText("”并通过了校验，但删除临时数据库时与服务器的连接断了。批量转换没有开始。"
                               "请删除它（tarvex-convert-cli drop-temporary），再开始批量转换。");
        return ProgramText("服务器上已有") + name +
               ProgramText("，没有别的转换程序在使用它：它是上次转换留下、尚未导出的。批量转换没有开始。"
                           "请在主窗口点击“导出数据”导出并删除它，或删除它（tarvex-convert-cli drop-temporary），"
                           "再开始批量转换。");
    }
    return {};
}

bool LostConnection(const Extraction& x) {
    if (x.create && !x.create->ok && ConnectionLost(x.create->error)) return true;
    return std::any_of(x.record.copies.begin(), x.record.copies.end(), [](const TableCopy& c) { return c.lostConnection; });
}

bool LostConnection(const Export& e) {
    for (const std::optional<Executed>* step : {&e.backup, &e.verify, &e.drop})
        if (*step && !(*step)->ok && ConnectionLost((*step)->error)) return true;
    return false;
}

// The result of a set whose extraction finished, from what its export came to.
// Why a backup failed; where the server's account may not write into the folder (Windows' error
// 5), who must be able to write where.
std::string BackupFailureNote(const OdbcError& error, const std::string& directory) {
    std::string note = ProgramText("备份失败：") + ReasonLine(error);
    if (error.native == 3201 && error.Describe().find("error 5(") != std::string::npos)
        note += ProgramText("；SQL Server服务的账户不能写入文件夹“") + directory +
                ProgramText("”：备份文件由服务器写入，请让该账户（在Windows上见服务管理器里SQL Server服务的“登录”页，"
                            "在Linux上通常是mssql用户）能写入这个文件夹，或改用它能写入的文件夹");
    return note;
}

// `cancelled`: the batch was cancelled during the drop, which the cancel itself sees to.
void Judge(const Extraction& x, const Export& e, const std::string& directory, BatchRow& row, bool cancelled = false) {
    row.rows = x.record.UnreportedCounts() > 0 ? -1 : x.record.TotalRows();
    row.tablesWithRows = x.record.TablesWithRows();
    row.file = e.backup && e.backup->ok ? e.file : std::string();
    row.sha256 = row.file.empty() ? std::string() : e.digest.sha256;
    if (e.verify) row.verification = ProgramText(e.Verified() ? "通过" : e.VerifyNotRun() ? "未能进行" : "未通过");
    if (const int failed = x.record.FailedCopies(); failed > 0)
        row.notes.push_back(std::to_string(failed) + ProgramText("张表整理失败"));
    if (const std::string warning = ExtractionWarning(x.record); !warning.empty()) row.notes.push_back(warning);
    if (x.record.NoVouchers()) row.notes.push_back(ProgramText("账套中没有凭证"));
    // What the export says of a backup's contents, where there is a backup.
    if (e.backup && e.backup->ok)
        for (const std::string& warning : e.warnings)
            if (std::find(row.notes.begin(), row.notes.end(), warning) == row.notes.end()) row.notes.push_back(warning);
    if (!e.recordProblem.empty()) row.notes.push_back(RecordFailedText(e.file, e.recordProblem));
    if (e.end == Export::End::BackupFailed) row.notes.push_back(BackupFailureNote(e.backup->error, directory));
    else if (e.verify && !e.Verified()) row.notes.push_back(ProgramText("校验未通过：") + ReasonLine(e.verify->error));
    else if (e.DropUnknown())
        row.notes.push_back(ProgramText("无法确认临时数据库是否已删除：删除时与服务器的连接断开"));
    else if (e.drop && !e.drop->ok && !cancelled)
        row.notes.push_back(ProgramText("临时数据库未能删除：") + ReasonLine(e.drop->error));
    const bool failed = x.record.FailedCopies() > 0 || !e.Verified();
    const bool flagged = !e.warnings.empty() || !e.recordProblem.empty() || x.record.Empty() ||
                         x.record.AccountSetMissing() || x.record.NoVouchers();
    row.result = failed ? BatchRow::Result::Failed : flagged ? BatchRow::Result::WithWarnings : BatchRow::Result::Converted;
}

// The records of earlier conversions in the batch's folder, of the same server and database,
// read once at the batch's start.
class EarlierResults {
public:
    EarlierResults(const std::string& directory, const LoggedIn& login, const std::string& sourceIdentity)
        : directory_(directory), sourceIdentity_(sourceIdentity) {
        std::error_code error;
        for (const fs::directory_entry& entry : fs::directory_iterator(FileSystemPath(directory), error)) {
            const std::string name = NarrowPath(entry.path());
            if (!name.ends_with(".bak.txt")) continue;
            std::optional<RecordSays> says = ReadRecordFile(name);
            if (says && says->server == login.server && says->database == login.database) records_.push_back(*says);
        }
    }

    // The record of an earlier backup of `set` that agrees with it; null when there is none,
    // `why` then saying what disagreed where one was found.
    const RecordSays* Done(const AccountSetEntry& set, std::string& why) const {
        for (const RecordSays& r : records_) {
            if (r.year != Trimmed(set.year) || r.unitCode != Trimmed(set.unitCode) ||
                r.accountSetNumber != Trimmed(set.accountSetNo))
                continue;
            const std::string file = ProgramText("已有的备份") + r.file;
            if (!r.verified) why = file + ProgramText("的校验没有通过");
            else if (r.sourceIdentity.empty())
                why = file + ProgramText("的转换记录没有记下数据库的标识（由本程序的旧版本写出），无法确认它出自现在的数据库");
            else if (r.sourceIdentity != sourceIdentity_)
                why = file + ProgramText("出自另一个同名的数据库（数据库已重新建立或还原：记录中的标识为") + r.sourceIdentity +
                      ProgramText("，现在") + (sourceIdentity_.empty() ? ProgramText("读不到") : ProgramText("为") + sourceIdentity_) +
                      ProgramText("）");
            else if (!FileExists(BackupPath(directory_, r.file))) why = file + ProgramText("不在文件夹里");
            else if (DigestOf(BackupPath(directory_, r.file)).sha256 != r.sha256) why = file + ProgramText("与其转换记录不符（SHA-256不同）");
            else return &r;
        }
        return nullptr;
    }

private:
    std::string directory_;
    std::string sourceIdentity_;
    std::vector<RecordSays> records_;
};

class Batch {
public:
    Batch(HoldOnTemporaryDatabase& hold, const std::string& source, const std::string& sourceIdentity,
          const std::string& directory, Report& report)
        : hold_(hold), source_(source), sourceIdentity_(sourceIdentity), directory_(directory), setReport_(report),
          ledger_(hold.Ledger()) {}

    // Converts one set into `row`; false when the batch must stop (`outcome` says why).
    bool Convert(const AccountSetEntry& set, BatchRow& row, BatchOutcome& outcome) {
        if (!set.convertible) {
            row.result = BatchRow::Result::Failed;
            row.notes.push_back(WithoutNewChartText());
            return true;
        }
        const ConversionInputs inputs{source_, set.year, set.unitCode, set.accountSetNo, set.name, sourceIdentity_};
        options_.fileNamePrefix = FileNamePrefix(set);
        const PackedExtraction packed = ExtractPacked(hold_, inputs, setReport_, options_);
        const Extraction& x = packed.extraction;
        // A cancel breaks off the statement under way: whatever failed then was cancelled.
        if (x.end == Extraction::End::Cancelled || (x.end != Extraction::End::Finished && setReport_.Cancelled()))
            return Cancel(row, outcome);
        switch (x.end) {
            case Extraction::End::Finished:
            case Extraction::End::Cancelled: break;
            case Extraction::End::Closing: return Stop(row, outcome, BatchOutcome::Stop::Cancelled, {});
            case Extraction::End::Refused:
            case Extraction::End::InUse: return Stop(row, outcome, BatchOutcome::Stop::HeldElsewhere, x.refusal);
            case Extraction::End::CreateFailed:
                if (LostConnection(x)) return Stop(row, outcome, BatchOutcome::Stop::ConnectionLost, LostConnectionText());
                return Stop(row, outcome, BatchOutcome::Stop::Failed,
                            ProgramText("临时数据库创建失败，批量转换停止。") + ReasonLine(x.create->error));
        }
        const Export e = ExportPacked(hold_, directory_, setReport_, options_, packed);
        if (!e.file.empty()) taken_.push_back(e.file);
        if (e.end == Export::End::Closing) return Stop(row, outcome, BatchOutcome::Stop::Cancelled, {});
        const bool done = e.Verified() && e.drop && e.drop->ok;
        if (e.end == Export::End::Cancelled || (!done && setReport_.Cancelled())) return CancelExport(x, e, row, outcome);
        if (e.end == Export::End::BackupFailed)
            setReport_.Log(ProgramText("导出备份失败！") + ReasonLine(e.backup->error) + "\r\n");
        Judge(x, e, directory_, row);
        if (!row.verification.empty()) row.serverVersion = ledger_.Login().serverVersion;
        if (LostConnection(x) || LostConnection(e))
            return Stop(row, outcome, BatchOutcome::Stop::ConnectionLost, LostConnectionText(), row.result);
        // A backup that failed or did not pass its check leaves the database: the next set needs it gone.
        const bool dropped = e.drop ? e.drop->ok : DropTemporaryDatabase(hold_, setReport_, options_);
        if (!dropped)
            return Stop(row, outcome, BatchOutcome::Stop::Failed, ProgramText("临时数据库未能删除，批量转换停止。"),
                        row.result);
        return true;
    }

private:
    // The set under way was cancelled: its temporary database goes, if the server answers.
    bool Cancel(BatchRow& row, BatchOutcome& outcome, std::optional<BatchRow::Result> result = std::nullopt) {
        if (ledger_.Filled()) DropTemporaryDatabase(hold_, setReport_, options_);
        return Stop(row, outcome, BatchOutcome::Stop::Cancelled, {}, result);
    }

    // The set under way was cancelled during its export. A backup the server checked before the
    // cancel came is the set's, as its record says; one whose check was broken off is in the
    // folder unchecked.
    bool CancelExport(const Extraction& x, const Export& e, BatchRow& row, BatchOutcome& outcome) {
        if (e.Verified()) {
            Judge(x, e, directory_, row, /*cancelled=*/true);
            row.serverVersion = ledger_.Login().serverVersion;
            return Cancel(row, outcome, row.result);
        }
        if (e.verifyCancelled) {
            row.rows = x.record.TotalRows();
            row.tablesWithRows = x.record.TablesWithRows();
            row.file = e.file;
            row.verification = ProgramText("已取消");
            row.notes.push_back(ProgramText("校验被中断，备份文件未经校验，不能使用"));
        }
        return Cancel(row, outcome);
    }

    bool Stop(BatchRow& row, BatchOutcome& outcome, BatchOutcome::Stop stop, const std::string& why,
              std::optional<BatchRow::Result> result = std::nullopt) {
        row.result = result.value_or(stop == BatchOutcome::Stop::Cancelled ? BatchRow::Result::Cancelled
                                                                           : BatchRow::Result::Failed);
        if (!why.empty() && std::find(row.notes.begin(), row.notes.end(), why) == row.notes.end()) row.notes.push_back(why);
        outcome.stop = stop;
        outcome.stopped = stop == BatchOutcome::Stop::Cancelled ? CancelledText() : why;
        return false;
    }

    HoldOnTemporaryDatabase& hold_;
    const std::string& source_;
    const std::string& sourceIdentity_;
    const std::string& directory_;
    SetReport setReport_;
    ConversionLedger& ledger_;
    std::vector<std::string> taken_;
    ConversionOptions options_{0, &taken_, Execution::Direct, /*exportFollows=*/true};
};

// A field of the summary; `guarded`: a text a spreadsheet program would take for a formula is
// kept text by an apostrophe. A file's name goes unguarded, as it is on the disk.
std::string CsvField(const std::string& utf8, bool guarded = true) {
    std::string field = utf8;
    if (guarded && !field.empty() && std::string_view("=+-@").find(field.front()) != std::string_view::npos)
        field.insert(0, "'");
    std::string quoted = "\"";
    for (char c : field) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}


}  // namespace

std::string FolderProblem(const std::string& directory) {
    const QString path = QtPath(directory);
    const QFileInfo info(path);
    const std::string named = ProgramText("文件夹“") + directory + ProgramText("”");
    if (directory.empty() || !info.exists()) return named + ProgramText("不存在。");
    if (!info.isDir()) return named + ProgramText("不是文件夹。");
    QTemporaryFile probe(path + QStringLiteral("/.tarvex-XXXXXX"));
    if (!probe.open()) return named + ProgramText("不能写入：本程序无法在其中建立文件。");
    return {};
}

namespace {

// A set done before: skipped, its earlier file in the summary. False when it must be converted
// (again: the note says why the earlier one does not count).
bool Skip(const EarlierResults& earlier, BatchRow& row) {
    std::string why;
    const RecordSays* done = earlier.Done(row.set, why);
    if (!done) {
        if (!why.empty()) row.notes.push_back(why + ProgramText("，重新转换"));
        return false;
    }
    row.result = BatchRow::Result::Skipped;
    row.file = done->file;
    row.sha256 = done->sha256;
    row.verification = ProgramText("通过");
    return true;
}

// Writes the summary beside the backups under a name of its own: two batches that end in the
// same second (a refused one, say, beside one that converted) each keep theirs, the later one
// numbered "(2)", "(3)", ...
void WriteSummary(const std::string& directory, BatchOutcome& outcome) {
    const std::string stem = SummaryFileName(std::time(nullptr));
    const std::string base = stem.substr(0, stem.size() - 4);  // without ".csv"
    const std::string csv = SummaryCsv(outcome.rows);
    for (int n = 1;; ++n) {
        const std::string file = n == 1 ? stem : base + "(" + std::to_string(n) + ").csv";
        switch (CreateRecordFile(BackupPath(directory, file), csv)) {
            case Creation::Created: outcome.summaryFile = file; return;
            case Creation::Taken: continue;
            case Creation::Failed:
                outcome.summaryProblem = WriteRecordFile(BackupPath(directory, file), csv);
                if (outcome.summaryProblem.empty()) outcome.summaryFile = file;
                return;
        }
    }
}

}  // namespace

int BatchOutcome::ExitCode() const {
    const auto any = [&](BatchRow::Result r) {
        return std::any_of(rows.begin(), rows.end(), [r](const BatchRow& row) { return row.result == r; });
    };
    if (stop == Stop::ConnectionLost) return 4;
    if (stop == Stop::HeldElsewhere || stop == Stop::Leftover) return 5;
    if (stop != Stop::None || any(BatchRow::Result::Failed) || any(BatchRow::Result::NotRun)) return 1;
    return any(BatchRow::Result::WithWarnings) ? 3 : 0;
}

namespace {

// The sets one after another under `hold`, once the start found nothing in the way.
void ConvertSets(HoldOnTemporaryDatabase& hold, const std::string& sourceDatabase, const std::string& sourceIdentity,
                 const std::string& directory, Report& report, const BatchOptions& options, BatchOutcome& outcome) {
    ConversionLedger& ledger = hold.Ledger();
    // Asked once here, so that no set's exports ask it.
    if (ledger.Login().serverVersion.empty())
        if (const std::optional<std::string> version = hold.Session().Run(ReadServerVersion)) ledger.SetServerVersion(*version);
    Batch batch(hold, sourceDatabase, sourceIdentity, directory, report);
    const std::optional<EarlierResults> earlier =
        options.skipDone ? std::optional<EarlierResults>(std::in_place, directory, ledger.Login(), sourceIdentity)
                         : std::nullopt;
    const int total = static_cast<int>(outcome.rows.size());
    for (int n = 1; n <= total; ++n) {
        if (report.Cancelled()) {
            outcome.stop = BatchOutcome::Stop::Cancelled;
            outcome.stopped = CancelledText();
            break;
        }
        BatchRow& row = outcome.rows[static_cast<std::size_t>(n - 1)];
        report.SetBegins(n, total, row.set);
        if (earlier && Skip(*earlier, row)) {
            report.SetEnded(n, row);
            continue;
        }
        const bool goOn = batch.Convert(row.set, row, outcome);
        report.SetEnded(n, row);
        if (!goOn) {
            if (!outcome.stopped.empty()) report.Log(outcome.stopped + "\r\n");
            break;
        }
    }
}

// The batch under its hold, taken before the first set. At its end the hold stays only with a
// temporary database whose drop failed (the batch has reported it; the window's export can still
// back it up and drop it).
void RunUnderHold(Database& database, ConversionLedger& ledger, const std::string& sourceDatabase,
                  const std::string& directory, Report& report, const BatchOptions& options, BatchOutcome& outcome) {
    HoldOnTemporaryDatabase hold(database, ledger);
    std::string sourceIdentity;
    outcome.stopped = StartProblem(hold, sourceDatabase, outcome.stop, sourceIdentity);
    if (!outcome.stopped.empty() && report.Cancelled()) {
        // The cancel broke off the start's own check.
        outcome.stop = BatchOutcome::Stop::Cancelled;
        outcome.stopped = CancelledText();
    }
    if (!outcome.stopped.empty()) report.Log(outcome.stopped + "\r\n");
    else ConvertSets(hold, sourceDatabase, sourceIdentity, directory, report, options, outcome);
    for (BatchRow& row : outcome.rows)
        if (row.result == BatchRow::Result::NotRun)
            row.notes.push_back(outcome.Cancelled() ? ProgramText("批量转换已取消，没有转换")
                                                    : ProgramText("批量转换在此之前停止，没有转换"));
}

}  // namespace

BatchOutcome RunBatch(Database& database, ConversionLedger& ledger, const std::string& sourceDatabase,
                      const std::vector<AccountSetEntry>& sets, const std::string& directory, Report& report,
                      const BatchOptions& options) {
    BatchOutcome outcome;
    for (const AccountSetEntry& set : sets) {
        BatchRow& row = outcome.rows.emplace_back();
        row.set = set;
        row.account = ledger.Login().user;
    }
    RunUnderHold(database, ledger, sourceDatabase, directory, report, options, outcome);
    WriteSummary(directory, outcome);
    return outcome;
}

bool HoldsEarlierResults(const std::string& directory) {
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator(FileSystemPath(directory), error))
        if (NarrowPath(entry.path()).ends_with(".bak.txt")) return true;
    return false;
}

std::string ResultText(BatchRow::Result result) {
    switch (result) {
        case BatchRow::Result::Converted: return ProgramText("已转换");
        case BatchRow::Result::Skipped: return ProgramText("已存在（跳过）");
        case BatchRow::Result::WithWarnings: return ProgramText("已转换，有警告");
        case BatchRow::Result::Failed: return ProgramText("失败");
        case BatchRow::Result::Cancelled: return ProgramText("已取消");
        case BatchRow::Result::NotRun: return ProgramText("未转换");
    }
    return {};
}

std::string RowsText(const BatchRow& row) {
    return row.rows < 0 ? ProgramText("未报告") : std::to_string(row.rows);
}

std::string NotesText(const BatchRow& row) {
    std::string text;
    for (const std::string& note : row.notes) text += (text.empty() ? "" : ProgramText("；")) + note;
    return text;
}

std::string SummaryCsv(const std::vector<BatchRow>& rows) {
    const CodePage cp = CodePage::Process();
    std::string csv = "年度,单位编号,单位名称,账套编号,账套名称,结果,复制行数,有数据的表,备份文件,校验,说明,服务器版本,登录账户,SHA-256\n";
    for (const BatchRow& r : rows) {
        const auto f = [&](const std::string& narrow) { return CsvField(cp.ToUtf8(Trimmed(narrow))); };
        const auto name = [&](const std::string& narrow) { return CsvField(cp.ToUtf8(narrow), false); };
        csv += f(r.set.year) + "," + f(r.set.unitCode) + "," + f(r.set.unitName) + "," + f(r.set.accountSetNo) + "," +
               f(r.set.name) + "," + f(ResultText(r.result)) + "," + (r.rows < 0 ? f(RowsText(r)) : RowsText(r)) + "," +
               std::to_string(r.tablesWithRows) + "," + name(r.file) + "," + f(r.verification) + "," + f(NotesText(r)) +
               "," + f(r.serverVersion) + "," + f(r.account) + "," + f(r.sha256) + "\n";
    }
    return csv;
}

std::string SummaryFileName(std::time_t when) {
    const std::tm local = LocalTime(when);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    return ProgramText("批量转换汇总") + stamp + ".csv";
}

}  // namespace tarvex
