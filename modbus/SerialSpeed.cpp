#include "modbus/SerialSpeed.h"

// The kernel's own termios definitions; <termios.h> of the C library cannot be mixed with them,
// so this file includes nothing else of the terminal interface.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>

namespace tesmor {

namespace {

bool read2(int fd, termios2& t) noexcept { return ::ioctl(fd, TCGETS2, &t) == 0; }

bool isAt(const termios2& t, int baud) noexcept {
    return t.c_ospeed == static_cast<speed_t>(baud) && t.c_ispeed == static_cast<speed_t>(baud);
}

}  // namespace

int serialSpeed(int fd) noexcept {
    termios2 t{};
    if (!read2(fd, t)) return -1;
    return static_cast<int>(t.c_ospeed);
}

bool setSerialSpeed(int fd, int baud) noexcept {
    if (baud <= 0) {
        errno = EINVAL;
        return false;
    }
    termios2 t{};
    if (!read2(fd, t)) return false;
    if (isAt(t, baud)) return true;
    t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    t.c_ospeed = static_cast<speed_t>(baud);
    t.c_ispeed = static_cast<speed_t>(baud);
    if (::ioctl(fd, TCSETS2, &t) != 0) return false;
    if (!read2(fd, t)) return false;
    if (isAt(t, baud)) return true;
    errno = EINVAL;
    return false;
}

}  // namespace tesmor
