// The Modbus/TCP Security transport: one master at a time on its own port, TLS with mutual
// authentication, decrypted frames answered through the server's request path.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <string>

#include "modbus/AccessRules.h"
#include "modbus/ModbusServer.h"
#include "modbus/TlsContext.h"
#include "modbus/TransportSupport.h"
#include "platform/Log.h"
#include "platform/Text.h"

namespace tesmor {

using namespace transport;
using Clock = std::chrono::steady_clock;

namespace {

// A master that neither completes its handshake nor takes its replies for this long is gone.
constexpr auto kStallLimit = std::chrono::seconds(3);
constexpr auto kByteTimeout = std::chrono::milliseconds(500);

UniqueFd listenTls(int port, int& error) {
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
    if (::bind(s.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(s.get(), 1) != 0) {
        error = errno;
        return {};
    }
    return s;
}

int msUntil(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::max<long long>(0, left));
}

std::string peerText(int fd) {
    char dotted[INET_ADDRSTRLEN] = "?";
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) == 0)
        ::inet_ntop(AF_INET, &peer.sin_addr, dotted, sizeof dotted);
    return dotted;
}

short eventsFor(TlsStep step) { return step == TlsStep::wantWrite ? POLLOUT : POLLIN; }

}  // namespace

void ModbusServer::runTls(std::stop_token stop, ConnectionSettings settings) noexcept {
    try {
        tlsLoop(stop, settings);
    } catch (const std::exception& e) {
        logLine(std::string("Modbus TLS transport ended: ") + e.what());
    }
    tlsListening_ = false;
}

void ModbusServer::tlsLoop(std::stop_token stop, const ConnectionSettings& s) {
    Waker waker;
    std::stop_callback wake(stop, [&waker] { waker.signal(); });

    std::string error;
    const auto context =
        TlsContext::load({toUtf8(s.tls.certificate), toUtf8(s.tls.key), toUtf8(s.tls.ca)}, error);
    if (!context) {
        logLine("Modbus TLS: " + error + "; not started");
        return;
    }
    if (s.tls.port < 0 || s.tls.port > 65535) {
        logLine("Modbus TLS: port " + std::to_string(s.tls.port) + " is not a TCP port; not listening");
        return;
    }

    OnceLog listenLog, acceptLog, handshakeLog;
    int listenError = 0;
    UniqueFd listener;
    while (!stop.stop_requested()) {
        if (!listener) {
            listener = listenTls(s.tls.port, listenError);
            if (!listener) {
                listenLog.fail("Modbus TLS: cannot listen on port " + std::to_string(s.tls.port) + ": " +
                               errorText(listenError) + "; retrying until stopped");
                pause(waker);
                continue;
            }
            listenLog.succeed();
            tlsListening_ = true;
        }
        const int ev = waitFor(listener.get(), POLLIN, waker, -1);
        if (ev <= 0) {
            if (ev < 0) pause(waker);
            continue;
        }
        UniqueFd connection(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (!connection) {
            const int err = errno;
            if (err == EINTR || err == ECONNABORTED || err == EAGAIN) continue;
            acceptLog.fail("Modbus TLS: accept failed: " + errorText(err) + "; retrying");
            pause(waker);
            continue;
        }
        acceptLog.succeed();
        const int on = 1;
        ::setsockopt(connection.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        ::setsockopt(connection.get(), SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
        const std::string peer = peerText(connection.get());
        TlsSession session(*context, std::move(connection));
        const std::string refused = serveTlsMaster(session, waker, stop, s);
        if (!refused.empty()) {
            handshakeLog.fail("Modbus TLS: master " + peer + " refused: " + refused);
        } else {
            handshakeLog.succeed();
        }
    }
}

std::string ModbusServer::serveTlsMaster(TlsSession& session, const Waker& waker, const std::stop_token& stop,
                                         const ConnectionSettings& s) {
    const int fd = session.fd();
    auto limit = Clock::now() + kStallLimit;
    TlsStep step;
    while ((step = session.handshake()) == TlsStep::wantRead || step == TlsStep::wantWrite) {
        if (stop.stop_requested()) return {};
        if (Clock::now() >= limit) return "no handshake within " + std::to_string(kStallLimit.count()) + " s";
        const int ev = waitFor(fd, eventsFor(step), waker, msUntil(limit));
        if (ev < 0 || (ev & POLLNVAL)) return {};
    }
    if (step != TlsStep::done) return step == TlsStep::failed ? session.error() : std::string();
    const bool mayWrite = tlsRoleMayWrite(s.tls.writeRoles, session.role());

    std::uint8_t in[4 * MODBUS_TCP_MAX_ADU_LENGTH];
    std::size_t have = 0;
    std::uint8_t out[kMaxReply];
    auto lastInput = Clock::now();
    step = TlsStep::wantRead;
    while (!stop.stop_requested()) {
        // Answer every complete frame while no reply waits.
        while (!session.hasPendingOutput()) {
            const int length = tcpFrameLength(in, have);
            if (length < 0) return {};
            if (length == 0 || have < static_cast<std::size_t>(length)) break;
            int n = 0;
            if (length > 7 && isWriteFunction(in[7]) && !mayWrite) {
                // Read-only masters: a write to this unit is refused, one to any other unit dropped.
                if (in[6] == s.tcpUnitId) {
                    std::memcpy(out, in, 4);
                    const std::uint8_t rest[] = {0, 3, in[6], static_cast<std::uint8_t>(in[7] | 0x80), 0x01};
                    std::memcpy(out + 4, rest, sizeof rest);
                    n = 9;
                }
            } else {
                n = answer(in, length, Transport::Tcp, s.tcpUnitId, out);
            }
            have -= static_cast<std::size_t>(length);
            std::memmove(in, in + length, have);
            if (n > 0) {
                step = session.write({out, static_cast<std::size_t>(n)});
                if (step == TlsStep::failed || step == TlsStep::closed) return {};
                limit = Clock::now() + kStallLimit;
            }
        }
        if (session.hasPendingOutput()) {
            if (Clock::now() >= limit) return {};
            const int ev = waitFor(fd, eventsFor(step), waker, msUntil(limit));
            if (ev < 0 || (ev & POLLNVAL)) return {};
            if (ev == 0) continue;
            step = session.flush();
            if (step == TlsStep::failed || step == TlsStep::closed) return {};
            continue;
        }
        // Decrypted bytes may wait inside the session, so read until it asks for the socket.
        std::size_t n = 0;
        step = session.read({in + have, sizeof in - have}, n);
        if (step == TlsStep::done) {
            have += n;
            lastInput = Clock::now();
            continue;
        }
        if (step == TlsStep::failed || step == TlsStep::closed) return {};
        const int timeoutMs = have > 0 ? msUntil(lastInput + kByteTimeout) : -1;
        const int ev = waitFor(fd, eventsFor(step), waker, timeoutMs);
        if (ev < 0 || (ev & POLLNVAL)) return {};
        if (ev == 0 && have > 0 && Clock::now() >= lastInput + kByteTimeout) return {};
    }
    return {};
}

}  // namespace tesmor
