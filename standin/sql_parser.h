#pragma once
// A recursive-descent parser for the T-SQL subset of the stand-in.

#include <string_view>
#include <vector>

#include "sql_ast.h"

namespace standin {

// The statements of a batch, in order; statements are separated by blanks, line breaks or
// semicolons. Throws SqlError for the first syntax error (102, 156 and the lexer's errors); as
// in SQL Server, a batch with a syntax error runs none of its statements.
std::vector<Statement> ParseBatch(std::string_view batch);

}  // namespace standin
