// Back-to-back "read 125 holding registers" from one loopback master: the plug-in's server
// (device monitor running, a map of 40 entries) against a bare libmodbus receive/reply loop.
// Prints requests/s, p50 and p99 latency of each and the throughput ratio. On a shared machine
// the placement of the threads on cores dominates; `taskset -c 1 bench_modbus` gives steady figures.
#include <benchmark/benchmark.h>

#include <modbus/modbus.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "modbus/DeviceMonitor.h"
#include "modbus/ModbusServer.h"
#include "support/MemoryProfile.h"

namespace {

using namespace tesmor;
using Clock = std::chrono::steady_clock;

int freePort() {
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(s);
    return ntohs(a.sin_port);
}

struct Strings : StringSource {
    std::u16string loadString(unsigned id) const override {
        switch (id) {
        case 138: return u"Режим устройства";
        case 143: return u"Код последней ошибки";
        default: return u"item " + std::u16string(1, static_cast<char16_t>(u'0' + id % 10));
        }
    }
};

struct Devices : DeviceSource {
    int count() override { return 8; }
    std::u16string name(int i) override { return u"GC-" + std::u16string(1, static_cast<char16_t>(u'0' + i)); }
    std::int32_t lastError(int i) override { return i; }
    std::int32_t mode(int i) override { return i + 1; }
};

struct Result {
    double rate = 0, p50 = 0, p99 = 0;
};
Result g_server, g_bare;

struct MasterFree {
    void operator()(modbus_t* c) const {
        modbus_close(c);
        modbus_free(c);
    }
};
using Master = std::unique_ptr<modbus_t, MasterFree>;

Master connect(int port) {
    for (int i = 0; i < 200; ++i) {
        Master m(modbus_new_tcp("127.0.0.1", port));
        modbus_set_slave(m.get(), 1);  // the server answers its unit id only
        if (modbus_connect(m.get()) == 0) return m;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return nullptr;
}

// Latencies and busy time of one side.
struct Side {
    std::vector<double> us;
    double seconds = 0;
    bool failed = false;

    void burst(modbus_t* m, int requests) {
        std::uint16_t regs[125];
        const auto start = Clock::now();
        for (int i = 0; i < requests; ++i) {
            const auto t0 = Clock::now();
            if (modbus_read_registers(m, 0, 125, regs) != 125) {
                failed = true;
                return;
            }
            us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
        }
        seconds += std::chrono::duration<double>(Clock::now() - start).count();
    }
    Result result() {
        Result r;
        if (us.empty()) return r;
        std::sort(us.begin(), us.end());
        r.rate = static_cast<double>(us.size()) / seconds;
        r.p50 = us[us.size() / 2];
        r.p99 = us[std::min(us.size() - 1, us.size() * 99 / 100)];
        return r;
    }
};

// A bare libmodbus slave: accept one master, receive and reply until it disconnects.
class BareLoop {
public:
    BareLoop() : port_(freePort()), store_(modbus_mapping_new(500, 500, 500, 500), modbus_mapping_free), ctx_(modbus_new_tcp("127.0.0.1", port_)) {
        listener_ = modbus_tcp_listen(ctx_.get(), 1);
        thread_ = std::thread([this] {
            int s = listener_;
            if (modbus_tcp_accept(ctx_.get(), &s) < 0) return;
            std::uint8_t req[MODBUS_TCP_MAX_ADU_LENGTH];
            for (;;) {
                const int rc = modbus_receive(ctx_.get(), req);
                if (rc > 0) modbus_reply(ctx_.get(), req, rc, store_.get());
                else if (rc < 0) break;
            }
        });
    }
    ~BareLoop() {
        thread_.join();  // ends when the master has disconnected
        ::close(listener_);
    }
    int port() const { return port_; }

private:
    int port_;
    std::unique_ptr<modbus_mapping_t, void (*)(modbus_mapping_t*)> store_;
    Master ctx_;
    int listener_ = -1;
    std::thread thread_;
};

// The two slaves are measured in alternating bursts, so load from other processes on the
// machine falls on both alike.
void BM_ServerVersusBareLoop(benchmark::State& state) {
    test::MemoryProfile profile;
    Strings strings;
    const int port = freePort();
    profile.setInt(kSettingsSection, u"isTCP", 1);
    profile.setInt(kSettingsSection, u"localPort", port);
    RegisterMap map;
    for (int i = 0; i < 40; ++i) {
        RegisterInfo e;
        e.deviceName = u"GC-" + std::u16string(1, static_cast<char16_t>(u'0' + i % 8));
        e.address = 200 + i;
        e.registerType = u"Holding Registers (4x)";
        e.dataType = u"INT";
        e.dataItem = i % 2 ? u"Режим устройства" : u"Код последней ошибки";
        map.push_back(e);
    }
    saveRegisterMap(profile, map);
    ModbusServer server(profile, strings);
    server.restart();
    Devices devices;
    DeviceMonitor monitor(server, devices);
    monitor.start();

    Side serverSide, bareSide;
    {
        BareLoop bare;
        Master toServer = connect(port), toBare = connect(bare.port());
        if (!toServer || !toBare) {
            state.SkipWithError("cannot connect");
            return;
        }
        constexpr int kBurst = 500;
        for (auto _ : state) {
            bareSide.burst(toBare.get(), kBurst);
            serverSide.burst(toServer.get(), kBurst);
            if (bareSide.failed || serverSide.failed) {
                state.SkipWithError("read failed");
                break;
            }
        }
    }
    monitor.stop();
    server.stop();
    g_server = serverSide.result();
    g_bare = bareSide.result();
    state.counters["server_req_per_s"] = g_server.rate;
    state.counters["server_p50_us"] = g_server.p50;
    state.counters["server_p99_us"] = g_server.p99;
    state.counters["bare_req_per_s"] = g_bare.rate;
    state.counters["bare_p50_us"] = g_bare.p50;
    state.counters["bare_p99_us"] = g_bare.p99;
    state.counters["ratio"] = g_bare.rate > 0 ? g_server.rate / g_bare.rate : 0;
}

BENCHMARK(BM_ServerVersusBareLoop)->MinTime(6.0)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    auto line = [](const char* name, const Result& r) {
        std::printf("%-22s %10.0f req/s   p50 %7.1f us   p99 %7.1f us\n", name, r.rate, r.p50, r.p99);
    };
    std::printf("\nread 125 holding registers, one loopback master, alternating bursts of 500\n");
    line("bare libmodbus loop", g_bare);
    line("plug-in server", g_server);
    if (g_bare.rate > 0) std::printf("ratio (server / bare)  %.3f   (target >= 0.9)\n", g_server.rate / g_bare.rate);
    return 0;
}
