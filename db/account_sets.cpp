#include "account_sets.h"

#include <initializer_list>

#include "codepage.h"
#include "database.h"
#include "sqltext.h"

namespace tarvex {

namespace {

std::optional<std::string> FromGlZtcs(std::string_view database) {
    const std::optional<std::string> name = QuoteBracketedName(database);
    if (!name) return std::nullopt;
    return "SELECT hsdwdm,ztmc,ztbh FROM [" + *name + "].[dbo].[GL_Ztcs] where ";
}

std::string_view TrimTrailingBlanks(std::string_view s) {
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return s;
}

}  // namespace

// Reads every row of a query as it comes with the answer, in one exchange with the server
// however many rows there are (a server cursor would take one per row, and again to count
// them). Columns a statement does not read stay empty.
AccountSetRead ReadAccountSetRows(Database& database, Database::RequestKind kind, std::uint64_t request,
                                  std::string statement) {
    using Rows = std::optional<std::vector<AccountSetRow>>;
    std::optional<Rows> result = database.RunRequest(kind, request, [statement](ODBCDB& db) -> Rows {
        std::optional<std::vector<std::vector<std::string>>> read = db.ReadAllText(statement);
        if (!read) return std::nullopt;
        std::vector<AccountSetRow> rows;
        rows.reserve(read->size());
        for (std::vector<std::string>& columns : *read) {
            columns.resize(4);
            rows.push_back({std::move(columns[0]), std::move(columns[1]), std::move(columns[2]), std::move(columns[3])});
        }
        return rows;
    });
    if (!result) return {};
    return {true, std::move(*result)};
}

std::optional<std::string> BuildLookupStatement(std::string_view database, std::string_view year) {
    std::optional<std::string> s = FromGlZtcs(database);
    if (s) *s += " kjnd Like '%" + QuoteLiteralText(year) + "%'";
    return s;
}

std::optional<std::string> BuildSelectionStatement(std::string_view database, std::string_view name,
                                                   std::string_view year) {
    std::optional<std::string> s = FromGlZtcs(database);
    if (s)
        *s += "ztmc like '%" + QuoteLikeText(name) + "%'and kjnd Like '%" + QuoteLiteralText(year) +
              "%'and hsdwmc like '%" + ProgramText("新科目") + "%'";
    return s;
}

std::vector<AccountSetRow> NamedExactly(const std::vector<AccountSetRow>& rows, std::string_view chosen) {
    std::vector<AccountSetRow> equal;
    for (const AccountSetRow& row : rows)
        if (TrimTrailingBlanks(row.name) == TrimTrailingBlanks(chosen)) equal.push_back(row);
    return equal;
}

std::optional<std::string> BuildNamedStatement(std::string_view database, std::string_view name, std::string_view year) {
    const std::optional<std::string> quoted = QuoteBracketedName(database);
    if (!quoted) return std::nullopt;
    return "SELECT hsdwdm,ztmc,ztbh,hsdwmc FROM [" + *quoted + "].[dbo].[GL_Ztcs] where ztmc = '" +
           QuoteLiteralText(name) + "' and kjnd Like '%" + QuoteLiteralText(year) + "%'";
}

namespace {

std::string Codes(const std::vector<AccountSetRow>& rows) {
    std::string codes;
    for (const AccountSetRow& row : rows)
        codes += (codes.empty() ? "" : ProgramText("；")) + ProgramText("单位编号") + std::string(TrimTrailingBlanks(row.unitCode)) +
                 ProgramText("、账套编号") + std::string(TrimTrailingBlanks(row.accountSetNo));
    return codes;
}

}  // namespace

std::string WhyNoCodes(const std::string& chosen, const std::string& year, const std::vector<AccountSetRow>& equal,
                       const std::optional<std::vector<AccountSetRow>>& named) {
    const std::string cleared = ProgramText("当前单位编号和当前账套编号已清空。");
    const std::string set = ProgramText("账套“") + chosen + ProgramText("”");
    if (equal.size() > 1)
        return ProgramText("有") + std::to_string(equal.size()) + ProgramText("个名称都是“") + chosen +
               ProgramText("”的账套（") + Codes(equal) + ProgramText("），无法确定要转换哪一个，") + cleared +
               ProgramText("请直接填写要转换的那个账套的单位编号和账套编号。");
    if (named && !named->empty()) {
        std::string units;
        for (const AccountSetRow& row : *named)
            units += (units.empty() ? "" : ProgramText("、")) + ProgramText("“") + std::string(TrimTrailingBlanks(row.unitName)) +
                     ProgramText("”（单位编号") + std::string(TrimTrailingBlanks(row.unitCode)) + ProgramText("）");
        return set + ProgramText("所属的单位") + units + ProgramText("名称中没有“新科目”，本工具不能转换它；") + cleared;
    }
    if (named) return ProgramText("转换年度“") + year + ProgramText("”中没有名称是“") + chosen + ProgramText("”的账套，") + cleared;
    return set + ProgramText("没有找到，") + cleared;
}

std::optional<std::string> BuildListStatement(std::string_view database) {
    const std::optional<std::string> name = QuoteBracketedName(database);
    if (!name) return std::nullopt;
    return "SELECT kjnd,hsdwdm,hsdwmc,ztbh,ztmc FROM [" + *name + "].[dbo].[GL_Ztcs] ORDER BY kjnd,hsdwdm,ztbh";
}

bool HasNewChart(std::string_view unitName) {
    // In UTF-8 no character's bytes can be found inside another's.
    return CodePage::Process().ToUtf8(unitName).find("新科目") != std::string::npos;
}

std::string WithoutNewChartText() { return ProgramText("单位名称中没有“新科目”，不能转换"); }

std::optional<std::vector<AccountSetEntry>> ReadAccountSets(ODBCDB& db, const std::string& statement) {
    std::optional<std::vector<std::vector<std::string>>> rows = db.ReadAllText(statement);
    if (!rows) return std::nullopt;
    std::vector<AccountSetEntry> sets;
    sets.reserve(rows->size());
    for (std::vector<std::string>& row : *rows) {
        if (row.size() < 5) return std::nullopt;
        AccountSetEntry& e = sets.emplace_back();
        e.year = std::move(row[0]);
        e.unitCode = std::move(row[1]);
        e.unitName = std::move(row[2]);
        e.accountSetNo = std::move(row[3]);
        e.name = std::move(row[4]);
        e.convertible = HasNewChart(e.unitName);
    }
    return sets;
}

std::optional<AccountSetList> ListAccountSets(Database& database, std::string_view sourceDatabase) {
    const std::optional<std::string> statement = BuildListStatement(sourceDatabase);
    if (!statement) return AccountSetList{std::nullopt, DatabaseNameProblem(sourceDatabase), {}};
    return database.Run([statement = *statement](ODBCDB& db) {
        AccountSetList list;
        list.sets = ReadAccountSets(db, statement);
        if (!list.sets) list.error = db.LastError();
        return list;
    });
}

std::optional<AccountSetRow> PickAccountSet(const std::vector<AccountSetRow>& rows, std::string_view chosen) {
    const std::vector<AccountSetRow> equal = NamedExactly(rows, chosen);
    if (equal.size() != 1) return std::nullopt;
    return equal.front();
}

}  // namespace tarvex
