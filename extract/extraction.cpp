#include "extraction.h"

#include <optional>
#include <string>

#include "catalogue.h"
#include "database.h"
#include "failure_reason.h"
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
    std::string createFailure;  // why nothing was copied, when the create statement failed
    int failedCopies = 0;

    static RunResult Closing() {
        RunResult r;
        r.closing = true;
        return r;
    }
};

// The steps that need the database, which the run holds for itself throughout.
RunResult RunSteps(Window& window, Database& database, int pauseMilliseconds) {
    const auto log = [&](const std::string& line) { window.AppendText(Control::编辑框8, line); };
    RunResult result;
    Database::Session session = database.Begin();
    const std::optional<Executed> created =
        session.Run(Executing("create database " + ProgramText(kTemporaryDatabase), Timeout::Default()));
    if (!created) return RunResult::Closing();
    if (!created->ok) {
        // Copying into a leftover database would mix another account set's rows into the backup.
        log(ProgramText("创建临时数据库失败！请重新登陆数据库！\r\n"));
        log((created->connected ? ReasonLine(created->error) : ProgramText("原因：尚未登录数据库。")) + "\r\n");
        result.createFailure = CreateFailureNotice(*created);
        return result;
    }
    log(ProgramText("创建临时数据库成功！\r\n"));

    const std::string year = window.Text(Control::编辑框5);
    const std::string unitCode = window.Text(Control::编辑框6);
    const std::string accountSetNumber = window.Text(Control::编辑框7);
    const std::string accountSet = window.Text(Control::组合框1);
    log(ProgramText("当前整理账套：") + accountSet + "\r\n");
    window.ResponsiveWait(pauseMilliseconds);

    for (int position = 1; position <= TableCatalogue::kEntryCount; ++position) {
        log(TableCatalogue::ProgressLine(position));
        const std::string failure = std::string(TableCatalogue::TableName(position)) + ProgramText("表整理失败！");
        const std::string source = window.Text(Control::编辑框4);
        const std::optional<std::string> statement =
            BuildCopyStatement(position, source, unitCode, accountSetNumber, year);
        if (!statement) {
            log(failure + DatabaseNameProblem(source) + "\r\n");
            ++result.failedCopies;
        } else {
            // A large table takes the server a while: no time-out cuts the copy short.
            const std::optional<Executed> copied = session.Run(Executing(*statement, Timeout::None()));
            if (!copied) return RunResult::Closing();
            if (!copied->ok) {
                log(failure + ReasonLine(copied->error) + "\r\n");
                ++result.failedCopies;
            }
        }
        window.SetProgress(position, TableCatalogue::kEntryCount);
        window.ResponsiveWait(pauseMilliseconds);
    }
    log(ProgramText("数据整理完毕！请点击导出按钮！\r\n"));
    if (result.failedCopies > 0)
        log(ProgramText("其中") + std::to_string(result.failedCopies) +
            ProgramText("张表整理失败，原因见上面的日志。\r\n"));
    return result;
}

}  // namespace

void RunExtraction(Window& window, Database& database, int pauseMilliseconds) {
    const RunResult result = RunSteps(window, database, pauseMilliseconds);
    if (result.closing) return;
    window.SetActionsEnabled(true);
    if (!result.createFailure.empty()) {
        window.ShowNotice(result.createFailure, kNoticeExclamation);
        return;
    }
    std::string notice = ProgramText("代码执行完毕！");
    if (result.failedCopies > 0)
        notice += ProgramText("\r\n\r\n其中") + std::to_string(result.failedCopies) +
                  ProgramText("张表整理失败，原因见日志；临时数据库里缺少这些表。");
    window.ShowNotice(notice, kNoticePlain);
}

}  // namespace tarvex
