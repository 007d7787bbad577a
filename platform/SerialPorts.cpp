#include "SerialPorts.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <system_error>

#include "UniqueFd.h"

namespace tesmor {

namespace {

constexpr std::array<std::string_view, 13> kPrefixes{
    "ttyS",   "ttyUSB", "ttyACM", "ttyAMA", "ttyXRUSB", "ttySAC", "ttymxc",
    "ttyTHS", "ttyMFD", "ttyO",   "ttyLP",  "ttyGS",    "rfcomm",
};

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool serialName(std::string_view name) {
    for (auto prefix : kPrefixes) {
        if (name.size() <= prefix.size() || name.substr(0, prefix.size()) != prefix) continue;
        const auto number = name.substr(prefix.size());
        if (std::all_of(number.begin(), number.end(), isDigit)) return true;
    }
    return false;
}

// The canonical paths among `wanted` that some process has open, as far as /proc shows this
// process the others' descriptors.
std::set<std::string> openedByAnyProcess(const std::set<std::string>& wanted) {
    std::set<std::string> found;
    if (wanted.empty()) return found;
    std::error_code error;
    for (std::filesystem::directory_iterator proc("/proc", error), end; !error && proc != end;
         proc.increment(error)) {
        const std::string pid = proc->path().filename().string();
        if (pid.empty() || !std::all_of(pid.begin(), pid.end(), isDigit)) continue;
        std::error_code fdError;
        for (std::filesystem::directory_iterator fd(proc->path() / "fd", fdError); !fdError && fd != end;
             fd.increment(fdError)) {
            char target[PATH_MAX];
            const ssize_t n = ::readlink(fd->path().c_str(), target, sizeof target - 1);
            if (n <= 0) continue;
            std::string link(target, std::size_t(n));
            if (wanted.count(link)) found.insert(std::move(link));
        }
    }
    return found;
}

// A UUCP lock file ("LCK..ttyS0": the holder's pid in ASCII, or as a binary int in old ones)
// whose process still runs.
bool lockFileHeld(const std::filesystem::path& lockDir, const std::string& device) {
    std::ifstream file(lockDir / ("LCK.." + std::filesystem::path(device).filename().string()),
                       std::ios::binary);
    if (!file) return false;
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    long pid = 0;
    const auto digits = text.find_first_of("0123456789");
    // A binary pid's low byte may well be a digit's code ('1' is 0x31): four bytes that are not
    // all text are the binary form.
    const bool textual = text.find_first_not_of(" \n0123456789") == std::string::npos;
    if (text.size() != sizeof(int) || textual) {
        if (digits != std::string::npos && text.find_first_not_of(" \n", 0) == digits)
            pid = std::strtol(text.c_str() + digits, nullptr, 10);
    } else {
        int binary = 0;
        std::memcpy(&binary, text.data(), sizeof binary);
        pid = binary;
    }
    if (pid <= 0 || pid > INT_MAX) return false;
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

std::string canonical(const std::string& path) {
    std::error_code error;
    auto resolved = std::filesystem::canonical(path, error);
    return error ? path : resolved.string();
}

SerialPortState openState(const std::string& path) noexcept {
    const UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0)
        return errno == EACCES || errno == EPERM ? SerialPortState::NoAccess : SerialPortState::Busy;
    // The lock goes with the descriptor when it is closed.
    return ::flock(fd.get(), LOCK_EX | LOCK_NB) == 0 ? SerialPortState::Free : SerialPortState::Busy;
}

}  // namespace

SerialPortCatalog SerialPortCatalog::fixed(std::vector<SerialPort> ports) {
    SerialPortCatalog catalog;
    catalog.fixed_ = true;
    catalog.fixedPorts_ = std::move(ports);
    return catalog;
}

std::vector<SerialPort> SerialPortCatalog::probe() const {
    if (fixed_) return fixedPorts_;
    std::vector<SerialPort> out;
    const auto paths = ports();
    const auto states = serialPortStates(paths, lockDir_);
    for (std::size_t i = 0; i < paths.size(); ++i) out.push_back({paths[i], states[i]});
    return out;
}

SerialPortCatalog::SerialPortCatalog(std::filesystem::path deviceDir, std::filesystem::path ttyClassDir,
                                     std::filesystem::path lockDir)
    : deviceDir_(std::move(deviceDir)), ttyClassDir_(std::move(ttyClassDir)), lockDir_(std::move(lockDir)) {}

bool SerialPortCatalog::present(const std::string& name) const {
    if (name.rfind("ttyS", 0) != 0 || !isDigit(name[4])) return true;
    std::ifstream type(ttyClassDir_ / name / "type");
    int value = -1;
    if (!(type >> value)) return true;
    return value != 0;
}

std::vector<std::string> SerialPortCatalog::ports() const {
    if (fixed_) {
        std::vector<std::string> paths;
        for (const auto& port : fixedPorts_) paths.push_back(port.path);
        return paths;
    }
    std::vector<std::string> names;
    std::error_code error;
    for (std::filesystem::directory_iterator it(deviceDir_, error), end; !error && it != end;
         it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (serialName(name) && present(name)) names.push_back(name);
    }
    std::sort(names.begin(), names.end(),
              [](const std::string& a, const std::string& b) { return naturalCompare(a, b) < 0; });
    std::vector<std::string> paths;
    paths.reserve(names.size());
    for (const auto& name : names) paths.push_back((deviceDir_ / name).string());
    return paths;
}

std::vector<SerialPortState> serialPortStates(const std::vector<std::string>& paths,
                                              const std::filesystem::path& lockDir) noexcept {
    std::vector<SerialPortState> states(paths.size(), SerialPortState::Busy);
    try {
        std::vector<std::string> resolved;
        for (const auto& path : paths) resolved.push_back(canonical(path));
        // Read before this process opens any of them, so its own test opens are not counted.
        const auto opened = openedByAnyProcess(std::set<std::string>(resolved.begin(), resolved.end()));
        for (std::size_t i = 0; i < paths.size(); ++i)
            states[i] = opened.count(resolved[i]) || lockFileHeld(lockDir, resolved[i])
                            ? SerialPortState::Busy
                            : openState(paths[i]);
    } catch (...) {
        // Out of memory: every port stays marked busy.
    }
    return states;
}

int naturalCompare(std::string_view a, std::string_view b) noexcept {
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            std::size_t i0 = i, j0 = j;
            while (i0 < a.size() && a[i0] == '0') ++i0;
            while (j0 < b.size() && b[j0] == '0') ++j0;
            std::size_t i1 = i0, j1 = j0;
            while (i1 < a.size() && isDigit(a[i1])) ++i1;
            while (j1 < b.size() && isDigit(b[j1])) ++j1;
            if (i1 - i0 != j1 - j0) return i1 - i0 < j1 - j0 ? -1 : 1;
            if (const int c = a.substr(i0, i1 - i0).compare(b.substr(j0, j1 - j0)); c != 0)
                return c < 0 ? -1 : 1;
            // Equal values: fewer leading zeros first, so the order stays total.
            if (i1 - i != j1 - j) return i1 - i < j1 - j ? -1 : 1;
            i = i1;
            j = j1;
            continue;
        }
        if (a[i] != b[j]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]) ? -1 : 1;
        ++i;
        ++j;
    }
    if (a.size() - i == b.size() - j) return 0;
    return a.size() - i < b.size() - j ? -1 : 1;
}

}  // namespace tesmor
