#pragma once
// A private copy of a plug-in library, loaded with dlopen. Each copy is a fresh instance with
// its own process-wide state, so tests do not see each other's start-up.
#include <dlfcn.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "host_api.h"
#include "support/TempDir.h"

namespace tesmor::test {

class PluginLibrary {
public:
    // Copies `plugin` (and each of `companions`, by file name) into `dir` and loads the copy.
    PluginLibrary(const std::filesystem::path& plugin, const std::filesystem::path& dir,
                  const std::vector<std::filesystem::path>& companions = {}) {
        for (const auto& file : companions)
            std::filesystem::copy_file(file, dir / file.filename(), std::filesystem::copy_options::overwrite_existing);
        const auto copy = dir / plugin.filename();
        std::filesystem::copy_file(plugin, copy, std::filesystem::copy_options::overwrite_existing);
        handle_ = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle_) throw std::runtime_error(dlerror());
        getPluginInfo = reinterpret_cast<const PluginInfo* (*)()>(dlsym(handle_, "GetPluginInfo"));
        load = reinterpret_cast<int (*)(const HostApi*)>(dlsym(handle_, "Load"));
        unload = reinterpret_cast<int (*)()>(dlsym(handle_, "Unload"));
        if (!getPluginInfo || !load || !unload) throw std::runtime_error("not a plug-in: " + copy.string());
    }
    ~PluginLibrary() { dlclose(handle_); }
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;

    const PluginInfo* (*getPluginInfo)() = nullptr;
    int (*load)(const HostApi*) = nullptr;
    int (*unload)() = nullptr;

private:
    void* handle_ = nullptr;
};

}  // namespace tesmor::test
