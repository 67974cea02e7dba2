// Backups as SQL Server describes and restores them: RESTORE HEADERONLY, FILELISTONLY and
// DATABASE, checked against the T-SQL reference pages named at each test. Where the files go by
// default, and paths on wine's mapped drive: the tool's restore tests, on Linux and under wine.

#include <fstream>
#include <thread>

#include "standin_engine_support.h"
#include "support/test_files.h"

namespace enginetest {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;

namespace fs = std::filesystem;

class RestoreTest : public SampleTest {
protected:
    RestoreTest() {
        fs::create_directories(Backups());
        fs::create_directories(Targets());
        Ok(S(), "backup database [" + std::string(kSource) + "] to disk='" + Bak().string() + "' with init");
    }
    fs::path Backups() const { return dir_.Path() / "备份"; }
    fs::path Targets() const { return dir_.Path() / "恢复"; }
    fs::path Bak() const { return Backups() / "源.bak"; }

    // RESTORE DATABASE `name` from `bak`, its files moved into Targets() unless `moves` says.
    std::string Restore(std::string_view name, const fs::path& bak, std::string moves = {}) const {
        if (moves.empty()) {
            moves = "MOVE N'" + std::string(kSource) + "' TO N'" + (Targets() / name).string() + ".mdf', MOVE N'" +
                    std::string(kSource) + "_log' TO N'" + (Targets() / name).string() + "_log.ldf'";
        }
        return "RESTORE DATABASE [" + std::string(name) + "] FROM DISK = N'" + bak.string() + "' WITH " + moves +
               ", NOUNLOAD, FILE = 1";
    }
    std::size_t TargetCount() const {
        return static_cast<std::size_t>(std::distance(fs::directory_iterator(Targets()), fs::directory_iterator()));
    }
};

std::vector<std::string> Names(const std::vector<ColumnInfo>& columns) {
    std::vector<std::string> names;
    for (const ColumnInfo& c : columns) names.push_back(c.name);
    return names;
}

// "RESTORE Statements - HEADERONLY (Transact-SQL)": every documented column in its order, one
// row per backup set; "RESTORE Statements - FILELISTONLY (Transact-SQL)": a row per file.
TEST_F(RestoreTest, HeaderAndFileListDescribeTheBackupAsDocumented) {
    const Outcome header = Ok(S(), "RESTORE HEADERONLY FROM DISK = N'" + Bak().string() + "' WITH NOUNLOAD");
    EXPECT_THAT(Names(*header.columns),
                ElementsAreArray<std::string>(
                    {"BackupName", "BackupDescription", "BackupType", "ExpirationDate", "Compressed", "Position",
                     "DeviceType", "UserName", "ServerName", "DatabaseName", "DatabaseVersion", "DatabaseCreationDate",
                     "BackupSize", "FirstLSN", "LastLSN", "CheckpointLSN", "DatabaseBackupLSN", "BackupStartDate",
                     "BackupFinishDate", "SortOrder", "CodePage", "UnicodeLocaleId", "UnicodeComparisonStyle",
                     "CompatibilityLevel", "SoftwareVendorId", "SoftwareVersionMajor", "SoftwareVersionMinor",
                     "SoftwareVersionBuild", "MachineName", "Flags", "BindingID", "RecoveryForkID", "Collation",
                     "FamilyGUID", "HasBulkLoggedData", "IsSnapshot", "IsReadOnly", "IsSingleUser",
                     "HasBackupChecksums", "IsDamaged", "BeginsLogChain", "HasIncompleteMetaData", "IsForceOffline",
                     "IsCopyOnly", "FirstRecoveryForkID", "ForkPointLSN", "RecoveryModel", "DifferentialBaseLSN",
                     "DifferentialBaseGUID", "BackupTypeDescription", "BackupSetGUID", "CompressedBackupSize",
                     "containment", "KeyAlgorithm", "EncryptorThumbprint", "EncryptorType"}));
    ASSERT_EQ(header.rows.size(), 1u);
    const std::vector<std::string>& h = header.rows[0];
    EXPECT_EQ(h[2] + h[5] + h[6], "112");  // a database backup, first on the device, on disk
    EXPECT_EQ(h[7], "sa");
    EXPECT_EQ(h[9], kSource);
    EXPECT_EQ(h[12], std::to_string(fs::file_size(Bak())));
    EXPECT_LE(h[11], h[17]) << "created before its backup began";
    EXPECT_LE(h[17], h[18]);
    EXPECT_EQ(h[25] + "." + h[26] + "." + h[27], "15.0.2000");
    EXPECT_EQ(h[32], "Chinese_PRC_CI_AS");

    const Outcome files = Ok(S(), "restore filelistonly from disk='" + Bak().string() + "'");
    EXPECT_THAT(Names(*files.columns), ::testing::IsSupersetOf(std::vector<std::string>{
                                    "LogicalName", "PhysicalName", "Type", "FileGroupName", "Size", "MaxSize",
                                    "FileID", "IsPresent"}));
    ASSERT_EQ(files.rows.size(), 2u);
    const std::string folder = (dir_.Path().parent_path() / (dir_.Path().filename().string() + "-files")).string();
    EXPECT_THAT(files.rows[0], ::testing::IsSupersetOf(std::vector<std::string>{
                                    kSource, "D", "PRIMARY", "1", folder + "/" + kSource + ".mdf"}));
    EXPECT_THAT(files.rows[1], ::testing::IsSupersetOf(std::vector<std::string>{std::string(kSource) + "_log", "L", "2"}));
}

// "RESTORE Statements - Arguments (Transact-SQL)", STATS and MOVE; messages 3211, 4035 and 3014
// ("Database engine events and errors 3000 to 3999", "4000 to 4999").
TEST_F(RestoreTest, RestoreMakesTheDatabaseReadableAtOnceWhereMoveSays) {
    const Outcome o = Ok(S(), Restore("复原", Bak()) + ", STATS = 25, RECOVERY");
    EXPECT_THAT(o.Numbers(), ElementsAre(3211, 3211, 3211, 3211, 4035, 4035, 3014));
    EXPECT_EQ(o.messages[0].text, "25 percent processed.");
    EXPECT_EQ(o.messages[3].text, "100 percent processed.");
    EXPECT_EQ(o.messages[5].text, "Processed 2 pages for database '复原', file '" + std::string(kSource) +
                                      "_log' on file 1.");
    EXPECT_THAT(o.messages[6].text, ::testing::StartsWith("RESTORE DATABASE successfully processed "));
    EXPECT_EQ(Query(*Open(*engine_, "复原"), "SELECT count(*) FROM GL_Ztcs"), Query(S(), "SELECT count(*) FROM GL_Ztcs"));
    EXPECT_TRUE(fs::exists(Targets() / "复原.mdf"));
    EXPECT_TRUE(fs::exists(Targets() / "复原_log.ldf"));
    // The catalog names the files where the restore put them, under the backup's logical names.
    EXPECT_EQ(Query(S(), "SELECT name, physical_name FROM [复原].sys.database_files ORDER BY file_id"),
              (Rows{{kSource, (Targets() / "复原.mdf").string()},
                    {std::string(kSource) + "_log", (Targets() / "复原_log.ldf").string()}}));
    Ok(S(), "DROP DATABASE [复原]");
    EXPECT_EQ(TargetCount(), 0u) << "the database's files go with it";
}

// Failures as the error pages word them, each followed by 3013; none of those found before the
// restore begins leaves a database or a file behind. Over an existing database without REPLACE:
// 3154 when the backup is of another database ("RESTORE Statements - Arguments", REPLACE). A
// damaged backup, found as it is read, leaves the database RESTORING with its files
// ("RESTORE Statements (Transact-SQL)"), which DROP DATABASE removes.
TEST_F(RestoreTest, FailuresLeaveNothingBehind) {
    const fs::path altered = Backups() / "altered.bak", foreign = Backups() / "foreign.bak";
    fs::copy_file(Bak(), altered);
    testsupport::AlterByte(altered, fs::file_size(altered) - 100);
    std::ofstream(foreign) << "not a backup";
    Ok(S(), "CREATE DATABASE 已有");
    std::ofstream(Targets() / "占用.mdf") << "someone's";
    const std::string source(kSource);
    struct Case {
        std::string sql;
        std::vector<int> numbers;
        std::string text;  // in the first message
    };
    const std::vector<Case> cases = {
        {Restore("新", Backups() / "missing.bak"), {3201, 3013}, "Operating system error 2("},
        {Restore("新", foreign), {3241, 3013}, "is incorrectly formed"},
        {Restore("已有", Bak()), {3154, 3013}, "other than the existing '已有' database."},
        {Restore("新", Bak(), "MOVE 'nope' TO '" + (Targets() / "x.mdf").string() + "'"), {3234, 3013},
         "Logical file 'nope' is not part of database '新'."},
        {Restore("新", Bak()) + ", FILE = 2", {4038, 3013}, "Cannot find file ID 2 on device"},
        {Restore("新", Bak(),
                 "MOVE N'" + source + "' TO N'" + (Targets() / "无此目录" / "x.mdf").string() + "', MOVE N'" + source +
                     "_log' TO N'/sys/x.ldf'"),
         {5133, 3156, 3634, 3156, 3119, 3013},
         "failed with the operating system error 3(The system cannot find the path specified.)."},
        {Restore("新", Bak(),
                 "MOVE N'" + source + "' TO N'" + (Targets() / "占用.mdf").string() + "', MOVE N'" + source +
                     "_log' TO N'" + (Targets() / "占用.mdf").string() + "'"),
         {3142, 3156, 3176, 3142, 3156, 3119, 3013}, "cannot be restored over the existing"},
    };
    for (const Case& c : cases) {
        const Outcome o = One(S(), c.sql);
        EXPECT_TRUE(o.failed) << c.sql;
        EXPECT_THAT(o.Numbers(), ElementsAreArray(c.numbers)) << c.sql;
        EXPECT_THAT(o.messages.at(0).text, HasSubstr(c.text)) << c.sql;
        EXPECT_EQ(o.messages.back().text, "RESTORE DATABASE is terminating abnormally.");
        EXPECT_FALSE(engine_->DatabaseExists("新")) << c.sql;
        EXPECT_EQ(TargetCount(), 1u) << c.sql;
    }
    const Outcome damaged = One(S(), Restore("新", altered));
    EXPECT_THAT(damaged.Numbers(), ElementsAre(3189, 3013));
    EXPECT_EQ(damaged.messages[0].text, "Damage to the backup set was detected.");
    EXPECT_EQ(Query(S(), "SELECT state_desc FROM sys.databases WHERE name = N'新'"), (Rows{{"RESTORING"}}));
    EXPECT_EQ(TargetCount(), 3u);
    Ok(S(), "DROP DATABASE [新]");
    EXPECT_EQ(TargetCount(), 1u);
    // HEADERONLY reads the header alone: a damaged payload is still described.
    EXPECT_EQ(Ok(S(), "restore headeronly from disk='" + altered.string() + "'").rows.size(), 1u);
    EXPECT_THAT(One(S(), "restore headeronly from disk='" + foreign.string() + "'").Numbers(), ElementsAre(3241, 3013));
    // Over the database the backup was taken of, without REPLACE: allowed, unless in use (3101).
    EXPECT_THAT(One(S(), Restore(kSource, Bak())).Numbers(), ElementsAre(3102, 3013));
}

// "RESTORE Statements (Transact-SQL)", Permissions: a restore that creates a database, and
// reading a backup's header, need CREATE DATABASE (262 / 3110, error pages 0-999 and 3000-3999).
TEST_F(RestoreTest, ALogInWithoutCreateDatabaseIsRefused) {
    standin::Engine::Settings settings;
    settings.mayCreateDatabases = false;
    standin::Engine engine(dir_.Path(), {}, settings);
    const auto session = Open(engine, "master");
    EXPECT_EQ(Error(*session, "CREATE DATABASE 新").text, "CREATE DATABASE permission denied in database 'master'.");
    EXPECT_THAT(One(*session, "RESTORE HEADERONLY FROM DISK='" + Bak().string() + "'").Numbers(), ElementsAre(262, 3013));
    const Outcome restore = One(*session, Restore("新", Bak()));
    EXPECT_THAT(restore.Numbers(), ElementsAre(3110, 3013));
    EXPECT_EQ(restore.messages[0].severity, 14);
    EXPECT_EQ(TargetCount(), 0u);
}

// "RESTORE Statements (Transact-SQL)", REPLACE option impact: without REPLACE an existing
// database is refused (3154) when its family GUID differs from the backup's, whatever the names,
// and one of the backup's family (restored from it earlier) is overwritten.
TEST_F(RestoreTest, WithoutReplaceAnExistingDatabaseIsRefusedByFamilyNotByName) {
    Ok(S(), Restore("审计", Bak()));
    Ok(*Open(*engine_, "审计"), "CREATE TABLE 审计笔记 (x int)");
    Ok(S(), "CREATE DATABASE 别的");
    EXPECT_THAT(One(S(), Restore("别的", Bak())).Numbers(), ElementsAre(3154, 3013));
    Ok(S(), Restore("审计", Bak()));
    EXPECT_EQ(Error(*Open(*engine_, "审计"), "SELECT * FROM 审计笔记").number, 208) << "overwritten";
}

// "VIEW ANY DATABASE permission", "DB_ID (Transact-SQL)" and "sys.databases (Transact-SQL)": a
// log-in denied VIEW ANY DATABASE sees master, tempdb and the databases it owns only;
// "HAS_PERMS_BY_NAME (Transact-SQL)" and "IS_SRVROLEMEMBER (Transact-SQL)" say so.
TEST_F(RestoreTest, ALogInDeniedViewAnyDatabaseSeesOnlyMasterAndItsOwnDatabases) {
    const std::string asked =
        "SELECT DB_ID(N'" + std::string(kSource) + "'), DB_ID(N'master'), DB_ID(N'自己的') - DB_ID(N'自己的'), "
        "HAS_PERMS_BY_NAME(NULL, NULL, 'VIEW ANY DATABASE'), IS_SRVROLEMEMBER('sysadmin'), IS_SRVROLEMEMBER('dbcreator')";
    standin::Engine::Settings settings;
    settings.viewAnyDatabase = false;
    standin::Engine engine(dir_.Path(), {}, settings);
    const std::unique_ptr<standin::Session> auditor = Open(engine, "master", "auditor");
    Ok(*auditor, Restore("自己的", Bak()));
    EXPECT_EQ(Query(*auditor, asked), (Rows{{"NULL", "1", "0", "0", "0", "1"}}));
    EXPECT_EQ(Query(*auditor, "SELECT name FROM sys.databases ORDER BY database_id"), (Rows{{"master"}, {"自己的"}}));
    Ok(S(), "DROP DATABASE 自己的");
    EXPECT_EQ(Query(S(), asked), (Rows{{Query(S(), "SELECT DB_ID()")[0][0], "1", "NULL", "1", "1", "0"}}));
}

// An interrupt (the client's attention) stops a restore under way; the database it began is
// left RESTORING with its files, as SQL Server leaves it, and no scratch file stays.
TEST_F(RestoreTest, AnInterruptedRestoreLeavesTheDatabaseRestoring) {
    standin::Engine::Settings settings;
    settings.restoreStepDelay = std::chrono::milliseconds(20);
    standin::Engine engine(dir_.Path(), {}, settings);
    const auto session = Open(engine, "master");
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        session->Interrupt();
    });
    const BatchResult r = RunBatch(*session, Restore("新", Bak()) + ", STATS = 1");
    stopper.join();
    EXPECT_FALSE(r.completed);
    EXPECT_EQ(Query(*session, "SELECT DATABASEPROPERTYEX(N'新', 'Status')"), (Rows{{"RESTORING"}}));
    EXPECT_EQ(TargetCount(), 2u);
    Ok(*session, "DROP DATABASE [新]");
    EXPECT_FALSE(engine.DatabaseExists("新"));
    EXPECT_EQ(TargetCount(), 0u);
    for (const fs::directory_entry& e : fs::directory_iterator(dir_.Path()))
        EXPECT_NE(e.path().filename().native().rfind(".scratch", 0), 0u) << "left behind: " << e.path();
}

}  // namespace
}  // namespace enginetest
