#pragma once
// What the stand-in says of itself as a server: a SQL Server 2019 Express (RTM, 15.0.2000.5)
// default instance on this machine with the Chinese_PRC_CI_AS collation. SERVERPROPERTY, the
// backup header and sys.master_files all take their values from here, so that they agree.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "engine.h"

namespace standin {

struct ServerFacts {
    static constexpr int kVersionMajor = 15;
    static constexpr int kVersionMinor = 0;
    static constexpr int kVersionBuild = 2000;
    static constexpr std::string_view kProductVersion = "15.0.2000.5";
    static constexpr std::string_view kProductLevel = "RTM";
    static constexpr std::string_view kEdition = "Express Edition (64-bit)";
    static constexpr int kEngineEdition = 4;  // Express
    static constexpr std::string_view kCollation = "Chinese_PRC_CI_AS";
    static constexpr int kCodePage = 936;
    static constexpr int kLocaleId = 2052;
    static constexpr int kComparisonStyle = 196609;  // ignore case, kana type and width
    static constexpr int kDatabaseVersion = 904;     // the on-disk version of SQL Server 2019's databases
    static constexpr int kCompatibilityLevel = 150;
    static constexpr int kSoftwareVendorId = 4608;
    static constexpr std::int64_t kPageSize = 8192;
    static constexpr std::int64_t kLogFileSize = 8 << 20;  // a new database's log, as model has it
};

// This machine's name, which is also the server's (a default instance).
std::string HostName();

// The folder in which the stand-in's server would keep new databases' files: a folder
// "<data dir>-files" beside the data directory, created if missing.
std::filesystem::path DefaultDataFolder(const std::filesystem::path& dataDir);

// A path of this file system as the server's clients name it: under a mapped drive as that
// drive's Windows path ("Z:\tmp\x\"), with the rest converted from the drive's charset;
// elsewhere as it is.
std::string ClientPath(const std::filesystem::path& path, const Engine::DriveMap& drives);

// `written` on a mapped drive ("Z:\dir\x", "z:/dir/x") with the drive replaced by its
// directory and the rest in the drive's charset; any other path as it is. Nothing when a
// character of the rest has no place in that charset (Windows then finds the name invalid, as
// wine does).
std::optional<std::string> OnMappedDrive(std::string_view written, const Engine::DriveMap& drives);

// A file path as Windows and SQL Server on Linux read it: backslashes are separators, trailing
// blanks and dots are dropped; drive paths mapped as OnMappedDrive does.
std::optional<std::filesystem::path> ServerPath(std::string_view written, const Engine::DriveMap& drives);

// Whether iconv knows the charset.
bool KnownCharset(const std::string& charset);

}  // namespace standin
