#pragma once
// Worker threads. Each runs one routine to its end, detached: the starting handler returns at
// once and nothing joins the thread. The window counts its running workers so that closing
// can wait for them before anything they use goes away.

#include <functional>
#include <memory>
#include <mutex>

namespace tarvex {

class MainWindow;

// The number of running workers of a window. Shared with every worker, so that a worker's last
// step, leaving the count, never touches a window that is already gone.
class WorkerCount : public std::enable_shared_from_this<WorkerCount> {
public:
    // `whenNoneRun` runs on the window's thread, posted there each time the count drops to 0.
    explicit WorkerCount(std::function<void()> whenNoneRun);

    int Running() const;
    // From now on no worker starts (the window is closing).
    void Refuse();
    // Called on the window's thread when the window goes away: `whenNoneRun` is not run again.
    void Forget();

private:
    friend bool StartWorkerThread(MainWindow& window, std::function<void()> routine);
    bool Enter();
    void Leave();

    mutable std::mutex mutex_;
    int running_ = 0;
    bool refused_ = false;
    std::function<void()> whenNoneRun_;  // touched on the window's thread only
};

// Starts a detached thread that runs `routine` and returns at once; true when it started.
// False when the thread could not be created or the window is closing.
bool StartWorkerThread(MainWindow& window, std::function<void()> routine);

}  // namespace tarvex
