#pragma once
// The report (report.h) of an action that a dialog runs on a worker, the batch's or the restore's:
// each event the dialog shows is carried to the dialog's thread and shown there, and none once
// the dialog is gone; the dialog's Cancel button sets the flag the action asks for.

#include <QCoreApplication>
#include <QObject>
#include <QPointer>

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "account_sets.h"
#include "report.h"

namespace tarvex {

class DialogReport final : public Report {
public:
    // What the dialog shows of each event, on its own thread; an event it has nothing for is
    // not shown.
    struct Shown {
        std::function<void(const std::string& line)> log;
        std::function<void(int position)> copied;
        std::function<void(int n, int total, const AccountSetEntry& set)> setBegins;
        std::function<void(int percent)> percent;
    };

    DialogReport(QObject* dialog, std::shared_ptr<std::atomic<bool>> cancel, Shown shown)
        : dialog_(dialog), cancel_(std::move(cancel)), shown_(std::move(shown)) {}

    void Log(const std::string& line) override { Carry(shown_.log, line); }
    void Copied(int position, const TableCopy&) override { Carry(shown_.copied, position); }
    void SetBegins(int n, int total, const AccountSetEntry& set) override { Carry(shown_.setBegins, n, total, set); }
    void Percent(int percent) override { Carry(shown_.percent, percent); }
    bool Cancelled() override { return cancel_->load(); }

private:
    template <typename Show, typename... Values>
    void Carry(const Show& show, const Values&... values) {
        if (!show) return;
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [dialog = dialog_, show, values...] {
                if (dialog) show(values...);
            },
            Qt::QueuedConnection);
    }

    QPointer<QObject> dialog_;
    std::shared_ptr<std::atomic<bool>> cancel_;
    Shown shown_;
};

}  // namespace tarvex
