#include "folder_check.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <system_error>
#include <utility>

#include "catalogue.h"
#include "codepage.h"
#include "file_paths.h"
#include "sha256.h"

namespace tarvex {

namespace {

namespace fs = std::filesystem;

// ---- The record ------------------------------------------------------------------------------

// The labels of the lines RecordText writes, UTF-8.
constexpr std::string_view kHeading = " 转换记录";
constexpr std::string_view kNotFilled = "整理：临时数据库不是本程序这次运行中整理的";
constexpr std::string_view kTablesHeading = "各表复制的行数：";

// The lines every record has, and where each goes.
struct Label {
    std::string_view utf8;
    std::string RecordContents::*field;
    bool ofFilling;  // only a record of a run filled here has it
};
const Label kRequired[] = {
    {"服务器：", &RecordContents::server, false},           {"数据库：", &RecordContents::database, false},
    {"用户名：", &RecordContents::user, false},             {"转换年度：", &RecordContents::year, true},
    {"单位编号：", &RecordContents::unitCode, true},        {"账套名称：", &RecordContents::accountSetName, true},
    {"账套编号：", &RecordContents::accountSetNumber, true}, {"备份文件：", &RecordContents::file, false},
    {"SHA-256：", &RecordContents::sha256, false},          {"校验（RESTORE VERIFYONLY）：", &RecordContents::verification, false},
};
// Lines of the times and the size, whose values are read by the checks below.
constexpr std::string_view kTimes[] = {"程序版本：", "导出开始：", "导出结束：", "大小："};
constexpr std::string_view kFillingTimes[] = {"整理开始：", "整理结束："};
// Lines later versions added; a record of an earlier version lacks them.
const Label kLater[] = {
    {"服务器版本：", &RecordContents::serverVersion, false},
    {"数据库标识（database_id create_date）：", &RecordContents::sourceIdentity, true},
    {"备份中的账套（按临时数据库的GL_ZTCS表）：", &RecordContents::heldAccountSet, false},
};

std::string Quoted(const std::string& narrow) { return ProgramText("“") + narrow + ProgramText("”"); }

std::vector<std::string> Lines(std::string_view text) {
    std::vector<std::string> lines;
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string line(text.substr(start, end - start));
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(std::move(line));
        start = end + 1;
    }
    return lines;
}

std::optional<long long> Number(std::string_view text) {
    if (text.empty() || text.size() > 18 || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    return std::stoll(std::string(text));
}

// The number before `unit` in `text` from `from` on ("1234 行"), or nullopt.
std::optional<long long> NumberBefore(std::string_view text, std::string_view unit, std::size_t from = 0) {
    const std::size_t at = text.find(unit, from);
    if (at == std::string_view::npos) return std::nullopt;
    std::size_t start = at;
    while (start > from && std::isdigit(static_cast<unsigned char>(text[start - 1]))) --start;
    return Number(text.substr(start, at - start));
}

bool IsHex64(std::string_view text) {
    return text.size() == 64 && std::all_of(text.begin(), text.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

// The tables' lines after kTablesHeading, up to the blank line.
void ReadTables(const std::vector<std::string>& lines, std::size_t at, RecordContents& r) {
    for (std::size_t i = at; i < lines.size() && !lines[i].empty() && !lines[i].starts_with("合计："); ++i) {
        const std::size_t tab = lines[i].find('\t');
        RecordContents::Table t{lines[i].substr(0, tab), -1};
        const std::string count = tab == std::string::npos ? std::string() : lines[i].substr(tab + 1);
        if (count.starts_with("失败")) t.rows = -2;
        else if (const std::optional<long long> n = Number(count)) t.rows = static_cast<long>(*n);
        else if (count != "未报告") r.faults.push_back(ProgramText("“") + CodePage::Process().FromUtf8(lines[i]) + ProgramText("”一行读不懂"));
        r.tables.push_back(std::move(t));
    }
}

// The tables against the catalogue, and their counts against the total line.
void CheckTables(const RecordContents& r, const std::string& total, std::vector<std::string>& faults) {
    const int expected = TableCatalogue::kEntryCount;
    if (static_cast<int>(r.tables.size()) != expected) {
        faults.push_back(ProgramText("记录了") + std::to_string(r.tables.size()) + ProgramText("张表的行数，应为") + std::to_string(expected) + ProgramText("张"));
    } else {
        for (int p = 1; p <= expected; ++p)
            if (r.tables[static_cast<std::size_t>(p - 1)].name != TableCatalogue::TableName(p)) {
                faults.push_back(ProgramText("第") + std::to_string(p) + ProgramText("张表应为") + std::string(TableCatalogue::TableName(p)));
                break;
            }
    }
    long long sum = 0;
    int withRows = 0, unreported = 0;
    for (const RecordContents::Table& t : r.tables) {
        if (t.rows == -2) faults.push_back(t.name + ProgramText("表复制失败，备份中缺少这张表"));
        sum += std::max(t.rows, 0L);
        withRows += t.rows > 0;
        unreported += t.rows == -1;
    }
    if (total.empty()) return faults.push_back(ProgramText("缺少“合计”一行"));
    // "1234 行，12 张表有数据" or "未报告（2 张表的行数服务器未报告，其余共 1234 行），12 张表有数据"
    const std::size_t otherwise = total.find("其余共");
    const std::optional<long long> rows = NumberBefore(total, " 行", otherwise == std::string::npos ? 0 : otherwise + 9);
    const std::optional<long long> tables = NumberBefore(total, " 张表有数据");
    const std::optional<long long> notReported = NumberBefore(total, " 张表的行数服务器未报告");
    if (!rows || !tables) return faults.push_back(ProgramText("“合计”一行读不懂"));
    if (*rows != sum)
        faults.push_back(ProgramText("各表行数之和为") + std::to_string(sum) + ProgramText("行，与合计的") + std::to_string(*rows) + ProgramText("行不符"));
    if (*tables != withRows)
        faults.push_back(ProgramText("有数据的表为") + std::to_string(withRows) + ProgramText("张，与合计的") + std::to_string(*tables) + ProgramText("张不符"));
    if (notReported.value_or(0) != unreported)
        faults.push_back(ProgramText("未报告行数的表为") + std::to_string(unreported) + ProgramText("张，与合计不符"));
}

// The lines' values by label; what is missing goes to `faults` or `lacks`.
void ReadFields(const std::vector<std::string>& lines, RecordContents& r, std::string& total,
                std::map<std::string_view, std::string>& times) {
    const CodePage cp = CodePage::Process();
    std::vector<std::string_view> seen;
    const auto take = [&](const std::string& line, std::string_view label) {
        if (!line.starts_with(label) || std::find(seen.begin(), seen.end(), label) != seen.end()) return false;
        seen.push_back(label);
        return true;
    };
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        if (line.starts_with(kNotFilled)) r.filledHere = false;
        if (line == kTablesHeading) ReadTables(lines, i + 1, r);
        if (take(line, "合计：")) total = line.substr(std::string_view("合计：").size());
        const auto fields = [&](const auto& labels) {
            for (const Label& l : labels)
                if (take(line, l.utf8)) r.*l.field = cp.FromUtf8(line.substr(l.utf8.size()));
        };
        const auto values = [&](const auto& labels) {
            for (std::string_view l : labels)
                if (take(line, l)) times[l] = line.substr(l.size());
        };
        fields(kRequired);
        fields(kLater);
        values(kTimes);
        values(kFillingTimes);
    }
    const auto missing = [&](std::string_view label) {
        return std::find(seen.begin(), seen.end(), label) == seen.end();
    };
    const auto name = [&](std::string_view label) { return ProgramText(label.substr(0, label.size() - 3)); };  // without "："
    for (const Label& l : kRequired)
        if ((!l.ofFilling || r.filledHere) && missing(l.utf8)) r.faults.push_back(ProgramText("缺少“") + name(l.utf8) + ProgramText("”一行"));
    for (std::string_view l : kTimes)
        if (missing(l)) r.faults.push_back(ProgramText("缺少“") + name(l) + ProgramText("”一行"));
    for (std::string_view l : kFillingTimes)
        if (r.filledHere && missing(l)) r.faults.push_back(ProgramText("缺少“") + name(l) + ProgramText("”一行"));
    for (const Label& l : kLater)
        if ((!l.ofFilling || r.filledHere) && missing(l.utf8)) r.lacks.push_back(name(l.utf8));
}

// The size, the SHA-256, the check and the account set held, as far as the record can say.
void CheckValues(RecordContents& r, const std::map<std::string_view, std::string>& times) {
    if (const auto size = times.find("大小："); size != times.end()) {
        const std::string& text = size->second;
        if (text.ends_with(" 字节")) r.size = Number(text.substr(0, text.size() - 7)).value_or(-1);
        if (r.size < 0) r.faults.push_back(ProgramText("记录中没有备份文件的大小（") + CodePage::Process().FromUtf8(text) + ProgramText("）"));
    }
    if (!r.sha256.empty() && !IsHex64(r.sha256))
        r.faults.push_back(ProgramText("记录中没有备份文件的SHA-256（") + r.sha256 + ProgramText("）"));
    if (!r.verification.empty() && r.verification != ProgramText("通过"))
        r.faults.push_back(ProgramText("校验没有通过（记录为") + Quoted(r.verification) + ProgramText("）"));
    if (const auto ended = times.find("整理结束："); ended != times.end() && ended->second == "未完成")
        r.faults.push_back(ProgramText("整理没有完成"));
    if (!r.filledHere) r.faults.push_back(ProgramText("临时数据库不是本程序整理的，记录中没有账套和各表的行数"));
    const std::string unknown = ProgramText("未知（");
    if (r.filledHere && !r.heldAccountSet.empty() && !r.heldAccountSet.starts_with(unknown) &&
        r.heldAccountSet != r.accountSetName)
        r.faults.push_back(ProgramText("账套名称") + Quoted(r.accountSetName) + ProgramText("与备份中的账套") + Quoted(r.heldAccountSet) + ProgramText("不符"));
}

// ---- The folder ------------------------------------------------------------------------------

bool EndsWith(const std::string& name, std::string_view tail) {
    if (name.size() < tail.size()) return false;
    return std::equal(tail.begin(), tail.end(), name.end() - static_cast<std::ptrdiff_t>(tail.size()),
                      [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b)); });
}

// A file of the folder as listed.
struct Listed {
    fs::path path;
    CheckedFile file;
    std::string text;  // of a record or a summary, as read
};

// The name's bytes as the file system's native form gives them, where that is narrow; "?" where
// it cannot be given.
std::string NativeBytes(const fs::path& path) {
    try {
        return path.filename().string();
    } catch (const std::exception&) {
        return "?";
    }
}

// The narrow name of a file; a name the file system holds in another encoding than its own
// (GBK bytes on Linux) is shown with '?' for what cannot be read.
std::string DisplayName(const fs::path& path, bool& unreadable) {
    try {
        unreadable = false;
        return NarrowPath(path.filename());
    } catch (const std::exception&) {
        unreadable = true;
        std::string name;
        for (const char c : NativeBytes(path)) name += static_cast<unsigned char>(c) < 0x80 ? c : '?';
        return name;
    }
}

// The name as the file system holds it, UTF-8 where it can be read so.
std::string FileSystemName(const fs::path& path) {
    try {
        const std::u8string name = path.filename().u8string();
        return std::string(name.begin(), name.end());
    } catch (const std::exception&) {
        return NativeBytes(path);
    }
}

CheckedFile::Kind KindOf(const std::string& name) {
    if (EndsWith(name, ".bak")) return CheckedFile::Kind::Backup;
    if (EndsWith(name, ".bak.txt")) return CheckedFile::Kind::Record;
    if (EndsWith(name, ".csv")) return CheckedFile::Kind::Summary;
    return CheckedFile::Kind::Other;
}

std::vector<Listed> ListFolder(const std::string& directory, const std::string& skip, std::string& problem) {
    const fs::path folder = FileSystemPath(directory);
    std::error_code error;
    const std::string named = ProgramText("文件夹") + Quoted(directory);
    if (directory.empty() || !fs::exists(folder, error)) return problem = named + ProgramText("不存在。"), std::vector<Listed>{};
    if (!fs::is_directory(folder, error)) return problem = named + ProgramText("不是文件夹。"), std::vector<Listed>{};
    std::vector<Listed> listed;
    fs::directory_iterator it(folder, error), end;
    for (; !error && it != end; it.increment(error)) {
        std::error_code ignored;
        if (!it->is_regular_file(ignored)) continue;
        if (!skip.empty() && fs::equivalent(it->path(), FileSystemPath(skip), ignored)) continue;
        Listed l{it->path(), {}, {}};
        bool unreadable = false;
        l.file.name = DisplayName(it->path(), unreadable);
        l.file.fileSystemName = FileSystemName(it->path());
        l.file.kind = KindOf(l.file.name);
        if (unreadable) l.file.notes.push_back(ProgramText("文件名不是本系统的编码，无法显示其中的汉字"));
        listed.push_back(std::move(l));
    }
    if (error) problem = named + ProgramText("读不出其中的文件（操作系统错误 ") + std::to_string(error.value()) + ProgramText("）。");
    std::sort(listed.begin(), listed.end(), [](const Listed& a, const Listed& b) { return a.path < b.path; });
    return listed;
}

// Reads every file of the check: its size and SHA-256, and the text of a record or a summary.
// False when cancelled.
bool ReadFiles(std::vector<Listed>& listed, FolderCheckReport& report) {
    long long total = 0, done = 0;
    for (const Listed& l : listed) {
        std::error_code error;
        const std::uintmax_t size = fs::file_size(l.path, error);
        if (!error) total += static_cast<long long>(size);
    }
    std::vector<char> buffer(1 << 20);
    int n = 0;
    for (Listed& l : listed) {
        report.Reading(l.file.name, ++n, static_cast<int>(listed.size()), done, total);
        std::ifstream in(l.path, std::ios::binary);
        if (!in) {
            l.file.reasons.push_back(ProgramText("读不出这个文件（没有读取权限，或已被移走）"));
            continue;
        }
        Sha256 hash;
        long long size = 0;
        const bool keep = l.file.kind != CheckedFile::Kind::Backup && l.file.kind != CheckedFile::Kind::Other;
        while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0) {
            const auto got = static_cast<std::size_t>(in.gcount());
            hash.Add(buffer.data(), got);
            if (keep && l.text.size() < (16u << 20)) l.text.append(buffer.data(), got);
            size += static_cast<long long>(got);
            done += static_cast<long long>(got);
            if (report.Cancelled()) return false;
            report.Reading(l.file.name, n, static_cast<int>(listed.size()), done, total);
            if (in.eof()) break;
        }
        if (in.bad()) {
            l.file.reasons.push_back(ProgramText("读这个文件时出错"));
            continue;
        }
        l.file.size = size;
        l.file.sha256 = hash.Hex();
    }
    return true;
}


std::string Trim(const std::string& s) {
    const std::size_t first = s.find_first_not_of(' ');
    return first == std::string::npos ? std::string() : s.substr(first, s.find_last_not_of(' ') - first + 1);
}

std::string SetKey(const RecordContents& r) {
    return Trim(r.server) + '\n' + Trim(r.database) + '\n' + Trim(r.year) + '\n' + Trim(r.unitCode) + '\n' + Trim(r.accountSetNumber);
}

// A batch's backup is named "<year>_<unit code><unit name>_<account-set number>...": the name
// must say the record's set.
bool NameSaysOtherSet(const std::string& name, const RecordContents& r) {
    const bool batchName = name.size() > 5 && name[4] == '_' &&
                           std::all_of(name.begin(), name.begin() + 4, [](char c) { return c >= '0' && c <= '9'; });
    if (!batchName) return false;
    const std::string start = Trim(r.year) + "_" + Trim(r.unitCode);
    return !name.starts_with(start) || name.find("_" + Trim(r.accountSetNumber), start.size()) == std::string::npos;
}

// A backup against its record.
void JudgeBackup(CheckedFile& bak, const std::map<std::string, Listed*>& byName) {
    const auto found = byName.find(bak.name + ".txt");
    if (found == byName.end()) return bak.reasons.push_back(ProgramText("没有转换记录（") + bak.name + ProgramText(".txt）"));
    Listed& record = *found->second;
    record.file.line = false;
    if (!record.file.reasons.empty()) return bak.reasons.push_back(ProgramText("转换记录") + ProgramText("：") + record.file.reasons.front());
    bak.record = ParseRecord(record.text);
    if (!bak.record) return bak.reasons.push_back(ProgramText("转换记录") + Quoted(record.file.name) + ProgramText("不是本程序的转换记录，或已损坏"));
    const RecordContents& r = *bak.record;
    for (const std::string& fault : r.faults) bak.reasons.push_back(ProgramText("转换记录中") + fault);
    if (!r.lacks.empty()) {
        std::string lacks;
        for (const std::string& l : r.lacks) lacks += (lacks.empty() ? "" : ProgramText("、")) + l;
        bak.notes.push_back(ProgramText("转换记录是本程序较早版本写的，没有") + lacks);
    }
    if (!r.file.empty() && r.file != bak.name) bak.reasons.push_back(ProgramText("转换记录写的备份文件是") + Quoted(r.file) + ProgramText("，不是这个文件"));
    if (bak.sha256.empty()) return;
    if (r.size >= 0 && r.size != bak.size)
        bak.reasons.push_back(ProgramText("大小为") + std::to_string(bak.size) + ProgramText("字节，转换记录为") + std::to_string(r.size) + ProgramText("字节"));
    if (IsHex64(r.sha256) && r.sha256 != bak.sha256) bak.reasons.push_back(ProgramText("SHA-256与转换记录不符"));
    if (r.filledHere && NameSaysOtherSet(bak.name, r))
        bak.reasons.push_back(ProgramText("文件名中的年度、单位编号、账套编号与转换记录（") + Trim(r.year) + "/" + Trim(r.unitCode) + "/" +
                              Trim(r.accountSetNumber) + ProgramText("）不符"));
}

// Two backups of one account set, or one backup under two names.
void JudgeTwice(std::vector<Listed>& listed) {
    std::map<std::string, std::vector<CheckedFile*>> bySet, byHash;
    for (Listed& l : listed) {
        CheckedFile& f = l.file;
        if (f.kind != CheckedFile::Kind::Backup) continue;
        if (!f.sha256.empty()) byHash[f.sha256].push_back(&f);
        if (f.record && f.record->filledHere) bySet[SetKey(*f.record)].push_back(&f);
    }
    const auto others = [](const std::vector<CheckedFile*>& group, const CheckedFile* self) {
        std::string names;
        for (const CheckedFile* f : group)
            if (f != self) names += (names.empty() ? "" : ProgramText("、")) + Quoted(f->name);
        return names;
    };
    for (auto& [key, group] : bySet)
        for (CheckedFile* f : group)
            if (group.size() > 1)
                f->reasons.push_back(ProgramText("与") + others(group, f) + ProgramText("是同一个账套的备份（服务器、数据库、年度、单位编号、账套编号都相同）"));
    for (auto& [hash, group] : byHash)
        for (CheckedFile* f : group)
            if (group.size() > 1) f->reasons.push_back(ProgramText("与") + others(group, f) + ProgramText("内容完全相同（同一个备份的两个副本）"));
}

// The fields of a CSV text, line by line (a quoted field may hold a line break).
std::vector<std::vector<std::string>> CsvLines(std::string_view text) {
    if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
    std::vector<std::vector<std::string>> lines(1);
    std::string field;
    bool quoted = false, any = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') field += text[++i];
            else if (c == '"') quoted = false;
            else field += c;
        } else if (c == '"') {
            quoted = any = true;
        } else if (c == ',') {
            lines.back().push_back(std::exchange(field, {}));
        } else if (c == '\n' || c == '\r') {
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
            lines.back().push_back(std::exchange(field, {}));
            lines.emplace_back();
        } else {
            field += c;
            any = true;
        }
    }
    if (!field.empty() || any) lines.back().push_back(field);
    if (lines.back().empty()) lines.pop_back();
    for (auto& line : lines)
        for (std::string& f : line)
            if (f.size() > 1 && f[0] == '\'' && std::string_view("=+-@").find(f[1]) != std::string_view::npos) f.erase(0, 1);
    return lines;
}

// A batch summary's lines against the backups and records of the folder. Not a summary of
// this program's: false.
bool JudgeSummary(Listed& summary, const std::map<std::string, Listed*>& byName) {
    const std::vector<std::vector<std::string>> lines = CsvLines(summary.text);
    if (lines.empty()) return false;
    const std::vector<std::string>& header = lines.front();
    const auto column = [&](std::string_view name) -> int {
        const auto it = std::find(header.begin(), header.end(), name);
        return it == header.end() ? -1 : static_cast<int>(it - header.begin());
    };
    const int year = column("年度"), unit = column("单位编号"), set = column("账套编号"), result = column("结果"),
              rows = column("复制行数"), file = column("备份文件"), check = column("校验"), sha = column("SHA-256");
    if (year < 0 || unit < 0 || set < 0 || result < 0 || file < 0 || check < 0) return false;
    const CodePage cp = CodePage::Process();
    CheckedFile& f = summary.file;
    for (std::size_t n = 1; n < lines.size(); ++n) {
        const auto value = [&](int c) { return c >= 0 && c < static_cast<int>(lines[n].size()) ? lines[n][static_cast<std::size_t>(c)] : std::string(); };
        const std::string at = ProgramText("第") + std::to_string(n + 1) + ProgramText("行");
        const std::string name = cp.FromUtf8(value(file));
        const bool made = value(result).starts_with("已转换") || value(result).starts_with("已存在");
        if (name.empty()) continue;
        const auto found = byName.find(name);
        if (found == byName.end() || found->second->file.kind != CheckedFile::Kind::Backup) {
            if (made) f.reasons.push_back(at + ProgramText("的备份文件") + Quoted(name) + ProgramText("不在文件夹里"));
            continue;
        }
        const CheckedFile& bak = found->second->file;
        if (!bak.record) continue;  // the backup's line says why
        const RecordContents& r = *bak.record;
        std::vector<std::string> differ;
        if (Trim(cp.FromUtf8(value(year))) != Trim(r.year) || Trim(cp.FromUtf8(value(unit))) != Trim(r.unitCode) ||
            Trim(cp.FromUtf8(value(set))) != Trim(r.accountSetNumber))
            differ.push_back(ProgramText("账套"));
        if (made && cp.FromUtf8(value(check)) != r.verification) differ.push_back(ProgramText("校验"));
        long long sum = 0;
        bool counted = !r.tables.empty();
        for (const RecordContents::Table& t : r.tables) counted = counted && t.rows >= 0, sum += std::max(t.rows, 0L);
        // A set skipped as done before copied nothing in that batch: its line's count is not the record's.
        const bool copiedThen = value(result).starts_with("已转换");
        if (const std::optional<long long> csvRows = Number(value(rows)); copiedThen && counted && csvRows && *csvRows != sum)
            differ.push_back(ProgramText("复制行数"));
        if (sha >= 0 && !value(sha).empty() && value(sha) != bak.sha256) differ.push_back(ProgramText("SHA-256"));
        if (!differ.empty()) {
            std::string fields;
            for (const std::string& d : differ) fields += (fields.empty() ? "" : ProgramText("、")) + d;
            f.reasons.push_back(at + ProgramText("（") + name + ProgramText("）的") + fields + ProgramText("与转换记录不符"));
        }
    }
    return true;
}

// A record whose backup is not in the folder.
void JudgeLoneRecord(Listed& record) {
    const std::optional<RecordContents> r = ParseRecord(record.text);
    if (!r) return record.file.reasons.push_back(ProgramText("不是本程序的转换记录，或已损坏"));
    const std::string name = record.file.name.substr(0, record.file.name.size() - 4);
    record.file.reasons.push_back(ProgramText("备份文件") + Quoted(r->file.empty() ? name : r->file) + ProgramText("不在文件夹里"));
}

}  // namespace

std::optional<RecordContents> ParseRecord(const std::string& utf8) {
    std::string_view text = utf8;
    if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
    const std::vector<std::string> lines = Lines(text);
    if (lines.empty() || lines.front().find(kHeading) == std::string::npos) return std::nullopt;
    RecordContents r;
    std::string total;
    std::map<std::string_view, std::string> times;
    ReadFields(lines, r, total, times);
    if (r.filledHere) CheckTables(r, total, r.faults);
    CheckValues(r, times);
    return r;
}

std::string CheckedFile::ResultText() const {
    std::string text;
    for (const std::string& reason : reasons) text += (text.empty() ? "" : ProgramText("；")) + reason;
    if (text.empty()) text = ProgramText("一致");
    if (!restoreCheck.empty()) text += ProgramText("；") + restoreCheck;
    for (const std::string& note : notes) text += ProgramText("（注意：") + note + ProgramText("）");
    return text;
}

int FolderCheck::Checked() const {
    return static_cast<int>(std::count_if(files.begin(), files.end(), [](const CheckedFile& f) { return f.line; }));
}

int FolderCheck::Agreeing() const {
    return static_cast<int>(std::count_if(files.begin(), files.end(), [](const CheckedFile& f) {
        return f.line && f.Agrees();
    }));
}

int FolderCheck::Backups() const {
    return static_cast<int>(std::count_if(files.begin(), files.end(), [](const CheckedFile& f) { return f.kind == CheckedFile::Kind::Backup; }));
}

int FolderCheck::Others() const {
    return static_cast<int>(std::count_if(files.begin(), files.end(), [](const CheckedFile& f) { return f.kind == CheckedFile::Kind::Other; }));
}

std::string FolderCheck::SummaryText() const {
    if (!problem.empty()) return problem;
    if (cancelled) return ProgramText("核对已取消，没有核对完。");
    std::string text = ProgramText("核对了") + std::to_string(Checked()) + ProgramText("个文件（备份") + std::to_string(Backups()) +
                       ProgramText("个），一致") + std::to_string(Agreeing()) + ProgramText("个，不一致") +
                       std::to_string(Checked() - Agreeing()) + ProgramText("个。");
    if (Backups() == 0) text += ProgramText("文件夹中没有备份文件（.bak）。");
    if (Others() > 0) text += ProgramText("另有") + std::to_string(Others()) + ProgramText("个其他文件，没有核对。");
    return text;
}


FolderCheck CheckFolder(const std::string& directory, FolderCheckReport& report, const std::string& skip) {
    FolderCheck check;
    std::vector<Listed> listed = ListFolder(directory, skip, check.problem);
    if (!check.problem.empty()) return check;
    if (!ReadFiles(listed, report)) {
        check.cancelled = true;
        return check;
    }
    std::map<std::string, Listed*> byName;
    for (Listed& l : listed) byName[l.file.name] = &l;
    for (Listed& l : listed)
        if (l.file.kind == CheckedFile::Kind::Backup && l.file.reasons.empty()) JudgeBackup(l.file, byName);
    JudgeTwice(listed);
    for (Listed& l : listed) {
        if (l.file.kind == CheckedFile::Kind::Record && l.file.line && l.file.reasons.empty()) JudgeLoneRecord(l);
        if (l.file.kind == CheckedFile::Kind::Summary && l.file.reasons.empty() && !JudgeSummary(l, byName))
            l.file.kind = CheckedFile::Kind::Other;  // a spreadsheet of someone else's
        if (l.file.kind == CheckedFile::Kind::Other) l.file.line = false;
    }
    for (Listed& l : listed) check.files.push_back(std::move(l.file));
    return check;
}

std::string ManifestText(const FolderCheck& check) {
    std::string text;
    for (const CheckedFile& f : check.files) {
        if (f.sha256.empty()) continue;
        // sha256sum marks a name holding a backslash or a line break with a backslash before its hash.
        const std::string& name = f.fileSystemName;
        std::string escaped;
        for (const char c : name) escaped += c == '\\' ? std::string("\\\\") : c == '\n' ? std::string("\\n") : std::string(1, c);
        text += "# " + std::to_string(f.size) + " bytes\n" + (escaped != name ? "\\" : "") + f.sha256 + "  " + escaped + "\n";
    }
    return text;
}

std::string WriteManifest(const std::string& path, const FolderCheck& check) {
    std::ofstream out(FileSystemPath(path), std::ios::binary | std::ios::trunc);
    const std::string text = ManifestText(check);
    if (out) out.write(text.data(), static_cast<std::streamsize>(text.size())).flush();
    if (out) return {};
    std::error_code ignored;
    if (fs::is_directory(FileSystemPath(path), ignored)) return ProgramText("已有同名的文件夹");
    return ProgramText("不能写入这个文件（文件夹不存在，或没有写入权限）");
}

}  // namespace tarvex
