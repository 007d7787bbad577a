// The Modbus/TCP Security transport: TLS with mutual authentication on its own port, served by the
// TCP transport's connection loop (TcpTransport.cpp) with a session on each connection.
#include <exception>
#include <string>

#include "modbus/ModbusServer.h"
#include "modbus/TlsContext.h"
#include "modbus/TransportSupport.h"
#include "platform/Log.h"
#include "platform/Text.h"

namespace tesmor {

using namespace transport;

void ModbusServer::runTls(std::stop_token stop, ConnectionSettings settings) noexcept {
    try {
        tlsLoop(stop, settings);
    } catch (const std::exception& e) {
        logLine(std::string("Modbus TLS transport ended: ") + e.what());
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
        while (!stop.stop_requested()) pause(waker);
        return;
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
    serveMasters(stop, served, *local, gate, waker);
}

}  // namespace tesmor
