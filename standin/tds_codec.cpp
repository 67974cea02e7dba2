#include "tds_codec.h"

#include <iconv.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cctype>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <system_error>

namespace standin::tds {
namespace {

// UTF-16LE bytes and UTF-8; malformed input becomes U+FFFD.
std::string Utf16ToUtf8(std::string_view utf16le);
std::string Utf8ToUtf16(std::string_view utf8);

// --- Byte order -----------------------------------------------------------------------------

void PutU8(std::string& out, std::uint8_t v) { out.push_back(static_cast<char>(v)); }
void PutU16(std::string& out, std::uint16_t v) {
    PutU8(out, v & 0xFF);
    PutU8(out, v >> 8);
}
void PutU16BE(std::string& out, std::uint16_t v) {
    PutU8(out, v >> 8);
    PutU8(out, v & 0xFF);
}
void PutU32(std::string& out, std::uint32_t v) {
    PutU16(out, v & 0xFFFF);
    PutU16(out, v >> 16);
}
void PutU64(std::string& out, std::uint64_t v) {
    PutU32(out, v & 0xFFFFFFFF);
    PutU32(out, v >> 32);
}
void SetU16(std::string& out, std::size_t at, std::uint16_t v) {
    out[at] = static_cast<char>(v & 0xFF);
    out[at + 1] = static_cast<char>(v >> 8);
}

// Bounds-checked reading of a request; every overrun is a ProtocolError.
class ByteReader {
public:
    explicit ByteReader(std::string_view bytes) : bytes_(bytes) {}

    std::size_t Remaining() const { return bytes_.size() - pos_; }
    bool AtEnd() const { return pos_ == bytes_.size(); }
    std::uint8_t PeekU8() const {
        Need(1);
        return static_cast<std::uint8_t>(bytes_[pos_]);
    }
    std::uint8_t U8() {
        const std::uint8_t v = PeekU8();
        ++pos_;
        return v;
    }
    std::uint16_t U16() {
        const std::uint16_t lo = U8();
        return static_cast<std::uint16_t>(lo | (U8() << 8));
    }
    std::uint32_t U32() {
        const std::uint32_t lo = U16();
        return lo | (static_cast<std::uint32_t>(U16()) << 16);
    }
    std::uint64_t U64() {
        const std::uint64_t lo = U32();
        return lo | (static_cast<std::uint64_t>(U32()) << 32);
    }
    std::string_view Bytes(std::size_t n) {
        Need(n);
        const std::string_view v = bytes_.substr(pos_, n);
        pos_ += n;
        return v;
    }
    void Skip(std::size_t n) { Bytes(n); }
    // UCS-2 text of n characters.
    std::string Text(std::size_t chars) { return Utf16ToUtf8(Bytes(chars * 2)); }

private:
    void Need(std::size_t n) const {
        if (n > Remaining()) throw ProtocolError("request ends before its data");
    }

    std::string_view bytes_;
    std::size_t pos_ = 0;
};

bool IsClientPacketType(std::uint8_t type) {
    switch (static_cast<PacketType>(type)) {
    case PacketType::SqlBatch:
    case PacketType::Rpc:
    case PacketType::Attention:
    case PacketType::BulkLoad:
    case PacketType::TransactionManager:
    case PacketType::Login7:
    case PacketType::Sspi:
    case PacketType::PreLogin:
        return true;
    case PacketType::Reply:
        return false;
    }
    return false;
}

void SkipAllHeaders(ByteReader& in) {
    const std::uint32_t total = in.U32();
    if (total < 4) throw ProtocolError("ALL_HEADERS shorter than its length field");
    in.Skip(total - 4);
}

// Chinese_PRC_CI_AS: LCID 0x0804, ignore case, kana and width; sort id 0. FreeTDS reads
// varchar under it as GB18030.
constexpr std::array<std::uint8_t, 5> kCollation = {0x04, 0x08, 0xD0, 0x00, 0x00};

void PutCollation(std::string& out) {
    for (std::uint8_t b : kCollation) PutU8(out, b);
}

// B_VARCHAR: a length in characters (one byte), then UCS-2.
void PutBVarChar(std::string& out, std::string_view utf8) {
    std::string utf16 = Utf8ToUtf16(utf8);
    utf16.resize(std::min<std::size_t>(utf16.size(), 255 * 2));
    PutU8(out, static_cast<std::uint8_t>(utf16.size() / 2));
    out += utf16;
}

// US_VARCHAR: a length in characters (two bytes), then UCS-2.
void PutUsVarChar(std::string& out, std::string_view utf8, std::size_t maxChars) {
    std::string utf16 = Utf8ToUtf16(utf8);
    utf16.resize(std::min(utf16.size(), maxChars * 2));
    PutU16(out, static_cast<std::uint16_t>(utf16.size() / 2));
    out += utf16;
}

// --- Column types ---------------------------------------------------------------------------

enum TypeByte : std::uint8_t {
    kText = 0x23,
    kIntN = 0x26,
    kInt1 = 0x30,
    kBit = 0x32,
    kInt2 = 0x34,
    kInt4 = 0x38,
    kNText = 0x63,
    kBitN = 0x68,
    kDecimalN = 0x6A,
    kFltN = 0x6D,
    kDateTimeN = 0x6F,
    kInt8 = 0x7F,
    kGuid = 0x24,
    kVariant = 0x62,
    kBigVarBinary = 0xA5,
    kBigVarChar = 0xA7,
    kBigChar = 0xAF,
    kNVarChar = 0xE7,
    kNChar = 0xEF,
};

// A sql_variant's largest value: 8000 bytes of data, its base type and properties.
constexpr std::uint32_t kMaxVariantSize = 8009;

int IntegerSize(SqlType type) {
    switch (type) {
    case SqlType::TinyInt: return 1;
    case SqlType::SmallInt: return 2;
    case SqlType::BigInt: return 8;
    default: return 4;
    }
}

int DecimalPrecision(const ColumnInfo& c) { return std::clamp(c.precision, 1, 38); }
int DecimalScale(const ColumnInfo& c) { return std::clamp(c.scale, 0, DecimalPrecision(c)); }
int DecimalSize(int precision) {
    if (precision <= 9) return 5;
    if (precision <= 19) return 9;
    if (precision <= 28) return 13;
    return 17;
}

void PutTypeInfo(std::string& out, const ColumnInfo& c) {
    switch (c.type) {
    case SqlType::VarChar:
        PutU8(out, kBigVarChar);
        PutU16(out, static_cast<std::uint16_t>(std::clamp(c.length, 1, 8000)));
        PutCollation(out);
        break;
    case SqlType::NVarChar:
        PutU8(out, kNVarChar);
        PutU16(out, static_cast<std::uint16_t>(2 * std::clamp(c.length, 1, 4000)));
        PutCollation(out);
        break;
    case SqlType::Int:
    case SqlType::BigInt:
    case SqlType::SmallInt:
    case SqlType::TinyInt:
        PutU8(out, kIntN);
        PutU8(out, static_cast<std::uint8_t>(IntegerSize(c.type)));
        break;
    case SqlType::Bit:
        PutU8(out, kBitN);
        PutU8(out, 1);
        break;
    case SqlType::Float:
    case SqlType::Real:
        PutU8(out, kFltN);
        PutU8(out, c.type == SqlType::Float ? 8 : 4);
        break;
    case SqlType::Decimal:
        PutU8(out, kDecimalN);
        PutU8(out, static_cast<std::uint8_t>(DecimalSize(DecimalPrecision(c))));
        PutU8(out, static_cast<std::uint8_t>(DecimalPrecision(c)));
        PutU8(out, static_cast<std::uint8_t>(DecimalScale(c)));
        break;
    case SqlType::DateTime:
        PutU8(out, kDateTimeN);
        PutU8(out, 8);
        break;
    case SqlType::Char:
        PutU8(out, kBigChar);
        PutU16(out, static_cast<std::uint16_t>(std::clamp(c.length, 1, 8000)));
        PutCollation(out);
        break;
    case SqlType::UniqueIdentifier:
        PutU8(out, kGuid);
        PutU8(out, 16);
        break;
    case SqlType::VarBinary:
        PutU8(out, kBigVarBinary);
        PutU16(out, static_cast<std::uint16_t>(std::clamp(c.length, 1, 8000)));
        break;
    case SqlType::Variant:
        PutU8(out, kVariant);
        PutU32(out, kMaxVariantSize);
        break;
    }
}

// The 16 bytes of a uniqueidentifier written "6F9619FF-8B86-D011-B42D-00C04FC964FF": the first
// three groups little-endian, as SQL Server keeps them; nothing for another text.
std::optional<std::string> GuidBytes(std::string_view text) {
    if (text.size() != 36) return std::nullopt;
    std::string hex;
    for (std::size_t k = 0; k < text.size(); ++k) {
        if (k == 8 || k == 13 || k == 18 || k == 23) {
            if (text[k] != '-') return std::nullopt;
        } else if (std::isxdigit(static_cast<unsigned char>(text[k]))) {
            hex += text[k];
        } else {
            return std::nullopt;
        }
    }
    std::string bytes;
    for (std::size_t k = 0; k < 32; k += 2) bytes += static_cast<char>(std::stoi(hex.substr(k, 2), nullptr, 16));
    std::reverse(bytes.begin(), bytes.begin() + 4);
    std::reverse(bytes.begin() + 4, bytes.begin() + 6);
    std::reverse(bytes.begin() + 6, bytes.begin() + 8);
    return bytes;
}

// --- Values ---------------------------------------------------------------------------------

std::optional<std::int64_t> AsInteger(const Value& v) {
    switch (v.kind) {
    case Value::Kind::Integer: return v.integer;
    case Value::Kind::Real:
        if (!std::isfinite(v.real) || std::fabs(v.real) >= 9.2e18) return std::nullopt;
        return static_cast<std::int64_t>(v.real);
    case Value::Kind::Text: {
        std::int64_t n = 0;
        const char* end = v.text.data() + v.text.size();
        const auto [p, ec] = std::from_chars(v.text.data(), end, n);
        if (ec != std::errc() || p != end) return std::nullopt;
        return n;
    }
    case Value::Kind::Null: break;
    }
    return std::nullopt;
}

std::optional<double> AsReal(const Value& v) {
    switch (v.kind) {
    case Value::Kind::Integer: return static_cast<double>(v.integer);
    case Value::Kind::Real: return v.real;
    case Value::Kind::Text: {
        if (v.text.empty()) return std::nullopt;
        char* end = nullptr;
        const double d = std::strtod(v.text.c_str(), &end);
        if (end != v.text.c_str() + v.text.size()) return std::nullopt;
        return d;
    }
    case Value::Kind::Null: break;
    }
    return std::nullopt;
}

std::string AsText(const Value& v) {
    switch (v.kind) {
    case Value::Kind::Integer: return std::to_string(v.integer);
    case Value::Kind::Real: {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%.15g", v.real);
        return buf;
    }
    case Value::Kind::Text: return v.text;
    case Value::Kind::Null: break;
    }
    return {};
}

// A decimal as its unscaled magnitude and sign, rounded half away from zero to `scale` digits.
struct ScaledDecimal {
    unsigned __int128 magnitude = 0;
    bool negative = false;
};

std::optional<ScaledDecimal> ParseDecimal(std::string_view text, int scale) {
    ScaledDecimal d;
    std::size_t i = 0;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) d.negative = text[i++] == '-';
    const auto isDigit = [&](std::size_t k) { return k < text.size() && text[k] >= '0' && text[k] <= '9'; };
    const std::size_t digitsStart = i;
    constexpr unsigned __int128 kLimit = static_cast<unsigned __int128>(1) << 126;
    while (isDigit(i)) {
        if (d.magnitude >= kLimit / 10) return std::nullopt;
        d.magnitude = d.magnitude * 10 + static_cast<unsigned>(text[i++] - '0');
    }
    bool anyDigit = i > digitsStart;
    int fraction = 0;
    bool roundUp = false;
    if (i < text.size() && text[i] == '.') {
        ++i;
        while (isDigit(i)) {
            anyDigit = true;
            if (fraction < scale) {
                d.magnitude = d.magnitude * 10 + static_cast<unsigned>(text[i] - '0');
                ++fraction;
            } else if (fraction == scale) {
                roundUp = text[i] >= '5';
                ++fraction;
            }
            ++i;
        }
    }
    if (!anyDigit || i != text.size()) return std::nullopt;
    for (; fraction < scale; ++fraction) d.magnitude *= 10;
    if (roundUp) ++d.magnitude;
    return d;
}

std::optional<ScaledDecimal> AsDecimal(const Value& v, int precision, int scale) {
    std::optional<ScaledDecimal> d;
    if (v.kind == Value::Kind::Integer) {
        d = ParseDecimal(std::to_string(v.integer), scale);
    } else if (v.kind == Value::Kind::Text) {
        d = ParseDecimal(v.text, scale);
    }
    if (!d && v.kind != Value::Kind::Null) {
        const std::optional<double> real = AsReal(v);
        if (!real || !std::isfinite(*real)) return std::nullopt;
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.*f", scale, *real);
        d = ParseDecimal(buf, scale);
    }
    if (!d) return std::nullopt;
    unsigned __int128 limit = 1;
    for (int k = 0; k < precision; ++k) limit *= 10;
    if (d->magnitude >= limit) return std::nullopt;
    if (d->magnitude == 0) d->negative = false;
    return d;
}

std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

// "YYYY-MM-DD[ hh:mm[:ss[.fffffff]]]" as days since 1900-01-01 and 1/300 seconds.
struct SqlDateTime {
    std::int32_t days = 0;
    std::uint32_t ticks = 0;
};

std::optional<SqlDateTime> ParseDateTime(std::string_view text) {
    std::size_t i = 0;
    const auto number = [&](std::size_t digits) -> std::optional<unsigned> {
        unsigned n = 0;
        for (std::size_t k = 0; k < digits; ++k, ++i) {
            if (i >= text.size() || text[i] < '0' || text[i] > '9') return std::nullopt;
            n = n * 10 + static_cast<unsigned>(text[i] - '0');
        }
        return n;
    };
    const auto literal = [&](char c) {
        if (i < text.size() && text[i] == c) {
            ++i;
            return true;
        }
        return false;
    };
    const auto year = number(4);
    if (!year || !literal('-')) return std::nullopt;
    const auto month = number(2);
    if (!month || !literal('-')) return std::nullopt;
    const auto day = number(2);
    if (!day || *month < 1 || *month > 12 || *day < 1 || *day > 31) return std::nullopt;
    unsigned hour = 0, minute = 0, second = 0;
    double fraction = 0;
    if (literal(' ') || literal('T')) {
        const auto h = number(2);
        if (!h || !literal(':')) return std::nullopt;
        const auto m = number(2);
        if (!m) return std::nullopt;
        hour = *h;
        minute = *m;
        if (literal(':')) {
            const auto s = number(2);
            if (!s) return std::nullopt;
            second = *s;
            if (literal('.')) {
                double scale = 0.1;
                const std::size_t start = i;
                while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
                    fraction += (text[i++] - '0') * scale;
                    scale /= 10;
                }
                if (i == start) return std::nullopt;
            }
        }
        if (hour > 23 || minute > 59 || second > 59) return std::nullopt;
    }
    if (i != text.size() || *year < 1753) return std::nullopt;
    std::int64_t days = DaysFromCivil(*year, *month, *day) - DaysFromCivil(1900, 1, 1);
    std::int64_t ticks = std::llround((hour * 3600.0 + minute * 60.0 + second + fraction) * 300.0);
    if (ticks >= 300LL * 86400) {
        ticks -= 300LL * 86400;
        ++days;
    }
    return SqlDateTime{static_cast<std::int32_t>(days), static_cast<std::uint32_t>(ticks)};
}

}  // namespace

// --- Text -----------------------------------------------------------------------------------

namespace {

std::string Utf16ToUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    const auto unit = [&](std::size_t k) {
        return static_cast<char32_t>(static_cast<std::uint8_t>(bytes[k]) |
                                     (static_cast<std::uint8_t>(bytes[k + 1]) << 8));
    };
    const std::size_t n = bytes.size() / 2 * 2;
    for (std::size_t k = 0; k < n; k += 2) {
        char32_t c = unit(k);
        if (c >= 0xD800 && c <= 0xDBFF && k + 2 < n && unit(k + 2) >= 0xDC00 && unit(k + 2) <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (unit(k + 2) - 0xDC00);
            k += 2;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

std::string Utf8ToUtf16(std::string_view text) {
    std::string out;
    out.reserve(text.size() * 2);
    const auto put = [&](char32_t u) {
        PutU16(out, static_cast<std::uint16_t>(u));
    };
    std::size_t i = 0;
    while (i < text.size()) {
        const auto b = static_cast<std::uint8_t>(text[i]);
        std::size_t len = b < 0x80 ? 1 : (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xE ? 3 : (b >> 3) == 0x1E ? 4 : 0;
        char32_t c = len == 1 ? b : len == 2 ? (b & 0x1F) : len == 3 ? (b & 0x0F) : (b & 0x07);
        bool ok = len != 0 && i + len <= text.size();
        for (std::size_t k = 1; ok && k < len; ++k) {
            const auto t = static_cast<std::uint8_t>(text[i + k]);
            ok = (t & 0xC0) == 0x80;
            c = (c << 6) | (t & 0x3F);
        }
        static constexpr char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
        if (!ok || c < kMin[len] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            put(0xFFFD);
            ++i;
            continue;
        }
        i += len;
        if (c >= 0x10000) {
            put(0xD800 + ((c - 0x10000) >> 10));
            put(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            put(c);
        }
    }
    return out;
}

}  // namespace

CodeConverter::CodeConverter(const char* to, const char* from) : cd_(iconv_open(to, from)) {
    if (cd_ == reinterpret_cast<void*>(static_cast<std::intptr_t>(-1)))
        throw std::system_error(errno, std::generic_category(), std::string("iconv_open ") + from + " to " + to);
}

CodeConverter::~CodeConverter() { iconv_close(static_cast<iconv_t>(cd_)); }

std::string CodeConverter::Convert(std::string_view text) {
    const auto cd = static_cast<iconv_t>(cd_);
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    std::string out(text.size() + 16, '\0');
    char* in = const_cast<char*>(text.data());
    std::size_t inLeft = text.size();
    std::size_t done = 0;
    while (inLeft > 0) {
        char* dst = out.data() + done;
        std::size_t outLeft = out.size() - done;
        const std::size_t rc = iconv(cd, &in, &inLeft, &dst, &outLeft);
        done = out.size() - outLeft;
        if (rc != static_cast<std::size_t>(-1)) break;
        if (errno == E2BIG) {
            out.resize(out.size() * 2);
        } else {  // EILSEQ, EINVAL: a malformed or truncated sequence
            if (outLeft == 0) out.resize(out.size() * 2);
            out[done++] = '?';
            ++in;
            --inLeft;
        }
    }
    out.resize(done);
    return out;
}

// --- Framing --------------------------------------------------------------------------------

void MessageReader::Feed(std::string_view bytes) {
    pending_.append(bytes);
    std::size_t pos = 0;
    while (pending_.size() - pos >= kHeaderSize) {
        const auto* h = reinterpret_cast<const std::uint8_t*>(pending_.data() + pos);
        const std::uint8_t type = h[0];
        const bool last = (h[1] & 0x01) != 0;
        const std::size_t length = (static_cast<std::size_t>(h[2]) << 8) | h[3];
        if (!IsClientPacketType(type)) throw ProtocolError("unknown packet type " + std::to_string(type));
        if (length < kHeaderSize || length > kMaxPacketSize)
            throw ProtocolError("packet length " + std::to_string(length) + " out of range");
        if (partialType_ && *partialType_ != static_cast<PacketType>(type))
            throw ProtocolError("packet type changes within a message");
        if (partial_.size() + (length - kHeaderSize) > maxMessageSize_) throw ProtocolError("message too large");
        if (pending_.size() - pos < length) break;
        partial_.append(pending_, pos + kHeaderSize, length - kHeaderSize);
        partialType_ = static_cast<PacketType>(type);
        pos += length;
        if (last) {
            ready_.push_back(Request{*partialType_, std::move(partial_)});
            partial_.clear();
            partialType_.reset();
        }
    }
    pending_.erase(0, pos);
}

std::optional<Request> MessageReader::Next() {
    if (ready_.empty()) return std::nullopt;
    Request r = std::move(ready_.front());
    ready_.pop_front();
    return r;
}

// --- Requests -------------------------------------------------------------------------------

void CheckPreLogin(std::string_view payload) {
    ByteReader in(payload);
    for (;;) {
        const std::uint8_t token = in.U8();
        if (token == 0xFF) return;
        const std::size_t offset = (static_cast<std::size_t>(in.U8()) << 8) | in.U8();
        const std::size_t length = (static_cast<std::size_t>(in.U8()) << 8) | in.U8();
        if (offset + length > payload.size()) throw ProtocolError("PRELOGIN option outside the message");
    }
}

Login7 ParseLogin7(std::string_view payload) {
    constexpr std::size_t kFixedPart = 94;
    ByteReader in(payload);
    const std::uint32_t length = in.U32();
    if (length > payload.size() || length < kFixedPart) throw ProtocolError("LOGIN7 length out of range");
    Login7 login;
    login.tdsVersion = in.U32();
    if (login.tdsVersion < 0x72090002) throw ProtocolError("TDS versions before 7.2 are not served");
    login.packetSize = in.U32();
    in.Skip(13);  // client program version, process id, connection id, OptionFlags1
    login.integrated = (in.U8() & 0x80) != 0;  // OptionFlags2: fIntSecurity
    in.Skip(10);  // TypeFlags, OptionFlags3, time zone, LCID

    const std::string_view record = payload.substr(0, length);
    const auto field = [&](std::string* out) {
        const std::size_t offset = in.U16();
        const std::size_t chars = in.U16();
        if (offset + 2 * chars > record.size()) throw ProtocolError("LOGIN7 field outside the record");
        if (out) *out = Utf16ToUtf8(record.substr(offset, 2 * chars));
    };
    field(&login.hostName);
    field(&login.userName);
    std::string password;
    {
        const std::size_t offset = in.U16();
        const std::size_t chars = in.U16();
        if (offset + 2 * chars > record.size()) throw ProtocolError("LOGIN7 field outside the record");
        password.assign(record.substr(offset, 2 * chars));
        for (char& c : password) {
            const auto x = static_cast<std::uint8_t>(static_cast<std::uint8_t>(c) ^ 0xA5);
            c = static_cast<char>(static_cast<std::uint8_t>((x << 4) | (x >> 4)));
        }
        login.password = Utf16ToUtf8(password);
    }
    field(&login.appName);
    field(&login.serverName);
    in.Skip(4);  // extension: offset and length in bytes, not read
    field(&login.libraryName);
    field(&login.language);
    field(&login.database);
    in.Skip(6);  // ClientID
    const std::size_t sspiOffset = in.U16();
    std::size_t sspiLength = in.U16();
    in.Skip(8);  // the file to attach, the new password
    if (const std::uint32_t longLength = in.U32(); sspiLength == 0xFFFF) sspiLength = longLength;
    if (sspiOffset + sspiLength > record.size()) throw ProtocolError("LOGIN7 SSPI data outside the record");
    if (login.integrated) login.sspi.assign(record.substr(sspiOffset, sspiLength));
    return login;
}

std::string ParseSqlBatch(std::string_view payload) {
    ByteReader in(payload);
    SkipAllHeaders(in);
    if (in.Remaining() % 2 != 0) throw ProtocolError("SQL batch text of odd length");
    return Utf16ToUtf8(in.Bytes(in.Remaining()));
}

namespace {

std::string ReadPlp(ByteReader& in, bool* isNull) {
    const std::uint64_t total = in.U64();
    *isNull = total == ~std::uint64_t{0};
    std::string data;
    if (*isNull) return data;
    for (;;) {
        const std::uint32_t chunk = in.U32();
        if (chunk == 0) break;
        data += in.Bytes(chunk);
    }
    return data;
}

RpcParam ReadParam(ByteReader& in, std::optional<CodeConverter>& fromGb18030) {
    RpcParam p;
    p.name = in.Text(in.U8());
    p.output = (in.U8() & 0x01) != 0;
    const std::uint8_t type = in.U8();
    // Little-endian; tinyint (one byte) is unsigned, the others signed.
    const auto integer = [&](std::size_t size) {
        std::uint64_t v = 0;
        for (std::size_t k = 0; k < size; ++k) v |= static_cast<std::uint64_t>(in.U8()) << (8 * k);
        if ((size == 2 || size == 4) && (v >> (8 * size - 1)) != 0) v |= ~std::uint64_t{0} << (8 * size);
        p.integer = static_cast<std::int64_t>(v);
        p.isNull = false;
    };
    const auto decodeText = [&](std::string_view bytes, bool wide) {
        if (wide) {
            if (bytes.size() % 2 != 0) throw ProtocolError("UCS-2 parameter of odd length");
            p.text = Utf16ToUtf8(bytes);
        } else {
            if (!fromGb18030) fromGb18030.emplace("UTF-8", "GB18030");
            p.text = fromGb18030->Convert(bytes);
        }
        p.isNull = false;
    };
    switch (type) {
    case kInt1:
    case kBit: integer(1); break;
    case kInt2: integer(2); break;
    case kInt4: integer(4); break;
    case kInt8: integer(8); break;
    case kIntN:
    case kBitN: {
        const std::uint8_t max = in.U8();
        const std::uint8_t len = in.U8();
        if (len != 0 && len != 1 && len != 2 && len != 4 && len != 8) throw ProtocolError("bad integer length");
        if (len > max) throw ProtocolError("integer longer than its type");
        if (len != 0) integer(len);
        break;
    }
    case kNText:
    case kText: {
        in.U32();      // maximum length
        in.Skip(5);    // collation
        const std::uint32_t len = in.U32();
        if (len != 0xFFFFFFFF) decodeText(in.Bytes(len), type == kNText);
        break;
    }
    case kNVarChar:
    case kNChar:
    case kBigVarChar:
    case kBigChar: {
        const std::uint16_t max = in.U16();
        in.Skip(5);  // collation
        const bool wide = type == kNVarChar || type == kNChar;
        if (max == 0xFFFF) {
            bool isNull = false;
            const std::string data = ReadPlp(in, &isNull);
            if (!isNull) decodeText(data, wide);
        } else {
            const std::uint16_t len = in.U16();
            if (len != 0xFFFF) {
                if (len > max) throw ProtocolError("parameter longer than its type");
                decodeText(in.Bytes(len), wide);
            }
        }
        break;
    }
    default:
        throw ProtocolError("parameter type " + std::to_string(type) + " is not served");
    }
    return p;
}

}  // namespace

std::vector<RpcCall> ParseRpc(std::string_view payload) {
    ByteReader in(payload);
    SkipAllHeaders(in);
    std::optional<CodeConverter> fromGb18030;  // made for the first single-byte text parameter
    std::vector<RpcCall> calls;
    do {
        RpcCall call;
        const std::uint16_t nameLength = in.U16();
        if (nameLength == 0xFFFF) {
            call.procId = in.U16();
        } else {
            call.procName = in.Text(nameLength);
        }
        in.Skip(2);  // option flags
        while (!in.AtEnd() && in.PeekU8() != 0xFF && in.PeekU8() != 0xFE)
            call.params.push_back(ReadParam(in, fromGb18030));
        calls.push_back(std::move(call));
        if (!in.AtEnd()) {
            in.U8();  // batch separator
            if (in.AtEnd()) throw ProtocolError("RPC batch separator at the end");
        }
    } while (!in.AtEnd());
    return calls;
}

// --- Replies --------------------------------------------------------------------------------

std::string PreLoginReply() {
    std::string out;
    const auto option = [&](std::uint8_t token, std::uint16_t offset, std::uint16_t length) {
        PutU8(out, token);
        PutU16BE(out, offset);
        PutU16BE(out, length);
    };
    option(0, 26, 6);  // VERSION
    option(1, 32, 1);  // ENCRYPTION
    option(2, 33, 1);  // INSTOPT
    option(3, 34, 0);  // THREADID
    option(4, 34, 1);  // MARS
    PutU8(out, 0xFF);
    out += std::string("\x0D\x00\x13\xA2\x00\x00", 6);  // 13.0.5026.0
    PutU8(out, 0x02);  // encryption not supported
    PutU8(out, 0x00);  // no instance
    PutU8(out, 0x00);  // no MARS
    return out;
}

ReplyWriter::ReplyWriter(Output output, std::string serverName)
    : output_(std::move(output)), serverName_(std::move(serverName)), toGb18030_("GB18030", "UTF-8") {}

void ReplyWriter::Emit(bool last, bool partial) {
    const std::size_t payloadMax = packetSize_ - kHeaderSize;
    std::string packets;
    std::size_t pos = 0;
    const auto more = [&] {
        if (pos == buffer_.size()) return last && packets.empty();  // an empty last packet ends an empty message
        return buffer_.size() - pos > payloadMax || last || partial;
    };
    while (more()) {
        const std::size_t n = std::min(payloadMax, buffer_.size() - pos);
        const bool eom = last && pos + n == buffer_.size();
        PutU8(packets, static_cast<std::uint8_t>(PacketType::Reply));
        PutU8(packets, eom ? 0x01 : 0x00);
        PutU16BE(packets, static_cast<std::uint16_t>(n + kHeaderSize));
        PutU16BE(packets, spid_);
        PutU8(packets, packetId_++);
        PutU8(packets, 0);
        packets.append(buffer_, pos, n);
        pos += n;
    }
    buffer_.erase(0, pos);
    if (last) packetId_ = 1;
    if (!packets.empty()) output_(packets);
}

void ReplyWriter::Begin() {
    if (heldDone_) PutDone(true);
    if (buffer_.size() > packetSize_ - kHeaderSize) Emit(false);
}

void ReplyWriter::PutDone(bool more) {
    const HeldDone d = *heldDone_;
    heldDone_.reset();
    PutU8(buffer_, static_cast<std::uint8_t>(d.token));
    std::uint16_t status = d.status;
    if (more) status |= kDoneMore;
    if (d.rowCount >= 0) status |= kDoneCount;
    PutU16(buffer_, status);
    PutU16(buffer_, d.curCmd);
    PutU64(buffer_, d.rowCount >= 0 ? static_cast<std::uint64_t>(d.rowCount) : 0);
}

void ReplyWriter::Done(DoneToken token, std::uint16_t status, std::uint16_t curCmd, std::int64_t rowCount) {
    Begin();
    heldDone_ = HeldDone{token, status, curCmd, rowCount};
}

void ReplyWriter::End() {
    if (heldDone_) PutDone(false);
    Emit(true);
}

void ReplyWriter::Flush() { Emit(false, true); }

void ReplyWriter::Continue() {
    if (!heldDone_) return;
    PutDone(true);
    Emit(false, true);
}

void ReplyWriter::Raw(std::string_view payload) {
    Begin();
    buffer_ += payload;
}

void ReplyWriter::Sspi(std::string_view token) {
    if (token.size() > 0xFFFF) throw ProtocolError("SSPI token too long");
    Begin();
    PutU8(buffer_, 0xED);
    PutU16(buffer_, static_cast<std::uint16_t>(token.size()));
    buffer_ += token;
}

void ReplyWriter::LoginAck(std::uint32_t tdsVersion) {
    Begin();
    static constexpr std::string_view kProgram = "Microsoft SQL Server";
    PutU8(buffer_, 0xAD);
    PutU16(buffer_, static_cast<std::uint16_t>(10 + 2 * kProgram.size()));
    PutU8(buffer_, 1);  // SQL_TSQL
    for (int shift = 24; shift >= 0; shift -= 8) PutU8(buffer_, static_cast<std::uint8_t>(tdsVersion >> shift));
    PutBVarChar(buffer_, kProgram);
    buffer_ += std::string("\x0D\x00\x13\xA2", 4);  // 13.0.5026
}

void ReplyWriter::EnvChange(tds::EnvChange type, std::string_view newValue, std::string_view oldValue) {
    Begin();
    PutU8(buffer_, 0xE3);
    const std::size_t lengthAt = buffer_.size();
    PutU16(buffer_, 0);
    PutU8(buffer_, static_cast<std::uint8_t>(type));
    PutBVarChar(buffer_, newValue);
    PutBVarChar(buffer_, oldValue);
    SetU16(buffer_, lengthAt, static_cast<std::uint16_t>(buffer_.size() - lengthAt - 2));
}

void ReplyWriter::CollationChange() {
    Begin();
    PutU8(buffer_, 0xE3);
    PutU16(buffer_, static_cast<std::uint16_t>(1 + 1 + kCollation.size() + 1));
    PutU8(buffer_, 7);  // SQL collation
    PutU8(buffer_, static_cast<std::uint8_t>(kCollation.size()));
    PutCollation(buffer_);
    PutU8(buffer_, 0);
}

void ReplyWriter::Message(const standin::Message& message) {
    Begin();
    PutU8(buffer_, message.IsError() ? 0xAA : 0xAB);
    const std::size_t lengthAt = buffer_.size();
    PutU16(buffer_, 0);
    PutU32(buffer_, static_cast<std::uint32_t>(message.number));
    PutU8(buffer_, static_cast<std::uint8_t>(message.state));
    PutU8(buffer_, static_cast<std::uint8_t>(message.severity));
    PutUsVarChar(buffer_, message.text, 16000);
    PutBVarChar(buffer_, serverName_);
    PutBVarChar(buffer_, "");
    PutU32(buffer_, static_cast<std::uint32_t>(message.line));
    SetU16(buffer_, lengthAt, static_cast<std::uint16_t>(buffer_.size() - lengthAt - 2));
}

void ReplyWriter::ColMetadata(const std::vector<ColumnInfo>& columns) {
    Begin();
    columns_ = columns;
    PutU8(buffer_, 0x81);
    PutU16(buffer_, static_cast<std::uint16_t>(columns.size()));
    for (const ColumnInfo& c : columns) {
        PutU32(buffer_, 0);                           // user type
        PutU16(buffer_, c.nullable ? 0x0009 : 0x0008);  // nullable; updatability unknown
        PutTypeInfo(buffer_, c);
        PutBVarChar(buffer_, c.name);
    }
}

void ReplyWriter::NoMetaData(const std::vector<ColumnInfo>& columns) {
    Begin();
    columns_ = columns;
    PutU8(buffer_, 0x81);
    PutU16(buffer_, 0xFFFF);
}

void ReplyWriter::Row(const std::vector<Value>& row) {
    Begin();
    PutU8(buffer_, 0xD1);
    for (std::size_t k = 0; k < columns_.size(); ++k) PutValue(columns_[k], k < row.size() ? row[k] : Value::Null());
}

void ReplyWriter::PutValue(const ColumnInfo& c, const Value& v) {
    switch (c.type) {
    case SqlType::VarChar:
    case SqlType::NVarChar: {
        if (v.kind == Value::Kind::Null) {
            PutU16(buffer_, 0xFFFF);
            return;
        }
        std::string bytes = c.type == SqlType::VarChar ? toGb18030_.Convert(AsText(v)) : Utf8ToUtf16(AsText(v));
        bytes.resize(std::min<std::size_t>(bytes.size(), 8000));
        PutU16(buffer_, static_cast<std::uint16_t>(bytes.size()));
        buffer_ += bytes;
        return;
    }
    case SqlType::Bit: {
        const std::optional<std::int64_t> n = AsInteger(v);
        PutU8(buffer_, n ? 1 : 0);
        if (n) PutU8(buffer_, *n != 0);
        return;
    }
    case SqlType::Int:
    case SqlType::BigInt:
    case SqlType::SmallInt:
    case SqlType::TinyInt: {
        const int size = IntegerSize(c.type);
        const std::optional<std::int64_t> n = AsInteger(v);
        const std::int64_t half = size == 8 ? 0 : std::int64_t{1} << (8 * size - 1);
        const bool fits = n && (size == 8 || (size == 1 ? *n >= 0 && *n <= 255 : *n >= -half && *n < half));
        if (!fits) {
            PutU8(buffer_, 0);
            return;
        }
        PutU8(buffer_, static_cast<std::uint8_t>(size));
        for (int b = 0; b < size; ++b) PutU8(buffer_, static_cast<std::uint8_t>(static_cast<std::uint64_t>(*n) >> (8 * b)));
        return;
    }
    case SqlType::Float: {
        const std::optional<double> d = AsReal(v);
        PutU8(buffer_, d ? 8 : 0);
        if (d) PutU64(buffer_, std::bit_cast<std::uint64_t>(*d));
        return;
    }
    case SqlType::Real: {
        const std::optional<double> d = AsReal(v);
        PutU8(buffer_, d ? 4 : 0);
        if (d) PutU32(buffer_, std::bit_cast<std::uint32_t>(static_cast<float>(*d)));
        return;
    }
    case SqlType::Decimal: {
        const int precision = DecimalPrecision(c);
        const std::optional<ScaledDecimal> d = AsDecimal(v, precision, DecimalScale(c));
        const int size = DecimalSize(precision);
        PutU8(buffer_, d ? static_cast<std::uint8_t>(size) : 0);
        if (!d) return;
        PutU8(buffer_, d->negative ? 0 : 1);
        for (int b = 0; b < size - 1; ++b) PutU8(buffer_, static_cast<std::uint8_t>(d->magnitude >> (8 * b)));
        return;
    }
    case SqlType::DateTime: {
        const std::optional<SqlDateTime> dt = v.kind == Value::Kind::Text ? ParseDateTime(v.text) : std::nullopt;
        PutU8(buffer_, dt ? 8 : 0);
        if (!dt) return;
        PutU32(buffer_, static_cast<std::uint32_t>(dt->days));
        PutU32(buffer_, dt->ticks);
        return;
    }
    case SqlType::Char: {
        if (v.kind == Value::Kind::Null) {
            PutU16(buffer_, 0xFFFF);
            return;
        }
        std::string bytes = toGb18030_.Convert(AsText(v));
        bytes.resize(static_cast<std::size_t>(std::clamp(c.length, 1, 8000)), ' ');  // char(n) is blank-padded
        PutU16(buffer_, static_cast<std::uint16_t>(bytes.size()));
        buffer_ += bytes;
        return;
    }
    case SqlType::UniqueIdentifier: {
        const std::optional<std::string> bytes = v.kind == Value::Kind::Text ? GuidBytes(v.text) : std::nullopt;
        PutU8(buffer_, bytes ? 16 : 0);
        if (bytes) buffer_ += *bytes;
        return;
    }
    case SqlType::VarBinary: {
        if (v.kind != Value::Kind::Text) {
            PutU16(buffer_, 0xFFFF);
            return;
        }
        const std::string_view bytes = std::string_view(v.text).substr(0, std::min<std::size_t>(v.text.size(), 8000));
        PutU16(buffer_, static_cast<std::uint16_t>(bytes.size()));
        buffer_ += bytes;
        return;
    }
    case SqlType::Variant: PutVariant(v); return;
    }
}

// A sql_variant: its length, then the base type, the length of the type's properties, the
// properties and the value. Integers go as int or bigint, everything else as nvarchar.
void ReplyWriter::PutVariant(const Value& v) {
    if (v.kind == Value::Kind::Null) {
        PutU32(buffer_, 0);
        return;
    }
    if (v.kind == Value::Kind::Integer) {
        const bool small = v.integer >= INT32_MIN && v.integer <= INT32_MAX;
        const int size = small ? 4 : 8;
        PutU32(buffer_, static_cast<std::uint32_t>(2 + size));
        PutU8(buffer_, small ? kInt4 : kInt8);
        PutU8(buffer_, 0);
        for (int b = 0; b < size; ++b) PutU8(buffer_, static_cast<std::uint8_t>(static_cast<std::uint64_t>(v.integer) >> (8 * b)));
        return;
    }
    std::string bytes = Utf8ToUtf16(AsText(v));
    bytes.resize(std::min<std::size_t>(bytes.size(), 8000));
    PutU32(buffer_, static_cast<std::uint32_t>(2 + 7 + bytes.size()));
    PutU8(buffer_, kNVarChar);
    PutU8(buffer_, 7);  // collation and maximum length
    PutCollation(buffer_);
    PutU16(buffer_, 8000);
    buffer_ += bytes;
}

void ReplyWriter::ReturnStatus(std::int32_t status) {
    Begin();
    PutU8(buffer_, 0x79);
    PutU32(buffer_, static_cast<std::uint32_t>(status));
}

void ReplyWriter::ReturnInt(std::uint16_t ordinal, std::string_view name, std::optional<std::int32_t> value) {
    Begin();
    PutU8(buffer_, 0xAC);
    PutU16(buffer_, ordinal);
    PutBVarChar(buffer_, name);
    PutU8(buffer_, 0x01);  // output parameter
    PutU32(buffer_, 0);    // user type
    PutU16(buffer_, 0x0009);
    PutU8(buffer_, kIntN);
    PutU8(buffer_, 4);
    if (value) {
        PutU8(buffer_, 4);
        PutU32(buffer_, static_cast<std::uint32_t>(*value));
    } else {
        PutU8(buffer_, 0);
    }
}

}  // namespace standin::tds
