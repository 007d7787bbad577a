#include "modbus/ConnectionSettings.h"

#include <algorithm>
#include <charconv>
#include <optional>

#include "modbus/AccessRules.h"
#include "platform/Text.h"

namespace tesmor {
namespace {

std::optional<std::int32_t> decimal(std::u16string_view text) {
    const std::string narrow = toUtf8(trimBlanks(text));
    std::int32_t value = 0;
    const auto [end, error] = std::from_chars(narrow.data(), narrow.data() + narrow.size(), value);
    if (narrow.empty() || error != std::errc() || end != narrow.data() + narrow.size()) return std::nullopt;
    return value;
}

// Whether the store holds an int under the key (one read when it differs from 0).
bool holdsInt(Profile& profile, std::u16string_view key, std::int32_t& value) {
    value = profile.getInt(kSettingsSection, key, 0);
    return value != 0 || profile.getInt(kSettingsSection, key, 1) != 1;
}

// No profile store hands out this text for a key it does not hold.
constexpr std::u16string_view kAbsent = u"\x01absent\x01";

// The security keys read so that a stored value of another type fails closed instead of reading as
// missing, which would open the lock.
class SecurityReader {
public:
    SecurityReader(Profile& profile, std::vector<std::u16string>& unreadable)
        : profile_(profile), unreadable_(unreadable) {}

    std::int32_t integer(std::u16string_view key, std::int32_t defaultValue, std::int32_t locked) {
        std::int32_t value = 0;
        if (holdsInt(profile_, key, value)) return value;
        const std::u16string text = profile_.getString(kSettingsSection, key, kAbsent);
        if (text == kAbsent) return defaultValue;
        // A host that keeps every value as text may not convert it itself.
        if (const auto number = decimal(text)) return *number;
        unreadable_.emplace_back(key);
        return locked;
    }
    // `keepAsText`: the stored thing is kept as text, to be refused by the key's own check.
    std::u16string text(std::u16string_view key, bool keepAsText) {
        const std::u16string text = profile_.getString(kSettingsSection, key, kAbsent);
        if (text != kAbsent) {
            // A list or an object, which a store of typed values hands out as its JSON text.
            const auto first = text.find_first_not_of(u' ');
            if (keepAsText || first == std::u16string::npos || (text[first] != u'[' && text[first] != u'{'))
                return text;
            unreadable_.emplace_back(key);
            return {};
        }
        std::int32_t number = 0;
        if (!holdsInt(profile_, key, number)) return {};
        if (keepAsText) return toUtf16(std::to_string(number));
        unreadable_.emplace_back(key);
        return {};
    }

private:
    Profile& profile_;
    std::vector<std::u16string>& unreadable_;
};

}  // namespace

std::string unreadableKeyLine(std::u16string_view key) {
    const std::string what = key == u"writeAccess"     ? "a number; masters may write nothing"
                             : key == u"isTLS"         ? "a number; Modbus/TCP Security stays off"
                             : key == u"tlsWriteRoles" ? "a text; no TLS master may write"
                                                       : "its type; it locks";
    return "Settings: \"" + toUtf8(key) + "\" is stored in a form that cannot be read as " + what;
}

ConnectionSettings loadConnectionSettings(Profile& profile) {
    const ConnectionSettings d;
    ConnectionSettings s;
    const auto section = kSettingsSection;
    // The read order is part of the contract with hosts that log profile access.
    s.tcpUnitId = profile.getInt(section, u"TCPId", d.tcpUnitId);
    s.tcpPort = profile.getInt(section, u"localPort", d.tcpPort);
    s.rtuEnabled = profile.getInt(section, u"isRTU", d.rtuEnabled);
    s.tcpEnabled = profile.getInt(section, u"isTCP", d.tcpEnabled);
    s.rtuUnitId = profile.getInt(section, u"RTUId", d.rtuUnitId);
    s.portName = profile.getString(section, u"portName", d.portName);
    s.baudRate = profile.getInt(section, u"baud", d.baudRate);
    s.dataBits = profile.getInt(section, u"dataBits", d.dataBits);
    s.parity = profile.getString(section, u"parity", d.parity);
    s.stopBits = profile.getInt(section, u"stopBits", d.stopBits);
    s.maxMasters = std::clamp(profile.getInt(section, u"maxMasters", d.maxMasters), 1, kMaxMastersLimit);
    SecurityReader secure(profile, s.unreadableKeys);
    s.bindAddress = secure.text(u"bindAddress", true);
    s.allowedMasters = secure.text(u"allowedMasters", true);
    s.writeAccess = secure.integer(u"writeAccess", d.writeAccess, static_cast<int>(WriteAccess::None));
    s.tls.enabled = secure.integer(u"isTLS", d.tls.enabled, 0);
    s.tls.port = profile.getInt(section, u"tlsPort", d.tls.port);
    s.tls.certificate = profile.getString(section, u"tlsCertificate", d.tls.certificate);
    s.tls.key = profile.getString(section, u"tlsKey", d.tls.key);
    s.tls.ca = profile.getString(section, u"tlsCA", d.tls.ca);
    s.tls.writeRoles = secure.text(u"tlsWriteRoles", false);
    return s;
}

void saveConnectionSettings(Profile& profile, const ConnectionSettings& s) {
    const auto section = kSettingsSection;
    profile.setInt(section, u"TCPId", s.tcpUnitId);
    profile.setInt(section, u"localPort", s.tcpPort);
    profile.setInt(section, u"RTUId", s.rtuUnitId);
    profile.setString(section, u"portName", s.portName);
    profile.setInt(section, u"baud", s.baudRate);
    profile.setInt(section, u"dataBits", s.dataBits);
    profile.setString(section, u"parity", s.parity);
    profile.setInt(section, u"stopBits", s.stopBits);
    profile.setInt(section, u"isRTU", s.rtuEnabled);
    profile.setInt(section, u"isTCP", s.tcpEnabled);
    profile.setInt(section, u"maxMasters", s.maxMasters);
    profile.setString(section, u"bindAddress", s.bindAddress);
    profile.setString(section, u"allowedMasters", s.allowedMasters);
    profile.setInt(section, u"writeAccess", s.writeAccess);
    profile.setInt(section, u"isTLS", s.tls.enabled);
    profile.setInt(section, u"tlsPort", s.tls.port);
    profile.setString(section, u"tlsCertificate", s.tls.certificate);
    profile.setString(section, u"tlsKey", s.tls.key);
    profile.setString(section, u"tlsCA", s.tls.ca);
    profile.setString(section, u"tlsWriteRoles", s.tls.writeRoles);
}

char parityCharacter(std::u16string_view parity) noexcept {
    if (parity.empty() || parity.front() > 0x7F) return '\0';
    return static_cast<char>(parity.front());
}

std::string serialDevicePath(std::u16string_view portName) {
    if (portName.size() > 3 && portName.substr(0, 3) == u"COM") {
        unsigned long n = 0;
        bool digits = portName.size() <= 3 + 9;
        for (char16_t c : portName.substr(3)) {
            if (c < u'0' || c > u'9') {
                digits = false;
                break;
            }
            n = n * 10 + (c - u'0');
        }
        if (digits && n >= 1) return "/dev/ttyS" + std::to_string(n - 1);
    }
    return toUtf8(portName);
}

}  // namespace tesmor
