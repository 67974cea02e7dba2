// The one-second pauses of a conversion, as long as they are: the export's on the window's
// thread, with the window shown and a line added to its log before each (the window repaints
// during the pause), and the extraction's on a worker, whose lines reach the log through the
// window's thread. Each pause is timed with the steady clock; the bench prints the shortest and
// the longest of each kind against the 1.00-1.04 s a pause must last. Built for Linux and for
// Windows, where it runs under wine (xvfb-run -a scripts/wine-run build-win/pause_bench.exe).
//
// usage: pause_bench [PAUSES]   (10 of each kind unless given)

#include <QApplication>
#include <QEventLoop>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "main_window.h"
#include "window_controls.h"

namespace {

using Clock = std::chrono::steady_clock;

// Seconds each of `count` pauses took: a log line, then a one-second pause.
std::vector<double> TimedPauses(tarvex::Window& window, int count, const char* who) {
    std::vector<double> seconds;
    for (int i = 0; i < count; ++i) {
        window.AppendText(tarvex::Control::Log, std::string(who) + " " + std::to_string(i + 1) + "\r\n");
        const Clock::time_point begun = Clock::now();
        window.ResponsiveWait(1000);
        seconds.push_back(std::chrono::duration<double>(Clock::now() - begun).count());
    }
    return seconds;
}

void Print(const char* kind, const std::vector<double>& seconds) {
    const auto [shortest, longest] = std::minmax_element(seconds.begin(), seconds.end());
    const long outside = std::count_if(seconds.begin(), seconds.end(), [](double s) { return s < 1.0 || s > 1.04; });
    std::printf("%-40s %zu pauses of 1 s: %.3f-%.3f s, %ld outside 1.00-1.04 s\n", kind, seconds.size(), *shortest,
                *longest, outside);
}

}  // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    const int count = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    tarvex::MainWindow window;
    window.ShowCentred();
    tarvex::WindowControls controls(window);
    QApplication::processEvents();

    Print("window's thread (the export's pauses):", TimedPauses(controls, count, "export"));

    // The window's thread runs its event loop meanwhile, as it does during an extraction.
    std::vector<double> worker;
    QEventLoop running;
    std::thread extraction([&] {
        worker = TimedPauses(controls, count, "extraction");  // read after the join only
        QMetaObject::invokeMethod(&running, &QEventLoop::quit, Qt::QueuedConnection);
    });
    running.exec();
    extraction.join();
    Print("worker (the extraction's pauses):", worker);
    return 0;
}
