// Several masters at once ("maxMasters"): real libmodbus and pymodbus masters on loopback.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "ModbusTestSupport.h"
#include "modbus/ModbusServer.h"
#include "support/MemoryProfile.h"

namespace tesmor {
namespace {

using namespace std::chrono;
using namespace std::chrono_literals;

class MultiMaster : public ::testing::Test {
protected:
    void start(int maxMasters) {
        port = test::freeTcpPort();
        profile.setInt(kSettingsSection, u"isTCP", 1);
        profile.setInt(kSettingsSection, u"localPort", port);
        if (maxMasters > 0) profile.setInt(kSettingsSection, u"maxMasters", maxMasters);
        server.restart();
        ASSERT_TRUE(test::waitFor([&] { return server.tcpListening(); })) << "server did not listen";
    }
    // Answers are expected: a time-out that only a loaded machine's scheduler could reach.
    test::Master master() const { return test::tcpMaster(port, 1, 2s); }
    static bool reads(modbus_t* master) {
        std::uint16_t r[2];
        return modbus_read_registers(master, 0, 2, r) == 2;
    }
    std::vector<test::Master> connectAll(int n) {
        std::vector<test::Master> masters;
        for (int i = 0; i < n; ++i) {
            masters.push_back(master());
            EXPECT_TRUE(masters.back() && reads(masters.back().get())) << "master " << i;
        }
        return masters;
    }
    // Every holding register 0..124 set to `value` in one step under the lock.
    void setAll(std::uint16_t value) {
        auto locked = server.lock();
        std::fill_n(locked.registers().tab_registers, 125, value);
    }

    test::MemoryProfile profile;
    test::CaptionStrings strings;
    ModbusServer server{profile, strings};
    int port = 0;
};

TEST_F(MultiMaster, SecondMasterIsAnsweredOnlyWhenMoreThanOneIsAllowed) {
    struct Case {
        int maxMasters;  // 0: key missing
        bool secondAnswered;
    };
    for (const Case c : {Case{0, false}, Case{1, false}, Case{2, true}}) {
        SCOPED_TRACE("maxMasters " + std::to_string(c.maxMasters));
        start(c.maxMasters);
        auto first = master();
        ASSERT_TRUE(first);
        ASSERT_TRUE(reads(first.get()));
        auto second = test::tcpMaster(port, 1, 1s);
        ASSERT_TRUE(second) << "the backlog takes the second master";
        EXPECT_EQ(reads(second.get()), c.secondAnswered);
        EXPECT_TRUE(reads(first.get())) << "the first master is still served";
        first.reset();
        second.reset();
        server.stop();
    }
}

TEST_F(MultiMaster, FourMastersPollingWhileValuesChangeAllSeeWholeValues) {
    start(4);
    setAll(0);
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (std::uint16_t v = 1; !done; ++v) {
            setAll(v);
            std::this_thread::sleep_for(200us);
        }
    });
    // One of the four is pymodbus, which checks every answer itself.
    const std::string script =
        "import sys\n"
        "from pymodbus.client import ModbusTcpClient\n"
        "c = ModbusTcpClient('127.0.0.1', port=" +
        std::to_string(port) +
        ", timeout=2)\n"
        "assert c.connect()\n"
        "for i in range(300):\n"
        "    r = c.read_holding_registers(0, 125, slave=1)\n"
        "    if r.isError() or len(set(r.registers)) != 1:\n"
        "        print('torn', r); sys.exit(1)\n"
        "print('whole', flush=True)\n";
    test::ChildProcess pymodbus({"/usr/bin/python3", "-c", script});
    ASSERT_TRUE(pymodbus.started());

    std::atomic<int> answered{0}, torn{0}, failed{0};
    std::vector<std::thread> pollers;
    for (int i = 0; i < 3; ++i) {
        pollers.emplace_back([&] {
            auto master = test::tcpMaster(port, 1, 2s);
            if (!master) {
                ++failed;
                return;
            }
            std::uint16_t r[125];
            for (int n = 0; n < 300; ++n) {
                if (modbus_read_registers(master.get(), 0, 125, r) != 125) {
                    ++failed;
                    continue;
                }
                ++answered;
                if (std::count(r, r + 125, r[0]) != 125) ++torn;
            }
        });
    }
    for (auto& t : pollers) t.join();
    const int code = pymodbus.wait(30s);
    done = true;
    writer.join();
    EXPECT_EQ(failed.load(), 0);
    EXPECT_EQ(answered.load(), 900);
    EXPECT_EQ(torn.load(), 0) << "an answer mixed two states of the store";
    EXPECT_EQ(code, 0) << pymodbus.output();
    EXPECT_NE(pymodbus.output().find("whole"), std::string::npos) << pymodbus.output();
}

TEST_F(MultiMaster, FifthIsClosedWhileFourPollAndLetInWhenOneHasBeenSilentLongEnough) {
    test::LogCapture log;
    server.setTimeouts({500ms, 3s, 1s});
    start(4);
    auto masters = connectAll(4);
    ASSERT_EQ(masters.size(), 4u);
    EXPECT_TRUE(test::waitFor([&] { return server.peerAddress() == u"127.0.0.1 (+3)"; })) << "peer shown";

    for (int attempt = 0; attempt < 3; ++attempt) {
        auto fifth = master();
        ASSERT_TRUE(fifth) << "the kernel takes the connection before the server closes it";
        EXPECT_FALSE(reads(fifth.get())) << "attempt " << attempt;
        EXPECT_NE(errno, ETIMEDOUT) << "the fifth is closed, not left waiting";
        for (auto& m : masters) EXPECT_TRUE(reads(m.get())) << "the four stay served";
    }
    EXPECT_EQ(log.count("new master 127.0.0.1 closed"), 1u) << "refusals are logged once a minute";

    // The first master falls silent; the others keep polling.
    const auto silentSince = steady_clock::now();
    while (steady_clock::now() - silentSince < 1200ms) {
        for (std::size_t i = 1; i < masters.size(); ++i) EXPECT_TRUE(reads(masters[i].get()));
        std::this_thread::sleep_for(100ms);
    }
    auto newcomer = master();
    ASSERT_TRUE(newcomer);
    EXPECT_TRUE(reads(newcomer.get())) << "the silent master's place is given to the newcomer";
    EXPECT_FALSE(reads(masters[0].get())) << "the silent master was closed";
    for (std::size_t i = 1; i < masters.size(); ++i) EXPECT_TRUE(reads(masters[i].get()));
    EXPECT_EQ(log.count("silent for"), 1u);
}

// At the limit a newcomer must send a whole frame before it may take an idle master's place, and
// gets the waiting time-out to do so.
TEST_F(MultiMaster, ANewcomerThatSendsNothingEvictsNobody) {
    test::LogCapture log;
    server.setTimeouts({500ms, 500ms, 300ms});
    start(2);
    auto masters = connectAll(2);
    std::this_thread::sleep_for(400ms);  // both silent long enough to give their place
    const UniqueFd bare = test::connectLoopback(port);
    ASSERT_TRUE(bare);
    std::this_thread::sleep_for(100ms);
    for (auto& m : masters) EXPECT_TRUE(reads(m.get())) << "a bare connection evicted a master";
    EXPECT_TRUE(test::waitFor([&] {
        std::uint8_t byte;
        return ::recv(bare.get(), &byte, 1, MSG_DONTWAIT) == 0;
    })) << "the bare connection is closed after its waiting time";
    EXPECT_EQ(log.count("sent no request within 0.5 s"), 1u);

    std::this_thread::sleep_for(400ms);
    auto newcomer = master();
    ASSERT_TRUE(newcomer);
    EXPECT_TRUE(reads(newcomer.get())) << "a newcomer with a request takes an idle master's place";
    EXPECT_EQ(log.count("silent for"), 1u);
    EXPECT_EQ(server.counters(Transport::Tcp).masters, 2u);
}

TEST_F(MultiMaster, AReconnectingMasterIsAnsweredAtOnceWithEveryPlaceTaken) {
    start(2);
    auto other = master();
    ASSERT_TRUE(other && reads(other.get()));
    auto again = master();
    ASSERT_TRUE(again && reads(again.get()));
    for (int round = 0; round < 50; ++round) {
        again.reset();  // closes; the next connect comes at once
        again = master();
        ASSERT_TRUE(again);
        ASSERT_TRUE(reads(again.get())) << "round " << round << ": the first request after reconnecting";
        ASSERT_TRUE(reads(other.get()));
    }
    EXPECT_TRUE(server.tcpListening()) << "the listener stays open";
}

TEST_F(MultiMaster, PeerAddressCountsTheOtherMasters) {
    start(3);
    auto masters = connectAll(3);
    EXPECT_TRUE(test::waitFor([&] { return server.peerAddress() == u"127.0.0.1 (+2)"; }));
    masters.pop_back();
    masters.pop_back();
    EXPECT_TRUE(test::waitFor([&] { return server.peerAddress() == u"127.0.0.1"; }));
    server.stop();
    EXPECT_TRUE(server.peerAddress().empty());
}

TEST_F(MultiMaster, AMasterThatTakesNoRepliesHoldsUpNobodyAndIsDropped) {
    start(2);
    UniqueFd stuck(::socket(AF_INET, SOCK_STREAM, 0));
    const int small = 4096;
    ::setsockopt(stuck.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(stuck.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    // Requests for 125 registers whose replies are never read, until every buffer on the way is full.
    std::vector<std::uint8_t> flood;
    for (int i = 0; i < 1000; ++i) {
        const std::uint8_t req[] = {0, 1, 0, 0, 0, 6, 1, 3, 0, 0, 0, 125};
        flood.insert(flood.end(), req, req + sizeof req);
    }
    for (auto last = steady_clock::now(); steady_clock::now() - last < 300ms;) {
        if (::send(stuck.get(), flood.data(), flood.size(), MSG_NOSIGNAL | MSG_DONTWAIT) > 0)
            last = steady_clock::now();
        else
            std::this_thread::sleep_for(10ms);
    }
    auto other = master();
    ASSERT_TRUE(other);
    const auto t0 = steady_clock::now();
    int answered = 0;
    while (steady_clock::now() - t0 < 4s) answered += reads(other.get());
    EXPECT_GT(answered, 10) << "the other master is served meanwhile";
    // After 3 s without taking a reply the stuck master is closed, its unread requests resetting the link.
    EXPECT_TRUE(test::waitFor([&] {
        int error = 0;
        socklen_t len = sizeof error;
        ::getsockopt(stuck.get(), SOL_SOCKET, SO_ERROR, &error, &len);
        return error == ECONNRESET;
    })) << "the stuck master is still connected";
}

}  // namespace
}  // namespace tesmor
