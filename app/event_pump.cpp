#include "event_pump.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QPointer>
#include <QThread>

#include <memory>
#include <utility>
#include <vector>

namespace tarvex {

QtEventPump::QtEventPump() : thread_(QThread::currentThread()), dispatcher_(QAbstractEventDispatcher::instance()) {}

bool QtEventPump::OnPumpThread() const { return QThread::currentThread() == thread_; }

namespace {

// Holds back the window system's keyboard and mouse input while it is installed on the
// application object, and hands it on in order when it is released. Everything else goes on:
// painting, timers, and a close requested through the window manager, which X11 counts as
// input: held back by the toolkit itself, it would be dropped once a modal notice showed.
class InputHolder final : public QObject {
public:
    void Release() {
        QCoreApplication::instance()->removeEventFilter(this);
        for (auto& [receiver, event] : held_)
            if (receiver) QCoreApplication::sendEvent(receiver, event.get());
        held_.clear();
    }

protected:
    // Window-system input reaches a window first; input sent to a widget directly is not held.
    bool eventFilter(QObject* receiver, QEvent* event) override {
        if (!event->isInputEvent() || !receiver->isWindowType()) return false;
        held_.emplace_back(receiver, std::unique_ptr<QEvent>(event->clone()));
        return true;
    }

private:
    std::vector<std::pair<QPointer<QObject>, std::unique_ptr<QEvent>>> held_;
};

}  // namespace

void QtEventPump::WaitUntil(const std::function<bool()>& done, bool takeInput) {
    InputHolder holder;
    if (!takeInput) QCoreApplication::instance()->installEventFilter(&holder);
    // A Wake() that comes between the test and the wait is not lost: the dispatcher keeps it
    // and returns from its next wait at once.
    while (!done()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    if (!takeInput) holder.Release();
}

void QtEventPump::Wake() {
    if (dispatcher_ != nullptr) dispatcher_->wakeUp();
}

}  // namespace tarvex
