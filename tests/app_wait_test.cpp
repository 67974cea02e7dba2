// The responsive wait and the window thread's event pump.
#include <QPushButton>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <ctime>
#include <thread>

#include <qpa/qwindowsysteminterface.h>

#include "app_window_support.h"
#include "event_pump.h"
#include "responsive_wait.h"

using apptest::kGuardMs;
using tarvex::DueTime;
using tarvex::ResponsiveWait;

namespace {

using Clock = std::chrono::steady_clock;

TEST(ResponsiveWaitDueTime, UnitsFactorsAndBounds) {
    EXPECT_EQ(DueTime(1000, 0), -10'000'000);
    EXPECT_EQ(DueTime(1, 1), -10'000'000);
    EXPECT_EQ(DueTime(1, 2), -600'000'000);
    EXPECT_EQ(DueTime(1, 3), -36'000'000'000);
    EXPECT_EQ(DueTime(3, 7), -210'000);  // any other unit is the factor itself
    EXPECT_EQ(DueTime(0, 3), 0);
    EXPECT_EQ(DueTime(-5, 0), 50'000);   // in the past: no wait
    EXPECT_EQ(DueTime(5, -1), 50'000);
    // Absurd intervals are cut to a day instead of overflowing or waiting for ever.
    EXPECT_EQ(DueTime(2'000'000'000, 3), -tarvex::kLongestWaitTicks);
    EXPECT_EQ(DueTime(-2'000'000'000, 3), tarvex::kLongestWaitTicks);
    EXPECT_EQ(DueTime(25, 3), -tarvex::kLongestWaitTicks);
    EXPECT_EQ(DueTime(24, 3), -tarvex::kLongestWaitTicks);
}

double ThreadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// On the window's thread a wait keeps the window's events flowing; a zero wait handles none.
class WindowThreadWait : public apptest::ShownWindow {};

TEST_F(WindowThreadWait, ZeroReturnsAtOnceHandlingNoEvents) {
    bool posted = false;
    QTimer::singleShot(0, &window, [&] { posted = true; });
    EXPECT_TRUE(ResponsiveWait(0));
    EXPECT_TRUE(ResponsiveWait(0, 2));
    EXPECT_TRUE(ResponsiveWait(-1, 1));
    EXPECT_FALSE(posted);
    const auto start = Clock::now();
    EXPECT_TRUE(ResponsiveWait(50));
    EXPECT_TRUE(posted);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(50));
}

TEST_F(WindowThreadWait, AButtonClickedDuringTheWaitRunsItsActionInside) {
    bool waiting = false, clickedWhileWaiting = false;
    tarvex::MainWindow::Handlers handlers;
    handlers.login = [&] { clickedWhileWaiting = waiting; };
    window.SetHandlers(handlers);
    QTimer::singleShot(0, &window, [&] { QTest::mouseClick(Get("按钮1"), Qt::LeftButton); });
    waiting = true;
    const auto start = Clock::now();
    ResponsiveWait(1, 1);
    waiting = false;
    EXPECT_TRUE(clickedWhileWaiting);
    EXPECT_GE(Clock::now() - start, std::chrono::seconds(1));  // the click did not cut it short
}

// The export's one-second pauses, counted against the 1.00-1.04 s they must last: at most one of
// three outside it (a busy machine may delay one), none shorter, and the window's thread idle
// meanwhile (under a tenth of their time on the processor).
TEST_F(WindowThreadWait, PausesOfASecondLastTheirSecond) {
    int outside = 0, shorter = 0;
    const double cpuBefore = ThreadCpuSeconds();
    for (int i = 0; i < 3; ++i) {
        const auto start = Clock::now();
        ResponsiveWait(1000);
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        outside += seconds < 1.0 || seconds > 1.04;
        shorter += seconds < 1.0;
    }
    EXPECT_LE(outside, 1);
    EXPECT_EQ(shorter, 0);
    EXPECT_LT((ThreadCpuSeconds() - cpuBefore) / 3.0, 0.1);
}

TEST_F(WindowThreadWait, StopSignalEndsAWindowThreadWait) {
    tarvex::StopSignal stop;
    QTimer::singleShot(0, &window, [&] { stop.Set(); });
    ResponsiveWait(1, 3, stop);  // an hour, unless stopped
    EXPECT_TRUE(stop.IsSet());
}


TEST(WorkerWait, BlocksWithoutSpinningAndStopsWhenSignalled) {
    double cpu = -1;
    Clock::duration waited{};
    std::thread worker([&] {
        const double cpuBefore = ThreadCpuSeconds();
        const auto start = Clock::now();
        ResponsiveWait(300);
        waited = Clock::now() - start;
        cpu = ThreadCpuSeconds() - cpuBefore;
    });
    worker.join();
    EXPECT_GE(waited, std::chrono::milliseconds(300));
    EXPECT_LT(cpu, 0.1);  // a spinning wait would burn most of its 0.3 s

    tarvex::StopSignal stop;
    std::atomic<bool> ended{false};
    std::thread stopped([&] {
        ResponsiveWait(1, 3, stop);
        ended = true;
    });
    stop.Set();
    stopped.join();
    EXPECT_TRUE(ended);
}

class WindowThreadPump : public apptest::ShownWindow {};

TEST_F(WindowThreadPump, WaitsUntilAnotherThreadIsDoneAndWakesIt) {
    tarvex::QtEventPump pump;
    EXPECT_TRUE(pump.OnPumpThread());
    std::atomic<bool> done{false};
    std::thread other([&] {
        EXPECT_FALSE(pump.OnPumpThread());
        done = true;
        pump.Wake();
    });
    pump.WaitUntil([&] { return done.load(); }, true);
    other.join();
    EXPECT_TRUE(done);
}

TEST_F(WindowThreadPump, WithoutInputTheWindowTakesAClickOnlyAfterwards) {
    tarvex::QtEventPump pump;
    int logins = 0;
    tarvex::MainWindow::Handlers handlers;
    handlers.login = [&] { ++logins; };
    window.SetHandlers(handlers);
    auto* button = Get<QPushButton>("按钮1");
    const QPointF at = button->mapTo(&window, button->rect().center());
    const QPointF global = window.mapToGlobal(at);
    // Queued as the window system queues input.
    const auto click = [&] {
        for (const QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease})
            QWindowSystemInterface::handleMouseEvent<QWindowSystemInterface::AsynchronousDelivery>(
                window.windowHandle(), at, global, type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton,
                Qt::LeftButton, type);
    };

    bool painted = false, done = false;
    click();
    window.update();
    QTimer::singleShot(0, &window, [&] {
        painted = true;  // timers and paints go on
        QTimer::singleShot(0, &window, [&] {
            EXPECT_EQ(logins, 0);
            done = true;
        });
    });
    pump.WaitUntil([&] { return done; }, false);
    EXPECT_TRUE(painted);
    EXPECT_EQ(logins, 1);  // taken as the wait ends

    click();
    pump.WaitUntil([&] { return logins == 2; }, true);
    EXPECT_EQ(logins, 2);
}

}  // namespace
