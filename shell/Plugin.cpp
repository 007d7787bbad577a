#include "Plugin.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "HostDevices.h"
#include "HostServices.h"
#include "LanguageResources.h"
#include "TesmorVersion.h"
#include "host_api.h"
#include "modbus/ConnectionSettings.h"
#include "modbus/DeviceMonitor.h"
#include "modbus/ModbusServer.h"
#include "platform/Guarded.h"
#include "platform/ResourceIds.h"
#include "publish/DocumentProcessing.h"
#include "results/DataBaseConnection.h"
#include "results/FilterSettings.h"
#include "tesmor_diagnostics.h"
#include "ui/PluginWindows.h"

#define TESMOR_EXPORT extern "C" __attribute__((visibility("default")))

namespace tesmor {

namespace {

constexpr PluginInfo kPluginInfo{
    sizeof(PluginInfo),
    u"Велмар: Modbus",
    TESMOR_HOST_INTERFACE_VERSION,
    u"Плагин для подключения к Modbus Master устройствам.",
    u"tesmor developers",
    u"support@tesmor.example",
    u"© 2026 tesmor developers. All rights reserved.",
    u"https://tesmor.example",
    {0x7a, 0x3e, 0x51, 0x0c, 0x94, 0x2b, 0x4f, 0x6d, 0xa1, 0x58, 0x0e, 0xc3, 0x27, 0xd9, 0x86, 0x14},
};

// Everything one Load builds and its Unload tears down. The library itself stays mapped after
// the host unloads it (Qt keeps pointers into it), so a later Load of the same file must not
// find the registers, flags or map of the earlier one. Members are destroyed in reverse order:
// the monitor and the transports stop before what they use goes.
struct PluginInstance {
    HostProfile profile;
    CurrentStrings strings;
    ModbusServer server{profile, strings};
    FilterSettings filters;  // read and reloaded on the host's event thread only, like rejectNotice
    RejectNotice rejectNotice = RejectNotice::Box;
    HostDevices devices;
    DeviceMonitor monitor{server, devices};

    uint32_t modulesLoadedSubscription = 0;
    uint32_t documentUpdateSubscription = 0;
    uint32_t menuCommandRegistration = 0;
    bool subscribed = false;
    bool commandRegistered = false;
};

// Null before Load and after Unload; only the host's event thread changes it.
std::unique_ptr<PluginInstance> g_plugin;

// What functions 17 and 43 tell a master. Masters show only printable ASCII, so a company name
// of the resources in another script gives way to the description's ASCII one.
DeviceIdentity deviceIdentity() {
    DeviceIdentity d;
    const TesmorResourceTable* table = currentResources().table();
    std::u16string_view company;
    for (std::uint32_t i = 0; table && i < table->versionValueCount; ++i)
        if (std::u16string_view(table->versionValues[i].name) == u"CompanyName") {
            company = table->versionValues[i].value;
            break;
        }
    const std::string ascii = printableAscii(company, "");
    d.vendorName = !ascii.empty() && ascii.size() == company.size()
                       ? ascii
                       : printableAscii(kPluginInfo.company, d.vendorName);
    d.revision = TESMOR_VERSION;  // the release; kPluginInfo.version is the host interface's word
    d.vendorUrl = printableAscii(kPluginInfo.web, d.vendorUrl);
    return d;
}

void chooseLanguage() {
    static constexpr const char* kService = "System/GetLanguage";
    if (!hostHasService(kService)) return;
    const auto languageId = static_cast<std::uint16_t>(callHostService(kService, 0, 0) & 0xFFFF);
    chooseLanguageResources(languageId);
}

void createMenuItem() {
    constexpr std::size_t kBufferLength = 256;  // terminator included
    std::u16string path = currentResources().loadString(res::kPluginMenu);
    if (path.size() > kBufferLength - 1) path.resize(kBufferLength - 1);
    MenuItemRecord record{sizeof(MenuItemRecord), path.c_str(), 0, kMenuCommand};
    callHostService("MainMenu/CreateNewMenu", 0, reinterpret_cast<intptr_t>(&record));
}

void takeDatabaseLocation() {
    static constexpr const char* kService = "DB/GetConnectionUri";
    if (!hostHasService(kService)) return;
    const auto* text = reinterpret_cast<const char16_t*>(callHostService(kService, 0, 0));
    DataBaseConnection::instance().setConnectionUri(text);
}

// Returns the plug-in to the state of a freshly loaded library: nothing running, nothing held
// from the host, the built-in texts.
void tearDown() {
    PluginInstance* plugin = g_plugin.get();
    if (plugin) plugin->monitor.setObserver({});
    // No Qt object of the plug-in may outlive the library.
    ui::closeWindows();
    if (plugin) {
        plugin->server.stop();
        const HostApi* host = hostApi();
        if (host && plugin->subscribed && host->unsubscribe) {
            host->unsubscribe(plugin->modulesLoadedSubscription);
            host->unsubscribe(plugin->documentUpdateSubscription);
        }
        plugin->subscribed = false;
        if (host && plugin->commandRegistered && host->unregisterCommand)
            host->unregisterCommand(plugin->menuCommandRegistration);
        plugin->commandRegistered = false;
        plugin->monitor.stop();
    }
    g_plugin.reset();
    setProfileFolder({});
    DataBaseConnection::instance().setConnectionUri(nullptr);
    useBuiltInResources();
    setHostApi(nullptr);
}

}  // namespace

int onModulesLoaded(intptr_t) noexcept {
    guarded("ModulesLoaded", [] {
        PluginInstance* plugin = g_plugin.get();
        if (!plugin) return;
        chooseLanguage();
        plugin->server.setIdentity(deviceIdentity());
        if (const HostApi* host = hostApi(); host && host->registerCommand && !plugin->commandRegistered) {
            plugin->menuCommandRegistration = host->registerCommand(kMenuCommand, &onMenuCommand);
            plugin->commandRegistered = true;
        }
        createMenuItem();
        takeDatabaseLocation();
        setProfileFolder(u"plugins\\tesmor");
        plugin->monitor.start();
        plugin->server.setReloadHook([plugin] {
            plugin->filters.load(plugin->profile);
            plugin->rejectNotice = plugin->profile.getInt(kSettingsSection, kRejectNoticeKey, 0) == 1
                                       ? RejectNotice::Line
                                       : RejectNotice::Box;
        });
        ui::installMessageBoxes(currentResources());
        plugin->server.restart();
    });
    return 0;
}

int onDocumentUpdate(intptr_t assayId) noexcept {
    guarded("DocumentUpdate", [assayId] {
        PluginInstance* plugin = g_plugin.get();
        if (!plugin) return;
        ModbusServer& server = plugin->server;
        // Settings saved in the connection dialog (only with a main window) take effect now.
        if (server.startPending() || ui::settingsSaved()) {
            server.restart();
            ui::rebuildMainWindowList();
            ui::clearSettingsSaved();
            return;
        }
        // Whatever fails here leaves the registers as they were; the list shows them either way.
        std::optional<DocumentOutcome> outcome;
        if (guarded("DocumentUpdate: reloading the configuration",
                    [&server] { server.reloadConfiguration(); }))
            outcome = publishDocument(server, static_cast<std::int32_t>(assayId), plugin->filters,
                                      plugin->rejectNotice);
        if (outcome && outcome->published)
            ui::showRejection({});
        else if (outcome && !outcome->rejection.empty() && plugin->rejectNotice == RejectNotice::Line)
            ui::showRejection(outcome->rejection);
        ui::rebuildMainWindowList();
    });
    return 0;
}

int onMenuCommand(intptr_t hostWindow) noexcept {
    guarded("MenuCommand", [hostWindow] {
        PluginInstance* plugin = g_plugin.get();
        if (!plugin) return;
        const bool existed = ui::mainWindowExists();
        ui::WindowServices services{&plugin->server,
                                    &plugin->profile,
                                    &currentResources(),
                                    currentResourceModulePath(),
                                    [plugin] { return plugin->monitor.devices(); },
                                    otherLanguageResources()};
        if (!ui::showMainWindow(hostWindow, std::move(services)) || existed) return;
        plugin->monitor.setObserver([refresh = ui::mainWindowRefresher()](const DeviceInfo&) {
            if (refresh) refresh();
        });
    });
    return 0;
}

}  // namespace tesmor

using namespace tesmor;

TESMOR_EXPORT const PluginInfo* GetPluginInfo(void) { return &kPluginInfo; }

TESMOR_EXPORT uint32_t TesmorModbusStats(char* buffer, uint32_t size) {
    std::uint32_t length = 0;
    guarded("TesmorModbusStats", [&] {
        const PluginInstance* plugin = g_plugin.get();
        if (!plugin) return;
        const ModbusServer& server = plugin->server;
        std::string text = countersLine(Transport::Tcp, server.counters(Transport::Tcp)) + "\n" +
                           countersLine(Transport::Rtu, server.counters(Transport::Rtu)) + "\n";
        // Only where TLS is on, so the two lines masters and scripts know stay as they are.
        if (server.running(Transport::Tls))
            text += countersLine(Transport::Tls, server.counters(Transport::Tls)) + "\n";
        length = static_cast<std::uint32_t>(text.size());
        if (buffer && size > 0) {
            const std::size_t n = std::min<std::size_t>(text.size(), size - 1);
            std::memcpy(buffer, text.data(), n);
            buffer[n] = '\0';
        }
    });
    return length;
}

TESMOR_EXPORT int Load(const HostApi* host) {
    guarded("Load", [host] {
        // A second Load without Unload starts afresh as well.
        if (g_plugin) tearDown();
        setHostApi(host);
        g_plugin = std::make_unique<PluginInstance>();
        if (!host || !host->subscribe) return;
        g_plugin->modulesLoadedSubscription = host->subscribe(kModulesLoadedEvent, &onModulesLoaded);
        g_plugin->documentUpdateSubscription = host->subscribe(kDocumentUpdateEvent, &onDocumentUpdate);
        g_plugin->subscribed = true;
    });
    return 0;
}

TESMOR_EXPORT int Unload(void) {
    guarded("Unload", [] { tearDown(); });
    return 0;
}
