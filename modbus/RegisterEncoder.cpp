#include "modbus/RegisterEncoder.h"

#include <bit>
#include <cmath>
#include <ctime>
#include <optional>

#include "platform/ResourceIds.h"

namespace tesmor {

namespace {

enum class Table { None, Coils, DiscreteInputs, InputRegisters, HoldingRegisters };

Table tableOf(std::u16string_view type) noexcept {
    if (type == texts::coilStatus) return Table::Coils;
    if (type == texts::inputStatus) return Table::DiscreteInputs;
    if (type == texts::inputRegisters) return Table::InputRegisters;
    if (type == texts::holdingRegisters) return Table::HoldingRegisters;
    return Table::None;
}

// The value of a peak item; none for the other items.
std::optional<float> peakValue(const RegisterInfo& e, const ItemCaptions& c) noexcept {
    if (e.dataItem == c.concentration) return e.concentration;
    if (e.dataItem == c.area) return e.area;
    if (e.dataItem == c.retentionTime) return e.retentionTime;
    return std::nullopt;
}

bool knownByteOrder(std::u16string_view order) noexcept {
    return order == texts::bigEndian || order == texts::littleEndian || order == texts::bigEndianByteSwap ||
           order == texts::littleEndianByteSwap;
}

bool isIntItem(const RegisterInfo& e, const ItemCaptions& c) noexcept {
    return e.dataItem == c.sampleNumber || e.dataItem == c.seriesNumber || e.dataItem == c.mode ||
           e.dataItem == c.lastError || peakValue(e, c).has_value();
}

// Windows' 64-bit time conversion ends with 3000-12-31 23:59:59 UTC; later times count as unset.
constexpr std::int64_t kLastConvertibleTime = 32535215999;

}  // namespace

ItemCaptions loadItemCaptions(const StringSource& strings) {
    auto load = [&](unsigned id) {
        auto text = strings.loadString(id);
        if (text.size() > 255) text.resize(255);  // a caption holds at most 255 characters
        return text;
    };
    return ItemCaptions{load(res::kItemMode),         load(res::kItemLastError),
                        load(res::kItemSampleTime),   load(res::kItemSampleNumber),
                        load(res::kItemSeriesNumber), load(res::kItemConcentration),
                        load(res::kItemArea),         load(res::kItemRetentionTime)};
}

int registerSpan(const RegisterInfo& e, const ItemCaptions& c) noexcept {
    const Table table = tableOf(e.registerType);
    if (table == Table::None) return 0;
    if (table == Table::Coils || table == Table::DiscreteInputs) return peakValue(e, c) ? 1 : 0;
    if (e.dataType == texts::typeBool) return peakValue(e, c) ? 1 : 0;
    if (e.dataType == texts::typeFloat) return knownByteOrder(e.byteOrder) && peakValue(e, c) ? 2 : 0;
    if (e.dataType == texts::typeInt) {
        if (e.dataItem == c.sampleTime) return 5;
        return isIntItem(e, c) ? 1 : 0;
    }
    return 0;
}

bool spanFitsTables(const RegisterInfo& e, const ItemCaptions& c, int tableSize) noexcept {
    const int span = registerSpan(e, c);
    return span > 0 && e.address >= 0 && static_cast<std::int64_t>(e.address) + span <= tableSize;
}

bool entriesOverlap(const RegisterInfo& a, const RegisterInfo& b, const ItemCaptions& c) noexcept {
    const Table table = tableOf(a.registerType);
    if (table == Table::None || table != tableOf(b.registerType)) return false;
    const std::int64_t aEnd = static_cast<std::int64_t>(a.address) + std::max(registerSpan(a, c), 1);
    const std::int64_t bEnd = static_cast<std::int64_t>(b.address) + std::max(registerSpan(b, c), 1);
    return a.address < bEnd && b.address < aEnd;
}

bool encodeFloat(float value, std::u16string_view order, std::array<std::uint16_t, 2>& out) noexcept {
    const auto bits = std::bit_cast<std::uint32_t>(value);
    const std::uint16_t ab = static_cast<std::uint16_t>(bits >> 16);
    const std::uint16_t cd = static_cast<std::uint16_t>(bits);
    auto swap = [](std::uint16_t w) { return static_cast<std::uint16_t>((w << 8) | (w >> 8)); };
    if (order == texts::bigEndian)
        out = {ab, cd};  // A B C D
    else if (order == texts::littleEndian)
        out = {swap(cd), swap(ab)};  // D C B A
    else if (order == texts::bigEndianByteSwap)
        out = {swap(ab), swap(cd)};  // B A D C
    else if (order == texts::littleEndianByteSwap)
        out = {cd, ab};  // C D A B
    else
        return false;
    return true;
}

bool decodeFloat(std::array<std::uint16_t, 2> r, std::u16string_view order, float& out) noexcept {
    auto swap = [](std::uint16_t w) { return static_cast<std::uint16_t>((w << 8) | (w >> 8)); };
    std::uint16_t ab = 0;
    std::uint16_t cd = 0;
    if (order == texts::bigEndian)
        ab = r[0], cd = r[1];
    else if (order == texts::littleEndian)
        ab = swap(r[1]), cd = swap(r[0]);
    else if (order == texts::bigEndianByteSwap)
        ab = swap(r[0]), cd = swap(r[1]);
    else if (order == texts::littleEndianByteSwap)
        ab = r[1], cd = r[0];
    else
        return false;
    out = std::bit_cast<float>(static_cast<std::uint32_t>((std::uint32_t(ab) << 16) | cd));
    return true;
}

std::uint16_t roundedLow16(double value) noexcept {
    if (std::isnan(value)) return 0;
    const double r = std::round(value);  // halves away from zero
    if (r < -2147483648.0 || r > 2147483647.0) return 0;
    return static_cast<std::uint16_t>(static_cast<std::uint32_t>(static_cast<std::int32_t>(r)));
}

std::array<std::uint16_t, 5> sampleTimeRegisters(std::int64_t time) noexcept {
    constexpr std::array<std::uint16_t, 5> unset{0, 0, 0, 65535, 65535};
    if (time < 0 || time > kLastConvertibleTime) return unset;
    const std::time_t t = static_cast<std::time_t>(time);
    std::tm tm{};
    if (!localtime_r(&t, &tm)) return unset;
    return {static_cast<std::uint16_t>(tm.tm_mday), static_cast<std::uint16_t>(tm.tm_mon + 1),
            static_cast<std::uint16_t>(tm.tm_year + 1900), static_cast<std::uint16_t>(tm.tm_hour),
            static_cast<std::uint16_t>(tm.tm_min)};
}

void writeRegister(const RegisterInfo& e, const ItemCaptions& c, modbus_mapping_t& store) noexcept {
    if (!spanFitsTables(e, c)) return;
    const auto a = static_cast<std::size_t>(e.address);
    const Table table = tableOf(e.registerType);

    if (table == Table::Coils || table == Table::DiscreteInputs) {
        const std::uint8_t bit = *peakValue(e, c) != 0.0f ? 1 : 0;  // NaN counts as not 0
        (table == Table::Coils ? store.tab_bits : store.tab_input_bits)[a] = bit;
        return;
    }

    std::uint16_t* regs = table == Table::HoldingRegisters ? store.tab_registers : store.tab_input_registers;
    if (e.dataType == texts::typeBool) {
        regs[a] = *peakValue(e, c) != 0.0f ? 1 : 0;
    } else if (e.dataType == texts::typeFloat) {
        std::array<std::uint16_t, 2> words{};
        if (encodeFloat(*peakValue(e, c), e.byteOrder, words)) {
            regs[a] = words[0];
            regs[a + 1] = words[1];
        }
    } else if (e.dataItem == c.sampleTime) {
        const auto five = sampleTimeRegisters(e.sampleTime);
        for (std::size_t i = 0; i < five.size(); ++i) regs[a + i] = five[i];
    } else if (e.dataItem == c.sampleNumber) {
        regs[a] = e.sampleNumber;
    } else if (e.dataItem == c.seriesNumber) {
        regs[a] = static_cast<std::uint16_t>(e.seriesNumber);
    } else if (e.dataItem == c.mode) {
        regs[a] = static_cast<std::uint16_t>(e.mode);
    } else if (e.dataItem == c.lastError) {
        regs[a] = static_cast<std::uint16_t>(e.lastError);
    } else if (auto v = peakValue(e, c)) {
        regs[a] = roundedLow16(*v);
    }
}

}  // namespace tesmor
