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

constexpr std::string_view kMagic = "mssql-standin backup 3\n";
constexpr std::size_t kDigestSize = 32;
constexpr std::size_t kMaxHeaderSize = 1 << 20;
constexpr std::size_t kMaxChunk = 1 << 20;
constexpr std::size_t kMinChunk = 4 << 10;

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

QByteArray Sha256(std::string_view bytes) { return QCryptographicHash::hash(View(bytes), QCryptographicHash::Sha256); }

// The header's fields in the order the layout gives them.
std::string EncodeFields(const BackupHeader& h) {
    std::string out;
    const auto text = [&](std::string_view t) {
        PutLittleEndian(out, t.size(), 2);
        out += t;
    };
    const auto number = [&](std::int64_t n) { PutLittleEndian(out, static_cast<std::uint64_t>(n), 8); };
    for (const std::string* t : {&h.database, &h.serverName, &h.machineName, &h.userName, &h.collation,
                                 &h.familyGuid, &h.bindingGuid, &h.backupSetGuid})
        text(*t);
    for (std::int64_t n : {h.databaseCreated, h.backupStarted, h.backupFinished, std::int64_t{h.versionMajor},
                           std::int64_t{h.versionMinor}, std::int64_t{h.versionBuild},
                           static_cast<std::int64_t>(h.files.size())})
        number(n);
    for (const BackupDatabaseFile& f : h.files) {
        text(f.logicalName);
        text(f.physicalName);
        text(std::string(1, f.type));
        number(static_cast<std::int64_t>(f.size));
    }
    for (std::int64_t n : {std::int64_t{h.backupType}, h.firstLsn, h.lastLsn, h.checkpointLsn, h.databaseBackupLsn,
                           h.differentialBaseLsn})
        number(n);
    text(h.differentialBaseGuid);
    return out;
}

// Reads the fields back; false when they do not fill the header exactly.
class FieldReader {
public:
    explicit FieldReader(std::string_view bytes) : rest_(bytes) {}

    bool Text(std::string& out) {
        std::uint64_t size = 0;
        if (!Raw(2, size) || rest_.size() < size) return false;
        out.assign(rest_.substr(0, size));
        rest_.remove_prefix(size);
        return true;
    }
    template <typename T>
    bool Number(T& out) {
        std::uint64_t n = 0;
        if (!Raw(8, n)) return false;
        out = static_cast<T>(n);
        return true;
    }
    bool AtEnd() const { return rest_.empty(); }

private:
    bool Raw(std::size_t bytes, std::uint64_t& out) {
        if (rest_.size() < bytes) return false;
        out = GetLittleEndian(rest_.substr(0, bytes));
        rest_.remove_prefix(bytes);
        return true;
    }
    std::string_view rest_;
};

bool DecodeFields(std::string_view bytes, BackupHeader& h) {
    FieldReader r(bytes);
    for (std::string* t : {&h.database, &h.serverName, &h.machineName, &h.userName, &h.collation, &h.familyGuid,
                           &h.bindingGuid, &h.backupSetGuid})
        if (!r.Text(*t)) return false;
    std::uint64_t files = 0;
    if (!r.Number(h.databaseCreated) || !r.Number(h.backupStarted) || !r.Number(h.backupFinished) ||
        !r.Number(h.versionMajor) || !r.Number(h.versionMinor) || !r.Number(h.versionBuild) || !r.Number(files) ||
        files > 64) {
        return false;
    }
    h.files.resize(files);
    for (BackupDatabaseFile& f : h.files) {
        std::string type;
        if (!r.Text(f.logicalName) || !r.Text(f.physicalName) || !r.Text(type) || type.size() != 1 ||
            !r.Number(f.size)) {
            return false;
        }
        f.type = type[0];
    }
    if (!r.Number(h.backupType) || !r.Number(h.firstLsn) || !r.Number(h.lastLsn) || !r.Number(h.checkpointLsn) ||
        !r.Number(h.databaseBackupLsn) || !r.Number(h.differentialBaseLsn) || !r.Text(h.differentialBaseGuid)) {
        return false;
    }
    return r.AtEnd();
}

// Reads exactly `size` bytes into `out`; a fault when the file ends early or reading fails.
BackupFault ReadExactly(std::FILE* f, std::size_t size, std::string& out) {
    out.resize(size);
    if (std::fread(out.data(), 1, size, f) == size) return {};
    return {BackupFault::Kind::ReadFailed, std::ferror(f) ? errno : 0};
}

// The front of a file up to the file digest, as read from its start.
struct Front {
    std::string bytes;  // magic, header length, header, header digest, payload length
    std::string digest;
    std::uint64_t payloadSize = 0;
};

BackupFault ReadFront(std::FILE* f, Front& front, BackupHeader& header) {
    std::string part;
    const BackupFault start = ReadExactly(f, kMagic.size(), part);
    if (start.error != 0) return start;
    if (start || part != kMagic) return {BackupFault::Kind::Malformed};  // too short to be one, or not one
    front.bytes = part;
    if (BackupFault fault = ReadExactly(f, 4, part)) return fault;
    front.bytes += part;
    const std::uint64_t headerSize = GetLittleEndian(part);
    if (headerSize > kMaxHeaderSize) return {BackupFault::Kind::Malformed};
    if (BackupFault fault = ReadExactly(f, headerSize, part)) return fault;
    front.bytes += part;
    const std::string fields = part;
    if (BackupFault fault = ReadExactly(f, kDigestSize, part)) return fault;
    if (Sha256(front.bytes) != QByteArray(part.data(), static_cast<qsizetype>(part.size())))
        return {BackupFault::Kind::Damaged};
    if (!DecodeFields(fields, header)) return {BackupFault::Kind::Malformed};
    front.bytes += part;
    if (BackupFault fault = ReadExactly(f, 8, part)) return fault;
    front.bytes += part;
    front.payloadSize = GetLittleEndian(part);
    return ReadExactly(f, kDigestSize, front.digest);
}

// Writes one backup set at the current end of `out`, the file `target`.
void WriteSet(std::FILE* out, const fs::path& target, const BackupHeader& header, const fs::path& payload) {
    const File in = Open(payload, "rb");
    if (!in) throw SystemError("cannot read " + payload.string());
    const long start = std::ftell(out);
    if (start < 0) throw SystemError("cannot write " + target.string());

    const std::uintmax_t payloadSize = fs::file_size(payload);
    const std::string fields = EncodeFields(header);
    std::string front(kMagic);
    PutLittleEndian(front, fields.size(), 4);
    front += fields;
    const QByteArray headerDigest = Sha256(front);
    front.append(headerDigest.constData(), static_cast<std::size_t>(headerDigest.size()));
    PutLittleEndian(front, payloadSize, 8);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(View(front));

    // The set's digest's place stays zero until the payload has gone through the hash.
    const std::string zeros(kDigestSize, '\0');
    const auto write = [&](std::string_view bytes) {
        if (std::fwrite(bytes.data(), 1, bytes.size(), out) != bytes.size())
            throw SystemError("cannot write " + target.string());
    };
    write(front);
    write(zeros);
    std::vector<char> buffer(kMaxChunk);
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
    if (std::fseek(out, start + static_cast<long>(front.size()), SEEK_SET) != 0) throw SystemError("seek");
    write(std::string_view(digest.constData(), static_cast<std::size_t>(digest.size())));
    if (std::fflush(out) != 0) throw SystemError("cannot write " + target.string());
}

// Moves past the payload of the set whose front was just read; false when the file ends within
// it (`end`: the file's length).
bool SkipPayload(std::FILE* f, const Front& front, std::uint64_t end) {
    const long at = std::ftell(f);
    if (at < 0 || static_cast<std::uint64_t>(at) + front.payloadSize > end) return false;
    return std::fseek(f, static_cast<long>(front.payloadSize), SEEK_CUR) == 0;
}

std::uint64_t LengthOf(std::FILE* f) {
    const long at = std::ftell(f);
    std::fseek(f, 0, SEEK_END);
    const long end = std::ftell(f);
    std::fseek(f, at, SEEK_SET);
    return end < 0 ? 0 : static_cast<std::uint64_t>(end);
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

void WriteBackupFile(const fs::path& target, const BackupHeader& header, const fs::path& payload) {
    const File out = Open(target, "wb");
    if (!out) throw SystemError("cannot write " + target.string());
    WriteSet(out.get(), target, header, payload);
}

void AppendBackupSet(const fs::path& target, const BackupHeader& header, const fs::path& payload) {
    const File out = Open(target, "r+b");
    if (!out || std::fseek(out.get(), 0, SEEK_END) != 0) throw SystemError("cannot write " + target.string());
    WriteSet(out.get(), target, header, payload);
}

BackupFault ReadBackupHeader(const fs::path& file, BackupHeader& header) {
    const File in = Open(file, "rb");
    if (!in) return {BackupFault::Kind::CannotOpen, errno};
    Front front;
    return ReadFront(in.get(), front, header);
}

BackupFault ReadBackupHeaders(const fs::path& file, std::vector<BackupHeader>& headers,
                              std::vector<std::uint64_t>* sizes) {
    const File in = Open(file, "rb");
    if (!in) return {BackupFault::Kind::CannotOpen, errno};
    const std::uint64_t end = LengthOf(in.get());
    headers.clear();
    for (long start = 0; static_cast<std::uint64_t>(start) < end || headers.empty(); start = std::ftell(in.get())) {
        Front front;
        BackupHeader header;
        if (BackupFault fault = ReadFront(in.get(), front, header)) return fault;
        headers.push_back(std::move(header));
        // A set whose payload the file cuts short is the last one that can be described.
        const bool whole = SkipPayload(in.get(), front, end);
        if (sizes) sizes->push_back(whole ? std::ftell(in.get()) - start : end - start);
        if (!whole) break;
    }
    return {};
}

BackupFault ExtractBackupFile(const fs::path& file, const fs::path& payload, const CopyProgress& progress,
                              int position) {
    const File in = Open(file, "rb");
    if (!in) return {BackupFault::Kind::CannotOpen, errno};
    const std::uint64_t end = LengthOf(in.get());
    Front front;
    BackupHeader header;
    for (int k = 1; k < position; ++k) {
        if (BackupFault fault = ReadFront(in.get(), front, header)) return fault;
        if (!SkipPayload(in.get(), front, end)) return {BackupFault::Kind::ReadFailed, 0};
    }
    if (BackupFault fault = ReadFront(in.get(), front, header)) return fault;
    const File out = Open(payload, "wb");
    if (!out) throw SystemError("cannot write " + payload.string());

    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(View(front.bytes));
    // Chunks of about a hundredth of the payload, so that progress comes in small steps.
    const std::size_t chunk = std::clamp<std::size_t>(front.payloadSize / 100, kMinChunk, kMaxChunk);
    std::vector<char> buffer(chunk);
    for (std::uint64_t left = front.payloadSize; left > 0;) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(left, buffer.size()));
        const std::size_t n = std::fread(buffer.data(), 1, want, in.get());
        if (n != want) return {BackupFault::Kind::ReadFailed, std::ferror(in.get()) ? errno : 0};
        hash.addData(QByteArrayView(buffer.data(), static_cast<qsizetype>(n)));
        if (std::fwrite(buffer.data(), 1, n, out.get()) != n) throw SystemError("cannot write " + payload.string());
        left -= n;
        if (progress) progress(front.payloadSize - left, front.payloadSize);
    }
    // What follows the set is nothing or the next set.
    std::string next(kMagic.size(), '\0');
    next.resize(std::fread(next.data(), 1, next.size(), in.get()));
    if (!next.empty() && next != kMagic) return {BackupFault::Kind::Malformed};
    if (std::fflush(out.get()) != 0) throw SystemError("cannot write " + payload.string());
    if (hash.result() != QByteArray(front.digest.data(), static_cast<qsizetype>(front.digest.size())))
        return {BackupFault::Kind::Damaged};
    return {};
}

BackupFault VerifyBackupFile(const fs::path& file, const fs::path& scratch, const CopyProgress& progress,
                             int position) {
    if (BackupFault fault = ExtractBackupFile(file, scratch, progress, position)) return fault;
    if (!PassesQuickCheck(scratch)) return {BackupFault::Kind::Damaged};
    return {};
}

}  // namespace standin
