// Masters, the monitor, configuration reloads, map edits and restarts at once. Meant to run
// under ThreadSanitizer as well; here it checks that every master read sees whole values.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "ModbusTestSupport.h"
#include "modbus/DeviceMonitor.h"
#include "support/MemoryProfile.h"

namespace tesmor {
namespace {

using namespace std::chrono_literals;

class OneDevice : public DeviceSource {
public:
    int count() override { return 1; }
    std::u16string name(int) override { return u"GC-1"; }
    std::int32_t lastError(int) override { return ++n; }
    std::int32_t mode(int) override { return n; }
    std::atomic<std::int32_t> n{0};
};

TEST(Concurrency, MastersMonitorReloadsAndEditsTogether) {
    test::MemoryProfile profile;
    test::CaptionStrings strings;
    const int port = test::freeTcpPort();
    profile.setInt(kSettingsSection, u"isTCP", 1);
    profile.setInt(kSettingsSection, u"localPort", port);
    RegisterInfo e;
    e.deviceName = u"GC-1";
    e.table = Table::HoldingRegisters;
    e.dataType = DataType::Float;
    e.byteOrder = ByteOrder::BigEndian;
    e.dataItem = DataItem::Area;
    RegisterMap map;
    for (int i = 0; i < 20; ++i) {
        e.address = 2 * i;
        map.push_back(e);
    }
    saveRegisterMap(profile, map, MapCaptions(strings));  // the profile is only read from here on

    ModbusServer server(profile, strings);
    server.restart();
    ASSERT_TRUE(test::waitFor([&] { return server.tcpListening(); }));
    OneDevice devices;
    DeviceMonitor monitor(server, devices);
    monitor.start();

    std::atomic<bool> done{false};
    std::atomic<int> reads{0}, torn{0};
    std::thread master([&] {
        while (!done) {
            auto m = test::tcpMaster(port);
            if (!m) continue;
            std::uint16_t r[40];
            while (!done && modbus_read_registers(m.get(), 0, 40, r) == 40) {
                ++reads;
                // Every entry holds 0.1f or 1e-3f, written whole under the lock; both words of the
                // two values differ, so any mix of them shows.
                for (int i = 0; i < 40; i += 2) {
                    const bool whole = (r[i] == 0x3DCC && r[i + 1] == 0xCCCD) ||
                                       (r[i] == 0x3A83 && r[i + 1] == 0x126F) || (r[i] == 0 && r[i + 1] == 0);
                    if (!whole) ++torn;
                }
            }
        }
    });
    std::thread editor([&] {
        for (int round = 0; !done; ++round) {
            auto locked = server.lock();
            for (auto& entry : locked.registerMap()) {
                entry.values.area = round % 2 ? 0.1f : 1e-3f;
                locked.writeRegister(entry);
            }
        }
    });
    std::thread poller([&] {
        while (!done) {
            (void)monitor.devices()->size();
            (void)server.peerAddress();
            std::this_thread::sleep_for(1ms);
        }
    });
    for (int i = 0; i < 20; ++i) {
        server.reloadConfiguration();
        std::this_thread::sleep_for(20ms);
    }
    server.restart();
    std::this_thread::sleep_for(300ms);
    done = true;
    master.join();
    editor.join();
    poller.join();
    monitor.stop();
    server.stop();
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(torn.load(), 0);
}

}  // namespace
}  // namespace tesmor
