// The plug-in under a host while a TCP master floods requests and never reads a reply: the
// host's events and Unload must not wait for that master.
#include <gtest/gtest.h>
#include <modbus/modbus.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "DemoLab.h"
#include "HostCore.h"
#include "JsonProfile.h"
#include "platform/Text.h"
#include "support/Loopback.h"
#include "support/PluginLibrary.h"

using tesmor::UniqueFd;
using tesmor::host::DemoLab;
using tesmor::host::HostCore;
using tesmor::host::JsonProfile;
using tesmor::test::PluginLibrary;
using namespace std::chrono;
using namespace std::chrono_literals;

namespace {

// Floods "read 125 holding registers" on connection after connection and never reads.
class Flood {
public:
    explicit Flood(int port)
        : thread_([this, port](std::stop_token stop) {
              std::vector<std::uint8_t> burst;
              for (int i = 0; i < 64; ++i)
                  burst.insert(burst.end(),
                               {0x00, 0x01, 0x00, 0x00, 0x00, 0x06, 0x01, 0x03, 0x00, 0x00, 0x00, 0x7D});
              while (!stop.stop_requested()) {
                  const UniqueFd s = tesmor::test::connectLoopback(port);
                  if (!s) {
                      std::this_thread::sleep_for(10ms);
                      continue;
                  }
                  const timeval t{0, 200000};  // so that the flood notices its own stop
                  ::setsockopt(s.get(), SOL_SOCKET, SO_SNDTIMEO, &t, sizeof t);
                  while (!stop.stop_requested()) {
                      const auto n = ::send(s.get(), burst.data(), burst.size(), MSG_NOSIGNAL);
                      if (n > 0) sent += n;
                      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) break;
                  }
              }
          }) {}
    std::atomic<long long> sent{0};

private:
    std::jthread thread_;
};

// Reads one holding register with a fresh libmodbus master, retrying while the listener is
// opened anew after the previous master.
std::optional<std::uint16_t> readHolding(int port, int address) {
    const auto end = steady_clock::now() + 5s;
    while (steady_clock::now() < end) {
        modbus_t* m = modbus_new_tcp("127.0.0.1", port);
        modbus_set_slave(m, 1);
        std::uint16_t r = 0;
        const bool ok = modbus_connect(m) == 0 && modbus_read_registers(m, address, 1, &r) == 1;
        modbus_close(m);
        modbus_free(m);
        if (ok) return r;
        std::this_thread::sleep_for(20ms);
    }
    return std::nullopt;
}

TEST(Flood, DocumentUpdateAndUnloadDoNotWaitForAMasterThatNeverReads) {
    HostCore& core = HostCore::instance();
    core.reset();
    TempDir dir;
    const int port = tesmor::test::freeTcpPort();
    DemoLab lab((dir.path() / "lab").string(), port);
    core.setProfile(JsonProfile::open(lab.profilePath()).value.value());
    core.setDatabaseUri(tesmor::toUtf16(lab.databasePath()));
    auto plugin = std::make_unique<PluginLibrary>(TESMOR_PLUGIN_PATH, dir.path());
    ASSERT_EQ(plugin->load(core.api()), 0);
    core.raise("System/ModulesLoaded", 0);
    ASSERT_TRUE(readHolding(port, 5).has_value()) << "the plug-in does not serve";

    const auto assay = lab.addAnalysis(static_cast<std::int64_t>(std::time(nullptr)));
    {
        Flood flood(port);
        std::this_thread::sleep_for(5s);  // long enough to fill every buffer between the two
        auto t0 = steady_clock::now();
        core.raise("System/DocumentUpdate", static_cast<intptr_t>(assay));
        EXPECT_LT(steady_clock::now() - t0, 1s) << "the document update waited";
        EXPECT_GT(flood.sent.load(), 0);
    }
    const auto sample = readHolding(port, 5);
    ASSERT_TRUE(sample.has_value()) << "a new master is not served after the flood";
    EXPECT_NE(*sample, 0) << "the analysis was not published";

    Flood again(port);
    std::this_thread::sleep_for(5s);
    const auto t0 = steady_clock::now();
    EXPECT_EQ(plugin->unload(), 0);
    EXPECT_LT(steady_clock::now() - t0, 1s) << "Unload waited";
    core.reset();
}

}  // namespace
