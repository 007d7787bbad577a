#pragma once
// A transport as the server sees it: a loop on a thread of its own that frames what its masters
// send and hands every complete frame to the server's request path. The server keeps the store,
// the lock and the life cycle; a transport keeps its sockets or its port. Internal to modbus/.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>

#include "modbus/ConnectionSettings.h"
#include "modbus/Counters.h"
#include "modbus/RequestCheck.h"

namespace tesmor {

// How long the TCP and TLS transports wait for a master.
struct TcpTimeouts {
    // A frame or TLS record whose next byte is this late is never completed (libmodbus's byte time-out).
    std::chrono::milliseconds byte{500};
    // A master that takes none of its replies for this long is treated as gone; a TLS handshake, or
    // at the limit of masters a newcomer's first frame, must have come within it.
    std::chrono::milliseconds send{3000};
    // At the limit of masters, a master silent this long gives its place to a newcomer that has
    // proven itself: usually a master that restarted, or a dead link.
    std::chrono::milliseconds idleEviction{10000};
};

// Who sent a frame, as the request path needs it.
struct Requester {
    Transport transport;
    int unitId;        // the unit id (RTU slave address) the transport answers
    MasterKey master;  // the master's identity for the record block
    // False refuses every write function whatever "writeAccess" allows (a TLS master without a
    // write role).
    bool mayWrite = true;
};

// Where every transport hands its complete frames.
class RequestPath {
public:
    // Checks one complete frame and answers it from the store under the lock. Writes the bytes to
    // send into `reply` (kMaxReply bytes) and returns their number, 0 when nothing is to be sent.
    virtual int answer(const std::uint8_t* frame, int length, const Requester& from, std::uint8_t* reply) = 0;

protected:
    ~RequestPath() = default;
};

// What the readers see of one transport. The counters survive restarts.
struct TransportState {
    std::atomic<bool> running{false};
    std::atomic<bool> open{false};  // listening socket / serial port held
    std::atomic<int> port{0};       // TCP and TLS: the port listened on
    TransportCounters counters;

    // Why the transport, running, does not listen: the reason it logged; empty once it listens.
    void setFailure(std::string why) {
        std::lock_guard lock(failureMutex_);
        failure_ = std::move(why);
    }
    std::string failure() const {
        std::lock_guard lock(failureMutex_);
        return failure_;
    }

private:
    mutable std::mutex failureMutex_;
    std::string failure_;
};

// The host name and the address of the newest answered TCP master, for the main window. Any thread.
class PeerInfo {
public:
    void set(std::optional<std::u16string> host, std::optional<std::u16string> peer) {
        std::lock_guard lock(mutex_);
        if (host) host_ = std::move(*host);
        if (peer) peer_ = std::move(*peer);
    }
    void clear() { set(u"", u""); }
    std::u16string host() const {
        std::lock_guard lock(mutex_);
        return host_;
    }
    std::u16string peer() const {
        std::lock_guard lock(mutex_);
        return peer_;
    }

private:
    mutable std::mutex mutex_;
    std::u16string host_, peer_;
};

// What a transport is made with; the references outlive it.
struct TransportSetup {
    ConnectionSettings settings;
    TcpTimeouts timeouts;
    RequestPath& path;
    TransportState& state;
    PeerInfo& peers;
};

class ModbusTransport {
public:
    virtual ~ModbusTransport() = default;
    // Serves until `stop`, retrying calmly what fails (a busy port, an address not yet there).
    // May throw; the server then logs the reason and the transport stays ended until a restart.
    virtual void serve(std::stop_token stop) = 0;
};

// Modbus TCP: one master at a time while "maxMasters" is 1 (a second one waits unanswered in the
// backlog), else up to "maxMasters" from one poll() loop. TcpTransport.cpp.
std::unique_ptr<ModbusTransport> makeTcpTransport(TransportSetup setup);
// Modbus/TCP Security: the TCP loop with a TLS session on each connection. TlsTransport.cpp.
std::unique_ptr<ModbusTransport> makeTlsTransport(TransportSetup setup);
// Modbus RTU on the serial port. RtuTransport.cpp.
std::unique_ptr<ModbusTransport> makeRtuTransport(TransportSetup setup);

}  // namespace tesmor
