// The database thread's rules: one piece of work at a time, in order; sessions keep other work
// out until they end; overtaken requests are skipped; shutdown releases every waiter.
// The work here does not touch the connection, so no server is needed.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "database.h"

using tarvex::Database;
using tarvex::ODBCDB;
using namespace std::chrono_literals;

namespace {

// Records the order in which work ran and whether two pieces ever overlapped.
struct Journal {
    std::mutex mutex;
    std::vector<std::string> entries;
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};

    auto Work(std::string name, std::chrono::milliseconds hold = 0ms) {
        return [this, name, hold](ODBCDB&) {
            if (inside.fetch_add(1) != 0) overlapped = true;
            std::this_thread::sleep_for(hold);
            {
                std::lock_guard lock(mutex);
                entries.push_back(name);
            }
            inside.fetch_sub(1);
            return true;
        };
    }
    std::vector<std::string> Entries() {
        std::lock_guard lock(mutex);
        return entries;
    }
};

// Blocks the database thread until released, so that work can be queued behind it.
struct Gate {
    std::promise<void> open;
    std::shared_future<void> opened = open.get_future().share();
    std::promise<void> entered;

    auto Work() {
        return [this](ODBCDB&) {
            entered.set_value();
            opened.wait();
            return true;
        };
    }
};

}  // namespace

TEST(DatabaseQueue, RunsWorkOneAtATimeInTheOrderHandedIn) {
    Database db;
    Journal journal;
    Gate gate;
    auto blocker = std::async(std::launch::async, [&] { return db.Run(gate.Work()); });
    gate.entered.get_future().wait();
    std::vector<std::future<std::optional<bool>>> callers;
    for (int i = 0; i < 5; ++i) {
        callers.push_back(std::async(std::launch::async, [&, i] { return db.Run(journal.Work(std::to_string(i), 5ms)); }));
        // Hand-in order is the order the calls reach the queue; give each time to get there.
        std::this_thread::sleep_for(20ms);
    }
    gate.open.set_value();
    for (auto& c : callers) EXPECT_EQ(c.get(), std::optional<bool>(true));
    EXPECT_TRUE(blocker.get());
    EXPECT_EQ(journal.Entries(), (std::vector<std::string>{"0", "1", "2", "3", "4"}));
    EXPECT_FALSE(journal.overlapped);
}

TEST(DatabaseQueue, ReturnsTheResultOfTheWork) {
    Database db;
    EXPECT_EQ(db.Run([](ODBCDB& c) { return c.IsOpen(); }), std::optional<bool>(false));
    EXPECT_EQ(db.Run([](ODBCDB&) { return std::string("rows"); }), std::optional<std::string>("rows"));
}

TEST(DatabaseQueue, ASessionKeepsOtherWorkOutUntilItEnds) {
    Database db;
    Journal journal;
    std::optional<std::future<std::optional<bool>>> outsider;
    {
        Database::Session session = db.Begin();
        ASSERT_TRUE(session);
        EXPECT_TRUE(session.Run(journal.Work("session 1")));
        outsider = std::async(std::launch::async, [&] { return db.Run(journal.Work("outsider")); });
        // The outsider waits however long the session pauses between its steps.
        EXPECT_EQ(outsider->wait_for(200ms), std::future_status::timeout);
        EXPECT_TRUE(session.Run(journal.Work("session 2")));
    }
    EXPECT_EQ(outsider->get(), std::optional<bool>(true));
    EXPECT_EQ(journal.Entries(), (std::vector<std::string>{"session 1", "session 2", "outsider"}));
}

TEST(DatabaseQueue, SessionsAreTakenInTurn) {
    Database db;
    Journal journal;
    auto first = std::make_optional(db.Begin());
    auto second = std::async(std::launch::async, [&] {
        Database::Session s = db.Begin();
        return s.Run(journal.Work("second"));
    });
    EXPECT_EQ(second.wait_for(200ms), std::future_status::timeout);
    EXPECT_TRUE(first->Run(journal.Work("first")));
    first.reset();
    EXPECT_EQ(second.get(), std::optional<bool>(true));
    EXPECT_EQ(journal.Entries(), (std::vector<std::string>{"first", "second"}));
}

TEST(DatabaseQueue, AnOvertakenRequestIsSkippedAndTheNewestRuns) {
    Database db;
    Journal journal;
    Gate gate;
    auto blocker = std::async(std::launch::async, [&] { return db.Run(gate.Work()); });
    gate.entered.get_future().wait();
    const auto older = db.NewRequest(Database::RequestKind::Lookup);
    const auto selection = db.NewRequest(Database::RequestKind::Selection);
    auto olderRun = std::async(std::launch::async, [&] {
        return db.RunRequest(Database::RequestKind::Lookup, older, journal.Work("older lookup"));
    });
    std::this_thread::sleep_for(20ms);
    const auto newer = db.NewRequest(Database::RequestKind::Lookup);
    auto newerRun = std::async(std::launch::async, [&] {
        return db.RunRequest(Database::RequestKind::Lookup, newer, journal.Work("newer lookup"));
    });
    auto selectionRun = std::async(std::launch::async, [&] {
        return db.RunRequest(Database::RequestKind::Selection, selection, journal.Work("selection"));
    });
    std::this_thread::sleep_for(50ms);
    gate.open.set_value();
    EXPECT_FALSE(olderRun.get());
    EXPECT_TRUE(newerRun.get());
    EXPECT_TRUE(selectionRun.get());  // a request of another kind is not overtaken
    const auto entries = journal.Entries();
    EXPECT_EQ(std::count(entries.begin(), entries.end(), "older lookup"), 0);
    EXPECT_TRUE(blocker.get());
}

TEST(DatabaseQueue, ShutdownReleasesEveryWaiterAndRefusesNewWork) {
    auto db = std::make_unique<Database>();
    Gate gate;
    auto blocker = std::async(std::launch::async, [&] { return db->Run(gate.Work()); });
    gate.entered.get_future().wait();
    auto queued = std::async(std::launch::async, [&] { return db->Run([](ODBCDB&) { return 1; }); });
    auto sessionWaiter = std::async(std::launch::async, [&] { return static_cast<bool>(db->Begin()); });
    std::this_thread::sleep_for(50ms);
    db->Shutdown();
    EXPECT_FALSE(queued.get());
    EXPECT_FALSE(sessionWaiter.get());
    EXPECT_FALSE(db->Run([](ODBCDB&) { return 1; }));
    EXPECT_FALSE(db->Begin());
    gate.open.set_value();
    blocker.get();
    db.reset();  // the thread ends and the object goes without waiting for the bound
}
