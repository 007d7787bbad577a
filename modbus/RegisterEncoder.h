#pragma once
// Encodes the current value of one map entry into the register store.
#include <modbus/modbus.h>

#include <array>
#include <cstdint>
#include <string>

#include "modbus/RegisterInfo.h"
#include "platform/Resources.h"

namespace tesmor {

// The eight data-item captions of the current string resources, against which an entry's
// dataItem is compared exactly.
struct ItemCaptions {
    std::u16string mode;           // 138
    std::u16string lastError;      // 143
    std::u16string sampleTime;     // 144
    std::u16string sampleNumber;   // 145
    std::u16string seriesNumber;   // 151
    std::u16string concentration;  // 111
    std::u16string area;           // 129
    std::u16string retentionTime;  // 128
};

// Loads the captions; a missing string gives an empty caption (which matches no non-empty item).
ItemCaptions loadItemCaptions(const StringSource& strings);

// Number of registers (or bits) the entry writes, 0 when its texts match no case.
int registerSpan(const RegisterInfo& entry, const ItemCaptions& captions) noexcept;

// True when the entry writes something and all of it lies within a table of `tableSize` entries.
bool spanFitsTables(const RegisterInfo& entry, const ItemCaptions& captions, int tableSize = 500) noexcept;

// True when both entries are in the same table and their registers overlap. An entry whose
// texts match no case still takes the register at its address, so it collides there.
bool entriesOverlap(const RegisterInfo& a, const RegisterInfo& b, const ItemCaptions& captions) noexcept;

// Writes the entry's value into `store`. Writes nothing when the texts match no case or when
// the registers do not all lie inside the tables. Not synchronised: the caller holds the lock
// that guards the store (ModbusServer::Locked).
void writeRegister(const RegisterInfo& entry, const ItemCaptions& captions, modbus_mapping_t& store) noexcept;

// The two registers of an IEEE 754 single for one of the four byte-order texts, computed from
// the float's bits (Debian's libmodbus 3.1.6 modbus_set_float_* helpers are pairwise swapped).
// Returns false for an unknown byte order.
bool encodeFloat(float value, std::u16string_view byteOrder, std::array<std::uint16_t, 2>& out) noexcept;
// The float that two registers hold in one of the four byte orders, as a master configured for
// that order reads it. Returns false for an unknown byte order.
bool decodeFloat(std::array<std::uint16_t, 2> registers, std::u16string_view byteOrder, float& out) noexcept;

// Round half away from zero to a 32-bit integer and keep its low 16 bits; NaN and values
// outside the 32-bit range give 0.
std::uint16_t roundedLow16(double value) noexcept;

// Day, month, year, hour, minute of `time` in local time (TZ honoured); a time that cannot be
// converted (negative, or past the year 3000) gives 0, 0, 0, 65535, 65535.
std::array<std::uint16_t, 5> sampleTimeRegisters(std::int64_t time) noexcept;

}  // namespace tesmor
