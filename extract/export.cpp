#include "export.h"

#include <optional>

#include "catalogue.h"
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

std::tm LocalNow() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &now);
#else
    localtime_r(&now, &local);
#endif
    return local;
}

// What the export's database steps came to; nullopt in a field: the step did not run, since the
// window is closing.
struct ExportResult {
    std::optional<Executed> backup;
    std::optional<Executed> drop;
};

// The steps that need the database, which the export holds for itself throughout.
ExportResult ExportSteps(Window& window, Database& database, const std::string& backup, int pauseMilliseconds) {
    ExportResult result;
    Database::Session session = database.Begin();
    // A large account set takes the server a while to back up: no time-out cuts it off.
    result.backup = session.Run(Executing(backup, Timeout::None()));
    if (!result.backup || !result.backup->ok) return result;
    window.AppendText(Control::编辑框8, ProgramText("正在删除临时数据库！\r\n"));
    window.ResponsiveWait(pauseMilliseconds);
    result.drop = session.Run(Executing("drop database " + ProgramText(kTemporaryDatabase), Timeout::None()));
    if (!result.drop) return result;
    window.ResponsiveWait(pauseMilliseconds);
    if (result.drop->ok)
        window.AppendText(Control::编辑框8, ProgramText("完成删除临时数据库！\r\n"));
    else
        window.AppendText(Control::编辑框8, ProgramText("删除临时数据库失败！") + ReasonLine(result.drop->error) + "\r\n");
    window.ResponsiveWait(pauseMilliseconds);
    return result;
}

}  // namespace

std::string MonthDayText(const std::tm& t) {
    return std::to_string(t.tm_mon + 1) + ProgramText("月") + std::to_string(t.tm_mday) + ProgramText("日");
}

std::string TimeOfDayText(const std::tm& t) {
    return std::to_string(t.tm_hour) + ProgramText("时") + std::to_string(t.tm_min) + ProgramText("分") +
           std::to_string(t.tm_sec) + ProgramText("秒");
}

std::string MonthDayText() { return MonthDayText(LocalNow()); }
std::string TimeOfDayText() { return TimeOfDayText(LocalNow()); }

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

std::string BuildBackupStatement(std::string_view directory, std::string_view file) {
    const std::string path = std::string(directory) + std::string(kSeparator) + std::string(file) + " ";
    return "backup database " + ProgramText(kTemporaryDatabase) + " to disk='" + QuoteLiteralText(path) +
           "'with init";
}

void ExportAndCleanUp(Window& window, Database& database, std::string_view programDirectory, int pauseMilliseconds) {
    window.AppendText(Control::编辑框8, ProgramText("正在执行导出备份数据！\r\n"));
    const std::string directory(programDirectory);
    const std::string monthDay = MonthDayText();
    const std::string timeOfDay = TimeOfDayText();
    const std::string chosen = window.Text(Control::组合框1);
    const std::string backup = BuildBackupStatement(directory, FileNamePart(chosen) + monthDay + timeOfDay + ".bak");

    window.SetActionsEnabled(false);
    const ExportResult result = ExportSteps(window, database, backup, pauseMilliseconds);
    window.SetActionsEnabled(true);
    if (result.backup && !result.backup->ok) {
        window.ShowNotice(ProgramText("导出失败！请重试") + ReasonParagraph(result.backup->error), kNoticeExclamation);
        return;
    }
    if (!result.drop) return;  // the window is closing
    std::string notice = ProgramText("导出完毕！请查看软件目录！");
    if (!result.drop->ok)
        notice += ProgramText("\r\n\r\n临时数据库") + ProgramText(kTemporaryDatabase) +
                  ProgramText("未能删除，仍留在服务器上。请在服务器上删除它，再整理下一个账套。");
    window.ShowNotice(notice, kNoticeExclamation);
}

}  // namespace tarvex
