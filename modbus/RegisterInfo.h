#pragma once
// One entry of the register map: where a value of the host goes in the register store.
#include <cstdint>
#include <string>

namespace tesmor {

// Fixed texts of the register types, data types and byte orders, compared exactly.
namespace texts {
inline constexpr std::u16string_view coilStatus = u"Coil Status (0x)";
inline constexpr std::u16string_view inputStatus = u"Input Status (1x)";
inline constexpr std::u16string_view inputRegisters = u"Input Registers (3x)";
inline constexpr std::u16string_view holdingRegisters = u"Holding Registers (4x)";
inline constexpr std::u16string_view typeBool = u"BOOL";
inline constexpr std::u16string_view typeFloat = u"FLOAT";
inline constexpr std::u16string_view typeInt = u"INT";
inline constexpr std::u16string_view bigEndian = u"Big-endian";
inline constexpr std::u16string_view littleEndian = u"Little-endian";
inline constexpr std::u16string_view bigEndianByteSwap = u"Big-endian byte swap";
inline constexpr std::u16string_view littleEndianByteSwap = u"Little-endian byte swap";
}  // namespace texts

struct RegisterInfo {
    // Configuration, stored in the profile.
    std::u16string source;
    std::u16string deviceName;
    std::u16string component;
    std::int32_t address = -1;  // -1 marks no entry

    // Current values, never stored.
    std::int32_t lastError = 0;
    std::int32_t mode = 0;
    std::int64_t sampleTime = -1;  // seconds since 1970-01-01 UTC; -1 = not set
    std::uint16_t sampleNumber = 65535;
    std::int32_t seriesNumber = -1;
    float concentration = 0;
    float area = 0;
    float retentionTime = 0;

    // Configuration, stored in the profile.
    std::u16string registerType;
    std::u16string dataType;
    std::u16string byteOrder;
    std::u16string dataItem;
};

}  // namespace tesmor
