#include "platform/SharedLibrary.h"

#include <dlfcn.h>

#include <utility>

namespace tesmor {

SharedLibrary::SharedLibrary(const std::string& path) : handle_(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {
    if (handle_) return;
    const char* why = dlerror();
    error_ = why ? why : path + ": cannot be loaded";
}

SharedLibrary::~SharedLibrary() {
    if (handle_) dlclose(handle_);
}

SharedLibrary::SharedLibrary(SharedLibrary&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)), error_(std::move(other.error_)) {}

SharedLibrary& SharedLibrary::operator=(SharedLibrary&& other) noexcept {
    if (this != &other) {
        if (handle_) dlclose(handle_);
        handle_ = std::exchange(other.handle_, nullptr);
        error_ = std::move(other.error_);
    }
    return *this;
}

void* SharedLibrary::lookUp(const char* name) const noexcept { return dlsym(handle_, name); }

const TesmorResourceTable* resourceTableOf(const SharedLibrary& library) noexcept {
    const auto function = library.function<TesmorResourceTableFunction>(TESMOR_RESOURCE_TABLE_SYMBOL);
    const TesmorResourceTable* table = function ? function() : nullptr;
    return table && table->size >= sizeof(TesmorResourceTable) ? table : nullptr;
}

}  // namespace tesmor
