#include "login.h"

#include <optional>
#include <utility>
#include <vector>

#include "database.h"
#include "failure_reason.h"
#include "login_account.h"
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

// Steps over whole characters: in GBK a trail byte may be the byte of "{" or "}" (倉 is 82 7D),
// and such a byte is part of its character, not a brace.
std::string Value(std::string_view value, const CodePage& codePage) {
    std::string out;
    bool braces = false;
    for (std::size_t pos = 0; pos < value.size();) {
        const std::size_t n = codePage.CharLength(value, pos);
        const std::string_view ch = value.substr(pos, n);
        out.append(ch);
        if (ch == "}") out += '}';
        braces = braces || ch == ";" || ch == "{" || ch == "}";
        pos += n;
    }
    return braces ? "{" + out + "}" : out;
}

}  // namespace

std::string BuildConnectionString(const LoginSettings& s, const CodePage& codePage) {
    const auto value = [&](const std::string& v) { return Value(v, codePage); };
    const std::string credentials =
        s.WindowsLogin ? ";Trusted_Connection=Yes" : ";UID=" + value(s.User) + ";PWD=" + value(s.Password);
    return "DRIVER=SQL Server;SERVER=" + value(s.Server) + credentials + ";WSID=" + value(s.Server) +
           ";DATABASE=" + value(s.Database);
}

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

std::optional<Opened> OpenConnection(Database& database, const LoginSettings& settings, LoginPrompt prompt,
                                     bool readFacts) {
    return database.Run(
        [connection = BuildConnectionString(settings), prompt, readFacts](ODBCDB& db) {
            Opened o;
            o.ok = db.NewOpenDatabase(connection, prompt);
            if (!o.ok) {
                o.error = db.LastError();
                return o;
            }
            if (!readFacts) return o;
            LoginFacts facts = ReadLoginFacts(db);
            o.account = std::move(facts.account);
            o.serverVersion = std::move(facts.serverVersion);
            return o;
        },
        /*takeInput=*/false);
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

}  // namespace tarvex
