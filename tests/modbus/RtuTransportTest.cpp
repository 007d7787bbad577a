// The RTU transport over a socat pseudo-terminal pair, and both transports at once.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <thread>
#include <vector>

#include "ModbusTestSupport.h"
#include "modbus/Handles.h"
#include "modbus/ModbusServer.h"
#include "modbus/RequestCheck.h"
#include "modbus/SerialSpeed.h"
#include "support/MemoryProfile.h"

namespace tesmor {
namespace {

using namespace std::chrono;
using namespace std::chrono_literals;

class RtuServer : public ::testing::Test {
protected:
    void SetUp() override {
        if (!pty.ready()) GTEST_SKIP() << "socat could not make a pty pair";
        profile.setInt(kSettingsSection, u"isRTU", 1);
        profile.setString(kSettingsSection, u"portName", toU16(pty.a()));
        profile.setInt(kSettingsSection, u"RTUId", 5);
        server.lock().registers().tab_registers[3] = 333;
    }
    static std::u16string toU16(const std::string& s) { return std::u16string(s.begin(), s.end()); }
    void start() {
        server.restart();
        ASSERT_TRUE(test::waitFor([&] { return server.rtuOpen(); })) << "port not opened";
    }

    test::PtyPair pty;
    test::MemoryProfile profile;
    test::CaptionStrings strings;
    ModbusServer server{profile, strings};
};

TEST_F(RtuServer, AnswersItsSlaveIdOnlyAndLocksThePort) {
    start();
    auto master = test::rtuMaster(pty.b(), 5);
    ASSERT_TRUE(master);
    std::uint16_t r[4] = {};
    ASSERT_EQ(modbus_read_registers(master.get(), 0, 4, r), 4);
    EXPECT_EQ(r[3], 333);

    EXPECT_EQ(modbus_write_register(master.get(), 9, 99), 1) << modbus_strerror(errno);
    auto other = test::rtuMaster(pty.b(), 6);
    ASSERT_TRUE(other);
    EXPECT_EQ(modbus_read_registers(other.get(), 0, 4, r), -1) << "another slave id gets silence";
    other.reset();
    EXPECT_EQ(modbus_read_registers(master.get(), 0, 4, r), 4) << modbus_strerror(errno);
    EXPECT_EQ(server.lock().registers().tab_registers[9], 99);

    // Another program asking for the device sees it busy.
    const int fd = ::open(pty.a().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        EXPECT_NE(::flock(fd, LOCK_EX | LOCK_NB), 0);
        ::close(fd);
    }

    const auto t0 = steady_clock::now();
    server.stop();
    EXPECT_LT(steady_clock::now() - t0, 2s);
    EXPECT_FALSE(server.rtuOpen());
}

TEST_F(RtuServer, PortHeldByAnotherProgramIsRetriedCalmlyAndLoggedOnce) {
    const int holder = ::open(pty.a().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
    test::LogCapture log;
    timespec cpu0{}, cpu1{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu0);
    server.restart();
    std::this_thread::sleep_for(1300ms);
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu1);
    EXPECT_FALSE(server.rtuOpen());
    EXPECT_EQ(log.count("in use by another program"), 1u);
    EXPECT_LT((cpu1.tv_sec - cpu0.tv_sec) + (cpu1.tv_nsec - cpu0.tv_nsec) / 1e9, 0.5);
    ::close(holder);
    EXPECT_TRUE(test::waitFor([&] { return server.rtuOpen(); }));
}

TEST_F(RtuServer, MissingDeviceIsRetriedUntilStoppedAndLoggedOnce) {
    profile.setString(kSettingsSection, u"portName", u"/nonexistent/ttyX");
    test::LogCapture log;
    server.restart();
    std::this_thread::sleep_for(1200ms);
    EXPECT_EQ(log.count("cannot open /nonexistent/ttyX"), 1u);
    const auto t0 = steady_clock::now();
    server.stop();
    EXPECT_LT(steady_clock::now() - t0, 2s);
}

// An USB adapter pulled and plugged in again: the device and its name go and come back.
TEST_F(RtuServer, ADeviceThatVanishesIsOpenedAgainWhenItComesBack) {
    start();
    {
        auto master = test::rtuMaster(pty.b(), 5);
        ASSERT_TRUE(master);
        std::uint16_t r[4] = {};
        ASSERT_EQ(modbus_read_registers(master.get(), 0, 4, r), 4);
    }
    test::LogCapture log;
    pty.vanish();
    ASSERT_TRUE(test::waitFor([&] { return !server.rtuOpen(); })) << "the loss is not noticed";
    std::this_thread::sleep_for(1200ms);  // several reopening attempts while it is gone
    EXPECT_EQ(log.count("went away"), 1u);
    EXPECT_EQ(log.lines().size(), 1u) << "one line for the whole outage";
    ASSERT_TRUE(pty.reappear());
    ASSERT_TRUE(test::waitFor([&] { return server.rtuOpen(); })) << "the device is not opened again";
    auto master = test::rtuMaster(pty.b(), 5);
    ASSERT_TRUE(master);
    std::uint16_t r[4] = {};
    EXPECT_EQ(modbus_read_registers(master.get(), 0, 4, r), 4) << modbus_strerror(errno);
    EXPECT_EQ(r[3], 333);
    const auto t0 = steady_clock::now();
    server.stop();
    EXPECT_LT(steady_clock::now() - t0, 2s);
}

TEST_F(RtuServer, UnknownParityAnswersNothing) {
    profile.setString(kSettingsSection, u"parity", u"Mark");
    test::LogCapture log;
    server.restart();
    EXPECT_TRUE(test::waitFor([&] { return log.count("Modbus RTU: cannot use") == 1; }));
    EXPECT_FALSE(server.rtuOpen());
}

TEST_F(RtuServer, BothTransportsShareOneStore) {
    const int port = test::freeTcpPort();
    profile.setInt(kSettingsSection, u"isTCP", 1);
    profile.setInt(kSettingsSection, u"localPort", port);
    start();
    ASSERT_TRUE(test::waitFor([&] { return server.tcpListening(); }));
    auto tcp = test::tcpMaster(port);
    ASSERT_TRUE(tcp);
    ASSERT_EQ(modbus_write_register(tcp.get(), 20, 2020), 1);
    auto rtu = test::rtuMaster(pty.b(), 5);
    ASSERT_TRUE(rtu);
    std::uint16_t r = 0;
    ASSERT_EQ(modbus_read_registers(rtu.get(), 20, 1, &r), 1);
    EXPECT_EQ(r, 2020);
    ASSERT_EQ(modbus_write_register(rtu.get(), 21, 2121), 1);
    ASSERT_EQ(modbus_read_registers(tcp.get(), 21, 1, &r), 1);
    EXPECT_EQ(r, 2121);
}

// Every rate the settings dialog offers is the rate of the device, as another handle of it reads
// it back, also the four that libmodbus has no constant for (it would open those at 9600).
TEST_F(RtuServer, EveryOfferedBaudRateIsTheDevicesSpeed) {
    for (const int baud :
         {110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000}) {
        SCOPED_TRACE(baud);
        profile.setInt(kSettingsSection, u"baud", baud);
        start();
        UniqueFd other(::open(pty.a().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
        if (!other) GTEST_SKIP() << "the device is held exclusively (not root)";
        std::error_code error;
        EXPECT_EQ(serialSpeed(other.get(), error), baud) << error.message();
        server.stop();
    }
}

TEST_F(RtuServer, AMasterAt56000IsAnswered) {
    profile.setInt(kSettingsSection, u"baud", 56000);
    start();
    auto master = test::rtuMaster(pty.b(), 5, 300ms, 56000);
    ASSERT_TRUE(master);
    std::error_code error;
    ASSERT_EQ(serialSpeed(modbus_get_socket(master.get()), error), 56000) << error.message();
    std::uint16_t r[4] = {};
    ASSERT_EQ(modbus_read_registers(master.get(), 0, 4, r), 4) << modbus_strerror(errno);
    EXPECT_EQ(r[3], 333);
}

TEST_F(RtuServer, ARateTheDeviceRefusesIsLoggedAndNothingIsAnswered) {
    profile.setInt(kSettingsSection, u"baud", -9600);
    test::LogCapture log;
    server.restart();
    ASSERT_TRUE(test::waitFor([&] { return log.count("cannot run at -9600 baud") == 1; }))
        << "no line names the rate";
    EXPECT_NE(log.lines().front().find(pty.a()), std::string::npos) << "the line does not name the port";
    EXPECT_FALSE(server.rtuOpen());
    auto master = test::rtuMaster(pty.b(), 5);
    ASSERT_TRUE(master);
    std::uint16_t r[1];
    EXPECT_EQ(modbus_read_registers(master.get(), 0, 1, r), -1) << "the slave runs at another rate";
    std::this_thread::sleep_for(600ms);
    EXPECT_EQ(log.lines().size(), 1u);
}

using Bytes = std::vector<std::uint8_t>;

Bytes withCrc(Bytes f) {
    const std::uint16_t crc = modbusFrameCrc(f.data(), f.size());
    f.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    f.push_back(static_cast<std::uint8_t>(crc >> 8));
    return f;
}

// The other end of the line, sending hand-made frames: a libmodbus master refuses slave ids
// above 247 and drops replies from them.
class RawLine {
public:
    explicit RawLine(const std::string& device) : fd_(::open(device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)) {
        termios t{};
        if (fd_ && ::tcgetattr(fd_.get(), &t) == 0) {
            ::cfmakeraw(&t);
            ::tcsetattr(fd_.get(), TCSANOW, &t);
        }
    }
    explicit operator bool() const { return static_cast<bool>(fd_); }
    // Sends `frame` with its CRC; returns what comes back until 200 ms of silence.
    Bytes ask(const Bytes& frame) {
        send(frame);
        Bytes got;
        pollfd p{fd_.get(), POLLIN, 0};
        while (::poll(&p, 1, 200) == 1) {
            std::uint8_t b[300];
            const auto n = ::read(fd_.get(), b, sizeof b);
            if (n <= 0) break;
            got.insert(got.end(), b, b + n);
        }
        return got;
    }
    void send(const Bytes& frame) {
        const Bytes f = withCrc(frame);
        ASSERT_EQ(::write(fd_.get(), f.data(), f.size()), static_cast<ssize_t>(f.size()));
    }

private:
    UniqueFd fd_;
};

// Slave ids up to 255 are answered; a broadcast is carried out and never answered.
TEST_F(RtuServer, SlaveIdsUpTo255AreAnsweredAndBroadcastsNever) {
    for (const int id : {247, 248, 255}) {
        SCOPED_TRACE(id);
        profile.setInt(kSettingsSection, u"RTUId", id);
        start();
        RawLine line(pty.b());
        ASSERT_TRUE(line);
        const auto unit = static_cast<std::uint8_t>(id);
        EXPECT_EQ(line.ask({unit, 0x03, 0x00, 0x03, 0x00, 0x01}), withCrc({unit, 0x03, 0x02, 0x01, 0x4D}));
        EXPECT_EQ(line.ask({static_cast<std::uint8_t>(id - 1), 0x03, 0x00, 0x03, 0x00, 0x01}), Bytes{})
            << "another slave's request is answered";
        EXPECT_EQ(line.ask({0x00, 0x06, 0x00, 0x0C, 0x00, static_cast<std::uint8_t>(id & 0xFF)}), Bytes{})
            << "a broadcast is answered";
        EXPECT_EQ(server.lock().registers().tab_registers[12], id)
            << "the broadcast write is not carried out";
        EXPECT_EQ(line.ask({0x00, 0x03, 0x00, 0x03, 0x00, 0x01}), Bytes{}) << "a broadcast read is answered";
        // A function without a fixed layout is framed by the silence after it.
        EXPECT_EQ(line.ask({unit, 0x14, 0x07, 0x06, 0x00, 0x04, 0x00, 0x01, 0x00, 0x02}),
                  withCrc({unit, 0x94, 0x01}));
        EXPECT_EQ(line.ask({unit, 0x08, 0x00, 0x00, 0xA5, 0x37, 0x11, 0x22}),
                  withCrc({unit, 0x08, 0x00, 0x00, 0xA5, 0x37, 0x11, 0x22}))
            << "a longer echo than the usual one word";
        EXPECT_EQ(line.ask({unit, 0x03, 0x00, 0x03, 0x00, 0x01}), withCrc({unit, 0x03, 0x02, 0x01, 0x4D}));
        server.stop();
    }
}

// On a shared line the slave sees the requests to other slaves and their replies, whose layout
// differs from a request's; neither may swallow the next request to this slave.
TEST_F(RtuServer, OtherSlavesTrafficDoesNotHideTheNextRequest) {
    start();
    RawLine line(pty.b());
    ASSERT_TRUE(line);
    line.send({6, 0x03, 0x00, 0x00, 0x00, 0x02});        // to slave 6
    line.send({6, 0x03, 0x04, 0x00, 0x01, 0x00, 0x02});  // and its reply, at once
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(line.ask({5, 0x03, 0x00, 0x03, 0x00, 0x01}), withCrc({5, 0x03, 0x02, 0x01, 0x4D}));
    line.send({6, 0x10, 0x00, 0x00, 0x00, 0x01, 0x02, 0x12, 0x34});
    line.send({6, 0x10, 0x00, 0x00, 0x00, 0x01});
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(line.ask({5, 0x03, 0x00, 0x03, 0x00, 0x01}), withCrc({5, 0x03, 0x02, 0x01, 0x4D}));
}

}  // namespace
}  // namespace tesmor
