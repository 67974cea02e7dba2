#include "actions.h"

#include "main_window.h"
#include "workers.h"

namespace tarvex {
namespace {

void Login() {}
void StartExtraction() {}
void ExportAndCleanUp() {}
void LookUpAccountSets() {}
void ShowAccountSetCodes() {}

}  // namespace

void BindActions(MainWindow& window) {
    window.SetHandlers({
        .login = Login,
        .startExtraction = StartExtraction,
        .exportAndCleanUp = ExportAndCleanUp,
        .comboFocused = [&window] { StartWorkerThread(window, LookUpAccountSets); },
        .comboSelected = [&window] { StartWorkerThread(window, ShowAccountSetCodes); },
    });
}

}  // namespace tarvex
