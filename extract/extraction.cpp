#include "extraction.h"

#include <optional>
#include <string>

#include "catalogue.h"
#include "conversion_record.h"
#include "database.h"
#include "failure_reason.h"
#include "login.h"
#include "sqltext.h"
#include "window_port.h"

namespace tarvex {

namespace {

// What the user should do when the temporary database could not be created.
std::string CreateFailureNotice(const Executed& o) {
    const std::string name = ProgramText(kTemporaryDatabase);
    if (!o.connected)
        return ProgramText("尚未登录数据库，没有整理任何数据。\r\n请先点击“登录数据库”按钮登录，再点击“整理数据”。");
    if (o.error.native == 1801)
        return ProgramText("服务器上已有临时数据库") + name +
               ProgramText("，它是上次整理留下、尚未导出的数据。为免新旧数据混在一起，没有整理任何数据。\r\n"
                           "请先点击“导出数据”按钮导出并删除它（或在服务器上删除它），再点击“整理数据”。");
    return ProgramText("临时数据库") + name + ProgramText("创建失败，没有整理任何数据。") + ReasonParagraph(o.error) +
           ProgramText("\r\n\r\n请重新登录数据库后再试。");
}

// What a run leaves for its closing notice.
struct RunResult {
    bool closing = false;       // the window closed in the middle: nothing more to show
    std::string stopped;        // why nothing was copied (the create failed, or an input)
    ExtractionRecord record;

    static RunResult Closing() {
        RunResult r;
        r.closing = true;
        return r;
    }
    static RunResult Stopped(std::string why) {
        RunResult r;
        r.stopped = std::move(why);
        return r;
    }
};

// The inputs that go into the copies, checked before anything reaches the server: a character
// the code page cannot hold would make every copy match nothing, or another unit's rows.
std::string InputProblem(Window& window) {
    for (const Control c : {Control::Year, Control::UnitCode, Control::AccountSetNumber}) {
        const Input input = ReadInput(window, c);
        if (!input.Ok()) return input.problem;
    }
    return DatabaseName(window).problem;
}

// One table's copy: the statement from the source database named now, run without a time-out
// (a large table takes the server a while); nullopt when the window is closing.
std::optional<TableCopy> Copy(Window& window, Database::Session& session, int position, const ExtractionRecord& r) {
    TableCopy copy{std::string(TableCatalogue::TableName(position)), -1, {}};
    const Input source = DatabaseName(window);
    const std::optional<std::string> statement =
        source.Ok() ? BuildCopyStatement(position, source.text, r.unitCode, r.accountSetNumber, r.year) : std::nullopt;
    if (!statement) {
        copy.failure = source.Ok() ? DatabaseNameProblem(source.text) : source.problem;
        return copy;
    }
    const std::optional<Executed> copied = session.Run(Executing(*statement, Timeout::None()));
    if (!copied) return std::nullopt;
    if (copied->ok) copy.rows = copied->rows;
    else copy.failure = ReasonLine(copied->error);
    return copy;
}

// The line after the completion line: how many rows in how many tables, and a warning when the
// account set gave no rows at all.
std::string TotalLines(const ExtractionRecord& r) {
    std::string lines = ProgramText("共复制") + std::to_string(r.TotalRows()) + ProgramText("行数据，") +
                        std::to_string(r.TablesWithRows()) + ProgramText("张表有数据（共") +
                        std::to_string(TableCatalogue::kEntryCount) + ProgramText("张表）。\r\n");
    if (r.Empty())
        lines += ProgramText("警告：该账套没有复制到任何数据，请检查转换年度、当前单位编号和当前账套编号！\r\n");
    return lines;
}

// The steps that need the database, which the run holds for itself throughout.
RunResult RunSteps(Window& window, Database& database, ConversionLedger& ledger, int pauseMilliseconds) {
    const auto log = [&](const std::string& line) { window.AppendText(Control::Log, line); };
    if (std::string problem = InputProblem(window); !problem.empty()) {
        log(problem + "\r\n");
        return RunResult::Stopped(problem + ProgramText("\r\n\r\n没有整理任何数据。"));
    }
    Database::Session session = database.Begin();
    RunResult result;
    ExtractionRecord& record = result.record;
    record.login = ledger.Login();
    record.started = LocalTimeText();
    const std::optional<Executed> created =
        session.Run(Executing("create database " + ProgramText(kTemporaryDatabase), Timeout::Default()));
    if (!created) return RunResult::Closing();
    if (!created->ok) {
        // Copying into a leftover database would mix another account set's rows into the backup.
        log(ProgramText("创建临时数据库失败！请重新登陆数据库！\r\n"));
        log((created->connected ? ReasonLine(created->error) : ProgramText("原因：尚未登录数据库。")) + "\r\n");
        return RunResult::Stopped(CreateFailureNotice(*created));
    }
    log(ProgramText("创建临时数据库成功！\r\n"));

    record.year = window.Text(Control::Year);
    record.unitCode = window.Text(Control::UnitCode);
    record.accountSetNumber = window.Text(Control::AccountSetNumber);
    record.accountSetName = window.Text(Control::AccountSetChooser);
    ledger.SetFilled(record);
    log(ProgramText("当前整理账套：") + record.accountSetName + "\r\n");
    window.ResponsiveWait(pauseMilliseconds);

    for (int position = 1; position <= TableCatalogue::kEntryCount; ++position) {
        log(TableCatalogue::ProgressLine(position));
        const std::optional<TableCopy> copy = Copy(window, session, position, record);
        if (!copy) return RunResult::Closing();
        if (!copy->Ok()) log(copy->table + ProgramText("表整理失败！") + copy->failure + "\r\n");
        record.copies.push_back(*copy);
        ledger.SetFilled(record);
        window.SetProgress(position, TableCatalogue::kEntryCount);
        window.ResponsiveWait(pauseMilliseconds);
    }
    record.finished = true;
    record.ended = LocalTimeText();
    ledger.SetFilled(record);
    log(ProgramText("数据整理完毕！请点击导出按钮！\r\n"));
    if (const int failed = record.FailedCopies(); failed > 0)
        log(ProgramText("其中") + std::to_string(failed) + ProgramText("张表整理失败，原因见上面的日志。\r\n"));
    log(TotalLines(record));
    return result;
}

}  // namespace

void RunExtraction(Window& window, Database& database, ConversionLedger& ledger, int pauseMilliseconds) {
    const RunResult result = RunSteps(window, database, ledger, pauseMilliseconds);
    if (result.closing) return;
    window.SetActionsEnabled(true);
    if (!result.stopped.empty()) {
        window.ShowNotice(result.stopped, kNoticeExclamation);
        return;
    }
    std::string notice = ProgramText("代码执行完毕！");
    if (const int failed = result.record.FailedCopies(); failed > 0)
        notice += ProgramText("\r\n\r\n其中") + std::to_string(failed) +
                  ProgramText("张表整理失败，原因见日志；临时数据库里缺少这些表。");
    if (result.record.Empty()) {
        notice += ProgramText("\r\n\r\n警告：该账套没有复制到任何数据。请检查转换年度、当前单位编号和当前账套编号是否正确。");
        window.ShowNotice(notice, kNoticeExclamation);
        return;
    }
    window.ShowNotice(notice, kNoticePlain);
}

}  // namespace tarvex
