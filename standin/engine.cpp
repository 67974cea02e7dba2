// The engine: databases as SQLite files in a data directory (DatabaseFile in sql_sqlite.cpp
// maps names to files), sessions that run parsed statements on them.
//
// A session keeps one connection on its current database. A statement that names another
// database attaches that database's file for its own duration and detaches it afterwards, so
// that no file stays held and DROP DATABASE can delete it. The registry counts, per database,
// the sessions that have it as their current database (those block DROP DATABASE with 3702)
// and the statements that have it attached (DROP DATABASE waits for those to finish).
// Statements that a procedure call runs (sp_executesql, and the RPCs of prepared statements and
// cursors) change the current database only until the call returns (CallScope).
//
// Application locks (app_locks.h) belong to the engine; a session owns the ones it takes and
// gives them up when it ends. sp_getapplock, sp_releaseapplock and sp_executesql are the
// procedures EXEC calls, in the database its name gives, if any; APPLOCK_MODE, APPLOCK_TEST and
// DB_ID are functions each session registers on its own connection. sys.databases is a table of
// the session's own that a query of it fills first.
//
// A session's interrupt flag is read by SQLite's progress handler every few hundred virtual
// machine steps, which makes the running statement fail with SQLITE_INTERRUPT; its busy handler
// and WAITFOR wake on the flag too. The flag is cleared only when the batch has given up, so a
// late interrupt stops the next statement instead of getting lost.

#include <iconv.h>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <stdexcept>
#include <system_error>
#include <unistd.h>

#include "app_locks.h"
#include "backup_file.h"
#include "engine.h"
#include "sql_parser.h"
#include "sql_sqlite.h"
#include "sql_text.h"
#include "sql_translate.h"
#include "sql_types.h"

namespace standin {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kProgressSteps = 500;
constexpr auto kBusyPoll = std::chrono::milliseconds(5);
constexpr auto kLockWait = std::chrono::seconds(60);
constexpr std::string_view kMaster = "master";

SqlError LoginDatabaseMissing(std::string_view name) {
    return MakeError(
        4060, "Cannot open database \"" + std::string(name) + "\" requested by the login. The login failed.", 11);
}

// SQL Server's datetime counts time in ticks of 1/300 s; its texts round a tick to .000, .003
// or .007 of a second.
constexpr std::int64_t kTicksPerSecond = 300;

std::int64_t Ticks(std::chrono::system_clock::time_point t) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
    return (ms * 3 + 5) / 10;
}

// "YYYY-MM-DD hh:mm:ss.fff" in local time, as the server's clock reads.
std::string DateTimeText(std::int64_t ticks) {
    const std::time_t seconds = ticks / kTicksPerSecond;
    std::tm local{};
    localtime_r(&seconds, &local);
    const int millis = static_cast<int>(((ticks % kTicksPerSecond) * 10 + 1) / 3);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, millis);
    return text;
}

// The name of the database in `file` as its file name tells it (DatabaseFile backwards): case
// folded, and for names too long for a file name, cut short with a hash.
std::string NameFromFile(const fs::path& file) {
    const std::string stem = file.stem().string();
    std::string name;
    for (std::size_t i = 0; i < stem.size(); ++i) {
        if (stem[i] == '%' && i + 2 < stem.size()) {
            name += static_cast<char>(std::stoi(stem.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            name += stem[i];
        }
    }
    return name;
}

bool IsDatabaseFile(const fs::directory_entry& entry) {
    std::error_code ec;
    const fs::path& file = entry.path();
    return entry.is_regular_file(ec) && file.extension() == ".sqlite" && !file.stem().empty() &&
           file.stem().native().front() != '.';
}

}  // namespace

// What the engine and all its sessions share: the data directory and who uses which database.
struct DatabaseRegistry {
    struct Use {
        int current = 0;   // sessions whose current database it is
        int attached = 0;  // statements running with it attached
    };

    fs::path dataDir;
    Engine::DriveMap drives;  // for backup paths written with a drive letter
    AppLocks locks;
    std::mutex mutex;
    std::condition_variable released;
    std::map<fs::path, Use> uses;  // by file
    std::map<fs::path, int> ids;   // the database ids handed out, by file
    std::map<fs::path, std::string> names;           // of the databases created here, as written
    std::map<fs::path, std::int64_t> createdAt;      // create_date in ticks, by file
    std::set<std::int64_t> createDates;              // every create_date handed out, none twice

    fs::path FileOf(std::string_view name) const { return DatabaseFile(dataDir, name); }

    static bool Exists(const fs::path& file) {
        std::error_code ec;
        return fs::is_regular_file(file, ec);
    }

    // Counts a session in (current) or a statement (attached); throws `missing` when the
    // database does not exist.
    fs::path Acquire(std::string_view name, bool current, const SqlError& missing) {
        const fs::path file = FileOf(name);
        std::lock_guard lock(mutex);
        if (name.empty() || !Exists(file)) throw missing;
        Use& use = uses[file];
        ++(current ? use.current : use.attached);
        return file;
    }

    // One more session (a procedure call's) has `file`, an existing database, as its current one.
    void Retain(const fs::path& file) {
        std::lock_guard lock(mutex);
        ++uses[file].current;
    }

    void Release(const fs::path& file, bool current) {
        {
            std::lock_guard lock(mutex);
            Use& use = uses[file];
            --(current ? use.current : use.attached);
        }
        released.notify_all();
    }

    // DB_ID: the id of database `name` if it exists. master has 1; any other database gets the
    // smallest free id from 5 on when first asked for, and keeps it until it is dropped.
    std::optional<int> IdOf(std::string_view name) {
        const fs::path file = FileOf(name);
        std::lock_guard lock(mutex);
        if (name.empty() || !Exists(file)) return std::nullopt;
        return IdLocked(file);
    }

    int IdLocked(const fs::path& file) {
        if (file == FileOf(kMaster)) return 1;
        if (const auto known = ids.find(file); known != ids.end()) return known->second;
        std::set<int> taken;
        for (const auto& [f, id] : ids) taken.insert(id);
        int id = 5;
        while (taken.count(id)) ++id;
        ids[file] = id;
        return id;
    }

    // Gives the database in `file` its create_date, `at` or the first tick after it that no
    // database has had yet.
    void StampLocked(const fs::path& file, std::int64_t at) {
        while (!createDates.insert(at).second) ++at;
        createdAt[file] = at;
    }

    // A database found in the directory rather than created here is as old as its file was
    // when first seen.
    void StampFoundLocked(const fs::directory_entry& entry) {
        if (createdAt.count(entry.path())) return;
        std::error_code ec;
        const fs::file_time_type written = entry.last_write_time(ec);
        StampLocked(entry.path(), ec ? Ticks(std::chrono::system_clock::now())
                                     : Ticks(std::chrono::file_clock::to_sys(written)));
    }

    void StampFound() {
        std::lock_guard lock(mutex);
        for (const fs::directory_entry& e : fs::directory_iterator(dataDir))
            if (IsDatabaseFile(e)) StampFoundLocked(e);
    }

    struct Listed {
        std::string name;
        int id = 0;
        std::string createDate;
    };

    // sys.databases: every database, by id.
    std::vector<Listed> List() {
        std::lock_guard lock(mutex);
        std::vector<Listed> rows;
        for (const fs::directory_entry& e : fs::directory_iterator(dataDir)) {
            if (!IsDatabaseFile(e)) continue;
            const fs::path& file = e.path();
            StampFoundLocked(e);
            const auto named = names.find(file);
            rows.push_back({file == FileOf(kMaster) ? std::string(kMaster)
                            : named != names.end()  ? named->second
                                                    : NameFromFile(file),
                            IdLocked(file), DateTimeText(createdAt[file])});
        }
        std::sort(rows.begin(), rows.end(), [](const Listed& a, const Listed& b) { return a.id < b.id; });
        return rows;
    }

    void Create(std::string_view name) {
        const fs::path file = FileOf(name);
        std::lock_guard lock(mutex);
        if (Exists(file)) {
            throw MakeError(
                1801, "Database '" + std::string(name) + "' already exists. Choose a different database name.", 16, 3);
        }
        Connection db = OpenDatabase(file, true);
        Exec(db.get(), "PRAGMA journal_mode=WAL");
        names[file] = name;
        StampLocked(file, Ticks(std::chrono::system_clock::now()));
    }

    // Deletes the database's files once no statement has it attached any more.
    void Drop(std::string_view name, const std::atomic<bool>& interrupted) {
        const fs::path file = FileOf(name);
        std::unique_lock lock(mutex);
        if (!Exists(file)) {
            throw MakeError(3701,
                            "Cannot drop the database '" + std::string(name) +
                                "', because it does not exist or you do not have permission.",
                            11);
        }
        if (SameName(name, kMaster)) {
            throw MakeError(3708,
                            "Cannot drop the database '" + std::string(name) + "' because it is a system database.");
        }
        for (;;) {
            const Use& use = uses[file];
            if (use.current > 0) {
                throw MakeError(
                    3702, "Cannot drop database \"" + std::string(name) + "\" because it is currently in use.", 16, 3);
            }
            if (use.attached == 0) break;
            if (interrupted) throw Interrupted{};
            released.wait_for(lock, std::chrono::milliseconds(50));
        }
        for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
            std::error_code ec;
            fs::remove(fs::path(file.native() + suffix), ec);
        }
        uses.erase(file);
        ids.erase(file);
        names.erase(file);
        createdAt.erase(file);
    }
};

class Attachments;

struct Engine::Impl {
    std::shared_ptr<DatabaseRegistry> registry;
};

struct Session::Impl {
    std::shared_ptr<DatabaseRegistry> registry;
    std::string database;  // the current database, as named when it became current
    fs::path file;         // its file
    Connection db;         // on `file`
    std::atomic<bool> interrupted{false};
    std::mutex waitMutex;
    std::condition_variable wake;

    ~Impl() {
        registry->locks.ReleaseAll(this);
        db.reset();
        if (!file.empty()) registry->Release(file, true);
    }

    // Makes `name` the current database; the connection on it has the session's handlers.
    void Enter(std::string_view name, const SqlError& missing) {
        fs::path newFile = registry->Acquire(name, true, missing);
        try {
            Connection newDb = OpenDatabase(newFile, false);
            sqlite3_progress_handler(newDb.get(), kProgressSteps, &Impl::Progress, this);
            sqlite3_busy_handler(newDb.get(), &Impl::Busy, this);
            RegisterFunctions(newDb.get());
            db = std::move(newDb);
        } catch (...) {
            registry->Release(newFile, true);
            throw;
        }
        if (!file.empty()) registry->Release(file, true);
        file = std::move(newFile);
        database = name;
    }

    static int Progress(void* self) { return static_cast<Impl*>(self)->interrupted ? 1 : 0; }

    // Another connection holds a lock: wait for it, up to kLockWait, unless interrupted.
    static int Busy(void* self, int count) {
        auto* s = static_cast<Impl*>(self);
        if (count * kBusyPoll >= kLockWait) return 0;
        std::unique_lock lock(s->waitMutex);
        return s->wake.wait_for(lock, kBusyPoll, [s] { return s->interrupted.load(); }) ? 0 : 1;
    }

    bool TakeInterrupt() { return interrupted.exchange(false); }

    // An application lock resource in the database of `databaseFile`.
    static AppLocks::Resource LockResource(const fs::path& databaseFile, std::string_view principal,
                                           std::string_view name);
    void RegisterFunctions(sqlite3* connection);
    static void ApplockMode(sqlite3_context* context, int argc, sqlite3_value** argv);
    static void ApplockTest(sqlite3_context* context, int argc, sqlite3_value** argv);
    static void DbId(sqlite3_context* context, int argc, sqlite3_value** argv);

    bool RunBatch(std::string_view sql, ResultSink& sink);
    bool RunInCall(std::string_view sql, ResultSink& sink);
    void Run(const Statement& statement, ResultSink& sink);

    void Select(const SelectStatement& s, ResultSink& sink);
    void SelectInto(const SelectStatement& s, const SelectPlan& plan, Attachments& attachments, ResultSink& sink);
    void CreateTable(const CreateTableStatement& s, ResultSink& sink);
    void Insert(const InsertStatement& s, ResultSink& sink);
    void Update(const UpdateStatement& s, ResultSink& sink);
    void Delete(const DeleteStatement& s, ResultSink& sink);
    void DropTable(const DropTableStatement& s, ResultSink& sink);
    void Backup(const BackupStatement& s, ResultSink& sink);
    void VerifyBackup(const VerifyBackupStatement& s, ResultSink& sink);
    void Use(const UseStatement& s, ResultSink& sink);
    void Waitfor(const WaitforStatement& s, ResultSink& sink);
    void Call(const ExecStatement& s, ResultSink& sink);
    void ApplicationLock(const ExecStatement& s, bool get, ResultSink& sink);
    void ExecuteSql(const ExecStatement& s, ResultSink& sink);
    Table DatabasesView(const ObjectName& name);
    void RunChange(const std::string& sql, const Table& table, const ObjectName& name, const char* verb,
                   ResultSink& sink);
};

// The database a procedure call began in. SQL Server restores the database context when
// sp_executesql or EXECUTE of a string completes ("Using sp_executesql"; sp_executesql's
// reference: "Changes in database context last only to the end of the sp_executesql
// statement"), and the RPCs that drivers send for prepared statements and cursors run their
// statements the same way. While the call runs, that database stays in use by the session (DROP
// DATABASE fails with 3702); when it returns, it is the session's current database again.
class CallScope {
public:
    explicit CallScope(Session::Impl& session) : s_(session), database_(session.database), file_(session.file) {
        s_.registry->Retain(file_);
    }
    ~CallScope() {
        if (!returned_) {
            try {
                Restore();  // unwinding: back without a word
            } catch (...) {
            }
        }
        s_.registry->Release(file_, true);
    }
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;

    // Back in the database the call began in; `sink` hears of it when the session had left it.
    void Return(ResultSink& sink) {
        returned_ = true;
        try {
            if (!Restore()) return;
        } catch (const SqlError& e) {
            sink.OnMessage(e.message);
        }
        sink.OnDatabaseChange(s_.database);
    }

private:
    // True when the session had left the database.
    bool Restore() {
        const bool left = s_.file != file_ || s_.database != database_;
        if (s_.file != file_) s_.Enter(database_, DatabaseMissing(database_));
        s_.database = database_;
        return left;
    }

    Session::Impl& s_;
    const std::string database_;
    const fs::path file_;
    bool returned_ = false;
};

// The databases one statement reaches: the current one as "main", others attached for the
// statement's duration as "db1", "db2", ...
class Attachments {
public:
    explicit Attachments(Session::Impl& session) : s_(session) {}
    Attachments(const Attachments&) = delete;
    Attachments& operator=(const Attachments&) = delete;

    ~Attachments() {
        sqlite3* db = s_.db.get();
        if (!sqlite3_get_autocommit(db)) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        for (const auto& [file, alias] : attached_) {
            sqlite3_exec(db, ("DETACH DATABASE " + alias).c_str(), nullptr, nullptr, nullptr);
            s_.registry->Release(file, false);
        }
    }

    // The schema through which `database` (empty: the current one) is reached. Throws 911.
    std::string Schema(std::string_view database) {
        if (database.empty()) return "main";
        const fs::path file = s_.registry->FileOf(database);
        if (file == s_.file) return "main";
        for (const auto& [f, alias] : attached_)
            if (f == file) return alias;
        s_.registry->Acquire(database, false, DatabaseMissing(database));
        const std::string alias = "db" + std::to_string(attached_.size() + 1);
        try {
            Exec(s_.db.get(), "ATTACH DATABASE " + QuoteText(file.native()) + " AS " + alias);
        } catch (...) {
            s_.registry->Release(file, false);
            throw;
        }
        attached_.emplace_back(file, alias);
        Exec(s_.db.get(), "PRAGMA " + alias + ".synchronous=NORMAL");
        return alias;
    }

    // The stored name of table `object` in `schema`, if there is one (names match case-insensitively).
    std::optional<std::string> FindTable(const std::string& schema, std::string_view object) {
        PreparedStatement q =
            Prepare(s_.db.get(), "SELECT name FROM " + QuoteName(schema) + ".sqlite_master WHERE type = 'table'");
        while (Step(s_.db.get(), q.get())) {
            const std::string name = reinterpret_cast<const char*>(sqlite3_column_text(q.get(), 0));
            if (SameName(name, object)) return name;
        }
        return std::nullopt;
    }

    // The schema of a name's database, after checking that its schema part is dbo or empty.
    std::string SchemaOf(const ObjectName& name) {
        std::string schema = Schema(name.database);
        if (!name.schema.empty() && !SameName(name.schema, "dbo")) throw InvalidObjectName(name.written);
        return schema;
    }

    // The existing table `name` with its columns. Throws 911 or 208.
    Table Resolve(const ObjectName& name) {
        Table t;
        t.schema = SchemaOf(name);
        std::optional<std::string> stored = FindTable(t.schema, name.object);
        if (!stored) throw InvalidObjectName(name.written);
        t.name = *stored;
        PreparedStatement q =
            Prepare(s_.db.get(), "PRAGMA " + QuoteName(t.schema) + ".table_info(" + QuoteName(t.name) + ")");
        while (Step(s_.db.get(), q.get())) {
            TableColumn c;
            c.name = reinterpret_cast<const char*>(sqlite3_column_text(q.get(), 1));
            const auto* type = reinterpret_cast<const char*>(sqlite3_column_text(q.get(), 2));
            c.declared = type ? type : "";
            ColumnInfo fallback;  // a column without a type SQL Server knows reads as text
            fallback.length = kMaxVarChar;
            c.info = DescribeType(c.declared).value_or(fallback);
            c.info.name = c.name;
            c.info.nullable = sqlite3_column_int(q.get(), 3) == 0;
            t.columns.push_back(std::move(c));
        }
        return t;
    }

private:
    Session::Impl& s_;
    std::vector<std::pair<fs::path, std::string>> attached_;
};

namespace {

std::string DecimalText(sqlite3_stmt* q, int k, int scale) {
    switch (sqlite3_column_type(q, k)) {
    case SQLITE_INTEGER: {
        std::string text = std::to_string(sqlite3_column_int64(q, k));
        return scale > 0 ? text + "." + std::string(static_cast<size_t>(scale), '0') : text;
    }
    case SQLITE_FLOAT: {
        char buffer[64];
        std::snprintf(buffer, sizeof buffer, "%.*f", scale, sqlite3_column_double(q, k));
        return buffer;
    }
    default: return reinterpret_cast<const char*>(sqlite3_column_text(q, k));
    }
}

Value ReadValue(sqlite3_stmt* q, int k, const ColumnInfo& column) {
    if (sqlite3_column_type(q, k) == SQLITE_NULL) return Value::Null();
    switch (column.type) {
    case SqlType::Int:
    case SqlType::BigInt:
    case SqlType::SmallInt:
    case SqlType::TinyInt:
    case SqlType::Bit: return Value::Int(sqlite3_column_int64(q, k));
    case SqlType::Float:
    case SqlType::Real: return Value::Float(sqlite3_column_double(q, k));
    case SqlType::Decimal: return Value::Text(DecimalText(q, k, column.scale));
    case SqlType::DateTime:
        return Value::Text(NormalizeDateTime(reinterpret_cast<const char*>(sqlite3_column_text(q, k))));
    case SqlType::VarChar:
    case SqlType::NVarChar: break;
    }
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(q, k));
    return Value::Text(std::string(text, static_cast<size_t>(sqlite3_column_bytes(q, k))));
}

// Column names of a new table: none empty (1038), none twice (2705).
void CheckNewColumns(const std::vector<std::string>& names, std::string_view table) {
    for (size_t i = 0; i < names.size(); ++i) {
        if (names[i].empty()) throw EmptyName();
        for (size_t j = 0; j < i; ++j) {
            if (SameName(names[i], names[j])) {
                throw MakeError(2705,
                                "Column names in each table must be unique. Column name '" + names[i] + "' in table '" +
                                    std::string(table) + "' is specified more than once.",
                                16, 3);
            }
        }
    }
}

// An iconv conversion descriptor, closed with the object.
class Iconv {
public:
    Iconv(const std::string& to, const char* from) : cd_(iconv_open(to.c_str(), from)) {}
    ~Iconv() {
        if (Ok()) iconv_close(cd_);
    }
    Iconv(const Iconv&) = delete;
    Iconv& operator=(const Iconv&) = delete;
    bool Ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

    // `text` converted, or nothing when a character has no place in the target charset.
    std::optional<std::string> Convert(std::string_view text) {
        std::string out(text.size() * 4 + 4, '\0');
        char* in = const_cast<char*>(text.data());
        std::size_t inLeft = text.size();
        char* to = out.data();
        std::size_t outLeft = out.size();
        if (iconv(cd_, &in, &inLeft, &to, &outLeft) == static_cast<std::size_t>(-1)) return std::nullopt;
        out.resize(out.size() - outLeft);
        return out;
    }

private:
    iconv_t cd_;
};

// A path that starts with a drive letter in `drives` ("Z:\dir\x.bak", "z:/dir/x.bak"), with
// the drive replaced by the directory it maps to and the rest in the drive's charset; any other
// path as it is. Nothing when a character of the rest has no place in that charset (Windows
// then finds the name invalid, as wine does).
std::optional<std::string> OnMappedDrive(std::string_view written, const Engine::DriveMap& drives) {
    if (written.size() < 3 || written[1] != ':' || (written[2] != '\\' && written[2] != '/')) return std::string(written);
    const auto drive = drives.find(static_cast<char>(std::toupper(static_cast<unsigned char>(written[0]))));
    if (drive == drives.end()) return std::string(written);
    std::string root = drive->second.root.string();
    if (root.empty() || root.back() != '/') root += '/';
    std::optional<std::string> rest(written.substr(3));
    if (!drive->second.charset.empty()) rest = Iconv(drive->second.charset, "UTF-8").Convert(*rest);
    if (!rest) return std::nullopt;
    return root + *rest;
}

// The path of a backup device as Windows and SQL Server on Linux read it: backslashes are
// separators, and trailing blanks and dots are dropped. Nothing for a name a mapped drive
// cannot hold. (GBK and the like leave "\\", "/", " " and "." as they are.)
std::optional<fs::path> BackupPath(std::string_view written, const Engine::DriveMap& drives) {
    std::optional<std::string> path = OnMappedDrive(written, drives);
    if (!path) return std::nullopt;
    for (char& c : *path)
        if (c == '\\') c = '/';
    while (!path->empty() && (path->back() == ' ' || path->back() == '.')) path->pop_back();
    return fs::path(*path);
}

// An operating system error as SQL Server words the common ones, e.g. "3(The system cannot
// find the path specified.)". A missing file in an existing directory is error 2.
std::string OperatingSystemError(int error, const fs::path& file = {}) {
    int code = error;
    std::string text = std::strerror(error);
    std::error_code ec;
    const fs::path dir = file.has_parent_path() ? file.parent_path() : fs::path(".");
    if (error == ENOENT && !file.empty() && fs::is_directory(dir, ec)) {
        code = 2;
        text = "The system cannot find the file specified.";
    } else if (error == ENOENT || error == ENOTDIR) {
        code = 3;
        text = "The system cannot find the path specified.";
    } else if (error == EACCES || error == EPERM || error == EROFS || error == EISDIR) {
        code = 5;
        text = "Access is denied.";
    } else if (error == EEXIST) {
        code = 80;
        text = "The file exists.";
    } else if (error == EILSEQ) {
        code = 123;
        text = "The filename, directory name, or volume label syntax is incorrect.";
    }
    return std::to_string(code) + "(" + text + ")";
}

// 3201 for an operating system error on the device as written (`file`: where it leads).
Message CannotOpenDevice(std::string_view device, int error, const fs::path& file = {}) {
    return MakeError(3201, "Cannot open backup device '" + std::string(device) + "'. Operating system error " +
                               OperatingSystemError(error, file) + ".")
        .message;
}

// Removes a file when it goes out of scope, unless kept.
struct TemporaryFile {
    fs::path path;
    bool keep = false;
    ~TemporaryFile() {
        std::error_code ec;
        if (!keep) fs::remove(path, ec);
    }
};

// An empty file of its own in `dir` (the data directory) for a statement's intermediate copy.
// Its name maps to no database.
TemporaryFile ScratchFile(const fs::path& dir) {
    std::string name = (dir / ".scratch-XXXXXX").native();
    const int fd = ::mkstemp(name.data());
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "cannot create a file in " + dir.string());
    ::close(fd);
    return TemporaryFile{name};
}

// Milliseconds of 'hh:mm[:ss[.mmm]]'; nullopt when malformed.
std::optional<std::chrono::milliseconds> ParseDelay(std::string_view s) {
    int parts[3] = {0, 0, 0};
    int count = 0, digits = 0, millis = 0;
    size_t i = 0;
    for (; i < s.size() && s[i] != '.'; ++i) {
        if (s[i] == ':') {
            if (digits == 0 || ++count > 2) return std::nullopt;
            digits = 0;
        } else if (s[i] >= '0' && s[i] <= '9' && digits < 2) {
            parts[count] = parts[count] * 10 + (s[i] - '0');
            ++digits;
        } else {
            return std::nullopt;
        }
    }
    if (digits == 0 || count == 0 || parts[1] > 59 || parts[2] > 59 || parts[0] > 24) return std::nullopt;
    if (i < s.size()) {
        if (count != 2 || s.size() - i < 2 || s.size() - i > 4) return std::nullopt;
        for (size_t k = i + 1, scale = 100; k < s.size(); ++k, scale /= 10) {
            if (s[k] < '0' || s[k] > '9') return std::nullopt;
            millis += static_cast<int>((s[k] - '0') * scale);
        }
    }
    return std::chrono::milliseconds(((parts[0] * 60 + parts[1]) * 60 + parts[2]) * 1000LL + millis);
}

}  // namespace

void Session::Impl::Run(const Statement& statement, ResultSink& sink) {
    std::visit(
        [&](const auto& s) {
            using T = std::decay_t<decltype(s)>;
            if constexpr (std::is_same_v<T, SelectStatement>)
                Select(s, sink);
            else if constexpr (std::is_same_v<T, CreateTableStatement>)
                CreateTable(s, sink);
            else if constexpr (std::is_same_v<T, InsertStatement>)
                Insert(s, sink);
            else if constexpr (std::is_same_v<T, UpdateStatement>)
                Update(s, sink);
            else if constexpr (std::is_same_v<T, DeleteStatement>)
                Delete(s, sink);
            else if constexpr (std::is_same_v<T, DropTableStatement>)
                DropTable(s, sink);
            else if constexpr (std::is_same_v<T, CreateDatabaseStatement>) {
                registry->Create(s.name);
                sink.OnStatementDone(false, -1);
            } else if constexpr (std::is_same_v<T, DropDatabaseStatement>) {
                registry->Drop(s.name, interrupted);
                sink.OnStatementDone(false, -1);
            } else if constexpr (std::is_same_v<T, BackupStatement>)
                Backup(s, sink);
            else if constexpr (std::is_same_v<T, VerifyBackupStatement>)
                VerifyBackup(s, sink);
            else if constexpr (std::is_same_v<T, UseStatement>)
                Use(s, sink);
            else if constexpr (std::is_same_v<T, SetStatement>)
                sink.OnStatementDone(false, -1);
            else if constexpr (std::is_same_v<T, WaitforStatement>)
                Waitfor(s, sink);
            else if constexpr (std::is_same_v<T, ExecStatement>)
                Call(s, sink);
        },
        statement.body);
}

namespace {

bool IsDatabasesView(const ObjectName& name) {
    return SameName(name.schema, "sys") && SameName(name.object, "databases");
}

}  // namespace

// sys.databases ([db.]sys.databases): a table of the session's own, filled now, with the
// columns name, database_id (as DB_ID gives it), create_date and state_desc of its reference
// page ("sys.databases (Transact-SQL)"), one row per database. SQL Server has dozens of columns
// more, and tempdb, model and msdb, which the stand-in has not. The names of databases that
// were there before the engine started come from their files: case-folded.
Table Session::Impl::DatabasesView(const ObjectName& name) {
    if (!name.database.empty() && !DatabaseRegistry::Exists(registry->FileOf(name.database))) {
        throw DatabaseMissing(name.database);
    }
    static const std::pair<const char*, const char*> kColumns[] = {
        {"name", "nvarchar(128)"}, {"database_id", "int"}, {"create_date", "datetime"}, {"state_desc", "nvarchar(60)"}};
    Table t;
    t.schema = "temp";
    t.name = "databases";
    std::string create = "CREATE TEMP TABLE \"databases\" (";
    for (const auto& [column, type] : kColumns) {
        TableColumn c;
        c.name = column;
        c.declared = type;
        c.info = *DescribeType(type);
        c.info.name = column;
        c.info.nullable = false;
        create += (t.columns.empty() ? "" : ", ") + QuoteName(column) + " " + type + " NOT NULL";
        t.columns.push_back(std::move(c));
    }
    Exec(db.get(), "DROP TABLE IF EXISTS temp.\"databases\"");
    Exec(db.get(), create + ")");
    PreparedStatement insert = Prepare(db.get(), "INSERT INTO temp.\"databases\" VALUES (?, ?, ?, 'ONLINE')");
    for (const DatabaseRegistry::Listed& row : registry->List()) {
        sqlite3_reset(insert.get());
        sqlite3_bind_text(insert.get(), 1, row.name.data(), static_cast<int>(row.name.size()), SQLITE_TRANSIENT);
        sqlite3_bind_int(insert.get(), 2, row.id);
        sqlite3_bind_text(insert.get(), 3, row.createDate.data(), static_cast<int>(row.createDate.size()),
                          SQLITE_TRANSIENT);
        Step(db.get(), insert.get());
    }
    return t;
}

void Session::Impl::Select(const SelectStatement& s, ResultSink& sink) {
    Attachments attachments(*this);
    std::optional<Table> from;
    if (s.from) from = IsDatabasesView(*s.from) ? DatabasesView(*s.from) : attachments.Resolve(*s.from);
    const SelectPlan plan = TranslateSelect(s, from ? &*from : nullptr);
    if (s.into) {
        SelectInto(s, plan, attachments, sink);
        return;
    }
    PreparedStatement q = Prepare(db.get(), plan.sql);
    sink.OnColumns(plan.columns);
    std::int64_t rows = 0;
    std::vector<Value> row(plan.columns.size());
    while (Step(db.get(), q.get())) {
        for (size_t k = 0; k < row.size(); ++k) row[k] = ReadValue(q.get(), static_cast<int>(k), plan.columns[k]);
        sink.OnRow(row);
        ++rows;
    }
    sink.OnStatementDone(false, rows);
}

// Creates the target with the selected columns' types and copies the rows, in one
// transaction: an interrupted or failed copy leaves no table behind.
void Session::Impl::SelectInto(const SelectStatement& s, const SelectPlan& plan, Attachments& attachments,
                               ResultSink& sink) {
    const ObjectName& into = *s.into;
    std::vector<std::string> names;
    for (const ColumnInfo& c : plan.columns) names.push_back(c.name);
    CheckNewColumns(names, into.object);
    const std::string schema = attachments.SchemaOf(into);
    if (attachments.FindTable(schema, into.object)) throw ObjectExists(into.object);

    std::string create = "CREATE TABLE " + QuoteName(schema) + "." + QuoteName(into.object) + " (";
    for (size_t k = 0; k < plan.columns.size(); ++k) {
        create += (k ? ", " : "") + QuoteName(names[k]) + " " + plan.declared[k] +
                  (plan.columns[k].nullable ? "" : " NOT NULL");
    }
    create += ")";
    Transaction transaction(db.get());
    Exec(db.get(), create);
    PreparedStatement insert =
        Prepare(db.get(), "INSERT INTO " + QuoteName(schema) + "." + QuoteName(into.object) + " " + plan.sql);
    Step(db.get(), insert.get());
    const std::int64_t rows = sqlite3_changes64(db.get());
    insert.reset();
    transaction.Commit();
    sink.OnStatementDone(false, rows);
}

void Session::Impl::CreateTable(const CreateTableStatement& s, ResultSink& sink) {
    Attachments attachments(*this);
    const std::string schema = attachments.SchemaOf(s.table);
    std::vector<std::string> names;
    std::string sql = "CREATE TABLE " + QuoteName(schema) + "." + QuoteName(s.table.object) + " (";
    for (size_t k = 0; k < s.columns.size(); ++k) {
        const ColumnDefinition& c = s.columns[k];
        if (!DescribeType(c.type)) {
            throw MakeError(2715,
                            "Column, parameter, or variable #" + std::to_string(k + 1) + ": Cannot find data type " +
                                c.type.substr(0, c.type.find('(')) + ".",
                            16, 6);
        }
        names.push_back(c.name);
        sql += (k ? ", " : "") + QuoteName(c.name) + " " + c.type + (c.notNull ? " NOT NULL" : "");
    }
    sql += ")";
    CheckNewColumns(names, s.table.object);
    if (attachments.FindTable(schema, s.table.object)) throw ObjectExists(s.table.object);
    Exec(db.get(), sql);
    sink.OnStatementDone(false, -1);
}

// Runs an INSERT, UPDATE or DELETE and reports the rows it changed. `verb` names the statement
// in SQL Server's message for a NULL in a NOT NULL column.
void Session::Impl::RunChange(const std::string& sql, const Table& table, const ObjectName& name, const char* verb,
                              ResultSink& sink) {
    PreparedStatement q = Prepare(db.get(), sql);
    const int rc = sqlite3_step(q.get());
    if (rc == SQLITE_CONSTRAINT && sqlite3_extended_errcode(db.get()) == SQLITE_CONSTRAINT_NOTNULL) {
        // SQLite says "NOT NULL constraint failed: table.column".
        const std::string text = sqlite3_errmsg(db.get());
        const std::string column = text.substr(text.rfind('.') + 1);
        const std::string where = (name.database.empty() ? database : name.database) + ".dbo." + table.name;
        throw MakeError(515,
                        "Cannot insert the value NULL into column '" + column + "', table '" + where +
                            "'; column does not allow nulls. " + verb + " fails.",
                        16, 2);
    }
    if (rc != SQLITE_DONE) ThrowSqlite(db.get(), rc);
    sink.OnStatementDone(false, sqlite3_changes64(db.get()));
}

void Session::Impl::Insert(const InsertStatement& s, ResultSink& sink) {
    Attachments attachments(*this);
    const Table table = attachments.Resolve(s.table);
    std::vector<std::string> columns;
    for (const std::string& written : s.columns) {
        const TableColumn* found = nullptr;
        for (const TableColumn& c : table.columns)
            if (!found && SameName(c.name, written)) found = &c;
        if (!found) throw InvalidColumnName(written);
        columns.push_back(found->name);
    }
    const bool listed = !s.columns.empty();
    if (!listed)
        for (const TableColumn& c : table.columns) columns.push_back(c.name);
    std::string sql = "INSERT INTO " + QuoteName(table.schema) + "." + QuoteName(table.name) + " (";
    for (size_t k = 0; k < columns.size(); ++k) sql += (k ? ", " : "") + QuoteName(columns[k]);
    sql += ") VALUES ";
    for (size_t r = 0; r < s.rows.size(); ++r) {
        const auto& row = s.rows[r];
        if (row.size() != columns.size()) {
            if (!listed)
                throw MakeError(213, "Column name or number of supplied values does not match table definition.");
            const std::string tail =
                " The number of values in the VALUES clause must match the number of columns "
                "specified in the INSERT statement.";
            if (row.size() > columns.size()) {
                throw MakeError(110,
                                "There are fewer columns in the INSERT statement than values specified in the "
                                "VALUES clause." +
                                    tail,
                                15);
            }
            throw MakeError(109,
                            "There are more columns in the INSERT statement than values specified in the "
                            "VALUES clause." +
                                tail,
                            15);
        }
        sql += r ? ", (" : "(";
        for (size_t k = 0; k < row.size(); ++k) sql += (k ? ", " : "") + TranslateValue(*row[k], nullptr);
        sql += ")";
    }
    RunChange(sql, table, s.table, "INSERT", sink);
}

void Session::Impl::Update(const UpdateStatement& s, ResultSink& sink) {
    Attachments attachments(*this);
    const Table table = attachments.Resolve(s.table);
    std::string sql = "UPDATE " + QuoteName(table.schema) + "." + QuoteName(table.name) + " SET ";
    for (size_t k = 0; k < s.assignments.size(); ++k) {
        const auto& [written, value] = s.assignments[k];
        const TableColumn* found = nullptr;
        for (const TableColumn& c : table.columns)
            if (!found && SameName(c.name, written)) found = &c;
        if (!found) throw InvalidColumnName(written);
        sql += (k ? ", " : "") + QuoteName(found->name) + " = " + TranslateValue(*value, &table);
    }
    if (s.where) sql += " WHERE " + TranslateCondition(*s.where, table);
    RunChange(sql, table, s.table, "UPDATE", sink);
}

void Session::Impl::Delete(const DeleteStatement& s, ResultSink& sink) {
    Attachments attachments(*this);
    const Table table = attachments.Resolve(s.table);
    std::string sql = "DELETE FROM " + QuoteName(table.schema) + "." + QuoteName(table.name);
    if (s.where) sql += " WHERE " + TranslateCondition(*s.where, table);
    RunChange(sql, table, s.table, "DELETE", sink);
}

void Session::Impl::DropTable(const DropTableStatement& s, ResultSink& sink) {
    Attachments attachments(*this);
    const std::string schema = attachments.SchemaOf(s.table);
    const std::optional<std::string> stored = attachments.FindTable(schema, s.table.object);
    if (!stored) {
        throw MakeError(
            3701,
            "Cannot drop the table '" + s.table.written + "', because it does not exist or you do not have permission.",
            11, 5);
    }
    Exec(db.get(), "DROP TABLE " + QuoteName(schema) + "." + QuoteName(*stored));
    sink.OnStatementDone(false, -1);
}

// A backup is a consistent copy of the database in SQLite's own file format, made with
// VACUUM INTO (a snapshot of one read transaction) into a scratch file, then written as the
// payload of a backup file (backup_file.h) into a temporary file beside the target and renamed
// over it, so WITH INIT overwrites and a failed or stopped backup leaves any earlier file
// intact. Without WITH INIT an existing file fails with operating system error 80, since a file
// takes one backup set only. Page counts are SQLite pages.
void Session::Impl::Backup(const BackupStatement& s, ResultSink& sink) {
    const auto started = Clock::now();
    Attachments attachments(*this);
    const std::string schema = attachments.Schema(s.database);
    const auto fail = [&](int error) {
        sink.OnMessage(CannotOpenDevice(s.path, error));
        return MakeError(3013, "BACKUP DATABASE is terminating abnormally.");
    };
    const std::optional<fs::path> mapped = BackupPath(s.path, registry->drives);
    if (!mapped) throw fail(EILSEQ);
    const fs::path& target = *mapped;
    std::error_code ec;
    if (!s.init && fs::exists(target, ec)) throw fail(EEXIST);

    TemporaryFile partial{target.parent_path() / ("." + target.filename().native() + ".partial")};
    const int fd = ::open(partial.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        partial.keep = true;  // not ours to remove
        throw fail(errno);
    }
    ::close(fd);
    const TemporaryFile copy = ScratchFile(registry->dataDir);
    Exec(db.get(), "VACUUM " + schema + " INTO " + QuoteText(copy.path.native()));
    try {
        WriteBackupFile(partial.path, s.database, copy.path);
    } catch (const std::system_error& e) {
        throw fail(e.code().value());
    }
    if (std::rename(partial.path.c_str(), target.c_str()) != 0) throw fail(errno);
    partial.keep = true;

    std::int64_t pages = 0, pageSize = 0;
    {
        PreparedStatement q = Prepare(db.get(), "PRAGMA " + schema + ".page_count");
        if (Step(db.get(), q.get())) pages = sqlite3_column_int64(q.get(), 0);
        q = Prepare(db.get(), "PRAGMA " + schema + ".page_size");
        if (Step(db.get(), q.get())) pageSize = sqlite3_column_int64(q.get(), 0);
    }
    const double seconds = std::max(0.001, std::chrono::duration<double>(Clock::now() - started).count());
    const double megabytes = static_cast<double>(pages * pageSize) / (1024.0 * 1024.0);
    char text[200];
    std::snprintf(text, sizeof text, "BACKUP DATABASE successfully processed %lld pages in %.3f seconds (%.3f MB/sec).",
                  static_cast<long long>(pages), seconds, megabytes / seconds);
    sink.OnMessage(Message{4035, 1, 10,
                           "Processed " + std::to_string(pages) + " pages for database '" + s.database + "', file '" +
                               s.database + "' on file 1.",
                           1});
    sink.OnMessage(Message{3014, 1, 10, text, 1});
    sink.OnStatementDone(false, -1);
}

// Checks a backup file as backup_file.h describes, in SQL Server's words: 3262 when it is
// sound; else 3201 (cannot open), 3203 (a read failed or the file ends early), 3241 (not a
// backup file of this server), or 3189 (damaged), each followed by 3013.
void Session::Impl::VerifyBackup(const VerifyBackupStatement& s, ResultSink& sink) {
    const TemporaryFile payload = ScratchFile(registry->dataDir);
    const std::optional<fs::path> mapped = BackupPath(s.path, registry->drives);
    const fs::path file = mapped.value_or(fs::path());
    const BackupFault fault =
        mapped ? VerifyBackupFile(file, payload.path) : BackupFault{BackupFault::Kind::CannotOpen, EILSEQ};
    switch (fault.kind) {
    case BackupFault::Kind::None:
        sink.OnMessage(Message{3262, 1, 10, "The backup set on file 1 is valid.", 1});
        sink.OnStatementDone(false, -1);
        return;
    case BackupFault::Kind::CannotOpen:
        sink.OnMessage(CannotOpenDevice(s.path, fault.error, file));
        break;
    case BackupFault::Kind::ReadFailed: {
        const std::string reason =
            fault.error == 0 ? "38(Reached the end of the file.)" : OperatingSystemError(fault.error);
        sink.OnMessage(MakeError(3203, "Read on \"" + s.path + "\" failed: " + reason).message);
        break;
    }
    case BackupFault::Kind::Malformed:
        sink.OnMessage(MakeError(3241, "The media family on device '" + s.path +
                                           "' is incorrectly formed. SQL Server cannot process this media family.")
                           .message);
        break;
    case BackupFault::Kind::Damaged:
        sink.OnMessage(MakeError(3189, "Damage to the backup set was detected.").message);
        break;
    }
    throw MakeError(3013, "VERIFY DATABASE is terminating abnormally.");
}

void Session::Impl::Use(const UseStatement& s, ResultSink& sink) {
    Enter(s.database, DatabaseMissing(s.database));
    sink.OnDatabaseChange(database);
    sink.OnMessage(Message{5701, 2, 10, "Changed database context to '" + s.database + "'.", 1});
    sink.OnStatementDone(false, -1);
}

void Session::Impl::Waitfor(const WaitforStatement& s, ResultSink& sink) {
    const std::optional<std::chrono::milliseconds> delay = ParseDelay(s.delay);
    if (!delay) {
        throw MakeError(148, "Incorrect time syntax in time string '" + s.delay + "' used with WAITFOR.", 15);
    }
    std::unique_lock lock(waitMutex);
    if (wake.wait_for(lock, *delay, [this] { return interrupted.load(); })) throw Interrupted{};
    sink.OnStatementDone(false, -1);
}

// --- Application locks and DB_ID ---------------------------------------------------------------

namespace {

constexpr std::string_view kSession = "Session";
constexpr std::string_view kTransaction = "Transaction";
constexpr int kMaxResourceCharacters = 255;  // a resource name is nvarchar(255); longer ones are cut

// Errors the stand-in words itself: SQL Server's own texts for these are not known here.
SqlError InvalidLockMode(std::string_view mode) {
    return MakeError(50000, "'" + std::string(mode) +
                                "' is not a lock mode; the modes are Shared, Update, IntentShared, IntentExclusive "
                                "and Exclusive.");
}
SqlError InvalidLockOwner(std::string_view owner) {
    return MakeError(50000,
                     "'" + std::string(owner) + "' is not a lock owner; the owners are Transaction and Session.");
}
SqlError NoTransaction() {
    return MakeError(50000,
                     "An application lock owned by the transaction needs an active transaction; the stand-in runs "
                     "none. Use @LockOwner = 'Session'.");
}

std::string_view TextArgument(sqlite3_value* v) {
    const auto* p = reinterpret_cast<const char*>(sqlite3_value_text(v));
    return std::string_view(p ? p : "", static_cast<size_t>(sqlite3_value_bytes(v)));
}

// The first `count` characters of a UTF-8 text.
std::string_view FirstCharacters(std::string_view text, int count) {
    size_t end = 0;
    for (int n = 0; end < text.size() && n < count; ++n)
        do ++end;
        while (end < text.size() && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80);
    return text.substr(0, end);
}

// A constant argument of EXEC as a value.
Value Constant(const Expr& e) {
    switch (e.kind) {
    case Expr::Kind::String: return Value::Text(e.text);
    case Expr::Kind::Negate: {
        Value v = Constant(*e.args[0]);
        if (v.kind == Value::Kind::Integer) v.integer = -v.integer;
        if (v.kind == Value::Kind::Text) v.text = "-" + v.text;
        return v;
    }
    case Expr::Kind::Number:
        if (e.text.find_first_not_of("0123456789") == std::string::npos && e.text.size() < 19)
            return Value::Int(std::stoll(e.text));
        return Value::Text(e.text);
    default: return Value::Null();
    }
}

std::string AsText(const Value& v) { return v.kind == Value::Kind::Integer ? std::to_string(v.integer) : v.text; }

// The arguments of an EXEC in the order of the procedure's parameters `names`: nothing for a
// parameter not given or given as DEFAULT. Throws SQL Server's errors for arguments that do not
// fit the parameters.
std::vector<std::optional<Value>> BindArguments(const ExecStatement& s, std::span<const std::string_view> names) {
    std::vector<std::optional<Value>> values(names.size());
    std::vector<bool> given(names.size(), false);
    bool byName = false;
    for (size_t k = 0; k < s.arguments.size(); ++k) {
        const ExecArgument& a = s.arguments[k];
        size_t index = k;
        if (!a.name.empty()) {
            byName = true;
            index = static_cast<size_t>(std::find_if(names.begin(), names.end(),
                                                     [&](std::string_view n) { return SameName(n, a.name); }) -
                                        names.begin());
            if (index == names.size()) {
                throw MakeError(8145, a.name + " is not a parameter for procedure " + s.procedure.object + ".", 16, 2);
            }
        } else if (byName) {
            throw MakeError(119,
                            "Must pass parameter number " + std::to_string(k + 1) +
                                " and subsequent parameters as '@name = value'. After the form '@name = value' has "
                                "been used, all subsequent parameters must be passed in the form '@name = value'.",
                            15);
        } else if (k >= names.size()) {
            throw MakeError(8144, "Procedure or function " + s.procedure.object + " has too many arguments specified.",
                            16, 2);
        }
        if (given[index]) {
            throw MakeError(8143, "Parameter '" + std::string(names[index]) + "' was supplied multiple times.");
        }
        given[index] = true;
        if (a.value) values[index] = Constant(*a.value);
    }
    return values;
}

}  // namespace

AppLocks::Resource Session::Impl::LockResource(const fs::path& databaseFile, std::string_view principal,
                                               std::string_view name) {
    return {databaseFile.native(), FoldCase(principal), std::string(FirstCharacters(name, kMaxResourceCharacters))};
}

void Session::Impl::RegisterFunctions(sqlite3* connection) {
    sqlite3_create_function_v2(connection, "mssql_applock_mode", 3, SQLITE_UTF8, this, &Impl::ApplockMode, nullptr,
                               nullptr, nullptr);
    sqlite3_create_function_v2(connection, "mssql_applock_test", 4, SQLITE_UTF8, this, &Impl::ApplockTest, nullptr,
                               nullptr, nullptr);
    sqlite3_create_function_v2(connection, "mssql_db_id", -1, SQLITE_UTF8, this, &Impl::DbId, nullptr, nullptr,
                               nullptr);
}

// APPLOCK_MODE(principal, resource, owner): the mode the session holds, or "NoLock". The
// stand-in runs no transactions, so a transaction holds nothing.
void Session::Impl::ApplockMode(sqlite3_context* context, int, sqlite3_value** argv) {
    const auto* s = static_cast<const Impl*>(sqlite3_user_data(context));
    for (int k = 0; k < 3; ++k)
        if (sqlite3_value_type(argv[k]) == SQLITE_NULL) return sqlite3_result_null(context);
    const std::string_view owner = TextArgument(argv[2]);
    std::optional<LockMode> mode;
    if (SameName(owner, kSession)) {
        mode = s->registry->locks.Held(LockResource(s->file, TextArgument(argv[0]), TextArgument(argv[1])), s);
    } else if (!SameName(owner, kTransaction)) {
        return FailFunction(context, InvalidLockOwner(owner));
    }
    const std::string_view name = mode ? ModeName(*mode) : "NoLock";
    sqlite3_result_text(context, name.data(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
}

// APPLOCK_TEST(principal, resource, mode, owner): 1 when the session could take the lock now.
void Session::Impl::ApplockTest(sqlite3_context* context, int, sqlite3_value** argv) {
    const auto* s = static_cast<const Impl*>(sqlite3_user_data(context));
    for (int k = 0; k < 4; ++k)
        if (sqlite3_value_type(argv[k]) == SQLITE_NULL) return sqlite3_result_null(context);
    const std::optional<LockMode> mode = RequestableMode(TextArgument(argv[2]));
    if (!mode) return FailFunction(context, InvalidLockMode(TextArgument(argv[2])));
    const std::string_view owner = TextArgument(argv[3]);
    if (SameName(owner, kTransaction)) return FailFunction(context, NoTransaction());
    if (!SameName(owner, kSession)) return FailFunction(context, InvalidLockOwner(owner));
    const AppLocks::Resource resource = LockResource(s->file, TextArgument(argv[0]), TextArgument(argv[1]));
    sqlite3_result_int(context, s->registry->locks.Grantable(resource, s, *mode) ? 1 : 0);
}

// DB_ID([name]): the id of the database named, or of the current one.
void Session::Impl::DbId(sqlite3_context* context, int argc, sqlite3_value** argv) {
    const auto* s = static_cast<const Impl*>(sqlite3_user_data(context));
    if (argc > 0 && sqlite3_value_type(argv[0]) == SQLITE_NULL) return sqlite3_result_null(context);
    const std::optional<int> id = s->registry->IdOf(argc > 0 ? TextArgument(argv[0]) : std::string_view(s->database));
    if (id) {
        sqlite3_result_int(context, *id);
    } else {
        sqlite3_result_null(context);
    }
}

// EXEC of a system procedure: sp_getapplock, sp_releaseapplock or sp_executesql, named alone,
// with the schema sys or dbo, or with a database ([db].[sys].sp_x, db..sp_x). A system procedure
// called with a database's name runs in that database's context ("Execute a stored procedure":
// system procedures appear in the sys schema of every database; sp_getapplock: "The lock
// resource created by sp_getapplock is created in the current database for the session").
void Session::Impl::Call(const ExecStatement& s, ResultSink& sink) {
    const std::string procedure = FoldCase(s.procedure.object);
    const bool system = s.procedure.schema.empty() || SameName(s.procedure.schema, "sys") ||
                        SameName(s.procedure.schema, "dbo");
    if (!system || (procedure != "sp_getapplock" && procedure != "sp_releaseapplock" && procedure != "sp_executesql")) {
        throw MakeError(2812, "Could not find stored procedure '" + s.procedure.written + "'.", 16, 62);
    }
    const std::string& in = s.procedure.database;
    if (!in.empty() && !DatabaseRegistry::Exists(registry->FileOf(in))) throw DatabaseMissing(in);
    if (procedure == "sp_executesql") return ExecuteSql(s, sink);
    ApplicationLock(s, procedure == "sp_getapplock", sink);
}

// sp_getapplock or sp_releaseapplock, with their parameters, defaults and return statuses. A
// lock request that cannot be granted within @LockTimeout returns -1 without an error; a
// refused argument returns -999 after its error.
void Session::Impl::ApplicationLock(const ExecStatement& s, bool get, ResultSink& sink) {
    static constexpr std::string_view kGet[] = {"@Resource", "@LockMode", "@LockOwner", "@LockTimeout",
                                                "@DbPrincipal"};
    static constexpr std::string_view kRelease[] = {"@Resource", "@LockOwner", "@DbPrincipal"};
    const std::span<const std::string_view> names =
        get ? std::span<const std::string_view>(kGet) : std::span<const std::string_view>(kRelease);
    const std::vector<std::optional<Value>> arguments = BindArguments(s, names);
    for (size_t k = 0; k < (get ? 2 : 1); ++k) {
        if (!arguments[k]) {
            throw MakeError(201, "Procedure or function '" + s.procedure.object + "' expects parameter '" +
                                     std::string(names[k]) + "', which was not supplied.",
                            16, 4);
        }
    }
    const auto text = [&](size_t k, std::string_view fallback) {
        return arguments[k] ? AsText(*arguments[k]) : std::string(fallback);
    };
    const auto refuse = [&](const SqlError& e) {
        sink.OnMessage(e.message);
        sink.OnProcedureDone(true, -999);
    };
    const std::string resourceName = text(0, "");
    const std::string owner = text(get ? 2 : 1, kTransaction);
    const std::string principal = text(get ? 4 : 2, "public");
    const fs::path in = s.procedure.database.empty() ? file : registry->FileOf(s.procedure.database);
    const AppLocks::Resource resource = LockResource(in, principal, resourceName);
    if (arguments[0]->kind == Value::Kind::Null) return refuse(MakeError(50000, "@Resource must not be NULL."));
    if (!get) {
        if (!SameName(owner, kSession) && !SameName(owner, kTransaction)) return refuse(InvalidLockOwner(owner));
        if (!SameName(owner, kSession) || !registry->locks.Release(resource, this)) {
            return refuse(MakeError(1223, "Cannot release the application lock (Database Principal: '" + principal +
                                              "', Resource: '" + resourceName +
                                              "') because it is not currently held."));
        }
        return sink.OnProcedureDone(false, 0);
    }
    const std::optional<LockMode> mode = RequestableMode(text(1, ""));
    if (!mode) return refuse(InvalidLockMode(text(1, "")));
    if (SameName(owner, kTransaction)) return refuse(NoTransaction());
    if (!SameName(owner, kSession)) return refuse(InvalidLockOwner(owner));
    long long timeout = -1;  // @@LOCK_TIMEOUT: SET LOCK_TIMEOUT has no effect here
    if (arguments[3] && arguments[3]->kind != Value::Kind::Null) {
        const std::string t = AsText(*arguments[3]);
        char* end = nullptr;
        timeout = std::strtoll(t.c_str(), &end, 10);
        if (t.empty() || *end != '\0' || timeout < INT32_MIN || timeout > INT32_MAX) {  // @LockTimeout is an int
            throw MakeError(8114, "Error converting data type varchar to int.", 16, 5);
        }
    }
    const std::optional<int> status = registry->locks.Acquire(resource, this, *mode, std::chrono::milliseconds(timeout),
                                                              [this] { return interrupted.load(); });
    if (!status) throw Interrupted{};
    sink.OnProcedureDone(false, *status);
}

namespace {

// What the statements of an EXEC sp_executesql report, passed on as statements inside a
// procedure, and whether one failed.
class InProcedure : public ResultSink {
public:
    explicit InProcedure(ResultSink& outer) : outer_(outer) {}
    void OnMessage(const Message& m) override {
        if (m.IsError()) lastError_ = m.number;
        outer_.OnMessage(m);
    }
    void OnColumns(const std::vector<ColumnInfo>& columns) override { outer_.OnColumns(columns); }
    void OnRow(const std::vector<Value>& row) override { outer_.OnRow(row); }
    void OnStatementDone(bool failed, std::int64_t rowCount) override { OnStatementDoneInProcedure(failed, rowCount); }
    void OnStatementDoneInProcedure(bool failed, std::int64_t rowCount) override {
        failed_ |= failed;
        outer_.OnStatementDoneInProcedure(failed, rowCount);
    }
    void OnProcedureDone(bool failed, int returnStatus) override {
        failed_ |= failed;
        outer_.OnProcedureDone(failed, returnStatus);
    }
    void OnDatabaseChange(const std::string& database) override { outer_.OnDatabaseChange(database); }

    bool Failed() const { return failed_; }
    // sp_executesql's reference promises only a status other than 0 after a failure; the
    // stand-in returns the number of the last error.
    int ReturnStatus() const { return failed_ ? (lastError_ != 0 ? lastError_ : 1) : 0; }

private:
    ResultSink& outer_;
    bool failed_ = false;
    int lastError_ = 0;
};

}  // namespace

// EXEC sp_executesql N'statements': runs them as a batch of their own, in the database of the
// procedure's name if it has one, with any USE among them lasting until the call returns
// (CallScope). The statement must be a Unicode constant (sp_executesql's reference: "Character
// constants are not allowed"); parameters (@params and their values) are not served.
void Session::Impl::ExecuteSql(const ExecStatement& s, ResultSink& sink) {
    static constexpr std::string_view kNames[] = {"@stmt"};
    const std::vector<std::optional<Value>> arguments = BindArguments(s, kNames);
    if (!arguments[0]) {
        throw MakeError(201, "Procedure or function '" + s.procedure.object + "' expects parameter '@stmt', which was "
                                 "not supplied.",
                        16, 4);
    }
    const Expr& statement = *s.arguments[0].value;
    if (statement.kind != Expr::Kind::Null && !(statement.kind == Expr::Kind::String && statement.national)) {
        throw MakeError(214, "Procedure expects parameter '@statement' of type 'ntext/nchar/nvarchar'.", 16, 2);
    }
    CallScope scope(*this);
    if (!s.procedure.database.empty()) Enter(s.procedure.database, DatabaseMissing(s.procedure.database));
    InProcedure inside(sink);
    const bool completed = RunBatch(statement.kind == Expr::Kind::Null ? std::string_view() : statement.text, inside);
    scope.Return(sink);
    if (!completed) throw Interrupted{};
    sink.OnProcedureDone(inside.Failed(), inside.ReturnStatus());
}

Engine::Engine(fs::path dataDir, DriveMap drives) : impl_(std::make_unique<Impl>()) {
    impl_->registry = std::make_shared<DatabaseRegistry>();
    impl_->registry->dataDir = std::move(dataDir);
    for (const auto& [letter, drive] : drives) {
        if (!drive.charset.empty() && !Iconv(drive.charset, "UTF-8").Ok())
            throw std::invalid_argument("unknown charset " + drive.charset + " for drive " + letter + ":");
    }
    impl_->registry->drives = std::move(drives);
    fs::create_directories(impl_->registry->dataDir);
    if (!DatabaseExists(kMaster)) impl_->registry->Create(kMaster);
    impl_->registry->StampFound();
}

Engine::~Engine() = default;

bool Engine::DatabaseExists(std::string_view name) const {
    return !name.empty() && DatabaseRegistry::Exists(impl_->registry->FileOf(name));
}

std::unique_ptr<Session> Engine::OpenSession(std::string_view database, Message* error) {
    const std::string_view name = database.empty() ? kMaster : database;
    auto impl = std::make_unique<Session::Impl>();
    impl->registry = impl_->registry;
    try {
        impl->Enter(name, LoginDatabaseMissing(name));
    } catch (const SqlError& e) {
        if (error) *error = e.message;
        return nullptr;
    }
    return std::make_unique<Session>(std::move(impl));
}

Session::Session(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Session::~Session() = default;

std::string Session::CurrentDatabase() const { return impl_->database; }

void Session::Interrupt() {
    impl_->interrupted = true;
    { std::lock_guard lock(impl_->waitMutex); }
    impl_->wake.notify_all();
}

bool Session::Execute(std::string_view sql, ResultSink& sink) { return impl_->RunBatch(sql, sink); }

bool Session::ExecuteInCall(std::string_view sql, ResultSink& sink) { return impl_->RunInCall(sql, sink); }

bool Session::Impl::RunBatch(std::string_view sql, ResultSink& sink) {
    const auto report = [&](Message message) {
        sink.OnMessage(message);
        sink.OnStatementDone(true, -1);
    };
    std::vector<Statement> batch;
    try {
        batch = ParseBatch(sql);
    } catch (const SqlError& e) {
        report(e.message);
        return !TakeInterrupt();
    }
    for (const Statement& statement : batch) {
        if (TakeInterrupt()) return false;
        try {
            Run(statement, sink);
        } catch (const Interrupted&) {
            TakeInterrupt();
            return false;
        } catch (const SqlError& e) {
            if (TakeInterrupt()) return false;
            Message m = e.message;
            m.line = statement.line;
            report(std::move(m));
        } catch (const std::exception& e) {
            if (TakeInterrupt()) return false;
            report(Message{50000, 1, 16, std::string("Internal error: ") + e.what(), statement.line});
        }
    }
    return !TakeInterrupt();
}

bool Session::Impl::RunInCall(std::string_view sql, ResultSink& sink) {
    CallScope scope(*this);
    const bool completed = RunBatch(sql, sink);
    scope.Return(sink);
    return completed;
}

}  // namespace standin
