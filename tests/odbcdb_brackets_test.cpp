// Bracket rewriting on bytes: what a statement looks like when it reaches the driver.

#include "odbcdb.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <utility>
#include <vector>

using tarvex::CodePage;
using tarvex::RewriteBrackets;

namespace {

const CodePage kGbk = CodePage::Named("GBK");
const CodePage kUtf8 = CodePage::Named("UTF-8");

// "Tarvex数据整理" in GBK and in UTF-8.
const std::string kTempGbk = "Tarvex\xCA\xFD\xBE\xDD\xD5\xFB\xC0\xED";
const std::string kTempUtf8 = "Tarvex\xE6\x95\xB0\xE6\x8D\xAE\xE6\x95\xB4\xE7\x90\x86";

std::string Rewrite(std::string_view s, const CodePage& cp = kUtf8) { return RewriteBrackets(s, '"', cp); }

}  // namespace

TEST(RewriteBrackets, BracketsBecomeTheQuoteCharacterAndDoubledOnesOneBracket) {
    EXPECT_EQ(Rewrite("SELECT [a],[b c] FROM [t]"), "SELECT \"a\",\"b c\" FROM \"t\"");
    EXPECT_EQ(Rewrite("a[[b]]c"), "a[b]c");
    EXPECT_EQ(Rewrite("[[[x]]]"), "[\"x]\"");  // pairs are taken from the left
    EXPECT_EQ(Rewrite("]"), "\"");
    EXPECT_EQ(RewriteBrackets("[a]", ' ', kUtf8), " a ");  // a driver without a quote character
    EXPECT_EQ(Rewrite(""), "");
}

TEST(RewriteBrackets, LiteralsPassUnchanged) {
    EXPECT_EQ(Rewrite("where [a]='[x]' and [b] like '%[%]%'"), "where \"a\"='[x]' and \"b\" like '%[%]%'");
    // Doubled apostrophes stay inside the literal.
    EXPECT_EQ(Rewrite("where x='it''s [y]' and [z]=''"), "where x='it''s [y]' and \"z\"=''");
    EXPECT_EQ(Rewrite("''''[a]"), "''''\"a\"");
    // An unterminated literal runs to the end.
    EXPECT_EQ(Rewrite("select [a] from t where b='[c] and [d]"), "select \"a\" from t where b='[c] and [d]");
    EXPECT_EQ(Rewrite("'"), "'");
}

TEST(RewriteBrackets, TheCopyStatementsNamesInEitherCodePage) {
    const std::string gbk = "SELECT [GSDM] into [" + kTempGbk + "].[dbo].[GL_BZ] FROM [";
    EXPECT_EQ(Rewrite(gbk, kGbk), "SELECT \"GSDM\" into \"" + kTempGbk + "\".\"dbo\".\"GL_BZ\" FROM \"");
    const std::string utf8 = "SELECT [GSDM] into [" + kTempUtf8 + "].[dbo].[GL_BZ] where ztmc='" + kTempUtf8 + "[1]'";
    EXPECT_EQ(Rewrite(utf8, kUtf8),
              "SELECT \"GSDM\" into \"" + kTempUtf8 + "\".\"dbo\".\"GL_BZ\" where ztmc='" + kTempUtf8 + "[1]'");
}

TEST(RewriteBrackets, AGbkTrailByteIsNeverABracket) {
    // 0x81 0x5B and 0x81 0x5D are single GBK characters whose trail bytes are '[' and ']'.
    const std::string open = "\x81\x5B";
    const std::string close = "\x81\x5D";
    EXPECT_EQ(Rewrite("[" + close + "]", kGbk), "\"" + close + "\"");
    EXPECT_EQ(Rewrite("[" + open + close + "]." + close, kGbk), "\"" + open + close + "\"." + close);
    // Doubled brackets right after such a character.
    EXPECT_EQ(Rewrite(close + "]]", kGbk), close + "]");
    // Read as UTF-8 the same bytes are malformed, and the bracket byte stands for itself.
    EXPECT_EQ(Rewrite("[" + close + "x", kUtf8), "\"\x81\"x");
}

// The reasons the connection object gives of its own reach Chinese notices: they are Chinese too.
TEST(OwnReasons, AreInChinese) {
    tarvex::ODBCDB db;
    const std::vector<std::pair<const char*, std::function<void()>>> calls = {
        {"OpenTable without a connection", [&] { db.OpenTable("SELECT 1"); }},
        {"ExecuteSql without a connection", [&] { db.ExecuteSql("drop database x"); }},
        {"an empty statement", [&] { db.ExecuteSql(""); }},
        {"a handle that names nothing", [&] { db.MoveNext(7); }},
    };
    for (const auto& [what, call] : calls) {
        call();
        const std::string message = db.LastError().message;
        EXPECT_FALSE(message.empty()) << what;
        EXPECT_EQ(std::count_if(message.begin(), message.end(), [](char c) { return std::isalpha(static_cast<unsigned char>(c)); }), 0)
            << what << ": " << message;
    }
}
