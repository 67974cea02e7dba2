#include "conversion.h"

#include <algorithm>
#include <optional>
#include <string>

#include "catalogue.h"
#include "conversion_record.h"
#include "database.h"
#include "failure_reason.h"
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

// A create broken off by a cancel may have been carried out all the same: the server finishes a
// create it has begun before it answers the cancel. Under the hold, with the create not refused
// for a database already there, a temporary database on the server now is the one it made: it
// is dropped, so that nothing of the run is left behind. Nullopt when the database shut down.
std::optional<bool> DropWhatTheCreateMade(Database::Session& session, ConversionReport& report,
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

// The create statement, after the hold on the temporary database's name; `end` says when the
// run cannot go on. A create that fails leaves the ledger without a database, so the hold's end
// gives up the hold; one that succeeds notes which database it made, so that the export can
// tell it from one made after it.
std::optional<Extraction::End> Create(HoldOnTemporaryDatabase& hold, Extraction& x, ConversionReport& report,
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

}  // namespace

Extraction Extract(HoldOnTemporaryDatabase& hold, const ConversionInputs& inputs, ConversionReport& report,
                   const ConversionOptions& options) {
    Extraction x;
    if (std::string problem = DatabaseNameProblem(inputs.sourceDatabase); !problem.empty()) {
        report.Log(problem + "\r\n");
        x.refusal = std::move(problem);
        x.end = Extraction::End::Refused;
        return x;
    }
    const auto pause = [&] {
        if (options.pauseMilliseconds > 0) report.Pause(options.pauseMilliseconds);
    };
    Database::Session& session = hold.Session();
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
    pause();

    for (int position = 1; position <= TableCatalogue::kEntryCount; ++position) {
        if (report.Cancelled()) {
            x.end = Extraction::End::Cancelled;
            return x;
        }
        report.Log(TableCatalogue::ProgressLine(position));
        const std::optional<TableCopy> copy = Copy(session, position, record, options.execution);
        if (!copy) {
            x.end = Extraction::End::Closing;
            return x;
        }
        if (!copy->Ok()) report.Log(copy->table + ProgramText("表整理失败！") + copy->failure + "\r\n");
        record.copies.push_back(*copy);
        ledger.SetFilled(record);
        report.Copied(position, *copy);
        pause();
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

}  // namespace tarvex
