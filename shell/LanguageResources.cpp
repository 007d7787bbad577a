#include "LanguageResources.h"

#include <atomic>

#include "BuiltInResources.h"
#include "platform/Language.h"
#include "platform/Log.h"
#include "platform/ModulePath.h"
#include "platform/SharedLibrary.h"

namespace tesmor {

namespace {
const Resources g_builtIn{builtInResourceTable()};
// Written once before any other thread starts; atomics keep later readers honest.
std::atomic<const Resources*> g_current{&g_builtIn};
Resources g_loaded{nullptr};
std::string g_loadedPath;

std::string ownModulePath() { return modulePath(reinterpret_cast<const void*>(&builtInResourceTable)); }
}  // namespace

const Resources& currentResources() noexcept { return *g_current.load(); }

std::string currentResourceModulePath() {
    return g_current.load() == &g_loaded ? g_loadedPath : ownModulePath();
}

void useBuiltInResources() noexcept { g_current = &g_builtIn; }

namespace {
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

void chooseLanguageResources(std::uint16_t languageId) {
    constexpr std::uint16_t kRussian = 1049;
    if (languageId == kRussian) return;
    const auto abbreviation = languageAbbreviation(languageId);
    if (!abbreviation) return;
    std::string path;
    const TesmorResourceTable* table = libraryTable(*abbreviation, path);
    if (!table) return;  // the built-in texts stay
    g_loaded = Resources(table);
    g_loadedPath = path;
    g_current = &g_loaded;
}

std::vector<const StringSource*> otherLanguageResources() {
    static const Resources english = [] {
        std::string path;
        return Resources(libraryTable("ENU", path));
    }();
    std::vector<const StringSource*> others;
    if (g_current.load() != &g_builtIn) others.push_back(&g_builtIn);
    if (english.table() && english.table() != currentResources().table()) others.push_back(&english);
    return others;
}

}  // namespace tesmor
