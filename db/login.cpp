#include "login.h"

#include <optional>

#include "database.h"
#include "failure_reason.h"
#include "window_port.h"

namespace tarvex {

void ReleaseLoginSettings(LoginSettings& settings) {
    for (std::string* text : {&settings.Server, &settings.User, &settings.Password, &settings.Database}) {
        text->clear();
        text->shrink_to_fit();
    }
}

std::string TrimBlanks(std::string_view text, const CodePage& codePage) {
    const std::string wideBlank = codePage.FromUtf8("\u3000");
    const auto isBlank = [&](std::string_view ch) { return ch == " " || ch == wideBlank; };
    std::size_t begin = 0;
    std::size_t end = 0;  // end of the last character that is not a blank
    bool leading = true;
    for (std::size_t pos = 0; pos < text.size();) {
        const std::size_t n = codePage.CharLength(text, pos);
        if (!isBlank(text.substr(pos, n))) {
            if (leading) begin = pos;
            leading = false;
            end = pos + n;
        }
        pos += n;
    }
    return leading ? std::string() : std::string(text.substr(begin, end - begin));
}

namespace {

std::string Value(std::string_view value) {
    if (value.find_first_of(";{}") == std::string_view::npos) return std::string(value);
    std::string out = "{";
    for (char c : value) {
        out += c;
        if (c == '}') out += '}';
    }
    return out + "}";
}

}  // namespace

std::string BuildConnectionString(const LoginSettings& s) {
    return "DRIVER=SQL Server;SERVER=" + Value(s.Server) + ";UID=" + Value(s.User) + ";PWD=" + Value(s.Password) +
           ";WSID=" + Value(s.Server) + ";DATABASE=" + Value(s.Database);
}

void Login(Window& window, Database& database, LoginSettings& settings) {
    for (Control input : {Control::编辑框1, Control::编辑框3, Control::编辑框2}) {
        if (window.Text(input).empty()) {
            window.ShowNotice(ProgramText("服务器名、用户名不能为空。"), kNoticePlain, ProgramText("温馨提示"));
            return;
        }
    }
    ReleaseLoginSettings(settings);
    settings.Server = TrimBlanks(window.Text(Control::编辑框1));
    settings.User = TrimBlanks(window.Text(Control::编辑框2));
    settings.Password = TrimBlanks(window.Text(Control::编辑框3));
    settings.Database = TrimBlanks(window.Text(Control::编辑框4));

    struct Outcome {
        bool opened = false;
        OdbcError error;
    };
    window.SetActionsEnabled(false);
    const std::optional<Outcome> outcome = database.Run(
        [connection = BuildConnectionString(settings)](ODBCDB& db) {
            Outcome o;
            o.opened = db.NewOpenDatabase(connection);
            if (!o.opened) o.error = db.LastError();
            return o;
        },
        /*takeInput=*/false);
    window.SetActionsEnabled(true);
    if (!outcome) return;  // the window is closing

    const std::string where =
        ProgramText("连接") + settings.Server + ProgramText("服务器上的") + settings.Database;
    if (outcome->opened) {
        window.AppendText(Control::编辑框8, ProgramText("数据库登陆成功！\r\n"));
        window.ShowNotice(where + ProgramText("数据库成功。"), kNoticePlain, ProgramText("成功"));
        return;
    }
    window.ShowNotice(where + ProgramText("数据库失败。请查看SQL数据库服务器是否正确") + ReasonParagraph(outcome->error),
                      kNoticePlain, ProgramText("失败"));
}

}  // namespace tarvex
