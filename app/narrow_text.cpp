#include "narrow_text.h"

#include <QByteArray>

#include "codepage.h"

namespace tarvex {

QString ToQString(std::string_view narrow) {
    return QString::fromUtf8(CodePage::Process().ToUtf8(narrow));
}

QString ToQStringLines(std::string_view narrow) {
    return ToQString(narrow).replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}

std::string ToNarrow(const QString& text) {
    const QByteArray utf8 = text.toUtf8();
    return CodePage::Process().FromUtf8(std::string_view(utf8.constData(), static_cast<std::size_t>(utf8.size())));
}

std::string UnheldCharacters(const QString& text) { return CodePage::Process().Unheld(text.toUtf8().toStdString()); }

}  // namespace tarvex
