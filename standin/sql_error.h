#pragma once
// The SQL Server errors that the engine raises, with their numbers, severities, states and
// texts as SQL Server reports them (syntax errors at severity 15, a missing database 911 at 16).
// Raised as SqlError from anywhere inside the engine; a session reports it for the statement.

#include <string>
#include <string_view>

#include "engine.h"

namespace standin {

struct SqlError {
    Message message;
};

inline SqlError MakeError(int number, std::string text, int severity = 16, int state = 1) {
    return SqlError{Message{number, state, severity, std::move(text), 1}};
}

// 102 or, when `near` is a reserved keyword, 156.
SqlError SyntaxError(std::string_view near, bool keyword);

inline SqlError InvalidObjectName(std::string_view name) {
    return MakeError(208, "Invalid object name '" + std::string(name) + "'.");
}
inline SqlError InvalidColumnName(std::string_view name) {
    return MakeError(207, "Invalid column name '" + std::string(name) + "'.");
}
inline SqlError DatabaseMissing(std::string_view name) {
    return MakeError(
        911, "Database '" + std::string(name) + "' does not exist. Make sure that the name is entered correctly.");
}
inline SqlError ObjectExists(std::string_view name) {
    return MakeError(2714, "There is already an object named '" + std::string(name) + "' in the database.", 16, 6);
}
inline SqlError NestedTooDeeply() {
    return MakeError(191,
                     "Some part of your SQL statement is nested too deeply. Rewrite the query or break it up into "
                     "smaller queries.",
                     15);
}
inline SqlError EmptyName() {
    return MakeError(1038,
                     "An object or column name is missing or empty. For SELECT INTO statements, verify each "
                     "column has a name. For other statements, look for empty alias names. Aliases defined as "
                     "\"\" or [] are not allowed. Change the alias to a valid name.",
                     15);
}

}  // namespace standin
