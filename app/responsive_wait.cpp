#include "responsive_wait.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QThread>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace tarvex {
namespace {

bool OnEventLoopThread() {
    const QCoreApplication* app = QCoreApplication::instance();
    return app != nullptr && QThread::currentThread() == app->thread();
}

// Wakes an event dispatcher once the steady clock reaches a point in time, from a thread of its
// own that sleeps until then; going away earlier, it stops that thread without waking anything.
// The toolkit's own precise timer is not used for this: on Windows it is a multimedia timer
// whose event reaches the event loop as a posted event, and under wine the loop took it up to
// 0.4 s late, while a thread's timed sleep and a wake-up of the dispatcher keep to the
// millisecond on both systems.
class DispatcherAlarm {
public:
    DispatcherAlarm(QAbstractEventDispatcher* dispatcher, std::chrono::steady_clock::time_point at)
        : thread_([this, dispatcher, at] {
              std::unique_lock lock(mutex_);
              if (!changed_.wait_until(lock, at, [this] { return cancelled_; }) && dispatcher != nullptr)
                  dispatcher->wakeUp();
          }) {}
    ~DispatcherAlarm() {
        {
            std::lock_guard lock(mutex_);
            cancelled_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
    DispatcherAlarm(const DispatcherAlarm&) = delete;
    DispatcherAlarm& operator=(const DispatcherAlarm&) = delete;

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool cancelled_ = false;
    std::thread thread_;  // last: it starts once the rest is made
};

// Keeps the window's event loop running until the steady clock has passed `ticks` or `stop` is
// set. Only the time ends the wait: a quit requested meanwhile stays for the main loop.
void PumpFor(std::int64_t ticks, const StopSignal* stop) {
    const auto due = std::chrono::steady_clock::now() + std::chrono::nanoseconds(ticks * 100);
    const DispatcherAlarm alarm(QAbstractEventDispatcher::instance(), due);
    while (std::chrono::steady_clock::now() < due && !(stop != nullptr && stop->IsSet()))
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

bool Wait(int interval, int unit, const StopSignal* stop) {
    const std::int64_t due = DueTime(interval, unit);
    if (due >= 0 || (stop != nullptr && stop->IsSet())) return true;
    if (OnEventLoopThread()) PumpFor(-due, stop);
    else if (stop != nullptr) stop->BlockFor(-due);
    else std::this_thread::sleep_for(std::chrono::nanoseconds(-due * 100));
    return true;
}

}  // namespace

void StopSignal::Set() {
    {
        std::lock_guard lock(mutex_);
        set_ = true;
    }
    changed_.notify_all();
}

bool StopSignal::IsSet() const {
    std::lock_guard lock(mutex_);
    return set_;
}

void StopSignal::BlockFor(std::int64_t ticks) const {
    const auto until = std::chrono::steady_clock::now() + std::chrono::nanoseconds(ticks * 100);
    std::unique_lock lock(mutex_);
    changed_.wait_until(lock, until, [this] { return set_; });
}

std::int64_t DueTime(int interval, int unit) {
    double factor = unit;
    switch (unit) {
        case 0: factor = 1; break;
        case 1: factor = 1000; break;
        case 2: factor = 60000; break;
        case 3: factor = 3600000; break;
    }
    const double due = static_cast<double>(interval) * factor * -10000.0;
    const double bound = static_cast<double>(kLongestWaitTicks);
    return static_cast<std::int64_t>(std::clamp(due, -bound, bound));
}

bool ResponsiveWait(int interval, int unit) { return Wait(interval, unit, nullptr); }

bool ResponsiveWait(int interval, int unit, const StopSignal& stop) { return Wait(interval, unit, &stop); }

}  // namespace tarvex
