#include "codepage.h"

#include <iconv.h>
#include <langinfo.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <functional>

#include "codepage_characters.h"

namespace tarvex {

using codepage_characters::Upper;
using codepage_characters::Utf16Length;
using codepage_characters::Utf8Length;

namespace {

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

}  // namespace

CodePage CodePage::Process() {
    const char* cs = nl_langinfo(CODESET);
    const std::string name = cs ? cs : "";
    const std::string upper = Upper(name);
    if (name.empty() || upper == "ANSI_X3.4-1968" || upper == "ASCII" || upper == "US-ASCII" || upper == "POSIX")
        return CodePage("UTF-8", Kind::Utf8);
    return Named(name);
}

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

}  // namespace tarvex
