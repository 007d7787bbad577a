// What a master gets for hand-made frames, valid, malformed and unsupported: through the TCP
// transport for the MBAP and PDU rows, on the check itself for RTU.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

#include "ModbusTestSupport.h"
#include "TesmorVersion.h"
#include "modbus/Handles.h"
#include "modbus/ModbusServer.h"
#include "modbus/RequestCheck.h"
#include "support/MemoryProfile.h"

namespace tesmor {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

Bytes mbap(const Bytes& pdu, int unit = 1, int protocol = 0, int length = -1) {
    const int len = length < 0 ? static_cast<int>(pdu.size()) + 1 : length;
    Bytes f{0x12,
            0x34,
            static_cast<std::uint8_t>(protocol >> 8),
            static_cast<std::uint8_t>(protocol),
            static_cast<std::uint8_t>(len >> 8),
            static_cast<std::uint8_t>(len),
            static_cast<std::uint8_t>(unit)};
    f.insert(f.end(), pdu.begin(), pdu.end());
    return f;
}

// Waits up to `ms` for bytes; returns them, or nothing on silence. `closed` tells whether the
// server ended the connection.
Bytes receive(int fd, int ms, bool& closed) {
    closed = false;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, ms) != 1) return {};
    Bytes b(300);
    const auto n = ::recv(fd, b.data(), b.size(), 0);
    if (n <= 0) {
        closed = true;
        return {};
    }
    b.resize(static_cast<std::size_t>(n));
    return b;
}

class Frames : public ::testing::Test {
protected:
    void SetUp() override {
        port = test::freeTcpPort();
        profile.setInt(kSettingsSection, u"isTCP", 1);
        profile.setInt(kSettingsSection, u"localPort", port);
        profile.setInt(kSettingsSection, u"TCPId", 1);
        server.restart();
        ASSERT_TRUE(test::waitFor([&] { return server.tcpListening(); }));
    }
    // A connection the server is known to serve: a valid read is answered on it first (the
    // listener is reopened after each master leaves, and a master may meet the gap).
    UniqueFd served() {
        for (int attempt = 0; attempt < 100; ++attempt) {
            UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            a.sin_port = htons(static_cast<std::uint16_t>(port));
            if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && answersProbe(fd.get()))
                return fd;
            std::this_thread::sleep_for(20ms);
        }
        return {};
    }
    static bool answersProbe(int fd) {
        const Bytes probe = mbap({0x03, 0x00, 0x00, 0x00, 0x01});
        if (::send(fd, probe.data(), probe.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(probe.size()))
            return false;
        bool closed = false;
        const Bytes r = receive(fd, 500, closed);
        return r.size() == 11 && r[7] == 0x03;
    }

    test::MemoryProfile profile;
    test::CaptionStrings strings;
    ModbusServer server{profile, strings};
    int port = 0;
};

struct FrameCase {
    const char* name;
    Bytes frame;
    Bytes answer;  // the answer's PDU, or its first bytes; empty: no answer at all
    bool closes;   // the server ends the connection after the frame
};
void PrintTo(const FrameCase& c, std::ostream* os) { *os << c.name; }

class TcpFrames : public Frames, public ::testing::WithParamInterface<FrameCase> {};

// Function 17's answer with the default identity: byte count, unit id 1, run indicator on, then the
// product and its release.
Bytes serverIdAnswer() {
    const std::string text = "Velmar Modbus " TESMOR_VERSION;
    Bytes answer{0x11, static_cast<std::uint8_t>(2 + text.size()), 1, 0xFF};
    answer.insert(answer.end(), text.begin(), text.end());
    return answer;
}

TEST_P(TcpFrames, AnswerAndConnection) {
    const FrameCase& c = GetParam();
    UniqueFd fd = served();
    ASSERT_TRUE(fd) << "no served connection";
    ASSERT_EQ(::send(fd.get(), c.frame.data(), c.frame.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(c.frame.size()));
    bool closed = false;
    const Bytes r = receive(fd.get(), c.answer.empty() ? 700 : 2000, closed);
    if (c.answer.empty()) {
        EXPECT_TRUE(r.empty()) << "an answer came";
    } else {
        ASSERT_GE(r.size(), 7 + c.answer.size());
        EXPECT_EQ(Bytes(r.begin(), r.begin() + 2), Bytes(c.frame.begin(), c.frame.begin() + 2))
            << "transaction id";
        EXPECT_EQ(Bytes(r.begin() + 7, r.begin() + 7 + static_cast<long>(c.answer.size())), c.answer);
    }
    if (c.closes) {
        if (!closed) receive(fd.get(), 2000, closed);
        EXPECT_TRUE(closed) << "the connection stays open";
    } else {
        EXPECT_FALSE(closed);
        EXPECT_TRUE(answersProbe(fd.get())) << "the connection is no longer served";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, TcpFrames,
    ::testing::Values(
        FrameCase{"ReadAtTheLastRegister", mbap({0x03, 0x01, 0xF3, 0x00, 0x01}), {0x03, 0x02}, false},
        FrameCase{"ReadPastTheTable", mbap({0x03, 0x01, 0xF4, 0x00, 0x01}), {0x83, 0x02}, false},
        FrameCase{"ReadCountZero", mbap({0x03, 0x00, 0x00, 0x00, 0x00}), {0x83, 0x03}, false},
        FrameCase{"ReadRegistersCount126", mbap({0x04, 0x00, 0x00, 0x00, 126}), {0x84, 0x03}, false},
        FrameCase{"ReadCoilsCount2001", mbap({0x01, 0x00, 0x00, 0x07, 0xD1}), {0x81, 0x03}, false},
        FrameCase{
            "ReadCoilsCount2000BeyondTheTable", mbap({0x01, 0x00, 0x00, 0x07, 0xD0}), {0x81, 0x02}, false},
        FrameCase{"CountIsCheckedBeforeAddress", mbap({0x03, 0x02, 0x58, 0x00, 126}), {0x83, 0x03}, false},
        FrameCase{
            "CoilValueIsCheckedBeforeAddress", mbap({0x05, 0x02, 0x58, 0x12, 0x34}), {0x85, 0x03}, false},
        FrameCase{"WriteRegistersByteCountShort",
                  mbap({0x10, 0x00, 0x00, 0x00, 0x02, 0x02, 0xAB, 0xCD}),
                  {0x90, 0x03},
                  false},
        FrameCase{"WriteCoilsByteCountShort",
                  mbap({0x0F, 0x00, 0x00, 0x00, 0x10, 0x01, 0xFF}),
                  {0x8F, 0x03},
                  false},
        FrameCase{"WriteAndReadWritePastTheTable",
                  mbap({0x17, 0x00, 0x00, 0x00, 0x01, 0x02, 0x58, 0x00, 0x01, 0x02, 0x00, 0x01}),
                  {0x97, 0x02},
                  false},
        FrameCase{"ReportServerId", mbap({0x11}), serverIdAnswer(), false},
        FrameCase{"ReadWithAByteTooMany", mbap({0x03, 0x00, 0x00, 0x00, 0x01, 0x00}), {0x83, 0x03}, false},
        FrameCase{"ReadWithAByteTooFew", mbap({0x03, 0x00, 0x00, 0x00}), {0x83, 0x03}, false},
        FrameCase{"ReportSlaveIdWithData", mbap({0x11, 0x00}), {0x91, 0x03}, false},
        // Unsupported functions, with whatever data they carry: the MBAP length frames them.
        FrameCase{"ReadExceptionStatus", mbap({0x07}), {0x87, 0x01}, false},
        FrameCase{
            "DiagnosticsEcho", mbap({0x08, 0x00, 0x00, 0xA5, 0x37}), {0x08, 0x00, 0x00, 0xA5, 0x37}, false},
        FrameCase{"DiagnosticsUnknownSubFunction", mbap({0x08, 0x00, 0x01, 0x00, 0x00}), {0x88, 0x01}, false},
        FrameCase{"ReadFileRecord",
                  mbap({0x14, 0x07, 0x06, 0x00, 0x04, 0x00, 0x01, 0x00, 0x02}),
                  {0x94, 0x01},
                  false},
        FrameCase{"WriteFileRecord",
                  mbap({0x15, 0x09, 0x06, 0x00, 0x04, 0x00, 0x07, 0x00, 0x01, 0x06, 0xAF}),
                  {0x95, 0x01},
                  false},
        FrameCase{"ReadFifoQueue", mbap({0x18, 0x04, 0xDE}), {0x98, 0x01}, false},
        FrameCase{"ReadDeviceIdentificationBadCode", mbap({0x2B, 0x0E, 0x05, 0x00}), {0xAB, 0x03}, false},
        FrameCase{"CanOpenGeneralReference", mbap({0x2B, 0x0D, 0x00}), {0xAB, 0x01}, false},
        FrameCase{"UnknownFunction", mbap({0x63}), {0xE3, 0x01}, false},
        FrameCase{
            "UnknownFunctionWithData", mbap({0x5A, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06}), {0xDA, 0x01}, false},
        FrameCase{"FunctionCodeOfAnException", mbap({0x83}), {}, false},
        FrameCase{"AnotherUnit", mbap({0x03, 0x00, 0x00, 0x00, 0x01}, 2), {}, false},
        FrameCase{"MbapLengthOneHasNoFunction", mbap({}), {}, false},
        // An invalid MBAP header: nothing after it can be framed.
        FrameCase{"ProtocolIdentifierNotModbus", mbap({0x03, 0x00, 0x00, 0x00, 0x01}, 1, 5), {}, true},
        FrameCase{"MbapLengthZero", mbap({0x03, 0x00, 0x00, 0x00, 0x01}, 1, 0, 0), {}, true},
        FrameCase{"MbapLength255", mbap({0x03, 0x00, 0x00, 0x00, 0x01}, 1, 0, 255), {}, true},
        FrameCase{"MbapLengthOver254", mbap({0x03, 0x00, 0x00, 0x00, 0x01}, 1, 0, 300), {}, true},
        // The length says one more byte is coming; it never does and the frame stalls.
        FrameCase{"MbapLengthOneTooMany", mbap({0x03, 0x00, 0x00, 0x00, 0x01}, 1, 0, 7), {}, true},
        // The frame ends a byte early (a short read, 03); its last byte starts a frame that stalls.
        FrameCase{"MbapLengthOneTooFew", mbap({0x03, 0x00, 0x00, 0x00, 0x01}, 1, 0, 5), {0x83, 0x03}, true}),
    [](const auto& i) { return std::string(i.param.name); });

// RTU frames reach the check with their CRC; a broadcast never gets an exception.
struct RtuCase {
    const char* name;
    Bytes frame;  // slave, PDU, two CRC bytes (not checked here)
    RequestVerdict verdict;
};
void PrintTo(const RtuCase& c, std::ostream* os) { *os << c.name; }

class RtuFrames : public ::testing::TestWithParam<RtuCase> {};

TEST_P(RtuFrames, Verdict) {
    ModbusMapping store(modbus_mapping_new(500, 500, 500, 500));
    const auto& c = GetParam();
    EXPECT_EQ(checkRequest(c.frame.data(), static_cast<int>(c.frame.size()), Transport::Rtu, 1, *store),
              c.verdict);
}

constexpr RequestVerdict kReply{RequestVerdict::Reply, 0};
constexpr RequestVerdict kDrop{RequestVerdict::Drop, 0};
constexpr RequestVerdict exceptionOf(std::uint8_t code) { return {RequestVerdict::Exception, code}; }

INSTANTIATE_TEST_SUITE_P(
    Rows, RtuFrames,
    ::testing::Values(
        RtuCase{"Read", {1, 0x03, 0, 0, 0, 1, 0, 0}, kReply},
        RtuCase{"ReadPastTheTable", {1, 0x03, 0x01, 0xF4, 0, 1, 0, 0}, exceptionOf(2)},
        RtuCase{"UnknownFunction", {1, 0x63, 0, 0}, exceptionOf(1)},
        RtuCase{"BroadcastWrite", {0, 0x06, 0, 1, 0, 2, 0, 0}, kReply},
        RtuCase{"BroadcastBadWriteGetsNoException", {0, 0x06, 0x01, 0xF4, 0, 2, 0, 0}, kDrop},
        RtuCase{"FunctionCodeOfAnException", {1, 0x90, 0, 0}, kDrop},
        RtuCase{"AnotherSlave", {2, 0x03, 0, 0, 0, 1, 0, 0}, kDrop},
        RtuCase{"DiagnosticsEcho", {1, 0x08, 0, 0, 0xA5, 0x37, 0, 0}, kReply},
        RtuCase{"DiagnosticsCounterWithData", {1, 0x08, 0, 0x0B, 0, 1, 0, 0}, exceptionOf(3)},
        RtuCase{"DiagnosticsRestartOptionIsNotServed", {1, 0x08, 0, 0x01, 0, 0, 0, 0}, exceptionOf(1)},
        RtuCase{"BroadcastUnknownFunction", {0, 0x63, 0, 0}, kDrop},
        RtuCase{"ReadAByteShort", {1, 0x03, 0, 0, 0, 0, 0}, exceptionOf(3)}),
    [](const auto& i) { return std::string(i.param.name); });

}  // namespace
}  // namespace tesmor
