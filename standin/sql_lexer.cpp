#include "sql_lexer.h"

#include <algorithm>
#include <array>

#include "sql_error.h"
#include "sql_text.h"

namespace standin {
namespace {

// SQL Server's reserved keywords, in upper case and sorted.
constexpr std::array<std::string_view, 185> kReserved = {
    "ADD", "ALL", "ALTER", "AND", "ANY", "AS", "ASC", "AUTHORIZATION", "BACKUP", "BEGIN", "BETWEEN", "BREAK",
    "BROWSE", "BULK", "BY", "CASCADE", "CASE", "CHECK", "CHECKPOINT", "CLOSE", "CLUSTERED", "COALESCE",
    "COLLATE", "COLUMN", "COMMIT", "COMPUTE", "CONSTRAINT", "CONTAINS", "CONTAINSTABLE", "CONTINUE",
    "CONVERT", "CREATE", "CROSS", "CURRENT", "CURRENT_DATE", "CURRENT_TIME", "CURRENT_TIMESTAMP",
    "CURRENT_USER", "CURSOR", "DATABASE", "DBCC", "DEALLOCATE", "DECLARE", "DEFAULT", "DELETE", "DENY", "DESC",
    "DISK", "DISTINCT", "DISTRIBUTED", "DOUBLE", "DROP", "DUMP", "ELSE", "END", "ERRLVL", "ESCAPE", "EXCEPT",
    "EXEC", "EXECUTE", "EXISTS", "EXIT", "EXTERNAL", "FETCH", "FILE", "FILLFACTOR", "FOR", "FOREIGN",
    "FREETEXT", "FREETEXTTABLE", "FROM", "FULL", "FUNCTION", "GOTO", "GRANT", "GROUP", "HAVING", "HOLDLOCK",
    "IDENTITY", "IDENTITYCOL", "IDENTITY_INSERT", "IF", "IN", "INDEX", "INNER", "INSERT", "INTERSECT", "INTO",
    "IS", "JOIN", "KEY", "KILL", "LEFT", "LIKE", "LINENO", "LOAD", "MERGE", "NATIONAL", "NOCHECK",
    "NONCLUSTERED", "NOT", "NULL", "NULLIF", "OF", "OFF", "OFFSETS", "ON", "OPEN", "OPENDATASOURCE",
    "OPENQUERY", "OPENROWSET", "OPENXML", "OPTION", "OR", "ORDER", "OUTER", "OVER", "PERCENT", "PIVOT", "PLAN",
    "PRECISION", "PRIMARY", "PRINT", "PROC", "PROCEDURE", "PUBLIC", "RAISERROR", "READ", "READTEXT",
    "RECONFIGURE", "REFERENCES", "REPLICATION", "RESTORE", "RESTRICT", "RETURN", "REVERT", "REVOKE", "RIGHT",
    "ROLLBACK", "ROWCOUNT", "ROWGUIDCOL", "RULE", "SAVE", "SCHEMA", "SECURITYAUDIT", "SELECT",
    "SEMANTICKEYPHRASETABLE", "SEMANTICSIMILARITYDETAILSTABLE", "SEMANTICSIMILARITYTABLE", "SESSION_USER",
    "SET", "SETUSER", "SHUTDOWN", "SOME", "STATISTICS", "SYSTEM_USER", "TABLE", "TABLESAMPLE", "TEXTSIZE",
    "THEN", "TO", "TOP", "TRAN", "TRANSACTION", "TRIGGER", "TRUNCATE", "TRY_CONVERT", "TSEQUAL", "UNION",
    "UNIQUE", "UNPIVOT", "UPDATE", "UPDATETEXT", "USE", "USER", "VALUES", "VARYING", "VIEW", "WAITFOR", "WHEN",
    "WHERE", "WHILE", "WITH", "WITHIN", "WRITETEXT"};

constexpr int kMaxIdentifier = 128;

bool IsNameStart(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '@' || c == '#' || c >= 0x80;
}
bool IsDigit(unsigned char c) { return c >= '0' && c <= '9'; }
bool IsNamePart(unsigned char c) { return IsNameStart(c) || IsDigit(c) || c == '$'; }

class Lexer {
public:
    explicit Lexer(std::string_view s) : s_(s) {}

    std::vector<Token> Run() {
        std::vector<Token> out;
        for (;;) {
            SkipBlanksAndComments();
            Token t;
            t.line = line_;
            if (i_ >= s_.size()) {
                out.push_back(t);
                return out;
            }
            const unsigned char c = s_[i_];
            if ((c == 'N' || c == 'n') && i_ + 1 < s_.size() && s_[i_ + 1] == '\'') {
                ++i_;
                t.kind = Token::Kind::String;
                t.national = true;
                t.text = Quoted('\'');
            } else if (c == '\'') {
                t.kind = Token::Kind::String;
                t.text = Quoted('\'');
            } else if (c == '"') {
                t.kind = Token::Kind::QuotedName;
                t.text = Identifier(Quoted('"'));
            } else if (c == '[') {
                t.kind = Token::Kind::QuotedName;
                t.text = Identifier(Quoted(']'));
            } else if (IsNameStart(c)) {
                const size_t start = i_;
                while (i_ < s_.size() && IsNamePart(s_[i_])) ++i_;
                t.kind = Token::Kind::Name;
                t.text = Identifier(std::string(s_.substr(start, i_ - start)));
            } else if (IsDigit(c) || (c == '.' && i_ + 1 < s_.size() && IsDigit(s_[i_ + 1]))) {
                t.kind = Token::Kind::Number;
                t.text = NumberText();
            } else {
                t.kind = Token::Kind::Symbol;
                t.text = SymbolText();
            }
            out.push_back(std::move(t));
        }
    }

private:
    void SkipBlanksAndComments() {
        while (i_ < s_.size()) {
            const char c = s_[i_];
            if (c == '\n') {
                ++line_;
                ++i_;
            } else if (c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v') {
                ++i_;
            } else if (c == '-' && i_ + 1 < s_.size() && s_[i_ + 1] == '-') {
                while (i_ < s_.size() && s_[i_] != '\n') ++i_;
            } else if (c == '/' && i_ + 1 < s_.size() && s_[i_ + 1] == '*') {
                SkipBlockComment();
            } else {
                return;
            }
        }
    }

    // Block comments nest.
    void SkipBlockComment() {
        int depth = 0;
        while (i_ < s_.size()) {
            if (s_.compare(i_, 2, "/*") == 0) {
                ++depth;
                i_ += 2;
            } else if (s_.compare(i_, 2, "*/") == 0) {
                i_ += 2;
                if (--depth == 0) return;
            } else {
                if (s_[i_] == '\n') ++line_;
                ++i_;
            }
        }
        throw MakeError(113, "Missing end comment mark '*/'.", 15);
    }

    // The text between the quote at i_ and its closing `close`, a doubled `close` standing
    // for one. In string literals a backslash right before a line break is dropped together
    // with the line break, as SQL Server does.
    std::string Quoted(char close) {
        const size_t start = ++i_;
        std::string out;
        while (i_ < s_.size()) {
            const char c = s_[i_];
            if (c == close) {
                if (i_ + 1 < s_.size() && s_[i_ + 1] == close) {
                    out += close;
                    i_ += 2;
                    continue;
                }
                ++i_;
                return out;
            }
            if (c == '\n') ++line_;
            if (close == '\'' && c == '\\') {
                size_t lineBreak = 0;
                if (s_.compare(i_ + 1, 2, "\r\n") == 0) lineBreak = 2;
                else if (i_ + 1 < s_.size() && s_[i_ + 1] == '\n') lineBreak = 1;
                if (lineBreak > 0) {
                    i_ += 1 + lineBreak;
                    ++line_;
                    continue;
                }
            }
            out += c;
            ++i_;
        }
        throw MakeError(
            105, "Unclosed quotation mark after the character string '" + std::string(s_.substr(start)) + "'.", 15);
    }

    static std::string Identifier(std::string name) {
        if (CharacterCount(name) > kMaxIdentifier) {
            size_t cut = 0;
            for (int n = 0; n < kMaxIdentifier; ++n) {
                do ++cut;
                while (cut < name.size() && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80);
            }
            throw MakeError(
                103,
                "The identifier that starts with '" + name.substr(0, cut) + "' is too long. Maximum length is 128.",
                15);
        }
        return name;
    }

    std::string NumberText() {
        const size_t start = i_;
        while (i_ < s_.size() && IsDigit(s_[i_])) ++i_;
        if (i_ < s_.size() && s_[i_] == '.') {
            ++i_;
            while (i_ < s_.size() && IsDigit(s_[i_])) ++i_;
        }
        if (i_ < s_.size() && (s_[i_] == 'e' || s_[i_] == 'E')) {
            size_t k = i_ + 1;
            if (k < s_.size() && (s_[k] == '+' || s_[k] == '-')) ++k;
            if (k < s_.size() && IsDigit(s_[k])) {
                i_ = k;
                while (i_ < s_.size() && IsDigit(s_[i_])) ++i_;
            }
        }
        return std::string(s_.substr(start, i_ - start));
    }

    std::string SymbolText() {
        static constexpr std::string_view kTwo[] = {"<=", ">=", "<>", "!=", "!<", "!>"};
        for (std::string_view two : kTwo) {
            if (s_.compare(i_, 2, two) == 0) {
                i_ += 2;
                return std::string(two);
            }
        }
        const char c = s_[i_];
        if (std::string_view("(),.;=<>+-*/%").find(c) == std::string_view::npos) {
            throw SyntaxError(std::string(1, c), false);
        }
        ++i_;
        return std::string(1, c);
    }

    std::string_view s_;
    size_t i_ = 0;
    int line_ = 1;
};

}  // namespace

SqlError SyntaxError(std::string_view near, bool keyword) {
    if (keyword) return MakeError(156, "Incorrect syntax near the keyword '" + std::string(near) + "'.", 15);
    return MakeError(102, "Incorrect syntax near '" + std::string(near) + "'.", 15);
}

bool IsReservedKeyword(std::string_view word) {
    if (word.size() > 32) return false;
    std::string upper(word);
    for (char& c : upper)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 0x20);
    return std::binary_search(kReserved.begin(), kReserved.end(), std::string_view(upper));
}

std::vector<Token> Tokenize(std::string_view batch) { return Lexer(batch).Run(); }

}  // namespace standin
