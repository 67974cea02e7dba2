#pragma once
// A stand-in server process for integration tests: its own data directory (with the sample
// database unless asked otherwise), a free port on 127.0.0.1, a statement log and a request log
// beside the data directory, and a private ODBC configuration in which "SQL Server" is FreeTDS's
// driver, so that tests depend neither on the machine's odbcinst.ini nor on port 1433.

#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

namespace testsupport {

// Points unixODBC at a private odbcinst.ini (ODBCSYSINI) that registers "SQL Server" as
// FreeTDS's libtdsodbc.so. Call before the first ODBC call of the process; idempotent.
void UsePrivateOdbcConfig();
// The same in a folder of this process's own (removed when the process ends), which also has
// unixODBC trace every call into the file returned (odbc_trace.h reads it). unixODBC reads it
// once, with a process's first ODBC environment: for this process only before any ODBC call
// (ctest runs each test in a process of its own), for the programs it starts from then on.
std::filesystem::path UsePrivateOdbcConfigWithTrace();

class StandinProcess {
public:
    struct Options {
        bool sample = true;          // write the sample database first
        int scale = 1;               // --scale for the sample
        std::string sampleName;      // --sample for the sample ("township"); empty: the default one
        std::string user = "sa";
        std::string password = "1";  // the window's default password
        // Extra arguments for the server, e.g. {"--delay-ms", "500"} where supported.
        std::vector<std::string> extraArgs;
    };

    StandinProcess();  // default options
    explicit StandinProcess(Options options);
    ~StandinProcess();  // SIGTERM and wait; removes the data directory
    StandinProcess(const StandinProcess&) = delete;
    StandinProcess& operator=(const StandinProcess&) = delete;

    int Port() const { return port_; }
    const std::filesystem::path& DataDir() const { return dataDir_; }
    const std::filesystem::path& StatementLog() const { return statementLog_; }

    // Every statement the server has received so far, one per entry, CR and LF escaped as \r, \n.
    std::vector<std::string> Statements() const;

    // A client request as the server logged it (--log-requests).
    struct Request {
        int connection = 0;  // from 1, in the order the server accepted connections
        // "prelogin", "login", "batch", "attention", or the procedures of an RPC ("sp_prepexec",
        // several joined by "+")
        std::string kind;
        std::string text;  // of a batch or of a call that runs a statement, CR and LF escaped; else ""
        bool operator==(const Request&) const = default;
    };
    // Every request the server has received so far, in order. A connection's exchanges with the
    // server are its requests.
    std::vector<Request> Requests() const;

    // Sets TDSPORT to this server's port, so that a SERVER= without a port (the tool's ".",
    // which the connection layer turns into 127.0.0.1,1433) reaches this server.
    void ExportTdsPort() const;

    // Stops the server (SIGTERM, then waits); KillNow uses SIGKILL. Both are idempotent.
    void Stop();
    void KillNow();
    // Stops the running server answering (SIGSTOP) or lets it go on (SIGCONT): its connections
    // stay open, as with a server that hangs.
    void Freeze(bool frozen) const;
    // After Stop or KillNow: starts the server again on the same port, with the same data
    // directory and options; the statement log goes on where it was. Throws when the server
    // runs or cannot start.
    void Start();
    // The same with other extra arguments from now on.
    void Start(std::vector<std::string> extraArgs);
    bool Running() const;
    // After Stop or KillNow: the exit code (128 + signal when a signal ended it; -1 unknown).
    int ExitCode() const { return exitCode_; }

private:
    void Launch();

    Options options_;
    std::filesystem::path dataDir_;
    std::filesystem::path statementLog_;
    std::filesystem::path requestLog_;
    int pid_ = -1;
    int port_ = 0;
    int exitCode_ = -1;
};

inline void PrintTo(const StandinProcess::Request& r, std::ostream* os) {
    *os << r.connection << " " << r.kind << (r.text.empty() ? "" : " ") << r.text;
}

// Path of the stand-in binary in the build tree.
std::filesystem::path StandinExecutable();

}  // namespace testsupport
