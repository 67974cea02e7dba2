// The tool against a server a network hop away, each figure a ratio measured side by side in one
// run on the stand-in's township sample, at loopback and at 20 ms round trip (the stand-in holds
// every reply that long, --reply-delay-ms):
// - the command line converting ten account sets of 2016 (the built tarvex-convert-cli);
// - the window's whole conversion of one (log-in, lookup, choice, run, export with its check
//   and drop), with its one-second pauses, driven headless as the flow tests drive it;
// - the window's lookup of 2016's 31 account sets (the median of 21);
// each against the least a client must do for it: the same statements, each sent directly and
// its results read, one exchange apiece, by this bench through the same driver (after the same
// log-in where there is one). The ratio is of the wall time beyond the server's own on the
// statements (the stand-in's timing log) and, for the window, beyond its pauses. Goals at 20 ms:
// at most 1.05 for the command line and 1.10 for the window. The exchanges (the stand-in's
// request log) are printed beside.
//
// With --fewest, the command line's ten sets against the limit instead: a client of this bench's
// own (plain ODBC calls, not the tool's layer) sending the same statements in the fewest
// exchanges their dependencies allow: the hold's steps together; each set's drop with the next
// set's create, identity, copies and read; its backup with its checks; the last drop with the
// release. Interleaved runs, the ratio of the wall times as min/median/max. Goals: at most 1.10
// at 20 and 50 ms, 1.05 at loopback.
//
// usage: roundtrip_bench [--fewest [--runs N]] [DELAY_MS...]    (0 and 20 unless given; 0, 20 and
//        50 with --fewest)

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <sql.h>
#include <sqlext.h>

#include "account_sets.h"
#include "actions.h"
#include "codepage.h"
#include "main_window.h"
#include "odbcdb.h"
#include "standin_process.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Request = testsupport::StandinProcess::Request;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// What one piece of work cost: its wall time, the server's own time on its statements, the
// pauses it waits by design, and its exchanges with the server.
struct Cost {
    double wall = 0, server = 0, pauses = 0;
    int exchanges = 0;
    double Beyond() const { return wall - server - pauses; }
};

// A stand-in with the township sample whose replies take `delayMs` each, and what it has logged.
class Server {
public:
    explicit Server(int delayMs) {
        testsupport::StandinProcess::Options options;
        options.sampleName = "township";
        options.extraArgs = {"--reply-delay-ms", std::to_string(delayMs), "--log-timing", timingLog_.string()};
        process_ = std::make_unique<testsupport::StandinProcess>(options);
        process_->ExportTdsPort();
    }
    ~Server() {
        process_.reset();
        std::error_code ignored;
        fs::remove(timingLog_, ignored);
    }

    // A point in the logs; what happens from then on is measured against it.
    struct Mark {
        std::size_t requests = 0;
        std::size_t timed = 0;
    };
    Mark Now() const { return {process_->Requests().size(), TimedStatements().size()}; }
    std::vector<Request> RequestsSince(const Mark& m) const {
        const std::vector<Request> all = process_->Requests();
        return {all.begin() + static_cast<std::ptrdiff_t>(m.requests), all.end()};
    }
    double ServerSecondsSince(const Mark& m) const {
        const std::vector<long long> timed = TimedStatements();
        double seconds = 0;
        for (std::size_t i = m.timed; i < timed.size(); ++i) seconds += static_cast<double>(timed[i]) / 1e6;
        return seconds;
    }
    // Fills in the server's time and the exchanges since `m`.
    void Measure(Cost& cost, const Mark& m) const {
        cost.server = ServerSecondsSince(m);
        cost.exchanges = static_cast<int>(RequestsSince(m).size());
    }

private:
    // The microseconds the server spent on each statement, in order.
    std::vector<long long> TimedStatements() const {
        std::vector<long long> timed;
        std::ifstream log(timingLog_);
        long long us = 0;
        for (std::string rest; log >> us && std::getline(log, rest);) timed.push_back(us);
        return timed;
    }

    const fs::path timingLog_ = fs::temp_directory_path() / ("tarvex-roundtrip-timing-" + std::to_string(::getpid()));
    std::unique_ptr<testsupport::StandinProcess> process_;
};

const std::string kSource = "2016年乡镇数据采集";

bool LogIn(tarvex::ODBCDB& db) {
    const bool ok =
        db.NewOpenDatabase(tarvex::CodePage::Process().FromUtf8("DRIVER=SQL Server;SERVER=.;UID=sa;PWD=1;DATABASE=" + kSource));
    if (!ok) std::fprintf(stderr, "log-in failed: %s\n", db.LastError().Describe().c_str());
    return ok;
}

// The statements of these requests, as the tool sent them.
std::vector<std::string> StatementsOf(const std::vector<Request>& requests) {
    std::vector<std::string> statements;
    for (const Request& r : requests) {
        if (r.text.empty()) continue;
        std::string text;
        for (std::size_t i = 0; i < r.text.size(); ++i) {
            const bool escaped = r.text[i] == '\\' && i + 1 < r.text.size() && (r.text[i + 1] == 'r' || r.text[i + 1] == 'n');
            text += escaped ? (r.text[++i] == 'r' ? '\r' : '\n') : r.text[i];
        }
        statements.push_back(std::move(text));
    }
    return statements;
}

// The least a client must do for `statements`: each sent directly and its results read, one
// exchange apiece; after a log-in of its own when `withLogIn`, else on a connection opened first.
// `each`, when given, gets the wall time of each statement.
Cost Least(const Server& server, const std::vector<std::string>& statements, bool withLogIn,
           std::vector<double>* each = nullptr) {
    tarvex::ODBCDB db;
    if (!withLogIn && !LogIn(db)) return {};
    const Server::Mark mark = server.Now();
    const auto began = Clock::now();
    if (withLogIn && !LogIn(db)) return {};
    for (const std::string& statement : statements) {
        const auto sent = Clock::now();
        if (!db.ExecuteSql(statement, tarvex::Timeout::None(), tarvex::Execution::Direct))
            std::fprintf(stderr, "least: %s\n", db.LastError().Describe().c_str());
        if (each) each->push_back(Seconds(Clock::now() - sent));
    }
    Cost cost;
    cost.wall = Seconds(Clock::now() - began);
    server.Measure(cost, mark);
    return cost;
}

// ---- The command line ------------------------------------------------------------------------

// "YEAR/UNIT/NUMBER" of the first `count` convertible account sets of 2016.
std::vector<std::string> SetsOf2016(int count) {
    tarvex::ODBCDB db;
    std::vector<std::string> sets;
    if (!LogIn(db)) return sets;
    const auto trimmed = [](std::string s) { return s.erase(s.find_last_not_of(' ') + 1); };
    const auto entries = tarvex::ReadAccountSets(db, *tarvex::BuildListStatement(tarvex::CodePage::Process().FromUtf8(kSource)));
    for (const tarvex::AccountSetEntry& e : entries.value_or(std::vector<tarvex::AccountSetEntry>{}))
        if (e.convertible && trimmed(e.year) == "2016" && static_cast<int>(sets.size()) < count)
            sets.push_back("2016/" + trimmed(e.unitCode) + "/" + trimmed(e.accountSetNo));
    return sets;
}

// Runs the command line with these arguments, its output discarded, and waits for it.
int RunCommandLine(const std::vector<std::string>& args) {
    std::vector<std::string> words{CLI_EXE};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, CLI_EXE, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    if (spawned != 0 || ::waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct Compared {
    Cost tool, least;
};

Compared CommandLineBatch(const Server& server, const fs::path& folder) {
    std::vector<std::string> args{"convert", "--folder", folder.string()};
    for (const std::string& set : SetsOf2016(10)) args.insert(args.end(), {"--set", set});
    Compared c;
    const Server::Mark mark = server.Now();
    const auto began = Clock::now();
    if (const int code = RunCommandLine(args); code != 0) std::fprintf(stderr, "the command line ended with %d\n", code);
    c.tool.wall = Seconds(Clock::now() - began);
    server.Measure(c.tool, mark);
    c.least = Least(server, StatementsOf(server.RequestsSince(mark)), true);
    return c;
}

// ---- The window ------------------------------------------------------------------------------

// Answers every notice as it shows (OK, or Yes to a question) and notes when it showed.
class Notices final : public QObject {
public:
    Notices() { qApp->installEventFilter(this); }
    ~Notices() override { qApp->removeEventFilter(this); }
    int Shown() const { return shown_; }
    Clock::time_point LastShown() const { return at_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        auto* box = qobject_cast<QMessageBox*>(watched);
        if (event->type() != QEvent::Show || !box || box->property("answered").toBool()) return false;
        box->setProperty("answered", true);
        at_ = Clock::now();
        ++shown_;
        QTimer::singleShot(0, box, [box] {
            QAbstractButton* ok = box->button(QMessageBox::Ok);
            (ok ? ok : box->button(QMessageBox::Yes))->click();
        });
        return false;
    }

private:
    int shown_ = 0;
    Clock::time_point at_;
};

// Handles the window's events, blocking between them as the window's own loop does, until `done`
// holds; false after two minutes without.
bool WaitFor(const std::function<bool()>& done) {
    const auto guard = Clock::now() + std::chrono::minutes(2);
    QTimer tick;  // to look at the guard now and then
    tick.start(100);
    while (!done() && Clock::now() < guard) QApplication::processEvents(QEventLoop::WaitForMoreEvents);
    if (!done()) std::fprintf(stderr, "the window did not get there\n");
    return done();
}

// The window bound to its actions with the real one-second pauses, driven as a user would; each
// step's time runs from the user's act to what shows its end (a notice, the list, the codes).
class WindowRun {
public:
    static constexpr int kPauses = 35 + 4;  // the extraction's after each step, the export's
    static constexpr int kRows2016 = 31;

    explicit WindowRun(const fs::path& folder) {
        window_ = std::make_unique<tarvex::MainWindow>();
        tarvex::BindActions(*window_, {1000, folder.string()});
        window_->ShowCentred();
        Activate();
        QComboBox* combo = Combo();
        QObject::connect(combo->model(), &QAbstractItemModel::rowsInserted, window_.get(), [this, combo] {
            if (combo->count() != kRows2016) return;
            listedAt_ = Clock::now();
            ++listed_;
        });
        QObject::connect(Edit("编辑框7"), &QLineEdit::textChanged, window_.get(), [this] {
            codesAt_ = Clock::now();
            ++codes_;
        });
    }
    ~WindowRun() {
        window_->close();
        WaitFor([&] { return !window_->isVisible(); });
    }

    // Log-in, lookup, choice, run and export; the time of each step added up.
    double WholeConversion(const char* accountSet) {
        double took = Notice([&] { Button("按钮1")->click(); });
        Edit("编辑框5")->setText("2016");
        took += LookUp();
        took += Choose(accountSet);
        took += Notice([&] { Button("按钮4")->click(); });
        took += Notice([&] { Button("按钮2")->click(); });
        return took;
    }
    // The focus leaves the chooser and comes back: the lookup.
    double LookUp() {
        Activate();
        Edit("编辑框5")->setFocus(Qt::MouseFocusReason);
        QApplication::processEvents();
        const int before = listed_;
        const auto began = Clock::now();
        Combo()->setFocus(Qt::MouseFocusReason);
        WaitFor([&] { return listed_ > before; });
        return Seconds(listedAt_ - began);
    }

private:
    QPushButton* Button(const char* name) { return window_->findChild<QPushButton*>(QString::fromUtf8(name)); }
    QLineEdit* Edit(const char* name) { return window_->findChild<QLineEdit*>(QString::fromUtf8(name)); }
    QComboBox* Combo() { return window_->findChild<QComboBox*>(QString::fromUtf8("组合框1")); }
    // The window system makes the window active again once a notice has closed; offscreen, the
    // focus follows only into an active window.
    void Activate() {
        window_->activateWindow();
        if (!QTest::qWaitForWindowActive(window_.get())) std::fprintf(stderr, "the window did not become active\n");
    }
    // From `act` to the notice that ends it.
    template <class Act>
    double Notice(Act act) {
        const int before = notices_.Shown();
        const auto began = Clock::now();
        act();
        WaitFor([&] { return notices_.Shown() > before; });
        return Seconds(notices_.LastShown() - began);
    }
    // From the choice in the chooser's list to the codes it fills in.
    double Choose(const char* accountSet) {
        Activate();
        QComboBox* combo = Combo();
        combo->showPopup();
        WaitFor([&] { return combo->view()->isVisible(); });
        combo->view()->setCurrentIndex(combo->model()->index(combo->findText(QString::fromUtf8(accountSet)), 0));
        const int before = codes_;
        const auto began = Clock::now();
        QTest::keyClick(combo->view(), Qt::Key_Return);
        WaitFor([&] { return codes_ > before; });
        const double took = Seconds(codesAt_ - began);
        Activate();
        return took;
    }

    Notices notices_;
    std::unique_ptr<tarvex::MainWindow> window_;
    int listed_ = 0, codes_ = 0;
    Clock::time_point listedAt_, codesAt_;
};

double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

// One of several like pieces of work that cost `all` together, each taking one of `walls`: the
// median wall time, and the mean server time, pauses and exchanges.
Cost OneOf(const Cost& all, const std::vector<double>& walls) {
    const auto n = static_cast<double>(walls.size());
    return {Median(walls), all.server / n, all.pauses / n, static_cast<int>(all.exchanges / n)};
}

struct WindowCompared {
    Compared whole, lookup;
};

// The window's whole conversion of one account set, then `lookups` more lookups, each
// against the least; a lookup is the median one, its few milliseconds being easily disturbed.
WindowCompared WindowConversion(const Server& server, const fs::path& folder, int lookups) {
    WindowCompared c;
    WindowRun run(folder);
    Server::Mark mark = server.Now();
    c.whole.tool.wall = run.WholeConversion("城关镇机关账套");
    c.whole.tool.pauses = WindowRun::kPauses;
    server.Measure(c.whole.tool, mark);
    c.whole.least = Least(server, StatementsOf(server.RequestsSince(mark)), true);

    mark = server.Now();
    std::vector<double> walls;
    for (int i = 0; i < lookups; ++i) walls.push_back(run.LookUp());
    Cost all;
    server.Measure(all, mark);
    c.lookup.tool = OneOf(all, walls);
    walls.clear();
    all = Least(server, StatementsOf(server.RequestsSince(mark)), false, &walls);
    c.lookup.least = OneOf(all, walls);
    return c;
}


// ---- The fewest exchanges ----------------------------------------------------------------------

// The tool's statements in the fewest exchanges their dependencies allow: the list alone (the sets
// come from it); what the run does before its first set in one; each set's create with the drop
// before it; its backup with its checks (the drop waits for them); the last drop with what follows.
std::vector<std::string> Fewest(const std::vector<std::string>& statements) {
    std::vector<std::vector<std::string>> groups;
    for (const std::string& s : statements) {
        const bool afterDrop = !groups.empty() && groups.back().back().starts_with("drop database");
        const bool alone = groups.size() <= 1 || s.starts_with("backup database") || s.starts_with("drop database") ||
                           (s.starts_with("create database") && !afterDrop);
        if (alone) groups.emplace_back();
        groups.back().push_back(s);
    }
    std::vector<std::string> exchanges;
    for (const auto& group : groups) {
        std::string joined;
        for (const std::string& s : group) joined += (joined.empty() ? "" : "; ") + s;
        exchanges.push_back(joined);
    }
    return exchanges;
}

// A client of plain ODBC calls: logs in, sends each exchange directly and drains its results.
class PlainClient {
public:
    PlainClient() {
        SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env_);
        SQLSetEnvAttr(env_, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
        SQLAllocHandle(SQL_HANDLE_DBC, env_, &dbc_);
    }
    ~PlainClient() {
        SQLDisconnect(dbc_);
        SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
        SQLFreeHandle(SQL_HANDLE_ENV, env_);
    }
    PlainClient(const PlainClient&) = delete;
    PlainClient& operator=(const PlainClient&) = delete;

    bool LogIn() {
        std::u16string in = Wide("DRIVER=SQL Server;SERVER=127.0.0.1;UID=sa;PWD=1;DATABASE=" + kSource);
        SQLWCHAR out[1024];
        SQLSMALLINT length = 0;
        return SQL_SUCCEEDED(SQLDriverConnectW(dbc_, nullptr, reinterpret_cast<SQLWCHAR*>(in.data()),
                                               static_cast<SQLSMALLINT>(in.size()), out, 1024, &length,
                                               SQL_DRIVER_NOPROMPT));
    }
    void Send(const std::string& utf8) {
        SQLHSTMT stmt = SQL_NULL_HSTMT;
        SQLAllocHandle(SQL_HANDLE_STMT, dbc_, &stmt);
        std::u16string sql = Wide(utf8);
        SQLRETURN rc = SQLExecDirectW(stmt, reinterpret_cast<SQLWCHAR*>(sql.data()), static_cast<SQLINTEGER>(sql.size()));
        do {
            SQLSMALLINT columns = 0;
            if (rc != SQL_NO_DATA && SQL_SUCCEEDED(SQLNumResultCols(stmt, &columns)) && columns > 0)
                while (SQL_SUCCEEDED(SQLFetch(stmt))) {}
        } while ((rc = SQLMoreResults(stmt)) != SQL_NO_DATA && rc != SQL_INVALID_HANDLE);
        SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    }

private:
    static std::u16string Wide(const std::string& utf8) {
        const tarvex::CodePage& cp = tarvex::CodePage::Process();
        return cp.ToUtf16(cp.FromUtf8(utf8));
    }
    SQLHENV env_ = SQL_NULL_HENV;
    SQLHDBC dbc_ = SQL_NULL_HDBC;
};

Cost FewestClient(const Server& server, const std::vector<std::string>& exchanges) {
    const Server::Mark mark = server.Now();
    const auto began = Clock::now();
    PlainClient client;
    if (!client.LogIn()) std::fprintf(stderr, "the plain client's log-in failed\n");
    for (const std::string& exchange : exchanges) client.Send(exchange);
    Cost cost;
    cost.wall = Seconds(Clock::now() - began);
    server.Measure(cost, mark);
    return cost;
}

// The command line's ten sets and the plain client, `runs` times interleaved: the ratios of their
// wall times.
void AgainstTheFewest(int delayMs, int runs, const fs::path& folder) {
    const Server server(delayMs);
    std::vector<double> ratios;
    Compared last;
    for (int run = 0; run < runs; ++run) {
        const fs::path into = folder / std::to_string(run);
        fs::create_directories(into);
        std::vector<std::string> args{"convert", "--folder", into.string()};
        for (const std::string& set : SetsOf2016(10)) args.insert(args.end(), {"--set", set});
        const Server::Mark mark = server.Now();
        const auto began = Clock::now();
        if (const int code = RunCommandLine(args); code != 0) std::fprintf(stderr, "the command line ended with %d\n", code);
        last.tool.wall = Seconds(Clock::now() - began);
        server.Measure(last.tool, mark);
        // The client writes its backups over the tool's (with init), in the same folder.
        last.least = FewestClient(server, Fewest(StatementsOf(server.RequestsSince(mark))));
        ratios.push_back(last.tool.wall / last.least.wall);
    }
    std::sort(ratios.begin(), ratios.end());
    std::printf("  round trip %2d ms: tool %.3f s in %d exchanges, fewest %.3f s in %d (last run); "
                "ratio min %.3f median %.3f max %.3f over %d runs (goal at most %.2f)\n",
                delayMs, last.tool.wall, last.tool.exchanges, last.least.wall, last.least.exchanges, ratios.front(),
                Median(ratios), ratios.back(), runs, delayMs == 0 ? 1.05 : 1.10);
    std::fflush(stdout);
}

// ---- The report -------------------------------------------------------------------------------

void Print(const char* what, const Compared& c, int delayMs, double goal) {
    const double ratio = c.tool.Beyond() / c.least.Beyond();
    std::printf("  %-26s %8.4f s", what, c.tool.wall);
    if (c.tool.pauses > 0) std::printf(" - pauses %.0f s", c.tool.pauses);
    std::printf(" - server %.4f s = %.4f s in %3d exchanges; least %.4f s in %3d: ratio %.4f", c.tool.server,
                c.tool.Beyond(), c.tool.exchanges, c.least.Beyond(), c.least.exchanges, ratio);
    if (delayMs == 20) std::printf(" (goal at most %.2f)", goal);
    std::printf("\n");
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    std::vector<int> delays;
    bool fewest = false;
    int runs = 7;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--fewest") fewest = true;
        else if (a == "--runs" && i + 1 < argc) runs = std::max(1, std::atoi(argv[++i]));
        else delays.push_back(std::atoi(argv[i]));
    }
    if (delays.empty()) delays = fewest ? std::vector<int>{0, 20, 50} : std::vector<int>{0, 20};
    testsupport::UsePrivateOdbcConfig();
    ::setenv("TARVEX_PASSWORD", "1", 1);
    const fs::path folder = fs::temp_directory_path() / ("tarvex-roundtrip-bench-" + std::to_string(::getpid()));
    if (fewest) {
        std::printf("the command line's ten sets of 2016 against a plain client sending the same statements in the "
                    "fewest exchanges:\n");
        for (const int delay : delays) AgainstTheFewest(delay, runs, folder);
        std::error_code ignored;
        fs::remove_all(folder, ignored);
        return 0;
    }

    for (const int delay : delays) {
        fs::create_directories(folder);
        std::printf("round trip %d ms (mssql-standin --reply-delay-ms %d), wall - what is not the tool's = beyond:\n",
                    delay, delay);
        {
            const Server server(delay);
            Print("command line, 10 sets:", CommandLineBatch(server, folder), delay, 1.05);
            const WindowCompared w = WindowConversion(server, folder, 21);
            Print("window, whole conversion:", w.whole, delay, 1.10);
            Print("window, lookup of 31 rows:", w.lookup, delay, 1.10);
        }
        std::error_code ignored;
        fs::remove_all(folder, ignored);
    }
    return 0;
}
