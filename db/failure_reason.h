#pragma once
// The server's or driver's reason for a failure, as the actions show it to the user.

#include <string>

#include "codepage.h"
#include "odbcdb.h"

namespace tarvex {

// Whether the connection to the server was lost (the server went away or the link broke): no
// statement gets through it any more, and only a new log-in helps.
inline bool ConnectionLost(const OdbcError& error) {
    if (error.connectionDead) return true;
    const auto lost = [](const OdbcError& e) { return e.state == "08S01" || e.state == "08003" || e.state == "08007"; };
    if (lost(error)) return true;
    for (const OdbcError& more : error.more)
        if (lost(more)) return true;
    return false;
}

// For a notice: what to do once the connection is lost.
inline std::string LostConnectionParagraph() {
    return ProgramText("\r\n\r\n与服务器的连接已断开，请重新点击“登录数据库”登录后再试。");
}

// For a notice: the diagnostics on the lines after the notice's own text; empty when none.
inline std::string DiagnosticsParagraph(const OdbcError& error) {
    if (error.Empty()) return {};
    return "\r\n\r\n" + error.Describe();
}

// For a notice about work on an open connection: the diagnostics, and what to do when the
// connection was lost; empty when none. (A log-in that failed had no connection to lose: the
// same diagnostics there say the server could not be reached.)
inline std::string ReasonParagraph(const OdbcError& error) {
    if (error.Empty()) return {};
    return DiagnosticsParagraph(error) + (ConnectionLost(error) ? LostConnectionParagraph() : std::string());
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
