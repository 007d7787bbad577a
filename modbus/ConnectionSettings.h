#pragma once
// Parameters of the two Modbus transports, kept in the profile section "Settings".
#include <cstdint>
#include <string>

#include "platform/Profile.h"

namespace tesmor {

inline constexpr std::u16string_view kSettingsSection = u"Settings";

struct ConnectionSettings {
    std::int32_t tcpUnitId = 1;
    std::int32_t tcpPort = 502;
    std::int32_t rtuUnitId = 1;
    std::u16string portName = u"COM1";
    std::int32_t baudRate = 9600;
    std::int32_t dataBits = 8;
    std::u16string parity = u"None";
    std::int32_t stopBits = 1;
    // A transport starts only when its flag equals 1; other values leave it off.
    std::int32_t tcpEnabled = 0;
    std::int32_t rtuEnabled = 0;

    // Modbus/TCP Security; paths and roles as stored (UTF-16, like every profile text).
    struct Tls {
        std::int32_t enabled = 0;  // runs only when 1, like the other transports
        std::int32_t port = 802;
        std::u16string certificate, key, ca, writeRoles;
        bool operator==(const Tls&) const = default;
    } tls;

    bool operator==(const ConnectionSettings&) const = default;
};

// Reads the ten keys, then the six TLS keys; a missing key gives its default. Values are taken as
// stored, unchecked.
ConnectionSettings loadConnectionSettings(Profile& profile);
// Writes the ten keys (the section is not emptied first); the TLS keys are left as they are.
void saveConnectionSettings(Profile& profile, const ConnectionSettings& settings);

// The character libmodbus expects for the parity text: its first character ('\0' when empty,
// which libmodbus refuses).
char parityCharacter(std::u16string_view parity) noexcept;

// The device to open for a stored port name: "COMn" (n >= 1) is /dev/ttyS{n-1}; anything else is
// taken as a path. The stored name itself is never changed.
std::string serialDevicePath(std::u16string_view portName);

}  // namespace tesmor
