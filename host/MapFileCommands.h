#pragma once
// tesmor-host's map file commands: export the register map of a profile to a map file, import
// one into it, or write the SCADA tag list; each runs alone and the host then exits.
#include <cstdint>
#include <optional>
#include <string>

namespace tesmor::host {

enum class MapFileAction { ExportMap, ImportMap, ExportTags };

struct MapFileCommand {
    MapFileAction action;
    std::string file;
};

// Runs `command` on the profile file `profilePath`, with the captions of the language the plug-in
// at `pluginPath` would use for `language` (the built-in Russian ones for 1049, none or a language
// without a library). Reports on standard output; errors go to standard error. Returns the exit
// status: 0 done, 1 the file was refused or could not be read or written (the profile is then
// unchanged), 2 the profile cannot be read.
int runMapFileCommand(const MapFileCommand& command, const std::string& profilePath,
                      std::optional<std::uint16_t> language, const std::string& pluginPath);

}  // namespace tesmor::host
