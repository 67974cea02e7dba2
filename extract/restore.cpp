#include "restore.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <stop_token>
#include <thread>

#include "codepage.h"
#include "export.h"
#include "failure_reason.h"
#include "sqltext.h"

namespace tarvex {

namespace {

using Rows = std::vector<std::vector<std::string>>;
using namespace std::chrono_literals;

constexpr int kStatsPercent = 10;          // a progress message at every tenth
constexpr std::size_t kMaxNameUnits = 128;  // sysname: nvarchar(128)
const Timeout kReadTimeout = Timeout::Seconds(120);  // a header from a slow disk or a share

std::string P(const char* utf8) { return ProgramText(utf8); }

long long Number(const std::string& text) {
    try {
        return std::stoll(text);
    } catch (...) {
        return 0;
    }
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

// The server's refusal of a backup or a restore in the user's words: what went wrong and what to
// do about it. `path` is the backup file, `name` the new database, `server` its server.
std::string RefusalText(const OdbcError& e, const std::string& path, const std::string& name,
                        const RestoreServer& server) {
    if (ConnectionLost(e)) return P("与数据库服务器的连接断开了。");
    if (WasCancelled(e)) return P("还原已取消。");
    if (HasNative(e, {262, 3110, 229}))
        return P("登录用户“") + server.login.User +
               P("”没有创建数据库的权限（CREATE DATABASE），不能读取备份文件，也不能还原数据库。"
                 "请改用有这个权限的用户（sysadmin或dbcreator角色的成员）登录。");
    if (HasNative(e, {3201}))
        return P("数据库服务器打不开备份文件“") + path +
               P("”：文件不存在，或者服务器的服务账户没有读取它的权限。数据库服务器从它自己的磁盘上读取这个文件。");
    if (HasNative(e, {3169}))
        return P("这个备份是用更高版本的SQL Server做的，这台服务器不能还原它。");
    if (HasNative(e, {3241, 3242, 3143}))
        return P("“") + path + P("”不是这台SQL Server能读取的数据库备份文件（或者是用更高版本的SQL Server做的备份）。");
    if (HasNative(e, {3189, 3183, 3203, 3043}))
        return P("备份文件“") + path + P("”已损坏：服务器读取或校验它时发现了错误。请让被审计单位重新备份。");
    if (HasNative(e, {3154, 1801}))
        return P("服务器上已有名为“") + name + P("”的数据库，还原不会覆盖它。请换一个数据库名称。");
    if (HasNative(e, {1105, 1101, 3257}))
        return P("数据库服务器的磁盘空间不足，放不下还原后的数据库。");
    if (HasNative(e, {1827, 1828}))
        return P("还原后的数据库超出了这个SQL Server版本允许的大小（Express版每个数据库最多10 GB）。");
    if (HasNative(e, {3142, 3176, 3156, 5133, 3634, 3119}))
        return P("数据库服务器不能在数据文件夹“") + server.dataFolder +
               P("”中创建新数据库的文件：文件夹不存在、服务器的服务账户不能写入它，或者那里已有同名的文件。");
    return P("数据库服务器未能完成这一步。");
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

// The new database's name as the stem of its files' names: what a file name cannot hold becomes
// "_", and the blanks and dots Windows drops at a name's end go.
std::string FileStem(std::string_view database) {
    std::string stem = FileNamePart(database);
    while (!stem.empty() && (stem.back() == ' ' || stem.back() == '.')) stem.pop_back();
    return stem.empty() ? "database" : stem;
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

// Why this server cannot restore a backup made by a newer one; empty when it can.
std::string VersionProblem(const BackupDescription& backup, const RestoreServer& server) {
    const int major = MajorOf(server.productVersion), minor = MinorOf(server.productVersion);
    if (major == 0 || std::pair(backup.versionMajor, backup.versionMinor) <= std::pair(major, minor)) return {};
    return P("这个备份是用") + backup.VersionText() + P("做的，而这台数据库服务器是") + server.VersionText() +
           P("：SQL Server不能还原更高版本做的备份。请在同一版本或更高版本的SQL Server上还原。");
}

std::string Literal(std::string_view text) { return "N'" + QuoteLiteralText(text) + "'"; }

// The header's sets: the last full database backup (BackupType 1) of the file.
std::optional<BackupDescription> FromHeader(const Read& header, const std::string& path) {
    BackupDescription d;
    d.path = path;
    d.sets = static_cast<int>(header.rows->size());
    for (const std::vector<std::string>& row : *header.rows) {
        if (Cell(header.names, row, "BackupType") != "1") continue;
        d.position = static_cast<int>(Number(Cell(header.names, row, "Position")));
        d.database = Cell(header.names, row, "DatabaseName");
        d.finished = Cell(header.names, row, "BackupFinishDate").substr(0, 19);
        d.serverName = Cell(header.names, row, "ServerName");
        d.versionMajor = static_cast<int>(Number(Cell(header.names, row, "SoftwareVersionMajor")));
        d.versionMinor = static_cast<int>(Number(Cell(header.names, row, "SoftwareVersionMinor")));
        d.versionBuild = static_cast<int>(Number(Cell(header.names, row, "SoftwareVersionBuild")));
        d.backupSize = Number(Cell(header.names, row, "BackupSize"));
    }
    if (d.position <= 0) return std::nullopt;
    return d;
}

// While the restore statement runs: the time it has taken, for the report every second, and a
// cancel the report asks for, passed on to the server (again every half second, for one that came
// just before the statement reached the driver).
class RestoreWatch {
public:
    RestoreWatch(Database& database, RestoreReport& report)
        : thread_([&database, &report](std::stop_token stop) { Watch(stop, database, report); }) {}

private:
    static void Watch(const std::stop_token& stop, Database& database, RestoreReport& report) {
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
    OdbcError error;
};

// Whether the database `name` is on the server: true, false, or nullopt when that cannot be told.
struct Presence {
    std::optional<bool> present;
    OdbcError error;
};
Presence LookUp(Database& database, const std::string& name) {
    Presence p;
    const std::optional<Read> read = database.Run(ReadingRows("SELECT DB_ID(" + Literal(name) + ")"));
    if (!read) return p;
    if (!read->rows) {
        p.error = read->error;
        return p;
    }
    p.present = !read->rows->empty() && !read->rows->front().empty() && !read->rows->front().front().empty();
    return p;
}

// After a restore that did not end well: looks for the database it may have begun and drops it.
// A lost connection is opened again first. Says in the log what it found; true when nothing of
// the restore is left on the server, false when something is or that cannot be told.
bool CleanUp(Database& database, const RestoreServer& server, const std::string& name, bool connectionLost,
             RestoreReport& report) {
    if (connectionLost) {
        report.Log(P("正在重新连接数据库服务器，查看是否留下了没有还原完的数据库……\r\n"));
        LoginSettings login = server.login;
        const std::optional<Opened> opened = OpenConnection(database, login, LoginPrompt::Never());
        ReleaseLoginSettings(login);
        if (!opened || !opened->ok) {
            report.Log(P("无法重新连接数据库服务器。") + (opened ? ReasonLine(opened->error) : std::string()) + "\r\n");
            return false;
        }
    }
    const Presence found = LookUp(database, name);
    if (!found.present) {
        report.Log(P("无法查看服务器上是否留下了数据库“") + name + P("”。") + ReasonLine(found.error) + "\r\n");
        return false;
    }
    if (!*found.present) {
        report.Log(P("服务器上没有留下数据库“") + name + P("”。\r\n"));
        return true;
    }
    report.Log(P("服务器上留下了没有还原完的数据库“") + name + P("”，正在删除它……\r\n"));
    const std::optional<Executed> dropped =
        database.Run(Executing("DROP DATABASE [" + *QuoteBracketedName(name) + "]", Timeout::None(), Execution::Direct));
    if (dropped && dropped->ok) {
        report.Log(P("已删除没有还原完的数据库“") + name + P("”。\r\n"));
        return true;
    }
    report.Log(P("删除没有还原完的数据库“") + name + P("”失败！") +
               (dropped ? ReasonLine(dropped->error) : std::string()) + "\r\n");
    return false;
}

// The restore statement, watched; the messages of a restore that ended well in the log and the
// report.
std::optional<Ran> Run(Database& database, const std::string& statement, RestoreReport& report) {
    std::optional<Ran> ran;
    {
        const RestoreWatch watch(database, report);
        ran = database.Run([statement](ODBCDB& db) {
            Ran r;
            r.ok = db.ExecuteSql(statement, Timeout::None(), Execution::Direct, r.messages);
            if (!r.ok) r.error = db.LastError();
            return r;
        });
    }
    if (!ran || !ran->ok) return ran;  // a failure's progress says nothing
    for (const OdbcError& m : ran->messages) {
        if (const int percent = PercentOf(m); percent >= 0) {
            report.Percent(percent);
            report.Log(P("已还原") + std::to_string(percent) + "%\r\n");
        } else {
            report.Log(P("服务器：") + Untagged(m.message) + "\r\n");
        }
    }
    return ran;
}

Restored Refuse(const std::string& name, std::string message, RestoreReport& report) {
    report.Log(message + "\r\n");
    Restored r;
    r.end = Restored::End::Refused;
    r.database = name;
    r.message = std::move(message);
    return r;
}

// The end of a restore that failed or was cancelled: what the server said, what the clean-up
// found.
Restored Unfinished(Database& database, const RestoreServer& server, const BackupDescription& backup,
                    const std::string& name, const Ran& ran, bool cancelled, RestoreReport& report) {
    Restored r;
    r.database = name;
    r.error = WithoutProgress(ran.error);
    r.end = cancelled ? Restored::End::Cancelled : Restored::End::Failed;
    const std::string what = cancelled ? P("还原已取消。") : P("还原失败：") + RefusalText(r.error, backup.path, name, server);
    report.Log(what + (cancelled ? std::string() : ReasonLine(r.error)) + "\r\n");
    r.leftBehind = !CleanUp(database, server, name, ConnectionLost(r.error), report);
    r.message = what + (r.leftBehind ? P("\r\n\r\n无法确认服务器上没有留下还原了一半的数据库“") + name +
                                           P("”：请在数据库服务器恢复后查看，如果有，请删除它（它不是完整的数据库）。")
                                     : P("\r\n\r\n服务器上没有留下数据库“") + name + P("”。"));
    return r;
}

}  // namespace

long long BackupDescription::DatabaseSize() const {
    long long size = 0;
    for (const BackedUpFile& f : files) size += f.size;
    return size;
}

std::string BackupDescription::VersionText() const {
    return ReleaseName(versionMajor, versionMinor) + P("（") + std::to_string(versionMajor) + "." +
           std::to_string(versionMinor) + "." + std::to_string(versionBuild) + P("）");
}

std::string RestoreServer::VersionText() const {
    return ReleaseName(MajorOf(productVersion), MinorOf(productVersion)) + P("（") + productVersion + P("）") + edition;
}

Reading<RestoreServer> ConnectForRestore(Database& database, LoginSettings login, LoginPrompt prompt) {
    Reading<RestoreServer> reading;
    login.Database = "master";
    const std::optional<Opened> opened = OpenConnection(database, login, prompt);
    if (!opened || !opened->ok) {
        reading.problem = P("连接") + login.Server + P("服务器失败。请查看服务器名称、用户名称和密码是否正确。");
        if (opened) reading.error = opened->error;
        ReleaseLoginSettings(login);
        return reading;
    }
    const std::optional<Read> facts = database.Run(ReadingRows(
        "SELECT CAST(SERVERPROPERTY('InstanceDefaultDataPath') AS nvarchar(128)), "
        "CAST(SERVERPROPERTY('ProductVersion') AS nvarchar(128)), CAST(SERVERPROPERTY('Edition') AS nvarchar(128)); "
        "SELECT physical_name FROM master.sys.master_files WHERE database_id = 1 AND file_id = 1"));
    RestoreServer server;
    for (const std::vector<std::string>& row : facts && facts->rows ? *facts->rows : Rows{}) {
        if (row.size() == 3) {
            server.dataFolder = row[0];
            server.productVersion = row[1];
            server.edition = row[2];
        } else if (row.size() == 1 && server.dataFolder.empty()) {
            server.dataFolder = FolderOf(row[0]);
        }
    }
    server.dataFolder = WithSeparator(server.dataFolder);
    if (server.dataFolder.empty()) {
        reading.problem = P("读不出数据库服务器存放数据库文件的文件夹。");
        if (facts) reading.error = facts->error;
        ReleaseLoginSettings(login);
        return reading;
    }
    server.login = std::move(login);
    reading.value = std::move(server);
    return reading;
}

Reading<BackupDescription> ReadBackup(Database& database, const RestoreServer& server, const std::string& path) {
    Reading<BackupDescription> reading;
    if (path.empty()) {
        reading.problem = P("请填写备份文件的路径。");
        return reading;
    }
    const auto failed = [&](const Read& read) {
        reading.error = read.error;
        reading.problem = RefusalText(read.error, path, std::string(), server) + ReasonParagraph(read.error);
        return reading;
    };
    const std::optional<Read> header =
        database.Run(ReadingRows("RESTORE HEADERONLY FROM DISK = " + Literal(path), kReadTimeout));
    if (!header) return reading;
    if (!header->rows) return failed(*header);
    std::optional<BackupDescription> backup = FromHeader(*header, path);
    if (!backup) {
        reading.problem = P("备份文件“") + path + P("”中没有完整的数据库备份（只有日志备份或差异备份），不能用来还原数据库。");
        return reading;
    }
    const std::optional<Read> files = database.Run(ReadingRows(
        "RESTORE FILELISTONLY FROM DISK = " + Literal(path) + " WITH FILE = " + std::to_string(backup->position),
        kReadTimeout));
    if (!files) return reading;
    if (!files->rows) return failed(*files);
    for (const std::vector<std::string>& row : *files->rows) {
        const std::string type = Cell(files->names, row, "Type");
        backup->files.push_back({Cell(files->names, row, "LogicalName"), type.empty() ? 'D' : type.front(),
                                 Number(Cell(files->names, row, "Size"))});
    }
    reading.problem = VersionProblem(*backup, server);
    reading.value = std::move(backup);
    return reading;
}

std::string RestoreNameProblem(std::string_view name) {
    const CodePage cp = CodePage::Process();
    if (name.empty()) return P("请填写还原后的数据库名称。");
    const std::u16string units = cp.ToUtf16(name);
    if (cp.FromUtf16(units) != name)
        return P("数据库名称中有本机代码页（") + cp.Name() + P("）不能表示的字节，请重新输入数据库名称。");
    if (std::string problem = DatabaseNameProblem(name); !problem.empty()) return problem;
    if (units.size() > kMaxNameUnits)
        return P("数据库名称最长128个字符，这个名称有") + std::to_string(units.size()) + P("个。");
    return {};
}

std::string RestoreNameProblem(Database& database, const std::string& name) {
    if (std::string problem = RestoreNameProblem(name); !problem.empty()) return problem;
    const Presence found = LookUp(database, name);
    if (!found.present)
        return P("无法查看服务器上是否已有数据库“") + name + P("”，所以没有还原。") + ReasonParagraph(found.error);
    if (*found.present)
        return P("服务器上已有名为“") + name + P("”的数据库。还原不会覆盖已有的数据库：请换一个数据库名称。");
    return {};
}

std::vector<FileMove> PlanFileMoves(const BackupDescription& backup, const std::string& dataFolder,
                                    std::string_view database) {
    const std::string stem = FileStem(database);
    std::vector<FileMove> moves;
    int data = 0, logs = 0, others = 0;
    for (const BackedUpFile& f : backup.files) {
        std::string file;
        if (f.type == 'D') file = stem + (data++ == 0 ? std::string(".mdf") : "_" + std::to_string(data) + ".ndf");
        else if (f.type == 'L') file = stem + "_log" + (logs++ == 0 ? std::string() : std::to_string(logs)) + ".ldf";
        else file = stem + "_" + FileStem(f.logicalName) + std::to_string(++others);
        moves.push_back({f.logicalName, dataFolder + file});
    }
    return moves;
}

std::optional<std::string> BuildRestoreStatement(const BackupDescription& backup, const std::vector<FileMove>& moves,
                                                 std::string_view database, int statsPercent) {
    const std::optional<std::string> name = QuoteBracketedName(database);
    if (!name) return std::nullopt;
    std::string statement = "RESTORE DATABASE [" + *name + "] FROM DISK = " + Literal(backup.path) +
                            " WITH FILE = " + std::to_string(backup.position);
    for (const FileMove& move : moves) statement += ", MOVE " + Literal(move.logicalName) + " TO " + Literal(move.target);
    return statement + ", STATS = " + std::to_string(statsPercent);
}

Restored RestoreBackup(Database& database, const RestoreServer& server, const BackupDescription& backup,
                       const std::string& name, RestoreReport& report) {
    report.Log(P("准备把备份文件“") + backup.path + P("”还原为数据库“") + name + P("”……\r\n"));
    if (std::string problem = VersionProblem(backup, server); !problem.empty()) return Refuse(name, problem, report);
    if (std::string problem = RestoreNameProblem(database, name); !problem.empty()) {
        if (database.ShuttingDown()) return {};
        return Refuse(name, problem, report);
    }
    const std::vector<FileMove> moves = PlanFileMoves(backup, server.dataFolder, name);
    for (const FileMove& move : moves) report.Log(P("文件“") + move.logicalName + P("”还原到：") + move.target + "\r\n");
    if (report.Cancelled()) {
        report.Log(P("还原已取消，没有开始。\r\n"));
        return {Restored::End::Cancelled, name, P("还原已取消，没有开始。"), {}, false};
    }

    report.Log(P("正在还原数据库，请稍候……\r\n"));
    const auto began = std::chrono::steady_clock::now();
    const std::optional<Ran> ran = Run(database, *BuildRestoreStatement(backup, moves, name, kStatsPercent), report);
    if (!ran) return {};
    const auto took = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - began);
    if (!ran->ok) return Unfinished(database, server, backup, name, *ran, report.Cancelled(), report);

    Restored r;
    r.end = Restored::End::Restored;
    r.database = name;
    r.message = P("已把备份还原为数据库“") + name + P("”，用时") + DurationText(took) + P("。");
    report.Log(r.message + "\r\n");
    return r;
}

std::string DurationText(std::chrono::seconds duration) {
    const long long m = duration.count() / 60, s = duration.count() % 60;
    char text[32];
    if (m > 0) std::snprintf(text, sizeof text, "%lld%s%02lld%s", m, P("分").c_str(), s, P("秒").c_str());
    else std::snprintf(text, sizeof text, "%lld%s", s, P("秒").c_str());
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
