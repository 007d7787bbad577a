#include "HostServices.h"

#include <array>

#include "platform/Text.h"

namespace tesmor {

namespace {
constexpr std::uint32_t kTextCapacity = 128;  // terminator included
}  // namespace

bool HostServices::hasService(const char* service) const noexcept {
    return host_ && host_->hasService && host_->hasService(service) != 0;
}

intptr_t HostServices::callService(const char* service, intptr_t a, intptr_t b) const noexcept {
    return host_ && host_->callService ? host_->callService(service, a, b) : 0;
}

HostRegistrations::~HostRegistrations() {
    const HostApi* host = host_.api();
    if (host && host->unsubscribe)
        for (const uint32_t subscription : subscriptions_) host->unsubscribe(subscription);
    if (host && command_ && host->unregisterCommand) host->unregisterCommand(*command_);
}

void HostRegistrations::subscribe(const char* event, HostHandler handler) {
    const HostApi* host = host_.api();
    if (!host || !host->subscribe) return;
    subscriptions_.push_back(host->subscribe(event, handler));
}

void HostRegistrations::registerCommand(const char* name, HostHandler handler) {
    const HostApi* host = host_.api();
    if (!host || !host->registerCommand || command_) return;
    command_ = host->registerCommand(name, handler);
}

void HostProfile::setFolder(std::u16string folder) {
    std::lock_guard lock(folderMutex_);
    folder_ = std::move(folder);
}

std::u16string HostProfile::folder() const {
    std::lock_guard lock(folderMutex_);
    return folder_;
}

std::u16string HostProfile::sectionPath(std::u16string_view section) const {
    std::u16string path = folder();
    if (!path.empty()) path += u'\\';
    path += section;
    return path;
}

std::u16string HostProfile::keyPath(std::u16string_view section, std::u16string_view key) const {
    std::u16string path = sectionPath(section);
    path += u'/';
    path += key;
    return path;
}

std::int32_t HostProfile::getInt(std::u16string_view section, std::u16string_view key, std::int32_t def) {
    static constexpr const char* kService = "Profile/GetInt";
    if (!host_.hasService(kService)) return def;
    const std::u16string path = keyPath(section, key);
    std::int32_t value = 0;
    if (host_.callService(kService, reinterpret_cast<intptr_t>(path.c_str()),
                          reinterpret_cast<intptr_t>(&value)) == 0)
        return def;
    return value;
}

std::u16string HostProfile::getString(std::u16string_view section, std::u16string_view key,
                                      std::u16string_view def) {
    static constexpr const char* kService = "Profile/GetString";
    if (!host_.hasService(kService)) return std::u16string(def);
    const std::u16string path = keyPath(section, key);
    std::array<char16_t, kTextCapacity> buffer{};
    TextRequest request{buffer.data(), kTextCapacity};
    if (host_.callService(kService, reinterpret_cast<intptr_t>(path.c_str()),
                          reinterpret_cast<intptr_t>(&request)) == 0)
        return std::u16string(def);
    // A host that fills the whole buffer leaves no terminator: the text still ends there.
    std::size_t length = 0;
    while (length < kTextCapacity - 1 && buffer[length] != u'\0') ++length;
    return std::u16string(buffer.data(), length);
}

bool HostProfile::setInt(std::u16string_view section, std::u16string_view key, std::int32_t value) {
    static constexpr const char* kService = "Profile/SetInt";
    if (!host_.hasService(kService)) return false;
    const std::u16string path = keyPath(section, key);
    return host_.callService(kService, reinterpret_cast<intptr_t>(path.c_str()),
                             reinterpret_cast<intptr_t>(&value)) != 0;
}

bool HostProfile::setString(std::u16string_view section, std::u16string_view key, std::u16string_view value) {
    static constexpr const char* kService = "Profile/SetString";
    if (!host_.hasService(kService)) return false;
    const std::u16string path = keyPath(section, key);
    const std::u16string text(value);
    return host_.callService(kService, reinterpret_cast<intptr_t>(path.c_str()),
                             reinterpret_cast<intptr_t>(text.c_str())) != 0;
}

bool HostProfile::delKey(std::u16string_view section) {
    static constexpr const char* kService = "Profile/DelKey";
    if (!host_.hasService(kService)) return false;
    const std::u16string path = sectionPath(section);
    return host_.callService(kService, reinterpret_cast<intptr_t>(path.c_str()), 0) != 0;
}

}  // namespace tesmor
