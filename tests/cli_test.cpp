// The command line end to end: the built tarvex-convert-cli against the stand-in with the
// sample database, through the real driver, its output read as a script reads it.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <clocale>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "backup_check.h"
#include "codepage.h"
#include "conversion_record.h"
#include "export.h"
#include "odbc_api.h"
#include "odbc_trace.h"
#include "standin_process.h"
#include "test_files.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::istringstream in(text);
    for (std::string part; std::getline(in, part, separator);) parts.push_back(part);
    return parts;
}

// A file's text; the program's output converted to UTF-8 from the code page of the process.
std::string FileText(const fs::path& file, bool local = false) {
    std::ifstream in(file, std::ios::binary);
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    return local ? tarvex::CodePage::Process().ToUtf8(text) : text;
}

// The program with standard input from /dev/null, stdout into `outFd`, stderr into `errFile`;
// its arguments given in UTF-8, handed over in the code page of the process. Waited for.
class Program {
public:
    Program(const std::vector<std::string>& args, int outFd, const fs::path& errFile) {
        std::vector<std::string> words{CLI_EXE};
        for (const std::string& a : args) words.push_back(tarvex::CodePage::Process().FromUtf8(a));
        std::vector<char*> argv;
        for (std::string& w : words) argv.push_back(w.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, outFd, 1);
        posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (posix_spawn(&pid_, CLI_EXE, &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Program() { Wait(); }
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    void Signal(int signal) const { ::kill(pid_, signal); }
    int Wait() {
        int status = 0;
        if (pid_ <= 0 || ::waitpid(std::exchange(pid_, -1), &status, 0) <= 0) return -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

private:
    pid_t pid_ = -1;
};

struct Ran { int code = -1; std::string out, err; };  // the output in UTF-8

class CommandLine : public ::testing::Test {
protected:
    void SetUp() override {
        testsupport::UsePrivateOdbcConfig();
        standin_.ExportTdsPort();
        ::setenv("TARVEX_PASSWORD", "1", 1);
        for (const fs::path& dir : {folder_, scratch_}) fs::create_directories(dir);
    }
    void TearDown() override {
        std::error_code ignored;
        for (const fs::path& dir : {folder_, scratch_}) fs::remove_all(dir, ignored);
    }

    Ran Run(const std::vector<std::string>& args) {
        const int fd = ::open((scratch_ / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        Program program(args, fd, scratch_ / "err");
        ::close(fd);
        return {program.Wait(), FileText(scratch_ / "out", true), FileText(scratch_ / "err", true)};
    }
    std::vector<std::string> Convert(std::vector<std::string> args) {
        args.insert(args.begin(), "convert");
        args.insert(args.end(), {"--folder", folder_.string()});
        return args;
    }

    // Converts three sets of two years and does `what` once the first set is done: its line
    // on stdout waits in a full pipe, so the second set has not begun.
    template <class What>
    Ran ConvertThreeAndAfterTheFirst(What what) {
        int fds[2];
        EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
        ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
        std::size_t filler = 0;
        const std::string block(4096, '#');
        for (std::size_t chunk = block.size();;) {
            const ssize_t n = ::write(fds[1], block.data(), chunk);
            if (n > 0) filler += static_cast<std::size_t>(n);
            else if (chunk > 1) chunk = 1;  // what room is left, byte by byte
            else break;
        }
        ::fcntl(fds[1], F_SETFL, 0);
        Program program(Convert({"--set", "2016/001/001", "--set", "2016/002/002", "--set", "2017/001/001"}), fds[1],
                        scratch_ / "err");
        ::close(fds[1]);
        // The first set's record says it passed its check once its temporary database is
        // dropped; its line then waits for room in the full pipe.
        const auto checked = [&] {
            const std::vector<fs::path> records = Files(".txt");
            return !records.empty() && FileText(records.front()).find("校验（RESTORE VERIFYONLY）：通过") != std::string::npos;
        };
        for (int guard = 0; guard < 3000 && !checked(); ++guard)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        what(program);
        std::string out;
        char buffer[4096];
        for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) out.append(buffer, static_cast<std::size_t>(n));
        ::close(fds[0]);
        const int code = program.Wait();
        return {code, tarvex::CodePage::Process().ToUtf8(out.substr(std::min(filler, out.size()))),
                FileText(scratch_ / "err", true)};
    }

    std::vector<fs::path> Files(const std::string& extension) const { return testsupport::FilesEndingIn(folder_, extension); }
    // The summary's lines after its header, each split into its fields.
    std::vector<std::vector<std::string>> Summary() const {
        const std::vector<fs::path> csv = Files(".csv");
        EXPECT_EQ(csv.size(), 1u);
        std::vector<std::vector<std::string>> rows;
        for (const std::string& line : Split(csv.empty() ? "" : FileText(csv.front()), '\n')) rows.push_back(testsupport::Fields(line, ','));
        if (!rows.empty()) rows.erase(rows.begin());
        return rows;
    }
    // The rows the set's copies should take from the source (as text), and the tables that have any.
    std::pair<std::string, std::string> SourceRows(const std::string& unit, const std::string& set, const std::string& year) {
        const backupcheck::SqliteFile source(standin_.DataDir() / "2016年乡镇数据采集.sqlite");
        long rows = 0;
        int tables = 0;
        for (int p = 1; p <= tarvex::TableCatalogue::kEntryCount; ++p) {
            const auto n = static_cast<long>(source.Rows(backupcheck::OracleQuery(p, unit, set, year)).size());
            rows += n;
            tables += n > 0;
        }
        return {std::to_string(rows), std::to_string(tables)};
    }
    bool TemporaryDatabaseExists() const { return testsupport::TemporaryDatabaseExists(standin_.DataDir()); }

    testsupport::StandinProcess standin_;
    const std::string tag_ = std::to_string(standin_.Port());
    const fs::path folder_ = fs::temp_directory_path() / ("tarvex-cli-" + tag_);
    const fs::path scratch_ = fs::temp_directory_path() / ("tarvex-cli-output-" + tag_);
};

}  // namespace

TEST_F(CommandLine, ListPrintsEveryAccountSetAsALineOfTabSeparatedFields) {
    const fs::path trace = testsupport::UsePrivateOdbcConfigWithTrace();
    const Ran all = Run({"list"});
    ASSERT_EQ(all.code, 0) << all.err;
    // Without a window the driver never prompts: a refused log-in fails with the server's reason.
    const std::vector<testsupport::DriverConnectCall> calls = testsupport::DriverConnectCalls(trace);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].completion, SQL_DRIVER_NOPROMPT);
    EXPECT_EQ(calls[0].window, 0u);
    const std::vector<std::string> lines = Split(all.out, '\n');
    ASSERT_EQ(lines.size(), 18u) << all.out;
    for (const std::string& line : lines) EXPECT_EQ(Split(line, '\t').size(), 6u) << line;
    EXPECT_EQ(lines[6], "2016\t001\t城关镇人民政府（新科目）\t001\t演示账套\t是");
    EXPECT_EQ(lines[17], "2017\t003\t东山乡卫生院\t013\t东山乡食堂账套\t否");

    const Ran year = Run({"list", "--year", "2017", "--header"});
    const std::vector<std::string> ofYear = Split(year.out, '\n');
    ASSERT_EQ(ofYear.size(), 7u) << year.out << year.err;
    EXPECT_EQ(ofYear[0], "年度\t单位编号\t单位名称\t账套编号\t账套名称\t能否转换");
    for (std::size_t i = 1; i < ofYear.size(); ++i) EXPECT_TRUE(ofYear[i].starts_with("2017\t")) << ofYear[i];
}

// A server behind a VPN answers each exchange tens of milliseconds late: the stand-in's request
// log counts them (the program's is the only connection).
TEST_F(CommandLine, ListTakesAtMostThreeExchangesWithItsLogIn) {
    ASSERT_EQ(Run({"list"}).code, 0);
    EXPECT_LE(standin_.Requests().size(), 3u);
}

TEST_F(CommandLine, EachSetOfABatchTakesAtMost41Exchanges) {
    ASSERT_EQ(Run(Convert({"--set", "2016/001/001", "--set", "2017/001/001"})).code, 0);
    // A set's exchanges run from its create database to the next set's; the last set's end with its drop.
    std::vector<int> sets;
    int afterDrop = 0;
    for (const testsupport::StandinProcess::Request& r : standin_.Requests()) {
        if (r.text.starts_with("create database")) sets.push_back(0);
        afterDrop = r.text.starts_with("drop database") ? 0 : afterDrop + 1;
        if (!sets.empty()) ++sets.back();
    }
    ASSERT_EQ(sets.size(), 2u);
    sets.back() -= afterDrop;
    for (int exchanges : sets) EXPECT_LE(exchanges, 41);
}

TEST_F(CommandLine, AYearsConvertibleSetsGoIntoCheckedBackupsAndTheSummaryCountsTheirSourceRows) {
    const Ran ran = Run(Convert({"--year", "2016"}));
    ASSERT_EQ(ran.code, 0) << ran.err;
    EXPECT_NE(ran.err.find("跳过了2个账套：它们的单位名称中没有“新科目”"), std::string::npos) << ran.err;
    EXPECT_NE(ran.err.find("[4/4] 2016/002/012 河西乡专项资金账套：表34/34"), std::string::npos) << ran.err;
    const std::vector<std::string> out = Split(ran.out, '\n');
    const std::vector<fs::path> csv = Files(".csv");
    ASSERT_EQ(out.size(), 6u) << ran.out;
    ASSERT_EQ(csv.size(), 1u);
    EXPECT_EQ(out[4], "汇总：4个账套，已转换4个。");
    EXPECT_EQ(out[5], "汇总文件：" + csv.front().string());

    const auto summary = Summary();
    ASSERT_EQ(summary.size(), 4u);
    for (std::size_t i = 0; i < summary.size(); ++i) {
        const std::vector<std::string>& row = summary[i];
        ASSERT_EQ(row.size(), 11u);
        EXPECT_EQ(std::make_pair(row[6], row[7]), SourceRows(row[1], row[3], row[0])) << row[4];
        EXPECT_EQ(row[0] + row[5] + row[9], "2016已转换通过") << row[10];
        EXPECT_TRUE(fs::exists(folder_ / row[8])) << row[8];
        // The set's line on stdout says what the summary says.
        const std::vector<std::string> line = Split(out[i], '\t');
        EXPECT_EQ(std::vector<std::string>(line.begin(), line.begin() + 10), std::vector<std::string>(row.begin(), row.begin() + 10));
    }
    EXPECT_EQ(Files(".bak").size(), 4u);
    EXPECT_FALSE(TemporaryDatabaseExists());
}

TEST_F(CommandLine, AServerThatGoesAwayAfterTheFirstSetFailsTheNextStopsTheBatchAndKeepsTheFirst) {
    const Ran ran = ConvertThreeAndAfterTheFirst([&](Program&) { standin_.KillNow(); });
    EXPECT_EQ(ran.code, 1);
    EXPECT_NE(ran.err.find("与服务器的连接已断开，批量转换停止。"), std::string::npos) << ran.err;
    EXPECT_NE(ran.out.find("汇总：3个账套，已转换1个，失败1个，未转换1个。"), std::string::npos) << ran.out;
    const auto summary = Summary();
    ASSERT_EQ(summary.size(), 3u);
    EXPECT_EQ(summary[0][5] + summary[1][5] + summary[2][5], "已转换失败未转换");
    EXPECT_NE(summary[1][10].find("与服务器的连接已断开"), std::string::npos) << summary[1][10];
    EXPECT_EQ(Files(".bak").size(), 1u);
}

TEST_F(CommandLine, CtrlCStopsTheBatchWithExitCode130AndKeepsTheSetsAlreadyConverted) {
    const Ran ran = ConvertThreeAndAfterTheFirst([](Program& program) { program.Signal(SIGINT); });
    EXPECT_EQ(ran.code, 130);
    EXPECT_NE(ran.err.find("已按 Ctrl+C"), std::string::npos) << ran.err;
    EXPECT_NE(ran.err.find("批量转换已取消；已完成的账套不受影响。"), std::string::npos) << ran.err;
    EXPECT_NE(ran.out.find("汇总：3个账套，已转换1个，未转换2个。"), std::string::npos) << ran.out;
    EXPECT_EQ(Summary().size() + Files(".bak").size(), 3u + 1u);
    EXPECT_FALSE(TemporaryDatabaseExists());
}

TEST_F(CommandLine, ASetWhoseRecordCannotBeWrittenEndsWithExitCode3) {
    // Folders take the name the record is written to before it takes its place, for every
    // second the export may fall in.
    for (std::time_t t = std::time(nullptr), end = t + 120; t < end; ++t) {
        const std::tm local = tarvex::LocalTime(t);
        const std::string time = tarvex::MonthDayText(local) + tarvex::TimeOfDayText(local);
        fs::create_directories(folder_ / ("演示账套" + tarvex::CodePage::Process().ToUtf8(time) + ".bak.txt.tmp"));
    }
    const Ran ran = Run(Convert({"--set", "2016/001/001"}));
    EXPECT_EQ(ran.code, 3) << ran.err;
    EXPECT_NE(ran.out.find("汇总：1个账套，已转换，有警告1个。"), std::string::npos) << ran.out;
    const auto summary = Summary();
    ASSERT_EQ(summary.size(), 1u);
    EXPECT_EQ(summary[0][9], "通过");
    EXPECT_EQ(summary[0][10].rfind("转换记录文件演示账套", 0), 0u) << summary[0][10];
}

TEST_F(CommandLine, BadInputEndsWithExitCode2AndAMessageBeforeAnythingIsCreated) {
    std::ofstream(scratch_ / "a-file") << "x";
    // password: TARVEX_PASSWORD, null to unset it; never: a text the output must not hold.
    struct Case { std::vector<std::string> args; const char* password; const char* says; const char* never = nullptr; };
    const Case cases[] = {
        {{"list", "--bogus"}, "1", "未知的选项“--bogus”"},
        {Convert({"--year", "2030"}), "1", "数据库中没有2030年度的账套。"},
        {Convert({"--set", "2016/009/001"}), "1", "数据库中没有账套 2016/009/001"},
        {Convert({"--set", "2016/003/003"}), "1", "不能转换：单位名称“东山乡卫生院”中没有“新科目”。"},
        {{"convert", "--all", "--folder", (scratch_ / "missing").string()}, "1", "不存在。"},
        {{"convert", "--all", "--folder", (scratch_ / "a-file").string()}, "1", "不是文件夹。"},
        {{"list"}, "2", "数据库失败。"},
        {{"list", "--password", "geheim-42"}, nullptr, "数据库失败。", "geheim-42"},
        {{"list"}, nullptr, "没有密码：请设置环境变量 TARVEX_PASSWORD"},
    };
    for (const Case& c : cases) {
        if (c.password) ::setenv("TARVEX_PASSWORD", c.password, 1);
        else ::unsetenv("TARVEX_PASSWORD");
        const Ran ran = Run(c.args);
        EXPECT_EQ(ran.code, 2) << c.says;
        EXPECT_EQ(ran.out, "") << c.says;
        EXPECT_NE(ran.err.find(c.says), std::string::npos) << ran.err;
        EXPECT_EQ(ran.err.find(c.never ? c.never : "\x01"), std::string::npos) << ran.err;
    }
    EXPECT_TRUE(fs::is_empty(folder_));
    for (const std::string& s : standin_.Statements()) EXPECT_EQ(s.find("create database"), std::string::npos) << s;
}

int main(int argc, char** argv) {
    // The code page of the process comes from the environment (LC_ALL=zh_CN.GBK or zh_CN.UTF-8),
    // and the program inherits it.
    if (!std::setlocale(LC_ALL, "")) return 1;
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
