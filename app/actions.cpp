#include "actions.h"

#include <memory>

#include "account_sets.h"
#include "catalogue.h"
#include "export.h"
#include "extraction.h"
#include "login.h"
#include "main_window.h"
#include "startup.h"
#include "window_controls.h"
#include "workers.h"

namespace tarvex {
namespace {

// The action of 按钮4: shows the account set in the status line and starts the run on a
// worker. The action buttons stay disabled until the run ends, so it cannot start twice.
void StartExtraction(MainWindow& window, const std::shared_ptr<WindowControls>& controls, int pauseMilliseconds) {
    const std::string accountSet = controls->Text(Control::组合框1);
    controls->SetText(Control::标签9, ProgramText("当前整理账套：") + accountSet);
    controls->SetActionsEnabled(false);
    controls->SetProgress(0, TableCatalogue::kEntryCount);
    Database& database = window.外部数据库1();
    if (!StartWorkerThread(window, [controls, &database, pauseMilliseconds] {
            RunExtraction(*controls, database, pauseMilliseconds);
        }))
        controls->SetActionsEnabled(true);
}

// The chooser's two events: each takes a request number, so that a request overtaken by a
// newer one of its kind while the database was busy is skipped, and starts its worker.
template <typename Routine>
void StartChooserRequest(MainWindow& window, const std::shared_ptr<WindowControls>& controls,
                         Database::RequestKind kind, Routine routine) {
    Database& database = window.外部数据库1();
    const std::uint64_t request = database.NewRequest(kind);
    StartWorkerThread(window, [controls, &database, request, routine] { routine(*controls, database, request); });
}

}  // namespace

void BindActions(MainWindow& window, ActionOptions options) {
    // Shared with the workers: it may outlive the window, and then does nothing.
    auto controls = std::make_shared<WindowControls>(window);
    if (options.backupDirectory.empty()) options.backupDirectory = ProgramDirectory();
    window.SetHandlers({
        .login = [&window, controls] { Login(*controls, window.外部数据库1(), ProgramLoginSettings()); },
        .startExtraction = [&window, controls, options] { StartExtraction(window, controls, options.pauseMilliseconds); },
        .exportAndCleanUp =
            [&window, controls, options] {
                ExportAndCleanUp(*controls, window.外部数据库1(), options.backupDirectory, options.pauseMilliseconds);
            },
        .comboFocused =
            [&window, controls] {
                StartChooserRequest(window, controls, Database::RequestKind::Lookup, LookUpAccountSets);
            },
        .comboSelected =
            [&window, controls] {
                StartChooserRequest(window, controls, Database::RequestKind::Selection, ShowAccountSetCodes);
            },
    });
}

}  // namespace tarvex
