#pragma once
// Small helpers the transports share. Internal to modbus/.
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "modbus/AccessRules.h"
#include "modbus/Handles.h"
#include "modbus/RequestCheck.h"
#include "modbus/Transport.h"

namespace tesmor {
class TlsContext;
// The TCP connection loop of TcpTransport.cpp until `stop`; with `tls`, each connection runs a TLS
// session of that context before its first frame.
void serveConnections(const std::stop_token& stop, TransportSetup& setup, Transport transport,
                      const TlsContext* tls);
}  // namespace tesmor

namespace tesmor::transport {

// How long the transports pause between attempts to listen or to open a port.
inline constexpr int kRetryMs = 500;

// A failed system call as the log lines give it: "Address already in use (errno 98)".
std::string errorText(const std::error_code& error);

// Waits until `fd` has one of `events` or the waker fires. Returns the revents of `fd`, 0 when
// the waker fired or `timeoutMs` passed (-1: no limit), -1 on a poll failure other than EINTR.
int waitFor(int fd, short events, const Waker& waker, int timeoutMs);

// A calm pause between attempts; returns early when the waker fires.
void pause(const Waker& waker);

// "Modbus TCP", "Modbus TLS" or "Modbus RTU", how log lines name a server.
std::string serverName(Transport transport);

// The local address a TCP or TLS server listens on; nothing (logged once) when the port or the
// "bindAddress" cannot be used.
std::optional<Ipv4> listenAddress(Transport transport, int port, std::u16string_view bindAddress);

}  // namespace tesmor::transport
