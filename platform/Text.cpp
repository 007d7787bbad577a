#include "Text.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>

namespace tesmor {

namespace {
constexpr char32_t kReplacement = 0xFFFD;

void appendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

void appendUtf16(std::u16string& out, char32_t c) {
    if (c < 0x10000) {
        out += static_cast<char16_t>(c);
    } else {
        c -= 0x10000;
        out += static_cast<char16_t>(0xD800 + (c >> 10));
        out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    }
}

bool isHighSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool isLowSurrogate(char32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// One well-formed sequence or the longest start of one (the table of well-formed byte sequences
// of the Unicode standard, chapter 3).
struct Sequence {
    std::size_t length;  // bytes taken, at least 1
    char32_t character;
    bool wellFormed;  // false: the bytes are no whole sequence
};

Sequence decodeOne(std::string_view s, std::size_t i) noexcept {
    const auto lead = static_cast<unsigned char>(s[i]);
    if (lead < 0x80) return {1, lead, true};
    int extra = 0;
    char32_t c = 0;
    unsigned char low = 0x80, high = 0xBF;  // range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        extra = 1, c = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        extra = 2, c = lead & 0x0F;
        if (lead == 0xE0) low = 0xA0;   // overlong below
        if (lead == 0xED) high = 0x9F;  // surrogates above
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        extra = 3, c = lead & 0x07;
        if (lead == 0xF0) low = 0x90;   // overlong below
        if (lead == 0xF4) high = 0x8F;  // past U+10FFFF above
    } else {
        return {1, kReplacement, false};
    }
    std::size_t length = 1;
    for (; length <= static_cast<std::size_t>(extra) && i + length < s.size(); ++length) {
        const auto t = static_cast<unsigned char>(s[i + length]);
        if (t < low || t > high) break;
        c = (c << 6) | (t & 0x3F);
        low = 0x80, high = 0xBF;
    }
    const bool whole = length == static_cast<std::size_t>(extra) + 1;
    return {length, whole ? c : kReplacement, whole};
}

}  // namespace

std::string toUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (isHighSurrogate(c) && i + 1 < text.size() && isLowSurrogate(text[i + 1])) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (isHighSurrogate(c) || isLowSurrogate(c)) {
            c = kReplacement;
        }
        appendUtf8(out, c);
    }
    return out;
}

std::u16string toUtf16(std::string_view s) {
    std::u16string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        const Sequence sequence = decodeOne(s, i);
        appendUtf16(out, sequence.character);
        i += sequence.length;
    }
    return out;
}

bool isWellFormedUtf8(std::string_view s) noexcept {
    for (std::size_t i = 0; i < s.size();) {
        // Runs of ASCII, the bulk of an XML part, eight bytes at a time.
        std::uint64_t word = 0;
        while (s.size() - i >= sizeof word) {
            std::memcpy(&word, s.data() + i, sizeof word);
            if (word & 0x8080808080808080u) break;
            i += sizeof word;
        }
        if (i == s.size()) break;
        const Sequence sequence = decodeOne(s, i);
        if (!sequence.wellFormed) return false;
        i += sequence.length;
    }
    return true;
}

std::u16string toUtf16DroppingInvalid(std::string_view s) {
    std::u16string out;
    out.reserve(s.size());
    const auto byte = [&s](std::size_t k) -> char32_t { return static_cast<unsigned char>(s[k]); };
    const auto continues = [&](std::size_t i, std::size_t count) {
        if (s.size() - i <= count) return false;
        for (std::size_t k = 1; k <= count; ++k)
            if ((byte(i + k) & 0xC0) != 0x80) return false;
        return true;
    };
    std::size_t i = 0;
    while (i < s.size()) {
        const char32_t lead = byte(i);
        if (lead < 0x80) {
            out += static_cast<char16_t>(lead);
            i += 1;
        } else if (lead >= 0xC0 && lead < 0xE0 && continues(i, 1)) {
            out += static_cast<char16_t>(((lead & 0x1F) << 6) | (byte(i + 1) & 0x3F));
            i += 2;
        } else if (lead >= 0xE0 && lead < 0xF0 && continues(i, 2)) {
            out += static_cast<char16_t>(((lead & 0x0F) << 12) | ((byte(i + 1) & 0x3F) << 6) |
                                         (byte(i + 2) & 0x3F));
            i += 3;
        } else if (lead >= 0xF0 && lead < 0xF8 && continues(i, 3)) {
            const char32_t c = ((lead & 0x07) << 18) | ((byte(i + 1) & 0x3F) << 12) |
                               ((byte(i + 2) & 0x3F) << 6) | (byte(i + 3) & 0x3F);
            // Unsigned arithmetic, as there: below U+10000 the difference wraps.
            const std::uint32_t offset = static_cast<std::uint32_t>(c) - 0x10000u;
            out += static_cast<char16_t>(0xD800u + (offset >> 10));
            out += static_cast<char16_t>(0xDC00u + (offset & 0x3FFu));
            i += 4;
        } else {
            i += 1;
        }
    }
    return out;
}

std::string toUtf8KeepingSurrogates(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (isHighSurrogate(c) && i + 1 < text.size() && isLowSurrogate(text[i + 1])) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        }
        appendUtf8(out, c);
    }
    return out;
}

std::size_t textLength(const char16_t* text) noexcept {
    if (!text) return 0;
    std::size_t n = 0;
    while (text[n]) ++n;
    return n;
}

std::int64_t leadingNumber(std::u16string_view text, int base) noexcept {
    constexpr std::int64_t saturated = std::int64_t{1} << 40;
    auto digit = [base](char16_t c) {
        int v = -1;
        if (c >= u'0' && c <= u'9')
            v = c - u'0';
        else if (c >= u'a' && c <= u'f')
            v = c - u'a' + 10;
        else if (c >= u'A' && c <= u'F')
            v = c - u'A' + 10;
        return v < base ? v : -1;
    };
    std::size_t i = 0;
    while (i < text.size() && (text[i] == u' ' || (text[i] >= u'\t' && text[i] <= u'\r'))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) negative = text[i++] == u'-';
    std::int64_t value = 0;
    for (int d; i < text.size() && (d = digit(text[i])) >= 0; ++i)
        value = std::min(saturated, value * base + d);
    return negative ? -value : value;
}

std::int32_t leadingInteger(std::u16string_view text) noexcept {
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(leadingNumber(text),
                                                              std::numeric_limits<std::int32_t>::min(),
                                                              std::numeric_limits<std::int32_t>::max()));
}

namespace {
template <class View>
View trimmed(View text) noexcept {
    const auto blank = [](auto c) { return c == ' ' || c == '\t'; };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    return text;
}
}  // namespace

std::u16string_view trimBlanks(std::u16string_view text) noexcept { return trimmed(text); }
std::string_view trimBlanks(std::string_view text) noexcept { return trimmed(text); }

}  // namespace tesmor
