#pragma once
// Whole actions through the real window (headless), the real driver and a stand-in server
// with the sample database: a shown window bound to its actions, the stand-in reached as the
// window's default server ".", and a catcher that answers the notices as a user would.

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "actions.h"
#include "codepage.h"
#include "main_window.h"
#include "odbcdb.h"
#include "standin_process.h"

namespace flowtest {

// A hang guard, never a measure of speed.
inline constexpr int kGuardMs = 60000;

inline QString U(const char* utf8) { return QString::fromUtf8(utf8); }

struct Notice {
    QString caption;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
};

// Answers every notice with OK as soon as it shows, and keeps what it said.
class NoticeCatcher {
public:
    NoticeCatcher() {
        timer_.setInterval(10);
        QObject::connect(&timer_, &QTimer::timeout, [this] { Answer(); });
        timer_.start();
    }
    // The window to activate again once a notice is closed, as the window system does.
    void SetWindow(QWidget* window) { window_ = window; }
    const std::vector<Notice>& Seen() const { return seen_; }
    // How questions (Yes and No) are answered from now on, and after how long; No at once at first.
    void AnswerQuestionsWith(bool yes, int afterMs = 0) {
        yes_ = yes;
        questionDelayMs_ = afterMs;
    }
    // Waits for the next notice after the ones seen so far.
    Notice Next(int guardMs = kGuardMs) {
        const std::size_t before = taken_;
        EXPECT_TRUE(QTest::qWaitFor([&] { return seen_.size() > before; }, guardMs)) << "no notice came";
        return seen_.size() > before ? seen_[taken_++] : Notice{};
    }

private:
    void Answer() {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* box = qobject_cast<QMessageBox*>(w);
            if (!box || !box->isVisible() || box->property("answered").toBool()) continue;
            box->setProperty("answered", true);
            seen_.push_back({box->windowTitle(), box->text(), box->icon()});
            QTimer::singleShot(box->button(QMessageBox::Ok) ? 0 : questionDelayMs_, box, [this, box] {
                if (QAbstractButton* ok = box->button(QMessageBox::Ok)) ok->click();
                else box->button(yes_ ? QMessageBox::Yes : QMessageBox::No)->click();
                if (window_) window_->activateWindow();
            });
        }
    }
    QTimer timer_;
    QPointer<QWidget> window_;
    std::vector<Notice> seen_;
    std::size_t taken_ = 0;
    bool yes_ = false;
    int questionDelayMs_ = 0;
};

class FlowTest : public ::testing::Test {
protected:
    // Options of the stand-in; a test may change them in its constructor.
    testsupport::StandinProcess::Options standinOptions;
    // The pause between the steps of the extraction and the export; short unless a test
    // wants the real one.
    int pauseMilliseconds = 20;

    void SetUp() override {
        testsupport::UsePrivateOdbcConfig();
        standin = std::make_unique<testsupport::StandinProcess>(standinOptions);
        standin->ExportTdsPort();
        backupDirectory = std::filesystem::temp_directory_path() /
                          ("tarvex-flow-" + std::to_string(::getpid()) + "-" + std::to_string(standin->Port()));
        std::filesystem::create_directories(backupDirectory);
        window = std::make_unique<tarvex::MainWindow>();
        tarvex::BindActions(*window, {pauseMilliseconds, backupDirectory.string()});
        notices.SetWindow(window.get());
        window->ShowCentred();
        window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    }

    void TearDown() override {
        if (window && window->isVisible()) window->close();
        EXPECT_TRUE(QTest::qWaitFor([&] { return !window || !window->isVisible(); }, kGuardMs));
        window.reset();
        own.CloseDatabase();
        standin.reset();
        std::error_code ignored;
        std::filesystem::remove_all(backupDirectory, ignored);
    }

    template <typename T = QWidget>
    T* Get(const char* name) {
        T* widget = window->findChild<T*>(U(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }

    void Click(const char* button) { QTest::mouseClick(Get<QPushButton>(button), Qt::LeftButton); }

    // Replaces the text of an input as a user would: select all, type.
    void Type(const char* input, const char* utf8) {
        auto* edit = Get<QLineEdit>(input);
        edit->setFocus(Qt::MouseFocusReason);
        edit->selectAll();
        QTest::keyClick(edit, Qt::Key_Delete);
        for (const QChar c : U(utf8)) QTest::sendKeyEvent(QTest::Click, edit, Qt::Key_unknown, QString(c), Qt::NoModifier);
    }

    QString Log() { return Get<QPlainTextEdit>("编辑框8")->toPlainText(); }
    QStringList LogLines() { return Log().split('\n', Qt::SkipEmptyParts); }
    QString Text(const char* input) { return Get<QLineEdit>(input)->text(); }

    // A click into the chooser's text field: the keyboard focus enters it.
    void FocusChooser() {
        auto* combo = Get<QComboBox>("组合框1");
        QTest::mouseClick(combo->lineEdit(), Qt::LeftButton);
    }
    // The focus moves away from the chooser, to the year input.
    void LeaveChooser() { QTest::mouseClick(Get<QLineEdit>("编辑框5"), Qt::LeftButton); }

    QStringList ChooserItems() {
        auto* combo = Get<QComboBox>("组合框1");
        QStringList items;
        for (int i = 0; i < combo->count(); ++i) items << combo->itemText(i);
        return items;
    }
    // Opens the chooser's list and confirms the item with this text, as a user would.
    void Choose(const char* utf8) {
        auto* combo = Get<QComboBox>("组合框1");
        const int row = combo->findText(U(utf8));
        ASSERT_GE(row, 0) << utf8;
        combo->showPopup();
        ASSERT_TRUE(QTest::qWaitFor([&] { return combo->view()->isVisible(); }, kGuardMs));
        combo->view()->setCurrentIndex(combo->model()->index(row, 0));
        QTest::keyClick(combo->view(), Qt::Key_Return);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !combo->view()->isVisible(); }, kGuardMs));
        // The window system gives the window back its activation once the list has closed;
        // the offscreen platform leaves that to the test.
        window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    }

    // Logs in with what the inputs hold and answers the notice; returns it.
    Notice LogIn() {
        Click("按钮1");
        return notices.Next();
    }

    // Runs a statement (UTF-8) on a connection of the test's own, beside the window's. A USE
    // that is to last must go directly: as a prepared statement it ends with its call.
    bool Sql(const std::string& utf8, tarvex::Execution execution = tarvex::Execution::Prepared) {
        const tarvex::CodePage cp = tarvex::CodePage::Process();
        if (!own.IsOpen()) {
            EXPECT_TRUE(own.NewOpenDatabase(cp.FromUtf8("DRIVER=SQL Server;SERVER=.;UID=sa;PWD=" + standinOptions.password +
                                                         ";DATABASE=2016年乡镇数据采集")))
                << own.LastError().Describe();
        }
        const bool ok = own.ExecuteSql(cp.FromUtf8(utf8), tarvex::Timeout::None(), execution);
        EXPECT_TRUE(ok) << utf8 << ": " << own.LastError().Describe();
        return ok;
    }

    // Statements the stand-in received whose text contains `part`.
    int StatementsWith(const std::string& part) {
        int n = 0;
        for (const std::string& s : standin->Statements()) n += s.find(part) != std::string::npos;
        return n;
    }

    tarvex::ODBCDB own;  // the test's own connection beside the window's
    std::unique_ptr<testsupport::StandinProcess> standin;
    std::filesystem::path backupDirectory;
    std::unique_ptr<tarvex::MainWindow> window;
    NoticeCatcher notices;
};

}  // namespace flowtest
