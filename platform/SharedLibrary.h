#pragma once
// A library loaded at run time (dlopen), closed when its owner goes, and the resource table a
// language library offers. Used by the plug-in for its language library, by the stand-in host
// for the plug-in, and by the tools and tests that load either.
#include <string>

#include "platform/ResourceTable.h"

namespace tesmor {

class SharedLibrary {
public:
    SharedLibrary() = default;
    // Loads `path` with its symbols resolved now and kept to itself; empty, with error() saying
    // why, when it cannot.
    explicit SharedLibrary(const std::string& path);
    ~SharedLibrary();
    SharedLibrary(SharedLibrary&& other) noexcept;
    SharedLibrary& operator=(SharedLibrary&& other) noexcept;
    SharedLibrary(const SharedLibrary&) = delete;
    SharedLibrary& operator=(const SharedLibrary&) = delete;

    explicit operator bool() const noexcept { return handle_ != nullptr; }
    const std::string& error() const noexcept { return error_; }

    // The function `name` of the library as type F; null when it has none.
    template <class F>
    F function(const char* name) const noexcept {
        return handle_ ? reinterpret_cast<F>(lookUp(name)) : nullptr;
    }
    // Leaves the library loaded until the process ends, for data of it that stays in use.
    void keepLoaded() noexcept { handle_ = nullptr; }

private:
    void* lookUp(const char* name) const noexcept;

    void* handle_ = nullptr;
    std::string error_;
};

// The resource table of a language library; null when it offers none or one too small to be one.
const TesmorResourceTable* resourceTableOf(const SharedLibrary& library) noexcept;

}  // namespace tesmor
