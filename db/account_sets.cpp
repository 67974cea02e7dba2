#include "account_sets.h"

#include <initializer_list>

#include "codepage.h"
#include "database.h"
#include "login.h"
#include "sqltext.h"
#include "window_port.h"

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

// What reading a query came to: `ran` false when the request did not run (a newer one of its
// kind overtook it, or the window is closing); `rows` empty when the query failed.
struct Read {
    bool ran = false;
    std::optional<std::vector<AccountSetRow>> rows;
};

// Reads every row of a query as it comes with the answer, in one exchange with the server
// however many rows there are (a server cursor would take one per row, and again to count
// them). Columns a statement does not read stay empty.
Read ReadRows(Database& database, Database::RequestKind kind, std::uint64_t request, std::string statement) {
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

}  // namespace

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

namespace {

std::vector<AccountSetRow> NamedExactly(const std::vector<AccountSetRow>& rows, std::string_view chosen) {
    std::vector<AccountSetRow> equal;
    for (const AccountSetRow& row : rows)
        if (TrimTrailingBlanks(row.name) == TrimTrailingBlanks(chosen)) equal.push_back(row);
    return equal;
}

// The rows of the year whose name is exactly `name`, whatever their unit's name.
std::optional<std::string> BuildNamedStatement(std::string_view database, std::string_view name, std::string_view year) {
    const std::optional<std::string> quoted = QuoteBracketedName(database);
    if (!quoted) return std::nullopt;
    return "SELECT hsdwdm,ztmc,ztbh,hsdwmc FROM [" + *quoted + "].[dbo].[GL_Ztcs] where ztmc = '" +
           QuoteLiteralText(name) + "' and kjnd Like '%" + QuoteLiteralText(year) + "%'";
}

std::string Codes(const std::vector<AccountSetRow>& rows) {
    std::string codes;
    for (const AccountSetRow& row : rows)
        codes += (codes.empty() ? "" : ProgramText("；")) + ProgramText("单位编号") + std::string(TrimTrailingBlanks(row.unitCode)) +
                 ProgramText("、账套编号") + std::string(TrimTrailingBlanks(row.accountSetNo));
    return codes;
}

// Why the codes stay empty when not exactly one convertible account set has the chosen name,
// for the log: several have it, its unit lacks the new chart, or the year has no such set.
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

}  // namespace

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

std::optional<AccountSetRow> PickAccountSet(const std::vector<AccountSetRow>& rows, std::string_view chosen) {
    const std::vector<AccountSetRow> equal = NamedExactly(rows, chosen);
    if (equal.size() != 1) return std::nullopt;
    return equal.front();
}

// The lookup or selection statement from the inputs, or nullopt after the log has said why not.
template <typename Build>
std::optional<std::string> StatementFrom(Window& window, std::initializer_list<Input> inputs, const Input& source,
                                         Build build) {
    for (const Input& input : inputs) {
        if (input.Ok()) continue;
        window.AppendText(Control::Log, input.problem + "\r\n");
        return std::nullopt;
    }
    std::optional<std::string> statement = build();
    if (!statement) window.AppendText(Control::Log, DatabaseNameProblem(source.text) + "\r\n");
    return statement;
}

void LookUpAccountSets(Window& window, Database& database, std::uint64_t request) {
    const Input year = ReadInput(window, Control::Year);
    const Input source = DatabaseName(window);
    const std::optional<std::string> statement =
        StatementFrom(window, {year, source}, source, [&] { return BuildLookupStatement(source.text, year.text); });
    if (!statement) return;
    const Read read = ReadRows(database, Database::RequestKind::Lookup, request, *statement);
    if (!read.rows) return;  // no connection, a failed query, overtaken or closing: the list stays
    std::vector<std::string> names;
    names.reserve(read.rows->size());
    for (const AccountSetRow& row : *read.rows) names.push_back(row.name);
    window.SetItems(names);
}

// The two boxes change once, when the codes are known (empty when none were found), never
// before: until then they keep the codes of the previous choice rather than standing empty for
// a run that reads them meanwhile.
void ShowAccountSetCodes(Window& window, Database& database, std::uint64_t request) {
    const auto show = [&](const std::optional<AccountSetRow>& row) {
        window.SetText(Control::UnitCode, row ? row->unitCode : std::string());
        window.SetText(Control::AccountSetNumber, row ? row->accountSetNo : std::string());
    };
    const Input chosen = ReadInput(window, Control::AccountSetChooser);
    const Input year = ReadInput(window, Control::Year);
    const Input source = DatabaseName(window);
    const std::optional<std::string> statement = StatementFrom(
        window, {chosen, year, source}, source, [&] { return BuildSelectionStatement(source.text, chosen.text, year.text); });
    if (!statement) {
        show(std::nullopt);
        return;
    }
    const Read read = ReadRows(database, Database::RequestKind::Selection, request, *statement);
    if (!read.ran) return;  // a newer choice shows its own codes, or the window is closing
    if (!read.rows) {
        show(std::nullopt);
        return;
    }
    const std::vector<AccountSetRow> equal = NamedExactly(*read.rows, chosen.text);
    if (equal.size() == 1) {
        show(equal.front());
        return;
    }
    // Not one to choose: no guess. Why, the year's rows of exactly that name tell.
    std::optional<std::vector<AccountSetRow>> named;
    if (equal.empty()) {
        const Read diagnosis = ReadRows(database, Database::RequestKind::Selection, request,
                                        *BuildNamedStatement(source.text, chosen.text, year.text));
        if (!diagnosis.ran) return;
        named = diagnosis.rows;
    }
    show(std::nullopt);
    window.AppendText(Control::Log, WhyNoCodes(chosen.text, year.text, equal, named) + "\r\n");
}

}  // namespace tarvex
