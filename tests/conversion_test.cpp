// Account sets converted without a window, as the batch dialog and the command line convert
// them: through the real driver against the stand-in with the sample database.

#include <gtest/gtest.h>

#include <QFile>

#include <clocale>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>

#include "backup_check.h"
#include "batch.h"
#include "codepage.h"
#include "database.h"
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
class Recorder final : public tarvex::BatchReport {
public:
    void SetBegins(int n, int total, const tarvex::AccountSetEntry&) override { begun.emplace_back(n, total); }
    void Log(const std::string& line) override { log += CodePage::Process().ToUtf8(line); }
    void TableCopied(int, const tarvex::TableCopy&) override { ++tables; }
    void SetEnded(int, const BatchRow&) override { ++ended; }
    bool Cancelled() override { return cancelAfterTables >= 0 && tables >= cancelAfterTables; }

    std::vector<std::pair<int, int>> begun;
    std::string log;
    int tables = 0;
    int ended = 0;
    int cancelAfterTables = -1;
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
        return tarvex::RunBatch(database_, {".", Local("2016年乡镇数据采集"), "sa"}, Local("2016年乡镇数据采集"), sets,
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
    EXPECT_EQ(report_.tables, 68);
    const std::vector<fs::path> backups = Files(".bak");
    ASSERT_EQ(backups.size(), 2u);
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

// The backup is whole but its record cannot be written (a folder has the record's name, for
// every second the export may fall in): flagged, with why.
TEST_F(Batch, ASetWhoseRecordCannotBeWrittenIsFlaggedWithWhy) {
    const tarvex::AccountSetEntry set = Set("2016", "演示账套");
    for (std::time_t t = std::time(nullptr), end = t + 120; t < end; ++t) {
        const std::tm local = tarvex::LocalTime(t);
        const std::string record = set.name + tarvex::MonthDayText(local) + tarvex::TimeOfDayText(local) + ".bak.txt";
        fs::create_directories(folder_ / CodePage::Process().ToUtf8(record));
    }
    const tarvex::BatchOutcome outcome = Run({set});
    ASSERT_EQ(outcome.rows.size(), 1u);
    EXPECT_EQ(outcome.rows[0].result, BatchRow::Result::WithWarnings);
    EXPECT_EQ(tarvex::NotesText(outcome.rows[0]).rfind(Local("转换记录文件演示账套"), 0), 0u) << tarvex::NotesText(outcome.rows[0]);
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
    EXPECT_TRUE(outcome.cancelled);
    EXPECT_EQ(outcome.ExitCode(), 1);
    EXPECT_EQ(report_.tables, 39);
    EXPECT_EQ(Files(".bak").size(), 1u);
    EXPECT_FALSE(TemporaryDatabaseExists());
    EXPECT_EQ(SummaryLines(outcome).size(), 3u);
}

TEST_F(Batch, ALeftoverTemporaryDatabaseStopsTheBatchBeforeItsFirstSet) {
    ASSERT_TRUE(Sql("create database Tarvex数据整理"));
    const tarvex::BatchOutcome outcome = Run({Set("2016", "演示账套")});
    EXPECT_NE(outcome.stopped.find(Local("另一个转换程序")), std::string::npos) << outcome.stopped;
    EXPECT_EQ(outcome.rows[0].result, BatchRow::Result::NotRun);
    EXPECT_EQ(outcome.ExitCode(), 1);
    EXPECT_EQ(report_.begun.size(), 0u);
    EXPECT_TRUE(Files(".bak").empty());
    EXPECT_TRUE(TemporaryDatabaseExists());  // not this batch's to drop
}

int main(int argc, char** argv) {
    // The code page of the process comes from the environment (LC_ALL=zh_CN.GBK or zh_CN.UTF-8).
    if (!std::setlocale(LC_ALL, "")) return 1;
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
