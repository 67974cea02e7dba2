#pragma once
// Text semantics of the stand-in, as SQL Server applies them under a case-insensitive collation
// such as Chinese_PRC_CI_AS: how names match, how = compares texts, and what LIKE matches.
// Texts are UTF-8; invalid bytes count as characters of their own.

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace standin {

// `text` case-folded for matching names and comparing values: ASCII, Latin-1, Greek, Cyrillic
// and full-width Latin capitals become small letters; everything else (Chinese included) stays.
std::string FoldCase(std::string_view text);

// Names of databases, tables and columns are the same when their folded forms are.
bool SameName(std::string_view a, std::string_view b);

// Compares two texts as = and < do: case-insensitively, ignoring trailing blanks of either.
// Negative, 0 or positive; characters order by code point after folding.
int CompareText(std::string_view a, std::string_view b);

// A pattern of SQL Server's LIKE: % any run of characters, _ one character, [abc] [a-c] one of
// a set or range, [^...] one not in it; case-insensitive. A "[" without its "]" matches nothing.
// Trailing blanks of the pattern count; trailing blanks of the value are ignored unless
// `unicode` (nvarchar operands), where they count too. Compiled once, matched without
// allocating.
class LikePattern {
public:
    explicit LikePattern(std::string_view pattern);
    bool Matches(std::string_view value, bool unicode) const;

private:
    struct Element {
        enum class Kind { Character, AnyOne, AnyRun, Set, Never };
        explicit Element(Kind k, char32_t c = 0) : kind(k), character(c) {}
        Kind kind;
        char32_t character;
        bool negated = false;
        std::vector<std::pair<char32_t, char32_t>> ranges;  // of a Set
        bool Matches(char32_t c) const;
    };

    std::vector<Element> elements_;
};

// Number of characters in a UTF-8 text.
int CharacterCount(std::string_view text);

}  // namespace standin
