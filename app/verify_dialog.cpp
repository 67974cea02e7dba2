#include "verify_dialog.h"

#include <QCheckBox>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStandardItemModel>
#include <QTableView>
#include <QVBoxLayout>

#include <optional>

#include "backup_picker.h"
#include "codepage.h"
#include "file_paths.h"
#include "main_window.h"
#include "program_directory.h"
#include "failure_reason.h"
#include "login.h"
#include "narrow_text.h"
#include "restore_check.h"
#include "window_actions.h"
#include "window_controls.h"
#include "workers.h"

namespace tarvex {

namespace {

QString U(const char* utf8) { return QString::fromUtf8(utf8); }

// Logs in to the server's master and proves each backup of the folder by restoring it; a server
// that cannot be reached or refuses the log-in is said in the summary.
void ProveByRestoring(Database& database, const LoginSettings& login, const std::string& folder, FolderCheck& check,
                      FolderCheckReport& report) {
    const Reading<RestoreServer> server = ConnectForRestore(database, login, LoginPrompt::Never());
    if (!server.value) {
        check.problem = ProgramText("未能还原核对：") + server.problem + ReasonLine(server.error);
        return;
    }
    CheckFolderByRestoring(database, *server.value, folder, check, report);
}

}  // namespace

// The check's progress, carried from the worker to the dialog's thread when its percent changes;
// nothing once the dialog is gone.
class VerifyDialog::Report final : public FolderCheckReport {
public:
    Report(QPointer<VerifyDialog> dialog, std::shared_ptr<std::atomic<bool>> cancel)
        : dialog_(std::move(dialog)), cancel_(std::move(cancel)) {}

    void Reading(const std::string& file, int n, int files, long long done, long long total) override {
        const int percent = total > 0 ? static_cast<int>(done * 100 / total) : 100;
        if (n == n_ && percent == percent_) return;
        n_ = n;
        percent_ = percent;
        ThenInDialog(dialog_, [file, n, files, percent](VerifyDialog& d) { d.ShowProgress(file, n, files, percent); });
    }
    bool Cancelled() override { return cancel_->load(); }
    // The restores' check: which backup is under way, and the restore's log as its status.
    void Begins(int n, int total, const std::string& file) override {
        const std::string text = ProgramText("正在还原核对[") + std::to_string(n) + "/" + std::to_string(total) + "] " + file;
        ThenInDialog(dialog_, [text, percent = (n - 1) * 100 / total](VerifyDialog& d) {
            d.progress_->setValue(percent);
            d.status_->setText(ToQString(text));
        });
    }
    void Log(const std::string& line) override {
        ThenInDialog(dialog_, [line](VerifyDialog& d) { d.status_->setToolTip(ToQString(line).trimmed()); });
    }
    void Percent(int) override {}
    void Elapsed(std::chrono::seconds) override {}

private:
    QPointer<VerifyDialog> dialog_;
    std::shared_ptr<std::atomic<bool>> cancel_;
    int n_ = 0, percent_ = -1;
};

VerifyDialog::VerifyDialog(MainWindow& window, const std::string& folder, bool loggedIn)
    : QDialog(&window), window_(window), loggedIn_(loggedIn) {
    setObjectName(U("核对备份"));
    setWindowTitle(U("核对备份"));
    Build();
    folder_->setText(QtPath(folder));
    resize(720, 520);
}

VerifyDialog::~VerifyDialog() { cancel_->store(true); }

void VerifyDialog::Build() {
    auto* layout = new QVBoxLayout(this);
    BuildFolderRows(*layout);
    BuildResultRows(*layout);
    BuildButtonRow(*layout);
    ConnectControls();
    UpdateButtons();
}

// What the check does, the folder with 浏览…, and 还原核对.
void VerifyDialog::BuildFolderRows(QVBoxLayout& layout) {
    auto* intro = new QLabel(U("核对文件夹中的备份文件与它们的转换记录、批量转换汇总是否一致：每个备份的大小和SHA-256、"
                               "转换记录的每一项（校验通过、各表行数之和等于合计）、没有记录的备份、没有备份的记录、"
                               "同一账套或同一备份出现两次。只读取文件，不改动文件夹，不需要登录数据库。"),
                             this);
    intro->setWordWrap(true);
    layout.addWidget(intro);

    auto* folderRow = new QHBoxLayout;
    auto* folderLabel = new QLabel(U("文件夹(&F)："), this);
    folder_ = new QLineEdit(this);
    folder_->setObjectName(U("核对文件夹"));
    folderLabel->setBuddy(folder_);
    browse_ = new QPushButton(U("浏览(&B)…"), this);
    browse_->setToolTip(U("选择文件夹中的一个备份文件，核对它所在的文件夹"));
    folderRow->addWidget(folderLabel);
    folderRow->addWidget(folder_, 1);
    folderRow->addWidget(browse_);
    layout.addLayout(folderRow);

    restoreCheck_ = new QCheckBox(U("还原核对(&R)：在数据库服务器上还原每个备份，清点34张表的行数，与转换记录比较"
                                    "（需要先登录数据库）"),
                                  this);
    restoreCheck_->setObjectName(U("还原核对"));
    restoreCheck_->setEnabled(loggedIn_);
    layout.addWidget(restoreCheck_);
}

// A line per file, the progress and the summary.
void VerifyDialog::BuildResultRows(QVBoxLayout& layout) {

    linesModel_ = new QStandardItemModel(0, 2, this);
    linesModel_->setHorizontalHeaderLabels({U("文件"), U("结果")});
    lines_ = new QTableView(this);
    lines_->setObjectName(U("核对结果"));
    lines_->setModel(linesModel_);
    lines_->horizontalHeader()->setSectionResizeMode(0, QHeaderView::Interactive);
    lines_->horizontalHeader()->setStretchLastSection(true);
    lines_->setColumnWidth(0, 300);
    lines_->verticalHeader()->setVisible(false);
    lines_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    lines_->setSelectionBehavior(QAbstractItemView::SelectRows);
    lines_->setWordWrap(true);
    layout.addWidget(lines_, 1);

    progress_ = new QProgressBar(this);
    progress_->setObjectName(U("核对进度"));
    progress_->setRange(0, 100);
    progress_->setValue(0);
    layout.addWidget(progress_);
    status_ = new QLabel(U("请填写或选择要核对的文件夹，然后点击“开始核对”。"), this);
    status_->setObjectName(U("核对汇总"));
    status_->setWordWrap(true);
    status_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout.addWidget(status_);
}

void VerifyDialog::BuildButtonRow(QVBoxLayout& layout) {

    auto* buttons = new QHBoxLayout;
    start_ = new QPushButton(U("开始核对(&S)"), this);
    cancelButton_ = new QPushButton(U("取消(&C)"), this);
    close_ = new QPushButton(U("关闭"), this);
    buttons->addStretch(1);
    for (QPushButton* b : {start_, cancelButton_, close_}) buttons->addWidget(b);
    layout.addLayout(buttons);
    start_->setDefault(true);
}

void VerifyDialog::ConnectControls() {
    connect(browse_, &QPushButton::clicked, this, [this] { Browse(); });
    connect(folder_, &QLineEdit::returnPressed, this, [this] { Start(); });
    connect(start_, &QPushButton::clicked, this, [this] { Start(); });
    connect(cancelButton_, &QPushButton::clicked, this, [this] { Cancel(); });
    connect(close_, &QPushButton::clicked, this, [this] { close(); });
}

void VerifyDialog::Browse() {
    const QString chosen = PickBackupFile(*this, folder_->text());
    if (!chosen.isEmpty()) folder_->setText(QFileInfo(chosen).absolutePath());
}

void VerifyDialog::UpdateButtons() {
    browse_->setEnabled(!running_);
    folder_->setReadOnly(running_);
    restoreCheck_->setEnabled(loggedIn_ && !running_);
    start_->setEnabled(!running_);
    cancelButton_->setEnabled(running_ && !cancel_->load());
    close_->setEnabled(!running_);
}

void VerifyDialog::Start() {
    if (running_) return;
    const std::string folder = NarrowPath(folder_->text().trimmed());
    linesModel_->removeRows(0, linesModel_->rowCount());
    progress_->setValue(0);
    status_->setText(U("正在核对……"));
    cancel_->store(false);
    running_ = true;
    UpdateButtons();
    std::optional<LoginSettings> login;
    if (restoreCheck_->isChecked()) {
        WindowControls controls(window_);
        login = ReadLoginSettings(controls);  // a notice says what is wrong with them
        if (!login) {
            running_ = false;
            UpdateButtons();
            return;
        }
        login->Database = "master";
    }
    const bool started = StartWorkerThread(window_, [dialog = QPointer<VerifyDialog>(this), cancel = cancel_, folder,
                                                     database = database_, login]() mutable {
        Report report(dialog, cancel);
        FolderCheck check = CheckFolder(folder, report);
        if (login && check.problem.empty() && !check.cancelled) ProveByRestoring(*database, *login, folder, check, report);
        if (login) ReleaseLoginSettings(*login);
        ThenInDialog(dialog, [check = std::move(check)](VerifyDialog& d) { d.Finished(check); });
    });
    if (!started) {  // the window is closing
        running_ = false;
        UpdateButtons();
    }
}

void VerifyDialog::Cancel() {
    cancel_->store(true);
    status_->setText(U("正在取消……"));
    UpdateButtons();
}

void VerifyDialog::ShowProgress(const std::string& file, int n, int files, int percent) {
    progress_->setValue(percent);
    status_->setText(U("正在核对[%1/%2] %3").arg(n).arg(files).arg(ToQString(file)));
}

void VerifyDialog::Finished(const FolderCheck& check) {
    running_ = false;
    for (const CheckedFile& f : check.files) {
        if (!f.line) continue;
        auto* name = new QStandardItem(ToQString(f.name));
        auto* result = new QStandardItem(ToQString(f.ResultText()));
        name->setToolTip(ToQString(f.name));
        result->setToolTip(ToQString(f.ResultText()));
        if (!f.Agrees()) result->setForeground(QColor(192, 0, 0));
        linesModel_->appendRow({name, result});
    }
    lines_->resizeRowsToContents();
    if (!check.cancelled && check.problem.empty()) progress_->setValue(100);
    status_->setText(ToQString(check.SummaryText()));
    UpdateButtons();
}

void VerifyDialog::done(int result) {
    if (running_) {
        Cancel();  // the dialog stays until the check has stopped, unless the window is closing
        if (!window_.Closing()) return;
    }
    QDialog::done(result);
}

void OpenVerifyDialog(MainWindow& window, bool loggedIn) {
    auto* dialog = new VerifyDialog(window, ProgramBackupDirectory().path, loggedIn);  // owned by the window
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(Qt::WindowModal);
    dialog->show();
}

}  // namespace tarvex
