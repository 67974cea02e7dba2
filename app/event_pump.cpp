#include "event_pump.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QThread>

namespace tarvex {

QtEventPump::QtEventPump() : thread_(QThread::currentThread()), dispatcher_(QAbstractEventDispatcher::instance()) {}

bool QtEventPump::OnPumpThread() const { return QThread::currentThread() == thread_; }

void QtEventPump::WaitUntil(const std::function<bool()>& done, bool takeInput) {
    // A Wake() that comes between the test and the wait is not lost: the dispatcher keeps it
    // and returns from its next wait at once.
    const QEventLoop::ProcessEventsFlags flags =
        QEventLoop::WaitForMoreEvents | (takeInput ? QEventLoop::AllEvents : QEventLoop::ExcludeUserInputEvents);
    while (!done()) QCoreApplication::processEvents(flags);
}

void QtEventPump::Wake() {
    if (dispatcher_ != nullptr) dispatcher_->wakeUp();
}

}  // namespace tarvex
