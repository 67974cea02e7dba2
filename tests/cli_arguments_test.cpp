// The command line's words: what each is taken as, and the message for each that cannot be.
#include <gtest/gtest.h>

#include "arguments.h"
#include "codepage.h"

using tarvex::Arguments;
using tarvex::ProgramText;

namespace {

using Words = std::vector<std::string>;

struct Bad {
    Words words;
    const char* says;  // part of the message, UTF-8
};

// The words as the test's name shows them.
void PrintTo(const Bad& bad, std::ostream* os) {
    for (const std::string& word : bad.words) *os << word << ' ';
}

class BadCommandLine : public ::testing::TestWithParam<Bad> {};

}  // namespace

TEST_P(BadCommandLine, IsRefusedWithAMessageThatNamesTheFault) {
    const tarvex::ParsedArguments parsed = tarvex::ParseArguments(GetParam().words);
    EXPECT_NE(parsed.problem.find(ProgramText(GetParam().says)), std::string::npos) << parsed.problem;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadCommandLine,
    ::testing::Values(Bad{{}, "请先给出命令"}, Bad{{"--year", "2016", "list"}, "请先给出命令"},
                      Bad{{"lsit"}, "未知的命令“lsit”"}, Bad{{"list", "--bogus"}, "未知的选项“--bogus”"},
                      Bad{{"list", "extra"}, "多余的参数“extra”"},
                      Bad{{"list", "--set", "2016/001/001"}, "选项 --set 不能用于 list 命令"},
                      Bad{{"list", "--folder", "/tmp"}, "选项 --folder 不能用于 list 命令"},
                      Bad{{"convert", "--header", "--all"}, "选项 --header 不能用于 convert 命令"},
                      Bad{{"convert", "--year"}, "选项 --year 需要一个值"},
                      Bad{{"convert", "--all=yes"}, "选项 --all 不带值"},
                      Bad{{"convert", "--year", "20x6"}, "年度“20x6”不是四位数字的年份"},
                      Bad{{"list", "--year=16"}, "年度“16”不是四位数字的年份"},
                      Bad{{"convert", "--set", "16/001/001"}, "年度“16”不是四位数字的年份"},
                      Bad{{"convert", "--set", "2016/001"}, "--set 的值应为"},
                      Bad{{"convert", "--set", "2016//001"}, "--set 的值应为"},
                      Bad{{"convert", "--set", "2016/001/001/1"}, "--set 的值应为"},
                      Bad{{"convert"}, "请用 --set、--year 或 --all"},
                      Bad{{"convert", "--all", "--year", "2016"}, "--all 已包括所有账套"},
                      Bad{{"convert", "--all", "--folder="}, "--folder 的值不能为空"},
                      Bad{{"list", "--server", "   "}, "服务器名、用户名不能为空"},
                      Bad{{"list", "--user="}, "服务器名、用户名不能为空"},
                      Bad{{"list", "--windows-login", "--user", "sa"}, "--windows-login 以本机的Windows用户登录，不能再与 --user 或 --password 同用"},
                      Bad{{"restore", "--file", "x.bak", "--password=1", "--windows-login"}, "不能再与 --user 或 --password 同用"},
                      Bad{{"verify", "--json"}, "verify 命令要用 --folder 指定要核对的文件夹"},
                      Bad{{"verify", "--folder=/x", "--server", "h"}, "连接选项只用于 --restore-check"},
                      Bad{{"verify", "--folder", "/x", "--restore-check", "--windows-login", "--password=1"}, "不能再与 --user 或 --password 同用"},
                      Bad{{"list", "--database", " "}, "数据库名称不能为空"},
                      Bad{{"list", "--as", "审计2016"}, "选项 --as 不能用于 list 命令"},
                      Bad{{"restore", "--file", "a.bak", "--as", "x", "--database", "y"}, "只能用其中一个"},
                      Bad{{"restore", "--file", "a.bak", "--as= "}, "数据库名称不能为空"}));

TEST(CommandLine, TakesEachOptionWithOrWithoutAnEqualsSignAndTrimsTheConnectionAsTheLogInDoes) {
    struct Case {
        Words words;
        Arguments::Command command;
        std::vector<tarvex::SetCodes> sets;
        std::vector<std::string> years;
    };
    const Case cases[] = {
        {{"--help"}, Arguments::Command::Help, {}, {}},
        {{"convert", "--all", "--help"}, Arguments::Command::Help, {}, {}},
        {{"list", "--version"}, Arguments::Command::Version, {}, {}},
        {{"list", "--year", "2016", "--year=2017", "--header"}, Arguments::Command::List, {}, {"2016", "2017"}},
        {{"convert", "--set", "2016/001/001", "--set=2017/002/012", "--year", "2015"},
         Arguments::Command::Convert,
         {{"2016", "001", "001"}, {"2017", "002", "012"}},
         {"2015"}},
    };
    for (const Case& c : cases) {
        const tarvex::ParsedArguments parsed = tarvex::ParseArguments(c.words);
        ASSERT_TRUE(parsed.Ok()) << parsed.problem;
        EXPECT_EQ(parsed.arguments.command, c.command) << c.words.front();
        EXPECT_EQ(parsed.arguments.sets, c.sets);
        EXPECT_EQ(parsed.arguments.years, c.years);
    }

    const auto connection = [](const Arguments& a) {
        return a.server + "|" + a.user + "|" + a.database + "|" + a.password.value_or("-") + "|" + a.folder.value_or("-");
    };
    EXPECT_EQ(connection(tarvex::ParseArguments({"list"}).arguments), ".|sa|" + ProgramText("2016年乡镇数据采集") + "|-|-");
    const Arguments given = tarvex::ParseArguments({"convert", "--all", "--server", " host ", "--user= auditor", "--database",
                                                    "db ", "--password", " pw ", "--folder", "/x y", "--verbose"})
                                .arguments;
    EXPECT_EQ(connection(given), "host|auditor|db|pw|/x y");
    EXPECT_TRUE(given.all && given.verbose);
    const Arguments verify = tarvex::ParseArguments({"verify", "--folder=/x y", "--restore-check", "--windows-login"}).arguments;
    EXPECT_EQ(connection(verify), ".|sa|" + ProgramText("2016年乡镇数据采集") + "|-|/x y");
    EXPECT_TRUE(verify.command == Arguments::Command::Verify && verify.restoreCheck && verify.windowsLogin);
}

// restore's new name: --as, or --database as scripts written before --as give it; else the backup's own.
TEST(CommandLine, RestoreTakesTheNewNameFromAsOrFromDatabase) {
    const std::pair<Words, std::optional<std::string>> cases[] = {
        {{"restore", "--file", "a.bak"}, std::nullopt},
        {{"restore", "--file", "a.bak", "--as", " 审计2016 "}, "审计2016"},
        {{"restore", "--as=审计2016", "--file", "a.bak"}, "审计2016"},
        {{"restore", "--file", "a.bak", "--database", "审计2016"}, "审计2016"},
    };
    for (const auto& [words, name] : cases) {
        const tarvex::ParsedArguments parsed = tarvex::ParseArguments(words);
        ASSERT_TRUE(parsed.Ok()) << parsed.problem;
        EXPECT_EQ(parsed.arguments.restoreAs, name) << words.back();
    }
}
