#pragma once
// The export's texts: the backup file's name, the backup and check statements. The export itself
// is the conversion's (conversion.h); the window's action of 按钮2 is in app/ (window_actions.h).

#include <ctime>
#include <string>
#include <string_view>

#include "codepage.h"

namespace tarvex {

// "4月5日" and "9时7分3秒": month, day, hour, minute and second without leading zeros.
std::string MonthDayText(const std::tm& local);
std::string TimeOfDayText(const std::tm& local);
// The same for the current local time, each reading the clock itself.
std::string MonthDayText();
std::string TimeOfDayText();

// The account set's name as part of a file name: every character that a Windows or Linux file
// name cannot hold (\ / : * ? " < > | and control characters) becomes "_", stepping over whole
// characters so that a trail byte is never taken for one of them.
std::string FileNamePart(std::string_view name, const CodePage& codePage = CodePage::Process());

// FileNamePart, cut to kMaxNameCharacters characters: the backup's name before its date and time,
// short enough that a Windows path to it stays within what the server takes (260 characters).
inline constexpr int kMaxNameCharacters = 100;
std::string BackupNamePart(std::string_view name, const CodePage& codePage = CodePage::Process());

// `directory` and `file` joined with the platform's separator: where the backup goes.
std::string BackupPath(std::string_view directory, std::string_view file);

// "backup database Tarvex数据整理 to disk='<directory>/<file> 'with init", the path's
// apostrophes doubled; `file` ends in ".bak".
std::string BuildBackupStatement(std::string_view directory, std::string_view file);

// "RESTORE VERIFYONLY FROM DISK = N'<path>'": the server reads the backup file back and checks it.
std::string BuildVerifyStatement(std::string_view path);

}  // namespace tarvex
