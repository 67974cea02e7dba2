// Account sets converted without a window, as the batch dialog and the command line convert
// them: through the real driver against the stand-in with the sample database.

#include <gtest/gtest.h>

#include <QFile>

#include <array>
#include <clocale>
#include <latch>
#include <thread>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>

#include "backup_check.h"
#include "batch.h"
#include "codepage.h"
#include "database.h"
#include "conversion.h"
#include "export.h"
#include "login.h"
#include "odbcdb.h"
#include "standin_process.h"
#include "test_files.h"

namespace fs = std::filesystem;
using tarvex::BatchRow;
using tarvex::CodePage;

namespace {

std::string Local(const char* utf8) { return CodePage::Process().FromUtf8(utf8); }

// Remembers what a batch reported; cancels once `cancelAfterTables` tables are copied.
class Recorder final : public tarvex::Report {
public:
    void SetBegins(int n, int total, const tarvex::AccountSetEntry&) override { begun.emplace_back(n, total); }
    void Log(const std::string& line) override { log += CodePage::Process().ToUtf8(line); }
    void Copied(int, const tarvex::TableCopy&) override {
        if (++tables == afterTables) then();
    }
    void SetEnded(int, const BatchRow&) override { ++ended; }
    bool Cancelled() override { return cancelAfterTables >= 0 && tables >= cancelAfterTables; }

    std::vector<std::pair<int, int>> begun;
    std::string log;
    int tables = 0;
    int ended = 0;
    int cancelAfterTables = -1;
    int afterTables = -1;         // once this many tables are copied,
    std::function<void()> then;   // this happens
};

class Batch : public ::testing::Test {
protected:
    void SetUp() override {
        testsupport::UsePrivateOdbcConfig();
        standin_ = std::make_unique<testsupport::StandinProcess>();
        standin_->ExportTdsPort();
        folder_ = fs::temp_directory_path() / ("tarvex-batch-" + std::to_string(standin_->Port()));
        fs::create_directories(folder_);
        const tarvex::LoginSettings settings{".", "sa", "1", Local("2016年乡镇数据采集")};
        const auto opened = tarvex::OpenConnection(database_, settings, tarvex::LoginPrompt::Never());
        ASSERT_TRUE(opened && opened->ok) << (opened ? opened->error.Describe() : "");
        ledger_.SetLogin({".", Local("2016年乡镇数据采集"), "sa"});
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }

    // The sample's account sets of `year` named `utf8`, as the list gives them.
    tarvex::AccountSetEntry Set(const char* year, const char* utf8) {
        const auto sets = database_.Run([](tarvex::ODBCDB& db) {
            return tarvex::ReadAccountSets(db, *tarvex::BuildListStatement(Local("2016年乡镇数据采集")));
        });
        EXPECT_TRUE(sets && *sets);
        for (const tarvex::AccountSetEntry& e : **sets)
            if (e.year == year && e.name == Local(utf8)) return e;
        ADD_FAILURE() << "no account set " << utf8 << " in " << year;
        return {};
    }

    tarvex::BatchOutcome Run(const std::vector<tarvex::AccountSetEntry>& sets) {
        return tarvex::RunBatch(database_, ledger_, Local("2016年乡镇数据采集"), sets,
                                CodePage::Process().FromUtf8(folder_.string()), report_);
    }

    std::vector<fs::path> Files(const std::string& extension) { return testsupport::FilesEndingIn(folder_, extension); }
    fs::path Source() { return standin_->DataDir() / "2016年乡镇数据采集.sqlite"; }
    bool TemporaryDatabaseExists() { return testsupport::TemporaryDatabaseExists(standin_->DataDir()); }
    bool Sql(const std::string& utf8) {
        if (!own_.IsOpen()) {
            EXPECT_TRUE(own_.NewOpenDatabase(Local("DRIVER=SQL Server;SERVER=.;UID=sa;PWD=1;DATABASE=2016年乡镇数据采集")));
        }
        return own_.ExecuteSql(Local(utf8.c_str()), tarvex::Timeout::None());
    }
    // The summary's lines after its header, UTF-8.
    std::vector<std::string> SummaryLines(const tarvex::BatchOutcome& outcome) {
        std::ifstream csv(folder_ / CodePage::Process().ToUtf8(outcome.summaryFile));
        std::vector<std::string> lines;
        for (std::string line; std::getline(csv, line);) lines.push_back(line);
        EXPECT_FALSE(lines.empty());
        if (!lines.empty()) {  // UTF-8 with a byte-order mark, whatever the code page of the process
            EXPECT_EQ(lines.front().rfind("\xEF\xBB\xBF年度,单位编号,", 0), 0u) << lines.front();
            lines.erase(lines.begin());
        }
        return lines;
    }

    std::unique_ptr<testsupport::StandinProcess> standin_;
    fs::path folder_;
    tarvex::Database database_;
    tarvex::ConversionLedger ledger_;
    tarvex::ODBCDB own_;
    Recorder report_;
};

}  // namespace

TEST_F(Batch, EachSetGoesIntoItsOwnCheckedBackupWithItsRecordAndALineOfTheSummary) {
    const tarvex::BatchOutcome outcome = Run({Set("2016", "演示账套"), Set("2017", "演示账套2")});
    EXPECT_EQ(outcome.stopped, "");
    ASSERT_EQ(outcome.rows.size(), 2u);
    for (const BatchRow& row : outcome.rows) {
        EXPECT_EQ(row.result, BatchRow::Result::Converted) << tarvex::NotesText(row);
        EXPECT_EQ(row.verification, Local("通过"));
    }
    EXPECT_EQ(outcome.ExitCode(), 0);
    EXPECT_EQ(report_.begun, (std::vector<std::pair<int, int>>{{1, 2}, {2, 2}}));
    // The batch exports by itself: nobody is sent to a button.
    EXPECT_EQ(report_.log.find("请点击导出按钮"), std::string::npos);
    EXPECT_NE(report_.log.find("数据整理完毕，开始导出。"), std::string::npos);
    EXPECT_EQ(report_.tables, 68);
    const std::vector<fs::path> backups = Files(".bak");
    ASSERT_EQ(backups.size(), 2u);
    // A set's name ending in a digit stays apart from the date.
    EXPECT_NE(backups[1].filename().string().find("_002演示账套2_"), std::string::npos) << backups[1];
    backupcheck::ExpectRowsOfAccountSet(backups[0], Source(), "001", "001", "2016");
    backupcheck::ExpectRowsOfAccountSet(backups[1], Source(), "002", "002", "2017");
    EXPECT_EQ(Files(".txt").size(), 2u);
    EXPECT_FALSE(TemporaryDatabaseExists());
    const std::vector<std::string> lines = SummaryLines(outcome);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind("\"2016\",\"001\",\"城关镇人民政府（新科目）\",\"001\",\"演示账套\",\"已转换\"," +
                                 std::to_string(outcome.rows[0].rows) + ",",
                             0), 0u) << lines[0];
}

TEST_F(Batch, ASetWhoseCopyFailsIsReportedAndTheBatchGoesOn) {
    ASSERT_TRUE(Sql("DROP TABLE GL_BZ"));
    const tarvex::BatchOutcome outcome = Run({Set("2016", "演示账套"), Set("2016", "演示账套2"), Set("2016", "旧制度账套")});
    ASSERT_EQ(outcome.rows.size(), 3u);
    for (int i : {0, 1}) {
        EXPECT_EQ(outcome.rows[i].result, BatchRow::Result::Failed);
        EXPECT_EQ(tarvex::NotesText(outcome.rows[i]).rfind(Local("1张表整理失败"), 0), 0u) << tarvex::NotesText(outcome.rows[i]);
        EXPECT_EQ(outcome.rows[i].verification, Local("通过"));  // the rest is backed up, and says what is missing
    }
    // Its unit lacks the new chart: not converted, and nothing sent for it.
    EXPECT_EQ(outcome.rows[2].result, BatchRow::Result::Failed);
    EXPECT_EQ(tarvex::NotesText(outcome.rows[2]), Local("单位名称中没有“新科目”，不能转换"));
    EXPECT_EQ(outcome.ExitCode(), 1);
    EXPECT_EQ(Files(".bak").size(), 2u);
    EXPECT_FALSE(TemporaryDatabaseExists());
    EXPECT_EQ(SummaryLines(outcome).size(), 3u);
}

// Its own GL_Ztcs row gone after the list was read: converted, flagged, and the batch ends with 3.
TEST_F(Batch, ASetWhoseAccountSetRowIsGoneIsConvertedWithAWarningAndExitCode3) {
    const tarvex::AccountSetEntry set = Set("2016", "演示账套");
    ASSERT_TRUE(Sql("DELETE FROM GL_Ztcs WHERE hsdwdm='001' AND ztbh='001' AND kjnd='2016'"));
    const tarvex::BatchOutcome outcome = Run({set});
    ASSERT_EQ(outcome.rows.size(), 1u);
    EXPECT_EQ(outcome.rows[0].result, BatchRow::Result::WithWarnings) << tarvex::NotesText(outcome.rows[0]);
    EXPECT_EQ(outcome.rows[0].verification, Local("通过"));
    EXPECT_EQ(outcome.ExitCode(), 3);
    EXPECT_EQ(Files(".bak").size(), 1u);
}

// A set with its own row but no vouchers that year is converted and flagged, as an empty one is.
TEST_F(Batch, ASetWithoutVouchersIsConvertedAndFlagged) {
    for (const char* table : {"GL_PZML", "GL_PZFLMX"})
        ASSERT_TRUE(Sql(std::string("DELETE FROM ") + table + " WHERE gsdm='001' AND zth='001'"));
    const tarvex::BatchOutcome outcome = Run({Set("2016", "演示账套")});
    ASSERT_EQ(outcome.rows.size(), 1u);
    EXPECT_EQ(outcome.rows[0].result, BatchRow::Result::WithWarnings);
    EXPECT_EQ(tarvex::NotesText(outcome.rows[0]), Local("账套中没有凭证"));
    EXPECT_EQ(outcome.ExitCode(), 3);
}

// The backup is whole but its record cannot be written (a folder has the name of the file the
// record is written to before it takes its place, for every second the export may fall in):
// flagged, with why.
TEST_F(Batch, ASetWhoseRecordCannotBeWrittenIsFlaggedWithWhy) {
    const tarvex::AccountSetEntry set = Set("2016", "演示账套");
    for (std::time_t t = std::time(nullptr), end = t + 120; t < end; ++t) {
        const std::tm local = tarvex::LocalTime(t);
        const std::string record = Local("2016_001城关镇人民政府（新科目）_001演示账套_") + tarvex::MonthDayText(local) +
                                   tarvex::TimeOfDayText(local) + ".bak.txt.tmp";
        fs::create_directories(folder_ / CodePage::Process().ToUtf8(record));
    }
    const tarvex::BatchOutcome outcome = Run({set});
    ASSERT_EQ(outcome.rows.size(), 1u);
    EXPECT_EQ(outcome.rows[0].result, BatchRow::Result::WithWarnings);
    EXPECT_EQ(tarvex::NotesText(outcome.rows[0]).rfind(Local("转换记录文件2016_001"), 0), 0u) << tarvex::NotesText(outcome.rows[0]);
    EXPECT_EQ(outcome.rows[0].verification, Local("通过"));
    EXPECT_EQ(outcome.ExitCode(), 3);
}

TEST_F(Batch, ACancelEndsTheStatementUnderWayDropsTheDatabaseAndKeepsWhatIsDone) {
    report_.cancelAfterTables = 34 + 5;  // the first set whole, then five tables of the second
    const tarvex::BatchOutcome outcome = Run({Set("2016", "演示账套"), Set("2016", "演示账套2"), Set("2017", "演示账套")});
    ASSERT_EQ(outcome.rows.size(), 3u);
    EXPECT_EQ(outcome.rows[0].result, BatchRow::Result::Converted);
    EXPECT_EQ(outcome.rows[1].result, BatchRow::Result::Cancelled);
    EXPECT_EQ(outcome.rows[2].result, BatchRow::Result::NotRun);
    EXPECT_TRUE(outcome.Cancelled());
    EXPECT_EQ(outcome.ExitCode(), 1);
    EXPECT_EQ(report_.tables, 39);
    EXPECT_EQ(Files(".bak").size(), 1u);
    EXPECT_FALSE(TemporaryDatabaseExists());
    EXPECT_EQ(SummaryLines(outcome).size(), 3u);
}

TEST_F(Batch, ALeftoverTemporaryDatabaseStopsTheBatchBeforeItsFirstSet) {
    ASSERT_TRUE(Sql("create database Tarvex数据整理"));
    const tarvex::BatchOutcome outcome = Run({Set("2016", "演示账套")});
    EXPECT_NE(outcome.stopped.find(Local("上次转换留下")), std::string::npos) << outcome.stopped;
    EXPECT_EQ(outcome.rows[0].result, BatchRow::Result::NotRun);
    EXPECT_EQ(outcome.ExitCode(), 5);  // not for a retry: the leftover must go first
    EXPECT_EQ(report_.begun.size(), 0u);
    EXPECT_TRUE(Files(".bak").empty());
    EXPECT_TRUE(TemporaryDatabaseExists());  // not this batch's to drop
    // A second batch refused in the same second keeps its own summary beside the first's.
    Run({Set("2016", "演示账套")});
    EXPECT_EQ(Files(".csv").size(), 2u);
}

// The server's reason for a failed backup goes into the log and the notes; a set cut off by a
// lost connection says nothing of a backup it never made.
TEST_F(Batch, AFailedBackupIsLoggedWithItsReasonAndACutOffSetClaimsNoBackup) {
    const fs::path missing = folder_ / "missing";
    const tarvex::BatchOutcome failed = tarvex::RunBatch(database_, ledger_, Local("2016年乡镇数据采集"),
                                                         {Set("2016", "演示账套")}, CodePage::Process().FromUtf8(missing.string()), report_);
    EXPECT_NE(report_.log.find("导出备份失败！原因："), std::string::npos) << report_.log;
    EXPECT_NE(tarvex::NotesText(failed.rows[0]).find(Local("备份失败：")), std::string::npos);
    report_.afterTables = report_.tables + 5;
    report_.then = [&] { standin_->KillNow(); };
    const tarvex::BatchOutcome cut = Run({Set("2016", "演示账套2")});
    EXPECT_EQ(cut.ExitCode(), 4);
    EXPECT_EQ(tarvex::NotesText(cut.rows[0]).find(Local("备份文件")), std::string::npos) << tarvex::NotesText(cut.rows[0]);
}

// The window's set whose checked backup was made while its drop was cut off is exported: the
// temporary database it leaves is offered to be dropped as such, not called unexported.
TEST_F(Batch, TheWindowsExportedSetWhoseDropWasCutIsNoSetWaitingForItsExport) {
    tarvex::ExtractionRecord exported;
    exported.accountSetName = Local("演示账套");
    exported.exportedAs = Local("演示账套12月9日8时1分2秒.bak");
    ledger_.SetFilled(exported);
    ASSERT_TRUE(Sql("create database Tarvex数据整理"));
    const tarvex::BatchOutcome outcome = Run({Set("2016", "演示账套")});
    EXPECT_EQ(outcome.stop, tarvex::BatchOutcome::Stop::Leftover);
    EXPECT_NE(outcome.stopped.find(Local("已经导出到“演示账套12月9日8时1分2秒.bak”")), std::string::npos) << outcome.stopped;
}

// An export broken off half-way (here by its report, at its question about a database it did
// not fill) still gives up the hold it took: another copy can take the database at once.
TEST_F(Batch, AnExportBrokenOffByAnExceptionGivesUpItsHold) {
    struct Broken {};
    struct Asking final : tarvex::Report {
        bool Ask(const std::string&) override { throw Broken{}; }
    } asking;
    ASSERT_TRUE(Sql("create database Tarvex数据整理"));
    own_.CloseDatabase();
    {
        tarvex::HoldOnTemporaryDatabase hold(database_, ledger_);
        EXPECT_THROW(tarvex::ExportTemporaryDatabase(hold, CodePage::Process().FromUtf8(folder_.string()), asking, {0}),
                     Broken);
    }
    ASSERT_TRUE(Sql("SELECT 1"));
    EXPECT_EQ(tarvex::TakeHold(own_), tarvex::Hold::Held);
    EXPECT_TRUE(Files(".bak").empty());
}

// Two copies of the program at two servers export the same-named account sets of two units in
// one moment into one folder: each backup gets a name of its own and holds its own server's rows.
TEST(TwoServers, ExportsInOneMomentIntoOneFolderNeverShareAFile) {
    testsupport::UsePrivateOdbcConfig();
    ::unsetenv("TDSPORT");  // each copy names its server's port itself
    struct Quiet final : tarvex::Report {
        bool Ask(const std::string&) override { return true; }
    };
    struct Copy {
        testsupport::StandinProcess server{{.sampleName = "township", .extraArgs = {}}};
        tarvex::Database database;
        tarvex::ConversionLedger ledger;
        tarvex::Export exported;
    };
    const fs::path folder = fs::temp_directory_path() / ("tarvex-two-servers-" + std::to_string(::getpid()));
    fs::create_directories(folder);
    std::array<Copy, 2> copies;
    const std::array<const char*, 2> units{"101", "102"};
    tarvex::ConversionOptions options;
    options.pauseMilliseconds = 0;
    Quiet quiet;
    for (std::size_t i = 0; i < copies.size(); ++i) {
        const std::string server = "127.0.0.1," + std::to_string(copies[i].server.Port());
        ASSERT_TRUE(tarvex::OpenConnection(copies[i].database, {server, "sa", "1", Local("2016年乡镇数据采集")},
                                           tarvex::LoginPrompt::Never())
                        ->ok);
        copies[i].ledger.SetLogin({server, Local("2016年乡镇数据采集"), "sa"});
        const tarvex::ConversionInputs inputs{Local("2016年乡镇数据采集"), "2016", units[i], "002", Local("工会账套")};
        tarvex::HoldOnTemporaryDatabase hold(copies[i].database, copies[i].ledger);
        ASSERT_EQ(tarvex::Extract(hold, inputs, quiet, options).end, tarvex::Extraction::End::Finished);
    }
    std::latch ready(2);
    std::vector<std::thread> exports;
    for (Copy& copy : copies)
        exports.emplace_back([&] {
            Quiet report;
            ready.arrive_and_wait();
            tarvex::HoldOnTemporaryDatabase hold(copy.database, copy.ledger);
            copy.exported = tarvex::ExportTemporaryDatabase(hold, CodePage::Process().FromUtf8(folder.string()), report, options);
        });
    for (std::thread& t : exports) t.join();
    EXPECT_NE(copies[0].exported.file, copies[1].exported.file);
    EXPECT_EQ(testsupport::FilesEndingIn(folder, ".bak").size(), 2u);
    for (std::size_t i = 0; i < copies.size(); ++i) {
        EXPECT_TRUE(copies[i].exported.Verified());
        backupcheck::ExpectRowsOfAccountSet(folder / CodePage::Process().ToUtf8(copies[i].exported.file),
                                            copies[i].server.DataDir() / "2016年乡镇数据采集.sqlite", units[i], "002", "2016");
    }
    std::error_code ignored;
    fs::remove_all(folder, ignored);
}

int main(int argc, char** argv) {
    // The code page of the process comes from the environment (LC_ALL=zh_CN.GBK or zh_CN.UTF-8).
    if (!std::setlocale(LC_ALL, "")) return 1;
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
