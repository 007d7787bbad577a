// The Modbus TCP transport: one master at a time, or up to "maxMasters" from one poll() loop;
// framed by the MBAP header, answered through the server's request path and sent without ever
// blocking the thread. The TLS transport runs the same loop with a session on each connection.
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
#include <system_error>
#include <vector>

#include "modbus/AccessRules.h"
#include "modbus/FrameTrace.h"
#include "modbus/TlsContext.h"
#include "modbus/Transport.h"
#include "modbus/TransportSupport.h"
#include "platform/Errors.h"
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

void enableKeepAlive(int fd) {
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepIdleS, sizeof kKeepIdleS);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepIntervalS, sizeof kKeepIntervalS);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kKeepCount, sizeof kKeepCount);
    ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &kUserTimeoutMs, sizeof kUserTimeoutMs);
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

UniqueFd listenTcp(Ipv4 local, int port, int backlog, std::error_code& error) {
    UniqueFd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!s) {
        error = lastSystemError();
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
        error = lastSystemError();
        return {};
    }
    return s;
}

std::string dotted(const sockaddr_in& address) { return formatIpv4(ntohl(address.sin_addr.s_addr)); }

void traceExchange(Transport transport, int fd, const std::uint8_t* request, int length,
                   const std::uint8_t* reply, int n) {
    std::string master = "?";
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) == 0 && peer.sin_family == AF_INET)
        master = dotted(peer) + ":" + std::to_string(ntohs(peer.sin_port));
    traceFrame(transport, master, true, request, static_cast<std::size_t>(length));
    if (n > 0) traceFrame(transport, master, false, reply, static_cast<std::size_t>(n));
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

// The port a listening socket got (the one asked for, or the system's choice for port 0).
int localPort(int fd) {
    sockaddr_in address{};
    socklen_t len = sizeof address;
    return ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &len) == 0 ? ntohs(address.sin_port) : 0;
}

// A connection taken from the listening socket, or none: `error` then says why, none when no master
// was waiting any more.
struct Accepted {
    UniqueFd socket;
    sockaddr_in peer{};
    std::error_code error;
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
        if (err != EAGAIN && err != EWOULDBLOCK) a.error = std::error_code(err, std::generic_category());
        return a;
    }
}

// True when the master has closed or reset the connection, though poll() may not have said so yet.
bool peerGone(int fd) {
    std::uint8_t byte;
    const ssize_t n = ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

struct TcpConnection {
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
    bool answered = false;
    bool admitted = false;
    bool handshaking = false;
    bool midRecord = false;  // TLS: part of a record has come
    bool mayWrite = true;    // false: a TLS master whose role may not write
    TlsStep tlsWaits = TlsStep::wantRead;
    std::string refusal;  // why the handshake failed
};

// What one listening port serves.
class TcpLoop {
public:
    TcpLoop(TransportSetup& setup, Transport transport, const TlsContext* tls)
        : setup_(setup),
          s_(setup.settings),
          limits_(setup.timeouts),
          transport_(transport),
          tls_(tls),
          name_(serverName(transport)),
          port_(transport == Transport::Tls ? s_.tls.port : s_.tcpPort),
          limit_(static_cast<std::size_t>(s_.maxMasters)),
          // Plain TCP with one master keeps the one-at-a-time server: a second master waits
          // unanswered in a backlog of one until the first has gone. A TLS master is never kept
          // waiting: a handshake must not hold up the master being served.
          oneAtATime_(!tls && limit_ == 1),
          // Newcomers that have not earned a place yet (a TLS handshake in progress, or at the limit a
          // plain connection before its first frame) wait apart, so they can never crowd out a master.
          newcomerLimit_(std::max<std::size_t>(kMinNewcomers, 2 * limit_)) {}

    void run(const std::stop_token& stop);

private:
    enum class Outcome { Open, Gone, Stalled, Refused, Ready, Late };

    Outcome service(TcpConnection& c, short revents);
    bool answerFrames(TcpConnection& c);
    bool settle(TcpConnection& c, Outcome outcome);
    bool makeRoom(const std::string& newcomer);
    void accept(bool& changed);
    void showMasters();
    void refreshPeer(TcpConnection& c);

    TransportSetup& setup_;
    const ConnectionSettings& s_;
    const TcpTimeouts limits_;
    const Transport transport_;
    const TlsContext* const tls_;
    const std::string name_;
    const int port_;
    const std::size_t limit_;
    const bool oneAtATime_;
    const std::size_t newcomerLimit_;

    UniqueFd listener_;
    Clock::time_point acceptAgain_{};  // after an accept failure, the listener rests until then
    std::optional<MasterGate> gate_;
    // In the order of admission, so the newest master is the last one; newcomers in the order of
    // acceptance, so the oldest goes first when too many wait.
    std::vector<std::unique_ptr<TcpConnection>> masters_, newcomers_;
    std::u16string shownAddress_;
    Clock::time_point hostTime_{};
    bool hostDone_ = false;
    OnceLog listenLog_, acceptLog_;
    MinuteLog stuckLog_, evictLog_, refuseLog_, lateLog_;
    AddressLog handshakeLog_;
};

void TcpLoop::refreshPeer(TcpConnection& c) {
    c.answered = true;
    // The host name rarely changes: looked up at the first answer and at most once a second
    // after that, which keeps a system call and a conversion off every request.
    const auto now = Clock::now();
    if (hostDone_ && now - hostTime_ < std::chrono::seconds(1)) return;
    hostDone_ = true;
    hostTime_ = now;
    char name[256];
    if (::gethostname(name, sizeof name) != 0) return;
    name[sizeof name - 1] = '\0';
    setup_.peers.set(toUtf16(name), std::nullopt);
}

// "Remote IP" shows plain TCP's masters, as it always has: the newest answered one, with the
// other connections counted.
void TcpLoop::showMasters() {
    if (transport_ != Transport::Tcp) return;
    for (const auto& m : masters_)
        if (m->answered) shownAddress_ = toUtf16(m->address);
    std::u16string text = shownAddress_;
    if (!text.empty() && masters_.size() > 1)
        text += u" (+" + toUtf16(std::to_string(masters_.size() - 1)) + u")";
    setup_.peers.set(std::nullopt, std::move(text));
}

bool TcpLoop::answerFrames(TcpConnection& c) {
    const int unitId = s_.tcpUnitId;
    while (c.pending == 0) {
        const int length = tcpFrameLength(c.in, c.have);
        if (length < 0) {  // an invalid MBAP header: the stream cannot be framed any more
            c.counters.dropped(true);
            return false;
        }
        if (length == 0 || c.have < static_cast<std::size_t>(length)) break;
        const int n =
            setup_.path.answer(c.in, length, {transport_, unitId, tcpMaster(c.ip), c.mayWrite}, c.out);
        if (frameTraceOn()) traceExchange(transport_, c.fd.get(), c.in, length, c.out, n);
        c.have -= static_cast<std::size_t>(length);
        std::memmove(c.in, c.in + length, c.have);
        if (n > 0) {
            const bool first = !c.answered;
            refreshPeer(c);
            if (first) showMasters();
            c.pending = static_cast<std::size_t>(n);
            c.lastOutput = Clock::now();
            if (!c.flush()) return false;
        }
    }
    return true;
}

// Handles what poll() reported for one connection (0: nothing, a deadline may have passed) and
// answers its complete frames.
TcpLoop::Outcome TcpLoop::service(TcpConnection& c, short revents) {
    if (revents & (POLLERR | POLLNVAL)) return Outcome::Gone;
    if (revents == 0) {
        const auto now = Clock::now();
        if (now < c.deadline()) return Outcome::Open;
        if (c.handshaking) {
            c.refusal = "no handshake within " + seconds(limits_.send);
            return Outcome::Refused;
        }
        if (!c.admitted) return Outcome::Late;
        if (c.pending > 0) return Outcome::Stalled;
        // A stalled partial frame or record: its bytes must never be read as the start of the next one.
        c.counters.dropped(true);
        return Outcome::Gone;
    }
    if (c.handshaking) {
        if (!c.handshake(s_.tls.writeRoles)) return c.refusal.empty() ? Outcome::Gone : Outcome::Refused;
        if (c.handshaking) return Outcome::Open;
        if (!c.admitted) return Outcome::Ready;
    }
    if (!c.admitted) {
        // A newcomer waiting for a place: its first frame is read, and answered once it has one.
        if (!c.receive()) return Outcome::Gone;
        if (tcpFrameLength(c.in, c.have) < 0) {
            c.counters.dropped(true);
            return Outcome::Gone;
        }
        return c.readyForPlace() ? Outcome::Ready : Outcome::Open;
    }
    bool ok = (c.pending > 0 ? c.flush() : c.receive()) && answerFrames(c);
    // Bytes a TLS session has already decrypted wake no poll().
    while (ok && c.pending == 0 && c.tls && c.tls->hasBufferedInput()) ok = c.receive() && answerFrames(c);
    return ok ? Outcome::Open : Outcome::Gone;
}

// What an outcome means for a connection: false when it is closed.
bool TcpLoop::settle(TcpConnection& c, Outcome outcome) {
    switch (outcome) {
        case Outcome::Open:
        case Outcome::Ready:
            return true;
        case Outcome::Stalled:
            stuckLog_.log(name_ + ": master " + c.address + " took no reply for " + seconds(limits_.send) +
                          "; connection closed");
            break;
        case Outcome::Refused:
            handshakeLog_.log(c.ip, c.refusal, name_ + ": master " + c.address + " refused: " + c.refusal,
                              name_ + ": handshakes from many addresses are failing");
            break;
        case Outcome::Late:
            lateLog_.log(name_ + ": " + std::to_string(limit_) + " masters connected; new master " +
                         c.address + " sent no request within " + seconds(limits_.send) + "; closed");
            break;
        case Outcome::Gone:
            break;
    }
    c.close();
    return false;
}

// Frees the place of masters that closed or reset, then of the longest-silent one if it has been
// silent long enough; false when no place is free. Only a newcomer that has proven itself
// (handshake done, or a whole frame sent) comes here.
bool TcpLoop::makeRoom(const std::string& newcomer) {
    if (masters_.size() < limit_) return true;
    std::erase_if(masters_, [](const auto& m) { return peerGone(m->fd.get()); });
    if (masters_.size() < limit_) return true;
    const auto now = Clock::now();
    auto idle = std::min_element(masters_.begin(), masters_.end(),
                                 [](const auto& a, const auto& b) { return a->lastInput < b->lastInput; });
    if (now - (*idle)->lastInput < limits_.idleEviction) {
        refuseLog_.log(name_ + ": " + std::to_string(limit_) + " masters connected; new master " + newcomer +
                       " closed");
        return false;
    }
    const auto silentS = std::chrono::duration_cast<std::chrono::seconds>(now - (*idle)->lastInput).count();
    evictLog_.log(name_ + ": master " + (*idle)->address + " silent for " + std::to_string(silentS) +
                  " s closed to let in new master " + newcomer);
    masters_.erase(idle);
    return true;
}

// A bounded number a round, so a storm of connections cannot hold up the masters' requests.
void TcpLoop::accept(bool& changed) {
    for (int k = 0; k < kAcceptsPerRound && !(oneAtATime_ && !masters_.empty()); ++k) {
        Accepted a = acceptMaster(listener_.get());
        if (!a.socket) {
            if (a.error) {
                acceptLog_.fail(name_ + ": accept failed: " + errorText(a.error) + "; retrying");
                acceptAgain_ = Clock::now() + std::chrono::milliseconds(kRetryMs);
            }
            return;
        }
        acceptLog_.succeed();
        // Before counting places: a master that may not connect never evicts one that may.
        if (!gate_->admit(a.socket.get())) continue;
        const std::string address = dotted(a.peer);
        std::unique_ptr<TcpConnection> c;
        try {
            c = std::make_unique<TcpConnection>(std::move(a.socket), address, ntohl(a.peer.sin_addr.s_addr),
                                                setup_.state.counters, tls_, limits_);
        } catch (const std::exception& e) {  // out of memory: this master goes, the others stay
            acceptLog_.fail(name_ + ": cannot serve master " + address + ": " + e.what());
            continue;
        }
        if (!c->tls && masters_.size() < limit_) {
            c->admit();
            masters_.push_back(std::move(c));
            changed = true;
            continue;
        }
        if (newcomers_.size() >= newcomerLimit_) {
            newcomers_.front()->close();
            newcomers_.erase(newcomers_.begin());
        }
        newcomers_.push_back(std::move(c));
    }
}

void TcpLoop::run(const std::stop_token& stop) {
    Waker waker;
    std::stop_callback wake(stop, [&waker] { waker.signal(); });
    const auto local = listenAddress(transport_, port_, s_.bindAddress);
    if (!local) {
        setup_.state.setFailure(port_ < 0 || port_ > 65535
                                    ? "port " + std::to_string(port_) + " is not a TCP port"
                                    : "\"bindAddress\" \"" + toUtf8(s_.bindAddress) +
                                          "\" is not an IPv4 address");
        while (!stop.stop_requested()) pause(waker);
        return;
    }
    gate_.emplace(s_.allowedMasters, name_);
    TransportState& state = setup_.state;
    int port = port_;
    std::vector<pollfd> fds;
    while (!stop.stop_requested()) {
        if (!listener_) {
            std::error_code error;
            listener_ = listenTcp(*local, port, oneAtATime_ ? 1 : SOMAXCONN, error);
            if (!listener_) {
                // An address the machine does not have (EADDRNOTAVAIL) may come with a late interface.
                const std::string why = "cannot listen on " + formatIpv4(*local) + " port " +
                                        std::to_string(port) + ": " + errorText(error);
                listenLog_.fail(name_ + ": " + why + "; retrying until stopped");
                state.setFailure(why);
                pause(waker);
                continue;
            }
            listenLog_.succeed();
            state.setFailure({});
            // Port 0: the system's choice, kept for the whole run so masters find it again after a re-listen.
            port = localPort(listener_.get());
            state.port = port;
            state.open = true;
        }

        auto next = Clock::time_point::max();
        for (const auto& m : masters_) next = std::min(next, m->deadline());
        for (const auto& m : newcomers_) next = std::min(next, m->deadline());
        const bool resting = Clock::now() < acceptAgain_;
        if (resting) next = std::min(next, acceptAgain_);
        const bool accepting = !resting && !(oneAtATime_ && !masters_.empty());
        fds.assign({{waker.fd(), POLLIN, 0}, {accepting ? listener_.get() : -1, POLLIN, 0}});
        for (const auto& m : masters_) fds.push_back({m->fd.get(), m->events(), 0});
        for (const auto& m : newcomers_) fds.push_back({m->fd.get(), m->events(), 0});
        const int n = ::poll(fds.data(), fds.size(), next == Clock::time_point::max() ? -1 : msUntil(next));
        if (n < 0) {
            if (errno != EINTR) pause(waker);
            continue;
        }
        if (fds[0].revents != 0) continue;  // a stop

        // Masters first, in order: one that has just closed frees its place before a newcomer is counted.
        bool changed = false;
        const std::size_t polledMasters = masters_.size();
        for (std::size_t i = 0; i < polledMasters; ++i) {
            if (!settle(*masters_[i], service(*masters_[i], fds[i + 2].revents))) changed = true;
        }
        std::erase_if(masters_, [](const auto& m) { return !m->fd; });
        if (oneAtATime_ && polledMasters > 0 && masters_.empty()) {
            // The listening socket is opened anew after a disconnect, which drops a queued master.
            listener_.reset();
            state.open = false;
            state.port = 0;
        }

        for (std::size_t i = 0; i < newcomers_.size(); ++i) {
            TcpConnection& c = *newcomers_[i];
            const Outcome outcome = service(c, fds[i + 2 + polledMasters].revents);
            if (!settle(c, outcome) || outcome != Outcome::Ready) continue;
            if (!makeRoom(c.address)) {
                c.close();
                continue;
            }
            c.admit();
            changed = true;
            // What came with the handshake or the first frame is answered now, not at the next event.
            const Outcome first =
                c.tls ? service(c, POLLIN) : (answerFrames(c) ? Outcome::Open : Outcome::Gone);
            if (settle(c, first)) masters_.push_back(std::move(newcomers_[i]));
        }
        std::erase_if(newcomers_, [](const auto& m) { return !m || !m->fd; });

        if (listener_ && fds[1].revents != 0) accept(changed);
        if (changed) showMasters();
    }
}

class TcpTransport final : public ModbusTransport {
public:
    explicit TcpTransport(TransportSetup setup) : setup_(std::move(setup)) {}
    void serve(std::stop_token stop) override { serveConnections(stop, setup_, Transport::Tcp, nullptr); }

private:
    TransportSetup setup_;
};

}  // namespace

void serveConnections(const std::stop_token& stop, TransportSetup& setup, Transport transport,
                      const TlsContext* tls) {
    TcpLoop(setup, transport, tls).run(stop);
}

std::unique_ptr<ModbusTransport> makeTcpTransport(TransportSetup setup) {
    return std::make_unique<TcpTransport>(std::move(setup));
}

}  // namespace tesmor
