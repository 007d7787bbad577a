#pragma once
// The stand-in host's profile store: a JSON file whose nested objects are the folders and
// sections of a key path ("plugins\tesmor\Settings/localPort"), integers and texts keeping
// their JSON types. Every change is written at once, atomically. Not thread-safe.
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "platform/Errors.h"

namespace tesmor::host {

class JsonProfile {
public:
    // An empty store that is never written to disk.
    JsonProfile() = default;

    // Reads `path`; a missing file is an empty store (created at the first change). A file that
    // cannot be read or parsed gives no store and the problem "path: reason" or
    // "path:line:column: reason", and is left untouched.
    static Loaded<JsonProfile> open(const std::string& path);

    // Key paths and section paths in UTF-8 ("plugins\tesmor\Settings/localPort").
    // getInt also reads a text that is a whole decimal number, as text profiles do; getString gives
    // anything but an integer as text: a list, an object, true/false or a fraction as its JSON text.
    std::optional<std::int32_t> getInt(const std::string& keyPath) const;
    std::optional<std::string> getString(const std::string& keyPath) const;
    bool setInt(const std::string& keyPath, std::int32_t value);
    bool setString(const std::string& keyPath, const std::string& value);
    bool deleteSection(const std::string& sectionPath);

    // Until commit(), changes stay in memory, so a batch (an imported map) replaces the file once.
    // commit() is false when the file cannot be written; the store and the file are then as they
    // were before beginBatch().
    void beginBatch();
    bool commit();

    std::string dump() const { return data_.dump(2); }
    const std::string& path() const noexcept { return path_; }

private:
    const nlohmann::ordered_json* find(const std::string& keyPath) const;
    bool set(const std::string& keyPath, nlohmann::ordered_json value);
    bool save() const;

    nlohmann::ordered_json data_ = nlohmann::ordered_json::object();
    std::string path_;
    bool batch_ = false;
    nlohmann::ordered_json batchBefore_;
};

}  // namespace tesmor::host
