#include "responsive_wait.h"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <thread>

namespace tarvex {
namespace {

bool OnEventLoopThread() {
    const QCoreApplication* app = QCoreApplication::instance();
    return app != nullptr && QThread::currentThread() == app->thread();
}

// Keeps the window's event loop running until a precise single-shot timer fires or `stop` is
// set. Only the timer ends the wait: a quit requested meanwhile stays for the main loop.
void PumpFor(std::int64_t ticks, const StopSignal* stop) {
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(std::chrono::nanoseconds(ticks * 100));
    bool due = false;
    QTimer timer;
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer, &QTimer::timeout, [&due] { due = true; });
    timer.start(ms);
    while (!due && !(stop != nullptr && stop->IsSet()))
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
