#pragma once
// What the single-master benchmarks measure the server against: a libmodbus master and the bare
// libmodbus receive/reply loop a slave would be without the plug-in.
#include <modbus/modbus.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>

#include "support/Loopback.h"

namespace tesmor::bench {

struct MasterFree {
    void operator()(modbus_t* c) const {
        modbus_close(c);
        modbus_free(c);
    }
};
using Master = std::unique_ptr<modbus_t, MasterFree>;

// A master of unit 1 (the server answers its unit id only) on 127.0.0.1:`port`, tried for two
// seconds while the slave starts; null when nobody accepts.
inline Master connect(int port) {
    for (int i = 0; i < 200; ++i) {
        Master m(modbus_new_tcp("127.0.0.1", port));
        modbus_set_slave(m.get(), 1);
        if (modbus_connect(m.get()) == 0) return m;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return nullptr;
}

// A bare libmodbus slave: accept one master, receive and reply until it disconnects.
class BareLoop {
public:
    BareLoop()
        : port_(test::freeTcpPort()),
          store_(modbus_mapping_new(500, 500, 500, 500), modbus_mapping_free),
          ctx_(modbus_new_tcp("127.0.0.1", port_)) {
        listener_ = modbus_tcp_listen(ctx_.get(), 1);
        thread_ = std::thread([this] {
            int s = listener_;
            if (modbus_tcp_accept(ctx_.get(), &s) < 0) return;
            std::uint8_t req[MODBUS_TCP_MAX_ADU_LENGTH];
            for (;;) {
                const int rc = modbus_receive(ctx_.get(), req);
                if (rc > 0)
                    modbus_reply(ctx_.get(), req, rc, store_.get());
                else if (rc < 0)
                    break;
            }
        });
    }
    ~BareLoop() {
        thread_.join();  // ends when the master has disconnected
        ::close(listener_);
    }
    BareLoop(const BareLoop&) = delete;
    BareLoop& operator=(const BareLoop&) = delete;
    int port() const { return port_; }

private:
    int port_;
    std::unique_ptr<modbus_mapping_t, void (*)(modbus_mapping_t*)> store_;
    Master ctx_;
    int listener_ = -1;
    std::thread thread_;
};

}  // namespace tesmor::bench
