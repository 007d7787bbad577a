// Several loopback masters at once, each sending back-to-back "read 125 holding registers": the
// plug-in's server ("maxMasters" 8) against a bare libmodbus server that serves many clients from
// one poll() loop, as libmodbus's own many-clients example does, in the same run. For 1, 2, 4 and
// 8 masters: aggregate requests/s, p50 and p99 latency of the masters' requests, and the ratio.
// Then connect + one request + close cycles/s from one master against both.
// Each figure is the median of three rounds, the two servers measured alternately.
//   bench_masters [seconds per measurement, default 1.5] | --benchmark_list_tests
#include <modbus/modbus.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "modbus/ModbusServer.h"
#include "support/Loopback.h"
#include "support/MemoryProfile.h"

namespace {

using namespace tesmor;
using Clock = std::chrono::steady_clock;

struct NoStrings : StringSource {
    std::u16string loadString(unsigned) const override { return {}; }
};

// libmodbus's many-clients server: one poll() over the listener and the clients.
class BareServer {
public:
    explicit BareServer(int port)
        : ctx_(modbus_new_tcp("127.0.0.1", port)), map_(modbus_mapping_new(0, 0, 500, 0)) {
        listener_ = modbus_tcp_listen(ctx_, 16);
        thread_ = std::thread([this] { run(); });
    }
    ~BareServer() {
        stop_ = true;
        thread_.join();
        for (int fd : clients_) ::close(fd);
        ::close(listener_);
        modbus_mapping_free(map_);
        modbus_free(ctx_);
    }
    bool ok() const { return listener_ >= 0; }

private:
    void run() {
        std::uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
        std::vector<pollfd> fds;
        while (!stop_) {
            fds.assign({{listener_, POLLIN, 0}});
            for (int fd : clients_) fds.push_back({fd, POLLIN, 0});
            if (::poll(fds.data(), fds.size(), 50) <= 0) continue;
            if (fds[0].revents & POLLIN) {
                const int fd = ::accept(listener_, nullptr, nullptr);
                if (fd >= 0) clients_.push_back(fd);
            }
            for (std::size_t i = 1; i < fds.size(); ++i) {
                if (fds[i].revents == 0) continue;
                modbus_set_socket(ctx_, fds[i].fd);
                const int rc = modbus_receive(ctx_, query);
                if (rc > 0) {
                    modbus_reply(ctx_, query, rc, map_);
                } else if (rc == -1) {
                    ::close(fds[i].fd);
                    std::erase(clients_, fds[i].fd);
                }
            }
        }
    }

    modbus_t* ctx_;
    modbus_mapping_t* map_;
    int listener_ = -1;
    std::vector<int> clients_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

struct Load {
    double perSecond = 0;
    double p50Us = 0, p99Us = 0;
};

double percentile(std::vector<double>& v, double p) {
    if (v.empty()) return 0;
    const auto k = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1));
    std::nth_element(v.begin(), v.begin() + static_cast<long>(k), v.end());
    return v[k];
}

modbus_t* connectMaster(int port) {
    modbus_t* m = modbus_new_tcp("127.0.0.1", port);
    modbus_set_slave(m, 1);
    modbus_set_response_timeout(m, 2, 0);
    if (modbus_connect(m) != 0) {
        modbus_free(m);
        return nullptr;
    }
    return m;
}

// `masters` masters read back to back for `seconds`.
Load poll(int port, int masters, double seconds) {
    std::vector<std::vector<double>> latencies(static_cast<std::size_t>(masters));
    std::vector<modbus_t*> connected;
    for (int i = 0; i < masters; ++i) connected.push_back(connectMaster(port));
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    const auto until = std::chrono::duration<double>(seconds);
    for (int i = 0; i < masters; ++i) {
        threads.emplace_back([&, i] {
            modbus_t* m = connected[static_cast<std::size_t>(i)];
            if (!m) return;
            while (!go) std::this_thread::yield();
            std::uint16_t r[125];
            const auto t0 = Clock::now();
            for (auto t = t0; t - t0 < until;) {
                const int n = modbus_read_registers(m, 0, 125, r);
                const auto t1 = Clock::now();
                if (n == 125)
                    latencies[static_cast<std::size_t>(i)].push_back(
                        std::chrono::duration<double, std::micro>(t1 - t).count());
                t = t1;
            }
        });
    }
    go = true;
    for (auto& t : threads) t.join();
    for (modbus_t* m : connected)
        if (m) {
            modbus_close(m);
            modbus_free(m);
        }
    std::vector<double> all;
    for (auto& l : latencies) all.insert(all.end(), l.begin(), l.end());
    Load load;
    load.perSecond = static_cast<double>(all.size()) / seconds;
    load.p50Us = percentile(all, 0.5);
    load.p99Us = percentile(all, 0.99);
    return load;
}

// Connect, read 125 registers, close, for `seconds`; cycles/s.
double cycles(int port, double seconds) {
    std::size_t done = 0;
    const auto t0 = Clock::now();
    std::uint16_t r[125];
    while (Clock::now() - t0 < std::chrono::duration<double>(seconds)) {
        modbus_t* m = connectMaster(port);
        if (!m) continue;
        if (modbus_read_registers(m, 0, 125, r) == 125) ++done;
        modbus_close(m);
        modbus_free(m);
    }
    return static_cast<double>(done) / seconds;
}

template <typename T>
T median3(std::vector<T> v, auto key) {
    std::sort(v.begin(), v.end(), [&](const T& a, const T& b) { return key(a) < key(b); });
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    // Google Benchmark's listing option, which the documentation check runs on every benchmark.
    if (argc > 1 && std::string(argv[1]) == "--benchmark_list_tests") {
        for (const char* name : {"masters/1", "masters/2", "masters/4", "masters/8", "connect_request_close"})
            std::printf("%s\n", name);
        return 0;
    }
    const double seconds = argc > 1 ? std::atof(argv[1]) : 1.5;
    if (!(seconds > 0)) {
        std::fprintf(stderr, "usage: bench_masters [seconds per measurement]\n");
        return 2;
    }
    const int rounds = 3;

    test::MemoryProfile profile;
    NoStrings strings;
    const int pluginPort = test::freeTcpPort();
    profile.setInt(kSettingsSection, u"isTCP", 1);
    profile.setInt(kSettingsSection, u"localPort", pluginPort);
    profile.setInt(kSettingsSection, u"maxMasters", 8);
    ModbusServer server(profile, strings);
    server.restart();
    const int barePort = test::freeTcpPort();
    BareServer bare(barePort);
    for (int i = 0; i < 300 && !server.tcpListening(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!server.tcpListening() || !bare.ok()) {
        std::fprintf(stderr, "a server did not listen\n");
        return 1;
    }

    std::printf("read 125 holding registers, %.1f s per measurement, median of %d rounds\n", seconds, rounds);
    std::printf("%-8s %12s %9s %9s %12s %9s %9s %7s\n", "masters", "bare req/s", "p50 us", "p99 us",
                "plugin req/s", "p50 us", "p99 us", "ratio");
    bool met = true;
    for (int masters : {1, 2, 4, 8}) {
        std::vector<Load> b, p;
        for (int r = 0; r < rounds; ++r) {
            b.push_back(poll(barePort, masters, seconds));
            p.push_back(poll(pluginPort, masters, seconds));
        }
        auto rate = [](const Load& l) { return l.perSecond; };
        const Load mb = median3(b, rate), mp = median3(p, rate);
        const double ratio = mp.perSecond / mb.perSecond;
        met = met && ratio >= 0.9;
        std::printf("%-8d %12.0f %9.1f %9.1f %12.0f %9.1f %9.1f %7.3f\n", masters, mb.perSecond, mb.p50Us,
                    mb.p99Us, mp.perSecond, mp.p50Us, mp.p99Us, ratio);
    }
    std::vector<double> cb, cp;
    for (int r = 0; r < rounds; ++r) {
        cb.push_back(cycles(barePort, seconds));
        cp.push_back(cycles(pluginPort, seconds));
    }
    auto same = [](double v) { return v; };
    const double mb = median3(cb, same), mp = median3(cp, same);
    std::printf("connect+request+close cycles/s: bare %.0f, plugin %.0f, ratio %.3f\n", mb, mp, mp / mb);
    met = met && mp / mb >= 0.9;
    std::printf("target (every ratio >= 0.9): %s\n", met ? "met" : "NOT met");
    server.stop();
    return 0;
}
