#pragma once
// The window's side of the actions' port: the controls, log, notices and waits of a MainWindow,
// callable from any thread. On the window's thread an operation runs directly. From another
// thread it is posted to the application object and carried out on the window's thread while
// the caller waits; the posted call checks that the window still exists, and a call that is
// dropped unrun (the application going away) hands the caller the empty result, so a worker
// never hangs on a window that is gone.

#include <QPointer>

#include <memory>
#include <optional>

#include "main_window.h"
#include "window_port.h"

class QThread;

namespace tarvex {

class WindowControls final : public Window {
public:
    // Made on the window's thread; may outlive the window (every operation then does nothing).
    explicit WindowControls(MainWindow& window);

    std::string Text(Control control, std::string* unheld = nullptr) override;
    void SetText(Control control, std::string_view text) override;
    bool Checked(Control control) override;
    void AppendText(Control control, std::string_view text) override;
    void SetItems(const std::vector<std::string>& items) override;
    // Returns 1 once the user closed the box with OK (or Esc), 0 when none was shown or the
    // window closed it.
    int ShowNotice(std::string_view text, int style, std::optional<std::string_view> caption = std::nullopt) override;
    bool AskYesNo(std::string_view text) override;
    void ResponsiveWait(int interval, int unit = 0) override;
    void* LoginDialogOwner() override;
    void SetActionsEnabled(bool enabled) override;
    void SetProgress(int done, int total) override;
    bool Closing() const override;

private:
    bool OnWindowThread() const;
    // Runs op(window) on the window's thread and returns its result; R{} once the window is
    // closing or gone.
    template <typename R, typename Op>
    R Call(Op op);
    // From a worker: posts start(window, reply) to the window's thread, where it fulfils the
    // reply at once or later, and waits for it. R{} when the window is closing or gone, or
    // when the call or the reply is dropped unfulfilled.
    template <typename R, typename Start>
    R FromWorker(Start start);

    QPointer<MainWindow> window_;
    QThread* windowThread_;
    std::shared_ptr<const StopSignal> closing_;
};

}  // namespace tarvex
