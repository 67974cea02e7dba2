#pragma once
// Paths between the three places they live in: the program's texts (narrow, in the code page of
// the process, as they go into the server's statements and the user's messages), the file
// system, and Qt. On Windows the file system names files in UTF-16; on Linux in bytes, which
// are UTF-8 whatever the locale (as Qt reads them), so that in a GBK locale a folder named
// 审计备份 is not the GBK bytes of its name. Every crossing goes through here.

#include <filesystem>
#include <string>
#include <string_view>

class QString;

namespace tarvex {

// The file system's path of a narrow path.
std::filesystem::path FileSystemPath(std::string_view narrow);
// The narrow path of a file system path; characters the code page cannot hold become '?'.
std::string NarrowPath(const std::filesystem::path& path);
// Qt's path of a narrow path, and back.
QString QtPath(std::string_view narrow);
std::string NarrowPath(const QString& path);

}  // namespace tarvex
