#include "modbus/SerialSpeed.h"

// The kernel's own termios definitions; <termios.h> of the C library cannot be mixed with them,
// so this file includes nothing else of the terminal interface.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include "platform/Errors.h"

namespace tesmor {

namespace {

std::error_code read2(int fd, termios2& t) noexcept {
    return ::ioctl(fd, TCGETS2, &t) == 0 ? std::error_code() : lastSystemError();
}

bool isAt(const termios2& t, int baud) noexcept {
    return t.c_ospeed == static_cast<speed_t>(baud) && t.c_ispeed == static_cast<speed_t>(baud);
}

}  // namespace

int serialSpeed(int fd, std::error_code& error) noexcept {
    termios2 t{};
    error = read2(fd, t);
    return error ? -1 : static_cast<int>(t.c_ospeed);
}

std::error_code setSerialSpeed(int fd, int baud) noexcept {
    const auto otherRate = std::make_error_code(std::errc::invalid_argument);
    if (baud <= 0) return otherRate;
    termios2 t{};
    if (const auto error = read2(fd, t)) return error;
    if (isAt(t, baud)) return {};
    t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    t.c_ospeed = static_cast<speed_t>(baud);
    t.c_ispeed = static_cast<speed_t>(baud);
    if (::ioctl(fd, TCSETS2, &t) != 0) return lastSystemError();
    if (const auto error = read2(fd, t)) return error;
    return isAt(t, baud) ? std::error_code() : otherRate;
}

}  // namespace tesmor
