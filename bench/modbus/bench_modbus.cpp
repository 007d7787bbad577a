// Back-to-back "read 125 holding registers" from one loopback master: the plug-in's server
// (device monitor running, a map of 40 entries) against a bare libmodbus receive/reply loop.
// Prints requests/s, p50 and p99 latency of each and the throughput ratio. On a shared machine
// the placement of the threads on cores dominates; `taskset -c 1 bench_modbus` gives steady figures.
//
// Then an RTU master over a socat pseudo-terminal pair polls "read 10 holding registers" while a
// TCP master floods requests without reading any reply, against the same RTU master without the
// flood in the same run: p50, p99 and the slowest answer of each (needs socat).
#include <benchmark/benchmark.h>
#include <modbus/modbus.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BareLoop.h"
#include "modbus/DeviceMonitor.h"
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
            case res::kItemLastError:
                return u"Код последней ошибки";
            default:
                return u"item " + std::u16string(1, static_cast<char16_t>(u'0' + id % 10));
        }
    }
};

struct Devices : DeviceSource {
    int count() override { return 8; }
    std::u16string name(int i) override {
        return u"GC-" + std::u16string(1, static_cast<char16_t>(u'0' + i));
    }
    std::int32_t lastError(int i) override { return i; }
    std::int32_t mode(int i) override { return i + 1; }
};

struct Result {
    double rate = 0, p50 = 0, p99 = 0;
};
Result g_server, g_bare;

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

// The two slaves are measured in alternating bursts, so load from other processes on the
// machine falls on both alike.
void BM_ServerVersusBareLoop(benchmark::State& state) {
    test::MemoryProfile profile;
    Strings strings;
    const int port = test::freeTcpPort();
    profile.setInt(kSettingsSection, u"isTCP", 1);
    profile.setInt(kSettingsSection, u"localPort", port);
    RegisterMap map;
    for (int i = 0; i < 40; ++i) {
        RegisterInfo e;
        e.deviceName = u"GC-" + std::u16string(1, static_cast<char16_t>(u'0' + i % 8));
        e.address = 200 + i;
        e.table = Table::HoldingRegisters;
        e.dataType = DataType::Int;
        e.dataItem = i % 2 ? DataItem::Mode : DataItem::LastError;
        map.push_back(e);
    }
    saveRegisterMap(profile, map, MapCaptions(strings));
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

extern "C" char** environ;

// Two linked pseudo-terminals made by socat; stopped by its process id.
class PtyPair {
public:
    PtyPair() {
        char tmpl[] = "/tmp/tesmor-bench-XXXXXX";
        if (!::mkdtemp(tmpl)) return;
        dir_ = tmpl;
        std::string a = "pty,raw,echo=0,link=" + this->a(), b = "pty,raw,echo=0,link=" + this->b();
        char socat[] = "socat";
        char* argv[] = {socat, a.data(), b.data(), nullptr};
        if (posix_spawnp(&pid_, "socat", nullptr, nullptr, argv, environ) != 0) pid_ = -1;
        for (int i = 0; i < 300 && pid_ > 0 && !ready(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ~PtyPair() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
        std::error_code ec;
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
    }
    bool ready() const { return std::filesystem::exists(a()) && std::filesystem::exists(b()); }
    std::string a() const { return dir_ + "/A"; }
    std::string b() const { return dir_ + "/B"; }

private:
    std::string dir_;
    pid_t pid_ = -1;
};

// Floods "read 125 holding registers" on connection after connection and never reads.
class Flood {
public:
    explicit Flood(int port)
        : thread_([port](std::stop_token stop) {
              std::vector<std::uint8_t> burst;
              for (int i = 0; i < 64; ++i)
                  burst.insert(burst.end(),
                               {0x00, 0x01, 0x00, 0x00, 0x00, 0x06, 0x01, 0x03, 0x00, 0x00, 0x00, 0x7D});
              while (!stop.stop_requested()) {
                  const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                  sockaddr_in a{};
                  a.sin_family = AF_INET;
                  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                  a.sin_port = htons(static_cast<std::uint16_t>(port));
                  const timeval t{0, 200000};
                  ::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &t, sizeof t);
                  if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
                      while (!stop.stop_requested()) {
                          if (::send(s, burst.data(), burst.size(), MSG_NOSIGNAL) < 0 && errno != EAGAIN)
                              break;
                      }
                  } else {
                      std::this_thread::sleep_for(std::chrono::milliseconds(10));
                  }
                  ::close(s);
              }
          }) {}

private:
    std::jthread thread_;
};

struct Latency {
    double p50 = 0, p99 = 0, max = 0;
    int answered = 0, failed = 0;
};
Latency g_rtuQuiet, g_rtuFlood;
bool g_rtuRan = false;

Latency pollRtu(modbus_t* master, std::chrono::seconds duration) {
    std::vector<double> ms;
    Latency l;
    const auto end = Clock::now() + duration;
    std::uint16_t regs[10];
    while (Clock::now() < end) {
        const auto t0 = Clock::now();
        if (modbus_read_registers(master, 0, 10, regs) == 10)
            ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        else
            ++l.failed;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (ms.empty()) return l;
    std::sort(ms.begin(), ms.end());
    l.answered = static_cast<int>(ms.size());
    l.p50 = ms[ms.size() / 2];
    l.p99 = ms[std::min(ms.size() - 1, ms.size() * 99 / 100)];
    l.max = ms.back();
    return l;
}

void BM_RtuDuringTcpFlood(benchmark::State& state) {
    PtyPair pty;
    if (!pty.ready()) {
        state.SkipWithError("socat could not make a pty pair");
        return;
    }
    test::MemoryProfile profile;
    Strings strings;
    const int port = test::freeTcpPort();
    profile.setInt(kSettingsSection, u"isTCP", 1);
    profile.setInt(kSettingsSection, u"localPort", port);
    profile.setInt(kSettingsSection, u"isRTU", 1);
    const std::string device = pty.a();
    profile.setString(kSettingsSection, u"portName", std::u16string(device.begin(), device.end()));
    profile.setInt(kSettingsSection, u"baud", 115200);
    ModbusServer server(profile, strings);
    server.restart();
    for (int i = 0; i < 300 && !server.rtuOpen(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    Master rtu(modbus_new_rtu(pty.b().c_str(), 115200, 'N', 8, 1));
    modbus_set_slave(rtu.get(), 1);
    modbus_set_response_timeout(rtu.get(), 2, 0);
    if (modbus_connect(rtu.get()) != 0) {
        state.SkipWithError("cannot open the master's end");
        return;
    }
    for (auto _ : state) {
        g_rtuQuiet = pollRtu(rtu.get(), std::chrono::seconds(5));
        Flood flood(port);
        g_rtuFlood = pollRtu(rtu.get(), std::chrono::seconds(20));
    }
    server.stop();
    g_rtuRan = true;
    state.counters["quiet_p99_ms"] = g_rtuQuiet.p99;
    state.counters["flood_p50_ms"] = g_rtuFlood.p50;
    state.counters["flood_p99_ms"] = g_rtuFlood.p99;
    state.counters["flood_max_ms"] = g_rtuFlood.max;
    state.counters["flood_failed"] = g_rtuFlood.failed;
}

BENCHMARK(BM_RtuDuringTcpFlood)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

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
    if (g_bare.rate > 0)
        std::printf("ratio (server / bare)  %.3f   (target >= 0.95)\n", g_server.rate / g_bare.rate);
    if (g_rtuRan) {
        auto rtu = [](const char* name, const Latency& l) {
            std::printf("%-22s %6d answered %3d failed   p50 %6.2f ms   p99 %6.2f ms   max %6.2f ms\n", name,
                        l.answered, l.failed, l.p50, l.p99, l.max);
        };
        std::printf("\nRTU master, read 10 holding registers every 5 ms, 115200 baud over a pty\n");
        rtu("quiet", g_rtuQuiet);
        rtu("TCP master flooding", g_rtuFlood);
        std::printf("p99 during the flood %.2f ms   (target < 100 ms)\n", g_rtuFlood.p99);
    }
    return 0;
}
