#pragma once
// The window's texts (Qt's, UTF-16) and the program's narrow texts (in the code page of the
// process, as they cross ODBC and go into the log and the records), each way. The window's code
// converts through here alone; paths go through file_paths.h.

#include <QString>

#include <string>
#include <string_view>

namespace tarvex {

// `narrow` (in the code page of the process) as Qt's text.
QString ToQString(std::string_view narrow);
// As ToQString, each CR LF as LF: a server's or a record's lines for a label.
QString ToQStringLines(std::string_view narrow);
// `text` in the code page of the process; characters it cannot hold become '?'.
std::string ToNarrow(const QString& text);
// The characters of `text` that the code page of the process cannot hold, each as "U+XXXX",
// separated by blanks; empty when it holds them all.
std::string UnheldCharacters(const QString& text);

}  // namespace tarvex
