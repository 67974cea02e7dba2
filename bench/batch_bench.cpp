// Batch conversion's cost, each figure a ratio measured side by side in one run, on the
// stand-in's township sample:
// - overhead: a batch of ten account sets, its whole time against the time the server spent
//   on its statements (the stand-in's own timing log); goal at most 1.05. On the sample as it
//   is (a few hundred vouchers a set) and with ten times its vouchers, nearer a township's own;
//   and the same wall time against the time the database thread spent in its work, which adds
//   what the server's timing does not count: the driver's and the protocol's own turns (an
//   exchange with the server for each statement, the batch sending them unprepared and reading
//   the rows of its one query with the answer);
//   and the floor this machine sets that ratio: what a bare exchange over loopback TCP costs
//   beyond the server's time, with the client blocked meanwhile as the driver is, times the
//   batch's statements (a vCPU that has gone idle during a statement takes tens of microseconds
//   to wake up for its answer);
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

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

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
class Meter final : public tarvex::BatchReport {
public:
    void SetBegins(int, int, const tarvex::AccountSetEntry&) override { began_ = Clock::now(); }
    void Log(const std::string&) override {}
    void TableCopied(int, const tarvex::TableCopy&) override {}
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

// The median time a bare request and answer over loopback TCP take beyond `wait`, the time
// the answering thread works before it answers; the asking thread blocks meanwhile.
std::chrono::microseconds ExchangeCost(std::chrono::microseconds wait, int exchanges) {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener, 1);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    std::thread answering([&] {
        const int peer = ::accept(listener, nullptr, nullptr);
        char byte = 0;
        while (::recv(peer, &byte, 1, 0) == 1) {
            for (const auto until = Clock::now() + wait; Clock::now() < until;) {
            }
            ::send(peer, &byte, 1, MSG_NOSIGNAL);
        }
        ::close(peer);
    });
    const int asking = ::socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    ::setsockopt(asking, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::connect(asking, reinterpret_cast<sockaddr*>(&address), sizeof address);
    std::vector<Clock::duration> beyond;
    for (int i = 0; i < exchanges; ++i) {
        char byte = 0;
        const auto began = Clock::now();
        ::send(asking, &byte, 1, MSG_NOSIGNAL);
        pollfd answer{asking, POLLIN, 0};
        ::poll(&answer, 1, -1);
        ::recv(asking, &byte, 1, 0);
        beyond.push_back(Clock::now() - began - wait);
    }
    ::close(asking);
    answering.join();
    ::close(listener);
    std::nth_element(beyond.begin(), beyond.begin() + exchanges / 2, beyond.end());
    return std::chrono::duration_cast<std::chrono::microseconds>(beyond[static_cast<std::size_t>(exchanges / 2)]);
}

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
                "statements: ratio %.4f (goal at most 1.05);\n"
                "           against the %.3f s the database work took (the driver's, the protocol's and the "
                "server's time): ratio %.4f\n",
                scale, outcome.ExitCode(), wall, server, after - before, wall / server, work, wall / work);
    const int statements = after - before;
    const auto wait = std::chrono::microseconds(static_cast<long>(server / statements * 1e6));
    const auto cost = ExchangeCost(wait, 200);
    std::printf("           a bare loopback exchange answered after the %ld us of an average statement costs %ld us "
                "more; %d of them put the floor at ratio %.4f\n",
                static_cast<long>(wait.count()), static_cast<long>(cost.count()), statements,
                1 + statements * static_cast<double>(cost.count()) / 1e6 / server);
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
