#pragma once
// An in-memory settings store for tests: sections of typed keys, with a log of every write.
#include <cstdint>
#include <map>
#include <string>
#include <variant>
#include <vector>

#include "platform/Profile.h"

namespace tesmor::test {

class MemoryProfile : public Profile {
public:
    using Value = std::variant<std::int32_t, std::u16string>;
    using Section = std::map<std::u16string, Value>;

    std::int32_t getInt(std::u16string_view section, std::u16string_view key, std::int32_t def) override {
        const auto* v = find(section, key);
        if (const auto* i = v ? std::get_if<std::int32_t>(v) : nullptr) return *i;
        return def;
    }
    std::u16string getString(std::u16string_view section, std::u16string_view key,
                             std::u16string_view def) override {
        const auto* v = find(section, key);
        if (const auto* s = v ? std::get_if<std::u16string>(v) : nullptr) return *s;
        return std::u16string(def);
    }
    bool setInt(std::u16string_view section, std::u16string_view key, std::int32_t value) override {
        writes.push_back(std::u16string(section) + u"/" + std::u16string(key));
        sections[std::u16string(section)][std::u16string(key)] = value;
        return true;
    }
    bool setString(std::u16string_view section, std::u16string_view key, std::u16string_view value) override {
        writes.push_back(std::u16string(section) + u"/" + std::u16string(key));
        sections[std::u16string(section)][std::u16string(key)] = std::u16string(value);
        return true;
    }
    bool delKey(std::u16string_view section) override {
        writes.push_back(u"del " + std::u16string(section));
        return sections.erase(std::u16string(section)) > 0;
    }

    std::map<std::u16string, Section> sections;
    std::vector<std::u16string> writes;  // "Section/key" per write, "del Section" per delete

private:
    const Value* find(std::u16string_view section, std::u16string_view key) const {
        auto s = sections.find(std::u16string(section));
        if (s == sections.end()) return nullptr;
        auto k = s->second.find(std::u16string(key));
        return k == s->second.end() ? nullptr : &k->second;
    }
};

// The writes of saving the connection settings, as `writes` logs them: the ten keys every
// profile has, then "maxMasters", the access keys and the TLS keys, each newer group after the
// older ones.
inline const std::vector<std::u16string> kSettingsWriteOrder{
    u"Settings/TCPId",          u"Settings/localPort",   u"Settings/RTUId",      u"Settings/portName",
    u"Settings/baud",           u"Settings/dataBits",    u"Settings/parity",     u"Settings/stopBits",
    u"Settings/isRTU",          u"Settings/isTCP",       u"Settings/maxMasters", u"Settings/bindAddress",
    u"Settings/allowedMasters", u"Settings/writeAccess", u"Settings/isTLS",      u"Settings/tlsPort",
    u"Settings/tlsCertificate", u"Settings/tlsKey",      u"Settings/tlsCA",      u"Settings/tlsWriteRoles"};

}  // namespace tesmor::test
