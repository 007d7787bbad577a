// A few minutes of everything at once: a TCP and an RTU master polling and reconnecting, the
// device monitor over a changing device, an assay published from a real database every second,
// a rapid writer, map saves and server restarts. Every answer must carry whole values that were
// published at the time; requests go unanswered only across a restart or a reconnect; memory and
// descriptors stay flat; the final stop is prompt. Duration: TESMOR_SOAK_SECONDS (default 150).
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "LabDatabase.h"
#include "modbus/DeviceMonitor.h"
#include "modbus/Handles.h"
#include "modbus/ModbusTestSupport.h"
#include "platform/Text.h"
#include "publish/DocumentProcessing.h"
#include "results/DataBaseConnection.h"
#include "results/SyntheticChromatogram.h"
#include "results/TextFolding.h"
#include "support/MemoryProfile.h"
#include "support/TempDir.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

namespace tesmor {
namespace {

using namespace std::chrono;
using namespace std::chrono_literals;

constexpr std::int64_t kBaseDate = 1699999980;  // 2023-11-14 22:13:00 UTC, a whole minute
constexpr int kReadCount = 40;                  // registers 0-39 in one read

// Register layout. Assay n: 0-4 sample time kBaseDate + 60 n, 5 sample number crc16("soak-n"),
// 6 number in series n, 7-8 area n + 0.5 (big-endian), 9-10 concentration n / 4 (little-endian
// byte swap), 11 retention time n. Device poll k: 20 mode k, 21 last error k. Rapid write m:
// 30-39 five floats m.
RegisterMap soakMap() {
    RegisterMap map;
    auto add = [&](std::u16string source, std::u16string component, std::u16string device, int address,
                   std::u16string type, std::u16string order, std::u16string item) {
        map.push_back(
            test::entryOf({std::move(source), std::move(device), std::move(component), address,
                           u"Holding Registers (4x)", std::move(type), std::move(order), std::move(item)}));
    };
    add(u"Хроматограмма", u"", u"", 0, u"INT", u"", u"Время отбора пробы");
    add(u"Хроматограмма", u"", u"", 5, u"INT", u"", u"Номер пробы");
    add(u"Хроматограмма", u"", u"", 6, u"INT", u"", u"Номер в серии");
    add(u"Пик хроматограммы", u"метан", u"", 7, u"FLOAT", u"Big-endian", u"Площадь пика");
    add(u"Пик хроматограммы", u"МЕТАН", u"", 9, u"FLOAT", u"Little-endian byte swap", u"Концентрация пика");
    add(u"Пик хроматограммы", u"Метан", u"", 11, u"INT", u"", u"Время выхода пика");
    add(u"Устройство", u"", u"GC-1", 20, u"INT", u"", u"Режим устройства");
    add(u"Устройство", u"", u"GC-1", 21, u"INT", u"", u"Код последней ошибки");
    return map;
}

std::string uuidOf(int n) { return "soak-" + std::to_string(n); }

float floatBigEndian(const std::uint16_t* r) {
    const std::uint32_t bits = (std::uint32_t(r[0]) << 16) | r[1];
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}
float floatLittleEndianByteSwap(const std::uint16_t* r) {
    const std::uint32_t bits = (std::uint32_t(r[1]) << 16) | r[0];
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

// The assay number the registers 0-11 hold, or -1 when they do not all come from one assay.
int assayOf(const std::uint16_t* r) {
    if (std::all_of(r, r + 12, [](std::uint16_t v) { return v == 0; })) return 0;  // nothing yet
    std::tm t{};
    t.tm_mday = r[0];
    t.tm_mon = r[1] - 1;
    t.tm_year = r[2] - 1900;
    t.tm_hour = r[3];
    t.tm_min = r[4];
    const std::int64_t minutes = (static_cast<std::int64_t>(timegm(&t)) - kBaseDate) / 60;
    const int n = r[6];
    if (minutes != n || n <= 0) return -1;
    if (r[5] != crc16(uuidOf(n))) return -1;
    if (floatBigEndian(r + 7) != static_cast<float>(n) + 0.5f) return -1;
    if (floatLittleEndianByteSwap(r + 9) != static_cast<float>(n) / 4) return -1;
    if (r[11] != n) return -1;
    return n;
}

class CountingDevice : public DeviceSource {
public:
    int count() override {
        ++polls;
        return 1;
    }
    std::u16string name(int) override { return u"GC-1"; }
    std::int32_t lastError(int) override { return polls.load(); }
    std::int32_t mode(int) override { return polls.load(); }
    std::atomic<int> polls{0};
};

struct Counts {
    std::atomic<long> requests{0}, answers{0}, rtuAnswers{0}, droppedRestart{0}, droppedReconnect{0},
        reconnects{0};
    std::atomic<long> restarts{0}, updates{0}, fastWrites{0}, saves{0}, errors{0};
    std::mutex m;
    std::vector<std::string> firstErrors;
    void error(const std::string& what) {
        ++errors;
        std::lock_guard l(m);
        if (firstErrors.size() < 20) firstErrors.push_back(what);
    }
};

long residentKb() {
    long pages = 0, resident = 0;
    if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

int openDescriptors() {
    int n = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (::readdir(d)) ++n;
        ::closedir(d);
    }
    return n - 3;  // ".", ".." and the directory's own descriptor
}

int soakSeconds() {
    const char* s = std::getenv("TESMOR_SOAK_SECONDS");
    const int v = s ? std::atoi(s) : 0;
    return v > 0 ? v : 150;
}

TEST(Soak, EverythingAtOnce) {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    test::PtyPair pty;
    ASSERT_TRUE(pty.ready()) << "socat could not make a pty pair";
    // socat ends the pair when either side is closed by its last user; the transport and the
    // master close theirs on every restart and reconnect.
    const UniqueFd holdA(::open(pty.a().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    const UniqueFd holdB(::open(pty.b().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    ASSERT_TRUE(holdA && holdB);
    TempDir dir;
    const auto dbPath = dir.file("host.db").string();
    host::LabDatabase lab(dbPath);
    DataBaseConnection database;
    database.setConnectionUri(dir.file16("host.db").c_str());

    test::MemoryProfile profile;  // touched only by this thread
    test::CaptionStrings strings;
    const int port = test::freeTcpPort();
    profile.setInt(kSettingsSection, u"isTCP", 1);
    profile.setInt(kSettingsSection, u"localPort", port);
    profile.setInt(kSettingsSection, u"TCPId", 1);
    profile.setInt(kSettingsSection, u"isRTU", 1);
    profile.setString(kSettingsSection, u"portName", toUtf16(pty.a()));
    profile.setInt(kSettingsSection, u"RTUId", 1);
    saveRegisterMap(profile, soakMap(), MapCaptions(strings));

    ModbusServer server(profile, strings);
    CountingDevice device;
    DeviceMonitor monitor(server, device);
    FilterSettings filters;
    Counts counts;

    // Publication counters: "started" is raised before a publication begins, "done" after it ends.
    std::atomic<int> assayStarted{0}, assayDone{0};
    std::atomic<int> fastStarted{0}, fastDone{0};
    // Odd while a restart runs; raised again once both transports are ready.
    std::atomic<long> restartGeneration{0};

    auto publishAssay = [&](int n) {
        SyntheticOptions options;
        options.samples = 300;
        options.numinseria = toUtf16(std::to_string(n));
        const auto file = dir.file("a" + std::to_string(n % 4) + ".chr");
        ASSERT_EQ(makeSyntheticChromatogram(options).save(toUtf16(file.string())), 0);
        host::LabAssay row;
        row.date = kBaseDate + 60 * n;
        row.uuid = uuidOf(n);
        row.filename = file.string();
        row.method = "Природный газ";
        const auto id = lab.addAssay(row, {{"Метан", 1, static_cast<double>(n), n + 0.5, n / 4.0}});
        assayStarted = n;
        // What the DocumentUpdate handler does.
        server.reloadConfiguration();
        processDocument(database, server, static_cast<std::int32_t>(id), filters);
        assayDone = n;
        ++counts.updates;
    };
    auto restart = [&] {
        ++restartGeneration;
        server.restart();
        if (!test::waitFor([&] { return server.tcpListening() && server.rtuOpen(); }, 5s))
            counts.error("transports not ready 5 s after a restart");
        ++restartGeneration;
        ++counts.restarts;
    };

    restart();
    monitor.start();
    publishAssay(1);

    std::atomic<bool> done{false};
    // One read of registers 0-39 checked against what was published around it.
    auto checkRead = [&](const std::uint16_t* r, int assayBefore, int fastBefore, const char* who) {
        const int n = assayOf(r);
        const int nAfter = assayStarted.load();
        if (n < 0 || n < assayBefore || n > nAfter) {
            std::string regs;
            for (int i = 0; i < 12; ++i) regs += " " + std::to_string(r[i]);
            counts.error(std::string(who) + ": assay registers" + regs + " hold " + std::to_string(n) +
                         ", published " + std::to_string(assayBefore) + ".." + std::to_string(nAfter));
        }
        if (r[20] != r[21]) counts.error(std::string(who) + ": device mode and error from different polls");
        const float m = floatBigEndian(r + 30);
        for (int i = 32; i < 40; i += 2)
            if (floatBigEndian(r + i) != m) counts.error(std::string(who) + ": rapid floats torn");
        const int mAfter = fastStarted.load();
        if (m != std::floor(m) || m < static_cast<float>(fastBefore) || m > static_cast<float>(mAfter))
            counts.error(std::string(who) + ": rapid value " + std::to_string(m) + " outside " +
                         std::to_string(fastBefore) + ".." + std::to_string(mAfter));
    };

    // A master's loop: connect, poll a while, leave, again. A failed request is excused when a
    // restart overlapped it or the connection predates one, or when it is the first request of a
    // connection (the server reopens its listener after a master leaves; one that connects in
    // that moment is dropped by design).
    auto masterLoop = [&](bool tcp, unsigned seed) {
        std::mt19937 random(seed);
        const char* who = tcp ? "TCP master" : "RTU master";
        while (!done) {
            const long connGeneration = restartGeneration.load();
            test::Master master =
                tcp ? test::tcpMaster(port, 1, 1000ms) : test::rtuMaster(pty.b(), 1, 1000ms);
            if (!master) {
                std::this_thread::sleep_for(20ms);
                continue;
            }
            ++counts.reconnects;
            const int reads = std::uniform_int_distribution<int>(5, 200)(random);
            for (int i = 0; i < reads && !done; ++i) {
                const long generation = restartGeneration.load();
                const int assayBefore = assayDone.load(), fastBefore = fastDone.load();
                std::uint16_t r[kReadCount];
                ++counts.requests;
                const int rc = modbus_read_registers(master.get(), 0, kReadCount, r);
                const int error = errno;
                if (rc == kReadCount) {
                    ++counts.answers;
                    if (!tcp) ++counts.rtuAnswers;
                    checkRead(r, assayBefore, fastBefore, who);
                    continue;
                }
                const long now = restartGeneration.load();
                if (done) break;  // the final stop may come first
                if (generation % 2 == 1 || now != generation || connGeneration != generation) {
                    ++counts.droppedRestart;
                } else if (tcp && i == 0 && (error == ECONNRESET || error == EPIPE)) {
                    ++counts.droppedReconnect;
                } else {
                    counts.error(std::string(who) + ": request " + std::to_string(i) +
                                 " of a connection unanswered: " + modbus_strerror(error));
                }
                break;  // reconnect
            }
        }
    };

    std::thread tcpMaster(masterLoop, true, 1u);
    std::thread rtuMaster(masterLoop, false, 2u);
    std::thread fastWriter([&] {
        RegisterInfo e;
        e.table = Table::HoldingRegisters;
        e.dataType = DataType::Float;
        e.byteOrder = ByteOrder::BigEndian;
        e.dataItem = DataItem::Area;
        for (int m = 1; !done; ++m) {
            fastStarted = m;
            {
                auto locked = server.lock();
                e.values.area = static_cast<float>(m);
                for (int a = 30; a < 40; a += 2) {
                    e.address = a;
                    locked.writeRegister(e);
                }
            }
            fastDone = m;
            ++counts.fastWrites;
            std::this_thread::sleep_for(5ms);
        }
    });

    const int seconds = soakSeconds();
    const auto start = steady_clock::now();
    const auto warmUp = start + seconds * 1s / 4;
    long rssWarm = 0, rssEnd = 0;
    int fdsWarm = 0, fdsEnd = 0;
    int n = 1;
    for (int tick = 1; steady_clock::now() - start < seconds * 1s; ++tick) {
        std::this_thread::sleep_until(start + tick * 1s);
        publishAssay(++n);
        if (tick % 3 == 0) {
            server.saveRegisterMap();
            ++counts.saves;
        }
        if (tick % 5 == 0) restart();
        if (rssWarm == 0 && steady_clock::now() >= warmUp) {
            rssWarm = residentKb();
            fdsWarm = openDescriptors();
        }
    }
    rssEnd = residentKb();
    fdsEnd = openDescriptors();

    // What Unload does, with both masters still polling.
    done = true;
    const auto t0 = steady_clock::now();
    server.stop();
    monitor.stop();
    const double stopMs = duration_cast<microseconds>(steady_clock::now() - t0).count() / 1000.0;
    tcpMaster.join();
    rtuMaster.join();
    fastWriter.join();

    std::printf(
        "soak: %d s, requests %ld, answers %ld (RTU %ld), dropped across restarts %ld, dropped on reconnect "
        "%ld, "
        "connections %ld, restarts %ld, updates %ld, map saves %ld, rapid writes %ld, device polls %d, "
        "errors %ld\n",
        seconds, counts.requests.load(), counts.answers.load(), counts.rtuAnswers.load(),
        counts.droppedRestart.load(), counts.droppedReconnect.load(), counts.reconnects.load(),
        counts.restarts.load(), counts.updates.load(), counts.saves.load(), counts.fastWrites.load(),
        device.polls.load(), counts.errors.load());
    std::printf("soak: resident %ld kB after warm-up, %ld kB at the end; descriptors %d, %d; stop %.1f ms\n",
                rssWarm, rssEnd, fdsWarm, fdsEnd, stopMs);
    for (const auto& e : counts.firstErrors) std::printf("soak error: %s\n", e.c_str());

    EXPECT_EQ(counts.errors.load(), 0);
    EXPECT_GT(counts.answers.load() - counts.rtuAnswers.load(), 0) << "the TCP master got no answer";
    EXPECT_GT(counts.rtuAnswers.load(), 0) << "the RTU master got no answer";
    EXPECT_GE(counts.updates.load(), seconds / 2);
    EXPECT_LE(fdsEnd, fdsWarm + 6) << "descriptors grow";
    if (!kSanitized) {  // sanitizers keep freed memory
        EXPECT_LE(rssEnd, rssWarm + 16 * 1024) << "memory grows";
    }
    EXPECT_LT(stopMs, 2000.0) << "the final stop takes too long";
}

}  // namespace
}  // namespace tesmor
