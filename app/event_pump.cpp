#include "event_pump.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QThread>

namespace tarvex {

QtEventPump::QtEventPump() : thread_(QThread::currentThread()), dispatcher_(QAbstractEventDispatcher::instance()) {}

bool QtEventPump::OnPumpThread() const { return QThread::currentThread() == thread_; }

namespace {

// Drops keyboard and mouse input while it is installed on the application object. Everything
// else goes on: painting, timers, and a close requested through the window manager, which X11
// counts as input and the toolkit would otherwise hold back, only to drop it once a modal
// notice shows.
class InputDropper final : public QObject {
protected:
    bool eventFilter(QObject*, QEvent* event) override { return event->isInputEvent(); }
};

}  // namespace

void QtEventPump::WaitUntil(const std::function<bool()>& done, bool takeInput) {
    InputDropper dropper;
    if (!takeInput) QCoreApplication::instance()->installEventFilter(&dropper);
    // A Wake() that comes between the test and the wait is not lost: the dispatcher keeps it
    // and returns from its next wait at once.
    while (!done()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

void QtEventPump::Wake() {
    if (dispatcher_ != nullptr) dispatcher_->wakeUp();
}

}  // namespace tarvex
