#include "login.h"

#include <optional>
#include <utility>

#include "database.h"
#include "login_account.h"

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

}  // namespace tarvex
