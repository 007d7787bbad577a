#include "modbus/ConnectionSettings.h"

#include <algorithm>

#include "platform/Text.h"

namespace tesmor {

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
    s.bindAddress = profile.getString(section, u"bindAddress", d.bindAddress);
    s.allowedMasters = profile.getString(section, u"allowedMasters", d.allowedMasters);
    s.writeAccess = profile.getInt(section, u"writeAccess", d.writeAccess);
    s.tls.enabled = profile.getInt(section, u"isTLS", d.tls.enabled);
    s.tls.port = profile.getInt(section, u"tlsPort", d.tls.port);
    s.tls.certificate = profile.getString(section, u"tlsCertificate", d.tls.certificate);
    s.tls.key = profile.getString(section, u"tlsKey", d.tls.key);
    s.tls.ca = profile.getString(section, u"tlsCA", d.tls.ca);
    s.tls.writeRoles = profile.getString(section, u"tlsWriteRoles", d.tls.writeRoles);
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
