#include "codepage.h"

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "codepage_characters.h"

namespace tarvex {

using codepage_characters::Upper;
using codepage_characters::Utf16Length;
using codepage_characters::Utf8Length;

CodePage CodePage::Process() {
    // The system's ANSI code page, under the names the other branch uses.
    switch (const UINT acp = GetACP()) {
        case 936: return Named("GBK");
        case 54936: return Named("GB18030");
        case 950: return Named("BIG5");
        case 65001: return Named("UTF-8");
        default: return Named("CP" + std::to_string(acp));
    }
}

// Windows converts with MultiByteToWideChar and WideCharToMultiByte, which treat malformed
// bytes by rules of their own (code page 936 even reads a lone 0x80 as the euro sign). So the
// text is first cut into characters with CharLength, as the iconv branch cuts it: runs of whole
// characters go to Windows in one call; a lone byte above 0x7F of a multibyte code page, and a
// character Windows rejects, become U+FFFD (towards UTF-16) or '?' (towards the code page),
// exactly where the iconv branch puts them.
namespace {

UINT WinCodePage(std::string_view name) {
    const std::string n = Upper(name);
    if (n == "UTF-8" || n == "UTF8") return CP_UTF8;
    if (n == "GBK" || n == "CP936" || n == "GB2312" || n == "EUC-CN") return 936;
    if (n == "GB18030") return 54936;
    if (n == "BIG5" || n == "CP950" || n == "BIG5-HKSCS") return 950;
    if (n == "ISO-8859-1" || n == "LATIN1") return 28591;
    if (n.size() > 2 && n.rfind("CP", 0) == 0 && n.find_first_not_of("0123456789", 2) == std::string::npos)
        return static_cast<UINT>(std::stoul(n.substr(2)));
    return CP_ACP;
}

// UTF-8 and GB18030 hold every character and take no default character or best-fit flag.
bool HoldsEveryCharacter(UINT cp) { return cp == CP_UTF8 || cp == 54936; }

// Appends the UTF-16 of whole characters `bytes`; false, appending nothing, when Windows rejects one.
bool Widen(UINT cp, std::string_view bytes, std::u16string& out) {
    const int size = static_cast<int>(bytes.size());
    const int n = MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, bytes.data(), size, nullptr, 0);
    if (n <= 0) return false;
    const std::size_t at = out.size();
    out.resize(at + static_cast<std::size_t>(n));
    MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, bytes.data(), size, reinterpret_cast<wchar_t*>(out.data() + at), n);
    return true;
}

// Appends whole UTF-16 characters `chars` in code page `cp`; false, appending nothing, when the
// code page cannot hold one of them exactly.
bool Narrow(UINT cp, std::u16string_view chars, std::string& out) {
    const auto* w = reinterpret_cast<const wchar_t*>(chars.data());
    const int size = static_cast<int>(chars.size());
    const bool every = HoldsEveryCharacter(cp);
    const DWORD flags = every ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    BOOL usedDefault = FALSE;
    const int n = WideCharToMultiByte(cp, flags, w, size, nullptr, 0, nullptr, every ? nullptr : &usedDefault);
    if (n <= 0 || usedDefault) return false;
    const std::size_t at = out.size();
    out.resize(at + static_cast<std::size_t>(n));
    WideCharToMultiByte(cp, flags, w, size, out.data() + at, n, nullptr, nullptr);
    return true;
}

// Walks `text` character by character (`length` gives each one's size; `malformed` tells a piece
// that is no character). Runs of characters go to `convert` whole; when it refuses a run, each
// of its characters goes alone, and `replace` stands for what it refuses and for malformed pieces.
template <class Text, class Length, class Malformed, class Convert, class Replace>
void ByCharacters(Text text, Length length, Malformed malformed, Convert convert, Replace replace) {
    const auto run = [&](std::size_t from, std::size_t to) {
        if (from == to || convert(text.substr(from, to - from))) return;
        for (std::size_t pos = from; pos < to;) {
            const std::size_t n = length(pos);
            if (!convert(text.substr(pos, n))) replace();
            pos += n;
        }
    };
    std::size_t start = 0;
    for (std::size_t pos = 0; pos < text.size();) {
        const std::size_t n = length(pos);
        if (malformed(pos, n)) {
            run(start, pos);
            replace();
            start = pos + n;
        }
        pos += n;
    }
    run(start, text.size());
}

// GB18030 where Windows lacks code page 54936 (wine has none): code page 936 for one and two
// bytes, and the four-byte sequences counted out in order. From 81 30 81 30 they stand for
// the characters of the Basic Multilingual Plane that 936 has no two bytes for (from U+0080,
// surrogates aside; the euro sign has A2 E3 there), from 90 30 81 30 for U+10000 onwards.
class Gb18030FourBytes {
public:
    // The one code page 936 stands in for 54936 with, or nullptr when Windows has 54936.
    static const Gb18030FourBytes* WhereMissing() {
        if (IsValidCodePage(54936)) return nullptr;
        static const Gb18030FourBytes table;
        return &table;
    }

    // Appends the character of one four-byte sequence; false when `bytes` is none or it stands
    // for no character.
    bool Decode(std::string_view bytes, std::u16string& out) const {
        const auto b = [&](int i) { return static_cast<unsigned>(static_cast<unsigned char>(bytes[i])); };
        if (bytes.size() != 4 || b(1) < 0x30 || b(1) > 0x39 || b(3) < 0x30 || b(3) > 0x39) return false;
        const unsigned index = (((b(0) - 0x81) * 10 + (b(1) - 0x30)) * 126 + (b(2) - 0x81)) * 10 + (b(3) - 0x30);
        if (index < bmp_.size()) {
            out += bmp_[index];
            return true;
        }
        const unsigned above = index - kSupplementaryStart;  // the character less U+10000
        if (index < kSupplementaryStart || above > 0xFFFFF) return false;
        out += static_cast<char16_t>(0xD800 + (above >> 10));
        out += static_cast<char16_t>(0xDC00 + (above & 0x3FF));
        return true;
    }

    // Appends the four bytes of one character (one or two UTF-16 units); false when it has none.
    bool Encode(std::u16string_view chars, std::string& out) const {
        unsigned index;
        if (chars.size() == 2 && chars[0] >= 0xD800 && chars[0] <= 0xDBFF && chars[1] >= 0xDC00 && chars[1] <= 0xDFFF) {
            index = kSupplementaryStart + (((chars[0] - 0xD800u) << 10) | (chars[1] - 0xDC00u));
        } else if (chars.size() == 1) {
            const auto at = std::lower_bound(bmp_.begin(), bmp_.end(), chars[0]);
            if (at == bmp_.end() || *at != chars[0]) return false;
            index = static_cast<unsigned>(at - bmp_.begin());
        } else {
            return false;
        }
        const char bytes[4] = {static_cast<char>(0x81 + index / 12600), static_cast<char>(0x30 + index / 1260 % 10),
                               static_cast<char>(0x81 + index / 10 % 126), static_cast<char>(0x30 + index % 10)};
        out.append(bytes, 4);
        return true;
    }

private:
    static constexpr unsigned kSupplementaryStart = (0x90 - 0x81) * 12600;  // 90 30 81 30

    Gb18030FourBytes() {
        for (unsigned c = 0x80; c <= 0xFFFF; ++c) {
            if (c >= 0xD800 && c <= 0xDFFF) continue;
            const wchar_t w = static_cast<wchar_t>(c);
            char bytes[4];
            BOOL usedDefault = FALSE;
            const int n = WideCharToMultiByte(936, WC_NO_BEST_FIT_CHARS, &w, 1, bytes, sizeof bytes, nullptr, &usedDefault);
            if ((n != 2 || usedDefault) && c != 0x20AC) bmp_.push_back(static_cast<char16_t>(c));
        }
    }

    std::vector<char16_t> bmp_;  // ascending
};

}  // namespace

// Windows' conversions of one code page: with code page 936 and the four-byte sequences
// where it stands in for 54936.
struct Converter {
    UINT cp;
    const Gb18030FourBytes* fourBytes;

    Converter(const std::string& name, CodePage::Kind kind)
        : fourBytes(kind == CodePage::Kind::Gb18030 ? Gb18030FourBytes::WhereMissing() : nullptr) {
        cp = fourBytes ? 936 : WinCodePage(name);
    }
    bool Widen(std::string_view bytes, std::u16string& out) const {
        return tarvex::Widen(cp, bytes, out) || (fourBytes && fourBytes->Decode(bytes, out));
    }
    bool Narrow(std::u16string_view chars, std::string& out) const {
        return tarvex::Narrow(cp, chars, out) || (fourBytes && fourBytes->Encode(chars, out));
    }
};

std::u16string CodePage::ToUtf16(std::string_view text) const {
    const Converter convert(name_, kind_);
    const bool multibyte = kind_ != Kind::SingleByte;
    std::u16string out;
    ByCharacters(
        text, [&](std::size_t pos) { return CharLength(text, pos); },
        [&](std::size_t pos, std::size_t n) { return multibyte && n == 1 && static_cast<unsigned char>(text[pos]) > 0x7F; },
        [&](std::string_view chars) { return convert.Widen(chars, out); },
        [&] { out += u'\uFFFD'; });
    return out;
}

std::string CodePage::FromUtf16(std::u16string_view text) const {
    const Converter convert(name_, kind_);
    std::string out;
    ByCharacters(
        text, [&](std::size_t pos) { return Utf16Length(text, pos); },
        [&](std::size_t pos, std::size_t n) { return n == 1 && text[pos] >= 0xD800 && text[pos] <= 0xDFFF; },
        [&](std::u16string_view chars) { return convert.Narrow(chars, out); },
        [&] { out += '?'; });
    return out;
}

std::string CodePage::ToUtf8(std::string_view text) const { return Named("UTF-8").FromUtf16(ToUtf16(text)); }

std::string CodePage::FromUtf8(std::string_view text) const {
    const Converter convert(name_, kind_);
    const CodePage utf8 = Named("UTF-8");
    std::string out;
    ByCharacters(
        text, [&](std::size_t pos) { return Utf8Length(text, pos); },
        [&](std::size_t pos, std::size_t n) { return n == 1 && static_cast<unsigned char>(text[pos]) > 0x7F; },
        [&](std::string_view chars) { return convert.Narrow(utf8.ToUtf16(chars), out); }, [&] { out += '?'; });
    return out;
}

}  // namespace tarvex
