// Functions 43/14, 17 and 8, the traffic counters and the frame trace: on the request path for
// the protocol's rows, through both transports for the counters of a known sequence of good and
// bad frames.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ModbusTestSupport.h"
#include "modbus/Diagnostics.h"
#include "modbus/FrameTrace.h"
#include "modbus/Handles.h"
#include "modbus/ModbusServer.h"
#include "modbus/RequestCheck.h"
#include "support/MemoryProfile.h"

namespace tesmor {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

Bytes mbap(const Bytes& pdu, int unit = 1) {
    const int len = static_cast<int>(pdu.size()) + 1;
    Bytes f{0x00,
            0x07,
            0x00,
            0x00,
            static_cast<std::uint8_t>(len >> 8),
            static_cast<std::uint8_t>(len),
            static_cast<std::uint8_t>(unit)};
    f.insert(f.end(), pdu.begin(), pdu.end());
    return f;
}

Bytes withCrc(Bytes f) {
    const std::uint16_t crc = modbusFrameCrc(f.data(), f.size());
    f.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    f.push_back(static_cast<std::uint8_t>(crc >> 8));
    return f;
}

// The reply PDU to `pdu` sent over TCP to unit 1.
Bytes ask(const Bytes& pdu, const DeviceIdentity& identity, TransportCounters* counters = nullptr) {
    ModbusMapping store(modbus_mapping_new(500, 500, 500, 500));
    const Bytes frame = mbap(pdu);
    std::uint8_t reply[kMaxReply];
    const ServerInfo info{&identity, counters};
    const int n = answerRequest(frame.data(), static_cast<int>(frame.size()), Transport::Tcp, 1, *store,
                                reply, nullptr, &info);
    return n < 7 ? Bytes{} : Bytes(reply + 7, reply + n);
}

struct Identification {
    int code = 0, conformity = 0, more = 0, next = 0;
    std::vector<std::pair<int, std::string>> objects;
    bool operator==(const Identification&) const = default;
};
void PrintTo(const Identification& d, std::ostream* os) {
    *os << "code " << d.code << " conformity " << d.conformity << " more " << d.more << " next " << d.next
        << " {";
    for (const auto& [id, v] : d.objects) *os << " " << id << ":\"" << v << "\"";
    *os << " }";
}

// Decodes a 43/14 reply; an empty result when it is malformed.
Identification decode(const Bytes& r) {
    Identification d;
    if (r.size() < 7 || r[0] != 0x2B || r[1] != 0x0E) return d;
    d.code = r[2];
    d.conformity = r[3];
    d.more = r[4];
    d.next = r[5];
    std::size_t at = 7;
    for (int i = 0; i < r[6]; ++i) {
        if (at + 2 > r.size() || at + 2 + r[at + 1] > r.size()) return {};
        d.objects.emplace_back(r[at], std::string(r.begin() + static_cast<long>(at) + 2,
                                                  r.begin() + static_cast<long>(at) + 2 + r[at + 1]));
        at += 2 + r[at + 1];
    }
    return at == r.size() ? d : Identification{};
}

DeviceIdentity sample() {
    return {"ACME Labs", "tesmor", "1.1.1.4", "https://acme.example", "Velmar Modbus", "Model X", "Lab 7"};
}

struct IdCase {
    const char* name;
    Bytes pdu;
    Identification expected;
};
void PrintTo(const IdCase& c, std::ostream* os) { *os << c.name; }

class DeviceIdentificationRows : public ::testing::TestWithParam<IdCase> {};

TEST_P(DeviceIdentificationRows, Answer) {
    EXPECT_EQ(decode(ask(GetParam().pdu, sample())), GetParam().expected);
}

const std::vector<std::pair<int, std::string>> kBasic{{0, "ACME Labs"}, {1, "tesmor"}, {2, "1.1.1.4"}};

INSTANTIATE_TEST_SUITE_P(
    Rows, DeviceIdentificationRows,
    ::testing::Values(
        IdCase{"BasicStream", {0x2B, 0x0E, 0x01, 0x00}, {1, 0x82, 0, 0, kBasic}},
        IdCase{"BasicStreamFromObject1",
               {0x2B, 0x0E, 0x01, 0x01},
               {1, 0x82, 0, 0, {{1, "tesmor"}, {2, "1.1.1.4"}}}},
        IdCase{"BasicStreamFromARegularObjectStartsAgain", {0x2B, 0x0E, 0x01, 0x04}, {1, 0x82, 0, 0, kBasic}},
        IdCase{"RegularStreamFromAnUnknownObjectStartsAgain",
               {0x2B, 0x0E, 0x02, 0x80},
               {2,
                0x82,
                0,
                0,
                {{0, "ACME Labs"},
                 {1, "tesmor"},
                 {2, "1.1.1.4"},
                 {3, "https://acme.example"},
                 {4, "Velmar Modbus"},
                 {5, "Model X"},
                 {6, "Lab 7"}}}},
        IdCase{"RegularStreamFromObject5",
               {0x2B, 0x0E, 0x02, 0x05},
               {2, 0x82, 0, 0, {{5, "Model X"}, {6, "Lab 7"}}}},
        IdCase{"OneObject", {0x2B, 0x0E, 0x04, 0x03}, {4, 0x82, 0, 0, {{3, "https://acme.example"}}}},
        IdCase{"OneBasicObject", {0x2B, 0x0E, 0x04, 0x00}, {4, 0x82, 0, 0, {{0, "ACME Labs"}}}}),
    [](const auto& i) { return std::string(i.param.name); });

struct ExceptionCase {
    const char* name;
    Bytes pdu;
    Bytes answer;
};
void PrintTo(const ExceptionCase& c, std::ostream* os) { *os << c.name; }
class RefusedRequests : public ::testing::TestWithParam<ExceptionCase> {};

TEST_P(RefusedRequests, Exception) { EXPECT_EQ(ask(GetParam().pdu, sample()), GetParam().answer); }

INSTANTIATE_TEST_SUITE_P(
    Rows, RefusedRequests,
    ::testing::Values(
        ExceptionCase{"OneUnknownObject", {0x2B, 0x0E, 0x04, 0x07}, {0xAB, 0x02}},
        ExceptionCase{"ExtendedStream", {0x2B, 0x0E, 0x03, 0x00}, {0xAB, 0x03}},
        ExceptionCase{"CodeZero", {0x2B, 0x0E, 0x00, 0x00}, {0xAB, 0x03}},
        ExceptionCase{"ObjectIdMissing", {0x2B, 0x0E, 0x01}, {0xAB, 0x03}},
        ExceptionCase{"ByteTooMany", {0x2B, 0x0E, 0x01, 0x00, 0x00}, {0xAB, 0x03}},
        ExceptionCase{"OtherMeiType", {0x2B, 0x0D, 0x01, 0x00}, {0xAB, 0x01}},
        ExceptionCase{"DiagnosticsRestart", {0x08, 0x00, 0x01, 0x00, 0x00}, {0x88, 0x01}},
        ExceptionCase{"DiagnosticsReturnRegister", {0x08, 0x00, 0x02, 0x00, 0x00}, {0x88, 0x01}},
        ExceptionCase{"DiagnosticsCounterWithData", {0x08, 0x00, 0x0E, 0x00, 0x01}, {0x88, 0x03}},
        ExceptionCase{"DiagnosticsCounterShort", {0x08, 0x00, 0x0B, 0x00}, {0x88, 0x03}},
        ExceptionCase{"DiagnosticsNoSubFunction", {0x08, 0x00}, {0x88, 0x03}},
        ExceptionCase{"ServerIdWithData", {0x11, 0x00}, {0x91, 0x03}}),
    [](const auto& i) { return std::string(i.param.name); });

// Values a master cannot show in one answer are continued in the next, and no object is empty.
TEST(DeviceIdentification, LongValuesContinueInTheNextAnswerAndEmptyOnesAreFilled) {
    DeviceIdentity id = sample();
    id.vendorUrl = std::string(120, 'u');
    id.productName = std::string(120, 'p');
    id.modelName = "";
    const Identification first = decode(ask({0x2B, 0x0E, 0x02, 0x00}, id));
    ASSERT_EQ(first.more, 0xFF);
    ASSERT_EQ(first.next, 4) << "objects 0-3 fit, 4 does not";
    EXPECT_EQ(first.objects.size(), 4u);
    const Identification rest = decode(ask({0x2B, 0x0E, 0x02, static_cast<std::uint8_t>(first.next)}, id));
    EXPECT_EQ(rest.more, 0);
    ASSERT_EQ(rest.objects.size(), 3u);
    EXPECT_EQ(rest.objects[0], std::make_pair(4, std::string(120, 'p')));
    EXPECT_EQ(rest.objects[1].second, DeviceIdentity{}.modelName) << "an empty value is sent as the default";

    id.vendorName = std::string(300, 'v');  // longer than a reply holds: cut so that it fits alone
    const Identification single = decode(ask({0x2B, 0x0E, 0x04, 0x00}, id));
    ASSERT_EQ(single.objects.size(), 1u);
    EXPECT_EQ(single.objects[0].second.size(), 244u);
}

TEST(DeviceIdentification, ValuesArePrintableAscii) {
    EXPECT_EQ(printableAscii(u"Разработчики tesmor", "x"), "tesmor");
    EXPECT_EQ(printableAscii(u"  tesmor  \tdevelopers ", "x"), "tesmor developers");
    EXPECT_EQ(printableAscii(u"Велмар", "Velmar"), "Velmar");
    EXPECT_EQ(printableAscii(u"", "fallback"), "fallback");
}

TEST(ServerId, UnitIdRunIndicatorAndProductText) {
    ModbusMapping store(modbus_mapping_new(500, 500, 500, 500));
    const DeviceIdentity id = sample();
    const ServerInfo info{&id, nullptr};
    const Bytes frame = withCrc({0x2A, 0x11});
    std::uint8_t reply[kMaxReply];
    const int n = answerRequest(frame.data(), static_cast<int>(frame.size()), Transport::Rtu, 0x2A, *store,
                                reply, nullptr, &info);
    const std::string text = "Velmar Modbus 1.1.1.4";
    Bytes expected{0x2A, 0x11, static_cast<std::uint8_t>(2 + text.size()), 0x2A, 0xFF};
    expected.insert(expected.end(), text.begin(), text.end());
    EXPECT_EQ(Bytes(reply, reply + n), withCrc(expected));
}

TEST(Diagnostics, CountersOfTheTransportAndTheirClearing) {
    TransportCounters c;
    c.answered(false);
    c.answered(true);
    c.dropped(true);
    c.dropped(false);
    const DeviceIdentity id;
    auto counter = [&](std::uint8_t sub) {
        const Bytes r = ask({0x08, 0x00, sub, 0x00, 0x00}, id, &c);
        return r.size() == 5 ? (r[3] << 8) | r[4] : -1;
    };
    EXPECT_EQ(counter(0x0B), 4) << "bus messages: every frame";
    EXPECT_EQ(counter(0x0C), 1) << "communication errors";
    EXPECT_EQ(counter(0x0D), 1) << "exceptions";
    EXPECT_EQ(counter(0x0E), 2) << "server messages: exceptions included";
    EXPECT_EQ(ask({0x08, 0x00, 0x0A, 0x00, 0x00}, id, &c), (Bytes{0x08, 0x00, 0x0A, 0x00, 0x00}));
    EXPECT_EQ(counter(0x0E), 0);
    EXPECT_EQ(ask({0x08, 0x00, 0x00, 0x12, 0x34, 0x56}, id, &c), (Bytes{0x08, 0x00, 0x00, 0x12, 0x34, 0x56}));
}

// --- through the transports ---

Bytes exchange(int fd, const Bytes& frame) {
    if (::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(frame.size())) return {};
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 400) != 1) return {};
    Bytes b(300);
    const auto n = ::recv(fd, b.data(), b.size(), 0);
    b.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return b;
}

class TcpCounters : public ::testing::Test {
protected:
    void SetUp() override {
        port = test::freeTcpPort();
        profile.setInt(kSettingsSection, u"isTCP", 1);
        profile.setInt(kSettingsSection, u"localPort", port);
        profile.setInt(kSettingsSection, u"TCPId", 1);
        server.restart();
        ASSERT_TRUE(test::waitFor([&] { return server.tcpListening(); }));
    }
    UniqueFd connectServer() {
        for (int attempt = 0; attempt < 100; ++attempt) {
            UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            a.sin_port = htons(static_cast<std::uint16_t>(port));
            if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
            std::this_thread::sleep_for(20ms);
        }
        return {};
    }
    test::MemoryProfile profile;
    test::CaptionStrings strings;
    ModbusServer server{profile, strings};
    int port = 0;
};

TEST_F(TcpCounters, KnownSequenceOfGoodAndBadRequests) {
    UniqueFd fd = connectServer();
    ASSERT_TRUE(fd);
    const auto before = std::chrono::system_clock::now();
    const Bytes read = mbap({0x03, 0x00, 0x00, 0x00, 0x01});
    for (int i = 0; i < 3; ++i) ASSERT_EQ(exchange(fd.get(), read).size(), 11u);
    ASSERT_EQ(exchange(fd.get(), mbap({0x03, 0x01, 0xF4, 0x00, 0x01})).size(), 9u) << "exception";
    ASSERT_EQ(exchange(fd.get(), mbap({0x07})).size(), 9u) << "unsupported function";
    EXPECT_TRUE(exchange(fd.get(), mbap({0x03, 0x00, 0x00, 0x00, 0x01}, 2)).empty()) << "another unit";
    ASSERT_TRUE(test::waitFor([&] { return server.counters(Transport::Tcp).dropped == 1; }));

    CounterSnapshot s = server.counters(Transport::Tcp);
    EXPECT_EQ(s.masters, 1u);
    EXPECT_EQ(s.requests, 5u);
    EXPECT_EQ(s.exceptions, 2u);
    EXPECT_EQ(s.dropped, 1u);
    EXPECT_EQ(s.busMessages, 6u);
    const auto last = std::chrono::system_clock::time_point(std::chrono::milliseconds(s.lastAnsweredMs));
    EXPECT_GE(last, before - 1s);
    EXPECT_LE(last, std::chrono::system_clock::now() + 1s);
    EXPECT_EQ(server.counters(Transport::Rtu).requests, 0u) << "the other transport counts apart";

    // The master reads the same through function 8, before its own request is counted.
    EXPECT_EQ(exchange(fd.get(), mbap({0x08, 0x00, 0x0E, 0x00, 0x00})), mbap({0x08, 0x00, 0x0E, 0x00, 0x05}));
    EXPECT_EQ(exchange(fd.get(), mbap({0x08, 0x00, 0x0D, 0x00, 0x00})), mbap({0x08, 0x00, 0x0D, 0x00, 0x02}));
    EXPECT_EQ(exchange(fd.get(), mbap({0x08, 0x00, 0x0B, 0x00, 0x00})), mbap({0x08, 0x00, 0x0B, 0x00, 0x08}));
    EXPECT_EQ(exchange(fd.get(), mbap({0x08, 0x00, 0x0A, 0x00, 0x00})), mbap({0x08, 0x00, 0x0A, 0x00, 0x00}));
    EXPECT_EQ(exchange(fd.get(), mbap({0x08, 0x00, 0x0E, 0x00, 0x00})), mbap({0x08, 0x00, 0x0E, 0x00, 0x01}))
        << "after a clear only the clear itself counts";

    // An invalid MBAP header ends the connection and counts as damaged.
    const Bytes bad{0x00, 0x01, 0x00, 0x05, 0x00, 0x06, 0x01, 0x03, 0x00, 0x00, 0x00, 0x01};
    ::send(fd.get(), bad.data(), bad.size(), MSG_NOSIGNAL);
    ASSERT_TRUE(test::waitFor([&] { return server.counters(Transport::Tcp).masters == 0; }));
    s = server.counters(Transport::Tcp);
    EXPECT_EQ(s.dropped, 1u);
    EXPECT_EQ(s.commErrors, 1u);
}

TEST_F(TcpCounters, TraceShowsTheBytesTheMasterSent) {
    test::LogCapture log;
    setFrameTrace(true);
    UniqueFd fd = connectServer();
    ASSERT_TRUE(fd);
    ASSERT_EQ(exchange(fd.get(), mbap({0x03, 0x00, 0x02, 0x00, 0x01})).size(), 11u);
    setFrameTrace(false);
    ASSERT_EQ(exchange(fd.get(), mbap({0x03, 0x00, 0x04, 0x00, 0x01})).size(), 11u);
    EXPECT_EQ(log.count("modbus trace"), 2u) << "one request and one reply; nothing once off";
    EXPECT_EQ(log.count(" tcp 127.0.0.1:"), 2u);
    EXPECT_EQ(log.count("-> 00 07 00 00 00 06 01 03 00 02 00 01"), 1u);
    EXPECT_EQ(log.count("<- 00 07 00 00 00 05 01 03 02 00 00"), 1u);
}

TEST(FrameTrace, LineHasTimeTransportMasterAndHex) {
    const std::uint8_t bytes[] = {0x05, 0x03, 0xAB};
    const std::string line = frameTraceLine(Transport::Rtu, "/dev/ttyUSB0", false, bytes, 3);
    EXPECT_EQ(line.rfind("modbus trace 20", 0), 0u) << line;
    EXPECT_NE(line.find(" rtu /dev/ttyUSB0 <- 05 03 AB"), std::string::npos) << line;
    EXPECT_EQ(line.size(),
              std::string("modbus trace 2026-12-10T15:04:05.123 rtu /dev/ttyUSB0 <- 05 03 AB").size());
}

class RtuCounters : public ::testing::Test {
protected:
    void SetUp() override {
        if (!pty.ready()) GTEST_SKIP() << "socat could not make a pty pair";
        profile.setInt(kSettingsSection, u"isRTU", 1);
        const std::string device = pty.a();
        profile.setString(kSettingsSection, u"portName", std::u16string(device.begin(), device.end()));
        profile.setInt(kSettingsSection, u"RTUId", 5);
        server.restart();
        ASSERT_TRUE(test::waitFor([&] { return server.rtuOpen(); })) << "port not opened";
        line.reset(::open(pty.b().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
        termios t{};
        if (line && ::tcgetattr(line.get(), &t) == 0) {
            ::cfmakeraw(&t);
            ::tcsetattr(line.get(), TCSANOW, &t);
        }
    }
    // Sends `frame` as it is; returns what comes back until 200 ms of silence.
    Bytes ask(const Bytes& frame) {
        if (::write(line.get(), frame.data(), frame.size()) != static_cast<ssize_t>(frame.size())) return {};
        Bytes got;
        pollfd p{line.get(), POLLIN, 0};
        while (::poll(&p, 1, 200) == 1) {
            std::uint8_t b[300];
            const auto n = ::read(line.get(), b, sizeof b);
            if (n <= 0) break;
            got.insert(got.end(), b, b + n);
        }
        return got;
    }

    test::PtyPair pty;
    test::MemoryProfile profile;
    test::CaptionStrings strings;
    ModbusServer server{profile, strings};
    UniqueFd line;
};

TEST_F(RtuCounters, KnownSequenceOfGoodAndBadFrames) {
    ASSERT_TRUE(line);
    EXPECT_EQ(ask(withCrc({5, 0x03, 0, 0, 0, 1})), withCrc({5, 0x03, 0x02, 0, 0}));
    EXPECT_EQ(ask(withCrc({5, 0x03, 0x01, 0xF4, 0, 1})), withCrc({5, 0x83, 0x02}));
    Bytes damaged = withCrc({5, 0x03, 0, 0, 0, 1});
    damaged.back() ^= 0x01;
    EXPECT_TRUE(ask(damaged).empty()) << "a bad CRC is answered";
    EXPECT_TRUE(ask(withCrc({6, 0x03, 0, 0, 0, 1})).empty()) << "another slave is answered";
    EXPECT_TRUE(ask(withCrc({0, 0x06, 0, 9, 0, 9})).empty()) << "a broadcast is answered";
    // Identification and counters reach an RTU master too.
    const Bytes id = ask(withCrc({5, 0x2B, 0x0E, 0x04, 0x01}));
    ASSERT_GE(id.size(), 11u);
    EXPECT_EQ(Bytes(id.begin() + 1, id.begin() + 8), (Bytes{0x2B, 0x0E, 0x04, 0x82, 0x00, 0x00, 0x01}));
    EXPECT_EQ(std::string(id.begin() + 10, id.end() - 2), "tesmor");
    EXPECT_EQ(ask(withCrc({5, 0x08, 0, 0x0C, 0, 0})), withCrc({5, 0x08, 0, 0x0C, 0, 1})) << "one bad CRC";

    const CounterSnapshot s = server.counters(Transport::Rtu);
    EXPECT_EQ(s.requests, 4u);
    EXPECT_EQ(s.exceptions, 1u);
    EXPECT_EQ(s.dropped, 2u);
    EXPECT_EQ(s.commErrors, 1u);
    EXPECT_EQ(s.busMessages, 7u);
    EXPECT_EQ(s.masters, 0u);
}

}  // namespace
}  // namespace tesmor
