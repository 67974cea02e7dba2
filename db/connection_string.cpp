#include "connection_string.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace tarvex {
namespace {

// SQL Server's default port, where a server without a port or an instance listens.
constexpr std::string_view kDefaultPort = ",1433";
constexpr std::string_view kThisComputer = "127.0.0.1";
constexpr std::string_view kTdsVersion = "TDS_Version=7.4";

struct Pair {
    std::string_view key;  // as typed, blanks included
    std::string value;     // as ODBC defines it: braces removed, "}}" undoubled
    bool braced = false;   // typed in braces
};

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        return lower(x) == lower(y);
    });
}

// The key without the blanks around it, as FreeTDS and the driver manager compare keys.
std::string_view KeyName(std::string_view key) {
    const std::size_t first = key.find_first_not_of(' ');
    if (first == std::string_view::npos) return {};
    return key.substr(first, key.find_last_not_of(' ') - first + 1);
}

// Reads the KEY=VALUE pairs of `s`; returns why it cannot, or an empty text.
std::string Parse(std::string_view s, const CodePage& cp, std::vector<Pair>& pairs) {
    std::size_t pos = 0;
    const auto step = [&](std::string& to) {
        const std::size_t n = cp.CharLength(s, pos);
        to.append(s.substr(pos, n));
        pos += n;
    };
    while (pos < s.size()) {
        if (s[pos] == ';') {
            ++pos;
            continue;
        }
        std::string key;
        while (pos < s.size() && s[pos] != '=' && s[pos] != ';') step(key);
        if (pos == s.size() || s[pos] == ';')
            return ProgramText("连接字符串中的“") + key + ProgramText("”不是“键=值”的形式。");
        Pair pair;
        pair.key = s.substr(pos - key.size(), key.size());
        ++pos;  // '='
        if (pos < s.size() && s[pos] == '{') {
            pair.braced = true;
            ++pos;
            bool closed = false;
            while (pos < s.size() && !closed) {
                if (s[pos] != '}') {
                    step(pair.value);
                } else if (pos + 1 < s.size() && s[pos + 1] == '}') {
                    pair.value += '}';
                    pos += 2;
                } else {
                    ++pos;
                    closed = true;
                }
            }
            if (!closed)
                return ProgramText("连接字符串中") + key + ProgramText("的值以“{”开头，却没有与之配对的“}”。");
            if (pos < s.size() && s[pos] != ';')
                return ProgramText("连接字符串中") + key +
                       ProgramText("的值在右花括号之后还有内容；花括号里的“}”要写成“}}”。");
        } else {
            while (pos < s.size() && s[pos] != ';') step(pair.value);
        }
        pairs.push_back(std::move(pair));
    }
    return {};
}

// Whether `value` holds the characters "};" (not bytes of that value inside other characters).
bool HoldsBraceSemicolon(std::string_view value, const CodePage& cp) {
    for (std::size_t pos = 0; pos < value.size(); pos += cp.CharLength(value, pos))
        if (value[pos] == '}' && pos + 1 < value.size() && value[pos + 1] == ';') return true;
    return false;
}

// Position of the first ',' or '\' of `server` that is a whole character, or its size.
std::size_t PortOrInstance(std::string_view server, const CodePage& cp) {
    std::size_t pos = 0;
    while (pos < server.size() && server[pos] != ',' && server[pos] != '\\') pos += cp.CharLength(server, pos);
    return pos;
}

std::string ServerForDriver(std::string_view server, bool portKey, const CodePage& cp) {
    if (server.empty()) return {};
    const std::size_t cut = PortOrInstance(server, cp);
    std::string_view host = server.substr(0, cut);
    std::string_view rest = server.substr(cut);
    if (host == "." || EqualsIgnoringCase(host, "(local)")) host = kThisComputer;
    if (rest.empty() && !portKey) rest = kDefaultPort;
    return std::string(host) + std::string(rest);
}

// An environment handle for asking the driver manager, freed with it.
class DriverManagerEnvironment {
public:
    DriverManagerEnvironment() {
        if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env_))) env_ = SQL_NULL_HENV;
        else SQLSetEnvAttr(env_, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    }
    ~DriverManagerEnvironment() {
        if (env_ != SQL_NULL_HENV) SQLFreeHandle(SQL_HANDLE_ENV, env_);
    }
    DriverManagerEnvironment(const DriverManagerEnvironment&) = delete;
    DriverManagerEnvironment& operator=(const DriverManagerEnvironment&) = delete;
    SQLHENV get() const { return env_; }

private:
    SQLHENV env_ = SQL_NULL_HENV;
};

// The file of a Driver= attribute names FreeTDS's driver: libtdsodbc.so, libtdsodbc.so.0, ...
bool IsFreeTdsFile(std::string_view attribute) {
    constexpr std::string_view kKey = "Driver=";
    if (attribute.size() < kKey.size() || !EqualsIgnoringCase(attribute.substr(0, kKey.size()), kKey)) return false;
    std::string_view file = attribute.substr(kKey.size());
    if (const std::size_t slash = file.find_last_of("/\\"); slash != std::string_view::npos) file = file.substr(slash + 1);
    constexpr std::string_view kFreeTds = "libtdsodbc";
    return file.size() >= kFreeTds.size() && EqualsIgnoringCase(file.substr(0, kFreeTds.size()), kFreeTds);
}

}  // namespace

bool DriverIsFreeTds(std::string_view name) {
    const DriverManagerEnvironment env;
    if (env.get() == SQL_NULL_HENV) return false;
    // The narrow SQLDrivers: its attributes are ASCII key=value pairs, each ended by a NUL, the
    // list by a second one.
    std::array<char, 256> description{};
    std::array<char, 2048> attributes{};
    SQLSMALLINT descriptionLength = 0;
    SQLSMALLINT attributesLength = 0;
    for (SQLUSMALLINT direction = SQL_FETCH_FIRST;; direction = SQL_FETCH_NEXT) {
        attributes.fill('\0');
        const SQLRETURN rc = SQLDrivers(env.get(), direction, reinterpret_cast<SQLCHAR*>(description.data()),
                                        static_cast<SQLSMALLINT>(description.size()), &descriptionLength,
                                        reinterpret_cast<SQLCHAR*>(attributes.data()),
                                        static_cast<SQLSMALLINT>(attributes.size() - 1), &attributesLength);
        if (!SQL_SUCCEEDED(rc)) return false;
        if (!EqualsIgnoringCase(description.data(), name)) continue;
        for (const char* a = attributes.data(); *a != '\0'; a += std::strlen(a) + 1)
            if (IsFreeTdsFile(a)) return true;
        return false;
    }
}

DriverConnectionString ForSqlServerDriver(std::string_view connectionString) {
    if (DriverIsFreeTds()) return ForDriver(connectionString);
    // Windows' own driver: the string as the window built it.
    return {std::string(connectionString), {}};
}

DriverConnectionString ForDriver(std::string_view connectionString, const CodePage& codePage) {
    std::vector<Pair> pairs;
    if (std::string problem = Parse(connectionString, codePage, pairs); !problem.empty()) return {{}, problem};

    const auto hasKey = [&](std::string_view key) {
        return std::any_of(pairs.begin(), pairs.end(), [&](const Pair& p) { return EqualsIgnoringCase(KeyName(p.key), key); });
    };
    const bool portKey = hasKey("PORT");
    std::string out;
    for (const Pair& pair : pairs) {
        const std::string value = EqualsIgnoringCase(KeyName(pair.key), "SERVER")
                                      ? ServerForDriver(pair.value, portKey, codePage)
                                      : pair.value;
        if (!out.empty() && out.back() != ';') out += ';';
        out.append(pair.key).append("=");
        if (!pair.braced && value.find(';') == std::string::npos && (value.empty() || value.front() != '{')) {
            out += value;
            continue;
        }
        // FreeTDS ends a braced value at the first "};" and takes everything before it as it is.
        // Searched character by character: a GBK trail byte may be "}" (倉 is 82 7D).
        if (HoldsBraceSemicolon(value, codePage))
            return {{}, std::string(KeyName(pair.key)) + ProgramText("的值含有“};”，SQL Server驱动程序无法读取。")};
        out.append("{").append(value).append("};");
    }
    // Without a version FreeTDS tries TDS 7.4 and then Sybase's TDS 5.0, each for the whole
    // log-in time-out, so a server that takes the connection but never answers holds the log-in
    // far longer than its 15 seconds. SQL Server answers 7.4 with the version it speaks. The key
    // goes first, where it cannot be taken for part of a braced value.
    if (!hasKey("TDS_Version")) out = std::string(kTdsVersion) + ";" + out;
    return {out, {}};
}

SQLRETURN DriverConnect(SQLHDBC dbc, void* owner, std::string_view driverString, SQLUSMALLINT completion,
                        std::string& completed) {
    static_assert(sizeof(SQLWCHAR) == sizeof(char16_t), "the driver manager's SQLWCHAR must be UTF-16");
    const CodePage codePage = CodePage::Process();
    std::u16string in = codePage.ToUtf16(driverString);
    std::u16string out(512, u'\0');
    SQLSMALLINT outLength = 0;
    const SQLRETURN rc = SQLDriverConnectW(dbc, static_cast<SQLHWND>(owner), in.empty() ? nullptr : reinterpret_cast<SQLWCHAR*>(in.data()),
                                           SQL_NTS, reinterpret_cast<SQLWCHAR*>(out.data()),
                                           static_cast<SQLSMALLINT>(out.size()), &outLength, completion);
    if (SQL_SUCCEEDED(rc)) {
        out.resize(std::min(out.find(u'\0'), out.size() - 1));
        completed = codePage.FromUtf16(out);
    }
    return rc;
}

}  // namespace tarvex
