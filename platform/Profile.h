#pragma once
// The settings store as the core sees it: sections of keys holding integers or texts.
// The plug-in implements it over the host's profile services; tests use an in-memory store.
// Readers never fail: a missing key (or a missing store) gives the default.
#include <cstdint>
#include <string>
#include <string_view>

namespace tesmor {

class Profile {
public:
    virtual ~Profile() = default;
    virtual std::int32_t getInt(std::u16string_view section, std::u16string_view key,
                                std::int32_t defaultValue) = 0;
    virtual std::u16string getString(std::u16string_view section, std::u16string_view key,
                                     std::u16string_view defaultValue) = 0;
    virtual bool setInt(std::u16string_view section, std::u16string_view key, std::int32_t value) = 0;
    virtual bool setString(std::u16string_view section, std::u16string_view key,
                           std::u16string_view value) = 0;
    // Removes every key of the section.
    virtual bool delKey(std::u16string_view section) = 0;
};

// The key of a list entry: `prefix` followed by `index` in decimal ("regAddress_" 3 -> "regAddress_3").
inline std::u16string indexedKey(std::u16string_view prefix, std::size_t index) {
    std::u16string key(prefix);
    for (char c : std::to_string(index)) key += static_cast<char16_t>(c);
    return key;
}

}  // namespace tesmor
