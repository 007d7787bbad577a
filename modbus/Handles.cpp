#include "modbus/Handles.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

namespace tesmor {

Waker::Waker() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (!fd_) throw std::system_error(errno, std::generic_category(), "eventfd");
}

void Waker::signal() noexcept {
    const std::uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(fd_.get(), &one, sizeof one);
}

}  // namespace tesmor
