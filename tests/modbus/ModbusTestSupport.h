#pragma once
// Helpers of the modbus tests: captions, child processes, socat pty pairs and libmodbus masters
// (free loopback ports and waiting come from support/Loopback.h).
#include <modbus/modbus.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "modbus/RegisterMap.h"
#include "platform/Log.h"
#include "platform/ResourceIds.h"
#include "platform/Resources.h"
#include "support/Loopback.h"

namespace tesmor::test {

// The Russian built-in captions of the sources and data items.
class CaptionStrings : public StringSource {
public:
    std::u16string loadString(unsigned id) const override {
        auto it = texts.find(id);
        return it == texts.end() ? std::u16string() : it->second;
    }
    std::map<unsigned, std::u16string> texts{
        {res::kSourceDevice, u"Устройство"},
        {res::kSourceChromatogram, u"Хроматограмма"},
        {res::kSourcePeak, u"Пик хроматограммы"},
        {res::kItemMode, u"Режим устройства"},
        {res::kItemLastError, u"Код последней ошибки"},
        {res::kItemSampleTime, u"Время отбора пробы"},
        {res::kItemSampleNumber, u"Номер пробы"},
        {res::kItemSeriesNumber, u"Номер в серии"},
        {res::kItemConcentration, u"Концентрация пика"},
        {res::kItemArea, u"Площадь пика"},
        {res::kItemRetentionTime, u"Время выхода пика"},
    };
};

// The same captions as the English resources have them.
inline CaptionStrings englishCaptionStrings() {
    CaptionStrings english;
    english.texts = {
        {res::kSourceDevice, u"Device"},
        {res::kSourceChromatogram, u"Chromatogram"},
        {res::kSourcePeak, u"Chromatogram peak"},
        {res::kItemMode, u"Device mode"},
        {res::kItemLastError, u"Last error code"},
        {res::kItemSampleTime, u"Sampling time"},
        {res::kItemSampleNumber, u"Sample number"},
        {res::kItemSeriesNumber, u"Number in series"},
        {res::kItemConcentration, u"Peak concentration"},
        {res::kItemArea, u"Peak area"},
        {res::kItemRetentionTime, u"Peak retention time"},
    };
    return english;
}

// An entry written as the texts a profile holds, read with the Russian captions.
inline RegisterInfo entryOf(const EntryTexts& texts) { return MapCaptions(CaptionStrings()).parse(texts); }

// Collects log lines while alive.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    std::vector<std::string> lines() const;
    std::size_t count(std::string_view containing) const;

private:
    struct State;
    std::shared_ptr<State> state_;
    LogSink previous_;
};

// A child process, stopped by its id (SIGTERM, then SIGKILL) when destroyed.
class ChildProcess {
public:
    // Starts argv[0] from PATH. Standard output and error go to a pipe read by output().
    explicit ChildProcess(std::vector<std::string> argv, bool pipeStdin = false);
    ~ChildProcess();
    pid_t pid() const { return pid_; }
    bool started() const { return pid_ > 0; }
    // Reads standard output until a line containing `text` arrives or `limit` passes.
    bool waitForLine(std::string_view text, std::chrono::milliseconds limit);
    // Waits for the exit and returns the exit code (-1 on a signal or time-out) and the output.
    int wait(std::chrono::milliseconds limit);
    const std::string& output() const { return output_; }
    void closeStdin();
    void terminate();

private:
    void readAvailable(int timeoutMs);
    pid_t pid_ = -1;
    int out_ = -1;
    int in_ = -1;
    std::string output_;
    int status_ = -1;
    bool reaped_ = false;
};

// Two linked pseudo-terminals made by socat in a temporary folder.
class PtyPair {
public:
    PtyPair();
    ~PtyPair();
    bool ready() const { return ready_; }
    std::string a() const { return (dir_ / "A").string(); }
    std::string b() const { return (dir_ / "B").string(); }
    // Ends socat, so both devices and their links go, as an unplugged adapter does.
    void vanish();
    // Makes a new pair under the same two names; true when both are there.
    bool reappear();

private:
    bool start();
    std::filesystem::path dir_;
    std::unique_ptr<ChildProcess> socat_;
    bool ready_ = false;
};

struct MasterFree {
    void operator()(modbus_t* c) const noexcept {
        modbus_close(c);
        modbus_free(c);
    }
};
using Master = std::unique_ptr<modbus_t, MasterFree>;

// A connected libmodbus TCP master with a short response time-out; null when it cannot connect.
Master tcpMaster(int port, int unitId = 1,
                 std::chrono::milliseconds timeout = std::chrono::milliseconds(300));
// The same from a local source address (127.0.0.2: another master of the same machine).
Master tcpMasterFrom(const char* source, int port, int unitId = 1,
                     std::chrono::milliseconds timeout = std::chrono::milliseconds(300));
// Connects and reads `count` holding registers from `address`, retrying until `limit` passes
// (a master reconnecting after a disconnect may meet the listener while it is reopened).
std::optional<std::vector<std::uint16_t>> readHoldingEventually(
    int port, int address, int count, std::chrono::milliseconds limit = std::chrono::seconds(3));
// An RTU master on `device`, slave `unitId`, at exactly `baud` (also a rate libmodbus has no
// constant for).
Master rtuMaster(const std::string& device, int unitId,
                 std::chrono::milliseconds timeout = std::chrono::milliseconds(300), int baud = 9600);

}  // namespace tesmor::test
