#pragma once
// The batch dialog (批量转换): every account set of the restored database in a table with a
// check box each, filtered by year; the checked ones converted one after another into the
// chosen folder (RunBatch, extract/batch.h) on a worker, with the set and table under way, an
// overall progress bar, the time taken and left, and the log; at the end a summary of every
// set, also written beside the backups as CSV.

#include <QDialog>
#include <QPointer>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "account_sets.h"
#include "batch.h"
#include "conversion_record.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QStackedWidget;
class QStandardItemModel;
class QTableView;
class QTimer;
class QVBoxLayout;
class QHBoxLayout;

namespace tarvex {

class MainWindow;

class BatchDialog final : public QDialog {
public:
    // `ledger`: what the window's connection, on which the batch works, has filled; `folder`:
    // where the backups go by default.
    BatchDialog(MainWindow& window, std::shared_ptr<ConversionLedger> ledger, const std::string& folder);
    ~BatchDialog() override;

    // Lists the account sets (on a worker); the table fills once they are read.
    void Load();
    bool Running() const { return running_; }

protected:
    void closeEvent(QCloseEvent* event) override;
    void reject() override;

private:
    struct Progress;

    void Build();
    void BuildYearRow(QVBoxLayout& layout);
    void BuildLists(QVBoxLayout& layout);
    void BuildFolderRow(QVBoxLayout& layout);
    void BuildProgressAndLog(QVBoxLayout& layout);
    void BuildButtons(QVBoxLayout& layout);
    void ConnectControls();
    void ShowSets(std::vector<AccountSetEntry> sets, const std::string& problem);
    void FilterByYear();
    void ShowSelected();
    void CheckAll(bool checked);
    std::vector<AccountSetEntry> CheckedSets() const;
    void Start();
    void Cancel();
    void OpenFolder();
    void SetBegins(int n, int total, const std::string& name);
    void TableCopied(int position);
    void AppendLog(const QString& line);
    void Finished(const BatchOutcome& outcome);
    void FitSummary();
    void OfferToDropLeftover();
    void LeftoverDropped(const LeftoverDrop& dropped);
    void ShowTimes();

    MainWindow& window_;
    std::shared_ptr<ConversionLedger> ledger_;
    LoggedIn login_;
    std::vector<AccountSetEntry> sets_;  // in the table's order
    std::shared_ptr<std::atomic<bool>> cancel_ = std::make_shared<std::atomic<bool>>(false);
    bool running_ = false;

    QHBoxLayout* years_ = nullptr;
    std::vector<QCheckBox*> yearBoxes_;
    QStandardItemModel* model_ = nullptr;
    QTableView* table_ = nullptr;
    QStandardItemModel* summaryModel_ = nullptr;
    QTableView* summary_ = nullptr;
    QStackedWidget* pages_ = nullptr;
    QLineEdit* folder_ = nullptr;
    QCheckBox* skipDone_ = nullptr;
    QLabel* selected_ = nullptr;
    QLabel* current_ = nullptr;
    QLabel* times_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QPlainTextEdit* log_ = nullptr;
    QPushButton* all_ = nullptr;
    QPushButton* none_ = nullptr;
    QPushButton* start_ = nullptr;
    QPushButton* cancelButton_ = nullptr;
    QPushButton* openFolder_ = nullptr;
    QPushButton* close_ = nullptr;
    QTimer* ticker_ = nullptr;  // shows the time taken each second while the batch runs

    std::chrono::steady_clock::time_point started_;
    int setsTotal_ = 0;
    int setNumber_ = 0;
    int tablesDone_ = 0;  // of the set under way
    QString setName_;
};

}  // namespace tarvex
