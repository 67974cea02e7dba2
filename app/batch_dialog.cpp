#include "batch_dialog.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDir>
#include <QDesktopServices>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStackedWidget>
#include <QStandardItemModel>
#include <QTableView>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <set>

#include "catalogue.h"
#include "codepage.h"
#include "dialog_report.h"
#include "failure_reason.h"
#include "file_paths.h"
#include "main_window.h"
#include "narrow_text.h"
#include "sqltext.h"
#include "workers.h"

namespace tarvex {
namespace {

QString Trimmed(const std::string& narrow) {
    QString text = ToQString(narrow);
    while (text.endsWith(QLatin1Char(' '))) text.chop(1);
    return text;
}
QString U(const char* utf8) { return QString::fromUtf8(utf8); }

// "1分05秒", "12秒".
QString Duration(std::chrono::seconds s) {
    const long long m = s.count() / 60, r = s.count() % 60;
    return m > 0 ? U("%1分%2秒").arg(m).arg(r, 2, 10, QLatin1Char('0')) : U("%1秒").arg(r);
}

enum ListColumn { kCheck, kYear, kUnitCode, kUnitName, kNumber, kName, kNote, kListColumns };
// The summary's columns that wrap their long texts.
enum SummaryColumn { kSummaryUnitName = 2, kSummarySetName = 4, kSummaryFile = 8 };

QStandardItem* Cell(const QString& text) {
    auto* item = new QStandardItem(text);
    item->setEditable(false);
    return item;
}

}  // namespace

BatchDialog::BatchDialog(MainWindow& window, std::shared_ptr<ConversionLedger> ledger, const std::string& folder)
    : QDialog(&window), window_(window), ledger_(std::move(ledger)), login_(ledger_->Login()) {
    setObjectName(U("批量转换"));
    setWindowTitle(U("批量转换"));
    Build();
    folder_->setText(QtPath(folder));
    resize(900, 640);
}

BatchDialog::~BatchDialog() { cancel_->store(true); }

void BatchDialog::Build() {
    auto* layout = new QVBoxLayout(this);
    BuildYearRow(*layout);
    BuildLists(*layout);
    BuildFolderRow(*layout);
    BuildProgressAndLog(*layout);
    BuildButtons(*layout);
    ConnectControls();
}

void BatchDialog::BuildYearRow(QVBoxLayout& layout) {
    auto* yearRow = new QHBoxLayout;
    yearRow->addWidget(new QLabel(U("年度："), this));
    years_ = new QHBoxLayout;
    yearRow->addLayout(years_);
    yearRow->addStretch();
    all_ = new QPushButton(U("全选(&A)"), this);
    none_ = new QPushButton(U("全不选(&N)"), this);
    yearRow->addWidget(all_);
    yearRow->addWidget(none_);
    layout.addLayout(yearRow);
}

// The account sets to choose from and, on a page of its own, the summary of the batch.
void BatchDialog::BuildLists(QVBoxLayout& layout) {
    model_ = new QStandardItemModel(0, kListColumns, this);
    model_->setHorizontalHeaderLabels(
        {QString(), U("年度"), U("单位编号"), U("单位名称"), U("账套编号"), U("账套名称"), U("说明")});
    table_ = new QTableView(this);
    table_->setObjectName(U("账套列表"));
    table_->setModel(model_);
    summaryModel_ = new QStandardItemModel(0, 11, this);
    summaryModel_->setHorizontalHeaderLabels({U("年度"), U("单位编号"), U("单位名称"), U("账套编号"), U("账套名称"),
                                              U("结果"), U("复制行数"), U("有数据的表"), U("备份文件"), U("校验"),
                                              U("说明")});
    summary_ = new QTableView(this);
    summary_->setObjectName(U("汇总"));
    summary_->setModel(summaryModel_);
    for (QTableView* view : {table_, summary_}) {
        view->setSelectionMode(QAbstractItemView::NoSelection);
        view->verticalHeader()->hide();
        view->horizontalHeader()->setStretchLastSection(true);
        view->verticalHeader()->setDefaultSectionSize(view->fontMetrics().height() + 8);
    }
    // The notes column (stretched over the width left) wraps its texts: rows follow its width.
    connect(summary_->horizontalHeader(), &QHeaderView::sectionResized, this, [this](int column) {
        if (column == summaryModel_->columnCount() - 1) summary_->resizeRowsToContents();
    });
    pages_ = new QStackedWidget(this);
    pages_->addWidget(table_);
    pages_->addWidget(summary_);
    layout.addWidget(pages_, 5);
    selected_ = new QLabel(this);
    selected_->setObjectName(U("已选"));
    layout.addWidget(selected_);
}

// The folder of the backups, the check box that skips sets converted before, and a note.
void BatchDialog::BuildFolderRow(QVBoxLayout& layout) {
    auto* folderRow = new QHBoxLayout;
    auto* folderLabel = new QLabel(U("备份文件夹(&F)："), this);
    folderRow->addWidget(folderLabel);
    folder_ = new QLineEdit(this);
    folderLabel->setBuddy(folder_);
    folder_->setObjectName(U("备份文件夹"));
    folderRow->addWidget(folder_);
    skipDone_ = new QCheckBox(U("跳过已转换的账套(&K)"), this);
    skipDone_->setObjectName(U("跳过已转换"));
    skipDone_->setToolTip(U("文件夹里已有某个账套的备份和转换记录、两者相符并且校验通过时，不再转换它。"));
    folderRow->addWidget(skipDone_);
    layout.addLayout(folderRow);
    auto* note = new QLabel(U("备份文件由数据库服务器写入这个文件夹：服务器在另一台电脑上时，是那台电脑上的同名文件夹；"
                              "服务器的服务账户要能写入它。"),
                            this);
    note->setWordWrap(true);
    layout.addWidget(note);
}

// The set under way, the progress over all, the times, and the log.
void BatchDialog::BuildProgressAndLog(QVBoxLayout& layout) {
    current_ = new QLabel(this);
    current_->setObjectName(U("当前账套"));
    progress_ = new QProgressBar(this);
    progress_->setObjectName(U("总进度"));
    progress_->setValue(0);
    times_ = new QLabel(this);
    times_->setObjectName(U("时间"));
    layout.addWidget(current_);
    layout.addWidget(progress_);
    layout.addWidget(times_);

    log_ = new QPlainTextEdit(this);
    log_->setObjectName(U("批量日志"));
    log_->setReadOnly(true);
    layout.addWidget(log_, 2);
    log_->setMinimumHeight(80);
}

void BatchDialog::BuildButtons(QVBoxLayout& layout) {
    auto* buttons = new QHBoxLayout;
    start_ = new QPushButton(U("开始(&S)"), this);
    cancelButton_ = new QPushButton(U("取消(&C)"), this);
    openFolder_ = new QPushButton(U("打开文件夹(&O)"), this);
    close_ = new QPushButton(U("关闭(&X)"), this);
    for (QPushButton* b : {start_, cancelButton_, openFolder_, close_}) b->setAutoDefault(false);
    cancelButton_->setEnabled(false);
    start_->setEnabled(false);
    buttons->addStretch();
    for (QPushButton* b : {start_, cancelButton_, openFolder_, close_}) buttons->addWidget(b);
    layout.addLayout(buttons);
}

void BatchDialog::ConnectControls() {
    ticker_ = new QTimer(this);
    ticker_->setInterval(1000);
    connect(ticker_, &QTimer::timeout, this, [this] { ShowTimes(); });
    // Earlier results in the folder: a rerun resumes unless the user says otherwise.
    connect(folder_, &QLineEdit::textChanged, this,
            [this] { skipDone_->setChecked(HoldsEarlierResults(NarrowPath(folder_->text().trimmed()))); });
    connect(model_, &QStandardItemModel::itemChanged, this, [this] { ShowSelected(); });
    connect(all_, &QPushButton::clicked, this, [this] { CheckAll(true); });
    connect(none_, &QPushButton::clicked, this, [this] { CheckAll(false); });
    connect(start_, &QPushButton::clicked, this, [this] { Start(); });
    connect(cancelButton_, &QPushButton::clicked, this, [this] { Cancel(); });
    connect(close_, &QPushButton::clicked, this, [this] { close(); });
    connect(openFolder_, &QPushButton::clicked, this, [this] { OpenFolder(); });
}

// The system's file manager shows the folder; where none can (on Linux without xdg-open), the
// user gets its path to go to.
void BatchDialog::OpenFolder() {
    const QString folder = folder_->text();
    if (QDesktopServices::openUrl(QUrl::fromLocalFile(folder))) return;
    QMessageBox::information(this, U("打开文件夹"),
                             U("无法自动打开文件夹。备份文件和汇总在这个文件夹里：\n") + QDir::toNativeSeparators(folder));
}

void BatchDialog::Load() {
    current_->setText(U("正在读取账套列表……"));
    Database& database = window_.外部数据库1();
    const std::string source = login_.database;
    StartWorkerThread(window_, [dialog = QPointer<BatchDialog>(this), &database, source] {
        std::vector<AccountSetEntry> sets;
        std::string problem;
        std::optional<AccountSetList> read = ListAccountSets(database, source);
        if (!read) return;  // the window is closing
        if (read->sets) sets = std::move(*read->sets);
        else if (!read->nameProblem.empty()) problem = read->nameProblem;
        else problem = ProgramText("读取账套列表失败。") + ReasonParagraph(read->error);
        ThenInDialog(dialog, [sets = std::move(sets), problem](BatchDialog& d) mutable { d.ShowSets(std::move(sets), problem); });
    });
}

void BatchDialog::ShowSets(std::vector<AccountSetEntry> sets, const std::string& problem) {
    sets_ = std::move(sets);
    if (!problem.empty()) {
        current_->setText(ToQString(problem).replace(QStringLiteral("\r\n"), QStringLiteral(" ")));
        return;
    }
    std::set<QString> years;
    for (const AccountSetEntry& set : sets_) {
        QList<QStandardItem*> row;
        auto* check = Cell(QString());
        check->setCheckable(set.convertible);
        check->setCheckState(Qt::Unchecked);
        row << check << Cell(Trimmed(set.year)) << Cell(Trimmed(set.unitCode)) << Cell(Trimmed(set.unitName))
            << Cell(Trimmed(set.accountSetNo)) << Cell(Trimmed(set.name))
            << Cell(set.convertible ? QString() : ToQString(WithoutNewChartText()));
        if (!set.convertible)
            for (QStandardItem* item : row) item->setEnabled(false);  // shown greyed
        model_->appendRow(row);
        years.insert(Trimmed(set.year));
    }
    for (const QString& year : years) {
        auto* box = new QCheckBox(year, this);
        box->setChecked(true);
        connect(box, &QCheckBox::toggled, this, [this] { FilterByYear(); });
        years_->addWidget(box);
        yearBoxes_.push_back(box);
    }
    table_->resizeColumnsToContents();
    ShowSelected();
    current_->setText(U("共%1个账套，其中%2个可以转换。勾选要转换的账套，再点击“开始”（Alt+S）。")
                          .arg(sets_.size())
                          .arg(std::count_if(sets_.begin(), sets_.end(), [](const AccountSetEntry& s) { return s.convertible; })));
    start_->setEnabled(true);
}

void BatchDialog::FilterByYear() {
    std::set<QString> shown;
    for (QCheckBox* box : yearBoxes_)
        if (box->isChecked()) shown.insert(box->text());
    for (int row = 0; row < model_->rowCount(); ++row)
        table_->setRowHidden(row, !shown.count(model_->item(row, kYear)->text()));
    ShowSelected();
}

// "已选N个账套", every checked set, those hidden by the year filter too: 开始 converts them all.
void BatchDialog::ShowSelected() {
    int checked = 0, hidden = 0;
    for (int row = 0; row < model_->rowCount(); ++row) {
        if (model_->item(row, kCheck)->checkState() != Qt::Checked) continue;
        ++checked;
        hidden += table_->isRowHidden(row);
    }
    QString text = U("已选%1个账套").arg(checked);
    if (hidden > 0) text += U("，其中%1个不在当前显示的年度中").arg(hidden);
    selected_->setText(text + U("。"));
}

void BatchDialog::CheckAll(bool checked) {
    for (int row = 0; row < model_->rowCount(); ++row) {
        QStandardItem* check = model_->item(row, kCheck);
        if (check->isCheckable() && !table_->isRowHidden(row)) check->setCheckState(checked ? Qt::Checked : Qt::Unchecked);
    }
}

// Every checked set, shown or hidden by the year filter, in the table's order: what the line
// "已选N个账套" counts.
std::vector<AccountSetEntry> BatchDialog::CheckedSets() const {
    std::vector<AccountSetEntry> checked;
    for (int row = 0; row < model_->rowCount(); ++row)
        if (model_->item(row, kCheck)->checkState() == Qt::Checked) checked.push_back(sets_[static_cast<std::size_t>(row)]);
    return checked;
}

void BatchDialog::Start() {
    const std::vector<AccountSetEntry> sets = CheckedSets();
    if (sets.empty()) {
        QMessageBox::information(this, U("批量转换"), U("请先勾选要转换的账套。"));
        return;
    }
    const std::string folder = NarrowPath(folder_->text().trimmed());
    if (const std::string problem = FolderProblem(folder); !problem.empty()) {
        QMessageBox::warning(this, U("批量转换"), ToQString(problem) + U("\n\n请改用一个存在并且可以写入的文件夹。"));
        return;
    }
    running_ = true;
    cancel_->store(false);
    for (QWidget* w : std::initializer_list<QWidget*>{start_, all_, none_, folder_, skipDone_, table_, close_})
        w->setEnabled(false);
    for (QCheckBox* box : yearBoxes_) box->setEnabled(false);
    cancelButton_->setEnabled(true);
    setsTotal_ = static_cast<int>(sets.size());
    progress_->setRange(0, setsTotal_ * TableCatalogue::kEntryCount);
    progress_->setValue(0);
    started_ = std::chrono::steady_clock::now();
    ticker_->start();  // the time taken goes on while a long statement runs
    AppendLog(U("开始批量转换%1个账套。\r\n").arg(setsTotal_));
    Database& database = window_.外部数据库1();
    auto report = std::make_shared<DialogReport>(
        this, cancel_,
        DialogReport::Shown{
            .log = [this](const std::string& line) { AppendLog(ToQString(line)); },
            .copied = [this](int position) { TableCopied(position); },
            .setBegins =
                [this](int n, int total, const AccountSetEntry& set) {
                    SetBegins(n, total,
                              ProgramText("年度") + set.year + ProgramText("，单位") + set.unitCode + ProgramText("，账套") +
                                  set.accountSetNo + " " + set.name);
                },
            .percent = {},
        });
    const bool started = StartWorkerThread(
        window_, [dialog = QPointer<BatchDialog>(this), report, &database, ledger = ledger_, sets, folder,
                  skip = skipDone_->isChecked()] {
            BatchOutcome outcome = RunBatch(database, *ledger, ledger->Login().database, sets, folder, *report, {skip});
            ThenInDialog(dialog, [outcome = std::move(outcome)](BatchDialog& d) { d.Finished(outcome); });
        });
    if (!started) running_ = false;
}

// Acknowledged at once; the statement under way is cancelled at the server, so that a long copy
// or a server that stopped answering holds the batch no longer.
void BatchDialog::Cancel() {
    cancel_->store(true);
    cancelButton_->setEnabled(false);
    AppendLog(U("正在取消：中止当前的语句，删除临时数据库后停止。\r\n"));
    window_.外部数据库1().Cancel();
}

void BatchDialog::SetBegins(int n, int total, const std::string& name) {
    setNumber_ = n;
    tablesDone_ = 0;
    setName_ = Trimmed(name);
    current_->setText(U("第%1个（共%2个）：%3，第0张表（共%4张）").arg(n).arg(total).arg(setName_).arg(TableCatalogue::kEntryCount));
    progress_->setValue((n - 1) * TableCatalogue::kEntryCount);
    ShowTimes();
}

void BatchDialog::TableCopied(int position) {
    tablesDone_ = position;
    current_->setText(U("第%1个（共%2个）：%3，第%4张表（共%5张）")
                          .arg(setNumber_)
                          .arg(setsTotal_)
                          .arg(setName_)
                          .arg(position)
                          .arg(TableCatalogue::kEntryCount));
    progress_->setValue((setNumber_ - 1) * TableCatalogue::kEntryCount + position);
    ShowTimes();
}

// The time taken, and while the batch runs the time left as the tables done so far took.
void BatchDialog::ShowTimes() {
    using namespace std::chrono;
    const auto elapsed = duration_cast<milliseconds>(steady_clock::now() - started_);
    const int done = progress_->value();
    QString text = U("已用时%1").arg(Duration(duration_cast<seconds>(elapsed)));
    if (running_) {
        if (done == 0 || elapsed < seconds(1)) {
            text += U("，正在估算剩余时间……");
        } else {
            const auto left = milliseconds(elapsed.count() * (progress_->maximum() - done) / done);
            text += U("，预计还需约%1").arg(Duration(ceil<seconds>(left)));
        }
    }
    times_->setText(text);
}

void BatchDialog::AppendLog(const QString& line) {
    QString text = line;
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    if (text.endsWith(QLatin1Char('\n'))) text.chop(1);
    log_->appendPlainText(text);
}

void BatchDialog::Finished(const BatchOutcome& outcome) {
    running_ = false;
    ticker_->stop();
    ShowTimes();
    int converted = 0, skipped = 0, warned = 0, failed = 0;
    for (const BatchRow& r : outcome.rows) {
        QList<QStandardItem*> row;
        row << Cell(Trimmed(r.set.year)) << Cell(Trimmed(r.set.unitCode)) << Cell(Trimmed(r.set.unitName))
            << Cell(Trimmed(r.set.accountSetNo)) << Cell(Trimmed(r.set.name)) << Cell(ToQString(ResultText(r.result)))
            << Cell(ToQString(RowsText(r))) << Cell(QString::number(r.tablesWithRows)) << Cell(QtPath(r.file))
            << Cell(ToQString(r.verification)) << Cell(ToQString(NotesText(r)));
        row.back()->setToolTip(row.back()->text());
        summaryModel_->appendRow(row);
        converted += r.result == BatchRow::Result::Converted;
        skipped += r.result == BatchRow::Result::Skipped;
        warned += r.result == BatchRow::Result::WithWarnings;
        failed += r.result == BatchRow::Result::Failed;
    }
    pages_->setCurrentWidget(summary_);
    FitSummary();
    QString end = outcome.Cancelled() ? U("批量转换已取消") : outcome.stopped.empty() ? U("批量转换结束") : U("批量转换停止");
    end += U("：%1个已转换，").arg(converted);
    if (skipped > 0) end += U("%1个已存在（跳过），").arg(skipped);
    end += U("%1个已转换但有警告，%2个失败，%3个未转换。")
               .arg(warned)
               .arg(failed)
               .arg(static_cast<int>(outcome.rows.size()) - converted - skipped - warned - failed);
    current_->setText(end);
    AppendLog(end);
    AppendLog(outcome.summaryFile.empty() ? U("汇总文件未能写入（%1）。").arg(ToQString(outcome.summaryProblem))
                                          : U("汇总文件：%1").arg(QtPath(outcome.summaryFile)));
    cancelButton_->setEnabled(false);
    close_->setEnabled(true);
    if (outcome.stop == BatchOutcome::Stop::Leftover) OfferToDropLeftover();
}

// The summary within the dialog's width, its notes (a server's reason among them) whole in a
// column of their own: the long names (unit, account set, backup file) wrap in a set width, the
// notes take the rest, at least kNotesEms characters (the dialog grows for them where the screen
// has room), and each row is as tall as its texts; as the dialog's width changes, the rows follow
// (Build connects the notes column's resizing).
void BatchDialog::FitSummary() {
    constexpr int kNotesEms = 18;
    const int em = summary_->fontMetrics().horizontalAdvance(U("账"));
    summary_->setWordWrap(true);
    summary_->resizeColumnsToContents();
    const int notes = summaryModel_->columnCount() - 1;
    int others = 0;
    for (int column = 0; column < notes; ++column) {
        const bool wraps = column == kSummaryUnitName || column == kSummarySetName || column == kSummaryFile;
        if (wraps) summary_->setColumnWidth(column, std::min(summary_->columnWidth(column), (column == kSummaryFile ? 11 : 7) * em));
        others += summary_->columnWidth(column);
    }
    const int lacking = others + kNotesEms * em - summary_->viewport()->width();
    if (lacking > 0 && screen())
        resize(std::min(width() + lacking, screen()->availableGeometry().width()), height());
    summary_->resizeRowsToContents();
}

// A temporary database that no copy of the program holds stopped the batch: the user may drop
// it here and start again.
void BatchDialog::OfferToDropLeftover() {
    if (QMessageBox::question(this, U("批量转换"),
                              U("服务器上留有临时数据库Tarvex数据整理，没有别的转换程序在使用它。\n\n"
                                "要删除它，再重新开始批量转换吗？删除前会在日志里记下它属于哪个账套。"),
                              QMessageBox::Yes | QMessageBox::No, QMessageBox::No) != QMessageBox::Yes)
        return;
    close_->setEnabled(false);
    AppendLog(U("正在删除留下的临时数据库……"));
    Database& database = window_.外部数据库1();
    StartWorkerThread(window_, [dialog = QPointer<BatchDialog>(this), &database, ledger = ledger_] {
        const LeftoverDrop dropped = [&] {
            HoldOnTemporaryDatabase hold(database, *ledger);
            return DropLeftover(hold);
        }();
        ThenInDialog(dialog, [dropped](BatchDialog& d) { d.LeftoverDropped(dropped); });
    });
}

void BatchDialog::LeftoverDropped(const LeftoverDrop& dropped) {
    close_->setEnabled(true);
    switch (dropped.end) {
        case LeftoverDrop::End::Dropped:
            AppendLog(U("已删除临时数据库，其中是：\n") + ToQString(dropped.held));
            break;
        case LeftoverDrop::End::Absent: AppendLog(U("服务器上已经没有临时数据库。")); break;
        case LeftoverDrop::End::HeldElsewhere: AppendLog(ToQString(dropped.refusal)); return;
        case LeftoverDrop::End::FilledHere:
        case LeftoverDrop::End::Failed:
        case LeftoverDrop::End::Closing:
            AppendLog(U("临时数据库没有删除。") + ToQString(ReasonLine(dropped.error)));
            return;
    }
    // Back to the list, and the batch again, as the question said.
    summaryModel_->removeRows(0, summaryModel_->rowCount());
    pages_->setCurrentWidget(table_);
    for (QWidget* w : std::initializer_list<QWidget*>{start_, all_, none_, folder_, skipDone_, table_}) w->setEnabled(true);
    for (QCheckBox* box : yearBoxes_) box->setEnabled(true);
    AppendLog(U("重新开始批量转换。"));
    Start();
}

void BatchDialog::closeEvent(QCloseEvent* event) {
    if (running_) {
        Cancel();  // a batch under way is cancelled; the dialog stays to show what was done
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

void BatchDialog::reject() {
    if (running_) {
        Cancel();
        return;
    }
    QDialog::reject();
}

}  // namespace tarvex
