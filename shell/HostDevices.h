#pragma once
// The host's devices as the device monitor sees them, over the "Device/..." services.
// Called from the monitor's thread only.
#include <array>

#include "HostServices.h"
#include "modbus/DeviceMonitor.h"

namespace tesmor {

class HostDevices final : public DeviceSource {
public:
    // `host` must outlive this object.
    explicit HostDevices(const HostServices& host) noexcept : host_(host) {}

    int count() override;
    std::u16string name(int index) override;
    std::int32_t lastError(int index) override;
    std::int32_t mode(int index) override;

private:
    const HostServices& host_;
    static constexpr std::size_t kNameCapacity = 255;
    std::array<char16_t, kNameCapacity> nameBuffer_{};
};

}  // namespace tesmor
