#include "workers.h"

#include <QThread>

#include <algorithm>
#include <atomic>

#include "main_window.h"

namespace tarvex {
namespace {

// A thread that runs one routine. What the routine holds goes on the thread itself, before the
// thread reports its end.
class WorkerThread final : public QThread {
public:
    explicit WorkerThread(std::function<void()> routine) : routine_(std::move(routine)) {}

    // Whether run() has begun: after start(), a thread that neither runs nor began was never
    // created (the toolkit tells that apart differently on each platform).
    bool Began() const { return began_.load(); }

private:
    void run() override {
        began_ = true;
        std::function<void()> routine = std::move(routine_);
        routine();
    }

    std::function<void()> routine_;
    std::atomic<bool> began_{false};
};

}  // namespace

WorkerThreads::WorkerThreads(std::function<void()> whenNoneRun) : whenNoneRun_(std::move(whenNoneRun)) {}

WorkerThreads::~WorkerThreads() {
    for (const std::unique_ptr<QThread>& thread : threads_) thread->wait();
}

int WorkerThreads::Running() const { return static_cast<int>(threads_.size()); }

void WorkerThreads::Refuse() { refused_ = true; }

bool WorkerThreads::Start(std::function<void()> routine) {
    if (refused_) return false;
    auto thread = std::make_unique<WorkerThread>(std::move(routine));
    WorkerThread* started = thread.get();
    // Emitted on the worker once its routine has returned; queued to the window's thread.
    QObject::connect(started, &QThread::finished, &receiver_, [this, started] { Ended(started); });
    started->start();
    if (!started->isRunning() && !started->Began()) return false;
    threads_.push_back(std::move(thread));
    return true;
}

void WorkerThreads::Ended(QThread* thread) {
    const auto it = std::find_if(threads_.begin(), threads_.end(),
                                 [thread](const std::unique_ptr<QThread>& t) { return t.get() == thread; });
    if (it == threads_.end()) return;
    (*it)->wait();  // the thread is past its routine: only the toolkit's own end is left
    threads_.erase(it);
    if (threads_.empty() && whenNoneRun_) whenNoneRun_();
}

bool StartWorkerThread(MainWindow& window, std::function<void()> routine) {
    return window.Workers().Start(std::move(routine));
}

}  // namespace tarvex
