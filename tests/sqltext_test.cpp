#include "sqltext.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>

#include "sqltext_test_support.h"

using namespace sqltest;
using tarvex::DatabaseNameProblem;
using tarvex::QuoteBracketedName;
using tarvex::QuoteLikeText;
using tarvex::QuoteLiteralText;

namespace {

const CodePage kGbk = CodePage::Named("GBK");
const CodePage kUtf8 = CodePage::Named("UTF-8");
const CodePage kGb18030 = CodePage::Named("GB18030");

// GBK characters whose trail bytes look like '[', ']' and '_': 嶽 8E 5B, 誡 D5 5D, 癬 B0 5F.
const std::string kGbkTrailBrackets = "\x8E\x5B\xD5\x5D\xB0\x5F";

std::string Shown(const CodePage& cp, std::string_view text) { return cp.Name() + " [" + cp.ToUtf8(text) + "]"; }

// The characters that a LIKE pattern matches one by one; nullopt when it holds a wildcard or a
// set of other than one character.
std::optional<std::u16string> LiteralCharacters(std::u16string_view pattern) {
    std::u16string out;
    for (std::size_t i = 0; i < pattern.size();) {
        const char16_t c = pattern[i];
        if (c == u'%' || c == u'_') return std::nullopt;
        if (c != u'[') {
            out += c;
            ++i;
            continue;
        }
        const std::size_t close = pattern.find(u']', i + 1);
        if (close == std::u16string_view::npos || close != i + 2 || pattern[i + 1] == u'^') return std::nullopt;
        out += pattern[i + 1];
        i = close + 1;
    }
    return out;
}

}  // namespace

TEST(SqlTextOrdinary, ValuesWithoutQuotesBracketsOrWildcardsComeBackUnchanged) {
    for (const CodePage* cp : {&kGbk, &kUtf8, &kGb18030}) {
        for (const std::string_view utf8 : {"", "001", "2016 ", "2016年乡镇数据采集", "a.b-c d"}) {
            const std::string value = cp->FromUtf8(utf8);
            SCOPED_TRACE(Shown(*cp, value));
            EXPECT_EQ(QuoteLiteralText(value), value);
            EXPECT_EQ(QuoteLikeText(value, *cp), value);
            EXPECT_EQ(QuoteBracketedName(value, *cp), value);
            EXPECT_EQ(DatabaseNameProblem(value, *cp), "");
        }
    }
    // Trail bytes that look like brackets or '_' belong to their characters and stay as they are.
    EXPECT_EQ(QuoteLikeText(kGbkTrailBrackets, kGbk), kGbkTrailBrackets);
    EXPECT_EQ(QuoteBracketedName(kGbkTrailBrackets, kGbk), kGbkTrailBrackets);
    EXPECT_EQ(QuoteBracketedName("x" + kGbkTrailBrackets, kGb18030), "x" + kGbkTrailBrackets);
}

TEST(SqlTextLiterals, EveryValueIsReadAsExactlyItsOneLiteral) {
    for (const CodePage* cp : {&kGbk, &kUtf8, &kGb18030}) {
        for (const std::string& value : HostileTexts(*cp)) {
            SCOPED_TRACE(Shown(*cp, value));
            // The bracketed name after the literal shows that the rewriting saw the literal end.
            const std::string statement = "select 1 where x='" + QuoteLiteralText(value) + "' and [y]='z'";
            EXPECT_EQ(ServerTokens(statement, *cp),
                      (std::vector<Token>{Word(u"select"), Word(u"1"), Word(u"where"), Word(u"x"), Symbol(u'='),
                                          Literal(cp->ToUtf16(value)), Word(u"and"), Name(u"y"), Symbol(u'='),
                                          Literal(u"z")}));
        }
    }
}

TEST(SqlTextLikePatterns, PatternMatchesExactlyTheValueCharacterByCharacter) {
    for (const CodePage* cp : {&kGbk, &kUtf8, &kGb18030}) {
        for (const std::string& value : HostileTexts(*cp)) {
            SCOPED_TRACE(Shown(*cp, value));
            const std::string statement = "select 1 where x like '%" + QuoteLikeText(value, *cp) + "%' and [y]='z'";
            const std::vector<Token> tokens = ServerTokens(statement, *cp);
            ASSERT_EQ(tokens.size(), 10u);
            EXPECT_EQ(tokens[7], Name(u"y"));
            const Token& pattern = tokens[5];
            ASSERT_EQ(pattern.kind, Kind::Literal);
            ASSERT_GE(pattern.text.size(), 2u);
            ASSERT_EQ(pattern.text.front(), u'%');
            ASSERT_EQ(pattern.text.back(), u'%');
            EXPECT_EQ(LiteralCharacters(std::u16string_view(pattern.text).substr(1, pattern.text.size() - 2)),
                      cp->ToUtf16(value));
        }
    }
    EXPECT_EQ(QuoteLikeText("50%_[a]'"), "50[%][_][[]a]''");
}

TEST(SqlTextNames, EveryShortNameIsOneIdentifierOrRefused) {
    // Every name of up to four pieces, pieces chosen to meet each other in every order.
    struct Case {
        const CodePage* cp;
        std::vector<std::string> pieces;
    };
    const std::vector<std::string> common = {"a", "[", "]", "\"", "'", " ", ".", "\n"};
    const std::vector<Case> cases = {
        {&kGbk, {"\x8E\x5B", "\xD5\x5D", "\x81"}},
        {&kGb18030, {"\x8E\x5B", "\xD5\x5D", "\x81", "\x81\x30"}},
        {&kUtf8, {"\xE6\x95\xB0", "\xE6", "\x80"}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> pieces = common;
        pieces.insert(pieces.end(), c.pieces.begin(), c.pieces.end());
        const std::function<void(const std::string&, int)> check = [&](const std::string& name, int depth) {
            const std::optional<std::string> quoted = QuoteBracketedName(name, *c.cp);
            const std::string problem = DatabaseNameProblem(name, *c.cp);
            if (quoted) {
                EXPECT_EQ(problem, "") << Shown(*c.cp, name);
                const std::string statement = "SELECT [c] FROM [" + *quoted + "].[dbo].[T] where x='v'";
                EXPECT_EQ(ServerTokens(statement, *c.cp),
                          (std::vector<Token>{Word(u"SELECT"), Name(u"c"), Word(u"FROM"), Name(c.cp->ToUtf16(name)),
                                              Symbol(u'.'), Name(u"dbo"), Symbol(u'.'), Name(u"T"), Word(u"where"),
                                              Word(u"x"), Symbol(u'='), Literal(u"v")}))
                    << Shown(*c.cp, name);
            } else {
                EXPECT_NE(problem, "") << Shown(*c.cp, name);
                // Refused only for an apostrophe, a leading '[' or a possibly incomplete last
                // character; everything else must get through.
                const bool mayBeIncomplete =
                    c.cp->GetKind() != CodePage::Kind::Utf8 && name.find('\x81') != std::string::npos;
                EXPECT_TRUE(name.find('\'') != std::string::npos || name.starts_with('[') || mayBeIncomplete)
                    << Shown(*c.cp, name);
            }
            if (depth == 4) return;
            for (const std::string& piece : pieces) check(name + piece, depth + 1);
        };
        check("", 0);
    }
}

TEST(SqlTextNames, RefusesWhatBracketRewritingCannotCarryAndSaysWhy) {
    for (const CodePage* cp : {&kGbk, &kUtf8}) {
        const auto problemInUtf8 = [&](std::string_view name) { return cp->ToUtf8(DatabaseNameProblem(name, *cp)); };
        for (const std::string name : {"'", "a'b", "2016年'", "x]'; DROP DATABASE y; --"}) {
            SCOPED_TRACE(Shown(*cp, name));
            EXPECT_EQ(QuoteBracketedName(cp->FromUtf8(name), *cp), std::nullopt);
            EXPECT_NE(problemInUtf8(cp->FromUtf8(name)).find("单引号（'）"), std::string::npos);
        }
        for (const std::string name : {"[", "[a]", "[[x"}) {
            SCOPED_TRACE(Shown(*cp, name));
            EXPECT_EQ(QuoteBracketedName(name, *cp), std::nullopt);
            EXPECT_NE(problemInUtf8(name).find("“[”"), std::string::npos);
        }
    }
    // A GBK lead byte at the end would take the closing bracket as its trail byte.
    EXPECT_EQ(QuoteBracketedName("abc\x81", kGbk), std::nullopt);
    EXPECT_NE(kGbk.ToUtf8(DatabaseNameProblem("abc\x81", kGbk)).find("字符不完整"), std::string::npos);
    // In UTF-8 no bracket can finish a character: the stray byte stays one character.
    EXPECT_EQ(QuoteBracketedName("abc\xE6", kUtf8), "abc\xE6");
    // Brackets anywhere but at the start are carried.
    EXPECT_EQ(QuoteBracketedName("]a[b\"]"), "]]a[[b\"\"]]");
}
