#pragma once
// The words of the Modbus protocol every part of modbus/ speaks: transport kinds, the verdict on a
// request, the function codes libmodbus does not name, big-endian words and the frame check of
// Modbus over serial line. No other modbus/ header is needed here, so any of them may include it.
#include <modbus/modbus.h>

#include <cstddef>
#include <cstdint>

namespace tesmor {

// Tls is Modbus/TCP Security: TCP framing (MBAP header) inside TLS.
enum class Transport { Tcp, Rtu, Tls };

struct RequestVerdict {
    enum Action { Reply, Exception, Drop };
    Action action = Drop;
    std::uint8_t exception = 0;  // the exception code when action is Exception

    bool operator==(const RequestVerdict&) const = default;
};

// Who a master is for its acknowledge in the record block: the peer's IPv4 address on TCP and
// TLS (the same master on both), the serial line on RTU.
using MasterKey = std::uint64_t;
inline constexpr MasterKey kRtuMaster = MasterKey{1} << 32;
inline constexpr MasterKey tcpMaster(std::uint32_t ipv4) noexcept { return ipv4; }

// Room for any answer of either transport.
inline constexpr int kMaxReply = MODBUS_TCP_MAX_ADU_LENGTH;

// Function codes libmodbus has no name for.
inline constexpr std::uint8_t kFunctionDiagnostics = 0x08;
inline constexpr std::uint8_t kFunctionServerId = 0x11;
inline constexpr std::uint8_t kFunctionMei = 0x2B;

// A big-endian 16-bit field of a PDU.
inline int pduWord(const std::uint8_t* p) noexcept { return (p[0] << 8) | p[1]; }
inline void putPduWord(std::uint8_t* p, int v) noexcept {
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}

// The frame check of Modbus over serial line (V1.02, 6.2.2); sent low byte first.
std::uint16_t modbusFrameCrc(const std::uint8_t* data, std::size_t length) noexcept;

}  // namespace tesmor
