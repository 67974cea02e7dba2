#pragma once
// The SQL side of the SQL Server stand-in: the databases of a data directory, each one SQLite
// file, and the sessions that run statements on them with SQL Server's semantics for the subset
// the tool sends. Knows nothing of TDS; the protocol side (server.h) turns what a session
// reports through a ResultSink into tokens.
//
// All texts here (statements, names, values, messages) are UTF-8.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace standin {

// Column types as SQL Server would describe them. Char, UniqueIdentifier, VarBinary and
// Variant (sql_variant) only describe what the server itself answers (backup headers,
// SERVERPROPERTY); tables never have them.
enum class SqlType {
    VarChar, NVarChar, Int, BigInt, SmallInt, TinyInt, Bit, Float, Real, Decimal, DateTime,
    Char, UniqueIdentifier, VarBinary, Variant
};

struct ColumnInfo {
    std::string name;
    SqlType type = SqlType::VarChar;
    int length = 0;     // VarChar, Char, VarBinary: length in bytes (1..8000); NVarChar: in characters (1..4000)
    int precision = 0;  // Decimal
    int scale = 0;      // Decimal
    bool nullable = true;
};

struct Value {
    enum class Kind { Null, Integer, Real, Text };
    Kind kind = Kind::Null;
    std::int64_t integer = 0;
    double real = 0;
    // Text values; decimals as their decimal text ("1234.50"), datetimes as
    // "YYYY-MM-DD hh:mm:ss.fff", uniqueidentifiers as "6F9619FF-8B86-D011-B42D-00C04FC964FF",
    // varbinary as the bytes themselves.
    std::string text;

    static Value Null() { return {}; }
    static Value Int(std::int64_t v) { Value x; x.kind = Kind::Integer; x.integer = v; return x; }
    static Value Float(double v) { Value x; x.kind = Kind::Real; x.real = v; return x; }
    static Value Text(std::string v) { Value x; x.kind = Kind::Text; x.text = std::move(v); return x; }
};

// An ERROR (severity above 10) or INFO (10 or below) message, as SQL Server numbers them.
struct Message {
    int number = 0;
    int state = 1;
    int severity = 16;
    std::string text;
    int line = 1;
    bool IsError() const { return severity > 10; }
};

// Receives what one batch produces, statement by statement, in order.
class ResultSink {
public:
    virtual ~ResultSink() = default;
    virtual void OnMessage(const Message& message) = 0;
    // A result set begins; rows follow.
    virtual void OnColumns(const std::vector<ColumnInfo>& columns) = 0;
    virtual void OnRow(const std::vector<Value>& row) = 0;
    // One statement has ended. rowCount < 0: no count to report.
    virtual void OnStatementDone(bool failed, std::int64_t rowCount) = 0;
    // What was reported so far should reach the client now, not only with what follows: a long
    // statement's progress messages.
    virtual void Flush() {}
    // Another statement of the batch begins: the ones before it have ended, and what they
    // reported (their DONE last) should reach the client now, so that it can read each
    // statement's count as the statement completes.
    virtual void NextStatement() {}
    // A procedure called by EXEC has ended, after its messages, with its return status. Unless
    // a sink tells procedures apart, it is the end of a statement without a count.
    virtual void OnProcedureDone(bool failed, int returnStatus) {
        (void)returnStatus;
        OnStatementDone(failed, -1);
    }
    // A statement that a procedure ran (EXEC sp_executesql) has ended. Unless a sink tells them
    // apart (TDS ends them with DONEINPROC), it is the end of a statement.
    virtual void OnStatementDoneInProcedure(bool failed, std::int64_t rowCount) { OnStatementDone(failed, rowCount); }
    // The session's current database, as its client is to know it, has become `database`: by a
    // USE (before its message 5701), or because a procedure call in which it changed has
    // returned. It may be the one the client knows already.
    virtual void OnDatabaseChange(const std::string& database) { (void)database; }
};

class Session;

// The databases of one data directory. Thread-safe; shared by all sessions of a server.
class Engine {
public:
    // Where the paths of a Windows drive lie in this file system: under wine the tool's folder
    // is Z:\..., and Z: is "/", so {'Z', "/"} makes a backup to Z:\dir\x.bak land in
    // /dir/x.bak. Below the directory, names are written in `charset` (an iconv name; empty:
    // UTF-8, as the statement has them): wine, in a GBK locale, reads and writes the Unix names
    // of the files its programs see in GBK, so with "GBK" the stand-in's backup of
    // Z:\dir\演示账套.bak is the file the program finds there.
    struct MappedDrive {
        MappedDrive(std::filesystem::path directory, std::string charset = {})
            : root(std::move(directory)), charset(std::move(charset)) {}
        std::filesystem::path root;
        std::string charset;
    };
    // By upper-case drive letter. Paths on drives not listed stay as written.
    using DriveMap = std::map<char, MappedDrive>;

    // What the server is and allows beyond its databases.
    struct Settings {
        // The log-in holds the CREATE DATABASE permission (as sysadmin or dbcreator do): it may
        // create and restore databases and read backup headers.
        bool mayCreateDatabases = true;
        // The log-in has VIEW ANY DATABASE (granted to public by default). false: it is denied,
        // so the log-in is no sysadmin (whose permissions are not checked) and sees only master,
        // tempdb and the databases it owns ("VIEW ANY DATABASE permission"): DB_ID and
        // sys.databases hide the others.
        bool viewAnyDatabase = true;
        // SERVERPROPERTY('InstanceDefaultDataPath') names the default data folder; false: NULL,
        // as servers before SQL Server 2012 answer.
        bool reportsDefaultDataPath = true;
        // Each progress step of a restore lasts at least this long, so that tests can watch
        // the progress and stop a restore under way.
        std::chrono::milliseconds restoreStepDelay{0};
        // CREATE DATABASE takes at least this long (a server whose disk is slow to make the
        // files). It runs to its end once begun: an attention that comes meanwhile is answered
        // after it, the database made (MS-TDS 3.3.5.9: an attention after the request has
        // executed cancels nothing; the client discards the reply and reports the cancel).
        std::chrono::milliseconds createDatabaseDelay{0};
        // A server on another computer: the backup files it names by absolute paths lie on its
        // own disk, here under this folder ("/srv/b/x.bak" is <ownDisk>/srv/b/x.bak), where the
        // client cannot read them. Empty: on this machine's file system.
        std::filesystem::path ownDisk{};
        // The server's `user options` (sp_configure): the SET options every new session starts
        // with, as bits of @@OPTIONS; of them the stand-in follows NOCOUNT (kNoCountOption).
        int userOptions = 0;
    };
    static constexpr int kNoCountOption = 512;

    // Throws std::invalid_argument when a drive's charset is unknown to iconv.
    explicit Engine(std::filesystem::path dataDir, DriveMap drives = {});
    Engine(std::filesystem::path dataDir, DriveMap drives, Settings settings);
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    bool DatabaseExists(std::string_view name) const;

    // A session of log-in `login` whose current database is `database` ("master" when empty).
    // Fails with SQL Server's message 4060 when that database does not exist.
    std::unique_ptr<Session> OpenSession(std::string_view database, Message* error, std::string_view login = "sa");

    // The samples of the restored accounting database "2016年乡镇数据采集" (sample.cpp describes
    // each): the default one, three units; the township one, thirteen units over five years, for
    // converting many account sets in one go.
    enum class Sample { Default, Township };

    // Writes that database as `sample` has it, replacing any before; scale multiplies the voucher
    // rows.
    static void CreateSample(const std::filesystem::path& dataDir, int scale, Sample sample = Sample::Default);

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// One connection's view: its current database, and the statements it runs.
class Session {
public:
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    std::string CurrentDatabase() const;

    // Runs a batch of one or more statements and reports each through the sink. Returns false
    // when Interrupt() stopped it; then nothing more is reported for the batch. USE reports
    // INFO 5701 ("Changed database context to '%s'."); CurrentDatabase() has the new name by
    // then.
    bool Execute(std::string_view sql, ResultSink& sink);

    // Runs statements as a procedure call runs them (sp_executesql, sp_prepexec, sp_execute,
    // sp_cursoropen): as Execute, except that a database change among them lasts only until the
    // call returns. The session is then back in the database it was in (the sink hears of it
    // through OnDatabaseChange), which counts as in use all the while.
    bool ExecuteInCall(std::string_view sql, ResultSink& sink);

    // Callable from any thread: stops the statement running now (or the next one to start)
    // as soon as it can. An interrupt that nothing took stays pending until a batch takes it;
    // an empty batch takes it without stopping anything.
    void Interrupt();

    struct Impl;
    explicit Session(std::unique_ptr<Impl> impl);

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace standin
