// A master that sends requests and never reads the replies must stall nothing else: not the
// other transport, not the writers of the store, not a restart or stop.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "ModbusTestSupport.h"
#include "modbus/Handles.h"
#include "modbus/ModbusServer.h"
#include "support/MemoryProfile.h"

namespace tesmor {
namespace {

using namespace std::chrono;
using namespace std::chrono_literals;

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
                  UniqueFd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
                  sockaddr_in a{};
                  a.sin_family = AF_INET;
                  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                  a.sin_port = htons(static_cast<std::uint16_t>(port));
                  const timeval t{0, 200000};  // so that the flood notices its own stop
                  ::setsockopt(s.get(), SOL_SOCKET, SO_SNDTIMEO, &t, sizeof t);
                  if (::connect(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
                      std::this_thread::sleep_for(10ms);
                      continue;
                  }
                  ++connections;
                  while (!stop.stop_requested()) {
                      const auto n = ::send(s.get(), burst.data(), burst.size(), MSG_NOSIGNAL);
                      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) break;
                  }
              }
          }) {}
    std::atomic<int> connections{0};

private:
    std::jthread thread_;
};

TEST(Flood, AMasterThatNeverReadsStallsNothingElse) {
    test::PtyPair pty;
    if (!pty.ready()) GTEST_SKIP() << "socat could not make a pty pair";
    test::MemoryProfile profile;
    test::CaptionStrings strings;
    const int port = test::freeTcpPort();
    profile.setInt(kSettingsSection, u"isTCP", 1);
    profile.setInt(kSettingsSection, u"localPort", port);
    profile.setInt(kSettingsSection, u"isRTU", 1);
    const std::string device = pty.a();
    profile.setString(kSettingsSection, u"portName", std::u16string(device.begin(), device.end()));
    profile.setInt(kSettingsSection, u"RTUId", 5);
    ModbusServer server(profile, strings);
    server.restart();
    ASSERT_TRUE(test::waitFor([&] { return server.tcpListening() && server.rtuOpen(); }));
    test::LogCapture log;

    milliseconds slowestWrite{0}, slowestRestart{0}, slowestRtu{0};
    int rtuAnswers = 0, rtuFailures = 0;
    {
        Flood flood(port);
        auto rtu = test::rtuMaster(pty.b(), 5, 2s);
        ASSERT_TRUE(rtu);
        const auto end = steady_clock::now() + 20s;
        auto nextRestart = steady_clock::now() + 7s;
        int restarts = 0;
        std::uint16_t value = 0;
        while (steady_clock::now() < end) {
            // A document update's writes.
            auto t0 = steady_clock::now();
            server.lock().registers().tab_registers[7] = ++value;
            slowestWrite = std::max(slowestWrite, duration_cast<milliseconds>(steady_clock::now() - t0));

            std::uint16_t r = 0;
            t0 = steady_clock::now();
            if (modbus_read_registers(rtu.get(), 7, 1, &r) == 1 && r == value) {
                ++rtuAnswers;
                slowestRtu = std::max(slowestRtu, duration_cast<milliseconds>(steady_clock::now() - t0));
            } else {
                ++rtuFailures;
            }
            if (steady_clock::now() >= nextRestart && restarts < 2) {
                t0 = steady_clock::now();
                server.restart();
                slowestRestart =
                    std::max(slowestRestart, duration_cast<milliseconds>(steady_clock::now() - t0));
                ++restarts;
                nextRestart += 7s;
                ASSERT_TRUE(test::waitFor([&] { return server.rtuOpen(); }));
            }
            std::this_thread::sleep_for(20ms);
        }
        EXPECT_GE(flood.connections.load(), 2) << "the flooding master was never disconnected";
    }
    EXPECT_LT(slowestWrite, 1s);
    EXPECT_LT(slowestRestart, 1s);
    EXPECT_LT(slowestRtu, 1s);
    EXPECT_GT(rtuAnswers, 100);
    EXPECT_LE(rtuFailures, 2) << "the RTU master goes unanswered (one request may meet each restart)";
    EXPECT_GE(log.count("took no reply"), 1u);
    EXPECT_TRUE(test::readHoldingEventually(port, 7, 1, 5s).has_value()) << "a new master is not served";
    const auto t0 = steady_clock::now();
    server.stop();
    EXPECT_LT(steady_clock::now() - t0, 1s);
    RecordProperty("rtu_slowest_ms", static_cast<int>(slowestRtu.count()));
    RecordProperty("rtu_answers", rtuAnswers);
}

}  // namespace
}  // namespace tesmor
