// Log-in through the window, the driver and the stand-in.

#include "flow_support.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <qpa/qwindowsysteminterface.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>

#include "codepage.h"
#include "native_window.h"
#include "odbc_api.h"
#include "odbc_trace.h"
#include "startup.h"

using namespace flowtest;

namespace {

const char* const kFailureHead = "连接.服务器上的2016年乡镇数据采集数据库失败。请查看SQL数据库服务器是否正确";

class LoginFlow : public FlowTest {};

// A server that takes connections and never answers them.
class SilentServer {
public:
    SilentServer() : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(::listen(fd_, 4), 0);
        EXPECT_EQ(::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length), 0);
        port_ = ntohs(address.sin_port);
    }
    ~SilentServer() { Stop(); }
    // Stops listening: the connections waiting to be taken are reset.
    void Stop() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    SilentServer(const SilentServer&) = delete;
    SilentServer& operator=(const SilentServer&) = delete;
    int Port() const { return port_; }

private:
    int fd_;
    int port_ = 0;
};

// Asks the window to close as a window manager does: WM_DELETE_WINDOW through the X server,
// which the toolkit counts as user input.
void RequestCloseThroughTheXServer(QWidget& window) {
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    xcb_connection_t* c = x11->connection();
    const auto atom = [c](const char* name) {
        xcb_intern_atom_reply_t* reply =
            xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr);
        const xcb_atom_t a = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
        std::free(reply);
        return a;
    };
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = static_cast<xcb_window_t>(window.winId());
    event.type = atom("WM_PROTOCOLS");
    event.data.data32[0] = atom("WM_DELETE_WINDOW");
    event.data.data32[1] = XCB_CURRENT_TIME;
    xcb_send_event(c, 0, event.window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&event));
    xcb_flush(c);
}

// unixODBC traces every call of this process into `trace`.
class LoginTraced : public FlowTest {
protected:
    void SetUp() override {
        FlowTest::SetUp();
        trace = testsupport::UsePrivateOdbcConfigWithTrace();  // before the process's first ODBC call
    }
    std::filesystem::path trace;
};

class LoginWithOddPassword : public FlowTest {
protected:
    LoginWithOddPassword() { standinOptions.password = "p;w}d"; }
};

}  // namespace

TEST_F(LoginFlow, TheWindowsDefaultsReachTheLocalServer) {
    const Notice n = LogIn();
    EXPECT_EQ(n.caption, U("成功"));
    EXPECT_EQ(n.text, U("连接.服务器上的2016年乡镇数据采集数据库成功。"));
    EXPECT_EQ(n.icon, QMessageBox::NoIcon);
    EXPECT_EQ(Log(), U("数据库登陆成功！\n"));
    const tarvex::LoginSettings& s = tarvex::ProgramLoginSettings();
    const tarvex::CodePage cp = tarvex::CodePage::Process();
    EXPECT_EQ(cp.ToUtf8(s.Server), ".");
    EXPECT_EQ(cp.ToUtf8(s.Database), "2016年乡镇数据采集");
    // Two successful log-ins write the line twice.
    LogIn();
    EXPECT_EQ(Log(), U("数据库登陆成功！\n数据库登陆成功！\n"));
}

TEST_F(LoginFlow, AWrongPasswordOrDatabaseFailsWithTheServersReason) {
    Type("编辑框3", "2");
    Notice n = LogIn();
    EXPECT_EQ(n.caption, U("失败"));
    EXPECT_TRUE(n.text.startsWith(U(kFailureHead))) << n.text.toStdString();
    EXPECT_TRUE(n.text.contains("18456")) << n.text.toStdString();
    EXPECT_EQ(Log(), "");  // nothing logged for a failure

    Type("编辑框3", "1");
    Type("编辑框4", "不存在的库");
    n = LogIn();
    EXPECT_TRUE(n.text.startsWith(U("连接.服务器上的不存在的库数据库失败。"))) << n.text.toStdString();
    EXPECT_TRUE(n.text.contains("4060")) << n.text.toStdString();
}

// With no server listening no connection ever existed: the notice gives the driver's reason and
// calls nothing broken. Each log-in lets the driver complete it in a dialog owned by the window
// (on Linux none: no driver here shows one).
TEST_F(LoginTraced, NoServerListeningIsNoBrokenConnectionAndTheDriversDialogIsTheWindows) {
    standin->Stop();
    const Notice n = LogIn();
    EXPECT_EQ(n.caption, U("失败"));
    EXPECT_TRUE(n.text.startsWith(U(kFailureHead))) << n.text.toStdString();
    EXPECT_TRUE(n.text.contains(U("08S01"))) << n.text.toStdString();  // the driver: unreachable
    EXPECT_FALSE(n.text.contains(U("已断开"))) << n.text.toStdString();

    const std::vector<testsupport::DriverConnectCall> calls = testsupport::DriverConnectCalls(trace);
    ASSERT_EQ(calls.size(), 1u) << "traced from the process's first ODBC call on";
    EXPECT_EQ(calls[0].completion, SQL_DRIVER_COMPLETE);
    EXPECT_EQ(calls[0].window, reinterpret_cast<std::uintptr_t>(tarvex::DriverDialogOwner(*window)));
}

TEST_F(LoginFlow, AFailedLogInKeepsTheEarlierConnection) {
    LogIn();
    Type("编辑框3", "wrong");
    EXPECT_EQ(LogIn().caption, U("失败"));
    // The earlier connection still serves the chooser.
    FocusChooser();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !ChooserItems().isEmpty(); }, kGuardMs));
}

TEST_F(LoginFlow, EmptyServerPasswordOrUserIsRefusedAndChangesNothing) {
    LogIn();
    const tarvex::LoginSettings before = tarvex::ProgramLoginSettings();
    for (const char* input : {"编辑框1", "编辑框3", "编辑框2"}) {
        const QString kept = Text(input);
        Type(input, "");
        const Notice n = LogIn();
        EXPECT_EQ(n.caption, U("温馨提示")) << input;
        EXPECT_EQ(n.text, U("服务器名、用户名不能为空。")) << input;
        Type(input, kept.toUtf8().constData());
    }
    EXPECT_EQ(tarvex::ProgramLoginSettings().Password, before.Password);
    EXPECT_EQ(Log(), U("数据库登陆成功！\n"));
}

TEST_F(LoginFlow, BlanksAroundTheInputsAreTrimmedAsciiAndFullWidth) {
    Type("编辑框1", "  .");
    Type("编辑框2", "\u3000sa ");
    Type("编辑框3", " 1\u3000");
    const Notice n = LogIn();
    EXPECT_EQ(n.text, U("连接.服务器上的2016年乡镇数据采集数据库成功。"));
    const tarvex::CodePage cp = tarvex::CodePage::Process();
    EXPECT_EQ(cp.ToUtf8(tarvex::ProgramLoginSettings().User), "sa");
    EXPECT_EQ(cp.ToUtf8(tarvex::ProgramLoginSettings().Password), "1");
}

TEST_F(LoginFlow, ADatabaseNameOfOneBlankLogsInWithoutADatabase) {
    Type("编辑框4", " ");
    const Notice n = LogIn();
    EXPECT_EQ(n.caption, U("成功"));
    EXPECT_EQ(n.text, U("连接.服务器上的数据库成功。"));
}

TEST_F(LoginWithOddPassword, ASemicolonInAValueAddsNoKeyOfItsOwn) {
    // Pasted as it stands, "PWD=p;w}d" would send the password "p" and a key "w}d".
    Type("编辑框3", "p;w}d");
    EXPECT_EQ(LogIn().caption, U("成功"));
    // And a value that tries to add a key is one wrong password, not a second key.
    Type("编辑框3", "x;PWD=p;w}d");
    EXPECT_EQ(LogIn().caption, U("失败"));
}

TEST_F(LoginFlow, WhileConnectingTheWindowRepaintsButTakesNoInput) {
    SilentServer silent;
    ::unsetenv("TDSPORT");  // it would send every connection to the stand-in
    Type("编辑框1", ("127.0.0.1," + std::to_string(silent.Port())).c_str());
    auto* year = Get<QLineEdit>("编辑框5");
    QTimer::singleShot(300, window.get(), [&] {
        // A click into the year and a key, as the window system queues them, while the
        // connection is being opened.
        const QPointF at = year->mapTo(window.get(), year->rect().center());
        for (const QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease})
            QWindowSystemInterface::handleMouseEvent<QWindowSystemInterface::AsynchronousDelivery>(
                window->windowHandle(), at, window->mapToGlobal(at),
                type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton, Qt::LeftButton, type);
        for (const QEvent::Type type : {QEvent::KeyPress, QEvent::KeyRelease})
            QWindowSystemInterface::handleKeyEvent<QWindowSystemInterface::AsynchronousDelivery>(
                window->windowHandle(), type, Qt::Key_7, Qt::NoModifier, "7");
        EXPECT_FALSE(Get("按钮4")->isEnabled());
    });
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        ++ticks;
        // The input waits until the open has returned (the buttons are enabled again after it).
        if (!Get("按钮4")->isEnabled()) {
            EXPECT_EQ(year->text(), U("2016"));
        }
    });
    ticker.start(200);
    const Notice n = LogIn();  // the log-in time-out ends it
    ticker.stop();
    EXPECT_EQ(n.caption, U("失败"));
    EXPECT_TRUE(n.text.contains(U("127.0.0.1,"))) << n.text.toStdString();
    EXPECT_GE(ticks, 10);  // timers ran all along
    EXPECT_TRUE(Get("按钮4")->isEnabled());
    EXPECT_TRUE(year->text().contains('7'));  // and then taken, not lost
}

// On a real X server: closing the window while the log-in connects closes it once the log-in ends.
TEST_F(LoginFlow, ACloseRequestedWhileConnectingIsHonouredWhenTheLogInEnds) {
    if (QGuiApplication::platformName() != QStringLiteral("xcb")) GTEST_SKIP() << "needs an X server";
    SilentServer silent;
    ::unsetenv("TDSPORT");
    Type("编辑框1", ("127.0.0.1," + std::to_string(silent.Port())).c_str());
    QTimer::singleShot(300, window.get(), [&] { RequestCloseThroughTheXServer(*window); });
    QTimer::singleShot(1000, window.get(), [&] { silent.Stop(); });  // the log-in fails then
    Click("按钮1");
    EXPECT_TRUE(QTest::qWaitFor([&] { return !window->isVisible(); }, kGuardMs));
    EXPECT_TRUE(notices.Seen().empty());
}
