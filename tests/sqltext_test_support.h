#pragma once
// How the server reads a statement that the program hands to the connection object: brackets
// rewritten as the connection object rewrites them, the bytes decoded from the code page as
// the driver decodes them, then split into tokens by T-SQL's rules (QUOTED_IDENTIFIER on).
// Written from those rules alone, so that tests can check the escaping against them. Also the
// hostile texts that the escaping tests feed in.

#include <algorithm>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "codepage.h"

namespace sqltest {

using tarvex::CodePage;

// Outside '...' literals "[[" becomes "[", "]]" becomes "]" and a single bracket the double
// quote; a multibyte character is one character, whatever its trail byte looks like.
inline std::string RewriteBracketsAsSent(std::string_view s, const CodePage& cp) {
    std::string out;
    bool inLiteral = false;
    for (std::size_t pos = 0; pos < s.size();) {
        const std::size_t length = cp.CharLength(s, pos);
        const char c = s[pos];
        if (length == 1 && c == '\'') {
            inLiteral = !inLiteral;  // '' inside a literal toggles twice and stays inside
        } else if (length == 1 && !inLiteral && (c == '[' || c == ']')) {
            const bool doubled = pos + 1 < s.size() && s[pos + 1] == c;
            out += doubled ? c : '"';
            pos += doubled ? 2 : 1;
            continue;
        }
        out.append(s.substr(pos, length));
        pos += length;
    }
    return out;
}

enum class Kind {
    Word,          // keyword, bare identifier or number
    Name,          // "quoted" or [bracketed] identifier, text unescaped
    Literal,       // 'string', text unescaped
    Symbol,        // one character of punctuation
    Comment,       // -- to the end of the line, or /* ... */
    Unterminated,  // a literal, quoted name or comment that never ends
};

struct Token {
    Kind kind;
    std::u16string text;
    bool operator==(const Token&) const = default;
};

inline Token Word(std::u16string_view t) { return {Kind::Word, std::u16string(t)}; }
inline Token Name(std::u16string_view t) { return {Kind::Name, std::u16string(t)}; }
inline Token Literal(std::u16string_view t) { return {Kind::Literal, std::u16string(t)}; }
inline Token Symbol(char16_t c) { return {Kind::Symbol, std::u16string(1, c)}; }

inline std::string Utf8(std::u16string_view s) { return CodePage::Named("UTF-8").FromUtf16(s); }

inline void PrintTo(const Token& t, std::ostream* os) {
    static constexpr const char* kNames[] = {"Word", "Name", "Literal", "Symbol", "Comment", "Unterminated"};
    *os << kNames[static_cast<int>(t.kind)] << "(" << Utf8(t.text) << ")";
}

inline bool IsWordChar(char16_t c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || c == u'_' ||
           c == u'@' || c == u'#' || c == u'$' || c >= 0x80;
}

inline bool IsBlank(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'\v' || c == u'\f'; }

// Reads a delimited token that starts at `pos` and ends at `close`; a doubled `close` stands
// for itself.
inline Token ReadDelimited(std::u16string_view s, std::size_t& pos, char16_t close, Kind kind) {
    std::u16string text;
    for (++pos; pos < s.size(); ++pos) {
        if (s[pos] != close) {
            text += s[pos];
        } else if (pos + 1 < s.size() && s[pos + 1] == close) {
            text += close;
            ++pos;
        } else {
            ++pos;
            return {kind, text};
        }
    }
    return {Kind::Unterminated, text};
}

inline std::vector<Token> Tokenize(std::u16string_view s) {
    std::vector<Token> tokens;
    for (std::size_t pos = 0; pos < s.size();) {
        const char16_t c = s[pos];
        const char16_t next = pos + 1 < s.size() ? s[pos + 1] : u'\0';
        if (IsBlank(c)) {
            ++pos;
        } else if (c == u'\'') {
            tokens.push_back(ReadDelimited(s, pos, u'\'', Kind::Literal));
        } else if (c == u'"') {
            tokens.push_back(ReadDelimited(s, pos, u'"', Kind::Name));
        } else if (c == u'[') {
            tokens.push_back(ReadDelimited(s, pos, u']', Kind::Name));
        } else if (c == u'-' && next == u'-') {
            const std::size_t end = std::min(s.find(u'\n', pos), s.size());
            tokens.push_back({Kind::Comment, std::u16string(s.substr(pos, end - pos))});
            pos = end;
        } else if (c == u'/' && next == u'*') {
            const std::size_t end = s.find(u"*/", pos + 2);
            const bool closed = end != std::u16string_view::npos;
            const std::size_t stop = closed ? end + 2 : s.size();
            tokens.push_back({closed ? Kind::Comment : Kind::Unterminated, std::u16string(s.substr(pos, stop - pos))});
            pos = stop;
        } else if (IsWordChar(c)) {
            const std::size_t start = pos;
            while (pos < s.size() && IsWordChar(s[pos])) ++pos;
            tokens.push_back(Word(s.substr(start, pos - start)));
        } else {
            tokens.push_back(Symbol(c));
            ++pos;
        }
    }
    return tokens;
}

// The tokens the server reads from `statement`, a text in `cp`.
inline std::vector<Token> ServerTokens(std::string_view statement, const CodePage& cp) {
    return Tokenize(cp.ToUtf16(RewriteBracketsAsSent(statement, cp)));
}

// Texts that try to leave their literal or identifier, in `cp`, and bytes that are not whole
// characters of it.
inline std::vector<std::string> HostileTexts(const CodePage& cp) {
    static const char* const kUtf8Texts[] = {
        "'", "''", "a'b", "'; DROP DATABASE x; --", "' or '1'='1", "]", "[", "[[", "]]", "[x]", "\"", "a\"b\"",
        ";", "a;b", "\r\n", "x\ny", "--", "/*", "%", "_", "[%]", "50%_off", "", " 2016 ", "数据整理",
        "嶽誡癬",  // GBK trail bytes '[', ']' and '_'
    };
    std::vector<std::string> out;
    for (const char* t : kUtf8Texts) out.push_back(cp.FromUtf8(t));
    if (cp.GetKind() == CodePage::Kind::Utf8) {
        out.insert(out.end(), {"\xE6", "\xE6'", "a\x80]"});
    } else {
        out.insert(out.end(), {"\x81", "\x81'", "a\x81'b", "\x81\x30\x81"});
    }
    return out;
}

}  // namespace sqltest
