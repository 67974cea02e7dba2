#pragma once
// The responsive wait: suspends the calling thread for a while without freezing the window.
// On the window's thread the event loop keeps running (the window repaints and takes input,
// and a button clicked meanwhile runs its action nested inside the wait); on any other thread
// the wait simply blocks, using no processor time.

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace tarvex {

// Set once, when the window begins closing; every wait given it ends then. Set() is called on
// the window's thread; IsSet() and the waits may run on any thread.
class StopSignal {
public:
    void Set();
    bool IsSet() const;
    // Blocks a thread other than the window's until `ticks` (100 ns) have passed or Set() was called.
    void BlockFor(std::int64_t ticks) const;

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool set_ = false;
};

// The longest wait: a day. Longer intervals are cut to it, so that nothing waits forever.
inline constexpr std::int64_t kLongestWaitTicks = 24LL * 3600 * 10'000'000;

// The relative due time of a wait in 100-ns ticks, negative for a wait into the future:
// interval × factor × -10000.0, truncated toward zero, where the factor in milliseconds is
// 1, 1000, 60000 or 3600000 for unit 0 (ms), 1 (s), 2 (min) or 3 (h) and any other unit value
// is used as the factor itself. Bounded by ±kLongestWaitTicks.
std::int64_t DueTime(int interval, int unit);

// Waits DueTime(interval, unit); a due time of 0 or later returns at once. Always true.
bool ResponsiveWait(int interval, int unit = 0);
// The same, ended early once `stop` is set.
bool ResponsiveWait(int interval, int unit, const StopSignal& stop);

}  // namespace tarvex
