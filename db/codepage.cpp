#include "codepage.h"

#include <algorithm>
#include <bit>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>

#ifdef _WIN32
#include <windows.h>
#else
#include <iconv.h>
#include <langinfo.h>
#endif

namespace tarvex {
namespace {

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

#ifndef _WIN32
const char* Utf16Name() { return std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE"; }

// Converts `in` with iconv. On a sequence that cannot be converted it appends `replacement`
// (already in the target encoding) and skips `skip(offset)` bytes of the input.
std::string Iconv(const char* to, const char* from, const char* in, std::size_t inLen,
                  std::string_view replacement, const std::function<std::size_t(std::size_t)>& skip) {
    std::string out;
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        // Unknown code page: keep the bytes, which is the best a caller can do with them.
        out.assign(in, inLen);
        return out;
    }
    out.resize(inLen * 4 + 16);
    std::size_t done = 0;
    char* src = const_cast<char*>(in);
    std::size_t srcLeft = inLen;
    while (srcLeft > 0) {
        char* dst = out.data() + done;
        std::size_t dstLeft = out.size() - done;
        const std::size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
        done = out.size() - dstLeft;
        if (r != static_cast<std::size_t>(-1)) break;
        if (errno == E2BIG) {
            out.resize(out.size() * 2);
            continue;
        }
        // EILSEQ or EINVAL: an unconvertible or truncated sequence.
        if (out.size() - done < replacement.size() + 16) out.resize(out.size() * 2 + replacement.size());
        std::memcpy(out.data() + done, replacement.data(), replacement.size());
        done += replacement.size();
        const std::size_t n = std::min(srcLeft, std::max<std::size_t>(1, skip(inLen - srcLeft)));
        src += n;
        srcLeft -= n;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    iconv_close(cd);
    out.resize(done);
    return out;
}
#endif

}  // namespace

CodePage CodePage::Named(std::string_view name) { return CodePage(std::string(name), KindOf(name)); }

CodePage CodePage::Process() {
#ifdef _WIN32
    const UINT acp = GetACP();
    if (acp == 936) return CodePage("CP936", Kind::DoubleByte);
    if (acp == 54936) return CodePage("GB18030", Kind::Gb18030);
    if (acp == 950) return CodePage("CP950", Kind::DoubleByte);
    if (acp == 65001) return CodePage("UTF-8", Kind::Utf8);
    return CodePage("CP" + std::to_string(acp), Kind::SingleByte);
#else
    const char* cs = nl_langinfo(CODESET);
    const std::string name = cs ? cs : "";
    const std::string upper = Upper(name);
    if (name.empty() || upper == "ANSI_X3.4-1968" || upper == "ASCII" || upper == "US-ASCII" || upper == "POSIX")
        return CodePage("UTF-8", Kind::Utf8);
    return Named(name);
#endif
}

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

#ifdef _WIN32
namespace {
UINT WinCodePage(const std::string& name) {
    if (name == "UTF-8") return CP_UTF8;
    if (name.rfind("CP", 0) == 0) return static_cast<UINT>(std::stoul(name.substr(2)));
    if (name == "GB18030") return 54936;
    return CP_ACP;
}
}  // namespace

std::u16string CodePage::ToUtf16(std::string_view text) const {
    if (text.empty()) return {};
    const UINT cp = WinCodePage(name_);
    const int n = MultiByteToWideChar(cp, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::u16string out(static_cast<std::size_t>(n), u'\0');
    MultiByteToWideChar(cp, 0, text.data(), static_cast<int>(text.size()), reinterpret_cast<wchar_t*>(out.data()), n);
    return out;
}

std::string CodePage::FromUtf16(std::u16string_view text) const {
    if (text.empty()) return {};
    const UINT cp = WinCodePage(name_);
    const auto* w = reinterpret_cast<const wchar_t*>(text.data());
    const int n = WideCharToMultiByte(cp, 0, w, static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(cp, 0, w, static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}

std::string CodePage::ToUtf8(std::string_view text) const {
    const std::u16string w = ToUtf16(text);
    return Named("UTF-8").FromUtf16(w);
}

std::string CodePage::FromUtf8(std::string_view text) const { return FromUtf16(Named("UTF-8").ToUtf16(text)); }
#else
std::u16string CodePage::ToUtf16(std::string_view text) const {
    static constexpr char16_t kReplacement = u'\uFFFD';
    const std::string bytes =
        Iconv(Utf16Name(), name_.c_str(), text.data(), text.size(),
              std::string_view(reinterpret_cast<const char*>(&kReplacement), sizeof kReplacement),
              [&](std::size_t at) { return CharLength(text, at); });
    std::u16string out(bytes.size() / 2, u'\0');
    std::memcpy(out.data(), bytes.data(), out.size() * 2);
    return out;
}

std::string CodePage::FromUtf16(std::u16string_view text) const {
    return Iconv(name_.c_str(), Utf16Name(), reinterpret_cast<const char*>(text.data()), text.size() * 2, "?",
                 [&](std::size_t at) { return at % 2 ? 1 : 2 * Utf16Length(text, at / 2); });
}

std::string CodePage::ToUtf8(std::string_view text) const {
    return Iconv("UTF-8", name_.c_str(), text.data(), text.size(), "\xEF\xBF\xBD",
                 [&](std::size_t at) { return CharLength(text, at); });
}

std::string CodePage::FromUtf8(std::string_view text) const {
    return Iconv(name_.c_str(), "UTF-8", text.data(), text.size(), "?",
                 [&](std::size_t at) { return Utf8Length(text, at); });
}
#endif

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
