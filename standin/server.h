#pragma once
// The stand-in's TDS server: listens on 127.0.0.1, serves each connection on a thread of its own
// (log-in, SQL batches, the cursor and prepared-statement RPCs that FreeTDS's ODBC driver sends,
// attention), and hands every statement to a session of the engine.

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include "engine.h"

namespace standin {

struct ServerOptions {
    int port = 1433;  // 0: a free port
    std::string user = "sa";
    std::string password = "1";
    // Integrated (Windows) log-ins: accepted with the service keys in this keytab, for clients of
    // `realm`. Without a keytab the server admits SQL log-ins only.
    std::filesystem::path keytab;
    std::string realm;
    // Every statement text received is appended here, one per line; empty: no log.
    std::filesystem::path statementLog;
    // For each statement run, the microseconds the engine took and the statement, tab between,
    // one per line; empty: no log.
    std::filesystem::path timingLog;
    // Every client request received, one per line: the connection's number (from 1, in the order
    // connections were accepted), a tab and the request's kind ("prelogin", "login", "batch",
    // "attention", or the procedure an RPC calls, several joined by "+"), and for a batch or a
    // call that runs a statement, a tab and the statement with CR and LF escaped as the
    // statement log has them. Empty: no log.
    std::filesystem::path requestLog;
    // How long every reply waits before it goes out, as from a server a network hop away.
    std::chrono::milliseconds replyDelay{0};
};

class Server {
public:
    // Listens on 127.0.0.1 at once. Throws std::system_error when the port cannot be had or the
    // statement log cannot be opened.
    Server(Engine& engine, ServerOptions options);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    int Port() const;

    // Serves connections until `stopFd` becomes readable; then stops accepting, closes every
    // connection, interrupts the statements that run, waits for their threads and returns.
    void Run(int stopFd);

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace standin
