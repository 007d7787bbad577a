#include "Plugin.h"

#include <exception>
#include <optional>
#include <string>

#include "HostDevices.h"
#include "HostServices.h"
#include "LanguageResources.h"
#include "host_api.h"
#include "modbus/DeviceMonitor.h"
#include "modbus/ModbusServer.h"
#include "platform/Guarded.h"
#include "platform/Log.h"
#include "platform/Text.h"
#include "results/DataBaseConnection.h"
#include "results/DocumentProcessing.h"
#include "results/FilterSettings.h"
#include "ui/PluginWindows.h"

#define TESMOR_EXPORT extern "C" __attribute__((visibility("default")))

namespace tesmor {

namespace {

constexpr PluginInfo kPluginInfo{
    sizeof(PluginInfo),
    u"Велмар: Modbus",
    0x01010001,
    u"Плагин для подключения к Modbus Master устройствам.",
    u"tesmor developers",
    u"support@tesmor.example",
    u"© 2026 tesmor developers. All rights reserved.",
    u"https://tesmor.example",
    {0x7a, 0x3e, 0x51, 0x0c, 0x94, 0x2b, 0x4f, 0x6d, 0xa1, 0x58, 0x0e, 0xc3, 0x27, 0xd9, 0x86, 0x14},
};

struct PluginState {
    uint32_t modulesLoadedSubscription = 0;
    uint32_t documentUpdateSubscription = 0;
    uint32_t menuCommandRegistration = 0;
    bool subscribed = false;
    bool commandRegistered = false;
};

PluginState g_state;

// Built when the library is loaded, in this order, and torn down in reverse when it is unloaded.
HostProfile g_profile;
CurrentStrings g_strings;
ModbusServer g_server(g_profile, g_strings);
FilterSettings g_filters;  // read and reloaded on the host's event thread only
HostDevices g_devices;
DeviceMonitor g_monitor(g_server, g_devices);

void chooseLanguage() {
    static constexpr const char* kService = "System/GetLanguage";
    if (!hostHasService(kService)) return;
    const auto languageId = static_cast<std::uint16_t>(callHostService(kService, 0, 0) & 0xFFFF);
    chooseLanguageResources(languageId);
}

void createMenuItem() {
    constexpr std::size_t kBufferLength = 256;  // terminator included
    std::u16string path = currentResources().loadString(103);
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

}  // namespace

int onModulesLoaded(intptr_t) noexcept {
    guarded("ModulesLoaded", [] {
        chooseLanguage();
        if (const HostApi* host = hostApi(); host && host->registerCommand) {
            g_state.menuCommandRegistration = host->registerCommand(kMenuCommand, &onMenuCommand);
            g_state.commandRegistered = true;
        }
        createMenuItem();
        takeDatabaseLocation();
        setProfileFolder(u"plugins\\tesmor");
        g_monitor.start();
        g_server.setReloadHook([] { g_filters.load(g_profile); });
        ui::installMessageBoxes(currentResources());
        g_server.restart();
    });
    return 0;
}

int onDocumentUpdate(intptr_t assayId) noexcept {
    guarded("DocumentUpdate", [assayId] {
        g_server.setCurrentAssayId(static_cast<std::int32_t>(assayId));
        // Settings saved in the connection dialog (only with a main window) take effect now.
        if (g_server.startPending() || ui::settingsSaved()) {
            g_server.restart();
            ui::rebuildMainWindowList();
            ui::clearSettingsSaved();
            return;
        }
        g_server.reloadConfiguration();
        try {
            processDocument(g_server, g_filters);
        } catch (const DataBase::SqlException& e) {
            // Nothing was written: every read comes before the first register write.
            logLine("assay " + std::to_string(assayId) + " not published: database error " + std::to_string(e.code()) +
                    ": " + e.what() + (e.sql().empty() ? "" : " [" + e.sql() + "]"));
        }
        ui::rebuildMainWindowList();
    });
    return 0;
}

int onMenuCommand(intptr_t hostWindow) noexcept {
    guarded("MenuCommand", [hostWindow] {
        const bool existed = ui::mainWindowExists();
        ui::WindowServices services{&g_server, &g_profile, &currentResources(), currentResourceModulePath(),
                                    [] { return g_monitor.devices(); }, otherLanguageResources()};
        if (!ui::showMainWindow(hostWindow, std::move(services)) || existed) return;
        g_monitor.setObserver([refresh = ui::mainWindowRefresher()](const DeviceInfo&) {
            if (refresh) refresh();
        });
    });
    return 0;
}

}  // namespace tesmor

using namespace tesmor;

TESMOR_EXPORT const PluginInfo* GetPluginInfo(void) { return &kPluginInfo; }

TESMOR_EXPORT int Load(const HostApi* host) {
    guarded("Load", [host] {
        setHostApi(host);
        if (!host || !host->subscribe) return;
        g_state.modulesLoadedSubscription = host->subscribe(kModulesLoadedEvent, &onModulesLoaded);
        g_state.documentUpdateSubscription = host->subscribe(kDocumentUpdateEvent, &onDocumentUpdate);
        g_state.subscribed = true;
    });
    return 0;
}

TESMOR_EXPORT int Unload(void) {
    guarded("Unload", [] {
        // No Qt object of the plug-in may outlive the library.
        g_monitor.setObserver({});
        ui::closeWindows();
        g_server.stop();
        const HostApi* host = hostApi();
        if (host && g_state.subscribed && host->unsubscribe) {
            host->unsubscribe(g_state.modulesLoadedSubscription);
            host->unsubscribe(g_state.documentUpdateSubscription);
        }
        g_state.subscribed = false;
        if (host && g_state.commandRegistered && host->unregisterCommand)
            host->unregisterCommand(g_state.menuCommandRegistration);
        g_state.commandRegistered = false;
        g_monitor.stop();
    });
    return 0;
}
