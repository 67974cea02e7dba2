#include "conversion.h"

#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "catalogue.h"
#include "conversion_record.h"
#include "database.h"
#include "export.h"
#include "failure_reason.h"
#include "packed_set.h"
#include "sqltext.h"
#include "temporary_database.h"

namespace tarvex {

namespace {

// One table's copy, run without a time-out (a large table takes the server a while); nullopt
// when the database shut down.
std::optional<TableCopy> Copy(Database::Session& session, int position, const ExtractionRecord& r,
                              Execution execution) {
    TableCopy copy{std::string(TableCatalogue::TableName(position)), -1, {}};
    const std::optional<std::string> statement =
        BuildCopyStatement(position, r.sourceDatabase, r.unitCode, r.accountSetNumber, r.year);
    if (!statement) {
        copy.failure = DatabaseNameProblem(r.sourceDatabase);
        return copy;
    }
    const std::optional<Executed> copied = session.Run(Executing(*statement, Timeout::None(), execution));
    if (!copied) return std::nullopt;
    if (copied->ok) copy.rows = copied->rows;
    else {
        copy.failure = ReasonLine(copied->error);
        copy.lostConnection = ConnectionLost(copied->error);
    }
    return copy;
}

// Whether a statement was broken off before the server said what came of it: cancelled (the
// batch's Cancel, Ctrl+C) or timed out.
bool BrokenOff(const OdbcError& error) {
    const auto broken = [](const OdbcError& e) { return e.state == "HY008" || e.state == "HYT00" || e.state == "HYT01"; };
    return broken(error) || std::any_of(error.more.begin(), error.more.end(), broken);
}


// The create statement, after the hold on the temporary database's name; `end` says when the
// run cannot go on. A create that fails leaves the ledger without a database, so the hold's end
// gives up the hold; one that succeeds notes which database it made, so that the export can
// tell it from one made after it.
std::optional<Extraction::End> Create(HoldOnTemporaryDatabase& hold, Extraction& x, Report& report,
                                     const ConversionOptions& options) {
    Database::Session& session = hold.Session();
    const std::optional<HoldTaken> taken = hold.Take();
    if (!taken) return Extraction::End::Closing;
    if (taken->hold == Hold::InUse || taken->hold == Hold::Unknown) {
        const std::string refused = HeldElsewhereText(*taken) + ProgramText("。");
        x.refusal = refused + ReasonParagraph(taken->why);
        report.Log(refused + (taken->why.Empty() ? "" : ReasonLine(taken->why)) + "\r\n");
        return Extraction::End::InUse;
    }
    // Making the database's files may take a slow server a while: no time-out cuts it off.
    x.create = session.Run(
        Executing("create database " + ProgramText(kTemporaryDatabase), Timeout::None(), options.execution));
    if (!x.create) return Extraction::End::Closing;
    if (!x.create->ok) {
        if (x.create->connected && (report.Cancelled() || BrokenOff(x.create->error)) &&
            !DropWhatTheCreateMade(session, report, options))
            return Extraction::End::Closing;
        // Copying into a leftover database would mix another account set's rows into the backup.
        report.Log(ProgramText("创建临时数据库失败！请重新登陆数据库！\r\n"));
        report.Log((x.create->connected ? ReasonLine(x.create->error) : ProgramText("原因：尚未登录数据库。")) + "\r\n");
        return Extraction::End::CreateFailed;
    }
    const std::optional<TemporaryDatabase> created = session.Run(ReadTemporaryDatabase);
    if (!created) return Extraction::End::Closing;
    x.record.identity = created->Identity();
    report.Log(ProgramText("创建临时数据库成功！\r\n"));
    return std::nullopt;
}

// The pause between two steps, if any.
void Pause(Report& report, const ConversionOptions& options) {
    if (options.pauseMilliseconds > 0) report.Pause(options.pauseMilliseconds);
}

// The copies of the catalogue's tables, one after another, each in the ledger as it ends;
// nullopt when they all ran, or the end that stopped them.
std::optional<Extraction::End> CopyTables(HoldOnTemporaryDatabase& hold, ExtractionRecord& record, Report& report,
                                          const ConversionOptions& options) {
    for (int position = 1; position <= TableCatalogue::kEntryCount; ++position) {
        if (report.Cancelled()) return Extraction::End::Cancelled;
        report.Log(TableCatalogue::ProgressLine(position));
        const std::optional<TableCopy> copy = Copy(hold.Session(), position, record, options.execution);
        if (!copy) return Extraction::End::Closing;
        if (!copy->Ok()) report.Log(copy->table + ProgramText("表整理失败！") + copy->failure + "\r\n");
        record.copies.push_back(*copy);
        hold.Ledger().SetFilled(record);
        report.Copied(position, *copy);
        Pause(report, options);
    }
    return std::nullopt;
}

}  // namespace

std::optional<bool> DropWhatTheCreateMade(Database::Session& session, Report& report,
                                          const ConversionOptions& options) {
    const std::optional<TemporaryDatabase> found = session.Run(ReadTemporaryDatabase);
    if (!found) return std::nullopt;
    if (found->is != TemporaryDatabase::Is::Present) return true;
    const std::optional<Executed> dropped = session.Run(
        Executing("drop database " + ProgramText(kTemporaryDatabase), Timeout::None(), options.execution));
    if (!dropped) return std::nullopt;
    if (dropped->ok)
        report.Log(ProgramText("创建临时数据库被中断时服务器已经建立了它，已将它删除。\r\n"));
    else
        report.Log(ProgramText("创建临时数据库被中断时服务器已经建立了它，删除它失败！") + ReasonLine(dropped->error) + "\r\n");
    return dropped->ok;
}

Extraction Extract(HoldOnTemporaryDatabase& hold, const ConversionInputs& inputs, Report& report,
                   const ConversionOptions& options) {
    Extraction x;
    if (std::string problem = DatabaseNameProblem(inputs.sourceDatabase); !problem.empty()) {
        report.Log(problem + "\r\n");
        x.refusal = std::move(problem);
        x.end = Extraction::End::Refused;
        return x;
    }
    ConversionLedger& ledger = hold.Ledger();
    ExtractionRecord& record = x.record;
    record.login = ledger.Login();
    record.sourceDatabase = inputs.sourceDatabase;
    record.sourceIdentity = inputs.sourceIdentity;
    record.started = LocalTimeText();
    if (const std::optional<Extraction::End> end = Create(hold, x, report, options)) {
        x.end = *end;
        return x;
    }
    record.year = inputs.year;
    record.unitCode = inputs.unitCode;
    record.accountSetNumber = inputs.accountSetNumber;
    record.accountSetName = inputs.accountSetName;
    ledger.SetFilled(record);
    report.Log(ProgramText("当前整理账套：") + record.accountSetName + "\r\n");
    Pause(report, options);
    if (const std::optional<Extraction::End> end = CopyTables(hold, record, report, options)) {
        x.end = *end;
        return x;
    }
    record.finished = true;
    record.ended = LocalTimeText();
    ledger.SetFilled(record);
    report.Log(ProgramText(options.exportFollows ? "数据整理完毕，开始导出。\r\n" : "数据整理完毕！请点击导出按钮！\r\n"));
    for (const std::string& line : ExtractionSummary(record)) report.Log(line);
    x.end = Extraction::End::Finished;
    return x;
}

std::vector<std::string> ExtractionSummary(const ExtractionRecord& r) {
    std::vector<std::string> lines;
    if (const int failed = r.FailedCopies(); failed > 0)
        lines.push_back(ProgramText("其中") + std::to_string(failed) + ProgramText("张表整理失败，原因见上面的日志。\r\n"));
    const std::string tables = ProgramText("（共") + std::to_string(TableCatalogue::kEntryCount) + ProgramText("张表）");
    if (const int unreported = r.UnreportedCounts(); unreported > 0)
        lines.push_back(ProgramText("复制的行数未报告：服务器没有报告") + std::to_string(unreported) +
                        ProgramText("张表复制的行数；其余的表共复制") + std::to_string(r.TotalRows()) + ProgramText("行数据，") +
                        std::to_string(r.TablesWithRows()) + ProgramText("张表有数据") + tables + ProgramText("。\r\n"));
    else
        lines.push_back(ProgramText("共复制") + std::to_string(r.TotalRows()) + ProgramText("行数据，") +
                        std::to_string(r.TablesWithRows()) + ProgramText("张表有数据") + tables + ProgramText("。\r\n"));
    if (r.Empty())
        lines.push_back(ProgramText("警告：该账套没有复制到任何数据，请检查转换年度、当前单位编号和当前账套编号！\r\n"));
    else if (r.AccountSetMissing())
        lines.push_back(ProgramText("警告：没有找到该账套（它的GL_ZTCS表没有复制到任何行），复制到的数据不属于这个账套，"
                                    "请检查转换年度、当前单位编号和当前账套编号！\r\n"));
    return lines;
}

std::string ExtractionWarning(const ExtractionRecord& r) {
    if (r.Empty())
        return ProgramText("警告：该账套没有复制到任何数据。请检查转换年度、当前单位编号和当前账套编号是否正确。");
    if (r.AccountSetMissing())
        return ProgramText("警告：没有找到该账套，复制到的数据不属于这个账套。请检查转换年度、当前单位编号和当前账套编号是否正确。");
    return {};
}

// ---- The export ----------------------------------------------------------------------------

namespace {

std::string Joined(const std::vector<std::string>& parts, std::string_view between) {
    std::string text;
    for (const std::string& part : parts) text += (text.empty() ? "" : std::string(between)) + part;
    return text;
}

// What the server holds before the backup: which temporary database is there, and the
// account-set names of its own GL_ZTCS (each once, without the blanks a fixed-width column pads
// them with; nullopt when they cannot be read). One exchange with the server, unless there is
// no such table or database to read.
struct Found {
    TemporaryDatabase database;
    std::optional<std::vector<std::string>> names;
};

// What the rows of FindingQuery() say.
Found FoundOf(const std::vector<std::vector<std::string>>& rows) {
    Found f;
    f.database.is = TemporaryDatabase::Is::Absent;
    f.names.emplace();
    for (const std::vector<std::string>& row : rows) {
        if (row.size() == 2) {
            f.database = TemporaryDatabase::Of(row);
            continue;
        }
        std::string name = row.front();
        name.erase(name.find_last_not_of(' ') + 1);
        if (std::find(f.names->begin(), f.names->end(), name) == f.names->end()) f.names->push_back(std::move(name));
    }
    return f;
}

Found Finding(ODBCDB& db) {
    const std::optional<std::vector<std::vector<std::string>>> rows = db.ReadAllText(FindingQuery());
    if (!rows) {
        Found f;
        f.database = ReadTemporaryDatabase(db);
        return f;
    }
    return FoundOf(*rows);
}

// What the backup holds and how it compares with what this program filled, decided before the
// backup: the name to give the file, the account set to record, what the user must be told,
// and the question to ask first (empty: none).
struct Contents {
    std::string name;
    std::string heldAccountSet;
    std::vector<std::string> warnings;
    std::string question;
};

// Why the temporary database cannot say which account set it holds.
std::string UnknownSetReason(const std::optional<std::vector<std::string>>& held) {
    if (!held) return ProgramText("临时数据库中没有可以读取的GL_ZTCS表");
    if (held->empty()) return ProgramText("临时数据库的GL_ZTCS表里没有账套");
    return ProgramText("临时数据库的GL_ZTCS表里不止一个账套");
}

// What a run that did not copy every table leaves out of the backup, or empty.
std::string MissingTablesText(const ExtractionRecord& filled) {
    if (!filled.finished)
        return ProgramText("上次整理没有完成，只整理了") + std::to_string(filled.copies.size()) +
               ProgramText("张表，备份中缺少其余的表。");
    if (const int failed = filled.FailedCopies(); failed > 0)
        return ProgramText("上次整理有") + std::to_string(failed) + ProgramText("张表整理失败，备份中缺少这些表。");
    return {};
}

Contents Judge(const Found& found, const std::optional<ExtractionRecord>& filled) {
    Contents c;
    const std::optional<std::vector<std::string>>& held = found.names;
    if (held && held->size() == 1) {
        c.name = c.heldAccountSet = held->front();
    } else {
        // No account set's name goes on a file whose contents cannot say which set they are.
        c.name = ProgramText("临时数据库");
        c.heldAccountSet = ProgramText("未知（") + UnknownSetReason(held) + ProgramText("）");
        c.warnings.push_back(UnknownSetReason(held) + ProgramText("，无法确认备份属于哪个账套；备份文件按“") +
                             c.name + ProgramText("”命名。"));
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
    std::vector<std::string> paragraphs;
    if (const std::string missing = MissingTablesText(*filled); !missing.empty()) {
        c.warnings.push_back(missing);
        paragraphs.push_back(missing + ProgramText("\r\n缺少的表：") + Joined(filled->MissingTables(), ProgramText("、")));
    }
    if (filled->Empty())
        paragraphs.push_back(ProgramText("这次整理的账套没有复制到任何数据，临时数据库中的表都是空的。\r\n"
                                         "请检查转换年度、当前单位编号和当前账套编号。"));
    else if (filled->AccountSetMissing())
        paragraphs.push_back(ProgramText("这次整理没有找到该账套：临时数据库的GL_ZTCS表是空的，其中的数据不属于这个账套。\r\n"
                                         "请检查转换年度、当前单位编号和当前账套编号。"));
    if (!paragraphs.empty()) c.question = Joined(paragraphs, "\r\n\r\n") + ask;
    return c;
}

// The backup's name, reserved for this export: the account set, the date and the time it is
// made, and the next number, "(2)", "(3)", ..., when a backup or a record of that name is in the
// folder or the name was given earlier in this run. The record is created before the backup
// (`firstRecord` of the name gives its text), in one step that fails where another copy of the
// program has just taken the name, so that two copies never back up into one file. Where the
// program cannot write into the folder, the name is not reserved and the record cannot be
// written either; the export says so.
struct BackupName {
    std::string file;
    bool reserved = false;
};

template <typename FirstRecord>
BackupName ReserveBackupName(const std::string& directory, const std::string& part, std::string_view beforeDate,
                             const std::vector<std::string>* namesTaken, FirstRecord firstRecord) {
    const auto given = [&](const std::string& file) {
        return namesTaken && std::find(namesTaken->begin(), namesTaken->end(), file) != namesTaken->end();
    };
    const std::string base = BackupNamePart(part) + std::string(beforeDate) + MonthDayText() + TimeOfDayText();
    for (int n = 1;; ++n) {
        BackupName name{base + (n == 1 ? std::string() : "(" + std::to_string(n) + ")") + ".bak"};
        const std::string path = BackupPath(directory, name.file);
        if (given(name.file) || FileExists(path)) continue;
        switch (CreateRecordFile(path + ".txt", firstRecord(name.file))) {
            case Creation::Created: name.reserved = true; return name;
            case Creation::Taken: continue;
            case Creation::Failed: return name;
        }
    }
}

std::string VerificationText(const Export& e) {
    if (e.Verified()) return ProgramText("通过");
    if (e.verifyCancelled) return ProgramText("未完成：校验被中断（已取消），这个文件未经校验，不能使用");
    if (e.VerifyNotRun()) return ProgramText("未能进行：与服务器的连接断开");
    return ProgramText("未通过，") + ReasonLine(e.verify->error);
}

// A backup the server wrote and checked where this program cannot read it: a server on another
// computer writes it on its own disk, under the path the program gave it.
std::string NotReadableHereText(const Export& e) {
    return ProgramText("本程序读不到备份文件（") + CodePage::Process().FromUtf8(e.digest.problem) +
           ProgramText("）：服务器把它写在服务器自己的磁盘上，在服务器上它是“") + e.path +
           ProgramText("”，服务器已在那里校验通过；转换记录中没有它的SHA-256。请从服务器上取回这个文件。");
}

// Database work that drops the temporary database.
auto Dropping(const ConversionOptions& options) {
    return Executing("drop database " + ProgramText(kTemporaryDatabase), Timeout::None(), options.execution);
}

// The record of an export into `directory`/`file`; `verification` says what became of the check.
std::string RecordOf(const std::optional<ExtractionRecord>& filled, const LoggedIn& login, const std::string& directory,
                     const std::string& file, const FileDigest& digest, const Contents& contents,
                     const std::string& started, const std::string& verification, const std::string& ended) {
    ExportFacts facts;
    facts.started = started;
    facts.ended = ended;
    facts.backupFile = file;
    facts.backupPath = BackupPath(directory, file);
    facts.digest = digest;
    facts.verification = verification;
    facts.heldAccountSet = contents.heldAccountSet;
    facts.warnings = contents.warnings;
    return RecordText(filled, login, facts);
}

// The first row of the backup file's header (RESTORE HEADERONLY), by column name.
std::string HeaderValue(const std::vector<std::string>& names, const std::vector<std::vector<std::string>>& rows,
                        std::string_view column) {
    const auto at = std::find(names.begin(), names.end(), column);
    if (at == names.end() || rows.empty() || rows.front().size() != names.size()) return {};
    return rows.front()[static_cast<std::size_t>(at - names.begin())];
}

// Database work: whether the backup file holds the backup of the temporary database `backedUp`
// (its name and creation time, to the second), not one another copy of the program or anybody
// else wrote under that name; as the check's outcome when it does not.
Executed HeaderCheck(const std::vector<std::string>& names, const std::vector<std::vector<std::string>>& rows,
                     const TemporaryDatabase& backedUp) {
    Executed e;
    e.connected = true;
    const auto second = [](const std::string& time) { return time.substr(0, 19); };  // "2026-12-08 09:07:03"
    const std::string database = HeaderValue(names, rows, "DatabaseName");
    const std::string created = HeaderValue(names, rows, "DatabaseCreationDate");
    e.ok = database == ProgramText(kTemporaryDatabase) && !created.empty() && second(created) == second(backedUp.created);
    if (!e.ok)
        e.error.message = ProgramText("备份文件里不是这次导出的临时数据库的备份（文件头：数据库“") + database +
                          ProgramText("”，建立于") + (created.empty() ? ProgramText("未知") : created) +
                          ProgramText("；这次导出的临时数据库建立于") + backedUp.created + ProgramText("）");
    return e;
}

std::string HeaderStatement(const std::string& path) { return "RESTORE HEADERONLY FROM DISK = N'" + QuoteLiteralText(path) + "'"; }

auto CheckingHeader(const std::string& path, const TemporaryDatabase& backedUp) {
    return [statement = HeaderStatement(path), backedUp](ODBCDB& db) {
        std::vector<std::string> names;
        const std::optional<std::vector<std::vector<std::string>>> rows = db.ReadAllText(statement, Timeout::None(), &names);
        if (!rows) {
            Executed e;
            e.connected = db.IsOpen();
            e.error = db.LastError();
            return e;
        }
        return HeaderCheck(names, *rows, backedUp);
    };
}

// The backup, its header check and its check, sent together (a batch's export): what each came
// to; the header check and the check are absent when the server did not get to them.
struct BackedUp {
    Executed backup;
    std::optional<Executed> header, verify;
};

auto BackingUpAndChecking(const std::string& backup, const std::string& path, const TemporaryDatabase& backedUp) {
    // Each step ends with a marker of its own, which tells the results of one from the next.
    return [statement = backup + "; SELECT 1; " + HeaderStatement(path) + "; SELECT 2; " + BuildVerifyStatement(path),
            backedUp](ODBCDB& db) {
        BackedUp b;
        b.backup = Executed{true, db.IsOpen(), -1, {}};
        Executed* step = &b.backup;
        bool failed = false;
        const auto fail = [&](const OdbcError& error) {
            if (!failed) step->error = error;
            else step->error.more.push_back(error);
            step->ok = false;
            failed = true;
        };
        int markers = 0;
        const bool whole = db.ExecuteBatch(statement, Timeout::None(), [&](const BatchResult& r) {
            if (r.ok && markers < 2 && r.columns == 1 && r.rows.size() == 1 &&
                r.rows.front().front() == std::to_string(markers + 1)) {
                ++markers;
                // The header check passes only on a header read; the check, unless it fails.
                step = &(markers == 1 ? b.header : b.verify).emplace(Executed{markers == 2, true, -1, {}});
                failed = false;
            } else if (!r.ok) {
                fail(r.error);
            } else if (markers == 1 && r.columns > 1 && !failed) {
                *step = HeaderCheck(r.names, r.rows, backedUp);
                failed = !step->ok;
            }
        });
        if (!whole) fail(db.LastError());
        // The check counts only after a header that matched; broken off between the two, it did not pass.
        if (b.header && !b.header->ok) b.verify = b.header;
        else if (b.header && !b.verify) b.verify = Executed{false, true, -1, db.LastError()};
        return b;
    };
}

}  // namespace

std::string ReadServerVersion(ODBCDB& db) {
    // SERVERPROPERTY answers a sql_variant, which drivers need not read as text: cast, it is text.
    const auto rows = db.ReadAllText("SELECT CAST(SERVERPROPERTY('ProductVersion') AS nvarchar(128)), "
                                     "CAST(SERVERPROPERTY('Edition') AS nvarchar(128))");
    if (!rows || rows->size() != 1 || rows->front().size() != 2 || rows->front()[0].empty()) return {};
    return rows->front()[0] + " " + rows->front()[1];
}

namespace {

// The steps after a backup that was made: the checks, the drop and the record.
void CheckAndDrop(Database::Session& session, ConversionLedger& ledger, Export& e, const TemporaryDatabase& backedUp,
                  const std::optional<Executed>& checked, Report& report, const ConversionOptions& options,
                  const std::function<std::string(const std::string&)>& writeRecord) {
    // The server reads the file back and checks it before the database it came from is dropped.
    report.Log(ProgramText("正在校验备份文件！\r\n"));
    Pause(report, options);
    if (checked) {
        e.verify = checked;  // came with the backup
    } else {
        e.verify = session.Run(CheckingHeader(e.path, backedUp));
        if (e.verify && e.verify->ok)
            e.verify = session.Run(Executing(BuildVerifyStatement(e.path), Timeout::None(), options.execution));
    }
    if (!e.verify) return;
    if (!e.verify->ok) {
        // Broken off by a cancel (a batch's; the window's export is never cancelled): neither
        // passed nor failed.
        e.verifyCancelled = !e.VerifyNotRun() && report.Cancelled();
        e.recordProblem = writeRecord(VerificationText(e));
        report.Log((e.VerifyNotRun()      ? ProgramText("备份文件校验未能进行：与服务器的连接断开！")
                    : e.verifyCancelled ? ProgramText("备份文件校验已取消！")
                                        : ProgramText("备份文件校验失败！")) +
                   ReasonLine(e.verify->error) + "\r\n");
        return;
    }
    ledger.SetExported(e.file);
    report.Log(ProgramText("正在删除临时数据库！\r\n"));
    Pause(report, options);
    e.drop = session.Run(Dropping(options));
    if (!e.drop) return;
    if (e.drop->ok) ledger.ClearFilled();
    Pause(report, options);
    if (e.drop->ok)
        report.Log(ProgramText("完成删除临时数据库！\r\n"));
    else if (e.DropUnknown())
        report.Log(ProgramText("无法确认临时数据库是否已删除：与服务器的连接断开！") + ReasonLine(e.drop->error) + "\r\n");
    else
        report.Log(ProgramText("删除临时数据库失败！") + ReasonLine(e.drop->error) + "\r\n");
    Pause(report, options);
    e.recordProblem = writeRecord(VerificationText(e));
    for (const std::string& warning : e.warnings) report.Log(ProgramText("注意：") + warning + "\r\n");
}

// The export refused: another copy of the program holds the temporary database, or whether one
// does cannot be told.
Export RefusedAsHeldElsewhere(const HoldTaken& taken, Report& report) {
    Export e;
    const std::string refused = HeldElsewhereText(taken) +
                                ProgramText(taken.hold == Hold::InUse ? "，不能导出或删除它。" : "，没有导出。");
    report.Log(refused + (taken.why.Empty() ? "" : ReasonLine(taken.why)) + "\r\n");
    e.refusal = refused + (taken.hold == Hold::InUse ? ProgramText("\r\n\r\n请等另一个转换程序导出完毕后再试。")
                                                     : ReasonParagraph(taken.why));
    e.end = Export::End::InUse;
    return e;
}

// What this connection filled (`filled`, from the ledger) set against the temporary database the
// server holds: false when the one it filled is gone (`e` says so). A database other than the
// one it filled no longer counts as filled here; none at all leaves nothing to export.
bool SetAgainst(const Found& found, ConversionLedger& ledger, std::optional<ExtractionRecord>& filled, Export& e) {
    if (filled && found.database.is == TemporaryDatabase::Is::Absent) {
        // Dropped after all (the connection broke during the drop), or by somebody else.
        ledger.ClearFilled();
        e.end = Export::End::Gone;
        return false;
    }
    // Before any run, or after an export that dropped it: the backup fails, and its notice says why.
    e.nothingToExport = !filled && found.database.is == TemporaryDatabase::Is::Absent;
    if (filled && found.database.is == TemporaryDatabase::Is::Present &&
        (filled->identity.empty() || filled->identity != found.database.Identity())) {
        // Not the database this program created: that one was dropped and another made since.
        ledger.ClearFilled();
        filled.reset();
    }
    return true;
}

// Whether the export goes on after the question its contents raise and the cancel; `e` says why
// not.
bool GoesOn(const Found& found, const Contents& contents, Report& report, Export& e) {
    // Without a temporary database there is nothing to ask about: the backup says why it fails.
    if (found.database.is != TemporaryDatabase::Is::Absent && !contents.question.empty() &&
        !report.Ask(contents.question)) {
        report.Log(ProgramText("已取消导出，临时数据库保留在服务器上。\r\n"));
        e.end = Export::End::Declined;
        return false;
    }
    if (report.Cancelled()) {
        e.end = Export::End::Cancelled;
        return false;
    }
    return true;
}

// The record beside the backup as the export goes: the first one, made before the backup, which
// reserves the name, and the one written at the export's end.
struct Recording {
    const std::optional<ExtractionRecord>& filled;
    const LoggedIn login;
    const std::string& directory;
    Contents& contents;
    const std::string started;

    std::string Text(const std::string& file, const FileDigest& digest, const std::string& verification,
                     const std::string& ended) const {
        return RecordOf(filled, login, directory, file, digest, contents, started, verification, ended);
    }
    std::string First(const std::string& file) const {
        return Text(file, DigestOf(BackupPath(directory, file)),
                    ProgramText("尚未进行：备份正在进行，本程序还没有检查备份文件；转换若在此中断，这个文件不能使用"),
                    ProgramText("未结束"));
    }
    // Writes the record of `e`, whose check came to `verification`; why it could not be written,
    // or empty.
    std::string Write(Export& e, const std::string& verification) {
        e.digest = DigestOf(e.path);
        if (e.Verified() && !e.digest.problem.empty()) {
            const std::string elsewhere = NotReadableHereText(e);
            contents.warnings.push_back(elsewhere);
            e.warnings.push_back(elsewhere);
        }
        return WriteRecordFile(e.path + ".txt", Text(e.file, e.digest, verification, LocalTimeText()));
    }
};

// The backup under a name reserved for it; false when it was not made (`e` says why). With
// `packed` (a batch's set) the header check and the check go with it in one exchange, and
// `checked` says what they came to.
bool BackUp(Database::Session& session, const std::string& directory, const std::string& name, Recording& recording,
            Export& e, const ConversionOptions& options, const Found* packed, std::optional<Executed>& checked) {
    // Named for the time it is made.
    // A batch's name keeps a set's name that ends in a digit apart from the date ("…账套2_12月9日…").
    const std::string_view beforeDate = options.fileNamePrefix.empty() ? "" : "_";
    const BackupName reserved = ReserveBackupName(directory, options.fileNamePrefix + name, beforeDate, options.namesTaken,
                                                  [&](const std::string& file) { return recording.First(file); });
    e.file = reserved.file;
    e.path = BackupPath(directory, e.file);
    // A large account set takes the server a while to back up: no time-out cuts it off.
    if (packed) {
        if (const std::optional<BackedUp> b =
                session.Run(BackingUpAndChecking(BuildBackupStatement(directory, e.file), e.path, packed->database))) {
            e.backup = b->backup;
            checked = b->verify;
        }
    } else {
        e.backup = session.Run(Executing(BuildBackupStatement(directory, e.file), Timeout::None(), options.execution));
    }
    if (!e.backup) return false;
    if (e.backup->ok) return true;
    e.end = Export::End::BackupFailed;
    // A file the server began, or finished before the connection broke, stays, its record saying
    // it was never checked; a name that got no file is given back.
    e.fileLeft = FileExists(e.path);
    if (e.fileLeft)
        e.recordProblem = recording.Write(e, ProgramText("未进行：备份没有成功完成（") + ReasonLine(e.backup->error) +
                                                 ProgramText("），这个文件未经校验，不能使用"));
    else if (reserved.reserved)
        RemoveFile(e.path + ".txt");
    return false;
}

// The export once the hold is taken: `taken` is what the start found. `given`: what the server
// holds, read already (a batch's set, with its copies); then the backup goes with its checks in
// one exchange.
Export Exporting(Database::Session& session, const HoldTaken& taken, ConversionLedger& ledger,
                 const std::string& directory, Report& report, const ConversionOptions& options,
                 const Found* given = nullptr) {
    const std::string started = LocalTimeText();
    if (taken.hold == Hold::InUse || taken.hold == Hold::Unknown) return RefusedAsHeldElsewhere(taken, report);
    Export e;
    const std::optional<Found> found = given ? std::optional(*given) : session.Run(Finding);
    if (!found) return e;
    std::optional<ExtractionRecord> filled = ledger.Filled();
    if (!SetAgainst(*found, ledger, filled, e)) return e;
    Contents contents = Judge(*found, filled);
    if (!GoesOn(*found, contents, report, e)) return e;
    e.warnings = contents.warnings;
    if (ledger.Login().serverVersion.empty())
        if (const std::optional<std::string> version = session.Run(ReadServerVersion)) ledger.SetServerVersion(*version);
    Recording recording{filled, ledger.Login(), directory, contents, started};
    std::optional<Executed> checked;
    if (!BackUp(session, directory, contents.name, recording, e, options, given, checked)) return e;
    CheckAndDrop(session, ledger, e, found->database, checked, report, options,
                 [&](const std::string& verification) { return recording.Write(e, verification); });
    e.end = (e.verify && (!e.verify->ok || e.drop)) ? Export::End::Exported : Export::End::Closing;
    return e;
}

}  // namespace

bool Export::VerifyNotRun() const { return verify && !verify->ok && ConnectionLost(verify->error); }
bool Export::DropUnknown() const { return drop && !drop->ok && ConnectionLost(drop->error); }

Export ExportTemporaryDatabase(HoldOnTemporaryDatabase& hold, const std::string& directory, Report& report,
                               const ConversionOptions& options) {
    report.Log(ProgramText("正在执行导出备份数据！\r\n"));
    const std::optional<HoldTaken> taken = hold.Take();
    if (!taken) return {};
    return Exporting(hold.Session(), *taken, hold.Ledger(), directory, report, options);
}

std::string FindingQuery() {
    return TemporaryDatabaseQuery() + "; SELECT ztmc FROM [" + ProgramText(kTemporaryDatabase) + "].[dbo].[GL_ZTCS]";
}

Export ExportPacked(HoldOnTemporaryDatabase& hold, const std::string& directory, Report& report,
                    const ConversionOptions& options, const PackedExtraction& extracted) {
    report.Log(ProgramText("正在执行导出备份数据！\r\n"));
    const std::optional<HoldTaken> taken = hold.Take();  // the batch's, taken before its first set
    if (!taken) return {};
    const Found found = extracted.foundRows ? FoundOf(*extracted.foundRows) : Found{extracted.found, std::nullopt};
    return Exporting(hold.Session(), *taken, hold.Ledger(), directory, report, options, &found);
}

bool DropTemporaryDatabase(HoldOnTemporaryDatabase& hold, Report& report, const ConversionOptions& options) {
    const std::optional<Executed> drop = hold.Session().Run(Dropping(options));
    if (!drop) return false;
    if (!drop->ok) {
        report.Log(ProgramText("删除临时数据库失败！") + ReasonLine(drop->error) + "\r\n");
        return false;
    }
    hold.Ledger().ClearFilled();
    report.Log(ProgramText("完成删除临时数据库！\r\n"));
    return true;
}

namespace {

// Database work: what the temporary database's GL_ZTCS says it holds, one account set a line.
std::string ReadingWhatItHolds(ODBCDB& db) {
    const auto rows = db.ReadAllText("SELECT kjnd, hsdwdm, ztbh, ztmc FROM [" + ProgramText(kTemporaryDatabase) +
                                     "].[dbo].[GL_ZTCS]");
    if (!rows) return ProgramText("（其中没有可以读取的GL_ZTCS表，不知道它属于哪个账套）");
    if (rows->empty()) return ProgramText("（其中的GL_ZTCS表里没有账套）");
    std::string held;
    for (const std::vector<std::string>& row : *rows) {
        if (row.size() != 4) continue;
        std::string line = ProgramText("年度") + row[0] + ProgramText("，单位") + row[1] + ProgramText("，账套") + row[2] + " " + row[3];
        line.erase(line.find_last_not_of(' ') + 1);
        held += (held.empty() ? "" : "\n") + line;
    }
    return held;
}

}  // namespace

LeftoverDrop DropLeftover(HoldOnTemporaryDatabase& hold) {
    LeftoverDrop d;
    if (hold.Ledger().Filled()) {
        d.end = LeftoverDrop::End::FilledHere;
        return d;
    }
    Database::Session& session = hold.Session();
    const std::optional<HoldTaken> taken = hold.Take();
    if (!taken) return d;
    if (taken->hold != Hold::Held) {
        d.end = LeftoverDrop::End::HeldElsewhere;
        d.refusal = HeldElsewhereText(*taken) + ProgramText("，没有删除它。") + ReasonParagraph(taken->why);
        return d;
    }
    const std::optional<TemporaryDatabase> found = session.Run(ReadTemporaryDatabase);
    const std::optional<std::string> held =
        found && found->is == TemporaryDatabase::Is::Present ? session.Run(ReadingWhatItHolds) : std::optional<std::string>();
    const std::optional<Executed> drop =
        held ? session.Run(Executing("drop database " + ProgramText(kTemporaryDatabase), Timeout::None(), Execution::Direct))
             : std::optional<Executed>();
    if (!found) return d;
    if (found->is != TemporaryDatabase::Is::Present) {
        d.end = found->is == TemporaryDatabase::Is::Absent ? LeftoverDrop::End::Absent : LeftoverDrop::End::Failed;
        return d;
    }
    if (!drop) return d;
    d.held = *held;
    d.end = drop->ok ? LeftoverDrop::End::Dropped : LeftoverDrop::End::Failed;
    d.error = drop->error;
    return d;
}

std::string RecordFailedText(const std::string& file, const std::string& why) {
    return ProgramText("转换记录文件") + file + ProgramText(".txt写入失败（") + why + ProgramText("）");
}


}  // namespace tarvex
