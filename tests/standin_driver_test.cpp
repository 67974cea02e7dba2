// The stand-in through the real driver: unixODBC and FreeTDS's ODBC driver over loopback, with
// the ODBC 2 calls the tool makes. Runs once in each code page the tool meets (LC_ALL).

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <future>
#include <thread>

#include "backup_contents.h"
#include "standin_odbc.h"
#include "standin_process.h"
#include "test_files.h"

namespace {

using namespace standintest;
using testsupport::BackupContents;
using testsupport::StandinProcess;

const std::string kSample = "2016年乡镇数据采集";

// Rows straight from a database file of the stand-in, for comparison.
std::vector<Row> SqliteRows(const std::filesystem::path& file, const std::string& sql) {
    sqlite3* raw = nullptr;
    if (sqlite3_open_v2(file.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(raw);
        throw std::runtime_error("cannot open " + file.string());
    }
    const std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(raw, sqlite3_close);
    // The stand-in may still be closing the session of a client that has just gone, which locks
    // the file a moment.
    sqlite3_busy_timeout(db.get(), 10000);
    sqlite3_stmt* rawStmt = nullptr;
    if (sqlite3_prepare_v2(db.get(), sql.c_str(), -1, &rawStmt, nullptr) != SQLITE_OK)
        throw std::runtime_error(sqlite3_errmsg(db.get()));
    const std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> stmt(rawStmt, sqlite3_finalize);
    std::vector<Row> rows;
    while (sqlite3_step(stmt.get()) == SQLITE_ROW) {
        Row row;
        for (int c = 0; c < sqlite3_column_count(stmt.get()); ++c) {
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt.get(), c));
            if (text) {
                row.emplace_back(text);
            } else {
                row.emplace_back();
            }
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

std::vector<Row> Sorted(std::vector<Row> rows) {
    std::sort(rows.begin(), rows.end());
    return rows;
}

class StandinDriver : public testing::Test {
protected:
    static void SetUpTestSuite() { server_ = std::make_unique<StandinProcess>(); }
    static void TearDownTestSuite() { server_.reset(); }

    static StandinProcess& Server() { return *server_; }

    // A connection to `database`, failing the test when it cannot be made.
    static std::unique_ptr<Client> Connect(const std::string& database = kSample) {
        auto client = std::make_unique<Client>();
        const SQLRETURN rc = client->Connect(ToolConnectionString(Server().Port(), database));
        EXPECT_TRUE(SQL_SUCCEEDED(rc)) << Describe(client->Errors());
        return client;
    }

    // Runs `sql` as the tool's ExecuteSql does (prepared, forward-only) and expects success.
    static void Exec(const Client& client, const std::string& sql) {
        Statement s(client);
        const SQLRETURN rc = s.Run(sql);
        ASSERT_TRUE(SQL_SUCCEEDED(rc)) << sql << "\n" << Describe(s.Errors());
    }

    // The rows of `sql` through a static cursor, as the tool's OpenTable reads them.
    static std::vector<Row> Query(const Client& client, const std::string& sql) {
        Statement s(client);
        s.UseStaticCursor();
        const SQLRETURN rc = s.Run(sql);
        EXPECT_TRUE(SQL_SUCCEEDED(rc)) << sql << "\n" << Describe(s.Errors());
        return s.FetchAll();
    }

    // The native errors of a failed statement, run through the path given.
    enum class Path { Batch, Prepared, Cursor };
    static std::vector<Diagnostic> Failure(const Client& client, const std::string& sql, Path path) {
        Statement s(client);
        if (path == Path::Cursor) s.UseStaticCursor();
        const SQLRETURN rc = path == Path::Batch ? s.ExecDirect(sql) : s.Run(sql);
        EXPECT_EQ(rc, SQL_ERROR) << sql;
        return s.Errors();
    }

    static inline std::unique_ptr<StandinProcess> server_;
};

TEST_F(StandinDriver, ConnectsWithTheToolsConnectionStringAndReportsADoubleQuote) {
    const std::unique_ptr<Client> client = Connect();
    SQLCHAR quote[8] = {};
    SQLSMALLINT length = 0;
    ASSERT_TRUE(SQL_SUCCEEDED(SQLGetInfo(client->Dbc(), SQL_IDENTIFIER_QUOTE_CHAR, quote, sizeof quote, &length)));
    EXPECT_STREQ(reinterpret_cast<char*>(quote), "\"");
    SQLUSMALLINT api = 0;
    SQLGetInfo(client->Dbc(), SQL_ODBC_API_CONFORMANCE, &api, sizeof api, nullptr);
    EXPECT_GE(api, SQL_OAC_LEVEL1);
    SQLCHAR dbms[64] = {};
    SQLGetInfo(client->Dbc(), SQL_DBMS_NAME, dbms, sizeof dbms, &length);
    EXPECT_STREQ(reinterpret_cast<char*>(dbms), "Microsoft SQL Server");
}

TEST_F(StandinDriver, StaticCursorQueryGivesTheRowsAndTheirCount) {
    const std::unique_ptr<Client> client = Connect("master");
    const std::string sql =
        "select hsdwdm,ztbh,ztmc from \"" + kSample + "\".\"dbo\".\"GL_Ztcs\" where kjnd='2016' and ztmc like '%账套'";
    Statement s(*client);
    s.UseStaticCursor();
    ASSERT_TRUE(SQL_SUCCEEDED(s.Run(sql))) << Describe(s.Errors());
    const std::vector<Row> rows = s.FetchAll();
    const std::vector<Row> expected = SqliteRows(Server().DataDir() / (kSample + ".sqlite"),
                                                 "select hsdwdm,ztbh,ztmc from GL_Ztcs where kjnd='2016' and ztmc like '%账套'");
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(Sorted(rows), Sorted(expected));
    EXPECT_EQ(s.RowCount(), static_cast<SQLLEN>(expected.size()));
    EXPECT_EQ(s.MoreResults(), SQL_NO_DATA);
}

TEST_F(StandinDriver, StaticCursorScrollsLikeSqlServers) {
    const std::unique_ptr<Client> client = Connect("master");
    Exec(*client, "create table scroll_rows (n int)");
    Exec(*client, "insert into scroll_rows values (1),(2),(3),(4),(5)");
    Statement s(*client);
    s.UseStaticCursor();
    ASSERT_TRUE(SQL_SUCCEEDED(s.Run("select n from scroll_rows"))) << Describe(s.Errors());
    const auto at = [&](SQLUSMALLINT orientation, SQLLEN offset = 0) -> std::string {
        const std::optional<Row> row = s.Fetch(orientation, offset);
        return row ? row->at(0).value_or("NULL") : "none";
    };
    EXPECT_EQ(at(SQL_FETCH_NEXT), "1");
    EXPECT_EQ(at(SQL_FETCH_NEXT), "2");
    EXPECT_EQ(at(SQL_FETCH_LAST), "5");
    EXPECT_EQ(at(SQL_FETCH_PRIOR), "4");
    EXPECT_EQ(at(SQL_FETCH_FIRST), "1");
    EXPECT_EQ(at(SQL_FETCH_ABSOLUTE, 3), "3");
    EXPECT_EQ(at(SQL_FETCH_RELATIVE, 2), "5");
    EXPECT_EQ(at(SQL_FETCH_ABSOLUTE, -2), "4");
    EXPECT_EQ(at(SQL_FETCH_NEXT), "5");
    EXPECT_EQ(at(SQL_FETCH_NEXT), "none");
    EXPECT_EQ(at(SQL_FETCH_PRIOR), "5");
}

TEST_F(StandinDriver, PreparedSelectIntoCopiesBetweenDatabasesWithItsRowCount) {
    const std::unique_ptr<Client> client = Connect();
    Exec(*client, "create database Tarvex数据整理");
    const std::string copy = "select hsdwdm,ztbh,ztmc,kjnd into \"Tarvex数据整理\".\"dbo\".\"GL_Ztcs\" from \"" + kSample +
                             "\".\"dbo\".\"GL_Ztcs\" where hsdwdm='002'";
    Statement s(*client);
    ASSERT_TRUE(SQL_SUCCEEDED(s.Run(copy))) << Describe(s.Errors());
    const std::vector<Row> expected =
        SqliteRows(Server().DataDir() / (kSample + ".sqlite"), "select hsdwdm,ztbh,ztmc,kjnd from GL_Ztcs where hsdwdm='002'");
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(s.RowCount(), static_cast<SQLLEN>(expected.size()));
    EXPECT_EQ(Sorted(Query(*client, "select hsdwdm,ztbh,ztmc,kjnd from \"Tarvex数据整理\".\"dbo\".\"GL_Ztcs\"")),
              Sorted(expected));

    // The tool sends most copies through a static cursor: executed directly, no cursor, no rows.
    Statement viaCursor(*client);
    viaCursor.UseStaticCursor();
    const std::string second = "select ztbh,ztmc into \"Tarvex数据整理\".\"dbo\".\"GL_Ztcs2\" from \"" + kSample +
                               "\".\"dbo\".\"GL_Ztcs\" where hsdwdm='001'";
    ASSERT_EQ(viaCursor.Run(second), SQL_SUCCESS) << Describe(viaCursor.Errors());
    const std::size_t unit1 = SqliteRows(Server().DataDir() / (kSample + ".sqlite"),
                                         "select 1 from GL_Ztcs where hsdwdm='001'").size();
    EXPECT_EQ(viaCursor.RowCount(), static_cast<SQLLEN>(unit1));
    EXPECT_EQ(Query(*client, "select ztbh from \"Tarvex数据整理\".\"dbo\".\"GL_Ztcs2\"").size(), unit1);

    const std::vector<std::string> log = Server().Statements();
    EXPECT_NE(std::find(log.begin(), log.end(), copy), log.end());
    EXPECT_NE(std::find(log.begin(), log.end(), second), log.end());
}

// The count of a select-into reaches SQLRowCount whichever way the statement travels: as a
// batch (DONE) or through sp_prepexec or sp_cursoropen (DONEINPROC), narrow or wide. CREATE
// DATABASE reports none.
TEST_F(StandinDriver, SqlRowCountGivesTheRowsEachStatementTouched) {
    const std::unique_ptr<Client> client = Connect();
    Exec(*client, "create database counted");
    const std::string source = "\"" + kSample + "\".\"dbo\".\"GL_Ztcs\"";
    const std::filesystem::path sourceFile = Server().DataDir() / (kSample + ".sqlite");
    const SQLLEN unit1 = static_cast<SQLLEN>(SqliteRows(sourceFile, "select 1 from GL_Ztcs where hsdwdm='001'").size());
    ASSERT_GT(unit1, 0);
    enum class Way { Batch, BatchW, Prepared, PreparedW, Cursor };
    struct Case {
        Way way;
        std::string sql;
        SQLLEN rows;
    };
    const auto copy = [&](int n, const std::string& unit) {
        return "select ztbh,ztmc into \"counted\".\"dbo\".\"t" + std::to_string(n) + "\" from " + source +
               " where hsdwdm='" + unit + "'";
    };
    const std::vector<Case> cases = {
        {Way::Batch, copy(1, "001"), unit1},
        {Way::BatchW, copy(2, "001"), unit1},
        {Way::Prepared, copy(3, "001"), unit1},
        {Way::PreparedW, copy(4, "001"), unit1},
        {Way::Cursor, copy(5, "001"), unit1},
        {Way::Prepared, copy(6, "no such unit"), 0},
        {Way::Prepared, "create database counted_too", -1},
    };
    for (const Case& c : cases) {
        Statement s(*client);
        if (c.way == Way::Cursor) s.UseStaticCursor();
        SQLRETURN rc = SQL_ERROR;
        switch (c.way) {
        case Way::Batch: rc = s.ExecDirect(c.sql); break;
        case Way::BatchW: rc = s.ExecDirectW(c.sql); break;
        case Way::Prepared:
        case Way::Cursor: rc = s.Run(c.sql); break;
        case Way::PreparedW:
            rc = s.PrepareW(c.sql);
            if (SQL_SUCCEEDED(rc)) rc = s.Execute();
            break;
        }
        ASSERT_TRUE(SQL_SUCCEEDED(rc)) << c.sql << "\n" << Describe(s.Errors());
        EXPECT_EQ(s.RowCount(), c.rows) << c.sql << " (way " << static_cast<int>(c.way) << ")";
    }
}

// RESTORE VERIFYONLY passes the server's own backup files and fails damaged or foreign ones
// with SQL Server's messages.
TEST_F(StandinDriver, VerifyOnlyPassesSoundBackupsAndFailsOthers) {
    namespace fs = std::filesystem;
    const std::unique_ptr<Client> client = Connect("master");
    Exec(*client, "create database verified");
    Exec(*client, "select * into \"verified\".\"dbo\".\"GL_Ztcs\" from \"" + kSample + "\".\"dbo\".\"GL_Ztcs\"");
    const fs::path dir = Server().DataDir().parent_path() / "验证";
    fs::create_directories(dir);
    const fs::path good = dir / "good.bak";
    Exec(*client, "backup database verified to disk='" + good.string() + "' with init");
    const auto bytes = fs::file_size(good);
    const fs::path truncated = dir / "truncated.bak", altered = dir / "altered.bak", foreign = dir / "foreign.bak";
    fs::copy_file(good, truncated);
    fs::resize_file(truncated, bytes - 512);
    fs::copy_file(good, altered);
    testsupport::AlterByte(altered, bytes / 2);
    fs::copy_file(Server().DataDir() / "master.sqlite", foreign);

    for (const std::string& sql : {"restore verifyonly from disk = N'" + good.string() + "'",
                                   "RESTORE VERIFYONLY FROM DISK='" + good.string() + "'"}) {
        Statement s(*client);
        ASSERT_EQ(s.Run(sql), SQL_SUCCESS_WITH_INFO) << Describe(s.Errors());
        const std::vector<Diagnostic> info = s.Errors();
        ASSERT_EQ(info.size(), 1u) << Describe(info);
        EXPECT_EQ(info[0].native, 3262);
        EXPECT_NE(info[0].text.find("The backup set on file 1 is valid."), std::string::npos) << info[0].text;
        EXPECT_EQ(s.RowCount(), -1);
    }
    struct Case {
        fs::path file;
        SQLINTEGER native;
        std::string text;
    };
    const std::vector<Case> cases = {
        {truncated, 3203, "failed: 38(Reached the end of the file.)"},
        {altered, 3189, "Damage to the backup set was detected."},
        {foreign, 3241, "is incorrectly formed. SQL Server cannot process this media family."},
        {dir / "missing.bak", 3201, "Operating system error 2(The system cannot find the file specified.)."},
    };
    for (const Case& c : cases) {
        const std::vector<Diagnostic> errors =
            Failure(*client, "restore verifyonly from disk = N'" + c.file.string() + "'", Path::Batch);
        ASSERT_EQ(errors.size(), 2u) << Describe(errors);
        EXPECT_EQ(errors[0].native, c.native) << Describe(errors);
        EXPECT_NE(errors[0].text.find(c.text), std::string::npos) << Describe(errors);
        EXPECT_EQ(errors[1].native, 3013);
        EXPECT_NE(errors[1].text.find("VERIFY DATABASE is terminating abnormally."), std::string::npos);
    }
}

// A file of several backup sets and their restore in order. "BACKUP (Transact-SQL)": NOINIT (the
// default) appends a set, DIFFERENTIAL needs a full backup before it (3035). "RESTORE HEADERONLY
// (Transact-SQL)": a row per set, its Position and BackupType (1 full, 5 differential); a
// differential's DifferentialBaseLSN is its base's FirstLSN, its DifferentialBaseGUID the base's
// BackupSetGUID. "RESTORE Statements (Transact-SQL)": a full backup WITH NORECOVERY leaves the
// database RESTORING, which cannot be opened (927); a differential restores only onto the full
// backup it belongs to (3136; 3117 with nothing restoring), and RECOVERY brings the database
// ONLINE. "DATABASEPROPERTYEX (Transact-SQL)": Status, NULL for a database that does not exist.
TEST_F(StandinDriver, BackupSetsOfAFileAndTheirRestoreInOrder) {
    const std::unique_ptr<Client> client = Connect("master");
    const std::string bak = (Server().DataDir().parent_path() / "差异.bak").string();
    const std::string backup = "backup database 差异源 to disk = N'" + bak + "'";
    using Texts = std::vector<std::vector<std::string>>;  // NULL as ""
    const auto all = [&](const std::string& sql) {
        Statement s(*client);
        EXPECT_TRUE(SQL_SUCCEEDED(s.ExecDirect(sql))) << sql << "\n" << Describe(s.Errors());
        Texts rows;
        for (const Row& row : s.FetchAll()) {
            rows.emplace_back();
            for (const std::optional<std::string>& value : row) rows.back().push_back(value.value_or(""));
        }
        return rows;
    };
    const auto natives = [&](const std::string& sql) {
        std::vector<SQLINTEGER> found;
        for (const Diagnostic& d : Failure(*client, sql, Path::Batch)) found.push_back(d.native);
        return found;
    };
    Exec(*client, "create database 差异源");
    Exec(*client, "create table \"差异源\".\"dbo\".\"t\" (n int)");
    EXPECT_EQ(natives(backup + " with differential"), (std::vector<SQLINTEGER>{3035, 3013}));
    for (const char* step : {"insert 1", "with init", "insert 2", "with differential", "with noinit", "insert 3",
                             "with noinit, differential"}) {
        const std::string_view text(step);
        Exec(*client, text.starts_with("insert")
                          ? "insert into \"差异源\".\"dbo\".\"t\" values (" + std::string(text.substr(7)) + ")"
                          : backup + " " + step);
    }
    const Texts sets = all("restore headeronly from disk = N'" + bak + "'");
    ASSERT_EQ(sets.size(), 4u);
    const std::vector<std::vector<std::string>> kinds = {
        {"1", "1", "DATABASE"}, {"2", "5", "DATABASE DIFFERENTIAL"}, {"3", "1", "DATABASE"}, {"4", "5", "DATABASE DIFFERENTIAL"}};
    for (std::size_t k = 0; k < sets.size(); ++k) {
        const std::vector<std::string>& h = sets[k];
        const std::vector<std::string> kind = {h[5], h[2], h[49]};
        EXPECT_EQ(kind, kinds[k]);
        EXPECT_EQ(h[9], "差异源");
        EXPECT_EQ(h[13], h[15]) << "FirstLSN, CheckpointLSN of an idle database";
        EXPECT_LT(std::stoll(h[13]), std::stoll(h[14])) << "LastLSN after FirstLSN";
        if (k > 0) {
            EXPECT_LT(std::stoll(sets[k - 1][14]), std::stoll(h[13]));
        }
        const std::vector<std::string>& base = sets[k & ~std::size_t{1}];  // sets 1 and 3 are full, 2 and 4 theirs
        EXPECT_EQ(h[16], base[13]) << "DatabaseBackupLSN: the last full backup's";
        const std::vector<std::string> differentialBase = {h[47], h[48]};
        const std::vector<std::string> expectedBase =
            k % 2 ? std::vector<std::string>{base[13], base[50]} : std::vector<std::string>(2);
        EXPECT_EQ(differentialBase, expectedBase);
    }
    EXPECT_EQ(all("restore headeronly from disk = N'" + bak + "' with file = 2").size(), 1u);

    const std::string moved = ", MOVE N'差异源' TO N'" + bak + ".mdf', MOVE N'差异源_log' TO N'" + bak + ".ldf'";
    const auto restore = [&](int file, const std::string& options) {
        return "restore database 差异复原 from disk = N'" + bak + "' with file = " + std::to_string(file) + options;
    };
    struct Step {
        std::string sql;
        std::vector<SQLINTEGER> natives;  // none: it succeeds
        std::string status;
    };
    const std::vector<Step> steps = {
        {restore(2, ", recovery"), {3117, 3013}, ""},
        {restore(1, moved + ", norecovery"), {}, "RESTORING"},
        {restore(4, ", recovery"), {3136, 3013}, "RESTORING"},
        {restore(2, ", recovery"), {}, "ONLINE"},
    };
    for (const Step& step : steps) {
        if (step.natives.empty()) {
            Exec(*client, step.sql);
        } else {
            EXPECT_EQ(natives(step.sql), step.natives) << step.sql;
        }
        EXPECT_EQ(all("select databasepropertyex(N'差异复原', 'Status')"), (Texts{{step.status}})) << step.sql;
        if (step.status == "RESTORING") {
            EXPECT_EQ(natives("use 差异复原"), (std::vector<SQLINTEGER>{927}));
        }
    }
    EXPECT_EQ(all("select count(*) from \"差异复原\".\"dbo\".\"t\""), (Texts{{"2"}})) << "the differential's rows";
    Exec(*client, "drop database 差异复原");
    Exec(*client, "drop database 差异源");
}

TEST_F(StandinDriver, APreparedStatementRunsAgainByHandle) {
    const std::unique_ptr<Client> client = Connect("master");
    Exec(*client, "create table rerun (n int)");
    {
        Statement s(*client);
        ASSERT_TRUE(SQL_SUCCEEDED(s.Prepare("insert into rerun values (7)")));
        for (int k = 0; k < 3; ++k) {
            ASSERT_TRUE(SQL_SUCCEEDED(s.Execute())) << Describe(s.Errors());  // sp_prepexec, then sp_execute
            EXPECT_EQ(s.RowCount(), 1);
        }
    }  // sp_unprepare goes out with the next request
    EXPECT_EQ(Query(*client, "select n from rerun"), (std::vector<Row>(3, Row{"7"})));
    const std::vector<std::string> log = Server().Statements();
    EXPECT_EQ(std::count(log.begin(), log.end(), "insert into rerun values (7)"), 1) << "the text travels once";
}

TEST_F(StandinDriver, ABatchGivesOneResultPerStatement) {
    const std::unique_ptr<Client> client = Connect("master");
    Statement s(*client);
    ASSERT_TRUE(SQL_SUCCEEDED(s.ExecDirect("create table several (n int)\n"
                                           "insert into several values (1), (2)\n"
                                           "select n from several\n"
                                           "insert into several values (3)")))
        << Describe(s.Errors());
    EXPECT_EQ(s.RowCount(), 2) << "the insert's count; CREATE TABLE reports none";
    ASSERT_EQ(s.MoreResults(), SQL_SUCCESS);
    EXPECT_EQ(s.FetchAll(), (std::vector<Row>{{"1"}, {"2"}}));
    ASSERT_EQ(s.MoreResults(), SQL_SUCCESS);
    EXPECT_EQ(s.RowCount(), 1);
    EXPECT_EQ(s.MoreResults(), SQL_NO_DATA);
}

TEST_F(StandinDriver, ColumnTypesAreDescribedAndConvertedAsSqlServers) {
    const std::unique_ptr<Client> client = Connect("master");
    Exec(*client, "create table typed (i int, b bigint, s smallint, t tinyint, f bit, x float, r real, "
                  "d decimal(18,2), w datetime, v varchar(10), n nvarchar(10))");
    Exec(*client, "insert into typed values (-2147483648, 9000000000, -32768, 255, 1, 0.5, 0.25, "
                  "-1234567.89, '2016-02-29 23:59:59.997', 'abc', N'账套')");
    Exec(*client, "insert into typed values (null, null, null, null, null, null, null, null, null, null, null)");
    Statement s(*client);
    s.UseStaticCursor();
    ASSERT_TRUE(SQL_SUCCEEDED(s.Run("select i, b, s, t, f, x, r, d, w, v, n from typed"))) << Describe(s.Errors());
    // FreeTDS describes float as SQL_DOUBLE and decimal as SQL_NUMERIC, from real servers too.
    const SQLSMALLINT types[] = {SQL_INTEGER, SQL_BIGINT,  SQL_SMALLINT,  SQL_TINYINT, SQL_BIT,     SQL_DOUBLE,
                                 SQL_REAL,    SQL_NUMERIC, SQL_TIMESTAMP, SQL_VARCHAR, SQL_WVARCHAR};
    for (SQLUSMALLINT k = 0; k < std::size(types); ++k) EXPECT_EQ(s.DescribeColumn(k + 1).type, types[k]) << "column " << k + 1;
    EXPECT_EQ(s.DescribeColumn(8).size, 18u);
    EXPECT_EQ(s.DescribeColumn(8).scale, 2);
    EXPECT_EQ(s.DescribeColumn(10).size, 10u);
    EXPECT_EQ(s.FetchAll(), (std::vector<Row>{{"-2147483648", "9000000000", "-32768", "255", "1", "0.5", "0.25", "-1234567.89",
                                               "2016-02-29 23:59:59.997", "abc", "账套"},
                                              Row(11)}));
}

TEST_F(StandinDriver, UseMovesTheDriversCurrentDatabase) {
    const std::unique_ptr<Client> client = Connect("master");
    Statement s(*client);
    ASSERT_TRUE(SQL_SUCCEEDED(s.ExecDirect("use \"" + kSample + "\""))) << Describe(s.Errors());
    char name[256] = {};
    SQLGetConnectOption(client->Dbc(), SQL_CURRENT_QUALIFIER, name);
    EXPECT_EQ(FromLocal(name), kSample) << "taken from the ENVCHANGE";
    EXPECT_FALSE(Query(*client, "select ztbh from GL_Ztcs").empty());
}

// A USE that a procedure call runs lasts until the call returns ("Using sp_executesql"; the
// sp_executesql reference: "Changes in database context last only to the end of the
// sp_executesql statement"): the session and the driver's current catalog are back where they
// were, and the database used counts as in use no longer (DROP DATABASE, 3702). Prepared
// statements (sp_prepexec, then sp_execute) and cursors (sp_cursoropen) run theirs as such
// calls; a batch (SQLExecDirect) keeps its USE.
TEST_F(StandinDriver, AUseInsideAProcedureCallLastsUntilItReturns) {
    const std::unique_ptr<Client> admin = Connect("master");
    Exec(*admin, "create database scoped_use");
    const std::unique_ptr<Client> client = Connect();
    enum class Way { Prepared, ExecutedAgain, Cursor, Batch };
    for (const Way way : {Way::Prepared, Way::ExecutedAgain, Way::Cursor, Way::Batch}) {
        Statement s(*client);
        if (way == Way::Cursor) s.UseStaticCursor();
        SQLRETURN rc = way == Way::Batch ? s.ExecDirect("use scoped_use") : s.Run("use scoped_use");
        if (way == Way::ExecutedAgain && SQL_SUCCEEDED(rc)) rc = s.Execute();
        ASSERT_TRUE(SQL_SUCCEEDED(rc)) << Describe(s.Errors());
        const bool kept = way == Way::Batch;
        const std::string expected = kept ? "scoped_use" : kSample;
        char name[256] = {};
        SQLGetConnectOption(client->Dbc(), SQL_CURRENT_QUALIFIER, name);
        EXPECT_EQ(FromLocal(name), expected) << "way " << static_cast<int>(way);
        EXPECT_EQ(Query(*client, "select DB_ID()"), Query(*client, "select DB_ID(N'" + expected + "')"));
        Statement drop(*admin);
        if (kept) {
            EXPECT_EQ(drop.ExecDirect("drop database scoped_use"), SQL_ERROR);
            EXPECT_TRUE(HasNative(drop.Errors(), 3702)) << Describe(drop.Errors());
        } else {
            EXPECT_TRUE(SQL_SUCCEEDED(drop.ExecDirect("drop database scoped_use"))) << Describe(drop.Errors());
            Exec(*admin, "create database scoped_use");
        }
    }
}

// Sessions logged in to two databases meet on a lock in master when they call the procedures
// by master's name (sp_getapplock: "The lock resource created by sp_getapplock is created in
// the current database for the session"; a system procedure named master.sys.sp_x runs in
// master). The engine's tests go through the procedures' cases.
TEST_F(StandinDriver, SessionsInTwoDatabasesMeetOnALockInMaster) {
    const std::unique_ptr<Client> admin = Connect("master");
    Exec(*admin, "create database 锁的另一库");
    const std::unique_ptr<Client> clients[2] = {Connect(), Connect("锁的另一库")};
    // APPLOCK_TEST in master, from the second session's own database.
    const auto freeInMaster = [&] {
        Statement s(*clients[1]);
        EXPECT_TRUE(SQL_SUCCEEDED(s.ExecDirectW("EXEC master.sys.sp_executesql N'SELECT APPLOCK_TEST(''public'', "
                                                "N''Tarvex数据整理'', ''Exclusive'', ''Session'')'")));
        return s.FetchAll();
    };
    Exec(*clients[0], "EXEC master.sys.sp_getapplock @Resource = N'Tarvex数据整理', @LockMode = 'Exclusive', "
                      "@LockOwner = 'Session', @LockTimeout = 0");
    EXPECT_EQ(freeInMaster(), (std::vector<Row>{{"0"}}));
    EXPECT_EQ(Query(*clients[1], "SELECT APPLOCK_TEST('public', N'Tarvex数据整理', 'Exclusive', 'Session')"),
              (std::vector<Row>{{"1"}}))
        << "its own database has no such lock";
    Exec(*clients[0], "EXEC master..sp_releaseapplock @Resource = N'Tarvex数据整理', @LockOwner = 'Session'");
    EXPECT_EQ(freeInMaster(), (std::vector<Row>{{"1"}}));
}

// "sys.databases (Transact-SQL)": a row per database; database_id (int) as DB_ID gives it;
// create_date (datetime) unchanged while the database lives. Databases created a moment apart,
// or dropped and created again, never share a create_date.
TEST_F(StandinDriver, SysDatabasesGivesADatabasesIdAndCreateDate) {
    const std::unique_ptr<Client> client = Connect();
    const auto row = [&](const std::string& name) {
        return Query(*client, "SELECT database_id, create_date, state_desc FROM master.sys.databases WHERE name = N'" +
                                  name + "'");
    };
    Exec(*client, "create database 建库时间");
    Exec(*client, "create database 建库时间2");
    const std::vector<Row> first = row("建库时间");
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0], (Row{Query(*client, "SELECT DB_ID(N'建库时间')").at(0).at(0), first[0][1], "ONLINE"}));
    EXPECT_LT(first[0][1], row("建库时间2").at(0)[1]);
    EXPECT_EQ(row("建库时间"), first);
    Exec(*client, "drop database 建库时间");
    EXPECT_TRUE(row("建库时间").empty());
    Exec(*client, "create database 建库时间");
    EXPECT_LT(first[0][1], row("建库时间").at(0)[1]);
    Statement s(*client);
    ASSERT_TRUE(SQL_SUCCEEDED(s.Run("SELECT name, database_id, create_date FROM sys.databases"))) << Describe(s.Errors());
    EXPECT_EQ(s.DescribeColumn(1).type, SQL_WVARCHAR);
    EXPECT_EQ(s.DescribeColumn(2).type, SQL_INTEGER);
    EXPECT_EQ(s.DescribeColumn(3).type, SQL_TIMESTAMP);
}

TEST_F(StandinDriver, CreateBackupAndDrop) {
    const std::unique_ptr<Client> client = Connect("master");
    Exec(*client, "create database backup_me");
    Exec(*client, "create table \"backup_me\".\"dbo\".\"t\" (id int, name varchar(20))");
    Exec(*client, "insert into \"backup_me\".\"dbo\".\"t\" values (1, '一'), (2, '二')");
    const std::filesystem::path file = Server().DataDir().parent_path() / "备份 20160101.bak";

    Statement backup(*client);
    const SQLRETURN rc = backup.Run("backup database backup_me to disk='" + file.string() + "' with init");
    ASSERT_TRUE(SQL_SUCCEEDED(rc)) << Describe(backup.Errors());
    const std::vector<Diagnostic> messages = backup.Errors();
    EXPECT_TRUE(HasNative(messages, 4035)) << Describe(messages);
    EXPECT_TRUE(HasNative(messages, 3014)) << Describe(messages);
    EXPECT_EQ(backup.RowCount(), -1);
    // Complete when the call returns: a whole SQLite database with the table and its rows.
    ASSERT_TRUE(std::filesystem::exists(file));
    const BackupContents contents(file);
    EXPECT_EQ(contents.Header().database, "backup_me");
    // "RESTORE HEADERONLY (Transact-SQL)": DatabaseCreationDate (datetime), when the database
    // was created, is its create_date of "sys.databases (Transact-SQL)".
    EXPECT_EQ(Query(*client, "restore headeronly from disk = N'" + file.string() + "'").at(0).at(11),
              Query(*client, "SELECT create_date FROM sys.databases WHERE name = N'backup_me'").at(0).at(0));
    EXPECT_EQ(SqliteRows(contents.File(), "pragma integrity_check"), (std::vector<Row>{{"ok"}}));
    EXPECT_EQ(SqliteRows(contents.File(), "select id, name from t order by id"),
              (std::vector<Row>{{"1", "一"}, {"2", "二"}}));

    Exec(*client, "drop database backup_me");
    Client gone;
    EXPECT_EQ(gone.Connect(ToolConnectionString(Server().Port(), "backup_me")), SQL_ERROR);
    EXPECT_TRUE(HasNative(gone.Errors(), 4060)) << Describe(gone.Errors());
}

TEST_F(StandinDriver, SqlServersErrorNumbersReachTheClient) {
    const std::unique_ptr<Client> client = Connect();
    Exec(*client, "create database busy_db");
    const std::unique_ptr<Client> user = Connect("busy_db");
    const std::string table = "\"" + kSample + "\".\"dbo\".\"GL_Ztcs\"";
    const std::filesystem::path noDir = Server().DataDir().parent_path() / "no such dir" / "x.bak";
    struct Case {
        std::string sql;
        Path path;
        std::vector<SQLINTEGER> natives;
    };
    const std::vector<Case> cases = {
        {"select a from no_such_table", Path::Cursor, {208}},
        {"select no_such_column from " + table, Path::Cursor, {207}},
        {"select no_such_column from " + table, Path::Batch, {207}},
        {"create database busy_db", Path::Prepared, {1801}},
        {"drop database no_such_db", Path::Prepared, {3701}},
        {"drop database busy_db", Path::Cursor, {3702}},
        {"select ztbh into " + table + " from " + table, Path::Cursor, {2714}},
        {"backup database busy_db to disk='" + noDir.string() + "' with init", Path::Prepared, {3201, 3013}},
    };
    for (const Case& c : cases) {
        const std::vector<Diagnostic> errors = Failure(*client, c.sql, c.path);
        for (SQLINTEGER native : c.natives) EXPECT_TRUE(HasNative(errors, native)) << c.sql << "\n" << Describe(errors);
    }
    EXPECT_EQ(Failure(*client, "select a from no_such_table", Path::Batch).at(0).state, "S0002");
}

TEST_F(StandinDriver, FailedLogInsGiveTheirNumbers) {
    Client wrongPassword;
    EXPECT_EQ(wrongPassword.Connect(ToolConnectionString(Server().Port(), kSample, "sa", "2")), SQL_ERROR);
    EXPECT_TRUE(HasNative(wrongPassword.Errors(), 18456)) << Describe(wrongPassword.Errors());
    Client wrongUser;
    EXPECT_EQ(wrongUser.Connect(ToolConnectionString(Server().Port(), kSample, "nobody", "1")), SQL_ERROR);
    EXPECT_TRUE(HasNative(wrongUser.Errors(), 18456)) << Describe(wrongUser.Errors());
    Client unknownDatabase;
    EXPECT_EQ(unknownDatabase.Connect(ToolConnectionString(Server().Port(), "2099年不存在")), SQL_ERROR);
    EXPECT_TRUE(HasNative(unknownDatabase.Errors(), 4060)) << Describe(unknownDatabase.Errors());
}

TEST_F(StandinDriver, QueryTimeOutEndsInAnAttentionAndTheConnectionGoesOn) {
    const std::unique_ptr<Client> client = Connect();
    for (const bool cursor : {false, true}) {
        Statement s(*client);
        if (cursor) s.UseStaticCursor();
        s.SetTimeout(1);
        EXPECT_EQ(s.Run("waitfor delay '00:01:00'"), SQL_ERROR);
        const std::vector<Diagnostic> errors = s.Errors();
        ASSERT_FALSE(errors.empty());
        EXPECT_TRUE(errors[0].state == "S1T00" || errors[0].state == "HYT00") << Describe(errors);
    }
    EXPECT_EQ(Query(*client, "select ztbh from GL_Ztcs where hsdwdm='001' and kjnd='2016'").size(),
              SqliteRows(Server().DataDir() / (kSample + ".sqlite"), "select 1 from GL_Ztcs where hsdwdm='001' and kjnd='2016'").size());
}

TEST_F(StandinDriver, CancelFromAnotherThreadStopsTheStatementAtTheServer) {
    const std::unique_ptr<Client> client = Connect("master");
    Statement s(*client);
    const std::string batch = "waitfor delay '00:00:02'\ncreate table made_after_wait (n int)";
    SQLRETURN rc = SQL_SUCCESS;
    std::thread running([&] { rc = s.ExecDirect(batch); });
    // Cancel once the server has the batch (the log shows it), so that the cancel meets it running.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    const std::string logged = "waitfor delay '00:00:02'\\ncreate table made_after_wait (n int)";
    for (;;) {
        const std::vector<std::string> log = Server().Statements();
        if (std::find(log.begin(), log.end(), logged) != log.end()) break;
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the batch never reached the server";
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(SQL_SUCCEEDED(s.Cancel()));
    running.join();
    EXPECT_EQ(rc, SQL_ERROR);
    EXPECT_EQ(s.Errors().at(0).state, "S1008") << Describe(s.Errors());

    std::this_thread::sleep_for(std::chrono::seconds(3));  // past the delay: a batch still running would have made the table
    EXPECT_TRUE(HasNative(Failure(*client, "select n from made_after_wait", Path::Batch), 208));
}

// Each statement's DONE reaches the client as the statement completes (the TDS DONE token with
// DONE_MORE; "Batches of SQL Statements"): the driver has the first statement's count while
// the batch still waits, and a cancel then stops the rest.
TEST_F(StandinDriver, EachStatementsCountArrivesWhileTheRestOfTheBatchRuns) {
    const std::unique_ptr<Client> client = Connect("master");
    Statement s(*client);
    std::promise<std::pair<SQLRETURN, SQLLEN>> first;
    std::thread running([&] {
        const SQLRETURN rc = s.ExecDirect("create table first_one (n int) insert into first_one values (1) waitfor delay '00:10:00'");
        first.set_value({rc, s.RowCount()});
    });
    std::future<std::pair<SQLRETURN, SQLLEN>> executed = first.get_future();
    const bool arrived = executed.wait_for(std::chrono::seconds(120)) == std::future_status::ready;
    EXPECT_TRUE(SQL_SUCCEEDED(s.Cancel()));
    running.join();
    ASSERT_TRUE(arrived) << "the first statement's DONE waited for the batch";
    const auto [rc, rows] = executed.get();
    EXPECT_TRUE(SQL_SUCCEEDED(rc)) << Describe(s.Errors());
    EXPECT_EQ(rows, 1);
}

TEST_F(StandinDriver, ServesSeveralConnectionsAtOnce) {
    const std::size_t expected =
        SqliteRows(Server().DataDir() / (kSample + ".sqlite"), "select 1 from GL_Ztcs where kjnd='2016'").size();
    std::vector<std::thread> threads;
    std::vector<std::size_t> counts(6);
    const std::unique_ptr<Client> waiting = Connect();
    std::thread slow([&] {
        Statement s(*waiting);
        EXPECT_TRUE(SQL_SUCCEEDED(s.ExecDirect("waitfor delay '00:00:02'")));
    });
    for (std::size_t k = 0; k < counts.size(); ++k) {
        threads.emplace_back([&, k] {
            const std::unique_ptr<Client> client = Connect();
            for (int round = 0; round < 5; ++round)
                counts[k] += Query(*client, "select ztmc from GL_Ztcs where kjnd='2016'").size();
        });
    }
    for (std::thread& t : threads) t.join();
    slow.join();
    for (std::size_t count : counts) EXPECT_EQ(count, 5 * expected);
}

TEST_F(StandinDriver, TsqlConnectsAndQueries) {
    const std::filesystem::path input = Server().DataDir().parent_path() / "tsql-input.txt";
    {
        std::FILE* f = std::fopen(input.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fputs("select ztbh, kjnd from GL_Ztcs where hsdwdm='003' and kjnd='2017'\ngo\nexit\n", f);
        std::fclose(f);
    }
    const std::string command = "LC_ALL=C.UTF-8 timeout 60 tsql -H 127.0.0.1 -p " + std::to_string(Server().Port()) +
                                " -U sa -P 1 -D '" + kSample + "' < '" + input.string() + "' 2>&1";
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    ASSERT_TRUE(pipe);
    std::string output;
    char buffer[4096];
    while (std::fgets(buffer, sizeof buffer, pipe.get())) output += buffer;
    const std::size_t rows = SqliteRows(Server().DataDir() / (kSample + ".sqlite"),
                                        "select 1 from GL_Ztcs where hsdwdm='003' and kjnd='2017'").size();
    ASSERT_GT(rows, 0u);
    EXPECT_NE(output.find("ztbh\tkjnd"), std::string::npos) << output;
    EXPECT_NE(output.find("(" + std::to_string(rows) + " row"), std::string::npos) << output;
}

TEST_F(StandinDriver, ChineseNamesAndTextSurviveTheRoundTrip) {
    const std::unique_ptr<Client> admin = Connect("master");
    Exec(*admin, "create database 审计测试库");
    const std::unique_ptr<Client> client = Connect("审计测试库");
    Exec(*client, "create table 凭证表 (摘要 varchar(100), 宽摘要 nvarchar(50), 金额 decimal(18,2))");
    Exec(*client, "insert into 凭证表 values ('收到财政拨款（新科目）', N'支付办公用品费', 1234.50)");
    Exec(*client, "insert into 凭证表 values ('演示账套2', N'龘', -0.25)");

    Statement s(*client);
    s.UseStaticCursor();
    ASSERT_TRUE(SQL_SUCCEEDED(s.Run("select 摘要, 宽摘要, 金额 from 凭证表 where 摘要 like '%新科目%'"))) << Describe(s.Errors());
    EXPECT_EQ(s.DescribeColumn(1).name, "摘要");
    EXPECT_EQ(s.DescribeColumn(1).type, SQL_VARCHAR) << "varchar under the Chinese collation";
    EXPECT_EQ(s.DescribeColumn(2).type, SQL_WVARCHAR);
    EXPECT_EQ(s.FetchAll(), (std::vector<Row>{{"收到财政拨款（新科目）", "支付办公用品费", "1234.50"}}));
    EXPECT_EQ(Query(*client, "select 摘要, 宽摘要, 金额 from \"审计测试库\".\"dbo\".\"凭证表\" where 摘要 = '演示账套2'"),
              (std::vector<Row>{{"演示账套2", "龘", "-0.25"}}));

    const std::vector<std::string> log = Server().Statements();
    EXPECT_NE(std::find(log.begin(), log.end(), "select 摘要, 宽摘要, 金额 from 凭证表 where 摘要 like '%新科目%'"), log.end())
        << "the statement log is UTF-8";
}

TEST_F(StandinDriver, StatementLogKeepsEachStatementOnOneLine) {
    const std::unique_ptr<Client> client = Connect();
    Statement s(*client);
    EXPECT_TRUE(SQL_SUCCEEDED(s.ExecDirect("select ztbh\r\nfrom GL_Ztcs\nwhere 1=0")));
    const std::vector<std::string> log = Server().Statements();
    EXPECT_NE(std::find(log.begin(), log.end(), "select ztbh\\r\\nfrom GL_Ztcs\\nwhere 1=0"), log.end());
}

// The tool guards its temporary database with an application lock of its session; every
// statement travels as UTF-16 through SQLPrepareW. Queries go through a static cursor, the
// procedures in turn as a prepared statement, through a cursor and as a batch. Expected: the
// one value of the query's one row, "ok", or the number of the error.
TEST_F(StandinDriver, ApplicationLocksBelongToTheSessionThatTookThem) {
    std::unique_ptr<Client> clients[2] = {Connect(), Connect()};
    const auto run = [&](int client, const std::string& sql, int way) -> std::string {
        Statement s(*clients[client]);
        if (sql.rfind("SELECT", 0) == 0 || way == 1) s.UseStaticCursor();
        std::vector<SQLWCHAR> wide = ToWide(sql);
        const SQLRETURN rc = way == 2 ? SQLExecDirectW(s.Handle(), wide.data(), SQL_NTS)
                                      : SQL_SUCCEEDED(SQLPrepareW(s.Handle(), wide.data(), SQL_NTS)) ? s.Execute()
                                                                                                     : SQL_ERROR;
        if (rc == SQL_ERROR) {
            const std::vector<Diagnostic> errors = s.Errors();
            return errors.empty() ? "error" : std::to_string(errors[0].native);
        }
        if (sql.rfind("SELECT", 0) != 0) return "ok";
        const std::vector<Row> rows = s.FetchAll();
        return rows.size() == 1 && rows[0].size() == 1 ? rows[0][0].value_or("NULL") : "not one value";
    };
    const std::string ours = "N'Tarvex数据整理'", other = "N'另一把锁'";
    const auto mode = [](const std::string& r) { return "SELECT APPLOCK_MODE('public', " + r + ", 'Session')"; };
    const auto test = [](const std::string& r) {
        return "SELECT APPLOCK_TEST('public', " + r + ", 'Exclusive', 'Session')";
    };
    const auto get = [](const std::string& r) {
        return "EXEC sp_getapplock @Resource = " + r +
               ", @LockMode = 'Exclusive', @LockOwner = 'Session', @LockTimeout = 0";
    };
    const auto release = [](const std::string& r) {
        return "EXEC sp_releaseapplock @Resource = " + r + ", @LockOwner = 'Session'";
    };
    struct Step {
        int client;
        std::string sql;
        std::string expected;
    };
    // What the locks mean in detail the engine's tests say; here, each call in each way.
    const std::vector<Step> steps = {
        {0, mode(ours), "NoLock"},    {0, get(ours), "ok"},       {0, test(ours), "1"},
        {1, test(ours), "0"},         {1, get(ours), "ok"},  // not granted: status -1, no error
        {1, mode(ours), "NoLock"},    {1, release(ours), "1223"}, {1, get(other), "ok"},
        {1, mode(other), "Exclusive"}, {0, test(other), "0"},     {0, release(ours), "ok"},
        {1, test(ours), "1"},         {0, release(ours), "1223"}, {0, get(ours), "ok"},
    };
    for (std::size_t k = 0; k < steps.size(); ++k) {
        const Step& step = steps[k];
        EXPECT_EQ(run(step.client, step.sql, static_cast<int>(k % 3)), step.expected)
            << "step " << k << ", connection " << step.client << ": " << step.sql;
    }
    // A closed connection leaves its locks behind as soon as the server has seen it go.
    clients[0].reset();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (run(1, test(ours), 0) != "1")
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the lock outlived its connection";

    EXPECT_EQ(run(1, "SELECT DB_ID(N'锁之库')", 0), "NULL");
    EXPECT_EQ(run(1, "create database 锁之库", 0), "ok");
    const std::string id = run(1, "SELECT DB_ID(N'锁之库')", 0);
    EXPECT_GE(std::atoi(id.c_str()), 5) << id;
    EXPECT_EQ(run(1, "SELECT DB_ID(N'MASTER')", 0), "1");
    EXPECT_EQ(run(1, "drop database 锁之库", 0), "ok");
    EXPECT_EQ(run(1, "SELECT DB_ID(N'锁之库')", 0), "NULL");
}

// "RESTORE Statements - HEADERONLY / FILELISTONLY (Transact-SQL)" give the columns' types, which
// the driver describes: BackupType smallint, BindingID uniqueidentifier, Type char(1);
// "SERVERPROPERTY (Transact-SQL)" returns sql_variant, which reads as text, and as nvarchar once
// cast ("CAST and CONVERT (Transact-SQL)").
TEST_F(StandinDriver, BackupHeadersAndServerPropertiesReachTheClientTyped) {
    namespace fs = std::filesystem;
    const std::unique_ptr<Client> client = Connect("master");
    const fs::path bak = Server().DataDir().parent_path() / "头.bak";
    Exec(*client, "backup database \"" + kSample + "\" to disk='" + bak.string() + "' with init");
    struct Case {
        std::string sql;
        SQLUSMALLINT column;
        SQLSMALLINT type;
        std::string value;
    };
    const std::vector<Case> cases = {
        {"restore headeronly from disk = N'" + bak.string() + "'", 3, SQL_SMALLINT, "1"},
        {"restore headeronly from disk = N'" + bak.string() + "'", 10, SQL_WVARCHAR, kSample},
        {"restore headeronly from disk = N'" + bak.string() + "'", 31, SQL_GUID, ""},
        {"restore filelistonly from disk = N'" + bak.string() + "'", 3, SQL_CHAR, "D"},
        {"select serverproperty('ProductVersion')", 1, -150 /* SQL_SS_VARIANT */, "15.0.2000.5"},
        {"select serverproperty('Edition')", 1, -150, "Express Edition (64-bit)"},
        {"SELECT CAST(SERVERPROPERTY('Edition') AS nvarchar(7))", 1, SQL_WVARCHAR, "Express"},
    };
    for (const Case& c : cases) {
        Statement s(*client);
        s.UseStaticCursor();
        ASSERT_TRUE(SQL_SUCCEEDED(s.Run(c.sql))) << c.sql << "\n" << Describe(s.Errors());
        EXPECT_EQ(s.DescribeColumn(c.column).type, c.type) << c.sql << " column " << c.column;
        const std::optional<Row> row = s.Fetch();
        ASSERT_TRUE(row && (*row)[c.column - 1]) << c.sql;
        if (!c.value.empty()) {
            EXPECT_EQ(*(*row)[c.column - 1], c.value) << c.sql;
        }
    }
}

// "Configure the user options (server configuration option)", bit 512, and "SET NOCOUNT (Transact-SQL)":
// no count (-1) until the session sets NOCOUNT OFF, a SET in sp_executesql lasting until it returns.
TEST(StandinUserOptions, NocountOfEverySessionHoldsUntilTheSessionTurnsItOff) {
    StandinProcess::Options options;
    options.extraArgs = {"--user-options", "512"};
    StandinProcess server(options);
    Client client;
    ASSERT_TRUE(SQL_SUCCEEDED(client.Connect(ToolConnectionString(server.Port(), kSample)))) << Describe(client.Errors());
    const SQLLEN rows = static_cast<SQLLEN>(SqliteRows(server.DataDir() / (kSample + ".sqlite"), "select 1 from GL_Ztcs").size());
    int n = 0;
    const auto copy = [&] { return "select * into t" + std::to_string(++n) + " from GL_Ztcs"; };
    const std::vector<std::pair<std::string, SQLLEN>> cases = {
        {copy(), -1}, {"EXEC sp_executesql N'SET NOCOUNT OFF; " + copy() + "'", rows}, {copy(), -1},
        {"SET NOCOUNT OFF; " + copy(), rows}, {copy(), rows}};
    for (const auto& [sql, count] : cases) {
        Statement s(client);
        ASSERT_TRUE(SQL_SUCCEEDED(s.ExecDirect(sql))) << sql << "\n" << Describe(s.Errors());
        SQLLEN last = s.RowCount();
        while (SQL_SUCCEEDED(s.MoreResults())) last = std::max(last, s.RowCount());
        EXPECT_EQ(last, count) << sql;
    }
}

TEST(StandinProcessLife, SigtermClosesConnectionsAndExitsCleanly) {
    StandinProcess::Options options;
    options.sample = false;
    StandinProcess server(options);
    Client idle;
    ASSERT_TRUE(SQL_SUCCEEDED(idle.Connect(ToolConnectionString(server.Port(), "master")))) << Describe(idle.Errors());
    Client busy;
    ASSERT_TRUE(SQL_SUCCEEDED(busy.Connect(ToolConnectionString(server.Port(), "master")))) << Describe(busy.Errors());
    SQLRETURN rc = SQL_SUCCESS;
    Statement s(busy);
    std::thread running([&] { rc = s.ExecDirect("waitfor delay '00:10:00'"); });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (server.Statements().empty()) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    server.Stop();
    running.join();
    EXPECT_EQ(server.ExitCode(), 0);
    EXPECT_EQ(rc, SQL_ERROR) << "the running statement ends with its connection";
}

// A stand-in killed in the middle of a statement comes back on its port with its databases,
// and its statement log goes on.
TEST(StandinProcessLife, AKilledServerStartsAgainOnItsPort) {
    StandinProcess::Options options;
    options.sample = false;
    StandinProcess server(options);
    const int port = server.Port();
    {
        Client client;
        ASSERT_TRUE(SQL_SUCCEEDED(client.Connect(ToolConnectionString(port, "master")))) << Describe(client.Errors());
        Statement create(client);
        ASSERT_TRUE(SQL_SUCCEEDED(create.ExecDirect("create database survives")));
        Statement wait(client);
        std::thread running([&] { wait.ExecDirect("waitfor delay '00:10:00'"); });
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (server.Statements().size() < 2) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        server.KillNow();
        running.join();
    }
    server.Start();
    EXPECT_EQ(server.Port(), port);
    Client again;
    ASSERT_TRUE(SQL_SUCCEEDED(again.Connect(ToolConnectionString(port, "survives")))) << Describe(again.Errors());
    Statement s(again);
    EXPECT_TRUE(SQL_SUCCEEDED(s.ExecDirect("create table after_restart (n int)")));
    EXPECT_EQ(server.Statements(), (std::vector<std::string>{"create database survives", "waitfor delay '00:10:00'",
                                                             "create table after_restart (n int)"}));
}

// --reply-delay-ms makes every exchange with the server take that long at least, the log-in's
// two included; --log-requests writes a line per request, by connection, so that a test can
// count a connection's exchanges.
TEST(StandinFarServer, EveryReplyWaitsAndEveryRequestIsLogged) {
    constexpr auto kDelay = std::chrono::milliseconds(100);
    StandinProcess::Options options;
    options.sample = false;
    options.extraArgs = {"--reply-delay-ms", std::to_string(kDelay.count())};
    StandinProcess server(options);
    const auto began = std::chrono::steady_clock::now();
    {
        Client client;
        ASSERT_TRUE(SQL_SUCCEEDED(client.Connect(ToolConnectionString(server.Port(), "master"))));
        Statement batch(client);
        EXPECT_TRUE(SQL_SUCCEEDED(batch.ExecDirect("create table far (n int)\r\ninsert into far values (1)")));
        {
            Statement prepared(client);
            EXPECT_TRUE(SQL_SUCCEEDED(prepared.Run("insert into far values (2)")));
            EXPECT_TRUE(SQL_SUCCEEDED(prepared.Execute()));
        }
        Statement cursor(client);
        cursor.UseStaticCursor();
        EXPECT_TRUE(SQL_SUCCEEDED(cursor.Run("select n from far")));
        EXPECT_EQ(cursor.FetchAll().size(), 3u);
    }
    const auto took = std::chrono::steady_clock::now() - began;
    Client second;
    ASSERT_TRUE(SQL_SUCCEEDED(second.Connect(ToolConnectionString(server.Port(), "master"))));
    using Request = StandinProcess::Request;
    const std::string insert = "insert into far values (2)";
    const std::vector<Request> expected = {
        {1, "prelogin", ""},       {1, "login", ""},
        {1, "batch", "create table far (n int)\\r\\ninsert into far values (1)"},
        {1, "sp_prepexec", insert}, {1, "sp_execute", insert},
        {1, "sp_unprepare", ""},   {1, "sp_cursoropen", "select n from far"},
        {1, "sp_cursoroption", ""}, {1, "sp_cursorfetch", ""},
        {1, "sp_cursorfetch", ""}, {1, "sp_cursorfetch", ""},
        {1, "sp_cursorfetch", ""}, {1, "sp_cursorclose", ""},
        {2, "prelogin", ""},       {2, "login", ""},
    };
    EXPECT_EQ(server.Requests(), expected);
    EXPECT_GE(took, 13 * kDelay) << "one delay per exchange of the first connection";
}

}  // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    testsupport::UsePrivateOdbcConfig();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
