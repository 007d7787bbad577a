#include "LanguageResources.h"

#include "BuiltInResources.h"
#include "platform/Language.h"
#include "platform/Log.h"
#include "platform/ModulePath.h"
#include "platform/SharedLibrary.h"

namespace tesmor {

namespace {

std::string ownModulePath() { return modulePath(reinterpret_cast<const void*>(&builtInResourceTable)); }

// The table of the library for `abbreviation` beside the plug-in; null without one.
const TesmorResourceTable* libraryTable(const std::string& abbreviation, std::string& path) {
    const std::string own = ownModulePath();
    if (own.empty()) return nullptr;
    path = languageLibraryPath(own, abbreviation);
    SharedLibrary library(path);
    if (!library) return nullptr;  // no library for this language
    const TesmorResourceTable* table = resourceTableOf(library);
    if (!table) {
        logLine("resource library " + path + " offers no resource table; built-in texts kept");
        return nullptr;
    }
    library.keepLoaded();  // the table is static data of the library
    return table;
}

}  // namespace

LanguageResources::LanguageResources() noexcept : builtIn_(builtInResourceTable()), current_(&builtIn_) {}

std::string LanguageResources::currentModulePath() const {
    return current_.load() == &loaded_ ? loadedPath_ : ownModulePath();
}

void LanguageResources::choose(std::uint16_t languageId) {
    constexpr std::uint16_t kRussian = 1049;
    if (languageId == kRussian) return;
    const auto abbreviation = languageAbbreviation(languageId);
    if (!abbreviation) return;
    std::string path;
    const TesmorResourceTable* table = libraryTable(*abbreviation, path);
    if (!table) return;  // the built-in texts stay
    loaded_ = Resources(table);
    loadedPath_ = path;
    current_ = &loaded_;
}

std::vector<const StringSource*> LanguageResources::others() {
    if (!english_) {
        std::string path;
        english_.emplace(libraryTable("ENU", path));
    }
    std::vector<const StringSource*> others;
    if (current_.load() != &builtIn_) others.push_back(&builtIn_);
    if (english_->table() && english_->table() != current().table()) others.push_back(&*english_);
    return others;
}

}  // namespace tesmor
