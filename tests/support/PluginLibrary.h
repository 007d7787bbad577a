#pragma once
// A private copy of a plug-in library, loaded through platform's SharedLibrary. Each copy is a
// fresh instance with its own process-wide state, so tests do not see each other's start-up.
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "host_api.h"
#include "platform/SharedLibrary.h"
#include "support/TempDir.h"

namespace tesmor::test {

class PluginLibrary {
public:
    // Copies `plugin` (and each of `companions`, by file name) into `dir` and loads the copy.
    PluginLibrary(const std::filesystem::path& plugin, const std::filesystem::path& dir,
                  const std::vector<std::filesystem::path>& companions = {}) {
        for (const auto& file : companions)
            std::filesystem::copy_file(file, dir / file.filename(),
                                       std::filesystem::copy_options::overwrite_existing);
        const auto copy = dir / plugin.filename();
        std::filesystem::copy_file(plugin, copy, std::filesystem::copy_options::overwrite_existing);
        open(copy);
    }
    // Loads `file` as it is, with no copy: the same file loaded again, as a host does after an
    // Unload (never overwrite a file that may still be mapped).
    explicit PluginLibrary(const std::filesystem::path& file) { open(file); }
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;

    const PluginInfo* (*getPluginInfo)() = nullptr;
    int (*load)(const HostApi*) = nullptr;
    int (*unload)() = nullptr;

    const std::filesystem::path& path() const noexcept { return path_; }

private:
    void open(const std::filesystem::path& file) {
        path_ = file;
        library_ = SharedLibrary(file.string());
        if (!library_) throw std::runtime_error(library_.error());
        getPluginInfo = library_.function<const PluginInfo* (*)()>("GetPluginInfo");
        load = library_.function<int (*)(const HostApi*)>("Load");
        unload = library_.function<int (*)()>("Unload");
        if (!getPluginInfo || !load || !unload) {
            library_ = SharedLibrary();
            throw std::runtime_error("not a plug-in: " + file.string());
        }
    }

    std::filesystem::path path_;
    SharedLibrary library_;
};

}  // namespace tesmor::test
