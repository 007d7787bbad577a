#pragma once
// Traffic counters of one transport. Every member is a relaxed atomic: the transports bump them
// on the reply path without any lock, and readers (the main window, `stats`, function 8) take a
// snapshot whose fields may be a request apart from each other. Any thread.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include "modbus/Pdu.h"

namespace tesmor {

struct CounterSnapshot {
    std::uint64_t masters = 0;        // TCP connections being served now
    std::uint64_t busMessages = 0;    // every frame seen, answered or not
    std::uint64_t requests = 0;       // answered, exceptions included
    std::uint64_t exceptions = 0;     // exception replies sent
    std::uint64_t dropped = 0;        // bad CRC, another unit id, invalid header, runt frames
    std::uint64_t commErrors = 0;     // the part of `dropped` that was damaged (bad CRC, invalid header)
    std::int64_t lastAnsweredMs = 0;  // system clock, ms since the epoch; 0 before the first answer
};

class TransportCounters {
public:
    void masterConnected() noexcept { masters_.fetch_add(1, kOrder); }
    void masterLeft() noexcept { masters_.fetch_sub(1, kOrder); }
    // A frame that reached this server and was processed but needs no answer (an RTU broadcast).
    void seen() noexcept { busMessages_.fetch_add(1, kOrder); }
    void answered(bool exception) noexcept {
        busMessages_.fetch_add(1, kOrder);
        requests_.fetch_add(1, kOrder);
        if (exception) exceptions_.fetch_add(1, kOrder);
        const auto now = std::chrono::system_clock::now().time_since_epoch();
        lastAnsweredMs_.store(std::chrono::duration_cast<std::chrono::milliseconds>(now).count(), kOrder);
    }
    void dropped(bool damaged) noexcept {
        busMessages_.fetch_add(1, kOrder);
        dropped_.fetch_add(1, kOrder);
        if (damaged) commErrors_.fetch_add(1, kOrder);
    }
    // Clears everything but the number of connected masters and the time of the last answer
    // (function 8, sub-function 0x0A).
    void clear() noexcept {
        busMessages_.store(0, kOrder);
        requests_.store(0, kOrder);
        exceptions_.store(0, kOrder);
        dropped_.store(0, kOrder);
        commErrors_.store(0, kOrder);
    }
    CounterSnapshot snapshot() const noexcept {
        CounterSnapshot s;
        const auto m = masters_.load(kOrder);
        s.masters = m < 0 ? 0 : static_cast<std::uint64_t>(m);
        s.busMessages = busMessages_.load(kOrder);
        s.requests = requests_.load(kOrder);
        s.exceptions = exceptions_.load(kOrder);
        s.dropped = dropped_.load(kOrder);
        s.commErrors = commErrors_.load(kOrder);
        s.lastAnsweredMs = lastAnsweredMs_.load(kOrder);
        return s;
    }

private:
    static constexpr auto kOrder = std::memory_order_relaxed;
    std::atomic<std::int64_t> masters_{0};
    std::atomic<std::uint64_t> busMessages_{0};
    std::atomic<std::uint64_t> requests_{0};
    std::atomic<std::uint64_t> exceptions_{0};
    std::atomic<std::uint64_t> dropped_{0};
    std::atomic<std::uint64_t> commErrors_{0};
    std::atomic<std::int64_t> lastAnsweredMs_{0};
};

// "tcp masters=1 requests=123 exceptions=0 dropped=0 last=2026-12-10T15:04:05" (local time;
// last=- before the first answer); "tls masters=..." for TLS, "rtu requests=..." for RTU.
std::string countersLine(Transport transport, const CounterSnapshot& s);

}  // namespace tesmor
