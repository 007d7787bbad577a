#include "modbus/RegisterInfo.h"

#include <algorithm>
#include <array>
#include <tuple>

namespace tesmor {

namespace {

constexpr std::array<std::u16string_view, 5> kTables{u"", u"Coil Status (0x)", u"Input Status (1x)",
                                                     u"Input Registers (3x)", u"Holding Registers (4x)"};
constexpr std::array<std::u16string_view, 4> kDataTypes{u"", u"BOOL", u"FLOAT", u"INT"};
constexpr std::array<std::u16string_view, 5> kByteOrders{u"", u"Big-endian", u"Little-endian",
                                                         u"Big-endian byte swap", u"Little-endian byte swap"};

template <typename Enum, std::size_t N>
Enum find(const std::array<std::u16string_view, N>& texts, std::u16string_view text) noexcept {
    for (std::size_t i = 1; i < N; ++i)
        if (texts[i] == text) return static_cast<Enum>(i);
    return Enum::None;
}

bool isPeakItem(DataItem item) noexcept { return sourceOf(item) == Source::Peak; }

}  // namespace

Source sourceOf(DataItem item) noexcept {
    switch (item) {
        case DataItem::Mode:
        case DataItem::LastError:
            return Source::Device;
        case DataItem::SampleTime:
        case DataItem::SampleNumber:
        case DataItem::SeriesNumber:
            return Source::Chromatogram;
        case DataItem::Concentration:
        case DataItem::Area:
        case DataItem::RetentionTime:
            return Source::Peak;
        case DataItem::None:
            break;
    }
    return Source::None;
}

bool isBitTable(Table table) noexcept { return table == Table::Coils || table == Table::DiscreteInputs; }

std::u16string_view tableText(Table t) noexcept { return kTables[static_cast<std::size_t>(t)]; }
std::u16string_view dataTypeText(DataType t) noexcept { return kDataTypes[static_cast<std::size_t>(t)]; }
std::u16string_view byteOrderText(ByteOrder o) noexcept { return kByteOrders[static_cast<std::size_t>(o)]; }
Table tableOf(std::u16string_view text) noexcept { return find<Table>(kTables, text); }
DataType dataTypeOf(std::u16string_view text) noexcept { return find<DataType>(kDataTypes, text); }
ByteOrder byteOrderOf(std::u16string_view text) noexcept { return find<ByteOrder>(kByteOrders, text); }

int RegisterInfo::span() const noexcept {
    if (table == Table::None) return 0;
    if (isBitTable(table)) return isPeakItem(dataItem) ? 1 : 0;
    switch (dataType) {
        case DataType::Bool:
            return isPeakItem(dataItem) ? 1 : 0;
        case DataType::Float:
            return byteOrder != ByteOrder::None && isPeakItem(dataItem) ? 2 : 0;
        case DataType::Int:
            return dataItem == DataItem::SampleTime ? 5 : dataItem != DataItem::None ? 1 : 0;
        case DataType::None:
            break;
    }
    return 0;
}

bool RegisterInfo::fitsTables(int tableSize) const noexcept {
    const int n = span();
    return n > 0 && address >= 0 && static_cast<std::int64_t>(address) + n <= tableSize;
}

bool RegisterInfo::sameConfiguration(const RegisterInfo& o) const noexcept {
    const auto stored = [](const RegisterInfo& e) {
        return std::tie(e.source, e.deviceName, e.component, e.address, e.table, e.dataType, e.byteOrder,
                        e.dataItem, e.unknown);
    };
    return stored(*this) == stored(o);
}

bool entriesOverlap(const RegisterInfo& a, const RegisterInfo& b) noexcept {
    if (a.table == Table::None || a.table != b.table) return false;
    const std::int64_t aEnd = static_cast<std::int64_t>(a.address) + std::max(a.span(), 1);
    const std::int64_t bEnd = static_cast<std::int64_t>(b.address) + std::max(b.span(), 1);
    return a.address < bEnd && b.address < aEnd;
}

}  // namespace tesmor
