// The command line end to end: the built tarvex-convert-cli against the stand-in with the
// sample database, through the real driver, its output read as a script reads it.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <poll.h>
#include <pty.h>

#include <chrono>
#include <clocale>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <thread>

#include "backup_check.h"
#include "backup_contents.h"
#include "codepage.h"
#include "conversion_record.h"
#include "export.h"
#include "odbcdb.h"
#include "temporary_database.h"
#include "odbc_api.h"
#include "odbcdb.h"
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
    Program(const std::vector<std::string>& args, int outFd, const fs::path& errFile, const fs::path& exe = CLI_EXE) {
        std::vector<std::string> words{exe.string()};
        for (const std::string& a : args) words.push_back(tarvex::CodePage::Process().FromUtf8(a));
        std::vector<char*> argv;
        for (std::string& w : words) argv.push_back(w.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, outFd, 1);
        posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (posix_spawn(&pid_, exe.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
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
    tarvex::ODBCDB own_;  // another copy of the program, where a test needs one
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

// A server far away makes each exchange cost a round trip: a set takes at most three (its create,
// identity, copies and what the export reads; its backup and checks; its drop) and the run at
// most five more, with copies that fail as without: a source table gone ends only its copy
// ("EXECUTE (Transact-SQL)"), which is reported with the server's reason while the copies after
// it go on, each table reported in order before its set ends.
TEST_F(CommandLine, EachSetOfABatchTakesAtMostThreeExchangesWithOrWithoutFailingCopies) {
    for (const bool failing : {false, true}) {
        SCOPED_TRACE(failing);
        for (const fs::path& f : fs::directory_iterator(folder_)) fs::remove(f);
        if (failing) {
            ASSERT_TRUE(own_.NewOpenDatabase(tarvex::CodePage::Process().FromUtf8(
                "DRIVER=SQL Server;SERVER=.;UID=sa;PWD=1;DATABASE=2016年乡镇数据采集")));
            ASSERT_TRUE(own_.ExecuteSql("DROP TABLE GL_PZML", tarvex::Timeout::None(), tarvex::Execution::Direct));
            own_.CloseDatabase();
        }
        const std::size_t before = standin_.Requests().size();
        const Ran ran = Run(Convert({"--set", "2016/001/001", "--set", "2017/001/001", "--verbose"}));
        ASSERT_EQ(ran.code, failing ? 1 : 0) << ran.err;
        const std::vector<testsupport::StandinProcess::Request> requests = standin_.Requests();
        // The sets' exchanges run from the first create to the last drop; the run's are the others:
        // its log-in and the read of the account and the server's version, the list, the hold's
        // check and take with the read of the databases, and the hold's release.
        std::vector<std::string> sent;
        for (auto r = requests.begin() + static_cast<std::ptrdiff_t>(before); r != requests.end(); ++r)
            if (r->kind != "prelogin") sent.push_back(r->text);
        const auto first = std::find_if(sent.begin(), sent.end(), [](const std::string& t) { return t.starts_with("create database"); });
        const auto last = std::find_if(sent.rbegin(), sent.rend(), [](const std::string& t) { return t.starts_with("drop database"); });
        ASSERT_TRUE(first != sent.end() && last != sent.rend());
        const auto ofSets = std::distance(first, last.base());
        EXPECT_LE(ofSets, 3 * 2);
        EXPECT_LE(static_cast<long>(sent.size()) - ofSets, 5);
        // Each set's tables in order, the failing one with the server's reason, all before the set's end.
        std::size_t at = 0;
        for (const char* set : {"[1/2] 2016/001/001 演示账套：", "[2/2] 2017/001/001 演示账套："}) {
            for (int k = 1; k <= tarvex::TableCatalogue::kEntryCount; ++k) {
                const std::string table = std::string(set) + "表" + std::to_string(k) + "/34 ";
                at = ran.err.find(table, at);
                ASSERT_NE(at, std::string::npos) << table << "\n" << ran.err;
                const std::string line = ran.err.substr(at, ran.err.find('\n', at) - at);
                EXPECT_EQ(line.find("失败：") != std::string::npos, failing && k == 14) << line;
                if (failing && k == 14) {
                    EXPECT_NE(line.find("(208)"), std::string::npos) << line;
                }
            }
            EXPECT_NE(ran.err.find(std::string(set) + (failing ? "失败" : "已转换"), at), std::string::npos) << ran.err;
        }
    }
}

// Ctrl+C while a set's copies run at the server: the batch under way is cancelled there, and the
// temporary database goes.
TEST_F(CommandLine, AnInterruptionDuringTheCopiesCancelsThemAtTheServerAndDropsTheDatabase) {
    testsupport::StandinProcess::Options large;
    large.scale = 400;  // copies that take the server a while
    testsupport::StandinProcess server(large);
    server.ExportTdsPort();
    const int out = ::open((scratch_ / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    Program program(Convert({"--set", "2016/001/001", "--verbose"}), out, scratch_ / "err");
    ::close(out);
    for (int guard = 0; guard < 3000 && FileText(scratch_ / "err", true).find("：表14/34") == std::string::npos; ++guard)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    program.Signal(SIGINT);
    EXPECT_EQ(program.Wait(), 130) << FileText(scratch_ / "err", true);
    const std::string err = FileText(scratch_ / "err", true);
    EXPECT_EQ(err.find("：表34/34"), std::string::npos) << err;
    const auto summary = Summary();
    ASSERT_EQ(summary.size(), 1u);
    EXPECT_EQ(summary[0][5], "已取消");
    const std::vector<testsupport::StandinProcess::Request> requests = server.Requests();
    EXPECT_TRUE(std::any_of(requests.begin(), requests.end(), [](const auto& r) { return r.kind == "attention"; }));
    EXPECT_FALSE(testsupport::TemporaryDatabaseExists(server.DataDir()));
    standin_.ExportTdsPort();
}

// Sessions with NOCOUNT by the server's user options ("Configure the user options (server configuration
// option)", "SET NOCOUNT (Transact-SQL)"): the counts still come back, and nothing is flagged empty.
TEST_F(CommandLine, ASetCopiedOnAServerWhoseSessionsHaveNocountKeepsItsCounts) {
    standin_.Stop();
    standin_.Start({"--user-options", "512"});
    EXPECT_EQ(Run(Convert({"--set", "2016/001/001"})).code, 0);
    const auto summary = Summary();
    ASSERT_EQ(summary.size(), 1u);
    EXPECT_EQ(std::make_pair(summary[0][6], summary[0][7]), SourceRows("001", "001", "2016")) << summary[0][10];
}

TEST_F(CommandLine, AYearsConvertibleSetsGoIntoCheckedBackupsAndTheSummaryCountsTheirSourceRows) {
    const Ran ran = Run(Convert({"--year", "2016"}));
    ASSERT_EQ(ran.code, 0) << ran.err;
    EXPECT_NE(ran.err.find("跳过了2个账套：它们的单位名称中没有“新科目”"), std::string::npos) << ran.err;
    EXPECT_NE(ran.err.find("[4/4] 2016/002/012 河西乡专项资金账套：已转换"), std::string::npos) << ran.err;
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
        ASSERT_EQ(row.size(), 14u);
        EXPECT_EQ(row[11].rfind("15.0.", 0), 0u) << row[11];  // the server that made the backup
        EXPECT_EQ(row[12], "sa");                                // the log-in, as the server named it
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
    EXPECT_EQ(ran.code, 4);  // the server went away: a scheduler may retry later
    EXPECT_NE(ran.err.find("与服务器的连接已断开，批量转换停止。"), std::string::npos) << ran.err;
    EXPECT_NE(ran.out.find("汇总：3个账套，已转换1个，失败1个，未转换1个。"), std::string::npos) << ran.out;
    const auto summary = Summary();
    ASSERT_EQ(summary.size(), 3u);
    EXPECT_EQ(summary[0][5] + summary[1][5] + summary[2][5], "已转换失败未转换");
    EXPECT_NE(summary[1][10].find("与服务器的连接已断开"), std::string::npos) << summary[1][10];
    EXPECT_EQ(summary[2][10], "批量转换在此之前停止，没有转换");
    EXPECT_EQ(Files(".bak").size(), 1u);
}

// Ctrl+C, and a scheduler's or a closed terminal's SIGTERM and SIGHUP: the statement under way
// is cancelled, the temporary database dropped and the summary written.
TEST_F(CommandLine, AnInterruptionStopsTheBatchWithExitCode130AndKeepsTheSetsAlreadyConverted) {
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signal);
        for (const fs::path& f : fs::directory_iterator(folder_)) fs::remove(f);
        const Ran ran = ConvertThreeAndAfterTheFirst([signal](Program& program) { program.Signal(signal); });
        EXPECT_EQ(ran.code, 130);
        EXPECT_NE(ran.err.find("已收到中断"), std::string::npos) << ran.err;
        EXPECT_NE(ran.err.find("批量转换已取消；已完成的账套不受影响。"), std::string::npos) << ran.err;
        EXPECT_NE(ran.out.find("汇总：3个账套，已转换1个，未转换2个。"), std::string::npos) << ran.out;
        EXPECT_EQ(Summary().size() + Files(".bak").size(), 3u + 1u);
        EXPECT_FALSE(TemporaryDatabaseExists());
    }
}

// A server that stops answering in the middle of a statement: the first Ctrl+C is acknowledged
// at once and cancels the statement, which the server never answers; the second ends the
// program with 130 at once, saying what may be left.
TEST_F(CommandLine, ASecondInterruptionEndsABatchAtAServerThatStoppedAnswering) {
    standin_.Stop();
    standin_.Start({"--reply-delay-ms", "100"});  // slow enough to stop it within the set
    const int out = ::open((scratch_ / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    Program program(Convert({"--set", "2016/001/001", "--verbose"}), out, scratch_ / "err");
    ::close(out);
    const auto said = [&](const char* text) {
        for (int guard = 0; guard < 600; ++guard, std::this_thread::sleep_for(std::chrono::milliseconds(20)))
            if (FileText(scratch_ / "err", true).find(text) != std::string::npos) return true;
        return false;
    };
    ASSERT_TRUE(said("：表1/34"));
    standin_.Freeze(true);
    program.Signal(SIGINT);
    EXPECT_TRUE(said("已收到中断"));
    program.Signal(SIGINT);
    EXPECT_EQ(program.Wait(), 130);
    EXPECT_TRUE(said("drop-temporary"));
    standin_.Freeze(false);
}

// What an interruption, a lost server, a slow one or one on another computer leave is what the
// summary says. The stand-in finishes a statement whose cancel comes while it runs or its reply
// waits, as the server does ("3.3.5.9 Client Request Execution State", MS-TDS: an attention after
// the request has executed cancels nothing), and writes backups on its own disk where asked.
TEST_F(CommandLine, WhatAStopLeavesIsWhatTheSummarySays) {
    const fs::path far = scratch_ / "far";
    fs::create_directories(far / folder_.relative_path());
    // server: the stand-in's arguments; statement: once it comes, `signal` goes to the program
    // (SIGKILL: the server is killed instead).
    struct Case { std::vector<std::string> server; const char* statement; int signal, code; const char *result, *check; std::string note; };
    const Case cases[] = {
        {{"--create-database-ms", "16000"}, nullptr, 0, 0, "已转换", "通过", ""},
        {{"--create-database-ms", "1500"}, "create database", SIGTERM, 130, "已取消", "", ""},
        {{"--reply-delay-ms", "300"}, "drop database", SIGINT, 130, "已转换", "通过", ""},
        {{"--reply-delay-ms", "300"}, "backup database", SIGHUP, 130, "已取消", "", ""},
        {{"--own-disk", far.string()}, nullptr, 0, 3, "已转换，有警告", "通过", "服务器把它写在服务器自己的磁盘上，在服务器上它是“" + folder_.string()},
        // last: the server killed during the drop may leave the temporary database
        {{"--reply-delay-ms", "300"}, "drop database", SIGKILL, 4, "已转换", "通过", "无法确认临时数据库是否已删除"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.server.front() + " " + (c.statement ? c.statement : ""));
        for (const fs::path& f : fs::directory_iterator(folder_)) fs::remove(f);
        standin_.Stop();
        standin_.Start(c.server);
        const std::size_t before = standin_.Statements().size();  // the log goes on from one start to the next
        const int out = ::open((scratch_ / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        Program program(Convert({"--set", "2016/001/001"}), out, scratch_ / "err");
        ::close(out);
        const auto sent = [&] {
            const std::vector<std::string> s = standin_.Statements();
            return std::any_of(s.begin() + before, s.end(), [&](const std::string& t) { return t.starts_with(c.statement); });
        };
        for (int guard = 0; c.statement && guard < 3000 && !sent(); ++guard) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (c.signal == SIGKILL) standin_.KillNow();
        else if (c.signal) program.Signal(c.signal);
        EXPECT_EQ(program.Wait(), c.code) << FileText(scratch_ / "err", true);
        const auto summary = Summary();
        ASSERT_EQ(summary.size(), 1u);
        EXPECT_EQ(summary[0][5] + "|" + summary[0][9], std::string(c.result) + "|" + c.check) << summary[0][10];
        EXPECT_NE(summary[0][10].find(c.note), std::string::npos) << summary[0][10];
        for (const fs::path& record : Files(".txt")) EXPECT_EQ(FileText(record).find("：未通过"), std::string::npos);
        EXPECT_TRUE(c.code == 4 || !TemporaryDatabaseExists());
    }
    standin_.Stop();
    standin_.Start({});
}

// The exit codes a scheduler tells "retry later" (4) from "fix something" (5, 2) by, and the
// leftover temporary database dropped from the tool, never one another copy holds.
TEST_F(CommandLine, ALeftoverIsDroppedFromTheToolAndEachStopHasItsOwnExitCode) {
    ASSERT_TRUE(own_.NewOpenDatabase(tarvex::CodePage::Process().FromUtf8(
        "DRIVER=SQL Server;SERVER=.;UID=sa;PWD=1;DATABASE=2016年乡镇数据采集")));
    const auto sql = [&](const char* utf8) {
        EXPECT_TRUE(own_.ExecuteSql(tarvex::CodePage::Process().FromUtf8(utf8), tarvex::Timeout::None(),
                                    tarvex::Execution::Direct));
    };
    sql("create database Tarvex数据整理");
    sql("SELECT * INTO Tarvex数据整理.dbo.GL_ZTCS FROM \"2016年乡镇数据采集\".dbo.GL_Ztcs WHERE hsdwdm='001' AND ztbh='001' AND kjnd='2016'");
    EXPECT_EQ(tarvex::TakeHold(own_), tarvex::Hold::Held);  // another copy filling it
    EXPECT_EQ(Run(Convert({"--set", "2016/001/001"})).code, 5);
    EXPECT_EQ(Run({"drop-temporary"}).code, 5);
    EXPECT_TRUE(TemporaryDatabaseExists());
    tarvex::SettleHold(own_, tarvex::Hold::Held, false);  // that copy ended early: a leftover
    own_.CloseDatabase();
    EXPECT_EQ(Run(Convert({"--set", "2016/001/001"})).code, 5);
    const Ran dropped = Run({"drop-temporary"});
    EXPECT_EQ(dropped.code, 0) << dropped.err;
    EXPECT_NE(dropped.err.find("年度2016，单位001，账套001 演示账套"), std::string::npos) << dropped.err;
    EXPECT_FALSE(TemporaryDatabaseExists());
    EXPECT_EQ(Run({"drop-temporary"}).code, 0);
    standin_.Stop();
    EXPECT_EQ(Run({"list"}).code, 4);  // nobody listening
    standin_.Start();
}

// A reader of standard output that goes away (`| head`) ends nothing before the summary.
TEST_F(CommandLine, AClosedStandardOutputDoesNotEndTheBatch) {
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    ::close(fds[0]);
    Program program(Convert({"--set", "2016/001/001", "--set", "2016/002/002"}), fds[1], scratch_ / "err");
    ::close(fds[1]);
    EXPECT_EQ(program.Wait(), 0) << FileText(scratch_ / "err", true);
    EXPECT_EQ(Summary().size(), 2u);
}

TEST_F(CommandLine, ASetWhoseRecordCannotBeWrittenEndsWithExitCode3) {
    // Folders take the name the record is written to before it takes its place, for every
    // second the export may fall in.
    for (std::time_t t = std::time(nullptr), end = t + 120; t < end; ++t) {
        const std::tm local = tarvex::LocalTime(t);
        const std::string time = tarvex::MonthDayText(local) + tarvex::TimeOfDayText(local);
        fs::create_directories(folder_ / ("2016_001城关镇人民政府（新科目）_001演示账套_" + tarvex::CodePage::Process().ToUtf8(time) +
                                          ".bak.txt.tmp"));
    }
    const Ran ran = Run(Convert({"--set", "2016/001/001"}));
    EXPECT_EQ(ran.code, 3) << ran.err;
    EXPECT_NE(ran.out.find("汇总：1个账套，已转换，有警告1个。"), std::string::npos) << ran.out;
    const auto summary = Summary();
    ASSERT_EQ(summary.size(), 1u);
    EXPECT_EQ(summary[0][9], "通过");
    EXPECT_EQ(summary[0][10].rfind("转换记录文件2016_001城关镇人民政府（新科目）_001演示账套", 0), 0u) << summary[0][10];
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
        {Convert({"--all"}), "2", "数据库失败。"},
        {Convert({"--all", "--bogus"}), "1", "未知的选项“--bogus”"},
        {Convert({"--all", "--database", "a'b"}), "1", "a'b"},
    };
    for (const Case& c : cases) {
        if (c.password) ::setenv("TARVEX_PASSWORD", c.password, 1);
        else ::unsetenv("TARVEX_PASSWORD");
        const Ran ran = Run(c.args);
        EXPECT_EQ(ran.code, 2) << c.says;
        EXPECT_EQ(ran.out, "") << c.says;
        EXPECT_NE(ran.err.find(c.says), std::string::npos) << ran.err;
        EXPECT_EQ(ran.err.find(c.never ? c.never : "\x01"), std::string::npos) << ran.err;
        // With --json (also where the options cannot be read) one JSON document says why, and the exit code.
        if (c.args.front() != "convert") continue;
        std::vector<std::string> json = c.args;
        json.push_back("--json");
        const Ran said = Run(json);
        QJsonParseError error{};
        const QJsonObject summary = QJsonDocument::fromJson(QByteArray::fromStdString(said.out), &error).object();
        EXPECT_EQ(error.error, QJsonParseError::NoError) << said.out;
        EXPECT_EQ(summary["exitCode"].toInt(), 2);
        EXPECT_NE(summary["stopped"].toString().toStdString().find(c.says), std::string::npos) << said.out;
    }
    EXPECT_TRUE(fs::is_empty(folder_));
    for (const std::string& s : standin_.Statements()) EXPECT_EQ(s.find("create database"), std::string::npos) << s;
}

// A rerun of the same batch with --skip-done resumes: sets whose backup and record agree are
// skipped and count as done; one whose record was damaged is converted again, with why. The
// backups are named for year, unit and set, so that same-named sets of two units and two years
// tell themselves apart.
TEST_F(CommandLine, ARerunWithSkipDoneConvertsOnlyWhatIsNotDoneUnderTellingNames) {
    ASSERT_TRUE(own_.NewOpenDatabase(tarvex::CodePage::Process().FromUtf8(
        "DRIVER=SQL Server;SERVER=.;UID=sa;PWD=1;DATABASE=2016年乡镇数据采集")));
    ASSERT_TRUE(own_.ExecuteSql(tarvex::CodePage::Process().FromUtf8(
        "UPDATE GL_Ztcs SET ztmc='演示账套' WHERE hsdwdm='002' AND ztbh='002'")));  // two units, one name
    const std::vector<std::string> batch =
        Convert({"--set", "2016/001/001", "--set", "2016/002/002", "--set", "2017/001/001", "--skip-done"});
    ASSERT_EQ(Run(batch).code, 0);
    const std::vector<fs::path> backups = Files(".bak");
    ASSERT_EQ(backups.size(), 3u);
    for (const char* telling : {"2016_001城关镇人民政府（新科目）_001演示账套", "2016_002河西乡人民政府新科目_002演示账套",
                                "2017_001城关镇人民政府（新科目）_001演示账套"})
        EXPECT_EQ(std::count_if(backups.begin(), backups.end(),
                                [&](const fs::path& b) { return b.filename().string().rfind(telling, 0) == 0; }),
                  1) << telling;
    // A folder an older version filled, whose names ran the set's name into the date, resumes as well.
    const std::string name = backups.front().filename().string();
    const std::string old = std::string(name).erase(name.rfind('_', name.find("月")), 1);
    std::string olderRecord = FileText(folder_ / (name + ".txt"));
    olderRecord.replace(olderRecord.find("备份文件：" + name), 15 + name.size(), "备份文件：" + old);
    std::ofstream(folder_ / (old + ".txt"), std::ios::binary) << olderRecord;
    fs::remove(folder_ / (name + ".txt"));
    fs::rename(backups.front(), folder_ / old);
    for (const fs::path& f : Files(".csv")) fs::remove(f);
    const Ran again = Run(batch);
    EXPECT_EQ(again.code, 0) << again.err;
    EXPECT_NE(again.out.find("汇总：3个账套，已存在（跳过）3个。"), std::string::npos) << again.out;
    EXPECT_EQ(Files(".bak").size(), 3u);
    // One record damaged: that set alone is converted again.
    const fs::path record = Files(".txt").front();
    std::string text = FileText(record);
    text.replace(text.find("SHA-256：") + 9, 4, "0000");
    std::ofstream(record, std::ios::binary) << text;
    for (const fs::path& f : Files(".csv")) fs::remove(f);
    const Ran third = Run(batch);
    EXPECT_EQ(third.code, 0) << third.err;
    EXPECT_EQ(Files(".bak").size(), 4u);
    const auto summary = Summary();
    EXPECT_EQ(std::count_if(summary.begin(), summary.end(), [](const auto& r) { return r[5] == "已存在（跳过）"; }), 2);
    EXPECT_EQ(std::count_if(summary.begin(), summary.end(),
                            [](const auto& r) { return r[10].find("与其转换记录不符（SHA-256不同），重新转换") != std::string::npos; }),
              1);
    // The database restored anew under its name, and a record of a version that did not note
    // which database it came from: every set is converted again, saying why.
    own_.CloseDatabase();
    ASSERT_TRUE(own_.NewOpenDatabase("DRIVER=SQL Server;SERVER=.;UID=sa;PWD=1;DATABASE=master"));
    const std::string disk = " DISK = N'" + (scratch_ / "anew.bak").string() + "'";
    for (const std::string& sql : {"BACKUP DATABASE [2016年乡镇数据采集] TO" + disk,
                                   "RESTORE DATABASE [2016年乡镇数据采集] FROM" + disk + " WITH REPLACE"})
        ASSERT_TRUE(own_.ExecuteSql(tarvex::CodePage::Process().FromUtf8(sql)));
    text = FileText(Files(".txt").back());
    text.erase(text.find("数据库标识"), text.find('\n', text.find("数据库标识")) + 1 - text.find("数据库标识"));
    std::ofstream(Files(".txt").back(), std::ios::binary) << text;
    for (const fs::path& f : Files(".csv")) fs::remove(f);
    const Ran fourth = Run(batch);
    EXPECT_NE(fourth.out.find("汇总：3个账套，已转换3个。"), std::string::npos) << fourth.out << fourth.err;
    std::string notes;
    for (const auto& r : Summary()) notes += r[10];
    for (const char* why : {"出自另一个同名的数据库", "没有记下数据库的标识"}) EXPECT_NE(notes.find(why), std::string::npos) << notes;
}

// What the batch says fits where it goes: --quiet only the summary's path; --json one document
// a script parses; on a terminal a line per set that updates in place; in a log a line per set
// at its start and end.
TEST_F(CommandLine, TheBatchsOutputFitsWhereItGoes) {
    const Ran quiet = Run(Convert({"--set", "2016/001/001", "--quiet"}));
    EXPECT_EQ(quiet.code, 0);
    EXPECT_EQ(quiet.err, "");
    EXPECT_EQ(quiet.out.rfind("汇总文件：", 0), 0u) << quiet.out;
    EXPECT_EQ(Split(quiet.out, '\n').size(), 1u) << quiet.out;

    const Ran json = Run(Convert({"--set", "2016/001/001", "--set", "2016/002/002", "--json"}));
    QJsonParseError error{};
    const QJsonObject summary = QJsonDocument::fromJson(QByteArray::fromStdString(json.out), &error).object();
    ASSERT_EQ(error.error, QJsonParseError::NoError) << json.out;
    EXPECT_EQ(summary["exitCode"].toInt(), json.code);
    const QJsonArray sets = summary["sets"].toArray();
    ASSERT_EQ(sets.size(), 2);
    const QJsonObject first = sets[0].toObject();
    EXPECT_EQ(first["accountSetName"].toString(), QString::fromUtf8("演示账套"));
    EXPECT_EQ(first["result"].toString(), QString::fromUtf8("已转换"));
    EXPECT_EQ(first["sha256"].toString().size(), 64);
    EXPECT_TRUE(fs::exists(fs::path(summary["folder"].toString().toStdString()) / first["file"].toString().toStdString()));

    // In a log: a line per set at its start and its end, none per table.
    const Ran logged = Run(Convert({"--set", "2016/001/001"}));
    EXPECT_NE(logged.err.find("[1/1] 2016/001/001 演示账套：开始转换\n"), std::string::npos) << logged.err;
    EXPECT_NE(logged.err.find("[1/1] 2016/001/001 演示账套：已转换，用时"), std::string::npos) << logged.err;
    EXPECT_EQ(logged.err.find("：表1/34"), std::string::npos) << logged.err;

    // On a terminal (stderr a pseudo-terminal): the set's line is written over as its tables go,
    // what is left of its earlier text cleared before the line ends; an interruption (once the
    // second set begins) has its notice start a line of its own.
    int master = -1, slave = -1;
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    const int out = ::open((scratch_ / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    Program onTerminal(Convert({"--set", "2016/001/001", "--set", "2016/002/002"}), out, ::ttyname(slave));
    ::close(out);
    ::close(slave);
    std::string shown;
    for (char buffer[4096];;) {
        pollfd p{master, POLLIN, 0};
        if (::poll(&p, 1, 30000) <= 0) break;
        const ssize_t n = ::read(master, buffer, sizeof buffer);
        if (n <= 0) break;  // EIO once the program has closed the terminal
        const bool begun = shown.find("[2/2]") != std::string::npos;
        shown.append(buffer, static_cast<std::size_t>(n));
        if (!begun && shown.find("[2/2]") != std::string::npos) onTerminal.Signal(SIGINT);
    }
    ::close(master);
    EXPECT_EQ(onTerminal.Wait(), 130);
    shown = tarvex::CodePage::Process().ToUtf8(shown);
    EXPECT_NE(shown.find("\r[1/2] 2016/001/001 演示账套：表34/34，已用时"), std::string::npos) << shown;
    EXPECT_NE(shown.find("\x1b[K"), std::string::npos);
    EXPECT_EQ(shown.find("\n\x1b[K"), std::string::npos) << shown;
    EXPECT_NE(shown.find("\n已收到中断"), std::string::npos) << shown;
    EXPECT_EQ(shown.find("开始转换"), std::string::npos) << shown;
}

// The program in a folder with a Chinese name, in either code page: its own folder takes the
// backups, found by its name (the file system's names are UTF-8 also in a GBK locale).
TEST_F(CommandLine, AProgramFolderWithAChineseNameIsTheFolderItNames) {
    const fs::path program = scratch_ / "审计程序";
    fs::create_directories(program);
    fs::copy_file(CLI_EXE, program / "tarvex-convert-cli");
    const int out = ::open((scratch_ / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    Program run({"convert", "--set", "2016/001/001"}, out, scratch_ / "err", program / "tarvex-convert-cli");
    ::close(out);
    EXPECT_EQ(run.Wait(), 0) << FileText(scratch_ / "err", true);
    EXPECT_EQ(testsupport::FilesEndingIn(program, ".bak").size(), 1u);
}

// restore: the restored name alone on stdout, the progress on stderr. The backup's own name, taken
// on the server, ends with 2 and a missing file with 1, neither restoring anything.
TEST_F(CommandLine, RestorePrintsTheRestoredNameAndRefusesATakenNameOrAMissingFile) {
    const fs::path bak = scratch_ / "样本.bak";
    tarvex::ODBCDB own;
    ASSERT_TRUE(own.NewOpenDatabase("DRIVER=SQL Server;SERVER=.;UID=sa;PWD=1;DATABASE=master"));
    ASSERT_TRUE(own.ExecuteSql(tarvex::CodePage::Process().FromUtf8("backup database [2016年乡镇数据采集] to disk = N'" +
                                                                    bak.string() + "'")));
    EXPECT_NE(Run({"--help"}).out.find("restore --file 备份文件 [--database 新数据库名称]"), std::string::npos);
    const Ran restored = Run({"restore", "--file", bak.string(), "--database", "审计副本"});
    EXPECT_EQ(restored.code, 0) << restored.err;
    EXPECT_EQ(restored.out, "审计副本\n");
    EXPECT_NE(restored.err.find("已还原100%"), std::string::npos) << restored.err;
    const Ran taken = Run({"restore", "--file", bak.string()});
    EXPECT_EQ(taken.code, 2);
    EXPECT_NE(taken.err.find("服务器上已有名为“2016年乡镇数据采集”的数据库"), std::string::npos) << taken.err;
    const fs::path damaged = scratch_ / "坏的.bak";
    fs::copy_file(bak, damaged);
    testsupport::AlterByte(damaged, fs::file_size(damaged) - 100);
    const Ran failed = Run({"restore", "--file", damaged.string(), "--database", "坏副本"});
    EXPECT_EQ(failed.code, 1);
    EXPECT_EQ(failed.err.find("还原失败"), failed.err.rfind("还原失败")) << failed.err;  // said once
    const Ran missing = Run({"restore", "--file", (scratch_ / "无此文件.bak").string()});
    EXPECT_EQ(missing.code, 1);
    EXPECT_NE(missing.err.find("打不开备份文件"), std::string::npos) << missing.err;
    // A backup of the temporary database (the program's own) restores under its file's name.
    const std::string tool = (scratch_ / "单位2016.bak").string();
    ASSERT_TRUE(own.ExecuteSql(tarvex::CodePage::Process().FromUtf8(
        "create database Tarvex数据整理; backup database Tarvex数据整理 to disk = N'" + tool + "'; drop database Tarvex数据整理")));
    EXPECT_EQ(Run({"restore", "--file", tool}).out, "单位2016\n");
    int restores = 0;
    for (const std::string& s : standin_.Statements()) restores += s.rfind("RESTORE DATABASE", 0) == 0;
    EXPECT_EQ(restores, 3) << "the copy, the damaged one and the temporary database's";
}

// A server far away: before its RESTORE the restore reads in two exchanges after its log-in (the
// server's facts with the backup's header, then the file list with the name's look-up).
TEST_F(CommandLine, ARestoreReadsWhatItNeedsInAtMostTwoExchangesBeforeItsRestore) {
    const fs::path bak = scratch_ / "远处.bak";
    tarvex::ODBCDB own;
    ASSERT_TRUE(own.NewOpenDatabase("DRIVER=SQL Server;SERVER=.;UID=sa;PWD=1;DATABASE=master"));
    ASSERT_TRUE(own.ExecuteSql(tarvex::CodePage::Process().FromUtf8("backup database [2016年乡镇数据采集] to disk = N'" +
                                                                    bak.string() + "'")));
    ASSERT_EQ(Run({"restore", "--file", bak.string(), "--database", "远处副本"}).code, 0);
    const std::vector<testsupport::StandinProcess::Request> requests = standin_.Requests();
    const auto restore = std::find_if(requests.begin(), requests.end(),
                                      [](const auto& r) { return r.text.starts_with("RESTORE DATABASE"); });
    ASSERT_NE(restore, requests.end());
    const auto before = std::count_if(requests.begin(), restore, [&](const auto& r) {
        return r.connection == restore->connection && r.kind != "prelogin" && r.kind != "login";
    });
    EXPECT_LE(before, 2);
}

namespace {

// What verify makes of each folder, as a script reads its JSON: a line per file and the summary.
std::string VerifyLines(const std::string& json) {
    const QJsonObject doc = QJsonDocument::fromJson(QByteArray::fromStdString(json)).object();
    std::string text;
    for (const QJsonValue f : doc["files"].toArray())
        text += f["file"].toString().toStdString() + "\t" + f["result"].toString().toStdString() + "\n";
    return text + doc["summary"].toString().toStdString() + doc["stopped"].toString().toStdString();
}

// Every file of a folder with its bytes.
std::map<std::string, std::string> Snapshot(const fs::path& dir) {
    std::map<std::string, std::string> files;
    for (const fs::directory_entry& e : fs::directory_iterator(dir)) files[e.path().filename().string()] = FileText(e.path());
    return files;
}

void Edit(const fs::path& file, const std::function<void(std::string&)>& change) {
    std::string text = FileText(file);
    change(text);
    std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
}

void Replace(const fs::path& file, const std::string& from, const std::string& to) {
    Edit(file, [&](std::string& t) { if (const auto at = t.find(from); at != std::string::npos) t.replace(at, from.size(), to); });
}

}  // namespace

TEST_F(CommandLine, VerifySaysWhatEachFolderHoldsAndChangesNothingInIt) {
    ASSERT_EQ(Run(Convert({"--year", "2016"})).code, 0);
    const std::vector<fs::path> baks = Files(".bak");
    ASSERT_EQ(baks.size(), 4u);
    const fs::path dir = scratch_ / "核对";
    const auto bak = [&](int i) { return dir / baks[static_cast<std::size_t>(i)].filename(); };
    const auto record = [&](int i) { return fs::path(bak(i).string() + ".txt"); };
    const auto clear = [&] { for (const auto& e : fs::directory_iterator(dir)) fs::remove(e.path()); };
    const struct {
        const char* what;
        std::function<void()> make;
        int code;
        std::string said;
    } cases[] = {
        {"as converted", [] {}, 0, "核对了5个文件（备份4个），一致5个，不一致0个。"},
        {"empty", clear, 1, "核对了0个文件（备份0个），一致0个，不一致0个。文件夹中没有备份文件（.bak）。"},
        {"other files", [&] { clear(); std::ofstream(dir / "底稿.docx") << "x"; std::ofstream(dir / "a.csv") << "x,y"; }, 1, "另有2个其他文件，没有核对。"},
        {"an older record", [&] { Edit(record(0), [](std::string& t) {
             for (const char* label : {"服务器版本：", "数据库标识", "备份中的账套"}) { const auto at = t.find(label); t.erase(at, t.find('\n', at) + 1 - at); } }); },
         0, "一致（注意：转换记录是本程序较早版本写的，没有服务器版本、数据库标识（database_id create_date）、备份中的账套（按临时数据库的GL_ZTCS表））"},
        {"no BOM, CR LF", [&] { Edit(record(1), [](std::string& t) {
             t.erase(0, 3);
             for (auto at = t.find('\n'); at != std::string::npos; at = t.find('\n', at + 2)) t.insert(at, "\r"); }); },
         0, "一致5个"},
        {"a count edited", [&] { Replace(record(1), "\nGL_ZTCS\t1\n", "\nGL_ZTCS\t2\n"); }, 1, "转换记录中各表行数之和为"},
        {"the SHA-256 edited", [&] { Edit(record(2), [](std::string& t) { char& c = t[t.find("SHA-256：") + 10]; c = c == '0' ? '1' : '0'; }); },
         1, "SHA-256与转换记录不符"},
        {"the set edited", [&] { Replace(record(3), "转换年度：2016", "转换年度：2017"); }, 1, "文件名中的年度、单位编号、账套编号与转换记录（2017/"},
        {"the summary's SHA-256 edited", [&] {
             for (const auto& e : fs::directory_iterator(dir))
                 if (e.path().extension() == ".csv") Edit(e.path(), [](std::string& t) { char& c = t[t.find('\n', t.find('\n') + 1) - 1]; c = c == '0' ? '1' : '0'; }); },
         1, "）的SHA-256与转换记录不符"},
        {"truncated by a byte", [&] { fs::resize_file(bak(0), fs::file_size(bak(0)) - 1); }, 1, "字节，转换记录为"},
        {"renamed to another set's name", [&] { fs::rename(bak(0), bak(1)); fs::rename(record(0), record(1)); }, 1, "转换记录写的备份文件是"},
        {"two copies", [&] { fs::copy_file(bak(2), dir / "副本.bak"); fs::copy_file(record(2), dir / "副本.bak.txt"); }, 1,
         "是同一个账套的备份（服务器、数据库、年度、单位编号、账套编号都相同）；与“副本.bak”内容完全相同（同一个备份的两个副本）"},
        {"a GBK name", [&] { fs::copy_file(bak(3), dir / "\xC9\xF3\xBC\xC6.bak"); }, 1,
         "没有转换记录（????.bak.txt）；与“2016_002河西乡人民政府新科目_012河西乡专项资金账套_"},
        {"a read-only folder", [&] { fs::permissions(dir, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write, fs::perm_options::remove); },
         0, "一致5个"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(dir);
        fs::copy(folder_, dir);
        c.make();
        const auto before = Snapshot(dir);
        const Ran ran = Run({"verify", "--folder", dir.string(), "--json"});
        EXPECT_EQ(ran.code, c.code) << ran.out;
        EXPECT_NE(VerifyLines(ran.out).find(c.said), std::string::npos) << VerifyLines(ran.out);
        EXPECT_EQ(Snapshot(dir), before);
        fs::permissions(dir, fs::perms::owner_all);
    }
    // The manifest, written elsewhere, is what sha256sum checks in the folder.
    const fs::path manifest = scratch_ / "SHA256SUMS";
    EXPECT_EQ(Run({"verify", "--folder", folder_.string(), "--manifest", manifest.string()}).code, 0);
    EXPECT_EQ(std::system(("cd '" + folder_.string() + "' && sha256sum --quiet -c '" + manifest.string() + "'").c_str()), 0);
    // Bad usage: exit code 2, and with --json a document all the same.
    for (const std::vector<std::string>& words : std::vector<std::vector<std::string>>{
             {"verify", "--json"}, {"verify", "--folder", (scratch_ / "无此文件夹").string(), "--json"}, {"verify", "--folder", dir.string(), "--what", "--json"}}) {
        const Ran bad = Run(words);
        EXPECT_EQ(bad.code, 2);
        EXPECT_EQ(QJsonDocument::fromJson(QByteArray::fromStdString(bad.out))["exitCode"].toInt(), 2) << bad.out;
    }
}

TEST_F(CommandLine, VerifyRestoreCheckCountsEachBackupUnderANameOfItsOwnAndDropsIt) {
    ASSERT_EQ(Run(Convert({"--year", "2016"})).code, 0);
    const std::vector<fs::path> baks = Files(".bak");
    ASSERT_EQ(baks.size(), 4u);
    // A count edited with its total, which only the restore tells; a backup made by a newer server.
    Edit(baks[0].string() + ".txt", [](std::string& t) {
        t.replace(t.find("\nGL_ZTCS\t1\n"), 11, "\nGL_ZTCS\t2\n");
        const std::size_t total = t.find("合计：") + std::string("合计：").size();
        t.replace(total, t.find(' ', total) - total, std::to_string(std::stol(t.substr(total)) + 1));
    });
    {
        const testsupport::BackupContents contents(baks[1]);
        standin::BackupHeader header = contents.Header();
        header.versionMajor = 16;
        standin::WriteBackupFile(baks[1], header, contents.File());
    }
    ASSERT_TRUE(own_.NewOpenDatabase("DRIVER=SQL Server;SERVER=.;UID=sa;PWD=1;DATABASE=master"));
    ASSERT_TRUE(own_.ExecuteSql(tarvex::CodePage::Process().FromUtf8("create database Tarvex还原核对1")));
    const Ran ran = Run({"verify", "--folder", folder_.string(), "--restore-check", "--json"});
    EXPECT_EQ(ran.code, 1) << ran.err;
    const std::string lines = VerifyLines(ran.out);
    for (const char* said : {"一致；内容不一致：GL_ZTCS表备份中1行、记录为2行",
                             "SHA-256与转换记录不符；未能还原核对（不是备份的问题）：这个备份是用SQL Server 2022（16.0",
                             "一致；内容一致（34张表共430行）", "一致；内容一致（34张表共432行）"})
        EXPECT_NE(lines.find(said), std::string::npos) << said << "\n" << lines;
    EXPECT_NE(ran.err.find("已删除核对用的数据库“Tarvex还原核对2”。"), std::string::npos) << ran.err;
    const auto left = own_.ReadAllText(tarvex::CodePage::Process().FromUtf8(
        "SELECT name FROM sys.databases WHERE name LIKE N'Tarvex还原核对%'"));
    ASSERT_TRUE(left);
    EXPECT_EQ(left->size(), 1u);  // the one that was there before
    for (const std::string& s : standin_.Statements())
        EXPECT_EQ(s.find("REPLACE"), std::string::npos) << s;
}

TEST_F(CommandLine, VerifyStopsAtAnInterruptionWithExitCode130AndSaysSoInItsJson) {
    std::ofstream(folder_ / "大.bak").close();
    fs::resize_file(folder_ / "大.bak", 64ull << 30);  // sparse: read for longer than the test waits
    const int fd = ::open((scratch_ / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    Program program({"verify", "--folder", folder_.string(), "--json"}, fd, scratch_ / "err");
    ::close(fd);
    for (int guard = 0; guard < 3000 && FileText(scratch_ / "err").find("[1/1]") == std::string::npos; ++guard)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    program.Signal(SIGINT);
    EXPECT_EQ(program.Wait(), 130);
    const QJsonObject json = QJsonDocument::fromJson(QByteArray::fromStdString(FileText(scratch_ / "out"))).object();
    EXPECT_EQ(json["stopped"].toString(), QString::fromUtf8("核对已取消，没有核对完。"));
    EXPECT_EQ(json["exitCode"].toInt(), 130);
    EXPECT_NE(FileText(scratch_ / "err", true).find("已收到中断：正在停止核对。"), std::string::npos);
}

int main(int argc, char** argv) {
    // The code page of the process comes from the environment (LC_ALL=zh_CN.GBK or zh_CN.UTF-8),
    // and the program inherits it.
    if (!std::setlocale(LC_ALL, "")) return 1;
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
