#include "modbus/ModbusServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <optional>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "modbus/RequestCheck.h"
#include "platform/Log.h"
#include "platform/Text.h"

namespace tesmor {

namespace {

constexpr int kRetryMs = 500;
// How long another slave on an RTU bus may take to answer a request addressed to it
// (libmodbus's default response time-out).
constexpr int kOtherSlaveReplyMs = 500;

// Keep-alive timers for an accepted master: a master that vanished without closing is dropped
// after about 40 s; one that merely polls slowly answers the probes and stays.
constexpr int kKeepIdleS = 10;
constexpr int kKeepIntervalS = 5;
constexpr int kKeepCount = 4;
constexpr unsigned kUserTimeoutMs = 40000;

std::string errorText(int error) {
    return std::string(std::strerror(error)) + " (errno " + std::to_string(error) + ")";
}

// Waits until `fd` is readable or the waker fires. Returns the revents of `fd`, 0 when the
// waker fired or the timeout passed, -1 on a poll failure other than EINTR.
int waitReadable(int fd, const Waker& waker, int timeoutMs) {
    for (;;) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {waker.fd(), POLLIN, 0}};
        const int n = ::poll(fds, fd >= 0 ? 2 : 1, -1 == timeoutMs ? -1 : timeoutMs);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (fds[1].revents != 0) return 0;
        return fds[0].revents;
    }
}

// A calm pause between attempts: returns early when a stop is requested.
void pause(const Waker& waker) {
    pollfd w{waker.fd(), POLLIN, 0};
    while (::poll(&w, 1, kRetryMs) < 0 && errno == EINTR) {
    }
}

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

// libmodbus reports a stalled partial frame and a connection killed by keep-alive both as
// ETIMEDOUT; only the second one has left the established state.
bool stillEstablished(int fd) {
    tcp_info info{};
    socklen_t len = sizeof info;
    return ::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) == 0 && info.tcpi_state == TCP_ESTABLISHED;
}

// Logs a failure once until the next success.
class OnceLog {
public:
    void fail(const std::string& text) {
        if (!logged_) logLine(text);
        logged_ = true;
    }
    void succeed() { logged_ = false; }

private:
    bool logged_ = false;
};

}  // namespace

ModbusServer::ModbusServer(Profile& profile, const StringSource& strings)
    : profile_(profile), strings_(strings), registers_(modbus_mapping_new(500, 500, 500, 500)) {
    if (!registers_) throw std::bad_alloc();
}

ModbusServer::~ModbusServer() { stop(); }

void ModbusServer::restart() {
    std::lock_guard control(controlMutex_);
    const ConnectionSettings s = loadConnectionSettings(profile_);
    {
        std::lock_guard info(infoMutex_);
        settings_ = s;
    }
    reloadConfiguration();
    stopTransports();
    if (s.tcpEnabled == 1) {
        startPending_ = false;
        tcpThread_ = std::jthread([this, s](std::stop_token t) { runTcp(t, s); });
    }
    if (s.rtuEnabled == 1) {
        startPending_ = false;
        rtuThread_ = std::jthread([this, s](std::stop_token t) { runRtu(t, s); });
    }
}

void ModbusServer::stop() {
    std::lock_guard control(controlMutex_);
    stopTransports();
}

void ModbusServer::stopTransports() {
    // Each thread has its own stop state, so a stop can never be lost to a thread that starts late.
    tcpThread_.request_stop();
    rtuThread_.request_stop();
    if (tcpThread_.joinable()) tcpThread_.join();
    if (rtuThread_.joinable()) rtuThread_.join();
    tcpThread_ = {};
    rtuThread_ = {};
}

void ModbusServer::reloadConfiguration() {
    auto captions = loadItemCaptions(strings_);
    auto map = tesmor::loadRegisterMap(profile_);
    {
        std::lock_guard data(dataMutex_);
        captions_ = std::move(captions);
        map_ = std::move(map);
    }
    logMisplacedEntries();
    std::function<void()> hook;
    {
        std::lock_guard info(infoMutex_);
        hook = reloadHook_;
    }
    if (hook) hook();
}

void ModbusServer::loadRegisterMap() {
    auto map = tesmor::loadRegisterMap(profile_);
    {
        std::lock_guard data(dataMutex_);
        map_ = std::move(map);
    }
    logMisplacedEntries();
}

void ModbusServer::saveRegisterMap() {
    RegisterMap copy;
    {
        std::lock_guard data(dataMutex_);
        copy = map_;
    }
    tesmor::saveRegisterMap(profile_, copy);
}

void ModbusServer::logMisplacedEntries() {
    std::vector<std::string> lines;
    {
        std::lock_guard data(dataMutex_);
        if (mapLogged_ && sameConfiguration(map_, loggedMap_)) return;
        loggedMap_ = map_;
        mapLogged_ = true;
        for (std::size_t i = 0; i < map_.size(); ++i) {
            const auto& e = map_[i];
            const int span = registerSpan(e, captions_);
            if (span > 0 && !spanFitsTables(e, captions_))
                lines.push_back("register map entry " + std::to_string(i) + " at address " +
                                std::to_string(e.address) + " needs " + std::to_string(span) +
                                " registers beyond the 500 of its table; it is not written");
        }
    }
    for (const auto& l : lines) logLine(l);
}

void ModbusServer::setReloadHook(std::function<void()> hook) {
    std::lock_guard info(infoMutex_);
    reloadHook_ = std::move(hook);
}

ConnectionSettings ModbusServer::connectionSettings() const {
    std::lock_guard info(infoMutex_);
    return settings_;
}

std::u16string ModbusServer::localHostName() const {
    std::lock_guard info(infoMutex_);
    return localHostName_;
}

std::u16string ModbusServer::peerAddress() const {
    std::lock_guard info(infoMutex_);
    return peerAddress_;
}

void ModbusServer::refreshPeerInfo(int socket, PeerRefresh& state) {
    // A connected socket's peer never changes and the host name rarely does: look them up at
    // the first answer of a connection and the host name again at most once a second, which
    // keeps two system calls and two conversions off every request.
    const auto now = std::chrono::steady_clock::now();
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
    // The connection being served, shut down by a stop so that a silent master does not hold
    // the thread; -1 outside a connection. Guarded so that a stop never touches a closed fd.
    std::mutex liveMutex;
    int liveSocket = -1;
    std::stop_callback wake(stop, [&] {
        waker.signal();
        std::lock_guard live(liveMutex);
        if (liveSocket >= 0) ::shutdown(liveSocket, SHUT_RDWR);
    });

    if (s.tcpPort < 0 || s.tcpPort > 65535) {
        logLine("Modbus TCP: port " + std::to_string(s.tcpPort) + " is not a TCP port; not listening");
        while (!stop.stop_requested()) pause(waker);
        return;
    }
    ModbusContext ctx(modbus_new_tcp("0.0.0.0", s.tcpPort));
    if (!ctx) throw std::bad_alloc();
    // libmodbus refuses ids it considers invalid for TCP; the unit id is checked here anyway.
    modbus_set_slave(ctx.get(), s.tcpUnitId);

    OnceLog listenLog, acceptLog;
    bool highFdLogged = false;
    std::uint8_t request[MODBUS_TCP_MAX_ADU_LENGTH];

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
            const int ev = waitReadable(listener.get(), waker, -1);
            if (ev <= 0) {
                if (ev < 0) pause(waker);
                continue;
            }
            UniqueFd fd(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (!fd) {
                const int err = errno;
                if (err == EINTR || err == ECONNABORTED || err == EAGAIN) continue;
                acceptLog.fail("Modbus TCP: accept failed: " + errorText(err) + "; retrying");
                pause(waker);  // out of descriptors or memory: the pending master stays queued
                continue;
            }
            acceptLog.succeed();
            if (fd.get() >= FD_SETSIZE) {
                // libmodbus waits with select(), which cannot take such a descriptor.
                if (!highFdLogged)
                    logLine("Modbus TCP: refused a master: socket descriptor " + std::to_string(fd.get()) +
                            " is beyond what libmodbus can wait on (" + std::to_string(FD_SETSIZE) + ")");
                highFdLogged = true;
                continue;
            }
            connection = std::move(fd);
        }
        if (!connection) break;

        enableKeepAlive(connection.get());
        const int sock = connection.get();
        modbus_set_socket(ctx.get(), connection.release());  // the context closes it now
        {
            std::lock_guard live(liveMutex);
            liveSocket = sock;
        }

        PeerRefresh peerState;
        while (!stop.stop_requested()) {
            const int rc = modbus_receive(ctx.get(), request);
            if (rc > 0) {
                // Another unit, another protocol or a broken frame: no answer at all.
                const RequestVerdict v = checkRequest(request, rc, Transport::Tcp, s.tcpUnitId, *registers_);
                if (v.action != RequestVerdict::Drop) {
                    refreshPeerInfo(sock, peerState);
                    std::lock_guard data(dataMutex_);
                    answerRequest(ctx.get(), request, rc, Transport::Tcp, s.tcpUnitId, *registers_);
                }
                if (v.close) break;
            } else if (rc < 0) {
                if (errno == ETIMEDOUT && stillEstablished(sock)) continue;  // a stalled frame
                break;  // the master closed the connection, it failed, or a stop shut it down
            }
        }
        {
            std::lock_guard live(liveMutex);
            liveSocket = -1;
        }
        // After a disconnect the listening socket is opened anew, which drops a queued master.
        modbus_close(ctx.get());
        tcpListening_ = false;
    }
}

void ModbusServer::runRtu(std::stop_token stop, ConnectionSettings settings) noexcept {
    try {
        rtuLoop(stop, settings);
    } catch (const std::exception& e) {
        logLine(std::string("Modbus RTU transport ended: ") + e.what());
    }
    rtuOpen_ = false;
}

void ModbusServer::rtuLoop(std::stop_token stop, const ConnectionSettings& s) {
    Waker waker;
    std::stop_callback wake(stop, [&waker] { waker.signal(); });

    const std::string device = serialDevicePath(s.portName);
    ModbusContext ctx(
        modbus_new_rtu(device.c_str(), s.baudRate, parityCharacter(s.parity), s.dataBits, s.stopBits));
    if (!ctx) {
        logLine("Modbus RTU: cannot use " + device + " with " + std::to_string(s.baudRate) + " baud, parity \"" +
                toUtf8(s.parity) + "\", " + std::to_string(s.dataBits) + " data bits, " +
                std::to_string(s.stopBits) + " stop bits: " + errorText(errno) + "; not answering");
        while (!stop.stop_requested()) pause(waker);
        return;
    }
    if (modbus_set_slave(ctx.get(), s.rtuUnitId) != 0)
        logLine("Modbus RTU: slave id " + std::to_string(s.rtuUnitId) + " refused: " + errorText(errno));
    modbus_set_indication_timeout(ctx.get(), 0, 50000);
    modbus_set_response_timeout(ctx.get(), 0, kOtherSlaveReplyMs * 1000);

    OnceLog openLog;
    std::uint8_t request[MODBUS_RTU_MAX_ADU_LENGTH];
    while (!stop.stop_requested()) {
        if (modbus_connect(ctx.get()) != 0) {
            openLog.fail("Modbus RTU: cannot open " + device + ": " + errorText(errno) + "; retrying until stopped");
            pause(waker);
            continue;
        }
        const int fd = modbus_get_socket(ctx.get());
        if (fd >= FD_SETSIZE) {
            openLog.fail("Modbus RTU: descriptor of " + device + " is beyond what libmodbus can wait on; retrying");
            modbus_close(ctx.get());
            pause(waker);
            continue;
        }
        // libmodbus opens the device without a lock; another program must see it busy.
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            openLog.fail("Modbus RTU: " + device + " is in use by another program; retrying until stopped");
            modbus_close(ctx.get());
            pause(waker);
            continue;
        }
        ::ioctl(fd, TIOCEXCL);
        openLog.succeed();
        rtuOpen_ = true;

        // After a request for another slave libmodbus takes the next frame for that slave's
        // reply and drops it. When no reply comes within the response time-out the expectation
        // is cleared here, so the next request to this slave is not dropped however late it comes.
        bool otherSlaveReplyExpected = false;
        while (!stop.stop_requested()) {
            const int ev = waitReadable(fd, waker, otherSlaveReplyExpected ? kOtherSlaveReplyMs : -1);
            if (ev == 0) {
                if (otherSlaveReplyExpected && !stop.stop_requested()) {
                    modbus_set_response_timeout(ctx.get(), 0, 1);
                    modbus_receive(ctx.get(), request);
                    modbus_set_response_timeout(ctx.get(), 0, kOtherSlaveReplyMs * 1000);
                    otherSlaveReplyExpected = false;
                }
                continue;
            }
            if (ev < 0 || (ev & (POLLERR | POLLHUP | POLLNVAL))) {
                openLog.fail("Modbus RTU: " + device + " went away; reopening");
                pause(waker);
                break;
            }
            const int rc = modbus_receive(ctx.get(), request);
            if (rc > 0 && !otherSlaveReplyExpected) {
                std::lock_guard data(dataMutex_);
                answerRequest(ctx.get(), request, rc, Transport::Rtu, s.rtuUnitId, *registers_);
            }
            otherSlaveReplyExpected = !otherSlaveReplyExpected && rc == 0;
        }
        rtuOpen_ = false;
        ::ioctl(fd, TIOCNXCL);
        modbus_close(ctx.get());  // closing the descriptor drops the lock
    }
}

}  // namespace tesmor
