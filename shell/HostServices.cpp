#include "HostServices.h"

#include <array>
#include <atomic>
#include <mutex>

#include "platform/Text.h"

namespace tesmor {

namespace {
std::atomic<const HostApi*> g_host{nullptr};

std::mutex g_folderMutex;
std::u16string g_profileFolder;

constexpr std::uint32_t kTextCapacity = 128;  // terminator included
}  // namespace

void setHostApi(const HostApi* host) noexcept { g_host = host; }
const HostApi* hostApi() noexcept { return g_host; }

bool hostHasService(const char* service) noexcept {
    const HostApi* host = g_host;
    return host && host->hasService && host->hasService(service) != 0;
}

intptr_t callHostService(const char* service, intptr_t a, intptr_t b) noexcept {
    const HostApi* host = g_host;
    return host && host->callService ? host->callService(service, a, b) : 0;
}

void setProfileFolder(std::u16string folder) {
    std::lock_guard lock(g_folderMutex);
    g_profileFolder = std::move(folder);
}

std::u16string profileFolder() {
    std::lock_guard lock(g_folderMutex);
    return g_profileFolder;
}

std::u16string profileSectionPath(std::u16string_view section) {
    std::u16string path = profileFolder();
    if (!path.empty()) path += u'\\';
    path += section;
    return path;
}

std::u16string profileKeyPath(std::u16string_view section, std::u16string_view key) {
    std::u16string path = profileSectionPath(section);
    path += u'/';
    path += key;
    return path;
}

std::int32_t profileGetInt(std::u16string_view section, std::u16string_view key, std::int32_t defaultValue) {
    static constexpr const char* kService = "Profile/GetInt";
    if (!hostHasService(kService)) return defaultValue;
    const std::u16string path = profileKeyPath(section, key);
    std::int32_t value = 0;
    if (callHostService(kService, reinterpret_cast<intptr_t>(path.c_str()),
                        reinterpret_cast<intptr_t>(&value)) == 0)
        return defaultValue;
    return value;
}

std::u16string profileGetString(std::u16string_view section, std::u16string_view key,
                                std::u16string_view defaultValue) {
    static constexpr const char* kService = "Profile/GetString";
    if (!hostHasService(kService)) return std::u16string(defaultValue);
    const std::u16string path = profileKeyPath(section, key);
    std::array<char16_t, kTextCapacity> buffer{};
    TextRequest request{buffer.data(), kTextCapacity};
    if (callHostService(kService, reinterpret_cast<intptr_t>(path.c_str()),
                        reinterpret_cast<intptr_t>(&request)) == 0)
        return std::u16string(defaultValue);
    // A host that fills the whole buffer leaves no terminator: the text still ends there.
    std::size_t length = 0;
    while (length < kTextCapacity - 1 && buffer[length] != u'\0') ++length;
    return std::u16string(buffer.data(), length);
}

bool profileSetInt(std::u16string_view section, std::u16string_view key, std::int32_t value) {
    static constexpr const char* kService = "Profile/SetInt";
    if (!hostHasService(kService)) return false;
    const std::u16string path = profileKeyPath(section, key);
    return callHostService(kService, reinterpret_cast<intptr_t>(path.c_str()),
                           reinterpret_cast<intptr_t>(&value)) != 0;
}

bool profileSetString(std::u16string_view section, std::u16string_view key, std::u16string_view value) {
    static constexpr const char* kService = "Profile/SetString";
    if (!hostHasService(kService)) return false;
    const std::u16string path = profileKeyPath(section, key);
    const std::u16string text(value);
    return callHostService(kService, reinterpret_cast<intptr_t>(path.c_str()),
                           reinterpret_cast<intptr_t>(text.c_str())) != 0;
}

bool profileDelKey(std::u16string_view section) {
    static constexpr const char* kService = "Profile/DelKey";
    if (!hostHasService(kService)) return false;
    const std::u16string path = profileSectionPath(section);
    return callHostService(kService, reinterpret_cast<intptr_t>(path.c_str()), 0) != 0;
}

}  // namespace tesmor
