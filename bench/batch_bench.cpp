// Batch conversion's cost, each figure a ratio measured side by side in one run, on the
// stand-in's township sample:
// - overhead: a batch of ten account sets, its whole time against the time the server spent
//   on its statements (the stand-in's own timing log), on the sample as it is (a few hundred
//   vouchers a set) and with ten times its vouchers, nearer a township's own; and the same wall
//   time against the time the database thread spent in its work, which adds what the server's
//   timing does not count: the driver's and the protocol's own turns. No goal: at loopback what
//   is left above the server's time is mostly this machine's wake-up for each answer, not the
//   tool; roundtrip_bench holds the batch's exchanges against the least a client must do;
// - flatness: the same account set converted ten times in one batch, the 10th conversion's
//   time against the 1st's (the smaller of two batches at each place); goal at most 1.1;
// - memory: the process's peak memory after 20 sets against after the first (the batch that
//   runs first in the process); goal at most 1.05.
//
// usage: batch_bench

#include <algorithm>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "batch.h"
#include "codepage.h"
#include "database.h"
#include "login.h"
#include "peak_memory.h"
#include "standin_process.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

using bench::PeakMemoryKiB;

// The seconds the server spent on the statements of its timing log after the first `skip`.
double ServerSeconds(const fs::path& timingLog, int skip, int* statements = nullptr) {
    std::ifstream log(timingLog);
    long long us = 0;
    std::string rest;
    int n = 0;
    double seconds = 0;
    while (log >> us && std::getline(log, rest))
        if (++n > skip) seconds += static_cast<double>(us) / 1e6;
    if (statements) *statements = n;
    return seconds;
}

// Times each set and reads the peak memory as each ends.
class Meter final : public tarvex::Report {
public:
    void SetBegins(int, int, const tarvex::AccountSetEntry&) override { began_ = Clock::now(); }
    void Log(const std::string&) override {}
    void SetEnded(int, const tarvex::BatchRow&) override {
        seconds.push_back(std::chrono::duration<double>(Clock::now() - began_).count());
        peakKiB.push_back(PeakMemoryKiB());
    }
    bool Cancelled() override { return false; }

    std::vector<double> seconds;
    std::vector<long> peakKiB;

private:
    Clock::time_point began_;
};

struct Bench {
    explicit Bench(int scale = 1) {
        testsupport::UsePrivateOdbcConfig();
        testsupport::StandinProcess::Options options;
        options.sampleName = "township";
        options.scale = scale;
        options.extraArgs = {"--log-timing", timingLog.string()};
        standin = std::make_unique<testsupport::StandinProcess>(options);
        standin->ExportTdsPort();
        fs::create_directories(folder);
        const auto opened = tarvex::OpenConnection(database, {".", "sa", "1", source}, tarvex::LoginPrompt::Never());
        if (!opened || !opened->ok) std::fprintf(stderr, "log-in failed\n");
        const auto sets = database.Run(
            [statement = *tarvex::BuildListStatement(source)](tarvex::ODBCDB& db) { return tarvex::ReadAccountSets(db, statement); });
        if (sets && *sets)
            for (const tarvex::AccountSetEntry& set : **sets)
                if (set.convertible) convertible.push_back(set);
    }
    ~Bench() {
        standin.reset();
        std::error_code ignored;
        fs::remove_all(folder, ignored);
        fs::remove(timingLog, ignored);
    }
    tarvex::BatchOutcome Run(const std::vector<tarvex::AccountSetEntry>& sets, Meter& meter) {
        tarvex::ConversionLedger ledger;
        ledger.SetLogin({".", source, "sa"});
        return tarvex::RunBatch(database, ledger, source, sets, folder.string(), meter);
    }

    const std::string source = tarvex::ProgramText("2016年乡镇数据采集");
    const fs::path timingLog = fs::temp_directory_path() / ("tarvex-batch-timing-" + std::to_string(::getpid()));
    const fs::path folder = fs::temp_directory_path() / ("tarvex-batch-bench-" + std::to_string(::getpid()));
    std::unique_ptr<testsupport::StandinProcess> standin;
    tarvex::Database database;
    std::vector<tarvex::AccountSetEntry> convertible;
};

// A batch of ten sets: its wall time against the server's own on its statements, and against
// the time the database work took (what is left above 1 is the tool's own part).
void Overhead(Bench& b, int scale) {
    const std::vector<tarvex::AccountSetEntry> ten(b.convertible.begin(), b.convertible.begin() + 10);
    int before = 0;
    ServerSeconds(b.timingLog, 0, &before);
    Meter meter;
    const auto workBefore = b.database.WorkTime();
    const auto began = Clock::now();
    const tarvex::BatchOutcome outcome = b.Run(ten, meter);
    const double work = std::chrono::duration<double>(b.database.WorkTime() - workBefore).count();
    const double wall = std::chrono::duration<double>(Clock::now() - began).count();
    int after = 0;
    const double server = ServerSeconds(b.timingLog, before, &after);
    std::printf("overhead:  10 sets at scale %d (exit code %d) in %.3f s against the server's %.3f s on their %d "
                "statements: ratio %.4f;\n"
                "           against the %.3f s the database work took (the driver's, the protocol's and the "
                "server's time): ratio %.4f\n",
                scale, outcome.ExitCode(), wall, server, after - before, wall / server, work, wall / work);
}

}  // namespace

int main() {
    std::setlocale(LC_ALL, "");
    Bench b;
    if (b.convertible.size() < 20) {
        std::fprintf(stderr, "batch_bench: the township sample has %zu convertible account sets, 20 needed\n",
                     b.convertible.size());
        return 1;
    }

    // Memory first, while this process's peak is still that of its first set.
    {
        Meter meter;
        const std::vector<tarvex::AccountSetEntry> twenty(b.convertible.begin(), b.convertible.begin() + 20);
        b.Run(twenty, meter);
        if (meter.peakKiB.size() == 20)
            std::printf("memory:    peak %ld KiB after the 1st set, %ld KiB after the 20th: ratio %.4f "
                        "(goal at most 1.05)\n",
                        meter.peakKiB.front(), meter.peakKiB.back(),
                        static_cast<double>(meter.peakKiB.back()) / static_cast<double>(meter.peakKiB.front()));
    }
    Overhead(b, 1);
    {
        Bench heavier(10);
        Overhead(heavier, 10);
    }

    {
        std::vector<double> first(10, 1e9);
        for (int round = 0; round < 2; ++round) {
            Meter meter;
            b.Run(std::vector<tarvex::AccountSetEntry>(10, b.convertible.front()), meter);
            for (std::size_t i = 0; i < meter.seconds.size() && i < first.size(); ++i)
                first[i] = std::min(first[i], meter.seconds[i]);
        }
        std::printf("flatness:  one set ten times in a batch: the 1st %.3f s, the 10th %.3f s: ratio %.4f "
                    "(goal at most 1.1)\n",
                    first[0], first[9], first[9] / first[0]);
    }

    return 0;
}
