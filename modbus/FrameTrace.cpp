#include "modbus/FrameTrace.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>

#include "platform/Log.h"

namespace tesmor {

namespace detail {
std::atomic<bool> frameTraceOn{false};
}

void setFrameTrace(bool on) noexcept { detail::frameTraceOn.store(on, std::memory_order_relaxed); }

void takeFrameTraceFromEnvironment() noexcept {
    const char* v = std::getenv("TESMOR_MODBUS_TRACE");
    if (v && std::string_view(v) == "1") setFrameTrace(true);
}

std::string frameTraceLine(Transport transport, std::string_view master, bool request,
                           const std::uint8_t* data, std::size_t length) {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02d.%03d", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<int>(ms));
    std::string line = "modbus trace ";
    line += stamp;
    line += transport == Transport::Rtu ? " rtu " : transport == Transport::Tls ? " tls " : " tcp ";
    line += master.empty() ? std::string_view("?") : master;
    line += request ? " ->" : " <-";
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (std::size_t i = 0; i < length; ++i) {
        line += ' ';
        line += kHex[data[i] >> 4];
        line += kHex[data[i] & 0xF];
    }
    return line;
}

void traceFrame(Transport transport, std::string_view master, bool request, const std::uint8_t* data,
                std::size_t length) noexcept {
    try {
        logLine(frameTraceLine(transport, master, request, data, length));
    } catch (const std::exception&) {
        // A trace line lost to a lack of memory must not end the transport.
    }
}

}  // namespace tesmor
