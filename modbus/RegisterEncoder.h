#pragma once
// Encodes the current value of one map entry into the register store.
#include <modbus/modbus.h>

#include <array>
#include <cstdint>

#include "modbus/RegisterInfo.h"

namespace tesmor {

// Writes the entry's value into `store`. Writes nothing for a combination that writes nothing or
// when the registers do not all lie inside the tables. Not synchronised: the caller holds the
// lock that guards the store (ModbusServer::Locked).
void writeRegister(const RegisterInfo& entry, modbus_mapping_t& store) noexcept;

// The two registers of an IEEE 754 single in one of the four byte orders, computed from the
// float's bits (Debian's libmodbus 3.1.6 modbus_set_float_* helpers are pairwise swapped).
// Returns false for ByteOrder::None.
bool encodeFloat(float value, ByteOrder byteOrder, std::array<std::uint16_t, 2>& out) noexcept;
// The float that two registers hold in one of the four byte orders, as a master configured for
// that order reads it. Returns false for ByteOrder::None.
bool decodeFloat(std::array<std::uint16_t, 2> registers, ByteOrder byteOrder, float& out) noexcept;

// Round half away from zero to a 32-bit integer and keep its low 16 bits; NaN and values
// outside the 32-bit range give 0.
std::uint16_t roundedLow16(double value) noexcept;

// Day, month, year, hour, minute of `time` in local time (TZ honoured); a time that cannot be
// converted (negative, or past the year 3000) gives 0, 0, 0, 65535, 65535.
std::array<std::uint16_t, 5> sampleTimeRegisters(std::int64_t time) noexcept;

}  // namespace tesmor
