#pragma once
// The restore dialog (还原数据库): the first step of the auditor's work. It logs in to master of
// the window's server with the window's user and password on a connection of its own, lets the
// user pick the backup file (from this computer's disk where the server is this computer; typed
// as the server sees it otherwise), shows what the backup holds, proposes its database's name,
// and restores it (RestoreBackup, extract/restore.h) on a worker, with the time taken, the
// server's progress and the log. The restored name goes into the window's 数据库名称, so that
// 登录数据库 opens it at once.

#include <QDialog>
#include <QPointer>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "restore.h"

class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTimer;
class QVBoxLayout;

namespace tarvex {

class MainWindow;
class Window;

class RestoreDialog final : public QDialog {
public:
    // `controls`: the window's, for 数据库名称; `login`: the window's server, user and password.
    RestoreDialog(MainWindow& window, std::shared_ptr<Window> controls, LoginSettings login);
    ~RestoreDialog() override;

    // Logs in (on a worker); the dialog shows the server once it is connected.
    void Connect();
    bool Running() const { return running_; }

    // While a restore runs, closing the dialog (Esc, its close button) cancels it and the dialog
    // stays to show how it ended; the window closing ends it too.
    void done(int result) override;

private:
    struct BackupRead;

    void Build();
    void BuildIntroAndServer(QVBoxLayout& layout);
    void BuildFileRow(QVBoxLayout& layout);
    void BuildContents(QVBoxLayout& layout);
    void BuildNameRow(QVBoxLayout& layout);
    void BuildProgressAndLog(QVBoxLayout& layout);
    void BuildButtons(QVBoxLayout& layout);
    void ConnectControls();
    // Runs `work()` on a worker and `then(dialog, result)` back on the dialog's thread, if the
    // dialog is still there.
    template <typename Work, typename Then>
    void OnWorker(Work work, Then then);
    void Connected(const Reading<RestoreServer>& reading);
    void Browse();
    // Reads the backup file; `position`: the full backup to restore, 0 for the one ChooseSets takes.
    void ReadBackupFile(int position = 0);
    void ShowBackup(const BackupRead& read);
    void ForgetBackup();
    void Start();
    void Cancel();
    void Finished(const Restored& restored);
    void ShowPercent(int percent);
    void ShowTime();
    void AppendLog(const std::string& line);
    void SetStatus(const std::string& text);
    void Warn(const std::string& text);
    void UpdateButtons();

    MainWindow& window_;
    std::shared_ptr<Window> controls_;
    LoginSettings login_;
    bool thisComputer_ = false;
    // Shared with the workers that use it: a worker may outlive the dialog.
    std::shared_ptr<Database> database_ = std::make_shared<Database>();
    std::shared_ptr<std::atomic<bool>> cancel_ = std::make_shared<std::atomic<bool>>(false);
    std::optional<RestoreServer> server_;
    std::optional<BackupDescription> backup_;
    bool busy_ = false;  // a worker reads or restores
    bool running_ = false;
    std::chrono::steady_clock::time_point started_;

    QLabel* serverLine_ = nullptr;
    QLineEdit* path_ = nullptr;
    QPushButton* browse_ = nullptr;
    QPushButton* read_ = nullptr;
    QLabel* backupDatabase_ = nullptr;
    QLabel* backupTime_ = nullptr;
    QLabel* backupVersion_ = nullptr;
    QLabel* backupSize_ = nullptr;
    QComboBox* position_ = nullptr;  // the file's full backups, the one restored chosen
    QLabel* sets_ = nullptr;         // every set of the file, what the restore takes from it
    QLineEdit* name_ = nullptr;
    QLabel* status_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QLabel* time_ = nullptr;
    QPlainTextEdit* log_ = nullptr;
    QPushButton* start_ = nullptr;
    QPushButton* cancelButton_ = nullptr;
    QPushButton* close_ = nullptr;
    QTimer* clock_ = nullptr;
};

// The action of 还原数据库…, on the window's thread: reads the window's server, user and password
// as the log-in does (a notice says what is wrong with them) and opens the dialog.
void OpenRestoreDialog(MainWindow& window, const std::shared_ptr<Window>& controls);

}  // namespace tarvex
