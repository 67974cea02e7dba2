// The check of a folder against `sha256sum` over the same files: a batch converts 100 account
// sets of the township sample into a folder (a backup, a record each, and the summary), then
// `tarvex-convert-cli verify --folder` and `sha256sum` of every file there run in turn, each the
// same number of times, both from the page cache; the figure is the ratio of their medians. The
// check reads every byte once and hashes it as the export does; the goal is at most 1.1.
//
// usage: verify_bench [repetitions] [scale]   (default 7 and 4: the township sample with 4 times
// its voucher rows, backups of a few megabytes)

#include <algorithm>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "standin_process.h"

namespace {

namespace fs = std::filesystem;

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// Seconds a shell command takes; its exit code in `code`.
double Timed(const std::string& command, int& code) {
    const auto start = std::chrono::steady_clock::now();
    code = std::system(command.c_str());
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string Quoted(const fs::path& p) { return "'" + p.string() + "'"; }

// The first `count` convertible sets of the restored sample, as --set arguments.
std::string Sets(const fs::path& listed, int count) {
    std::ifstream in(listed);
    std::string sets;
    int taken = 0;
    for (std::string line; taken < count && std::getline(in, line);) {
        std::vector<std::string> f;
        std::istringstream fields(line);
        for (std::string field; std::getline(fields, field, '\t');) f.push_back(field);
        if (f.size() == 6 && f[5] == "是") sets += " --set " + f[0] + "/" + f[1] + "/" + f[3], ++taken;
    }
    return sets;
}

}  // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    const int repetitions = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
    const int scale = argc > 2 ? std::max(1, std::atoi(argv[2])) : 4;
    testsupport::UsePrivateOdbcConfig();
    testsupport::StandinProcess::Options options;
    options.sampleName = "township";
    options.scale = scale;
    testsupport::StandinProcess standin(options);
    standin.ExportTdsPort();
    ::setenv("TARVEX_PASSWORD", "1", 1);
    const fs::path work = fs::temp_directory_path() / ("tarvex-verify-bench-" + std::to_string(standin.Port()));
    const fs::path folder = work / "backups";
    fs::create_directories(folder);
    const std::string cli = Quoted(CLI_EXE);
    int code = 0;
    Timed(cli + " list > " + Quoted(work / "sets"), code);
    const double converting =
        Timed(cli + " convert --quiet --folder " + Quoted(folder) + Sets(work / "sets", 100) + " > /dev/null", code);
    long long bytes = 0;
    int files = 0, backups = 0;
    for (const fs::directory_entry& e : fs::directory_iterator(folder)) {
        bytes += static_cast<long long>(e.file_size());
        ++files;
        backups += e.path().extension() == ".bak";
    }
    std::printf("converted %d sets in %.1f s (exit %d): %d files, %.1f MB\n", backups, converting, code, files,
                static_cast<double>(bytes) / 1e6);

    const std::string verify = cli + " verify --folder " + Quoted(folder) + " > /dev/null 2>&1";
    const std::string sums = "sha256sum " + Quoted(folder) + "/* > /dev/null";
    Timed(verify, code);  // the page cache filled, for both
    std::printf("verify exit code %d\n", code / 256);
    std::vector<double> ours, theirs;
    for (int i = 0; i < repetitions; ++i) {
        ours.push_back(Timed(verify, code));
        theirs.push_back(Timed(sums, code));
    }
    const double a = Median(ours), b = Median(theirs);
    std::printf("verify   median %.3f s\nsha256sum median %.3f s\nratio verify/sha256sum %.2f (goal <= 1.1)\n", a, b,
                a / b);
    std::error_code ignored;
    fs::remove_all(work, ignored);
    return 0;
}
