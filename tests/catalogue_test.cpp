#include "catalogue.h"

#include <gtest/gtest.h>

#include <clocale>
#include <map>
#include <set>

#include "sqltext.h"
#include "sqltext_test_support.h"

using namespace sqltest;
using tarvex::BuildCopyStatement;
using tarvex::DatabaseNameProblem;
using tarvex::kTemporaryDatabase;
using tarvex::TableCatalogue;

namespace {

const CodePage kGbk = CodePage::Named("GBK");
const CodePage kUtf8 = CodePage::Named("UTF-8");
constexpr int kCount = TableCatalogue::kEntryCount;

std::u16string U16(std::string_view utf8) { return kUtf8.ToUtf16(utf8); }

// ---- What the server reads from a copy statement ----

struct Item {
    std::u16string name;
    std::optional<std::u16string> constant;
    bool operator==(const Item&) const = default;
};

struct Filter {
    std::u16string column;  // as written; "left(kjqj,4)" for the accounting period's year
    std::u16string value;
    bool operator==(const Filter&) const = default;
};

void PrintTo(const Filter& f, std::ostream* os) { *os << Utf8(f.column) << "='" << Utf8(f.value) << "'"; }

struct CopyStatement {
    std::vector<Item> items;
    std::vector<std::u16string> target;  // database, schema, table
    std::vector<std::u16string> source;
    std::vector<Filter> filters;
};

class Reader {
public:
    explicit Reader(std::vector<Token> tokens) : tokens_(std::move(tokens)) {}

    bool Keyword(std::u16string_view word) {
        if (at_ >= tokens_.size() || tokens_[at_].kind != Kind::Word || !SameLetters(tokens_[at_].text, word))
            return false;
        ++at_;
        return true;
    }
    bool Sym(char16_t c) {
        if (at_ >= tokens_.size() || tokens_[at_] != Symbol(c)) return false;
        ++at_;
        return true;
    }
    std::optional<std::u16string> Take(Kind kind) {
        if (at_ >= tokens_.size() || tokens_[at_].kind != kind) return std::nullopt;
        return tokens_[at_++].text;
    }
    bool ThreePartName(std::vector<std::u16string>& parts) {
        for (int i = 0; i < 3; ++i) {
            if (i > 0 && !Sym(u'.')) return false;
            const auto part = Take(Kind::Name);
            if (!part) return false;
            parts.push_back(*part);
        }
        return true;
    }
    bool AtEnd() const { return at_ == tokens_.size(); }

private:
    static bool SameLetters(std::u16string_view a, std::u16string_view b) {
        const auto lower = [](char16_t c) { return c >= u'A' && c <= u'Z' ? char16_t(c - u'A' + u'a') : c; };
        return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [&](char16_t x, char16_t y) {
                   return lower(x) == lower(y);
               });
    }

    std::vector<Token> tokens_;
    std::size_t at_ = 0;
};

// SELECT items into a.b.c FROM d.e.f where col='v' { and col='v' }, and nothing else.
std::optional<CopyStatement> ParseCopy(std::vector<Token> tokens) {
    Reader r(std::move(tokens));
    CopyStatement copy;
    if (!r.Keyword(u"select")) return std::nullopt;
    do {
        const auto name = r.Take(Kind::Name);
        if (!name) return std::nullopt;
        Item item{*name, std::nullopt};
        if (r.Sym(u'=') && !(item.constant = r.Take(Kind::Literal))) return std::nullopt;
        copy.items.push_back(item);
    } while (r.Sym(u','));
    if (!r.Keyword(u"into") || !r.ThreePartName(copy.target) || !r.Keyword(u"from") ||
        !r.ThreePartName(copy.source) || !r.Keyword(u"where"))
        return std::nullopt;
    do {
        Filter filter;
        if (r.Keyword(u"left")) {
            const bool ok = r.Sym(u'(') && r.Keyword(u"kjqj") && r.Sym(u',') && r.Keyword(u"4") && r.Sym(u')');
            if (!ok) return std::nullopt;
            filter.column = u"left(kjqj,4)";
        } else if (const auto column = r.Take(Kind::Word)) {
            filter.column = *column;
        } else {
            return std::nullopt;
        }
        const bool ok = r.Sym(u'=');
        const auto value = r.Take(Kind::Literal);
        if (!ok || !value) return std::nullopt;
        filter.value = *value;
        copy.filters.push_back(filter);
    } while (r.Keyword(u"and"));
    if (!r.AtEnd()) return std::nullopt;
    return copy;
}

std::string Statement(int position, std::string_view database, std::string_view unit, std::string_view accountSet,
                      std::string_view year, const CodePage& cp = kUtf8) {
    return BuildCopyStatement(position, database, unit, accountSet, year, cp).value_or("<refused>");
}

std::optional<CopyStatement> ServerView(int position, std::string_view database, std::string_view unit,
                                        std::string_view accountSet, std::string_view year,
                                        const CodePage& cp = kUtf8) {
    return ParseCopy(ServerTokens(Statement(position, database, unit, accountSet, year, cp), cp));
}

// ---- The catalogue as its users know it, entry by entry ----

enum class FilterKind { Unit, UnitAccount, UnitYear, UnitYearAccount, UnitAccountYear, UnitAccountPeriod };

struct KindOfEntries {
    FilterKind kind;
    std::vector<std::pair<int, std::string_view>> entries;
};

const std::vector<KindOfEntries> kFilterKinds = {
    {FilterKind::Unit, {{1, "DWYS_TZDLX"}, {17, "GL_TZDLX"}, {26, "GL_YSKMLB"}}},
    {FilterKind::UnitAccount,
     {{2, "GL_BZ"}, {3, "GL_DLZGSML"}, {4, "GL_DLZGSNR"}, {8, "GL_KMMXFL"}, {10, "GL_KMXZLX"}, {13, "GL_PZLX"}}},
    {FilterKind::UnitYear,
     {{5, "GL_FZXLB"}, {6, "GL_JZMBML"}, {20, "GL_XJLLXM"}, {22, "GL_XMZL"}, {30, "PUBBMXX"}, {31, "PUBGSZL"},
      {33, "PUBKSZL"}, {34, "PUBZYXX"}}},
    {FilterKind::UnitYearAccount,
     {{7, "GL_JZMBNR"}, {21, "GL_XMKM"}, {23, "GL_YEB"}, {24, "GL_YEBK"}, {28, "GL_ZDFLMX"}, {29, "GL_ZTCS"},
      {32, "PUBKJQJ"}}},
    {FilterKind::UnitAccountYear, {{9, "GL_KMXX"}, {16, "GL_PZZY"}, {18, "GL_WLKM"}, {25, "GL_YHZH"}, {27, "GL_ZDFL"}}},
    {FilterKind::UnitAccountPeriod,
     {{11, "GL_PZFLMX"}, {12, "GL_PZFLMX_BK"}, {14, "GL_PZML"}, {15, "GL_PZNR"}, {19, "GL_WLYW"}}},
};

FilterKind KindOf(int position) {
    for (const KindOfEntries& k : kFilterKinds)
        for (const auto& [p, table] : k.entries)
            if (p == position) return k.kind;
    ADD_FAILURE() << "no filter kind for " << position;
    return FilterKind::Unit;
}

bool FiltersOnAccountSet(int position) { return KindOf(position) != FilterKind::Unit && KindOf(position) != FilterKind::UnitYear; }
bool FiltersOnYear(int position) { return KindOf(position) != FilterKind::Unit && KindOf(position) != FilterKind::UnitAccount; }

constexpr int kColumnCounts[kCount] = {15, 7,  9,  11, 19, 10, 22, 5,  34, 4,  10, 10, 20, 33, 48, 18, 4,
                                       6,  40, 14, 5,  30, 48, 48, 12, 3,  41, 9,  96, 19, 45, 13, 85, 37};

// Columns that hold a constant instead of a source column: the empty text, except dyzt ("0").
const std::map<int, std::vector<std::u16string>> kConstantColumns = {
    {5, {u"pxh"}},
    {13, {u"sx"}},
    {14, {u"dyzt", u"GDBZ", u"GDCS", u"GDID", u"GDName", u"GDRQSJ", u"QZRQ"}},
    {15, {u"EDID", u"JFSQID", u"wlh", u"ZBID"}},
    {19, {u"wlh"}},
    {22, {u"GLH", u"ren2", u"ren3", u"YSJE"}},
    {27, {u"JFSQID"}},
    {29, {u"CZYJKM"}},
    {30, {u"fzrdm2", u"fzrdm3"}},
    {32, {u"jzzt"}},
    {33, {u"YQGUID"}},
    {34, {u"appsw", u"bdmm", u"imei", u"WBDM", u"zyzp1"}},
};

const std::set<int> kTwoBlanksAfterSelect = {2, 4, 6, 8, 12, 15, 19, 20, 22, 25, 30};
const std::set<int> kNoBlankBeforeInto = {20, 30, 34};

int BlanksBeforeFrom(int position) {
    if (position == 1) return 0;
    return std::set<int>{2, 18, 19, 20, 24, 26}.contains(position) ? 1 : 2;
}

int BlanksBeforeWhere(int position) {
    if (position == 13) return 2;
    return std::set<int>{14, 21, 30}.contains(position) ? 0 : 1;
}

std::string UnitColumn(int position) {
    if (position == 29) return "hsdwdm";
    return std::set<int>{2, 3, 18}.contains(position) ? "GSDM" : "gsdm";
}

std::string AccountSetConnector(int position) {
    if (position == 13) return "'and zth='";
    if (position == 29) return "' and ztbh='";
    return std::set<int>{12, 18, 23, 28, 32}.contains(position) ? "' and ZTH='" : "' and zth='";
}

int ProgressDots(int position) { return position == 3 ? 5 : position == 25 ? 7 : 6; }

const std::string kSampleDatabase = "2016年乡镇数据采集";

}  // namespace

TEST(CatalogueStatements, WorkedExampleByteForByte) {
    const std::string expected =
        "SELECT  [BZ1],[BZ2],[BZ3],[BZ4],[BZ5],[GSDM],[ZTH] into [Tarvex数据整理].[dbo].[GL_BZ] FROM "
        "[2016年乡镇数据采集].[dbo].[GL_BZ] where GSDM='001' and zth='001'";
    EXPECT_EQ(BuildCopyStatement(2, kSampleDatabase, "001", "001", "2016", kUtf8), expected);
    // In a GBK process the fixed Chinese text travels in GBK, like the database name.
    const std::string gbkExpected = kGbk.FromUtf8(expected);
    EXPECT_EQ(BuildCopyStatement(2, kGbk.FromUtf8(kSampleDatabase), "001", "001", "2016", kGbk), gbkExpected);

    const std::string saved = std::setlocale(LC_ALL, nullptr);
    ASSERT_NE(std::setlocale(LC_ALL, "zh_CN.GBK"), nullptr) << "scripts/setup generates zh_CN.GBK";
    const auto fromProcess = BuildCopyStatement(2, kGbk.FromUtf8(kSampleDatabase), "001", "001", "2016");
    const std::string progress = TableCatalogue::ProgressLine(2);
    std::setlocale(LC_ALL, saved.c_str());
    EXPECT_EQ(fromProcess, gbkExpected);
    EXPECT_EQ(progress, kGbk.FromUtf8("正在整理GL_BZ表......\r\n"));
}

TEST(CatalogueStatements, EveryEntryHasItsTableColumnsBlanksAndProgressLine) {
    std::set<int> seen;
    for (const KindOfEntries& k : kFilterKinds)
        for (const auto& [position, table] : k.entries) {
            EXPECT_TRUE(seen.insert(position).second);
            EXPECT_EQ(TableCatalogue::TableName(position), table);
        }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(kCount));

    for (int position = 1; position <= kCount; ++position) {
        const std::string table(TableCatalogue::TableName(position));
        SCOPED_TRACE(std::to_string(position) + " " + table);
        if (position > 1) {
            EXPECT_LT(TableCatalogue::TableName(position - 1), table) << "run order is name order";
        }

        const std::string raw = Statement(position, "db", "U1", "A2", "Y3");
        const auto copy = ServerView(position, "db", "U1", "A2", "Y3");
        ASSERT_TRUE(copy) << raw;
        EXPECT_EQ(copy->items.size(), static_cast<std::size_t>(kColumnCounts[position - 1]));
        std::vector<Item> constants;
        for (const Item& item : copy->items)
            if (item.constant) constants.push_back(item);
        std::vector<Item> expectedConstants;
        if (kConstantColumns.contains(position))
            for (const std::u16string& name : kConstantColumns.at(position))
                expectedConstants.push_back({name, name == u"dyzt" ? u"0" : u""});
        EXPECT_EQ(constants, expectedConstants);
        EXPECT_EQ(copy->target, (std::vector<std::u16string>{U16(kTemporaryDatabase), u"dbo", U16(table)}));
        EXPECT_EQ(copy->source, (std::vector<std::u16string>{u"db", u"dbo", U16(table)}));
        ASSERT_FALSE(copy->filters.empty());
        EXPECT_EQ(copy->filters.front().column, U16(UnitColumn(position)));

        // The blanks and spellings, in the text itself.
        EXPECT_TRUE(raw.starts_with(kTwoBlanksAfterSelect.contains(position) ? "SELECT  [" : "SELECT [")) << raw;
        const std::size_t into = raw.find("into [");
        ASSERT_NE(into, std::string::npos);
        EXPECT_EQ(raw[into - 1] == ' ', !kNoBlankBeforeInto.contains(position)) << raw;
        EXPECT_NE(raw.find("[" + table + "]" + std::string(BlanksBeforeFrom(position), ' ') + "FROM [db]"),
                  std::string::npos)
            << raw;
        EXPECT_NE(raw.find("[" + table + "]" + std::string(BlanksBeforeWhere(position), ' ') + "where " +
                           UnitColumn(position) + "='U1'"),
                  std::string::npos)
            << raw;
        if (FiltersOnAccountSet(position)) {
            EXPECT_NE(raw.find(AccountSetConnector(position) + "A2'"), std::string::npos) << raw;
        }
        if (FiltersOnYear(position)) {
            const bool period = KindOf(position) == FilterKind::UnitAccountPeriod;
            EXPECT_NE(raw.find((period ? "' and left(kjqj,4)='" : "' and kjnd='") + std::string("Y3'")),
                      std::string::npos)
                << raw;
        }
        EXPECT_TRUE(raw.ends_with("2'") || raw.ends_with("3'") || raw.ends_with("1'")) << "one quote, no blank";

        const std::string progress = "正在整理" + table + "表" + std::string(ProgressDots(position), '.') + "\r\n";
        EXPECT_EQ(TableCatalogue::ProgressLine(position, kUtf8), progress);
        EXPECT_EQ(TableCatalogue::ProgressLine(position, kGbk), kGbk.FromUtf8(progress));
    }
}

TEST(CatalogueStatements, EachFilterKindTakesTheRightInputsInOrder) {
    for (const KindOfEntries& k : kFilterKinds)
        for (const auto& [position, table] : k.entries) {
            SCOPED_TRACE(std::to_string(position) + " " + std::string(table));
            const auto copy = ServerView(position, "db", "U1", "A2", "Y3");
            ASSERT_TRUE(copy);
            std::vector<Filter> filters = copy->filters;
            for (Filter& f : filters)  // the spelling is checked elsewhere
                for (char16_t& c : f.column) c = c >= u'A' && c <= u'Z' ? char16_t(c - u'A' + u'a') : c;
            const std::u16string unit = position == 29 ? u"hsdwdm" : u"gsdm";
            const std::u16string accountSet = position == 29 ? u"ztbh" : u"zth";
            const Filter u{unit, u"U1"}, a{accountSet, u"A2"}, y{u"kjnd", u"Y3"}, p{u"left(kjqj,4)", u"Y3"};
            std::vector<Filter> expected;
            switch (k.kind) {
                case FilterKind::Unit: expected = {u}; break;
                case FilterKind::UnitAccount: expected = {u, a}; break;
                case FilterKind::UnitYear: expected = {u, y}; break;
                case FilterKind::UnitYearAccount: expected = {u, y, a}; break;
                case FilterKind::UnitAccountYear: expected = {u, a, y}; break;
                case FilterKind::UnitAccountPeriod: expected = {u, a, p}; break;
            }
            EXPECT_EQ(filters, expected);
        }
}

TEST(CatalogueStatements, DatabaseNameChangesOnlyItsOwnPlace) {
    for (int position = 1; position <= kCount; ++position) {
        SCOPED_TRACE(position);
        const std::string a = Statement(position, "db1", "001", "001", "2016");
        const std::string b = Statement(position, "另一个 数据库", "001", "001", "2016");
        const std::size_t start = a.find("FROM [") + 6;
        ASSERT_EQ(a.substr(0, start), b.substr(0, start));
        const std::size_t endA = a.find(']', start), endB = b.find(']', start);
        EXPECT_EQ(a.substr(start, endA - start), "db1");
        EXPECT_EQ(b.substr(start, endB - start), "另一个 数据库");
        EXPECT_EQ(a.substr(endA), b.substr(endB));
    }
}

TEST(CatalogueStatements, EmptyAndBlankInputsArePastedAsTheyAre) {
    for (int position = 1; position <= kCount; ++position) {
        SCOPED_TRACE(position);
        const std::string raw = Statement(position, "", "", "", "");
        EXPECT_NE(raw.find(UnitColumn(position) + "=''"), std::string::npos) << raw;
        const auto empty = ServerView(position, "", "", "", "");
        ASSERT_TRUE(empty) << raw;
        EXPECT_EQ(empty->source.front(), u"");
        for (const Filter& f : empty->filters) EXPECT_EQ(f.value, u"");

        const auto blanks = ServerView(position, kSampleDatabase, " 001", "001 ", "2016 ");
        ASSERT_TRUE(blanks);
        for (const Filter& f : blanks->filters)
            EXPECT_TRUE(f.value == u" 001" || f.value == u"001 " || f.value == u"2016 ") << Utf8(f.value);
        if (FiltersOnYear(position)) {
            const std::string year = Statement(position, kSampleDatabase, "001", "001", "2016 ");
            EXPECT_TRUE(year.ends_with("='2016 '") || year.find("='2016 ' and") != std::string::npos) << year;
        }
    }
}

TEST(CatalogueStatements, HostileInputsStayOneLiteralOrOneIdentifier) {
    for (const CodePage* cp : {&kGbk, &kUtf8}) {
        const std::vector<std::string> hostile = HostileTexts(*cp);
        const std::size_t n = hostile.size();
        int carried = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const std::string& database = hostile[i];
            const std::string& unit = hostile[(i + 1) % n];
            const std::string& accountSet = hostile[(i + 2) % n];
            const std::string& year = hostile[(i + 3) % n];
            SCOPED_TRACE(cp->Name() + " [" + cp->ToUtf8(database) + "] [" + cp->ToUtf8(unit) + "] [" +
                         cp->ToUtf8(accountSet) + "] [" + cp->ToUtf8(year) + "]");
            if (!BuildCopyStatement(1, database, unit, accountSet, year, *cp)) {
                EXPECT_NE(DatabaseNameProblem(database, *cp), "");
                continue;
            }
            ++carried;
            for (int position = 1; position <= kCount; ++position) {
                SCOPED_TRACE(position);
                const auto plain = ServerView(position, "db", "U1", "A2", "Y3");
                const auto copy = ServerView(position, database, unit, accountSet, year, *cp);
                ASSERT_TRUE(plain && copy) << cp->ToUtf8(Statement(position, database, unit, accountSet, year, *cp));
                EXPECT_EQ(copy->items, plain->items);
                EXPECT_EQ(copy->target, plain->target);
                EXPECT_EQ(copy->source, (std::vector<std::u16string>{cp->ToUtf16(database), u"dbo", plain->source[2]}));
                std::vector<Filter> expected = plain->filters;
                for (Filter& f : expected)
                    f.value = cp->ToUtf16(f.value == u"U1" ? unit : f.value == u"A2" ? accountSet : year);
                EXPECT_EQ(copy->filters, expected);
            }
        }
        EXPECT_GT(carried, static_cast<int>(n) / 2);
    }
}

TEST(CatalogueStatements, UncarriableDatabaseNamesAndBadPositionsGiveNoStatement) {
    for (int position = 1; position <= kCount; ++position) {
        EXPECT_EQ(BuildCopyStatement(position, "a'b", "001", "001", "2016", kUtf8), std::nullopt);
        EXPECT_EQ(BuildCopyStatement(position, "x]'; DROP DATABASE y; --", "001", "001", "2016", kGbk), std::nullopt);
        EXPECT_EQ(BuildCopyStatement(position, "[db]", "001", "001", "2016", kUtf8), std::nullopt);
        EXPECT_EQ(BuildCopyStatement(position, "db\x81", "001", "001", "2016", kGbk), std::nullopt);
    }
    EXPECT_NE(DatabaseNameProblem("a'b", kUtf8), "");
    for (const int position : {0, -1, kCount + 1}) {
        EXPECT_EQ(BuildCopyStatement(position, "db", "001", "001", "2016", kUtf8), std::nullopt);
        EXPECT_EQ(TableCatalogue::TableName(position), "");
        EXPECT_EQ(TableCatalogue::ProgressLine(position, kUtf8), "");
    }
}
