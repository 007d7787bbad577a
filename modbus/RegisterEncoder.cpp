#include "modbus/RegisterEncoder.h"

#include <bit>
#include <cmath>
#include <ctime>
#include <optional>

namespace tesmor {

namespace {

// The value of a peak item; none for the other items.
std::optional<float> peakValue(const RegisterInfo& e) noexcept {
    switch (e.dataItem) {
        case DataItem::Concentration:
            return e.values.concentration;
        case DataItem::Area:
            return e.values.area;
        case DataItem::RetentionTime:
            return e.values.retentionTime;
        default:
            return std::nullopt;
    }
}

// Windows' 64-bit time conversion ends with 3000-12-31 23:59:59 UTC; later times count as unset.
constexpr std::int64_t kLastConvertibleTime = 32535215999;

}  // namespace

bool encodeFloat(float value, ByteOrder order, std::array<std::uint16_t, 2>& out) noexcept {
    const auto bits = std::bit_cast<std::uint32_t>(value);
    const std::uint16_t ab = static_cast<std::uint16_t>(bits >> 16);
    const std::uint16_t cd = static_cast<std::uint16_t>(bits);
    auto swap = [](std::uint16_t w) { return static_cast<std::uint16_t>((w << 8) | (w >> 8)); };
    if (order == ByteOrder::BigEndian)
        out = {ab, cd};  // A B C D
    else if (order == ByteOrder::LittleEndian)
        out = {swap(cd), swap(ab)};  // D C B A
    else if (order == ByteOrder::BigEndianByteSwap)
        out = {swap(ab), swap(cd)};  // B A D C
    else if (order == ByteOrder::LittleEndianByteSwap)
        out = {cd, ab};  // C D A B
    else
        return false;
    return true;
}

bool decodeFloat(std::array<std::uint16_t, 2> r, ByteOrder order, float& out) noexcept {
    auto swap = [](std::uint16_t w) { return static_cast<std::uint16_t>((w << 8) | (w >> 8)); };
    std::uint16_t ab = 0;
    std::uint16_t cd = 0;
    if (order == ByteOrder::BigEndian)
        ab = r[0], cd = r[1];
    else if (order == ByteOrder::LittleEndian)
        ab = swap(r[1]), cd = swap(r[0]);
    else if (order == ByteOrder::BigEndianByteSwap)
        ab = swap(r[0]), cd = swap(r[1]);
    else if (order == ByteOrder::LittleEndianByteSwap)
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

void writeRegister(const RegisterInfo& e, modbus_mapping_t& store) noexcept {
    if (!e.fitsTables()) return;
    const auto a = static_cast<std::size_t>(e.address);
    const CurrentValues& v = e.values;

    if (isBitTable(e.table)) {
        const std::uint8_t bit = *peakValue(e) != 0.0f ? 1 : 0;  // NaN counts as not 0
        (e.table == Table::Coils ? store.tab_bits : store.tab_input_bits)[a] = bit;
        return;
    }

    std::uint16_t* regs =
        e.table == Table::HoldingRegisters ? store.tab_registers : store.tab_input_registers;
    if (e.dataType == DataType::Bool) {
        regs[a] = *peakValue(e) != 0.0f ? 1 : 0;
        return;
    }
    if (e.dataType == DataType::Float) {
        std::array<std::uint16_t, 2> words{};
        if (encodeFloat(*peakValue(e), e.byteOrder, words)) {
            regs[a] = words[0];
            regs[a + 1] = words[1];
        }
        return;
    }
    switch (e.dataItem) {
        case DataItem::SampleTime: {
            const auto five = sampleTimeRegisters(v.sampleTime);
            for (std::size_t i = 0; i < five.size(); ++i) regs[a + i] = five[i];
            break;
        }
        case DataItem::SampleNumber:
            regs[a] = v.sampleNumber;
            break;
        case DataItem::SeriesNumber:
            regs[a] = static_cast<std::uint16_t>(v.seriesNumber);
            break;
        case DataItem::Mode:
            regs[a] = static_cast<std::uint16_t>(v.mode);
            break;
        case DataItem::LastError:
            regs[a] = static_cast<std::uint16_t>(v.lastError);
            break;
        default:
            regs[a] = roundedLow16(*peakValue(e));
            break;
    }
}

}  // namespace tesmor
