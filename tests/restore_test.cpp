// Restoring a backup as a new database, through the real driver against the stand-in: what the
// backup holds, where its files go, bad inputs refused in the user's words, and nothing left
// half-restored after a failure or a server gone (a cancel: the dialog's tests).

#include <gtest/gtest.h>

#include <clocale>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>

#include "codepage.h"
#include "restore.h"
#include "standin_process.h"
#include "test_files.h"

namespace fs = std::filesystem;
using tarvex::Restored;

namespace {

std::string Local(const std::string& utf8) { return tarvex::CodePage::Process().FromUtf8(utf8); }
std::string Utf8(const std::string& local) { return tarvex::CodePage::Process().ToUtf8(local); }
bool Says(const std::string& local, const char* utf8) { return Utf8(local).find(utf8) != std::string::npos; }

class Recorder final : public tarvex::Report {
public:
    void Log(const std::string& line) override {
        log += Utf8(line);
        if (onLog) onLog(Utf8(line));
    }
    void Percent(int percent) override { percents.push_back(percent); }
    void Elapsed(std::chrono::seconds elapsed) override {
        if (onElapsed) onElapsed(elapsed);
    }
    bool Cancelled() override { return false; }

    std::string log;
    std::vector<int> percents;
    std::function<void(std::chrono::seconds)> onElapsed;  // on the restore's own thread
    std::function<void(const std::string&)> onLog;        // each line in UTF-8, before the restore goes on
};

class Restore : public ::testing::Test {
protected:
    // The stand-in's arguments besides the sample's.
    virtual std::vector<std::string> StandinArguments() { return {}; }

    void SetUp() override {
        testsupport::UsePrivateOdbcConfig();
        testsupport::StandinProcess::Options options;
        options.extraArgs = StandinArguments();
        standin_ = std::make_unique<testsupport::StandinProcess>(options);
        standin_->ExportTdsPort();
        bak_ = standin_->DataDir().parent_path() / "样本.bak";
        ASSERT_TRUE(Sql("backup database [2016年乡镇数据采集] to disk = N'" + bak_.string() + "'"));
        Connect();
    }
    void Connect(const std::string& user = "sa") {
        const auto connected = tarvex::ConnectForRestore(database_, {".", user, "1", ""}, tarvex::LoginPrompt::Never());
        ASSERT_TRUE(connected.value) << Utf8(connected.problem);
        server_ = *connected.value;
    }
    bool Sql(const std::string& utf8) {
        if (!own_.IsOpen()) {
            EXPECT_TRUE(own_.NewOpenDatabase("DRIVER=SQL Server;SERVER=.;UID=sa;PWD=1;DATABASE=master"));
        }
        return own_.ExecuteSql(Local(utf8), tarvex::Timeout::None(), tarvex::Execution::Direct);
    }
    bool Exists(const std::string& utf8) {
        Sql("SELECT 1");  // opens the connection
        const auto rows = own_.ReadAllText("SELECT DB_ID(N'" + Local(utf8) + "')");
        return rows && !rows->empty() && !rows->front().front().empty();
    }
    tarvex::Reading<tarvex::BackupDescription> Read(const fs::path& bak) {
        return tarvex::ReadBackup(database_, server_, Local(bak.string()));
    }
    Restored RestoreAs(const std::string& utf8, const fs::path& bak) {
        const auto backup = Read(bak);
        EXPECT_TRUE(backup.value) << Utf8(backup.problem);
        return tarvex::RestoreBackup(database_, server_, backup.value.value_or(tarvex::BackupDescription{}), Local(utf8),
                                     report_);
    }
    int Restores() {
        int n = 0;
        for (const std::string& s : standin_->Statements()) n += s.rfind("RESTORE DATABASE", 0) == 0;
        return n;
    }

    std::unique_ptr<testsupport::StandinProcess> standin_;
    fs::path bak_;
    tarvex::Database database_;
    tarvex::RestoreServer server_;
    tarvex::ODBCDB own_;
    Recorder report_;
};

// Each of the restore's hundred progress steps lasts 100 ms: a restore of ten seconds.
class SlowRestore : public Restore {
    std::vector<std::string> StandinArguments() override { return {"--restore-step-ms", "100"}; }
};


}  // namespace

// "RESTORE Statements - HEADERONLY / FILELISTONLY (Transact-SQL)"; the files go into the folder
// SERVERPROPERTY('InstanceDefaultDataPath') names ("SERVERPROPERTY (Transact-SQL)": ends in a
// separator), under the new name, which may hold "]" and, where the code page holds it, a
// character beyond the Basic Multilingual Plane.
TEST_F(Restore, TheBackupIsDescribedAndRestoredUnderANameWithABracketAndACharacterBeyondTheBmp) {
    const auto backup = Read(bak_);
    ASSERT_TRUE(backup.value) << Utf8(backup.problem);
    EXPECT_EQ(Utf8(backup.value->database), "2016年乡镇数据采集");
    EXPECT_EQ(backup.value->sets.size(), 1u);
    EXPECT_EQ(Utf8(backup.value->VersionText()), "SQL Server 2019（15.0.2000）");
    EXPECT_EQ(backup.value->backupSize, static_cast<long long>(fs::file_size(bak_)));
    ASSERT_EQ(backup.value->files.size(), 2u);
    EXPECT_EQ(backup.value->files[1].type, 'L');
    EXPECT_EQ(Utf8(server_.dataFolder), standin_->DataDir().string() + "-files/");

    const std::string name = tarvex::CodePage::Process().GetKind() == tarvex::CodePage::Kind::Utf8 ? "审计]库𠀀" : "审计]库";
    const Restored r = RestoreAs(name, bak_);
    EXPECT_EQ(r.end, Restored::End::Restored) << Utf8(r.message) << r.error.Describe();
    EXPECT_EQ(report_.percents, (std::vector<int>{10, 20, 30, 40, 50, 60, 70, 80, 90, 100}));
    EXPECT_TRUE(Exists(name));
    EXPECT_TRUE(fs::exists(standin_->DataDir().string() + "-files/" + name + ".mdf"));
    EXPECT_TRUE(fs::exists(standin_->DataDir().string() + "-files/" + name + "_log.ldf"));
}

// Each refused or failed in the user's words; none leaves a database, and no restore statement
// goes to the server for a name that is taken.
TEST_F(Restore, BadInputsAreRefusedInTheUsersWordsAndLeaveNothing) {
    const fs::path missing = bak_.parent_path() / "无此文件.bak", junk = bak_.parent_path() / "不是备份.bak",
                   damaged = bak_.parent_path() / "坏的.bak";
    std::ofstream(junk) << "not a backup";
    std::ofstream(standin_->DataDir().string() + "-files/占用_log.ldf") << "a detached database's";
    fs::copy_file(bak_, damaged);
    testsupport::AlterByte(damaged, fs::file_size(damaged) - 100);
    for (const auto& [file, says] : {std::pair{missing, "打不开备份文件"}, std::pair{junk, "不是这台SQL Server能读取的"}}) {
        const auto read = Read(file);
        EXPECT_FALSE(read.value);
        EXPECT_TRUE(Says(read.problem, says)) << Utf8(read.problem);
    }
    struct Case {
        std::string name;
        fs::path bak;
        Restored::End end;
        const char* says;
    };
    const std::vector<Case> cases = {
        {"坏", damaged, Restored::End::Failed, "已损坏"},
        {"占用", bak_, Restored::End::Failed, "中已有还原要用的文件（“占用.mdf”、“占用_log.ldf”之一），服务器不会覆盖"},
        {"2016年乡镇数据采集", bak_, Restored::End::Refused, "服务器上已有名为“2016年乡镇数据采集”的数据库"},
        {"", bak_, Restored::End::Refused, "请填写还原后的数据库名称"},
        {"审'计", bak_, Restored::End::Refused, "不能含有单引号"},
        {std::string(129, 'x'), bak_, Restored::End::Refused, "最长128个字符"},
    };
    for (const Case& c : cases) {
        const Restored r = RestoreAs(c.name, c.bak);
        EXPECT_EQ(r.end, c.end) << c.name;
        EXPECT_TRUE(Says(r.message, c.says)) << Utf8(r.message);
    }
    EXPECT_FALSE(Exists("坏"));
    EXPECT_NE(report_.log.find("已删除没有还原完的数据库“坏”"), std::string::npos) << report_.log;
    EXPECT_EQ(Restores(), 2) << "the damaged backup's and the one over a file alone";
}

// Names that a file name holds alike, and one of 128 Chinese characters (384 bytes of UTF-8),
// restore into files of their own.
TEST_F(Restore, NamesThatAFileNameHoldsAlikeAndALongNameRestoreIntoFilesOfTheirOwn) {
    std::string chinese;
    for (int k = 0; k < 128; ++k) chinese += "审";
    for (const std::string& name : {std::string("审计:库"), std::string("审计/库"), std::string("审计\"库"), chinese})
        EXPECT_EQ(RestoreAs(name, bak_).end, Restored::End::Restored) << report_.log;
}

// "VIEW ANY DATABASE permission", "DB_ID (Transact-SQL)": a log-in denied it is not told of the
// sample, which the sample's backup would overwrite ("RESTORE Statements (Transact-SQL)", REPLACE
// option impact); the backup's own name is refused and says why, another restores.
TEST_F(Restore, ALogInThatMayNotSeeEveryDatabaseIsRefusedTheBackupsOwnName) {
    standin_->Stop();
    standin_->Start({"--user", "auditor", "--deny-view-any-database"});
    ASSERT_NO_FATAL_FAILURE(Connect("auditor"));
    const Restored own = RestoreAs("2016年乡镇数据采集", bak_);
    EXPECT_TRUE(Says(own.message, "不能查看服务器上所有的数据库（没有VIEW ANY DATABASE权限）")) << Utf8(own.message);
    EXPECT_EQ(RestoreAs("审计库", bak_).end, Restored::End::Restored);
    EXPECT_EQ(Restores(), 1);
}

// A database of the name that another made while the restore ran, before its statement (the
// server refuses the name: 3154) or after it failed (complete: ONLINE), is left by the clean-up.
TEST_F(Restore, TheCleanUpLeavesADatabaseOfTheNameThatAnotherMadeMeanwhile) {
    std::ofstream(standin_->DataDir().string() + "-files/同名_log.ldf") << "a detached database's";
    for (const char* when : {"正在还原数据库", "还原失败"}) {
        report_.onLog = [&, when](const std::string& line) { line.starts_with(when) && Sql("CREATE DATABASE 同名"); };
        EXPECT_EQ(RestoreAs("同名", bak_).end, Restored::End::Failed);
        EXPECT_TRUE(Exists("同名")) << report_.log;
        Sql("DROP DATABASE 同名");
    }
}

// A file of several sets ("RESTORE HEADERONLY (Transact-SQL)": a row each): another database's
// full backup, then the newest database's full backup and two differentials of it. Every set is
// listed; by default the newest database's last full backup is restored WITH NORECOVERY, then its
// latest differential WITH RECOVERY ("RESTORE Statements (Transact-SQL)"), whose rows the
// restored database has. A differential's position cannot be chosen; another full one can.
TEST_F(Restore, AFileOfSeveralSetsRestoresTheNewestDatabasesFullBackupAndItsLatestDifferential) {
    const fs::path bak = bak_.parent_path() / "多个备份集.bak";
    const std::string to = " to disk = N'" + bak.string() + "'";
    for (const char* sql : {"create database 乙", "create database 甲", "create table 甲.dbo.t (n int)",
                            "insert into 甲.dbo.t values (1)"})
        ASSERT_TRUE(Sql(sql)) << sql;
    ASSERT_TRUE(Sql("backup database 乙" + to + " with init"));
    ASSERT_TRUE(Sql("backup database 甲" + to));
    for (const char* more : {"2", "3"}) {
        ASSERT_TRUE(Sql(std::string("insert into 甲.dbo.t values (") + more + ")"));
        ASSERT_TRUE(Sql("backup database 甲" + to + " with differential"));
    }
    const auto backup = Read(bak);
    ASSERT_TRUE(backup.value) << Utf8(backup.problem);
    ASSERT_EQ(backup.value->sets.size(), 4u);
    EXPECT_EQ(Utf8(backup.value->sets[0].database), "乙");
    EXPECT_EQ(Utf8(backup.value->database), "甲");
    EXPECT_EQ(backup.value->position, 2);
    EXPECT_EQ(backup.value->differential, 4);
    const std::string listed = Utf8(tarvex::SetsText(*backup.value));
    for (const char* line : {"第1个：完整备份，数据库“乙”", "第2个：完整备份，数据库“甲”", "（还原这个完整备份）",
                             "第3个：差异备份", "第4个：差异备份，数据库“甲”"})
        EXPECT_NE(listed.find(line), std::string::npos) << line << "\n" << listed;

    const Restored r = tarvex::RestoreBackup(database_, server_, *backup.value, Local("审计甲"), report_);
    EXPECT_EQ(r.end, Restored::End::Restored) << Utf8(r.message) << r.error.Describe();
    Sql("SELECT 1");
    EXPECT_EQ(own_.ReadAllText(Local("SELECT count(*) FROM [审计甲].dbo.t")),
              (std::vector<std::vector<std::string>>{{"3"}}));

    const auto refused = tarvex::ReadBackup(database_, server_, Local(bak.string()), 3);
    EXPECT_TRUE(refused.refusedChoice);
    EXPECT_TRUE(Says(refused.problem, "第3个备份集不是完整备份")) << Utf8(refused.problem);
    const auto other = tarvex::ReadBackup(database_, server_, Local(bak.string()), 1);
    ASSERT_TRUE(other.value) << Utf8(other.problem);
    EXPECT_EQ(Utf8(other.value->database), "乙");
    EXPECT_EQ(other.value->differential, 0);
}

// The server killed during the restore: the user is told that what it left cannot be looked at
// now, and what to do: the stand-in, started again, has the database the restore began, left
// RESTORING as SQL Server leaves a restore it did not finish.
TEST_F(SlowRestore, AServerThatGoesAwayDuringTheRestoreIsReported) {
    report_.onElapsed = [&](std::chrono::seconds) {
        if (standin_->Running()) standin_->KillNow();
    };
    const Restored r = RestoreAs("断开", bak_);
    EXPECT_EQ(r.end, Restored::End::Failed);
    EXPECT_TRUE(r.leftBehind);
    EXPECT_TRUE(Says(r.message, "与数据库服务器的连接断开了")) << Utf8(r.message);
    EXPECT_TRUE(Says(r.message, "请在数据库服务器恢复后查看")) << Utf8(r.message);
    standin_->Start();
    own_.CloseDatabase();
    EXPECT_TRUE(Exists("断开"));
}

// "RESTORE Statements (Transact-SQL)", Permissions: reading a backup needs CREATE DATABASE.
// Without InstanceDefaultDataPath (NULL before SQL Server 2012) the files go beside master's
// data file ("sys.master_files (Transact-SQL)": database_id 1, file_id 1).
TEST_F(Restore, ALogInWithoutCreateDatabaseIsToldSoAndAServerWithoutADefaultPathUsesMastersFolder) {
    standin_->Stop();
    standin_->Start({"--no-create-database", "--no-default-data-path"});
    ASSERT_NO_FATAL_FAILURE(Connect());
    EXPECT_EQ(Utf8(server_.dataFolder), standin_->DataDir().string() + "-files/");
    const auto read = Read(bak_);
    EXPECT_FALSE(read.value);
    EXPECT_TRUE(Says(read.problem, "没有创建数据库的权限")) << Utf8(read.problem);
}

int main(int argc, char** argv) {
    // The code page of the process comes from the environment (LC_ALL=zh_CN.GBK or zh_CN.UTF-8).
    if (!std::setlocale(LC_ALL, "")) return 1;
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
