#include "HostRun.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <QApplication>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QString>
#include <QTimer>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <memory>
#include <set>
#include <string>

#include "Console.h"
#include "DemoLab.h"
#include "Devices.h"
#include "HostCommands.h"
#include "HostCore.h"
#include "HostWindow.h"
#include "JsonProfile.h"
#include "LabDatabase.h"
#include "PluginVersion.h"
#include "host_api.h"
#include "platform/SharedLibrary.h"
#include "platform/Text.h"
#include "platform/UniqueFd.h"
#include "tesmor_diagnostics.h"

namespace fs = std::filesystem;

namespace tesmor::host {

namespace {

// SIGINT and SIGTERM, blocked in every thread from the start so that none of the plug-in's
// threads takes them.
sigset_t blockQuitSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    return set;
}

// The blocked signals, read on the event thread, quit like the quit command.
class QuitSignals {
public:
    QuitSignals(const sigset_t& set, QCoreApplication* loop)
        : fd_(signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK)) {
        QObject::connect(&notifier_, &QSocketNotifier::activated, [fd = fd_.get(), loop] {
            signalfd_siginfo info{};
            if (::read(fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) loop->quit();
        });
    }

private:
    UniqueFd fd_;
    QSocketNotifier notifier_{fd_.get(), QSocketNotifier::Read};
};

// The plug-in's entry points; the library stays loaded until the host has unloaded it.
struct PluginLibrary {
    SharedLibrary library;
    const PluginInfo* (*getInfo)() = nullptr;
    int (*load)(const HostApi*) = nullptr;
    int (*unload)() = nullptr;
    std::uint32_t (*stats)(char*, std::uint32_t) = nullptr;  // optional
};

PluginLibrary openPlugin(const std::string& path) {
    PluginLibrary plugin;
    plugin.library = SharedLibrary(path);
    if (!plugin.library) fail("cannot load the plug-in: " + plugin.library.error());
    plugin.getInfo = plugin.library.function<const PluginInfo* (*)()>("GetPluginInfo");
    plugin.load = plugin.library.function<int (*)(const HostApi*)>("Load");
    plugin.unload = plugin.library.function<int (*)()>("Unload");
    plugin.stats =
        plugin.library.function<std::uint32_t (*)(char*, std::uint32_t)>(TESMOR_MODBUS_STATS_SYMBOL);
    if (!plugin.getInfo || !plugin.load || !plugin.unload) fail(path + " is not a tesmor plug-in");
    return plugin;
}

std::unique_ptr<DemoLab> openDemo(const Options& options) {
    if (options.demo.empty()) return nullptr;
    std::unique_ptr<DemoLab> demo;
    try {
        demo = std::make_unique<DemoLab>(options.demo, options.port);
    } catch (const std::exception& e) {
        fail(std::string("cannot prepare the demo lab: ") + e.what());
    }
    std::cout << demo->mbpollCommands() << std::endl;
    HostCore::instance().setDevices(DemoLab::devicesAt(0));
    return demo;
}

void setUpHost(const Options& options) {
    auto& core = HostCore::instance();
    auto profile = JsonProfile::open(options.profile);
    if (!profile) fail(profile.problemText());
    core.setProfile(std::move(*profile.value));
    if (!options.devices.empty()) {
        auto devices = loadDevices(options.devices);
        if (!devices) fail(devices.problemText());
        core.setDevices(std::move(*devices.value));
    }
    if (options.language) {
        core.setLanguage(*options.language);
    } else {
        core.withdrawService("System/GetLanguage");
    }
    core.setDatabaseUri(toUtf16(fs::absolute(options.database).string()));
    if (options.trace)
        core.setCallObserver([](const HostCall& call) {
            std::cerr << "trace: " << call.function << " " << call.name << " " << call.detail << std::endl;
        });
}

// Assays already there at start are not news; each new visible one is raised once.
void startWatch(QTimer& timer, const std::string& database) {
    struct WatchState {
        std::set<std::int64_t> seen;
        std::string lastError;
    };
    auto state = std::make_shared<WatchState>();
    std::string error;
    for (auto id : visibleAssays(database, error)) state->seen.insert(id);
    QObject::connect(&timer, &QTimer::timeout, [state, database] {
        std::string error;
        const auto ids = visibleAssays(database, error);
        if (error != state->lastError && !error.empty()) say("watch: cannot read " + database + ": " + error);
        state->lastError = error;
        for (auto id : ids) {
            if (!state->seen.insert(id).second) continue;
            say("watch: new assay " + std::to_string(id));
            HostCore::instance().raise("System/DocumentUpdate", static_cast<intptr_t>(id));
        }
    });
    timer.start(1000);
}

// The demo's instruments change state every second, and a new analysis comes every ten.
void startDemo(QTimer& devices, QTimer& analyses, DemoLab& lab, HostWindow* window) {
    auto tick = std::make_shared<std::int64_t>(0);
    QObject::connect(&devices, &QTimer::timeout, [tick, window] {
        HostCore::instance().setDevices(DemoLab::devicesAt(++*tick));
        if (window) window->refreshDevices();
    });
    devices.start(1000);
    QObject::connect(&analyses, &QTimer::timeout, [&lab] {
        try {
            say("demo: analysis " + std::to_string(lab.addAnalysis(std::time(nullptr))) + " finished");
        } catch (const std::exception& e) {
            say(std::string("demo: ") + e.what());
        }
    });
    analyses.start(10000);
}

}  // namespace

int runHost(const Options& options, char* program) {
    std::unique_ptr<DemoLab> demo = openDemo(options);
    setUpHost(options);
    const sigset_t quitSignals = blockQuitSignals();
    // The plug-in takes the trace switch from the environment when its server is built.
    if (options.traceModbus) ::setenv("TESMOR_MODBUS_TRACE", "1", 1);
    PluginLibrary plugin = openPlugin(options.plugin);
    if (const PluginInfo* info = plugin.getInfo()) say("loaded " + options.plugin + ": " + describe(*info));
    say("profile " + options.profile + ", database " + options.database);

    const bool windowed = !options.headless && (std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY") ||
                                                std::getenv("QT_QPA_PLATFORM"));
    int qtArgc = 1;
    char* qtArgv[] = {program, nullptr};
    std::unique_ptr<QCoreApplication> app;
    std::unique_ptr<HostWindow> window;
    if (windowed) {
        app = std::make_unique<QApplication>(qtArgc, qtArgv);
        window = std::make_unique<HostWindow>();
    } else {
        app = std::make_unique<QCoreApplication>(qtArgc, qtArgv);
    }

    auto& core = HostCore::instance();
    plugin.load(core.api());
    core.raise("System/ModulesLoaded", 0);
    for (const auto& item : core.menuItems()) {
        say("menu item \"" + toUtf8(item.path) + "\"");
        if (window)
            window->addMenuItem(QString::fromStdU16String(item.path), QString::fromStdString(item.command));
    }
    if (window) window->show();

    // Signals and standard input are read on the event thread itself, like the host's own events:
    // no second thread touches the plug-in or the host's state.
    QuitSignals quitOnSignal(quitSignals, app.get());
    CommandInput input(Session{app.get(), window.get(), plugin.stats, helpText()});
    QTimer watchTimer, demoDevices, demoAnalyses;
    if (options.watch) startWatch(watchTimer, options.database);
    if (demo) startDemo(demoDevices, demoAnalyses, *demo, window.get());

    say(std::string("ready (") + (windowed ? "window" : "headless") + "); type help for the commands");
    app->exec();

    plugin.unload();
    window.reset();
    plugin.library = SharedLibrary();
    say("plug-in unloaded");
    return 0;
}

}  // namespace tesmor::host
