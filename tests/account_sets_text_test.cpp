// The chooser's statements and the choice among the rows found.

#include <gtest/gtest.h>

#include "account_sets.h"

using tarvex::AccountSetRow;
using tarvex::BuildLookupStatement;
using tarvex::BuildSelectionStatement;
using tarvex::PickAccountSet;

TEST(AccountSetStatements, OrdinaryInputsGiveTheFixedTexts) {
    EXPECT_EQ(BuildLookupStatement("2016年乡镇数据采集", "2016"),
              "SELECT hsdwdm,ztmc,ztbh FROM [2016年乡镇数据采集].[dbo].[GL_Ztcs] where  kjnd Like '%2016%'");
    EXPECT_EQ(BuildSelectionStatement("2016年乡镇数据采集", "演示账套", "2016"),
              "SELECT hsdwdm,ztmc,ztbh FROM [2016年乡镇数据采集].[dbo].[GL_Ztcs] where ztmc like '%演示账套%'"
              "and kjnd Like '%2016%'and hsdwmc like '%新科目%'");
    EXPECT_EQ(BuildLookupStatement("x", ""), "SELECT hsdwdm,ztmc,ztbh FROM [x].[dbo].[GL_Ztcs] where  kjnd Like '%%'");
}

TEST(AccountSetStatements, TheDatabaseComesFromTheInputEscapedAsOneIdentifier) {
    EXPECT_EQ(BuildLookupStatement("审计]库", "2016"),
              "SELECT hsdwdm,ztmc,ztbh FROM [审计]]库].[dbo].[GL_Ztcs] where  kjnd Like '%2016%'");
    EXPECT_FALSE(BuildLookupStatement("it's", "2016"));
    EXPECT_FALSE(BuildSelectionStatement("it's", "a", "2016"));
}

TEST(AccountSetStatements, ValuesStayInsideTheirLiterals) {
    EXPECT_EQ(BuildLookupStatement("d", "20'16"),
              "SELECT hsdwdm,ztmc,ztbh FROM [d].[dbo].[GL_Ztcs] where  kjnd Like '%20''16%'");
    // The name matches literally: its %, _ and [ are no wildcards; the year keeps its own.
    EXPECT_EQ(BuildSelectionStatement("d", "O'Neil_100%[a]", "20_6"),
              "SELECT hsdwdm,ztmc,ztbh FROM [d].[dbo].[GL_Ztcs] where ztmc like '%O''Neil[_]100[%][[]a]%'"
              "and kjnd Like '%20_6%'and hsdwmc like '%新科目%'");
}

TEST(PickAccountSet, PrefersTheExactNameOverOnesThatContainIt) {
    const std::vector<AccountSetRow> rows = {{"002", "演示账套2", "002", ""}, {"001", "演示账套  ", "001", ""}};
    EXPECT_EQ(PickAccountSet(rows, "演示账套")->unitCode, "001");
    EXPECT_EQ(PickAccountSet(rows, "演示账套 ")->unitCode, "001");
    EXPECT_EQ(PickAccountSet(rows, "演示账套2")->unitCode, "002");
    // No exact match, or several: none, since a name that merely contains it is another set.
    EXPECT_FALSE(PickAccountSet(rows, "演示"));
    EXPECT_FALSE(PickAccountSet({}, "演示账套"));
    EXPECT_FALSE(PickAccountSet({{"001", "工会账套", "011", ""}, {"004", "工会账套", "014", ""}}, "工会账套"));
}
