#include "HostDevices.h"

#include <climits>

#include "platform/Text.h"

namespace tesmor {

int HostDevices::count() {
    const intptr_t n = host_.callService("Device/GetList", 0, 0);
    return n > INT_MAX ? INT_MAX : (n < 0 ? 0 : static_cast<int>(n));
}

std::u16string HostDevices::name(int index) {
    nameBuffer_.fill(u'\0');
    char16_t* name = nameBuffer_.data();
    host_.callService("Device/GetName", index, reinterpret_cast<intptr_t>(&name));
    if (!name) return {};
    if (name == nameBuffer_.data()) {
        // A host that fills the buffer to its end leaves no terminator: the name ends there.
        std::size_t length = 0;
        while (length < kNameCapacity && nameBuffer_[length] != u'\0') ++length;
        return std::u16string(nameBuffer_.data(), length);
    }
    return std::u16string(name, textLength(name));
}

std::int32_t HostDevices::lastError(int index) {
    return static_cast<std::int32_t>(host_.callService("Device/GetLastError", index, 0));
}

std::int32_t HostDevices::mode(int index) {
    return static_cast<std::int32_t>(host_.callService("Device/GetMode", index, 0));
}

}  // namespace tesmor
