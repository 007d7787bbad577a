#pragma once
// The three-letter abbreviation Windows gives a language id (1033 "ENU", 1049 "RUS").
// Language resource libraries are named after it.
#include <cstdint>
#include <optional>
#include <string>

namespace tesmor {

// std::nullopt for an id the table does not know.
std::optional<std::string> languageAbbreviation(std::uint16_t languageId);

}  // namespace tesmor
