#include "account_sets.h"

#include "codepage.h"
#include "database.h"
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

// Reads every row of a query in one piece of database work, so that no log-in can replace
// the connection while the record set is walked; the record set is closed afterwards.
std::optional<std::vector<AccountSetRow>> ReadRows(Database& database, Database::RequestKind kind,
                                                   std::uint64_t request, std::string statement) {
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
    return result ? std::move(*result) : std::nullopt;
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

void LookUpAccountSets(Window& window, Database& database, std::uint64_t request) {
    const std::string year = window.Text(Control::编辑框5);
    const std::string source = window.Text(Control::编辑框4);
    const std::optional<std::string> statement = BuildLookupStatement(source, year);
    if (!statement) {
        window.AppendText(Control::编辑框8, DatabaseNameProblem(source) + "\r\n");
        return;
    }
    const auto rows = ReadRows(database, Database::RequestKind::Lookup, request, *statement);
    if (!rows) return;  // no connection, a failed query, overtaken or closing: the list stays
    std::vector<std::string> names;
    names.reserve(rows->size());
    for (const AccountSetRow& row : *rows) names.push_back(row.name);
    window.SetItems(names);
}

void ShowAccountSetCodes(Window& window, Database& database, std::uint64_t request) {
    window.SetText(Control::编辑框6, "");
    window.SetText(Control::编辑框7, "");
    const std::string chosen = window.Text(Control::组合框1);
    const std::string year = window.Text(Control::编辑框5);
    const std::string source = window.Text(Control::编辑框4);
    const std::optional<std::string> statement = BuildSelectionStatement(source, chosen, year);
    if (!statement) {
        window.AppendText(Control::编辑框8, DatabaseNameProblem(source) + "\r\n");
        return;
    }
    const auto rows = ReadRows(database, Database::RequestKind::Selection, request, *statement);
    if (!rows) return;
    if (const std::optional<AccountSetRow> row = PickAccountSet(*rows, chosen)) {
        window.AppendText(Control::编辑框6, row->unitCode);
        window.AppendText(Control::编辑框7, row->accountSetNo);
    }
}

}  // namespace tarvex
