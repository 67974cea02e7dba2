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
#include <fcntl.h>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <stdexcept>
#include <thread>
#include <system_error>
#include <unistd.h>

#include "app_locks.h"
#include "backup_file.h"
#include "database_identity.h"
#include "engine.h"
#include "server_facts.h"
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

// SQL Server's pages of 8 KB that `bytes` fill.
std::int64_t Pages(std::int64_t bytes) { return (bytes + ServerFacts::kPageSize - 1) / ServerFacts::kPageSize; }

// 262: the log-in lacks the CREATE DATABASE permission (it is checked in master).
SqlError CreateDatabaseDenied() {
    return MakeError(262, "CREATE DATABASE permission denied in database 'master'.", 14);
}

// A database's file in the data directory, "<name>.sqlite"; the engine's own work files begin
// with a dot.
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
    Engine::Settings settings;
    fs::path defaultDataFolder;
    AppLocks locks;
    std::mutex mutex;
    std::condition_variable released;
    std::map<fs::path, Use> uses;  // by file
    std::map<fs::path, int> ids;   // the database ids handed out, by file
    std::set<std::int64_t> createDates;  // every creation time handed out (DatabaseIdentity::created)

    fs::path FileOf(std::string_view name) const { return DatabaseFile(dataDir, name); }

    // Where the backup device `written` lies: on the server's own disk (Settings::ownDisk).
    std::optional<fs::path> BackupDevice(std::string_view written) const {
        std::optional<fs::path> path = ServerPath(written, drives);
        if (path && !settings.ownDisk.empty() && path->is_absolute()) path = settings.ownDisk / path->relative_path();
        return path;
    }

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
        if (const std::optional<DatabaseIdentity> id = LoadIdentity(file); id && id->restoring) {
            throw MakeError(927, "Database '" + id->name + "' cannot be opened. It is in the middle of a restore.", 14,
                            2);
        }
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

    // A creation time no database has had: `at`, or the first tick after it that is free.
    // SQL Server never gives two databases one create_date; a database dropped and created
    // again has a new one.
    std::int64_t NewCreationTimeLocked(std::int64_t at) {
        while (!createDates.insert(at).second) ++at;
        return at;
    }

    struct Listed {
        std::string name;
        int id = 0;
        std::int64_t created = 0;
        std::string owner;  // DatabaseIdentity::owner
        bool restoring = false;
    };

    // sys.databases: every database, by id.
    std::vector<Listed> List() {
        std::vector<Listed> rows;
        for (auto& [file, identity] : Databases()) {
            std::lock_guard lock(mutex);
            if (Exists(file))
                rows.push_back({identity.name, IdLocked(file), identity.created, identity.owner, identity.restoring});
        }
        std::sort(rows.begin(), rows.end(), [](const Listed& a, const Listed& b) { return a.id < b.id; });
        return rows;
    }

    void Create(std::string_view name, std::string_view owner = {}) {
        const fs::path file = FileOf(name);
        std::lock_guard lock(mutex);
        if (Exists(file)) {
            throw MakeError(
                1801, "Database '" + std::string(name) + "' already exists. Choose a different database name.", 16, 3);
        }
        Connection db = OpenDatabase(file, true);
        Exec(db.get(), "PRAGMA journal_mode=WAL");
        SaveIdentity(file, DatabaseIdentity{std::string(name), NewCreationTimeLocked(NowTicks()), NewGuid(), NewGuid(),
                                            {}, {}, {}, {}, std::string(owner)});
    }

    // What the stand-in remembers of an existing database; a database without an identity
    // file (a sample) gets one now. Throws `missing` when the database does not exist.
    DatabaseIdentity IdentityOf(std::string_view name, const SqlError& missing) {
        const fs::path file = FileOf(name);
        std::lock_guard lock(mutex);
        if (name.empty() || !Exists(file)) throw missing;
        return IdentityOfFile(file, name);
    }

    // What the stand-in remembers of the database in `file`, under the lock. Its `created` is
    // the database's one creation time, which sys.databases gives as create_date and its backups
    // as DatabaseCreationDate: CREATE DATABASE and RESTORE DATABASE take it from the clock; a
    // database found without an identity file is as old as its file's last change, and the
    // identity made for it now keeps that for the database's life.
    DatabaseIdentity IdentityOfFile(const fs::path& file, std::string_view name) {
        if (std::optional<DatabaseIdentity> known = LoadIdentity(file)) {
            createDates.insert(known->created);
            return *known;
        }
        DatabaseIdentity made{std::string(name), NewCreationTimeLocked(FileChangedTicks(file)), NewGuid(), NewGuid(),
                              {}, {}, {}, {}, {}};
        SaveIdentity(file, made);
        return made;
    }

    // The logical names of a database's data and log files.
    static std::pair<std::string, std::string> LogicalNames(const DatabaseIdentity& id) {
        const bool master = SameName(id.name, kMaster);
        return {id.dataName.empty() ? id.name : id.dataName,
                id.logName.empty() ? (master ? std::string("mastlog") : id.name + "_log") : id.logName};
    }

    // The physical names of a database's data and log files as the server names them.
    std::pair<std::string, std::string> PhysicalNames(const DatabaseIdentity& id) const {
        const bool master = SameName(id.name, kMaster);
        const auto inDefaultFolder = [&](const std::string& fileName) {
            return ClientPath(defaultDataFolder / fileName, drives);
        };
        return {id.dataFile.empty() ? inDefaultFolder(master ? "master.mdf" : id.name + ".mdf") : id.dataFile,
                id.logFile.empty() ? inDefaultFolder(master ? "mastlog.ldf" : id.name + "_log.ldf") : id.logFile};
    }

    // Every database of the data directory, by file, with its identity.
    std::vector<std::pair<fs::path, DatabaseIdentity>> Databases() {
        std::vector<fs::path> files;
        for (const fs::directory_entry& e : fs::directory_iterator(dataDir))
            if (IsDatabaseFile(e)) files.push_back(e.path());
        std::sort(files.begin(), files.end());
        std::vector<std::pair<fs::path, DatabaseIdentity>> out;
        std::lock_guard lock(mutex);
        for (const fs::path& file : files)
            if (Exists(file)) out.emplace_back(file, IdentityOfFile(file, StemName(file)));
        return out;
    }

    // The name a database file's stem spells (DatabaseFile backwards: case-folded, and cut short
    // with a hash for names too long for a file name), for a database without an identity file.
    static std::string StemName(const fs::path& file) {
        const std::string stem = file.stem().string();
        std::string name;
        for (std::size_t k = 0; k < stem.size(); ++k) {
            if (stem[k] == '%' && k + 2 < stem.size()) {
                name += static_cast<char>(std::stoi(stem.substr(k + 1, 2), nullptr, 16));
                k += 2;
            } else {
                name += stem[k];
            }
        }
        return name;
    }

    // Makes the SQLite file `restored` database `name` with `identity`, created now, replacing a
    // database of that name. Fails with 3101 while the database to replace is in use. A database
    // of that name that another restore made meanwhile, after this one's checks, refuses it as
    // those checks would have (RESTORE Statements, "REPLACE option impact"): 3154 when of another
    // family, and else 3101, since SQL Server's restore holds its database from the start.
    void Install(std::string_view name, const fs::path& restored, DatabaseIdentity identity, bool replace,
                 bool checkedExisting) {
        const fs::path file = FileOf(name);
        std::lock_guard lock(mutex);
        if (Exists(file)) {
            if (!replace && !checkedExisting) {
                if (IdentityOfFile(file, name).familyGuid != identity.familyGuid) throw OtherFamily(name);
                throw ExclusiveAccessRefused();
            }
            const Use& use = uses[file];
            if (use.current > 0 || use.attached > 0) throw ExclusiveAccessRefused();
            for (const char* suffix : {"-wal", "-shm", "-journal"}) {
                std::error_code ec;
                fs::remove(fs::path(file.native() + suffix), ec);
            }
        }
        fs::rename(restored, file);
        if (identity.created == 0) identity.created = NewCreationTimeLocked(NowTicks());
        SaveIdentity(file, identity);
    }

    // The database a restore is about to fill: database `name`, RESTORING from now on, with
    // `identity`'s files, created now. It is made, empty, unless it exists (being replaced). One
    // that another restore or a create made meanwhile, after this restore's checks found none,
    // refuses it as those checks would have (RESTORE Statements, "REPLACE option impact"): 3154
    // when of another family, else 3101, since that one holds it.
    DatabaseIdentity BeginRestore(std::string_view name, DatabaseIdentity identity, bool replace,
                                  bool checkedExisting) {
        const fs::path file = FileOf(name);
        std::lock_guard lock(mutex);
        if (Exists(file) && !replace && !checkedExisting) {
            if (IdentityOfFile(file, name).familyGuid != identity.familyGuid) throw OtherFamily(name);
            throw ExclusiveAccessRefused();
        }
        if (!Exists(file)) OpenDatabase(file, true);
        identity.created = NewCreationTimeLocked(NowTicks());
        identity.restoring = true;
        SaveIdentity(file, identity);
        return identity;
    }

    // What the stand-in remembers of database `name`, if it exists.
    std::optional<DatabaseIdentity> FindIdentity(std::string_view name) {
        const fs::path file = FileOf(name);
        std::lock_guard lock(mutex);
        if (name.empty() || !Exists(file)) return std::nullopt;
        return IdentityOfFile(file, name);
    }

    // Changes what the stand-in remembers of the existing database `name`; the identity as
    // changed. Throws `missing` when the database does not exist.
    template <typename Change>
    DatabaseIdentity ChangeIdentity(std::string_view name, const SqlError& missing, Change change) {
        const fs::path file = FileOf(name);
        std::lock_guard lock(mutex);
        if (name.empty() || !Exists(file)) throw missing;
        DatabaseIdentity identity = IdentityOfFile(file, name);
        change(identity);
        SaveIdentity(file, identity);
        return identity;
    }

    // Fails with 3101 while database `name` is in use by any session or statement.
    void CheckExclusiveAccess(std::string_view name) {
        const fs::path file = FileOf(name);
        std::lock_guard lock(mutex);
        const auto use = uses.find(file);
        if (use != uses.end() && (use->second.current > 0 || use->second.attached > 0)) throw ExclusiveAccessRefused();
    }

    static SqlError OtherFamily(std::string_view name) {
        return MakeError(3154, "The backup set holds a backup of a database other than the existing '" +
                                   std::string(name) + "' database.");
    }

    static SqlError ExclusiveAccessRefused() {
        return MakeError(3101, "Exclusive access could not be obtained because the database is in use.");
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
        // A restored database's files lie where the restore put them; they go with it.
        if (const std::optional<DatabaseIdentity> id = LoadIdentity(file)) {
            for (const std::string& physical : {id->dataFile, id->logFile}) {
                const std::optional<fs::path> path = physical.empty() ? std::nullopt : ServerPath(physical, drives);
                std::error_code ec;
                if (path) fs::remove(*path, ec);
            }
        }
        for (const char* suffix : {"", "-wal", "-shm", "-journal", ".identity"}) {
            std::error_code ec;
            fs::remove(fs::path(file.native() + suffix), ec);
        }
        uses.erase(file);
        ids.erase(file);
    }
};

// The columns of sys.database_files that the stand-in keeps (sys.master_files has database_id
// before them), with their documented types; sizes in 8-KB pages.
constexpr const char* kDatabaseFileColumns =
    "file_id int NOT NULL, type tinyint NOT NULL, type_desc nvarchar(60), data_space_id int NOT NULL, "
    "name nvarchar(128) NOT NULL, physical_name nvarchar(260) NOT NULL, state tinyint, state_desc nvarchar(60), "
    "size int NOT NULL, max_size int NOT NULL, growth int NOT NULL, is_percent_growth bit NOT NULL, "
    "is_read_only bit NOT NULL";

class Attachments;
class RestoreTargets;
struct PlannedFile;

struct Engine::Impl {
    std::shared_ptr<DatabaseRegistry> registry;
};

struct Session::Impl {
    std::shared_ptr<DatabaseRegistry> registry;
    std::string login;
    std::string database;  // the current database, as named when it became current
    fs::path file;         // its file
    Connection db;         // on `file`
    // SET NOCOUNT: the session's statements report no row counts.
    bool nocount = false;
    // @@ROWCOUNT: the rows the last statement to end returned or changed, NOCOUNT or not; 0
    // after one that failed or has no count. EXEC ('…') leaves its last statement's.
    std::int64_t rowCount = 0;
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
    static void HasPermsByName(sqlite3_context* context, int argc, sqlite3_value** argv);
    static void IsSrvRoleMember(sqlite3_context* context, int argc, sqlite3_value** argv);
    static void SuserSname(sqlite3_context* context, int argc, sqlite3_value** argv);
    // Whether the log-in sees database `name`, owned by `owner` (DatabaseIdentity::owner).
    bool Sees(std::string_view name, std::string_view owner) const;
    bool Sysadmin() const {
        return registry->settings.mayCreateDatabases && registry->settings.viewAnyDatabase;
    }
    static void ServerProperty(sqlite3_context* context, int argc, sqlite3_value** argv);
    static void DatabasePropertyEx(sqlite3_context* context, int argc, sqlite3_value** argv);

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
    static void CheckDifferentialBase(const BackupStatement& s, const DatabaseIdentity& identity, ResultSink& sink);
    static std::vector<BackupHeader> EarlierSets(const BackupStatement& s, const fs::path& target, ResultSink& sink);
    BackupHeader HeaderFor(const DatabaseIdentity& identity, std::int64_t dataSize, std::int64_t startedAt) const;
    static void SetBackupKind(BackupHeader& h, bool differential, const DatabaseIdentity& identity);
    void VerifyBackup(const VerifyBackupStatement& s, ResultSink& sink);
    void DescribeBackup(const DescribeBackupStatement& s, ResultSink& sink);
    void RestoreDatabase(const RestoreDatabaseStatement& s, ResultSink& sink);
    struct BackupSets {
        fs::path file;
        std::vector<BackupHeader> headers;
        std::vector<std::uint64_t> sizes;
    };
    BackupSets OpenBackupSets(const std::string& device, std::string_view statement, ResultSink& sink) const;
    BackupHeader OpenBackupSet(const std::string& device, int position, std::string_view statement,
                               ResultSink& sink, fs::path* file = nullptr) const;
    void RestoreDifferential(const RestoreDatabaseStatement& s, const BackupHeader& backup, const fs::path& device,
                             ResultSink& sink);
    void ReportRestored(const RestoreDatabaseStatement& s, const BackupHeader& backup, Clock::time_point started,
                        ResultSink& sink) const;
    void CheckMayCreateDatabases(std::string_view statement, ResultSink& sink) const;
    void CheckRestoreTarget(const RestoreDatabaseStatement& s, const BackupHeader& backup, ResultSink& sink);
    std::vector<PlannedFile> PlanFiles(const RestoreDatabaseStatement& s, const BackupHeader& backup,
                                       RestoreTargets& targets, ResultSink& sink) const;
    void CopyPayload(const RestoreDatabaseStatement& s, const fs::path& device, const fs::path& payload,
                     ResultSink& sink);
    void Use(const UseStatement& s, ResultSink& sink);
    void Waitfor(const WaitforStatement& s, ResultSink& sink);
    void Call(const ExecStatement& s, ResultSink& sink);
    void ApplicationLock(const ExecStatement& s, bool get, ResultSink& sink);
    void ExecuteSql(const ExecStatement& s, ResultSink& sink);
    void ExecuteString(const ExecStatement& s, ResultSink& sink);
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
    explicit CallScope(Session::Impl& session)
        : s_(session), database_(session.database), file_(session.file), nocount_(session.nocount) {
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
        s_.nocount = nocount_;  // a SET inside the call lasts until it returns, as a USE does
        if (s_.file != file_) s_.Enter(database_, DatabaseMissing(database_));
        s_.database = database_;
        return left;
    }

    Session::Impl& s_;
    const std::string database_;
    const fs::path file_;
    const bool nocount_;
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

    // The existing table `name` with its columns, or one of the system views sys.master_files
    // and sys.database_files. Throws 911 or 208.
    Table Resolve(const ObjectName& name) {
        if (SameName(name.schema, "sys")) return SystemView(name);
        Table t;
        t.schema = SchemaOf(name);
        std::optional<std::string> stored = FindTable(t.schema, name.object);
        if (!stored) throw InvalidObjectName(name.written);
        t.name = *stored;
        ReadColumns(t);
        return t;
    }

private:
    // The columns of table `t` as its schema declares them.
    void ReadColumns(Table& t) {
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
    }

    // sys.master_files (the files of every database, from any database) and sys.database_files
    // (those of the database named, or of the current one): a temporary table of the
    // session's, filled now with the catalog's rows.
    Table SystemView(const ObjectName& name) {
        const bool everyDatabase = SameName(name.object, "master_files");
        if (!everyDatabase && !SameName(name.object, "database_files")) throw InvalidObjectName(name.written);
        const std::string database = name.database.empty() ? s_.database : name.database;
        const DatabaseIdentity own = s_.registry->IdentityOf(database, DatabaseMissing(database));
        Table t{"temp", everyDatabase ? "sys.master_files" : "sys.database_files", {}};
        const std::string table = "temp." + QuoteName(t.name);
        Exec(s_.db.get(), "CREATE TEMP TABLE IF NOT EXISTS " + QuoteName(t.name) + " (" +
                              (everyDatabase ? "database_id int NOT NULL, " : "") + kDatabaseFileColumns + ")");
        Exec(s_.db.get(), "DELETE FROM " + table);
        PreparedStatement insert = Prepare(s_.db.get(), "INSERT INTO " + table + " VALUES (" +
                                                            (everyDatabase ? "?, " : "") +
                                                            "?, ?, ?, ?, ?, ?, 0, 'ONLINE', ?, ?, 8192, 0, 0)");
        std::vector<DatabaseIdentity> databases;
        if (everyDatabase) {
            for (auto& [file, identity] : s_.registry->Databases()) databases.push_back(std::move(identity));
        } else {
            databases.push_back(own);
        }
        for (const DatabaseIdentity& id : databases) InsertFileRows(insert.get(), id, everyDatabase);
        ReadColumns(t);
        return t;
    }

    // A database's two rows of sys.master_files or sys.database_files.
    void InsertFileRows(sqlite3_stmt* insert, const DatabaseIdentity& id, bool withDatabaseId) {
        const auto [dataName, logName] = DatabaseRegistry::LogicalNames(id);
        const auto [dataFile, logFile] = s_.registry->PhysicalNames(id);
        std::error_code ec;
        const auto dataSize = static_cast<std::int64_t>(fs::file_size(s_.registry->FileOf(id.name), ec));
        const std::int64_t dataPages = ec ? 0 : Pages(dataSize);
        const std::int64_t databaseId = s_.registry->IdOf(id.name).value_or(0);
        struct Row {
            int fileId, type;
            const char* typeDesc;
            int dataSpace;
            const std::string& name;
            const std::string& physical;
            std::int64_t size, maxSize;
        };
        const Row rows[] = {
            {1, 0, "ROWS", 1, dataName, dataFile, dataPages, -1},
            {2, 1, "LOG", 0, logName, logFile, ServerFacts::kLogFileSize / ServerFacts::kPageSize, 268435456},
        };
        for (const Row& r : rows) {
            int k = 0;
            sqlite3_reset(insert);
            if (withDatabaseId) sqlite3_bind_int64(insert, ++k, databaseId);
            sqlite3_bind_int(insert, ++k, r.fileId);
            sqlite3_bind_int(insert, ++k, r.type);
            sqlite3_bind_text(insert, ++k, r.typeDesc, -1, SQLITE_STATIC);
            sqlite3_bind_int(insert, ++k, r.dataSpace);
            sqlite3_bind_text(insert, ++k, r.name.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(insert, ++k, r.physical.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_int64(insert, ++k, r.size);
            sqlite3_bind_int64(insert, ++k, r.maxSize);
            Step(s_.db.get(), insert);
        }
    }

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
    case SqlType::Variant:
        if (sqlite3_column_type(q, k) == SQLITE_INTEGER) return Value::Int(sqlite3_column_int64(q, k));
        break;
    case SqlType::VarChar:
    case SqlType::NVarChar:
    case SqlType::Char:
    case SqlType::UniqueIdentifier:
    case SqlType::VarBinary: break;
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

Message Info(int number, std::string text) { return Message{number, 1, 10, std::move(text), 1}; }

// 4035, for one file of a backup or restore.
Message FilePagesProcessed(std::int64_t pages, std::string_view database, std::string_view file, int position = 1) {
    return Info(4035, "Processed " + std::to_string(pages) + " pages for database '" + std::string(database) +
                          "', file '" + std::string(file) + "' on file " + std::to_string(position) + ".");
}

// 3014, at the end of a backup or restore.
Message PagesProcessed(std::string_view statement, std::int64_t pages, Clock::duration took) {
    const double seconds = std::max(0.001, std::chrono::duration<double>(took).count());
    const double megabytes = static_cast<double>(pages * ServerFacts::kPageSize) / (1024.0 * 1024.0);
    char text[200];
    std::snprintf(text, sizeof text, "%.*s successfully processed %lld pages in %.3f seconds (%.3f MB/sec).",
                  static_cast<int>(statement.size()), statement.data(), static_cast<long long>(pages), seconds,
                  megabytes / seconds);
    return Info(3014, text);
}

SqlError Terminating(std::string_view statement) {
    return MakeError(3013, std::string(statement) + " is terminating abnormally.");
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

namespace {

// What a statement reports, without its row counts while the session has NOCOUNT ("SET NOCOUNT
// (Transact-SQL)": the count is not returned; the DONE token then carries none, as after a
// statement that has no count).
class CountsAsSet final : public ResultSink {
public:
    CountsAsSet(ResultSink& outer, const bool& nocount, std::int64_t& rowCount)
        : outer_(outer), nocount_(nocount), rowCount_(rowCount) {}
    void OnMessage(const Message& m) override { outer_.OnMessage(m); }
    void OnColumns(const std::vector<ColumnInfo>& columns) override { outer_.OnColumns(columns); }
    void OnRow(const std::vector<Value>& row) override { outer_.OnRow(row); }
    void Flush() override { outer_.Flush(); }
    void OnStatementDone(bool failed, std::int64_t rowCount) override {
        Count(failed, rowCount);
        outer_.OnStatementDone(failed, nocount_ ? -1 : rowCount);
    }
    // A statement a procedure ran, counted by its own statement's sink already.
    void OnStatementDoneInProcedure(bool failed, std::int64_t rowCount) override {
        outer_.OnStatementDoneInProcedure(failed, nocount_ ? -1 : rowCount);
    }
    void OnProcedureDone(bool failed, int returnStatus) override { outer_.OnProcedureDone(failed, returnStatus); }
    void OnDatabaseChange(const std::string& database) override { outer_.OnDatabaseChange(database); }

private:
    void Count(bool failed, std::int64_t rowCount) { rowCount_ = failed ? 0 : std::max<std::int64_t>(rowCount, 0); }
    ResultSink& outer_;
    const bool& nocount_;
    std::int64_t& rowCount_;
};

}  // namespace

void Session::Impl::Run(const Statement& statement, ResultSink& reported) {
    CountsAsSet sink(reported, nocount, rowCount);
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
                if (!registry->settings.mayCreateDatabases) throw CreateDatabaseDenied();
                std::this_thread::sleep_for(registry->settings.createDatabaseDelay);
                registry->Create(s.name, login);
                sink.OnStatementDone(false, -1);
            } else if constexpr (std::is_same_v<T, DropDatabaseStatement>) {
                registry->Drop(s.name, interrupted);
                sink.OnStatementDone(false, -1);
            } else if constexpr (std::is_same_v<T, BackupStatement>)
                Backup(s, sink);
            else if constexpr (std::is_same_v<T, VerifyBackupStatement>)
                VerifyBackup(s, sink);
            else if constexpr (std::is_same_v<T, DescribeBackupStatement>)
                DescribeBackup(s, sink);
            else if constexpr (std::is_same_v<T, RestoreDatabaseStatement>)
                RestoreDatabase(s, sink);
            else if constexpr (std::is_same_v<T, UseStatement>)
                Use(s, sink);
            else if constexpr (std::is_same_v<T, SetStatement>) {
                if (s.nocount) nocount = *s.nocount;
                sink.OnStatementDone(false, -1);
            }
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
// more, and tempdb, model and msdb, which the stand-in has not. name and create_date are the
// database's identity's (DatabaseRegistry::IdentityOfFile), create_date the same time as its
// backups' DatabaseCreationDate; a database found without an identity is named by its file:
// case-folded.
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
    PreparedStatement insert = Prepare(db.get(), "INSERT INTO temp.\"databases\" VALUES (?, ?, ?, ?)");
    for (const DatabaseRegistry::Listed& row : registry->List()) {
        if (!Sees(row.name, row.owner)) continue;
        sqlite3_reset(insert.get());
        sqlite3_bind_text(insert.get(), 1, row.name.data(), static_cast<int>(row.name.size()), SQLITE_TRANSIENT);
        sqlite3_bind_int(insert.get(), 2, row.id);
        const std::string created = DateTimeText(row.created);
        sqlite3_bind_text(insert.get(), 3, created.data(), static_cast<int>(created.size()), SQLITE_TRANSIENT);
        sqlite3_bind_text(insert.get(), 4, row.restoring ? "RESTORING" : "ONLINE", -1, SQLITE_STATIC);
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

namespace {
Message DeviceFault(const BackupFault& fault, const std::string& device, const fs::path& file);
}  // namespace

// A backup is a consistent copy of the database in SQLite's own file format, made with
// VACUUM INTO (a snapshot of one read transaction) into a scratch file, then written as a set
// of a backup file (backup_file.h) into a temporary file beside the target and renamed over
// it, so that a failed or stopped backup leaves any earlier file intact. WITH INIT the file
// holds the new set alone; without it (NOINIT, the default) the set follows those the file has
// ("BACKUP (Transact-SQL)", INIT | NOINIT), and a file that is no backup is refused (3241).
// WITH DIFFERENTIAL the set is a differential backup of the database's last full backup, which
// it needs (3035). Page counts are SQLite pages.
void Session::Impl::Backup(const BackupStatement& s, ResultSink& sink) {
    const auto started = Clock::now();
    Attachments attachments(*this);
    const std::string schema = attachments.Schema(s.database);
    const DatabaseIdentity identity = registry->IdentityOf(s.database, DatabaseMissing(s.database));
    const std::string_view statement = s.differential ? "BACKUP DATABASE WITH DIFFERENTIAL" : "BACKUP DATABASE";
    CheckDifferentialBase(s, identity, sink);
    // A backup begins after its database came to be, also where that database's creation time
    // was moved on a tick to stay its own.
    const std::int64_t startedAt = std::max(NowTicks(), identity.created);
    const auto fail = [&](int error) {
        sink.OnMessage(CannotOpenDevice(s.path, error));
        return MakeError(3013, "BACKUP DATABASE is terminating abnormally.");
    };
    const std::optional<fs::path> mapped = registry->BackupDevice(s.path);
    if (!mapped) throw fail(EILSEQ);
    const fs::path& target = *mapped;
    const std::vector<BackupHeader> earlier = EarlierSets(s, target, sink);

    TemporaryFile partial{target.parent_path() / ("." + target.filename().native() + ".partial")};
    const int fd = ::open(partial.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        partial.keep = true;  // not ours to remove
        throw fail(errno);
    }
    ::close(fd);
    const TemporaryFile copy = ScratchFile(registry->dataDir);
    Exec(db.get(), "VACUUM " + schema + " INTO " + QuoteText(copy.path.native()));
    const std::int64_t dataSize = static_cast<std::int64_t>(fs::file_size(copy.path));
    BackupHeader header = HeaderFor(identity, dataSize, startedAt);
    SetBackupKind(header, s.differential, identity);
    try {
        if (earlier.empty()) {
            WriteBackupFile(partial.path, header, copy.path);
        } else {
            fs::copy_file(target, partial.path, fs::copy_options::overwrite_existing);
            AppendBackupSet(partial.path, header, copy.path);
        }
    } catch (const std::system_error& e) {  // a filesystem_error too
        throw fail(e.code().value());
    }
    if (std::rename(partial.path.c_str(), target.c_str()) != 0) throw fail(errno);
    partial.keep = true;
    registry->ChangeIdentity(s.database, DatabaseMissing(s.database), [&](DatabaseIdentity& id) {
        id.lastLsn = std::max(id.lastLsn, header.lastLsn);
        if (s.differential) return;
        id.differentialBaseGuid = header.backupSetGuid;
        id.differentialBaseLsn = header.firstLsn;
    });

    const auto [dataName, logName] = DatabaseRegistry::LogicalNames(identity);
    const int position = static_cast<int>(earlier.size()) + 1;
    const std::int64_t dataPages = Pages(dataSize), logPages = 2;
    sink.OnMessage(FilePagesProcessed(dataPages, identity.name, dataName, position));
    sink.OnMessage(FilePagesProcessed(logPages, identity.name, logName, position));
    sink.OnMessage(PagesProcessed(statement, dataPages + logPages, Clock::now() - started));
    sink.OnStatementDone(false, -1);
}

// A differential backup needs a full backup of the database to be based on: 3035 without one
// ("BACKUP (Transact-SQL)").
void Session::Impl::CheckDifferentialBase(const BackupStatement& s, const DatabaseIdentity& identity,
                                          ResultSink& sink) {
    if (!s.differential || !identity.differentialBaseGuid.empty()) return;
    sink.OnMessage(MakeError(3035, "Cannot perform a differential backup for database \"" + identity.name +
                                       "\", because a current database backup does not exist. Perform a full "
                                       "database backup by reissuing BACKUP DATABASE, omitting the WITH "
                                       "DIFFERENTIAL option.")
                       .message);
    throw Terminating("BACKUP DATABASE");
}

// The sets the backup is appended after: none WITH INIT or on a new file, else the file's own,
// which must be a backup device (3241 otherwise).
std::vector<BackupHeader> Session::Impl::EarlierSets(const BackupStatement& s, const fs::path& target,
                                                     ResultSink& sink) {
    std::vector<BackupHeader> earlier;
    std::error_code ec;
    if (s.init || !fs::exists(target, ec)) return earlier;
    if (BackupFault fault = ReadBackupHeaders(target, earlier)) {
        if (fault.kind == BackupFault::Kind::Damaged) fault.kind = BackupFault::Kind::Malformed;
        sink.OnMessage(DeviceFault(fault, s.path, target));
        throw Terminating("BACKUP DATABASE");
    }
    return earlier;
}

// What a backup of `identity` taken now says of itself; `dataSize`: the payload's bytes.
BackupHeader Session::Impl::HeaderFor(const DatabaseIdentity& identity, std::int64_t dataSize,
                                      std::int64_t startedAt) const {
    BackupHeader h;
    h.database = identity.name;
    h.serverName = HostName();
    h.machineName = h.serverName;
    h.userName = login;
    h.collation = ServerFacts::kCollation;
    h.familyGuid = identity.familyGuid;
    h.bindingGuid = identity.bindingGuid;
    h.backupSetGuid = NewGuid();
    h.databaseCreated = identity.created;
    h.backupStarted = startedAt;
    h.backupFinished = NowTicks();
    h.versionMajor = ServerFacts::kVersionMajor;
    h.versionMinor = ServerFacts::kVersionMinor;
    h.versionBuild = ServerFacts::kVersionBuild;
    const auto [dataName, logName] = DatabaseRegistry::LogicalNames(identity);
    const auto [dataFile, logFile] = registry->PhysicalNames(identity);
    const auto pageRounded = [](std::int64_t bytes) { return Pages(bytes) * ServerFacts::kPageSize; };
    h.files = {{dataName, dataFile, 'D', static_cast<std::uint64_t>(pageRounded(dataSize))},
               {logName, logFile, 'L', static_cast<std::uint64_t>(ServerFacts::kLogFileSize)}};
    return h;
}

// The kind of a backup of `identity` and its log sequence numbers ("RESTORE HEADERONLY
// (Transact-SQL)"): the stand-in's database is idle when backed up, so FirstLSN, CheckpointLSN
// and (of a full backup) DatabaseBackupLSN coincide, and LastLSN follows them. A differential's
// DifferentialBaseLSN is its base's FirstLSN, its DifferentialBaseGUID the base's BackupSetGUID,
// and its DatabaseBackupLSN the base's too.
void Session::Impl::SetBackupKind(BackupHeader& h, bool differential, const DatabaseIdentity& identity) {
    // An LSN as SQL Server writes one: the log file's sequence number, the log block's offset
    // (10 digits) and the record's slot (5 digits); each backup of the database moves on a block.
    constexpr std::int64_t kFirstLsn = 37'0000000016'00001;
    constexpr std::int64_t kBlock = 100000;
    const std::int64_t lsn = std::max(identity.lastLsn, kFirstLsn) + kBlock;
    h.firstLsn = h.checkpointLsn = lsn;
    h.lastLsn = lsn + kBlock;
    h.databaseBackupLsn = lsn;
    h.backupType = BackupHeader::kFullBackup;
    if (!differential) return;
    h.backupType = BackupHeader::kDifferentialBackup;
    h.databaseBackupLsn = h.differentialBaseLsn = identity.differentialBaseLsn;
    h.differentialBaseGuid = identity.differentialBaseGuid;
}

// --- Backup devices: RESTORE VERIFYONLY, HEADERONLY, FILELISTONLY and DATABASE ------------------

namespace {

// A backup device's fault in SQL Server's words: 3201 (cannot open), 3203 (a read failed or the
// file ends early), 3241 (not a backup file of this server) or 3189 (the backup set is damaged).
Message DeviceFault(const BackupFault& fault, const std::string& device, const fs::path& file) {
    switch (fault.kind) {
    case BackupFault::Kind::CannotOpen: return CannotOpenDevice(device, fault.error, file);
    case BackupFault::Kind::ReadFailed: {
        const std::string reason =
            fault.error == 0 ? "38(Reached the end of the file.)" : OperatingSystemError(fault.error);
        return MakeError(3203, "Read on \"" + device + "\" failed: " + reason).message;
    }
    case BackupFault::Kind::Malformed:
        return MakeError(3241, "The media family on device '" + device +
                                   "' is incorrectly formed. SQL Server cannot process this media family.")
            .message;
    case BackupFault::Kind::Damaged:
    case BackupFault::Kind::None: break;
    }
    return MakeError(3189, "Damage to the backup set was detected.").message;
}

ColumnInfo Column(std::string name, SqlType type, bool nullable, int length = 0, int precision = 0) {
    ColumnInfo c;
    c.name = std::move(name);
    c.type = type;
    c.nullable = nullable;
    c.length = length;
    c.precision = precision;
    return c;
}

// A result set of one kind of row, built column by column.
struct ResultRows {
    std::vector<ColumnInfo> columns;
    std::vector<std::vector<Value>> rows{1};

    void Add(ColumnInfo column, Value value) {
        columns.push_back(std::move(column));
        rows.back().push_back(std::move(value));
    }
    void Report(ResultSink& sink) const {
        sink.OnColumns(columns);
        for (const std::vector<Value>& row : rows) sink.OnRow(row);
        sink.OnStatementDone(false, static_cast<std::int64_t>(rows.size()));
    }
};

Value TextOrNull(const std::string& text) { return text.empty() ? Value::Null() : Value::Text(text); }
Value Number(std::int64_t n) { return Value::Text(std::to_string(n)); }  // a numeric(p,0)

// The columns of RESTORE HEADERONLY up to the database's collation: the backup set, the
// database and the server that wrote it.
void AddBackupSetColumns(ResultRows& r, const BackupHeader& h, int position, std::uint64_t backupSize) {
    using T = SqlType;
    r.Add(Column("BackupName", T::NVarChar, true, 128), Value::Null());
    r.Add(Column("BackupDescription", T::NVarChar, true, 255), Value::Null());
    r.Add(Column("BackupType", T::SmallInt, false), Value::Int(h.backupType));
    r.Add(Column("ExpirationDate", T::DateTime, true), Value::Null());
    r.Add(Column("Compressed", T::Bit, false), Value::Int(0));
    r.Add(Column("Position", T::SmallInt, false), Value::Int(position));
    r.Add(Column("DeviceType", T::TinyInt, false), Value::Int(2));
    r.Add(Column("UserName", T::NVarChar, false, 128), Value::Text(h.userName));
    r.Add(Column("ServerName", T::NVarChar, false, 128), Value::Text(h.serverName));
    r.Add(Column("DatabaseName", T::NVarChar, false, 128), Value::Text(h.database));
    r.Add(Column("DatabaseVersion", T::Int, false), Value::Int(ServerFacts::kDatabaseVersion));
    r.Add(Column("DatabaseCreationDate", T::DateTime, false), Value::Text(DateTimeText(h.databaseCreated)));
    r.Add(Column("BackupSize", T::Decimal, false, 0, 20), Number(static_cast<std::int64_t>(backupSize)));
    for (const auto& [name, lsn] : {std::pair{"FirstLSN", h.firstLsn}, std::pair{"LastLSN", h.lastLsn},
                                    std::pair{"CheckpointLSN", h.checkpointLsn},
                                    std::pair{"DatabaseBackupLSN", h.databaseBackupLsn}})
        r.Add(Column(name, T::Decimal, true, 0, 25), lsn == 0 ? Value::Null() : Number(lsn));
    r.Add(Column("BackupStartDate", T::DateTime, false), Value::Text(DateTimeText(h.backupStarted)));
    r.Add(Column("BackupFinishDate", T::DateTime, false), Value::Text(DateTimeText(h.backupFinished)));
    r.Add(Column("SortOrder", T::SmallInt, false), Value::Int(0));  // a Windows collation
    r.Add(Column("CodePage", T::SmallInt, false), Value::Int(ServerFacts::kCodePage));
    r.Add(Column("UnicodeLocaleId", T::Int, false), Value::Int(ServerFacts::kLocaleId));
    r.Add(Column("UnicodeComparisonStyle", T::Int, false), Value::Int(ServerFacts::kComparisonStyle));
    r.Add(Column("CompatibilityLevel", T::TinyInt, false), Value::Int(ServerFacts::kCompatibilityLevel));
    r.Add(Column("SoftwareVendorId", T::Int, false), Value::Int(ServerFacts::kSoftwareVendorId));
    r.Add(Column("SoftwareVersionMajor", T::Int, false), Value::Int(h.versionMajor));
    r.Add(Column("SoftwareVersionMinor", T::Int, false), Value::Int(h.versionMinor));
    r.Add(Column("SoftwareVersionBuild", T::Int, false), Value::Int(h.versionBuild));
    r.Add(Column("MachineName", T::NVarChar, false, 128), Value::Text(h.machineName));
    r.Add(Column("Flags", T::Int, false), Value::Int(0));
    r.Add(Column("BindingID", T::UniqueIdentifier, false), TextOrNull(h.bindingGuid));
    r.Add(Column("RecoveryForkID", T::UniqueIdentifier, true), Value::Null());
    r.Add(Column("Collation", T::NVarChar, false, 128), Value::Text(h.collation));
}

// The columns of RESTORE HEADERONLY from FamilyGUID on: the flags of a full or differential
// backup of a database in the simple recovery model, unencrypted and uncompressed.
void AddBackupKindColumns(ResultRows& r, const BackupHeader& h, std::uint64_t backupSize) {
    using T = SqlType;
    r.Add(Column("FamilyGUID", T::UniqueIdentifier, false), TextOrNull(h.familyGuid));
    for (const char* flag : {"HasBulkLoggedData", "IsSnapshot", "IsReadOnly", "IsSingleUser", "HasBackupChecksums",
                             "IsDamaged", "BeginsLogChain", "HasIncompleteMetaData", "IsForceOffline", "IsCopyOnly"})
        r.Add(Column(flag, T::Bit, false), Value::Int(0));
    r.Add(Column("FirstRecoveryForkID", T::UniqueIdentifier, true), Value::Null());
    r.Add(Column("ForkPointLSN", T::Decimal, true, 0, 25), Value::Null());
    r.Add(Column("RecoveryModel", T::NVarChar, false, 60), Value::Text("SIMPLE"));
    const bool differential = h.backupType == BackupHeader::kDifferentialBackup;
    r.Add(Column("DifferentialBaseLSN", T::Decimal, true, 0, 25),
          differential ? Number(h.differentialBaseLsn) : Value::Null());
    r.Add(Column("DifferentialBaseGUID", T::UniqueIdentifier, true),
          differential ? TextOrNull(h.differentialBaseGuid) : Value::Null());
    r.Add(Column("BackupTypeDescription", T::NVarChar, false, 60),
          Value::Text(differential ? "DATABASE DIFFERENTIAL" : "DATABASE"));
    r.Add(Column("BackupSetGUID", T::UniqueIdentifier, true), TextOrNull(h.backupSetGuid));
    r.Add(Column("CompressedBackupSize", T::BigInt, false), Value::Int(static_cast<std::int64_t>(backupSize)));
    r.Add(Column("containment", T::TinyInt, false), Value::Int(0));
    r.Add(Column("KeyAlgorithm", T::NVarChar, true, 32), Value::Null());
    r.Add(Column("EncryptorThumbprint", T::VarBinary, true, 20), Value::Null());
    r.Add(Column("EncryptorType", T::NVarChar, true, 32), Value::Null());
}

// RESTORE FILELISTONLY: a row for each file of the backed-up database.
ResultRows FileList(const BackupHeader& h) {
    using T = SqlType;
    ResultRows r;
    r.rows.clear();
    for (std::size_t k = 0; k < h.files.size(); ++k) {
        const BackupDatabaseFile& f = h.files[k];
        const bool data = f.type == 'D';
        r.columns.clear();
        r.rows.emplace_back();
        r.Add(Column("LogicalName", T::NVarChar, false, 128), Value::Text(f.logicalName));
        r.Add(Column("PhysicalName", T::NVarChar, false, 260), Value::Text(f.physicalName));
        r.Add(Column("Type", T::Char, false, 1), Value::Text(std::string(1, f.type)));
        r.Add(Column("FileGroupName", T::NVarChar, true, 128), data ? Value::Text("PRIMARY") : Value::Null());
        r.Add(Column("Size", T::Decimal, false, 0, 20), Number(static_cast<std::int64_t>(f.size)));
        // Unlimited growth for data, 2 TB for the log: what a new database has.
        r.Add(Column("MaxSize", T::Decimal, false, 0, 20), Number(data ? 35184372080640LL : 2199023255552LL));
        r.Add(Column("FileID", T::BigInt, false), Value::Int(static_cast<std::int64_t>(k + 1)));
        r.Add(Column("CreateLSN", T::Decimal, false, 0, 25), Number(0));
        r.Add(Column("DropLSN", T::Decimal, true, 0, 25), Value::Null());
        r.Add(Column("UniqueID", T::UniqueIdentifier, true), Value::Null());
        r.Add(Column("ReadOnlyLSN", T::Decimal, true, 0, 25), Value::Null());
        r.Add(Column("ReadWriteLSN", T::Decimal, true, 0, 25), Value::Null());
        r.Add(Column("BackupSizeInBytes", T::BigInt, false), Value::Int(data ? static_cast<std::int64_t>(f.size) : 0));
        r.Add(Column("SourceBlockSize", T::Int, false), Value::Int(512));
        r.Add(Column("FileGroupID", T::Int, false), Value::Int(data ? 1 : 0));
        r.Add(Column("LogGroupGUID", T::UniqueIdentifier, true), Value::Null());
        r.Add(Column("DifferentialBaseLSN", T::Decimal, true, 0, 25), Value::Null());
        r.Add(Column("DifferentialBaseGUID", T::UniqueIdentifier, true), Value::Null());
        r.Add(Column("IsReadOnly", T::Bit, false), Value::Int(0));
        r.Add(Column("IsPresent", T::Bit, false), Value::Int(1));
        r.Add(Column("TDEThumbprint", T::VarBinary, true, 32), Value::Null());
        r.Add(Column("SnapshotURL", T::NVarChar, true, 360), Value::Null());
    }
    return r;
}

}  // namespace

// The files that a restore creates where the database's files go; those it created are
// removed again unless the restore completes.
class RestoreTargets {
public:
    RestoreTargets() = default;
    RestoreTargets(const RestoreTargets&) = delete;
    RestoreTargets& operator=(const RestoreTargets&) = delete;
    ~RestoreTargets() {
        if (kept_) return;
        for (const fs::path& p : created_) {
            std::error_code ec;
            fs::remove(p, ec);
        }
    }
    // Creates `path` as a small placeholder unless it exists; the errno of a failure, else 0.
    int Create(const fs::path& path) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0) return errno == EEXIST ? 0 : errno;
        ::close(fd);
        created_.push_back(path);
        return 0;
    }
    void Keep() { kept_ = true; }

private:
    std::vector<fs::path> created_;
    bool kept_ = false;
};

// One file of the database that a restore puts in place.
struct PlannedFile {
    const BackupDatabaseFile* source = nullptr;
    std::string written;  // where it goes, as the server names it
    std::optional<fs::path> path;
};

void Session::Impl::CheckMayCreateDatabases(std::string_view statement, ResultSink& sink) const {
    if (registry->settings.mayCreateDatabases) return;
    sink.OnMessage(CreateDatabaseDenied().message);
    throw Terminating(statement);
}

// The sets of backup device `device`: their headers and their sizes in bytes, in order; otherwise
// reports why not (with 3241 for a header that fails its own check) and fails with 3013 for
// `statement`.
Session::Impl::BackupSets Session::Impl::OpenBackupSets(const std::string& device, std::string_view statement,
                                                        ResultSink& sink) const {
    const std::optional<fs::path> mapped = registry->BackupDevice(device);
    BackupSets sets;
    sets.file = mapped.value_or(fs::path());
    BackupFault fault = mapped ? ReadBackupHeaders(sets.file, sets.headers, &sets.sizes)
                               : BackupFault{BackupFault::Kind::CannotOpen, EILSEQ};
    if (fault.kind == BackupFault::Kind::Damaged) fault.kind = BackupFault::Kind::Malformed;
    if (fault) {
        sink.OnMessage(DeviceFault(fault, device, sets.file));
        throw Terminating(statement);
    }
    return sets;
}

// The header of the set at `position` of device `device`, as OpenBackupSets reads it; 4038 and
// 3013 for a position the device lacks.
BackupHeader Session::Impl::OpenBackupSet(const std::string& device, int position, std::string_view statement,
                                          ResultSink& sink, fs::path* file) const {
    const BackupSets sets = OpenBackupSets(device, statement, sink);
    if (position < 1 || static_cast<std::size_t>(position) > sets.headers.size()) {
        sink.OnMessage(
            MakeError(4038, "Cannot find file ID " + std::to_string(position) + " on device '" + device + "'.").message);
        throw Terminating(statement);
    }
    if (file) *file = sets.file;
    return sets.headers[static_cast<std::size_t>(position - 1)];
}

// Checks a backup file as backup_file.h describes, in SQL Server's words: 3262 when it is
// sound; else DeviceFault's message, followed by 3013.
void Session::Impl::VerifyBackup(const VerifyBackupStatement& s, ResultSink& sink) {
    constexpr std::string_view kStatement = "VERIFY DATABASE";
    CheckMayCreateDatabases(kStatement, sink);
    const TemporaryFile payload = ScratchFile(registry->dataDir);
    const std::optional<fs::path> mapped = registry->BackupDevice(s.path);
    const fs::path file = mapped.value_or(fs::path());
    const BackupFault fault =
        mapped ? VerifyBackupFile(file, payload.path) : BackupFault{BackupFault::Kind::CannotOpen, EILSEQ};
    if (fault) {
        sink.OnMessage(DeviceFault(fault, s.path, file));
        throw Terminating(kStatement);
    }
    sink.OnMessage(Info(3262, "The backup set on file 1 is valid."));
    sink.OnStatementDone(false, -1);
}

// RESTORE HEADERONLY and FILELISTONLY read the header alone, as SQL Server does: a backup
// whose payload is damaged is still described. HEADERONLY gives a row for every set of the
// device, or for the set FILE = n names ("RESTORE HEADERONLY (Transact-SQL)").
void Session::Impl::DescribeBackup(const DescribeBackupStatement& s, ResultSink& sink) {
    const bool headerOnly = s.kind == DescribeBackupStatement::Kind::Header;
    const std::string_view statement = headerOnly ? "RESTORE HEADERONLY" : "RESTORE FILELISTONLY";
    CheckMayCreateDatabases(statement, sink);
    const BackupHeader named = OpenBackupSet(s.path, s.file == 0 ? 1 : s.file, statement, sink);
    if (!headerOnly) return FileList(named).Report(sink);
    const BackupSets sets = OpenBackupSets(s.path, statement, sink);
    ResultRows r;
    r.rows.clear();
    for (std::size_t k = 0; k < sets.headers.size(); ++k) {
        const int position = static_cast<int>(k + 1);
        if (s.file != 0 && s.file != position) continue;
        r.columns.clear();
        r.rows.emplace_back();
        AddBackupSetColumns(r, sets.headers[k], position, sets.sizes[k]);
        AddBackupKindColumns(r, sets.headers[k], sets.sizes[k]);
    }
    r.Report(sink);
}

// Restores the backup set's payload as database `s.database`: checks the target name and
// the MOVE clauses, puts placeholders where the database's files go, copies the payload into
// the data directory with progress messages, and installs it. From the copy's start the
// database is there, RESTORING ("RESTORE Statements (Transact-SQL)"): a restore that fails or is
// stopped then leaves it so, with its files, for DROP DATABASE or another restore to deal with;
// one that fails before leaves neither. WITH NORECOVERY the restored database stays RESTORING,
// for a differential backup of the same full backup to follow (RestoreDifferential).
void Session::Impl::RestoreDatabase(const RestoreDatabaseStatement& s, ResultSink& sink) {
    constexpr std::string_view kStatement = "RESTORE DATABASE";
    const auto started = Clock::now();
    if (!registry->settings.mayCreateDatabases) {
        sink.OnMessage(MakeError(3110, "User does not have permission to RESTORE database '" + s.database + "'.", 14)
                           .message);
        throw Terminating(kStatement);
    }
    fs::path device;
    const BackupHeader backup = OpenBackupSet(s.path, s.file, kStatement, sink, &device);
    if (backup.backupType == BackupHeader::kDifferentialBackup) return RestoreDifferential(s, backup, device, sink);
    CheckRestoreTarget(s, backup, sink);
    RestoreTargets targets;
    const std::vector<PlannedFile> files = PlanFiles(s, backup, targets, sink);

    const bool replacing = DatabaseRegistry::Exists(registry->FileOf(s.database));
    DatabaseIdentity identity{s.database, 0, backup.familyGuid, NewGuid(), {}, {}, {}, {}, login};
    for (const PlannedFile& f : files) {
        const bool data = f.source->type == 'D';
        (data ? identity.dataName : identity.logName) = f.source->logicalName;
        (data ? identity.dataFile : identity.logFile) = f.written;
    }
    identity.lastLsn = backup.lastLsn;
    identity.differentialBaseGuid = backup.backupSetGuid;
    identity.differentialBaseLsn = backup.firstLsn;
    try {
        identity = registry->BeginRestore(s.database, identity, s.replace, replacing);
    } catch (const SqlError& e) {
        sink.OnMessage(e.message);
        throw Terminating(kStatement);
    }
    targets.Keep();  // the database's files now

    TemporaryFile payload = ScratchFile(registry->dataDir);
    CopyPayload(s, device, payload.path, sink);
    identity.restoring = !s.recovery;
    try {
        registry->Install(s.database, payload.path, identity, true, true);
    } catch (const SqlError& e) {
        sink.OnMessage(e.message);
        throw Terminating(kStatement);
    }
    payload.keep = true;  // it is the database now
    ReportRestored(s, backup, started, sink);
}

// A differential backup restored onto the database a restore WITH NORECOVERY of its base left
// RESTORING ("RESTORE Statements (Transact-SQL)", restoring a differential backup): 3117 when
// the database is not RESTORING, 3136 when it was restored from another full backup.
void Session::Impl::RestoreDifferential(const RestoreDatabaseStatement& s, const BackupHeader& backup,
                                        const fs::path& device, ResultSink& sink) {
    constexpr std::string_view kStatement = "RESTORE DATABASE";
    const auto started = Clock::now();
    std::optional<DatabaseIdentity> identity = registry->FindIdentity(s.database);
    if (!identity || !identity->restoring) {
        sink.OnMessage(MakeError(3117, "The log or differential backup cannot be restored because no files are "
                                       "ready to rollforward.")
                           .message);
        throw Terminating(kStatement);
    }
    if (identity->differentialBaseGuid != backup.differentialBaseGuid ||
        identity->differentialBaseLsn != backup.differentialBaseLsn) {
        sink.OnMessage(MakeError(3136, "This differential backup cannot be restored because the database has not "
                                       "been restored to the correct earlier state.")
                           .message);
        throw Terminating(kStatement);
    }
    TemporaryFile payload = ScratchFile(registry->dataDir);
    CopyPayload(s, device, payload.path, sink);
    identity->lastLsn = backup.lastLsn;
    identity->restoring = !s.recovery;
    try {
        registry->Install(s.database, payload.path, *identity, true, true);
    } catch (const SqlError& e) {
        sink.OnMessage(e.message);
        throw Terminating(kStatement);
    }
    payload.keep = true;
    ReportRestored(s, backup, started, sink);
}

// The messages of a restore that has completed: 4035 for each file, then 3014.
void Session::Impl::ReportRestored(const RestoreDatabaseStatement& s, const BackupHeader& backup,
                                   Clock::time_point started, ResultSink& sink) const {
    std::int64_t pages = 0;
    for (const BackupDatabaseFile& f : backup.files) {
        const std::int64_t filePages = f.type == 'D' ? Pages(static_cast<std::int64_t>(f.size)) : 2;
        sink.OnMessage(FilePagesProcessed(filePages, s.database, f.logicalName, s.file));
        pages += filePages;
    }
    sink.OnMessage(PagesProcessed("RESTORE DATABASE", pages, Clock::now() - started));
    sink.OnStatementDone(false, -1);
}

// The safety checks of RESTORE without REPLACE and the checks of WITH MOVE: 3234 for a
// logical name the backup lacks; 3154 when a database of another backup family (FamilyGUID)
// than the backup's exists under the target name, whatever the names (RESTORE Statements,
// "REPLACE option impact"): one of the same family is overwritten; 3102/3101 when that database
// is in use.
void Session::Impl::CheckRestoreTarget(const RestoreDatabaseStatement& s, const BackupHeader& backup,
                                       ResultSink& sink) {
    constexpr std::string_view kStatement = "RESTORE DATABASE";
    const auto refuse = [&](const SqlError& e) {
        sink.OnMessage(e.message);
        return Terminating(kStatement);
    };
    for (const RestoreMove& move : s.moves) {
        const bool known = std::any_of(backup.files.begin(), backup.files.end(), [&](const BackupDatabaseFile& f) {
            return SameName(f.logicalName, move.logicalName);
        });
        if (!known) {
            throw refuse(MakeError(3234, "Logical file '" + move.logicalName + "' is not part of database '" +
                                             s.database + "'. Use RESTORE FILELISTONLY to list the logical file names."));
        }
    }
    const fs::path target = registry->FileOf(s.database);
    if (!DatabaseRegistry::Exists(target)) return;
    if (!s.replace && registry->IdentityOf(s.database, DatabaseMissing(s.database)).familyGuid != backup.familyGuid)
        throw refuse(DatabaseRegistry::OtherFamily(s.database));
    if (target == file) {
        throw refuse(MakeError(3102, "RESTORE cannot process database '" + s.database +
                                         "' because it is in use by this session. It is recommended that the master "
                                         "database be used when performing this operation."));
    }
    try {
        registry->CheckExclusiveAccess(s.database);
    } catch (const SqlError& e) {
        throw refuse(e);
    }
}

// Where each file of the backed-up database goes (its MOVE target, else where it was), with a
// placeholder made there now. Every problem is reported (5133 or 3634 for a folder that is
// missing or cannot be written, 3142 for a file that exists, 3176 for two files at one place,
// each followed by 3156), then 3119 and 3013.
std::vector<PlannedFile> Session::Impl::PlanFiles(const RestoreDatabaseStatement& s, const BackupHeader& backup,
                                                  RestoreTargets& targets, ResultSink& sink) const {
    std::vector<PlannedFile> files;
    for (const BackupDatabaseFile& f : backup.files) {
        PlannedFile planned{&f, f.physicalName, std::nullopt};
        for (const RestoreMove& move : s.moves)
            if (SameName(move.logicalName, f.logicalName)) planned.written = move.physicalName;
        planned.path = ServerPath(planned.written, registry->drives);
        files.push_back(std::move(planned));
    }
    // The files of the database that this restore replaces may be overwritten.
    std::vector<std::string> replaceable;
    if (DatabaseRegistry::Exists(registry->FileOf(s.database))) {
        const auto [data, log] =
            registry->PhysicalNames(registry->IdentityOf(s.database, DatabaseMissing(s.database)));
        replaceable = {data, log};
    }
    std::vector<Message> problems;
    const auto cannotRestore = [&](const PlannedFile& f) {
        problems.push_back(MakeError(3156, "File '" + f.source->logicalName + "' cannot be restored to '" + f.written +
                                               "'. Use WITH MOVE to identify a valid location for the file.",
                                     16, 3)
                               .message);
    };
    for (std::size_t k = 0; k < files.size(); ++k) {
        const PlannedFile& f = files[k];
        for (std::size_t j = 0; j < k; ++j) {
            if (files[j].path && f.path && files[j].path == f.path) {
                problems.push_back(MakeError(3176, "File '" + f.written + "' is claimed by '" +
                                                       files[j].source->logicalName + "'(" + std::to_string(j + 1) +
                                                       ") and '" + f.source->logicalName + "'(" +
                                                       std::to_string(k + 1) +
                                                       "). The WITH MOVE clause can be used to relocate one or more "
                                                       "files.")
                                       .message);
            }
        }
        std::error_code ec;
        const bool exists = f.path && fs::exists(*f.path, ec);
        const bool mayOverwrite =
            s.replace || std::find(replaceable.begin(), replaceable.end(), f.written) != replaceable.end();
        int error = !f.path ? EILSEQ : !fs::is_directory(f.path->parent_path(), ec) ? ENOENT : 0;
        if (error != 0) {
            problems.push_back(MakeError(5133, "Directory lookup for the file \"" + f.written +
                                                   "\" failed with the operating system error " +
                                                   OperatingSystemError(error, f.path.value_or(fs::path())) + ".")
                                   .message);
        } else if (exists && !mayOverwrite) {
            problems.push_back(MakeError(3142, "File \"" + f.source->logicalName + "\" cannot be restored over the "
                                                   "existing \"" + f.written +
                                                   "\". Reissue the RESTORE statement using WITH REPLACE to "
                                                   "overwrite pre-existing files, or WITH MOVE to identify an "
                                                   "alternate location.")
                                   .message);
        } else if ((error = targets.Create(*f.path)) != 0) {
            problems.push_back(MakeError(3634, "The operating system returned the error '" +
                                                   OperatingSystemError(error, *f.path) +
                                                   "' while attempting 'RestoreContainer::ValidateTargetForCreation' "
                                                   "on '" + f.written + "'.")
                                   .message);
        } else {
            continue;
        }
        cannotRestore(f);
    }
    if (problems.empty()) return files;
    for (const Message& m : problems) sink.OnMessage(m);
    sink.OnMessage(MakeError(3119, "Problems were identified while planning for the RESTORE statement. Previous "
                                   "messages provide details.")
                       .message);
    throw Terminating("RESTORE DATABASE");
}

// Copies the backup's payload to `payload`, checking it on the way. With STATS = n, sends
// "n percent processed." (3211) at each step of n percent as the copy goes. An interrupt stops
// the copy.
void Session::Impl::CopyPayload(const RestoreDatabaseStatement& s, const fs::path& device, const fs::path& payload,
                                ResultSink& sink) {
    int reported = 0;
    const auto progress = [&](std::uint64_t copied, std::uint64_t total) {
        if (registry->settings.restoreStepDelay.count() > 0) {
            std::unique_lock lock(waitMutex);
            wake.wait_for(lock, registry->settings.restoreStepDelay, [this] { return interrupted.load(); });
        }
        if (interrupted) throw Interrupted{};
        if (s.stats == 0) return;
        const auto percent = static_cast<int>(total == 0 ? 100 : copied * 100 / total);
        if (reported + s.stats > percent) return;
        while (reported + s.stats <= percent) {
            reported += s.stats;
            sink.OnMessage(Info(3211, std::to_string(reported) + " percent processed."));
        }
        sink.Flush();
    };
    const BackupFault fault = VerifyBackupFile(device, payload, progress, s.file);
    if (fault) {
        sink.OnMessage(DeviceFault(fault, s.path, device));
        throw Terminating("RESTORE DATABASE");
    }
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
    sqlite3_create_function_v2(connection, "mssql_serverproperty", 1, SQLITE_UTF8, this, &Impl::ServerProperty,
                               nullptr, nullptr, nullptr);
    sqlite3_create_function_v2(connection, "mssql_has_perms_by_name", 3, SQLITE_UTF8, this, &Impl::HasPermsByName,
                               nullptr, nullptr, nullptr);
    sqlite3_create_function_v2(connection, "mssql_is_srvrolemember", 1, SQLITE_UTF8, this, &Impl::IsSrvRoleMember,
                               nullptr, nullptr, nullptr);
    sqlite3_create_function_v2(connection, "mssql_databasepropertyex", 2, SQLITE_UTF8, this,
                               &Impl::DatabasePropertyEx, nullptr, nullptr, nullptr);
    sqlite3_create_function_v2(connection, "mssql_suser_sname", 0, SQLITE_UTF8, this, &Impl::SuserSname, nullptr,
                               nullptr, nullptr);
    sqlite3_create_function_v2(
        connection, "mssql_rowcount", 0, SQLITE_UTF8, this,
        [](sqlite3_context* context, int, sqlite3_value**) {
            sqlite3_result_int64(context, static_cast<Impl*>(sqlite3_user_data(context))->rowCount);
        },
        nullptr, nullptr, nullptr);
}

// SUSER_SNAME() without a SID: the log-in name of the session, a SQL log-in's name or the
// Windows account DOMAIN\user ("SUSER_SNAME (Transact-SQL)").
void Session::Impl::SuserSname(sqlite3_context* context, int, sqlite3_value**) {
    const auto* s = static_cast<const Impl*>(sqlite3_user_data(context));
    sqlite3_result_text(context, s->login.data(), static_cast<int>(s->login.size()), SQLITE_TRANSIENT);
}

// The stand-in's one log-in is sa, a sysadmin, unless the settings take a permission away: then
// it is a dbcreator (with CREATE DATABASE) or a plain log-in. master and tempdb are visible to
// every log-in, a database to its owner, any other only with VIEW ANY DATABASE ("VIEW ANY
// DATABASE permission", "sys.databases (Transact-SQL)").
bool Session::Impl::Sees(std::string_view name, std::string_view owner) const {
    return registry->settings.viewAnyDatabase || SameName(name, kMaster) || SameName(name, "tempdb") ||
           SameName(owner.empty() ? std::string_view("sa") : owner, login);
}

// HAS_PERMS_BY_NAME(NULL, NULL, permission): whether the log-in holds the server permission
// (1 or 0); NULL for a securable or a permission the stand-in does not keep, as for one that is
// not valid ("HAS_PERMS_BY_NAME (Transact-SQL)").
void Session::Impl::HasPermsByName(sqlite3_context* context, int, sqlite3_value** argv) {
    const auto* s = static_cast<const Impl*>(sqlite3_user_data(context));
    if (sqlite3_value_type(argv[0]) != SQLITE_NULL || sqlite3_value_type(argv[1]) != SQLITE_NULL ||
        sqlite3_value_type(argv[2]) == SQLITE_NULL)
        return sqlite3_result_null(context);
    const std::string permission = FoldCase(TextArgument(argv[2]));
    const Engine::Settings& settings = s->registry->settings;
    if (permission == "view any database") return sqlite3_result_int(context, settings.viewAnyDatabase ? 1 : 0);
    if (permission == "create any database") return sqlite3_result_int(context, settings.mayCreateDatabases ? 1 : 0);
    sqlite3_result_null(context);
}

// IS_SRVROLEMEMBER(role): whether the log-in is a member of the fixed server role (1 or 0); NULL
// for a role that is not one ("IS_SRVROLEMEMBER (Transact-SQL)").
void Session::Impl::IsSrvRoleMember(sqlite3_context* context, int, sqlite3_value** argv) {
    const auto* s = static_cast<const Impl*>(sqlite3_user_data(context));
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return sqlite3_result_null(context);
    const std::string role = FoldCase(TextArgument(argv[0]));
    if (role == "sysadmin") return sqlite3_result_int(context, s->Sysadmin() ? 1 : 0);
    if (role == "dbcreator")
        return sqlite3_result_int(context, s->registry->settings.mayCreateDatabases && !s->Sysadmin() ? 1 : 0);
    if (role == "public") return sqlite3_result_int(context, 1);
    for (const char* other : {"serveradmin", "setupadmin", "securityadmin", "processadmin", "diskadmin", "bulkadmin"})
        if (role == other) return sqlite3_result_int(context, 0);
    sqlite3_result_null(context);
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

// DB_ID([name]): the id of the database named, or of the current one; NULL for a database the
// log-in may not see ("DB_ID (Transact-SQL)", Permissions).
void Session::Impl::DbId(sqlite3_context* context, int argc, sqlite3_value** argv) {
    const auto* s = static_cast<const Impl*>(sqlite3_user_data(context));
    if (argc > 0 && sqlite3_value_type(argv[0]) == SQLITE_NULL) return sqlite3_result_null(context);
    const std::string_view name = argc > 0 ? TextArgument(argv[0]) : std::string_view(s->database);
    std::optional<int> id = s->registry->IdOf(name);
    if (id && argc > 0 && !s->registry->settings.viewAnyDatabase) {
        try {
            if (!s->Sees(name, s->registry->IdentityOf(name, DatabaseMissing(name)).owner)) id.reset();
        } catch (const SqlError&) {
            id.reset();  // dropped meanwhile
        }
    }
    if (id) {
        sqlite3_result_int(context, *id);
    } else {
        sqlite3_result_null(context);
    }
}

// DATABASEPROPERTYEX(database, property), as a sql_variant ("DATABASEPROPERTYEX (Transact-SQL)"):
// Status ONLINE or RESTORING, and the few settings every database of the stand-in shares; NULL
// for a database that does not exist or a property the stand-in does not know.
void Session::Impl::DatabasePropertyEx(sqlite3_context* context, int, sqlite3_value** argv) {
    const auto* s = static_cast<const Impl*>(sqlite3_user_data(context));
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL || sqlite3_value_type(argv[1]) == SQLITE_NULL)
        return sqlite3_result_null(context);
    const std::optional<DatabaseIdentity> identity = s->registry->FindIdentity(TextArgument(argv[0]));
    if (!identity) return sqlite3_result_null(context);
    const std::string name = FoldCase(TextArgument(argv[1]));
    std::string_view value;
    if (name == "status") value = identity->restoring ? "RESTORING" : "ONLINE";
    else if (name == "collation") value = ServerFacts::kCollation;
    else if (name == "recovery") value = "SIMPLE";
    else if (name == "updateability") value = "READ_WRITE";
    else if (name == "useraccess") value = "MULTI_USER";
    else return sqlite3_result_null(context);
    sqlite3_result_text(context, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
}

// SERVERPROPERTY(name): what ServerFacts says, as a sql_variant; NULL for a property the
// stand-in does not know, as SQL Server answers a name it does not know.
void Session::Impl::ServerProperty(sqlite3_context* context, int, sqlite3_value** argv) {
    const auto* s = static_cast<const Impl*>(sqlite3_user_data(context));
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return sqlite3_result_null(context);
    const std::string name = FoldCase(TextArgument(argv[0]));
    const auto text = [&](std::string_view value) {
        sqlite3_result_text(context, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
    };
    using F = ServerFacts;
    if (name == "productversion") return text(F::kProductVersion);
    if (name == "productmajorversion") return text(std::to_string(F::kVersionMajor));
    if (name == "productminorversion") return text(std::to_string(F::kVersionMinor));
    if (name == "productbuild") return text(std::to_string(F::kVersionBuild));
    if (name == "productlevel") return text(F::kProductLevel);
    if (name == "edition") return text(F::kEdition);
    if (name == "engineedition") return sqlite3_result_int(context, F::kEngineEdition);
    if (name == "servername" || name == "machinename" || name == "computernamephysicalnetbios") return text(HostName());
    if (name == "collation") return text(F::kCollation);
    if (name == "isclustered" || name == "isintegratedsecurityonly" || name == "issingleuser")
        return sqlite3_result_int(context, 0);
    if ((name == "instancedefaultdatapath" || name == "instancedefaultlogpath") &&
        s->registry->settings.reportsDefaultDataPath) {
        std::string folder = ClientPath(s->registry->defaultDataFolder, s->registry->drives);
        folder += folder.size() > 1 && folder[1] == ':' ? '\\' : '/';
        return text(folder);
    }
    sqlite3_result_null(context);  // InstanceName among them: the stand-in is a default instance
}

// EXEC of a system procedure: sp_getapplock, sp_releaseapplock or sp_executesql, named alone,
// with the schema sys or dbo, or with a database ([db].[sys].sp_x, db..sp_x). A system procedure
// called with a database's name runs in that database's context ("Execute a stored procedure":
// system procedures appear in the sys schema of every database; sp_getapplock: "The lock
// resource created by sp_getapplock is created in the current database for the session").
void Session::Impl::Call(const ExecStatement& s, ResultSink& sink) {
    if (s.text) return ExecuteString(s, sink);
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
    void Flush() override { outer_.Flush(); }
    void NextStatement() override { outer_.NextStatement(); }
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

// EXEC ('statements'): runs them as a batch of their own, a scope below the one that runs the
// EXEC ("EXECUTE (Transact-SQL)": the string is compiled when the EXEC runs, and a change of
// database context lasts until it ends). An error that ends a batch ends only that scope, and
// the batch around it goes on. The statements end as a procedure's do (DONEINPROC, with their
// counts); the EXEC adds no end of its own.
void Session::Impl::ExecuteString(const ExecStatement& s, ResultSink& sink) {
    CallScope scope(*this);
    InProcedure inside(sink);
    const bool completed = RunBatch(*s.text, inside);
    scope.Return(sink);
    if (!completed) throw Interrupted{};
}

Engine::Engine(fs::path dataDir, DriveMap drives) : Engine(std::move(dataDir), std::move(drives), Settings{}) {}

Engine::Engine(fs::path dataDir, DriveMap drives, Settings settings) : impl_(std::make_unique<Impl>()) {
    impl_->registry = std::make_shared<DatabaseRegistry>();
    impl_->registry->dataDir = std::move(dataDir);
    impl_->registry->settings = settings;
    impl_->registry->defaultDataFolder = DefaultDataFolder(impl_->registry->dataDir);
    for (const auto& [letter, drive] : drives) {
        if (!drive.charset.empty() && !KnownCharset(drive.charset))
            throw std::invalid_argument("unknown charset " + drive.charset + " for drive " + letter + ":");
    }
    impl_->registry->drives = std::move(drives);
    fs::create_directories(impl_->registry->dataDir);
    if (!DatabaseExists(kMaster)) impl_->registry->Create(kMaster);
    impl_->registry->Databases();  // each found database's identity, before anything changes its file
}

Engine::~Engine() = default;

bool Engine::DatabaseExists(std::string_view name) const {
    return !name.empty() && DatabaseRegistry::Exists(impl_->registry->FileOf(name));
}

std::unique_ptr<Session> Engine::OpenSession(std::string_view database, Message* error, std::string_view login) {
    const std::string_view name = database.empty() ? kMaster : database;
    auto impl = std::make_unique<Session::Impl>();
    impl->registry = impl_->registry;
    impl->login = login;
    impl->nocount = (impl_->registry->settings.userOptions & kNoCountOption) != 0;
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

namespace {

// Whether an error ends the rest of the batch (or of the procedure or EXEC string) it happens
// in, not only its statement. A name that does not resolve when the statement runs (208; and
// 207, a column of a table that exists) is a compile error of the statement ("Deferred Name
// Resolution and Compilation": the procedure "stops executing when it gets to the statement
// that references the missing object"; "TRY...CATCH (Transact-SQL)": errors during
// statement-level recompilation, such as object name resolution errors, are not caught at the
// same level, while a lower level, sp_executesql or EXECUTE, returns them to the one above).
// Other errors the stand-in raises end only their statement ("Batches": constraint violations
// and the like stop only the current statement).
bool EndsScope(const Message& error) { return error.number == 208 || error.number == 207; }

}  // namespace

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
        if (&statement != &batch.front()) sink.NextStatement();
        try {
            Run(statement, sink);
        } catch (const Interrupted&) {
            TakeInterrupt();
            return false;
        } catch (const SqlError& e) {
            if (TakeInterrupt()) return false;
            Message m = e.message;
            m.line = statement.line;
            const bool endsScope = EndsScope(m);
            report(std::move(m));
            if (endsScope) break;
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
