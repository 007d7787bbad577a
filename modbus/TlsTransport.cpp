// The Modbus/TCP Security transport: TLS with mutual authentication on its own port, served by the
// TCP transport's connection loop (TcpTransport.cpp) with a session on each connection.
#include <string>

#include "modbus/TlsContext.h"
#include "modbus/Transport.h"
#include "modbus/TransportSupport.h"
#include "platform/Log.h"
#include "platform/Text.h"

namespace tesmor {
namespace {

using namespace transport;

class TlsTransport final : public ModbusTransport {
public:
    explicit TlsTransport(TransportSetup setup) : setup_(std::move(setup)) {}

    void serve(std::stop_token stop) override {
        const auto& tls = setup_.settings.tls;
        // Made anew at every start: sessions of an earlier run, with the roles of then, are not resumed.
        const auto context = TlsContext::load({toUtf8(tls.certificate), toUtf8(tls.key), toUtf8(tls.ca)});
        if (context) {
            serveConnections(stop, setup_, Transport::Tls, &*context.value);
            return;
        }
        const std::string error = context.problemText();
        logLine("Modbus TLS: " + error + "; not started");
        setup_.state.setFailure(error);
        Waker waker;
        std::stop_callback wake(stop, [&waker] { waker.signal(); });
        while (!stop.stop_requested()) pause(waker);
    }

private:
    TransportSetup setup_;
};

}  // namespace

std::unique_ptr<ModbusTransport> makeTlsTransport(TransportSetup setup) {
    return std::make_unique<TlsTransport>(std::move(setup));
}

}  // namespace tesmor
