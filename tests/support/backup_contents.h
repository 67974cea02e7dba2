#pragma once
// The SQLite database inside one of the stand-in's backup files, for tests that compare what a
// backup holds with its source.

#include <filesystem>

#include "backup_file.h"

namespace testsupport {

class BackupContents {
public:
    // Checks `backup` as RESTORE VERIFYONLY does and copies its database out to a temporary
    // file; throws std::runtime_error when the check fails.
    explicit BackupContents(const std::filesystem::path& backup);
    ~BackupContents();  // removes the copy
    BackupContents(const BackupContents&) = delete;
    BackupContents& operator=(const BackupContents&) = delete;

    // The copy, a plain SQLite database file.
    const std::filesystem::path& File() const { return file_; }
    // What the backup says of itself (database, times, server, files), as RESTORE HEADERONLY
    // and FILELISTONLY report it.
    const standin::BackupHeader& Header() const { return header_; }

private:
    std::filesystem::path file_;
    standin::BackupHeader header_;
};

}  // namespace testsupport
