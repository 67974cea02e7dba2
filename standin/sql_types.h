#pragma once
// SQL Server column types as the stand-in stores them: tables keep the declared type text of
// each column ("varchar(20)", "decimal(18,2)", "datetime", ...) in their plain SQLite schema,
// and result metadata is derived from that text.

#include <optional>
#include <string>
#include <string_view>

#include "engine.h"

namespace standin {

// The longest character columns: varchar in bytes, nvarchar in characters.
constexpr int kMaxVarChar = 8000;
constexpr int kMaxNVarChar = 4000;

// The column description for a declared type (case-insensitive), or nullopt for a type that
// SQL Server does not know. Character types without a length have length 1; char and text
// describe as VarChar, nchar and ntext as NVarChar, (max) as the largest length; decimal and
// numeric default to (18,0), money is decimal(19,4); date, smalldatetime and datetime2
// describe as DateTime.
std::optional<ColumnInfo> DescribeType(std::string_view declared);

// The declared type text for a description: varchar(20), nvarchar(5), int, decimal(18,2), ...
std::string DeclaredType(const ColumnInfo& info);

// A stored datetime text ("2016-01-05", "2016-01-05 09:07:03", ...) in the form results carry,
// "YYYY-MM-DD hh:mm:ss.fff"; other texts unchanged.
std::string NormalizeDateTime(std::string_view stored);

}  // namespace standin
