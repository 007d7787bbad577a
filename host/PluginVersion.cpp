#include "PluginVersion.h"

#include <iostream>
#include <string_view>

#include "TesmorVersion.h"
#include "platform/SharedLibrary.h"
#include "platform/Text.h"

namespace tesmor::host {

// PluginInfo's version is the word of the host interface, which the host contract fixes whatever the
// release. A plug-in that speaks this host's interface is taken for the release the host comes with
// (TesmorVersion.h; one package installs both); of any other, the host can only show the word.
std::string describe(const PluginInfo& info) {
    const std::string name = toUtf8(std::u16string_view(info.name, textLength(info.name)));
    if (info.version == TESMOR_HOST_INTERFACE_VERSION) return name + " " TESMOR_VERSION;
    const auto v = info.version;
    return name + " (host interface " + std::to_string(v >> 24) + "." + std::to_string((v >> 16) & 0xFF) +
           "." + std::to_string((v >> 8) & 0xFF) + "." + std::to_string(v & 0xFF) + ")";
}

int printVersion(const std::string& plugin) {
    std::cout << "tesmor-host " TESMOR_VERSION << std::endl;
    const SharedLibrary library(plugin);
    if (!library) {
        std::cerr << "tesmor-host: cannot load the plug-in: " << library.error() << std::endl;
        return 1;
    }
    auto getInfo = library.function<const PluginInfo* (*)()>("GetPluginInfo");
    const PluginInfo* info = getInfo ? getInfo() : nullptr;
    if (info)
        std::cout << "plug-in " << plugin << ": " << describe(*info) << std::endl;
    else
        std::cerr << "tesmor-host: " << plugin << " is not a tesmor plug-in" << std::endl;
    return info ? 0 : 1;
}

}  // namespace tesmor::host
