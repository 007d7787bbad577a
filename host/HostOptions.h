#pragma once
// tesmor-host's command line: its options, their defaults, and the help text, written by Qt's
// parser from each option's description.
#include <cstdint>
#include <optional>
#include <string>

#include "MapFileCommands.h"

namespace tesmor::host {

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

// Reads the command line; the options apply in the order they stand, so a later one wins. --help
// prints the help text and exits with status 0; an option it cannot use ends the process with
// status 2 and the reason on standard error.
Options parseOptions(int argc, char** argv);

// The whole help: the usage, every option with its description, the commands on standard input
// and a few examples.
std::string helpText();

}  // namespace tesmor::host
