// Log-in's texts: trimming and the connection string.

#include <gtest/gtest.h>

#include "connection_string.h"
#include "login.h"

using tarvex::BuildConnectionString;
using tarvex::CodePage;
using tarvex::LoginSettings;
using tarvex::TrimBlanks;

namespace {
const CodePage kGbk = CodePage::Named("GBK");
const CodePage kUtf8 = CodePage::Named("UTF-8");
}  // namespace

TEST(TrimBlanks, RemovesAsciiAndFullWidthBlanksAtBothEndsOnly) {
    EXPECT_EQ(TrimBlanks("  .", kUtf8), ".");
    EXPECT_EQ(TrimBlanks("\xE3\x80\x80sa \xE3\x80\x80 ", kUtf8), "sa");
    EXPECT_EQ(TrimBlanks("\xA1\xA1" "2016\xC4\xEA \xA1\xA1", kGbk), "2016\xC4\xEA");
    EXPECT_EQ(TrimBlanks("a b\xA1\xA1" "c", kGbk), "a b\xA1\xA1" "c");  // inside stays
    EXPECT_EQ(TrimBlanks(" ", kUtf8), "");
    EXPECT_EQ(TrimBlanks("\xA1\xA1\xA1\xA1", kGbk), "");
    EXPECT_EQ(TrimBlanks("", kGbk), "");
}

TEST(TrimBlanks, OtherWhitespaceIsContent) {
    EXPECT_EQ(TrimBlanks("\tsa\r\n", kUtf8), "\tsa\r\n");
    EXPECT_EQ(TrimBlanks(" \t ", kUtf8), "\t");
}

TEST(TrimBlanks, GbkBlankCountsOnlyWhereItBeginsACharacter) {
    // B0 A1 is one character (啊); the A1 A1 that follows it straddles nothing.
    EXPECT_EQ(TrimBlanks("\xB0\xA1\xA1\xA1", kGbk), "\xB0\xA1");
    // Here the bytes A1 A1 are the trail of B0 A1 and the lead of A1 B0: no blank at all.
    EXPECT_EQ(TrimBlanks("\xB0\xA1\xA1\xB0", kGbk), "\xB0\xA1\xA1\xB0");
    // A lone lead byte at the end is content, not half a blank.
    EXPECT_EQ(TrimBlanks("sa\xA1", kGbk), "sa\xA1");
}

TEST(ConnectionString, IsTheExactConcatenationForOrdinaryValues) {
    LoginSettings s{".", "sa", "", "2016年乡镇数据采集"};
    EXPECT_EQ(BuildConnectionString(s), "DRIVER=SQL Server;SERVER=.;UID=sa;PWD=;WSID=.;DATABASE=2016年乡镇数据采集");
    s = {"db-host,1500", "auditor", "p w=d", ""};
    EXPECT_EQ(BuildConnectionString(s),
              "DRIVER=SQL Server;SERVER=db-host,1500;UID=auditor;PWD=p w=d;WSID=db-host,1500;DATABASE=");
    // Windows log-in: the server is to trust this computer's user, who sends no name or password.
    s = {".", "sa", "1", "2016年乡镇数据采集", true};
    EXPECT_EQ(BuildConnectionString(s), "DRIVER=SQL Server;SERVER=.;Trusted_Connection=Yes;WSID=.;DATABASE=2016年乡镇数据采集");
}

TEST(ConnectionString, ValuesWithSeparatorsOrBracesAreBraced) {
    LoginSettings s{".", "sa", "a;UID=evil", "x}y{z"};
    EXPECT_EQ(BuildConnectionString(s),
              "DRIVER=SQL Server;SERVER=.;UID=sa;PWD={a;UID=evil};WSID=.;DATABASE={x}}y{z}");
    s = {"h;ost", "u}", "{p}", "d"};
    EXPECT_EQ(BuildConnectionString(s),
              "DRIVER=SQL Server;SERVER={h;ost};UID={u}}};PWD={{p}}};WSID={h;ost};DATABASE=d");
}

TEST(ConnectionString, GbkCharactersWhoseTrailByteIsABraceStayWholeAndBare) {
    // 倉 is 82 7D and 憑 91 7B: the brace bytes belong to their characters.
    const LoginSettings s{".", "sa", "\x82\x7D\x8E\xEC", "\x91\x7B"};
    const std::string text = BuildConnectionString(s, kGbk);
    EXPECT_EQ(text, "DRIVER=SQL Server;SERVER=.;UID=sa;PWD=\x82\x7D\x8E\xEC;WSID=.;DATABASE=\x91\x7B");
    const tarvex::DriverConnectionString forDriver = tarvex::ForDriver(text, kGbk);
    EXPECT_TRUE(forDriver.Ok()) << forDriver.problem;
    EXPECT_NE(forDriver.text.find(";PWD=\x82\x7D\x8E\xEC;"), std::string::npos);
}
