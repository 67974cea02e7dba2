#include "restore_dialog.h"

#include <QApplication>
#include <QComboBox>
#include <QFileInfo>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include "backup_picker.h"
#include "codepage.h"
#include "dialog_report.h"
#include "failure_reason.h"
#include "file_paths.h"
#include "main_window.h"
#include "narrow_text.h"
#include "native_window.h"
#include "this_computer.h"
#include "window_actions.h"
#include "workers.h"

namespace tarvex {

namespace {

QString U(const char* utf8) { return QString::fromUtf8(utf8); }

QLabel* Value(QWidget* parent, const char* name) {
    auto* label = new QLabel(parent);
    label->setObjectName(U(name));
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

}  // namespace

// What reading a backup file came to, and whether its database's name is free on the server.
struct RestoreDialog::BackupRead {
    Reading<BackupDescription> reading;
    std::string nameProblem;
};

RestoreDialog::RestoreDialog(MainWindow& window, std::shared_ptr<Window> controls, LoginSettings login)
    : QDialog(&window),
      window_(window),
      controls_(std::move(controls)),
      login_(std::move(login)),
      thisComputer_(IsThisComputer(login_.Server)) {
    setObjectName(U("还原数据库"));
    setWindowTitle(U("还原数据库"));
    Build();
    resize(640, 560);
}

RestoreDialog::~RestoreDialog() {
    cancel_->store(true);
    ReleaseLoginSettings(login_);
    if (server_) ReleaseLoginSettings(server_->login);
}

void RestoreDialog::Build() {
    auto* layout = new QVBoxLayout(this);
    BuildIntroAndServer(*layout);
    BuildFileRow(*layout);
    BuildContents(*layout);
    BuildNameRow(*layout);
    BuildProgressAndLog(*layout);
    BuildButtons(*layout);
    ConnectControls();
}

void RestoreDialog::BuildIntroAndServer(QVBoxLayout& layout) {
    auto* intro = new QLabel(U("把被审计单位的数据库备份文件（.bak）还原到数据库服务器上，成为一个新的数据库；"
                               "已有的数据库不会被覆盖。"),
                             this);
    intro->setWordWrap(true);
    layout.addWidget(intro);
    serverLine_ = Value(this, "还原服务器");
    serverLine_->setWordWrap(true);
    layout.addWidget(serverLine_);
}

// The backup file's path with its buttons; for a server elsewhere, a note that the path is its own.
void RestoreDialog::BuildFileRow(QVBoxLayout& layout) {
    auto* fileRow = new QHBoxLayout;
    auto* fileLabel = new QLabel(U("备份文件(&F)："), this);
    path_ = new QLineEdit(this);
    path_->setObjectName(U("备份文件"));
    fileLabel->setBuddy(path_);
    browse_ = new QPushButton(U("浏览(&B)…"), this);
    read_ = new QPushButton(U("读取(&R)"), this);
    fileRow->addWidget(fileLabel);
    fileRow->addWidget(path_, 1);
    fileRow->addWidget(browse_);
    fileRow->addWidget(read_);
    layout.addLayout(fileRow);
    browse_->setVisible(thisComputer_);
    if (!thisComputer_) {
        auto* note = new QLabel(U("数据库服务器在另一台电脑上：它从自己的磁盘上读取备份文件，请填写备份文件在那台电脑上的路径。"),
                                this);
        note->setObjectName(U("远程说明"));
        note->setWordWrap(true);
        layout.addWidget(note);
    }
}

// What the backup holds, and which of its sets to restore.
void RestoreDialog::BuildContents(QVBoxLayout& layout) {
    auto* contents = new QGroupBox(U("备份内容"), this);
    auto* form = new QFormLayout(contents);
    backupDatabase_ = Value(contents, "备份数据库名称");
    backupTime_ = Value(contents, "备份时间");
    backupVersion_ = Value(contents, "备份服务器版本");
    backupSize_ = Value(contents, "备份大小");
    form->addRow(U("数据库名称："), backupDatabase_);
    form->addRow(U("备份时间："), backupTime_);
    form->addRow(U("SQL Server 版本："), backupVersion_);
    form->addRow(U("大小："), backupSize_);
    position_ = new QComboBox(contents);
    position_->setObjectName(U("备份集"));
    sets_ = Value(contents, "备份集列表");
    sets_->setWordWrap(true);
    form->addRow(U("还原备份集(&P)："), position_);
    form->addRow(QString(), sets_);
    layout.addWidget(contents);
}

// The restored database's name.
void RestoreDialog::BuildNameRow(QVBoxLayout& layout) {
    auto* nameRow = new QHBoxLayout;
    auto* nameLabel = new QLabel(U("还原为数据库(&N)："), this);
    name_ = new QLineEdit(this);
    name_->setObjectName(U("还原数据库名称"));
    nameLabel->setBuddy(name_);
    nameRow->addWidget(nameLabel);
    nameRow->addWidget(name_, 1);
    layout.addLayout(nameRow);
}

// The status, the progress, the time taken, and the log.
void RestoreDialog::BuildProgressAndLog(QVBoxLayout& layout) {
    status_ = Value(this, "还原状态");
    status_->setWordWrap(true);
    layout.addWidget(status_);
    progress_ = new QProgressBar(this);
    progress_->setObjectName(U("还原进度"));
    progress_->setRange(0, 100);
    progress_->setValue(0);
    time_ = Value(this, "还原用时");
    layout.addWidget(progress_);
    layout.addWidget(time_);
    log_ = new QPlainTextEdit(this);
    log_->setObjectName(U("还原日志"));
    log_->setReadOnly(true);
    log_->setMinimumHeight(100);
    layout.addWidget(log_, 1);
}

void RestoreDialog::BuildButtons(QVBoxLayout& layout) {
    auto* buttons = new QHBoxLayout;
    start_ = new QPushButton(U("还原(&S)"), this);
    cancelButton_ = new QPushButton(U("取消(&C)"), this);
    close_ = new QPushButton(U("关闭(&X)"), this);
    buttons->addStretch();
    for (QPushButton* b : {start_, cancelButton_, close_}) {
        b->setAutoDefault(false);
        buttons->addWidget(b);
    }
    layout.addLayout(buttons);
}

void RestoreDialog::ConnectControls() {
    clock_ = new QTimer(this);
    clock_->setInterval(1000);
    connect(clock_, &QTimer::timeout, this, [this] { ShowTime(); });
    connect(browse_, &QPushButton::clicked, this, [this] { Browse(); });
    connect(read_, &QPushButton::clicked, this, [this] { ReadBackupFile(); });
    connect(path_, &QLineEdit::returnPressed, this, [this] { ReadBackupFile(); });
    connect(position_, &QComboBox::activated, this,
            [this](int index) { ReadBackupFile(position_->itemData(index).toInt()); });
    connect(path_, &QLineEdit::textEdited, this, [this] { ForgetBackup(); });
    connect(start_, &QPushButton::clicked, this, [this] { Start(); });
    connect(cancelButton_, &QPushButton::clicked, this, [this] { Cancel(); });
    connect(close_, &QPushButton::clicked, this, [this] { close(); });
    UpdateButtons();
}

template <typename Work, typename Then>
void RestoreDialog::OnWorker(Work work, Then then) {
    busy_ = true;
    UpdateButtons();
    const bool started = StartWorkerThread(window_, [dialog = QPointer<RestoreDialog>(this), work, then]() mutable {
        ThenInDialog(dialog, [result = work(), then](RestoreDialog& d) {
            d.busy_ = false;
            then(d, result);
            d.UpdateButtons();
        });
    });
    if (!started) {  // the window is closing
        busy_ = false;
        UpdateButtons();
    }
}

void RestoreDialog::UpdateButtons() {
    const bool idle = server_ && !busy_;
    browse_->setEnabled(idle);
    read_->setEnabled(idle);
    position_->setEnabled(idle && backup_ && position_->count() > 1);
    path_->setReadOnly(!idle);
    name_->setReadOnly(busy_);
    start_->setEnabled(idle && backup_);
    cancelButton_->setEnabled(running_ && !cancel_->load());
    close_->setEnabled(!running_);
}

void RestoreDialog::Connect() {
    SetStatus(ProgramText("正在连接数据库服务器") + login_.Server + ProgramText("……"));
    serverLine_->setText(U("服务器：%1").arg(ToQStringLines(login_.Server)));
    OnWorker(
        [database = database_, login = login_, prompt = LoginPrompt::OverWindow(DriverDialogOwner(*this))] {
            return ConnectForRestore(*database, login, prompt);
        },
        [](RestoreDialog& d, const Reading<RestoreServer>& reading) { d.Connected(reading); });
}

void RestoreDialog::Connected(const Reading<RestoreServer>& reading) {
    if (!reading.value) {
        SetStatus(reading.problem);
        AppendLog(reading.problem + ReasonLine(reading.error) + "\r\n");
        Warn(reading.problem + DiagnosticsParagraph(reading.error));
        return;
    }
    server_ = reading.value;
    serverLine_->setText(U("服务器“%1”：%2\n新数据库的文件放在服务器上的：%3")
                             .arg(ToQStringLines(login_.Server), ToQStringLines(server_->VersionText()),
                                  ToQStringLines(server_->dataFolder)));
    SetStatus(thisComputer_ ? ProgramText("已连接。请点击“浏览”选择备份文件，或填写它的路径后点击“读取”。")
                            : ProgramText("已连接。请填写备份文件在数据库服务器上的路径，再点击“读取”。"));
    AppendLog(ProgramText("已连接数据库服务器“") + login_.Server + ProgramText("”。\r\n"));
}

void RestoreDialog::Browse() {
    const QString chosen = PickBackupFile(*this, path_->text().isEmpty() ? QString() : QFileInfo(path_->text()).absolutePath());
    if (chosen.isEmpty()) return;
    path_->setText(chosen);
    ReadBackupFile();
}

void RestoreDialog::ForgetBackup() {
    backup_.reset();
    for (QLabel* value : {backupDatabase_, backupTime_, backupVersion_, backupSize_, sets_}) value->clear();
    sets_->setMinimumHeight(0);
    position_->clear();
    UpdateButtons();
}

void RestoreDialog::ReadBackupFile(int position) {
    if (!server_ || busy_) return;
    ForgetBackup();
    const std::string path = TrimBlanks(NarrowPath(path_->text()));
    if (const std::string unheld = UnheldCharacters(path_->text()); !unheld.empty()) {
        Warn(ProgramText("备份文件的路径中有本机代码页无法表示的字符 ") + unheld + ProgramText("，请把文件改名或移到别的文件夹。"));
        return;
    }
    SetStatus(ProgramText("正在读取备份文件……"));
    OnWorker(
        [database = database_, server = *server_, path, position] {
            BackupRead read{ReadBackup(*database, server, path, position), {}};
            if (read.reading.value && read.reading.problem.empty())
                read.nameProblem =
                    RestoreNameProblem(*database, server, *read.reading.value, ProposedName(*read.reading.value));
            return read;
        },
        [](RestoreDialog& d, const BackupRead& read) { d.ShowBackup(read); });
}

void RestoreDialog::ShowBackup(const BackupRead& read) {
    const Reading<BackupDescription>& r = read.reading;
    if (!r.value) {
        if (r.problem.empty()) return;  // the window is closing
        SetStatus(r.problem);
        AppendLog(ProgramText("读取备份文件失败：") + r.problem + "\r\n");
        Warn(r.problem);
        return;
    }
    const BackupDescription& b = *r.value;
    backupDatabase_->setText(ToQStringLines(b.database));
    backupTime_->setText(ToQStringLines(b.finished));
    for (const BackupSet& set : b.sets) {
        if (set.kind != BackupSet::Kind::Full) continue;
        position_->addItem(ToQStringLines(set.Line()), set.position);
        if (set.position == b.position) position_->setCurrentIndex(position_->count() - 1);
    }
    sets_->setText(ToQStringLines(SetsText(b)).trimmed());
    // A wrapped label's lines are not counted in the dialog's least height: it keeps every set's
    // line in view only with its height asked for at its width.
    sets_->setMinimumHeight(sets_->heightForWidth(sets_->width()));
    backupVersion_->setText(ToQStringLines(b.VersionText()));
    backupSize_->setText(U("备份%1，还原后约%2")
                             .arg(ToQStringLines(SizeText(b.backupSize)), ToQStringLines(SizeText(b.DatabaseSize()))));
    AppendLog(ProgramText("备份文件中是数据库“") + b.database + ProgramText("”，备份于") + b.finished + ProgramText("，") +
              b.VersionText() + ProgramText("。\r\n") + SetsText(b));
    if (!r.problem.empty()) {  // this server cannot restore it
        SetStatus(r.problem);
        Warn(r.problem);
        return;
    }
    backup_ = b;
    const std::string proposed = ProposedName(b);
    name_->setText(ToQStringLines(proposed));
    if (!read.nameProblem.empty()) SetStatus(read.nameProblem);
    else if (proposed == b.database) SetStatus(ProgramText("可以还原。还原后的数据库名称默认是备份中的名称，可以修改。"));
    else SetStatus(ProgramText("可以还原。") + RestoreNameProblem(b.database) +
                   ProgramText("还原后的数据库名称默认改用备份文件的名称，可以修改。"));
}

void RestoreDialog::Start() {
    if (!server_ || !backup_ || busy_) return;
    const QString typed = name_->text();
    if (const std::string unheld = UnheldCharacters(typed); !unheld.empty()) {
        Warn(ProgramText("数据库名称中有本机代码页（") + CodePage::Process().Name() + ProgramText("）无法表示的字符 ") +
             unheld + ProgramText("，请改用其他字符。"));
        return;
    }
    const std::string name = TrimBlanks(ToNarrow(typed));
    if (const std::string problem = RestoreNameProblem(name); !problem.empty()) {
        SetStatus(problem);
        Warn(problem);
        return;
    }
    running_ = true;
    cancel_->store(false);
    started_ = std::chrono::steady_clock::now();
    progress_->setRange(0, 0);  // busy until the server's progress comes
    clock_->start();
    ShowTime();
    SetStatus(ProgramText("正在还原数据库“") + name + ProgramText("”……"));
    // The dialog keeps its own clock: the time from the restore's watch is not shown.
    auto report = std::make_shared<DialogReport>(this, cancel_,
                                                 DialogReport::Shown{
                                                     .log = [this](const std::string& line) { AppendLog(line); },
                                                     .copied = {},
                                                     .setBegins = {},
                                                     .percent = [this](int percent) { ShowPercent(percent); },
                                                 });
    OnWorker([database = database_, server = *server_, backup = *backup_, name,
              report] { return RestoreBackup(*database, server, backup, name, *report); },
             [](RestoreDialog& d, const Restored& restored) { d.Finished(restored); });
}

void RestoreDialog::Cancel() {
    if (!running_ || cancel_->load()) return;
    cancel_->store(true);
    AppendLog(ProgramText("正在取消还原……\r\n"));
    UpdateButtons();
}

void RestoreDialog::Finished(const Restored& restored) {
    running_ = false;
    clock_->stop();
    ShowTime();
    progress_->setRange(0, 100);
    progress_->setValue(restored.end == Restored::End::Restored ? 100 : 0);
    SetStatus(restored.message);
    UpdateButtons();  // before the notice, which waits for the user
    switch (restored.end) {
        case Restored::End::Restored:
            controls_->SetText(Control::Database, restored.database);
            controls_->AppendText(Control::Log, ProgramText("已还原数据库") + restored.database +
                                                    ProgramText("，并填入了“数据库名称”。\r\n"));
            QMessageBox::information(this, U("还原完成"),
                                     ToQStringLines(restored.message) + U("\n\n已填入主窗口的“数据库名称”：请点击“登录数据库”。"));
            break;
        case Restored::End::Refused: Warn(restored.message); break;
        case Restored::End::Failed:
        case Restored::End::Cancelled: Warn(restored.message + DiagnosticsParagraph(restored.error)); break;
        case Restored::End::Closing: break;
    }
}

void RestoreDialog::ShowPercent(int percent) {
    progress_->setRange(0, 100);
    progress_->setValue(std::clamp(percent, 0, 100));
}

void RestoreDialog::ShowTime() {
    const auto taken = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started_);
    time_->setText((running_ ? U("已用时") : U("用时")) + ToQStringLines(DurationText(taken)));
}

void RestoreDialog::AppendLog(const std::string& line) {
    QString text = ToQStringLines(line);
    if (text.endsWith(QLatin1Char('\n'))) text.chop(1);
    log_->appendPlainText(text);
}

void RestoreDialog::SetStatus(const std::string& text) { status_->setText(ToQStringLines(text)); }

void RestoreDialog::Warn(const std::string& text) { QMessageBox::warning(this, U("提示"), ToQStringLines(text)); }

// Esc and the close button come here too (reject).
void RestoreDialog::done(int result) {
    if (running_) {
        Cancel();  // the dialog stays to show how the restore ended, unless the window is closing
        if (!window_.Closing()) return;
    }
    QDialog::done(result);
}

void OpenRestoreDialog(MainWindow& window, const std::shared_ptr<Window>& controls) {
    std::optional<LoginSettings> login = ReadLoginSettings(*controls);
    if (!login) return;
    auto* dialog = new RestoreDialog(window, controls, std::move(*login));  // owned by the window
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(Qt::WindowModal);
    dialog->show();
    dialog->Connect();
}

}  // namespace tarvex
