// The cost of the access locks: the plug-in's server with a 64-entry allow-list (the master's
// address last) and writes limited to registers outside a 64-entry map, against a bare
// libmodbus receive/reply loop, in alternating bursts from one loopback master each. Every
// burst alternates "read 125 holding registers" with "write 2 holding registers" outside the
// map, so each write goes through the published-register test. Prints requests/s of each and
// the ratio (target >= 0.95). `taskset -c 1 bench_access` gives steady figures.
#include <benchmark/benchmark.h>
#include <modbus/modbus.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "BareLoop.h"
#include "modbus/ModbusServer.h"
#include "platform/ResourceIds.h"
#include "support/Loopback.h"
#include "support/MemoryProfile.h"

namespace {

using namespace tesmor;
using namespace tesmor::bench;
using Clock = std::chrono::steady_clock;

struct Strings : StringSource {
    std::u16string loadString(unsigned id) const override {
        switch (id) {
            case res::kItemMode:
                return u"Режим устройства";
            case res::kItemArea:
                return u"Площадь пика";
            default:
                return u"item " + std::u16string(1, static_cast<char16_t>(u'0' + id % 10));
        }
    }
};

// Requests answered and time spent by one side.
struct Side {
    long requests = 0;
    double seconds = 0;
    bool failed = false;

    void burst(modbus_t* m, int pairs) {
        std::uint16_t regs[125];
        const std::uint16_t values[2] = {1, 2};
        const auto start = Clock::now();
        for (int i = 0; i < pairs; ++i) {
            if (modbus_read_registers(m, 0, 125, regs) != 125 ||
                modbus_write_registers(m, 450, 2, values) != 2) {
                failed = true;
                return;
            }
        }
        requests += 2L * pairs;
        seconds += std::chrono::duration<double>(Clock::now() - start).count();
    }
    double rate() const { return seconds > 0 ? static_cast<double>(requests) / seconds : 0; }
};

double g_server = 0, g_bare = 0;

void BM_LockedServerVersusBareLoop(benchmark::State& state) {
    test::MemoryProfile profile;
    Strings strings;
    const int port = test::freeTcpPort();
    profile.setInt(kSettingsSection, u"isTCP", 1);
    profile.setInt(kSettingsSection, u"localPort", port);
    profile.setInt(kSettingsSection, u"writeAccess", 1);
    std::u16string masters;
    for (int i = 0; i < 63; ++i) {
        const std::string item = "10.20." + std::to_string(i) + ".0/24, ";
        masters.append(item.begin(), item.end());
    }
    masters += u"127.0.0.1";
    profile.setString(kSettingsSection, u"allowedMasters", masters);
    RegisterMap map;
    for (int i = 0; i < 64; ++i) {
        RegisterInfo e;
        e.address = 2 * i;
        e.table = Table::HoldingRegisters;
        e.dataType = i % 2 ? DataType::Int : DataType::Float;
        e.byteOrder = ByteOrder::BigEndian;
        e.dataItem = i % 2 ? DataItem::Mode : DataItem::Area;
        map.push_back(e);
    }
    saveRegisterMap(profile, map, MapCaptions(strings));
    ModbusServer server(profile, strings);
    server.restart();

    Side serverSide, bareSide;
    {
        BareLoop bare;
        Master toServer = connect(port), toBare = connect(bare.port());
        if (!toServer || !toBare) {
            state.SkipWithError("cannot connect");
            return;
        }
        constexpr int kPairs = 250;
        for (auto _ : state) {
            bareSide.burst(toBare.get(), kPairs);
            serverSide.burst(toServer.get(), kPairs);
            if (bareSide.failed || serverSide.failed) {
                state.SkipWithError("a request failed");
                break;
            }
        }
    }
    server.stop();
    g_server = serverSide.rate();
    g_bare = bareSide.rate();
    state.counters["server_req_per_s"] = g_server;
    state.counters["bare_req_per_s"] = g_bare;
    state.counters["ratio"] = g_bare > 0 ? g_server / g_bare : 0;
}

BENCHMARK(BM_LockedServerVersusBareLoop)->MinTime(6.0)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::printf(
        "\nread 125 / write 2 holding registers alternately, one loopback master, 64-entry allow-list,\n"
        "write access 1 over a 64-entry map\n");
    std::printf("%-22s %10.0f req/s\n", "bare libmodbus loop", g_bare);
    std::printf("%-22s %10.0f req/s\n", "plug-in server", g_server);
    if (g_bare > 0) std::printf("ratio (server / bare)  %.3f   (target >= 0.95)\n", g_server / g_bare);
    return 0;
}
