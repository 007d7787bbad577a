// The TCP transport with real libmodbus masters on loopback.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "ModbusTestSupport.h"
#include "TesmorVersion.h"
#include "modbus/Handles.h"
#include "modbus/ModbusServer.h"
#include "support/MemoryProfile.h"

namespace tesmor {
namespace {

using namespace std::chrono;
using namespace std::chrono_literals;

class TcpServer : public ::testing::Test {
protected:
    void SetUp() override {
        profile.setInt(kSettingsSection, u"isTCP", 1);
        profile.setInt(kSettingsSection, u"localPort", 0);  // the system's choice: no race for a free port
        profile.setInt(kSettingsSection, u"TCPId", 1);
    }
    void start() {
        server.restart();
        ASSERT_TRUE(test::waitFor([&] { return server.tcpListening(); })) << "server did not listen";
        port = server.tcpPort();
        ASSERT_NE(port, 0);
    }
    // Sends "read 2 holding registers from 0" to `unit`; returns the reply length or -1.
    static int rawRead(modbus_t* master, std::uint8_t unit) {
        const std::uint8_t raw[] = {unit, 0x03, 0x00, 0x00, 0x00, 0x02};
        if (modbus_send_raw_request(master, raw, sizeof raw) < 0) return -1;
        std::uint8_t reply[MODBUS_TCP_MAX_ADU_LENGTH];
        return modbus_receive_confirmation(master, reply);
    }

    test::MemoryProfile profile;
    test::CaptionStrings strings;
    ModbusServer server{profile, strings};
    int port = 0;
};

TEST_F(TcpServer, AnswersItsUnitIdAndDropsOthersOnTheSameConnection) {
    start();
    EXPECT_TRUE(server.startPending() == false);
    auto master = test::tcpMaster(port);
    ASSERT_TRUE(master);
    EXPECT_GT(rawRead(master.get(), 1), 0);
    EXPECT_EQ(rawRead(master.get(), 2), -1) << "unit 2 must get no reply at all";
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_GT(rawRead(master.get(), 1), 0) << "a dropped request must not end the connection";
    EXPECT_EQ(server.peerAddress(), u"127.0.0.1");
    EXPECT_FALSE(server.localHostName().empty());
}

TEST_F(TcpServer, ServesANewMasterAfterADisconnect) {
    start();
    {
        auto first = test::tcpMaster(port);
        ASSERT_TRUE(first);
        std::uint16_t r[2];
        ASSERT_EQ(modbus_read_registers(first.get(), 0, 2, r), 2);
    }
    EXPECT_TRUE(test::readHoldingEventually(port, 0, 2).has_value());
}

TEST_F(TcpServer, SecondMasterWaitsUnansweredAndIsServedAfterReconnecting) {
    start();
    auto first = test::tcpMaster(port);
    ASSERT_TRUE(first);
    std::uint16_t r[2];
    ASSERT_EQ(modbus_read_registers(first.get(), 0, 2, r), 2);

    auto second = test::tcpMaster(port);
    ASSERT_TRUE(second) << "the backlog queues the second master";
    EXPECT_EQ(modbus_read_registers(second.get(), 0, 2, r), -1);
    EXPECT_EQ(modbus_read_registers(first.get(), 0, 2, r), 2) << "the first master is still served";

    first.reset();
    // The queued connection is dropped with the listening socket; it is never answered.
    EXPECT_EQ(modbus_read_registers(second.get(), 0, 2, r), -1);
    second.reset();
    EXPECT_TRUE(test::readHoldingEventually(port, 0, 2).has_value());
}

TEST_F(TcpServer, WrittenUncoveredRegisterIsReadBackAndCoveredOneIsOverwritten) {
    start();
    RegisterInfo covered;
    covered.address = 10;
    covered.deviceName = u"GC-1";
    covered.table = Table::HoldingRegisters;
    covered.dataType = DataType::Int;
    covered.dataItem = DataItem::Mode;
    covered.values.mode = 4;
    {
        auto master = test::tcpMaster(port);
        ASSERT_TRUE(master);
        ASSERT_EQ(modbus_write_register(master.get(), 100, 1234), 1);
        ASSERT_EQ(modbus_write_register(master.get(), 10, 777), 1);
        ASSERT_EQ(modbus_write_bit(master.get(), 7, 1), 1);
    }
    server.lock().writeRegister(covered);  // the entry's next update
    auto regs = test::readHoldingEventually(port, 0, 101);
    ASSERT_TRUE(regs);
    EXPECT_EQ((*regs)[100], 1234);
    EXPECT_EQ((*regs)[10], 4);
    EXPECT_EQ(server.lock().registers().tab_bits[7], 1);
}

TEST_F(TcpServer, RestartWithBothTransportsOffStopsAndKeepsValues) {
    start();
    {
        auto master = test::tcpMaster(port);
        ASSERT_TRUE(master);
        ASSERT_EQ(modbus_write_register(master.get(), 5, 4321), 1);
    }
    profile.setInt(kSettingsSection, u"isTCP", 0);
    server.restart();
    EXPECT_FALSE(server.tcpListening());
    EXPECT_FALSE(test::tcpMaster(port)) << "nothing listens any more";
    EXPECT_EQ(server.lock().registers().tab_registers[5], 4321);
    EXPECT_TRUE(server.peerAddress().empty());

    profile.setInt(kSettingsSection, u"isTCP", 1);
    start();
    auto regs = test::readHoldingEventually(port, 5, 1);
    ASSERT_TRUE(regs);
    EXPECT_EQ((*regs)[0], 4321);
}

struct FlagCase {
    const char* name;
    std::int32_t isTcp;  // -100: key absent
    std::int32_t isRtu;
};
void PrintTo(const FlagCase& c, std::ostream* os) { *os << c.name; }

class EnabledFlags : public ::testing::TestWithParam<FlagCase> {};

// Only the value 1 starts a transport; nothing else clears startPending.
TEST_P(EnabledFlags, OnlyOneStartsATransport) {
    test::MemoryProfile profile;
    test::CaptionStrings strings;
    const int port = test::freeTcpPort();
    profile.setInt(kSettingsSection, u"localPort", port);
    profile.setString(kSettingsSection, u"portName", u"/nonexistent/tty");
    if (GetParam().isTcp != -100) profile.setInt(kSettingsSection, u"isTCP", GetParam().isTcp);
    if (GetParam().isRtu != -100) profile.setInt(kSettingsSection, u"isRTU", GetParam().isRtu);
    ModbusServer server(profile, strings);
    server.restart();
    EXPECT_TRUE(server.startPending());
    EXPECT_FALSE(test::waitFor([&] { return server.tcpListening(); }, 200ms));
    EXPECT_FALSE(test::tcpMaster(port));
}
INSTANTIATE_TEST_SUITE_P(Rows, EnabledFlags,
                         ::testing::Values(FlagCase{"EmptyProfile", -100, -100}, FlagCase{"TcpTwo", 2, 0},
                                           FlagCase{"TcpMinusOne", -1, 0}, FlagCase{"RtuTwo", 0, 2}),
                         [](const auto& i) { return std::string(i.param.name); });

// A stop that comes right after a start must never be lost to the starting thread.
TEST_F(TcpServer, ImmediateStopsAfterStartsNeverHang) {
    const auto t0 = steady_clock::now();
    for (int i = 0; i < 20; ++i) {
        server.restart();
        server.stop();
    }
    EXPECT_LT(steady_clock::now() - t0, 10s);
    EXPECT_FALSE(server.tcpListening());
    start();
    EXPECT_TRUE(test::readHoldingEventually(port, 0, 1).has_value());
}

TEST_F(TcpServer, StopAndRestartDoNotWaitForASilentMaster) {
    start();
    auto master = test::tcpMaster(port);
    ASSERT_TRUE(master);
    std::uint16_t r[1];
    ASSERT_EQ(modbus_read_registers(master.get(), 0, 1, r), 1);

    auto t0 = steady_clock::now();
    server.restart();
    const auto restartTime = steady_clock::now() - t0;
    EXPECT_LT(restartTime, 2s);

    test::Master second;
    ASSERT_TRUE(test::waitFor([&] {
        if (!second) second = test::tcpMaster(server.tcpPort());  // the system chose a new one
        return second && modbus_read_registers(second.get(), 0, 1, r) == 1;
    }));
    t0 = steady_clock::now();
    server.stop();
    EXPECT_LT(steady_clock::now() - t0, 2s);
    RecordProperty("restart_ms", static_cast<int>(duration_cast<milliseconds>(restartTime).count()));
}

// A frame that stops arriving half-way ends the connection like any read failure: its bytes
// are never taken for the start of the next frame, and the next master is served.
TEST_F(TcpServer, StalledPartialFrameEndsTheConnection) {
    start();
    auto master = test::tcpMaster(port);
    ASSERT_TRUE(master);
    const int s = modbus_get_socket(master.get());
    // Header and unit of "read 1 holding register"; the PDU never comes.
    const std::uint8_t half[] = {0x00, 0x01, 0x00, 0x00, 0x00, 0x06, 0x01};
    ASSERT_EQ(::send(s, half, sizeof half, MSG_NOSIGNAL), static_cast<ssize_t>(sizeof half));
    // Bytes after the stall may be the late rest of the broken frame as well as a new frame;
    // nothing tells which, so the server ends the connection once the 500 ms a frame may pause
    // have passed, before any more bytes come.
    pollfd p{s, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 3000), 1) << "the stalled connection is neither answered nor closed";
    std::uint8_t buf[64];
    EXPECT_LE(::recv(s, buf, sizeof buf, 0), 0) << "the stalled connection is still served";
    master.reset();
    EXPECT_TRUE(test::readHoldingEventually(port, 0, 1).has_value());
}

// Every function the server carries out, through libmodbus's own master, which checks each
// answer's layout.
TEST_F(TcpServer, EverySupportedFunctionIsCarriedOut) {
    start();
    auto m = test::tcpMaster(port);
    ASSERT_TRUE(m);
    {
        auto locked = server.lock();
        for (int i = 0; i < 10; ++i) {
            locked.registers().tab_input_registers[i] = static_cast<std::uint16_t>(0x100 + i);
            locked.registers().tab_input_bits[i] = static_cast<std::uint8_t>(i % 3 == 0);
        }
    }
    const std::uint8_t coils[11] = {1, 0, 1, 1, 0, 0, 0, 1, 1, 0, 1};
    ASSERT_EQ(modbus_write_bits(m.get(), 3, 11, coils), 11);
    ASSERT_EQ(modbus_write_bit(m.get(), 20, 1), 1);
    std::uint8_t bits[22] = {};
    ASSERT_EQ(modbus_read_bits(m.get(), 3, 18, bits), 18);
    EXPECT_EQ(std::vector<std::uint8_t>(bits, bits + 11), std::vector<std::uint8_t>(coils, coils + 11));
    EXPECT_EQ(bits[17], 1);
    ASSERT_EQ(modbus_read_input_bits(m.get(), 0, 10, bits), 10);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(bits[i], i % 3 == 0) << i;

    const std::uint16_t values[3] = {0x1111, 0x2222, 0x3333};
    ASSERT_EQ(modbus_write_registers(m.get(), 40, 3, values), 3);
    ASSERT_EQ(modbus_write_register(m.get(), 43, 0x4444), 1);
    ASSERT_EQ(modbus_mask_write_register(m.get(), 40, 0xF2F2, 0x0025), 1);
    std::uint16_t regs[10] = {};
    ASSERT_EQ(modbus_read_registers(m.get(), 40, 4, regs), 4);
    EXPECT_EQ(regs[0], (0x1111 & 0xF2F2) | (0x0025 & ~0xF2F2));
    EXPECT_EQ(regs[1], 0x2222);
    EXPECT_EQ(regs[3], 0x4444);
    const std::uint16_t more[2] = {0xAAAA, 0xBBBB};
    ASSERT_EQ(modbus_write_and_read_registers(m.get(), 41, 2, more, 40, 4, regs), 4);
    EXPECT_EQ(regs[1], 0xAAAA) << "the write comes before the read";
    EXPECT_EQ(regs[2], 0xBBBB);
    ASSERT_EQ(modbus_read_input_registers(m.get(), 0, 10, regs), 10);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(regs[i], 0x100 + i) << i;
    std::uint8_t id[64] = {};
    const std::string text = "Velmar Modbus " TESMOR_VERSION;  // the product and its release
    ASSERT_EQ(modbus_report_slave_id(m.get(), sizeof id, id), static_cast<int>(2 + text.size()));
    EXPECT_EQ(id[0], 1) << "the server id is the unit id";
    EXPECT_EQ(id[1], 0xFF) << "run indicator";
    EXPECT_EQ(std::string(reinterpret_cast<char*>(id) + 2, text.size()), text);
}

// Frames a broken or hostile master may send; none may crash or wedge the server.
TEST_F(TcpServer, MalformedFramesLeaveTheServerServing) {
    start();
    const std::vector<std::vector<std::uint8_t>> frames{
        {0x00, 0x01, 0x00, 0x00, 0xFF, 0xFF, 0x01, 0x03, 0x00, 0x00},                    // length field 65535
        {0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x01},                                      // length field 0
        {0x00, 0x01, 0x00, 0x00, 0x00, 0x06, 0x01, 0x63, 0x00, 0x00, 0x00, 0x01},        // unknown function
        {0x00, 0x01, 0x00, 0x00, 0x00, 0x06, 0x01, 0x03, 0x01, 0xF4, 0x00, 0x7D},        // read past 499
        {0x00, 0x01, 0x00, 0x00, 0x00, 0x06, 0x01, 0x03, 0x00, 0x00, 0x00, 0x00},        // count 0
        {0x00, 0x01, 0x00, 0x00, 0x00, 0x07, 0x01, 0x10, 0x00, 0x00, 0x00, 0x7F, 0xFE},  // write, count 127
    };
    for (const auto& f : frames) {
        auto master = test::tcpMaster(port);
        if (!master) continue;  // the listener may be reopening after the previous row
        ::send(modbus_get_socket(master.get()), f.data(), f.size(), MSG_NOSIGNAL);
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_TRUE(test::readHoldingEventually(port, 0, 1, 5s).has_value());
}

TEST_F(TcpServer, BusyPortIsRetriedCalmlyAndLoggedOnce) {
    test::LogCapture log;
    port = test::freeTcpPort();
    profile.setInt(kSettingsSection, u"localPort", port);
    const int blocker = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(blocker, 1), 0);

    timespec cpu0{}, cpu1{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu0);
    server.restart();
    std::this_thread::sleep_for(1300ms);
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu1);
    EXPECT_FALSE(server.tcpListening());
    EXPECT_EQ(log.count("cannot listen"), 1u);
    const double cpu = (cpu1.tv_sec - cpu0.tv_sec) + (cpu1.tv_nsec - cpu0.tv_nsec) / 1e9;
    EXPECT_LT(cpu, 0.5) << "retrying must not spin";

    ::close(blocker);
    EXPECT_TRUE(test::readHoldingEventually(port, 0, 1, 3s).has_value());
    const auto t0 = steady_clock::now();
    server.stop();
    EXPECT_LT(steady_clock::now() - t0, 2s);
}

// The server waits with poll(): a master whose socket lies beyond select()'s limit is served.
TEST_F(TcpServer, ServesAMasterWhoseSocketIsBeyondSelectsLimit) {
    rlimit lim{};
    ::getrlimit(RLIMIT_NOFILE, &lim);
    if (lim.rlim_cur < FD_SETSIZE + 64) GTEST_SKIP() << "descriptor limit too low";
    start();
    std::vector<int> fillers;
    for (;;) {
        const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        fillers.push_back(fd);
        if (fd >= FD_SETSIZE - 1) break;
    }
    // A plain socket: the master's own descriptor is beyond FD_SETSIZE too.
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    ASSERT_EQ(::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    const std::uint8_t req[] = {0x00, 0x01, 0x00, 0x00, 0x00, 0x06, 0x01, 0x03, 0x00, 0x00, 0x00, 0x01};
    ::send(s, req, sizeof req, MSG_NOSIGNAL);
    pollfd p{s, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 2000), 1);
    char buf[64];
    EXPECT_EQ(::recv(s, buf, sizeof buf, 0), 11) << "the master is not answered";
    ::close(s);
    for (int fd : fillers) ::close(fd);
    EXPECT_TRUE(test::readHoldingEventually(port, 0, 1).has_value());
}

// A master that vanishes without closing must not hold the one master slot for ever.
TEST_F(TcpServer, AcceptedConnectionUsesShortKeepAliveWithOneOrSeveralMasters) {
    for (const int masters : {1, 4}) {
        SCOPED_TRACE("maxMasters " + std::to_string(masters));
        profile.setInt(kSettingsSection, u"maxMasters", masters);
        start();
        auto master = test::tcpMaster(port);
        ASSERT_TRUE(master);
        std::uint16_t r[1];
        ASSERT_EQ(modbus_read_registers(master.get(), 0, 1, r), 1);
        sockaddr_in mine{};
        socklen_t len = sizeof mine;
        ASSERT_EQ(::getsockname(modbus_get_socket(master.get()), reinterpret_cast<sockaddr*>(&mine), &len),
                  0);
        // The server's end is the socket in this process whose peer is the master's address.
        int serverSide = -1;
        for (int fd = 0; fd < 4096 && serverSide < 0; ++fd) {
            sockaddr_in peer{};
            socklen_t pl = sizeof peer;
            if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &pl) == 0 &&
                peer.sin_family == AF_INET && peer.sin_port == mine.sin_port &&
                peer.sin_addr.s_addr == mine.sin_addr.s_addr)
                serverSide = fd;
        }
        ASSERT_GE(serverSide, 0);
        auto opt = [&](int level, int name) {
            int v = -1;
            socklen_t l = sizeof v;
            ::getsockopt(serverSide, level, name, &v, &l);
            return v;
        };
        EXPECT_EQ(opt(SOL_SOCKET, SO_KEEPALIVE), 1);
        const int idle = opt(IPPROTO_TCP, TCP_KEEPIDLE), interval = opt(IPPROTO_TCP, TCP_KEEPINTVL),
                  count = opt(IPPROTO_TCP, TCP_KEEPCNT), user = opt(IPPROTO_TCP, TCP_USER_TIMEOUT);
        EXPECT_LE(idle + interval * count, 60) << "a vanished master is dropped within about a minute";
        EXPECT_GT(user, 0);
        EXPECT_LE(user, 60000);
    }
}

// A network namespace joined to this one by a veth pair, 10.213.N.1 here and 10.213.N.2 there.
// Needs root and iproute2; removed with everything in it.
class PeerNamespace {
public:
    PeerNamespace() {
        const int id = static_cast<int>(::getpid() % 250) + 1;
        name_ = "tesmor-peer-" + std::to_string(::getpid());
        here_ = "tmp" + std::to_string(::getpid()) + "a";
        there_ = "tmp" + std::to_string(::getpid()) + "b";
        local = "10.213." + std::to_string(id) + ".1";
        peer = "10.213." + std::to_string(id) + ".2";
        ok_ = run("ip netns add " + name_) &&
              run("ip link add " + here_ + " type veth peer name " + there_) &&
              run("ip link set " + there_ + " netns " + name_) &&
              run("ip addr add " + local + "/30 dev " + here_) && run("ip link set " + here_ + " up") &&
              run("ip -n " + name_ + " addr add " + peer + "/30 dev " + there_) &&
              run("ip -n " + name_ + " link set " + there_ + " up");
    }
    ~PeerNamespace() {
        run("ip link del " + here_);
        run("ip netns del " + name_);
    }
    bool ok() const { return ok_; }
    // A TCP socket that lives in the namespace.
    UniqueFd socket() const {
        UniqueFd s;
        std::thread([&] {  // a network namespace is joined per thread
            UniqueFd ns(::open(("/var/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC));
            if (ns && ::setns(ns.get(), CLONE_NEWNET) == 0)
                s.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        })
            .join();
        return s;
    }
    // The peer's end stops carrying anything, without a FIN or a reset.
    bool cut() const { return run("ip -n " + name_ + " link set " + there_ + " down"); }

    std::string local, peer;

private:
    static bool run(const std::string& command) {
        return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
    }
    std::string name_, here_, there_;
    bool ok_ = false;
};

// A master gone without closing (cable pulled, computer off) stops acknowledging. The keep-alive
// and user time-out of the served socket end the connection and the slot is free again. The
// timers are shortened on the server's socket here; their real values are checked above.
TEST_F(TcpServer, AMasterThatStopsAcknowledgingIsDropped) {
    if (::geteuid() != 0 || std::system("ip netns list >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "needs root and ip";
    PeerNamespace ns;
    if (!ns.ok()) GTEST_SKIP() << "cannot make a network namespace with a veth pair";
    start();
    UniqueFd master = ns.socket();
    ASSERT_TRUE(master);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET, ns.local.c_str(), &addr.sin_addr);
    ASSERT_EQ(::connect(master.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0)
        << std::strerror(errno);
    const std::uint8_t req[] = {0x00, 0x01, 0x00, 0x00, 0x00, 0x06, 0x01, 0x03, 0x00, 0x00, 0x00, 0x01};
    ASSERT_EQ(::send(master.get(), req, sizeof req, MSG_NOSIGNAL), static_cast<ssize_t>(sizeof req));
    pollfd p{master.get(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 2000), 1) << "not served";

    int serverSide = -1;
    for (int fd = 0; fd < 4096 && serverSide < 0; ++fd) {
        sockaddr_in peer{};
        socklen_t pl = sizeof peer;
        char text[INET_ADDRSTRLEN] = {};
        if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &pl) == 0 && peer.sin_family == AF_INET &&
            ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text) && ns.peer == text)
            serverSide = fd;
    }
    ASSERT_GE(serverSide, 0);
    const int idle = 1, interval = 1, count = 2;
    const unsigned userTimeout = 3000;
    ::setsockopt(serverSide, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(serverSide, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(serverSide, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
    ::setsockopt(serverSide, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeout, sizeof userTimeout);

    ASSERT_TRUE(ns.cut());
    // While the silent master holds the slot a new one is not served; once it is dropped, it is.
    const auto t0 = steady_clock::now();
    EXPECT_TRUE(test::readHoldingEventually(port, 0, 1, 20s).has_value())
        << "the half-open connection is kept";
    RecordProperty("dropped_after_ms",
                   static_cast<int>(duration_cast<milliseconds>(steady_clock::now() - t0).count()));
}

TEST_F(TcpServer, MisplacedEntryIsLoggedOncePerMapAndNeverWritten) {
    RegisterInfo e;
    e.address = 499;
    e.table = Table::HoldingRegisters;
    e.dataType = DataType::Float;
    e.byteOrder = ByteOrder::BigEndian;
    e.dataItem = DataItem::Area;
    saveRegisterMap(profile, {e}, MapCaptions(strings));
    test::LogCapture log;
    server.reloadConfiguration();
    EXPECT_EQ(log.count("entry 0 at address 499"), 1u);
    {
        auto locked = server.lock();
        ASSERT_EQ(locked.registerMap().size(), 1u);
        locked.registerMap()[0].values.area = 1.0f;
        locked.writeRegister(locked.registerMap()[0]);
        locked.writeRegister(locked.registerMap()[0]);
        EXPECT_EQ(locked.registers().tab_registers[499], 0);
    }
    EXPECT_EQ(log.count("entry 0"), 1u);
    server.reloadConfiguration();  // the same map again: already reported
    EXPECT_EQ(log.count("entry 0"), 1u);
    e.address = 500;
    saveRegisterMap(profile, {e}, MapCaptions(strings));
    server.reloadConfiguration();
    EXPECT_EQ(log.count("entry 0 at address 500"), 1u);
}

TEST_F(TcpServer, ReloadHookRunsAfterMapAndCaptionsWithoutTheLock) {
    bool sawMap = false;
    server.setReloadHook([&] {
        auto locked = server.lock();  // would deadlock if the hook ran under the lock
        sawMap =
            locked.registerMap().size() == 1 && locked.captions().text(DataItem::Area) == u"Площадь пика";
    });
    RegisterInfo e;
    e.address = 1;
    saveRegisterMap(profile, {e}, MapCaptions(strings));
    server.reloadConfiguration();
    EXPECT_TRUE(sawMap);
}

}  // namespace
}  // namespace tesmor
