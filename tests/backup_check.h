#pragma once
// A backup made by the export against its source database, both read as the stand-in keeps
// them (SQLite files): the backup must hold the 34 tables, each with exactly the source rows
// of one unit, account set and year. Shared by the flow tests of the Linux and the Windows
// program.

#include <sqlite3.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "backup_contents.h"
#include "catalogue.h"
#include "codepage.h"

namespace backupcheck {

namespace fs = std::filesystem;

// A read-only SQLite database file, closed with the object.
class SqliteFile {
public:
    explicit SqliteFile(const fs::path& file) {
        if (sqlite3_open_v2(file.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
            ADD_FAILURE() << "cannot open " << file << ": " << sqlite3_errmsg(db_);
        // A source database of a running stand-in may be locked a moment (a session closing).
        sqlite3_busy_timeout(db_, 10000);
    }
    ~SqliteFile() { sqlite3_close(db_); }
    SqliteFile(const SqliteFile&) = delete;
    SqliteFile& operator=(const SqliteFile&) = delete;

    // Every row of a query, each value with its storage class, sorted.
    std::vector<std::string> Rows(const std::string& sql) const {
        std::vector<std::string> rows;
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
            ADD_FAILURE() << sql << ": " << sqlite3_errmsg(db_);
            return rows;
        }
        while (sqlite3_step(st) == SQLITE_ROW) {
            std::string row;
            for (int i = 0; i < sqlite3_column_count(st); ++i) {
                const auto* text = sqlite3_column_text(st, i);
                row += std::to_string(sqlite3_column_type(st, i)) + ":" +
                       (text ? reinterpret_cast<const char*>(text) : "") + "|";
            }
            rows.push_back(row);
        }
        sqlite3_finalize(st);
        std::sort(rows.begin(), rows.end());
        return rows;
    }
    std::vector<std::string> Tables() const {
        return Rows("SELECT name FROM sqlite_master WHERE type = 'table'");
    }

private:
    sqlite3* db_ = nullptr;
};

// The rows a copy should have taken, asked of the source file directly: the catalogue's
// statement with its select-into target taken out, and its constant columns and left() written
// as SQLite writes them. Bracketed names are SQLite's own too.
inline std::string OracleQuery(int position, const std::string& unit, const std::string& accountSet, const std::string& year) {
    const tarvex::CodePage cp = tarvex::CodePage::Process();
    std::string s = cp.ToUtf8(*tarvex::BuildCopyStatement(position, "SRC", unit, accountSet, year));
    s = std::regex_replace(s, std::regex(R"(\s*into \[Tarvex数据整理\]\.\[dbo\]\.\[\w+\]\s*)"), " ");
    s = std::regex_replace(s, std::regex(R"(\[SRC\]\.\[dbo\]\.)"), "");
    s = std::regex_replace(s, std::regex(R"(left\((\w+),(\d+)\))"), "substr($1,1,$2)");
    return std::regex_replace(s, std::regex(R"(\[(\w+)\]='([^']*)')"), "'$2' AS [$1]");
}

// Expects `backup` (a backup file of the stand-in's) to hold the 34 tables, each with exactly the rows of `source` that belong to
// the unit, account set and year.
inline void ExpectRowsOfAccountSet(const fs::path& backup, const fs::path& source, const std::string& unit,
                                   const std::string& accountSet, const std::string& year) {
    const testsupport::BackupContents contents(backup);
    const SqliteFile copy(contents.File());
    const SqliteFile original(source);
    EXPECT_EQ(copy.Tables().size(), 34u);
    int narrower = 0;
    for (int p = 1; p <= tarvex::TableCatalogue::kEntryCount; ++p) {
        const std::string table(tarvex::TableCatalogue::TableName(p));
        const std::vector<std::string> copied = copy.Rows("SELECT * FROM [" + table + "]");
        EXPECT_EQ(copied, original.Rows(OracleQuery(p, unit, accountSet, year))) << table;
        narrower += copied.size() < original.Rows("SELECT * FROM [" + table + "]").size();
    }
    EXPECT_GE(narrower, 30);  // the filters show: most tables hold other units' rows too
}

}  // namespace backupcheck
