#pragma once
// The account-set chooser 组合框1: the lookup lists the account sets (账套) of the fiscal year
// from GL_Ztcs of the restored database; the selection shows the chosen one's unit code and
// account-set number.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvex {

class Database;
class ODBCDB;
class Window;

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

// Worker routines, started by the chooser's focus and selection events with the request number
// the handler took from Database::NewRequest.
void LookUpAccountSets(Window& window, Database& database, std::uint64_t request);
void ShowAccountSetCodes(Window& window, Database& database, std::uint64_t request);

}  // namespace tarvex
