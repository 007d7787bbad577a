// The Modbus TCP transport: one master at a time, or up to "maxMasters" from one poll() loop;
// framed by the MBAP header, answered through the server's request path and sent without ever
// blocking the thread.
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
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "modbus/AccessRules.h"
#include "modbus/FrameTrace.h"
#include "modbus/ModbusServer.h"
#include "modbus/TlsContext.h"
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
// Newcomers waiting for a place at once: twice the masters limit, and never fewer than this.
constexpr std::size_t kMinNewcomers = 16;
// Connections taken from the listening socket between two rounds of serving the masters.
constexpr int kAcceptsPerRound = 8;

// Logs at most once a minute; the lines held back meanwhile are counted in the next one.
class MinuteLog {
public:
    void log(const std::string& text) {
        const auto now = Clock::now();
        if (logged_ && now - last_ < std::chrono::minutes(1)) {
            ++held_;
            return;
        }
        logLine(held_ == 0 ? text : text + " (" + std::to_string(held_) + " more since the last report)");
        logged_ = true;
        last_ = now;
        held_ = 0;
    }

private:
    bool logged_ = false;
    Clock::time_point last_;
    unsigned long held_ = 0;
};

void enableKeepAlive(int fd) {
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepIdleS, sizeof kKeepIdleS);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepIntervalS, sizeof kKeepIntervalS);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kKeepCount, sizeof kKeepCount);
    ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &kUserTimeoutMs, sizeof kUserTimeoutMs);
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

UniqueFd listenTcp(Ipv4 local, int port, int backlog, int& error) {
    UniqueFd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!s) {
        error = errno;
        return {};
    }
    const int on = 1;
    ::setsockopt(s.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    // Set once here: every accepted connection inherits them, which spares each master six calls.
    enableKeepAlive(s.get());
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(local);
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::bind(s.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(s.get(), backlog) != 0) {
        error = errno;
        return {};
    }
    return s;
}

void traceExchange(Transport transport, int fd, const std::uint8_t* request, int length,
                   const std::uint8_t* reply, int n) {
    char dotted[INET_ADDRSTRLEN + 8] = "?";
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) == 0 &&
        ::inet_ntop(AF_INET, &peer.sin_addr, dotted, INET_ADDRSTRLEN))
        std::snprintf(dotted + std::strlen(dotted), 8, ":%u", static_cast<unsigned>(ntohs(peer.sin_port)));
    traceFrame(transport, dotted, true, request, static_cast<std::size_t>(length));
    if (n > 0) traceFrame(transport, dotted, false, reply, static_cast<std::size_t>(n));
}

int msUntil(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::max<long long>(0, left));
}

// "3 s", "0.2 s": a time-out as the log lines give it.
std::string seconds(std::chrono::milliseconds t) {
    const auto ms = t.count();
    return std::to_string(ms / 1000) + (ms % 1000 == 0 ? "" : "." + std::to_string(ms % 1000 / 100)) + " s";
}

std::string dotted(const sockaddr_in& address) {
    char text[INET_ADDRSTRLEN] = "?";
    ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return text;
}

// The port a listening socket got (the one asked for, or the system's choice for port 0).
int localPort(int fd) {
    sockaddr_in address{};
    socklen_t len = sizeof address;
    return ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &len) == 0 ? ntohs(address.sin_port) : 0;
}

// A connection taken from the listening socket, or none: `error` then says why, 0 when no master
// was waiting any more.
struct Accepted {
    UniqueFd socket;
    sockaddr_in peer{};
    int error = 0;
};

Accepted acceptMaster(int listener) {
    Accepted a;
    for (;;) {
        socklen_t len = sizeof a.peer;
        a.socket.reset(
            ::accept4(listener, reinterpret_cast<sockaddr*>(&a.peer), &len, SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (a.socket) return a;
        const int err = errno;
        if (err == EINTR || err == ECONNABORTED) continue;  // a master that left while queued
        if (err != EAGAIN && err != EWOULDBLOCK) a.error = err;
        return a;
    }
}

// True when the master has closed or reset the connection, though poll() may not have said so yet.
bool peerGone(int fd) {
    std::uint8_t byte;
    const ssize_t n = ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

}  // namespace

struct ModbusServer::TcpConnection {
    // With `context`, a Modbus/TCP Security master: its handshake comes before any frame. A
    // connection counts as a master from admit() on.
    TcpConnection(UniqueFd socket, std::string peer, Ipv4 ip, TransportCounters& counters,
                  const TlsContext* context, const TcpTimeouts& limits)
        : fd(std::move(socket)), address(std::move(peer)), ip(ip), counters(counters), limits(limits) {
        if (context) {
            tls.emplace(*context, fd.get());
            handshaking = true;
        }
    }
    ~TcpConnection() {
        if (admitted) counters.masterLeft();
    }
    TcpConnection(const TcpConnection&) = delete;
    TcpConnection& operator=(const TcpConnection&) = delete;

    void admit() {
        admitted = true;
        counters.masterConnected();
    }
    // The session says goodbye on its socket, so it must go before the socket closes: once closed,
    // the descriptor's number may already belong to another thread's file.
    void close() {
        tls.reset();
        fd.reset();
    }
    // Advances the TLS handshake; false when the connection ends (`refusal` says why when the
    // master was refused rather than gone).
    bool handshake(std::u16string_view writeRoles) {
        const TlsStep step = tls->handshake();
        if (step == TlsStep::failed) refusal = tls->error();
        if (step == TlsStep::failed || step == TlsStep::closed) return false;
        tlsWaits = step;
        if (step == TlsStep::done) {
            handshaking = false;
            mayWrite = tlsRoleMayWrite(writeRoles, tls->role());
            lastInput = Clock::now();
        }
        return true;
    }
    // Sends what it can without waiting; false when the connection has failed.
    bool flush() {
        if (tls) {
            const TlsStep step = sent < pending ? tls->write({out + sent, pending - sent}) : tls->flush();
            sent = pending;  // the session holds what is left
            if (step == TlsStep::failed || step == TlsStep::closed) return false;
            tlsWaits = step;
            if (step == TlsStep::done) sent = pending = 0;
            return true;
        }
        while (sent < pending) {
            const ssize_t n = ::send(fd.get(), out + sent, pending - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
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
    }
    // Reads what has arrived; false when the master closed the connection or it failed.
    bool receive() {
        if (tls) {
            std::size_t n = 0;
            const TlsStep step = tls->read({in + have, sizeof in - have}, n);
            tlsWaits = step;
            have += n;
            // Part of a record is input like part of a frame: the same byte time-out ends it.
            midRecord = n == 0 && step == TlsStep::wantRead && tls->midRecord();
            if (n > 0 || midRecord) lastInput = Clock::now();
            return step != TlsStep::failed && step != TlsStep::closed;
        }
        const ssize_t n = ::recv(fd.get(), in + have, sizeof in - have, MSG_DONTWAIT);
        if (n > 0) {
            have += static_cast<std::size_t>(n);
            lastInput = Clock::now();
            return true;
        }
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
    }
    // A waiting reply is sent before anything more is read; TLS waits for what its session asks.
    short events() const {
        if (tls) return tlsWaits == TlsStep::wantWrite ? POLLOUT : POLLIN;
        return pending > 0 ? POLLOUT : POLLIN;
    }
    // When the connection must be looked at even without an event.
    Clock::time_point deadline() const {
        if (handshaking || !admitted) return accepted + limits.send;
        if (pending > 0) return lastOutput + limits.send;
        if (have > 0 || midRecord) return lastInput + limits.byte;
        return Clock::time_point::max();
    }
    // A newcomer that may take a place: its handshake succeeded, or (plain TCP) a whole frame came.
    bool readyForPlace() const {
        if (tls) return !handshaking;
        const int length = tcpFrameLength(in, have);
        return length > 0 && have >= static_cast<std::size_t>(length);
    }

    UniqueFd fd;
    std::optional<TlsSession> tls;  // after fd: destroyed first
    std::string address;            // the master's, dotted
    Ipv4 ip;
    TransportCounters& counters;
    const TcpTimeouts limits;
    // Received bytes: at most one partial frame stays after the complete ones are answered, and
    // nothing is read while a reply waits, so a read always finds room for a whole frame.
    std::uint8_t in[4 * MODBUS_TCP_MAX_ADU_LENGTH];
    std::size_t have = 0;
    std::uint8_t out[kMaxReply];
    std::size_t sent = 0, pending = 0;  // the reply waiting to be sent is out[sent, pending)
    const Clock::time_point accepted = Clock::now();
    Clock::time_point lastInput = accepted;  // until the handshake ends: the time of accept
    Clock::time_point lastOutput = lastInput;
    PeerRefresh peer;
    bool answered = false;
    bool admitted = false;
    bool handshaking = false;
    bool midRecord = false;  // TLS: part of a record has come
    bool mayWrite = true;    // false: a TLS master whose role may not write
    TlsStep tlsWaits = TlsStep::wantRead;
    std::string refusal;  // why the handshake failed
};

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
        if (::getpeername(socket, reinterpret_cast<sockaddr*>(&address), &len) == 0 &&
            address.sin_family == AF_INET) {
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
    tcp_.open = false;
    tcp_.port = 0;
    std::lock_guard info(infoMutex_);
    localHostName_.clear();
    peerAddress_.clear();
}

void ModbusServer::tcpLoop(std::stop_token stop, const ConnectionSettings& s) {
    Waker waker;
    std::stop_callback wake(stop, [&waker] { waker.signal(); });

    const auto local = listenAddress(Transport::Tcp, s.tcpPort, s.bindAddress);
    if (!local) {
        while (!stop.stop_requested()) pause(waker);
        return;
    }
    MasterGate gate(s.allowedMasters);
    Served served;
    served.port = s.tcpPort;
    served.unitId = s.tcpUnitId;
    served.maxMasters = static_cast<std::size_t>(s.maxMasters);
    served.timeouts = timeouts_;
    if (s.maxMasters > 1) {
        serveMasters(stop, served, *local, gate, waker);
        return;
    }

    OnceLog listenLog, acceptLog, stuckLog;
    int port = s.tcpPort;
    while (!stop.stop_requested()) {
        int error = 0;
        // Backlog 1: one master is served, one more may wait unanswered.
        UniqueFd listener = listenTcp(*local, port, 1, error);
        if (!listener) {
            // An address the machine does not have (EADDRNOTAVAIL) may come with a late interface.
            listenLog.fail("Modbus TCP: cannot listen on " + formatIpv4(*local) + " port " +
                           std::to_string(port) + ": " + errorText(error) + "; retrying until stopped");
            pause(waker);
            continue;
        }
        listenLog.succeed();
        // Port 0: the system's choice, kept for the whole run so masters find it again after a re-listen.
        port = localPort(listener.get());
        tcp_.port = port;
        tcp_.open = true;

        // Accept one master.
        std::unique_ptr<TcpConnection> master;
        while (!master && !stop.stop_requested()) {
            const int ev = waitFor(listener.get(), POLLIN, waker, -1);
            if (ev <= 0) {
                if (ev < 0) pause(waker);
                continue;
            }
            Accepted a = acceptMaster(listener.get());
            if (!a.socket) {
                if (a.error == 0) continue;
                acceptLog.fail("Modbus TCP: accept failed: " + errorText(a.error) + "; retrying");
                pause(waker);  // out of descriptors or memory: the pending master stays queued
                continue;
            }
            acceptLog.succeed();
            if (gate.admit(a.socket.get())) {
                master = std::make_unique<TcpConnection>(std::move(a.socket), dotted(a.peer),
                                                         ntohl(a.peer.sin_addr.s_addr), tcp_.counters,
                                                         nullptr, served.timeouts);
                master->admit();
            }
        }
        if (!master) break;

        if (serveMaster(*master, waker, stop, served)) {
            stuckLog.fail("Modbus TCP: master " + master->address + " took no reply for " +
                          seconds(served.timeouts.send) + "; connection closed");
        } else {
            stuckLog.succeed();
        }
        // After a disconnect the listening socket is opened anew, which drops a queued master.
        master.reset();
        tcp_.open = false;
        tcp_.port = 0;
    }
}

bool ModbusServer::answerFrames(TcpConnection& c, const Served& served) {
    while (c.pending == 0) {
        const int length = tcpFrameLength(c.in, c.have);
        if (length < 0) {  // an invalid MBAP header: the stream cannot be framed any more
            c.counters.dropped(true);
            return false;
        }
        if (length == 0 || c.have < static_cast<std::size_t>(length)) break;
        const int n = answer(c.in, length, served.transport, served.unitId, c.out, c.mayWrite);
        if (frameTraceOn()) traceExchange(served.transport, c.fd.get(), c.in, length, c.out, n);
        c.have -= static_cast<std::size_t>(length);
        std::memmove(c.in, c.in + length, c.have);
        if (n > 0) {
            refreshPeerInfo(c.fd.get(), c.peer);
            c.answered = true;
            c.pending = static_cast<std::size_t>(n);
            c.lastOutput = Clock::now();
            if (!c.flush()) return false;
        }
    }
    return true;
}

ModbusServer::TcpOutcome ModbusServer::serviceMaster(TcpConnection& c, short revents, const Served& served) {
    if (revents & (POLLERR | POLLNVAL)) return TcpOutcome::Gone;
    if (revents == 0) {
        const auto now = Clock::now();
        if (now < c.deadline()) return TcpOutcome::Open;
        if (c.handshaking) {
            c.refusal = "no handshake within " + seconds(served.timeouts.send);
            return TcpOutcome::Refused;
        }
        if (!c.admitted) return TcpOutcome::Late;
        if (c.pending > 0) return TcpOutcome::Stalled;
        // A stalled partial frame or record: its bytes must never be read as the start of the next one.
        c.counters.dropped(true);
        return TcpOutcome::Gone;
    }
    if (c.handshaking) {
        if (!c.handshake(served.writeRoles))
            return c.refusal.empty() ? TcpOutcome::Gone : TcpOutcome::Refused;
        if (c.handshaking) return TcpOutcome::Open;
        if (!c.admitted) return TcpOutcome::Ready;
        // The first request may have come with the handshake's last message: read on.
    }
    if (!c.admitted) {
        // A newcomer waiting for a place: its first frame is read, and answered once it has one.
        if (!c.receive()) return TcpOutcome::Gone;
        if (tcpFrameLength(c.in, c.have) < 0) {
            c.counters.dropped(true);
            return TcpOutcome::Gone;
        }
        return c.readyForPlace() ? TcpOutcome::Ready : TcpOutcome::Open;
    }
    bool ok = (c.pending > 0 ? c.flush() : c.receive()) && answerFrames(c, served);
    // Bytes a TLS session has already decrypted wake no poll().
    while (ok && c.pending == 0 && c.tls && c.tls->hasBufferedInput())
        ok = c.receive() && answerFrames(c, served);
    return ok ? TcpOutcome::Open : TcpOutcome::Gone;
}

bool ModbusServer::serveMaster(TcpConnection& c, const Waker& waker, const std::stop_token& stop,
                               const Served& served) {
    while (!stop.stop_requested()) {
        const auto deadline = c.deadline();
        const int ev = waitFor(c.fd.get(), c.events(), waker,
                               deadline == Clock::time_point::max() ? -1 : msUntil(deadline));
        if (ev < 0 || stop.stop_requested()) return false;
        switch (serviceMaster(c, static_cast<short>(ev), served)) {
            case TcpOutcome::Open:
                break;
            case TcpOutcome::Gone:
            case TcpOutcome::Refused:  // only TLS masters and newcomers end so; they never come here
            case TcpOutcome::Ready:
            case TcpOutcome::Late:
                return false;
            case TcpOutcome::Stalled:
                return true;
        }
    }
    return false;
}

void ModbusServer::serveMasters(const std::stop_token& stop, const Served& served, Ipv4 local,
                                MasterGate& gate, const Waker& waker) {
    const std::string name = serverName(served.transport);
    TransportState& state = stateOf(served.transport);
    const std::size_t limit = served.maxMasters;
    // Newcomers that have not earned a place yet (a TLS handshake in progress, or at the limit a
    // plain connection before its first frame) wait apart, so they can never crowd out a master.
    const std::size_t newcomerLimit = std::max<std::size_t>(kMinNewcomers, 2 * limit);
    OnceLog listenLog, acceptLog;
    MinuteLog stuckLog, evictLog, refuseLog, lateLog;
    AddressLog handshakeLog;

    // The listening socket stays open for the whole run, so a master that reconnects is never refused.
    UniqueFd listener;
    while (!listener && !stop.stop_requested()) {
        int error = 0;
        listener = listenTcp(local, served.port, SOMAXCONN, error);
        if (!listener) {
            listenLog.fail(name + ": cannot listen on " + formatIpv4(local) + " port " +
                           std::to_string(served.port) + ": " + errorText(error) +
                           "; retrying until stopped");
            pause(waker);
        }
    }
    if (!listener) return;
    state.port = localPort(listener.get());
    state.open = true;

    // In the order of admission, so the newest master is the last one; newcomers in the order of
    // acceptance, so the oldest goes first when too many wait.
    std::vector<std::unique_ptr<TcpConnection>> masters, newcomers;
    std::u16string shownAddress;
    // "Remote IP" shows plain TCP's masters, as it always has.
    auto showMasters = [&] {
        if (served.transport != Transport::Tcp) return;
        for (const auto& m : masters)
            if (m->answered) shownAddress = toUtf16(m->address);
        std::u16string text = shownAddress;
        if (!text.empty() && masters.size() > 1)
            text += u" (+" + toUtf16(std::to_string(masters.size() - 1)) + u")";
        std::lock_guard info(infoMutex_);
        peerAddress_ = std::move(text);
    };
    // Frees the place of masters that closed or reset, then of the longest-silent one if it has
    // been silent long enough; false when no place is free. Only a newcomer that has proven itself
    // (handshake done, or a whole frame sent) comes here.
    auto makeRoom = [&](const std::string& newcomer) {
        if (masters.size() < limit) return true;
        std::erase_if(masters, [](const auto& m) { return peerGone(m->fd.get()); });
        if (masters.size() < limit) return true;
        const auto now = Clock::now();
        auto idle = std::min_element(masters.begin(), masters.end(), [](const auto& a, const auto& b) {
            return a->lastInput < b->lastInput;
        });
        const auto silentS =
            std::chrono::duration_cast<std::chrono::seconds>(now - (*idle)->lastInput).count();
        if (now - (*idle)->lastInput < served.timeouts.idleEviction) {
            refuseLog.log(name + ": " + std::to_string(limit) + " masters connected; new master " + newcomer +
                          " closed");
            return false;
        }
        evictLog.log(name + ": master " + (*idle)->address + " silent for " + std::to_string(silentS) +
                     " s closed to let in new master " + newcomer);
        masters.erase(idle);
        return true;
    };
    // What an outcome means for a connection: false when it is closed.
    auto settle = [&](TcpConnection& c, TcpOutcome outcome) {
        switch (outcome) {
            case TcpOutcome::Open:
            case TcpOutcome::Ready:
                return true;
            case TcpOutcome::Stalled:
                stuckLog.log(name + ": master " + c.address + " took no reply for " +
                             seconds(served.timeouts.send) + "; connection closed");
                break;
            case TcpOutcome::Refused:
                handshakeLog.log(c.ip, c.refusal, name + ": master " + c.address + " refused: " + c.refusal,
                                 name + ": handshakes from many addresses are failing");
                break;
            case TcpOutcome::Late:
                lateLog.log(name + ": " + std::to_string(limit) + " masters connected; new master " +
                            c.address + " sent no request within " + seconds(served.timeouts.send) +
                            "; closed");
                break;
            case TcpOutcome::Gone:
                break;
        }
        c.close();
        return false;
    };

    Clock::time_point acceptAgain{};  // after an accept failure, the listener rests until then
    std::vector<pollfd> fds;
    while (!stop.stop_requested()) {
        auto next = Clock::time_point::max();
        for (const auto& m : masters) next = std::min(next, m->deadline());
        for (const auto& m : newcomers) next = std::min(next, m->deadline());
        const bool resting = Clock::now() < acceptAgain;
        if (resting) next = std::min(next, acceptAgain);
        fds.assign({{waker.fd(), POLLIN, 0}, {resting ? -1 : listener.get(), POLLIN, 0}});
        for (const auto& m : masters) fds.push_back({m->fd.get(), m->events(), 0});
        for (const auto& m : newcomers) fds.push_back({m->fd.get(), m->events(), 0});
        const int n = ::poll(fds.data(), fds.size(), next == Clock::time_point::max() ? -1 : msUntil(next));
        if (n < 0) {
            if (errno != EINTR) pause(waker);
            continue;
        }
        if (fds[0].revents != 0) continue;  // a stop

        // Masters first, in order: one that has just closed frees its place before a newcomer is counted.
        bool changed = false;
        const std::size_t polledMasters = masters.size();
        for (std::size_t i = 0; i < polledMasters; ++i) {
            TcpConnection& m = *masters[i];
            const bool wasAnswered = m.answered;
            if (settle(m, serviceMaster(m, fds[i + 2].revents, served)))
                changed |= m.answered != wasAnswered;
            else
                changed = true;
        }
        std::erase_if(masters, [](const auto& m) { return !m->fd; });

        for (std::size_t i = 0; i < newcomers.size(); ++i) {
            TcpConnection& c = *newcomers[i];
            const TcpOutcome outcome = serviceMaster(c, fds[i + 2 + polledMasters].revents, served);
            if (!settle(c, outcome) || outcome != TcpOutcome::Ready) continue;
            if (!makeRoom(c.address)) {
                c.close();
                continue;
            }
            c.admit();
            // The address is shown from its first answer on, with the other connections counted.
            c.peer.peerDone = true;
            changed = true;
            // What came with the handshake or the first frame is answered now, not at the next event.
            const TcpOutcome first = c.tls ? serviceMaster(c, POLLIN, served)
                                           : (answerFrames(c, served) ? TcpOutcome::Open : TcpOutcome::Gone);
            if (settle(c, first)) masters.push_back(std::move(newcomers[i]));
        }
        std::erase_if(newcomers, [](const auto& m) { return !m || !m->fd; });

        // A bounded number a round, so a storm of connections cannot hold up the masters' requests.
        for (int k = 0; fds[1].revents != 0 && k < kAcceptsPerRound; ++k) {
            Accepted a = acceptMaster(listener.get());
            if (!a.socket) {
                if (a.error != 0) {
                    acceptLog.fail(name + ": accept failed: " + errorText(a.error) + "; retrying");
                    acceptAgain = Clock::now() + std::chrono::milliseconds(kRetryMs);
                }
                break;
            }
            acceptLog.succeed();
            // Before counting places: a master that may not connect never evicts one that may.
            if (!gate.admit(a.socket.get())) continue;
            const std::string address = dotted(a.peer);
            std::unique_ptr<TcpConnection> c;
            try {
                c = std::make_unique<TcpConnection>(std::move(a.socket), address,
                                                    ntohl(a.peer.sin_addr.s_addr), state.counters, served.tls,
                                                    served.timeouts);
            } catch (const std::exception& e) {  // out of memory: this master goes, the others stay
                acceptLog.fail(name + ": cannot serve master " + address + ": " + e.what());
                continue;
            }
            if (!c->tls && masters.size() < limit) {
                c->admit();
                c->peer.peerDone = true;
                masters.push_back(std::move(c));
                changed = true;
                continue;
            }
            if (newcomers.size() >= newcomerLimit) {
                newcomers.front()->close();
                newcomers.erase(newcomers.begin());
            }
            newcomers.push_back(std::move(c));
        }
        if (changed) showMasters();
    }
}

}  // namespace tesmor
