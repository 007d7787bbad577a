#include "HostOptions.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QString>
#include <QStringList>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <vector>

#include "Console.h"
#include "HostCommands.h"

namespace fs = std::filesystem;

namespace tesmor::host {

namespace {

constexpr const char* kDescription =
    "\nA stand-in for the chromatography data system: loads the tesmor plug-in, offers it the host\n"
    "services (profile, database location, devices, language, menu) and raises the host's events.";

constexpr const char* kExamples = R"(Examples:
  tesmor-host --demo ./demo
  tesmor-host --data-dir /tmp/lab --language 1033 --trace
  tesmor-host --version
  tesmor-host --data-dir ./demo --export-map map.csv
)";

std::string executableDir() {
    std::error_code error;
    const auto self = fs::read_symlink("/proc/self/exe", error);
    return error ? std::string(".") : self.parent_path().string();
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

// One row per option: its names, the name of its value (none for a switch), what it does for the
// help text, and how it changes the options. The rows apply in the order the options stand on the
// command line; the help lists them in the order of this table.
struct OptionRow {
    QStringList names;
    QString valueName;
    const char* description;
    void (*apply)(Options&, const std::string& value);
};

const std::vector<OptionRow>& optionTable() {
    static const std::vector<OptionRow> table{
        {{"plugin"},
         "PATH",
         "plug-in to load (default: tesmor.so beside tesmor-host, or in its installed library folder)",
         [](Options& o, const std::string& v) { o.plugin = v; }},
        {{"data-dir"},
         "DIR",
         "folder for the profile and the database (default: the current folder; created when missing)",
         [](Options& o, const std::string& v) { o.dataDir = v; }},
        {{"profile"},
         "FILE",
         "profile store, a JSON file (default: DIR/profile.json)",
         [](Options& o, const std::string& v) { o.profile = v; }},
        {{"database"},
         "FILE",
         "SQLite database handed to the plug-in (default: DIR/lab.db)",
         [](Options& o, const std::string& v) { o.database = v; }},
        {{"language"},
         "ID|none",
         "language id the host reports (default 1049, Russian; 1033 English); none: the host offers no "
         "language service",
         [](Options& o, const std::string& v) {
             o.language = v == "none" ? std::nullopt : std::optional<std::uint16_t>(languageId(v));
         }},
        {{"devices"},
         "FILE",
         R"(simulated devices, JSON: [{"name": "GC-1", "mode": 0, "lastError": 0}])",
         [](Options& o, const std::string& v) { o.devices = v; }},
        {{"trace"},
         {},
         "log every call the plug-in makes to the host on standard error",
         [](Options& o, const std::string&) { o.trace = true; }},
        {{"trace-modbus"},
         {},
         "log every Modbus request and reply in hex, with the transport, the master's address and a time "
         "stamp, on standard error (the same as TESMOR_MODBUS_TRACE=1 in the environment)",
         [](Options& o, const std::string&) { o.traceModbus = true; }},
        {{"watch"},
         {},
         "raise System/DocumentUpdate for every new visible assay that appears in the database (checked "
         "about once a second)",
         [](Options& o, const std::string&) { o.watch = true; }},
        {{"headless"},
         {},
         "no window, even when a display is there (without DISPLAY, WAYLAND_DISPLAY or QT_QPA_PLATFORM the "
         "host is always headless)",
         [](Options& o, const std::string&) { o.headless = true; }},
        {{"demo"},
         "DIR",
         "run the demo lab in DIR (created when missing): a natural-gas laboratory with two "
         "chromatographs, a new analysis every ten seconds and Modbus TCP on --port; implies --data-dir DIR "
         "and --watch",
         [](Options& o, const std::string& v) {
             o.demo = v;
             o.dataDir = v;
             o.watch = true;
         }},
        {{"port"},
         "N",
         "the demo's Modbus TCP port when its lab is created (default 1502)",
         [](Options& o, const std::string& v) {
             const auto n = number(v);
             if (!n || *n < 1 || *n > 65535) fail("--port takes a number from 1 to 65535");
             o.port = static_cast<int>(*n);
         }},
        {{"export-map"},
         "FILE",
         "write the register map of the profile to FILE (CSV), then exit",
         [](Options& o, const std::string& v) { setMapFile(o, MapFileAction::ExportMap, v); }},
        {{"import-map"},
         "FILE",
         "replace the register map of the profile with the one in FILE, then exit; a file with errors is "
         "refused whole (exit status 1, each error as FILE:LINE: reason on standard error) and the profile "
         "is unchanged",
         [](Options& o, const std::string& v) { setMapFile(o, MapFileAction::ImportMap, v); }},
        {{"export-tags"},
         "FILE",
         "write the tag list for the SCADA side (CSV) of the profile's register map to FILE, then exit "
         "(these three use the profile of --data-dir or --profile and the captions of --language)",
         [](Options& o, const std::string& v) { setMapFile(o, MapFileAction::ExportTags, v); }},
        {{"version"},
         {},
         "print the host's version and the plug-in's name and version, then exit (exit status 1 when the "
         "plug-in cannot be loaded)",
         [](Options& o, const std::string&) { o.version = true; }},
        {{"h", "help"},
         {},
         "this text",
         [](Options&, const std::string&) {
             std::cout << helpText();
             std::exit(0);
         }},
    };
    return table;
}

// A parser that knows every option of the table.
void addOptions(QCommandLineParser& parser) {
    parser.setApplicationDescription(QString::fromUtf8(kDescription));
    for (const auto& row : optionTable())
        parser.addOption(QCommandLineOption(row.names, QString::fromUtf8(row.description), row.valueName));
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

}  // namespace

std::string helpText() {
    QCommandLineParser parser;
    addOptions(parser);
    // The parser names the program by the path it was started with, or not at all before the
    // application object exists: the usage line names it the same way everywhere.
    std::string options = parser.helpText().toStdString();
    options.erase(0, options.find('\n') + 1);
    return "Usage: tesmor-host [options]\n" + options + "\n" + commandsHelp() + "\n" + kExamples;
}

Options parseOptions(int argc, char** argv) {
    QCommandLineParser parser;
    addOptions(parser);
    std::map<QString, const OptionRow*> rows;
    for (const auto& row : optionTable())
        for (const auto& name : row.names) rows[name] = &row;
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

}  // namespace tesmor::host
