#include "sql_sqlite.h"

#include <sqlite3.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "sql_text.h"
#include "sql_translate.h"

namespace standin {

void ConnectionCloser::operator()(sqlite3* db) const { sqlite3_close_v2(db); }
void StatementFinalizer::operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }

// Database name -> file name: the name case-folded (so that names differing only in case share
// one file), then every byte other than an ASCII letter, digit or "_" or a byte of a non-ASCII
// UTF-8 character written as %XX, then ".sqlite". Separators, dots, blanks and the characters
// that Windows forbids thus never reach the file system, and non-ASCII names stay readable:
// "Tarvex数据整理" lives in "tarvex数据整理.sqlite", "a.b" in "a%2Eb.sqlite". A name that Windows
// reserves for a device (con, nul, com1, ...) gets its first letter escaped: "%63on.sqlite".
// A file name that would grow beyond kMaxFileStem bytes (file systems take 255) keeps its first
// characters and ends in "~" and a 64-bit FNV-1a hash of the folded name in hex.
constexpr size_t kMaxFileStem = 200;

std::filesystem::path DatabaseFile(const std::filesystem::path& dataDir, std::string_view name) {
    static constexpr std::array<std::string_view, 22> kDevices = {
        "con",  "prn",  "aux",  "nul",  "com1", "com2", "com3", "com4", "com5", "com6", "com7",
        "com8", "com9", "lpt1", "lpt2", "lpt3", "lpt4", "lpt5", "lpt6", "lpt7", "lpt8", "lpt9"};
    const std::string folded = FoldCase(name);
    bool device = false;
    for (std::string_view d : kDevices) device = device || folded == d;
    std::string file;
    for (size_t i = 0; i < folded.size(); ++i) {
        const unsigned char c = folded[i];
        const bool plain = c >= 0x80 || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
        if (plain && !(device && i == 0)) {
            file += static_cast<char>(c);
        } else {
            static constexpr char kHex[] = "0123456789ABCDEF";
            file += '%';
            file += kHex[c >> 4];
            file += kHex[c & 0xF];
        }
    }
    if (file.size() > kMaxFileStem) {
        std::uint64_t hash = 0xcbf29ce484222325ULL;
        for (const unsigned char c : folded) hash = (hash ^ c) * 0x100000001b3ULL;
        size_t cut = kMaxFileStem - 17;
        while (cut > 0 && (static_cast<unsigned char>(file[cut]) & 0xC0) == 0x80) --cut;  // whole characters
        char tail[18];
        std::snprintf(tail, sizeof tail, "~%016llx", static_cast<unsigned long long>(hash));
        file = file.substr(0, cut) + tail;
    }
    return dataDir / (file + ".sqlite");
}

Connection OpenDatabase(const std::filesystem::path& file, bool create) {
    sqlite3* raw = nullptr;
    const int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0) | SQLITE_OPEN_NOMUTEX;
    const int rc = sqlite3_open_v2(file.c_str(), &raw, flags, nullptr);
    Connection db(raw);
    if (rc != SQLITE_OK) ThrowSqlite(db.get(), rc);
    // A connection to the same file that is closing holds its lock for a moment (it checkpoints
    // the write-ahead log): wait for it rather than fail. A session installs its own,
    // interruptible busy handler afterwards.
    sqlite3_busy_timeout(db.get(), 5000);
    Exec(db.get(), "PRAGMA synchronous=NORMAL");
    RegisterTextSemantics(db.get());
    return db;
}

PreparedStatement Prepare(sqlite3* db, std::string_view sql) {
    sqlite3_stmt* raw = nullptr;
    const int rc = sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &raw, nullptr);
    PreparedStatement statement(raw);
    if (rc != SQLITE_OK) ThrowSqlite(db, rc);
    return statement;
}

bool Step(sqlite3* db, sqlite3_stmt* statement) {
    const int rc = sqlite3_step(statement);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    ThrowSqlite(db, rc);
}

void Exec(sqlite3* db, const std::string& sql) {
    const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) ThrowSqlite(db, rc);
}

// A function's error travels as SQLite's error text: this mark, then number, severity, state
// and text, each after a mark.
constexpr char kFunctionErrorMark = '\x1F';

void FailFunction(sqlite3_context* context, const SqlError& error) {
    const Message& m = error.message;
    std::string text(1, kFunctionErrorMark);
    for (int n : {m.number, m.severity, m.state}) text += std::to_string(n) + kFunctionErrorMark;
    text += m.text;
    sqlite3_result_error(context, text.data(), static_cast<int>(text.size()));
}

void ThrowSqlite(sqlite3* db, int rc) {
    const int primary = rc & 0xFF;
    if (primary == SQLITE_INTERRUPT) throw Interrupted{};
    if (primary == SQLITE_BUSY || primary == SQLITE_LOCKED) {
        throw MakeError(1222, "Lock request time out period exceeded.");
    }
    const std::string text = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    if (!text.empty() && text.front() == kFunctionErrorMark) {
        int parts[3] = {};
        std::size_t at = 1;
        for (int& part : parts) {
            const std::size_t end = text.find(kFunctionErrorMark, at);
            part = std::atoi(text.substr(at, end - at).c_str());
            at = end + 1;
        }
        throw MakeError(parts[0], text.substr(at), parts[1], parts[2]);
    }
    // Nesting beyond what SQLite's parser takes is what SQL Server calls nested too deeply.
    if (text == "parser stack overflow") throw NestedTooDeeply();
    throw MakeError(50000, "SQLite: " + text);
}

Transaction::Transaction(sqlite3* db) : db_(db) { Exec(db_, "BEGIN"); }

Transaction::~Transaction() {
    if (!done_ && !sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

void Transaction::Commit() {
    Exec(db_, "COMMIT");
    done_ = true;
}

}  // namespace standin
