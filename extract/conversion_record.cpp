#include "conversion_record.h"

#include <QFile>
#include <QString>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "catalogue.h"
#include "codepage.h"
#include "file_paths.h"
#include "local_system.h"
#include "sha256.h"

namespace tarvex {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kProgram = "VeltroGRP-Tarvex行政事业G版数据转换工具";
constexpr std::string_view kVersion = "1.0";
// The line of the source database's identity, which a rerun holds against the database's own.
constexpr std::string_view kSourceIdentity = "数据库标识（database_id create_date）：";

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Opens a file with fopen's modes ("rb", "wb"); on failure errno says why.
File OpenFile(const fs::path& path, const char* mode) { return File(OpenFileAt(path, mode)); }

std::error_code LastError() { return std::error_code(errno, std::generic_category()); }

enum class FileUse { Read, Write };

// Why `path` could not be read or written, UTF-8, in the user's words.
std::string FailureText(const fs::path& path, const std::error_code& error, FileUse use) {
    std::error_code ignored;
    if (fs::is_directory(path, ignored) || error == std::errc::is_a_directory)
        return use == FileUse::Write ? "已有同名的文件夹" : "这是一个文件夹，不是文件";
    if (error == std::errc::permission_denied || error == std::errc::operation_not_permitted ||
        error == std::errc::read_only_file_system)
        return use == FileUse::Write ? "没有写入权限" : "没有读取权限";
    if (error == std::errc::no_such_file_or_directory || error == std::errc::not_a_directory)
        return use == FileUse::Write ? "文件夹不存在" : "文件不存在";
    if (error == std::errc::no_space_on_device) return "磁盘已满";
#ifdef EDQUOT
    if (error.value() == EDQUOT && error.category() == std::generic_category()) return "磁盘已满";
#endif
    return "操作系统错误 " + std::to_string(error.value());
}

// The record's lines of the backup file's size and SHA-256, or why it could not be read.
std::string FileLines(const FileDigest& d) {
    if (!d.problem.empty()) return "大小：未知\nSHA-256：此处无法读取（" + d.problem + "）\n";
    return "大小：" + std::to_string(d.size) + " 字节\nSHA-256：" + d.sha256 + "\n";
}

// `text` with each line end, LF or CR LF, as the system's (TextLineEnd).
std::string WithLineEnds(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 16);
    for (std::size_t pos = 0; pos < text.size(); ++pos) {
        if (text[pos] == '\r' && pos + 1 < text.size() && text[pos + 1] == '\n') continue;
        if (text[pos] == '\n')
            out += TextLineEnd();
        else
            out += text[pos];
    }
    return out;
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

int ExtractionRecord::UnreportedCounts() const {
    return static_cast<int>(
        std::count_if(copies.begin(), copies.end(), [](const TableCopy& c) { return c.Ok() && c.rows < 0; }));
}

int ExtractionRecord::FailedCopies() const {
    return static_cast<int>(std::count_if(copies.begin(), copies.end(), [](const TableCopy& c) { return !c.Ok(); }));
}

bool ExtractionRecord::Empty() const {
    return finished && TotalRows() == 0 && UnreportedCounts() == 0 && FailedCopies() < static_cast<int>(copies.size());
}

bool ExtractionRecord::AccountSetMissing() const {
    return finished && std::any_of(copies.begin(), copies.end(), [](const TableCopy& c) {
               return c.table == "GL_ZTCS" && c.Ok() && c.rows == 0;
           });
}

bool ExtractionRecord::NoVouchers() const {
    if (!finished || Empty() || AccountSetMissing()) return false;
    return std::all_of(copies.begin(), copies.end(), [](const TableCopy& c) {
        return (c.table != "GL_PZML" && c.table != "GL_PZFLMX") || (c.Ok() && c.rows == 0);
    });
}

std::vector<std::string> ExtractionRecord::MissingTables() const {
    std::vector<std::string> missing;
    for (const TableCopy& c : copies)
        if (!c.Ok()) missing.push_back(c.table);
    for (int position = static_cast<int>(copies.size()) + 1; !finished && position <= TableCatalogue::kEntryCount;
         ++position)
        missing.emplace_back(TableCatalogue::TableName(position));
    return missing;
}

void ConversionLedger::SetLogin(LoggedIn login) {
    std::lock_guard lock(mutex_);
    login_ = std::move(login);
    filled_.reset();
}

void ConversionLedger::SetServerVersion(std::string version) {
    std::lock_guard lock(mutex_);
    login_.serverVersion = std::move(version);
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

void ConversionLedger::SetExported(const std::string& file) {
    std::lock_guard lock(mutex_);
    if (filled_) filled_->exportedAs = file;
}

void ConversionLedger::ClearFilled() {
    std::lock_guard lock(mutex_);
    filled_.reset();
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
    t += "服务器：" + u(from.server) + "\n";
    if (!login.serverVersion.empty())
        t += "服务器版本：" + u(login.serverVersion) + "（这个备份只能在同样或更新版本的SQL Server上还原）\n";
    t += "数据库：" + u(filled ? filled->sourceDatabase : from.database) + "\n用户名：" + u(from.user) + "\n";
    if (filled && !filled->sourceIdentity.empty()) t += std::string(kSourceIdentity) + u(filled->sourceIdentity) + "\n";
    t += "\n";
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
        const std::string rows = std::to_string(filled->TotalRows()) + " 行";
        const int unreported = filled->UnreportedCounts();
        t += "合计：" +
             (unreported > 0 ? "未报告（" + std::to_string(unreported) + " 张表的行数服务器未报告，其余共 " + rows + "）"
                             : rows) +
             "，" + std::to_string(filled->TablesWithRows()) + " 张表有数据（共" +
             std::to_string(TableCatalogue::kEntryCount) + "张表）\n\n";
    }
    if (!facts.heldAccountSet.empty()) t += "备份中的账套（按临时数据库的GL_ZTCS表）：" + u(facts.heldAccountSet) + "\n";
    t += "备份文件：" + u(facts.backupFile) + "\n" + FileLines(facts.digest);
    t += "校验（RESTORE VERIFYONLY）：" + u(facts.verification) + "\n";
    for (const std::string& warning : facts.warnings) t += "注意：" + u(warning) + "\n";
    return t;
}

std::string WriteRecordFile(const std::string& path, const std::string& utf8) {
    const fs::path target = FileSystemPath(path);
    fs::path temporary = target;
    temporary += ".tmp";
    const std::string content = "\xEF\xBB\xBF" + WithLineEnds(utf8);
    std::error_code error;
    if (File file = OpenFile(temporary, "wb"); !file) {
        error = LastError();
    } else {
        const bool written = std::fwrite(content.data(), 1, content.size(), file.get()) == content.size() &&
                             std::fflush(file.get()) == 0;
        if (!written) error = LastError();
        if (std::fclose(file.release()) != 0 && !error) error = LastError();
        if (!error) fs::rename(temporary, target, error);
        std::error_code ignored;
        if (error) fs::remove(temporary, ignored);
    }
    return error ? CodePage::Process().FromUtf8(FailureText(target, error, FileUse::Write)) : std::string();
}

Creation CreateRecordFile(const std::string& path, const std::string& utf8) {
    QFile file(QtPath(path));
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
        return FileExists(path) ? Creation::Taken : Creation::Failed;
    }
    const std::string content = "\xEF\xBB\xBF" + WithLineEnds(utf8);
    file.write(content.data(), static_cast<qint64>(content.size()));
    return Creation::Created;
}

FileDigest DigestOf(const std::string& narrow) {
    const fs::path path = FileSystemPath(narrow);
    FileDigest d;
    const File file = OpenFile(path, "rb");
    if (!file) {
        d.problem = FailureText(path, LastError(), FileUse::Read);
        return d;
    }
    Sha256 hash;
    std::vector<char> buffer(1 << 20);
    long long size = 0;
    while (const std::size_t n = std::fread(buffer.data(), 1, buffer.size(), file.get())) {
        hash.Add(buffer.data(), n);
        size += static_cast<long long>(n);
    }
    if (std::ferror(file.get())) {
        d.problem = FailureText(path, LastError(), FileUse::Read);
        return d;
    }
    d.size = size;
    d.sha256 = hash.Hex();
    return d;
}

std::optional<RecordSays> ReadRecordFile(const std::string& narrow) {
    std::ifstream in(FileSystemPath(narrow), std::ios::binary);
    std::string line;
    if (!std::getline(in, line) || line.rfind("\xEF\xBB\xBF", 0) != 0 || line.find(" 转换记录") == std::string::npos)
        return std::nullopt;
    const CodePage cp = CodePage::Process();
    RecordSays says;
    const std::pair<std::string_view, std::string*> fields[] = {
        {"服务器：", &says.server},       {"数据库：", &says.database}, {"转换年度：", &says.year},
        {"单位编号：", &says.unitCode},   {"账套编号：", &says.accountSetNumber},
        {"备份文件：", &says.file},       {"SHA-256：", &says.sha256},  {kSourceIdentity, &says.sourceIdentity}};
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        for (const auto& [key, value] : fields)
            if (line.rfind(key, 0) == 0 && value->empty()) *value = cp.FromUtf8(line.substr(key.size()));
        if (line == "校验（RESTORE VERIFYONLY）：通过") says.verified = true;
    }
    return says;
}

bool FileExists(const std::string& path) {
    std::error_code ignored;
    return fs::exists(FileSystemPath(path), ignored);
}

void RemoveFile(const std::string& path) {
    std::error_code ignored;
    fs::remove(FileSystemPath(path), ignored);
}

}  // namespace tarvex
