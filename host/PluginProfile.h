#pragma once
// The plug-in's folder of the stand-in host's JSON profile ("plugins\tesmor"), seen as the core's
// settings store: what the plug-in reads and writes through the host's profile services, for the
// host's own commands on the register map. Not thread-safe, like JsonProfile.
#include <string>

#include "JsonProfile.h"
#include "platform/Profile.h"
#include "platform/Text.h"

namespace tesmor::host {

class PluginProfile final : public Profile {
public:
    explicit PluginProfile(JsonProfile& json) : json_(json) {}
    std::int32_t getInt(std::u16string_view section, std::u16string_view key, std::int32_t def) override {
        return json_.getInt(path(section, key)).value_or(def);
    }
    std::u16string getString(std::u16string_view section, std::u16string_view key,
                             std::u16string_view def) override {
        const auto value = json_.getString(path(section, key));
        return value ? toUtf16(*value) : std::u16string(def);
    }
    bool setInt(std::u16string_view section, std::u16string_view key, std::int32_t value) override {
        return json_.setInt(path(section, key), value);
    }
    bool setString(std::u16string_view section, std::u16string_view key, std::u16string_view value) override {
        return json_.setString(path(section, key), toUtf8(value));
    }
    bool delKey(std::u16string_view section) override {
        json_.deleteSection(kFolder + toUtf8(section));
        return true;  // a section that was not there is gone as well
    }

private:
    static inline const std::string kFolder = "plugins\\tesmor\\";
    static std::string path(std::u16string_view section, std::u16string_view key) {
        return kFolder + toUtf8(section) + "/" + toUtf8(key);
    }
    JsonProfile& json_;
};

}  // namespace tesmor::host
