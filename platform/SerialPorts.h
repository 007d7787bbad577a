#pragma once
// The serial ports of the computer as the connection settings list them: the device nodes of
// serial lines that are present, and whether one is free for exclusive use right now.
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace tesmor {

enum class SerialPortState : std::uint8_t {
    Free,
    // Another program holds it: the open fails with EBUSY, its flock or its UUCP lock file
    // ("LCK..ttyS0" naming a live process) is taken, or a process has it open where /proc shows
    // it. Any other failure to open (the device gone, an I/O error) counts here too: the port
    // cannot be had now.
    Busy,
    // This user may not open it (EACCES, EPERM): on Debian, a user outside the group dialout.
    NoAccess,
};

struct SerialPort {
    std::string path;
    SerialPortState state = SerialPortState::Free;
};

class SerialPortCatalog {
public:
    // deviceDir holds the device nodes; ttyClassDir is the kernel's tty class folder, whose
    // "type" attribute 0 marks an 8250 line without a UART (listed by the kernel, not present).
    // A missing class folder hides nothing, so tests can point deviceDir at a folder of files.
    // lockDir holds the UUCP lock files of serial programs such as minicom.
    explicit SerialPortCatalog(std::filesystem::path deviceDir = "/dev",
                               std::filesystem::path ttyClassDir = "/sys/class/tty",
                               std::filesystem::path lockDir = "/run/lock");
    // A fixed list whose states are taken as given, for tests and tools that name their ports.
    static SerialPortCatalog fixed(std::vector<SerialPort> ports);

    // Full paths of the serial devices (ttyS, ttyUSB, ttyACM, ttyAMA, rfcomm and the like,
    // each followed by a number), in natural order: ttyS2 before ttyS10. An unreadable folder
    // gives an empty list. Any thread; never throws for file-system errors.
    std::vector<std::string> ports() const;
    // The ports with their state right now (serialPortStates).
    std::vector<SerialPort> probe() const;

    const std::filesystem::path& deviceDir() const noexcept { return deviceDir_; }

private:
    bool present(const std::string& name) const;

    std::filesystem::path deviceDir_;
    std::filesystem::path ttyClassDir_;
    std::filesystem::path lockDir_;
    bool fixed_ = false;
    std::vector<SerialPort> fixedPorts_;
};

// Whether each device can be had exclusively right now (the plug-in's own RTU slave holds its
// port's flock, so its port is busy). Opens without blocking and without becoming the
// controlling terminal, and closes at once; reads /proc once for all of them.
std::vector<SerialPortState> serialPortStates(const std::vector<std::string>& paths,
                                              const std::filesystem::path& lockDir = "/run/lock") noexcept;

// Orders texts with runs of digits compared by their value: <0, 0 or >0.
int naturalCompare(std::string_view a, std::string_view b) noexcept;

}  // namespace tesmor
