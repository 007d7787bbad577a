#pragma once
// The plug-in's access to the host: the function table handed to Load, what the plug-in
// registered with it, and the profile store addressed as folder, section and key. Every call
// here goes to the host; nothing throws.
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host_api.h"
#include "platform/Profile.h"

namespace tesmor {

// The table handed to Load (may be null), for as long as the plug-in is loaded. Any thread.
class HostServices {
public:
    explicit HostServices(const HostApi* host) noexcept : host_(host) {}

    const HostApi* api() const noexcept { return host_; }
    // False without a host or when the host does not offer the service.
    bool hasService(const char* service) const noexcept;
    // 0 without a host.
    intptr_t callService(const char* service, intptr_t a, intptr_t b) const noexcept;

private:
    const HostApi* host_;
};

// The plug-in's event subscriptions and its command, given back to the host when destroyed:
// the subscriptions first. Host's event thread only.
class HostRegistrations {
public:
    explicit HostRegistrations(const HostServices& host) noexcept : host_(host) {}
    ~HostRegistrations();
    HostRegistrations(const HostRegistrations&) = delete;
    HostRegistrations& operator=(const HostRegistrations&) = delete;

    // Nothing when the host cannot subscribe.
    void subscribe(const char* event, HostHandler handler);
    // Registers the command once; later calls do nothing.
    void registerCommand(const char* name, HostHandler handler);

private:
    const HostServices& host_;
    std::vector<uint32_t> subscriptions_;
    std::optional<uint32_t> command_;
};

// The profile store as the core sees it, over the host's "Profile/..." services. Each call first
// asks hasService for its own service; without it readers give the default and writers false,
// making no call. A reader whose call answers 0 gives the default.
class HostProfile final : public Profile {
public:
    explicit HostProfile(const HostServices& host) noexcept : host_(host) {}

    // The folder prefixed to every section ("plugins\tesmor"); empty at first, and then left out.
    void setFolder(std::u16string folder);
    std::u16string folder() const;

    std::u16string sectionPath(std::u16string_view section) const;
    std::u16string keyPath(std::u16string_view section, std::u16string_view key) const;

    std::int32_t getInt(std::u16string_view section, std::u16string_view key, std::int32_t def) override;
    // The host's text up to its terminator, cut at 127 characters.
    std::u16string getString(std::u16string_view section, std::u16string_view key,
                             std::u16string_view def) override;
    bool setInt(std::u16string_view section, std::u16string_view key, std::int32_t value) override;
    bool setString(std::u16string_view section, std::u16string_view key, std::u16string_view value) override;
    // Removes every key of the section.
    bool delKey(std::u16string_view section) override;

private:
    const HostServices& host_;
    mutable std::mutex folderMutex_;
    std::u16string folder_;
};

}  // namespace tesmor
