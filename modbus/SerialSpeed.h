#pragma once
// The exact line speed of a serial device, through the kernel's arbitrary-rate interface
// (termios2 with BOTHER), for rates that have no B-constant (14400, 56000, 128000, 256000).

#include <system_error>

namespace tesmor {

// The output speed `fd` is set to in baud; -1, with `error` set, when it cannot be read.
int serialSpeed(int fd, std::error_code& error) noexcept;

// Sets input and output speed of `fd` to exactly `baud`, keeping every other setting, unless it
// is that already. Returns no error when the speed read back afterwards is `baud`; otherwise the
// failed call's error, or EINVAL when the driver chose another rate (or `baud` is not positive).
std::error_code setSerialSpeed(int fd, int baud) noexcept;

}  // namespace tesmor
