#pragma once
// The window as a conversion's report: the log, the progress bar, its questions and the
// responsive wait. Closing the window shuts the database down, which ends a conversion; the
// window has no cancel of its own.

#include "catalogue.h"
#include "report.h"
#include "window_port.h"

namespace tarvex {

class WindowReport final : public Report {
public:
    explicit WindowReport(Window& window) : window_(window) {}
    void Log(const std::string& line) override { window_.AppendText(Control::Log, line); }
    void Copied(int position, const TableCopy&) override { window_.SetProgress(position, TableCatalogue::kEntryCount); }
    bool Ask(const std::string& question) override { return window_.AskYesNo(question); }
    void Pause(int milliseconds) override { window_.ResponsiveWait(milliseconds); }

private:
    Window& window_;
};

}  // namespace tarvex
