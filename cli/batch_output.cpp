#include "batch_output.h"

#include <cstdio>

#include "catalogue.h"
#include "codepage.h"
#include "export.h"

namespace tarvex {

namespace {

// A value as the server returned it without its padding; a tab or line break in it would
// break the line's columns and becomes a blank.
std::string Field(const std::string& value) {
    std::string text = value.substr(0, value.find_last_not_of(' ') + 1);
    for (char& c : text)
        if (c == '\t' || c == '\r' || c == '\n') c = ' ';
    return text;
}

void Say(const std::string& text) { Write(stderr, text + "\n"); }

// "1分05秒", "12秒".
std::string DurationText(std::chrono::steady_clock::duration d) {
    const long long s = std::chrono::duration_cast<std::chrono::seconds>(d).count();
    char text[32];
    if (s >= 60) std::snprintf(text, sizeof text, "%lld%s%02lld%s", s / 60, ProgramText("分").c_str(), s % 60, ProgramText("秒").c_str());
    else std::snprintf(text, sizeof text, "%lld%s", s, ProgramText("秒").c_str());
    return text;
}

}  // namespace

std::string JsonText(const std::string& narrow) {
    std::string out = "\"";
    for (const char16_t c : CodePage::Process().ToUtf16(narrow)) {
        if (c == u'"' || c == u'\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
            out += escaped;
        }
    }
    return out + "\"";
}


ConsoleReport::ConsoleReport(const Interruption& interruption, Detail detail, bool setLines)
    : interruption_(interruption), detail_(detail), setLines_(setLines) {}

void ConsoleReport::SetBegins(int n, int total, const AccountSetEntry& set) {
    n_ = n;
    total_ = total;
    tables_ = 0;
    setStarted_ = std::chrono::steady_clock::now();
    set_ = "[" + std::to_string(n) + "/" + std::to_string(total) + "] " + Field(set.year) + "/" + Field(set.unitCode) +
           "/" + Field(set.accountSetNo) + " " + Field(set.name);
    if (detail_ == Detail::Quiet) return;
    if (detail_ == Detail::Normal && terminal_) ReplaceLine(stderr, Progress());
    else Say(set_ + ProgramText("：开始转换"));
}

void ConsoleReport::Log(const std::string& line) {
    if (detail_ != Detail::Verbose) return;
    std::string text = line;
    std::erase(text, '\r');
    Write(stderr, text);
}

void ConsoleReport::Copied(int position, const TableCopy& copy) {
    tables_ = position;
    if (detail_ == Detail::Normal && terminal_) {
        ReplaceLine(stderr, Progress());
    } else if (detail_ == Detail::Verbose) {
        const std::string count = copy.rows >= 0 ? std::to_string(copy.rows) + ProgramText("行") : ProgramText("行数未知");
        Say(set_ + ProgramText("：表") + std::to_string(position) + "/" + std::to_string(TableCatalogue::kEntryCount) +
            " " + copy.table + ProgramText("，") + (copy.Ok() ? count : ProgramText("失败：") + copy.failure));
    }
}

void ConsoleReport::SetEnded(int, const BatchRow& row) {
    if (detail_ != Detail::Quiet) {
        const std::string ended = set_ + ProgramText("：") + ResultText(row.result) + ProgramText("，用时") +
                                  DurationText(std::chrono::steady_clock::now() - setStarted_);
        if (detail_ == Detail::Normal && terminal_) {
            ReplaceLine(stderr, ended);  // the line's earlier text cleared before the line ends
            Write(stderr, "\n");
        } else {
            Say(ended);
        }
    }
    if (setLines_) Write(stdout, SetLine(row));
}

// "[2/27] 2016/101/002 工会账套：表12/34，已用时1分05秒，预计还需约9分40秒"
std::string ConsoleReport::Progress() const {
    constexpr int kTables = TableCatalogue::kEntryCount;
    const auto elapsed = std::chrono::steady_clock::now() - started_;
    const int done = (n_ - 1) * kTables + tables_;
    std::string text = set_ + ProgramText("：表") + std::to_string(tables_) + "/" + std::to_string(kTables) +
                       ProgramText("，已用时") + DurationText(elapsed);
    if (done > 0 && elapsed >= std::chrono::seconds(1))
        text += ProgramText("，预计还需约") + DurationText(elapsed * (total_ * kTables - done) / done);
    return text;
}

std::string SetLine(const BatchRow& row) {
    std::string line;
    for (const std::string& field :
         {Field(row.set.year), Field(row.set.unitCode), Field(row.set.unitName), Field(row.set.accountSetNo),
          Field(row.set.name), ResultText(row.result), RowsText(row), std::to_string(row.tablesWithRows),
          row.file, row.verification, Field(NotesText(row))})
        line += (line.empty() ? "" : "\t") + field;
    return line + "\n";
}

std::string SummaryJson(const BatchOutcome& outcome, const std::string& folder, bool folderFellBack, int exitCode) {
    std::string json = "{\"folder\":" + JsonText(folder) + ",\"folderFellBack\":" + (folderFellBack ? "true" : "false") +
                       ",\"summaryFile\":" + JsonText(outcome.summaryFile.empty() ? "" : BackupPath(folder, outcome.summaryFile)) +
                       ",\"stopped\":" + JsonText(outcome.stopped) + ",\"exitCode\":" + std::to_string(exitCode) +
                       ",\"sets\":[";
    for (std::size_t i = 0; i < outcome.rows.size(); ++i) {
        const BatchRow& r = outcome.rows[i];
        std::string notes;
        for (const std::string& note : r.notes) notes += (notes.empty() ? "" : ",") + JsonText(note);
        json += std::string(i ? "," : "") + "{\"year\":" + JsonText(Field(r.set.year)) +
                ",\"unitCode\":" + JsonText(Field(r.set.unitCode)) + ",\"unitName\":" + JsonText(Field(r.set.unitName)) +
                ",\"accountSetNumber\":" + JsonText(Field(r.set.accountSetNo)) +
                ",\"accountSetName\":" + JsonText(Field(r.set.name)) + ",\"result\":" + JsonText(ResultText(r.result)) +
                ",\"rows\":" + (r.rows < 0 ? std::string("null") : std::to_string(r.rows)) + ",\"tablesWithRows\":" + std::to_string(r.tablesWithRows) +
                ",\"file\":" + JsonText(r.file) + ",\"sha256\":" + JsonText(r.sha256) + ",\"check\":" +
                JsonText(r.verification) + ",\"notes\":[" + notes + "],\"serverVersion\":" + JsonText(r.serverVersion) + "}";
    }
    return json + "]}\n";
}

}  // namespace tarvex
