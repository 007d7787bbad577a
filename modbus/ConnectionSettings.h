#pragma once
// Parameters of the two Modbus transports, kept in the profile section "Settings".
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Profile.h"

namespace tesmor {

inline constexpr std::u16string_view kSettingsSection = u"Settings";
// Not a connection setting, but kept in the same section and dialog: 1 reports an analysis the
// filters reject without a modal message box; anything else keeps the box.
inline constexpr std::u16string_view kRejectNoticeKey = u"rejectNotice";

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
    // How many TCP masters are served at once; 1 keeps the one-master-at-a-time server.
    std::int32_t maxMasters = 1;
    // Access locks, all off by default: every IPv4 interface, every master, every write.
    std::u16string bindAddress;     // "bindAddress": local IPv4 address the TCP server listens on
    std::u16string allowedMasters;  // "allowedMasters": addresses and CIDR blocks, comma-separated
    std::int32_t writeAccess = 0;   // "writeAccess": 0 any, 1 unpublished registers only, 2 none

    // Modbus/TCP Security; paths and roles as stored (UTF-16, like every profile text).
    struct Tls {
        std::int32_t enabled = 0;  // runs only when 1, like the other transports
        std::int32_t port = 802;
        std::u16string certificate, key, ca, writeRoles;
        bool operator==(const Tls&) const = default;
    } tls;

    // Access and TLS keys that are stored but cannot be read as their type ("writeAccess" as a
    // word, "tlsWriteRoles" as a number, a list or an object): each is replaced by its locked value.
    std::vector<std::u16string> unreadableKeys;

    bool operator==(const ConnectionSettings&) const = default;
};

inline constexpr std::int32_t kMaxMastersLimit = 16;

// Reads the ten keys, then "maxMasters", the access keys and the six TLS keys; a missing key gives
// its default. Values are taken as stored, unchecked, except "maxMasters", clamped to
// 1..kMaxMastersLimit, and the security keys, which fail closed: one stored in a form that cannot
// be read as its type is named in `unreadableKeys` and locks down. "writeAccess" becomes 2 (no
// writes), "isTLS" 0, "tlsWriteRoles" empty (no TLS master writes); "bindAddress" and
// "allowedMasters" keep the stored thing as text (a number in decimal, a list as the store gives
// it), which is no address, so the server listens nowhere or admits nobody. A number stored as text
// is read as that number.
ConnectionSettings loadConnectionSettings(Profile& profile);
// Writes all ten keys, then "maxMasters", then the access keys, then the six TLS keys (the section
// is not emptied first).
void saveConnectionSettings(Profile& profile, const ConnectionSettings& settings);

// The log line for a key of `unreadableKeys`: which key, and what it locks.
std::string unreadableKeyLine(std::u16string_view key);

// The character libmodbus expects for the parity text: its first character ('\0' when empty,
// which libmodbus refuses).
char parityCharacter(std::u16string_view parity) noexcept;

// The device to open for a stored port name: "COMn" (n >= 1) is /dev/ttyS{n-1}; anything else is
// taken as a path. The stored name itself is never changed.
std::string serialDevicePath(std::u16string_view portName);

}  // namespace tesmor
