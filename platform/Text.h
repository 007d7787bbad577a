#pragma once
// Conversions between the UTF-16 texts of the system and UTF-8 at library edges
// (pugixml, libmodbus device names, log lines). Invalid sequences become U+FFFD.
#include <string>
#include <string_view>

namespace tesmor {

std::string toUtf8(std::u16string_view text);
std::u16string toUtf16(std::string_view utf8);

// Length of a zero-terminated UTF-16 text; 0 for a null pointer.
std::size_t textLength(const char16_t* text) noexcept;

}  // namespace tesmor
