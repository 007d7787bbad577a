// Back-to-back "read 125 holding registers" from one loopback master: the plug-in's server
// (device monitor running, a map of 40 entries) against a bare libmodbus receive/reply loop.
// Prints requests/s, p50 and p99 latency of each and the throughput ratio.
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

void run(benchmark::State& state, int port, Result& out) {
    Master m = connect(port);
    if (!m) {
        state.SkipWithError("cannot connect");
        return;
    }
    std::vector<double> us;
    us.reserve(1 << 20);
    std::uint16_t regs[125];
    const auto start = Clock::now();
    for (auto _ : state) {
        const auto t0 = Clock::now();
        if (modbus_read_registers(m.get(), 0, 125, regs) != 125) {
            state.SkipWithError("read failed");
            break;
        }
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (us.empty()) return;
    std::sort(us.begin(), us.end());
    out.rate = static_cast<double>(us.size()) / seconds;
    out.p50 = us[us.size() / 2];
    out.p99 = us[std::min(us.size() - 1, us.size() * 99 / 100)];
    state.counters["req_per_s"] = out.rate;
    state.counters["p50_us"] = out.p50;
    state.counters["p99_us"] = out.p99;
    state.SetItemsProcessed(static_cast<std::int64_t>(us.size()));
}

void BM_PluginServer(benchmark::State& state) {
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
    run(state, port, g_server);
    monitor.stop();
    server.stop();
}

void BM_BareLibmodbusLoop(benchmark::State& state) {
    const int port = freePort();
    std::unique_ptr<modbus_mapping_t, void (*)(modbus_mapping_t*)> store(modbus_mapping_new(500, 500, 500, 500),
                                                                         modbus_mapping_free);
    Master ctx(modbus_new_tcp("127.0.0.1", port));
    int listener = modbus_tcp_listen(ctx.get(), 1);
    std::thread loop([&] {
        int s = listener;
        if (modbus_tcp_accept(ctx.get(), &s) < 0) return;
        std::uint8_t req[MODBUS_TCP_MAX_ADU_LENGTH];
        for (;;) {
            const int rc = modbus_receive(ctx.get(), req);
            if (rc > 0) modbus_reply(ctx.get(), req, rc, store.get());
            else if (rc < 0) break;
        }
    });
    run(state, port, g_bare);  // the master's disconnect ends the loop
    loop.join();
    ::close(listener);
}

BENCHMARK(BM_BareLibmodbusLoop)->MinTime(3.0)->UseRealTime();
BENCHMARK(BM_PluginServer)->MinTime(3.0)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    auto line = [](const char* name, const Result& r) {
        std::printf("%-22s %10.0f req/s   p50 %7.1f us   p99 %7.1f us\n", name, r.rate, r.p50, r.p99);
    };
    line("bare libmodbus loop", g_bare);
    line("plug-in server", g_server);
    if (g_bare.rate > 0) std::printf("ratio (server / bare)  %.3f   (target >= 0.9)\n", g_server.rate / g_bare.rate);
    return 0;
}
