#pragma once
// The server's or driver's reason for a failure, as the actions show it to the user.

#include <string>

#include "codepage.h"
#include "odbcdb.h"

namespace tarvex {

// For a notice: the diagnostics on the lines after the notice's own text; empty when none.
inline std::string ReasonParagraph(const OdbcError& error) {
    return error.Empty() ? std::string() : "\r\n\r\n" + error.Describe();
}

// For the log: "原因：" and the diagnostics on one line.
inline std::string ReasonLine(const OdbcError& error) {
    std::string text;
    for (char c : error.Empty() ? ProgramText("未知") : error.Describe()) {
        if (c == '\r') continue;
        text += c == '\n' ? ' ' : c;
    }
    return ProgramText("原因：") + text;
}

}  // namespace tarvex
