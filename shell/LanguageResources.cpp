#include "LanguageResources.h"

#include <dlfcn.h>

#include <atomic>

#include "BuiltInResources.h"
#include "platform/Language.h"
#include "platform/Log.h"
#include "platform/ModulePath.h"

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

void chooseLanguageResources(std::uint16_t languageId) {
    constexpr std::uint16_t kRussian = 1049;
    if (languageId == kRussian) return;
    const auto abbreviation = languageAbbreviation(languageId);
    if (!abbreviation) return;
    const std::string own = ownModulePath();
    if (own.empty()) return;
    const std::string path = languageLibraryPath(own, *abbreviation);
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library) return;  // no library for this language: the built-in texts stay
    auto function = reinterpret_cast<TesmorResourceTableFunction>(dlsym(library, TESMOR_RESOURCE_TABLE_SYMBOL));
    const TesmorResourceTable* table = function ? function() : nullptr;
    if (!table || table->size < sizeof(TesmorResourceTable)) {
        logLine("resource library " + path + " offers no resource table; built-in texts kept");
        dlclose(library);
        return;
    }
    g_loaded = Resources(table);
    g_loadedPath = path;
    g_current = &g_loaded;
}

}  // namespace tesmor
