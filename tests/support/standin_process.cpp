#include "standin_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <thread>

extern char** environ;

namespace testsupport {
namespace {

constexpr auto kStartTimeout = std::chrono::seconds(60);
constexpr auto kStopTimeout = std::chrono::seconds(30);

// A pipe whose ends close with it.
class Pipe {
public:
    Pipe() {
        if (::pipe2(fds_, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "pipe");
    }
    ~Pipe() {
        CloseWrite();
        ::close(fds_[0]);
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
    int Read() const { return fds_[0]; }
    int Write() const { return fds_[1]; }
    void CloseWrite() {
        if (fds_[1] >= 0) ::close(fds_[1]);
        fds_[1] = -1;
    }

private:
    int fds_[2];
};

class SpawnActions {
public:
    SpawnActions() { posix_spawn_file_actions_init(&actions_); }
    ~SpawnActions() { posix_spawn_file_actions_destroy(&actions_); }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
    posix_spawn_file_actions_t* Get() { return &actions_; }

private:
    posix_spawn_file_actions_t actions_;
};

// Starts the stand-in with `args`; stdout goes to `stdoutFd` when given.
int Spawn(const std::vector<std::string>& args, int stdoutFd) {
    std::vector<char*> argv;
    const std::string exe = StandinExecutable().string();
    argv.push_back(const_cast<char*>(exe.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    SpawnActions actions;
    if (stdoutFd >= 0) posix_spawn_file_actions_adddup2(actions.Get(), stdoutFd, STDOUT_FILENO);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, exe.c_str(), actions.Get(), nullptr, argv.data(), environ);
    if (rc != 0) throw std::system_error(rc, std::generic_category(), "cannot start " + exe);
    return pid;
}

// Waits for `pid` up to `timeout`; its exit code, or nothing when it is still running.
std::optional<int> WaitFor(int pid, std::chrono::steady_clock::duration timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (r < 0 && errno != EINTR) return -1;
        if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::filesystem::path MakeTempDir(const std::string& prefix) {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::system_error(errno, std::generic_category(), "mkdtemp");
    return pattern;
}

// The line the server prints once it accepts connections; throws after the time-out.
std::string ReadListeningLine(int fd) {
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
    while (line.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) == 0)
            throw std::runtime_error("the stand-in did not report that it listens");
        char buffer[256];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw std::runtime_error("the stand-in ended before it listened");
        line.append(buffer, static_cast<std::size_t>(n));
    }
    return line.substr(0, line.find('\n'));
}

}  // namespace

std::filesystem::path StandinExecutable() { return STANDIN_EXE; }

namespace {

// Writes the configuration into `dir` and points unixODBC at it; with a trace file, unixODBC
// traces every call into it.
void UseOdbcConfigIn(const std::filesystem::path& dir, const std::filesystem::path& trace = {}) {
    std::filesystem::create_directories(dir);
    // Written under a private name and renamed, so that test processes running at once never
    // see half a file.
    const std::filesystem::path temp = dir / ("odbcinst.ini." + std::to_string(::getpid()));
    {
        std::ofstream out(temp);
        if (!trace.empty()) out << "[ODBC]\nTrace=Yes\nTraceFile=" << trace.string() << "\n";
        out << "[SQL Server]\nDescription=FreeTDS ODBC driver\nDriver=" << TDSODBC_DRIVER << "\n";
        if (!out) throw std::runtime_error("cannot write " + temp.string());
    }
    std::filesystem::rename(temp, dir / "odbcinst.ini");
    std::ofstream(dir / "odbc.ini", std::ios::app);
    ::setenv("ODBCSYSINI", dir.c_str(), 1);
    ::setenv("ODBCINI", (dir / "odbc.ini").c_str(), 1);
}

}  // namespace

void UsePrivateOdbcConfig() {
    UseOdbcConfigIn(std::filesystem::temp_directory_path() / ("tarvex-odbc-" + std::to_string(::getuid())));
}

std::filesystem::path UsePrivateOdbcConfigWithTrace() {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("tarvex-odbc-trace-" + std::to_string(::getpid()));
    const std::filesystem::path trace = dir / "trace.log";
    std::filesystem::remove(trace);
    UseOdbcConfigIn(dir, trace);
    // The folder goes with the process.
    static const struct Removed {
        std::filesystem::path dir;
        ~Removed() {
            std::error_code ignored;
            std::filesystem::remove_all(dir, ignored);
        }
    } removed{dir};
    return trace;
}

StandinProcess::StandinProcess() : StandinProcess(Options{}) {}

StandinProcess::StandinProcess(Options options) : options_(std::move(options)) {
    const std::filesystem::path root = MakeTempDir("tarvex-standin-");
    dataDir_ = root / "data";
    statementLog_ = root / "statements.log";
    requestLog_ = root / "requests.log";
    try {
        std::filesystem::create_directory(dataDir_);
        if (options_.sample) {
            std::vector<std::string> args = {"--data", dataDir_.string(), "--create-sample", "--scale",
                                             std::to_string(options_.scale)};
            if (!options_.sampleName.empty()) args.insert(args.end(), {"--sample", options_.sampleName});
            const std::optional<int> code = WaitFor(Spawn(args, -1), std::chrono::hours(1));
            if (code != 0) throw std::runtime_error("the stand-in could not write the sample database");
        }
        Launch();
    } catch (...) {
        KillNow();
        std::filesystem::remove_all(root);
        throw;
    }
}

void StandinProcess::Start() {
    if (pid_ > 0) throw std::logic_error("the stand-in runs already");
    Launch();
}

void StandinProcess::Start(std::vector<std::string> extraArgs) {
    options_.extraArgs = std::move(extraArgs);
    Start();
}

// Starts the server on port_ (0 the first time: a free one, which port_ then keeps).
void StandinProcess::Launch() {
    std::vector<std::string> args = {"--data", dataDir_.string(), "--port", std::to_string(port_),
                                     "--log-statements", statementLog_.string(), "--log-requests",
                                     requestLog_.string(), "--user", options_.user, "--password",
                                     options_.password};
    args.insert(args.end(), options_.extraArgs.begin(), options_.extraArgs.end());
    Pipe out;
    pid_ = Spawn(args, out.Write());
    out.CloseWrite();
    try {
        const std::string line = ReadListeningLine(out.Read());
        const std::string prefix = "listening on 127.0.0.1:";
        if (line.rfind(prefix, 0) != 0) throw std::runtime_error("unexpected first line: " + line);
        port_ = std::stoi(line.substr(prefix.size()));
    } catch (...) {
        KillNow();
        throw;
    }
    exitCode_ = -1;
}

StandinProcess::~StandinProcess() {
    Stop();
    std::error_code ignored;
    std::filesystem::remove_all(dataDir_.parent_path(), ignored);
}

std::vector<std::string> StandinProcess::Statements() const {
    std::vector<std::string> lines;
    std::ifstream in(statementLog_);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::vector<StandinProcess::Request> StandinProcess::Requests() const {
    std::vector<Request> requests;
    std::ifstream in(requestLog_);
    for (std::string line; std::getline(in, line);) {
        const std::size_t kindAt = line.find('\t') + 1;
        const std::size_t textAt = line.find('\t', kindAt);
        Request r;
        r.connection = std::atoi(line.c_str());
        r.kind = line.substr(kindAt, textAt == std::string::npos ? std::string::npos : textAt - kindAt);
        if (textAt != std::string::npos) r.text = line.substr(textAt + 1);
        requests.push_back(std::move(r));
    }
    return requests;
}

void StandinProcess::ExportTdsPort() const { ::setenv("TDSPORT", std::to_string(port_).c_str(), 1); }

void StandinProcess::Stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    std::optional<int> code = WaitFor(pid_, kStopTimeout);
    if (!code) {
        ::kill(pid_, SIGKILL);
        code = WaitFor(pid_, kStopTimeout);
    }
    exitCode_ = code.value_or(-1);
    pid_ = -1;
}

void StandinProcess::KillNow() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    exitCode_ = WaitFor(pid_, kStopTimeout).value_or(-1);
    pid_ = -1;
}

void StandinProcess::Freeze(bool frozen) const {
    if (pid_ > 0) ::kill(pid_, frozen ? SIGSTOP : SIGCONT);
}

bool StandinProcess::Running() const {
    if (pid_ <= 0) return false;
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0;
}

}  // namespace testsupport
