#pragma once
// The register map: an ordered list of entries, stored in the profile section "MapSettings"
// as eight keys per entry ("regAddress_%d", ...), indexed from 0 in map order, and the captions
// that turn an entry into texts and back.
#include <array>
#include <vector>

#include "modbus/RegisterInfo.h"
#include "platform/Profile.h"
#include "platform/Resources.h"

namespace tesmor {

inline constexpr std::u16string_view kMapSection = u"MapSettings";

using RegisterMap = std::vector<RegisterInfo>;

// An entry as the profile, a map file and the dialogs hold it: every field a text.
struct EntryTexts {
    std::u16string source;
    std::u16string deviceName;
    std::u16string component;
    std::int32_t address = -1;
    std::u16string registerType;
    std::u16string dataType;
    std::u16string byteOrder;
    std::u16string dataItem;
};

// The captions of the sources and data items: those of the resources in use, which texts are
// written with, and those of the other languages, which are read as well, so a map saved under
// one language publishes the same under another. A missing string gives an empty caption, and an
// empty text reads as None. The sources are read when the object is made.
class MapCaptions {
public:
    MapCaptions() = default;  // no captions: every source and data item text is unknown
    explicit MapCaptions(const StringSource& current, const std::vector<const StringSource*>& others = {});

    // The caption in the resources in use; empty for None.
    std::u16string_view text(Source source) const noexcept;
    std::u16string_view text(DataItem item) const noexcept;
    // The value a caption of any language names; None for any other text.
    Source source(std::u16string_view text) const noexcept;
    DataItem item(std::u16string_view text) const noexcept;

    // Reads the texts: known ones into the enums, the rest kept as they are in `unknown`.
    RegisterInfo parse(const EntryTexts& texts) const;
    // The texts of an entry: the captions in use for what it knows, its unknown texts for the rest.
    EntryTexts texts(const RegisterInfo& entry) const;

private:
    static constexpr std::size_t kSources = 3, kItems = 8;
    struct Language {
        std::array<std::u16string, kSources> sources;
        std::array<std::u16string, kItems> items;
    };
    static Language load(const StringSource& strings);
    std::vector<Language> languages_;  // the one in use first
};

// Reads entries 0, 1, 2, ... until the first index whose "regAddress_%d" is missing or -1;
// every entry comes with the initial current values. Nothing is checked: the map is taken as
// stored. Profile only; the caller publishes the result (ModbusServer::loadRegisterMap).
RegisterMap loadRegisterMap(Profile& profile, const MapCaptions& captions);

// True when both hold the same entries as stored in the profile (current values not compared).
bool sameConfiguration(const RegisterMap& a, const RegisterMap& b) noexcept;

// Deletes the whole section, then writes the eight keys of every entry in map order, so no key
// of a removed entry survives.
void saveRegisterMap(Profile& profile, const RegisterMap& map, const MapCaptions& captions);

}  // namespace tesmor
