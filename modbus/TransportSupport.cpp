#include "modbus/TransportSupport.h"

#include <poll.h>

#include <cerrno>
#include <cstring>

#include "platform/Log.h"
#include "platform/Text.h"

namespace tesmor::transport {

std::string errorText(const std::error_code& error) {
    return std::string(std::strerror(error.value())) + " (errno " + std::to_string(error.value()) + ")";
}

int waitFor(int fd, short events, const Waker& waker, int timeoutMs) {
    for (;;) {
        pollfd fds[2] = {{waker.fd(), POLLIN, 0}, {fd, events, 0}};
        const int n = ::poll(fds, fd >= 0 ? 2 : 1, timeoutMs < 0 ? -1 : timeoutMs);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (fds[0].revents != 0) return 0;
        return fds[1].revents;
    }
}

void pause(const Waker& waker) { waitFor(-1, 0, waker, kRetryMs); }

std::string serverName(Transport transport) {
    switch (transport) {
        case Transport::Tcp:
            return "Modbus TCP";
        case Transport::Tls:
            return "Modbus TLS";
        case Transport::Rtu:
            break;
    }
    return "Modbus RTU";
}

std::optional<Ipv4> listenAddress(Transport transport, int port, std::u16string_view bindAddress) {
    const std::string name = serverName(transport);
    if (port < 0 || port > 65535) {
        logLine(name + ": port " + std::to_string(port) + " is not a TCP port; not listening");
        return std::nullopt;
    }
    const auto local = bindAddressOf(bindAddress);
    if (!local)
        logLine(name + ": \"bindAddress\" \"" + toUtf8(bindAddress) +
                "\" is not an IPv4 address; not listening");
    return local;
}

}  // namespace tesmor::transport
