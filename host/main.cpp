// tesmor-host: a stand-in for the chromatography data system. It loads the plug-in, offers the
// host services, keeps the profile in a JSON file and raises the host's events.
//   HostOptions: the command line and the help text;  HostCommands: the commands on standard input;
//   HostRun: the plug-in's load, the event loop and its unload;  PluginVersion: --version;
//   MapFileCommands: --export-map, --import-map and --export-tags.
#include <filesystem>
#include <iostream>
#include <system_error>

#include "Console.h"
#include "HostOptions.h"
#include "HostRun.h"
#include "MapFileCommands.h"
#include "PluginVersion.h"

namespace fs = std::filesystem;
using namespace tesmor::host;

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
