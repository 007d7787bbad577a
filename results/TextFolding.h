#pragma once
// Case folding and checksums on texts of the results, independent of the process locale.
#include <cstdint>
#include <string>
#include <string_view>

namespace tesmor {

// A lower-case copy: Unicode simple lower case, so Latin and Cyrillic capitals fold alike.
// Never touches the process locale. Thread-safe.
std::u16string foldCase(std::u16string_view text);

// The sample number of an analysis from its uuid: CRC-16/UMTS (polynomial 0x8005, initial 0, no
// reflection, no final XOR); "123456789" gives 0xFEE8. Not the frame check of Modbus RTU.
std::uint16_t crc16(std::string_view bytes) noexcept;

}  // namespace tesmor
