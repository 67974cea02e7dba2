#include "server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "integrated_login.h"
#include "server_facts.h"
#include "tds_codec.h"

namespace standin {
namespace {

constexpr std::size_t kMaxMessageSize = 16 << 20;
constexpr std::size_t kMaxConnections = 64;
constexpr auto kLoginTimeout = std::chrono::seconds(30);
// Error 18452's words: an integrated log-in the server cannot accept.
constexpr const char* kUntrustedDomain =
    "Login failed. The login is from an untrusted domain and cannot be used with Integrated authentication.";
constexpr auto kLookForNextRequest = std::chrono::microseconds(300);  // before the executor sleeps
constexpr int kSendTimeoutSeconds = 300;

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    int Get() const { return fd_; }

private:
    int fd_;
};

std::system_error SystemError(const std::string& what) { return {errno, std::generic_category(), what}; }

// A log of statements (the statement log; also the timing and request logs): one line per
// statement, CR and LF escaped, flushed line by line.
class StatementLog {
public:
    explicit StatementLog(const std::filesystem::path& path) {
        if (path.empty()) return;
        file_.reset(std::fopen(path.c_str(), "a"));
        if (!file_) throw SystemError("cannot open the log " + path.string());
    }

    bool Enabled() const { return file_ != nullptr; }

    // `prefix` goes before the statement on its line as it stands.
    void Write(std::string_view statement, std::string_view prefix = {}) {
        if (!file_) return;
        std::string line(prefix);
        line.reserve(prefix.size() + statement.size() + 1);
        for (char c : statement) {
            if (c == '\r') {
                line += "\\r";
            } else if (c == '\n') {
                line += "\\n";
            } else {
                line += c;
            }
        }
        line += '\n';
        std::lock_guard lock(mutex_);
        std::fwrite(line.data(), 1, line.size(), file_.get());
        std::fflush(file_.get());
    }

private:
    struct Closer {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    std::mutex mutex_;
    std::unique_ptr<std::FILE, Closer> file_;
};

// What every connection of a server shares.
struct Shared {
    Engine& engine;
    const ServerOptions& options;
    StatementLog& log;
    StatementLog& timingLog;
    StatementLog& requestLog;
    std::string serverName;
};

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
    });
}

// The system procedures that clients call by number, at their numbers.
constexpr std::string_view kProcNames[] = {
    "",
    "sp_cursor",
    "sp_cursoropen",
    "sp_cursorprepare",
    "sp_cursorexecute",
    "sp_cursorprepexec",
    "sp_cursorunprepare",
    "sp_cursorfetch",
    "sp_cursoroption",
    "sp_cursorclose",
    "sp_executesql",
    "sp_prepare",
    "sp_execute",
    "sp_prepexec",
    "sp_prepexecrpc",
    "sp_unprepare",
};

std::uint16_t ProcId(const tds::RpcCall& call) {
    if (call.procId != 0) return call.procId;
    for (std::uint16_t id = 1; id < std::size(kProcNames); ++id)
        if (EqualsIgnoringCase(kProcNames[id], call.procName)) return id;
    return 0;
}

std::string ProcName(const tds::RpcCall& call) {
    if (!call.procName.empty()) return call.procName;
    return call.procId < std::size(kProcNames) ? std::string(kProcNames[call.procId]) : std::to_string(call.procId);
}

// A static cursor: the rows of its statement as they were when it was opened, and the rowset
// that the last fetch returned.
struct Cursor {
    std::vector<ColumnInfo> columns;
    std::vector<std::vector<Value>> rows;
    std::int64_t start = 0;  // first row of the current rowset, from 1; 0: before the first row
    std::int64_t size = 0;   // rows asked for by the last fetch

    struct Rows {
        std::size_t first = 0;
        std::size_t count = 0;
    };

    // Moves as sp_cursorfetch's fetch types do and gives the rows of the new rowset; nothing for
    // an unknown fetch type.
    std::optional<Rows> Fetch(std::int64_t type, std::int64_t rowNumber, std::int64_t count) {
        const auto n = static_cast<std::int64_t>(rows.size());
        count = std::max<std::int64_t>(count, 1);
        std::int64_t s = 0;
        switch (type) {
        case 0x01: s = 1; break;                                               // FIRST
        case 0x02: s = start == 0 ? 1 : start + size; break;                   // NEXT
        case 0x04:                                                             // PREV
            s = start > n ? n - count + 1 : start - count;
            if (s < 1) s = start > 1 ? 1 : 0;
            break;
        case 0x08: s = std::max<std::int64_t>(n - count + 1, 1); break;        // LAST
        case 0x10: s = rowNumber >= 0 ? rowNumber : n + rowNumber + 1; break;  // ABSOLUTE
        case 0x20: s = std::min(start, n + 1) + rowNumber; break;              // RELATIVE
        default: return std::nullopt;
        }
        size = count;
        if (s < 1 || n == 0) {
            start = 0;
            return Rows{};
        }
        if (s > n) {
            start = n + 1;
            return Rows{};
        }
        start = s;
        return Rows{static_cast<std::size_t>(s - 1), static_cast<std::size_t>(std::min(count, n - s + 1))};
    }
};

class Connection {
public:
    Connection(Shared& shared, Fd socket, std::uint16_t spid, unsigned number)
        : shared_(shared),
          socket_(std::move(socket)),
          spid_(spid),
          number_(number),
          reply_([this](std::string_view bytes) { Send(bytes); }, shared.serverName) {
        reply_.SetSpid(spid);
    }

    // Serves the client until it leaves, breaks the protocol or Abort() is called.
    void Serve() {
        std::thread reader([this] { ReadLoop(); });
        try {
            if (LogIn()) {
                while (std::optional<tds::Request> request = NextRequest(std::nullopt)) Handle(*request);
            }
        } catch (const tds::ProtocolError& e) {
            Complain(e.what());
        } catch (const std::exception& e) {
            Complain(std::string("internal error: ") + e.what());
        }
        ::shutdown(socket_.Get(), SHUT_RDWR);
        reader.join();
        // The session ends with its connection, not when the server reaps the connection's
        // thread: what it holds (application locks, its current database) is free at once.
        std::lock_guard lock(mutex_);
        session_.reset();
    }

    // From another thread: ends the connection and interrupts the statement that runs.
    void Abort() {
        ::shutdown(socket_.Get(), SHUT_RDWR);
        std::lock_guard lock(mutex_);
        closed_ = true;
        if (executing_) session_->Interrupt();
        wake_.notify_all();
    }

private:
    void Complain(const std::string& what) {
        std::fprintf(stderr, "mssql-standin: connection %u closed: %s\n", static_cast<unsigned>(spid_), what.c_str());
    }

    // --- Input ----------------------------------------------------------------------------------

    // Keeps reading while statements run, so that an attention interrupts the one that runs.
    void ReadLoop() {
        tds::MessageReader reader(kMaxMessageSize);
        std::string buffer(64 * 1024, '\0');
        try {
            for (;;) {
                const ssize_t n = ::recv(socket_.Get(), buffer.data(), buffer.size(), 0);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) break;
                reader.Feed(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
                std::lock_guard lock(mutex_);
                while (std::optional<tds::Request> request = reader.Next()) {
                    LogRequest(*request);
                    const bool attention = request->type == tds::PacketType::Attention;
                    if (attention && !session_) continue;  // nothing to stop before the log-in
                    if (attention && requests_.empty()) {
                        // For the request being handled, if any: stop it.
                        attention_ = true;
                        if (executing_) session_->Interrupt();
                    } else {
                        // An attention behind a queued request cancels that one before it starts.
                        requests_.push_back(std::move(*request));
                    }
                }
                woken_.store(true, std::memory_order_release);
                wake_.notify_all();
            }
        } catch (const tds::ProtocolError& e) {
            Complain(e.what());
            ::shutdown(socket_.Get(), SHUT_RDWR);
        }
        std::lock_guard lock(mutex_);
        closed_ = true;
        if (executing_) session_->Interrupt();
        wake_.notify_all();
    }

    // A line of the request log for a request just received. Under the lock, which guards the
    // prepared statements that sp_execute runs.
    void LogRequest(const tds::Request& request) {
        if (!shared_.requestLog.Enabled()) return;
        std::string kind;
        std::optional<std::string> statement;
        try {
            switch (request.type) {
            case tds::PacketType::PreLogin: kind = "prelogin"; break;
            case tds::PacketType::Login7: kind = "login"; break;
            case tds::PacketType::Attention: kind = "attention"; break;
            case tds::PacketType::SqlBatch:
                kind = "batch";
                statement = tds::ParseSqlBatch(request.payload);
                break;
            case tds::PacketType::Rpc:
                for (const tds::RpcCall& call : tds::ParseRpc(request.payload)) {
                    kind += (kind.empty() ? "" : "+") + ProcName(call);
                    if (!statement) statement = StatementOf(call);
                }
                break;
            default: kind = "type " + std::to_string(static_cast<int>(request.type)); break;
            }
        } catch (const tds::ProtocolError&) {
            // Logged as far as it could be read; serving it will end the connection.
        }
        if (kind.empty()) kind = "rpc";
        shared_.requestLog.Write(statement.value_or(""),
                                 std::to_string(number_) + "\t" + kind + (statement ? "\t" : ""));
    }

    // The statement a call runs, for the calls that run one.
    std::optional<std::string> StatementOf(const tds::RpcCall& call) const {
        const auto text = [&](std::size_t index) -> std::optional<std::string> {
            const tds::RpcParam* p = Param(call, index);
            return p ? std::optional(p->text) : std::nullopt;
        };
        switch (ProcId(call)) {
        case tds::kSpExecuteSql: return text(0);
        case tds::kSpPrepExec: return text(2);
        case tds::kSpCursorOpen: return text(1);
        case tds::kSpExecute: {
            const tds::RpcParam* handle = Param(call, 0);
            const auto it = handle ? prepared_.find(static_cast<std::int32_t>(handle->integer)) : prepared_.end();
            return it != prepared_.end() ? std::optional(it->second) : std::nullopt;
        }
        default: return std::nullopt;
        }
    }

    // The next request; answers attentions that come while idle. Empty when the connection
    // ends or the deadline passes.
    std::optional<tds::Request> NextRequest(std::optional<std::chrono::steady_clock::time_point> deadline) {
        std::unique_lock lock(mutex_);
        for (;;) {
            if (attention_) {
                attention_ = false;
                holdReply_ = true;
                lock.unlock();
                AnswerAttention();
                lock.lock();
                continue;
            }
            if (!requests_.empty()) {
                tds::Request r = std::move(requests_.front());
                requests_.pop_front();
                const bool cancelled = !requests_.empty() && requests_.front().type == tds::PacketType::Attention;
                if (cancelled) requests_.pop_front();
                holdReply_ = true;
                if (cancelled || r.type == tds::PacketType::Attention) {
                    lock.unlock();
                    AnswerAttention();
                    lock.lock();
                    continue;
                }
                return r;
            }
            if (closed_) return std::nullopt;
            if (!deadline) {
                // A client that sends statement after statement sends the next one within a
                // fraction of a millisecond of the last reply: looking for it a while before
                // going to sleep spares each of them the wake-up of this thread.
                woken_.store(false, std::memory_order_relaxed);
                lock.unlock();
                const auto until = std::chrono::steady_clock::now() + kLookForNextRequest;
                while (!woken_.load(std::memory_order_acquire) && std::chrono::steady_clock::now() < until)
                    std::this_thread::yield();
                lock.lock();
                if (!requests_.empty() || closed_ || attention_) continue;
                wake_.wait(lock);
            } else if (wake_.wait_until(lock, *deadline) == std::cv_status::timeout && requests_.empty()) {
                Complain("no log-in in time");
                return std::nullopt;
            }
        }
    }

    // --- Output ---------------------------------------------------------------------------------

    void Send(std::string_view bytes) {
        if (holdReply_) {
            holdReply_ = false;
            HoldReply();
        }
        while (!broken_ && !bytes.empty()) {
            const ssize_t n = ::send(socket_.Get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                // The client is gone: drop the rest and stop what runs for it.
                broken_ = true;
                ::shutdown(socket_.Get(), SHUT_RDWR);
                std::lock_guard lock(mutex_);
                closed_ = true;
                if (executing_) session_->Interrupt();
                return;
            }
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
    }

    // The reply to a request waits the server's reply delay before its first packet goes out,
    // unless the connection ends meanwhile.
    void HoldReply() {
        if (shared_.options.replyDelay.count() <= 0) return;
        std::unique_lock lock(mutex_);
        wake_.wait_for(lock, shared_.options.replyDelay, [this] { return closed_; });
    }

    void AnswerAttention() {
        reply_.Done(tds::DoneToken::Done, tds::kDoneAttention, 0, -1);
        reply_.End();
    }

    // --- Log-in ---------------------------------------------------------------------------------

    bool LogIn() {
        const auto deadline = std::chrono::steady_clock::now() + kLoginTimeout;
        std::optional<tds::Request> request = NextRequest(deadline);
        if (request && request->type == tds::PacketType::PreLogin) {
            tds::CheckPreLogin(request->payload);
            reply_.Raw(tds::PreLoginReply());
            reply_.End();
            request = NextRequest(deadline);
        }
        if (!request) return false;
        if (request->type != tds::PacketType::Login7) throw tds::ProtocolError("expected LOGIN7");
        const tds::Login7 login = tds::ParseLogin7(request->payload);

        const ServerOptions& options = shared_.options;
        std::string loginName = login.userName;
        std::string replyToken;
        if (login.integrated) {
            std::optional<std::string> account = WindowsAccount(login.sspi, &replyToken);
            if (!account) return RefuseLogIn(Message{18452, 1, 14, kUntrustedDomain, 1});
            loginName = std::move(*account);
        } else if (!EqualsIgnoringCase(login.userName, options.user) || login.password != options.password) {
            return RefuseLogIn(Message{18456, 1, 14, "Login failed for user '" + login.userName + "'.", 1});
        }
        Message error;
        std::unique_ptr<Session> session = shared_.engine.OpenSession(login.database, &error, loginName);
        if (!session) return RefuseLogIn(error);

        const std::string database = session->CurrentDatabase();
        {
            // Before the answer goes out: the client may send an attention as soon as it has it.
            std::lock_guard lock(mutex_);
            session_ = std::move(session);
        }
        const std::size_t packetSize = std::clamp<std::size_t>(login.packetSize, tds::kMinPacketSize, tds::kMaxPacketSize);
        if (!replyToken.empty()) reply_.Sspi(replyToken);  // the mutual authentication's answer
        reply_.EnvChange(tds::EnvChange::Database, database, "master");
        reply_.Message(Message{5701, 2, 0, "Changed database context to '" + database + "'.", 1});
        reply_.CollationChange();
        reply_.EnvChange(tds::EnvChange::Language, "us_english", "");
        reply_.Message(Message{5703, 1, 0, "Changed language setting to us_english.", 1});
        reply_.LoginAck(std::min(login.tdsVersion, tds::kTdsVersion74));
        reply_.EnvChange(tds::EnvChange::PacketSize, std::to_string(packetSize), std::to_string(packetSize));
        reply_.Done(tds::DoneToken::Done, 0, 0, -1);
        reply_.End();
        reply_.SetPacketSize(packetSize);
        database_ = database;
        return true;
    }

    // The Windows account of an integrated log-in, with the server's token for the client in
    // `replyToken`; nullopt when the server admits SQL log-ins only or does not trust the token.
    // SQL Server tells the client no more than that (18452); the reason goes to its own log.
    std::optional<std::string> WindowsAccount(std::string_view token, std::string* replyToken) {
        const ServerOptions& options = shared_.options;
        if (options.keytab.empty()) {
            Complain("integrated log-in refused: the server admits SQL log-ins only");
            return std::nullopt;
        }
        IntegratedLogin accepted = AcceptIntegratedLogin(token, options.keytab, options.realm);
        if (!accepted.accepted) {
            Complain("integrated log-in refused: " + accepted.reason);
            return std::nullopt;
        }
        *replyToken = std::move(accepted.replyToken);
        return std::move(accepted.account);
    }

    bool RefuseLogIn(const Message& error) {
        reply_.Message(error);
        reply_.Done(tds::DoneToken::Done, tds::kDoneError, 0, -1);
        reply_.End();
        return false;
    }

    // --- Requests -------------------------------------------------------------------------------

    void Handle(const tds::Request& request) {
        switch (request.type) {
        case tds::PacketType::SqlBatch: {
            const std::string sql = tds::ParseSqlBatch(request.payload);
            shared_.log.Write(sql);
            if (Execute(sql, Origin::Batch) != Outcome::Stopped) reply_.End();
            break;
        }
        case tds::PacketType::Rpc: {
            const std::vector<tds::RpcCall> calls = tds::ParseRpc(request.payload);
            for (const tds::RpcCall& call : calls)
                if (!Call(call)) return;
            reply_.End();
            break;
        }
        default:
            throw tds::ProtocolError("request type " + std::to_string(static_cast<int>(request.type)) +
                                     " is not served");
        }
    }

    // Stopped: an attention stopped the statements; the reply has then been ended with the
    // attention's DONE.
    enum class Outcome { Succeeded, Failed, Stopped };

    // Where statements come from: a SQL batch, or a procedure call (sp_executesql, sp_prepexec,
    // ...), whose statements end in DONEINPROC and whose USE lasts until it returns.
    enum class Origin { Batch, Call };

    // Runs statements, streaming what they produce.
    Outcome Execute(const std::string& sql, Origin origin) {
        class Sink : public ResultSink {
        public:
            Sink(Connection& c, tds::DoneToken token) : c_(c), token_(token) {}
            void OnMessage(const Message& m) override { c_.reply_.Message(m); }
            void OnColumns(const std::vector<ColumnInfo>& columns) override {
                c_.reply_.ColMetadata(columns);
                rows_ = true;
            }
            void OnRow(const std::vector<Value>& row) override { c_.reply_.Row(row); }
            void Flush() override { c_.reply_.Flush(); }
            // Each statement's DONE goes out as the next one begins, not with the batch's end.
            void NextStatement() override { c_.reply_.Continue(); }
            void OnStatementDone(bool failed, std::int64_t rowCount) override { Done(token_, failed, rowCount); }
            void OnStatementDoneInProcedure(bool failed, std::int64_t rowCount) override {
                Done(tds::DoneToken::DoneInProc, failed, rowCount);
                inProcedureLast_ = true;
            }
            // EXEC of a procedure: its return status and its DONEPROC, in a batch as inside
            // another procedure.
            void OnProcedureDone(bool failed, int returnStatus) override {
                c_.reply_.ReturnStatus(returnStatus);
                c_.reply_.Done(tds::DoneToken::DoneProc, failed ? tds::kDoneError : 0, tds::kCmdExecute, -1);
                failed_ |= failed;
                inProcedureLast_ = false;
                done_ = true;
                rows_ = false;
            }
            void OnDatabaseChange(const std::string& database) override { c_.ReportDatabaseChange(database); }
            bool failed_ = false;
            bool done_ = false;
            // The last end was a DONEINPROC (EXEC ('…') last in the batch): a DONE closes the reply.
            bool inProcedureLast_ = false;

        private:
            void Done(tds::DoneToken token, bool failed, std::int64_t rowCount) {
                inProcedureLast_ = false;
                c_.reply_.Done(token, failed ? tds::kDoneError : 0, rows_ ? tds::kCmdSelect : 0, rowCount);
                failed_ |= failed;
                done_ = true;
                rows_ = false;
            }
            Connection& c_;
            tds::DoneToken token_;
            bool rows_ = false;
        } sink(*this, origin == Origin::Batch ? tds::DoneToken::Done : tds::DoneToken::DoneInProc);

        if (!Run(sql, sink, origin)) return Outcome::Stopped;
        if ((!sink.done_ || sink.inProcedureLast_) && origin == Origin::Batch) reply_.Done(tds::DoneToken::Done, 0, 0, -1);
        return sink.failed_ ? Outcome::Failed : Outcome::Succeeded;
    }

    // Session::Execute (or ExecuteInCall) with attention handling: an attention that has come
    // already, or comes while the statements run, stops them and is answered here.
    bool Run(const std::string& sql, ResultSink& sink, Origin origin) {
        bool start = false;
        {
            std::lock_guard lock(mutex_);
            start = executing_ = !attention_ && !closed_;
        }
        const auto began = std::chrono::steady_clock::now();
        const bool completed =
            start && (origin == Origin::Batch ? session_->Execute(sql, sink) : session_->ExecuteInCall(sql, sink));
        if (start) {
            const auto took = std::chrono::steady_clock::now() - began;
            shared_.timingLog.Write(
                sql, std::to_string(std::chrono::duration_cast<std::chrono::microseconds>(took).count()) + "\t");
        }
        bool attention = false;
        {
            std::lock_guard lock(mutex_);
            executing_ = false;
            attention = attention_;
            if (!completed) attention_ = false;
        }
        if (!completed) {
            AnswerAttention();
            return false;
        }
        if (attention) {
            // The attention came after the last statement had ended; the session keeps its
            // interrupt for the next statement to start. An empty batch takes it, so that it
            // stops nothing; the attention is answered once this reply is complete.
            class : public ResultSink {
                void OnMessage(const Message&) override {}
                void OnColumns(const std::vector<ColumnInfo>&) override {}
                void OnRow(const std::vector<Value>&) override {}
                void OnStatementDone(bool, std::int64_t) override {}
            } ignore;
            session_->Execute("", ignore);
        }
        return true;
    }

    // The client learns of a new current database by an ENVCHANGE; FreeTDS takes the new name
    // as SQL_CURRENT_QUALIFIER, other clients check the old one against theirs.
    void ReportDatabaseChange(const std::string& database) {
        if (database == database_) return;
        reply_.EnvChange(tds::EnvChange::Database, database, database_);
        database_ = database;
    }

    // --- RPC ------------------------------------------------------------------------------------

    // One procedure call; false when an attention stopped it.
    bool Call(const tds::RpcCall& call) {
        switch (ProcId(call)) {
        case tds::kSpCursorOpen: return CursorOpen(call);
        case tds::kSpCursorFetch: CursorFetch(call); return true;
        case tds::kSpCursorOption: ProcDone(call, false); return true;
        case tds::kSpCursorClose: CursorClose(call); return true;
        case tds::kSpExecuteSql: return RunStatement(call, 0, 2, std::nullopt);
        case tds::kSpPrepExec: return RunStatement(call, 2, 3, 0);
        case tds::kSpPrepare: Prepare(call); return true;
        case tds::kSpExecute: return ExecutePrepared(call);
        case tds::kSpUnprepare: Unprepare(call); return true;
        default:
            return Fail(Message{2812, 62, 16, "Could not find stored procedure '" + ProcName(call) + "'.", 1});
        }
    }

    // Answers the call with `error`. True, as the procedures return: no attention stopped it.
    bool Fail(const Message& error) {
        reply_.Message(error);
        reply_.Done(tds::DoneToken::DoneProc, tds::kDoneError, tds::kCmdExecute, -1);
        return true;
    }

    // RETURNSTATUS 0, the output parameters given, DONEPROC.
    void ProcDone(const tds::RpcCall& call, bool failed,
                  std::initializer_list<std::pair<std::size_t, std::int32_t>> outputs = {}) {
        reply_.ReturnStatus(0);
        for (const auto& [index, value] : outputs) {
            if (index < call.params.size() && call.params[index].output)
                reply_.ReturnInt(static_cast<std::uint16_t>(index), call.params[index].name, value);
        }
        reply_.Done(tds::DoneToken::DoneProc, failed ? tds::kDoneError : 0, tds::kCmdExecute, -1);
    }

    static const tds::RpcParam* Param(const tds::RpcCall& call, std::size_t index) {
        return index < call.params.size() && !call.params[index].isNull ? &call.params[index] : nullptr;
    }

    Message MissingParam(const tds::RpcCall& call, std::string_view name) const {
        return Message{201, 4, 16,
                       "Procedure or function '" + ProcName(call) + "' expects parameter '" + std::string(name) +
                           "', which was not supplied.",
                       1};
    }

    Message TooManyArguments(const tds::RpcCall& call) const {
        return Message{8144, 2, 16, "Procedure or function " + ProcName(call) + " has too many arguments specified.", 1};
    }

    // sp_executesql (statement at 0, no handle) and sp_prepexec (statement at 2, handle at 0):
    // runs the statement like a batch; statements with parameters are not served.
    bool RunStatement(const tds::RpcCall& call, std::size_t stmtIndex, std::size_t maxParams,
                      std::optional<std::size_t> handleIndex) {
        const tds::RpcParam* stmt = Param(call, stmtIndex);
        if (!stmt) return Fail(MissingParam(call, "@stmt"));
        shared_.log.Write(stmt->text);
        if (call.params.size() > maxParams) return Fail(TooManyArguments(call));
        std::int32_t handle = 0;
        if (handleIndex) handle = KeepPrepared(stmt->text);
        const Outcome outcome = Execute(stmt->text, Origin::Call);
        if (outcome == Outcome::Stopped) return false;
        if (handleIndex) {
            ProcDone(call, outcome == Outcome::Failed, {{*handleIndex, handle}});
        } else {
            ProcDone(call, outcome == Outcome::Failed);
        }
        return true;
    }

    void Prepare(const tds::RpcCall& call) {
        const tds::RpcParam* stmt = Param(call, 2);
        if (!stmt) {
            Fail(MissingParam(call, "@stmt"));
            return;
        }
        shared_.log.Write(stmt->text);
        ProcDone(call, false, {{0, KeepPrepared(stmt->text)}});
    }

    // A prepared statement's handle. The reader looks statements up by handle for the request
    // log, so the map changes under the lock.
    std::int32_t KeepPrepared(const std::string& statement) {
        std::lock_guard lock(mutex_);
        const std::int32_t handle = nextHandle_++;
        prepared_[handle] = statement;
        return handle;
    }

    bool ExecutePrepared(const tds::RpcCall& call) {
        const tds::RpcParam* handle = Param(call, 0);
        if (!handle) return Fail(MissingParam(call, "@handle"));
        if (call.params.size() > 1) return Fail(TooManyArguments(call));
        const auto it = prepared_.find(static_cast<std::int32_t>(handle->integer));
        if (it == prepared_.end()) return Fail(UnknownPrepared(handle->integer));
        const std::string sql = it->second;
        const Outcome outcome = Execute(sql, Origin::Call);
        if (outcome == Outcome::Stopped) return false;
        ProcDone(call, outcome == Outcome::Failed);
        return true;
    }

    void Unprepare(const tds::RpcCall& call) {
        const tds::RpcParam* handle = Param(call, 0);
        std::unique_lock lock(mutex_);
        const bool known = handle && prepared_.erase(static_cast<std::int32_t>(handle->integer)) > 0;
        lock.unlock();
        if (!handle) {
            Fail(MissingParam(call, "@handle"));
        } else if (!known) {
            Fail(UnknownPrepared(handle->integer));
        } else {
            ProcDone(call, false);
        }
    }

    static Message UnknownPrepared(std::int64_t handle) {
        return Message{8179, 4, 16, "Could not find prepared statement with handle " + std::to_string(handle) + ".", 1};
    }

    // --- Cursors --------------------------------------------------------------------------------

    // A statement with a result set becomes a static cursor: its rows are read now and fetched
    // from memory. Any other statement is executed directly, as SQL Server does, with its
    // messages, "Executing SQL directly; no cursor." and handle 0.
    bool CursorOpen(const tds::RpcCall& call) {
        const tds::RpcParam* stmt = Param(call, 1);
        if (!stmt) return Fail(MissingParam(call, "@stmt"));
        shared_.log.Write(stmt->text);
        if (call.params.size() > 5) return Fail(TooManyArguments(call));

        // What the statement reports, in order, apart from the rows of its first result set: a
        // message, a change of database, or the end of a statement (or of a procedure).
        struct Event {
            std::optional<Message> message;
            std::optional<std::string> database;
            bool failed = false;
            std::int64_t rowCount = -1;
            std::optional<int> returnStatus;  // of a procedure
        };
        class Sink : public ResultSink {
        public:
            void OnMessage(const Message& m) override {
                events_.push_back(Event{m, std::nullopt, false, -1, std::nullopt});
            }
            void OnDatabaseChange(const std::string& database) override {
                events_.push_back(Event{std::nullopt, database, false, -1, std::nullopt});
            }
            void OnColumns(const std::vector<ColumnInfo>& columns) override {
                inFirstResult_ = !columns_;
                if (!columns_) columns_ = columns;
            }
            void OnRow(const std::vector<Value>& row) override {
                if (inFirstResult_) rows_.push_back(row);
            }
            void OnStatementDone(bool failed, std::int64_t rowCount) override {
                failed_ |= failed;
                inFirstResult_ = false;
                events_.push_back(Event{std::nullopt, std::nullopt, failed, rowCount, std::nullopt});
            }
            void OnProcedureDone(bool failed, int returnStatus) override {
                failed_ |= failed;
                events_.push_back(Event{std::nullopt, std::nullopt, failed, -1, returnStatus});
            }
            std::vector<Event> events_;
            std::optional<std::vector<ColumnInfo>> columns_;
            std::vector<std::vector<Value>> rows_;
            bool inFirstResult_ = false;
            bool failed_ = false;
        } sink;

        if (!Run(stmt->text, sink, Origin::Call)) return false;
        const std::int32_t scrollOpt = Param(call, 2) ? static_cast<std::int32_t>(Param(call, 2)->integer) : 0;
        const std::int32_t ccOpt = Param(call, 3) ? static_cast<std::int32_t>(Param(call, 3)->integer) : 0;
        const bool cursor = sink.columns_ && !sink.failed_;
        if (!cursor) reply_.Message(Message{16954, 1, 10, "Executing SQL directly; no cursor.", 1});
        for (const Event& e : sink.events_) {
            if (e.message) {
                reply_.Message(*e.message);
            } else if (e.database) {
                ReportDatabaseChange(*e.database);
            } else if (e.returnStatus) {
                reply_.ReturnStatus(*e.returnStatus);
                reply_.Done(tds::DoneToken::DoneProc, e.failed ? tds::kDoneError : 0, tds::kCmdExecute, -1);
            } else if (!cursor) {
                reply_.Done(tds::DoneToken::DoneInProc, e.failed ? tds::kDoneError : 0, 0, e.rowCount);
            }
        }
        if (!cursor) {
            ProcDone(call, sink.failed_, {{0, 0}, {2, scrollOpt}, {3, ccOpt}, {4, 0}});
            return true;
        }
        const auto rowCount = static_cast<std::int32_t>(sink.rows_.size());
        reply_.ColMetadata(*sink.columns_);
        reply_.Done(tds::DoneToken::DoneInProc, 0, tds::kCmdSelect, rowCount);
        const std::int32_t handle = nextHandle_++;
        cursors_[handle] = Cursor{std::move(*sink.columns_), std::move(sink.rows_)};
        ProcDone(call, false, {{0, handle}, {2, scrollOpt}, {3, ccOpt}, {4, rowCount}});
        return true;
    }

    Cursor* FindCursor(const tds::RpcCall& call) {
        const tds::RpcParam* handle = Param(call, 0);
        if (!handle) {
            Fail(MissingParam(call, "@cursor"));
            return nullptr;
        }
        const auto it = cursors_.find(static_cast<std::int32_t>(handle->integer));
        if (it == cursors_.end()) {
            Fail(Message{16950, 2, 16, "The variable '@cursor' does not currently have a cursor allocated to it.", 1});
            return nullptr;
        }
        return &it->second;
    }

    void CursorFetch(const tds::RpcCall& call) {
        Cursor* cursor = FindCursor(call);
        if (!cursor) return;
        const std::int64_t type = Param(call, 1) ? Param(call, 1)->integer : 2;
        const std::int64_t rowNumber = Param(call, 2) ? Param(call, 2)->integer : 0;
        const std::int64_t count = Param(call, 3) ? Param(call, 3)->integer : 20;
        if (type == 0x100) {  // FETCH_INFO: the position and the number of rows
            ProcDone(call, false, {{2, static_cast<std::int32_t>(cursor->start)},
                                   {3, static_cast<std::int32_t>(cursor->rows.size())}});
            return;
        }
        const std::optional<Cursor::Rows> rows = cursor->Fetch(type, rowNumber, count);
        if (!rows) {
            Fail(Message{16902, 1, 16, "sp_cursorfetch: The value of the parameter 'fetchtype' is invalid.", 1});
            return;
        }
        reply_.NoMetaData(cursor->columns);
        for (std::size_t k = 0; k < rows->count; ++k) reply_.Row(cursor->rows[rows->first + k]);
        reply_.Done(tds::DoneToken::DoneInProc, 0, tds::kCmdSelect, static_cast<std::int64_t>(rows->count));
        ProcDone(call, false);
    }

    void CursorClose(const tds::RpcCall& call) {
        if (FindCursor(call) == nullptr) return;
        cursors_.erase(static_cast<std::int32_t>(call.params[0].integer));
        ProcDone(call, false);
    }

    Shared& shared_;
    Fd socket_;
    const std::uint16_t spid_;
    const unsigned number_;  // in the request log
    tds::ReplyWriter reply_;
    bool broken_ = false;     // a send failed: the client is gone
    bool holdReply_ = false;  // the next packet sent begins the reply to a request
    std::string database_;    // the current database as the client knows it
    std::int32_t nextHandle_ = 1;
    std::map<std::int32_t, Cursor> cursors_;

    std::mutex mutex_;  // guards what follows, shared with the reader and Abort()
    std::condition_variable wake_;
    std::deque<tds::Request> requests_;
    std::atomic<bool> woken_{false};  // the reader has queued something since the last look
    std::unique_ptr<Session> session_;
    std::map<std::int32_t, std::string> prepared_;  // by handle; the executor changes it, the reader reads it
    bool executing_ = false;  // session_->Execute runs
    bool attention_ = false;  // an attention awaits its answer
    bool closed_ = false;     // the socket is done with
};

}  // namespace

struct Server::Impl {
    Engine& engine;
    ServerOptions options;
    StatementLog log;
    StatementLog timingLog;
    StatementLog requestLog;
    Shared shared{engine, options, log, timingLog, requestLog, standin::HostName()};
    Fd listener;
    int port = 0;

    struct Slot {
        std::unique_ptr<Connection> connection;
        std::thread thread;
        std::atomic<bool> finished = false;
    };
    std::list<Slot> slots;
    std::uint16_t nextSpid = 51;
    unsigned connections = 0;  // accepted so far

    Impl(Engine& e, ServerOptions o)
        : engine(e),
          options(std::move(o)),
          log(options.statementLog),
          timingLog(options.timingLog),
          requestLog(options.requestLog) {}
    ~Impl() { Reap(true); }

    void Accept() {
        Fd socket(::accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (socket.Get() < 0) return;
        if (slots.size() >= kMaxConnections) {
            std::fprintf(stderr, "mssql-standin: too many connections; refusing one\n");
            return;
        }
        const int one = 1;
        ::setsockopt(socket.Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        const timeval sendTimeout{kSendTimeoutSeconds, 0};
        ::setsockopt(socket.Get(), SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout);

        Slot& slot = slots.emplace_back();
        slot.connection = std::make_unique<Connection>(shared, std::move(socket), nextSpid, ++connections);
        nextSpid = nextSpid == 0xFFFF ? 51 : nextSpid + 1;
        slot.thread = std::thread([&slot] {
            slot.connection->Serve();
            slot.finished = true;
        });
    }

    void Reap(bool all) {
        for (auto it = slots.begin(); it != slots.end();) {
            if (all || it->finished) {
                if (all) it->connection->Abort();
                it->thread.join();
                it = slots.erase(it);
            } else {
                ++it;
            }
        }
    }
};

Server::Server(Engine& engine, ServerOptions options) : impl_(std::make_unique<Impl>(engine, std::move(options))) {
    Fd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (listener.Get() < 0) throw SystemError("socket");
    const int one = 1;
    ::setsockopt(listener.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(impl_->options.port));
    if (::bind(listener.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        throw SystemError("cannot listen on 127.0.0.1:" + std::to_string(impl_->options.port));
    if (::listen(listener.Get(), 64) != 0) throw SystemError("listen");
    socklen_t length = sizeof address;
    ::getsockname(listener.Get(), reinterpret_cast<sockaddr*>(&address), &length);
    impl_->port = ntohs(address.sin_port);
    impl_->listener = std::move(listener);
}

Server::~Server() = default;

int Server::Port() const { return impl_->port; }

void Server::Run(int stopFd) {
    for (;;) {
        pollfd fds[2] = {{impl_->listener.Get(), POLLIN, 0}, {stopFd, POLLIN, 0}};
        const int n = ::poll(fds, 2, 1000);
        if (n < 0 && errno != EINTR) throw SystemError("poll");
        if (fds[1].revents != 0) break;
        if (fds[0].revents & POLLIN) impl_->Accept();
        impl_->Reap(false);
    }
    impl_->listener = Fd();
    impl_->Reap(true);
}

}  // namespace standin
