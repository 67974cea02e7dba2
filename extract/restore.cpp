#include "restore.h"

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <stop_token>
#include <thread>

#include "catalogue.h"
#include "codepage.h"
#include "export.h"
#include "failure_reason.h"
#include "sha256.h"
#include "sqltext.h"

namespace tarvex {

namespace {

using Rows = std::vector<std::vector<std::string>>;
using namespace std::chrono_literals;

constexpr int kStatsPercent = 10;          // a progress message at every tenth
constexpr std::size_t kMaxNameUnits = 128;  // sysname: nvarchar(128)
const Timeout kReadTimeout = Timeout::Seconds(120);  // a header from a slow disk or a share

long long Number(const std::string& text) {
    try {
        return std::stoll(text);
    } catch (...) {
        return 0;
    }
}

// Whether two database names are the same on a server whose collation ignores case (as the
// default ones do): compared with ASCII letters folded, stepping over whole characters, since a
// GBK trail byte can be a letter.
bool SameDatabaseName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    const CodePage cp = CodePage::Process();
    const auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    for (std::size_t pos = 0; pos < a.size();) {
        const std::size_t n = cp.CharLength(a, pos);
        if (n == 1 ? fold(a[pos]) != fold(b[pos]) : a.substr(pos, n) != b.substr(pos, n)) return false;
        pos += n;
    }
    return true;
}

// The value of `column` in `row`, by the names of the result's columns; empty when it lacks it.
std::string Cell(const std::vector<std::string>& names, const std::vector<std::string>& row, std::string_view column) {
    const auto at = std::find(names.begin(), names.end(), column);
    const auto index = static_cast<std::size_t>(at - names.begin());
    return at == names.end() || index >= row.size() ? std::string() : row[index];
}

// Every record of a diagnostic: the first and the ones after it.
std::vector<const OdbcError*> Records(const OdbcError& error) {
    std::vector<const OdbcError*> records{&error};
    for (const OdbcError& more : error.more) records.push_back(&more);
    return records;
}

bool HasNative(const OdbcError& error, std::initializer_list<long> natives) {
    const auto records = Records(error);
    return std::any_of(records.begin(), records.end(), [&](const OdbcError* r) {
        return std::find(natives.begin(), natives.end(), r->native) != natives.end();
    });
}

bool WasCancelled(const OdbcError& error) {
    const auto records = Records(error);
    return std::any_of(records.begin(), records.end(), [](const OdbcError* r) { return r->state == "HY008"; });
}

// The percent of a progress message (3211, "n percent processed." or its translation); -1 for
// another message.
int PercentOf(const OdbcError& record) {
    if (record.native != 3211) return -1;
    const std::size_t digit = record.message.find_first_of("0123456789");
    return digit == std::string::npos ? -1 : static_cast<int>(Number(record.message.substr(digit)));
}

// A server's message without the driver's and driver manager's tags ("[FreeTDS][SQL Server]").
std::string Untagged(std::string message) {
    while (message.starts_with('[') && message.find(']') != std::string::npos) message.erase(0, message.find(']') + 1);
    return message;
}

// The diagnostics without their progress messages, for the reason of a failure.
OdbcError WithoutProgress(const OdbcError& error) {
    std::vector<OdbcError> kept;
    for (const OdbcError* r : Records(error))
        if (PercentOf(*r) < 0) {
            kept.push_back(*r);
            kept.back().more.clear();
        }
    if (kept.empty()) return error;
    OdbcError first = kept.front();
    first.more.assign(kept.begin() + 1, kept.end());
    first.connectionDead = error.connectionDead;
    return first;
}

// The server's refusal of the new database's name or of its files' places, in the user's words;
// empty for another refusal.
std::string TargetRefusal(const OdbcError& e, const std::string& name, const RestoreServer& server,
                          const BackupDescription* backup) {
    if (HasNative(e, {3154}))
        return ProgramText("服务器上已有名为“") + name + ProgramText("”的数据库（是另一个数据库的备份还原的），还原不会覆盖它。请换一个数据库名称。");
    if (HasNative(e, {3101, 3102}))
        return ProgramText("服务器上已有名为“") + name + ProgramText("”的数据库，并且正在被使用（也许另一个还原正在建立它），还原没有进行。请换一个数据库名称。");
    if (HasNative(e, {3142})) {
        std::string files;
        for (const FileMove& move : backup ? PlanFileMoves(*backup, server.dataFolder, name) : std::vector<FileMove>{})
            files += (files.empty() ? "" : ProgramText("、")) + ProgramText("“") + move.target.substr(server.dataFolder.size()) + ProgramText("”");
        return ProgramText("数据库服务器的数据文件夹“") + server.dataFolder + ProgramText("”中已有还原要用的文件") +
               (files.empty() ? std::string() : ProgramText("（") + files + ProgramText("之一）")) +
               ProgramText("，服务器不会覆盖已有的文件。请换一个数据库名称；那里的文件也许属于一个已分离的数据库，请数据库管理员查看。");
    }
    if (HasNative(e, {3176, 3156, 5133, 3634, 3119}))
        return ProgramText("数据库服务器不能在数据文件夹“") + server.dataFolder +
               ProgramText("”中创建新数据库的文件：文件夹不存在、服务器的服务账户不能写入它，或者那里已有同名的文件。");
    return {};
}

// The server's refusal of a backup or a restore in the user's words: what went wrong and what to
// do about it. `path` is the backup file, `name` the new database, `server` its server, `backup`
// what the file holds once that is known.
std::string RefusalText(const OdbcError& e, const std::string& path, const std::string& name,
                        const RestoreServer& server, const BackupDescription* backup = nullptr) {
    if (ConnectionLost(e)) return ProgramText("与数据库服务器的连接断开了。");
    if (WasCancelled(e)) return ProgramText("还原已取消。");
    if (HasNative(e, {262, 3110, 229}))
        return ProgramText("登录用户“") + server.login.User +
               ProgramText("”没有创建数据库的权限（CREATE DATABASE），不能读取备份文件，也不能还原数据库。"
                 "请改用有这个权限的用户（sysadmin或dbcreator角色的成员）登录。");
    if (HasNative(e, {3201}))
        return ProgramText("数据库服务器打不开备份文件“") + path +
               ProgramText("”：文件不存在，或者服务器的服务账户没有读取它的权限。数据库服务器从它自己的磁盘上读取这个文件。");
    if (HasNative(e, {3169})) {
        if (backup) return VersionRefusal(*backup, server);
        return ProgramText("这台SQL Server不能还原这个备份：它是用更高版本的SQL Server做的，或者是用太旧的版本做的。");
    }
    if (HasNative(e, {3241, 3242, 3143}))
        return ProgramText("“") + path + ProgramText("”不是这台SQL Server能读取的数据库备份文件（或者是用更高版本的SQL Server做的备份）。");
    if (HasNative(e, {3189, 3183, 3203, 3043}))
        return ProgramText("备份文件“") + path + ProgramText("”已损坏：服务器读取或校验它时发现了错误。请让被审计单位重新备份。");
    if (HasNative(e, {1105, 1101, 3257}))
        return ProgramText("数据库服务器的磁盘空间不足，放不下还原后的数据库。");
    if (HasNative(e, {1827, 1828}))
        return ProgramText("还原后的数据库超出了这个SQL Server版本允许的大小（Express版每个数据库最多10 GB）。");
    if (std::string target = TargetRefusal(e, name, server, backup); !target.empty()) return target;
    return ProgramText("数据库服务器未能完成这一步。");
}

// Database work: the rows of a statement that reads (ReadAllText), and the names of its first
// result's columns, or the driver's diagnostics.
struct Read {
    std::optional<Rows> rows;
    std::vector<std::string> names;
    OdbcError error;
};
auto ReadingRows(std::string statement, Timeout timeout = Timeout::Default()) {
    return [statement = std::move(statement), timeout](ODBCDB& db) {
        Read r;
        r.rows = db.ReadAllText(statement, timeout, &r.names);
        if (!r.rows) r.error = db.LastError();
        return r;
    };
}

// The folder of a file's path as the server names it, with its separator; stepping over whole
// characters, since a GBK trail byte can be a backslash.
std::string FolderOf(std::string_view file) {
    const CodePage cp = CodePage::Process();
    std::size_t end = 0;
    for (std::size_t pos = 0; pos < file.size();) {
        const std::size_t n = cp.CharLength(file, pos);
        if (n == 1 && (file[pos] == '\\' || file[pos] == '/')) end = pos + 1;
        pos += n;
    }
    return std::string(file.substr(0, end));
}

// `folder` ending in a separator: the one it uses, a backslash where it shows none.
std::string WithSeparator(std::string folder) {
    if (folder.empty() || FolderOf(folder).size() == folder.size()) return folder;
    return folder + (folder.find('/') != std::string::npos && folder.find('\\') == std::string::npos ? "/" : "\\");
}

// The server's facts a restore needs: its default data folder, version and edition; master's
// data file, whose folder stands in for a default the server does not name; what the log-in may see.
constexpr std::size_t kFactsResults = 3;  // its statements' results
constexpr const char* kFactsStatement =
    "SELECT CAST(SERVERPROPERTY('InstanceDefaultDataPath') AS nvarchar(128)), "
    "CAST(SERVERPROPERTY('ProductVersion') AS nvarchar(128)), CAST(SERVERPROPERTY('Edition') AS nvarchar(128)); "
    "SELECT physical_name FROM master.sys.master_files WHERE database_id = 1 AND file_id = 1; "
    "SELECT HAS_PERMS_BY_NAME(NULL, NULL, 'VIEW ANY DATABASE'), IS_SRVROLEMEMBER('sysadmin')";

// Logs in to master with `login`; what the user is told when that fails, nullopt when it worked.
std::optional<Reading<RestoreServer>> LogIn(Database& database, LoginSettings& login, LoginPrompt prompt) {
    login.Database = "master";
    const std::optional<Opened> opened = OpenConnection(database, login, prompt);
    if (opened && opened->ok) return std::nullopt;
    Reading<RestoreServer> reading;
    reading.problem = ProgramText("连接") + login.Server + ProgramText("服务器失败。请查看服务器名称、用户名称和密码是否正确。");
    if (opened) reading.error = opened->error;
    ReleaseLoginSettings(login);
    return reading;
}

// The server as its facts (kFactsStatement's rows) describe it, logged in with `login`.
Reading<RestoreServer> FromFacts(const Read& facts, LoginSettings login) {
    Reading<RestoreServer> reading;
    RestoreServer server;
    for (const std::vector<std::string>& row : facts.rows ? *facts.rows : Rows{}) {
        if (row.size() == 2) {
            server.seesEveryDatabase = row[0] == "1" || row[1] == "1";
        } else if (row.size() == 3) {
            server.dataFolder = row[0];
            server.productVersion = row[1];
            server.edition = row[2];
        } else if (row.size() == 1 && server.dataFolder.empty()) {
            server.dataFolder = FolderOf(row[0]);
        }
    }
    server.dataFolder = WithSeparator(server.dataFolder);
    if (server.dataFolder.empty()) {
        reading.problem = ProgramText("读不出数据库服务器存放数据库文件的文件夹。");
        reading.error = facts.error;
        ReleaseLoginSettings(login);
        return reading;
    }
    server.login = std::move(login);
    reading.value = std::move(server);
    return reading;
}

// A batch of statements sent in one exchange (ODBCDB::ExecuteBatch), its results gathered: each
// statement's rows, or its failure with all the server said of it.
struct Batch {
    std::vector<BatchResult> results;
    OdbcError broken;  // why the batch was broken off (a lost connection, a time-out); empty if not
};
std::optional<Batch> RunBatch(Database& database, std::string statements, Timeout timeout) {
    return database.Run([statements = std::move(statements), timeout](ODBCDB& db) {
        Batch batch;
        const bool whole = db.ExecuteBatch(statements, timeout, [&](const BatchResult& r) {
            if (!r.ok && !batch.results.empty() && !batch.results.back().ok) {
                batch.results.back().error.more.push_back(r.error);  // the same statement's next words
                for (const OdbcError& more : r.error.more) batch.results.back().error.more.push_back(more);
            } else {
                batch.results.push_back(r);
            }
        });
        if (!whole) batch.broken = db.LastError();
        return batch;
    });
}

// The result of a batch's statement at `index` as a Read: its rows and their columns' names, or why
// there are none (its failure, else the batch's).
Read ReadOf(const Batch& batch, std::size_t index) {
    Read read;
    if (index < batch.results.size() && batch.results[index].ok) {
        read.rows = batch.results[index].rows;
        read.names = batch.results[index].names;
    } else {
        read.error = index < batch.results.size() ? batch.results[index].error : batch.broken;
    }
    return read;
}

// A name as a file name's part: what a file name cannot hold becomes "_", and the blanks and dots
// Windows drops at a name's end go.
std::string FileStem(std::string_view name) {
    std::string stem = FileNamePart(name);
    while (!stem.empty() && (stem.back() == ' ' || stem.back() == '.')) stem.pop_back();
    return stem.empty() ? "database" : stem;
}

// What a file name and a path may hold where the server keeps its files: 255 bytes of UTF-8 for a
// name on Linux, 255 UTF-16 units for a name and 259 for a path on Windows (MAX_PATH).
constexpr std::size_t kMaxFileNameUnits = 255;
constexpr std::size_t kMaxFileNameBytes = 255;
constexpr std::size_t kMaxPathUnits = 259;

// The UTF-8 bytes of a UTF-16 text.
std::size_t Utf8Bytes(std::u16string_view units) {
    std::size_t bytes = 0;
    for (std::size_t k = 0; k < units.size(); ++k) {
        const char16_t u = units[k];
        if (u >= 0xD800 && u <= 0xDBFF && k + 1 < units.size()) {
            bytes += 4;
            ++k;
        } else {
            bytes += u < 0x80 ? 1 : u < 0x800 ? 2 : 3;
        }
    }
    return bytes;
}

// `text` cut, at a whole character, to what still fits in one file name with `suffix` and then
// each of `endings` after it, in a folder of `folderUnits` UTF-16 units.
std::u16string CutToFit(std::u16string text, std::u16string_view suffix, const std::vector<std::u16string>& endings,
                        std::size_t folderUnits) {
    const auto fits = [&] {
        return std::all_of(endings.begin(), endings.end(), [&](const std::u16string& ending) {
            const std::size_t units = text.size() + suffix.size() + ending.size();
            return units <= kMaxFileNameUnits && folderUnits + units <= kMaxPathUnits &&
                   Utf8Bytes(text) + Utf8Bytes(suffix) + Utf8Bytes(ending) <= kMaxFileNameBytes;
        });
    };
    while (!text.empty() && !fits()) {
        text.pop_back();
        if (!text.empty() && text.back() >= 0xD800 && text.back() <= 0xDBFF) text.pop_back();
    }
    return text;
}

// The stem of the files of database `database`, whose names go on with `endings`: the name
// itself where every file name can hold it whole, else what they can hold followed by "_" and the
// first eight hexadecimal digits of the SHA-256 of the name's UTF-8.
std::string DatabaseFileStem(std::string_view database, std::string_view dataFolder,
                             const std::vector<std::string>& endings) {
    const CodePage cp = CodePage::Process();
    std::vector<std::u16string> wide;
    for (const std::string& ending : endings) wide.push_back(cp.ToUtf16(ending));
    const std::size_t folderUnits = cp.ToUtf16(dataFolder).size();
    const std::string stem = FileStem(database);
    const std::u16string whole = cp.ToUtf16(stem);
    if (stem == database && CutToFit(whole, u"", wide, folderUnits) == whole) return stem;
    Sha256 hash;
    const std::string utf8 = cp.ToUtf8(database);
    hash.Add(utf8.data(), utf8.size());
    const std::u16string suffix = u"_" + cp.ToUtf16(hash.Hex().substr(0, 8));
    return cp.FromUtf16(CutToFit(whole, suffix, wide, folderUnits) + suffix);
}

int MajorOf(const std::string& version) { return static_cast<int>(Number(version)); }
int MinorOf(const std::string& version) {
    const std::size_t dot = version.find('.');
    return dot == std::string::npos ? 0 : static_cast<int>(Number(version.substr(dot + 1)));
}

// "SQL Server 2019" for version 15.0, as the releases are known; "SQL Server" for one that is not.
std::string ReleaseName(int major, int minor) {
    struct Release {
        int major, minor;
        const char* name;
    };
    static constexpr Release kReleases[] = {{8, 0, "2000"},  {9, 0, "2005"},  {10, 0, "2008"}, {10, 50, "2008 R2"},
                                            {11, 0, "2012"}, {12, 0, "2014"}, {13, 0, "2016"}, {14, 0, "2017"},
                                            {15, 0, "2019"}, {16, 0, "2022"}, {17, 0, "2025"}};
    std::string name = "SQL Server";
    for (const Release& r : kReleases)
        if (r.major == major && r.minor <= minor) name = std::string("SQL Server ") + r.name;
    return name;
}

bool NewerThanServer(const BackupDescription& backup, const RestoreServer& server) {
    const int major = MajorOf(server.productVersion), minor = MinorOf(server.productVersion);
    return major != 0 && std::pair(backup.versionMajor, backup.versionMinor) > std::pair(major, minor);
}

// Why this server cannot restore a backup made by a newer one; empty when it can.
std::string VersionProblem(const BackupDescription& backup, const RestoreServer& server) {
    return NewerThanServer(backup, server) ? VersionRefusal(backup, server) : std::string();
}

std::string Literal(std::string_view text) { return "N'" + QuoteLiteralText(text) + "'"; }

// Every set of the header, in the file's order.
std::vector<BackupSet> SetsOf(const Read& header) {
    std::vector<BackupSet> sets;
    for (const std::vector<std::string>& row : *header.rows) {
        const auto cell = [&](std::string_view column) { return Cell(header.names, row, column); };
        BackupSet set;
        set.position = static_cast<int>(Number(cell("Position")));
        set.type = static_cast<int>(Number(cell("BackupType")));
        set.kind = set.type == 1   ? BackupSet::Kind::Full
                   : set.type == 5 ? BackupSet::Kind::Differential
                   : set.type == 2 ? BackupSet::Kind::Log
                                   : BackupSet::Kind::Other;
        set.database = cell("DatabaseName");
        set.finished = cell("BackupFinishDate").substr(0, 19);
        set.size = Number(cell("BackupSize"));
        set.firstLsn = cell("FirstLSN");
        set.checkpointLsn = cell("CheckpointLSN");
        set.backupSetGuid = cell("BackupSetGUID");
        set.differentialBaseLsn = cell("DifferentialBaseLSN");
        set.differentialBaseGuid = cell("DifferentialBaseGUID");
        sets.push_back(std::move(set));
    }
    return sets;
}

// The backup described by the header's row of the full backup `chosen` picks.
BackupDescription Describe(const Read& header, const std::string& path, std::vector<BackupSet> sets,
                           const ChosenSets& chosen) {
    BackupDescription d;
    d.path = path;
    d.position = chosen.full;
    d.differential = chosen.differential;
    for (std::size_t k = 0; k < sets.size() && k < header.rows->size(); ++k) {
        if (sets[k].position != chosen.full) continue;
        const std::vector<std::string>& row = (*header.rows)[k];
        d.database = sets[k].database;
        d.finished = sets[k].finished;
        d.backupSize = sets[k].size;
        d.serverName = Cell(header.names, row, "ServerName");
        d.versionMajor = static_cast<int>(Number(Cell(header.names, row, "SoftwareVersionMajor")));
        d.versionMinor = static_cast<int>(Number(Cell(header.names, row, "SoftwareVersionMinor")));
        d.versionBuild = static_cast<int>(Number(Cell(header.names, row, "SoftwareVersionBuild")));
    }
    d.sets = std::move(sets);
    return d;
}

const BackupSet* SetAt(const std::vector<BackupSet>& sets, int position) {
    const auto at = std::find_if(sets.begin(), sets.end(), [&](const BackupSet& s) { return s.position == position; });
    return at == sets.end() ? nullptr : &*at;
}

// "SELECT DATABASEPROPERTYEX(N'<name>', 'Status')", sent with the restore's last statement.
std::string StatusQuery(std::string_view name) {
    return "; SELECT DATABASEPROPERTYEX(" + Literal(name) + ", 'Status')";
}

// While the restore statement runs: the time it has taken, for the report every second, and a
// cancel the report asks for, passed on to the server (again every half second, for one that came
// just before the statement reached the driver).
class RestoreWatch {
public:
    RestoreWatch(Database& database, Report& report)
        : thread_([&database, &report](std::stop_token stop) { Watch(stop, database, report); }) {}

private:
    static void Watch(const std::stop_token& stop, Database& database, Report& report) {
        const auto began = std::chrono::steady_clock::now();
        auto nextSecond = began + 1s;
        auto nextCancel = began;
        std::mutex mutex;
        std::condition_variable_any tick;
        std::unique_lock lock(mutex);
        while (!stop.stop_requested()) {
            tick.wait_for(lock, stop, 100ms, [] { return false; });
            if (stop.stop_requested()) break;
            const auto now = std::chrono::steady_clock::now();
            if (now >= nextCancel && report.Cancelled()) {
                database.Cancel();
                nextCancel = now + 500ms;
            }
            if (now >= nextSecond) {
                report.Elapsed(std::chrono::duration_cast<std::chrono::seconds>(now - began));
                nextSecond += 1s;
            }
        }
    }

    std::jthread thread_;  // stopped and joined with the watch
};

// What the restore statement came to, with the server's messages.
struct Ran {
    bool ok = false;
    std::vector<OdbcError> messages;
    Rows rows;  // what a query sent with it answered
    OdbcError error;
};

// Whether the database `name` is on the server: true, false, or nullopt when that cannot be told.
struct Presence {
    std::optional<bool> present;
    OdbcError error;
};
// What DB_ID's answer says.
Presence PresenceOf(const Read& read) {
    Presence p;
    if (!read.rows) {
        p.error = read.error;
        return p;
    }
    p.present = !read.rows->empty() && !read.rows->front().empty() && !read.rows->front().front().empty();
    return p;
}
Presence LookUp(Database& database, const std::string& name) {
    Presence p;
    const std::optional<Read> read = database.Run(ReadingRows("SELECT DB_ID(" + Literal(name) + ")"));
    return read ? PresenceOf(*read) : p;
}

// The state of database `name` as sys.databases gives it ("ONLINE", "RESTORING", …): empty when
// there is none (or the log-in may not see it), nullopt when that cannot be told.
struct State {
    std::optional<std::string> state;
    OdbcError error;
};
State StateOf(Database& database, const std::string& name) {
    State s;
    const std::optional<Read> read =
        database.Run(ReadingRows("SELECT state_desc FROM sys.databases WHERE name = " + Literal(name)));
    if (!read) return s;
    if (!read->rows) {
        s.error = read->error;
        return s;
    }
    s.state = read->rows->empty() || read->rows->front().empty() ? std::string() : read->rows->front().front();
    return s;
}

// After a restore that did not end well (`error`): looks for the database it may have begun and
// drops it. The name was free before the restore; a database of that name now is this restore's
// only while unfinished (not ONLINE, as a failed or cancelled restore leaves it) and when the
// server did not refuse the name as taken: another restore may have made it meanwhile. A lost
// connection is opened again first. Says in the log what it found.
enum class Left {
    Nothing,     // nothing of the restore is on the server
    Another,     // a database of that name is, which the restore did not begin: left as it is
    Complete,    // a complete database of that name is (another restore's, made meanwhile): left
    Unfinished,  // something of the restore is, or that cannot be told
};
Left CleanUp(Database& database, const RestoreServer& server, const std::string& name, const OdbcError& error,
             Report& report) {
    if (HasNative(error, {3154, 1801, 3101, 3102})) {
        report.Log(ProgramText("数据库“") + name + ProgramText("”不是这次还原建立的，没有删除它。\r\n"));
        return Left::Another;
    }
    if (ConnectionLost(error)) {
        report.Log(ProgramText("正在重新连接数据库服务器，查看是否留下了没有还原完的数据库……\r\n"));
        LoginSettings login = server.login;
        const std::optional<Opened> opened = OpenConnection(database, login, LoginPrompt::Never());
        ReleaseLoginSettings(login);
        if (!opened || !opened->ok) {
            report.Log(ProgramText("无法重新连接数据库服务器。") + (opened ? ReasonLine(opened->error) : std::string()) + "\r\n");
            return Left::Unfinished;
        }
    }
    const State found = StateOf(database, name);
    if (!found.state) {
        report.Log(ProgramText("无法查看服务器上是否留下了数据库“") + name + ProgramText("”。") + ReasonLine(found.error) + "\r\n");
        return Left::Unfinished;
    }
    if (found.state->empty()) {
        report.Log(ProgramText("服务器上没有留下数据库“") + name + ProgramText("”。\r\n"));
        return Left::Nothing;
    }
    if (*found.state == "ONLINE") {
        report.Log(ProgramText("服务器上的数据库“") + name + ProgramText("”是完整的（也许是同时进行的另一个还原建立的），没有删除它。\r\n"));
        return Left::Complete;
    }
    report.Log(ProgramText("服务器上留下了没有还原完的数据库“") + name + ProgramText("”，正在删除它……\r\n"));
    const std::optional<Executed> dropped =
        database.Run(Executing("DROP DATABASE [" + *QuoteBracketedName(name) + "]", Timeout::None(), Execution::Direct));
    if (dropped && dropped->ok) {
        report.Log(ProgramText("已删除没有还原完的数据库“") + name + ProgramText("”。\r\n"));
        return Left::Nothing;
    }
    report.Log(ProgramText("删除没有还原完的数据库“") + name + ProgramText("”失败！") +
               (dropped ? ReasonLine(dropped->error) : std::string()) + "\r\n");
    return Left::Unfinished;
}

// The restore statement, watched; the messages of a restore that ended well in the log and the
// report.
std::optional<Ran> Run(Database& database, const std::string& statement, Report& report) {
    std::optional<Ran> ran;
    {
        const RestoreWatch watch(database, report);
        ran = database.Run([statement](ODBCDB& db) {
            Ran r;
            r.ok = db.ExecuteSql(statement, Timeout::None(), Execution::Direct, r.messages, r.rows);
            if (!r.ok) r.error = db.LastError();
            return r;
        });
    }
    if (!ran || !ran->ok) return ran;  // a failure's progress says nothing
    for (const OdbcError& m : ran->messages) {
        if (const int percent = PercentOf(m); percent >= 0) {
            report.Percent(percent);
            report.Log(ProgramText("已还原") + std::to_string(percent) + "%\r\n");
        } else {
            report.Log(ProgramText("服务器：") + Untagged(m.message) + "\r\n");
        }
    }
    return ran;
}

// The database's state when the restore's statements have run, as the server says it
// ("DATABASEPROPERTYEX (Transact-SQL)", Status): from the query sent with the last of them, or,
// where a cancel between two calls has discarded its answer (a driver may treat SQLCancel then
// as SQLFreeStmt(SQL_CLOSE)), asked again. Empty when the server cannot be asked.
std::string StatusAfter(Database& database, const std::string& name, const Ran& ran) {
    if (!ran.rows.empty() && !ran.rows.back().empty())
        return ran.rows.back().front().empty() ? "NULL" : ran.rows.back().front();
    const std::optional<Read> read =
        database.Run(ReadingRows("SELECT DATABASEPROPERTYEX(" + Literal(name) + ", 'Status')"));
    if (!read || !read->rows || read->rows->empty() || read->rows->front().empty()) return {};
    const std::string status = read->rows->front().front();
    return status.empty() ? "NULL" : status;
}

Reading<BackupDescription> NoPath() {
    Reading<BackupDescription> reading;
    reading.problem = ProgramText("请填写备份文件的路径。");
    return reading;
}

std::string HeaderStatement(const std::string& path) { return "RESTORE HEADERONLY FROM DISK = " + Literal(path); }
std::string FilesStatement(const BackupDescription& backup) {
    return "RESTORE FILELISTONLY FROM DISK = " + Literal(backup.path) + " WITH FILE = " + std::to_string(backup.position);
}

// The server's refusal of the backup file at `path` as the user is told it.
Reading<BackupDescription> Refused(const Read& read, const std::string& path, const RestoreServer& server) {
    Reading<BackupDescription> reading;
    reading.error = read.error;
    reading.problem = RefusalText(read.error, path, std::string(), server) + ReasonParagraph(read.error);
    return reading;
}

// The backup at `path` as its header (RESTORE HEADERONLY) describes it, with the sets ChooseSets
// chooses for `position`; its files still to be read.
Reading<BackupDescription> FromHeader(const Read& header, const std::string& path, int position,
                                      const RestoreServer& server) {
    Reading<BackupDescription> reading;
    if (!header.rows) return Refused(header, path, server);
    std::vector<BackupSet> sets = SetsOf(header);
    if (position != 0) {
        if (std::string problem = PositionProblem(sets, position); !problem.empty()) {
            BackupDescription listed;
            listed.sets = sets;
            reading.problem = problem + "\r\n" + SetsText(listed);
            reading.refusedChoice = true;
            return reading;
        }
    }
    const std::optional<ChosenSets> chosen = ChooseSets(sets, position);
    if (!chosen) {
        reading.problem = ProgramText("备份文件“") + path + ProgramText("”中没有完整的数据库备份（只有日志备份或差异备份），不能用来还原数据库。");
        return reading;
    }
    reading.value = Describe(header, path, std::move(sets), *chosen);
    return reading;
}

// `reading` with the backup's files (RESTORE FILELISTONLY), and whether this server can restore it.
Reading<BackupDescription> WithFiles(Reading<BackupDescription> reading, const Read& files, const RestoreServer& server) {
    if (!files.rows) return Refused(files, reading.value->path, server);
    for (const std::vector<std::string>& row : *files.rows) {
        const std::string type = Cell(files.names, row, "Type");
        reading.value->files.push_back({Cell(files.names, row, "LogicalName"), type.empty() ? 'D' : type.front(),
                                        Number(Cell(files.names, row, "Size"))});
    }
    reading.problem = VersionProblem(*reading.value, server);
    return reading;
}

Restored Refuse(const std::string& name, std::string message, Report& report) {
    report.Log(message + "\r\n");
    Restored r;
    r.end = Restored::End::Refused;
    r.database = name;
    r.message = std::move(message);
    return r;
}

// The end of a restore that failed or was cancelled: what the server said, what the clean-up
// found.
// `reason`: why it failed where the server gave no error.
Restored Unfinished(Database& database, const RestoreServer& server, const BackupDescription& backup,
                    const std::string& name, const Ran& ran, bool cancelled, Report& report,
                    const std::string& reason = {}) {
    Restored r;
    r.database = name;
    r.error = WithoutProgress(ran.error);
    r.end = cancelled ? Restored::End::Cancelled : Restored::End::Failed;
    const std::string what = cancelled        ? ProgramText("还原已取消。")
                             : !reason.empty() ? ProgramText("还原失败：") + reason
                                               : ProgramText("还原失败：") + RefusalText(r.error, backup.path, name, server, &backup);
    report.Log(what + (cancelled ? std::string() : ReasonLine(r.error)) + "\r\n");
    const Left left = CleanUp(database, server, name, r.error, report);
    r.leftBehind = left == Left::Unfinished;
    r.message = what + (r.leftBehind ? ProgramText("\r\n\r\n无法确认服务器上没有留下还原了一半的数据库“") + name +
                                           ProgramText("”：请在数据库服务器恢复后查看，如果有，请删除它（它不是完整的数据库）。")
                        : left == Left::Another ? ProgramText("\r\n\r\n服务器上名为“") + name + ProgramText("”的数据库不是这次还原建立的，没有动它。")
                        : left == Left::Complete
                            ? ProgramText("\r\n\r\n服务器上有一个完整的数据库“") + name + ProgramText("”（也许是同时进行的另一个还原建立的），没有动它。")
                                                : ProgramText("\r\n\r\n服务器上没有留下数据库“") + name + ProgramText("”。"));
    return r;
}

}  // namespace

long long BackupDescription::DatabaseSize() const {
    long long size = 0;
    for (const BackedUpFile& f : files) size += f.size;
    return size;
}

std::string BackupDescription::VersionText() const {
    return ReleaseName(versionMajor, versionMinor) + ProgramText("（") + std::to_string(versionMajor) + "." +
           std::to_string(versionMinor) + "." + std::to_string(versionBuild) + ProgramText("）");
}

std::string RestoreServer::VersionText() const {
    return ReleaseName(MajorOf(productVersion), MinorOf(productVersion)) + ProgramText("（") + productVersion + ProgramText("）") + edition;
}

Reading<RestoreServer> ConnectForRestore(Database& database, LoginSettings login, LoginPrompt prompt) {
    if (std::optional<Reading<RestoreServer>> refused = LogIn(database, login, prompt)) return std::move(*refused);
    const std::optional<Read> facts = database.Run(ReadingRows(kFactsStatement));
    return FromFacts(facts ? *facts : Read{}, std::move(login));
}

Reading<BackupDescription> ReadBackup(Database& database, const RestoreServer& server, const std::string& path,
                                      int position) {
    if (path.empty()) return NoPath();
    const std::optional<Read> header = database.Run(ReadingRows(HeaderStatement(path), kReadTimeout));
    if (!header) return {};
    Reading<BackupDescription> reading = FromHeader(*header, path, position, server);
    if (!reading.value) return reading;
    const std::optional<Read> files = database.Run(ReadingRows(FilesStatement(*reading.value), kReadTimeout));
    if (!files) return {};
    return WithFiles(std::move(reading), *files, server);
}

RestoreReading ConnectAndReadBackup(Database& database, LoginSettings login, LoginPrompt prompt, const std::string& path,
                                    int position, const std::string& name) {
    RestoreReading r;
    if (path.empty()) {
        r.server = ConnectForRestore(database, std::move(login), prompt);
        r.backup = NoPath();
        return r;
    }
    if (std::optional<Reading<RestoreServer>> refused = LogIn(database, login, prompt)) {
        r.server = std::move(*refused);
        return r;
    }
    // The header last: nothing of this exchange depends on whether it fails.
    const std::optional<Batch> first =
        RunBatch(database, std::string(kFactsStatement) + "; " + HeaderStatement(path), kReadTimeout);
    if (!first) {
        ReleaseLoginSettings(login);
        return r;
    }
    Read facts;
    facts.rows.emplace();
    for (std::size_t k = 0; k < kFactsResults; ++k) {
        const Read fact = ReadOf(*first, k);
        if (fact.rows) facts.rows->insert(facts.rows->end(), fact.rows->begin(), fact.rows->end());
        else if (facts.error.Empty()) facts.error = fact.error;
    }
    r.server = FromFacts(facts, std::move(login));
    if (!r.server.value) return r;
    r.backup = FromHeader(ReadOf(*first, kFactsResults), path, position, *r.server.value);
    if (!r.backup.value) return r;
    // The name's look-up first, the file list last, for the same reason.
    const std::string lookedUp = name.empty() ? ProposedName(*r.backup.value) : name;
    const std::optional<Batch> second = RunBatch(
        database, "SELECT DB_ID(" + Literal(lookedUp) + "); " + FilesStatement(*r.backup.value), kReadTimeout);
    if (!second) {
        r.backup = {};
        return r;
    }
    r.backup = WithFiles(std::move(r.backup), ReadOf(*second, 1), *r.server.value);
    if (const Read found = ReadOf(*second, 0); r.backup.value && found.rows) {
        r.backup.value->lookedUpName = lookedUp;
        r.backup.value->lookedUpPresent = PresenceOf(found).present;
    }
    return r;
}

std::string VersionRefusal(const BackupDescription& backup, const RestoreServer& server) {
    const std::string versions =
        ProgramText("这个备份是用") + backup.VersionText() + ProgramText("做的，而这台数据库服务器是") + server.VersionText();
    if (NewerThanServer(backup, server))
        return versions + ProgramText("：SQL Server不能还原更高版本做的备份。请在同一版本或更高版本的SQL Server上还原。");
    return versions + ProgramText("：这个备份太旧，这台服务器不能直接还原它（例如SQL Server 2016及以后的版本不能还原SQL Server "
                        "2005及更早的版本做的备份）。请先在一台能还原它的中间版本的SQL Server（例如SQL Server 2008 R2）"
                        "上还原，在那里重新备份，再用新的备份在这里还原。");
}

std::string RestoreNameProblem(std::string_view name) {
    const CodePage cp = CodePage::Process();
    if (name.empty()) return ProgramText("请填写还原后的数据库名称。");
    const std::u16string units = cp.ToUtf16(name);
    if (cp.FromUtf16(units) != name)
        return ProgramText("数据库名称中有本机代码页（") + cp.Name() + ProgramText("）不能表示的字节，请重新输入数据库名称。");
    if (std::string problem = DatabaseNameProblem(name); !problem.empty()) return problem;
    if (units.size() > kMaxNameUnits)
        return ProgramText("数据库名称最长128个字符，这个名称有") + std::to_string(units.size()) + ProgramText("个。");
    if (SameDatabaseName(name, ProgramText(kTemporaryDatabase.data())))
        return ProgramText("“") + std::string(name) +
               ProgramText("”是本程序整理数据时用的临时数据库的名称：整理数据、导出数据和删除临时数据库都会把这个名称的数据库当作临时数据库"
                 "（导出后会删除它）。请换一个数据库名称。");
    for (const char* system : {"master", "tempdb", "model", "msdb"})
        if (SameDatabaseName(name, system))
            return ProgramText("“") + std::string(name) + ProgramText("”是SQL Server系统数据库的名称，不能用作还原后的数据库名称。请换一个数据库名称。");
    return {};
}

std::string ProposedName(const BackupDescription& backup) {
    if (RestoreNameProblem(backup.database).empty()) return backup.database;
    std::string file = backup.path.substr(FolderOf(backup.path).size());
    if (const std::size_t dot = file.rfind('.'); dot != std::string::npos && dot > 0) file.erase(dot);
    file = TrimBlanks(file);
    return RestoreNameProblem(file).empty() ? file : ProgramText("还原的数据库");
}

std::string RestoreNameProblem(Database& database, const RestoreServer& server, const BackupDescription& backup,
                               const std::string& name) {
    if (std::string problem = RestoreNameProblem(name); !problem.empty()) return problem;
    if (!server.seesEveryDatabase && (SameDatabaseName(name, backup.database) || SameDatabaseName(name, ProposedName(backup))))
        return ProgramText("登录用户“") + server.login.User +
               ProgramText("”不能查看服务器上所有的数据库（没有VIEW ANY DATABASE权限），看不到别人的数据库。如果服务器上已有用同一个备份还原的、"
                 "名为“") + name +
               ProgramText("”的数据库，SQL Server会直接用这个备份覆盖它，而程序无法事先发现。所以不能用备份中的数据库名称或程序建议的名称，"
                 "请输入一个新的、不会与别人的数据库重名的数据库名称。");
    const Presence found = backup.lookedUpPresent && name == backup.lookedUpName
                               ? Presence{backup.lookedUpPresent, {}}
                               : LookUp(database, name);
    if (!found.present)
        return ProgramText("无法查看服务器上是否已有数据库“") + name + ProgramText("”，所以没有还原。") + ReasonParagraph(found.error);
    if (*found.present)
        return ProgramText("服务器上已有名为“") + name + ProgramText("”的数据库。还原不会覆盖已有的数据库：请换一个数据库名称。");
    return {};
}

std::vector<FileMove> PlanFileMoves(const BackupDescription& backup, const std::string& dataFolder,
                                    std::string_view database) {
    // What follows the stem in each file's name; a full-text or FILESTREAM file's logical name in
    // it is cut to 32 characters.
    const CodePage cp = CodePage::Process();
    std::vector<std::string> endings;
    int data = 0, logs = 0, others = 0;
    for (const BackedUpFile& f : backup.files) {
        if (f.type == 'D') endings.push_back(data++ == 0 ? std::string(".mdf") : "_" + std::to_string(data) + ".ndf");
        else if (f.type == 'L') endings.push_back("_log" + (logs++ == 0 ? std::string() : std::to_string(logs)) + ".ldf");
        else endings.push_back("_" + cp.FromUtf16(cp.ToUtf16(FileStem(f.logicalName)).substr(0, 32)) + std::to_string(++others));
    }
    const std::string stem = DatabaseFileStem(database, dataFolder, endings);
    std::vector<FileMove> moves;
    for (std::size_t k = 0; k < backup.files.size(); ++k)
        moves.push_back({backup.files[k].logicalName, dataFolder + stem + endings[k]});
    return moves;
}

std::optional<std::string> BuildRestoreStatement(const BackupDescription& backup, const std::vector<FileMove>& moves,
                                                 std::string_view database, int statsPercent) {
    const std::optional<std::string> name = QuoteBracketedName(database);
    if (!name) return std::nullopt;
    std::string statement = "RESTORE DATABASE [" + *name + "] FROM DISK = " + Literal(backup.path) +
                            " WITH FILE = " + std::to_string(backup.position);
    for (const FileMove& move : moves) statement += ", MOVE " + Literal(move.logicalName) + " TO " + Literal(move.target);
    if (backup.differential > 0) statement += ", NORECOVERY";
    return statement + ", STATS = " + std::to_string(statsPercent);
}

std::optional<std::string> BuildDifferentialStatement(const BackupDescription& backup, std::string_view database,
                                                      int statsPercent) {
    const std::optional<std::string> name = QuoteBracketedName(database);
    if (!name) return std::nullopt;
    return "RESTORE DATABASE [" + *name + "] FROM DISK = " + Literal(backup.path) +
           " WITH FILE = " + std::to_string(backup.differential) + ", RECOVERY, STATS = " + std::to_string(statsPercent);
}

bool BackupSet::IsDifferentialOf(const BackupSet& full) const {
    const auto folded = [](std::string text) {
        std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
        return text;
    };
    return kind == Kind::Differential && full.kind == Kind::Full && !differentialBaseLsn.empty() &&
           folded(differentialBaseGuid) == folded(full.backupSetGuid) &&
           (differentialBaseLsn == full.firstLsn || differentialBaseLsn == full.checkpointLsn);
}

std::string BackupSet::Line() const {
    std::string kindText;
    switch (kind) {
        case Kind::Full: kindText = ProgramText("完整备份"); break;
        case Kind::Differential: kindText = ProgramText("差异备份"); break;
        case Kind::Log: kindText = ProgramText("日志备份"); break;
        case Kind::Other: kindText = ProgramText("其他备份（类型") + std::to_string(type) + ProgramText("）"); break;
    }
    return ProgramText("第") + std::to_string(position) + ProgramText("个：") + kindText + ProgramText("，数据库“") + database + ProgramText("”，") + finished +
           ProgramText("，") + SizeText(size);
}

std::optional<ChosenSets> ChooseSets(const std::vector<BackupSet>& sets, int position) {
    const BackupSet* full = nullptr;
    if (position != 0) {
        full = SetAt(sets, position);
        if (!full || full->kind != BackupSet::Kind::Full) return std::nullopt;
    } else {
        // The database whose newest backup is the file's newest, among those with a full backup
        // in it; its last full backup.
        const BackupSet* newest = nullptr;
        for (const BackupSet& set : sets) {
            const bool hasFull = std::any_of(sets.begin(), sets.end(), [&](const BackupSet& f) {
                return f.kind == BackupSet::Kind::Full && f.database == set.database;
            });
            if (hasFull && (!newest || set.finished >= newest->finished)) newest = &set;
        }
        for (const BackupSet& set : sets)
            if (newest && set.kind == BackupSet::Kind::Full && set.database == newest->database) full = &set;
    }
    if (!full) return std::nullopt;
    ChosenSets chosen{full->position, 0};
    for (const BackupSet& set : sets)
        if (set.position > full->position && set.IsDifferentialOf(*full)) chosen.differential = set.position;
    return chosen;
}

std::string PositionProblem(const std::vector<BackupSet>& sets, int position) {
    const BackupSet* set = SetAt(sets, position);
    if (!set)
        return ProgramText("备份文件中没有第") + std::to_string(position) + ProgramText("个备份集：文件中有") + std::to_string(sets.size()) +
               ProgramText("个备份集。");
    if (set->kind == BackupSet::Kind::Full) return {};
    return ProgramText("第") + std::to_string(position) + ProgramText("个备份集不是完整备份（") + set->Line() +
           ProgramText("）：请选择一个完整备份的位置，它之后的差异备份会随它一起还原。");
}

std::string SetsText(const BackupDescription& backup) {
    std::string text = ProgramText("备份文件中有") + std::to_string(backup.sets.size()) + ProgramText("个备份集：\r\n");
    for (const BackupSet& set : backup.sets) {
        text += "  " + set.Line();
        if (set.position == backup.position) text += ProgramText("（还原这个完整备份）");
        else if (set.position == backup.differential) text += ProgramText("（随后还原这个差异备份）");
        else if (set.kind == BackupSet::Kind::Log) text += ProgramText("（日志备份，不还原）");
        text += "\r\n";
    }
    return text;
}

Restored RestoreBackup(Database& database, const RestoreServer& server, const BackupDescription& backup,
                       const std::string& name, Report& report) {
    report.Log(ProgramText("准备把备份文件“") + backup.path + ProgramText("”还原为数据库“") + name + ProgramText("”……\r\n"));
    report.Log(SetsText(backup));
    if (std::string problem = VersionProblem(backup, server); !problem.empty()) return Refuse(name, problem, report);
    if (std::string problem = RestoreNameProblem(database, server, backup, name); !problem.empty()) {
        if (database.ShuttingDown()) return {};
        return Refuse(name, problem, report);
    }
    const std::vector<FileMove> moves = PlanFileMoves(backup, server.dataFolder, name);
    for (const FileMove& move : moves) report.Log(ProgramText("文件“") + move.logicalName + ProgramText("”还原到：") + move.target + "\r\n");
    if (report.Cancelled()) {
        report.Log(ProgramText("还原已取消，没有开始。\r\n"));
        return {Restored::End::Cancelled, name, ProgramText("还原已取消，没有开始。"), {}, false};
    }

    report.Log(ProgramText("正在还原数据库，请稍候……\r\n"));
    const auto began = std::chrono::steady_clock::now();
    const bool differential = backup.differential > 0;
    std::optional<Ran> ran = Run(database,
                                 *BuildRestoreStatement(backup, moves, name, kStatsPercent) +
                                     (differential ? std::string() : StatusQuery(name)),
                                 report);
    if (ran && ran->ok && differential) {
        report.Log(ProgramText("已还原完整备份，正在还原第") + std::to_string(backup.differential) + ProgramText("个备份集（差异备份）……\r\n"));
        ran = Run(database, *BuildDifferentialStatement(backup, name, kStatsPercent) + StatusQuery(name), report);
    }
    if (!ran) return {};
    const auto took = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - began);
    if (!ran->ok) return Unfinished(database, server, backup, name, *ran, report.Cancelled(), report);
    if (const std::string status = StatusAfter(database, name, *ran); status != "ONLINE") {
        if (database.ShuttingDown()) return {};
        return Unfinished(database, server, backup, name, *ran, report.Cancelled(), report,
                          ProgramText("数据库服务器没有完成还原：数据库“") + name + ProgramText("”的状态是") +
                              (status.empty() ? ProgramText("（查不到）") : status) + ProgramText("，不是ONLINE。"));
    }

    Restored r;
    r.end = Restored::End::Restored;
    r.database = name;
    r.message = ProgramText("已把备份还原为数据库“") + name + ProgramText("”，用时") + DurationText(took) + ProgramText("。");
    report.Log(r.message + "\r\n");
    return r;
}

std::string DurationText(std::chrono::seconds duration) {
    const long long m = duration.count() / 60, s = duration.count() % 60;
    char text[32];
    if (m > 0) std::snprintf(text, sizeof text, "%lld%s%02lld%s", m, ProgramText("分").c_str(), s, ProgramText("秒").c_str());
    else std::snprintf(text, sizeof text, "%lld%s", s, ProgramText("秒").c_str());
    return text;
}

std::string SizeText(long long bytes) {
    char text[32];
    const double b = static_cast<double>(bytes);
    if (bytes >= (1LL << 30)) std::snprintf(text, sizeof text, "%.2f GB", b / (1LL << 30));
    else if (bytes >= (1LL << 20)) std::snprintf(text, sizeof text, "%.1f MB", b / (1LL << 20));
    else std::snprintf(text, sizeof text, "%lld KB", (bytes + 1023) / 1024);
    return text;
}

}  // namespace tarvex
