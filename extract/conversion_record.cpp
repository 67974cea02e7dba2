#include "conversion_record.h"

#include <QCryptographicHash>
#include <QFile>
#include <QSaveFile>

#include <algorithm>

#include "catalogue.h"
#include "codepage.h"

namespace tarvex {
namespace {

constexpr std::string_view kProgram = "VeltroGRP-Tarvex行政事业G版数据转换工具";
constexpr std::string_view kVersion = "1.0";

QString PathOf(const std::string& narrow) { return QString::fromStdString(CodePage::Process().ToUtf8(narrow)); }

// The file's size and SHA-256 as the program reads them, or why it cannot read the file (a
// server on another computer writes the backup on its own file system).
std::string FileLines(const std::string& path) {
    QFile file(PathOf(path));
    if (!file.open(QIODevice::ReadOnly))
        return "大小：未知\nSHA-256：此处无法读取（" + file.errorString().toStdString() + "）\n";
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&file)) return "大小：未知\nSHA-256：此处无法读取（" + file.errorString().toStdString() + "）\n";
    return "大小：" + std::to_string(file.size()) + " 字节\nSHA-256：" + hash.result().toHex().toStdString() + "\n";
}

}  // namespace

long ExtractionRecord::TotalRows() const {
    long total = 0;
    for (const TableCopy& c : copies) total += std::max(c.rows, 0L);
    return total;
}

int ExtractionRecord::TablesWithRows() const {
    return static_cast<int>(std::count_if(copies.begin(), copies.end(), [](const TableCopy& c) { return c.rows > 0; }));
}

int ExtractionRecord::FailedCopies() const {
    return static_cast<int>(std::count_if(copies.begin(), copies.end(), [](const TableCopy& c) { return !c.Ok(); }));
}

bool ExtractionRecord::Empty() const {
    return finished && TotalRows() == 0 && FailedCopies() < static_cast<int>(copies.size());
}

bool ExtractionRecord::AccountSetMissing() const {
    return finished && std::any_of(copies.begin(), copies.end(), [](const TableCopy& c) {
               return c.table == "GL_ZTCS" && c.Ok() && c.rows == 0;
           });
}

void ConversionLedger::SetLogin(LoggedIn login) {
    std::lock_guard lock(mutex_);
    login_ = std::move(login);
}

LoggedIn ConversionLedger::Login() const {
    std::lock_guard lock(mutex_);
    return login_;
}

void ConversionLedger::SetFilled(ExtractionRecord record) {
    std::lock_guard lock(mutex_);
    filled_ = std::move(record);
}

std::optional<ExtractionRecord> ConversionLedger::Filled() const {
    std::lock_guard lock(mutex_);
    return filled_;
}

void ConversionLedger::ClearFilled() {
    std::lock_guard lock(mutex_);
    filled_.reset();
}

std::tm LocalTime(std::time_t when) {
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &when);
#else
    localtime_r(&when, &local);
#endif
    return local;
}

std::string LocalTimeText(std::time_t when) {
    const std::tm local = LocalTime(when);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

std::string RecordText(const std::optional<ExtractionRecord>& filled, const LoggedIn& login, const ExportFacts& facts) {
    const CodePage cp = CodePage::Process();
    const auto u = [&](const std::string& narrow) { return cp.ToUtf8(narrow); };
    const LoggedIn& from = filled ? filled->login : login;
    std::string t = std::string(kProgram) + " 转换记录\n程序版本：" + std::string(kVersion) + "\n\n";
    t += "服务器：" + u(from.server) + "\n数据库：" + u(filled ? filled->sourceDatabase : from.database) + "\n用户名：" + u(from.user) + "\n\n";
    if (filled) {
        t += "转换年度：" + u(filled->year) + "\n单位编号：" + u(filled->unitCode) + "\n账套名称：" +
             u(filled->accountSetName) + "\n账套编号：" + u(filled->accountSetNumber) + "\n整理开始：" +
             filled->started + "\n整理结束：" + (filled->finished ? filled->ended : std::string("未完成")) + "\n";
    } else {
        t += "整理：临时数据库不是本程序这次运行中整理的，没有整理的记录。\n";
    }
    t += "导出开始：" + facts.started + "\n导出结束：" + facts.ended + "\n\n";
    if (filled) {
        t += "各表复制的行数：\n";
        for (const TableCopy& c : filled->copies)
            t += c.table + "\t" + (c.Ok() ? (c.rows < 0 ? std::string("未报告") : std::to_string(c.rows)) : "失败：" + u(c.failure)) + "\n";
        t += "合计：" + std::to_string(filled->TotalRows()) + " 行，" + std::to_string(filled->TablesWithRows()) +
             " 张表有数据（共" + std::to_string(TableCatalogue::kEntryCount) + "张表）\n\n";
    }
    t += "备份文件：" + u(facts.backupFile) + "\n" + FileLines(facts.backupPath);
    t += "校验（RESTORE VERIFYONLY）：" + u(facts.verification) + "\n";
    for (const std::string& warning : facts.warnings) t += "注意：" + u(warning) + "\n";
    return t;
}

std::string WriteRecordFile(const std::string& path, const std::string& utf8) {
    QSaveFile file(PathOf(path));
    const QByteArray content = QByteArray("\xEF\xBB\xBF") + QByteArray::fromStdString(utf8);
    if (file.open(QIODevice::WriteOnly) && file.write(content) == content.size() && file.commit()) return {};
    return CodePage::Process().FromUtf8(file.errorString().toStdString());
}

}  // namespace tarvex
