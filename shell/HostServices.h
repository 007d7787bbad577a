#pragma once
// The plug-in's access to the host: the function table handed to Load, and the profile store
// addressed as folder, section and key. Every call here goes to the host; nothing throws.
#include <cstdint>
#include <string>
#include <string_view>

#include "host_api.h"
#include "platform/Profile.h"

namespace tesmor {

// The table handed to Load; null before Load. Set on the host's event thread only.
void setHostApi(const HostApi* host) noexcept;
const HostApi* hostApi() noexcept;

// False without a host or when the host does not offer the service.
bool hostHasService(const char* service) noexcept;
// 0 without a host.
intptr_t callHostService(const char* service, intptr_t a, intptr_t b) noexcept;

// The folder prefixed to every section ("plugins\tesmor"); empty at first, and then left out.
void setProfileFolder(std::u16string folder);
std::u16string profileFolder();

std::u16string profileSectionPath(std::u16string_view section);
std::u16string profileKeyPath(std::u16string_view section, std::u16string_view key);

// Each first asks hasService for its own service; without it readers give the default and
// writers false, making no call. A reader whose call answers 0 gives the default.
std::int32_t profileGetInt(std::u16string_view section, std::u16string_view key, std::int32_t defaultValue);
// The host's text up to its terminator, cut at 127 characters.
std::u16string profileGetString(std::u16string_view section, std::u16string_view key,
                                std::u16string_view defaultValue);
bool profileSetInt(std::u16string_view section, std::u16string_view key, std::int32_t value);
bool profileSetString(std::u16string_view section, std::u16string_view key, std::u16string_view value);
// Removes every key of the section.
bool profileDelKey(std::u16string_view section);

// The profile store as the core sees it, over the wrappers above.
class HostProfile final : public Profile {
public:
    std::int32_t getInt(std::u16string_view section, std::u16string_view key, std::int32_t def) override {
        return profileGetInt(section, key, def);
    }
    std::u16string getString(std::u16string_view section, std::u16string_view key,
                             std::u16string_view def) override {
        return profileGetString(section, key, def);
    }
    bool setInt(std::u16string_view section, std::u16string_view key, std::int32_t value) override {
        return profileSetInt(section, key, value);
    }
    bool setString(std::u16string_view section, std::u16string_view key, std::u16string_view value) override {
        return profileSetString(section, key, value);
    }
    bool delKey(std::u16string_view section) override { return profileDelKey(section); }
};

}  // namespace tesmor
