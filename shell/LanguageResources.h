#pragma once
// Which resources the plug-in shows: the built-in Russian ones, or those of a language library
// loaded at start-up; and the other languages whose texts a map file may hold. Chosen once on
// the host's event thread; read from any thread afterwards.
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/Resources.h"

namespace tesmor {

class LanguageResources {
public:
    // The built-in resources.
    LanguageResources() noexcept;
    LanguageResources(const LanguageResources&) = delete;
    LanguageResources& operator=(const LanguageResources&) = delete;

    const Resources& current() const noexcept { return *current_.load(); }
    // Path of the module that supplies the current resources (the plug-in's own file by default).
    std::string currentModulePath() const;

    // Loads the resource library for `languageId` beside the plug-in's own file. 1049 and unknown
    // ids keep the built-in resources, as does a library that is missing or offers no table.
    // A loaded library is never unloaded.
    void choose(std::uint16_t languageId);

    // The other languages the plug-in knows (the built-in Russian resources and the English
    // library beside the plug-in, whichever is not current), for map files written in them. Call
    // after choose, on the host's event thread.
    std::vector<const StringSource*> others();

private:
    const Resources builtIn_;
    Resources loaded_{nullptr};
    std::string loadedPath_;
    // Written before any other thread starts; the atomic keeps later readers honest.
    std::atomic<const Resources*> current_;
    // The English library's, looked for at the first call of others().
    std::optional<Resources> english_;
};

// Texts by string id from whatever resources are current.
class CurrentStrings final : public StringSource {
public:
    // `language` must outlive this object.
    explicit CurrentStrings(const LanguageResources& language) noexcept : language_(language) {}
    std::u16string loadString(unsigned id) const override { return language_.current().loadString(id); }

private:
    const LanguageResources& language_;
};

}  // namespace tesmor
