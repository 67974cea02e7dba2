#include "main_window.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFont>
#include <QDialog>
#include <QGroupBox>
#include <QAbstractItemView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QWindow>

#include <algorithm>
#include <cmath>
#include <limits>

#include "gui_font.h"
#include "native_window.h"
#include "verify_dialog.h"

namespace tarvex {
namespace {

// The outer size of the window, frame and title bar included, and the frame assumed where the
// window system reports none (offscreen, an X server without a window manager).
constexpr QSize kOuterSize(522, 588);
constexpr int kAssumedBorder = 3;
constexpr int kAssumedTitleBar = 26;
constexpr QSize kFramelessClientSize(kOuterSize.width() - 2 * kAssumedBorder,
                                     kOuterSize.height() - kAssumedTitleBar - kAssumedBorder);  // 516 × 559

const char* const kTitle = "VeltroGRP-Tarvex行政事业G版数据转换工具V1.0";

const char* const kHelpText =
    "一、将被审计单位的VeltroGRP-Tarvex财务软件进行数据库备份，再将备份文件还原到审计人员电脑内。\r\n"
    "二、登陆数据库，服务器名称、用户名称、密码根据审计人员自己数据库情况输入。默认的服务器名称是本地。\r\n"
    "三、数据库名称要填写你还原的时所建立的数据库。\r\n"
    "四、填写转换年度，选择转换账套。\r\n"
    "五、根据提示，点击数据整理和导出按钮。\r\n"
    "六、使用AO现场审计系统的2202号模板即可导入。\r\n"
    "注意：本软件仅适用于导入AO现场审计系统的数据转换。";

// The progress bar's full scale before the first extraction sets it: the catalogue's 34 copies.
constexpr int kCopies = 34;

// 组合框1 dropped: its text field and its list together about this tall.
constexpr int kDroppedHeight = 160;

// 组合框1: dropped, its list shows the number of whole rows that makes field and list together
// nearest kDroppedHeight, however tall a row is with this platform's style and font (fewer
// when there are fewer account sets).
class ChooserBox final : public QComboBox {
public:
    using QComboBox::QComboBox;

    void showPopup() override {
        if (const int row = count() > 0 ? view()->sizeHintForRow(0) : 0; row > 0) {
            const double rows = static_cast<double>(kDroppedHeight - height()) / row;
            setMaxVisibleItems(std::max(1, static_cast<int>(std::lround(rows))));
        }
        QComboBox::showPopup();
    }
};

// A blue square with light-blue concentric arcs opening downward.
QIcon WindowIcon() {
    QPixmap picture(32, 32);
    picture.fill(QColor(0, 82, 164));
    {
        QPainter painter(&picture);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(QColor(150, 205, 255), 2.5));
        for (const int radius : {5, 10, 15})
            painter.drawArc(QRectF(16 - radius, 26 - radius, 2 * radius, 2 * radius), 0, 180 * 16);
    }
    return QIcon(picture);
}

void SetColours(QWidget* widget, QPalette::ColorRole textRole, QColor text, QColor base = QColor()) {
    QPalette palette = widget->palette();
    palette.setColor(textRole, text);
    if (base.isValid()) palette.setColor(QPalette::Base, base);
    widget->setPalette(palette);
}

// Windows log-in, in the free space right of 转换年度. Checked, the log-in sends no user name
// or password: their inputs are disabled (their texts stay for an unchecked log-in).
QCheckBox* NewWindowsLoginBox(QWidget* parent, QLineEdit* user, QLineEdit* password) {
    auto* box = new QCheckBox(QString::fromUtf8("Windows身份验证"), parent);
    box->setObjectName(QString::fromUtf8("选择框1"));
    box->setGeometry(404, 8, 112, 22);
    // The space is what the row leaves: where the fonts at hand are wider than the system's
    // own, the caption gets a smaller size rather than lose its last characters.
    QFont font = box->font();
    while (box->sizeHint().width() > box->width()) {
        if (font.pixelSize() > 8) font.setPixelSize(font.pixelSize() - 1);
        else if (font.pointSizeF() > 6) font.setPointSizeF(font.pointSizeF() - 0.5);
        else break;
        box->setFont(font);
    }
    QObject::connect(box, &QCheckBox::toggled, parent, [user, password](bool checked) {
        user->setEnabled(!checked);
        password->setEnabled(!checked);
    });
    return box;
}

QLineEdit* NewEdit(QWidget* parent, const char* name, QRect geometry, const char* text) {
    auto* edit = new QLineEdit(QString::fromUtf8(text), parent);
    edit->setObjectName(QString::fromUtf8(name));
    edit->setGeometry(geometry);
    edit->setMaxLength(std::numeric_limits<int>::max());
    SetColours(edit, QPalette::Text, Qt::black, Qt::white);
    return edit;
}

QLabel* NewLabel(QWidget* parent, const char* name, QRect geometry, const char* text) {
    auto* label = new QLabel(QString::fromUtf8(text), parent);
    label->setObjectName(QString::fromUtf8(name));
    label->setGeometry(geometry);
    label->setTextFormat(Qt::PlainText);
    label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    SetColours(label, QPalette::WindowText, Qt::black);
    return label;
}

QPushButton* NewButton(QWidget* parent, const char* name, QRect geometry, const char* text) {
    auto* button = new QPushButton(QString::fromUtf8(text), parent);
    button->setObjectName(QString::fromUtf8(name));
    button->setGeometry(geometry);
    button->setAutoDefault(false);
    return button;
}

QGroupBox* NewGroup(QWidget* parent, const char* name, QRect geometry, const char* title) {
    auto* group = new QGroupBox(QString::fromUtf8(title), parent);
    group->setObjectName(QString::fromUtf8(name));
    group->setGeometry(geometry);
    SetColours(group, QPalette::WindowText, Qt::black);
    return group;
}

// Moves a control into its group box; its geometry is already relative to the box.
void MoveInto(QWidget* control, QGroupBox* group) {
    const QRect geometry = control->geometry();
    control->setParent(group);
    control->setGeometry(geometry);
    control->setVisible(true);
}

QFont ButtonFont(const char* family) {
    QFont font;
    if (family != nullptr) font.setFamily(QString::fromUtf8(family));
    font.setPixelSize(12);
    font.setWeight(QFont::Normal);
    return font;
}

void Fire(const std::function<void()>& handler) {
    if (handler) handler();
}

}  // namespace

MainWindow::MainWindow()
    : QWidget(nullptr, FixedWindowFlags()),
      workers_([this] {
          if (Closing() && isVisible()) close();
      }) {
    // The toolkit's own texts, the buttons of the notices and questions among them (确定, 是, 否),
    // in Chinese like every other text of the window.
    if (toolkitTexts_.load(QStringLiteral(":/translations/qtbase_zh_CN.qm")))
        QCoreApplication::installTranslator(&toolkitTexts_);
    setObjectName(QString::fromUtf8("启动窗口"));
    setWindowTitle(QString::fromUtf8(kTitle));
    setWindowIcon(WindowIcon());
    setFont(DefaultGuiFont());
    setFixedSize(kFramelessClientSize);
    Build();
}

// A window that goes away without having closed ends its work as closing does, before its
// workers are joined and the database thread ends.
MainWindow::~MainWindow() {
    外部数据库1_.Shutdown();
    closing_->Set();
    workers_.Refuse();
}

// The controls the window's build creates and then orders, fonts and wires up.
struct MainWindow::Controls {
    QLineEdit *server = nullptr, *user = nullptr, *password = nullptr, *database = nullptr, *year = nullptr,
              *unitCode = nullptr, *setNumber = nullptr;
    QPushButton *login = nullptr, *exportButton = nullptr, *extract = nullptr, *verify = nullptr;
    QCheckBox* windowsLogin = nullptr;
};

void MainWindow::Build() {
    // Created in this order, each as a child of the window; the three group-box children move
    // into their boxes afterwards.
    Controls controls;
    BuildFields(controls);
    BuildLogStatusAndHelp(controls);
    BuildProgressAndDialogButtons(controls);
    controls.windowsLogin = NewWindowsLoginBox(this, controls.user, controls.password);
    OrderControls(controls);
    ConnectControls(controls);
    FilterEvents();
}

// The log-in's and the account set's fields and buttons, and the chooser.
void MainWindow::BuildFields(Controls& controls) {
    controls.server = NewEdit(this, "编辑框1", {90, 8, 150, 24}, ".");
    controls.user = NewEdit(this, "编辑框2", {91, 36, 150, 24}, "sa");
    NewLabel(this, "标签1", {26, 39, 63, 21}, "用户名称：");
    NewLabel(this, "标签2", {48, 67, 40, 27}, "密码：");
    NewLabel(this, "标签3", {16, 9, 72, 21}, "服务器名称：");
    controls.password = NewEdit(this, "编辑框3", {91, 69, 150, 24}, "1");
    controls.login = NewButton(this, "按钮1", {10, 133, 72, 24}, "登录数据库");
    NewLabel(this, "标签5", {12, 99, 72, 28}, "数据库名称：");
    controls.database = NewEdit(this, "编辑框4", {91, 100, 150, 24}, "2016年乡镇数据采集");
    controls.year = NewEdit(this, "编辑框5", {337, 6, 64, 24}, "2016");
    NewLabel(this, "标签4", {268, 5, 64, 24}, "转换年度：");
    NewLabel(this, "标签6", {268, 41, 64, 16}, "转换账套：");

    combo_ = new ChooserBox(this);
    combo_->setObjectName(QString::fromUtf8("组合框1"));
    combo_->setGeometry(336, 40, 168, 20);
    combo_->setEditable(true);
    combo_->setInsertPolicy(QComboBox::NoInsert);
    combo_->setCompleter(nullptr);
    combo_->lineEdit()->setMaxLength(std::numeric_limits<int>::max());
    SetColours(combo_, QPalette::Text, Qt::black, Qt::white);

    NewLabel(this, "标签7", {264, 72, 80, 24}, "当前单位编号：");
    controls.unitCode = NewEdit(this, "编辑框6", {352, 72, 80, 24}, "");
    NewLabel(this, "标签8", {264, 104, 80, 16}, "当前账套编号：");
    controls.setNumber = NewEdit(this, "编辑框7", {352, 102, 80, 24}, "");
    controls.exportButton = NewButton(this, "按钮2", {185, 132, 56, 24}, "导出数据");
}

// The log in its group box, 整理数据, the status line and the help, each moved into its box.
void MainWindow::BuildLogStatusAndHelp(Controls& controls) {
    log_ = new QPlainTextEdit(this);
    log_->setObjectName(QString::fromUtf8("编辑框8"));
    log_->setGeometry(8, 16, 488, 152);
    log_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    log_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    log_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    SetColours(log_, QPalette::Text, QColor(0, 255, 0), Qt::black);

    QGroupBox* logGroup = NewGroup(this, "分组框1", {7, 162, 504, 176}, "日志");
    controls.extract = NewButton(this, "按钮4", {105, 133, 59, 24}, "整理数据");
    QGroupBox* statusGroup = NewGroup(this, "分组框2", {8, 512, 304, 38}, "");
    QLabel* status = NewLabel(this, "标签9", {10, 16, 288, 16}, "");
    QGroupBox* helpGroup = NewGroup(this, "分组框3", {8, 342, 504, 168}, "使用方法：");
    QLabel* help = NewLabel(this, "标签10", {8, 16, 480, 144}, kHelpText);
    help->setWordWrap(true);
    help->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    MoveInto(log_, logGroup);
    MoveInto(status, statusGroup);
    MoveInto(help, helpGroup);
}

void MainWindow::BuildProgressAndDialogButtons(Controls& controls) {
    // Beside the status line: how many of the extraction's copies are done. Empty until then.
    auto* progress = new QProgressBar(this);
    progress->setObjectName(QString::fromUtf8("进度条1"));
    progress->setGeometry(316, 520, 194, 24);
    progress->setRange(0, kCopies);
    progress->setValue(0);
    progress->setTextVisible(false);

    // Batch conversion, beside the three actions; last in the tab order, enabled after a log-in.
    batchButton_ = NewButton(this, "批量转换按钮", {432, 132, 72, 24}, "批量转换…");
    batchButton_->setEnabled(false);
    // Restoring the audited unit's backup, the first step: in the row's free space left of the
    // batch button, after 导出数据 in the tab order, enabled before any log-in.
    restoreButton_ = NewButton(this, "还原数据库按钮", {342, 132, 84, 24}, "还原数据库…");
    // Checking a folder of backups against their records, beside it: no server needed, enabled
    // before any log-in.
    controls.verify = NewButton(this, "核对备份按钮", {256, 132, 80, 24}, "核对备份…");
}

// The buttons' fonts, the action buttons, the tab order and the first focus.
void MainWindow::OrderControls(const Controls& controls) {
    controls.login->setFont(ButtonFont(nullptr));
    controls.exportButton->setFont(ButtonFont("宋体"));

    actionButtons_ = {controls.login, controls.extract, controls.exportButton};
    tabOrder_ = {controls.server,    controls.user,         controls.password, controls.windowsLogin,
                 controls.login,     controls.database,     controls.year,     combo_,
                 controls.unitCode,  controls.setNumber,    controls.exportButton, restoreButton_,
                 controls.verify,    log_,                  controls.extract,  batchButton_};
    for (std::size_t i = 1; i < tabOrder_.size(); ++i) setTabOrder(tabOrder_[i - 1], tabOrder_[i]);
    controls.server->setFocus();
}

void MainWindow::ConnectControls(const Controls& controls) {
    connect(controls.login, &QPushButton::clicked, this, [this] { Fire(handlers_.login); });
    connect(controls.extract, &QPushButton::clicked, this, [this] { Fire(handlers_.startExtraction); });
    connect(controls.exportButton, &QPushButton::clicked, this, [this] { Fire(handlers_.exportAndCleanUp); });
    connect(batchButton_, &QPushButton::clicked, this, [this] { Fire(batchHandler_); });
    connect(restoreButton_, &QPushButton::clicked, this, [this] { Fire(restoreHandler_); });
    connect(controls.verify, &QPushButton::clicked, this, [this] { OpenVerifyDialog(*this, loggedIn_); });
    // The toolkit also reports an item as activated when the box merely loses the focus while
    // its text equals an item: only an activation inside the user's own choosing counts.
    // Delivered through the event queue, so that the handler finds the item's text in the field.
    connect(combo_, &QComboBox::activated, this, [this] {
        if (!userChoosing_) return;
        QMetaObject::invokeMethod(this, [this] { Fire(handlers_.comboSelected); }, Qt::QueuedConnection);
    });
    combo_->view()->installEventFilter(this);
    combo_->view()->viewport()->installEventFilter(this);

    connect(qApp, &QGuiApplication::focusWindowChanged, this, [this](QWindow* focused) {
        if (focused == nullptr || (focused != windowHandle() && focused->type() != Qt::Popup))
            comboAwayInPopupOnly_ = false;
    });
}

void MainWindow::FilterEvents() {
    // The window sees every key of its controls first (and the combo box's focus entries).
    // The window itself too: it holds the focus while the action buttons are disabled.
    installEventFilter(this);
    for (QWidget* widget : findChildren<QWidget*>())
        if (widget->window() == this) widget->installEventFilter(this);
}

void MainWindow::SetHandlers(Handlers handlers) { handlers_ = std::move(handlers); }

void MainWindow::SetBatchHandler(std::function<void()> handler) { batchHandler_ = std::move(handler); }

void MainWindow::SetRestoreHandler(std::function<void()> handler) { restoreHandler_ = std::move(handler); }

void MainWindow::SetLoggedIn(bool loggedIn) {
    loggedIn_ = loggedIn;
    batchButton_->setEnabled(loggedIn_ && actionButtons_.front()->isEnabled());
}

void MainWindow::SetClosingHook(std::function<void()> hook) { closingHook_ = std::move(hook); }

void MainWindow::SetActionsEnabled(bool enabled) {
    if (!enabled) {
        QWidget* focused = focusWidget();
        const bool onButton = std::find(actionButtons_.begin(), actionButtons_.end(), focused) != actionButtons_.end();
        if (onButton && actionButtons_.front()->isEnabled()) focusedButton_ = focused;
        // Disabled, the focused button would hand the focus on to the next input, where keys
        // typed meanwhile would overwrite it: the window itself holds it instead.
        if (onButton) setFocus(Qt::OtherFocusReason);
        for (QPushButton* button : actionButtons_) button->setEnabled(false);
        batchButton_->setEnabled(false);
        restoreButton_->setEnabled(false);
        focusMovedTo_ = focusWidget();
        return;
    }
    for (QPushButton* button : actionButtons_) button->setEnabled(true);
    batchButton_->setEnabled(loggedIn_);
    restoreButton_->setEnabled(true);
    if (focusedButton_ && focusWidget() == focusMovedTo_) focusedButton_->setFocus(Qt::OtherFocusReason);
    focusedButton_ = nullptr;
    focusMovedTo_ = nullptr;
}

void MainWindow::ShowCentred() {
    const QRect screenArea = screen()->geometry();
    move(screenArea.x() + (screenArea.width() - kOuterSize.width()) / 2,
         screenArea.y() + (screenArea.height() - kOuterSize.height()) / 2);
    show();
}

bool MainWindow::event(QEvent* event) {
    const bool handled = QWidget::event(event);
    // A window manager reports the frame once it has decorated the window.
    if (event->type() == QEvent::Show || event->type() == QEvent::Move) FitFrame();
    return handled;
}

// A frame counts once the window system reports one with a title bar: a window manager's.
// Without one (offscreen, which reports a thin border only, or an X server without a window
// manager) the client area is the outer size less the assumed frame.
void MainWindow::FitFrame() {
    const QMargins frame = FrameAround(*this);
    const QSize client = frame.top() > frame.bottom()
                             ? kOuterSize - QSize(frame.left() + frame.right(), frame.top() + frame.bottom())
                             : kFramelessClientSize;
    if (client != size()) setFixedSize(client);
}

// The user chooses an item of the list by releasing the mouse or pressing a key in the dropped
// list, or with an arrow key or the wheel on the closed box. The toolkit reports the choice
// while it handles that input; the choosing ends once the event loop moves on.
bool MainWindow::IsChoosing(QObject* watched, const QEvent& event) const {
    const bool inList = watched == combo_->view() || watched == combo_->view()->viewport();
    switch (event.type()) {
        case QEvent::MouseButtonRelease:
        case QEvent::ShortcutOverride: return inList;  // the list takes Enter as a shortcut
        case QEvent::KeyPress: {
            if (inList) return true;
            if (watched != combo_ && watched != combo_->lineEdit()) return false;
            const int key = static_cast<const QKeyEvent&>(event).key();
            return key == Qt::Key_Up || key == Qt::Key_Down || key == Qt::Key_PageUp || key == Qt::Key_PageDown;
        }
        case QEvent::Wheel: return watched == combo_;
        default: return false;
    }
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    if (!userChoosing_ && IsChoosing(watched, *event)) {
        userChoosing_ = true;
        QTimer::singleShot(0, this, [this] { userChoosing_ = false; });
    }
    // The dropped list handles its own keys (Enter chooses, Esc closes it).
    if (watched == combo_->view() || watched == combo_->view()->viewport()) return false;
    if (watched == combo_ && event->type() == QEvent::FocusOut) comboAwayInPopupOnly_ = true;
    if (watched == combo_ && event->type() == QEvent::FocusIn) {
        if (IsComboEntry(*static_cast<QFocusEvent*>(event))) Fire(handlers_.comboFocused);
        return false;
    }
    if (event->type() != QEvent::KeyPress) return false;
    const auto* key = static_cast<QKeyEvent*>(event);
    switch (key->key()) {
        case Qt::Key_Tab:
        case Qt::Key_Backtab:
            if (key->modifiers() & (Qt::ControlModifier | Qt::AltModifier)) return false;
            MoveFocus(key->key() == Qt::Key_Tab && !(key->modifiers() & Qt::ShiftModifier));
            return true;
        case Qt::Key_Escape:
            close();
            return true;
        case Qt::Key_Return:
        case Qt::Key_Enter:
            return watched != log_;  // a line break in the log; nothing anywhere else
        default:
            return false;
    }
}

// Every entry of the keyboard focus into the combo box counts, except its return from the box's
// own list: directly (the toolkit's popup focus), or with the window activated again after the
// list had taken the window system's focus (X11 moves the focus to the list while it is open).
bool MainWindow::IsComboEntry(const QFocusEvent& focusIn) const {
    switch (focusIn.reason()) {
        case Qt::PopupFocusReason: return false;
        case Qt::ActiveWindowFocusReason: return !comboAwayInPopupOnly_;
        default: return true;
    }
}

void MainWindow::MoveFocus(bool forward) {
    const QWidget* focused = focusWidget();
    const int count = static_cast<int>(tabOrder_.size());
    int at = forward ? -1 : 0;
    for (int i = 0; i < count; ++i)
        if (tabOrder_[i] == focused || tabOrder_[i]->isAncestorOf(focused)) at = i;
    for (int step = 1; step <= count; ++step) {
        QWidget* next = tabOrder_[((at + (forward ? step : -step)) % count + count) % count];
        if (next->isVisible() && next->isEnabled()) {
            next->setFocus(forward ? Qt::TabFocusReason : Qt::BacktabFocusReason);
            return;
        }
    }
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (!Closing()) BeginClosing();
    if (workers_.Running() > 0 && !closingBoundPassed_) event->ignore();
    else event->accept();
}

void MainWindow::BeginClosing() {
    // First the database: the running statement is cancelled and queued and later work fails,
    // so that every worker and every wait of the window's own thread ends soon. Only then the
    // closing signal, which wakes the workers' pauses: a worker woken (or finding its controls
    // empty) must find the database refusing its next statement, not send it.
    外部数据库1_.Shutdown();
    closing_->Set();
    workers_.Refuse();
    setEnabled(false);
    // Its notices and dialogs (the batch's among them) close with it.
    for (QDialog* dialog : findChildren<QDialog*>(Qt::FindDirectChildrenOnly)) dialog->done(0);
    if (closingHook_) closingHook_();
    QTimer::singleShot(kClosingBound, this, [this] {
        closingBoundPassed_ = true;
        if (isVisible()) close();
    });
}

bool MainWindow::EndThreads() {
    if (!Closing()) BeginClosing();
    return workers_.Running() == 0 && 外部数据库1_.Join(kClosingBound);
}

}  // namespace tarvex
