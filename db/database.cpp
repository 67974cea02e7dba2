#include "database.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

namespace tarvex {

namespace {
// While the owner waits for the thread to end: how often it cancels again, for a statement
// that was about to start when the first cancel came.
constexpr auto kRecancel = std::chrono::milliseconds(200);
}  // namespace

struct Database::Done {
    bool finished = false;
    bool ran = false;
};

struct Database::State {
    struct Item {
        std::function<void(ODBCDB&)> job;  // empty: a session's acquisition
        Ticket ticket;
        std::uint64_t acquires = 0;  // the session this item acquires
        std::shared_ptr<Done> done;
    };

    ODBCDB db;
    EventPump* pump = nullptr;  // guarded by mutex

    mutable std::mutex mutex;
    std::condition_variable changed;  // the queue, a session or a Done changed
    std::deque<Item> queue;
    std::uint64_t activeSession = 0;
    std::uint64_t nextSession = 1;
    std::array<std::uint64_t, 2> latestRequest{};
    bool shuttingDown = false;
    bool threadEnded = false;
    std::chrono::steady_clock::duration workTime{};

    // Under mutex: the next item the thread may take, or queue.end().
    std::deque<Item>::iterator NextItem() {
        if (activeSession == 0 || shuttingDown) return queue.begin();
        for (auto it = queue.begin(); it != queue.end(); ++it)
            if (it->ticket.session == activeSession) return it;
        return queue.end();
    }

    bool Overtaken(const Ticket& t) const {
        return t.request && t.request->second < latestRequest[static_cast<std::size_t>(t.request->first)];
    }

    // Under mutex.
    void Finish(Done& done, bool ran) {
        done.finished = true;
        done.ran = ran;
        changed.notify_all();
        if (pump) pump->Wake();
    }

    void Loop() {
        std::unique_lock lock(mutex);
        for (;;) {
            changed.wait(lock, [&] { return NextItem() != queue.end() || (shuttingDown && queue.empty()); });
            auto it = NextItem();
            if (it == queue.end()) break;  // shutting down and nothing left
            Item item = std::move(*it);
            queue.erase(it);
            if (shuttingDown || Overtaken(item.ticket)) {
                Finish(*item.done, false);
                continue;
            }
            if (!item.job) {
                activeSession = item.acquires;
                Finish(*item.done, true);
                continue;
            }
            lock.unlock();
            const auto began = std::chrono::steady_clock::now();
            item.job(db);
            item.job = nullptr;  // release what the work captured before the caller goes on
            const auto took = std::chrono::steady_clock::now() - began;
            lock.lock();
            workTime += took;
            Finish(*item.done, true);
        }
        lock.unlock();
        db.CloseDatabase();
        lock.lock();
        threadEnded = true;
        changed.notify_all();
    }
};

Database::Database(EventPump* pump) : state_(std::make_shared<State>()) {
    state_->pump = pump;
    thread_ = std::thread([state = state_] { state->Loop(); });
}

Database::~Database() {
    // The thread owns a share of the state, so a driver that never returns from a cancelled
    // call touches nothing that is gone; the owner then ends the process at once.
    if (!Join(kCloseBound)) thread_.detach();
}

bool Database::Join(std::chrono::milliseconds bound) {
    if (!thread_.joinable()) return true;
    Shutdown();
    {
        std::unique_lock lock(state_->mutex);
        state_->pump = nullptr;
        const auto deadline = std::chrono::steady_clock::now() + bound;
        while (!state_->threadEnded) {
            const auto now = std::chrono::steady_clock::now();
            if (now >= deadline) return false;
            if (state_->changed.wait_for(lock, std::min<std::chrono::steady_clock::duration>(kRecancel, deadline - now),
                                         [&] { return state_->threadEnded; }))
                break;
            lock.unlock();
            state_->db.Cancel();
            lock.lock();
        }
    }
    thread_.join();  // past its last step: only the thread's own end is left
    return true;
}

std::uint64_t Database::NewRequest(RequestKind kind) {
    std::lock_guard lock(state_->mutex);
    return ++state_->latestRequest[static_cast<std::size_t>(kind)];
}

bool Database::Hand(std::function<void(ODBCDB&)> job, const Ticket& ticket, bool takeInput) {
    auto done = std::make_shared<Done>();
    EventPump* pump = nullptr;
    {
        std::lock_guard lock(state_->mutex);
        if (state_->shuttingDown) return false;
        state_->queue.push_back(State::Item{std::move(job), ticket, 0, done});
        state_->changed.notify_all();
        pump = state_->pump;
    }
    return Wait(pump, done, takeInput);
}

bool Database::Wait(EventPump* pump, const std::shared_ptr<Done>& done, bool takeInput) {
    if (pump && pump->OnPumpThread()) {
        // The window's thread keeps handling events; it stops waiting when the work is done or
        // the database shuts down (the window is closing), whichever comes first.
        pump->WaitUntil(
            [&] {
                std::lock_guard lock(state_->mutex);
                return done->finished || state_->shuttingDown;
            },
            takeInput);
        std::lock_guard lock(state_->mutex);
        return done->finished && done->ran;
    }
    std::unique_lock lock(state_->mutex);
    state_->changed.wait(lock, [&] { return done->finished || state_->shuttingDown; });
    return done->finished && done->ran;
}

Database::Session Database::Begin(bool takeInput) {
    auto done = std::make_shared<Done>();
    std::uint64_t id = 0;
    EventPump* pump = nullptr;
    {
        std::lock_guard lock(state_->mutex);
        if (state_->shuttingDown) return {};
        id = state_->nextSession++;
        state_->queue.push_back(State::Item{nullptr, Ticket{}, id, done});
        state_->changed.notify_all();
        pump = state_->pump;
    }
    if (!Wait(pump, done, takeInput)) {
        Release(id);  // in case the acquisition went through as the wait ended
        return {};
    }
    return Session(this, id);
}

void Database::Release(std::uint64_t session) {
    std::lock_guard lock(state_->mutex);
    if (state_->activeSession == session) {
        state_->activeSession = 0;
        state_->changed.notify_all();
    }
}

Database::Session::~Session() {
    if (db_) db_->Release(id_);
}

void Database::Cancel() { state_->db.Cancel(); }

void Database::Shutdown() {
    {
        std::lock_guard lock(state_->mutex);
        if (state_->shuttingDown) return;
        state_->shuttingDown = true;
        state_->changed.notify_all();
        if (state_->pump) state_->pump->Wake();
    }
    state_->db.Cancel();
}

std::chrono::steady_clock::duration Database::WorkTime() const {
    std::lock_guard lock(state_->mutex);
    return state_->workTime;
}

bool Database::ShuttingDown() const {
    std::lock_guard lock(state_->mutex);
    return state_->shuttingDown;
}

}  // namespace tarvex
