// The Modbus/TCP Security transport: TLS with mutual authentication on its own port, served by the
// TCP transport's connection loop (TcpTransport.cpp) with a session on each connection.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <exception>
#include <string>

#include "modbus/ModbusServer.h"
#include "modbus/TlsContext.h"
#include "modbus/TransportSupport.h"
#include "platform/Log.h"
#include "platform/Text.h"

namespace tesmor {

using namespace transport;

namespace {

// Why no server could listen on the port now (another program holds it), empty when one could.
// Only looked at once, so that the window can say why TLS does not run; the connection loop
// keeps trying all the same.
std::string portRefusal(Ipv4 local, int port) {
    UniqueFd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!s) return {};
    const int on = 1;
    ::setsockopt(s.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(local);
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::bind(s.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return {};
    return "cannot listen on " + formatIpv4(local) + " port " + std::to_string(port) + ": " +
           errorText(errno);
}

}  // namespace

std::string ModbusServer::tlsFailure() const {
    std::lock_guard info(infoMutex_);
    return tlsListening() ? std::string() : tlsFailure_;
}

void ModbusServer::runTls(std::stop_token stop, ConnectionSettings settings) noexcept {
    try {
        tlsLoop(stop, settings);
    } catch (const std::exception& e) {
        logLine(std::string("Modbus TLS transport ended: ") + e.what());
    }
    {
        std::lock_guard info(infoMutex_);
        tlsFailure_.clear();
    }
    tls_.open = false;
    tls_.port = 0;
}

void ModbusServer::tlsLoop(std::stop_token stop, const ConnectionSettings& s) {
    Waker waker;
    std::stop_callback wake(stop, [&waker] { waker.signal(); });

    std::string error;
    const auto context =
        TlsContext::load({toUtf8(s.tls.certificate), toUtf8(s.tls.key), toUtf8(s.tls.ca)}, error);
    if (!context) logLine("Modbus TLS: " + error + "; not started");
    const auto local = context ? listenAddress(Transport::Tls, s.tls.port, s.bindAddress) : std::nullopt;
    if (!local) {
        if (context)
            error = s.tls.port < 0 || s.tls.port > 65535
                        ? "port " + std::to_string(s.tls.port) + " is not a TCP port"
                        : "\"bindAddress\" \"" + toUtf8(s.bindAddress) + "\" is not an IPv4 address";
        {
            std::lock_guard info(infoMutex_);
            tlsFailure_ = error;
        }
        while (!stop.stop_requested()) pause(waker);
        return;
    }
    const Ipv4 address = *local;
    {
        std::string refusal = portRefusal(address, s.tls.port);
        std::lock_guard info(infoMutex_);
        tlsFailure_ = std::move(refusal);
    }
    MasterGate gate(s.allowedMasters, serverName(Transport::Tls));
    Served served;
    served.transport = Transport::Tls;
    served.port = s.tls.port;
    served.unitId = s.tcpUnitId;
    // One poll() loop even for one master: a handshake must never hold up the master being served.
    served.maxMasters = static_cast<std::size_t>(s.maxMasters);
    served.tls = &*context;
    served.timeouts = timeouts_;
    served.writeRoles = s.tls.writeRoles;
    serveMasters(stop, served, address, gate, waker);
}

}  // namespace tesmor
