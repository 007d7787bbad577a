#pragma once
// The serial ports of the computer as the connection settings list them: the device nodes of
// serial lines that are present, and whether one is free for exclusive use right now.
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace tesmor {

class SerialPortCatalog {
public:
    // deviceDir holds the device nodes; ttyClassDir is the kernel's tty class folder, whose
    // "type" attribute 0 marks an 8250 line without a UART (listed by the kernel, not present).
    // A missing class folder hides nothing, so tests can point deviceDir at a folder of files.
    explicit SerialPortCatalog(std::filesystem::path deviceDir = "/dev",
                               std::filesystem::path ttyClassDir = "/sys/class/tty");

    // Full paths of the serial devices (ttyS, ttyUSB, ttyACM, ttyAMA, rfcomm and the like,
    // each followed by a number), in natural order: ttyS2 before ttyS10. An unreadable folder
    // gives an empty list. Any thread; never throws for file-system errors.
    std::vector<std::string> ports() const;

    const std::filesystem::path& deviceDir() const noexcept { return deviceDir_; }

private:
    bool present(const std::string& name) const;

    std::filesystem::path deviceDir_;
    std::filesystem::path ttyClassDir_;
};

// True when the device cannot be had exclusively right now: it does not open for reading and
// writing, or another open file holds its flock (the plug-in's own RTU slave takes one). Opens
// without blocking and without becoming the controlling terminal, and closes at once.
bool serialPortBusy(const std::string& path) noexcept;

// Orders texts with runs of digits compared by their value: <0, 0 or >0.
int naturalCompare(std::string_view a, std::string_view b) noexcept;

}  // namespace tesmor
