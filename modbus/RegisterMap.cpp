#include "modbus/RegisterMap.h"

#include <algorithm>
#include <string>

#include "platform/ResourceIds.h"

namespace tesmor {

namespace {

// Captions in enum order, None left out.
constexpr std::array<unsigned, 3> kSourceIds{res::kSourceDevice, res::kSourceChromatogram, res::kSourcePeak};
constexpr std::array<unsigned, 8> kItemIds{
    res::kItemMode,         res::kItemLastError,     res::kItemSampleTime, res::kItemSampleNumber,
    res::kItemSeriesNumber, res::kItemConcentration, res::kItemArea,       res::kItemRetentionTime};

template <typename Enum, std::size_t N>
Enum find(const std::array<std::u16string, N>& captions, std::u16string_view text) noexcept {
    for (std::size_t i = 0; i < N; ++i)
        if (captions[i] == text) return static_cast<Enum>(i + 1);
    return Enum::None;
}

// The known value's text, or the stored text it was read from.
template <typename Enum>
std::u16string textOf(Enum value, std::u16string_view known, const std::u16string& unknown) {
    return value == Enum::None ? unknown : std::u16string(known);
}

}  // namespace

MapCaptions::Language MapCaptions::load(const StringSource& strings) {
    auto caption = [&](unsigned id) {
        auto text = strings.loadString(id);
        if (text.size() > 255) text.resize(255);  // a caption holds at most 255 characters
        return text;
    };
    Language l;
    for (std::size_t i = 0; i < kSources; ++i) l.sources[i] = caption(kSourceIds[i]);
    for (std::size_t i = 0; i < kItems; ++i) l.items[i] = caption(kItemIds[i]);
    return l;
}

MapCaptions::MapCaptions(const StringSource& current, const std::vector<const StringSource*>& others) {
    languages_.push_back(load(current));
    for (const StringSource* other : others)
        if (other) languages_.push_back(load(*other));
}

std::u16string_view MapCaptions::text(Source source) const noexcept {
    if (source == Source::None || languages_.empty()) return {};
    return languages_.front().sources[static_cast<std::size_t>(source) - 1];
}

std::u16string_view MapCaptions::text(DataItem item) const noexcept {
    if (item == DataItem::None || languages_.empty()) return {};
    return languages_.front().items[static_cast<std::size_t>(item) - 1];
}

Source MapCaptions::source(std::u16string_view text) const noexcept {
    if (text.empty()) return Source::None;
    for (const Language& l : languages_)
        if (const auto s = find<Source>(l.sources, text); s != Source::None) return s;
    return Source::None;
}

DataItem MapCaptions::item(std::u16string_view text) const noexcept {
    if (text.empty()) return DataItem::None;
    for (const Language& l : languages_)
        if (const auto i = find<DataItem>(l.items, text); i != DataItem::None) return i;
    return DataItem::None;
}

RegisterInfo MapCaptions::parse(const EntryTexts& t) const {
    RegisterInfo e;
    e.source = source(t.source);
    e.deviceName = t.deviceName;
    e.component = t.component;
    e.address = t.address;
    e.table = tableOf(t.registerType);
    e.dataType = dataTypeOf(t.dataType);
    e.byteOrder = byteOrderOf(t.byteOrder);
    e.dataItem = item(t.dataItem);
    auto keep = [](bool known, const std::u16string& text) { return known ? std::u16string() : text; };
    e.unknown = {keep(e.source != Source::None, t.source), keep(e.table != Table::None, t.registerType),
                 keep(e.dataType != DataType::None, t.dataType),
                 keep(e.byteOrder != ByteOrder::None, t.byteOrder),
                 keep(e.dataItem != DataItem::None, t.dataItem)};
    return e;
}

EntryTexts MapCaptions::texts(const RegisterInfo& e) const {
    return {textOf(e.source, text(e.source), e.unknown.source),
            e.deviceName,
            e.component,
            e.address,
            textOf(e.table, tableText(e.table), e.unknown.registerType),
            textOf(e.dataType, dataTypeText(e.dataType), e.unknown.dataType),
            textOf(e.byteOrder, byteOrderText(e.byteOrder), e.unknown.byteOrder),
            textOf(e.dataItem, text(e.dataItem), e.unknown.dataItem)};
}

RegisterMap loadRegisterMap(Profile& profile, const MapCaptions& captions) {
    RegisterMap map;
    const auto s = kMapSection;
    for (std::size_t i = 0;; ++i) {
        EntryTexts t;
        t.source = profile.getString(s, indexedKey(u"regVelmarData_", i), {});
        t.deviceName = profile.getString(s, indexedKey(u"regDeviceName_", i), {});
        t.component = profile.getString(s, indexedKey(u"regComponent_", i), {});
        t.address = profile.getInt(s, indexedKey(u"regAddress_", i), -1);
        t.registerType = profile.getString(s, indexedKey(u"regType_", i), {});
        t.dataType = profile.getString(s, indexedKey(u"regDataType_", i), {});
        t.byteOrder = profile.getString(s, indexedKey(u"regFloatOrder_", i), {});
        t.dataItem = profile.getString(s, indexedKey(u"regData_", i), {});
        if (t.address == -1) break;
        map.push_back(captions.parse(t));
    }
    return map;
}

bool sameConfiguration(const RegisterMap& a, const RegisterMap& b) noexcept {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](const RegisterInfo& x, const RegisterInfo& y) { return x.sameConfiguration(y); });
}

void saveRegisterMap(Profile& profile, const RegisterMap& map, const MapCaptions& captions) {
    const auto s = kMapSection;
    profile.delKey(s);
    for (std::size_t i = 0; i < map.size(); ++i) {
        const EntryTexts t = captions.texts(map[i]);
        profile.setString(s, indexedKey(u"regVelmarData_", i), t.source);
        profile.setString(s, indexedKey(u"regDeviceName_", i), t.deviceName);
        profile.setString(s, indexedKey(u"regComponent_", i), t.component);
        profile.setInt(s, indexedKey(u"regAddress_", i), t.address);
        profile.setString(s, indexedKey(u"regType_", i), t.registerType);
        profile.setString(s, indexedKey(u"regDataType_", i), t.dataType);
        profile.setString(s, indexedKey(u"regFloatOrder_", i), t.byteOrder);
        profile.setString(s, indexedKey(u"regData_", i), t.dataItem);
    }
}

}  // namespace tesmor
