#pragma once
// Putting user-typed texts into SQL statements so that each reaches the server as exactly one
// string literal or one identifier, whatever it holds.
//
// Statements go through the connection object's bracket rewriting (see RewriteBrackets in
// odbcdb.h): outside '...' literals "[[" becomes "[", "]]" becomes "]" and a single bracket
// becomes the driver's identifier quote, the double quote; literals and whole multibyte
// characters pass unchanged. The helpers here escape for exactly that path. All texts are in
// the given code page, by default that of the process.
//
// One thing no escape inside a literal can express: SQL Server drops a backslash that stands
// right before a line break in a string literal, together with the line break. Such a value
// still stays inside its literal; the server merely reads it without those bytes.

#include <optional>
#include <string>
#include <string_view>

#include "codepage.h"

namespace tarvex {

// The text to put between the two apostrophes of a string literal: every apostrophe doubled.
// Byte-wise is sound: 0x27 is never part of a multibyte character in GBK, GB18030 or UTF-8.
std::string QuoteLiteralText(std::string_view value);

// The text to put into a LIKE pattern literal so that it matches `value` literally: "%" ->
// "[%]", "_" -> "[_]", "[" -> "[[]", apostrophes doubled. Steps over whole characters, since
// GBK trail bytes can be '[' or '_'.
std::string QuoteLikeText(std::string_view value, const CodePage& cp = CodePage::Process());

// The text to put between "[" and "]" so that, after bracket rewriting, the server sees one
// double-quoted identifier holding exactly `name`: "]" -> "]]", "[" -> "[[", '"' -> '""'.
// nullopt for a name that cannot be carried that way; DatabaseNameProblem says why.
std::optional<std::string> QuoteBracketedName(std::string_view name, const CodePage& cp = CodePage::Process());

// Empty when QuoteBracketedName can carry `name`; otherwise a message for the log, in `cp`,
// without a line end, that tells the user what is wrong with the database name.
std::string DatabaseNameProblem(std::string_view name, const CodePage& cp = CodePage::Process());

}  // namespace tarvex
