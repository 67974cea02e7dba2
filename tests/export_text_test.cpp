// The export's file name and backup statement.

#include <gtest/gtest.h>

#include "batch.h"
#include "export.h"

using tarvex::BuildBackupStatement;
using tarvex::CodePage;
using tarvex::FileNamePart;
using tarvex::MonthDayText;
using tarvex::TimeOfDayText;

TEST(ExportNames, DateAndTimeWithoutLeadingZeros) {
    std::tm t{};
    t.tm_mon = 3;
    t.tm_mday = 5;
    t.tm_hour = 9;
    t.tm_min = 7;
    t.tm_sec = 3;
    EXPECT_EQ(MonthDayText(t), "4月5日");
    EXPECT_EQ(TimeOfDayText(t), "9时7分3秒");
    t = {};
    t.tm_mon = 11;
    t.tm_mday = 31;
    t.tm_hour = 23;
    t.tm_min = 59;
    t.tm_sec = 0;
    EXPECT_EQ(MonthDayText(t), "12月31日");
    EXPECT_EQ(TimeOfDayText(t), "23时59分0秒");
}

TEST(ExportNames, BackupStatementKeepsItsShape) {
    EXPECT_EQ(BuildBackupStatement("/opt/审计工具", "演示账套4月5日9时7分3秒.bak"),
              "backup database Tarvex数据整理 to disk='/opt/审计工具/演示账套4月5日9时7分3秒.bak 'with init");
    // An apostrophe in the directory stays inside the literal.
    EXPECT_EQ(BuildBackupStatement("/home/o'neil", "4月5日9时7分3秒.bak"),
              "backup database Tarvex数据整理 to disk='/home/o''neil/4月5日9时7分3秒.bak 'with init");
}

TEST(ExportNames, FileNamePartKeepsOrdinaryNames) {
    EXPECT_EQ(FileNamePart("演示账套", CodePage::Named("UTF-8")), "演示账套");
    EXPECT_EQ(FileNamePart("", CodePage::Named("UTF-8")), "");
    EXPECT_EQ(FileNamePart("a b.c-(1)'", CodePage::Named("UTF-8")), "a b.c-(1)'");
}

TEST(ExportNames, FileNamePartReplacesWhatNoFileNameHolds) {
    const CodePage utf8 = CodePage::Named("UTF-8");
    EXPECT_EQ(FileNamePart("..\\..\\x/y:z*?\"<>|", utf8), ".._.._x_y_z______");
    EXPECT_EQ(FileNamePart(std::string("a\tb\nc\x7F\0d", 8), utf8), "a_b_c__d");
}

TEST(ExportNames, FileNamePartStepsOverGbkTrailBytes) {
    // 0x5C ('\') and 0x7C ('|') can be GBK trail bytes: 81 5C and 81 7C are characters.
    const CodePage gbk = CodePage::Named("GBK");
    const std::string withBackslashTrail = "\x81\x5C";
    const std::string withBarTrail = "\x81\x7C";
    EXPECT_EQ(FileNamePart(withBackslashTrail + withBarTrail, gbk), withBackslashTrail + withBarTrail);
    EXPECT_EQ(FileNamePart(withBackslashTrail + "\\", gbk), withBackslashTrail + "_");
}

// A spreadsheet program takes a cell starting with = + - @ for a formula: such texts are kept
// text, but a file's name stays the name on the disk.
TEST(ExportNames, TheSummaryGuardsFormulasButNotFileNames) {
    tarvex::BatchRow row;
    row.set.name = "=工会账套";
    row.file = "=工会账套12月8日14时41分31秒.bak";
    const std::string csv = tarvex::SummaryCsv({row});
    EXPECT_NE(csv.find(",\"'=工会账套\","), std::string::npos) << csv;
    EXPECT_NE(csv.find(",\"=工会账套12月8日14时41分31秒.bak\","), std::string::npos) << csv;
}

// A count the server did not report is unknown, never none: no warning; log, record and summary say 未报告.
TEST(ExportNames, AnUnreportedCountIsUnknownNotNone) {
    struct Case { std::vector<long> rows; bool empty; std::string logged, total; };
    const std::vector<Case> cases = {
        {{0, 0}, true, "共复制0行数据", "合计：0 行"},
        {{-1, -1}, false, "复制的行数未报告：服务器没有报告2张表", "合计：未报告（2 张表"},
        {{5, -1}, false, "其余的表共复制5行数据，1张表有数据", "合计：未报告（1 张表的行数服务器未报告，其余共 5 行）"},
    };
    for (const Case& c : cases) {
        tarvex::ExtractionRecord r;
        r.finished = true;
        for (long n : c.rows) r.copies.push_back({"GL_BZ", n, {}});
        EXPECT_EQ(tarvex::ExtractionWarning(r).empty(), !c.empty) << c.logged;
        EXPECT_NE(tarvex::ExtractionSummary(r).front().find(c.logged), std::string::npos) << c.logged;
        EXPECT_NE(tarvex::RecordText(r, {}, {}).find(c.total), std::string::npos) << tarvex::RecordText(r, {}, {});
    }
    tarvex::BatchRow unknown;
    unknown.rows = -1;
    EXPECT_NE(tarvex::SummaryCsv({unknown}).find(",\"未报告\","), std::string::npos);
}
