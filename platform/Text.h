#pragma once
// Conversions between the UTF-16 texts of the system and UTF-8 at library edges
// (pugixml, libmodbus device names, log lines).
#include <cstdint>
#include <string>
#include <string_view>

namespace tesmor {

// Unpaired surrogates become U+FFFD.
std::string toUtf8(std::u16string_view text);
// Each ill-formed part becomes one U+FFFD and decoding goes on at the first byte that cannot
// continue it (a stray or invalid byte costs itself, a cut-off sequence costs one character):
// "ab\xE2" "5" reads as u"ab\uFFFD5", as Python's and ICU's decoders read it.
std::u16string toUtf16(std::string_view utf8);
// True when the bytes are well-formed UTF-8 (no overlong forms, no surrogates, nothing past
// U+10FFFF), so that toUtf16 finds nothing to replace.
bool isWellFormedUtf8(std::string_view bytes) noexcept;

// UTF-8 as a pugixml build with 16-bit wchar_t turns it into wide text, which is how a file
// written on Windows is read there: a byte that starts no complete sequence is dropped, overlong
// forms and encoded surrogates are taken as they stand, and every 4-byte sequence gives two
// units computed as a surrogate pair would be (so values past U+10FFFF wrap as they do there).
// Agrees with toUtf16 on well-formed UTF-8.
std::u16string toUtf16DroppingInvalid(std::string_view bytes);
// The UTF-8 form of every unit, a surrogate pair as one 4-byte sequence and an unpaired
// surrogate in its own 3-byte form, so that toUtf16DroppingInvalid gives the units back.
std::string toUtf8KeepingSurrogates(std::u16string_view text);

// The number at the start of a text: white space, an optional sign, then digits of `base` (10
// or 16, no "0x") up to the first other character; 0 when there are none. The
// magnitude saturates at 2^40, far past any range a caller checks, so no text can overflow it.
std::int64_t leadingNumber(std::u16string_view text, int base = 10) noexcept;
// The decimal leadingNumber saturated to the 32-bit range.
std::int32_t leadingInteger(std::u16string_view text) noexcept;

// Length of a zero-terminated UTF-16 text; 0 for a null pointer.
std::size_t textLength(const char16_t* text) noexcept;

// `text` without the spaces and tabs around it.
std::u16string_view trimBlanks(std::u16string_view text) noexcept;
std::string_view trimBlanks(std::string_view text) noexcept;

}  // namespace tesmor
