#pragma once
// What the tests read back of the files a conversion leaves: a folder's files by their ending,
// the fields of a summary's or an output's line, whether the stand-in holds the temporary
// database; and a backup damaged on purpose.

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

namespace testsupport {

// The files in `dir` whose names end in `suffix` (".bak", ".bak.txt", ".csv"), sorted.
inline std::vector<std::filesystem::path> FilesEndingIn(const std::filesystem::path& dir, std::string_view suffix) {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        if (const std::string name = entry.path().filename().string(); name.size() > suffix.size() && name.ends_with(suffix))
            files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

// The fields of a line: tab-separated (the command line's output) or CSV (the summary: quoted
// texts with doubled quotes, bare numbers); a CR at its end is not part of the last field.
inline std::vector<std::string> Fields(std::string_view line, char separator) {
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (separator == ',' && c == '"' && quoted && i + 1 < line.size() && line[i + 1] == '"') fields.back() += line[++i];
        else if (separator == ',' && c == '"') quoted = !quoted;
        else if (c == separator && !quoted) fields.emplace_back();
        else if (c != '\r') fields.back() += c;
    }
    return fields;
}

// Whether the stand-in with this data directory holds the program's temporary database.
inline bool TemporaryDatabaseExists(const std::filesystem::path& dataDir) {
    for (const auto& entry : std::filesystem::directory_iterator(dataDir))
        if (entry.path().filename().string().find("tarvex") != std::string::npos) return true;
    return false;
}

// Changes the byte at `offset` of `file` (its bits `mask` flipped), as a disk or a copy might.
inline void AlterByte(const std::filesystem::path& file, std::uintmax_t offset, char mask = 0x01) {
    std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
    f.seekg(static_cast<std::streamoff>(offset));
    const char was = static_cast<char>(f.get());
    f.seekp(static_cast<std::streamoff>(offset));
    f.put(static_cast<char>(was ^ mask));
}

}  // namespace testsupport
