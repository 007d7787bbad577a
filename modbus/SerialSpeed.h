#pragma once
// The exact line speed of a serial device, through the kernel's arbitrary-rate interface
// (termios2 with BOTHER), for rates that have no B-constant (14400, 56000, 128000, 256000).

namespace tesmor {

// The output speed `fd` is set to in baud, or -1 (errno set) when it cannot be read.
int serialSpeed(int fd) noexcept;

// Sets input and output speed of `fd` to exactly `baud`, keeping every other setting, unless it
// is that already. Returns true when the speed read back afterwards is `baud`; false (errno set,
// EINVAL when the driver chose another rate) otherwise.
bool setSerialSpeed(int fd, int baud) noexcept;

}  // namespace tesmor
