#pragma once
// The frame trace for bug reports: every request and reply in hex, with the transport, the
// master's address (the serial device for RTU) and a time stamp, as log lines. Off by default;
// switched on by TESMOR_MODBUS_TRACE=1 in the environment of the process or by setFrameTrace.
// When off it costs the transports one relaxed load per frame. Any thread.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "modbus/RequestCheck.h"

namespace tesmor {

namespace detail {
extern std::atomic<bool> frameTraceOn;
}

inline bool frameTraceOn() noexcept { return detail::frameTraceOn.load(std::memory_order_relaxed); }
void setFrameTrace(bool on) noexcept;
// Switches the trace on when TESMOR_MODBUS_TRACE is "1"; never switches it off.
void takeFrameTraceFromEnvironment() noexcept;

// One log line: "modbus trace <local time> <tcp|rtu> <master> <-|-> <hex bytes>"; "->" for what
// the master sent, "<-" for the reply.
std::string frameTraceLine(Transport transport, std::string_view master, bool request,
                           const std::uint8_t* data, std::size_t length);
void traceFrame(Transport transport, std::string_view master, bool request, const std::uint8_t* data,
                std::size_t length) noexcept;

}  // namespace tesmor
