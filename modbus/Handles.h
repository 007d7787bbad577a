#pragma once
// Owning wrappers of the C handles the transports use.
#include <modbus/modbus.h>

#include <memory>

#include "platform/UniqueFd.h"

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
