#include "window_actions.h"

#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "account_sets.h"
#include "catalogue.h"
#include "conversion.h"
#include "database.h"
#include "export.h"
#include "failure_reason.h"
#include "login_account.h"
#include "program_directory.h"
#include "sqltext.h"
#include "temporary_database.h"
#include "window_report.h"

namespace tarvex {

// ---- Log-in: the action of 按钮1 ------------------------------------------------------------

namespace {

const char* CaptionOf(Control control) {
    switch (control) {
        case Control::Server: return "服务器名称";
        case Control::User: return "用户名称";
        case Control::Password: return "密码";
        case Control::Database: return "数据库名称";
        case Control::Year: return "转换年度";
        case Control::UnitCode: return "当前单位编号";
        case Control::AccountSetNumber: return "当前账套编号";
        case Control::AccountSetChooser: return "转换账套";
        default: return "";
    }
}

}  // namespace

Input ReadInput(Window& window, Control control) {
    Input input;
    std::string unheld;
    input.text = window.Text(control, &unheld);
    if (!unheld.empty())
        input.problem = ProgramText("“") + ProgramText(CaptionOf(control)) + ProgramText("”中有本机代码页（") +
                        CodePage::Process().Name() + ProgramText("）无法表示的字符") +
                        (control == Control::Password ? std::string() : " " + unheld) +
                        ProgramText("，发给数据库服务器会变成“?”，所以没有发送。请改用其他字符。");
    return input;
}

Input DatabaseName(Window& window) {
    Input name = ReadInput(window, Control::Database);
    name.text = TrimBlanks(name.text);
    return name;
}

namespace {

// With Windows身份验证 checked: the server and the database only.
std::optional<LoginSettings> ReadWindowsLoginSettings(Window& window) {
    if (window.Text(Control::Server).empty()) {
        window.ShowNotice(ProgramText("服务器名不能为空。"), kNoticePlain, ProgramText("温馨提示"));
        return std::nullopt;
    }
    LoginSettings settings;
    settings.WindowsLogin = true;
    for (auto [control, text] : {std::pair{Control::Server, &settings.Server}, std::pair{Control::Database, &settings.Database}}) {
        Input input = ReadInput(window, control);
        if (!input.Ok()) {
            window.ShowNotice(input.problem, kNoticePlain, ProgramText("温馨提示"));
            return std::nullopt;
        }
        *text = TrimBlanks(input.text);
    }
    return settings;
}

}  // namespace

std::optional<LoginSettings> ReadLoginSettings(Window& window) {
    if (window.Checked(Control::WindowsLogin)) return ReadWindowsLoginSettings(window);
    for (Control input : {Control::Server, Control::Password, Control::User}) {
        if (window.Text(input).empty()) {
            window.ShowNotice(ProgramText("服务器名、用户名不能为空。"), kNoticePlain, ProgramText("温馨提示"));
            return std::nullopt;
        }
    }
    std::vector<Input> inputs;
    for (Control input : {Control::Server, Control::User, Control::Password, Control::Database}) {
        inputs.push_back(ReadInput(window, input));
        if (!inputs.back().Ok()) {
            window.ShowNotice(inputs.back().problem, kNoticePlain, ProgramText("温馨提示"));
            return std::nullopt;
        }
    }
    return LoginSettings{TrimBlanks(inputs[0].text), TrimBlanks(inputs[1].text), TrimBlanks(inputs[2].text),
                         TrimBlanks(inputs[3].text)};
}

bool Login(Window& window, Database& database, LoginSettings& settings) {
    std::optional<LoginSettings> read = ReadLoginSettings(window);
    if (!read) return false;
    ReleaseLoginSettings(settings);
    settings = std::move(*read);

    window.SetActionsEnabled(false);
    const std::optional<Opened> outcome =
        OpenConnection(database, settings, LoginPrompt::OverWindow(window.LoginDialogOwner()), /*readFacts=*/true);
    window.SetActionsEnabled(true);
    if (!outcome) return false;  // the window is closing

    const std::string where =
        ProgramText("连接") + settings.Server + ProgramText("服务器上的") + settings.Database;
    if (outcome->ok) {
        settings.Account = outcome->account;
        settings.ServerVersion = outcome->serverVersion;
        window.AppendText(Control::Log, ProgramText("数据库登陆成功！\r\n"));
        if (settings.WindowsLogin)
            window.AppendText(Control::Log, ProgramText("登录账户：") + AccountLabel(settings, settings.Account) + "\r\n");
        window.ShowNotice(where + ProgramText("数据库成功。"), kNoticePlain, ProgramText("成功"));
        return true;
    }
    // No connection existed to break: the driver's reason stands alone.
    window.ShowNotice(
        where + ProgramText("数据库失败。请查看SQL数据库服务器是否正确") +
            (settings.WindowsLogin ? ProgramText("，服务器是否接受本机Windows用户的登录（Windows身份验证）") : std::string()) +
            DiagnosticsParagraph(outcome->error),
        kNoticePlain, ProgramText("失败"));
    return false;
}

// ---- The account-set chooser 组合框1 ---------------------------------------------------------

// The lookup or selection statement from the inputs, or nullopt after the log has said why not.
template <typename Build>
std::optional<std::string> StatementFrom(Window& window, std::initializer_list<Input> inputs, const Input& source,
                                         Build build) {
    for (const Input& input : inputs) {
        if (input.Ok()) continue;
        window.AppendText(Control::Log, input.problem + "\r\n");
        return std::nullopt;
    }
    std::optional<std::string> statement = build();
    if (!statement) window.AppendText(Control::Log, DatabaseNameProblem(source.text) + "\r\n");
    return statement;
}

void LookUpAccountSets(Window& window, Database& database, std::uint64_t request) {
    const Input year = ReadInput(window, Control::Year);
    const Input source = DatabaseName(window);
    const std::optional<std::string> statement =
        StatementFrom(window, {year, source}, source, [&] { return BuildLookupStatement(source.text, year.text); });
    if (!statement) return;
    const AccountSetRead read = ReadAccountSetRows(database, Database::RequestKind::Lookup, request, *statement);
    if (!read.rows) return;  // no connection, a failed query, overtaken or closing: the list stays
    std::vector<std::string> names;
    names.reserve(read.rows->size());
    for (const AccountSetRow& row : *read.rows) names.push_back(row.name);
    window.SetItems(names);
}

// The two boxes change once, when the codes are known (empty when none were found), never
// before: until then they keep the codes of the previous choice rather than standing empty for
// a run that reads them meanwhile.
void ShowAccountSetCodes(Window& window, Database& database, std::uint64_t request) {
    const auto show = [&](const std::optional<AccountSetRow>& row) {
        window.SetText(Control::UnitCode, row ? row->unitCode : std::string());
        window.SetText(Control::AccountSetNumber, row ? row->accountSetNo : std::string());
    };
    const Input chosen = ReadInput(window, Control::AccountSetChooser);
    const Input year = ReadInput(window, Control::Year);
    const Input source = DatabaseName(window);
    const std::optional<std::string> statement = StatementFrom(
        window, {chosen, year, source}, source, [&] { return BuildSelectionStatement(source.text, chosen.text, year.text); });
    if (!statement) {
        show(std::nullopt);
        return;
    }
    const AccountSetRead read = ReadAccountSetRows(database, Database::RequestKind::Selection, request, *statement);
    if (!read.ran) return;  // a newer choice shows its own codes, or the window is closing
    if (!read.rows) {
        show(std::nullopt);
        return;
    }
    const std::vector<AccountSetRow> equal = NamedExactly(*read.rows, chosen.text);
    if (equal.size() == 1) {
        show(equal.front());
        return;
    }
    // Not one to choose: no guess. Why, the year's rows of exactly that name tell.
    std::optional<std::vector<AccountSetRow>> named;
    if (equal.empty()) {
        const AccountSetRead diagnosis = ReadAccountSetRows(database, Database::RequestKind::Selection, request,
                                        *BuildNamedStatement(source.text, chosen.text, year.text));
        if (!diagnosis.ran) return;
        named = diagnosis.rows;
    }
    show(std::nullopt);
    window.AppendText(Control::Log, WhyNoCodes(chosen.text, year.text, equal, named) + "\r\n");
}

// ---- The action of 按钮4 ---------------------------------------------------------------------

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

// The inputs as the window holds them when the run starts, read once: the run uses them for
// every copy, whatever the fields say later. Empty `problem` when every one can be sent.
struct WindowInputs {
    ConversionInputs values;
    std::string problem;
};

WindowInputs ReadInputs(Window& window) {
    WindowInputs w;
    const Input year = ReadInput(window, Control::Year);
    const Input unit = ReadInput(window, Control::UnitCode);
    const Input number = ReadInput(window, Control::AccountSetNumber);
    const Input source = DatabaseName(window);
    for (const Input* input : {&year, &unit, &number, &source}) {
        if (input->Ok()) continue;
        w.problem = input->problem;
        return w;
    }
    w.values = {source.text, year.text, unit.text, number.text, window.Text(Control::AccountSetChooser)};
    return w;
}

// The notice that ends a run; nullopt when nothing is to be shown (the window is closing).
std::optional<std::pair<std::string, int>> ClosingNotice(const Extraction& x) {
    switch (x.end) {
        case Extraction::End::Closing:
        case Extraction::End::Cancelled: return std::nullopt;
        case Extraction::End::Refused:
        case Extraction::End::InUse:
            return std::pair{x.refusal + ProgramText("\r\n\r\n没有整理任何数据。"), kNoticeExclamation};
        case Extraction::End::CreateFailed: return std::pair{CreateFailureNotice(*x.create), kNoticeExclamation};
        case Extraction::End::Finished: break;
    }
    std::string notice = ProgramText("代码执行完毕！");
    if (const int failed = x.record.FailedCopies(); failed > 0) {
        notice += ProgramText("\r\n\r\n其中") + std::to_string(failed) +
                  ProgramText("张表整理失败，原因见日志；临时数据库里缺少这些表。");
        for (const TableCopy& copy : x.record.copies)
            if (!copy.Ok() && copy.lostConnection) return std::pair{notice + LostConnectionParagraph(), kNoticeExclamation};
    }
    if (const std::string warning = ExtractionWarning(x.record); !warning.empty())
        return std::pair{notice + "\r\n\r\n" + warning, kNoticeExclamation};
    return std::pair{notice, kNoticePlain};
}

}  // namespace

void RunExtraction(Window& window, Database& database, ConversionLedger& ledger, int pauseMilliseconds) {
    const WindowInputs inputs = ReadInputs(window);
    Extraction x;
    if (!inputs.problem.empty()) {
        window.AppendText(Control::Log, inputs.problem + "\r\n");
        x.end = Extraction::End::Refused;
        x.refusal = inputs.problem;
    } else {
        WindowReport report(window);
        HoldOnTemporaryDatabase hold(database, ledger);
        x = Extract(hold, inputs.values, report, {pauseMilliseconds});
    }
    if (x.end == Extraction::End::Closing) return;
    window.SetActionsEnabled(true);
    if (const auto notice = ClosingNotice(x)) window.ShowNotice(notice->first, notice->second);
}

// ---- The action of 按钮2 ---------------------------------------------------------------------

namespace {

// For the notice of an export that wrote its record: the record's name, or why it could not be
// written.
std::string RecordNotice(const Export& e) {
    if (!e.recordProblem.empty())
        return RecordFailedText(e.file, e.recordProblem) + ProgramText("，备份文件不受影响。");
    return ProgramText("转换记录：") + e.file + ".txt";
}

// The notice that ends an export; nullopt when none is shown.
std::optional<std::pair<std::string, int>> ExportNotice(const Export& e) {
    const std::string kept = ProgramText("临时数据库") + ProgramText(kTemporaryDatabase);
    switch (e.end) {
        case Export::End::Closing:
        case Export::End::Cancelled:
        case Export::End::Declined: return std::nullopt;
        case Export::End::InUse: return std::pair{e.refusal, kNoticeExclamation};
        case Export::End::Gone:
            return std::pair{ProgramText("服务器上已经没有") + kept +
                                 ProgramText("：上次导出时它已被删除（当时无法确认），或者被别人删除了。没有可以导出的数据；"
                                             "要转换这个账套，请重新点击“整理数据”。"),
                             kNoticeExclamation};
        case Export::End::BackupFailed:
            if (e.fileLeft)
                return std::pair{ProgramText("导出失败！请重试") + ReasonParagraph(e.backup->error) +
                                     ProgramText("\r\n\r\n备份文件") + e.file +
                                     ProgramText("已经留在文件夹里，但备份没有成功完成，它未经校验，不能使用。") + kept +
                                     ProgramText("仍在服务器上。\r\n") + RecordNotice(e),
                                 kNoticeExclamation};
            if (e.nothingToExport)
                return std::pair{ProgramText("导出失败！请重试\r\n\r\n没有可以导出的数据：服务器上没有") + kept +
                                     ProgramText("（还没有整理账套，或者整理的数据已经导出并删除）。"
                                                 "请先点击“整理数据”整理账套，再点击“导出数据”。") +
                                     ReasonParagraph(e.backup->error),
                                 kNoticeExclamation};
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
    if (e.DropUnknown())
        notice += ProgramText("\r\n\r\n") + kept +
                  ProgramText("是否已经删除无法确认：删除时与服务器的连接断开。请重新点击“登录数据库”登录，"
                              "再点击“整理数据”时，程序会查明它是否还在。");
    else if (!e.drop->ok)
        notice += ProgramText("\r\n\r\n") + kept +
                  ProgramText("未能删除，仍留在服务器上。请在服务器上删除它，再整理下一个账套。");
    return std::pair{notice, kNoticeExclamation};
}

}  // namespace

void ExportAndCleanUp(Window& window, Database& database, ConversionLedger& ledger, std::string_view programDirectory,
                      int pauseMilliseconds, bool fellBack) {
    WindowReport report(window);
    window.SetActionsEnabled(false);
    const Export e = [&] {
        HoldOnTemporaryDatabase hold(database, ledger);
        return ExportTemporaryDatabase(hold, std::string(programDirectory), report, {pauseMilliseconds});
    }();
    window.SetActionsEnabled(true);
    if (auto notice = ExportNotice(e)) {
        if (fellBack && !e.file.empty()) notice->first += "\r\n\r\n" + FellBackText(programDirectory);
        window.ShowNotice(notice->first, notice->second);
    }
}

}  // namespace tarvex
