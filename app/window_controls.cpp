#include "window_controls.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTextCursor>
#include <QThread>

#include <algorithm>
#include <future>

#include "narrow_text.h"
#include "native_window.h"

namespace tarvex {
namespace {

const char* NameOf(Control control) {
    switch (control) {
        case Control::Server: return "编辑框1";
        case Control::User: return "编辑框2";
        case Control::Password: return "编辑框3";
        case Control::Database: return "编辑框4";
        case Control::Year: return "编辑框5";
        case Control::UnitCode: return "编辑框6";
        case Control::AccountSetNumber: return "编辑框7";
        case Control::Log: return "编辑框8";
        case Control::AccountSetChooser: return "组合框1";
        case Control::Status: return "标签9";
        case Control::WindowsLogin: return "选择框1";
    }
    return "";
}

template <typename T>
T* Find(MainWindow& window, const char* name) {
    return window.findChild<T*>(QString::fromUtf8(name));
}

// The toolkit keeps lines apart with "\n"; the actions' texts use "\r\n".
QString WithLineFeeds(QString text) { return text.replace(QStringLiteral("\r\n"), QStringLiteral("\n")); }

QString ControlText(MainWindow& window, Control control) {
    QWidget* widget = Find<QWidget>(window, NameOf(control));
    if (auto* edit = qobject_cast<QLineEdit*>(widget)) return edit->text();
    if (auto* log = qobject_cast<QPlainTextEdit*>(widget))
        return log->toPlainText().replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    if (auto* combo = qobject_cast<QComboBox*>(widget)) return combo->currentText();
    if (auto* label = qobject_cast<QLabel*>(widget)) return label->text();
    return {};
}

void SetControlText(MainWindow& window, Control control, const QString& text) {
    QWidget* widget = Find<QWidget>(window, NameOf(control));
    if (auto* edit = qobject_cast<QLineEdit*>(widget)) edit->setText(text);
    else if (auto* log = qobject_cast<QPlainTextEdit*>(widget)) log->setPlainText(WithLineFeeds(text));
    else if (auto* combo = qobject_cast<QComboBox*>(widget)) combo->setEditText(text);
    else if (auto* label = qobject_cast<QLabel*>(widget)) label->setText(text);
}

// Caret to the end with nothing selected, scrolled there, then the text inserted as an edit
// that undo does not record (as in the system's edit boxes, the undo history starts afresh).
void AppendToControl(MainWindow& window, Control control, const QString& text) {
    QWidget* widget = Find<QWidget>(window, NameOf(control));
    if (auto* log = qobject_cast<QPlainTextEdit*>(widget)) {
        QTextCursor cursor = log->textCursor();
        cursor.movePosition(QTextCursor::End);
        log->setTextCursor(cursor);
        log->ensureCursorVisible();
        QTextDocument* document = log->document();
        document->setUndoRedoEnabled(false);
        cursor.insertText(WithLineFeeds(text));
        document->setUndoRedoEnabled(true);
        log->setTextCursor(cursor);
        log->ensureCursorVisible();
    } else if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
        edit->setText(edit->text() + text);
        edit->end(false);
    } else {
        SetControlText(window, control, ControlText(window, control) + text);
    }
}

// A notice box of the window's, deleted once closed. Style 48 adds the exclamation icon.
QMessageBox* NewNotice(MainWindow& window, const QString& text, int style, const QString& caption) {
    auto* box = new QMessageBox(style == kNoticeExclamation ? QMessageBox::Warning : QMessageBox::NoIcon, caption,
                                WithLineFeeds(text), QMessageBox::Ok, &window);
    box->setTextFormat(Qt::PlainText);
    box->setAttribute(Qt::WA_DeleteOnClose);
    return box;
}

constexpr int kNoticeClosedByUser = 1;  // the OK button's number
const char* const kDefaultCaption = "信息：";

}  // namespace

WindowControls::WindowControls(MainWindow& window)
    : window_(&window), windowThread_(window.thread()), closing_(window.ClosingSignal()) {}

bool WindowControls::OnWindowThread() const { return QThread::currentThread() == windowThread_; }

bool WindowControls::Closing() const { return closing_->IsSet(); }

template <typename R, typename Start>
R WindowControls::FromWorker(Start start) {
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr) return R{};
    auto reply = std::make_shared<std::promise<R>>();
    std::future<R> result = reply->get_future();
    QMetaObject::invokeMethod(
        app,
        [reply, window = window_, closing = closing_, start = std::move(start)] {
            if (window && !closing->IsSet()) start(*window, reply);
            else reply->set_value(R{});
        },
        Qt::QueuedConnection);
    try {
        return result.get();
    } catch (const std::future_error&) {  // dropped unrun, or the reply's keeper went away
        return R{};
    }
}

template <typename R, typename Op>
R WindowControls::Call(Op op) {
    if (Closing()) return R{};
    if (OnWindowThread()) return window_ ? op(*window_) : R{};
    return FromWorker<R>([op = std::move(op)](MainWindow& window, const std::shared_ptr<std::promise<R>>& reply) {
        reply->set_value(op(window));
    });
}

std::string WindowControls::Text(Control control, std::string* unheld) {
    const QString text = Call<QString>([control](MainWindow& w) { return ControlText(w, control); });
    if (unheld) *unheld = UnheldCharacters(text);
    return ToNarrow(text);
}

bool WindowControls::Checked(Control control) {
    return Call<bool>([control](MainWindow& w) {
        const auto* box = Find<QCheckBox>(w, NameOf(control));
        return box != nullptr && box->isChecked();
    });
}

void WindowControls::SetText(Control control, std::string_view text) {
    Call<bool>([control, text = ToQString(text)](MainWindow& w) {
        SetControlText(w, control, text);
        return true;
    });
}

void WindowControls::AppendText(Control control, std::string_view text) {
    Call<bool>([control, text = ToQString(text)](MainWindow& w) {
        AppendToControl(w, control, text);
        return true;
    });
}

void WindowControls::SetItems(const std::vector<std::string>& items) {
    QStringList texts;
    for (const std::string& item : items) texts << ToQString(item);
    Call<bool>([texts](MainWindow& w) {
        QComboBox* combo = Find<QComboBox>(w, NameOf(Control::AccountSetChooser));
        const QString shown = combo->currentText();
        combo->clear();
        for (int i = 0; i < texts.size(); ++i) combo->addItem(texts[i], i);
        // The item the field shows, if any, is the list's current one (highlighted when dropped).
        combo->setCurrentIndex(combo->findText(shown, Qt::MatchExactly | Qt::MatchCaseSensitive));
        combo->setEditText(shown);
        return true;
    });
}

int WindowControls::ShowNotice(std::string_view text, int style, std::optional<std::string_view> caption) {
    if (Closing()) return 0;
    const QString boxText = ToQString(text);
    const QString boxCaption = caption ? ToQString(*caption) : QString::fromUtf8(kDefaultCaption);
    if (OnWindowThread()) {
        if (!window_) return 0;
        QMessageBox* box = NewNotice(*window_, boxText, style, boxCaption);
        box->setWindowModality(Qt::WindowModal);  // the window takes no input until it is closed
        return box->exec() == QMessageBox::Ok ? kNoticeClosedByUser : 0;
    }
    // From a worker: a box of its own beside the usable window; the worker waits for its answer.
    return FromWorker<int>([boxText, style, boxCaption](MainWindow& window, const std::shared_ptr<std::promise<int>>& reply) {
        QMessageBox* box = NewNotice(window, boxText, style, boxCaption);
        box->setWindowModality(Qt::NonModal);
        QObject::connect(box, &QMessageBox::finished, [reply](int answer) {
            reply->set_value(answer == QMessageBox::Ok ? kNoticeClosedByUser : 0);
        });
        box->show();
    });
}

bool WindowControls::AskYesNo(std::string_view text) {
    if (Closing() || !OnWindowThread() || !window_) return false;  // asked by the window's own actions
    QMessageBox box(QMessageBox::Question, QString::fromUtf8("请确认"), WithLineFeeds(ToQString(text)),
                    QMessageBox::Yes | QMessageBox::No, window_);
    box.setTextFormat(Qt::PlainText);
    box.setDefaultButton(QMessageBox::No);
    box.setWindowModality(Qt::WindowModal);
    return box.exec() == QMessageBox::Yes;
}

void WindowControls::ResponsiveWait(int interval, int unit) { tarvex::ResponsiveWait(interval, unit, *closing_); }

void* WindowControls::LoginDialogOwner() {
    return Call<void*>([](MainWindow& w) { return DriverDialogOwner(w); });
}

void WindowControls::SetActionsEnabled(bool enabled) {
    Call<bool>([enabled](MainWindow& w) {
        w.SetActionsEnabled(enabled);
        return true;
    });
}

void WindowControls::SetProgress(int done, int total) {
    Call<bool>([done, total](MainWindow& w) {
        QProgressBar* bar = Find<QProgressBar>(w, "进度条1");
        if (total <= 0) {
            bar->setTextVisible(false);
            bar->setValue(0);
            return true;
        }
        bar->setRange(0, total);
        bar->setValue(std::clamp(done, 0, total));
        bar->setFormat(QStringLiteral("%v / %m"));
        bar->setTextVisible(true);
        return true;
    });
}

}  // namespace tarvex
