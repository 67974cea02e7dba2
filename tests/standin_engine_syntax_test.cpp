// How the engine reads batches: names quoted three ways, literals, keywords, several statements
// per batch, and the syntax errors SQL Server gives for anything outside the subset.

#include "standin_engine_support.h"

namespace enginetest {
namespace {

using ::testing::ElementsAre;

class SyntaxTest : public SampleTest {};

TEST_F(SyntaxTest, ThreePartNamesQuotedEveryWay) {
    const Rows expected = Query(S(), R"(SELECT ztbh FROM GL_Ztcs WHERE kjnd = '2016' AND hsdwdm = '002' ORDER BY 1)");
    ASSERT_EQ(expected, (Rows{{"002"}, {"012"}}));
    for (const char* from : {
             R"("2016年乡镇数据采集"."dbo"."GL_Ztcs")",
             R"([2016年乡镇数据采集].[dbo].[GL_Ztcs])",
             R"([2016年乡镇数据采集]."dbo".GL_Ztcs)",
             R"("2016年乡镇数据采集"..GL_Ztcs)",
             R"(dbo.gl_ztcs)",
             R"(GL_ZTCS)",
         }) {
        EXPECT_EQ(
            Query(S(), std::string("SELECT ztbh FROM ") + from + " WHERE kjnd = '2016' AND hsdwdm = '002' ORDER BY 1"),
            expected)
            << from;
    }
    Ok(S(), "create database Tarvex数据整理");
    Ok(S(), "CREATE TABLE Tarvex数据整理.dbo.t (a int)");
    Ok(S(), "INSERT INTO tarvex数据整理..T VALUES (7)");
    EXPECT_EQ(Query(S(), "SELECT a FROM [TARVEX数据整理].[DBO].[t]"), (Rows{{"7"}}));
}

TEST_F(SyntaxTest, QuotesInsideQuotedNamesAndLiterals) {
    Ok(S(), R"(CREATE TABLE [we]]ird "name] ([col]]1] varchar(10), "col""2" varchar(10)))");
    Ok(S(), R"(INSERT INTO "we]ird ""name" VALUES ('it''s', N'中''文'))");
    const Outcome o = Ok(S(), R"(SELECT "col]1", [col"2] FROM [we]]ird "name])");
    EXPECT_EQ(o.rows, (Rows{{"it's", "中'文"}}));
    EXPECT_EQ(o.columns->at(0).name, "col]1");
    EXPECT_EQ(o.columns->at(1).name, "col\"2");
    EXPECT_EQ(Query(S(), "SELECT 'a''''b', ''''"), (Rows{{"a''b", "'"}}));
}

TEST_F(SyntaxTest, BackslashBeforeLineBreakInLiteralIsDropped) {
    EXPECT_EQ(Query(S(), "SELECT 'ab\\\ncd', 'ef\\\r\ngh', 'x\\y'"), (Rows{{"abcd", "efgh", "x\\y"}}));
}

TEST_F(SyntaxTest, KeywordsAndNamesIgnoreCase) {
    EXPECT_EQ(Query(S(), "sElEcT ZTBH fRoM gl_ztcs wHeRe KJND lIkE '2016' aNd HSDWDM = '003' oRdEr bY 1 DeSc"),
              (Rows{{"013"}, {"003"}}));
}

TEST_F(SyntaxTest, SeveralStatementsInOneBatch) {
    const BatchResult r = RunBatch(S(), "SELECT 1 SELECT 2;SELECT 3\n;\n\nSELECT 4;;");
    ASSERT_TRUE(r.completed);
    ASSERT_EQ(r.statements.size(), 4u);
    for (int k = 0; k < 4; ++k) EXPECT_EQ(r.statements[k].rows, (Rows{{std::to_string(k + 1)}}));
    EXPECT_TRUE(RunBatch(S(), " \n -- nothing\n/* at /* all */ */ ;").statements.empty());
}

TEST_F(SyntaxTest, CommentsAreBlanks) {
    EXPECT_EQ(Query(S(), "SELECT /* one */ 1 -- the rest\n, 2"), (Rows{{"1", "2"}}));
}

TEST_F(SyntaxTest, SetStatementsAreAcceptedWithoutEffect) {
    const BatchResult r = RunBatch(S(),
                                   "SET NOCOUNT ON SET TEXTSIZE 2147483647 "
                                   "SET TRANSACTION ISOLATION LEVEL READ COMMITTED SELECT 5");
    ASSERT_EQ(r.statements.size(), 4u);
    for (int k = 0; k < 3; ++k) {
        EXPECT_FALSE(r.statements[k].failed);
        EXPECT_EQ(r.statements[k].rowCount, -1);
        EXPECT_FALSE(r.statements[k].columns);
    }
    EXPECT_EQ(r.statements[3].rows, (Rows{{"5"}}));
}

TEST_F(SyntaxTest, OutsideTheSubsetIsASyntaxError) {
    struct Case {
        const char* sql;
        int number;
        const char* text;
    };
    const Case cases[] = {
        {"SELECT TOP 1 * FROM GL_BZ", 156, "Incorrect syntax near the keyword 'TOP'."},
        {"SELECT DISTINCT gsdm FROM GL_BZ", 156, "Incorrect syntax near the keyword 'DISTINCT'."},
        {"SELECT gsdm FROM GL_BZ GROUP BY gsdm", 156, "Incorrect syntax near the keyword 'GROUP'."},
        {"SELECT * FROM GL_BZ a JOIN GL_BZ b ON 1 = 1", 156, "Incorrect syntax near the keyword 'JOIN'."},
        {"SELECT FROM GL_BZ", 156, "Incorrect syntax near the keyword 'FROM'."},
        {"SELECT * FROM", 156, "Incorrect syntax near the keyword 'FROM'."},
        {"EXEC ('SELECT 1' 'SELECT 2')", 102, "Incorrect syntax near 'SELECT 2'."},
        {"SELECT * FROM GL_BZ WHERE gsdm IN ('001')", 156, "Incorrect syntax near the keyword 'IN'."},
        {"SELECT 1 +", 102, "Incorrect syntax near '+'."},
        {"GO", 102, "Incorrect syntax near 'GO'."},
        {"SELECT * FROM GL_BZ WHERE gsdm", 4145,
         "An expression of non-boolean type specified in a context where a condition is expected, near 'gsdm'."},
        {"SELECT 1 WHERE 1 = 1 = 1", 102, "Incorrect syntax near '='."},
        {"SELECT a.b.c FROM GL_BZ", 102, "Incorrect syntax near '.'."},
        {"backup database x to disk='y' with format", 102, "Incorrect syntax near 'format'."},
        {"SELECT 1 & 2", 102, "Incorrect syntax near '&'."},
        {"SELECT 'open", 105, "Unclosed quotation mark after the character string 'open'."},
        {"SELECT [open", 105, "Unclosed quotation mark after the character string 'open'."},
        {"SELECT 1 /* open", 113, "Missing end comment mark '*/'."},
        {"SELECT 1 AS []", 1038,
         "An object or column name is missing or empty. For SELECT INTO statements, verify each column has a "
         "name. For other statements, look for empty alias names. Aliases defined as \"\" or [] are not allowed. "
         "Change the alias to a valid name."},
    };
    for (const Case& c : cases) {
        const Message m = Error(S(), c.sql);
        EXPECT_EQ(m.number, c.number) << c.sql;
        EXPECT_EQ(m.text, c.text) << c.sql;
        EXPECT_EQ(m.severity, 15) << c.sql;
    }
}

TEST_F(SyntaxTest, OverlongIdentifier) {
    const std::string name(129, 'x');
    const Message m = Error(S(), "SELECT * FROM " + name);
    EXPECT_EQ(m.number, 103);
    EXPECT_EQ(m.text,
              "The identifier that starts with '" + name.substr(0, 128) + "' is too long. Maximum length is 128.");
}

TEST_F(SyntaxTest, ABatchWithASyntaxErrorRunsNothing) {
    const BatchResult r = RunBatch(S(), "create database Tarvex数据整理\nSELECT 1 +\n");
    ASSERT_TRUE(r.completed);
    ASSERT_EQ(r.statements.size(), 1u);
    EXPECT_TRUE(r.statements[0].failed);
    ASSERT_EQ(r.statements[0].messages.size(), 1u);
    EXPECT_EQ(r.statements[0].messages[0].number, 102);
    EXPECT_EQ(r.statements[0].messages[0].line, 2);
    EXPECT_FALSE(engine_->DatabaseExists(kTemp));
}

// An error that ends only its statement ("Batches": a constraint violation and the like); a name
// that does not resolve ends the batch (ProcedureTest).
TEST_F(SyntaxTest, AFailedStatementDoesNotStopTheBatch) {
    const BatchResult r = RunBatch(S(), "CREATE TABLE twice (n int)\nCREATE TABLE twice (n int)\nSELECT 3");
    ASSERT_TRUE(r.completed);
    ASSERT_EQ(r.statements.size(), 3u);
    EXPECT_FALSE(r.statements[0].failed);
    EXPECT_TRUE(r.statements[1].failed);
    EXPECT_THAT(r.statements[1].Numbers(), ElementsAre(2714));
    EXPECT_EQ(r.statements[1].messages[0].line, 2);
    EXPECT_EQ(r.statements[2].rows, (Rows{{"3"}}));
}

TEST_F(SyntaxTest, ReservedWordsAreNotBareNames) {
    EXPECT_EQ(Error(S(), "create database select").number, 156);
    Ok(S(), "create database [select]");
    EXPECT_TRUE(engine_->DatabaseExists("SELECT"));
}

TEST_F(SyntaxTest, NestingHasALimit) {
    const auto nested = [](int n) { return "SELECT " + std::string(n, '(') + "1" + std::string(n, ')'); };
    EXPECT_EQ(Query(S(), nested(100)), (Rows{{"1"}}));
    const Message deep = Error(S(), nested(100000));
    EXPECT_EQ(deep.number, 191);
    EXPECT_EQ(deep.text,
              "Some part of your SQL statement is nested too deeply. Rewrite the query or break it up "
              "into smaller queries.");
    const auto chain = [](int n) {
        std::string sql = "SELECT COUNT(*) FROM GL_BZ WHERE GSDM = '001'";
        for (int k = 0; k < n; ++k) sql += " AND ZTH <> 'x'";
        return sql;
    };
    EXPECT_EQ(Query(S(), chain(350)), (Rows{{"4"}}));
    EXPECT_EQ(Error(S(), chain(100000)).number, 191);
    std::string negations;
    for (int k = 0; k < 50000; ++k) negations += "- ";
    EXPECT_EQ(Error(S(), "SELECT " + negations + "1").number, 191);
    std::string rightNested = "SELECT 1 WHERE 1 = 1";
    for (int k = 0; k < 300; ++k) rightNested += " AND (1 = 1";
    EXPECT_EQ(Error(S(), rightNested + std::string(300, ')')).number, 191);
    EXPECT_EQ(Error(S(), "SELECT 1 WHERE " + std::string(100000, '(') + "1 = 1").number, 191);
}

// Every prefix of the tool's statements, and bytes that are no SQL at all, get an answer
// without harming the data.
TEST_F(SyntaxTest, BadInputIsAnsweredAndLosesNothing) {
    Ok(S(), "create database Tarvex数据整理");
    const Rows before = Query(S(), "SELECT COUNT(*) FROM GL_PZNR");
    const std::string statements[] = {
        R"(SELECT hsdwdm,ztmc,ztbh FROM "2016年乡镇数据采集"."dbo"."GL_Ztcs" where ztmc like '%演示[_]账套%'and kjnd Like '%2016%'and hsdwmc like '%新科目%')",
        R"(SELECT "BZ","CN","dyzt"='0',"pzh" into "Tarvex数据整理"."dbo"."GL_PZML"  FROM "2016年乡镇数据采集"."dbo"."GL_PZML"where gsdm='001' and zth='001' and left(kjqj,4)='2016')",
    };
    for (const std::string& full : statements) {
        for (size_t n = 0; n <= full.size(); ++n) {
            RecordingSink sink;
            ASSERT_TRUE(S().Execute(full.substr(0, n), sink)) << n;
            for (const Outcome& o : sink.statements) {
                if (o.failed) {
                    EXPECT_FALSE(o.messages.empty() || o.messages.back().text.empty()) << n;
                }
            }
        }
    }
    std::string garbage;
    for (int k = 0; k < 2000; ++k) garbage += static_cast<char>((k * 7919) % 256);
    for (size_t n = 0; n < garbage.size(); n += 37) {
        RecordingSink sink;
        ASSERT_TRUE(S().Execute(garbage.substr(n, 64), sink));
    }
    EXPECT_EQ(Query(S(), "SELECT COUNT(*) FROM GL_PZNR"), before);
}

}  // namespace
}  // namespace enginetest
