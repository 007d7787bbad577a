#include "HostCore.h"

#include <algorithm>
#include <cstring>

#include "platform/Text.h"

namespace tesmor::host {

namespace {

constexpr std::size_t kDeviceNameCapacity = 255;  // terminator included

const char* const kServices[] = {
    "System/GetLanguage", "MainMenu/CreateNewMenu", "DB/GetConnectionUri", "Device/GetList",
    "Device/GetName",     "Device/GetLastError",    "Device/GetMode",      "Profile/GetInt",
    "Profile/GetString",  "Profile/SetInt",         "Profile/SetString",   "Profile/DelKey",
};

std::string text8(const char16_t* text) {
    return text ? toUtf8(std::u16string_view(text, textLength(text))) : "";
}
std::string quoted(const std::string& s) { return "\"" + s + "\""; }
std::string safe(const char* s) { return s ? s : "(null)"; }

}  // namespace

HostCore& HostCore::instance() {
    static HostCore core;
    return core;
}

HostCore::HostCore() {
    api_.subscribe = &subscribeEntry;
    api_.unsubscribe = &unsubscribeEntry;
    api_.registerCommand = &registerCommandEntry;
    api_.unregisterCommand = &unregisterCommandEntry;
    api_.callService = &callServiceEntry;
    api_.hasService = &hasServiceEntry;
}

void HostCore::reset() {
    std::lock_guard lock(mutex_);
    subscriptions_.clear();
    commands_.clear();
    menuItems_.clear();
    withdrawn_.clear();
    language_ = 1049;
    databaseUri_.reset();
    profile_ = JsonProfile();
    devices_.clear();
    observer_ = nullptr;
}

void HostCore::withdrawService(const std::string& service) {
    std::lock_guard lock(mutex_);
    withdrawn_.insert(service);
}

void HostCore::setLanguage(intptr_t answer) {
    std::lock_guard lock(mutex_);
    language_ = answer;
}

void HostCore::setDatabaseUri(std::optional<std::u16string> uri) {
    std::lock_guard lock(mutex_);
    databaseUri_ = std::move(uri);
}

void HostCore::setProfile(JsonProfile profile) {
    std::lock_guard lock(mutex_);
    profile_ = std::move(profile);
}

std::string HostCore::profileDump() {
    std::lock_guard lock(mutex_);
    return profile_.dump();
}

void HostCore::setDevices(std::vector<Device> devices) {
    std::lock_guard lock(mutex_);
    devices_ = std::move(devices);
}

std::vector<Device> HostCore::devices() {
    std::lock_guard lock(mutex_);
    return devices_;
}

bool HostCore::updateDevice(std::size_t index, const std::function<void(Device&)>& change) {
    std::lock_guard lock(mutex_);
    if (index >= devices_.size()) return false;
    change(devices_[index]);
    return true;
}

void HostCore::addDevice(Device device) {
    std::lock_guard lock(mutex_);
    devices_.push_back(std::move(device));
}

bool HostCore::removeDevice(std::size_t index) {
    std::lock_guard lock(mutex_);
    if (index >= devices_.size()) return false;
    devices_.erase(devices_.begin() + static_cast<std::ptrdiff_t>(index));
    return true;
}

int HostCore::raise(const std::string& event, intptr_t argument) {
    std::vector<HostHandler> handlers;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [handle, entry] : subscriptions_)
            if (entry.first == event) handlers.push_back(entry.second);
    }
    for (auto handler : handlers) handler(argument);
    return static_cast<int>(handlers.size());
}

bool HostCore::runCommand(const std::string& name, intptr_t argument) {
    HostHandler handler = nullptr;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [handle, entry] : commands_)
            if (entry.first == name) handler = entry.second;
    }
    if (!handler) return false;
    handler(argument);
    return true;
}

std::size_t HostCore::subscriptionCount() {
    std::lock_guard lock(mutex_);
    return subscriptions_.size();
}

std::size_t HostCore::commandCount() {
    std::lock_guard lock(mutex_);
    return commands_.size();
}

std::vector<MenuItem> HostCore::menuItems() {
    std::lock_guard lock(mutex_);
    return menuItems_;
}

std::vector<std::u16string> HostCore::menuPaths() {
    std::vector<std::u16string> paths;
    for (auto& item : menuItems()) paths.push_back(std::move(item.path));
    return paths;
}

void HostCore::setCallObserver(std::function<void(const HostCall&)> observer) {
    std::lock_guard lock(mutex_);
    observer_ = std::move(observer);
}

void HostCore::record(HostCall call) {
    std::function<void(const HostCall&)> observer;
    {
        std::lock_guard lock(mutex_);
        observer = observer_;
    }
    if (observer) observer(call);
}

uint32_t HostCore::subscribeEntry(const char* event, HostHandler handler) {
    auto& core = instance();
    uint32_t handle = 0;
    {
        std::lock_guard lock(core.mutex_);
        handle = core.nextHandle_++;
        core.subscriptions_[handle] = {safe(event), handler};
    }
    core.record({"subscribe", safe(event), "-> " + std::to_string(handle)});
    return handle;
}

void HostCore::unsubscribeEntry(uint32_t handle) {
    auto& core = instance();
    std::string event;
    {
        std::lock_guard lock(core.mutex_);
        if (auto it = core.subscriptions_.find(handle); it != core.subscriptions_.end()) {
            event = it->second.first;
            core.subscriptions_.erase(it);
        }
    }
    core.record({"unsubscribe", event, std::to_string(handle)});
}

uint32_t HostCore::registerCommandEntry(const char* name, HostHandler handler) {
    auto& core = instance();
    uint32_t handle = 0;
    {
        std::lock_guard lock(core.mutex_);
        handle = core.nextHandle_++;
        core.commands_[handle] = {safe(name), handler};
    }
    core.record({"registerCommand", safe(name), "-> " + std::to_string(handle)});
    return handle;
}

void HostCore::unregisterCommandEntry(uint32_t handle) {
    auto& core = instance();
    std::string name;
    {
        std::lock_guard lock(core.mutex_);
        if (auto it = core.commands_.find(handle); it != core.commands_.end()) {
            name = it->second.first;
            core.commands_.erase(it);
        }
    }
    core.record({"unregisterCommand", name, std::to_string(handle)});
}

int HostCore::hasServiceEntry(const char* service) {
    auto& core = instance();
    const std::string name = safe(service);
    bool offered = false;
    {
        std::lock_guard lock(core.mutex_);
        offered = std::any_of(std::begin(kServices), std::end(kServices),
                              [&](const char* s) { return name == s; }) &&
                  !core.withdrawn_.count(name);
    }
    core.record({"hasService", name, offered ? "-> 1" : "-> 0"});
    return offered ? 1 : 0;
}

intptr_t HostCore::callServiceEntry(const char* service, intptr_t a, intptr_t b) {
    return instance().service(safe(service).c_str(), a, b);
}

intptr_t HostCore::service(const char* name, intptr_t a, intptr_t b) {
    const std::string service = name;
    std::string detail;
    intptr_t result = 0;
    {
        std::lock_guard lock(mutex_);
        if (withdrawn_.count(service)) {
            detail = "not offered";
        } else if (service == "System/GetLanguage") {
            result = language_;
            detail = "-> " + std::to_string(result);
        } else if (service == "MainMenu/CreateNewMenu") {
            const auto* item = reinterpret_cast<const MenuItemRecord*>(b);
            if (item && item->size >= sizeof(MenuItemRecord) && item->path) {
                menuItems_.push_back(
                    {std::u16string(item->path, textLength(item->path)), safe(item->command)});
                detail = quoted(text8(item->path)) + " -> " + quoted(safe(item->command));
            } else {
                detail = "bad menu record";
            }
        } else if (service == "DB/GetConnectionUri") {
            result = databaseUri_ ? reinterpret_cast<intptr_t>(databaseUri_->c_str()) : 0;
            detail = databaseUri_ ? "-> " + quoted(toUtf8(*databaseUri_)) : "-> null";
        } else if (service == "Device/GetList") {
            result = static_cast<intptr_t>(devices_.size());
            detail = "-> " + std::to_string(result);
        } else if (service == "Device/GetName") {
            auto** target = reinterpret_cast<char16_t**>(b);
            const auto index = static_cast<std::size_t>(a);
            if (target && *target && index < devices_.size()) {
                const auto& text = devices_[index].name;
                const std::size_t n = std::min(text.size(), kDeviceNameCapacity - 1);
                std::copy_n(text.data(), n, *target);
                (*target)[n] = u'\0';
                detail = std::to_string(a) + " -> " + quoted(toUtf8(text.substr(0, n)));
            } else if (target) {
                *target = nullptr;
                detail = std::to_string(a) + " -> null";
            }
        } else if (service == "Device/GetLastError" || service == "Device/GetMode") {
            const auto index = static_cast<std::size_t>(a);
            if (index < devices_.size())
                result = service == "Device/GetMode" ? devices_[index].mode : devices_[index].lastError;
            detail = std::to_string(a) + " -> " + std::to_string(result);
        } else if (service == "Profile/GetInt") {
            const std::string key = text8(reinterpret_cast<const char16_t*>(a));
            const auto value = profile_.getInt(key);
            if (value && b) *reinterpret_cast<std::int32_t*>(b) = *value;
            result = value ? 1 : 0;
            detail = quoted(key) + (value ? " -> " + std::to_string(*value) : " -> not found");
        } else if (service == "Profile/GetString") {
            const std::string key = text8(reinterpret_cast<const char16_t*>(a));
            const auto value = profile_.getString(key);
            auto* request = reinterpret_cast<TextRequest*>(b);
            if (value && request && request->buffer && request->capacity > 0) {
                const std::u16string text = toUtf16(*value);
                const std::size_t n = std::min<std::size_t>(text.size(), request->capacity - 1);
                std::copy_n(text.data(), n, request->buffer);
                request->buffer[n] = u'\0';
                result = 1;
            }
            detail = quoted(key) + (result ? " -> " + quoted(*value) : " -> not found");
        } else if (service == "Profile/SetInt") {
            const std::string key = text8(reinterpret_cast<const char16_t*>(a));
            const auto* value = reinterpret_cast<const std::int32_t*>(b);
            result = value && profile_.setInt(key, *value) ? 1 : 0;
            detail = quoted(key) + " = " + (value ? std::to_string(*value) : "null") + " -> " +
                     std::to_string(result);
        } else if (service == "Profile/SetString") {
            const std::string key = text8(reinterpret_cast<const char16_t*>(a));
            const std::string value = text8(reinterpret_cast<const char16_t*>(b));
            result = b && profile_.setString(key, value) ? 1 : 0;
            detail = quoted(key) + " = " + quoted(value) + " -> " + std::to_string(result);
        } else if (service == "Profile/DelKey") {
            const std::string section = text8(reinterpret_cast<const char16_t*>(a));
            result = profile_.deleteSection(section) ? 1 : 0;
            detail = quoted(section) + " -> " + std::to_string(result);
        } else {
            detail = "unknown service";
        }
    }
    record({"callService", service, detail});
    return result;
}

}  // namespace tesmor::host
