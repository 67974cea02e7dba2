#pragma once
// How the window's thread waits for work done elsewhere (the database thread, for instance):
// it keeps handling its events, blocking in the event dispatcher between them, until the work
// is done. Wake() interrupts the dispatcher so that the wait looks again.

#include "database.h"

class QAbstractEventDispatcher;
class QThread;

namespace tarvex {

class QtEventPump final : public EventPump {
public:
    // Made on the window's thread once the application object exists. Wake() may be called
    // from any thread for as long as the application object exists.
    QtEventPump();

    bool OnPumpThread() const override;
    void WaitUntil(const std::function<bool()>& done, bool takeInput) override;
    void Wake() override;

private:
    QThread* thread_;
    QAbstractEventDispatcher* dispatcher_;
};

}  // namespace tarvex
