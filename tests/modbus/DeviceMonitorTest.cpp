// The device monitor over a scripted device source and a real server.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <vector>

#include "ModbusTestSupport.h"
#include "modbus/DeviceMonitor.h"
#include "support/MemoryProfile.h"

namespace tesmor {
namespace {

using namespace std::chrono;
using namespace std::chrono_literals;

struct FakeDevice {
    std::u16string name;
    std::int32_t lastError;
    std::int32_t mode;
};

class FakeDevices : public DeviceSource {
public:
    int count() override {
        std::lock_guard l(m);
        ++polls;
        return countOverride ? *countOverride : static_cast<int>(devices.size());
    }
    std::u16string name(int i) override {
        std::lock_guard l(m);
        return devices.at(static_cast<std::size_t>(i)).name;
    }
    std::int32_t lastError(int i) override {
        std::lock_guard l(m);
        return devices.at(static_cast<std::size_t>(i)).lastError;
    }
    std::int32_t mode(int i) override {
        std::lock_guard l(m);
        return devices.at(static_cast<std::size_t>(i)).mode;
    }
    std::mutex m;
    std::vector<FakeDevice> devices;
    std::optional<int> countOverride;
    int polls = 0;
};

class Monitor : public ::testing::Test {
protected:
    void SetUp() override {
        // Two entries of GC-1 (mode, error) and one of GC-2 (mode).
        saveRegisterMap(profile,
                        {entry(u"GC-1", 0, DataItem::Mode), entry(u"GC-1", 1, DataItem::LastError),
                         entry(u"GC-2", 2, DataItem::Mode)},
                        MapCaptions(strings));
        server.reloadConfiguration();
    }
    static RegisterInfo entry(std::u16string device, int address, DataItem item) {
        RegisterInfo e;
        e.source = Source::Device;
        e.deviceName = std::move(device);
        e.address = address;
        e.table = Table::HoldingRegisters;
        e.dataType = DataType::Int;
        e.dataItem = item;
        return e;
    }
    std::uint16_t reg(int a) { return server.lock().registers().tab_registers[a]; }

    test::MemoryProfile profile;
    test::CaptionStrings strings;
    ModbusServer server{profile, strings};
    FakeDevices source;
    DeviceMonitor monitor{server, source};
};

TEST_F(Monitor, UpdatesEveryEntryOfADeviceAndPublishesTheList) {
    source.devices = {{u"GC-1", -1, 3}, {u"GC-2", 7, 5}};
    std::vector<DeviceInfo> seen;
    monitor.setObserver([&](const DeviceInfo& d) { seen.push_back(d); });
    monitor.pollOnce();
    EXPECT_EQ(reg(0), 3);
    EXPECT_EQ(reg(1), 65535);
    EXPECT_EQ(reg(2), 5);
    {
        auto locked = server.lock();
        EXPECT_EQ(locked.registerMap()[1].values.lastError, -1);
        EXPECT_EQ(locked.registerMap()[1].values.mode, 3);
    }
    const DeviceList want{{0, u"GC-1", -1, 3}, {1, u"GC-2", 7, 5}};
    EXPECT_EQ(*monitor.devices(), want);
    EXPECT_EQ(seen, want);
}

TEST_F(Monitor, RenamedDeviceLeavesOldEntriesAndFeedsNewOnes) {
    source.devices = {{u"GC-1", 1, 2}};
    monitor.pollOnce();
    source.devices = {{u"GC-2", 8, 9}};
    monitor.pollOnce();
    EXPECT_EQ(reg(0), 2) << "entries of the old name keep their values";
    EXPECT_EQ(reg(1), 1);
    EXPECT_EQ(reg(2), 9);
}

TEST_F(Monitor, SameNameTwiceTheLastDeviceWins) {
    source.devices = {{u"GC-1", 1, 1}, {u"GC-1", 2, 2}};
    monitor.pollOnce();
    EXPECT_EQ(reg(0), 2);
    EXPECT_EQ(monitor.devices()->size(), 2u);
}

TEST_F(Monitor, ZeroOrNegativeCountGivesAnEmptyListAndNoWrites) {
    source.devices = {{u"GC-1", 1, 1}};
    monitor.pollOnce();
    ASSERT_EQ(monitor.devices()->size(), 1u);
    for (int count : {0, -3}) {
        server.lock().registers().tab_registers[0] = 4242;
        source.countOverride = count;
        monitor.pollOnce();
        EXPECT_TRUE(monitor.devices()->empty());
        EXPECT_EQ(reg(0), 4242);
    }
}

// Chromatogram and peak entries carry no device name; a nameless device (the host gave an empty
// text or a null pointer) must not overwrite what the last analysis published there.
TEST_F(Monitor, ANamelessDeviceMatchesNoEntry) {
    RegisterInfo sample = entry(u"", 3, DataItem::SampleNumber);
    sample.source = Source::Chromatogram;
    RegisterInfo peak = entry(u"", 4, DataItem::Area);
    peak.source = Source::Peak;
    saveRegisterMap(profile, {entry(u"GC-1", 0, DataItem::Mode), sample, peak}, MapCaptions(strings));
    server.reloadConfiguration();
    {
        auto locked = server.lock();
        locked.registers().tab_registers[3] = 0xFEE8;
        locked.registers().tab_registers[4] = 77;
    }
    source.devices = {{u"", 5, 6}, {u"GC-1", 0, 2}};
    monitor.pollOnce();
    EXPECT_EQ(reg(3), 0xFEE8);
    EXPECT_EQ(reg(4), 77);
    EXPECT_EQ(reg(0), 2) << "named devices are still published";
    {
        auto locked = server.lock();
        EXPECT_EQ(locked.registerMap()[1].values.mode, 0);
        EXPECT_EQ(locked.registerMap()[2].values.lastError, 0);
    }
    const DeviceList want{{0, u"", 5, 6}, {1, u"GC-1", 0, 2}};
    EXPECT_EQ(*monitor.devices(), want) << "the nameless device is still listed";
}

TEST_F(Monitor, ThreadPollsEverySecondAndStopsWithoutWaitingOutTheSecond) {
    source.devices = {{u"GC-1", 0, 6}};
    monitor.start();
    ASSERT_TRUE(test::waitFor([&] { return reg(0) == 6; }));
    {
        std::lock_guard l(source.m);
        source.devices[0].mode = 7;
    }
    EXPECT_TRUE(test::waitFor([&] { return reg(0) == 7; }, 2500ms)) << "the next poll comes within a second";
    std::this_thread::sleep_for(100ms);  // inside the wait between polls
    const auto t0 = steady_clock::now();
    monitor.stop();
    EXPECT_LT(steady_clock::now() - t0, 800ms) << "the wait between polls is cut short";
    EXPECT_FALSE(monitor.running());
    std::lock_guard l(source.m);
    EXPECT_LE(source.polls, 4);
}

}  // namespace
}  // namespace tesmor
