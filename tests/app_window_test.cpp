// The main window: its controls, keys and events.
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QCheckBox>
#include <QFile>
#include <QTableView>
#include <QTemporaryDir>

#include <algorithm>
#include <vector>

#include "app_window_support.h"
#include "verify_dialog.h"
#include "window_controls.h"

using apptest::CodePageText;
using apptest::kGuardMs;
using tarvex::Control;

namespace {

struct ExpectedControl {
    const char* name;
    const char* kind;
    QRect geometry;
    const char* text;
    const char* parent;
};

const std::vector<ExpectedControl> kControls = {
    {"标签3", "QLabel", {16, 9, 72, 21}, "服务器名称：", "启动窗口"},
    {"编辑框1", "QLineEdit", {90, 8, 150, 24}, ".", "启动窗口"},
    {"标签1", "QLabel", {26, 39, 63, 21}, "用户名称：", "启动窗口"},
    {"编辑框2", "QLineEdit", {91, 36, 150, 24}, "sa", "启动窗口"},
    {"标签2", "QLabel", {48, 67, 40, 27}, "密码：", "启动窗口"},
    {"编辑框3", "QLineEdit", {91, 69, 150, 24}, "1", "启动窗口"},
    {"选择框1", "QCheckBox", {404, 8, 112, 22}, "Windows身份验证", "启动窗口"},
    {"标签5", "QLabel", {12, 99, 72, 28}, "数据库名称：", "启动窗口"},
    {"编辑框4", "QLineEdit", {91, 100, 150, 24}, "2016年乡镇数据采集", "启动窗口"},
    {"按钮1", "QPushButton", {10, 133, 72, 24}, "登录数据库", "启动窗口"},
    {"按钮4", "QPushButton", {105, 133, 59, 24}, "整理数据", "启动窗口"},
    {"按钮2", "QPushButton", {185, 132, 56, 24}, "导出数据", "启动窗口"},
    {"还原数据库按钮", "QPushButton", {342, 132, 84, 24}, "还原数据库…", "启动窗口"},
    {"核对备份按钮", "QPushButton", {256, 132, 80, 24}, "核对备份…", "启动窗口"},
    {"标签4", "QLabel", {268, 5, 64, 24}, "转换年度：", "启动窗口"},
    {"编辑框5", "QLineEdit", {337, 6, 64, 24}, "2016", "启动窗口"},
    {"标签6", "QLabel", {268, 41, 64, 16}, "转换账套：", "启动窗口"},
    {"组合框1", "QComboBox", {336, 40, 168, 20}, "", "启动窗口"},
    {"标签7", "QLabel", {264, 72, 80, 24}, "当前单位编号：", "启动窗口"},
    {"编辑框6", "QLineEdit", {352, 72, 80, 24}, "", "启动窗口"},
    {"标签8", "QLabel", {264, 104, 80, 16}, "当前账套编号：", "启动窗口"},
    {"编辑框7", "QLineEdit", {352, 102, 80, 24}, "", "启动窗口"},
    {"分组框1", "QGroupBox", {7, 162, 504, 176}, "日志", "启动窗口"},
    {"编辑框8", "QPlainTextEdit", {8, 16, 488, 152}, "", "分组框1"},
    {"分组框3", "QGroupBox", {8, 342, 504, 168}, "使用方法：", "启动窗口"},
    {"分组框2", "QGroupBox", {8, 512, 304, 38}, "", "启动窗口"},
    {"标签9", "QLabel", {10, 16, 288, 16}, "", "分组框2"},
};

const char* const kHelpText =
    "一、将被审计单位的VeltroGRP-Tarvex财务软件进行数据库备份，再将备份文件还原到审计人员电脑内。\r\n"
    "二、登陆数据库，服务器名称、用户名称、密码根据审计人员自己数据库情况输入。默认的服务器名称是本地。\r\n"
    "三、数据库名称要填写你还原的时所建立的数据库。\r\n"
    "四、填写转换年度，选择转换账套。\r\n"
    "五、根据提示，点击数据整理和导出按钮。\r\n"
    "六、使用AO现场审计系统的2202号模板即可导入。\r\n"
    "注意：本软件仅适用于导入AO现场审计系统的数据转换。";

const std::vector<const char*> kTabOrder = {"编辑框1", "编辑框2", "编辑框3", "选择框1", "按钮1", "编辑框4", "编辑框5",
                                            "组合框1", "编辑框6", "编辑框7", "按钮2", "还原数据库按钮", "核对备份按钮",
                                            "编辑框8", "按钮4"};

QString U(const char* utf8) { return QString::fromUtf8(utf8); }

QString TextOf(QWidget* widget) {
    if (auto* w = qobject_cast<QLabel*>(widget)) return w->text();
    if (auto* w = qobject_cast<QLineEdit*>(widget)) return w->text();
    if (auto* w = qobject_cast<QPushButton*>(widget)) return w->text();
    if (auto* w = qobject_cast<QCheckBox*>(widget)) return w->text();
    if (auto* w = qobject_cast<QGroupBox*>(widget)) return w->title();
    if (auto* w = qobject_cast<QComboBox*>(widget)) return w->currentText();
    if (auto* w = qobject_cast<QPlainTextEdit*>(widget)) return w->toPlainText();
    return QStringLiteral("?");
}

// Counts how often each of the five events fired.
struct EventCounts {
    int login = 0, extract = 0, exportData = 0, focused = 0, selected = 0;
    QString selectedText;  // what the text field showed when the selection event fired
};

class WindowLayout : public apptest::ShownWindow {};
class WindowKeys : public apptest::ShownWindow {
protected:
    void SetUp() override {
        ShownWindow::SetUp();
        window.SetHandlers({[this] { ++fired.login; }, [this] { ++fired.extract; }, [this] { ++fired.exportData; },
                            [this] { ++fired.focused; },
                            [this] {
                                ++fired.selected;
                                fired.selectedText = Get<QComboBox>("组合框1")->currentText();
                            }});
    }
    EventCounts fired;
};
class ComboEvents : public WindowKeys {
protected:
    // Whether the window system moved its focus to the list (X11 does, offscreen does and
    // leaves it there), the window is active again once the list has closed.
    void WindowBackFromList() {
        QApplication::processEvents();
        window.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
        QApplication::processEvents();
    }
};

TEST_F(WindowLayout, EveryControlHasItsGeometryTextAndParent) {
    for (const ExpectedControl& expected : kControls) {
        SCOPED_TRACE(expected.name);
        QWidget* control = Get(expected.name);
        ASSERT_NE(control, nullptr);
        EXPECT_STREQ(control->metaObject()->className(), expected.kind);
        EXPECT_EQ(control->geometry(), expected.geometry);
        EXPECT_EQ(TextOf(control), U(expected.text));
        EXPECT_EQ(control->parentWidget()->objectName(), U(expected.parent));
        EXPECT_TRUE(control->isVisible());
        EXPECT_TRUE(control->isEnabled());
    }
    auto* help = Get<QLabel>("标签10");
    EXPECT_EQ(help->parentWidget()->objectName(), U("分组框3"));
    EXPECT_EQ(help->geometry(), QRect(8, 16, 480, 144));
    EXPECT_EQ(help->text(), U(kHelpText));
    EXPECT_TRUE(help->wordWrap());
    EXPECT_EQ(help->alignment(), Qt::AlignLeft | Qt::AlignTop);
    EXPECT_EQ(help->text().split(QStringLiteral("\r\n")).size(), 7);
    EXPECT_EQ(Get<QComboBox>("组合框1")->count(), 0);
    EXPECT_TRUE(Get<QComboBox>("组合框1")->isEditable());
}

TEST_F(WindowLayout, WindowIsFixedCentredAndTitled) {
    EXPECT_EQ(window.objectName(), U("启动窗口"));
    EXPECT_EQ(window.windowTitle(), U("VeltroGRP-Tarvex行政事业G版数据转换工具V1.0"));
    // Offscreen there is no frame: the client area is the outer size less the assumed frame.
    EXPECT_EQ(window.size(), QSize(516, 559));
    EXPECT_EQ(window.minimumSize(), window.maximumSize());
    EXPECT_TRUE(window.windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(window.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(window.windowFlags() & Qt::WindowCloseButtonHint);
    const QRect screen = window.screen()->geometry();
    EXPECT_EQ(window.frameGeometry().topLeft(),
              QPoint(screen.x() + (screen.width() - 522) / 2, screen.y() + (screen.height() - 588) / 2));

    const QImage icon = window.windowIcon().pixmap(32, 32).toImage();
    ASSERT_EQ(icon.size(), QSize(32, 32));
    const QColor corner = icon.pixelColor(1, 1);
    EXPECT_GT(corner.blue(), 2 * corner.red());  // a blue square ...
    int lighter = 0;                             // ... with light-blue arcs on it
    for (int x = 0; x < 32; ++x)
        for (int y = 0; y < 32; ++y) lighter += icon.pixelColor(x, y).lightness() > corner.lightness() + 40;
    EXPECT_GT(lighter, 30);
}

TEST_F(WindowLayout, ControlsAreCreatedInOrderAndGroupBoxesHoldTheirChildren) {
    QStringList order;
    for (QObject* child : window.children())
        if (child->isWidgetType() && !child->objectName().isEmpty()) order << child->objectName();
    // 编辑框8, 标签9 and 标签10 have moved into their group boxes; the progress bar, the batch and
    // the restore button and the Windows log-in box came last, each clear of every other control.
    const QStringList expected = U("编辑框1 编辑框2 标签1 标签2 标签3 编辑框3 按钮1 标签5 编辑框4 编辑框5 标签4 标签6 "
                                   "组合框1 标签7 编辑框6 标签8 编辑框7 按钮2 分组框1 按钮4 分组框2 分组框3 进度条1 "
                                   "批量转换按钮 还原数据库按钮 核对备份按钮 选择框1")
                                     .split(QLatin1Char(' '));
    EXPECT_EQ(order, expected);
    for (const char* button : {"批量转换按钮", "还原数据库按钮", "核对备份按钮", "选择框1"}) {
        const QRect added = Get(button)->geometry();
        for (const QString& name : expected) {
            if (name == U(button)) continue;
            EXPECT_FALSE(Get(name.toUtf8().constData())->geometry().intersects(added)) << button << " " << name.toStdString();
        }
        EXPECT_TRUE(window.rect().contains(added));
    }
    EXPECT_LE(Get("选择框1")->sizeHint().width(), Get("选择框1")->width()) << "the caption fits";
    for (const char* group : {"分组框1", "分组框2", "分组框3"}) {
        const auto inside = Get(group)->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly);
        int named = 0;
        for (QWidget* w : inside) named += !w->objectName().isEmpty();
        EXPECT_EQ(named, 1) << group;
    }
}

TEST_F(WindowLayout, FontsAndColours) {
    const QFont gui = window.font();
    EXPECT_EQ(gui.pixelSize(), 12);
    for (const char* name : {"编辑框1", "编辑框4", "标签10", "按钮4", "分组框1", "组合框1", "编辑框8"})
        EXPECT_EQ(Get(name)->font(), gui) << name;
    const QFont login = Get("按钮1")->font();
    EXPECT_EQ(login.pixelSize(), 12);
    EXPECT_EQ(login.weight(), QFont::Normal);
    EXPECT_EQ(login.family(), gui.family());  // no face of its own
    const QFont exportFont = Get("按钮2")->font();
    EXPECT_EQ(exportFont.family(), U("宋体"));
    EXPECT_EQ(exportFont.pixelSize(), 12);
    EXPECT_EQ(exportFont.weight(), QFont::Normal);

    for (const char* name : {"编辑框1", "编辑框2", "编辑框3", "编辑框4", "编辑框5", "编辑框6", "编辑框7", "组合框1"}) {
        EXPECT_EQ(Get(name)->palette().color(QPalette::Text), QColor(0, 0, 0)) << name;
        EXPECT_EQ(Get(name)->palette().color(QPalette::Base), QColor(255, 255, 255)) << name;
    }
    EXPECT_EQ(Get("编辑框8")->palette().color(QPalette::Text), QColor(0, 255, 0));
    EXPECT_EQ(Get("编辑框8")->palette().color(QPalette::Base), QColor(0, 0, 0));
    for (const char* name : {"标签1", "标签9", "标签10", "分组框1", "分组框2"})
        EXPECT_EQ(Get(name)->palette().color(QPalette::WindowText), QColor(0, 0, 0)) << name;
    for (const char* name : {"标签3", "标签10"}) EXPECT_FALSE(Get(name)->autoFillBackground()) << name;
    for (const char* name : {"编辑框1", "编辑框3"}) EXPECT_EQ(Get<QLineEdit>(name)->echoMode(), QLineEdit::Normal);
    EXPECT_FALSE(Get<QPlainTextEdit>("编辑框8")->isReadOnly());
    EXPECT_EQ(Get<QPlainTextEdit>("编辑框8")->lineWrapMode(), QPlainTextEdit::WidgetWidth);
}

TEST_F(WindowLayout, ProgressBarSitsEmptyInTheFreeSpaceRightOfTheStatusBox) {
    auto* bar = Get<QProgressBar>("进度条1");
    const QRect area = bar->geometry();
    EXPECT_GE(area.left(), Get("分组框2")->geometry().right());
    EXPECT_GE(area.top(), Get("分组框3")->geometry().bottom());
    EXPECT_TRUE(window.rect().contains(area));
    for (QObject* child : window.children()) {
        auto* other = qobject_cast<QWidget*>(child);
        if (other != nullptr && other != bar) {
            EXPECT_FALSE(other->geometry().intersects(area)) << other->objectName().toStdString();
        }
    }
    EXPECT_EQ(bar->minimum(), 0);
    EXPECT_EQ(bar->maximum(), 34);
    EXPECT_EQ(bar->value(), 0);
    EXPECT_FALSE(bar->isTextVisible());
}

// A "&" is shown as itself: the label paints the three characters, none underlined away.
TEST_F(WindowLayout, TheCheckOfAFolderOpensBeforeAnyLogInAndShowsALinePerFile) {
    const QTemporaryDir dir;
    QFile bak(dir.filePath(U("单位.bak")));
    ASSERT_TRUE(bak.open(QIODevice::WriteOnly));
    bak.write("x");
    bak.close();
    QTest::mouseClick(Get<QPushButton>("核对备份按钮"), Qt::LeftButton);
    auto* dialog = window.findChild<tarvex::VerifyDialog*>();
    ASSERT_NE(dialog, nullptr);
    EXPECT_FALSE(dialog->findChild<QCheckBox*>(U("还原核对"))->isEnabled());  // it needs a log-in
    dialog->findChild<QLineEdit*>(U("核对文件夹"))->setText(dir.path());
    dialog->Start();
    for (int waited = 0; dialog->Running() && waited < apptest::kGuardMs; waited += 10) QTest::qWait(10);
    const QAbstractItemModel* lines = dialog->findChild<QTableView*>(U("核对结果"))->model();
    ASSERT_EQ(lines->rowCount(), 1);
    EXPECT_EQ(lines->index(0, 1).data().toString(), U("没有转换记录（单位.bak.txt）"));
    EXPECT_EQ(dialog->findChild<QLabel*>(U("核对汇总"))->text(), U("核对了1个文件（备份1个），一致0个，不一致1个。"));
    dialog->close();
}

TEST_F(WindowLayout, AmpersandShowsAsItself) {
    tarvex::WindowControls controls(window);
    auto* status = Get<QLabel>("标签9");
    const auto paintedWidth = [&](const char* text) {
        status->setText(U(text));
        QImage image(status->size(), QImage::Format_RGB32);
        image.fill(Qt::white);
        status->render(&image);
        int left = image.width(), right = -1;
        for (int x = 0; x < image.width(); ++x)
            for (int y = 0; y < image.height(); ++y)
                if (qGray(image.pixel(x, y)) < 128) left = std::min(left, x), right = std::max(right, x);
        return right - left;
    };
    const int ab = paintedWidth("AB");
    controls.SetText(Control::Status, "A&B");
    EXPECT_EQ(status->text(), U("A&B"));
    const int withAmpersand = paintedWidth("A&B");
    EXPECT_GT(withAmpersand, ab + status->fontMetrics().horizontalAdvance(QLatin1Char('&')) / 2);
}

TEST_F(WindowKeys, TabWalksTheTabOrderAndWrapsBothWays) {
    EXPECT_EQ(FocusedName(), U("编辑框1"));
    for (std::size_t i = 1; i <= kTabOrder.size(); ++i) {
        Key(Qt::Key_Tab);
        EXPECT_EQ(FocusedName(), U(kTabOrder[i % kTabOrder.size()])) << "after " << i << " tabs";
    }
    for (std::size_t i = kTabOrder.size(); i-- > 0;) {
        Key(Qt::Key_Backtab, Qt::ShiftModifier);
        EXPECT_EQ(FocusedName(), U(kTabOrder[i])) << "back to " << i;
    }
    // Shift+Tab from 编辑框1 goes to 按钮4, Tab from 按钮4 back to 编辑框1.
    EXPECT_EQ(FocusedName(), U("编辑框1"));
    Key(Qt::Key_Backtab, Qt::ShiftModifier);
    EXPECT_EQ(FocusedName(), U("按钮4"));
    Key(Qt::Key_Tab);
    EXPECT_EQ(FocusedName(), U("编辑框1"));
}

TEST_F(WindowKeys, TabSkipsDisabledButtonsAndIsNeverTyped) {
    tarvex::WindowControls controls(window);
    controls.SetActionsEnabled(false);
    for (const char* name : {"按钮1", "按钮4", "按钮2"}) EXPECT_FALSE(Get(name)->isEnabled()) << name;
    std::vector<QString> visited;
    for (std::size_t i = 0; i < kTabOrder.size(); ++i) {
        Key(Qt::Key_Tab);
        visited.push_back(FocusedName());
    }
    EXPECT_EQ(std::count(visited.begin(), visited.end(), U("按钮1")), 0);
    EXPECT_EQ(std::count(visited.begin(), visited.end(), U("编辑框8")), 1);
    for (const ExpectedControl& expected : kControls) EXPECT_EQ(TextOf(Get(expected.name)), U(expected.text)) << expected.name;
    controls.SetActionsEnabled(true);
    for (const char* name : {"按钮1", "按钮4", "按钮2"}) EXPECT_TRUE(Get(name)->isEnabled()) << name;

    Get("编辑框8")->setFocus();
    Key(Qt::Key_Tab);
    EXPECT_EQ(Get<QPlainTextEdit>("编辑框8")->toPlainText(), QString());
    EXPECT_EQ(FocusedName(), U("按钮4"));
}

TEST_F(WindowKeys, EnterBreaksALineInTheLogAndDoesNothingElsewhere) {
    for (const char* name : {"编辑框1", "按钮1", "组合框1", "按钮4", "编辑框5"}) {
        Get(name)->setFocus();
        Key(Qt::Key_Return);
        Key(Qt::Key_Enter, Qt::KeypadModifier);
        EXPECT_EQ(FocusedName(), U(name));
    }
    EXPECT_EQ(fired.login + fired.extract + fired.exportData + fired.selected, 0);
    EXPECT_EQ(Get<QLineEdit>("编辑框1")->text(), U("."));
    EXPECT_EQ(Get<QComboBox>("组合框1")->count(), 0);

    tarvex::WindowControls controls(window);
    Get("编辑框8")->setFocus();
    Type("ab");
    Key(Qt::Key_Return);
    Type("c");
    EXPECT_EQ(controls.Text(Control::Log), "ab\r\nc");
}

TEST_F(WindowKeys, SpaceClicksTheFocusedButton) {
    Get("按钮1")->setFocus();
    Key(Qt::Key_Space);
    Get("按钮4")->setFocus();
    Key(Qt::Key_Space);
    Key(Qt::Key_Space);
    Get("按钮2")->setFocus();
    Key(Qt::Key_Space);
    EXPECT_EQ(fired.login, 1);
    EXPECT_EQ(fired.extract, 2);
    EXPECT_EQ(fired.exportData, 1);
}

TEST_F(WindowKeys, MouseClicksRunTheButtonsActions) {
    QTest::mouseClick(Get("按钮1"), Qt::LeftButton);
    QTest::mouseClick(Get("按钮4"), Qt::LeftButton);
    QTest::mouseClick(Get("按钮2"), Qt::LeftButton);
    EXPECT_EQ(fired.login, 1);
    EXPECT_EQ(fired.extract, 1);
    EXPECT_EQ(fired.exportData, 1);
}

// An action disables the buttons while it runs; the toolkit then moves the focus on, into a box
// where the next Space would overwrite text. The clicked button has it again afterwards.
TEST_F(WindowKeys, TheButtonOfAnActionHasTheFocusAgainWhenTheActionEnds) {
    tarvex::WindowControls controls(window);
    const auto action = [&] {
        controls.SetActionsEnabled(false);
        QApplication::processEvents();
        controls.SetActionsEnabled(true);
    };
    // While the buttons are disabled, keys typed meanwhile change no input.
    const auto typing = [&] {
        controls.SetActionsEnabled(false);
        QApplication::processEvents();
        for (const char c : {'x', 'y'}) QTest::keyClick(window.windowHandle(), c);
        controls.SetActionsEnabled(true);
    };
    window.SetHandlers({typing, action, typing, {}, {}});
    for (const char* button : {"按钮1", "按钮4", "按钮2"}) {
        Get(button)->setFocus();
        Key(Qt::Key_Space);
        EXPECT_EQ(FocusedName(), U(button));
        for (const ExpectedControl& c : kControls) {
            if (!qobject_cast<QLineEdit*>(Get(c.name))) continue;
            EXPECT_EQ(TextOf(Get(c.name)), U(c.text)) << button << " " << c.name;
        }
    }
    // Moved by the user meanwhile, the focus stays where the user put it.
    const auto moving = [&] {
        controls.SetActionsEnabled(false);
        Get("编辑框5")->setFocus();
        controls.SetActionsEnabled(true);
    };
    window.SetHandlers({moving, {}, {}, {}, {}});
    Get("按钮1")->setFocus();
    Key(Qt::Key_Space);
    EXPECT_EQ(FocusedName(), U("编辑框5"));
}

TEST(WindowClosing, EscClosesTheWindowFromEveryControl) {
    for (const char* name : kTabOrder) {
        tarvex::MainWindow window;
        window.ShowCentred();
        QWidget* control = window.findChild<QWidget*>(U(name));
        control->setFocus();
        QTest::keyClick(window.windowHandle(), Qt::Key_Escape);
        EXPECT_FALSE(window.isVisible()) << name;
        EXPECT_TRUE(window.Closing()) << name;
    }
}

TEST_F(ComboEvents, FocusEntersByTabClickAndArrowEachTime) {
    auto* combo = Get<QComboBox>("组合框1");
    Get("编辑框5")->setFocus();
    Key(Qt::Key_Tab);
    EXPECT_EQ(FocusedName(), U("组合框1"));
    EXPECT_EQ(fired.focused, 1);
    Key(Qt::Key_Backtab, Qt::ShiftModifier);
    Key(Qt::Key_Tab);
    EXPECT_EQ(fired.focused, 2);

    // A click into the text field of the unfocused box; a second click while it has the focus
    // fires nothing.
    Get("编辑框1")->setFocus();
    QTest::mouseClick(combo->lineEdit(), Qt::LeftButton);
    EXPECT_EQ(fired.focused, 3);
    QTest::mouseClick(combo->lineEdit(), Qt::LeftButton);
    EXPECT_EQ(fired.focused, 3);

    // The arrow of the unfocused box: it takes the focus and drops its list; the focus coming
    // back from the list is no new entry.
    tarvex::WindowControls controls(window);
    controls.SetItems({"a", "b"});
    Get("编辑框1")->setFocus();
    QTest::mouseClick(combo, Qt::LeftButton, {}, QPoint(combo->width() - 6, combo->height() / 2));
    EXPECT_EQ(fired.focused, 4);
    ASSERT_TRUE(QTest::qWaitFor([&] { return combo->view()->isVisible(); }, kGuardMs));
    QTest::keyClick(combo->view(), Qt::Key_Escape);  // closes the list, not the window
    ASSERT_TRUE(QTest::qWaitFor([&] { return !combo->view()->isVisible(); }, kGuardMs));
    WindowBackFromList();
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ(FocusedName(), U("组合框1"));
    EXPECT_EQ(fired.focused, 4);
    EXPECT_EQ(fired.selected, 0);
}

TEST_F(ComboEvents, FocusComingBackWithTheWindowIsAnEntry) {
    Get("组合框1")->setFocus();
    EXPECT_EQ(fired.focused, 1);
    QWidget other;
    other.show();
    other.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    EXPECT_EQ(FocusedName(), U("组合框1"));
    EXPECT_EQ(fired.focused, 2);
}

TEST_F(ComboEvents, SelectionFiresOnceConfirmedWithTheItemInTheField) {
    auto* combo = Get<QComboBox>("组合框1");
    tarvex::WindowControls controls(window);
    controls.SetItems({"演示账套", "演示账套2", "其他"});
    EXPECT_EQ(combo->count(), 3);
    const auto choose = [&](int row) {
        combo->setFocus();
        combo->showPopup();
        ASSERT_TRUE(QTest::qWaitFor([&] { return combo->view()->isVisible(); }, kGuardMs));
        combo->view()->setCurrentIndex(combo->model()->index(row, 0));
        const int before = fired.selected;
        QTest::keyClick(combo->view(), Qt::Key_Return);
        EXPECT_EQ(fired.selected, before);  // queued: it fires once the window handles its events
        ASSERT_TRUE(QTest::qWaitFor([&] { return !combo->view()->isVisible(); }, kGuardMs));
        WindowBackFromList();
    };
    choose(1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return fired.selected == 1; }, kGuardMs));
    EXPECT_EQ(fired.selectedText, U("演示账套2"));
    EXPECT_EQ(controls.Text(Control::AccountSetChooser), CodePageText("演示账套2"));

    // The item already shown, chosen again, fires again.
    choose(1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return fired.selected == 2; }, kGuardMs));
    EXPECT_EQ(fired.selectedText, U("演示账套2"));
    EXPECT_EQ(fired.focused, 1);
}

// Dropped with more account sets than fit, the field and the list are about 160 pixels tall
// together; with a few, the list is as tall as they are.
TEST_F(ComboEvents, TheDroppedListOfManyIsAbout160PixelsWithTheField) {
    auto* combo = Get<QComboBox>("组合框1");
    tarvex::WindowControls controls(window);
    const auto droppedHeight = [&](int items) {
        std::vector<std::string> sets;
        for (int i = 0; i < items; ++i) sets.push_back("账套" + std::to_string(i));
        controls.SetItems(sets);
        combo->showPopup();
        EXPECT_TRUE(QTest::qWaitFor([&] { return combo->view()->isVisible(); }, kGuardMs));
        const int height = combo->height() + combo->view()->window()->height();
        combo->hidePopup();
        EXPECT_TRUE(QTest::qWaitFor([&] { return !combo->view()->isVisible(); }, kGuardMs));
        return height;
    };
    const int many = droppedHeight(30);
    const int row = combo->view()->sizeHintForRow(0);
    EXPECT_LE(std::abs(many - 160), row / 2 + 2) << many << " with rows of " << row;  // whole rows and the frame
    EXPECT_LT(droppedHeight(2), 160 - row);
}

TEST_F(ComboEvents, TypingAndItemsSetByCodeFireNothing) {
    auto* combo = Get<QComboBox>("组合框1");
    tarvex::WindowControls controls(window);
    combo->setFocus();
    ASSERT_EQ(fired.focused, 1);
    controls.SetItems({"甲", "乙"});
    Type("乙");
    Key(Qt::Key_Return);
    controls.SetItems({"丙", "乙", "丁"});
    QApplication::processEvents();
    EXPECT_EQ(combo->currentText(), U("乙"));  // the typed text stays in the field
    EXPECT_EQ(combo->currentIndex(), 1);         // and its item is the list's current one
    EXPECT_EQ(combo->count(), 3);
    EXPECT_EQ(combo->itemData(2).toInt(), 2);
    EXPECT_EQ(fired.selected, 0);
    EXPECT_EQ(fired.focused, 1);

    // Leaving the box while its text equals an item is no choice: by Tab, or by a click elsewhere.
    combo->setEditText(U("丁"));
    Key(Qt::Key_Tab);
    combo->setFocus();
    combo->setEditText(U("丙"));
    QTest::mouseClick(Get("编辑框1"), Qt::LeftButton);
    QApplication::processEvents();
    EXPECT_EQ(fired.selected, 0);

    // An arrow key on the closed box chooses the next item.
    combo->setFocus();
    Key(Qt::Key_Down);
    ASSERT_TRUE(QTest::qWaitFor([&] { return fired.selected == 1; }, kGuardMs));
    EXPECT_EQ(fired.selectedText, U("乙"));
}

}  // namespace
