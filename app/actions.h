#pragma once
// Binds the window's five events to the actions: log-in, the extraction run, the export, and
// the account-set lookup and selection.

#include <string>

namespace tarvex {

class MainWindow;

struct ActionOptions {
    // The pause between the steps of the extraction and the export.
    int pauseMilliseconds = 1000;
    // Where the export has the server write the backup file; empty: ProgramBackupDirectory(),
    // and a line in the log when that is not the program's own folder.
    std::string backupDirectory;
    // Whether backupDirectory is the user's own folder, because the program's cannot take the
    // backups: the export's notice then says where they are.
    bool backupDirectoryFellBack = false;
};

void BindActions(MainWindow& window, ActionOptions options = {});

}  // namespace tarvex
