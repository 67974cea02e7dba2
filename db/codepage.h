#pragma once
// The narrow code page of the process: the encoding of every text that crosses ODBC and of
// the texts the actions work on. The window works in Unicode and converts at its edge; this
// module is the only place that knows how the bytes of a code page form characters.

#include <cstddef>
#include <string>
#include <string_view>

namespace tarvex {

class CodePage {
public:
    enum class Kind {
        Utf8,        // UTF-8: sequences of 1 to 4 bytes
        DoubleByte,  // GBK, CP936, GB2312, Big5: a lead byte 0x81..0xFE takes one trail byte
        Gb18030,     // as DoubleByte, plus four-byte sequences lead/digit/lead/digit
        SingleByte,  // everything else: one byte, one character
    };

    // The code page of the current locale (nl_langinfo(CODESET) after setlocale); the plain
    // C or POSIX locale counts as UTF-8. Read afresh on every call; cheap.
    static CodePage Process();
    // A code page by its iconv name ("GBK", "UTF-8", "GB18030", ...).
    static CodePage Named(std::string_view name);

    const std::string& Name() const { return name_; }
    Kind GetKind() const { return kind_; }

    // Number of bytes of the character that starts at byte `pos` of `text`: 0 at or past the
    // end, 1 for a malformed or truncated sequence, never reaching past the end.
    std::size_t CharLength(std::string_view text, std::size_t pos) const;

    // Conversions. Malformed input becomes U+FFFD; characters the code page cannot hold
    // become '?'. Nothing throws and nothing reads past the end of the input.
    std::u16string ToUtf16(std::string_view text) const;
    std::string FromUtf16(std::u16string_view text) const;
    std::string ToUtf8(std::string_view text) const;
    std::string FromUtf8(std::string_view text) const;
    // The characters of a UTF-8 text that this code page cannot hold, each as "U+XXXX", separated
    // by blanks; empty when it holds them all.
    std::string Unheld(std::string_view utf8) const;

private:
    CodePage(std::string name, Kind kind) : name_(std::move(name)), kind_(kind) {}

    std::string name_;
    Kind kind_;
};

// A text of the program itself (UTF-8 in the source: captions, messages, fixed statement
// parts) in the code page of the process, ready to join texts read from the window.
std::string ProgramText(std::string_view utf8);

}  // namespace tarvex
