#include "actions.h"

#include <condition_variable>
#include <memory>
#include <mutex>

#include "account_sets.h"
#include "batch_dialog.h"
#include "catalogue.h"
#include "conversion_record.h"
#include "export.h"
#include "login.h"
#include "login_account.h"
#include "main_window.h"
#include "restore_dialog.h"
#include "startup.h"
#include "window_actions.h"
#include "window_controls.h"
#include "workers.h"

namespace tarvex {
namespace {

// The selections under way: started by a choice, not yet ended. An extraction waits for them
// before it reads the codes they fill in, so that a run started right after a choice uses that
// choice's codes. A selection never waits for an extraction's worker, and its database work
// queues ahead of the run's, so the wait ends as soon as the codes are shown.
class SelectionsUnderWay {
public:
    void Enter() {
        std::lock_guard lock(mutex_);
        ++count_;
    }
    void Leave() {
        std::lock_guard lock(mutex_);
        if (--count_ == 0) none_.notify_all();
    }
    void WaitForNone() {
        std::unique_lock lock(mutex_);
        none_.wait(lock, [this] { return count_ == 0; });
    }

private:
    std::mutex mutex_;
    std::condition_variable none_;
    int count_ = 0;
};

// The action of 按钮4: shows the account set in the status line and starts the run on a
// worker. The action buttons stay disabled until the run ends, so it cannot start twice.
void StartExtraction(MainWindow& window, const std::shared_ptr<WindowControls>& controls,
                     const std::shared_ptr<SelectionsUnderWay>& selections,
                     const std::shared_ptr<ConversionLedger>& ledger, int pauseMilliseconds) {
    const std::string accountSet = controls->Text(Control::AccountSetChooser);
    controls->SetText(Control::Status, ProgramText("当前整理账套：") + accountSet);
    controls->SetActionsEnabled(false);
    controls->SetProgress(0, TableCatalogue::kEntryCount);
    Database& database = window.外部数据库1();
    if (!StartWorkerThread(window, [controls, selections, ledger, &database, pauseMilliseconds] {
            selections->WaitForNone();
            RunExtraction(*controls, database, *ledger, pauseMilliseconds);
        }))
        controls->SetActionsEnabled(true);
}

// The chooser's two events: each takes a request number, so that a request overtaken by a
// newer one of its kind while the database was busy is skipped, and starts its worker.
template <typename Routine>
bool StartChooserRequest(MainWindow& window, const std::shared_ptr<WindowControls>& controls,
                         Database::RequestKind kind, Routine routine) {
    Database& database = window.外部数据库1();
    const std::uint64_t request = database.NewRequest(kind);
    return StartWorkerThread(window, [controls, &database, request, routine] { routine(*controls, database, request); });
}

void StartSelection(MainWindow& window, const std::shared_ptr<WindowControls>& controls,
                    const std::shared_ptr<SelectionsUnderWay>& selections) {
    selections->Enter();
    const auto routine = [selections](Window& w, Database& database, std::uint64_t request) {
        ShowAccountSetCodes(w, database, request);
        selections->Leave();
    };
    if (!StartChooserRequest(window, controls, Database::RequestKind::Selection, routine)) selections->Leave();
}

// A new log-in ends the connection that holds the temporary database this program filled and
// has not exported: the database stays on the server, no longer this program's to export as its
// own. Only an explicit Yes gives it up so. One whose checked backup is made (its drop cut off)
// is exported: nothing to ask.
bool MayLogInAgain(Window& window, const ConversionLedger& ledger) {
    const std::optional<ExtractionRecord> filled = ledger.Filled();
    if (!filled || !filled->exportedAs.empty()) return true;
    return window.AskYesNo(
        ProgramText("临时数据库") + ProgramText(kTemporaryDatabase) + ProgramText("里有本程序整理、还没有导出的账套“") +
        filled->accountSetName +
        ProgramText("”。\r\n\r\n重新登录后，它仍留在服务器上，但本程序不再把它当作自己整理的：导出前会先问，"
                    "别的转换程序也可能导出或删除它。要转换这个账套，请先点击“导出数据”。\r\n\r\n仍然要重新登录吗？"));
}

}  // namespace

void BindActions(MainWindow& window, ActionOptions options) {
    // Shared with the workers: it may outlive the window, and then does nothing.
    auto controls = std::make_shared<WindowControls>(window);
    auto selections = std::make_shared<SelectionsUnderWay>();
    auto ledger = std::make_shared<ConversionLedger>();
    if (options.backupDirectory.empty()) {
        const BackupDirectory backups = ProgramBackupDirectory();
        options.backupDirectory = backups.path;
        options.backupDirectoryFellBack = backups.fellBack;
        if (backups.fellBack) controls->AppendText(Control::Log, FellBackText(backups.path) + "\r\n");
    }
    window.SetHandlers({
        .login =
            [&window, controls, ledger] {
                if (!MayLogInAgain(*controls, *ledger)) return;
                LoginSettings& settings = ProgramLoginSettings();
                if (Login(*controls, window.外部数据库1(), settings)) {
                    ledger->SetLogin({settings.Server, settings.Database, AccountLabel(settings, settings.Account),
                                      settings.ServerVersion});
                    window.SetLoggedIn(true);
                }
            },
        .startExtraction =
            [&window, controls, selections, ledger, options] {
                StartExtraction(window, controls, selections, ledger, options.pauseMilliseconds);
            },
        .exportAndCleanUp =
            [&window, controls, ledger, options] {
                ExportAndCleanUp(*controls, window.外部数据库1(), *ledger, options.backupDirectory,
                                 options.pauseMilliseconds, options.backupDirectoryFellBack);
            },
        .comboFocused =
            [&window, controls] {
                StartChooserRequest(window, controls, Database::RequestKind::Lookup, LookUpAccountSets);
            },
        .comboSelected = [&window, controls, selections] { StartSelection(window, controls, selections); },
    });
    window.SetRestoreHandler([&window, controls] { OpenRestoreDialog(window, controls); });
    window.SetBatchHandler([&window, ledger, folder = options.backupDirectory] {
        // Owned by the window, deleted once closed.
        auto* dialog = new BatchDialog(window, ledger, folder);
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        dialog->setWindowModality(Qt::WindowModal);
        dialog->show();
        dialog->Load();
    });
}

}  // namespace tarvex
