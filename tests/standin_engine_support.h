#pragma once
// Helpers for the engine tests: a private data directory, a sink that records everything a
// batch reports, and short ways to run statements and read rows.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine.h"

namespace enginetest {

using standin::ColumnInfo;
using standin::Message;
using standin::Value;

inline const char* const kSource = "2016年乡镇数据采集";
inline const char* const kTemp = "Tarvex数据整理";

// A fresh directory under the system's temporary directory, removed with its contents.
class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "standin-engine-XXXXXX").string();
        if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& Path() const { return path_; }

private:
    std::filesystem::path path_;
};

// A value as text: NULL, integers in decimal, reals with %g, texts as they are.
inline std::string Text(const Value& v) {
    switch (v.kind) {
    case Value::Kind::Null: return "NULL";
    case Value::Kind::Integer: return std::to_string(v.integer);
    case Value::Kind::Real: {
        char buffer[64];
        std::snprintf(buffer, sizeof buffer, "%g", v.real);
        return buffer;
    }
    case Value::Kind::Text: return v.text;
    }
    return "?";
}

using Rows = std::vector<std::vector<std::string>>;

// What one statement reported.
struct Outcome {
    std::vector<Message> messages;
    std::optional<std::vector<ColumnInfo>> columns;  // when it produced a result set
    Rows rows;
    bool failed = false;
    std::int64_t rowCount = -1;
    std::optional<int> returnStatus;  // of a procedure called by EXEC

    // The numbers of the messages, in order.
    std::vector<int> Numbers() const {
        std::vector<int> n;
        for (const Message& m : messages) n.push_back(m.number);
        return n;
    }
};

class RecordingSink : public standin::ResultSink {
public:
    std::vector<Outcome> statements;

    void OnMessage(const Message& message) override { current_.messages.push_back(message); }
    void OnColumns(const std::vector<ColumnInfo>& columns) override {
        EXPECT_FALSE(current_.columns) << "two result sets in one statement";
        current_.columns = columns;
    }
    void OnRow(const std::vector<Value>& row) override {
        EXPECT_TRUE(current_.columns) << "a row before its columns";
        std::vector<std::string> texts;
        for (const Value& v : row) texts.push_back(Text(v));
        if (current_.columns) {
            EXPECT_EQ(texts.size(), current_.columns->size());
        }
        current_.rows.push_back(std::move(texts));
    }
    void OnStatementDone(bool failed, std::int64_t rowCount) override {
        current_.failed = failed;
        current_.rowCount = rowCount;
        statements.push_back(std::move(current_));
        current_ = {};
    }
    void OnProcedureDone(bool failed, int returnStatus) override {
        current_.returnStatus = returnStatus;
        OnStatementDone(failed, -1);
    }

private:
    Outcome current_;
};

struct BatchResult {
    bool completed = false;  // Execute's result
    std::vector<Outcome> statements;
};

inline BatchResult RunBatch(standin::Session& session, std::string_view sql) {
    RecordingSink sink;
    BatchResult r;
    r.completed = session.Execute(sql, sink);
    r.statements = std::move(sink.statements);
    return r;
}

// Runs a batch of one statement and returns what it reported.
inline Outcome One(standin::Session& session, std::string_view sql) {
    BatchResult r = RunBatch(session, sql);
    EXPECT_TRUE(r.completed) << sql;
    EXPECT_EQ(r.statements.size(), 1u) << sql;
    if (r.statements.empty()) return Outcome{{}, {}, {}, true, -1, std::nullopt};
    return std::move(r.statements.front());
}

// Runs a statement that must succeed.
inline Outcome Ok(standin::Session& session, std::string_view sql) {
    Outcome o = One(session, sql);
    EXPECT_FALSE(o.failed) << sql << "\n" << (o.messages.empty() ? "" : o.messages.front().text);
    return o;
}

// The rows of a query that must succeed.
inline Rows Query(standin::Session& session, std::string_view sql) {
    Outcome o = Ok(session, sql);
    EXPECT_TRUE(o.columns) << sql;
    return o.rows;
}

// The single error a failing statement reported.
inline Message Error(standin::Session& session, std::string_view sql) {
    Outcome o = One(session, sql);
    EXPECT_TRUE(o.failed) << sql;
    EXPECT_EQ(o.messages.size(), 1u) << sql;
    return o.messages.empty() ? Message{} : o.messages.front();
}

inline std::unique_ptr<standin::Session> Open(standin::Engine& engine, std::string_view database,
                                              std::string_view login = "sa") {
    Message error;
    std::unique_ptr<standin::Session> s = engine.OpenSession(database, &error, login);
    EXPECT_TRUE(s) << error.text;
    return s;
}

// Rows read from a SQLite file with nothing of the engine: a plain sqlite3 connection.
inline Rows PlainQuery(const std::filesystem::path& file, const std::string& sql) {
    sqlite3* raw = nullptr;
    Rows rows;
    if (sqlite3_open_v2(file.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        ADD_FAILURE() << "cannot open " << file << ": " << sqlite3_errmsg(raw);
        sqlite3_close(raw);
        return rows;
    }
    std::unique_ptr<sqlite3, decltype(&sqlite3_close)> db(raw, &sqlite3_close);
    sqlite3_stmt* q = nullptr;
    if (sqlite3_prepare_v2(db.get(), sql.c_str(), -1, &q, nullptr) != SQLITE_OK) {
        ADD_FAILURE() << sql << ": " << sqlite3_errmsg(db.get());
        return rows;
    }
    while (sqlite3_step(q) == SQLITE_ROW) {
        std::vector<std::string> row;
        for (int k = 0; k < sqlite3_column_count(q); ++k) {
            const auto* t = reinterpret_cast<const char*>(sqlite3_column_text(q, k));
            row.push_back(t ? t : "NULL");
        }
        rows.push_back(std::move(row));
    }
    sqlite3_finalize(q);
    return rows;
}

// A data directory with the sample database (scale 1) and an engine on it.
class SampleTest : public ::testing::Test {
protected:
    SampleTest() {
        standin::Engine::CreateSample(dir_.Path(), 1);
        engine_ = std::make_unique<standin::Engine>(dir_.Path());
        session_ = Open(*engine_, kSource);
    }

    standin::Session& S() { return *session_; }

    TempDir dir_;
    std::unique_ptr<standin::Engine> engine_;
    std::unique_ptr<standin::Session> session_;
};

}  // namespace enginetest
