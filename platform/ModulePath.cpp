#include "ModulePath.h"

#include <dlfcn.h>

namespace tesmor {

std::string modulePath(const void* addressInModule) {
    Dl_info info{};
    if (dladdr(addressInModule, &info) == 0 || !info.dli_fname) return {};
    return info.dli_fname;
}

std::string languageLibraryPath(const std::string& path, const std::string& abbreviation) {
    constexpr std::string_view ext = ".so";
    const auto slash = path.find_last_of('/');
    const auto dot = path.rfind(ext);
    const bool endsWithSo = dot != std::string::npos && dot + ext.size() == path.size() &&
                            (slash == std::string::npos || dot > slash);
    const std::string stem = endsWithSo ? path.substr(0, dot) : path;
    return stem + abbreviation + std::string(ext);
}

}  // namespace tesmor
