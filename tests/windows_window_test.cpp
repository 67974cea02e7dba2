// The window of the Windows program under wine (on a private X server): what it takes from
// Windows itself, the system's GUI font, and the toolkit's texts built into it.

#include <windows.h>

#include <QApplication>
#include <QFontInfo>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <gtest/gtest.h>

#include <memory>
#include <type_traits>
#include <utility>

#include "main_window.h"
#include "window_controls.h"

namespace {

// What the system draws its default GUI font with: the face the screen realizes for the stock
// font, and its character height in pixels.
std::pair<QString, int> SystemGuiFont() {
    const auto release = [](HDC dc) { ReleaseDC(nullptr, dc); };
    const std::unique_ptr<std::remove_pointer_t<HDC>, decltype(release)> screen(GetDC(nullptr), release);
    SelectObject(screen.get(), GetStockObject(DEFAULT_GUI_FONT));  // a stock object: nothing to give back
    wchar_t face[LF_FACESIZE] = {};
    TEXTMETRICW metrics{};
    GetTextFaceW(screen.get(), LF_FACESIZE, face);
    GetTextMetricsW(screen.get(), &metrics);
    return {QString::fromWCharArray(face), metrics.tmHeight - metrics.tmInternalLeading};
}

TEST(WindowsWindow, ControlsWithoutAFontOfTheirOwnUseTheSystemsDefaultGuiFont) {
    const auto [face, height] = SystemGuiFont();
    tarvex::MainWindow window;
    const QFontInfo used(window.findChild<QLabel*>(QString::fromUtf8("标签1"))->font());
    EXPECT_EQ(used.family().toStdString(), face.toStdString());
    EXPECT_EQ(used.pixelSize(), height);
}

TEST(WindowsWindow, ANoticesButtonIsInChinese) {
    tarvex::MainWindow window;
    tarvex::WindowControls controls(window);
    window.show();
    QString button;
    QTimer::singleShot(0, &window, [&] {
        for (QMessageBox* box : window.findChildren<QMessageBox*>()) {
            button = box->buttons().front()->text();
            box->buttons().front()->click();
        }
    });
    controls.ShowNotice("a", tarvex::kNoticePlain);
    EXPECT_EQ(button.toStdString(), "确定");
}

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    QApplication application(argc, argv);
    return RUN_ALL_TESTS();
}
