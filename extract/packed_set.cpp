#include "packed_set.h"

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <utility>

#include "catalogue.h"
#include "failure_reason.h"
#include "sqltext.h"

namespace tarvex {

namespace {

// A marker after a step of the batch: a one-row result of its own, `n`, which tells the results
// of the step before it from those of the step after. After a copy (n > 0) it has a second
// column, the rows the copy made: EXECUTE keeps the @@ROWCOUNT of the last statement it ran
// ("@@ROWCOUNT (Transact-SQL)"), whether the session sends counts (NOCOUNT) or not and whether
// the driver passes on the count that came inside the EXEC or not.
std::string Marker(int n) { return "; SELECT " + std::to_string(n) + (n > 0 ? ", @@ROWCOUNT" : ""); }

bool IsMarker(const BatchResult& r, int n) {
    const std::size_t columns = n > 0 ? 2 : 1;
    return r.ok && r.columns == static_cast<int>(columns) && r.rows.size() == 1 && r.rows.front().size() == columns &&
           r.rows.front().front() == std::to_string(n);
}

// The copy's statement as it goes alone (its brackets as the driver's quotes), inside EXEC ('…').
std::string InOwnScope(const std::string& copy, char quote) {
    return "EXEC (N'" + QuoteLiteralText(RewriteBrackets(copy, quote)) + "')";
}

// The set's first exchange: the create and the identity, each copy, and what the export reads.
// Empty when a copy's statement cannot be built (the source's name cannot be quoted).
std::string Statements(const ExtractionRecord& r, char quote) {
    std::string sql = "create database " + ProgramText(kTemporaryDatabase) + "; " + TemporaryDatabaseQuery() + Marker(0);
    for (int position = 1; position <= TableCatalogue::kEntryCount; ++position) {
        const std::optional<std::string> copy =
            BuildCopyStatement(position, r.sourceDatabase, r.unitCode, r.accountSetNumber, r.year);
        if (!copy) return {};
        sql += "; " + InOwnScope(*copy, quote) + Marker(position);
    }
    return sql + "; " + FindingQuery();
}

// Reads the results of the first exchange as they arrive and reports each step as it ends.
class Reader {
public:
    Reader(PackedExtraction& p, ConversionLedger& ledger, Report& report, ODBCDB& db)
        : p_(p), x_(p.extraction), ledger_(ledger), report_(report), db_(&db) {}

    void operator()(const BatchResult& r) {
        // A cancel the report asks for between two results breaks the batch off at the server,
        // as a cancel from another thread does.
        if (db_ && report_.Cancelled()) std::exchange(db_, nullptr)->Cancel();
        if (!db_) return;  // what comes after the cancel is not this batch's any more
        if (step_ <= TableCatalogue::kEntryCount && IsMarker(r, step_)) {
            if (step_ > 0 && !copyFailed_) copy_.rows = std::atol(r.rows.front().back().c_str());
            return EndStep();
        }
        if (step_ == 0) return Creating(r);
        if (step_ <= TableCatalogue::kEntryCount) return Copying(r);
        Finding(r);
    }

    // The batch was broken off (`error`): the step under way did not end.
    void BrokenOff(const OdbcError& error) {
        if (step_ == 0) {
            x_.create = Executed{false, true, -1, error};
            return;
        }
        if (step_ <= TableCatalogue::kEntryCount && !copyFailed_) {
            copy_.failure = ReasonLine(error);
            copy_.lostConnection = ConnectionLost(error);
            copyFailed_ = true;
        }
        p_.foundRows.reset();
    }

    int Step() const { return step_; }
    const TableCopy& CopyUnderWay() const { return copy_; }

private:
    void Creating(const BatchResult& r) {
        if (!r.ok) {
            if (created_) x_.create = Executed{false, true, -1, r.error};
            else x_.create->error.more.push_back(r.error);
            created_ = false;
        } else if (r.columns == 2 && !r.rows.empty()) {
            p_.found = TemporaryDatabase::Of(r.rows.front());
        }
    }

    void Copying(const BatchResult& r) {
        if (!r.ok && !copyFailed_) {
            copy_.failure = ReasonLine(r.error);
            copy_.lostConnection = ConnectionLost(r.error);
            copyFailed_ = true;
        } else if (r.ok && r.count >= 0) {
            copy_.rows = std::max<long>(copy_.rows, 0) + r.count;
        }
    }

    void Finding(const BatchResult& r) {
        if (!r.ok) {
            p_.foundRows.reset();
            return;
        }
        if (!p_.foundRows) p_.foundRows.emplace();
        p_.foundRows->insert(p_.foundRows->end(), r.rows.begin(), r.rows.end());
        if (r.columns == 2 && !r.rows.empty()) p_.found = TemporaryDatabase::Of(r.rows.front());
    }

    void EndStep() {
        if (step_ == 0) Created();
        else Copied();
        ++step_;
        if (step_ <= TableCatalogue::kEntryCount && Filled()) {
            copy_ = TableCopy{std::string(TableCatalogue::TableName(step_)), -1, {}};
            copyFailed_ = false;
            report_.Log(TableCatalogue::ProgressLine(step_));
        }
        if (step_ > TableCatalogue::kEntryCount) p_.foundRows.emplace();
    }

    void Created() {
        if (!created_) return;
        x_.create = Executed{true, true, -1, {}};
        ExtractionRecord& record = x_.record;
        record.identity = p_.found.Identity();
        report_.Log(ProgramText("创建临时数据库成功！\r\n"));
        ledger_.SetFilled(record);
        report_.Log(ProgramText("当前整理账套：") + record.accountSetName + "\r\n");
    }

    void Copied() {
        if (!Filled()) return;
        if (!copy_.Ok()) report_.Log(copy_.table + ProgramText("表整理失败！") + copy_.failure + "\r\n");
        x_.record.copies.push_back(copy_);
        ledger_.SetFilled(x_.record);
        report_.Copied(step_, copy_);
    }

    bool Filled() const { return x_.create && x_.create->ok; }

    PackedExtraction& p_;
    Extraction& x_;
    ConversionLedger& ledger_;
    Report& report_;
    ODBCDB* db_;  // until a cancel has gone to it
    int step_ = 0;
    bool created_ = true;
    TableCopy copy_;
    bool copyFailed_ = false;
};

// The copies the batch did not get to, after one broken off (a lost connection): failed for
// the same reason, as one at a time they would have.
void NotReached(ExtractionRecord& record, const TableCopy& brokenOff) {
    for (int position = static_cast<int>(record.copies.size()) + 1; position <= TableCatalogue::kEntryCount; ++position) {
        TableCopy copy{std::string(TableCatalogue::TableName(position)), -1, brokenOff.failure};
        copy.lostConnection = brokenOff.lostConnection;
        record.copies.push_back(copy);
    }
}

// The create failed or was broken off: how the extraction ends.
Extraction::End CreateFailed(Database::Session& session, Extraction& x, Report& report, const ConversionOptions& options) {
    if (!x.create) x.create = Executed{false, true, -1, {}};
    if (x.create->connected && report.Cancelled()) {
        DropWhatTheCreateMade(session, report, options);
        return Extraction::End::Cancelled;
    }
    report.Log(ProgramText("创建临时数据库失败！请重新登陆数据库！\r\n"));
    report.Log((x.create->connected ? ReasonLine(x.create->error) : ProgramText("原因：尚未登录数据库。")) + "\r\n");
    return Extraction::End::CreateFailed;
}

// The batch broken off during the copies (a lost connection): the copy under way and those after
// it failed, as the reader saw.
void NoteBrokenOff(const Reader& reader, ExtractionRecord& record, ConversionLedger& ledger) {
    const TableCopy& brokenOff = reader.CopyUnderWay();
    if (reader.Step() > TableCatalogue::kEntryCount) return;
    record.copies.push_back(brokenOff);
    NotReached(record, brokenOff);
    ledger.SetFilled(record);
}

void Finish(Extraction& x, ConversionLedger& ledger, Report& report) {
    ExtractionRecord& record = x.record;
    record.finished = true;
    record.ended = LocalTimeText();
    ledger.SetFilled(record);
    report.Log(ProgramText("数据整理完毕，开始导出。\r\n"));
    for (const std::string& line : ExtractionSummary(record)) report.Log(line);
    x.end = Extraction::End::Finished;
}

}  // namespace

PackedExtraction ExtractPacked(HoldOnTemporaryDatabase& hold, const ConversionInputs& inputs, Report& report,
                               const ConversionOptions& options) {
    ConversionLedger& ledger = hold.Ledger();
    PackedExtraction p;
    Extraction& x = p.extraction;
    if (std::string problem = DatabaseNameProblem(inputs.sourceDatabase); !problem.empty()) {
        report.Log(problem + "\r\n");
        x.refusal = std::move(problem);
        x.end = Extraction::End::Refused;
        return p;
    }
    ExtractionRecord& record = x.record;
    record.login = ledger.Login();
    record.sourceDatabase = inputs.sourceDatabase;
    record.sourceIdentity = inputs.sourceIdentity;
    record.started = LocalTimeText();
    record.year = inputs.year;
    record.unitCode = inputs.unitCode;
    record.accountSetNumber = inputs.accountSetNumber;
    record.accountSetName = inputs.accountSetName;
    Database::Session& session = hold.Session();
    std::optional<Reader> reader;
    const std::optional<bool> whole = session.Run([&](ODBCDB& db) {
        reader.emplace(p, ledger, report, db);
        if (!db.IsOpen()) {
            x.create = Executed{false, false, -1, {}};
            return false;
        }
        const bool ran = db.ExecuteBatch(Statements(record, db.IdentifierQuote()), Timeout::None(), std::ref(*reader));
        if (!ran) reader->BrokenOff(db.LastError());
        return ran;
    });
    if (!whole) {
        x.end = Extraction::End::Closing;
        return p;
    }
    if (!x.create || !x.create->ok) {
        x.end = CreateFailed(session, x, report, options);
        return p;
    }
    if (!*whole) {
        if (report.Cancelled()) {
            x.end = Extraction::End::Cancelled;
            return p;
        }
        NoteBrokenOff(*reader, x.record, ledger);
    }
    Finish(x, ledger, report);
    return p;
}

}  // namespace tarvex
