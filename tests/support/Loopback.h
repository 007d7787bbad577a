#pragma once
// Loopback TCP for the tests of every folder: a free port, a plain client connection, and
// waiting for a condition instead of sleeping for a guessed time.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>

#include "platform/UniqueFd.h"

namespace tesmor::test {

// A TCP port on loopback that nobody listens on right now.
inline int freeTcpPort() {
    const UniqueFd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(s.get(), reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

// A connection to 127.0.0.1:`port` from the loopback address `from` (the system's choice when
// null); empty when nobody accepts it.
inline UniqueFd connectLoopback(int port, const char* from = nullptr) {
    UniqueFd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (from) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        if (::inet_pton(AF_INET, from, &local.sin_addr) != 1 ||
            ::bind(s.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
            return {};
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::connect(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return {};
    return s;
}

// Polls `condition` every 10 ms until it holds or `limit` passes.
inline bool waitFor(const std::function<bool()>& condition,
                    std::chrono::milliseconds limit = std::chrono::seconds(3)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace tesmor::test
