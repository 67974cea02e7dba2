#include "export.h"

#include "catalogue.h"
#include "conversion_record.h"
#include "local_system.h"
#include "sqltext.h"

namespace tarvex {

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

std::string BackupNamePart(std::string_view name, const CodePage& codePage) {
    const std::string part = FileNamePart(name, codePage);
    std::size_t end = 0;
    for (int characters = 0; end < part.size() && characters < kMaxNameCharacters; ++characters)
        end += codePage.CharLength(part, end);
    return part.substr(0, end);
}

std::string BackupPath(std::string_view directory, std::string_view file) {
    return std::string(directory) + std::string(PathSeparator()) + std::string(file);
}

std::string BuildBackupStatement(std::string_view directory, std::string_view file) {
    return "backup database " + ProgramText(kTemporaryDatabase) + " to disk='" +
           QuoteLiteralText(BackupPath(directory, file) + " ") + "'with init";
}

std::string BuildVerifyStatement(std::string_view path) {
    return "RESTORE VERIFYONLY FROM DISK = N'" + QuoteLiteralText(path) + "'";
}

}  // namespace tarvex
