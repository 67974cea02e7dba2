#pragma once
// The account sets (账套) of the restored database's GL_Ztcs: the lookup of the fiscal year's sets
// and the selection of one for the window's chooser 组合框1 (its action is in app/, in
// window_actions.h), and the list of every set for a batch.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "database.h"
#include "odbcdb.h"

namespace tarvex {


// "SELECT hsdwdm,ztmc,ztbh FROM [db].[dbo].[GL_Ztcs] where  kjnd Like '%year%'", the year's
// apostrophes doubled; nullopt for a database name that cannot be quoted.
std::optional<std::string> BuildLookupStatement(std::string_view database, std::string_view year);
// The same table, rows whose ztmc contains `name` (matched literally: its own %, _ and [ are no
// wildcards), whose kjnd contains the year and whose unit name contains "新科目".
std::optional<std::string> BuildSelectionStatement(std::string_view database, std::string_view name,
                                                   std::string_view year);

struct AccountSetRow {
    std::string unitCode;       // hsdwdm
    std::string name;           // ztmc
    std::string accountSetNo;   // ztbh
    std::string unitName;       // hsdwmc, where a statement reads it
};
// The one row whose name equals `chosen` (trailing blanks ignored on both sides); nullopt when
// none does or several do, since a row that merely contains the name is another account set.
std::optional<AccountSetRow> PickAccountSet(const std::vector<AccountSetRow>& rows, std::string_view chosen);

// Every account set of the restored database, for a batch: its year, unit and number, and
// whether it can be converted (the selection's own rule: its unit's name contains "新科目").
// Values as the server returns them, padding included, since they go into the copies as the
// selection would put them into the window.
struct AccountSetEntry {
    std::string year;          // kjnd
    std::string unitCode;      // hsdwdm
    std::string unitName;      // hsdwmc
    std::string accountSetNo;  // ztbh
    std::string name;          // ztmc
    bool convertible = false;
};
// "SELECT kjnd,hsdwdm,hsdwmc,ztbh,ztmc FROM [db].[dbo].[GL_Ztcs] ORDER BY kjnd,hsdwdm,ztbh";
// nullopt for a database name that cannot be quoted.
std::optional<std::string> BuildListStatement(std::string_view database);
// Whether a unit of this name (in the code page of the process) uses the new chart.
bool HasNewChart(std::string_view unitName);
// Why a set whose unit lacks the new chart is not converted, in the code page of the process.
std::string WithoutNewChartText();
// Database work: every row of the list statement, or nullopt when the query failed (the
// reason is the connection's LastError()).
std::optional<std::vector<AccountSetEntry>> ReadAccountSets(ODBCDB& db, const std::string& statement);

// Every account set of `sourceDatabase` (the list statement's rows), or why there are none: a
// name that cannot be quoted (`nameProblem`, and nothing reaches the server) or the driver's
// reason (`error`). Nullopt when the database is shutting down.
struct AccountSetList {
    std::optional<std::vector<AccountSetEntry>> sets;
    std::string nameProblem;
    OdbcError error;
};
std::optional<AccountSetList> ListAccountSets(Database& database, std::string_view sourceDatabase);

// What reading a lookup or selection came to: `ran` false when the request did not run (a newer
// one of its kind overtook it, or the window is closing); `rows` empty when the query failed.
struct AccountSetRead {
    bool ran = false;
    std::optional<std::vector<AccountSetRow>> rows;
};
// A lookup's or selection's rows, as request `request` of `kind` (Database::RunRequest).
AccountSetRead ReadAccountSetRows(Database& database, Database::RequestKind kind, std::uint64_t request,
                                  std::string statement);
// The rows whose name equals `chosen`, trailing blanks ignored on both sides.
std::vector<AccountSetRow> NamedExactly(const std::vector<AccountSetRow>& rows, std::string_view chosen);
// The rows of the year whose name is exactly `name`, whatever their unit's name.
std::optional<std::string> BuildNamedStatement(std::string_view database, std::string_view name, std::string_view year);
// Why the codes stay empty when not exactly one convertible account set has the chosen name,
// for the log: several have it (`equal`), its unit lacks the new chart (`named`: the year's rows
// of that name), or the year has no such set.
std::string WhyNoCodes(const std::string& chosen, const std::string& year, const std::vector<AccountSetRow>& equal,
                       const std::optional<std::vector<AccountSetRow>>& named);

}  // namespace tarvex
