// The record block on its own: what each master reads, and which writes it takes.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "ModbusTestSupport.h"
#include "modbus/ConnectionSettings.h"
#include "modbus/ModbusServer.h"
#include "modbus/RecordBlock.h"
#include "support/MemoryProfile.h"

namespace tesmor {
namespace {

using namespace std::chrono_literals;
using Clock = RecordBlock::Clock;

constexpr int kAt = 480;
constexpr MasterKey kA = tcpMaster(0x7F000001), kB = tcpMaster(0x7F000002);

struct Block {
    RecordBlock block;
    std::array<std::uint16_t, 500> holding{};
    Clock::time_point now = Clock::now();

    Block() {
        block.place(kAt);
        block.setStarted(now);
    }
    // The 16 registers as `master` reads them.
    std::vector<std::uint16_t> read(MasterKey master, bool deviceError = false) {
        block.fill(holding.data(), master, now, deviceError);
        return {holding.begin() + kAt, holding.begin() + kAt + 16};
    }
    void publish(std::uint32_t sequence, std::int32_t assay, bool calibration = false) {
        RecordStatus& s = block.status();
        s.latest = sequence;
        s.assayId = assay;
        s.calibration = calibration;
        s.lastUpdate = RecordStatus::Update::Published;
        s.publishedAt = now;
    }
    // A master's write of registers from `offset`, as function 16 carries it out: refused whole, or
    // taken.
    std::uint8_t write(MasterKey master, int offset, std::vector<std::uint16_t> values) {
        std::vector<std::uint8_t> bytes;
        for (auto v : values) bytes.insert(bytes.end(), {std::uint8_t(v >> 8), std::uint8_t(v)});
        const int count = static_cast<int>(values.size());
        if (const auto code = block.writeRefusal(kAt + offset, count, bytes.data())) return code;
        block.fill(holding.data(), master, now, false);
        std::copy(values.begin(), values.end(), holding.begin() + kAt + offset);
        block.take(holding.data(), master);
        return 0;
    }
};

TEST(RecordBlock, BeforeTheFirstPublicationAndAfterIt) {
    Block b;
    EXPECT_EQ(b.read(kA), (std::vector<std::uint16_t>{0, 0, 0, 65535, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    b.publish(0x00012345, 0x01020304, true);
    b.block.status().oldest = 0x00012300;
    b.block.status().held = 0x46;
    b.now += 7s;
    EXPECT_EQ(b.read(kA), (std::vector<std::uint16_t>{0x0001, 0x2345, 0b11, 7, 0x0102, 0x0304, 1, 0, 0, 0, 0,
                                                      0x0001, 0x2300, 0x46, 0, 0}));
    b.now += 100000s;
    EXPECT_EQ(b.read(kA)[3], 65535);
}

TEST(RecordBlock, EachMasterClearsOnlyItsOwnFlag) {
    Block b;
    b.publish(17, 42);
    EXPECT_EQ(b.read(kA)[6], 1);
    EXPECT_EQ(b.read(kB)[6], 1);
    EXPECT_EQ(b.write(kA, 7, {0, 17}), 0);
    EXPECT_EQ(b.read(kA)[6], 0);
    EXPECT_EQ(b.read(kA)[8], 17);
    EXPECT_EQ(b.read(kB)[6], 1);
    EXPECT_EQ(b.read(kB)[8], 0);
    // The same master over RTU is another identity.
    EXPECT_EQ(b.read(kRtuMaster)[6], 1);
    b.publish(18, 43);
    EXPECT_EQ(b.read(kA)[6], 1);
}

TEST(RecordBlock, WritesThatTheBlockRefuses) {
    Block b;
    b.publish(17, 42);
    b.block.status().oldest = 5;
    b.block.status().held = 13;  // 5..17
    struct Case {
        const char* what;
        int offset;
        std::vector<std::uint16_t> values;
        std::uint8_t code;
    };
    const Case cases[] = {
        {"acknowledge the latest", 7, {0, 17}, 0},
        {"acknowledge above the latest", 7, {0, 18}, 3},
        {"half a pair (high word)", 7, {0}, 3},
        {"half a pair (low word)", 8, {17}, 3},
        {"across the pairs' halves", 8, {17, 0}, 3},
        {"select the oldest held", 9, {0, 5}, 0},
        {"select one no longer held", 9, {0, 4}, 3},
        {"select the latest again", 9, {0, 0}, 0},
        {"both pairs at once", 7, {0, 16, 0, 6}, 0},
        {"both pairs, selection not held", 7, {0, 16, 0, 99}, 3},
        {"the sequence (read only)", 0, {0, 1}, 2},
        {"new-data flag and the acknowledge", 6, {0, 0, 17}, 2},
        {"the selection and the oldest", 9, {0, 5, 0}, 2},
        {"the last two", 14, {0, 0}, 2},
    };
    for (const Case& c : cases) EXPECT_EQ(b.write(kA, c.offset, c.values), c.code) << c.what;
    // Refused writes left the last accepted ones.
    EXPECT_EQ(b.read(kA)[8], 16);
    EXPECT_EQ(b.read(kA)[10], 6);
    EXPECT_EQ(b.block.selection(kA), 6u);
    // Outside the block nothing is the block's.
    EXPECT_EQ(b.block.writeRefusal(kAt - 2, 2, nullptr), 0);
    EXPECT_EQ(b.block.writeRefusal(kAt + 16, 4, nullptr), 0);
    EXPECT_EQ(b.block.writeRefusal(kAt - 1, 2, nullptr), 2);
}

TEST(RecordBlock, StatusBits) {
    struct Case {
        const char* what;
        RecordStatus::Update update;
        bool calibration, stateFileFailed, deviceError;
        std::chrono::seconds sincePublication;
        std::uint16_t bits;
    };
    const Case cases[] = {
        {"published", RecordStatus::Update::Published, false, false, false, 0s, 0b000001},
        {"calibration", RecordStatus::Update::Published, true, false, false, 0s, 0b000011},
        {"stale", RecordStatus::Update::Published, false, false, false, 31s, 0b000101},
        {"not yet stale", RecordStatus::Update::Published, false, false, false, 30s, 0b000001},
        {"device error", RecordStatus::Update::Published, false, false, true, 0s, 0b001001},
        {"rejected", RecordStatus::Update::Rejected, false, false, false, 0s, 0b010000},
        {"processing failed", RecordStatus::Update::Failed, false, false, false, 0s, 0b100000},
        {"state file failed", RecordStatus::Update::Published, false, true, false, 0s, 0b100001},
    };
    for (const Case& c : cases) {
        Block b;
        b.block.setStaleSeconds(30);
        b.publish(3, 1, c.calibration);
        b.block.status().lastUpdate = c.update;
        b.block.status().stateFileFailed = c.stateFileFailed;
        b.now += c.sincePublication;
        EXPECT_EQ(b.read(kA, c.deviceError)[2], c.bits) << c.what;
    }
    // Nothing published since the start counts as stale too.
    Block idle;
    idle.block.setStaleSeconds(30);
    idle.now += 31s;
    EXPECT_EQ(idle.read(kA)[2], RecordStatus::Stale);
}

TEST(RecordBlock, SixtyFourMastersAreRememberedTheLeastRecentForgottenFirst) {
    Block b;
    b.publish(9, 1);
    for (std::uint32_t ip = 1; ip <= 64; ++ip) ASSERT_EQ(b.write(tcpMaster(ip), 7, {0, 9}), 0);
    EXPECT_EQ(b.read(tcpMaster(1))[6], 0);  // master 1 is now the most recent
    b.read(tcpMaster(65));                  // a newcomer: master 2 goes
    EXPECT_EQ(b.read(tcpMaster(2))[6], 1);  // forgotten, starts again with 0
    EXPECT_EQ(b.read(tcpMaster(1))[6], 0);
}

TEST(RecordBlock, HeldSequencesAcrossTheWrap) {
    RecordBlock block;
    block.status().oldest = 0xFFFFFFFE;
    block.status().held = 4;  // FFFFFFFE, FFFFFFFF, 1, 2
    for (std::uint32_t s : {0xFFFFFFFEu, 0xFFFFFFFFu, 1u, 2u}) EXPECT_TRUE(block.holds(s)) << s;
    for (std::uint32_t s : {0u, 3u, 0xFFFFFFFDu}) EXPECT_FALSE(block.holds(s)) << s;
}

// ---- through the server, with real masters ----

class RecordServer : public ::testing::Test {
protected:
    void start(int writeAccess = 0) {
        profile.setInt(kSettingsSection, u"isTCP", 1);
        profile.setInt(kSettingsSection, u"localPort", 0);
        profile.setInt(kSettingsSection, u"maxMasters", 4);
        profile.setInt(kSettingsSection, u"writeAccess", writeAccess);
        profile.setInt(kSettingsSection, u"recordAddress", kAt);
        server.restart();
        ASSERT_TRUE(test::waitFor([&] { return server.tcpListening(); }));
        port = server.tcpPort();
    }
    void publish(std::uint32_t sequence) {
        const auto locked = server.lock();
        RecordStatus& s = locked.record().status();
        s.latest = sequence;
        s.lastUpdate = RecordStatus::Update::Published;
        s.publishedAt = Clock::now();
    }
    static std::vector<std::uint16_t> block(const test::Master& m) {
        std::vector<std::uint16_t> r(16);
        return modbus_read_registers(m.get(), kAt, 16, r.data()) == 16 ? r : std::vector<std::uint16_t>{};
    }
    // The exception a write of `values` from offset `offset` gets (0 when it is taken).
    static int write(const test::Master& m, int offset, std::vector<std::uint16_t> values) {
        const int n = values.size() == 1
                          ? modbus_write_register(m.get(), kAt + offset, values[0])
                          : modbus_write_registers(m.get(), kAt + offset, int(values.size()), values.data());
        if (n >= 0) return 0;
        return errno >= EMBXILFUN && errno <= EMBXGTAR ? errno - EMBXILFUN + 1 : -1;
    }

    test::MemoryProfile profile;
    test::CaptionStrings strings;
    ModbusServer server{profile, strings};
    int port = 0;
};

TEST_F(RecordServer, TwoMastersFromTwoAddressesEachAcknowledgeTheirOwn) {
    start();
    publish(5);
    auto a = test::tcpMasterFrom("127.0.0.1", port);
    auto b = test::tcpMasterFrom("127.0.0.2", port);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(block(a)[1], 5);
    EXPECT_EQ(block(a)[6], 1);
    EXPECT_EQ(block(b)[6], 1);
    EXPECT_EQ(write(a, 7, {0, 5}), 0);
    EXPECT_EQ(block(a)[6], 0);
    EXPECT_EQ(block(b)[6], 1) << "only the acknowledging master's flag clears";
    EXPECT_EQ(write(b, 7, {0, 6}), 3) << "above the latest";
    EXPECT_EQ(write(b, 7, {5}), 3) << "half a pair";
    EXPECT_EQ(write(b, 5, {0}), 2) << "a register the block does not take";
    EXPECT_EQ(block(b)[6], 1);
    publish(6);
    EXPECT_EQ(block(a)[6], 1);
    // Function 23 acknowledges and reads back in one request.
    std::uint16_t ack[2] = {0, 6}, back[16] = {};
    ASSERT_EQ(modbus_write_and_read_registers(b.get(), kAt + 7, 2, ack, kAt, 16, back), 16);
    EXPECT_EQ(back[8], 6);
    EXPECT_EQ(block(b)[6], 0);
}

TEST_F(RecordServer, WriteAccessLocksTheMarksLikeAnyRegister) {
    start(2);
    publish(5);
    auto a = test::tcpMaster(port);
    ASSERT_TRUE(a);
    EXPECT_EQ(write(a, 7, {0, 5}), 1);
    EXPECT_EQ(block(a)[6], 1);
}

TEST_F(RecordServer, ABlockThatOverlapsTheMapOrLeavesTheStoreStaysOff) {
    profile.setInt(kSettingsSection, u"isTCP", 1);
    profile.setInt(kSettingsSection, u"localPort", 0);
    for (const int address : {490, -5}) {
        profile.setInt(kSettingsSection, u"recordAddress", address);
        test::LogCapture log;
        server.restart();
        server.restart();
        EXPECT_EQ(log.count("the record block is off"), 1u) << address;
        EXPECT_FALSE(server.lock().record().on());
    }
    RegisterInfo e;
    e.table = Table::HoldingRegisters;
    e.dataType = DataType::Float;
    e.byteOrder = ByteOrder::BigEndian;
    e.dataItem = DataItem::Area;
    e.address = kAt + 15;
    saveRegisterMap(profile, {e}, MapCaptions(strings));
    profile.setInt(kSettingsSection, u"recordAddress", kAt);
    test::LogCapture log;
    server.restart();
    EXPECT_EQ(log.count("overlap map entry 0"), 1u);
    EXPECT_FALSE(server.lock().record().on());
}

}  // namespace
}  // namespace tesmor
