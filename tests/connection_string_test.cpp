// The layer between the connection string and FreeTDS, on strings alone.

#include "connection_string.h"

#include <gtest/gtest.h>

using tarvex::CodePage;
using tarvex::ForDriver;

namespace {

const CodePage kGbk = CodePage::Named("GBK");
const CodePage kUtf8 = CodePage::Named("UTF-8");

// "2016年乡镇数据采集" in GBK.
const std::string kSampleDatabaseGbk = "2016\xC4\xEA\xCF\xE7\xD5\xF2\xCA\xFD\xBE\xDD\xB2\xC9\xBC\xAF";

// Every string names the protocol version first, unless it names one itself.
constexpr std::string_view kVersion = "TDS_Version=7.4;";

std::string Rewritten(std::string_view s, const CodePage& cp = kUtf8) {
    const auto out = ForDriver(s, cp);
    EXPECT_TRUE(out.Ok()) << out.problem;
    EXPECT_EQ(out.text.rfind(kVersion, 0), 0u) << out.text;
    return out.text.rfind(kVersion, 0) == 0 ? out.text.substr(kVersion.size()) : out.text;
}

std::string Server(std::string_view server) {
    return Rewritten("DRIVER=SQL Server;SERVER=" + std::string(server) + ";UID=sa");
}

std::string Problem(std::string_view s, const CodePage& cp = kUtf8) {
    const auto out = ForDriver(s, cp);
    EXPECT_TRUE(out.text.empty());
    return out.problem;
}

}  // namespace

TEST(ConnectionStringServer, DotAndLocalMeanThisComputerOnTheDefaultPort) {
    EXPECT_EQ(Server("."), "DRIVER=SQL Server;SERVER=127.0.0.1,1433;UID=sa");
    EXPECT_EQ(Server("(local)"), "DRIVER=SQL Server;SERVER=127.0.0.1,1433;UID=sa");
    EXPECT_EQ(Server("(LOCAL)"), "DRIVER=SQL Server;SERVER=127.0.0.1,1433;UID=sa");
    EXPECT_EQ(Server("(Local)"), "DRIVER=SQL Server;SERVER=127.0.0.1,1433;UID=sa");
}

TEST(ConnectionStringServer, PortsAndInstancesStayAsTyped) {
    EXPECT_EQ(Server("host"), "DRIVER=SQL Server;SERVER=host,1433;UID=sa");
    EXPECT_EQ(Server("host,1500"), "DRIVER=SQL Server;SERVER=host,1500;UID=sa");
    EXPECT_EQ(Server("host\\inst"), "DRIVER=SQL Server;SERVER=host\\inst;UID=sa");
    EXPECT_EQ(Server(".\\SQLEXPRESS"), "DRIVER=SQL Server;SERVER=127.0.0.1\\SQLEXPRESS;UID=sa");
    EXPECT_EQ(Server("(local),1500"), "DRIVER=SQL Server;SERVER=127.0.0.1,1500;UID=sa");
    // Only the whole host part names this computer.
    EXPECT_EQ(Server("..\\x"), "DRIVER=SQL Server;SERVER=..\\x;UID=sa");
    EXPECT_EQ(Server("(local)x"), "DRIVER=SQL Server;SERVER=(local)x,1433;UID=sa");
}

TEST(ConnectionStringServer, AVersionGivenIsKeptAndNoneAdded) {
    EXPECT_EQ(ForDriver("DRIVER=SQL Server;SERVER=h,1;tds_version=7.2", kUtf8).text,
              "DRIVER=SQL Server;SERVER=h,1;tds_version=7.2");
}

TEST(ConnectionStringServer, APortKeyIsAPortAndKeysMatchInAnyCase) {
    EXPECT_EQ(Rewritten("server=.;Port=1500"), "server=127.0.0.1;Port=1500");
    EXPECT_EQ(Rewritten("PORT=1500; Server =host"), "PORT=1500; Server =host");
    EXPECT_EQ(Rewritten("DATABASE=.;WSID=."), "DATABASE=.;WSID=.");  // only SERVER names a server
}

TEST(ConnectionStringServer, TheToolsStringKeepsEverythingButTheServer) {
    const std::string in = "DRIVER=SQL Server;SERVER=.;UID=sa;PWD=1;WSID=.;DATABASE=" + kSampleDatabaseGbk;
    EXPECT_EQ(Rewritten(in, kGbk),
              "DRIVER=SQL Server;SERVER=127.0.0.1,1433;UID=sa;PWD=1;WSID=.;DATABASE=" + kSampleDatabaseGbk);
    EXPECT_EQ(Rewritten(" UID = sa ;;PWD= two  blanks ;"), " UID = sa ;PWD= two  blanks ");
    EXPECT_EQ(Rewritten(""), "");
}

TEST(ConnectionStringValues, BracedValuesAreReadAsOdbcDefinesAndWrittenAsFreeTdsReads) {
    // FreeTDS 1.3 ends a braced value at the first "};" and takes "}}" literally, so values are
    // written undoubled, and a braced value is always followed by ";".
    EXPECT_EQ(Rewritten("UID=sa;PWD={a;b}"), "UID=sa;PWD={a;b};");
    EXPECT_EQ(Rewritten("PWD={a}}b};UID=sa"), "PWD={a}b};UID=sa");
    EXPECT_EQ(Rewritten("PWD={}}}"), "PWD={}};");
    EXPECT_EQ(Rewritten("PWD={{x}"), "PWD={{x};");
    EXPECT_EQ(Rewritten("DRIVER={SQL Server};SERVER=."), "DRIVER={SQL Server};SERVER=127.0.0.1,1433");
    EXPECT_EQ(Rewritten("SERVER={(local)}"), "SERVER={127.0.0.1,1433};");
    // A brace inside a bare value is an ordinary character.
    EXPECT_EQ(Rewritten("PWD=a{b}c;UID=sa"), "PWD=a{b}c;UID=sa");
    // A Windows log-in's key reaches FreeTDS as it is, in its place.
    EXPECT_EQ(Rewritten("DRIVER=SQL Server;SERVER=.;Trusted_Connection=Yes;WSID=.;DATABASE=d"),
              "DRIVER=SQL Server;SERVER=127.0.0.1,1433;Trusted_Connection=Yes;WSID=.;DATABASE=d");
}

TEST(ConnectionStringValues, ChineseValuesPassWholeEvenWhenATrailByteLooksLikeABrace) {
    // In GBK 0x81 0x7D is one character whose trail byte is '}'.
    const std::string trailBrace = "\x81\x7D";
    EXPECT_EQ(Rewritten("DATABASE={" + kSampleDatabaseGbk + trailBrace + "};UID=sa", kGbk),
              "DATABASE={" + kSampleDatabaseGbk + trailBrace + "};UID=sa");
    EXPECT_EQ(Rewritten("DATABASE=" + trailBrace + ";UID=sa", kGbk), "DATABASE=" + trailBrace + ";UID=sa");
    // 倉 is 82 7D: a password "倉;1" goes in braces, and its "};" bytes are no "};".
    EXPECT_EQ(Rewritten("PWD={\x82\x7D;1};UID=sa", kGbk), "PWD={\x82\x7D;1};UID=sa");
    const std::string utf8 = "DATABASE={2016\xE5\xB9\xB4;x}";  // "2016年;x"
    EXPECT_EQ(Rewritten(utf8), utf8 + ";");
}

TEST(ConnectionStringValues, MalformedStringsAreRefusedWithTheReason) {
    EXPECT_NE(Problem("UID=sa;PWD={abc").find("PWD的值以“{”开头"), std::string::npos);
    EXPECT_NE(Problem("PWD={a}b;UID=sa").find("PWD的值在右花括号之后还有内容"), std::string::npos);
    EXPECT_NE(Problem("DRIVER=SQL Server;sa;PWD=1").find("“sa”不是“键=值”的形式"),
              std::string::npos);
    // A value with "};" cannot reach FreeTDS 1.3 intact in any spelling.
    EXPECT_EQ(Problem("UID=sa;PWD={a}};b}"), "PWD的值含有“};”，SQL Server驱动程序无法读取。");
    // The trail byte of a GBK character does not close the brace.
    EXPECT_NE(Problem("PWD={\x81\x7D", kGbk).find("开头，却没有与之配对"), std::string::npos);
}

// Which driver answers to "SQL Server" is the driver manager's answer: on this machine (and
// under wine, which hands ODBC to the same unixODBC) scripts/setup registered FreeTDS's.
TEST(DriverChoice, TheDriverManagerNamesFreeTdsByItsFile) {
    EXPECT_TRUE(tarvex::DriverIsFreeTds("SQL Server"));
    EXPECT_TRUE(tarvex::DriverIsFreeTds("sql server"));
    EXPECT_FALSE(tarvex::DriverIsFreeTds("No Such Driver"));
}
