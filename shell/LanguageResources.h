#pragma once
// Which resources the plug-in shows: the built-in Russian ones, or those of a language library
// loaded at start-up. Chosen once on the host's event thread; read from any thread afterwards.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Resources.h"

namespace tesmor {

const Resources& currentResources() noexcept;
// Path of the module that supplies the current resources (the plug-in's own file by default).
std::string currentResourceModulePath();

// Loads the resource library for `languageId` beside the plug-in's own file. 1049 and unknown
// ids keep the built-in resources, as does a library that is missing or offers no table.
// A loaded library is never unloaded.
void chooseLanguageResources(std::uint16_t languageId);
// Back to the built-in resources, as at library load. Only while no other thread reads texts.
void useBuiltInResources() noexcept;

// The other languages the plug-in knows (the built-in Russian resources and the English library
// beside the plug-in, whichever is not current), for map files written in them. Call after
// chooseLanguageResources, on the host's event thread.
std::vector<const StringSource*> otherLanguageResources();

// Texts by string id from whatever resources are current.
class CurrentStrings final : public StringSource {
public:
    std::u16string loadString(unsigned id) const override { return currentResources().loadString(id); }
};

}  // namespace tesmor
