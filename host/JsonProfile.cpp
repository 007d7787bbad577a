#include "JsonProfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "platform/Log.h"
#include "platform/Text.h"

namespace tesmor::host {

namespace {

std::vector<std::string> splitFolders(const std::string& sectionPath) {
    std::vector<std::string> parts;
    std::string part;
    for (char c : sectionPath) {
        if (c == '\\') {
            parts.push_back(std::move(part));
            part.clear();
        } else {
            part += c;
        }
    }
    parts.push_back(std::move(part));
    return parts;
}

// "a\b\Section/key" -> folders {a, b, Section} and key "key".
bool splitKeyPath(const std::string& keyPath, std::vector<std::string>& folders, std::string& key) {
    const auto slash = keyPath.rfind('/');
    if (slash == std::string::npos) return false;
    folders = splitFolders(keyPath.substr(0, slash));
    key = keyPath.substr(slash + 1);
    return true;
}

std::string lineAndColumn(const std::string& text, std::size_t byte) {
    std::size_t line = 1, column = 1;
    for (std::size_t i = 0; i < text.size() && i + 1 < byte; ++i) {
        if (text[i] == '\n') {
            ++line;
            column = 1;
        } else {
            ++column;
        }
    }
    return std::to_string(line) + ":" + std::to_string(column);
}

}  // namespace

Loaded<JsonProfile> JsonProfile::open(const std::string& path) {
    using Result = Loaded<JsonProfile>;
    JsonProfile profile;
    profile.path_ = path;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (errno == ENOENT) return Result{std::move(profile), {}};
        return Result::refused(path + ": " + std::strerror(errno));
    }
    std::ostringstream content;
    content << in.rdbuf();
    const std::string text = content.str();
    try {
        profile.data_ = nlohmann::ordered_json::parse(text);
    } catch (const nlohmann::json::parse_error& e) {
        std::string reason = e.what();
        if (const auto pos = reason.find("parse error"); pos != std::string::npos)
            reason = reason.substr(pos);
        return Result::refused(path + ":" + lineAndColumn(text, e.byte) + ": " + reason);
    }
    if (!profile.data_.is_object()) return Result::refused(path + ":1:1: the profile must be a JSON object");
    return Result{std::move(profile), {}};
}

const nlohmann::ordered_json* JsonProfile::find(const std::string& keyPath) const {
    std::vector<std::string> folders;
    std::string key;
    if (!splitKeyPath(keyPath, folders, key)) return nullptr;
    const nlohmann::ordered_json* node = &data_;
    for (const auto& folder : folders) {
        auto it = node->find(folder);
        if (it == node->end() || !it->is_object()) return nullptr;
        node = &*it;
    }
    auto it = node->find(key);
    return it == node->end() ? nullptr : &*it;
}

std::optional<std::int32_t> JsonProfile::getInt(const std::string& keyPath) const {
    const auto* value = find(keyPath);
    std::int64_t number = 0;
    if (value && value->is_number_integer()) {
        number = value->get<std::int64_t>();
    } else if (value && value->is_string()) {
        // As the host's text profiles do: "2" is the number 2.
        const std::string_view text = trimBlanks(std::string_view(value->get_ref<const std::string&>()));
        const char* end = text.data() + text.size();
        const auto [stop, error] = std::from_chars(text.data(), end, number);
        if (text.empty() || error != std::errc() || stop != end) return std::nullopt;
    } else {
        return std::nullopt;
    }
    if (number < std::numeric_limits<std::int32_t>::min() ||
        number > std::numeric_limits<std::int32_t>::max())
        return std::nullopt;
    return static_cast<std::int32_t>(number);
}

std::optional<std::string> JsonProfile::getString(const std::string& keyPath) const {
    const auto* value = find(keyPath);
    if (!value || value->is_null() || value->is_number_integer()) return std::nullopt;
    if (value->is_string()) return value->get<std::string>();
    // A list, an object, a truth value or a fraction is handed out as its JSON text, so a reader
    // sees that something is stored, and that it is not the text it expects.
    return value->dump();
}

bool JsonProfile::set(const std::string& keyPath, nlohmann::ordered_json value) {
    std::vector<std::string> folders;
    std::string key;
    if (!splitKeyPath(keyPath, folders, key)) return false;
    // In a batch the copy taken at its start is the one to go back to.
    const auto before = batch_ ? nlohmann::ordered_json() : data_;
    nlohmann::ordered_json* node = &data_;
    for (const auto& folder : folders) {
        auto& child = (*node)[folder];
        if (!child.is_object()) child = nlohmann::ordered_json::object();
        node = &child;
    }
    (*node)[key] = std::move(value);
    if (batch_ || save()) return true;
    data_ = before;  // what is not on disk is not stored
    return false;
}

bool JsonProfile::setInt(const std::string& keyPath, std::int32_t value) { return set(keyPath, value); }

bool JsonProfile::setString(const std::string& keyPath, const std::string& value) {
    return set(keyPath, value);
}

bool JsonProfile::deleteSection(const std::string& sectionPath) {
    const auto folders = splitFolders(sectionPath);
    nlohmann::ordered_json* node = &data_;
    for (std::size_t i = 0; i + 1 < folders.size(); ++i) {
        auto it = node->find(folders[i]);
        if (it == node->end() || !it->is_object()) return false;
        node = &*it;
    }
    const auto before = batch_ ? nlohmann::ordered_json() : data_;
    if (node->erase(folders.back()) == 0) return false;
    if (batch_ || save()) return true;
    data_ = before;
    return false;
}

void JsonProfile::beginBatch() {
    batchBefore_ = data_;
    batch_ = true;
}

bool JsonProfile::commit() {
    batch_ = false;
    if (save()) return true;
    data_ = std::move(batchBefore_);
    return false;
}

bool JsonProfile::save() const {
    if (path_.empty()) return true;
    std::string temporary = path_ + ".XXXXXX";
    const int fd = mkstemp(temporary.data());
    if (fd < 0) {
        logLine("profile " + path_ + ": cannot write: " + std::strerror(errno));
        return false;
    }
    const std::string text = data_.dump(2) + "\n";
    bool ok = true;
    for (std::size_t done = 0; ok && done < text.size();) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += static_cast<std::size_t>(n);
    }
    // The rename makes the change atomic for a crash of either process; no fsync, since the plug-in
    // writes a map key by key.
    ok = ok && ::fchmod(fd, 0644) == 0;
    ok = (::close(fd) == 0) && ok;
    if (ok && std::rename(temporary.c_str(), path_.c_str()) == 0) return true;
    logLine("profile " + path_ + ": cannot write: " + std::strerror(errno));
    ::unlink(temporary.c_str());
    return false;
}

}  // namespace tesmor::host
