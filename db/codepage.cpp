#include "codepage.h"

#include <cctype>
#include <cstdio>

#include "codepage_characters.h"

namespace tarvex {
namespace codepage_characters {

std::string Upper(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

CodePage::Kind KindOf(std::string_view name) {
    const std::string n = Upper(name);
    if (n == "UTF-8" || n == "UTF8") return CodePage::Kind::Utf8;
    if (n == "GB18030") return CodePage::Kind::Gb18030;
    if (n == "GBK" || n == "CP936" || n == "GB2312" || n == "EUC-CN" || n == "BIG5" || n == "CP950" ||
        n == "BIG5-HKSCS")
        return CodePage::Kind::DoubleByte;
    return CodePage::Kind::SingleByte;
}

bool InRange(unsigned char c, unsigned lo, unsigned hi) { return c >= lo && c <= hi; }

std::size_t Utf8Length(std::string_view t, std::size_t pos) {
    const auto b = [&](std::size_t i) { return static_cast<unsigned char>(t[pos + i]); };
    const std::size_t left = t.size() - pos;
    const unsigned char c = b(0);
    if (c < 0x80) return 1;
    std::size_t need;
    unsigned lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (InRange(c, 0xC2, 0xDF)) need = 2;
    else if (c == 0xE0) need = 3, lo = 0xA0;
    else if (InRange(c, 0xE1, 0xEC) || c == 0xEE || c == 0xEF) need = 3;
    else if (c == 0xED) need = 3, hi = 0x9F;
    else if (c == 0xF0) need = 4, lo = 0x90;
    else if (InRange(c, 0xF1, 0xF3)) need = 4;
    else if (c == 0xF4) need = 4, hi = 0x8F;
    else return 1;
    if (left < need || !InRange(b(1), lo, hi)) return 1;
    for (std::size_t i = 2; i < need; ++i)
        if (!InRange(b(i), 0x80, 0xBF)) return 1;
    return need;
}

std::size_t MultiByteLength(std::string_view t, std::size_t pos, bool gb18030) {
    const auto b = [&](std::size_t i) { return static_cast<unsigned char>(t[pos + i]); };
    const std::size_t left = t.size() - pos;
    if (!InRange(b(0), 0x81, 0xFE) || left < 2) return 1;
    if (gb18030 && InRange(b(1), 0x30, 0x39))
        return left >= 4 && InRange(b(2), 0x81, 0xFE) && InRange(b(3), 0x30, 0x39) ? 4 : 1;
    const unsigned char trail = b(1);
    return (InRange(trail, 0x40, 0x7E) || InRange(trail, 0x80, 0xFE)) ? 2 : 1;
}

std::size_t Utf16Length(std::u16string_view t, std::size_t pos) {
    const char16_t c = t[pos];
    if (c >= 0xD800 && c <= 0xDBFF && pos + 1 < t.size() && t[pos + 1] >= 0xDC00 && t[pos + 1] <= 0xDFFF)
        return 2;
    return 1;
}

}  // namespace codepage_characters

using namespace codepage_characters;

CodePage CodePage::Named(std::string_view name) { return CodePage(std::string(name), KindOf(name)); }

std::size_t CodePage::CharLength(std::string_view text, std::size_t pos) const {
    if (pos >= text.size()) return 0;
    switch (kind_) {
        case Kind::Utf8: return Utf8Length(text, pos);
        case Kind::DoubleByte: return MultiByteLength(text, pos, false);
        case Kind::Gb18030: return MultiByteLength(text, pos, true);
        case Kind::SingleByte: break;
    }
    return 1;
}

std::string CodePage::Unheld(std::string_view utf8) const {
    if (kind_ == Kind::Utf8) return {};
    const CodePage utf8Page = Named("UTF-8");
    std::string unheld;
    for (std::size_t pos = 0; pos < utf8.size();) {
        const std::size_t n = Utf8Length(utf8, pos);
        const std::string_view ch = utf8.substr(pos, n);
        pos += n;
        if (static_cast<unsigned char>(ch[0]) < 0x80 || ToUtf8(FromUtf8(ch)) == ch) continue;
        char32_t code = 0;
        for (const char16_t unit : utf8Page.ToUtf16(ch))
            code = (code >= 0xD800 && code <= 0xDBFF) ? 0x10000 + ((code - 0xD800) << 10) + (unit - 0xDC00) : unit;
        char name[16];
        std::snprintf(name, sizeof name, "U+%04X", static_cast<unsigned>(code));
        if (!unheld.empty()) unheld += ' ';
        unheld += name;
    }
    return unheld;
}

std::string ProgramText(std::string_view utf8) {
    const CodePage cp = CodePage::Process();
    return cp.GetKind() == CodePage::Kind::Utf8 ? std::string(utf8) : cp.FromUtf8(utf8);
}

}  // namespace tarvex
