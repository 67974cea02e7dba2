#pragma once
// The table catalogue: the 34 tables that an extraction copies out of the restored accounting
// database into the temporary database, in run order (the ascending order of their names),
// and the select-into statement that copies each one.

#include <optional>
#include <string>
#include <string_view>

#include "codepage.h"

namespace tarvex {

// The temporary database that the extraction fills and the export backs up and drops. In
// UTF-8, like every text of the sources: convert it with CodePage::FromUtf8 before it goes
// into a statement.
inline constexpr std::string_view kTemporaryDatabase = "Tarvex数据整理";

class TableCatalogue {
public:
    static constexpr int kEntryCount = 34;

    // Positions count from 1 to kEntryCount; outside that range both give empty texts.
    static std::string_view TableName(int position);
    // "正在整理<table>表......\r\n" in `cp`, the line the run logs before the copy.
    static std::string ProgressLine(int position, const CodePage& cp = CodePage::Process());
};

// The copy statement of the entry at `position`, in `cp` like its four inputs:
//   SELECT <columns> into [Tarvex数据整理].[dbo].[<table>] FROM [<source database>].[dbo].[<table>]
//   where <unit column>='<unit code>' followed by the entry's conditions on the account-set
//   number and the fiscal year,
// with the entry's own blanks and letter case. The values go in as literals with their
// apostrophes doubled, the database name as a bracketed name escaped by QuoteBracketedName;
// inputs without apostrophes, brackets or double quotes are pasted as they are.
// nullopt when the position is outside 1..kEntryCount, or when the database name cannot be
// carried as an identifier (DatabaseNameProblem says why): nothing that could run as SQL of
// its own is ever returned.
std::optional<std::string> BuildCopyStatement(int position, std::string_view sourceDatabase, std::string_view unitCode,
                                              std::string_view accountSetNumber, std::string_view fiscalYear,
                                              const CodePage& cp = CodePage::Process());

}  // namespace tarvex
