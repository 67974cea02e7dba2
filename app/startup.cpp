#include "startup.h"

#include <QApplication>

#include <cfenv>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "actions.h"
#include "file_paths.h"
#include "main_window.h"
#include "process_end.h"

namespace tarvex {
namespace {

void ReleaseProgramLoginSettings() { ReleaseLoginSettings(ProgramLoginSettings()); }

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
    static const bool registered = (ProgramLoginSettings(), ReleaseAtEnd(ReleaseProgramLoginSettings));
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
        if (!window.EndThreads()) EndProcessNow(ReleaseProgramLoginSettings);
    }
    RunQueuedCalls();
    return 0;
}

}  // namespace tarvex
