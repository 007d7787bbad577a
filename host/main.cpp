// tesmor-host: a stand-in for the chromatography data system. It loads the plug-in, offers the
// host services, keeps the profile in a JSON file and raises the host's events.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <QApplication>
#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QMetaObject>
#include <QSocketNotifier>
#include <QString>
#include <QTimer>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "DemoLab.h"
#include "Devices.h"
#include "HostCore.h"
#include "HostWindow.h"
#include "JsonProfile.h"
#include "LabDatabase.h"
#include "MapFileCommands.h"
#include "host_api.h"
#include "platform/SharedLibrary.h"
#include "platform/Text.h"
#include "platform/UniqueFd.h"
#include "tesmor_diagnostics.h"

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
  stats                Modbus traffic, one line per transport (tcp, rtu, and tls while it
                       is on): masters connected (TCP, TLS), requests answered, exceptions
                       sent, frames dropped, last answer
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

std::uint16_t languageId(const std::string& text) {
    const auto id = number(text);
    if (!id || *id < 0 || *id > 0xFFFF) fail("--language takes a number from 0 to 65535 or none");
    return static_cast<std::uint16_t>(*id);
}

void setMapFile(Options& o, MapFileAction action, const std::string& file) {
    if (o.mapFile) fail("give only one of --export-map, --import-map and --export-tags");
    o.mapFile = MapFileCommand{action, file};
}

// One row per option: its names, the name of its value (none for a switch) and what it does.
// The rows apply in the order the options stand on the command line, so a later one wins.
struct OptionRow {
    QStringList names;
    QString valueName;
    void (*apply)(Options&, const std::string& value);
};

const std::vector<OptionRow>& optionTable() {
    static const std::vector<OptionRow> table{
        {{"h", "help"},
         {},
         [](Options&, const std::string&) {
             std::cout << kUsage;
             std::exit(0);
         }},
        {{"version"}, {}, [](Options& o, const std::string&) { o.version = true; }},
        {{"plugin"}, "PATH", [](Options& o, const std::string& v) { o.plugin = v; }},
        {{"data-dir"}, "DIR", [](Options& o, const std::string& v) { o.dataDir = v; }},
        {{"profile"}, "FILE", [](Options& o, const std::string& v) { o.profile = v; }},
        {{"database"}, "FILE", [](Options& o, const std::string& v) { o.database = v; }},
        {{"devices"}, "FILE", [](Options& o, const std::string& v) { o.devices = v; }},
        {{"language"},
         "ID",
         [](Options& o, const std::string& v) {
             o.language = v == "none" ? std::nullopt : std::optional<std::uint16_t>(languageId(v));
         }},
        {{"trace"}, {}, [](Options& o, const std::string&) { o.trace = true; }},
        {{"trace-modbus"}, {}, [](Options& o, const std::string&) { o.traceModbus = true; }},
        {{"demo"},
         "DIR",
         [](Options& o, const std::string& v) {
             o.demo = v;
             o.dataDir = v;
             o.watch = true;
         }},
        {{"port"},
         "N",
         [](Options& o, const std::string& v) {
             const auto n = number(v);
             if (!n || *n < 1 || *n > 65535) fail("--port takes a number from 1 to 65535");
             o.port = static_cast<int>(*n);
         }},
        {{"export-map"},
         "FILE",
         [](Options& o, const std::string& v) { setMapFile(o, MapFileAction::ExportMap, v); }},
        {{"import-map"},
         "FILE",
         [](Options& o, const std::string& v) { setMapFile(o, MapFileAction::ImportMap, v); }},
        {{"export-tags"},
         "FILE",
         [](Options& o, const std::string& v) { setMapFile(o, MapFileAction::ExportTags, v); }},
        {{"watch"}, {}, [](Options& o, const std::string&) { o.watch = true; }},
        {{"headless"}, {}, [](Options& o, const std::string&) { o.headless = true; }},
    };
    return table;
}

// Arguments are read as Latin-1 so every byte of a path comes back unchanged, UTF-8 or not.
QString latin1(const char* text) { return QString::fromLatin1(text); }
std::string bytes(const QString& text) { return text.toLatin1().toStdString(); }

// Refuses what the parser could not read, naming the first culprit.
[[noreturn]] void refuse(const QCommandLineParser& parser, const QStringList& arguments) {
    if (!parser.unknownOptionNames().isEmpty()) {
        const QString name = parser.unknownOptionNames().first();
        fail("unknown option " + std::string(name.size() == 1 ? "-" : "--") + bytes(name) + " (see --help)");
    }
    if (!parser.positionalArguments().isEmpty())
        fail("unknown option " + bytes(parser.positionalArguments().first()) + " (see --help)");
    const QString last = arguments.last();
    for (const auto& row : optionTable())
        if (!row.valueName.isEmpty() && last == "--" + row.names.first())
            fail(bytes(last) + " needs a value (see --help)");
    fail(bytes(parser.errorText()) + " (see --help)");
}

// A bare "--" is no option here, though the parser takes it as the end of the options.
bool hasBareDoubleDash(const QCommandLineParser& parser, const QStringList& arguments) {
    qsizetype asValues = 0;
    for (const auto& row : optionTable())
        if (!row.valueName.isEmpty())
            asValues += parser.values(row.names.first()).count(QStringLiteral("--"));
    return arguments.mid(1).count(QStringLiteral("--")) > asValues;
}

// The plug-in beside the host in a build tree, in the library folder when installed.
std::string defaultPlugin() {
    const std::string beside = executableDir() + "/tesmor.so";
    const std::string installed = executableDir() + "/" TESMOR_PLUGIN_FROM_BIN "/tesmor.so";
    return !fs::exists(beside) && fs::exists(installed) ? installed : beside;
}

Options parseOptions(int argc, char** argv) {
    QCommandLineParser parser;
    std::map<QString, const OptionRow*> rows;
    for (const auto& row : optionTable()) {
        parser.addOption(QCommandLineOption(row.names, {}, row.valueName));
        for (const auto& name : row.names) rows[name] = &row;
    }
    QStringList arguments;
    for (int i = 0; i < argc; ++i) arguments << latin1(argv[i]);
    if (!parser.parse(arguments) || !parser.positionalArguments().isEmpty()) refuse(parser, arguments);
    if (hasBareDoubleDash(parser, arguments)) fail("unknown option -- (see --help)");

    Options options;
    std::map<const OptionRow*, qsizetype> used;
    for (const auto& name : parser.optionNames()) {
        const OptionRow* row = rows.at(name);
        const QStringList values = row->valueName.isEmpty() ? QStringList() : parser.values(name);
        row->apply(options, values.isEmpty() ? std::string() : bytes(values.at(used[row]++)));
    }
    if (options.plugin.empty()) options.plugin = defaultPlugin();
    if (options.profile.empty()) options.profile = (fs::path(options.dataDir) / "profile.json").string();
    if (options.database.empty()) options.database = (fs::path(options.dataDir) / "lab.db").string();
    return options;
}

void say(const std::string& line) { std::cout << "tesmor-host: " << line << std::endl; }

std::string describe(const PluginInfo& info) {
    const auto v = info.version;
    return toUtf8(std::u16string_view(info.name, textLength(info.name))) + " " + std::to_string(v >> 24) +
           "." + std::to_string((v >> 16) & 0xFF) + "." + std::to_string((v >> 8) & 0xFF) + "." +
           std::to_string(v & 0xFF);
}

// Reads the plug-in's description only: Load is never called.
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

void updateCommand(std::istringstream& in) {
    std::string id;
    in >> id;
    const auto n = number(id);
    if (!n) return say("usage: update ID");
    HostCore::instance().raise("System/DocumentUpdate", static_cast<intptr_t>(*n));
    say("document update " + std::to_string(*n) + " raised");
}

// What the commands on standard input act on.
struct Session {
    QCoreApplication* loop;
    HostWindow* window;                            // null when headless
    std::uint32_t (*stats)(char*, std::uint32_t);  // null when the plug-in has no such export
};

using Command = void (*)(std::istringstream& arguments, const Session& session);

// The commands on standard input by their first word; kUsage lists them.
const std::map<std::string, Command>& commandTable() {
    static const std::map<std::string, Command> table{
        {"quit", [](std::istringstream&, const Session& s) { s.loop->quit(); }},
        {"exit", [](std::istringstream&, const Session& s) { s.loop->quit(); }},
        {"update", [](std::istringstream& in, const Session&) { updateCommand(in); }},
        {"menu",
         [](std::istringstream&, const Session& s) {
             const auto window = reinterpret_cast<intptr_t>(static_cast<QWidget*>(s.window));
             if (!HostCore::instance().runCommand("tesmor/MenuCommand", window))
                 say("no menu command registered");
         }},
        {"profile", [](std::istringstream&,
                       const Session&) { std::cout << HostCore::instance().profileDump() << std::endl; }},
        {"devices", [](std::istringstream&, const Session&) { listDevices(); }},
        {"device",
         [](std::istringstream& in, const Session& s) {
             deviceCommand(in);
             if (s.window) s.window->refreshDevices();
         }},
        {"stats",
         [](std::istringstream&, const Session& s) {
             char text[512] = {};
             if (!s.stats || s.stats(text, sizeof text) == 0)
                 return say("the plug-in reports no Modbus statistics");
             std::cout << text << std::flush;
         }},
        {"help", [](std::istringstream&, const Session&) { std::cout << kUsage; }},
    };
    return table;
}

void runCommand(const std::string& line, const Session& session) {
    std::istringstream in(line);
    std::string word;
    in >> word;
    if (word.empty()) return;
    const auto& table = commandTable();
    if (const auto command = table.find(word); command != table.end())
        command->second(in, session);
    else
        say("unknown command \"" + word + "\" (help lists the commands)");
}

// Standard input, read on the event thread a line at a time.
class CommandInput {
public:
    explicit CommandInput(Session session) : session_(session) {
        QObject::connect(&notifier_, &QSocketNotifier::activated, [this] { readSome(); });
    }

private:
    void readSome() {
        char buffer[4096];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
        if (n <= 0) {
            // End of input: the host goes on until quit by a signal.
            notifier_.setEnabled(false);
            if (!pending_.empty()) runCommand(std::exchange(pending_, {}), session_);
            return;
        }
        pending_.append(buffer, static_cast<std::size_t>(n));
        for (std::size_t end; (end = pending_.find('\n')) != std::string::npos;) {
            const std::string line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            runCommand(line, session_);
        }
    }

    Session session_;
    std::string pending_;
    QSocketNotifier notifier_{STDIN_FILENO, QSocketNotifier::Read};
};

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

// Loads the plug-in and runs the host's event loop until quit.
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
    CommandInput input(Session{app.get(), window.get(), plugin.stats});
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

}  // namespace

int main(int argc, char** argv) {
    const Options options = parseOptions(argc, argv);
    if (options.version) return printVersion(options.plugin);

    std::error_code error;
    fs::create_directories(options.dataDir, error);
    if (error) fail(options.dataDir + ": " + error.message());
    if (options.mapFile)
        return runMapFileCommand(*options.mapFile, options.profile, options.language, options.plugin);
    const int status = runHost(options, argv[0]);
    std::cout.flush();
    return status;
}
