#include "server_facts.h"

#include <iconv.h>
#include <unistd.h>

#include <cctype>
#include <system_error>

namespace standin {

namespace fs = std::filesystem;

namespace {

// An iconv conversion descriptor, closed with the object.
class Iconv {
public:
    Iconv(const std::string& to, const std::string& from) : cd_(iconv_open(to.c_str(), from.c_str())) {}
    ~Iconv() {
        if (Ok()) iconv_close(cd_);
    }
    Iconv(const Iconv&) = delete;
    Iconv& operator=(const Iconv&) = delete;
    bool Ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

    // `text` converted, or nothing when a character has no place in the target charset.
    std::optional<std::string> Convert(std::string_view text) {
        if (!Ok()) return std::nullopt;
        std::string out(text.size() * 4 + 4, '\0');
        char* in = const_cast<char*>(text.data());
        std::size_t inLeft = text.size();
        char* to = out.data();
        std::size_t outLeft = out.size();
        if (iconv(cd_, &in, &inLeft, &to, &outLeft) == static_cast<std::size_t>(-1)) return std::nullopt;
        out.resize(out.size() - outLeft);
        return out;
    }

private:
    iconv_t cd_;
};

std::string WithSlash(std::string path) {
    if (path.empty() || path.back() != '/') path += '/';
    return path;
}

}  // namespace

std::string HostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return "localhost";
    return name;
}

fs::path DefaultDataFolder(const fs::path& dataDir) {
    fs::path dir = fs::absolute(dataDir).lexically_normal();
    if (!dir.has_filename()) dir = dir.parent_path();
    fs::path folder = dir.parent_path() / (dir.filename().native() + "-files");
    fs::create_directories(folder);
    return folder;
}

bool KnownCharset(const std::string& charset) { return Iconv(charset, "UTF-8").Ok(); }

std::optional<std::string> OnMappedDrive(std::string_view written, const Engine::DriveMap& drives) {
    if (written.size() < 3 || written[1] != ':' || (written[2] != '\\' && written[2] != '/')) return std::string(written);
    const auto drive = drives.find(static_cast<char>(std::toupper(static_cast<unsigned char>(written[0]))));
    if (drive == drives.end()) return std::string(written);
    std::optional<std::string> rest(written.substr(3));
    if (!drive->second.charset.empty()) rest = Iconv(drive->second.charset, "UTF-8").Convert(*rest);
    if (!rest) return std::nullopt;
    return WithSlash(drive->second.root.string()) + *rest;
}

// GBK and the like leave "\\", "/", " " and "." as they are, so the path can be read after
// the drive's conversion.
std::optional<fs::path> ServerPath(std::string_view written, const Engine::DriveMap& drives) {
    std::optional<std::string> path = OnMappedDrive(written, drives);
    if (!path) return std::nullopt;
    for (char& c : *path)
        if (c == '\\') c = '/';
    while (!path->empty() && (path->back() == ' ' || path->back() == '.')) path->pop_back();
    return fs::path(*path);
}

std::string ClientPath(const fs::path& path, const Engine::DriveMap& drives) {
    const std::string text = path.string();
    const std::pair<const char, Engine::MappedDrive>* best = nullptr;
    std::size_t bestLength = 0;
    for (const auto& entry : drives) {
        const std::string root = WithSlash(entry.second.root.string());
        if (text.compare(0, root.size(), root) == 0 && (!best || root.size() > bestLength)) {
            best = &entry;
            bestLength = root.size();
        }
    }
    if (!best) return text;
    std::optional<std::string> rest(text.substr(bestLength));
    if (!best->second.charset.empty()) rest = Iconv("UTF-8", best->second.charset).Convert(*rest);
    if (!rest) return text;
    std::string windows = std::string(1, best->first) + ":\\" + *rest;
    for (char& c : windows)
        if (c == '/') c = '\\';
    return windows;
}

}  // namespace standin
