// What checking a backup adds to the export, as ratios to the backup's own time, measured side
// by side in one run on the sample database and on the sample with 100 times the voucher rows:
// - verify: the server's RESTORE VERIFYONLY of the file just written;
// - hash: SHA-256 of the file with Qt's QCryptographicHash, read in chunks as the tool reads it.
// Each scale gets a stand-in of its own, filled by the extraction's 34 copies of 演示账套 (unit
// 001, account set 001, 2016) without the run's pauses; each figure is the median of several
// repetitions of backup, verify and hash.
//
// usage: evidence_bench [repetitions]   (default 5)

#include <QCryptographicHash>
#include <QFile>

#include <algorithm>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "catalogue.h"
#include "export.h"
#include "standin_odbc.h"
#include "standin_process.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using standintest::Client;
using standintest::Statement;

const std::string kSample = "2016年乡镇数据采集";

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// Seconds that `work` takes.
template <typename Work>
double Timed(Work&& work) {
    const Clock::time_point start = Clock::now();
    work();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Runs `sql` prepared on a forward-only statement, as the tool's ExecuteSql does; the row count.
long long Run(const Client& client, const std::string& sql) {
    Statement s(client);
    if (!SQL_SUCCEEDED(s.Run(sql))) throw std::runtime_error(sql + "\n" + standintest::Describe(s.Errors()));
    return s.RowCount();
}

QByteArray Sha256(const fs::path& file) {
    QFile f(QString::fromStdString(file.string()));
    if (!f.open(QIODevice::ReadOnly)) throw std::runtime_error("cannot read " + file.string());
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&f)) throw std::runtime_error("cannot hash " + file.string());
    return hash.result();
}

struct Figures {
    double backup = 0, verify = 0, hash = 0;
    long long rows = 0;
    std::uintmax_t bytes = 0;
};

Figures Measure(int scale, int repetitions) {
    testsupport::StandinProcess::Options options;
    options.scale = scale;
    testsupport::StandinProcess server(options);
    Client client;
    if (!SQL_SUCCEEDED(client.Connect(standintest::ToolConnectionString(server.Port(), kSample))))
        throw std::runtime_error("cannot connect: " + standintest::Describe(client.Errors()));

    Figures f;
    Run(client, "create database " + std::string(tarvex::kTemporaryDatabase));
    for (int p = 1; p <= tarvex::TableCatalogue::kEntryCount; ++p)
        f.rows += Run(client, *tarvex::BuildCopyStatement(p, kSample, "001", "001", "2016"));

    const fs::path dir = server.DataDir().parent_path();
    const fs::path file = dir / "演示账套.bak";
    const std::string backup = tarvex::BuildBackupStatement(dir.string(), file.filename().string());
    const std::string verify = "RESTORE VERIFYONLY FROM DISK = N'" + file.string() + "'";
    std::vector<double> backups, verifies, hashes;
    for (int r = 0; r < repetitions; ++r) {
        backups.push_back(Timed([&] { Run(client, backup); }));
        verifies.push_back(Timed([&] { Run(client, verify); }));
        hashes.push_back(Timed([&] { Sha256(file); }));
    }
    f.backup = Median(backups);
    f.verify = Median(verifies);
    f.hash = Median(hashes);
    f.bytes = fs::file_size(file);
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    const int repetitions = argc > 1 ? std::atoi(argv[1]) : 5;
    if (repetitions < 1) {
        std::fprintf(stderr, "usage: evidence_bench [repetitions]\n");
        return 2;
    }
    try {
        std::setlocale(LC_ALL, "C.UTF-8");  // the narrow ODBC calls carry UTF-8
        testsupport::UsePrivateOdbcConfig();
        std::printf("%-6s %10s %10s %11s %11s %11s %9s %9s %14s\n", "scale", "rows", "bak bytes", "backup (s)",
                    "verify (s)", "hash (s)", "verify/bk", "hash/bk", "(v+h)/backup");
        for (const int scale : {1, 100}) {
            const Figures f = Measure(scale, repetitions);
            std::printf("%-6d %10lld %10ju %11.3f %11.3f %11.3f %9.2f %9.2f %14.2f\n", scale, f.rows, f.bytes, f.backup,
                        f.verify, f.hash, f.verify / f.backup, f.hash / f.backup, (f.verify + f.hash) / f.backup);
        }
        std::printf("medians of %d repetitions; bk = the BACKUP statement's time\n", repetitions);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "evidence_bench: %s\n", e.what());
        return 1;
    }
}
