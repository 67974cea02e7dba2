#include "sql_text.h"

#include <vector>

namespace standin {
namespace {

// An invalid byte b decodes as kInvalidBase + b: distinct from every real character.
constexpr char32_t kInvalidBase = 0x110000;

// The character at `i`, advancing `i` past it.
char32_t Next(std::string_view s, size_t& i) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char b = byte(i++);
    if (b < 0x80) return b;
    const int extra = (b & 0xE0) == 0xC0 ? 1 : (b & 0xF0) == 0xE0 ? 2 : (b & 0xF8) == 0xF0 ? 3 : 0;
    if (extra == 0 || i + extra > s.size()) return kInvalidBase + b;
    char32_t c = b & (0x3F >> extra);
    for (int k = 0; k < extra; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return kInvalidBase + b;
        c = (c << 6) | (byte(i + k) & 0x3F);
    }
    i += extra;
    return c;
}

char32_t Fold(char32_t c) {
    if (c >= 'A' && c <= 'Z') return c + 0x20;
    if (c < 0x80) return c;
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 0x20;     // Latin-1
    if (c >= 0x391 && c <= 0x3A9 && c != 0x3A2) return c + 0x20;  // Greek
    if (c >= 0x410 && c <= 0x42F) return c + 0x20;                // Cyrillic
    if (c >= 0x400 && c <= 0x40F) return c + 0x50;
    if (c >= 0xFF21 && c <= 0xFF3A) return c + 0x20;  // full-width Latin
    return c;
}

void Append(std::string& out, char32_t c) {
    if (c >= kInvalidBase || c < 0x80) {
        out += static_cast<char>(c >= kInvalidBase ? c - kInvalidBase : c);
        return;
    }
    if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    }
    out += static_cast<char>(0x80 | (c & 0x3F));
}

std::string_view WithoutTrailingBlanks(std::string_view s) {
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return s;
}

}  // namespace

std::string FoldCase(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) Append(out, Fold(Next(text, i)));
    return out;
}

bool SameName(std::string_view a, std::string_view b) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (Fold(Next(a, i)) != Fold(Next(b, j))) return false;
    }
    return i == a.size() && j == b.size();
}

int CompareText(std::string_view a, std::string_view b) {
    a = WithoutTrailingBlanks(a);
    b = WithoutTrailingBlanks(b);
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        const char32_t x = Fold(Next(a, i)), y = Fold(Next(b, j));
        if (x != y) return x < y ? -1 : 1;
    }
    if (i < a.size()) return 1;
    if (j < b.size()) return -1;
    return 0;
}

bool LikePattern::Element::Matches(char32_t c) const {
    switch (kind) {
    case Kind::Character: return c == character;
    case Kind::AnyOne: return true;
    case Kind::Set: {
        bool in = false;
        for (const auto& [lo, hi] : ranges) in = in || (c >= lo && c <= hi);
        return in != negated;
    }
    case Kind::AnyRun:
    case Kind::Never: break;
    }
    return false;
}

LikePattern::LikePattern(std::string_view pattern) {
    using Kind = Element::Kind;
    std::vector<char32_t> p;
    for (size_t i = 0; i < pattern.size();) p.push_back(Fold(Next(pattern, i)));
    for (size_t i = 0; i < p.size(); ++i) {
        if (p[i] == '%') {
            if (elements_.empty() || elements_.back().kind != Kind::AnyRun) elements_.emplace_back(Kind::AnyRun);
        } else if (p[i] == '_') {
            elements_.emplace_back(Kind::AnyOne);
        } else if (p[i] == '[') {
            size_t close = i + 1;
            while (close < p.size() && p[close] != ']') ++close;
            if (close == p.size()) {
                elements_.emplace_back(Kind::Never);
                return;
            }
            Element set(Kind::Set);
            size_t k = i + 1;
            if (k < close && p[k] == '^') {
                set.negated = true;
                ++k;
            }
            for (; k < close; ++k) {
                if (k + 2 < close && p[k + 1] == '-') {
                    set.ranges.emplace_back(p[k], p[k + 2]);
                    k += 2;
                } else {
                    set.ranges.emplace_back(p[k], p[k]);
                }
            }
            elements_.push_back(std::move(set));
            i = close;
        } else {
            elements_.emplace_back(Kind::Character, p[i]);
        }
    }
}

bool LikePattern::Matches(std::string_view value, bool unicode) const {
    using Kind = Element::Kind;
    const auto onlyBlanksFrom = [&](size_t k) { return value.find_first_not_of(' ', k) == std::string_view::npos; };
    // Greedy matching that backtracks to the last % only; positions in `value` are byte offsets.
    const size_t end = elements_.size();
    size_t pi = 0, vi = 0;
    size_t runP = end + 1, runV = 0;
    for (;;) {
        if (pi < end && elements_[pi].kind == Kind::AnyRun) {
            runP = ++pi;
            runV = vi;
            continue;
        }
        if (pi == end) {
            if (vi == value.size() || (!unicode && onlyBlanksFrom(vi))) return true;
        } else if (vi < value.size()) {
            size_t next = vi;
            if (elements_[pi].Matches(Fold(Next(value, next)))) {
                ++pi;
                vi = next;
                continue;
            }
        }
        if (runP > end || runV >= value.size()) return false;
        Next(value, runV);
        pi = runP;
        vi = runV;
    }
}

int CharacterCount(std::string_view text) {
    int n = 0;
    for (size_t i = 0; i < text.size(); ++n) Next(text, i);
    return n;
}

}  // namespace standin
