#include "backup_file.h"

#include <QCryptographicHash>
#include <sqlite3.h>

#include <cerrno>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "sql_sqlite.h"

namespace standin {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kMagic = "mssql-standin backup 1\n";
constexpr std::size_t kDigestSize = 32;
constexpr std::size_t kChunk = 1 << 20;

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

File Open(const fs::path& path, const char* mode) { return File(std::fopen(path.c_str(), mode)); }

std::system_error SystemError(const std::string& what) { return {errno, std::generic_category(), what}; }

void PutLittleEndian(std::string& out, std::uint64_t value, int bytes) {
    for (int k = 0; k < bytes; ++k) out += static_cast<char>((value >> (8 * k)) & 0xFF);
}

std::uint64_t GetLittleEndian(std::string_view in) {
    std::uint64_t value = 0;
    for (std::size_t k = in.size(); k-- > 0;) value = (value << 8) | static_cast<unsigned char>(in[k]);
    return value;
}

QByteArrayView View(std::string_view bytes) { return QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())); }

// Reads exactly `size` bytes into `out`; a fault when the file ends early or reading fails.
BackupFault ReadExactly(std::FILE* f, std::size_t size, std::string& out) {
    out.resize(size);
    if (std::fread(out.data(), 1, size, f) == size) return {};
    return {BackupFault::Kind::ReadFailed, std::ferror(f) ? errno : 0};
}

// The header up to the digest, and the digest, as read from the start of a file.
struct Header {
    std::string front;  // magic, name length, name, payload length
    std::string digest;
    std::uint64_t payloadSize = 0;
};

BackupFault ReadHeader(std::FILE* f, Header& h) {
    std::string part;
    const BackupFault start = ReadExactly(f, kMagic.size(), part);
    if (start.error != 0) return start;
    if (start || part != kMagic) return {BackupFault::Kind::Malformed};  // too short to be one, or not one
    h.front = part;
    if (BackupFault fault = ReadExactly(f, 2, part)) return fault;
    h.front += part;
    if (BackupFault fault = ReadExactly(f, GetLittleEndian(part), part)) return fault;
    h.front += part;
    if (BackupFault fault = ReadExactly(f, 8, part)) return fault;
    h.front += part;
    h.payloadSize = GetLittleEndian(part);
    return ReadExactly(f, kDigestSize, h.digest);
}

// SQLite's quick_check on a database file: true when it answers "ok".
bool PassesQuickCheck(const fs::path& file) {
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(file.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
    const Connection db(raw);
    if (rc != SQLITE_OK) return false;
    sqlite3_stmt* rawStatement = nullptr;
    if (sqlite3_prepare_v2(db.get(), "PRAGMA quick_check", -1, &rawStatement, nullptr) != SQLITE_OK) return false;
    const PreparedStatement check(rawStatement);
    if (sqlite3_step(check.get()) != SQLITE_ROW) return false;
    const auto* first = reinterpret_cast<const char*>(sqlite3_column_text(check.get(), 0));
    return first && std::string_view(first) == "ok";
}

}  // namespace

void WriteBackupFile(const fs::path& target, std::string_view database, const fs::path& payload) {
    const File in = Open(payload, "rb");
    if (!in) throw SystemError("cannot read " + payload.string());
    const File out = Open(target, "wb");
    if (!out) throw SystemError("cannot write " + target.string());

    const std::uintmax_t payloadSize = fs::file_size(payload);
    std::string front(kMagic);
    PutLittleEndian(front, database.size(), 2);
    front += database;
    PutLittleEndian(front, payloadSize, 8);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(View(front));

    // The digest's place stays zero until the payload has gone through the hash.
    const std::string zeros(kDigestSize, '\0');
    const auto write = [&](std::string_view bytes) {
        if (std::fwrite(bytes.data(), 1, bytes.size(), out.get()) != bytes.size())
            throw SystemError("cannot write " + target.string());
    };
    write(front);
    write(zeros);
    std::vector<char> buffer(kChunk);
    std::uintmax_t copied = 0;
    while (const std::size_t n = std::fread(buffer.data(), 1, buffer.size(), in.get())) {
        const std::string_view chunk(buffer.data(), n);
        hash.addData(View(chunk));
        write(chunk);
        copied += n;
    }
    if (std::ferror(in.get())) throw SystemError("cannot read " + payload.string());
    if (copied != payloadSize) throw std::system_error(EIO, std::generic_category(), payload.string() + " changed");

    const QByteArray digest = hash.result();
    if (std::fseek(out.get(), static_cast<long>(front.size()), SEEK_SET) != 0) throw SystemError("seek");
    write(std::string_view(digest.constData(), static_cast<std::size_t>(digest.size())));
    if (std::fflush(out.get()) != 0) throw SystemError("cannot write " + target.string());
}

BackupFault ExtractBackupFile(const fs::path& file, const fs::path& payload) {
    const File in = Open(file, "rb");
    if (!in) return {BackupFault::Kind::CannotOpen, errno};
    Header header;
    if (BackupFault fault = ReadHeader(in.get(), header)) return fault;
    const File out = Open(payload, "wb");
    if (!out) throw SystemError("cannot write " + payload.string());

    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(View(header.front));
    std::vector<char> buffer(kChunk);
    for (std::uint64_t left = header.payloadSize; left > 0;) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(left, buffer.size()));
        const std::size_t n = std::fread(buffer.data(), 1, want, in.get());
        if (n != want) return {BackupFault::Kind::ReadFailed, std::ferror(in.get()) ? errno : 0};
        hash.addData(QByteArrayView(buffer.data(), static_cast<qsizetype>(n)));
        if (std::fwrite(buffer.data(), 1, n, out.get()) != n) throw SystemError("cannot write " + payload.string());
        left -= n;
    }
    if (std::fgetc(in.get()) != EOF) return {BackupFault::Kind::Malformed};
    if (std::fflush(out.get()) != 0) throw SystemError("cannot write " + payload.string());
    if (hash.result() != QByteArray(header.digest.data(), static_cast<qsizetype>(header.digest.size())))
        return {BackupFault::Kind::Damaged};
    return {};
}

BackupFault VerifyBackupFile(const fs::path& file, const fs::path& scratch) {
    if (BackupFault fault = ExtractBackupFile(file, scratch)) return fault;
    if (!PassesQuickCheck(scratch)) return {BackupFault::Kind::Damaged};
    return {};
}

}  // namespace standin
