#pragma once
// 外部数据库1: the window's one connection object, and the one thread that uses it.
//
// How the program shares the connection:
// - One database thread owns the ODBCDB and runs every piece of database work, one at a time,
//   in the order the work was handed in. No other thread calls the ODBCDB, except Cancel(),
//   which ODBC allows from any thread.
// - A piece of work is a function of the ODBCDB that runs to its end on the database thread
//   and never waits for the window, so the database thread never waits for the window's
//   thread. A routine that walks a record set does it inside one piece of work, so that no
//   log-in can replace the connection between its steps.
// - Callers hand work in and wait for its result: a worker simply blocks; the window's thread
//   keeps its event loop running meanwhile (EventPump), taking user input or not as the action
//   requires. The window's thread therefore never waits for a worker, and a worker that waits
//   for the window's thread holds nothing the window's thread could be waiting for.
// - An extraction, an export, a batch and a drop of a leftover take the database for themselves
//   with a Session (their hold on the temporary database owns it): while a session is held only
//   its own work runs, and all other work queues behind it and runs afterwards, in order.
//   Between its steps the holder may use the window (append to the log, read a control,
//   pause): it holds the session, not the database thread.
// - Lookups and selections carry a request number; a request that a newer one of the same
//   kind has overtaken while it queued is skipped, since its result would be stale at once.
// - Shutdown (the window closing) cancels the running statement, fails queued and later work
//   at once and stops waiting callers; the thread then closes the connection and ends.
// - The thread is joined at the end (Join, bounded, cancelling again meanwhile), so that it
//   does not outlive its owner, nor run on while the process exits. Only a thread that does
//   not end within the bound (a driver that never returns) is let go; it owns a share of what
//   it uses, and the owner ends the process at once instead of exiting normally.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>

#include "odbcdb.h"

namespace tarvex {

// How the window's thread waits for work done elsewhere: it keeps its event loop running.
class EventPump {
public:
    virtual ~EventPump() = default;
    virtual bool OnPumpThread() const = 0;
    // On the window's thread only: handles events until done() holds. With takeInput false the
    // window repaints but takes no keyboard or mouse input meanwhile.
    virtual void WaitUntil(const std::function<bool()>& done, bool takeInput) = 0;
    // From any thread: makes a running WaitUntil test done() again.
    virtual void Wake() = 0;
};

class Database {
public:
    enum class RequestKind { Lookup, Selection };

    // `pump` is the window's thread's way of waiting, or null where no thread has an event loop.
    explicit Database(EventPump* pump = nullptr);
    // Join(kCloseBound); a thread that has not ended by then is let go.
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    // Runs `work(ODBCDB&)` on the database thread and returns its result; nullopt when it did
    // not run (shutting down). `work` must own what it uses (capture by value): the caller may
    // stop waiting for it on shutdown. On the window's thread, `takeInput` says whether the
    // window takes user input while it waits.
    template <class F>
    auto Run(F work, bool takeInput = true) {
        return Submit(std::move(work), Ticket{}, takeInput);
    }

    // A new lookup or selection request; the handler of the event takes it.
    std::uint64_t NewRequest(RequestKind kind);
    // Runs the request's work unless a newer request of its kind has been taken meanwhile.
    template <class F>
    auto RunRequest(RequestKind kind, std::uint64_t number, F work) {
        Ticket t;
        t.request = {kind, number};
        return Submit(std::move(work), t, true);
    }

    // Exclusive use of the database for a sequence of work. Invalid when the database is
    // shutting down; then its Run does nothing.
    class Session {
    public:
        Session() = default;
        Session(Session&& other) noexcept : db_(std::exchange(other.db_, nullptr)), id_(other.id_) {}
        Session& operator=(Session&&) = delete;
        ~Session();
        explicit operator bool() const { return db_ != nullptr; }

        template <class F>
        auto Run(F work, bool takeInput = true) {
            using R = std::invoke_result_t<F&, ODBCDB&>;
            if (!db_) return std::optional<R>{};
            Ticket t;
            t.session = id_;
            return db_->Submit(std::move(work), t, takeInput);
        }

    private:
        friend class Database;
        Session(Database* db, std::uint64_t id) : db_(db), id_(id) {}
        Database* db_ = nullptr;
        std::uint64_t id_ = 0;
    };

    // Waits for the database to be free (in the order of everything handed in before) and
    // takes it. On the window's thread `takeInput` applies to the wait, as for Run.
    Session Begin(bool takeInput = true);

    // Cancels the statement running now, if any.
    void Cancel();
    // Cancels the running statement and fails every queued and later piece of work.
    void Shutdown();
    bool ShuttingDown() const;
    // How long the database thread has spent in work so far: the driver's, the protocol's and the
    // server's time, as against the callers' own.
    std::chrono::steady_clock::duration WorkTime() const;
    // Shuts down and waits, at most `bound`, for the database thread to close the connection
    // and end, cancelling its statement again meanwhile; true once the thread has ended and
    // been joined. Called by the owner's thread; the pump is not used from then on.
    bool Join(std::chrono::milliseconds bound);

    // How long the destructor waits for the thread.
    static constexpr std::chrono::seconds kCloseBound{10};

    struct State;

private:
    struct Ticket {
        std::uint64_t session = 0;
        std::optional<std::pair<RequestKind, std::uint64_t>> request;
    };
    struct Done;

    template <class F>
    auto Submit(F work, const Ticket& ticket, bool takeInput) {
        using R = std::invoke_result_t<F&, ODBCDB&>;
        static_assert(!std::is_void_v<R>, "database work returns its result");
        auto result = std::make_shared<std::optional<R>>();
        const bool ran = Hand(
            [result, work = std::move(work)](ODBCDB& db) mutable { result->emplace(work(db)); }, ticket, takeInput);
        return ran ? std::move(*result) : std::optional<R>{};
    }
    // Queues a job and waits until it has run (true) or will not run (false).
    bool Hand(std::function<void(ODBCDB&)> job, const Ticket& ticket, bool takeInput);
    bool Wait(EventPump* pump, const std::shared_ptr<Done>& done, bool takeInput);
    void Release(std::uint64_t session);

    std::shared_ptr<State> state_;
    std::thread thread_;
};

// What executing one statement came to: whether it ran without an error, whether there was a
// connection to run it on, and the reason when it failed.
struct Executed {
    bool ok = false;
    bool connected = false;
    long rows = -1;  // the rows the server reported affected; -1 when it reported no count
    OdbcError error;
};

// Database work that executes `statement` (ODBCDB::ExecuteSql) and tells what it came to.
inline auto Executing(std::string statement, Timeout timeout, Execution execution = Execution::Prepared) {
    return [statement = std::move(statement), timeout, execution](ODBCDB& db) {
        Executed e;
        e.connected = db.IsOpen();
        e.ok = db.ExecuteSql(statement, timeout, execution);
        if (e.ok) e.rows = db.RowsAffected();
        else e.error = db.LastError();
        return e;
    };
}

}  // namespace tarvex
