#pragma once
// What the window's actions (log-in, lookup, extraction, export; window_actions.h) need of the
// main window: its controls by name, the log, notices and the responsive wait. The window
// implements it over its widgets (window_controls.h); the actions stay free of any widget code.
//
// All texts are narrow, in the code page of the process (see codepage.h).

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvex {

// The controls the actions read or change, by their role. The window maps each to its control
// (编辑框1, 组合框1, ...) in one table, in app/window_controls.cpp.
enum class Control {
    Server,            // server name
    User,              // user name
    Password,          // password
    Database,          // restored database name
    Year,              // fiscal year
    UnitCode,          // unit code of the chosen account set
    AccountSetNumber,  // account-set number of the chosen account set
    Log,               // the progress log
    AccountSetChooser, // account-set chooser (its text field)
    Status,            // status line
    WindowsLogin,      // check box: log in as this computer's Windows user
};

// Notice styles: an OK button only, or with the exclamation icon.
inline constexpr int kNoticePlain = 0;
inline constexpr int kNoticeExclamation = 48;

class Window {
public:
    virtual ~Window() = default;

    // Each of these may be called from any thread. Called from a worker, the operation is
    // carried out on the window's thread while the worker waits. Once the window is closing,
    // they do nothing, reads give empty texts and notices return at once.
    // A character that the code page of the process cannot hold reads as '?'; `unheld`, when
    // given, names such characters (CodePage::Unheld) and is empty when there are none.
    virtual std::string Text(Control control, std::string* unheld = nullptr) = 0;
    virtual void SetText(Control control, std::string_view text) = 0;
    // Whether a check box is checked; false for any other control.
    virtual bool Checked(Control) { return false; }
    // Appends at the end of an edit box: caret to the end, scrolled into view, not undoable.
    virtual void AppendText(Control control, std::string_view text) = 0;
    // Replaces the items of 组合框1's list (item data 0, 1, ...); its text field stays.
    virtual void SetItems(const std::vector<std::string>& items) = 0;
    // A message box with an OK button; returns when the user has closed it. Without a caption
    // it carries "信息：". From the window's thread it blocks the window; from a worker it
    // blocks only that worker.
    virtual int ShowNotice(std::string_view text, int style, std::optional<std::string_view> caption = std::nullopt) = 0;
    // A question with Yes and No, No the default, captioned "请确认"; true when the user chose
    // Yes. Blocks as ShowNotice does; false once the window is closing.
    virtual bool AskYesNo(std::string_view text) = 0;
    // Waits interval × unit (0 ms, 1 s, 2 min, 3 h) while the calling thread keeps handling its
    // own events.
    virtual void ResponsiveWait(int interval, int unit = 0) = 0;
    // The window as the window system names it (an HWND on Windows), to own the dialog a driver
    // may show during the log-in; null where no driver shows one.
    virtual void* LoginDialogOwner() = 0;
    // Enables or disables the three action buttons 按钮1, 按钮4 and 按钮2.
    virtual void SetActionsEnabled(bool enabled) = 0;
    // The extraction's progress bar: `done` of `total` copies; total 0 empties it.
    virtual void SetProgress(int done, int total) = 0;
    virtual bool Closing() const = 0;
};

}  // namespace tarvex
