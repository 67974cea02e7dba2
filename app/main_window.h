#pragma once
// The main window 启动窗口: every control at its place with its texts, fonts and colours, the
// keys the window handles itself, the five events it routes to the actions, and closing.
//
// Closing (Esc, the close button, Alt+F4) is neither confirmed nor vetoed. The window enters its
// closing state at once: waits end, control operations from workers do nothing, notices shown
// by workers are closed, no further worker starts, the connection object cancels its running
// statement and fails queued work, and the closing hook runs. The window, disabled, then stays
// until its workers have ended and been joined, at most kClosingBound, and closes. After the
// event loop, EndThreads joins the database thread (bounded too); StartUp ends the process at
// once when a thread has outlived its bound (see startup.h).

#include <QPointer>
#include <QTranslator>
#include <QWidget>

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

#include "database.h"
#include "event_pump.h"
#include "responsive_wait.h"
#include "workers.h"

class QCloseEvent;
class QComboBox;
class QPlainTextEdit;
class QPushButton;

namespace tarvex {

class MainWindow : public QWidget {
public:
    // The five events of the window. Each runs on the window's thread; empty ones do nothing.
    struct Handlers {
        std::function<void()> login;             // click of 按钮1
        std::function<void()> startExtraction;   // click of 按钮4
        std::function<void()> exportAndCleanUp;  // click of 按钮2
        std::function<void()> comboFocused;      // 组合框1 gets the keyboard focus
        std::function<void()> comboSelected;     // the user confirmed an item of 组合框1's list
    };

    static constexpr std::chrono::seconds kClosingBound{10};

    MainWindow();
    ~MainWindow() override;

    void SetHandlers(Handlers handlers);
    // Click of the batch button 批量转换…, which is enabled once a log-in has succeeded.
    void SetBatchHandler(std::function<void()> handler);
    // Click of 还原数据库…, enabled from the start (restoring comes first) and with the actions.
    void SetRestoreHandler(std::function<void()> handler);
    void SetLoggedIn(bool loggedIn);
    void SetClosingHook(std::function<void()> hook);

    // Enables or disables the three action buttons. A button that had the focus when they were
    // disabled gets it back when they are enabled again, unless the user has moved it meanwhile.
    void SetActionsEnabled(bool enabled);

    // Shows the window centred on its screen, its outer frame 522 × 588.
    void ShowCentred();

    // The window's connection object: the database thread that owns the one connection.
    Database& 外部数据库1() { return 外部数据库1_; }

    bool Closing() const { return closing_->IsSet(); }
    // Set when closing begins; it ends every wait given it.
    std::shared_ptr<const StopSignal> ClosingSignal() const { return closing_; }
    WorkerThreads& Workers() { return workers_; }
    const WorkerThreads& Workers() const { return workers_; }

    // After the event loop: begins closing if the loop ended without a close, and joins the
    // database thread, at most kClosingBound. True when no thread of the window's is left: the
    // workers have ended and been joined, and so has the database thread.
    bool EndThreads();

protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    struct Controls;
    // Build creates the controls, in the steps after it and in their order.
    void Build();
    void BuildFields(Controls& controls);
    void BuildLogStatusAndHelp(Controls& controls);
    void BuildProgressAndDialogButtons(Controls& controls);
    void OrderControls(const Controls& controls);
    void ConnectControls(const Controls& controls);
    void FilterEvents();
    void FitFrame();
    void MoveFocus(bool forward);
    bool IsComboEntry(const QFocusEvent& focusIn) const;
    bool IsChoosing(QObject* watched, const QEvent& event) const;
    void BeginClosing();

    QTranslator toolkitTexts_;  // the toolkit's own texts in Chinese while the window exists
    QtEventPump pump_;
    Database 外部数据库1_{&pump_};  // shut down when closing begins, destroyed before the pump
    Handlers handlers_;
    std::function<void()> closingHook_;
    std::vector<QWidget*> tabOrder_;
    std::vector<QPushButton*> actionButtons_;  // 按钮1, 按钮4, 按钮2
    QPushButton* batchButton_ = nullptr;       // owned as a child
    std::function<void()> batchHandler_;
    QPushButton* restoreButton_ = nullptr;     // owned as a child
    std::function<void()> restoreHandler_;
    bool loggedIn_ = false;
    // While the buttons are disabled: the one that had the focus, and where the toolkit moved it.
    QPointer<QWidget> focusedButton_;
    QPointer<QWidget> focusMovedTo_;
    QComboBox* combo_ = nullptr;     // 组合框1, owned as a child
    QPlainTextEdit* log_ = nullptr;  // 编辑框8, owned as a child
    std::shared_ptr<StopSignal> closing_ = std::make_shared<StopSignal>();
    WorkerThreads workers_;  // joined before the database and the pump go
    bool closingBoundPassed_ = false;
    // Whether, since the combo box lost the focus, only a popup (its own list) had the focus.
    bool comboAwayInPopupOnly_ = false;
    // Set while the event loop handles input with which the user chooses an item of the list.
    bool userChoosing_ = false;
};

}  // namespace tarvex
