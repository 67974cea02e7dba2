#include "workers.h"

#include <QCoreApplication>

#include <system_error>
#include <thread>

#include "main_window.h"

namespace tarvex {

WorkerCount::WorkerCount(std::function<void()> whenNoneRun) : whenNoneRun_(std::move(whenNoneRun)) {}

int WorkerCount::Running() const {
    std::lock_guard lock(mutex_);
    return running_;
}

void WorkerCount::Refuse() {
    std::lock_guard lock(mutex_);
    refused_ = true;
}

void WorkerCount::Forget() { whenNoneRun_ = nullptr; }

bool WorkerCount::Enter() {
    std::lock_guard lock(mutex_);
    if (refused_) return false;
    ++running_;
    return true;
}

void WorkerCount::Leave() {
    std::lock_guard lock(mutex_);
    if (--running_ > 0) return;
    // Posted while the count is locked: the window's thread, once it has seen no worker running,
    // finds the notice already queued and the worker done with everything of the window's.
    if (QCoreApplication* app = QCoreApplication::instance()) {
        QMetaObject::invokeMethod(
            app,
            [self = shared_from_this()] {
                if (self->whenNoneRun_) self->whenNoneRun_();
            },
            Qt::QueuedConnection);
    }
}

bool StartWorkerThread(MainWindow& window, std::function<void()> routine) {
    std::shared_ptr<WorkerCount> count = window.Workers();
    if (!count->Enter()) return false;
    try {
        std::thread([count, routine = std::move(routine)]() mutable {
            routine();
            routine = nullptr;  // whatever the routine holds goes before the window may
            count->Leave();
        }).detach();
    } catch (const std::system_error&) {
        count->Leave();
        return false;
    }
    return true;
}

}  // namespace tarvex
