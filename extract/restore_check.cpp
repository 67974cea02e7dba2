#include "restore_check.h"

#include "catalogue.h"
#include "codepage.h"
#include "export.h"
#include "failure_reason.h"
#include "sqltext.h"

namespace tarvex {

namespace {


// A scratch name that is free on the server: "Tarvex还原核对1", "Tarvex还原核对2", ...; empty when
// none of the first hundred is (`problem` then says why the last was refused).
std::string ScratchName(Database& database, const RestoreServer& server, const BackupDescription& backup,
                        std::string& problem) {
    for (int n = 1; n <= 100; ++n) {
        const std::string name = ProgramText("Tarvex还原核对") + std::to_string(n);
        problem = RestoreNameProblem(database, server, backup, name);
        if (problem.empty()) return name;
        if (database.ShuttingDown()) break;
    }
    return {};
}

struct Counted {
    std::vector<long long> rows;  // in catalogue order; -1 where the table could not be read
    std::vector<std::string> unread;
    OdbcError error;
};

// The rows of each of the catalogue's tables in `name`: in one exchange, or where that fails
// (a table missing), table by table, to say which.
Counted Count(Database& database, const std::string& name) {
    const std::string prefix = "SELECT COUNT(*) FROM [" + *QuoteBracketedName(name) + "].[dbo].[";
    const auto read = [&](const std::string& statement) {
        return database.Run([statement](ODBCDB& db) {
            std::pair<std::optional<std::vector<std::vector<std::string>>>, OdbcError> r{db.ReadAllText(statement), {}};
            if (!r.first) r.second = db.LastError();
            return r;
        });
    };
    Counted c;
    std::string all;
    for (int p = 1; p <= TableCatalogue::kEntryCount; ++p)
        all += (all.empty() ? "" : "; ") + prefix + std::string(TableCatalogue::TableName(p)) + "]";
    if (const auto rows = read(all); rows && rows->first && rows->first->size() == TableCatalogue::kEntryCount) {
        for (const auto& row : *rows->first) c.rows.push_back(row.empty() ? -1 : std::stoll(row.front()));
        return c;
    }
    for (int p = 1; p <= TableCatalogue::kEntryCount; ++p) {
        const std::string table(TableCatalogue::TableName(p));
        const auto rows = read(prefix + table + "]");
        const bool ok = rows && rows->first && !rows->first->empty() && !rows->first->front().empty();
        c.rows.push_back(ok ? std::stoll(rows->first->front().front()) : -1);
        if (!ok) c.unread.push_back(table);
        if (!ok && rows) c.error = rows->second;
        if (!rows || (!ok && ConnectionLost(rows->second))) break;
    }
    return c;
}

// The counts against the record: which tables differ, or empty.
std::string Differences(const Counted& counted, const RecordContents& record) {
    std::string text;
    for (std::size_t i = 0; i < counted.rows.size() && i < record.tables.size(); ++i) {
        const long recorded = record.tables[i].rows;
        if (counted.rows[i] < 0 || recorded < 0 || counted.rows[i] == recorded) continue;
        text += (text.empty() ? "" : ProgramText("，")) + record.tables[i].name + ProgramText("表备份中") + std::to_string(counted.rows[i]) +
                ProgramText("行、记录为") + std::to_string(recorded) + ProgramText("行");
    }
    return text;
}

// Drops the scratch database; a lost connection is opened again first. Says in the log what it did.
bool DropScratch(Database& database, const RestoreServer& server, const std::string& name, Report& report) {
    const std::string statement = "DROP DATABASE [" + *QuoteBracketedName(name) + "]";
    std::optional<Executed> dropped = database.Run(Executing(statement, Timeout::None(), Execution::Direct));
    if (dropped && !dropped->ok && ConnectionLost(dropped->error)) {
        report.Log(ProgramText("正在重新连接数据库服务器，删除核对用的数据库……\r\n"));
        LoginSettings login = server.login;
        const std::optional<Opened> opened = OpenConnection(database, login, LoginPrompt::Never());
        ReleaseLoginSettings(login);
        if (opened && opened->ok) dropped = database.Run(Executing(statement, Timeout::None(), Execution::Direct));
    }
    if (dropped && dropped->ok) {
        report.Log(ProgramText("已删除核对用的数据库“") + name + ProgramText("”。\r\n"));
        return true;
    }
    report.Log(ProgramText("删除核对用的数据库“") + name + ProgramText("”失败！") + (dropped ? ReasonLine(dropped->error) : std::string()) + "\r\n");
    return false;
}

RestoreCheck NotChecked(std::string why, RestoreCheck::End end = RestoreCheck::End::NotChecked) {
    RestoreCheck r;
    r.end = end;
    r.text = std::move(why);
    return r;
}

// What a restore that did not end well leaves to say: the restore's own message, its first line
// being the reason (a version the server cannot restore says so; that is not the backup's fault).
RestoreCheck NotRestored(const Restored& restored) {
    if (restored.end == Restored::End::Cancelled) return NotChecked(ProgramText("还原核对已取消"), RestoreCheck::End::Cancelled);
    std::string message = restored.message;
    for (std::size_t at; (at = message.find("\r\n")) != std::string::npos;) message.replace(at, 2, " ");
    RestoreCheck r = NotChecked(ProgramText("未能还原核对：") + message);
    r.leftBehind = restored.leftBehind;
    return r;
}

}  // namespace

RestoreCheck CheckByRestoring(Database& database, const RestoreServer& server, const std::string& path,
                              const RecordContents& record, Report& report) {
    const Reading<BackupDescription> backup = ReadBackup(database, server, path);
    if (!backup.value) return NotChecked(ProgramText("未能还原核对：") + backup.problem);
    if (!backup.problem.empty())  // 3169: this server is older than the one that made the backup
        return NotChecked(ProgramText("未能还原核对（不是备份的问题）：") + backup.problem);
    std::string problem;
    const std::string name = ScratchName(database, server, *backup.value, problem);
    if (name.empty()) return NotChecked(ProgramText("未能还原核对：") + problem);
    const Restored restored = RestoreBackup(database, server, *backup.value, name, report);
    if (restored.end != Restored::End::Restored) return NotRestored(restored);

    const Counted counted = report.Cancelled() ? Counted{} : Count(database, name);
    const bool dropped = DropScratch(database, server, name, report);
    RestoreCheck r;
    r.leftBehind = !dropped;
    const std::string left = dropped ? std::string()
                                     : ProgramText("；服务器上留下了核对用的数据库“") + name + ProgramText("”，请删除它");
    if (report.Cancelled() && counted.rows.empty()) {
        r.end = RestoreCheck::End::Cancelled;
        r.text = ProgramText("还原核对已取消") + left;
        return r;
    }
    r.counts = counted.rows;
    long long total = 0;
    for (const long long n : counted.rows) total += std::max(n, 0LL);
    const std::string differences = Differences(counted, record);
    if (!counted.unread.empty()) {
        r.end = RestoreCheck::End::Differs;
        std::string tables;
        for (const std::string& t : counted.unread) tables += (tables.empty() ? "" : ProgramText("、")) + t;
        r.text = ProgramText("内容不一致：备份中读不出") + tables + ProgramText("表") + (differences.empty() ? "" : ProgramText("，") + differences) +
                 ReasonLine(counted.error);
    } else if (!differences.empty()) {
        r.end = RestoreCheck::End::Differs;
        r.text = ProgramText("内容不一致：") + differences;
    } else {
        r.end = RestoreCheck::End::Agrees;
        r.text = ProgramText("内容一致（") + std::to_string(counted.rows.size()) + ProgramText("张表共") + std::to_string(total) + ProgramText("行）");
    }
    r.text += left;
    return r;
}

void CheckFolderByRestoring(Database& database, const RestoreServer& server, const std::string& directory,
                            FolderCheck& check, FolderCheckReport& report) {
    std::vector<CheckedFile*> backups;
    for (CheckedFile& f : check.files)
        if (f.kind == CheckedFile::Kind::Backup && f.record && f.record->filledHere &&
            static_cast<int>(f.record->tables.size()) == TableCatalogue::kEntryCount)
            backups.push_back(&f);
    int n = 0;
    for (CheckedFile* f : backups) {
        if (report.Cancelled()) {
            check.cancelled = true;
            return;
        }
        report.Begins(++n, static_cast<int>(backups.size()), f->name);
        const RestoreCheck r = CheckByRestoring(database, server, BackupPath(directory, f->name), *f->record, report);
        f->restoreCheck = r.text;
        f->restoreAgrees = r.end == RestoreCheck::End::Agrees;
        if (r.end == RestoreCheck::End::Cancelled) check.cancelled = true;
    }
}

}  // namespace tarvex
