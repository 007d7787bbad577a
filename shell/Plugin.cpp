#include "Plugin.h"

#include <algorithm>
#include <cstring>
#include <functional>
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
#include "publish/AnalysisRecord.h"
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

// A step of the tear-down that is no member's own, run where it stands among the members.
class TearDownStep {
public:
    TearDownStep(const char* name, std::function<void()> step) : name_(name), step_(std::move(step)) {}
    ~TearDownStep() { guarded(name_, step_); }
    TearDownStep(const TearDownStep&) = delete;
    TearDownStep& operator=(const TearDownStep&) = delete;

private:
    const char* name_;
    std::function<void()> step_;
};

// Everything one Load builds and its Unload tears down. The library itself stays mapped after
// the host unloads it (Qt keeps pointers into it), so a later Load of the same file must not
// find the registers, flags, map, language, profile folder or database location of the earlier
// one. Members are destroyed in reverse order, which is the tear-down: the monitor's observer
// goes, the windows close, the server stops, the host gets its subscriptions and command back,
// the monitor stops; then the rest goes, the host's table last.
struct PluginInstance {
    explicit PluginInstance(const HostApi* api) : host(api) {}

    HostServices host;
    LanguageResources language;
    DataBaseConnection database;
    HostProfile profile{host};
    CurrentStrings strings{language};
    ModbusServer server{profile, strings};
    FilterSettings filters;  // read and reloaded on the host's event thread only, like rejectNotice
    RejectNotice rejectNotice = RejectNotice::Box;
    AnalysisRecord record;  // on the host's event thread only
    HostDevices devices{host};
    DeviceMonitor monitor{server, devices};  // stops when destroyed
    HostRegistrations registrations{host};
    // The windows use the server, so they close before it stops.
    TearDownStep stopServer{"stopping the server", [this] { server.stop(); }};
    ui::PluginWindows windows;
    TearDownStep clearObserver{"clearing the device observer", [this] { monitor.setObserver({}); }};
};

// Null before Load and after Unload; only the host's event thread changes it.
std::unique_ptr<PluginInstance> g_plugin;

// What functions 17 and 43 tell a master. Masters show only printable ASCII, so a company name
// of the resources in another script gives way to the description's ASCII one.
DeviceIdentity deviceIdentity(const Resources& resources) {
    DeviceIdentity d;
    const TesmorResourceTable* table = resources.table();
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

void chooseLanguage(PluginInstance& plugin) {
    static constexpr const char* kService = "System/GetLanguage";
    if (!plugin.host.hasService(kService)) return;
    const auto languageId = static_cast<std::uint16_t>(plugin.host.callService(kService, 0, 0) & 0xFFFF);
    plugin.language.choose(languageId);
}

void createMenuItem(const PluginInstance& plugin) {
    constexpr std::size_t kBufferLength = 256;  // terminator included
    std::u16string path = plugin.language.current().loadString(res::kPluginMenu);
    if (path.size() > kBufferLength - 1) path.resize(kBufferLength - 1);
    MenuItemRecord record{sizeof(MenuItemRecord), path.c_str(), 0, kMenuCommand};
    plugin.host.callService("MainMenu/CreateNewMenu", 0, reinterpret_cast<intptr_t>(&record));
}

void restartServer(PluginInstance& plugin) {
    plugin.server.restart();
    plugin.record.configure(loadRecordSettings(plugin.profile), plugin.server);
}

void takeDatabaseLocation(PluginInstance& plugin) {
    static constexpr const char* kService = "DB/GetConnectionUri";
    if (!plugin.host.hasService(kService)) return;
    const auto* text = reinterpret_cast<const char16_t*>(plugin.host.callService(kService, 0, 0));
    plugin.database.setConnectionUri(text);
}

}  // namespace

int onModulesLoaded(intptr_t) noexcept {
    guarded("ModulesLoaded", [] {
        PluginInstance* plugin = g_plugin.get();
        if (!plugin) return;
        chooseLanguage(*plugin);
        plugin->server.setOtherLanguages(plugin->language.others());
        plugin->server.setIdentity(deviceIdentity(plugin->language.current()));
        plugin->registrations.registerCommand(kMenuCommand, &onMenuCommand);
        createMenuItem(*plugin);
        takeDatabaseLocation(*plugin);
        plugin->profile.setFolder(u"plugins\\tesmor");
        plugin->monitor.start();
        plugin->server.setReloadHook([plugin] {
            plugin->filters.load(plugin->profile);
            plugin->rejectNotice = plugin->profile.getInt(kSettingsSection, kRejectNoticeKey, 0) == 1
                                       ? RejectNotice::Line
                                       : RejectNotice::Box;
        });
        plugin->windows.installMessageBoxes(plugin->language.current());
        restartServer(*plugin);
    });
    return 0;
}

int onDocumentUpdate(intptr_t assayId) noexcept {
    guarded("DocumentUpdate", [assayId] {
        PluginInstance* plugin = g_plugin.get();
        if (!plugin) return;
        ModbusServer& server = plugin->server;
        // Settings saved in the connection dialog (only with a main window) take effect now.
        if (server.startPending() || plugin->windows.settingsSaved()) {
            restartServer(*plugin);
            plugin->windows.rebuildMainWindowList();
            plugin->windows.clearSettingsSaved();
            return;
        }
        // Whatever fails here leaves the registers as they were; the list shows them either way.
        std::optional<DocumentOutcome> outcome;
        if (guarded("DocumentUpdate: reloading the configuration",
                    [&server] { server.reloadConfiguration(); }))
            outcome = publishDocument(plugin->database, server, static_cast<std::int32_t>(assayId),
                                      plugin->filters, plugin->rejectNotice);
        guarded("DocumentUpdate: recording the analysis", [&] { plugin->record.take(outcome, server); });
        if (outcome && outcome->published)
            plugin->windows.showRejection({});
        else if (outcome && !outcome->rejection.empty() && plugin->rejectNotice == RejectNotice::Line)
            plugin->windows.showRejection(outcome->rejection);
        plugin->windows.rebuildMainWindowList();
    });
    return 0;
}

int onMenuCommand(intptr_t hostWindow) noexcept {
    guarded("MenuCommand", [hostWindow] {
        PluginInstance* plugin = g_plugin.get();
        if (!plugin) return;
        const bool existed = plugin->windows.mainWindowExists();
        ui::WindowServices services{&plugin->server,
                                    &plugin->profile,
                                    &plugin->language.current(),
                                    plugin->language.currentModulePath(),
                                    [plugin] { return plugin->monitor.devices(); },
                                    plugin->language.others(),
                                    &plugin->database};
        if (!plugin->windows.showMainWindow(hostWindow, std::move(services)) || existed) return;
        plugin->monitor.setObserver([refresh = plugin->windows.mainWindowRefresher()](const DeviceInfo&) {
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
        // A second Load without Unload starts afresh as well: the first instance goes before the
        // second is made.
        g_plugin.reset();
        g_plugin = std::make_unique<PluginInstance>(host);
        g_plugin->registrations.subscribe(kModulesLoadedEvent, &onModulesLoaded);
        g_plugin->registrations.subscribe(kDocumentUpdateEvent, &onDocumentUpdate);
    });
    return 0;
}

TESMOR_EXPORT int Unload(void) {
    guarded("Unload", [] { g_plugin.reset(); });
    return 0;
}
