#include "startup.h"

#include <QApplication>

#include <cfenv>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#endif

#include "actions.h"
#include "file_paths.h"
#include "main_window.h"

namespace tarvex {
namespace {

void ReleaseProgramLoginSettings() { ReleaseLoginSettings(ProgramLoginSettings()); }

// Ends the process at once, under a thread that still runs: the log-in settings released and
// the output flushed first, no destructors and no exit handlers after that.
[[noreturn]] void EndProcessNow() {
#ifdef _WIN32
    // msvcrt has no quick_exit. TerminateProcess also skips the DLLs' detach notifications,
    // which could wait on a lock that thread holds inside the driver.
    ReleaseProgramLoginSettings();
    std::fflush(nullptr);
    TerminateProcess(GetCurrentProcess(), 0);
    std::abort();  // not reached: TerminateProcess on the own process does not return
#else
    std::fflush(nullptr);
    std::quick_exit(0);
#endif
}

// Runs the calls the toolkit has queued for itself, and those that these queue in turn. Among
// them, after the window has gone, is the stop of the toolkit's animation timer: the window's
// style animations (its progress bar's, its buttons' as closing disables them) end with the
// window, and the timer then stops through two queued calls, one queueing the next. Left
// running past the event loop, the timer is stopped at exit by the thread-local object that
// owns it, after the toolkit's own statics are gone: it then registers the main thread anew
// in the toolkit's bookkeeping of threads, which on Windows exit() has already freed.
void RunQueuedCalls() {
    for (int round = 0; round < 3; ++round) {  // the chain's two calls, and one more
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::sendPostedEvents();
    }
}

}  // namespace

LoginSettings& ProgramLoginSettings() {
    static LoginSettings settings;
    return settings;
}

void PrepareProcess() {
    const std::string directory = ProgramDirectory();
    std::error_code error;
    if (!directory.empty()) std::filesystem::current_path(FileSystemPath(directory), error);
    if (error) std::fprintf(stderr, "%s: %s\n", directory.c_str(), error.message().c_str());
    // Round to nearest, every floating-point exception masked.
    std::fesetenv(FE_DFL_ENV);
    // Made before the release is registered, the settings outlive it at exit.
#ifdef _WIN32
    static const bool registered = (ProgramLoginSettings(), std::atexit(ReleaseProgramLoginSettings) == 0);
#else
    static const bool registered = (ProgramLoginSettings(), std::atexit(ReleaseProgramLoginSettings) == 0 &&
                                                              std::at_quick_exit(ReleaseProgramLoginSettings) == 0);
#endif
    (void)registered;
}

int StartUp(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    PrepareProcess();
    // OLE has no counterpart here: the toolkit sets up what its window thread needs.
    QApplication application(argc, argv);
    {
        MainWindow window;
        BindActions(window);
        window.ShowCentred();
        QApplication::exec();
        if (!window.EndThreads()) EndProcessNow();
    }
    RunQueuedCalls();
    return 0;
}

}  // namespace tarvex
