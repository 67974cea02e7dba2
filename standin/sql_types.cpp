#include "sql_types.h"

#include <charconv>
#include <vector>

#include "sql_text.h"

namespace standin {
namespace {

bool IsDigits(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

}  // namespace

std::optional<ColumnInfo> DescribeType(std::string_view declared) {
    const std::string text = FoldCase(declared);
    std::string name = text;
    std::vector<std::string> args;
    if (const size_t open = text.find('('); open != std::string::npos) {
        if (text.back() != ')') return std::nullopt;
        name = text.substr(0, open);
        std::string inner = text.substr(open + 1, text.size() - open - 2);
        for (size_t start = 0;;) {
            const size_t comma = inner.find(',', start);
            args.push_back(inner.substr(start, comma - start));
            if (comma == std::string::npos) break;
            start = comma + 1;
        }
    }
    while (!name.empty() && name.back() == ' ') name.pop_back();
    const auto number = [&](size_t k, int fallback) {
        if (k >= args.size()) return fallback;
        int v = fallback;
        std::from_chars(args[k].data(), args[k].data() + args[k].size(), v);
        return v;
    };
    for (const std::string& a : args)
        if (!IsDigits(a) && a != "max") return std::nullopt;

    ColumnInfo info;
    const auto character = [&](SqlType type, int max) -> std::optional<ColumnInfo> {
        if (args.size() > 1) return std::nullopt;
        info.type = type;
        info.length = (!args.empty() && args[0] == "max") ? max : number(0, 1);
        if (info.length < 1 || info.length > max) return std::nullopt;
        return info;
    };
    const auto plain = [&](SqlType type) -> std::optional<ColumnInfo> {
        if (!args.empty()) return std::nullopt;
        info.type = type;
        return info;
    };
    if (name == "varchar" || name == "char") return character(SqlType::VarChar, kMaxVarChar);
    if (name == "nvarchar" || name == "nchar") return character(SqlType::NVarChar, kMaxNVarChar);
    if (name == "text" || name == "ntext") {
        if (!args.empty()) return std::nullopt;
        info.type = name == "text" ? SqlType::VarChar : SqlType::NVarChar;
        info.length = name == "text" ? kMaxVarChar : kMaxNVarChar;
        return info;
    }
    if (name == "int") return plain(SqlType::Int);
    if (name == "bigint") return plain(SqlType::BigInt);
    if (name == "smallint") return plain(SqlType::SmallInt);
    if (name == "tinyint") return plain(SqlType::TinyInt);
    if (name == "bit") return plain(SqlType::Bit);
    if (name == "real") return plain(SqlType::Real);
    if (name == "datetime" || name == "smalldatetime" || name == "date" || name == "datetime2") {
        if (name != "datetime2" && !args.empty()) return std::nullopt;
        info.type = SqlType::DateTime;
        return info;
    }
    if (name == "float") {
        if (args.size() > 1) return std::nullopt;
        info.type = number(0, 53) <= 24 ? SqlType::Real : SqlType::Float;
        return info;
    }
    if (name == "decimal" || name == "numeric" || name == "money" || name == "smallmoney") {
        info.type = SqlType::Decimal;
        if (name == "money" || name == "smallmoney") {
            if (!args.empty()) return std::nullopt;
            info.precision = name == "money" ? 19 : 10;
            info.scale = 4;
            return info;
        }
        if (args.size() > 2) return std::nullopt;
        info.precision = number(0, 18);
        info.scale = number(1, 0);
        if (info.precision < 1 || info.precision > 38 || info.scale > info.precision) return std::nullopt;
        return info;
    }
    return std::nullopt;
}

std::string DeclaredType(const ColumnInfo& info) {
    switch (info.type) {
    case SqlType::VarChar: return "varchar(" + std::to_string(info.length) + ")";
    case SqlType::NVarChar: return "nvarchar(" + std::to_string(info.length) + ")";
    case SqlType::Int: return "int";
    case SqlType::BigInt: return "bigint";
    case SqlType::SmallInt: return "smallint";
    case SqlType::TinyInt: return "tinyint";
    case SqlType::Bit: return "bit";
    case SqlType::Float: return "float";
    case SqlType::Real: return "real";
    case SqlType::Decimal: return "decimal(" + std::to_string(info.precision) + "," + std::to_string(info.scale) + ")";
    case SqlType::DateTime: return "datetime";
    case SqlType::Char: return "char(" + std::to_string(info.length) + ")";
    case SqlType::UniqueIdentifier: return "uniqueidentifier";
    case SqlType::VarBinary: return "varbinary(" + std::to_string(info.length) + ")";
    case SqlType::Variant: return "sql_variant";
    }
    return "varchar(1)";
}

std::string NormalizeDateTime(std::string_view s) {
    // YYYY-MM-DD, then optionally [ T]hh:mm[:ss[.f...]]
    const auto digitsAt = [&](size_t pos, size_t n) { return pos + n <= s.size() && IsDigits(s.substr(pos, n)); };
    if (!digitsAt(0, 4) || s.size() < 10 || s[4] != '-' || !digitsAt(5, 2) || s[7] != '-' || !digitsAt(8, 2)) {
        return std::string(s);
    }
    std::string out(s.substr(0, 10));
    std::string time = "00:00:00", fraction = "000";
    if (s.size() > 10) {
        if ((s[10] != ' ' && s[10] != 'T') || !digitsAt(11, 2) || s.size() < 16 || s[13] != ':' || !digitsAt(14, 2)) {
            return std::string(s);
        }
        time = std::string(s.substr(11, 5)) + ":00";
        size_t pos = 16;
        if (pos < s.size()) {
            if (s[pos] != ':' || !digitsAt(pos + 1, 2)) return std::string(s);
            time.replace(6, 2, s.substr(pos + 1, 2));
            pos += 3;
        }
        if (pos < s.size()) {
            if (s[pos] != '.' || !IsDigits(s.substr(pos + 1))) return std::string(s);
            fraction = std::string(s.substr(pos + 1, 3));
            fraction.resize(3, '0');
        }
    }
    return out + " " + time + "." + fraction;
}

}  // namespace standin
