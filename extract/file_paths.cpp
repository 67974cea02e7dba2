#include "file_paths.h"

#include <QString>

#include "codepage.h"

namespace tarvex {

std::filesystem::path FileSystemPath(std::string_view narrow) {
    return std::filesystem::path(CodePage::Process().ToUtf16(narrow));
}

std::string NarrowPath(const std::filesystem::path& path) { return CodePage::Process().FromUtf16(path.u16string()); }

QString QtPath(std::string_view narrow) { return QString::fromStdU16String(CodePage::Process().ToUtf16(narrow)); }

std::string NarrowPath(const QString& path) { return CodePage::Process().FromUtf16(path.toStdU16String()); }

}  // namespace tarvex
