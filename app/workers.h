#pragma once
// Worker threads. Each runs one routine to its end; the starting handler returns at once.
//
// The toolkit starts them (QThread), so that it knows every thread that calls it: a thread it
// did not start is "adopted" at its first call, and on Windows the toolkit then keeps it in
// static lists and watches it from a thread of its own that cleans up after it whenever it
// ends, even while the process exits and those lists are destroyed. The window keeps its
// workers and joins each one once its routine has ended, so that no worker outlives the
// window, the application object or the process's exit.

#include <QCoreApplication>
#include <QObject>
#include <QPointer>

#include <functional>
#include <memory>
#include <vector>

class QThread;

namespace tarvex {

class MainWindow;

// The worker threads of a window. Made and used on the window's thread only.
class WorkerThreads {
public:
    // `whenNoneRun` runs on the window's thread each time the last running worker has ended.
    explicit WorkerThreads(std::function<void()> whenNoneRun);
    // Joins the threads still there. The window goes away only once its workers have ended
    // (StartUp ends the process instead when one outlived the closing bound), so this finds
    // none, or none that still runs its routine.
    ~WorkerThreads();
    WorkerThreads(const WorkerThreads&) = delete;
    WorkerThreads& operator=(const WorkerThreads&) = delete;

    // The workers started and not yet ended and joined.
    int Running() const;
    // From now on no worker starts (the window is closing).
    void Refuse();
    // Starts a thread that runs `routine`; false when it could not be created or workers are
    // refused.
    bool Start(std::function<void()> routine);

private:
    void Ended(QThread* thread);

    std::vector<std::unique_ptr<QThread>> threads_;
    bool refused_ = false;
    std::function<void()> whenNoneRun_;
    QObject receiver_;  // takes the threads' ends on the window's thread; goes first
};

// Starts a worker of the window that runs `routine` and returns at once; true when it started.
// False when the thread could not be created or the window is closing.
bool StartWorkerThread(MainWindow& window, std::function<void()> routine);

// From a worker: runs `then(*dialog)` on the window's thread, unless the dialog has gone by then.
template <typename Dialog, typename Then>
void ThenInDialog(QPointer<Dialog> dialog, Then then) {
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [dialog = std::move(dialog), then = std::move(then)]() mutable {
            if (dialog) then(*dialog);
        },
        Qt::QueuedConnection);
}

}  // namespace tarvex
