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

// Reads every row of a query in one piece of database work, so that no log-in can replace
// the connection while the record set is walked; the record set is closed afterwards.
Read ReadRows(Database& database, Database::RequestKind kind, std::uint64_t request, std::string statement) {
    using Rows = std::optional<std::vector<AccountSetRow>>;
    std::optional<Rows> result = database.RunRequest(kind, request, [statement](ODBCDB& db) -> Rows {
        const RecordSetHandle h = db.OpenTable(statement);
        if (h == 0) return std::nullopt;
        std::vector<AccountSetRow> rows;
        for (db.MoveFirst(h); !db.IsEOF(h); db.MoveNext(h))
            rows.push_back({db.ReadColByIndex(h, 1).Text(), db.ReadColByIndex(h, 2).Text(),
                            db.ReadColByIndex(h, 3).Text()});
        db.CloseRecordSet(h);
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

std::optional<AccountSetRow> PickAccountSet(const std::vector<AccountSetRow>& rows, std::string_view chosen) {
    if (rows.empty()) return std::nullopt;
    for (const AccountSetRow& row : rows)
        if (TrimTrailingBlanks(row.name) == TrimTrailingBlanks(chosen)) return row;
    return rows.front();
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
    show(read.rows ? PickAccountSet(*read.rows, chosen.text) : std::nullopt);
}

}  // namespace tarvex
