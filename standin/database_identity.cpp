#include "database_identity.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <random>
#include <system_error>
#include <vector>

namespace standin {

namespace fs = std::filesystem;

namespace {

// One field a line, "key=value", with backslash, line feed and carriage return escaped.
std::string Escape(std::string_view value) {
    std::string out;
    for (char c : value) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else {
            out += c;
        }
    }
    return out;
}

std::string Unescape(std::string_view value) {
    std::string out;
    for (std::size_t k = 0; k < value.size(); ++k) {
        if (value[k] != '\\' || k + 1 == value.size()) {
            out += value[k];
            continue;
        }
        const char next = value[++k];
        out += next == 'n' ? '\n' : next == 'r' ? '\r' : next;
    }
    return out;
}

}  // namespace

fs::path IdentityFile(const fs::path& databaseFile) { return fs::path(databaseFile.native() + ".identity"); }

std::optional<DatabaseIdentity> LoadIdentity(const fs::path& databaseFile) {
    std::ifstream in(IdentityFile(databaseFile));
    if (!in) return std::nullopt;
    DatabaseIdentity id;
    std::string line;
    bool named = false;
    while (std::getline(in, line)) {
        const std::size_t equals = line.find('=');
        if (equals == std::string::npos) continue;
        const std::string key = line.substr(0, equals);
        const std::string value = Unescape(std::string_view(line).substr(equals + 1));
        if (key == "name") {
            id.name = value;
            named = true;
        } else if (key == "created") {
            id.created = std::strtoll(value.c_str(), nullptr, 10);
        } else if (key == "family") {
            id.familyGuid = value;
        } else if (key == "binding") {
            id.bindingGuid = value;
        } else if (key == "data-name") {
            id.dataName = value;
        } else if (key == "log-name") {
            id.logName = value;
        } else if (key == "data") {
            id.dataFile = value;
        } else if (key == "log") {
            id.logFile = value;
        } else if (key == "owner") {
            id.owner = value;
        } else if (key == "last-lsn") {
            id.lastLsn = std::strtoll(value.c_str(), nullptr, 10);
        } else if (key == "differential-base") {
            id.differentialBaseGuid = value;
        } else if (key == "differential-base-lsn") {
            id.differentialBaseLsn = std::strtoll(value.c_str(), nullptr, 10);
        } else if (key == "state") {
            id.restoring = value == "RESTORING";
        }
    }
    if (!named || id.familyGuid.empty()) return std::nullopt;
    return id;
}

void SaveIdentity(const fs::path& databaseFile, const DatabaseIdentity& id) {
    const fs::path target = IdentityFile(databaseFile);
    const fs::path partial(target.native() + ".partial");
    {
        std::ofstream out(partial, std::ios::trunc);
        out << "name=" << Escape(id.name) << "\ncreated=" << id.created << "\nfamily=" << Escape(id.familyGuid)
            << "\nbinding=" << Escape(id.bindingGuid) << "\ndata-name=" << Escape(id.dataName)
            << "\nlog-name=" << Escape(id.logName) << "\ndata=" << Escape(id.dataFile)
            << "\nlog=" << Escape(id.logFile) << "\nowner=" << Escape(id.owner) << "\nlast-lsn=" << id.lastLsn
            << "\ndifferential-base=" << Escape(id.differentialBaseGuid)
            << "\ndifferential-base-lsn=" << id.differentialBaseLsn
            << "\nstate=" << (id.restoring ? "RESTORING" : "ONLINE") << "\n";
        out.flush();
        if (!out) throw std::system_error(EIO, std::generic_category(), "cannot write " + partial.string());
    }
    fs::rename(partial, target);
}

std::string NewGuid() {
    static thread_local std::mt19937_64 random{std::random_device{}()};
    unsigned char bytes[16];
    for (int k = 0; k < 16; k += 8) {
        const std::uint64_t r = random();
        for (int b = 0; b < 8; ++b) bytes[k + b] = static_cast<unsigned char>(r >> (8 * b));
    }
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);  // version 4
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);  // variant 1
    char text[37];
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                  bytes[0], bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8], bytes[9],
                  bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return text;
}

std::int64_t DateTimeTicks(std::chrono::system_clock::time_point t) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
    return (ms * 3 + 5) / 10;
}

std::int64_t NowTicks() { return DateTimeTicks(std::chrono::system_clock::now()); }

std::int64_t FileChangedTicks(const fs::path& file) {
    std::error_code ec;
    const fs::file_time_type written = fs::last_write_time(file, ec);
    return ec ? NowTicks() : DateTimeTicks(std::chrono::file_clock::to_sys(written));
}

std::string DateTimeText(std::int64_t ticks) {
    const std::time_t seconds = static_cast<std::time_t>(ticks / kDateTimeTicksPerSecond);
    std::tm local{};
    localtime_r(&seconds, &local);
    const int millis = static_cast<int>(((ticks % kDateTimeTicksPerSecond) * 10 + 1) / 3);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, millis);
    return text;
}

}  // namespace standin
