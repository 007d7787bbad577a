#pragma once
// Answers of the identification and diagnostics functions: Read Device Identification (43 with
// MEI type 14), Report Server ID (17) and Diagnostics (8), after the Modbus application
// protocol V1.1b3, sections 6.8, 6.13 and 6.21. Pure functions of their arguments; any thread.
#include <cstdint>
#include <string>
#include <string_view>

#include "TesmorVersion.h"
#include "modbus/Counters.h"
#include "modbus/Pdu.h"

namespace tesmor {

// The objects of Read Device Identification, 0x00 to 0x06, as printable ASCII. The defaults are
// the plug-in's own, the revision its release (TesmorVersion.h); the shell replaces them with what
// its resources and description say.
struct DeviceIdentity {
    std::string vendorName = "tesmor developers";
    std::string productCode = "tesmor";
    std::string revision = TESMOR_VERSION;
    std::string vendorUrl = "https://tesmor.example";
    std::string productName = "Velmar Modbus";
    std::string modelName = "Modbus TCP and RTU slave";
    std::string userApplicationName = "tesmor";
};

// `text` reduced to printable ASCII (other characters dropped, spaces trimmed, runs of spaces
// made one); `fallback` when nothing is left.
std::string printableAscii(std::u16string_view text, std::string_view fallback);

// What the request path needs beside the store. Null members: the defaults above, and counters
// that read 0 and clear nothing.
struct ServerInfo {
    const DeviceIdentity* identity = nullptr;
    TransportCounters* counters = nullptr;
};

// Checks the PDU `p` of `n` bytes (function code included) of function 8 or 43.
RequestVerdict checkDiagnostics(const std::uint8_t* p, int n) noexcept;
RequestVerdict checkDeviceIdentification(const std::uint8_t* p, int n) noexcept;

// Write the reply PDU of a request the check passed into `out` (room for 253 bytes) and return
// its length. Function 8 sub-function 0x0A clears `counters`.
int answerDiagnostics(const std::uint8_t* p, int n, TransportCounters* counters, std::uint8_t* out) noexcept;
int answerDeviceIdentification(const std::uint8_t* p, const DeviceIdentity& identity,
                               std::uint8_t* out) noexcept;
int answerServerId(int unitId, const DeviceIdentity& identity, std::uint8_t* out) noexcept;

// `identity`, or the defaults when it is null.
const DeviceIdentity& identityOrDefault(const DeviceIdentity* identity) noexcept;

}  // namespace tesmor
