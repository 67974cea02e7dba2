// The tool's own cost during a conversion, each figure a ratio measured side by side in one run:
// - overhead: an extraction's whole time against its fixed pauses plus the time the server
//   spent on its statements (the stand-in's own timing log);
// - memory: the tool's peak memory during an extraction on the sample database against one on
//   a sample with 100 times the voucher rows (each in a fresh process);
// - responsiveness: the longest stall of the window's event loop during an extraction and an
//   export, against the 50 ms a user starts to notice.
//
// usage: conversion_bench                       all three, with the real one-second pauses
//        conversion_bench --memory-run SCALE    one extraction; prints the peak memory in KiB

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "actions.h"
#include "main_window.h"
#include "peak_memory.h"
#include "standin_process.h"

namespace {

namespace fs = std::filesystem;

// Answers every notice with OK and counts them.
class NoticeAnswerer {
public:
    NoticeAnswerer() {
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            for (QWidget* w : QApplication::topLevelWidgets()) {
                auto* box = qobject_cast<QMessageBox*>(w);
                if (!box || !box->isVisible() || box->property("answered").toBool()) continue;
                box->setProperty("answered", true);
                ++answered_;
                QTimer::singleShot(0, box, [box] { box->button(QMessageBox::Ok)->click(); });
            }
        });
        timer_.start(5);
    }
    int Answered() const { return answered_; }
    // Handles events until `count` notices in all have been answered.
    void WaitFor(int count) {
        while (answered_ < count) QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }

private:
    QTimer timer_;
    int answered_ = 0;
};

// The longest gap between two turns of the window's event loop while it runs.
class StallMeter {
public:
    StallMeter() {
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            longest_ = std::max(longest_, clock_.restart());
        });
    }
    void Start() {
        longest_ = 0;
        clock_.start();
        timer_.start(1);
    }
    void Stop() { timer_.stop(); }
    qint64 LongestMs() const { return longest_; }

private:
    QTimer timer_;
    QElapsedTimer clock_;
    qint64 longest_ = 0;
};

using bench::PeakMemoryKiB;

// A window bound to its actions on a stand-in with the sample at `scale`, logged in, with the
// account set 演示账套 (unit 001, account set 001) in the inputs.
struct Conversion {
    explicit Conversion(int scale, int pauseMilliseconds, const fs::path& timingLog = {}) {
        testsupport::UsePrivateOdbcConfig();
        testsupport::StandinProcess::Options options;
        options.scale = scale;
        if (!timingLog.empty()) options.extraArgs = {"--log-timing", timingLog.string()};
        standin = std::make_unique<testsupport::StandinProcess>(options);
        standin->ExportTdsPort();
        backups = fs::temp_directory_path() / ("tarvex-bench-" + std::to_string(standin->Port()));
        fs::create_directories(backups);
        window = std::make_unique<tarvex::MainWindow>();
        tarvex::BindActions(*window, {pauseMilliseconds, backups.string()});
        window->ShowCentred();
        Button("按钮1")->click();
        notices.WaitFor(1);
        window->findChild<QLineEdit*>(QString::fromUtf8("编辑框6"))->setText("001");
        window->findChild<QLineEdit*>(QString::fromUtf8("编辑框7"))->setText("001");
        window->findChild<QComboBox*>(QString::fromUtf8("组合框1"))->setEditText(QString::fromUtf8("演示账套"));
    }
    ~Conversion() {
        window->close();
        while (window->isVisible()) QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        window.reset();
        standin.reset();
        std::error_code ignored;
        fs::remove_all(backups, ignored);
    }
    QPushButton* Button(const char* name) { return window->findChild<QPushButton*>(QString::fromUtf8(name)); }
    // Clicks a button and returns once its action's closing notice has been answered.
    void Run(const char* button) {
        const int before = notices.Answered();
        Button(button)->click();
        notices.WaitFor(before + 1);
    }

    NoticeAnswerer notices;
    std::unique_ptr<testsupport::StandinProcess> standin;
    fs::path backups;
    std::unique_ptr<tarvex::MainWindow> window;
};

int MemoryRun(int scale) {
    long peak = 0;
    {
        Conversion c(scale, 0);
        c.Run("按钮4");
        peak = PeakMemoryKiB();
    }
    std::printf("%ld\n", peak);
    return 0;
}

long MemoryOfRun(const char* self, int scale) {
    const std::string command = std::string(self) + " --memory-run " + std::to_string(scale);
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    long kib = 0;
    if (!pipe || std::fscanf(pipe.get(), "%ld", &kib) != 1) std::fprintf(stderr, "%s failed\n", command.c_str());
    return kib;
}

// The statements in the stand-in's timing log, and the seconds it spent on those after the
// first `skip`.
struct ServerTime {
    int statements = 0;
    double seconds = 0;
};
ServerTime ServerSeconds(const fs::path& timingLog, int skip = 0) {
    std::ifstream log(timingLog);
    ServerTime t;
    long long us = 0;
    std::string rest;
    while (log >> us && std::getline(log, rest))
        if (++t.statements > skip) t.seconds += static_cast<double>(us) / 1e6;
    return t;
}

}  // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    if (argc == 3 && std::string(argv[1]) == "--memory-run") return MemoryRun(std::atoi(argv[2]));

    const fs::path timingLog = fs::temp_directory_path() / ("tarvex-bench-timing-" + std::to_string(::getpid()));
    std::printf("extraction with the real one-second pauses (35 of them), then the export...\n");
    {
        Conversion c(1, 1000, timingLog);
        const int before = ServerSeconds(timingLog).statements;  // the log-in's are not the run's
        StallMeter stalls;
        stalls.Start();
        const auto began = std::chrono::steady_clock::now();
        c.Run("按钮4");
        const double run = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
        const double server = ServerSeconds(timingLog, before).seconds;
        c.Run("按钮2");
        stalls.Stop();
        const double floor = 35.0 + server;
        std::printf("overhead:       run %.3f s against pauses 35.000 s + server %.3f s = %.3f s: ratio %.4f "
                    "(%.2f%% over; goal at most 2%%)\n",
                    run, server, floor, run / floor, (run / floor - 1) * 100);
        std::printf("responsiveness: longest event-loop stall %lld ms during extraction and export "
                    "(ratio to 50 ms: %.2f; goal under 1)\n",
                    static_cast<long long>(stalls.LongestMs()), stalls.LongestMs() / 50.0);
    }
    fs::remove(timingLog);

    std::printf("memory: one extraction each on the sample and on 100 times its voucher rows...\n");
    const long small = MemoryOfRun(argv[0], 1);
    const long large = MemoryOfRun(argv[0], 100);
    std::printf("memory:         peak %ld KiB (sample) against %ld KiB (100x vouchers): ratio %.4f "
                "(goal at most 1.05)\n",
                small, large, small > 0 ? static_cast<double>(large) / small : 0.0);
    return 0;
}
