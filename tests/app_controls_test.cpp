// The window's side of the actions' port: texts, the log, the chooser's items, notices, and
// what workers see of all of it, closing included.
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QRegularExpression>
#include <QPushButton>
#include <QScrollBar>
#include <QTextBlock>
#include <QTimer>

#include <atomic>
#include <future>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app_window_support.h"
#include "window_controls.h"
#include "workers.h"

using apptest::CodePageText;
using apptest::kGuardMs;
using tarvex::Control;

namespace {

class WindowTexts : public apptest::ShownWindow {
protected:
    tarvex::WindowControls controls{window};
};
class WindowLog : public WindowTexts {
protected:
    QPlainTextEdit* Log() { return Get<QPlainTextEdit>("编辑框8"); }
};
class WindowNotices : public WindowTexts {
protected:
    std::vector<QMessageBox*> OpenNotices() {
        std::vector<QMessageBox*> open;
        for (QMessageBox* box : window.findChildren<QMessageBox*>()) {
            if (box->isVisible()) open.push_back(box);
        }
        return open;
    }
};
class ClosingWithWorkers : public WindowNotices {};

// Runs `body` on a worker of the window and reports when it has ended.
std::future<void> OnWorker(tarvex::MainWindow& window, std::function<void()> body) {
    auto ended = std::make_shared<std::promise<void>>();
    std::future<void> result = ended->get_future();
    EXPECT_TRUE(tarvex::StartWorkerThread(window, [body = std::move(body), ended] {
        body();
        ended->set_value();
    }));
    return result;
}

bool Ended(const std::future<void>& worker) {
    return worker.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
}

TEST_F(WindowTexts, TravelInTheProcessCodePage) {
    EXPECT_EQ(controls.Text(Control::Database), CodePageText("2016年乡镇数据采集"));
    if (tarvex::CodePage::Process().Name() == "GBK") {
        EXPECT_EQ(controls.Text(Control::Database), "2016\xC4\xEA\xCF\xE7\xD5\xF2\xCA\xFD\xBE\xDD\xB2\xC9\xBC\xAF");
    }
    controls.SetText(Control::UnitCode, CodePageText("单位001"));
    EXPECT_EQ(Get<QLineEdit>("编辑框6")->text(), QString::fromUtf8("单位001"));
    controls.SetText(Control::AccountSetChooser, CodePageText("演示账套"));
    EXPECT_EQ(controls.Text(Control::AccountSetChooser), CodePageText("演示账套"));
    controls.SetText(Control::Status, CodePageText("当前整理账套：演示账套"));
    EXPECT_EQ(Get<QLabel>("标签9")->text(), QString::fromUtf8("当前整理账套：演示账套"));
    EXPECT_EQ(controls.Text(Control::Password), "1");
}

// What GBK cannot hold reads as '?' and is named, so that no action sends the '?' for it.
TEST_F(WindowTexts, CharactersTheCodePageCannotHoldAreNamed) {
    Get<QLineEdit>("编辑框5")->setText(QString::fromUtf8("2016😀年𠀾"));
    std::string unheld = "x";
    const std::string text = controls.Text(Control::Year, &unheld);
    if (tarvex::CodePage::Process().Name() == "GBK") {
        EXPECT_EQ(unheld, "U+1F600 U+2003E");
        EXPECT_EQ(text, "2016?\xC4\xEA?");
    } else {
        EXPECT_EQ(unheld, "");
        EXPECT_EQ(text, CodePageText("2016😀年𠀾"));
    }
}

TEST_F(WindowTexts, WorkersReadAndChangeControlsThroughTheWindowsThread) {
    std::string year, log;
    auto worker = OnWorker(window, [&] {
        year = controls.Text(Control::Year);
        controls.SetText(Control::AccountSetNumber, "002");
        controls.AppendText(Control::Log, CodePageText("正在整理GL_BZ表......\r\n"));
        controls.SetItems({"x", "y"});
        controls.SetProgress(3, 34);
        log = controls.Text(Control::Log);
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return Ended(worker); }, kGuardMs));
    EXPECT_EQ(year, "2016");
    EXPECT_EQ(log, CodePageText("正在整理GL_BZ表......\r\n"));
    EXPECT_EQ(Get<QLineEdit>("编辑框7")->text(), QStringLiteral("002"));
    EXPECT_EQ(Get<QComboBox>("组合框1")->count(), 2);
    auto* bar = Get<QProgressBar>("进度条1");
    EXPECT_EQ(bar->value(), 3);
    EXPECT_EQ(bar->maximum(), 34);
    EXPECT_TRUE(bar->isTextVisible());
    controls.SetProgress(0, 0);
    EXPECT_EQ(bar->value(), 0);
    EXPECT_FALSE(bar->isTextVisible());
}

TEST_F(WindowLog, AppendsAtTheEndLeavingTheUsersSelectionAsText) {
    controls.AppendText(Control::Log, "line one\r\n");
    controls.AppendText(Control::Log, "line two\r\n");
    QTextCursor selection = Log()->textCursor();
    selection.setPosition(2);
    selection.setPosition(7, QTextCursor::KeepAnchor);  // "ne on" selected by the user
    Log()->setTextCursor(selection);
    controls.AppendText(Control::Log, "three\r\n");
    EXPECT_EQ(controls.Text(Control::Log), "line one\r\nline two\r\nthree\r\n");
    const QTextCursor caret = Log()->textCursor();
    EXPECT_FALSE(caret.hasSelection());
    EXPECT_EQ(caret.position(), Log()->document()->characterCount() - 1);
    // The append is not an edit that undo takes back.
    Log()->undo();
    EXPECT_EQ(controls.Text(Control::Log), "line one\r\nline two\r\nthree\r\n");
}

TEST_F(WindowLog, EmptyTextMovesTheCaretAndPiecesJoinIntoOneLine) {
    controls.AppendText(Control::Log, "abc");
    controls.AppendText(Control::Log, "def\r\n");
    EXPECT_EQ(controls.Text(Control::Log), "abcdef\r\n");
    EXPECT_EQ(Log()->document()->blockCount(), 2);  // one line, and the empty one after its break

    QTextCursor caret = Log()->textCursor();
    caret.setPosition(1);
    Log()->setTextCursor(caret);
    controls.AppendText(Control::Log, "");
    EXPECT_EQ(controls.Text(Control::Log), "abcdef\r\n");
    EXPECT_EQ(Log()->textCursor().position(), 7);
}

TEST_F(WindowLog, TheNewestLineIsInViewAndTypedTextStays) {
    Log()->setFocus();
    Type("typed by the user");
    for (int i = 0; i < 60; ++i) controls.AppendText(Control::Log, "line " + std::to_string(i) + "\r\n");
    EXPECT_GT(Log()->verticalScrollBar()->value(), 0);
    EXPECT_TRUE(Log()->viewport()->rect().contains(Log()->cursorRect()));
    EXPECT_EQ(controls.Text(Control::Log).rfind("typed by the userline 0\r\nline 1\r\n", 0), 0u);
    controls.SetText(Control::Log, "a\r\nb");
    EXPECT_EQ(Log()->document()->blockCount(), 2);
    EXPECT_EQ(controls.Text(Control::Log), "a\r\nb");
}

TEST_F(WindowNotices, DefaultCaptionAndStylesBlockTheWindowFromItsOwnThread) {
    struct Seen {
        QString caption, text;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        int buttons = 0;
    };
    int logins = 0;
    tarvex::MainWindow::Handlers handlers;
    handlers.login = [&] { ++logins; };
    window.SetHandlers(handlers);
    const QPoint loginButton = Get("按钮1")->mapTo(&window, QPoint(5, 5));
    const auto showAndRead = [&](auto show) {
        Seen seen;
        QTimer::singleShot(0, &window, [&] {
            ASSERT_TRUE(QTest::qWaitFor([&] { return !OpenNotices().empty(); }, kGuardMs));
            QMessageBox* box = OpenNotices().front();
            seen = Seen{box->windowTitle(), box->text(), box->icon(), static_cast<int>(box->buttons().size())};
            // A click on the window reaches nothing while the notice is open.
            QTest::mouseClick(window.windowHandle(), Qt::LeftButton, {}, loginButton);
            QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
        });
        EXPECT_EQ(show(), 1);
        return seen;
    };
    Seen plain = showAndRead([&] { return controls.ShowNotice(CodePageText("代码执行完毕！"), tarvex::kNoticePlain); });
    EXPECT_EQ(plain.caption, QString::fromUtf8("信息："));
    EXPECT_EQ(plain.text, QString::fromUtf8("代码执行完毕！"));
    EXPECT_EQ(plain.icon, QMessageBox::NoIcon);
    EXPECT_EQ(plain.buttons, 1);
    EXPECT_EQ(logins, 0);
    QTest::mouseClick(window.windowHandle(), Qt::LeftButton, {}, loginButton);
    EXPECT_EQ(logins, 1);  // and does once it is closed

    Seen warning = showAndRead(
        [&] { return controls.ShowNotice(CodePageText("导出失败！请重试"), tarvex::kNoticeExclamation, CodePageText("失败")); });
    EXPECT_EQ(warning.caption, QString::fromUtf8("失败"));
    EXPECT_EQ(warning.icon, QMessageBox::Warning);
}

// The toolkit's buttons are in Chinese like the rest of the window: a notice's and a question's.
TEST_F(WindowNotices, ButtonsSayWhatTheUsersSystemSays) {
    const auto buttonsOf = [&](const std::function<void()>& show) {
        std::set<std::string> texts;  // UTF-8, without the mnemonic
        QTimer::singleShot(0, &window, [&] {
            ASSERT_TRUE(QTest::qWaitFor([&] { return !OpenNotices().empty(); }, kGuardMs));
            const QList<QAbstractButton*> buttons = OpenNotices().front()->buttons();
            for (QAbstractButton* button : buttons)
                texts.insert(button->text().remove(QRegularExpression("\\(&.\\)|&")).toStdString());
            buttons.front()->click();
        });
        show();
        return texts;
    };
    EXPECT_EQ(buttonsOf([&] { controls.ShowNotice("a", tarvex::kNoticePlain); }), std::set<std::string>{"确定"});
    EXPECT_EQ(buttonsOf([&] { controls.AskYesNo("b"); }), (std::set<std::string>{"是", "否"}));
}

TEST_F(WindowNotices, NoticesFromWorkersLeaveTheWindowUsableAndCanBeOpenTogether) {
    int logins = 0;
    tarvex::MainWindow::Handlers handlers;
    handlers.login = [&] { ++logins; };
    window.SetHandlers(handlers);
    std::atomic<int> answers{0};
    auto first = OnWorker(window, [&] { answers += controls.ShowNotice("one", tarvex::kNoticePlain); });
    auto second = OnWorker(window, [&] { answers += controls.ShowNotice("two", tarvex::kNoticeExclamation); });
    ASSERT_TRUE(QTest::qWaitFor([&] { return OpenNotices().size() == 2; }, kGuardMs));
    for (QMessageBox* box : OpenNotices()) {
        EXPECT_EQ(box->windowTitle(), QString::fromUtf8("信息："));
        EXPECT_FALSE(box->isModal());
    }

    QTest::mouseClick(Get("按钮1"), Qt::LeftButton);
    EXPECT_EQ(logins, 1);
    controls.AppendText(Control::Log, "still here\r\n");
    EXPECT_FALSE(Ended(first));
    EXPECT_FALSE(Ended(second));

    for (QMessageBox* box : OpenNotices()) QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return Ended(first) && Ended(second); }, kGuardMs));
    EXPECT_EQ(answers, 2);
}

TEST_F(ClosingWithWorkers, AWorkerWaitingOnTheWindowEndsAndTheWindowCloses) {
    int hookCalls = 0;
    window.SetClosingHook([&] { ++hookCalls; });
    std::atomic<bool> waited{false}, noticeReturned{false};
    std::string textAfter = "unset";
    auto waiting = OnWorker(window, [&] {
        controls.ResponsiveWait(1, 3);  // an hour, unless the window closes
        waited = true;
        textAfter = controls.Text(Control::Server);
        controls.AppendText(Control::Log, "after closing\r\n");
    });
    auto noticing = OnWorker(window, [&] {
        EXPECT_EQ(controls.ShowNotice("open while closing", tarvex::kNoticePlain), 0);
        noticeReturned = true;
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return OpenNotices().size() == 1; }, kGuardMs));

    Get("编辑框8")->setFocus();
    Key(Qt::Key_Escape);
    EXPECT_TRUE(window.Closing());
    EXPECT_TRUE(controls.Closing());
    EXPECT_EQ(hookCalls, 1);
    EXPECT_FALSE(tarvex::StartWorkerThread(window, [] {}));
    ASSERT_TRUE(QTest::qWaitFor([&] { return Ended(waiting) && Ended(noticing); }, kGuardMs));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !window.isVisible(); }, kGuardMs));
    EXPECT_TRUE(waited);
    EXPECT_TRUE(noticeReturned);
    EXPECT_EQ(textAfter, "");
    EXPECT_EQ(Get<QPlainTextEdit>("编辑框8")->toPlainText(), QString());
    EXPECT_EQ(window.Workers().Running(), 0);
    EXPECT_EQ(hookCalls, 1);
}

TEST(WindowGone, OperationsAfterTheWindowIsGoneDoNothing) {
    std::optional<tarvex::WindowControls> controls;
    {
        tarvex::MainWindow window;
        controls.emplace(window);
    }
    EXPECT_TRUE(controls->Closing());
    std::string text = "unset";
    std::thread worker([&] {
        text = controls->Text(Control::Server);
        controls->SetItems({"a"});
        EXPECT_EQ(controls->ShowNotice("gone", 0), 0);
        controls->ResponsiveWait(1, 3);
    });
    worker.join();
    EXPECT_EQ(text, "");
    EXPECT_EQ(controls->Text(Control::Server), "");
}

}  // namespace
