#pragma once
// One entry of the register map: where a value of the host goes in the register store.
//
// Typed inside, texts at the edges: the profile, a map file and the dialogs hold the captions
// (EntryTexts); MapCaptions turns them into the enums here once, accepting either language's
// captions, and back into the captions of the resources in use.
#include <cstdint>
#include <string>
#include <string_view>

namespace tesmor {

// The four tables of the store, in the editor's order.
enum class Table : std::uint8_t { None, Coils, DiscreteInputs, InputRegisters, HoldingRegisters };
enum class DataType : std::uint8_t { None, Bool, Float, Int };
// The float orders, named by where the bytes A B C D of the IEEE 754 single go.
enum class ByteOrder : std::uint8_t {
    None,
    BigEndian,
    LittleEndian,
    BigEndianByteSwap,
    LittleEndianByteSwap
};
enum class Source : std::uint8_t { None, Device, Chromatogram, Peak };
// The data items, grouped by their source in the editor's order.
enum class DataItem : std::uint8_t {
    None,
    Mode,
    LastError,
    SampleTime,
    SampleNumber,
    SeriesNumber,
    Concentration,
    Area,
    RetentionTime
};

// The source whose data item it is; None for None.
Source sourceOf(DataItem item) noexcept;
bool isBitTable(Table table) noexcept;

// The fixed texts of the tables, data types and byte orders (the same in every language). The
// `...Of` readers compare exactly and give None for any other text.
std::u16string_view tableText(Table table) noexcept;
std::u16string_view dataTypeText(DataType type) noexcept;
std::u16string_view byteOrderText(ByteOrder order) noexcept;
Table tableOf(std::u16string_view text) noexcept;
DataType dataTypeOf(std::u16string_view text) noexcept;
ByteOrder byteOrderOf(std::u16string_view text) noexcept;

// What the host last reported for an entry; never stored.
struct CurrentValues {
    std::int32_t lastError = 0;
    std::int32_t mode = 0;
    std::int64_t sampleTime = -1;  // seconds since 1970-01-01 UTC; -1 = not set
    std::uint16_t sampleNumber = 65535;
    std::int32_t seriesNumber = -1;
    float concentration = 0;
    float area = 0;
    float retentionTime = 0;
};

// Stored texts that name nothing the plug-in knows, kept so that such an entry is written back
// exactly as it was read; empty where the field is known.
struct UnknownTexts {
    std::u16string source, registerType, dataType, byteOrder, dataItem;
    bool operator==(const UnknownTexts&) const = default;
};

struct RegisterInfo {
    // Configuration, stored in the profile.
    Source source = Source::None;
    std::u16string deviceName;
    std::u16string component;
    std::int32_t address = -1;  // -1 marks no entry
    Table table = Table::None;
    DataType dataType = DataType::None;
    ByteOrder byteOrder = ByteOrder::None;
    DataItem dataItem = DataItem::None;
    UnknownTexts unknown;

    CurrentValues values;

    // Number of registers (or bits) the entry writes, 0 for a combination that writes nothing.
    // Four enum bytes decide it, so it is worked out where needed rather than cached beside them.
    int span() const noexcept;
    // True when the entry writes something and all of it lies within a table of `tableSize`.
    bool fitsTables(int tableSize = 500) const noexcept;
    // The stored configuration, current values aside.
    bool sameConfiguration(const RegisterInfo& other) const noexcept;
};

// True when both entries are in the same table and their registers overlap. An entry that
// writes nothing still takes the register at its address, so it collides there.
bool entriesOverlap(const RegisterInfo& a, const RegisterInfo& b) noexcept;

}  // namespace tesmor
