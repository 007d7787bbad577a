#include "TextFolding.h"

#include <locale.h>
#include <wctype.h>

namespace tesmor {

namespace {

// One C.UTF-8 character-class object for the process; the process locale stays untouched.
locale_t foldingLocale() {
    static const locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    return locale;
}

char16_t lower(char16_t c, locale_t locale) {
    if (c < 0x80) return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
    if (c >= 0xD800 && c <= 0xDFFF) return c;  // surrogate halves are left as they are
    if (locale) {
        const wint_t folded = towlower_l(c, locale);
        return folded <= 0xFFFF ? static_cast<char16_t>(folded) : c;
    }
    // Without C.UTF-8: the Cyrillic capitals, which matter most here.
    if (c >= 0x0410 && c <= 0x042F) return static_cast<char16_t>(c + 0x20);
    if (c >= 0x0400 && c <= 0x040F) return static_cast<char16_t>(c + 0x50);
    return c;
}

}  // namespace

std::u16string foldCase(std::u16string_view text) {
    const locale_t locale = foldingLocale();
    std::u16string folded(text);
    for (auto& c : folded) c = lower(c, locale);
    return folded;
}

std::uint16_t crc16(std::string_view bytes) noexcept {
    std::uint16_t crc = 0;
    for (const char byte : bytes) {
        crc ^= static_cast<std::uint16_t>(static_cast<unsigned char>(byte) << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? static_cast<std::uint16_t>((crc << 1) ^ 0x8005)
                                 : static_cast<std::uint16_t>(crc << 1);
    }
    return crc;
}

}  // namespace tesmor
