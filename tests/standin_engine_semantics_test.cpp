// SQL Server's semantics on top of SQLite: LIKE, text comparison, left(), constant columns,
// column metadata, and the statements for tests and diagnosis with their errors.

#include <algorithm>

#include "standin_engine_support.h"

namespace enginetest {
namespace {

using standin::SqlType;
using ::testing::ElementsAre;

class SemanticsTest : public SampleTest {
protected:
    // Whether `value` LIKE `pattern`, both written as literals.
    bool Like(const std::string& value, const std::string& pattern) {
        const Rows rows = Query(S(), "SELECT 1 WHERE " + value + " LIKE " + pattern);
        const Rows negated = Query(S(), "SELECT 1 WHERE " + value + " NOT LIKE " + pattern);
        EXPECT_NE(rows.empty(), negated.empty()) << value << " LIKE " << pattern;
        return !rows.empty();
    }
    bool Equal(const std::string& a, const std::string& b) {
        return !Query(S(), "SELECT 1 WHERE " + a + " = " + b).empty();
    }
};

TEST_F(SemanticsTest, LikePatterns) {
    struct Case {
        const char* value;
        const char* pattern;
        bool match;
    };
    const Case cases[] = {
        {"'abc'", "'a%'", true},
        {"'abc'", "'%b%'", true},
        {"'abc'", "'%d%'", false},
        {"'abc'", "'a_c'", true},
        {"'abc'", "'a_'", false},
        {"'abc'", "'___'", true},
        {"'abc'", "'[abc]bc'", true},
        {"'xbc'", "'[abc]bc'", false},
        {"'abc'", "'[^x]bc'", true},
        {"'abc'", "'[^a]bc'", false},
        {"'bbc'", "'[a-c]bc'", true},
        {"'dbc'", "'[a-c]bc'", false},
        {"'a%b_c[d'", "'%a[%]b[_]c[[]d%'", true},
        {"'aXb_c[d'", "'%a[%]b[_]c[[]d%'", false},
        {"'a%bYc[d'", "'%a[%]b[_]c[[]d%'", false},
        {"'ABC'", "'abc'", true},
        {"'abc'", "'A%C'", true},
        {"'Abc'", "'[a]bc'", true},
        {"'it''s'", "'%''%'", true},
        {"''", "'%'", true},
        {"''", "'_'", false},
        {"'演示账套2'", "'%演示账套%'", true},
        {"'演示账套'", "'%演示账套2%'", false},
        {"'新科目单位'", "'%新科目%'", true},
        {"'旧单位'", "'%新科目%'", false},
        {"'演示账套'", "'演示__'", true},
        {"'abc '", "'abc'", true},   // trailing blanks of the value are ignored
        {"'abc'", "'abc '", false},  // trailing blanks of the pattern count
        {"'abc '", "'abc '", true},
        {"N'abc '", "N'abc'", false},  // with nvarchar they count on both sides
        {"'a[b'", "'a[b'", false},     // an unclosed [ matches nothing
        {"'2016'", "'%2016%'", true},
        {"'2016'", "'%%'", true},
        {"'2016'", "'16'", false},
        {"'2016'", "'%16%'", true},
    };
    for (const Case& c : cases) EXPECT_EQ(Like(c.value, c.pattern), c.match) << c.value << " LIKE " << c.pattern;
    EXPECT_TRUE(Query(S(), "SELECT 1 WHERE NULL LIKE '%'").empty());
}

TEST_F(SemanticsTest, LikeOnNumbersComparesTheirText) {
    Ok(S(), "CREATE TABLE n (i int, d decimal(18,2))");
    Ok(S(), "INSERT INTO n VALUES (2016, 12.5), (17, NULL)");
    EXPECT_EQ(Query(S(), "SELECT i FROM n WHERE i LIKE '%01%'"), (Rows{{"2016"}}));
    EXPECT_EQ(Query(S(), "SELECT i FROM n WHERE i LIKE '1_'"), (Rows{{"17"}}));
}

TEST_F(SemanticsTest, TextEqualityIgnoresCaseAndTrailingBlanks) {
    EXPECT_TRUE(Equal("'abc'", "'ABC'"));
    EXPECT_TRUE(Equal("'abc'", "'abc   '"));
    EXPECT_TRUE(Equal("'ABC  '", "'abc'"));
    EXPECT_FALSE(Equal("'abc'", "' abc'"));
    EXPECT_FALSE(Equal("'abc'", "'abd'"));
    EXPECT_TRUE(Equal("'演示账套'", "'演示账套 '"));
    EXPECT_TRUE(Equal("'Ärger'", "'ärger'"));
    EXPECT_TRUE(Query(S(), "SELECT 1 WHERE 'a' = NULL").empty());
    EXPECT_TRUE(Query(S(), "SELECT 1 WHERE 'a' <> 'A'").empty());
    EXPECT_FALSE(Query(S(), "SELECT 1 WHERE 'a' < 'B'").empty());
    // On columns: the stored '001' matches '001 ' but not '01'.
    EXPECT_EQ(Query(S(), "SELECT COUNT(*) FROM GL_BZ WHERE GSDM = '001 '"), (Rows{{"4"}}));
    EXPECT_EQ(Query(S(), "SELECT COUNT(*) FROM GL_BZ WHERE GSDM = '01'"), (Rows{{"0"}}));
    EXPECT_EQ(Query(S(), "SELECT COUNT(*) FROM GL_BZ WHERE GSDM != '001'"), (Rows{{"8"}}));
}

TEST_F(SemanticsTest, TextOrderIgnoresCase) {
    Ok(S(), "CREATE TABLE w (v varchar(5))");
    Ok(S(), "INSERT INTO w VALUES ('B'), ('a'), ('C'), ('b ')");
    EXPECT_EQ(Query(S(), "SELECT v FROM w WHERE v <> 'b' ORDER BY v"), (Rows{{"a"}, {"C"}}));
    Rows between = Query(S(), "SELECT v FROM w WHERE v > 'A' AND v < 'c'");
    std::sort(between.begin(), between.end());
    EXPECT_EQ(between, (Rows{{"B"}, {"b "}}));
}

TEST_F(SemanticsTest, Left) {
    const Outcome o = Ok(S(), "SELECT left('201601', 4), left('演示账套', 2), left('ab', 5), left(NULL, 1)");
    EXPECT_EQ(o.rows, (Rows{{"2016", "演示", "ab", "NULL"}}));
    EXPECT_EQ(o.columns->at(0).type, SqlType::VarChar);
    EXPECT_EQ(o.columns->at(0).length, 4);
    EXPECT_EQ(o.columns->at(2).length, 2);
    EXPECT_EQ(Query(S(), "SELECT COUNT(*) FROM GL_PZML WHERE gsdm = '001' AND zth = '001' AND left(kjqj,4)='2016'"),
              (Rows{{"48"}}));
    EXPECT_EQ(Query(S(), "SELECT COUNT(*) FROM GL_PZML WHERE gsdm = '001' AND zth = '001' AND left(kjqj,4)='201'"),
              (Rows{{"0"}}));
    EXPECT_EQ(Error(S(), "SELECT left('a')").number, 174);
}

TEST_F(SemanticsTest, ConstantColumns) {
    const Outcome o = Ok(
        S(),
        R"(SELECT "pxh"='', [dyzt]='0', x = N'中文', 'lit' AS y, 'z' w, 1, 'u' FROM GL_BZ WHERE GSDM = '002' AND ZTH = '002')");
    ASSERT_TRUE(o.columns);
    std::vector<std::string> names;
    for (const ColumnInfo& c : *o.columns) names.push_back(c.name);
    EXPECT_THAT(names, ElementsAre("pxh", "dyzt", "x", "y", "w", "", ""));
    EXPECT_EQ(o.rows, (Rows{{"", "0", "中文", "lit", "z", "1", "u"}, {"", "0", "中文", "lit", "z", "1", "u"}}));
    EXPECT_EQ(o.columns->at(0).type, SqlType::VarChar);
    EXPECT_EQ(o.columns->at(0).length, 1);
    EXPECT_FALSE(o.columns->at(0).nullable);
    EXPECT_EQ(o.columns->at(2).type, SqlType::NVarChar);
    EXPECT_EQ(o.columns->at(2).length, 2);
    EXPECT_EQ(o.columns->at(3).length, 3);
    EXPECT_EQ(o.columns->at(5).type, SqlType::Int);
}

TEST_F(SemanticsTest, ExpressionsWithoutATable) {
    const Outcome o =
        Ok(S(), "SELECT 1, -2.50, 1e3, NULL, 2 + 3 * 4, (2 + 3) * 4, 7 / 2, 7 % 4, 'a' + 'b', 3000000000");
    EXPECT_EQ(o.rows, (Rows{{"1", "-2.50", "1000", "NULL", "14", "20", "3", "3", "ab", "3000000000"}}));
    const std::vector<ColumnInfo>& c = *o.columns;
    EXPECT_EQ(c[0].type, SqlType::Int);
    EXPECT_EQ(c[1].type, SqlType::Decimal);
    EXPECT_EQ(c[1].precision, 3);
    EXPECT_EQ(c[1].scale, 2);
    EXPECT_EQ(c[2].type, SqlType::Float);
    EXPECT_TRUE(c[3].nullable);
    EXPECT_EQ(c[8].type, SqlType::VarChar);
    EXPECT_EQ(c[8].length, 2);
    EXPECT_EQ(c[9].type, SqlType::BigInt);
    for (const ColumnInfo& column : c) EXPECT_EQ(column.name, "");
    EXPECT_EQ(Error(S(), "SELECT 'a' - 'b'").text,
              "The data types varchar and varchar are incompatible in the subtract operator.");
    EXPECT_EQ(Error(S(), "SELECT *").number, 263);
    EXPECT_EQ(Error(S(), "SELECT nosuch").number, 207);
}

TEST_F(SemanticsTest, ColumnMetadataFollowsDeclaredTypes) {
    Ok(S(),
       "CREATE TABLE typed (a varchar(20) NOT NULL, b nvarchar(7), c int, d bigint, e smallint, f tinyint, "
       "g bit, h float, i real, j decimal(18,2), k numeric(10,4), l datetime, m char(3), n money, o decimal)");
    Ok(S(), "INSERT INTO typed VALUES ('x', N'中', 1, 2, 3, 4, 1, 1.5, 2.5, 12.3, 7, '2016-01-05', 'ab', 3, 9)");
    const Outcome o = Ok(S(), "SELECT * FROM typed");
    ASSERT_TRUE(o.columns);
    struct Expected {
        const char* name;
        SqlType type;
        int length, precision, scale;
        bool nullable;
    };
    const Expected expected[] = {
        {"a", SqlType::VarChar, 20, 0, 0, false}, {"b", SqlType::NVarChar, 7, 0, 0, true},
        {"c", SqlType::Int, 0, 0, 0, true},       {"d", SqlType::BigInt, 0, 0, 0, true},
        {"e", SqlType::SmallInt, 0, 0, 0, true},  {"f", SqlType::TinyInt, 0, 0, 0, true},
        {"g", SqlType::Bit, 0, 0, 0, true},       {"h", SqlType::Float, 0, 0, 0, true},
        {"i", SqlType::Real, 0, 0, 0, true},      {"j", SqlType::Decimal, 0, 18, 2, true},
        {"k", SqlType::Decimal, 0, 10, 4, true},  {"l", SqlType::DateTime, 0, 0, 0, true},
        {"m", SqlType::VarChar, 3, 0, 0, true},   {"n", SqlType::Decimal, 0, 19, 4, true},
        {"o", SqlType::Decimal, 0, 18, 0, true},
    };
    ASSERT_EQ(o.columns->size(), std::size(expected));
    for (size_t k = 0; k < std::size(expected); ++k) {
        const ColumnInfo& c = o.columns->at(k);
        const Expected& e = expected[k];
        EXPECT_EQ(c.name, e.name);
        EXPECT_EQ(c.type, e.type) << e.name;
        EXPECT_EQ(c.length, e.length) << e.name;
        EXPECT_EQ(c.precision, e.precision) << e.name;
        EXPECT_EQ(c.scale, e.scale) << e.name;
        EXPECT_EQ(c.nullable, e.nullable) << e.name;
    }
    EXPECT_EQ(o.rows, (Rows{{"x", "中", "1", "2", "3", "4", "1", "1.5", "2.5", "12.30", "7.0000",
                             "2016-01-05 00:00:00.000", "ab", "3.0000", "9"}}));
    EXPECT_EQ(Error(S(), "CREATE TABLE bad (a varchar(10), b numbers)").text,
              "Column, parameter, or variable #2: Cannot find data type numbers.");
}

TEST_F(SemanticsTest, NamesMatchCaseInsensitivelyAndResultsKeepTheWrittenCase) {
    const Outcome o = Ok(S(), "SELECT ZTMC, Hsdwdm FROM gl_ztcs WHERE KJND = '2015' AND ZTBH = '003'");
    EXPECT_EQ(o.rows, (Rows{{"旧制度账套", "003"}}));
    EXPECT_EQ(o.columns->at(0).name, "ZTMC");
    EXPECT_EQ(o.columns->at(1).name, "Hsdwdm");
    Ok(S(), "CREATE TABLE 表甲 (列一 varchar(10), Ärger int)");
    Ok(S(), "INSERT INTO 表甲 (列一, ärger) VALUES ('值', 1)");
    EXPECT_EQ(Query(S(), "SELECT 列一, ÄRGER FROM [表甲] WHERE 表甲.列一 = '值'"), (Rows{{"值", "1"}}));
    EXPECT_EQ(Error(S(), "CREATE TABLE 表甲 (x int)").text, "There is already an object named '表甲' in the database.");
    EXPECT_EQ(Error(S(), "CREATE TABLE dup (a int, A int)").number, 2705);
}

TEST_F(SemanticsTest, OrderBy) {
    EXPECT_EQ(Query(S(), "SELECT ztbh AS n, ztmc FROM GL_Ztcs WHERE kjnd = '2016' ORDER BY n DESC"),
              (Rows{{"013", "东山乡食堂账套"},
                    {"012", "河西乡专项资金账套"},
                    {"011", "城关镇工会账套"},
                    {"003", "旧制度账套"},
                    {"002", "演示账套2"},
                    {"001", "演示账套"}}));
    EXPECT_EQ(Query(S(), "SELECT hsdwdm, ztbh FROM GL_Ztcs WHERE kjnd = '2017' ORDER BY 1 DESC, ztbh ASC"),
              (Rows{{"003", "003"}, {"003", "013"}, {"002", "002"}, {"002", "012"}, {"001", "001"}, {"001", "011"}}));
    EXPECT_EQ(Error(S(), "SELECT ztbh FROM GL_Ztcs ORDER BY 2").number, 108);
}

TEST_F(SemanticsTest, Count) {
    const Outcome o = Ok(S(), "SELECT COUNT(*), count(bz1) FROM GL_BZ WHERE GSDM = '001'");
    EXPECT_EQ(o.rows, (Rows{{"4", "2"}}));
    EXPECT_EQ(o.rowCount, 1);
    EXPECT_EQ(o.columns->at(0).type, SqlType::Int);
    EXPECT_EQ(
        Error(S(), "SELECT gsdm, COUNT(*) FROM GL_BZ").text,
        "Column 'dbo.GL_BZ.GSDM' is invalid in the select list because it is not contained in either an aggregate "
        "function or the GROUP BY clause.");
    EXPECT_EQ(Error(S(), "SELECT 1 FROM GL_BZ WHERE COUNT(*) > 1").number, 147);
    EXPECT_EQ(Error(S(), "SELECT nosuch(1)").text, "'nosuch' is not a recognized built-in function name.");
}

TEST_F(SemanticsTest, ConditionsCombine) {
    const char* base = "SELECT ztbh FROM GL_Ztcs WHERE kjnd = '2016' AND ";
    EXPECT_EQ(
        Query(S(), std::string(base) + "(hsdwdm = '001' OR hsdwdm = '003') AND NOT ztmc LIKE '%食堂%' ORDER BY 1"),
        (Rows{{"001"}, {"003"}, {"011"}}));
    EXPECT_EQ(Query(S(), std::string(base) + "NOT (hsdwdm = '001' OR hsdwdm = '003') ORDER BY 1"),
              (Rows{{"002"}, {"012"}}));
    EXPECT_EQ(Query(S(), std::string(base) + "((ztbh)) >= '012' ORDER BY 1"), (Rows{{"012"}, {"013"}}));
    Ok(S(), "CREATE TABLE nn (a int, b varchar(3))");
    Ok(S(), "INSERT INTO nn VALUES (1, NULL), (2, 'x')");
    EXPECT_EQ(Query(S(), "SELECT a FROM nn WHERE b IS NULL"), (Rows{{"1"}}));
    EXPECT_EQ(Query(S(), "SELECT a FROM nn WHERE b IS NOT NULL"), (Rows{{"2"}}));
    EXPECT_EQ(Query(S(), "SELECT a FROM nn WHERE a !< 2 AND a !> 2 AND a <> 3"), (Rows{{"2"}}));
}

TEST_F(SemanticsTest, InsertUpdateDeleteReportTheirRows) {
    Ok(S(), "CREATE TABLE t (id int NOT NULL, name varchar(20), amount decimal(18,2))");
    Outcome o = Ok(S(), "INSERT INTO t (id, name) VALUES (1, 'a'), (2, 'b'), (3, 'c')");
    EXPECT_EQ(o.rowCount, 3);
    EXPECT_FALSE(o.columns);
    EXPECT_EQ(Ok(S(), "INSERT t VALUES (4, 'd', 1.5)").rowCount, 1);
    EXPECT_EQ(Ok(S(), "UPDATE t SET amount = 2.25, name = name + '!' WHERE id > 2").rowCount, 2);
    EXPECT_EQ(Ok(S(), "DELETE FROM t WHERE name = 'A'").rowCount, 1);
    EXPECT_EQ(Query(S(), "SELECT id, name, amount FROM t ORDER BY id"),
              (Rows{{"2", "b", "NULL"}, {"3", "c!", "2.25"}, {"4", "d!", "2.25"}}));
    EXPECT_EQ(Ok(S(), "DELETE t").rowCount, 3);
    EXPECT_EQ(Ok(S(), "UPDATE t SET id = 1").rowCount, 0);

    const Message null = Error(S(), "INSERT INTO t (name) VALUES ('x')");
    EXPECT_EQ(null.number, 515);
    EXPECT_EQ(null.text,
              "Cannot insert the value NULL into column 'id', table '2016年乡镇数据采集.dbo.t'; column does "
              "not allow nulls. INSERT fails.");
    EXPECT_EQ(Error(S(), "INSERT INTO t VALUES (1)").number, 213);
    EXPECT_EQ(Error(S(), "INSERT INTO t (id) VALUES (1, 2)").number, 110);
    EXPECT_EQ(Error(S(), "INSERT INTO t (id, name) VALUES (1)").number, 109);
    EXPECT_EQ(Error(S(), "INSERT INTO t (id) VALUES (id)").number, 128);
    EXPECT_EQ(Error(S(), "INSERT INTO t (nosuch) VALUES (1)").text, "Invalid column name 'nosuch'.");
    EXPECT_EQ(Error(S(), "UPDATE t SET nosuch = 1").text, "Invalid column name 'nosuch'.");
    EXPECT_EQ(Error(S(), "DELETE FROM t WHERE nosuch = 1").text, "Invalid column name 'nosuch'.");
    EXPECT_EQ(Query(S(), "SELECT COUNT(*) FROM t"), (Rows{{"0"}}));
}

TEST_F(SemanticsTest, DropTable) {
    Ok(S(), "CREATE TABLE gone (a int)");
    EXPECT_EQ(Ok(S(), "DROP TABLE [GONE]").rowCount, -1);
    const Message m = Error(S(), "DROP TABLE dbo.gone");
    EXPECT_EQ(m.number, 3701);
    EXPECT_EQ(m.severity, 11);
    EXPECT_EQ(m.text, "Cannot drop the table 'dbo.gone', because it does not exist or you do not have permission.");
}

TEST_F(SemanticsTest, MissingObjectsAreNamedAsWritten) {
    const Message table = Error(S(), R"(SELECT * FROM "2016年乡镇数据采集"."dbo"."GL_BZX")");
    EXPECT_EQ(table.number, 208);
    EXPECT_EQ(table.severity, 16);
    EXPECT_EQ(table.text, "Invalid object name '2016年乡镇数据采集.dbo.GL_BZX'.");
    EXPECT_EQ(Error(S(), "SELECT * FROM other.GL_BZ").text, "Invalid object name 'other.GL_BZ'.");
    const Message column = Error(S(), R"(SELECT "BZ1","BZX" FROM GL_BZ)");
    EXPECT_EQ(column.number, 207);
    EXPECT_EQ(column.severity, 16);
    EXPECT_EQ(column.text, "Invalid column name 'BZX'.");
    EXPECT_EQ(Error(S(), "SELECT x.BZ1 FROM GL_BZ").number, 4104);
    EXPECT_EQ(Query(S(), "SELECT g.BZ1 FROM GL_BZ AS g WHERE g.GSDM = '001' AND BZ1 IS NULL"),
              (Rows{{"NULL"}, {"NULL"}}));
    const Message database = Error(S(), R"(SELECT * FROM "nosuch"."dbo"."GL_BZ")");
    EXPECT_EQ(database.number, 911);
    EXPECT_EQ(database.severity, 16);
    EXPECT_EQ(database.text, "Database 'nosuch' does not exist. Make sure that the name is entered correctly.");
}

}  // namespace
}  // namespace enginetest
