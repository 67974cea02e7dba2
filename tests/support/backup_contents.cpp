#include "backup_contents.h"

#include <unistd.h>

#include <stdexcept>
#include <string>
#include <system_error>

namespace testsupport {

BackupContents::BackupContents(const std::filesystem::path& backup) {
    std::string name = (std::filesystem::temp_directory_path() / "backup-contents-XXXXXX").native();
    const int fd = ::mkstemp(name.data());
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "mkstemp");
    ::close(fd);
    file_ = name;
    standin::BackupFault fault = standin::VerifyBackupFile(backup, file_);
    if (!fault) fault = standin::ReadBackupHeader(backup, header_);
    if (fault) {
        std::error_code ec;
        std::filesystem::remove(file_, ec);
        throw std::runtime_error(backup.string() + " fails its check (fault " +
                                 std::to_string(static_cast<int>(fault.kind)) + ", error " +
                                 std::to_string(fault.error) + ")");
    }
}

BackupContents::~BackupContents() {
    std::error_code ec;
    std::filesystem::remove(file_, ec);
}

}  // namespace testsupport
