// The Windows program under wine, driven as a user drives it (tests/windows/drive-conversion)
// against a stand-in on this machine: the .bak lands in the program's own folder (Z:\... to
// the program, mapped back by the stand-in under the GBK names wine uses in the program's
// locale) and holds the chosen account set's rows, compared with the source as the Linux flow
// test compares them; the record beside it gives that file's size and SHA-256, which the program
// could only read if both name the same file, and its lines end as Windows' text files do.
// TARVEX_WINDOWS_EXE names the program. Closing the window in the middle of a run ends the
// program cleanly. The command line (TARVEX_WINDOWS_CLI) converts as the window does and
// answers in code page 936.

#include <sys/wait.h>
#include <unistd.h>

#include <QByteArray>
#include <QCryptographicHash>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "backup_check.h"
#include "backup_contents.h"
#include "codepage.h"
#include "kerberos_realm.h"
#include "odbc_api.h"
#include "odbc_trace.h"
#include "odbcdb.h"
#include "standin_process.h"
#include "test_files.h"

namespace fs = std::filesystem;

namespace {

// The charset of the Unix file names the program sees under wine (scripts/wine-run: zh_CN.GBK).
constexpr const char* kWineNames = "GBK";

std::string Quoted(const fs::path& path) { return "'" + path.string() + "'"; }

// The lines of a record: UTF-8 after a byte-order mark, every line ending in CR LF.
std::vector<std::string> RecordLines(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text.substr(0, 3), "\xEF\xBB\xBF") << "a byte-order mark";
    std::vector<std::string> lines;
    std::istringstream stream(text.substr(std::min<std::size_t>(3, text.size())));
    int bare = 0;
    for (std::string line; std::getline(stream, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        else ++bare;
        lines.push_back(line);
    }
    EXPECT_GT(lines.size(), 40u);
    EXPECT_EQ(bare, 0) << "lines ending in a bare LF";
    return lines;
}

// What follows `label` on the record's line that starts with it.
std::string After(const std::vector<std::string>& lines, const std::string& label) {
    for (const std::string& line : lines)
        if (line.rfind(label, 0) == 0) return line.substr(label.size());
    ADD_FAILURE() << "no line " << label;
    return {};
}

// The program's folder: a copy of the program alone, removed with the object.
struct ProgramFolder {
    fs::path dir = fs::temp_directory_path() / ("tarvex-wine-" + std::to_string(::getpid()));
    fs::path exe;
    explicit ProgramFolder(const fs::path& program) : exe(dir / program.filename()) {
        fs::remove_all(dir);
        fs::create_directories(dir);
        fs::copy_file(program, exe);
    }
    ~ProgramFolder() {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    // The files whose names end in `suffix`.
    std::vector<fs::path> Files(const std::string& suffix) const { return testsupport::FilesEndingIn(dir, suffix); }
};

// The Windows program the environment variable names, or none.
const char* Program(const char* variable) {
    const char* program = std::getenv(variable);
    return program != nullptr && *program != '\0' ? program : nullptr;
}
const char* WindowsProgram() { return Program("TARVEX_WINDOWS_EXE"); }

// A stand-in for a program under wine: the sample, backups to Z:\ (the Unix root) under the
// names wine gives files here. wine's odbc32 hands the program's ODBC calls to this process's
// unixODBC, so the private configuration and TDSPORT reach its driver as they reach the Linux
// program's.
// `more`: the stand-in's further arguments.
struct WineStandin : testsupport::StandinProcess {
    explicit WineStandin(const std::vector<std::string>& more = {}) : StandinProcess(Configured(more)) { ExportTdsPort(); }
    static Options Configured(const std::vector<std::string>& more) {
        testsupport::UsePrivateOdbcConfig();
        Options options;
        options.extraArgs = {"--map-drive", "Z:=/", "--map-drive-charset", kWineNames};
        options.extraArgs.insert(options.extraArgs.end(), more.begin(), more.end());
        return options;
    }
};

// Drives the copy of the program in `folder` with a script of tests/windows against the stand-in;
// the script ends with 0 once it has done its part. `more`: the script's further arguments.
void Drive(const char* script, const ProgramFolder& folder, const WineStandin& standin, const std::string& more = {}) {
    const std::string command = Quoted(script) + " " + Quoted(folder.exe) + " " + Quoted(standin.StatementLog()) + more;
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

// The sample backed up into `folder` as sample.bak by the stand-in, and dropped: what a restore
// starts from. The backup's path as a program under wine names it.
std::string BackUpAndDropTheSample(const ProgramFolder& folder) {
    tarvex::ODBCDB own;
    EXPECT_TRUE(own.NewOpenDatabase("DRIVER=SQL Server;SERVER=.;UID=sa;PWD=1;DATABASE=master"));
    EXPECT_TRUE(own.ExecuteSql("backup database [2016年乡镇数据采集] to disk = N'" + (folder.dir / "sample.bak").string() + "'"));
    EXPECT_TRUE(own.ExecuteSql("DROP DATABASE [2016年乡镇数据采集]"));
    std::string windows = "Z:" + (folder.dir / "sample.bak").string();
    std::replace(windows.begin(), windows.end(), '/', '\\');
    return windows;
}

// The one backup in `folder` besides sample.bak holds the rows of account set 001 of unit 001 in
// 2016 that sample.bak holds.
void ExpectTheSamplesRowsConverted(const ProgramFolder& folder) {
    std::vector<fs::path> backups = folder.Files(".bak");
    std::erase(backups, folder.dir / "sample.bak");
    ASSERT_EQ(backups.size(), 1u);
    const testsupport::BackupContents sample(folder.dir / "sample.bak");
    backupcheck::ExpectRowsOfAccountSet(backups.front(), sample.File(), "001", "001", "2016");
}

// A converted and checked set's line (command line or summary): its backup holds its rows.
void ExpectConvertedAndChecked(const std::vector<std::string>& f, const fs::path& folder, const WineStandin& standin) {
    ASSERT_GE(f.size(), 10u);
    EXPECT_EQ(f[5] + f[9], "已转换通过") << f[4];
    // The server wrote the backup under the name the program gave it, as wine names it here.
    backupcheck::ExpectRowsOfAccountSet(folder / tarvex::CodePage::Named(kWineNames).FromUtf8(f[8]),
                                        standin.DataDir() / "2016年乡镇数据采集.sqlite", f[1], f[3], f[0]);
}

}  // namespace

TEST(WindowsProgramUnderWine, AConversionEndsInABackupOfThatAccountSetsRowsInTheProgramsFolder) {
    const char* program = WindowsProgram();
    if (program == nullptr) GTEST_SKIP() << "TARVEX_WINDOWS_EXE names no Windows program";
    const WineStandin standin;
    const ProgramFolder folder{fs::path(program)};
    ASSERT_NO_FATAL_FAILURE(Drive(DRIVE_CONVERSION, folder, standin));
    // Through wine's odbc32 as directly: a statement an exchange with the server, rows read with the answer.
    EXPECT_LE(standin.Requests().size(), 55u);

    const std::vector<fs::path> backups = folder.Files(".bak"), records = folder.Files(".bak.txt");
    ASSERT_EQ(backups.size(), 1u);
    ASSERT_EQ(records.size(), 1u);
    const fs::path& backup = backups.front();
    EXPECT_EQ(records.front().filename(), backup.filename().string() + ".txt");
    const std::string name = tarvex::CodePage::Named(kWineNames).ToUtf8(backup.filename().string());
    EXPECT_TRUE(std::regex_match(name, std::regex(R"(演示账套\d{1,2}月\d{1,2}日\d{1,2}时\d{1,2}分\d{1,2}秒\.bak)"))) << name;
    backupcheck::ExpectRowsOfAccountSet(backup, standin.DataDir() / "2016年乡镇数据采集.sqlite", "001", "001", "2016");

    const std::vector<std::string> lines = RecordLines(records.front());
    std::ifstream in(backup, std::ios::binary);  // by its bytes: the name is no UTF-8 for Qt
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const QByteArray sha256 = QCryptographicHash::hash(
        QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())), QCryptographicHash::Sha256);
    EXPECT_EQ(After(lines, "SHA-256："), sha256.toHex().toStdString());
    const std::string size = After(lines, "大小：");
    EXPECT_EQ(size.substr(0, size.find_first_not_of("0123456789")), std::to_string(fs::file_size(backup))) << size;
}

namespace {

// The command line in `folder` under wine with `args`: its exit code, its stdout in cli.out and
// its stderr in cli.err there.
int RunCli(const ProgramFolder& folder, const std::string& args) {
    const std::string command = Quoted(WINE_RUN) + " " + Quoted(folder.exe) + " " + args + " > " +
                                Quoted(folder.dir / "cli.out") + " 2> " + Quoted(folder.dir / "cli.err");
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Lines of a file in code page 936, in UTF-8, without their CR.
std::vector<std::string> Lines936(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::istringstream text(tarvex::CodePage::Named(kWineNames).ToUtf8(std::string(std::istreambuf_iterator<char>(in), {})));
    std::vector<std::string> lines;
    for (std::string line; std::getline(text, line);) lines.push_back(line.ends_with('\r') ? line.substr(0, line.size() - 1) : line);
    return lines;
}

}  // namespace

TEST(WindowsCommandLineUnderWine, ConvertsTwoSetsIntoItsOwnFolderAndAnswersInCodePage936) {
    const char* program = Program("TARVEX_WINDOWS_CLI");
    if (program == nullptr) GTEST_SKIP() << "TARVEX_WINDOWS_CLI names no Windows program";
    const WineStandin standin;
    const fs::path trace = testsupport::UsePrivateOdbcConfigWithTrace();  // for the programs started from here on
    ::setenv("TARVEX_PASSWORD", "1", 1);
    const ProgramFolder folder{fs::path(program)};
    const auto run = [&](const std::string& args) { return RunCli(folder, args); };

    ASSERT_EQ(run("convert --set 2016/001/001 --set 2017/002/002"), 0);
    // Its log-in, through wine's odbc32 and the host's unixODBC, never lets the driver prompt.
    const std::vector<testsupport::DriverConnectCall> calls = testsupport::DriverConnectCalls(trace);
    ASSERT_FALSE(calls.empty());
    for (const testsupport::DriverConnectCall& call : calls) {
        EXPECT_EQ(call.completion, SQL_DRIVER_NOPROMPT);
        EXPECT_EQ(call.window, 0u);
    }
    const std::vector<std::string> out = Lines936(folder.dir / "cli.out");
    ASSERT_EQ(out.size(), 4u);
    EXPECT_EQ(out[2], "汇总：2个账套，已转换2个。");
    for (const std::string& line : {out[0], out[1]}) ExpectConvertedAndChecked(testsupport::Fields(line, '\t'), folder.dir, standin);
    // Beside the backups, the program's own files: the two records and the summary.
    EXPECT_EQ(std::vector({folder.Files(".bak").size(), folder.Files(".bak.txt").size(), folder.Files(".csv").size()}),
              std::vector<std::size_t>({2, 2, 1}));
    // Named for year, unit and set; a rerun with --skip-done converts nothing again.
    const tarvex::CodePage names = tarvex::CodePage::Named(kWineNames);
    for (const char* telling : {"2016_001城关镇人民政府（新科目）_001演示账套", "2017_002河西乡人民政府新科目_002演示账套2"}) {
        const std::vector<fs::path> backups = folder.Files(".bak");
        EXPECT_EQ(std::count_if(backups.begin(), backups.end(),
                                [&](const fs::path& b) { return b.filename().string().rfind(names.FromUtf8(telling), 0) == 0; }),
                  1) << telling;
    }
    ASSERT_EQ(run("convert --set 2016/001/001 --set 2017/002/002 --skip-done"), 0);
    EXPECT_EQ(Lines936(folder.dir / "cli.out")[2], "汇总：2个账套，已存在（跳过）2个。");
    EXPECT_EQ(folder.Files(".bak").size(), 2u);

    // The folder checked against its records by the Windows program, offline, its names in code
    // page 936: every backup agrees; one cut short by a byte does not.
    const std::string windowsFolder = Quoted(fs::path("Z:" + folder.dir.string()));
    const auto said = [&] {
        std::string text;
        for (const std::string& line : Lines936(folder.dir / "cli.out")) text += line + "\n";
        return text;
    };
    EXPECT_EQ(run("verify --folder " + windowsFolder), 0) << said();
    const fs::path cut = folder.Files(".bak").front();
    fs::resize_file(cut, fs::file_size(cut) - 1);
    EXPECT_EQ(run("verify --folder " + windowsFolder), 1);
    const std::vector<std::string> checked = Lines936(folder.dir / "cli.out");
    EXPECT_EQ(std::count_if(checked.begin(), checked.end(),
                            [](const std::string& line) { return line.find("字节，转换记录为") != std::string::npos; }),
              1);

    EXPECT_EQ(run("convert --year 20x6"), 2);
    EXPECT_EQ(Lines936(folder.dir / "cli.err").front(), "年度“20x6”不是四位数字的年份，例如 2016。");
}

// restore, then convert from the restored database: the restored name alone on stdout.
TEST(WindowsCommandLineUnderWine, RestoresTheDroppedSampleUnderAnotherNameAndConvertsFromIt) {
    const char* program = Program("TARVEX_WINDOWS_CLI");
    if (program == nullptr) GTEST_SKIP() << "TARVEX_WINDOWS_CLI names no Windows program";
    const WineStandin standin;
    ::setenv("TARVEX_PASSWORD", "1", 1);
    const ProgramFolder folder{fs::path(program)};
    const std::string backup = BackUpAndDropTheSample(folder);
    const auto run = [&](const std::string& args) { return RunCli(folder, args); };
    ASSERT_EQ(run("restore --file " + Quoted(backup) + " --database Audit2016"), 0);
    EXPECT_EQ(Lines936(folder.dir / "cli.out"), std::vector<std::string>{"Audit2016"});
    ASSERT_EQ(run("convert --database Audit2016 --set 2016/001/001"), 0);
    ExpectTheSamplesRowsConverted(folder);
}

// A unit's file of a full backup and a differential after it restores with the differential, the
// sets listed on stderr; a differential's position is bad usage. A refused log-in still answers
// --json with one document.
TEST(WindowsCommandLineUnderWine, RestoresAFullBackupWithItsDifferentialAndAnswersJsonOnARefusedLogIn) {
    const char* program = Program("TARVEX_WINDOWS_CLI");
    if (program == nullptr) GTEST_SKIP() << "TARVEX_WINDOWS_CLI names no Windows program";
    const WineStandin standin;
    ::setenv("TARVEX_PASSWORD", "1", 1);
    const ProgramFolder folder{fs::path(program)};
    const fs::path bak = folder.dir / "units.bak";
    tarvex::ODBCDB own;
    ASSERT_TRUE(own.NewOpenDatabase("DRIVER=SQL Server;SERVER=.;UID=sa;PWD=1;DATABASE=master"));
    const std::string to = " to disk = N'" + bak.string() + "'";
    for (const std::string& sql : {"backup database [2016年乡镇数据采集]" + to + " with init",
                                   std::string("create table [2016年乡镇数据采集].dbo.后来 (n int)"),
                                   std::string("insert into [2016年乡镇数据采集].dbo.后来 values (1)"),
                                   "backup database [2016年乡镇数据采集]" + to + " with differential",
                                   std::string("drop database [2016年乡镇数据采集]")})
        ASSERT_TRUE(own.ExecuteSql(sql)) << sql;
    std::string windows = "Z:" + bak.string();
    std::replace(windows.begin(), windows.end(), '/', '\\');
    const auto run = [&](const std::string& args) { return RunCli(folder, args); };
    EXPECT_EQ(run("restore --file " + Quoted(windows) + " --database Audit2016 --position 2"), 2);
    ASSERT_EQ(run("restore --file " + Quoted(windows) + " --database Audit2016"), 0);
    const std::vector<std::string> err = Lines936(folder.dir / "cli.err");
    EXPECT_EQ(std::count_if(err.begin(), err.end(), [](const std::string& l) { return l.ends_with("（随后还原这个差异备份）"); }), 1);
    EXPECT_EQ(own.ReadAllText("SELECT count(*) FROM [Audit2016].dbo.后来"), (std::vector<std::vector<std::string>>{{"1"}}));

    ::setenv("TARVEX_PASSWORD", "wrong", 1);
    EXPECT_EQ(run("convert --all --json"), 2);
    const std::vector<std::string> json = Lines936(folder.dir / "cli.out");
    ASSERT_EQ(json.size(), 1u);
    EXPECT_TRUE(json[0].starts_with("{") && json[0].ends_with("}")) << json[0];
    EXPECT_NE(json[0].find("\"exitCode\":2"), std::string::npos) << json[0];
}

// In a console (wine's, on a terminal: `script` gives it one) the program's Chinese shows, on
// stdout and on stderr, as wine shows the console's text (in the terminal's GBK); into a pipe it
// goes in code page 936 as into a file.
TEST(WindowsCommandLineUnderWine, ChineseShowsInAConsoleAndGoesIntoAPipeInCodePage936) {
    const char* program = Program("TARVEX_WINDOWS_CLI");
    if (program == nullptr) GTEST_SKIP() << "TARVEX_WINDOWS_CLI names no Windows program";
    const ProgramFolder folder{fs::path(program)};
    const auto inConsole = [&](const std::string& args) {
        const fs::path typescript = folder.dir / "console.txt";
        const std::string command = "script -q -e -c \"" + Quoted(WINE_RUN) + " " + Quoted(folder.exe) + " " + args +
                                    "\" " + Quoted(typescript) + " > /dev/null";
        std::system(command.c_str());
        std::ifstream in(typescript, std::ios::binary);
        return tarvex::CodePage::Named(kWineNames).ToUtf8(std::string(std::istreambuf_iterator<char>(in), {}));
    };
    const std::string usage = inConsole("--help");
    EXPECT_NE(usage.find("用法："), std::string::npos) << usage;
    const std::string refused = inConsole("convert --year 20x6");
    EXPECT_NE(refused.find("年度“20x6”不是四位数字的年份，例如 2016。"), std::string::npos) << refused;

    const std::string piped = Quoted(WINE_RUN) + " " + Quoted(folder.exe) + " --help | cat > " + Quoted(folder.dir / "pipe.out");
    ASSERT_EQ(std::system(piped.c_str()), 0);
    EXPECT_EQ(Lines936(folder.dir / "pipe.out").front().rfind("用法：", 0), 0u);
}

// Closes at random moments of a run's first seconds, alternately with Alt+F4 and the close
// button: every one ends the program with exit code 0, no crash dialog and nothing left running.
TEST(WindowsProgramUnderWine, ClosingTheWindowAtAnyMomentOfARunEndsTheProgramCleanly) {
    const char* program = WindowsProgram();
    if (program == nullptr) GTEST_SKIP() << "TARVEX_WINDOWS_EXE names no Windows program";
    constexpr int kCloses = 12;
    testsupport::UsePrivateOdbcConfig();
    std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<int> moment(0, 8000);
    int clean = 0;
    for (int close = 0; close < kCloses; ++close) {
        // A server of its own: a close leaves the temporary database behind.
        testsupport::StandinProcess::Options options;
        options.extraArgs = {"--map-drive", "Z:=/"};
        testsupport::StandinProcess standin(options);
        standin.ExportTdsPort();
        const ProgramFolder folder{fs::path(program)};
        const int afterMs = moment(random);
        const char* by = close % 2 == 0 ? "alt-f4" : "close-button";
        const std::string command = Quoted(CLOSE_DURING_RUN) + " " + Quoted(folder.exe) + " " +
                                    Quoted(standin.StatementLog()) + " " + std::to_string(afterMs) + " " + by;
        const bool ended = std::system(command.c_str()) == 0;
        EXPECT_TRUE(ended) << "close " << close + 1 << ": " << by << " " << afterMs << " ms into the run";
        clean += ended;
    }
    std::cout << clean << " of " << kCloses << " closes ended the program cleanly\n";
}

// The first step: the dialog restores the dropped sample, picked in the system's file dialog, under
// another name, which the window then logs in to and converts an account set of.
TEST(WindowsProgramUnderWine, TheRestoredSampleIsLoggedInToAndAnAccountSetConvertedFromIt) {
    const char* program = WindowsProgram();
    if (program == nullptr) GTEST_SKIP() << "TARVEX_WINDOWS_EXE names no Windows program";
    const WineStandin standin;
    const ProgramFolder folder{fs::path(program)};
    const std::string backup = BackUpAndDropTheSample(folder);
    ASSERT_NO_FATAL_FAILURE(Drive(DRIVE_RESTORE, folder, standin, " " + Quoted(backup) + " Audit2016"));
    ExpectTheSamplesRowsConverted(folder);
}

TEST(WindowsProgramUnderWine, TheBatchDialogConvertsEveryCheckedSetIntoItsOwnCheckedBackup) {
    const char* program = WindowsProgram();
    if (program == nullptr) GTEST_SKIP() << "TARVEX_WINDOWS_EXE names no Windows program";
    const WineStandin standin;
    const ProgramFolder folder{fs::path(program)};
    ASSERT_NO_FATAL_FAILURE(Drive(DRIVE_BATCH, folder, standin));

    // The sample's twelve convertible sets, each backed up, checked and recorded.
    const std::vector<fs::path> summaries = folder.Files(".csv");
    ASSERT_EQ(summaries.size(), 1u);
    std::ifstream csv(summaries.front());
    std::vector<std::vector<std::string>> rows;
    for (std::string line; std::getline(csv, line);) rows.push_back(testsupport::Fields(line, ','));
    ASSERT_EQ(rows.size(), 13u);
    for (std::size_t i = 1; i < rows.size(); ++i) ExpectConvertedAndChecked(rows[i], folder.dir, standin);
    EXPECT_EQ(folder.Files(".bak").size(), 12u);
    EXPECT_EQ(folder.Files(".txt").size(), 12u);
}

// Windows log-in under wine, in a Kerberos realm of the test's own. wine's odbc32 hands the
// log-in's Trusted_Connection=Yes to the host's unixODBC and FreeTDS, which run in wine's own
// process and so find the realm and the ticket as the Linux program does: through KRB5_CONFIG and
// KRB5CCNAME in the environment the program starts with. The account is named as the server names
// it ("SUSER_SNAME (Transact-SQL)"); a server that cannot trust the ticket refuses it with 18452
// ("MSSQLSERVER_18452").
namespace {
const std::string kWindowsAccount = std::string(testsupport::KerberosRealm::kAccount) + "（Windows身份验证）";
}  // namespace

TEST(WindowsProgramUnderWine, WithWindowsLoginTickedTheConversionRunsAsTheWindowsUser) {
    const char* program = WindowsProgram();
    if (program == nullptr) GTEST_SKIP() << "TARVEX_WINDOWS_EXE names no Windows program";
    const testsupport::KerberosRealm realm;
    const WineStandin standin(realm.StandinArguments());
    realm.AddService(standin.Port());
    const ProgramFolder folder{fs::path(program)};
    ASSERT_NO_FATAL_FAILURE(Drive(DRIVE_CONVERSION, folder, standin, " --windows-login"));
    const std::vector<fs::path> records = folder.Files(".bak.txt");
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(After(RecordLines(records.front()), "用户名："), kWindowsAccount);
}

TEST(WindowsCommandLineUnderWine, LogsInAsTheWindowsUserWithoutAPasswordAndSaysWhyAServerRefuses) {
    const char* program = Program("TARVEX_WINDOWS_CLI");
    if (program == nullptr) GTEST_SKIP() << "TARVEX_WINDOWS_CLI names no Windows program";
    const testsupport::KerberosRealm realm;
    ::unsetenv("TARVEX_PASSWORD");
    const ProgramFolder folder{fs::path(program)};
    struct Case {
        bool admitted;     // the stand-in has the realm's keytab, or takes SQL log-ins only
        int exitCode;
        std::string said;  // on stderr
    };
    for (const Case& c : {Case{true, 0, "登录账户：" + kWindowsAccount},
                          Case{false, 2, "Login failed. The login is from an untrusted domain"}}) {
        SCOPED_TRACE(c.admitted ? "admitted" : "SQL log-ins only");
        const WineStandin standin(c.admitted ? realm.StandinArguments() : std::vector<std::string>{});
        realm.AddService(standin.Port());
        EXPECT_EQ(RunCli(folder, "convert --windows-login --set 2016/001/001 < /dev/null"), c.exitCode);
        std::string err;
        for (const std::string& line : Lines936(folder.dir / "cli.err")) err += line + "\n";
        EXPECT_NE(err.find(c.said), std::string::npos) << err;
    }
    const std::vector<fs::path> records = folder.Files(".bak.txt");
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(After(RecordLines(records.front()), "用户名："), kWindowsAccount);
}
