#pragma once
// Client requests as FreeTDS 1.3 lays them out (TDS 7.4), built byte by byte for the stand-in's
// tests: packets, PRELOGIN, LOGIN7, SQL batches and RPC calls.

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>

namespace standintest {

inline void Put8(std::string& out, std::uint8_t v) { out.push_back(static_cast<char>(v)); }
inline void Put16(std::string& out, std::uint16_t v) {
    Put8(out, v & 0xFF);
    Put8(out, v >> 8);
}
inline void Put32(std::string& out, std::uint32_t v) {
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}

// UCS-2 of ASCII or of the few Chinese characters the tests use, written as \u escapes.
inline std::string Ucs2(std::u16string_view text) {
    std::string out;
    for (char16_t c : text) Put16(out, static_cast<std::uint16_t>(c));
    return out;
}

// One packet: header (big-endian length, SPID 0, packet id 1) and payload.
inline std::string Packet(std::uint8_t type, std::string_view payload, bool last = true) {
    std::string out;
    Put8(out, type);
    Put8(out, last ? 1 : 0);
    const std::size_t length = payload.size() + 8;
    Put8(out, static_cast<std::uint8_t>(length >> 8));
    Put8(out, static_cast<std::uint8_t>(length & 0xFF));
    out += std::string("\0\0\1\0", 4);
    out += payload;
    return out;
}

// A message cut into packets of at most `packetSize` bytes.
inline std::string Packets(std::uint8_t type, std::string_view payload, std::size_t packetSize = 4096) {
    std::string out;
    const std::size_t chunk = packetSize - 8;
    std::size_t pos = 0;
    do {
        const std::size_t n = std::min(chunk, payload.size() - pos);
        out += Packet(type, payload.substr(pos, n), pos + n == payload.size());
        pos += n;
    } while (pos < payload.size());
    return out;
}

// FreeTDS's PRELOGIN: version, encryption off, instance "MSSQLServer", thread id, MARS off.
inline std::string PreLogin() {
    const std::string options("\x00\x00\x1A\x00\x06"
                              "\x01\x00\x20\x00\x01"
                              "\x02\x00\x21\x00\x0C"
                              "\x03\x00\x2D\x00\x04"
                              "\x04\x00\x31\x00\x01"
                              "\xFF",
                              26);
    std::string data("\x09\x00\x00\x00\x00\x00", 6);
    data += '\x00';
    data += std::string("MSSQLServer\0", 12);
    data += std::string("\x01\x02\x03\x04", 4);
    data += '\x00';
    return options + data;
}

struct LoginFields {
    std::u16string host = u"tester";
    std::u16string user = u"sa";
    std::u16string password = u"1";
    std::u16string app = u"TSQL";
    std::u16string server = u"127.0.0.1";
    std::u16string library = u"DB-Library";
    std::u16string language = u"us_english";
    std::u16string database;
    std::uint32_t tdsVersion = 0x74000004;
    std::uint32_t packetSize = 4096;
};

// LOGIN7: the 94-byte fixed part, then the strings in UCS-2, the password scrambled.
inline std::string Login7(const LoginFields& f) {
    const std::u16string_view fields[] = {f.host, f.user, f.password, f.app, f.server, u"", f.library, f.language, f.database};
    std::string fixed;
    std::string data;
    constexpr std::uint16_t kFixed = 94;
    Put32(fixed, 0);  // length, set below
    Put32(fixed, f.tdsVersion);
    Put32(fixed, f.packetSize);
    Put32(fixed, 0x06000000);  // client program version
    Put32(fixed, 1234);        // process id
    Put32(fixed, 0);           // connection id
    Put8(fixed, 0xE0);         // option flags 1
    Put8(fixed, 0x03);         // option flags 2: ODBC
    Put8(fixed, 0x00);         // type flags
    Put8(fixed, 0x00);         // option flags 3
    Put32(fixed, 0);           // time zone
    Put32(fixed, 0x0436);      // LCID
    for (std::size_t k = 0; k < std::size(fields); ++k) {
        std::string text = Ucs2(fields[k]);
        if (k == 2)
            for (char& c : text) {
                const auto x = static_cast<std::uint8_t>(c);
                c = static_cast<char>(static_cast<std::uint8_t>(((x << 4) | (x >> 4)) ^ 0xA5));
            }
        Put16(fixed, static_cast<std::uint16_t>(kFixed + data.size()));
        Put16(fixed, static_cast<std::uint16_t>(fields[k].size()));
        data += text;
    }
    fixed += std::string(6, '\0');  // client id
    for (int k = 0; k < 3; ++k) {  // SSPI, database file, new password: all empty
        Put16(fixed, static_cast<std::uint16_t>(kFixed + data.size()));
        Put16(fixed, 0);
    }
    Put32(fixed, 0);  // long SSPI
    std::string out = fixed + data;
    const auto length = static_cast<std::uint32_t>(out.size());
    for (int k = 0; k < 4; ++k) out[k] = static_cast<char>(length >> (8 * k));
    return out;
}

// ALL_HEADERS with the transaction descriptor header, as FreeTDS sends it.
inline std::string AllHeaders() {
    std::string out;
    Put32(out, 22);
    Put32(out, 18);
    Put16(out, 2);
    out += std::string(8, '\0');
    Put32(out, 1);
    return out;
}

inline std::string SqlBatch(std::u16string_view text) { return AllHeaders() + Ucs2(text); }

// RPC pieces: a call by number or by name, and parameters.
inline std::string RpcByNumber(std::uint16_t procId, std::uint16_t options = 0) {
    std::string out;
    Put16(out, 0xFFFF);
    Put16(out, procId);
    Put16(out, options);
    return out;
}

inline std::string RpcByName(std::u16string_view name) {
    std::string out;
    Put16(out, static_cast<std::uint16_t>(name.size()));
    out += Ucs2(name);
    Put16(out, 0);
    return out;
}

inline std::string ParamHead(std::u16string_view name, bool output) {
    std::string out;
    Put8(out, static_cast<std::uint8_t>(name.size()));
    out += Ucs2(name);
    Put8(out, output ? 1 : 0);
    return out;
}

inline std::string IntParam(std::int32_t value, bool output = false, bool null = false) {
    std::string out = ParamHead(u"", output);
    Put8(out, 0x26);
    Put8(out, 4);
    Put8(out, null ? 0 : 4);
    if (!null) Put32(out, static_cast<std::uint32_t>(value));
    return out;
}

inline std::string NTextParam(std::u16string_view text) {
    std::string out = ParamHead(u"", false);
    const std::string bytes = Ucs2(text);
    Put8(out, 0x63);
    Put32(out, static_cast<std::uint32_t>(bytes.size()));
    out += std::string("\x04\x08\xD0\x00\x00", 5);
    Put32(out, static_cast<std::uint32_t>(bytes.size()));
    out += bytes;
    return out;
}

inline std::string NVarCharParam(std::u16string_view name, std::u16string_view text) {
    std::string out = ParamHead(name, false);
    const std::string bytes = Ucs2(text);
    Put8(out, 0xE7);
    Put16(out, 8000);
    out += std::string("\x04\x08\xD0\x00\x00", 5);
    Put16(out, static_cast<std::uint16_t>(bytes.size()));
    out += bytes;
    return out;
}

}  // namespace standintest
