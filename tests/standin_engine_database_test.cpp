// Databases as the tool uses them: create, select-into between databases, backup, drop; and
// USE and log-in to a database.

#include <fstream>

#include "backup_file.h"
#include "standin_engine_support.h"

namespace enginetest {
namespace {

using standin::SqlType;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace fs = std::filesystem;

class DatabaseTest : public SampleTest {
protected:
    // Where a backup goes: a directory of its own.
    fs::path BackupDir() {
        const fs::path d = dir_.Path() / "备份";
        fs::create_directories(d);
        return d;
    }
};

TEST_F(DatabaseTest, CreateDatabaseNamesAreCaseInsensitive) {
    EXPECT_FALSE(engine_->DatabaseExists(kTemp));
    const Outcome created = Ok(S(), "create database Tarvex数据整理");
    EXPECT_EQ(created.rowCount, -1);
    EXPECT_TRUE(created.messages.empty());
    EXPECT_TRUE(engine_->DatabaseExists(kTemp));
    EXPECT_TRUE(engine_->DatabaseExists("TARVEX数据整理"));
    EXPECT_TRUE(engine_->DatabaseExists("2016年乡镇数据采集"));
    EXPECT_FALSE(engine_->DatabaseExists("Tarvex数据整"));
    const Message again = Error(S(), "create database [tarvex数据整理]");
    EXPECT_EQ(again.number, 1801);
    EXPECT_EQ(again.severity, 16);
    EXPECT_EQ(again.text, "Database 'tarvex数据整理' already exists. Choose a different database name.");
}

TEST_F(DatabaseTest, AnyNameFitsTheFileSystem) {
    for (const char* name : {"a/b\\c", "..", "x.y ", "con", "a:b*c?d\"e<f>g|h", "100%", "Ç"}) {
        std::string quoted = "[";
        for (const char* c = name; *c; ++c) quoted += *c == ']' ? std::string("]]") : std::string(1, *c);
        quoted += "]";
        Ok(S(), "create database " + quoted);
        EXPECT_TRUE(engine_->DatabaseExists(name)) << name;
        Ok(S(), "CREATE TABLE " + quoted + "..t (v varchar(10))");
        Ok(S(), "INSERT INTO " + quoted + "..t VALUES ('" + std::string(name) + "')");
    }
    EXPECT_TRUE(engine_->DatabaseExists("ç"));
    // The longest names SQL Server takes, 128 characters, also when they share a long beginning.
    std::string longName, otherLongName;
    for (int k = 0; k < 127; ++k) longName += "账";
    otherLongName = longName + "乙";
    longName += "甲";
    Ok(S(), "create database [" + longName + "]");
    Ok(S(), "create database [" + otherLongName + "]");
    Ok(S(), "CREATE TABLE [" + longName + "]..t (v int)");
    EXPECT_EQ(Error(S(), "SELECT * FROM [" + otherLongName + "]..t").number, 208);
    Ok(S(), "drop database [" + longName + "]");
    EXPECT_TRUE(engine_->DatabaseExists(otherLongName));
    EXPECT_EQ(Query(S(), "SELECT v FROM [a/b\\c].dbo.t"), (Rows{{"a/b\\c"}}));
    EXPECT_EQ(Query(S(), "SELECT v FROM [..].dbo.t"), (Rows{{".."}}));
    // Every database is one file directly in the data directory.
    for (const fs::directory_entry& e : fs::directory_iterator(dir_.Path())) {
        EXPECT_TRUE(e.is_regular_file()) << e.path();
    }
}

TEST_F(DatabaseTest, SelectIntoAnotherDatabaseCopiesTypesAndRows) {
    Ok(S(), "create database Tarvex数据整理");
    const char* copy =
        R"(SELECT  "BZ","CN","dyzt"='0',"fjzs","GDBZ"='',"gsdm","kjqj","pzh","pzje","pzrq","ZTH" into "Tarvex数据整理"."dbo"."GL_PZML"  FROM "2016年乡镇数据采集"."dbo"."GL_PZML"where gsdm='001' and zth='001' and left(kjqj,4)='2016')";
    const Outcome o = Ok(S(), copy);
    EXPECT_EQ(o.rowCount, 48);
    EXPECT_FALSE(o.columns);

    // The new table has the source's declared types, constants as varchar of their length.
    const fs::path file = dir_.Path() / "tarvex数据整理.sqlite";
    ASSERT_TRUE(fs::exists(file));
    const Rows schema = PlainQuery(file, "SELECT name, lower(type), \"notnull\" FROM pragma_table_info('GL_PZML')");
    EXPECT_EQ(schema, (Rows{{"BZ", "varchar(100)", "0"},
                            {"CN", "varchar(100)", "0"},
                            {"dyzt", "varchar(1)", "1"},
                            {"fjzs", "int", "0"},
                            {"GDBZ", "varchar(1)", "1"},
                            {"gsdm", "varchar(10)", "1"},
                            {"kjqj", "varchar(6)", "1"},
                            {"pzh", "int", "0"},
                            {"pzje", "decimal(18,2)", "0"},
                            {"pzrq", "datetime", "0"},
                            {"ZTH", "varchar(3)", "1"}}));

    // Exactly the filtered source rows.
    const Rows copied = Query(S(), "SELECT * FROM Tarvex数据整理.dbo.GL_PZML ORDER BY kjqj, pzh");
    const Rows source = Query(S(),
                              "SELECT BZ, CN, '0', fjzs, '', gsdm, kjqj, pzh, pzje, pzrq, ZTH FROM GL_PZML "
                              "WHERE gsdm = '001' AND zth = '001' AND kjqj LIKE '2016%' ORDER BY kjqj, pzh");
    EXPECT_EQ(copied, source);
    EXPECT_EQ(copied.size(), 48u);
    EXPECT_EQ(copied.front()[6], "201601");

    const Outcome meta = Ok(S(), "SELECT pzje, pzrq, dyzt FROM Tarvex数据整理..GL_PZML WHERE pzh = 1");
    EXPECT_EQ(meta.columns->at(0).type, SqlType::Decimal);
    EXPECT_EQ(meta.columns->at(0).scale, 2);
    EXPECT_EQ(meta.columns->at(1).type, SqlType::DateTime);
    EXPECT_EQ(meta.columns->at(2).length, 1);
    EXPECT_FALSE(meta.columns->at(2).nullable);
}

TEST_F(DatabaseTest, SelectIntoAnExistingTableFailsAndKeepsIt) {
    Ok(S(), "create database Tarvex数据整理");
    const char* copy =
        R"(SELECT  "BZ1","BZ2","BZ3","BZ4","BZ5","GSDM","ZTH" into "Tarvex数据整理"."dbo"."GL_BZ" FROM "2016年乡镇数据采集"."dbo"."GL_BZ" where GSDM='001' and zth='001')";
    EXPECT_EQ(Ok(S(), copy).rowCount, 2);
    const Rows before = Query(S(), "SELECT * FROM Tarvex数据整理..GL_BZ");
    const Message m = Error(S(), copy);
    EXPECT_EQ(m.number, 2714);
    EXPECT_EQ(m.text, "There is already an object named 'GL_BZ' in the database.");
    EXPECT_EQ(Query(S(), "SELECT * FROM Tarvex数据整理..GL_BZ"), before);
    EXPECT_EQ(Error(S(), R"(SELECT 1 AS a into "Tarvex数据整理"."dbo"."gl_bz")").number, 2714);
}

TEST_F(DatabaseTest, SelectIntoWithMissingPieces) {
    Ok(S(), "create database Tarvex数据整理");
    const Message table = Error(
        S(),
        R"(SELECT "BZ1" into "Tarvex数据整理"."dbo"."GL_BZ" FROM "2016年乡镇数据采集"."dbo"."GL_BZX" where GSDM='001')");
    EXPECT_EQ(table.text, "Invalid object name '2016年乡镇数据采集.dbo.GL_BZX'.");
    const Message column = Error(
        S(),
        R"(SELECT "BZ1","BZ9" into "Tarvex数据整理"."dbo"."GL_BZ" FROM "2016年乡镇数据采集"."dbo"."GL_BZ" where GSDM='001')");
    EXPECT_EQ(column.text, "Invalid column name 'BZ9'.");
    const Message whereColumn = Error(
        S(),
        R"(SELECT "BZ1" into "Tarvex数据整理"."dbo"."GL_BZ" FROM "2016年乡镇数据采集"."dbo"."GL_BZ" where kjnd='2016')");
    EXPECT_EQ(whereColumn.text, "Invalid column name 'kjnd'.");
    const Message source =
        Error(S(), R"(SELECT "BZ1" into "Tarvex数据整理"."dbo"."GL_BZ" FROM "2017年"."dbo"."GL_BZ" where GSDM='001')");
    EXPECT_EQ(source.number, 911);
    EXPECT_EQ(source.text, "Database '2017年' does not exist. Make sure that the name is entered correctly.");
    const Message target = Error(
        S(), R"(SELECT "BZ1" into "Tarvex"."dbo"."GL_BZ" FROM "2016年乡镇数据采集"."dbo"."GL_BZ" where GSDM='001')");
    EXPECT_EQ(target.number, 911);
    EXPECT_EQ(Error(S(), R"(SELECT "BZ1", "bz1" into "Tarvex数据整理"."dbo"."GL_BZ" FROM GL_BZ)").number, 2705);
    EXPECT_EQ(Error(S(), R"(SELECT 1 into "Tarvex数据整理"."dbo"."GL_BZ")").number, 1038);
    // None of the failures left a table behind.
    EXPECT_EQ(Error(S(), "SELECT * FROM Tarvex数据整理..GL_BZ").number, 208);
}

TEST_F(DatabaseTest, SelectIntoTheCurrentDatabase) {
    EXPECT_EQ(Ok(S(), "SELECT ztbh, ztmc INTO sets FROM GL_Ztcs WHERE kjnd = '2017' ORDER BY ztbh").rowCount, 6);
    EXPECT_EQ(Query(S(), "SELECT ztbh FROM sets WHERE ztmc LIKE '演示%'"), (Rows{{"001"}, {"002"}}));
}

TEST_F(DatabaseTest, BackupWritesASqliteCopyAndOverwritesIt) {
    Ok(S(), "create database Tarvex数据整理");
    Ok(S(),
       R"(SELECT  "BZ1","BZ2","BZ3","BZ4","BZ5","GSDM","ZTH" into "Tarvex数据整理"."dbo"."GL_BZ" FROM "2016年乡镇数据采集"."dbo"."GL_BZ" where GSDM='001' and zth='001')");
    const fs::path bak = BackupDir() / "演示账套4月5日9时7分3秒.bak";
    // The path as the tool writes it: one blank before the closing apostrophe.
    const std::string backup = "backup database Tarvex数据整理 to disk='" + bak.string() + " 'with init";
    const Outcome o = Ok(S(), backup);
    // One 4035 for the data file, one for the log file, then 3014.
    ASSERT_EQ(o.messages.size(), 3u);
    EXPECT_EQ(o.messages[0].number, 4035);
    EXPECT_EQ(o.messages[0].severity, 10);
    EXPECT_THAT(o.messages[0].text,
                ::testing::MatchesRegex(
                    "Processed [0-9]+ pages for database 'Tarvex数据整理', file 'Tarvex数据整理' on file 1\\."));
    EXPECT_EQ(o.messages[1].text, "Processed 2 pages for database 'Tarvex数据整理', file 'Tarvex数据整理_log' on file 1.");
    EXPECT_EQ(o.messages[2].number, 3014);
    EXPECT_EQ(o.messages[2].severity, 10);
    EXPECT_THAT(
        o.messages[2].text,
        ::testing::MatchesRegex("BACKUP DATABASE successfully processed [0-9]+ pages in [0-9]+\\.[0-9][0-9][0-9] "
                                "seconds \\([0-9]+\\.[0-9][0-9][0-9] MB/sec\\)\\."));
    EXPECT_EQ(o.rowCount, -1);

    ASSERT_TRUE(fs::exists(bak));
    EXPECT_FALSE(fs::exists(bak.string() + " "));
    const fs::path copy = dir_.Path() / "payload";
    ASSERT_FALSE(standin::ExtractBackupFile(bak, copy));
    const Rows copied = PlainQuery(copy, "SELECT * FROM GL_BZ ORDER BY BZ2");
    EXPECT_EQ(copied.size(), 2u);
    EXPECT_EQ(copied, PlainQuery(dir_.Path() / "tarvex数据整理.sqlite", "SELECT * FROM GL_BZ ORDER BY BZ2"));
    EXPECT_EQ(PlainQuery(copy, "PRAGMA integrity_check"), (Rows{{"ok"}}));
    EXPECT_EQ(PlainQuery(copy, "PRAGMA journal_mode"), (Rows{{"delete"}}));

    // WITH INIT overwrites the file with the database as it is now.
    Ok(S(), "DELETE FROM Tarvex数据整理..GL_BZ");
    Ok(S(), backup);
    ASSERT_FALSE(standin::ExtractBackupFile(bak, copy));
    EXPECT_TRUE(PlainQuery(copy, "SELECT * FROM GL_BZ").empty());
    for (const fs::directory_entry& e : fs::directory_iterator(bak.parent_path())) {
        EXPECT_EQ(e.path().filename(), bak.filename()) << "left behind: " << e.path();
    }
    for (const fs::directory_entry& e : fs::directory_iterator(dir_.Path()))
        EXPECT_NE(e.path().filename().native().rfind(".scratch", 0), 0u) << "left behind: " << e.path();
}

TEST_F(DatabaseTest, BackupPathsAsWindowsReadsThem) {
    Ok(S(), "create database Tarvex数据整理");
    const fs::path d = BackupDir();
    Ok(S(), "backup database Tarvex数据整理 to disk='" + (d / "dots.bak. . ").string() + "'with init");
    EXPECT_TRUE(fs::exists(d / "dots.bak"));
    fs::create_directories(d / "子目录");
    Ok(S(), "backup database Tarvex数据整理 to disk='" + d.string() + "\\子目录\\x.bak 'with init");
    EXPECT_TRUE(fs::exists(d / "子目录" / "x.bak"));
}

// Under wine the tool backs up to its folder as Z:\...; the engine started with Z: mapped to a
// directory writes there. Other drives, and the engine without the mapping, keep the path.
TEST_F(DatabaseTest, BackupPathsOnAMappedDriveLandUnderItsDirectory) {
    const fs::path d = BackupDir();
    standin::Engine mapped(dir_.Path(), {{'Z', d}});
    const auto session = Open(mapped, kSource);
    Ok(*session, "create database Tarvex数据整理");
    fs::create_directories(d / "子目录");
    for (const char* path : {"Z:\\x.bak", "z:/子目录/y.bak"}) {
        Ok(*session, "backup database Tarvex数据整理 to disk='" + std::string(path) + "'with init");
    }
    EXPECT_TRUE(fs::exists(d / "x.bak"));
    EXPECT_TRUE(fs::exists(d / "子目录" / "y.bak"));
    EXPECT_EQ(One(*session, "backup database Tarvex数据整理 to disk='Y:\\x.bak'with init").messages.at(0).number, 3201);
}

// Under wine in a GBK locale the program sees the Unix names below Z: in GBK: with that
// charset the backup and its check name the file the program finds. A name GBK cannot hold is
// invalid, as Windows says.
TEST_F(DatabaseTest, BackupNamesOnAMappedDriveInItsCharset) {
    const fs::path d = BackupDir();
    standin::Engine mapped(dir_.Path(), {{'Z', standin::Engine::MappedDrive(d, "GBK")}});
    const auto session = Open(mapped, kSource);
    Ok(*session, "create database Tarvex数据整理");
    Ok(*session, "backup database Tarvex数据整理 to disk='Z:\\演示账套.bak' with init");
    EXPECT_TRUE(fs::exists(d / "\xD1\xDD\xCA\xBE\xD5\xCB\xCC\xD7.bak"));
    EXPECT_THAT(One(*session, "restore verifyonly from disk='Z:\\演示账套.bak'").Numbers(), ElementsAre(3262));
    const Outcome refused = One(*session, "backup database Tarvex数据整理 to disk='Z:\\😀.bak' with init");
    EXPECT_THAT(refused.Numbers(), ElementsAre(3201, 3013));
    EXPECT_THAT(refused.messages.at(0).text, HasSubstr("Operating system error 123("));
    EXPECT_THROW(standin::Engine(dir_.Path(), {{'Z', standin::Engine::MappedDrive(d, "NO-SUCH-CHARSET")}}),
                 std::invalid_argument);
}

TEST_F(DatabaseTest, BackupThatCannotWriteItsFile) {
    Ok(S(), "create database Tarvex数据整理");
    const std::string path = (dir_.Path() / "no such dir" / "x.bak ").string();
    const Outcome o = One(S(), "backup database Tarvex数据整理 to disk='" + path + "'with init");
    EXPECT_TRUE(o.failed);
    EXPECT_THAT(o.Numbers(), ElementsAre(3201, 3013));
    EXPECT_EQ(o.messages[0].severity, 16);
    EXPECT_EQ(o.messages[0].text, "Cannot open backup device '" + path +
                                      "'. Operating system error 3(The system cannot find the path specified.).");
    EXPECT_EQ(o.messages[1].text, "BACKUP DATABASE is terminating abnormally.");

    // Without WITH INIT a set is appended ("BACKUP (Transact-SQL)", NOINIT): to a file that is no
    // backup it cannot be, and the file stays as it is.
    const fs::path existing = BackupDir() / "old.bak";
    std::ofstream(existing) << "old";
    const Outcome kept = One(S(), "backup database Tarvex数据整理 to disk='" + existing.string() + "'");
    EXPECT_THAT(kept.Numbers(), ElementsAre(3241, 3013));
    EXPECT_EQ(fs::file_size(existing), 3u);
}

TEST_F(DatabaseTest, BackupOfAMissingDatabase) {
    const Message m =
        Error(S(), "backup database Tarvex数据整理 to disk='" + (BackupDir() / "x.bak").string() + "'with init");
    EXPECT_EQ(m.number, 911);
    EXPECT_FALSE(fs::exists(BackupDir() / "x.bak"));
}

TEST_F(DatabaseTest, DropDatabase) {
    Ok(S(), "create database Tarvex数据整理");
    Ok(S(), R"(SELECT "BZ1" into "Tarvex数据整理"."dbo"."GL_BZ" FROM GL_BZ)");
    // A statement that named it has let go of the file.
    EXPECT_EQ(Query(S(), "SELECT COUNT(*) FROM [Tarvex数据整理].[dbo].[GL_BZ]"), (Rows{{"12"}}));
    EXPECT_EQ(Ok(S(), "drop database Tarvex数据整理").rowCount, -1);
    EXPECT_FALSE(engine_->DatabaseExists(kTemp));
    EXPECT_FALSE(fs::exists(dir_.Path() / "tarvex数据整理.sqlite"));
    const Message m = Error(S(), "drop database Tarvex数据整理");
    EXPECT_EQ(m.number, 3701);
    EXPECT_EQ(m.severity, 11);
    EXPECT_EQ(m.text,
              "Cannot drop the database 'Tarvex数据整理', because it does not exist or you do not have permission.");
    // Created again, it starts empty.
    Ok(S(), "create database TARVEX数据整理");
    EXPECT_EQ(Error(S(), "SELECT * FROM Tarvex数据整理..GL_BZ").number, 208);
}

TEST_F(DatabaseTest, DropADatabaseInUse) {
    Ok(S(), "create database Tarvex数据整理");
    std::unique_ptr<standin::Session> other = Open(*engine_, "tarvex数据整理");
    const Message m = Error(S(), "drop database Tarvex数据整理");
    EXPECT_EQ(m.number, 3702);
    EXPECT_EQ(m.severity, 16);
    EXPECT_EQ(m.text, "Cannot drop database \"Tarvex数据整理\" because it is currently in use.");
    EXPECT_TRUE(engine_->DatabaseExists(kTemp));
    Ok(*other, "USE master");
    Ok(S(), "drop database Tarvex数据整理");
    EXPECT_FALSE(engine_->DatabaseExists(kTemp));
}

TEST_F(DatabaseTest, UseChangesTheCurrentDatabase) {
    EXPECT_EQ(S().CurrentDatabase(), kSource);
    Ok(S(), "create database Tarvex数据整理");
    const Outcome used = Ok(S(), "USE [Tarvex数据整理]");
    ASSERT_EQ(used.messages.size(), 1u);
    EXPECT_EQ(used.messages[0].number, 5701);
    EXPECT_EQ(used.messages[0].severity, 10);
    EXPECT_EQ(used.messages[0].text, "Changed database context to 'Tarvex数据整理'.");
    EXPECT_EQ(S().CurrentDatabase(), kTemp);
    Ok(S(), "CREATE TABLE here (a int)");
    EXPECT_EQ(Error(S(), "SELECT * FROM GL_BZ").number, 208);
    EXPECT_EQ(Query(S(), R"(SELECT COUNT(*) FROM "2016年乡镇数据采集"..GL_BZ)"), (Rows{{"12"}}));
    const Message missing = Error(S(), "USE nosuch");
    EXPECT_EQ(missing.number, 911);
    EXPECT_EQ(S().CurrentDatabase(), kTemp);
    Ok(S(), "USE [2016年乡镇数据采集]");
    EXPECT_EQ(Query(S(), "SELECT COUNT(*) FROM Tarvex数据整理..here"), (Rows{{"0"}}));
}

TEST_F(DatabaseTest, OpenSession) {
    std::unique_ptr<standin::Session> master = Open(*engine_, "");
    EXPECT_EQ(master->CurrentDatabase(), "master");
    EXPECT_EQ(Query(*master, "SELECT 1"), (Rows{{"1"}}));
    Message error;
    EXPECT_FALSE(engine_->OpenSession("2017年乡镇数据采集", &error));
    EXPECT_EQ(error.number, 4060);
    EXPECT_EQ(error.severity, 11);
    EXPECT_EQ(error.text, "Cannot open database \"2017年乡镇数据采集\" requested by the login. The login failed.");
    const Message system = Error(S(), "drop database MASTER");
    EXPECT_EQ(system.number, 3708);
    EXPECT_EQ(system.text, "Cannot drop the database 'MASTER' because it is a system database.");
}

TEST_F(DatabaseTest, ADataDirectoryOutlivesItsEngine) {
    Ok(S(), "create database Tarvex数据整理");
    Ok(S(), "CREATE TABLE Tarvex数据整理..kept (v varchar(5))");
    Ok(S(), "INSERT INTO Tarvex数据整理..kept VALUES ('x')");
    session_.reset();
    engine_ = std::make_unique<standin::Engine>(dir_.Path());
    std::unique_ptr<standin::Session> s = Open(*engine_, kTemp);
    EXPECT_EQ(Query(*s, "SELECT v FROM kept"), (Rows{{"x"}}));
}

}  // namespace
}  // namespace enginetest
