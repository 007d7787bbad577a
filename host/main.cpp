// tesmor-host: a stand-in for the chromatography data system. It loads the plug-in, offers the
// host services, keeps the profile in a JSON file and raises the host's events.
#include <dlfcn.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>

#include <QApplication>
#include <QCoreApplication>
#include <QMetaObject>
#include <QString>
#include <QSocketNotifier>
#include <QTimer>

#include "DemoLab.h"
#include "Devices.h"
#include "HostCore.h"
#include "HostWindow.h"
#include "JsonProfile.h"
#include "LabDatabase.h"
#include "MapFileCommands.h"
#include "host_api.h"
#include "tesmor_diagnostics.h"
#include "platform/Text.h"

namespace fs = std::filesystem;
using namespace tesmor;
using namespace tesmor::host;

namespace {

constexpr const char* kUsage = R"(Usage: tesmor-host [options]

A stand-in for the chromatography data system: loads the tesmor plug-in, offers it the host
services (profile, database location, devices, language, menu) and raises the host's events.

Options:
  --plugin PATH        plug-in to load (default: tesmor.so beside tesmor-host, or in its
                       installed library folder)
  --data-dir DIR       folder for the profile and the database (default: the current folder;
                       created when missing)
  --profile FILE       profile store, a JSON file (default: DIR/profile.json)
  --database FILE      SQLite database handed to the plug-in (default: DIR/lab.db)
  --language ID|none   language id the host reports (default 1049, Russian; 1033 English);
                       none: the host offers no language service
  --devices FILE       simulated devices, JSON: [{"name": "GC-1", "mode": 0, "lastError": 0}]
  --trace              log every call the plug-in makes to the host on standard error
  --trace-modbus       log every Modbus request and reply in hex, with the transport, the
                       master's address and a time stamp, on standard error (the same as
                       TESMOR_MODBUS_TRACE=1 in the environment)
  --watch              raise System/DocumentUpdate for every new visible assay that appears
                       in the database (checked about once a second)
  --headless           no window, even when a display is there (without DISPLAY,
                       WAYLAND_DISPLAY or QT_QPA_PLATFORM the host is always headless)
  --demo DIR           run the demo lab in DIR (created when missing): a natural-gas
                       laboratory with two chromatographs, a new analysis every ten seconds
                       and Modbus TCP on --port; implies --data-dir DIR and --watch
  --port N             the demo's Modbus TCP port when its lab is created (default 1502)
  --export-map FILE    write the register map of the profile to FILE (CSV), then exit
  --import-map FILE    replace the register map of the profile with the one in FILE, then
                       exit; a file with errors is refused whole (exit status 1, each error
                       as FILE:LINE: reason on standard error) and the profile is unchanged
  --export-tags FILE   write the tag list for the SCADA side (CSV) of the profile's register
                       map to FILE, then exit
                       (these three use the profile of --data-dir or --profile and the
                       captions of --language)
  --version            print the host's version and the plug-in's name and version, then exit
                       (exit status 1 when the plug-in cannot be loaded)
  --help               this text

Commands on standard input:
  update ID            raise System/DocumentUpdate with assay id ID
  menu                 run the plug-in's menu command
  profile              print the profile
  devices              list the devices
  stats                Modbus traffic, one line per transport: masters connected (TCP),
                       requests answered, exceptions sent, frames dropped, last answer
  device N mode V      set the mode of device N (from 0); also: device N error V,
                       device N name TEXT, device add NAME, device remove N
  help                 this list
  quit                 unload the plug-in and exit (also on SIGINT or SIGTERM)

Examples:
  tesmor-host --demo ./demo
  tesmor-host --data-dir /tmp/lab --language 1033 --trace
  tesmor-host --version
  tesmor-host --data-dir ./demo --export-map map.csv
)";

struct Options {
    std::string plugin;
    std::string dataDir = ".";
    std::string profile;
    std::string database;
    std::optional<std::uint16_t> language = 1049;
    std::string devices;
    bool trace = false;
    bool traceModbus = false;
    bool headless = false;
    bool watch = false;
    bool version = false;
    std::string demo;
    int port = 1502;
    std::optional<MapFileCommand> mapFile;
};

[[noreturn]] void fail(const std::string& message, int status = 2) {
    std::cerr << "tesmor-host: " << message << std::endl;
    std::_Exit(status);
}

std::string executableDir() {
    std::error_code error;
    const auto self = fs::read_symlink("/proc/self/exe", error);
    return error ? std::string(".") : self.parent_path().string();
}

std::optional<long> number(const std::string& text) {
    if (text.empty()) return std::nullopt;
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    return *end ? std::nullopt : std::optional<long>(v);
}

Options parseOptions(int argc, char** argv) {
    Options options;
    auto value = [&](int& i) -> std::string {
        if (i + 1 >= argc) fail(std::string(argv[i]) + " needs a value (see --help)");
        return argv[++i];
    };
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            std::exit(0);
        } else if (arg == "--version") {
            options.version = true;
        } else if (arg == "--plugin") {
            options.plugin = value(i);
        } else if (arg == "--data-dir") {
            options.dataDir = value(i);
        } else if (arg == "--profile") {
            options.profile = value(i);
        } else if (arg == "--database") {
            options.database = value(i);
        } else if (arg == "--devices") {
            options.devices = value(i);
        } else if (arg == "--language") {
            const std::string text = value(i);
            if (text == "none") {
                options.language.reset();
            } else {
                char* end = nullptr;
                const long id = std::strtol(text.c_str(), &end, 10);
                if (text.empty() || *end || id < 0 || id > 0xFFFF) fail("--language takes a number from 0 to 65535 or none");
                options.language = static_cast<std::uint16_t>(id);
            }
        } else if (arg == "--trace") {
            options.trace = true;
        } else if (arg == "--trace-modbus") {
            options.traceModbus = true;
        } else if (arg == "--demo") {
            options.demo = value(i);
            options.dataDir = options.demo;
            options.watch = true;
        } else if (arg == "--port") {
            const auto n = number(value(i));
            if (!n || *n < 1 || *n > 65535) fail("--port takes a number from 1 to 65535");
            options.port = static_cast<int>(*n);
        } else if (arg == "--export-map" || arg == "--import-map" || arg == "--export-tags") {
            if (options.mapFile) fail("give only one of --export-map, --import-map and --export-tags");
            const auto action = arg == "--export-map"   ? MapFileAction::ExportMap
                                : arg == "--import-map" ? MapFileAction::ImportMap
                                                        : MapFileAction::ExportTags;
            options.mapFile = MapFileCommand{action, value(i)};
        } else if (arg == "--watch") {
            options.watch = true;
        } else if (arg == "--headless") {
            options.headless = true;
        } else {
            fail("unknown option " + arg + " (see --help)");
        }
    }
    if (options.plugin.empty()) {
        // Beside the host in a build tree, in the library folder when installed.
        options.plugin = executableDir() + "/tesmor.so";
        const std::string installed = executableDir() + "/" TESMOR_PLUGIN_FROM_BIN "/tesmor.so";
        if (!fs::exists(options.plugin) && fs::exists(installed)) options.plugin = installed;
    }
    if (options.profile.empty()) options.profile = (fs::path(options.dataDir) / "profile.json").string();
    if (options.database.empty()) options.database = (fs::path(options.dataDir) / "lab.db").string();
    return options;
}

void say(const std::string& line) { std::cout << "tesmor-host: " << line << std::endl; }

std::string describe(const PluginInfo& info) {
    const auto v = info.version;
    return toUtf8(std::u16string_view(info.name, textLength(info.name))) + " " + std::to_string(v >> 24) + "." +
           std::to_string((v >> 16) & 0xFF) + "." + std::to_string((v >> 8) & 0xFF) + "." +
           std::to_string(v & 0xFF);
}

// Reads the plug-in's description only: Load is never called.
int printVersion(const std::string& plugin) {
    std::cout << "tesmor-host " TESMOR_VERSION << std::endl;
    void* library = dlopen(plugin.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        std::cerr << "tesmor-host: cannot load the plug-in: " << dlerror() << std::endl;
        return 1;
    }
    auto getInfo = reinterpret_cast<const PluginInfo* (*)()>(dlsym(library, "GetPluginInfo"));
    const PluginInfo* info = getInfo ? getInfo() : nullptr;
    if (info) std::cout << "plug-in " << plugin << ": " << describe(*info) << std::endl;
    else std::cerr << "tesmor-host: " << plugin << " is not a tesmor plug-in" << std::endl;
    dlclose(library);
    return info ? 0 : 1;
}

void listDevices() {
    const auto devices = HostCore::instance().devices();
    if (devices.empty()) say("no devices");
    for (std::size_t i = 0; i < devices.size(); ++i)
        say("device " + std::to_string(i) + ": \"" + toUtf8(devices[i].name) + "\" mode " +
            std::to_string(devices[i].mode) + " error " + std::to_string(devices[i].lastError));
}

void deviceCommand(std::istringstream& in) {
    auto& core = HostCore::instance();
    std::string first;
    in >> first;
    std::string rest;
    std::getline(in >> std::ws, rest);
    if (first == "add" && !rest.empty()) {
        core.addDevice({toUtf16(rest), 0, 0});
        return listDevices();
    }
    const auto index = number(first);
    if (first == "remove") {
        const auto n = number(rest);
        if (!n || *n < 0 || !core.removeDevice(static_cast<std::size_t>(*n))) return say("no such device");
        return listDevices();
    }
    std::istringstream fields(rest);
    std::string what, text;
    fields >> what;
    std::getline(fields >> std::ws, text);
    if (!index || *index < 0) return say("usage: device N mode|error|name VALUE");
    bool ok = false;
    if (what == "name" && !text.empty()) {
        ok = core.updateDevice(*index, [&](Device& d) { d.name = toUtf16(text); });
    } else if (const auto v = number(text); v && (what == "mode" || what == "error")) {
        ok = core.updateDevice(*index, [&](Device& d) {
            (what == "mode" ? d.mode : d.lastError) = static_cast<std::int32_t>(*v);
        });
    } else {
        return say("usage: device N mode|error|name VALUE");
    }
    if (!ok) return say("no such device");
    listDevices();
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = parseOptions(argc, argv);
    if (options.version) return printVersion(options.plugin);

    std::error_code error;
    fs::create_directories(options.dataDir, error);
    if (error) fail(options.dataDir + ": " + error.message());
    if (options.mapFile)
        return runMapFileCommand(*options.mapFile, options.profile, options.language, options.plugin);

    std::unique_ptr<DemoLab> demo;
    if (!options.demo.empty()) {
        try {
            demo = std::make_unique<DemoLab>(options.demo, options.port);
        } catch (const std::exception& e) {
            fail(std::string("cannot prepare the demo lab: ") + e.what());
        }
        std::cout << demo->mbpollCommands() << std::endl;
        HostCore::instance().setDevices(DemoLab::devicesAt(0));
    }

    auto& core = HostCore::instance();
    try {
        core.setProfile(JsonProfile::open(options.profile));
        if (!options.devices.empty()) core.setDevices(loadDevices(options.devices));
    } catch (const std::exception& e) {
        fail(e.what());
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

    // Signals end the host through its event thread, like the quit command.
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &blocked, nullptr);

    // The plug-in takes the trace switch from the environment when its server is built.
    if (options.traceModbus) ::setenv("TESMOR_MODBUS_TRACE", "1", 1);
    void* library = dlopen(options.plugin.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library) fail(std::string("cannot load the plug-in: ") + dlerror());
    auto getInfo = reinterpret_cast<const PluginInfo* (*)()>(dlsym(library, "GetPluginInfo"));
    auto stats = reinterpret_cast<uint32_t (*)(char*, uint32_t)>(dlsym(library, TESMOR_MODBUS_STATS_SYMBOL));
    auto load = reinterpret_cast<int (*)(const HostApi*)>(dlsym(library, "Load"));
    auto unload = reinterpret_cast<int (*)()>(dlsym(library, "Unload"));
    if (!getInfo || !load || !unload) fail(options.plugin + " is not a tesmor plug-in");

    if (const PluginInfo* info = getInfo()) say("loaded " + options.plugin + ": " + describe(*info));
    say("profile " + options.profile + ", database " + options.database);

    const bool windowed = !options.headless && (std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY") ||
                                                 std::getenv("QT_QPA_PLATFORM"));
    int qtArgc = 1;
    char* qtArgv[] = {argv[0], nullptr};
    std::unique_ptr<QCoreApplication> app;
    std::unique_ptr<HostWindow> window;
    if (windowed) {
        app = std::make_unique<QApplication>(qtArgc, qtArgv);
        window = std::make_unique<HostWindow>();
    } else {
        app = std::make_unique<QCoreApplication>(qtArgc, qtArgv);
    }
    QCoreApplication* loop = app.get();

    load(core.api());
    core.raise("System/ModulesLoaded", 0);
    for (const auto& item : core.menuItems()) {
        say("menu item \"" + toUtf8(item.path) + "\"");
        if (window) window->addMenuItem(QString::fromStdU16String(item.path), QString::fromStdString(item.command));
    }
    if (window) window->show();

    // Signals and standard input are read on the event thread itself, like the host's own events:
    // no second thread touches the plug-in or the host's state.
    HostWindow* shownWindow = window.get();
    const int signalFd = signalfd(-1, &blocked, SFD_CLOEXEC | SFD_NONBLOCK);
    QSocketNotifier signalNotifier(signalFd, QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, [signalFd, loop] {
        signalfd_siginfo info{};
        if (::read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) loop->quit();
    });

    auto command = [loop, shownWindow, stats](const std::string& line) {
        std::istringstream in(line);
        std::string word;
        in >> word;
        auto& host = HostCore::instance();
        if (word.empty()) return;
        if (word == "quit" || word == "exit") {
            loop->quit();
        } else if (word == "update") {
            std::string id;
            in >> id;
            const auto n = number(id);
            if (!n) return say("usage: update ID");
            host.raise("System/DocumentUpdate", static_cast<intptr_t>(*n));
            say("document update " + std::to_string(*n) + " raised");
        } else if (word == "menu") {
            if (!host.runCommand("tesmor/MenuCommand", reinterpret_cast<intptr_t>(static_cast<QWidget*>(shownWindow))))
                say("no menu command registered");
        } else if (word == "profile") {
            std::cout << host.profileDump() << std::endl;
        } else if (word == "devices") {
            listDevices();
        } else if (word == "stats") {
            char text[512] = {};
            if (!stats || stats(text, sizeof text) == 0) return say("the plug-in reports no Modbus statistics");
            std::cout << text << std::flush;
        } else if (word == "device") {
            deviceCommand(in);
            if (shownWindow) shownWindow->refreshDevices();
        } else if (word == "help") {
            std::cout << kUsage;
        } else {
            say("unknown command \"" + word + "\" (help lists the commands)");
        }
    };
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    std::string pending;
    QObject::connect(&input, &QSocketNotifier::activated, [&input, &pending, command] {
        char buffer[4096];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
        if (n <= 0) {
            // End of input: the host goes on until quit by a signal.
            input.setEnabled(false);
            if (!pending.empty()) command(std::exchange(pending, {}));
            return;
        }
        pending.append(buffer, static_cast<std::size_t>(n));
        for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
            const std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            command(line);
        }
    });

    // Assays already there at start are not news; each new visible one is raised once.
    QTimer watchTimer;
    if (options.watch) {
        struct WatchState {
            std::set<std::int64_t> seen;
            std::string lastError;
        };
        auto state = std::make_shared<WatchState>();
        std::string error;
        for (auto id : visibleAssays(options.database, error)) state->seen.insert(id);
        QObject::connect(&watchTimer, &QTimer::timeout, [state, path = options.database] {
            std::string error;
            const auto ids = visibleAssays(path, error);
            if (error != state->lastError && !error.empty()) say("watch: cannot read " + path + ": " + error);
            state->lastError = error;
            for (auto id : ids) {
                if (!state->seen.insert(id).second) continue;
                say("watch: new assay " + std::to_string(id));
                HostCore::instance().raise("System/DocumentUpdate", static_cast<intptr_t>(id));
            }
        });
        watchTimer.start(1000);
    }

    // The demo's instruments change state every second, and a new analysis comes every ten.
    QTimer demoDevices, demoAnalyses;
    if (demo) {
        auto tick = std::make_shared<std::int64_t>(0);
        QObject::connect(&demoDevices, &QTimer::timeout, [tick, shownWindow] {
            HostCore::instance().setDevices(DemoLab::devicesAt(++*tick));
            if (shownWindow) shownWindow->refreshDevices();
        });
        demoDevices.start(1000);
        QObject::connect(&demoAnalyses, &QTimer::timeout, [lab = demo.get()] {
            try {
                say("demo: analysis " + std::to_string(lab->addAnalysis(std::time(nullptr))) + " finished");
            } catch (const std::exception& e) {
                say(std::string("demo: ") + e.what());
            }
        });
        demoAnalyses.start(10000);
    }

    say(std::string("ready (") + (windowed ? "window" : "headless") + "); type help for the commands");
    app->exec();

    unload();
    window.reset();
    dlclose(library);
    say("plug-in unloaded");
    ::close(signalFd);
    std::cout.flush();
    return 0;
}
