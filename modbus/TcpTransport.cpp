// The Modbus TCP transport: one master at a time, framed by the MBAP header, answered through
// the server's request path and sent without ever blocking the thread.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <optional>
#include <string>

#include "modbus/FrameTrace.h"
#include "modbus/ModbusServer.h"
#include "modbus/TransportSupport.h"
#include "platform/Log.h"
#include "platform/Text.h"

namespace tesmor {

using namespace transport;
using Clock = std::chrono::steady_clock;

namespace {

// Keep-alive timers for an accepted master: a master that vanished without closing is dropped
// after about 40 s; one that merely polls slowly answers the probes and stays.
constexpr int kKeepIdleS = 10;
constexpr int kKeepIntervalS = 5;
constexpr int kKeepCount = 4;
constexpr unsigned kUserTimeoutMs = 40000;
// A frame whose next byte is this late is never completed (libmodbus's byte time-out).
constexpr auto kByteTimeout = std::chrono::milliseconds(500);
// A master that takes none of its replies for this long is treated as gone.
constexpr auto kSendLimit = std::chrono::seconds(3);

UniqueFd listenTcp(int port, int& error) {
    UniqueFd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!s) {
        error = errno;
        return {};
    }
    const int on = 1;
    ::setsockopt(s.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    // Backlog 1: one master is served, one more may wait unanswered.
    if (::bind(s.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(s.get(), 1) != 0) {
        error = errno;
        return {};
    }
    return s;
}

void enableKeepAlive(int fd) {
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepIdleS, sizeof kKeepIdleS);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepIntervalS, sizeof kKeepIntervalS);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kKeepCount, sizeof kKeepCount);
    ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &kUserTimeoutMs, sizeof kUserTimeoutMs);
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

void traceExchange(int fd, const std::uint8_t* request, int length, const std::uint8_t* reply, int n) {
    char dotted[INET_ADDRSTRLEN + 8] = "?";
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) == 0 && ::inet_ntop(AF_INET, &peer.sin_addr, dotted, INET_ADDRSTRLEN))
        std::snprintf(dotted + std::strlen(dotted), 8, ":%u", static_cast<unsigned>(ntohs(peer.sin_port)));
    traceFrame(Transport::Tcp, dotted, true, request, static_cast<std::size_t>(length));
    if (n > 0) traceFrame(Transport::Tcp, dotted, false, reply, static_cast<std::size_t>(n));
}

int msUntil(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::max<long long>(0, left));
}

}  // namespace

void ModbusServer::refreshPeerInfo(int socket, PeerRefresh& state) {
    // A connected socket's peer never changes and the host name rarely does: look them up at
    // the first answer of a connection and the host name again at most once a second, which
    // keeps two system calls and two conversions off every request.
    const auto now = Clock::now();
    std::optional<std::u16string> host, peer;
    if (!state.peerDone) {
        state.peerDone = true;
        sockaddr_in address{};
        socklen_t len = sizeof address;
        if (::getpeername(socket, reinterpret_cast<sockaddr*>(&address), &len) == 0 && address.sin_family == AF_INET) {
            const auto* b = reinterpret_cast<const unsigned char*>(&address.sin_addr.s_addr);
            char dotted[16] = {};
            std::snprintf(dotted, sizeof dotted, "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
            peer = toUtf16(dotted);
        }
    }
    if (!state.hostDone || now - state.hostTime >= std::chrono::seconds(1)) {
        state.hostDone = true;
        state.hostTime = now;
        char name[256];
        if (::gethostname(name, sizeof name) == 0) {
            name[sizeof name - 1] = '\0';
            host = toUtf16(name);
        }
    }
    if (!host && !peer) return;
    std::lock_guard info(infoMutex_);
    if (host) localHostName_ = std::move(*host);
    if (peer) peerAddress_ = std::move(*peer);
}

void ModbusServer::runTcp(std::stop_token stop, ConnectionSettings settings) noexcept {
    try {
        tcpLoop(stop, settings);
    } catch (const std::exception& e) {
        logLine(std::string("Modbus TCP transport ended: ") + e.what());
    }
    tcpListening_ = false;
    std::lock_guard info(infoMutex_);
    localHostName_.clear();
    peerAddress_.clear();
}

void ModbusServer::tcpLoop(std::stop_token stop, const ConnectionSettings& s) {
    Waker waker;
    std::stop_callback wake(stop, [&waker] { waker.signal(); });

    if (s.tcpPort < 0 || s.tcpPort > 65535) {
        logLine("Modbus TCP: port " + std::to_string(s.tcpPort) + " is not a TCP port; not listening");
        while (!stop.stop_requested()) pause(waker);
        return;
    }

    OnceLog listenLog, acceptLog, stuckLog;
    while (!stop.stop_requested()) {
        int error = 0;
        UniqueFd listener = listenTcp(s.tcpPort, error);
        if (!listener) {
            listenLog.fail("Modbus TCP: cannot listen on port " + std::to_string(s.tcpPort) + ": " +
                           errorText(error) + "; retrying until stopped");
            pause(waker);
            continue;
        }
        listenLog.succeed();
        tcpListening_ = true;

        // Accept one master.
        UniqueFd connection;
        while (!connection && !stop.stop_requested()) {
            const int ev = waitFor(listener.get(), POLLIN, waker, -1);
            if (ev <= 0) {
                if (ev < 0) pause(waker);
                continue;
            }
            connection.reset(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
            if (!connection) {
                const int err = errno;
                if (err == EINTR || err == ECONNABORTED || err == EAGAIN) continue;
                acceptLog.fail("Modbus TCP: accept failed: " + errorText(err) + "; retrying");
                pause(waker);  // out of descriptors or memory: the pending master stays queued
                continue;
            }
            acceptLog.succeed();
        }
        if (!connection) break;

        enableKeepAlive(connection.get());
        tcpCounters_.masterConnected();
        const bool stuck = serveMaster(connection.get(), waker, stop, s.tcpUnitId);
        tcpCounters_.masterLeft();
        if (stuck) {
            char dotted[INET_ADDRSTRLEN] = "?";
            sockaddr_in peer{};
            socklen_t len = sizeof peer;
            if (::getpeername(connection.get(), reinterpret_cast<sockaddr*>(&peer), &len) == 0)
                ::inet_ntop(AF_INET, &peer.sin_addr, dotted, sizeof dotted);
            stuckLog.fail(std::string("Modbus TCP: master ") + dotted + " took no reply for " +
                          std::to_string(kSendLimit.count()) + " s; connection closed");
        } else {
            stuckLog.succeed();
        }
        // After a disconnect the listening socket is opened anew, which drops a queued master.
        connection.reset();
        tcpListening_ = false;
    }
}

bool ModbusServer::serveMaster(int fd, const Waker& waker, const std::stop_token& stop, int unitId) {
    // Received bytes: at most one partial frame stays after the complete ones are answered, and
    // nothing is read while a reply waits, so a read always finds room for a whole frame.
    std::uint8_t in[4 * MODBUS_TCP_MAX_ADU_LENGTH];
    std::size_t have = 0;
    std::uint8_t out[kMaxReply];
    std::size_t sent = 0, pending = 0;  // the reply waiting to be sent is out[sent, pending)
    auto lastInput = Clock::now();
    auto lastOutput = Clock::now();
    PeerRefresh peerState;

    // Sends what it can without waiting; false when the connection has failed.
    auto flush = [&]() -> bool {
        while (sent < pending) {
            const ssize_t n = ::send(fd, out + sent, pending - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                sent += static_cast<std::size_t>(n);
                lastOutput = Clock::now();
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else {
                return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
            }
        }
        sent = pending = 0;
        return true;
    };

    while (!stop.stop_requested()) {
        // Answer every complete frame while no reply waits.
        while (pending == 0) {
            const int length = tcpFrameLength(in, have);
            if (length < 0) {  // an invalid MBAP header: the stream cannot be framed any more
                tcpCounters_.dropped(true);
                return false;
            }
            if (length == 0 || have < static_cast<std::size_t>(length)) break;
            const int n = answer(in, length, Transport::Tcp, unitId, out);
            if (frameTraceOn()) traceExchange(fd, in, length, out, n);
            have -= static_cast<std::size_t>(length);
            std::memmove(in, in + length, have);
            if (n > 0) {
                refreshPeerInfo(fd, peerState);
                pending = static_cast<std::size_t>(n);
                lastOutput = Clock::now();
                if (!flush()) return false;
            }
        }

        int timeoutMs = -1;
        if (pending > 0) timeoutMs = msUntil(lastOutput + kSendLimit);
        else if (have > 0) timeoutMs = msUntil(lastInput + kByteTimeout);
        const int ev = waitFor(fd, pending > 0 ? POLLOUT : POLLIN, waker, timeoutMs);
        if (ev < 0 || (ev & (POLLERR | POLLNVAL))) return false;
        if (ev == 0) {
            if (stop.stop_requested()) return false;
            if (pending > 0 && Clock::now() >= lastOutput + kSendLimit) return true;
            // A stalled partial frame: its bytes must never be read as the start of the next one.
            if (pending == 0 && have > 0 && Clock::now() >= lastInput + kByteTimeout) {
                tcpCounters_.dropped(true);
                return false;
            }
            continue;
        }
        if (pending > 0) {
            if (!flush()) return false;
            continue;
        }
        const ssize_t n = ::recv(fd, in + have, sizeof in - have, MSG_DONTWAIT);
        if (n > 0) {
            have += static_cast<std::size_t>(n);
            lastInput = Clock::now();
        } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            return false;  // the master closed the connection, or it failed
        }
    }
    return false;
}

}  // namespace tesmor
