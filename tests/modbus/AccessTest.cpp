// The access locks: the allow-list of masters, the bind address and write access, on the rules
// themselves and with real libmodbus masters over loopback TCP and a socat pty pair.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "ModbusTestSupport.h"
#include "modbus/AccessRules.h"
#include "modbus/Handles.h"
#include "modbus/ModbusServer.h"
#include "support/MemoryProfile.h"

namespace tesmor {
namespace {

using namespace std::chrono_literals;

constexpr Ipv4 ip(int a, int b, int c, int d) {
    return static_cast<Ipv4>(a) << 24 | static_cast<Ipv4>(b) << 16 | static_cast<Ipv4>(c) << 8 |
           static_cast<Ipv4>(d);
}

// ---- the allow-list text ----

struct ListCase {
    const char* name;
    std::u16string text;
    std::u16string badItem;  // empty with `valid`
    bool valid;
    std::vector<Ipv4> allowed;
    std::vector<Ipv4> refused;
};
void PrintTo(const ListCase& c, std::ostream* os) { *os << c.name; }

class AllowedMasters : public ::testing::TestWithParam<ListCase> {};

TEST_P(AllowedMasters, ParsesAndMatches) {
    const ListCase& c = GetParam();
    const auto parsed = MasterList::parse(c.text);
    ASSERT_EQ(parsed.list.has_value(), c.valid);
    if (!c.valid) {
        EXPECT_EQ(parsed.badItem, c.badItem);
        return;
    }
    for (Ipv4 a : c.allowed) EXPECT_TRUE(parsed.list->allows(a)) << formatIpv4(a);
    for (Ipv4 a : c.refused) EXPECT_FALSE(parsed.list->allows(a)) << formatIpv4(a);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, AllowedMasters,
    ::testing::Values(
        ListCase{"EmptyAllowsEveryone", u"", u"", true, {ip(0, 0, 0, 0), ip(255, 255, 255, 255)}, {}},
        ListCase{"BlanksAllowEveryone", u"  \t ", u"", true, {ip(10, 1, 2, 3)}, {}},
        ListCase{
            "OneAddress", u"127.0.0.1", u"", true, {ip(127, 0, 0, 1)}, {ip(127, 0, 0, 2), ip(127, 0, 0, 0)}},
        ListCase{"AddressAndBlockWithBlanks",
                 u"10.1.2.3, 192.168.10.0/24",
                 u"",
                 true,
                 {ip(10, 1, 2, 3), ip(192, 168, 10, 0), ip(192, 168, 10, 255)},
                 {ip(10, 1, 2, 4), ip(192, 168, 11, 0), ip(192, 168, 9, 255)}},
        ListCase{"BlockWithHostBitsSetCoversItsNetwork",
                 u"127.0.0.9/8",
                 u"",
                 true,
                 {ip(127, 0, 0, 2)},
                 {ip(128, 0, 0, 1)}},
        ListCase{
            "SlashZeroIsEveryAddress", u"0.0.0.0/0", u"", true, {ip(1, 2, 3, 4), ip(255, 255, 255, 255)}, {}},
        ListCase{"Slash32IsOneAddress", u"10.0.0.1/32", u"", true, {ip(10, 0, 0, 1)}, {ip(10, 0, 0, 0)}},
        ListCase{"Slash31", u"10.0.0.2/31", u"", true, {ip(10, 0, 0, 2), ip(10, 0, 0, 3)}, {ip(10, 0, 0, 4)}},
        ListCase{"OctetAbove255", u"10.0.0.1, 10.0.0.256", u"10.0.0.256", false, {}, {}},
        ListCase{"ThreeParts", u"10.0.1", u"10.0.1", false, {}, {}},
        ListCase{"FiveParts", u"1.2.3.4.5", u"1.2.3.4.5", false, {}, {}},
        ListCase{"PrefixAbove32", u"10.0.0.0/33", u"10.0.0.0/33", false, {}, {}},
        ListCase{"EmptyPrefix", u"10.0.0.0/", u"10.0.0.0/", false, {}, {}},
        ListCase{"HostName", u"plc.local", u"plc.local", false, {}, {}},
        ListCase{"SignedOctet", u"+1.2.3.4", u"+1.2.3.4", false, {}, {}},
        ListCase{"LongOctet", u"0001.2.3.4", u"0001.2.3.4", false, {}, {}},
        ListCase{"InnerBlank", u"10.0. 0.1", u"10.0. 0.1", false, {}, {}},
        ListCase{"SemicolonSeparator", u"10.0.0.1; 10.0.0.2", u"10.0.0.1; 10.0.0.2", false, {}, {}},
        ListCase{"EmptyItemBetweenCommas", u"10.0.0.1,,10.0.0.2", u"", false, {}, {}},
        ListCase{"TrailingComma", u"10.0.0.1,", u"", false, {}, {}},
        ListCase{"Ipv6", u"::1", u"::1", false, {}, {}},
        ListCase{"FullWidthDigits", u"１.2.3.4", u"１.2.3.4", false, {}, {}}),
    [](const auto& i) { return std::string(i.param.name); });

TEST(BindAddress, EmptyIsEveryInterfaceAndOnlyDottedAddressesAreTaken) {
    EXPECT_EQ(bindAddressOf(u""), INADDR_ANY);
    EXPECT_EQ(bindAddressOf(u"  "), INADDR_ANY);
    EXPECT_EQ(bindAddressOf(u"127.0.0.1"), ip(127, 0, 0, 1));
    EXPECT_EQ(bindAddressOf(u" 10.0.0.5 "), ip(10, 0, 0, 5));
    EXPECT_FALSE(bindAddressOf(u"localhost"));
    EXPECT_FALSE(bindAddressOf(u"10.0.0.0/8"));
    EXPECT_FALSE(bindAddressOf(u"10.0.0.300"));
}

TEST(WriteAccessSetting, ValuesOutsideTheThreeChoicesWriteNothing) {
    EXPECT_EQ(writeAccessOf(0), WriteAccess::Any);
    EXPECT_EQ(writeAccessOf(1), WriteAccess::Unpublished);
    EXPECT_EQ(writeAccessOf(2), WriteAccess::None);
    EXPECT_EQ(writeAccessOf(3), WriteAccess::None);
    EXPECT_EQ(writeAccessOf(-1), WriteAccess::None);
}

// ---- which registers are published ----

RegisterInfo entry(std::u16string type, int address, std::u16string dataType, std::u16string item,
                   std::u16string order = u"") {
    return test::entryOf(
        {{}, {}, {}, address, std::move(type), std::move(dataType), std::move(order), std::move(item)});
}

// Holding 10 (one INT), 20-21 (a FLOAT), 30-34 (a sample time); coil 7; input registers 40-41
// (not writable by a master, so never protected).
RegisterMap testMap() {
    return {entry(u"Holding Registers (4x)", 10, u"INT", u"Режим устройства"),
            entry(u"Holding Registers (4x)", 20, u"FLOAT", u"Площадь пика", u"Big-endian"),
            entry(u"Holding Registers (4x)", 30, u"INT", u"Время отбора пробы"),
            entry(u"Coil Status (0x)", 7, u"BOOL", u"Концентрация пика"),
            entry(u"Input Registers (3x)", 40, u"FLOAT", u"Площадь пика", u"Big-endian")};
}

TEST(PublishedRegisters, EveryRegisterOfAnEntryCountsAndOnlyInItsTable) {
    RegisterMap map = testMap();
    // An entry whose texts match no case still holds the register at its address.
    map.push_back(entry(u"Holding Registers (4x)", 60, u"INT", u"no such item"));
    // One beyond the table is never written but is still the map's.
    map.push_back(entry(u"Holding Registers (4x)", 499, u"FLOAT", u"Площадь пика", u"Big-endian"));
    struct Probe {
        bool coils;
        int address, count;
        bool touched;
    };
    const Probe probes[] = {
        {false, 10, 1, true},  {false, 9, 1, false},  {false, 11, 1, false}, {false, 21, 1, true},
        {false, 22, 1, false}, {false, 34, 1, true},  {false, 35, 1, false}, {false, 15, 5, false},
        {false, 15, 6, true},  {false, 0, 123, true}, {true, 7, 1, true},    {true, 10, 1, false},
        {true, 0, 7, false},   {false, 40, 2, false}, {false, 7, 1, false},  {false, 60, 1, true},
        {false, 61, 1, false}, {false, 499, 1, true}, {true, 6, 2, true},
    };
    for (const Probe& p : probes)
        EXPECT_EQ(touchesPublished(map, p.coils, p.address, p.count), p.touched)
            << (p.coils ? "coils " : "holding ") << p.address << " x" << p.count;
}

// ---- write access with real masters ----

struct WriteCase {
    const char* name;
    Transport transport;
    int access;
};
void PrintTo(const WriteCase& c, std::ostream* os) { *os << c.name; }

struct WriteFunction {
    const char* name;
    bool coils;
    // Writes at [target - 2, target] (single writes at target only); returns libmodbus's result.
    std::function<int(modbus_t*, int target)> write;
    std::uint16_t written;  // the value the target has after a carried-out write
};

const std::vector<WriteFunction>& writeFunctions() {
    static const std::uint16_t values[3] = {0x1111, 0x2222, 0x1234};
    static const std::uint8_t bits[3] = {1, 1, 1};
    static const std::vector<WriteFunction> f{
        {"05 write single coil", true, [](modbus_t* m, int a) { return modbus_write_bit(m, a, 1); }, 1},
        {"06 write single register", false,
         [](modbus_t* m, int a) { return modbus_write_register(m, a, 0x1234); }, 0x1234},
        {"15 write multiple coils", true,
         [](modbus_t* m, int a) { return modbus_write_bits(m, a - 2, 3, bits); }, 1},
        {"16 write multiple registers", false,
         [](modbus_t* m, int a) { return modbus_write_registers(m, a - 2, 3, values); }, 0x1234},
        {"22 mask write register", false,
         [](modbus_t* m, int a) { return modbus_mask_write_register(m, a, 0x0000, 0x1234); }, 0x1234},
        {"23 write and read registers", false,
         [](modbus_t* m, int a) {
             std::uint16_t read[2];
             return modbus_write_and_read_registers(m, a - 2, 3, values, 0, 2, read);
         },
         0x1234},
    };
    return f;
}

class WriteAccessRule : public ::testing::TestWithParam<WriteCase> {
protected:
    void SetUp() override {
        const WriteCase& c = GetParam();
        profile.setInt(kSettingsSection, u"writeAccess", c.access);
        if (c.transport == Transport::Tcp) {
            port = test::freeTcpPort();
            profile.setInt(kSettingsSection, u"isTCP", 1);
            profile.setInt(kSettingsSection, u"localPort", port);
            server.restart();
            ASSERT_TRUE(test::waitFor([&] { return server.tcpListening(); }));
            master = test::tcpMaster(port);
        } else {
            pty = std::make_unique<test::PtyPair>();
            if (!pty->ready()) GTEST_SKIP() << "socat could not make a pty pair";
            profile.setInt(kSettingsSection, u"isRTU", 1);
            const std::string device = pty->a();
            profile.setString(kSettingsSection, u"portName", std::u16string(device.begin(), device.end()));
            profile.setInt(kSettingsSection, u"RTUId", 3);
            server.restart();
            ASSERT_TRUE(test::waitFor([&] { return server.rtuOpen(); }));
            master = test::rtuMaster(pty->b(), 3);
        }
        ASSERT_TRUE(master);
        // Set after the restart, as the map dialog edits the map in place: the rule sees it.
        server.lock().registerMap() = testMap();
    }

    void fill() {
        auto locked = server.lock();
        for (int i = 0; i < 100; ++i) {
            locked.registers().tab_registers[i] = 0xAAAA;
            locked.registers().tab_bits[i] = 0;
        }
    }

    test::MemoryProfile profile;
    test::CaptionStrings strings;
    ModbusServer server{profile, strings};
    std::unique_ptr<test::PtyPair> pty;
    int port = 0;
    test::Master master;
};

TEST_P(WriteAccessRule, EachWriteFunctionGetsItsAnswerAndReadsAreAlwaysAnswered) {
    const int stored = GetParam().access;
    const int access = stored >= 0 && stored <= 2 ? stored : 2;
    for (const WriteFunction& f : writeFunctions()) {
        // Published: coil 7; holding 21, the second register of a FLOAT entry at 20. Unpublished:
        // coil 12, holding 42 (their neighbours below are free too).
        for (const bool published : {true, false}) {
            const int target = f.coils ? (published ? 7 : 12) : (published ? 21 : 42);
            SCOPED_TRACE(std::string(f.name) + (published ? " on a published target" : " on a free target"));
            fill();
            errno = 0;
            const int rc = f.write(master.get(), target);
            const int err = errno;
            const bool allowed = access == 0 || (access == 1 && !published);
            if (allowed) {
                EXPECT_GT(rc, 0) << modbus_strerror(err);
            } else {
                EXPECT_EQ(rc, -1);
                EXPECT_EQ(err, MODBUS_ENOBASE + (access == 2 ? MODBUS_EXCEPTION_ILLEGAL_FUNCTION
                                                             : MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS))
                    << modbus_strerror(err);
            }
            {
                auto locked = server.lock();
                auto& m = locked.registers();
                const int value = f.coils ? m.tab_bits[target] : m.tab_registers[target];
                EXPECT_EQ(value, allowed ? f.written : (f.coils ? 0 : 0xAAAA));
                // A refused write is refused whole: its free registers stay too.
                if (!allowed) {
                    EXPECT_EQ(f.coils ? m.tab_bits[target - 2] : m.tab_registers[target - 2],
                              f.coils ? 0 : 0xAAAA);
                }
            }
            std::uint16_t regs[50];
            std::uint8_t coils[20];
            EXPECT_EQ(modbus_read_registers(master.get(), 0, 50, regs), 50) << modbus_strerror(errno);
            EXPECT_EQ(modbus_read_bits(master.get(), 0, 20, coils), 20) << modbus_strerror(errno);
            std::uint16_t input[2];
            EXPECT_EQ(modbus_read_input_registers(master.get(), 40, 2, input), 2) << modbus_strerror(errno);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, WriteAccessRule,
                         ::testing::Values(WriteCase{"TcpAnyWrite", Transport::Tcp, 0},
                                           WriteCase{"TcpUnpublishedOnly", Transport::Tcp, 1},
                                           WriteCase{"TcpNoWrites", Transport::Tcp, 2},
                                           WriteCase{"TcpUnknownValueWritesNothing", Transport::Tcp, 9},
                                           WriteCase{"RtuAnyWrite", Transport::Rtu, 0},
                                           WriteCase{"RtuUnpublishedOnly", Transport::Rtu, 1},
                                           WriteCase{"RtuNoWrites", Transport::Rtu, 2}),
                         [](const auto& i) { return std::string(i.param.name); });

// ---- allow-list at accept, bind address at listen ----

// What a master connecting from `source` to `destination` meets.
enum class Met { Refused, ClosedUnanswered, Served, Silence };

std::string name(Met m) {
    switch (m) {
        case Met::Refused:
            return "connection refused";
        case Met::ClosedUnanswered:
            return "closed without an answer";
        case Met::Served:
            return "served";
        default:
            return "silence";
    }
}

Met connectAndRead(Ipv4 source, Ipv4 destination, int port) {
    UniqueFd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(source);
    if (!s || ::bind(s.get(), reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) return Met::Refused;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(destination);
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::connect(s.get(), reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) return Met::Refused;
    const std::uint8_t read[] = {0, 1, 0, 0, 0, 6, 1, 0x03, 0, 0, 0, 1};
    ::send(s.get(), read, sizeof read, MSG_NOSIGNAL);
    pollfd p{s.get(), POLLIN, 0};
    if (::poll(&p, 1, 1000) != 1) return Met::Silence;
    std::uint8_t reply[64];
    const auto n = ::recv(s.get(), reply, sizeof reply, 0);
    return n > 0 ? Met::Served : Met::ClosedUnanswered;
}

// Retries while the listener is being reopened after the previous master (one master at a time:
// a connection queued on the old listener is dropped with it), until `wanted` or 2 s.
Met meets(Ipv4 source, Ipv4 destination, int port, Met wanted) {
    Met m = Met::Refused;
    for (int i = 0; i < 40; ++i) {
        m = connectAndRead(source, destination, port);
        if (m == wanted) return m;
        std::this_thread::sleep_for(50ms);
    }
    return m;
}

class AccessServer : public ::testing::Test {
protected:
    void start(std::u16string bindAddress, std::u16string allowedMasters, bool listens = true) {
        port = test::freeTcpPort();
        profile.setInt(kSettingsSection, u"isTCP", 1);
        profile.setInt(kSettingsSection, u"localPort", port);
        profile.setString(kSettingsSection, u"bindAddress", bindAddress);
        profile.setString(kSettingsSection, u"allowedMasters", allowedMasters);
        server.restart();
        if (listens) {
            ASSERT_TRUE(test::waitFor([&] { return server.tcpListening(); }));
        }
    }

    test::LogCapture log;
    test::MemoryProfile profile;
    test::CaptionStrings strings;
    ModbusServer server{profile, strings};
    int port = 0;
};

constexpr Ipv4 kLoopback1 = ip(127, 0, 0, 1);
constexpr Ipv4 kLoopback2 = ip(127, 0, 0, 2);

TEST_F(AccessServer, MasterNotInTheListIsClosedUnansweredAndLoggedOncePerMinute) {
    start(u"", u"127.0.0.1");
    EXPECT_EQ(name(meets(kLoopback2, kLoopback1, port, Met::ClosedUnanswered)), name(Met::ClosedUnanswered));
    EXPECT_EQ(name(meets(kLoopback2, kLoopback1, port, Met::ClosedUnanswered)), name(Met::ClosedUnanswered));
    EXPECT_EQ(name(meets(kLoopback1, kLoopback1, port, Met::Served)), name(Met::Served));
    EXPECT_EQ(name(meets(kLoopback2, kLoopback1, port, Met::ClosedUnanswered)), name(Met::ClosedUnanswered));
    EXPECT_EQ(log.count("master 127.0.0.2 is not in \"allowedMasters\""), 1u);
    EXPECT_EQ(log.count("127.0.0.1 is not in"), 0u);
    EXPECT_TRUE(server.peerAddress() == u"127.0.0.1") << "a refused master is never recorded";
}

TEST_F(AccessServer, BlockServesEveryAddressInIt) {
    start(u"", u"10.0.0.1, 127.0.0.0/8");
    EXPECT_EQ(name(meets(kLoopback2, kLoopback1, port, Met::Served)), name(Met::Served));
    EXPECT_EQ(server.peerAddress(), u"127.0.0.2");
    EXPECT_EQ(name(meets(kLoopback1, kLoopback1, port, Met::Served)), name(Met::Served));
}

TEST_F(AccessServer, MalformedStoredListAdmitsNobodyAndIsLogged) {
    start(u"", u"127.0.0.0/8, 127.0.0.x");
    EXPECT_EQ(name(meets(kLoopback1, kLoopback1, port, Met::ClosedUnanswered)), name(Met::ClosedUnanswered));
    EXPECT_EQ(log.count("\"allowedMasters\" holds \"127.0.0.x\""), 1u);
}

TEST_F(AccessServer, StoredListAsLongAsTheProfileKeepsCountsAsCutAndAdmitsNobody) {
    std::u16string list = u"127.0.0.0/8";
    while (list.size() < 127) list += u", 10.0.0.1";
    start(u"", list.substr(0, 127));
    EXPECT_EQ(name(meets(kLoopback1, kLoopback1, port, Met::ClosedUnanswered)), name(Met::ClosedUnanswered));
    EXPECT_EQ(log.count("may have been cut"), 1u);
}

TEST_F(AccessServer, BoundToOneAddressIsReachedOnlyThere) {
    start(u"127.0.0.1", u"");
    EXPECT_EQ(name(meets(kLoopback1, kLoopback1, port, Met::Served)), name(Met::Served));
    EXPECT_EQ(name(connectAndRead(kLoopback1, kLoopback2, port)), name(Met::Refused));
}

TEST_F(AccessServer, UnboundIsReachedOnEveryInterface) {
    start(u"", u"");
    EXPECT_EQ(name(meets(kLoopback1, kLoopback1, port, Met::Served)), name(Met::Served));
    EXPECT_EQ(name(meets(kLoopback1, kLoopback2, port, Met::Served)), name(Met::Served));
}

TEST_F(AccessServer, AddressNotOnTheMachineIsLoggedOnceAndRetriedUntilStopped) {
    // 192.0.2.0/24 is reserved for documentation and on no interface.
    start(u"192.0.2.7", u"", false);
    std::this_thread::sleep_for(1200ms);  // two retries at least
    EXPECT_FALSE(server.tcpListening());
    EXPECT_EQ(log.count("cannot listen on 192.0.2.7 port"), 1u);
    const auto t0 = std::chrono::steady_clock::now();
    server.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
}

TEST_F(AccessServer, BindAddressThatIsNoAddressListensNowhere) {
    start(u"all", u"", false);
    EXPECT_TRUE(
        test::waitFor([&] { return log.count("\"bindAddress\" \"all\" is not an IPv4 address") == 1; }));
    EXPECT_FALSE(server.tcpListening());
    EXPECT_EQ(name(connectAndRead(kLoopback1, kLoopback1, port)), name(Met::Refused));
}

}  // namespace
}  // namespace tesmor
