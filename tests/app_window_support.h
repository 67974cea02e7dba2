#pragma once
// Shared by the window tests: a shown, active main window, its controls by name, and real key
// and mouse input.

#include <QApplication>
#include <QTest>
#include <QWindow>

#include <gtest/gtest.h>

#include <string>

#include "codepage.h"
#include "main_window.h"

namespace apptest {

// A UTF-8 text in the code page of the process, as the window port hands texts over.
inline std::string CodePageText(const char* utf8) { return tarvex::CodePage::Process().FromUtf8(utf8); }

// A hang guard for waits on the event loop; never a measure of speed.
inline constexpr int kGuardMs = 20000;

class ShownWindow : public ::testing::Test {
protected:
    void SetUp() override {
        window.ShowCentred();
        window.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    }

    template <typename T = QWidget>
    T* Get(const char* name) {
        T* widget = window.findChild<T*>(QString::fromUtf8(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }

    // A key as the window system delivers it: to the focused control, through the window.
    void Key(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QTest::keyClick(window.windowHandle(), key, modifiers);
    }
    // Typed text, Chinese included, into the focused control.
    void Type(const char* utf8) {
        for (const QChar c : QString::fromUtf8(utf8))
            QTest::sendKeyEvent(QTest::Click, QApplication::focusWidget(), Qt::Key_unknown, QString(c), Qt::NoModifier);
    }

    QString FocusedName() const {
        QWidget* focused = QApplication::focusWidget();
        return focused ? focused->objectName() : QString();
    }

    tarvex::MainWindow window;
};

}  // namespace apptest
