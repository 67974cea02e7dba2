#include "sqltext.h"

namespace tarvex {
namespace {

enum class NameFault {
    None,
    // Bracket rewriting would take the apostrophe for the start of a literal and leave every
    // bracket after it as it is.
    Apostrophe,
    // The bracket before the name and the escaped "[[" would rewrite as "[" followed by a
    // quote: no text after the opening bracket can start the identifier with "[".
    LeadingBracket,
    // The last bytes start a multibyte character that the closing bracket would complete
    // (a GBK lead byte and ']' form one character), so the identifier would not end there.
    IncompleteCharacter,
};

NameFault FindNameFault(std::string_view name, const CodePage& cp) {
    if (name.starts_with('[')) return NameFault::LeadingBracket;
    // Step over the name as it stands in the statement: followed by the closing bracket.
    const std::string inStatement = std::string(name) + ']';
    for (std::size_t pos = 0; pos < name.size();) {
        const std::size_t length = cp.CharLength(inStatement, pos);
        if (pos + length > name.size()) return NameFault::IncompleteCharacter;
        if (name[pos] == '\'') return NameFault::Apostrophe;
        pos += length;
    }
    return NameFault::None;
}

}  // namespace

std::string QuoteLiteralText(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (const char c : value) {
        if (c == '\'') out += '\'';
        out += c;
    }
    return out;
}

std::string QuoteLikeText(std::string_view value, const CodePage& cp) {
    std::string out;
    out.reserve(value.size());
    for (std::size_t pos = 0; pos < value.size();) {
        const std::size_t length = cp.CharLength(value, pos);
        const std::string_view character = value.substr(pos, length);
        if (character == "%") out += "[%]";
        else if (character == "_") out += "[_]";
        else if (character == "[") out += "[[]";
        else if (character == "'") out += "''";
        else out += character;
        pos += length;
    }
    return out;
}

std::optional<std::string> QuoteBracketedName(std::string_view name, const CodePage& cp) {
    if (FindNameFault(name, cp) != NameFault::None) return std::nullopt;
    std::string out;
    out.reserve(name.size());
    for (std::size_t pos = 0; pos < name.size();) {
        const std::size_t length = cp.CharLength(name, pos);
        const std::string_view character = name.substr(pos, length);
        if (character == "[" || character == "]" || character == "\"") out += character;
        out += character;
        pos += length;
    }
    return out;
}

std::string DatabaseNameProblem(std::string_view name, const CodePage& cp) {
    switch (FindNameFault(name, cp)) {
        case NameFault::None: return {};
        case NameFault::Apostrophe: return cp.FromUtf8("数据库名称中不能含有单引号（'），请改正数据库名称后重试。");
        case NameFault::LeadingBracket: return cp.FromUtf8("数据库名称不能以左方括号“[”开头，请改正数据库名称后重试。");
        case NameFault::IncompleteCharacter:
            return cp.FromUtf8("数据库名称的最后一个字符不完整，请重新输入数据库名称后重试。");
    }
    return {};
}

}  // namespace tarvex
