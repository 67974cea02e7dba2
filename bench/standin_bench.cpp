// A large select-into through the stand-in (ODBC client, FreeTDS, the stand-in) against the same
// INSERT ... SELECT run directly in SQLite on the same data, side by side, several times.
//
// usage: standin_bench [scale [repetitions]]   (defaults: 200, 5)

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "standin_odbc.h"
#include "standin_process.h"

namespace {

using Clock = std::chrono::steady_clock;
using standintest::Client;
using standintest::Statement;

const std::string kSample = "2016年乡镇数据采集";

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// The SQLite side, set up as the stand-in's session is: the sample database as main (with
// synchronous=NORMAL), the target database attached, created in WAL mode.
class Direct {
public:
    Direct(const std::string& source, const std::string& target) {
        Open(target);
        Exec("PRAGMA journal_mode=WAL");
        db_.reset();
        Open(source);
        Exec("PRAGMA synchronous=NORMAL");
        Exec("ATTACH DATABASE '" + target + "' AS target");
        sqlite3_stmt* raw = nullptr;
        sqlite3_prepare_v2(db_.get(), "SELECT sql FROM main.sqlite_master WHERE name = 'GL_PZNR'", -1, &raw, nullptr);
        const std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> stmt(raw, sqlite3_finalize);
        if (sqlite3_step(stmt.get()) != SQLITE_ROW) throw std::runtime_error("no GL_PZNR in the sample");
        const std::string sql = reinterpret_cast<const char*>(sqlite3_column_text(stmt.get(), 0));
        definition_ = sql.substr(sql.find('('));
        sqlite3_stmt* rawInfo = nullptr;
        sqlite3_prepare_v2(db_.get(), "SELECT name FROM pragma_table_info('GL_PZNR')", -1, &rawInfo, nullptr);
        const std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> info(rawInfo, sqlite3_finalize);
        while (sqlite3_step(info.get()) == SQLITE_ROW)
            columns_ += std::string(columns_.empty() ? "" : ", ") + "\"" +
                        reinterpret_cast<const char*>(sqlite3_column_text(info.get(), 0)) + "\"";
    }

    // Creates the copy and fills it in one transaction; the rows copied. With `star`, SELECT *,
    // which lets SQLite copy whole records without decoding them; otherwise the column list.
    long long Copy(bool star) {
        Exec("BEGIN");
        Exec("CREATE TABLE target.copy " + definition_);
        Exec("INSERT INTO target.copy SELECT " + (star ? std::string("*") : columns_) + " FROM main.GL_PZNR");
        const long long rows = sqlite3_changes64(db_.get());
        Exec("COMMIT");
        return rows;
    }
    void Drop() { Exec("DROP TABLE target.copy"); }

private:
    void Open(const std::string& file) {
        sqlite3* raw = nullptr;
        const int rc = sqlite3_open(file.c_str(), &raw);
        db_.reset(raw);
        if (rc != SQLITE_OK) throw std::runtime_error("cannot open " + file);
    }
    void Exec(const std::string& sql) {
        char* error = nullptr;
        if (sqlite3_exec(db_.get(), sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
            const std::string text = error ? error : "?";
            sqlite3_free(error);
            throw std::runtime_error(sql + ": " + text);
        }
    }

    struct Closer {
        void operator()(sqlite3* db) const { sqlite3_close(db); }
    };
    std::unique_ptr<sqlite3, Closer> db_;
    std::string definition_;  // "(column definitions)"
    std::string columns_;     // the column names, quoted
};

void Run(Statement& s, const std::string& sql) {
    if (!SQL_SUCCEEDED(s.Run(sql))) throw std::runtime_error(sql + "\n" + standintest::Describe(s.Errors()));
}

}  // namespace

int main(int argc, char** argv) {
    const int scale = argc > 1 ? std::atoi(argv[1]) : 200;
    const int repetitions = argc > 2 ? std::atoi(argv[2]) : 5;
    if (scale < 1 || repetitions < 1) {
        std::fprintf(stderr, "usage: standin_bench [scale [repetitions]]\n");
        return 2;
    }
    try {
        std::setlocale(LC_ALL, "C.UTF-8");  // the narrow ODBC calls carry UTF-8
        testsupport::UsePrivateOdbcConfig();

        testsupport::StandinProcess::Options options;
        options.scale = scale;
        const Clock::time_point created = Clock::now();
        testsupport::StandinProcess server(options);
        std::printf("sample database at scale %d written and served in %.2f s\n", scale, Seconds(Clock::now() - created));

        Client client;
        if (!SQL_SUCCEEDED(client.Connect(standintest::ToolConnectionString(server.Port(), kSample))))
            throw std::runtime_error("cannot connect: " + standintest::Describe(client.Errors()));
        {
            Statement s(client);
            Run(s, "create database bench_copy");
        }
        const std::filesystem::path dir = server.DataDir();
        Direct direct((dir / (kSample + ".sqlite")).string(), (dir.parent_path() / "direct.sqlite").string());

        const std::string copy = "select * into \"bench_copy\".\"dbo\".\"copy\" from \"" + kSample + "\".\"dbo\".\"GL_PZNR\"";
        std::vector<double> viaStandin, columnList, star;
        long long rows = 0;
        const auto timeDirect = [&](bool withStar) {
            const Clock::time_point start = Clock::now();
            const long long directRows = direct.Copy(withStar);
            const double seconds = Seconds(Clock::now() - start);
            if (directRows != rows) throw std::runtime_error("the copies differ in rows");
            direct.Drop();
            return seconds;
        };
        std::printf("%-4s %14s %18s %18s\n", "run", "stand-in (s)", "SQLite, list (s)", "SQLite, * (s)");
        for (int r = 1; r <= repetitions; ++r) {
            {
                // As the tool sends its copies: a static, read-only cursor on a prepared statement.
                Statement s(client);
                s.UseStaticCursor(0);
                const Clock::time_point start = Clock::now();
                Run(s, copy);
                viaStandin.push_back(Seconds(Clock::now() - start));
                rows = s.RowCount();
            }
            {
                Statement s(client);
                Run(s, "drop table \"bench_copy\".\"dbo\".\"copy\"");
            }
            columnList.push_back(timeDirect(false));
            star.push_back(timeDirect(true));
            std::printf("%-4d %14.3f %18.3f %18.3f\n", r, viaStandin.back(), columnList.back(), star.back());
        }
        const double standin = Median(viaStandin);
        std::printf("rows copied: %lld (GL_PZNR)\n", rows);
        std::printf("median: stand-in %.3f s; SQLite %.3f s with the column list, %.3f s with *\n", standin,
                    Median(columnList), Median(star));
        std::printf("stand-in speed / SQLite speed = %.2f against the same column list, %.2f against * "
                    "(goal: at least 0.50)\n",
                    Median(columnList) / standin, Median(star) / standin);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "standin_bench: %s\n", e.what());
        return 1;
    }
}
