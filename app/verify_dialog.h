#pragma once
// The dialog 核对备份: the check of a folder of backups against their records (folder_check.h)
// on the machine they were carried to, usable before any log-in. It reads the files on a worker,
// with the progress and a cancel, and shows a line per file (一致 or the reasons) and the
// summary. It writes nothing into the folder. Once the window has logged in, 还原核对 also
// proves each backup by restoring it (restore_check.h) on a connection of its own to master of
// the window's server, with the window's user and password.

#include <QDialog>
#include <QPointer>

#include <atomic>
#include <memory>
#include <string>

#include "database.h"
#include "folder_check.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QStandardItemModel;
class QTableView;

class QVBoxLayout;

namespace tarvex {

class MainWindow;

class VerifyDialog final : public QDialog {
public:
    // `folder`: where the check starts (the program's backups); `loggedIn`: whether the window
    // has logged in to a server.
    VerifyDialog(MainWindow& window, const std::string& folder, bool loggedIn);
    ~VerifyDialog() override;

    // Checks the folder the dialog names, as 开始核对 does.
    void Start();
    bool Running() const { return running_; }
    // While a check runs, closing the dialog cancels it first.
    void done(int result) override;

private:
    class Report;

    // Build creates the dialog's rows, in the steps after it and in their order.
    void Build();
    void BuildFolderRows(QVBoxLayout& layout);
    void BuildResultRows(QVBoxLayout& layout);
    void BuildButtonRow(QVBoxLayout& layout);
    void ConnectControls();
    void Browse();
    void Cancel();
    void ShowProgress(const std::string& file, int n, int files, int percent);
    void Finished(const FolderCheck& check);
    void UpdateButtons();

    MainWindow& window_;
    const bool loggedIn_;
    std::shared_ptr<std::atomic<bool>> cancel_ = std::make_shared<std::atomic<bool>>(false);
    // The restores' check's own connection, to master; shared with the worker that may outlive the dialog.
    std::shared_ptr<Database> database_ = std::make_shared<Database>();
    bool running_ = false;

    QLineEdit* folder_ = nullptr;
    QPushButton* browse_ = nullptr;
    QCheckBox* restoreCheck_ = nullptr;
    QTableView* lines_ = nullptr;
    QStandardItemModel* linesModel_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QLabel* status_ = nullptr;
    QPushButton* start_ = nullptr;
    QPushButton* cancelButton_ = nullptr;
    QPushButton* close_ = nullptr;
};

// The action of 核对备份…, on the window's thread.
void OpenVerifyDialog(MainWindow& window, bool loggedIn);

}  // namespace tarvex
