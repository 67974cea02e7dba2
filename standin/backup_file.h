#pragma once
// The stand-in's backup files. A file holds one backup set: a header naming the stand-in and
// the database, then a copy of the database in SQLite's own file format (the payload).
//
// Layout, integers little-endian:
//   "mssql-standin backup 1\n"   23 bytes, the magic (the 1 is the layout's version)
//   name length                  2 bytes, then the database's name in UTF-8
//   payload length               8 bytes
//   SHA-256                      32 bytes, of every byte of the file except these 32
//   payload
// Any changed, missing or added byte makes the file fail its check.

#include <filesystem>
#include <string_view>

namespace standin {

// Why a backup file failed its check; Kind::None when it passed.
struct BackupFault {
    enum class Kind {
        None,
        CannotOpen,  // the file cannot be opened: `error` is the errno
        ReadFailed,  // reading failed (`error` the errno), or the file ends early (`error` 0)
        Malformed,   // not one of the stand-in's backup files, or longer than its header says
        Damaged,     // the checksum differs, or the payload is no sound SQLite database
    };
    Kind kind = Kind::None;
    int error = 0;

    explicit operator bool() const { return kind != Kind::None; }
};

// Writes a backup of `database` whose payload is the SQLite file `payload` into `target`
// (created or truncated). Throws std::system_error.
void WriteBackupFile(const std::filesystem::path& target, std::string_view database,
                     const std::filesystem::path& payload);

// Checks the file's layout, length and checksum, copying its payload to `payload` on the way.
// After a fault, `payload` holds no meaningful content. Throws std::system_error when
// `payload` cannot be written.
BackupFault ExtractBackupFile(const std::filesystem::path& file, const std::filesystem::path& payload);

// ExtractBackupFile into `scratch`, then SQLite's quick_check on the payload there.
BackupFault VerifyBackupFile(const std::filesystem::path& file, const std::filesystem::path& scratch);

}  // namespace standin
