#include "modbus/Diagnostics.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace tesmor {

namespace {

constexpr std::uint8_t kMeiDeviceIdentification = 0x0E;
// Regular identification, stream and individual access (6.21, conformity level).
constexpr std::uint8_t kConformity = 0x82;
constexpr int kMaxPdu = MODBUS_MAX_PDU_LENGTH;  // 253
constexpr int kIdentificationHeader = 7;        // 2B 0E code conformity more next count
constexpr int kLastObject = 0x06;
constexpr int kLastBasicObject = 0x02;

enum Diagnostic : int {
    kReturnQueryData = 0x00,
    kClearCounters = 0x0A,
    kBusMessageCount = 0x0B,
    kBusCommunicationErrorCount = 0x0C,
    kBusExceptionErrorCount = 0x0D,
    kServerMessageCount = 0x0E,
};

const DeviceIdentity& defaultIdentity() {
    static const DeviceIdentity identity;
    return identity;
}

const std::string& object(const DeviceIdentity& d, int id) {
    switch (id) {
        case 0:
            return d.vendorName;
        case 1:
            return d.productCode;
        case 2:
            return d.revision;
        case 3:
            return d.vendorUrl;
        case 4:
            return d.productName;
        case 5:
            return d.modelName;
        default:
            return d.userApplicationName;
    }
}

// An object's value as sent: never empty, and short enough that one object always fits a reply.
std::string_view sentValue(const DeviceIdentity& d, int id) {
    std::string_view v = object(d, id);
    if (v.empty()) v = object(defaultIdentity(), id);
    return v.substr(0, kMaxPdu - kIdentificationHeader - 2);
}

RequestVerdict exception(std::uint8_t code) noexcept { return {RequestVerdict::Exception, code}; }

}  // namespace

std::string printableAscii(std::u16string_view text, std::string_view fallback) {
    std::string out;
    for (const char16_t c : text) {
        const bool printable = c > 0x20 && c < 0x7F;
        if (printable)
            out.push_back(static_cast<char>(c));
        else if (c == u' ' && !out.empty() && out.back() != ' ')
            out.push_back(' ');
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out.empty() ? std::string(fallback) : out;
}

RequestVerdict checkDiagnostics(const std::uint8_t* p, int n) noexcept {
    if (n < 3) return exception(MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
    const int sub = (p[1] << 8) | p[2];
    switch (sub) {
        case kReturnQueryData:
            return {RequestVerdict::Reply, 0};
        case kClearCounters:
        case kBusMessageCount:
        case kBusCommunicationErrorCount:
        case kBusExceptionErrorCount:
        case kServerMessageCount:
            if (n != 5 || p[3] != 0 || p[4] != 0) return exception(MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
            return {RequestVerdict::Reply, 0};
        default:
            return exception(MODBUS_EXCEPTION_ILLEGAL_FUNCTION);
    }
}

RequestVerdict checkDeviceIdentification(const std::uint8_t* p, int n) noexcept {
    // Only MEI type 14 is served; CANopen general reference (13) is not.
    if (n < 2 || p[1] != kMeiDeviceIdentification) return exception(MODBUS_EXCEPTION_ILLEGAL_FUNCTION);
    if (n != 4) return exception(MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
    const int code = p[2];
    // No extended objects (code 03) at conformity 0x82.
    if (code != 1 && code != 2 && code != 4) return exception(MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
    if (code == 4 && p[3] > kLastObject) return exception(MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS);
    return {RequestVerdict::Reply, 0};
}

int answerDiagnostics(const std::uint8_t* p, int n, TransportCounters* counters, std::uint8_t* out) noexcept {
    std::memcpy(out, p, static_cast<std::size_t>(n));  // sub-function and data echoed
    const int sub = (p[1] << 8) | p[2];
    if (sub == kReturnQueryData) return n;
    if (sub == kClearCounters) {
        if (counters) counters->clear();
        return n;
    }
    const CounterSnapshot s = counters ? counters->snapshot() : CounterSnapshot{};
    std::uint64_t value = 0;
    switch (sub) {
        case kBusMessageCount:
            value = s.busMessages;
            break;
        case kBusCommunicationErrorCount:
            value = s.commErrors;
            break;
        case kBusExceptionErrorCount:
            value = s.exceptions;
            break;
        default:
            value = s.requests;
            break;  // server message count: exceptions included
    }
    // 16-bit counters roll over (6.8.1).
    out[3] = static_cast<std::uint8_t>(value >> 8);
    out[4] = static_cast<std::uint8_t>(value);
    return 5;
}

int answerDeviceIdentification(const std::uint8_t* p, const DeviceIdentity& identity,
                               std::uint8_t* out) noexcept {
    const int code = p[2];
    int first = p[3];
    int last = first;
    if (code != 4) {
        last = code == 1 ? kLastBasicObject : kLastObject;
        if (first > last) first = 0;  // a stream asked to start at an object the server lacks starts again
    }
    out[0] = kFunctionMei;
    out[1] = kMeiDeviceIdentification;
    out[2] = static_cast<std::uint8_t>(code);
    out[3] = kConformity;
    out[4] = 0x00;  // more follows
    out[5] = 0x00;  // next object id
    int length = kIdentificationHeader;
    int count = 0;
    for (int id = first; id <= last; ++id) {
        const std::string_view v = sentValue(identity, id);
        if (length + 2 + static_cast<int>(v.size()) > kMaxPdu) {
            out[4] = 0xFF;
            out[5] = static_cast<std::uint8_t>(id);
            break;
        }
        out[length] = static_cast<std::uint8_t>(id);
        out[length + 1] = static_cast<std::uint8_t>(v.size());
        std::memcpy(out + length + 2, v.data(), v.size());
        length += 2 + static_cast<int>(v.size());
        ++count;
    }
    out[6] = static_cast<std::uint8_t>(count);
    return length;
}

int answerServerId(int unitId, const DeviceIdentity& identity, std::uint8_t* out) noexcept {
    std::string_view name = sentValue(identity, 4);
    std::string_view revision = sentValue(identity, 2);
    // Function, byte count, server id and run indicator, then the text; the byte count is one byte.
    const std::size_t room = kMaxPdu - 4;
    const std::size_t nameLength = std::min(name.size(), room);
    out[0] = kFunctionServerId;
    out[2] = static_cast<std::uint8_t>(unitId);
    out[3] = 0xFF;  // run indicator: on
    std::size_t length = 0;
    std::memcpy(out + 4, name.data(), nameLength);
    length += nameLength;
    if (length + 1 + revision.size() <= room) {
        out[4 + length] = ' ';
        std::memcpy(out + 5 + length, revision.data(), revision.size());
        length += 1 + revision.size();
    }
    out[1] = static_cast<std::uint8_t>(2 + length);
    return static_cast<int>(4 + length);
}

std::string countersLine(Transport transport, const CounterSnapshot& s) {
    std::string line = transport == Transport::Rtu
                           ? "rtu "
                           : (transport == Transport::Tls ? "tls" : "tcp") + std::string(" masters=") +
                                 std::to_string(s.masters) + " ";
    line += "requests=" + std::to_string(s.requests) + " exceptions=" + std::to_string(s.exceptions) +
            " dropped=" + std::to_string(s.dropped) + " last=";
    if (s.lastAnsweredMs == 0) return line + "-";
    const std::time_t t = static_cast<std::time_t>(s.lastAnsweredMs / 1000);
    std::tm local{};
    localtime_r(&t, &local);
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02d", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    return line + stamp;
}

const DeviceIdentity& identityOrDefault(const DeviceIdentity* identity) noexcept {
    return identity ? *identity : defaultIdentity();
}

}  // namespace tesmor
