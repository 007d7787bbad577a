#pragma once
// Owning wrappers of the C handles the transports use.
#include <memory>
#include <utility>

#include <modbus/modbus.h>

namespace tesmor {

struct ModbusContextFree {
    void operator()(modbus_t* c) const noexcept {
        modbus_close(c);
        modbus_free(c);
    }
};
using ModbusContext = std::unique_ptr<modbus_t, ModbusContextFree>;

struct ModbusMappingFree {
    void operator()(modbus_mapping_t* m) const noexcept { modbus_mapping_free(m); }
};
using ModbusMapping = std::unique_ptr<modbus_mapping_t, ModbusMappingFree>;

// A file descriptor closed on destruction.
class UniqueFd {
public:
    UniqueFd() noexcept = default;
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    UniqueFd(UniqueFd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& o) noexcept {
        if (this != &o) reset(std::exchange(o.fd_, -1));
        return *this;
    }
    ~UniqueFd() { reset(); }
    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    int release() noexcept { return std::exchange(fd_, -1); }
    void reset(int fd = -1) noexcept;

private:
    int fd_ = -1;
};

// An eventfd that a stop request signals, so a thread blocked in poll() wakes at once.
class Waker {
public:
    Waker();  // throws std::system_error when no eventfd can be made
    void signal() noexcept;
    int fd() const noexcept { return fd_.get(); }

private:
    UniqueFd fd_;
};

}  // namespace tesmor
