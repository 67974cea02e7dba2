#pragma once
// Splits a batch of T-SQL into tokens: names (bare, [bracketed] with ]] escapes, "quoted" with ""
// escapes), string literals ('...' with '' escapes, N'...'), numbers and symbols. Keywords are
// bare names; the parser recognises them case-insensitively.

#include <string>
#include <string_view>
#include <vector>

namespace standin {

struct Token {
    enum class Kind { Name, QuotedName, String, Number, Symbol, End };
    Kind kind = Kind::End;
    // Name, QuotedName: the identifier without quotes; String: the value without quotes and
    // escapes; Number: as written; Symbol: the operator, e.g. "<=".
    std::string text;
    bool national = false;  // a String written N'...'
    int line = 1;           // 1-based line in the batch
};

// Whether `word` is one of SQL Server's reserved keywords (case-insensitive).
bool IsReservedKeyword(std::string_view word);

// The tokens of `batch`, ending with one of Kind::End. Throws SqlError for an unclosed quote
// (105), an unclosed comment (113), an over-long identifier (103) or a stray character (102).
std::vector<Token> Tokenize(std::string_view batch);

}  // namespace standin
