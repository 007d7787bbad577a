#pragma once
// What tesmor-host says of the plug-in it loads: its name and version, at start and for --version.
#include <string>

#include "host_api.h"

namespace tesmor::host {

// The plug-in's name and version, as the host prints them.
std::string describe(const PluginInfo& info);

// --version: the host's version and the name and version of the plug-in at `plugin`, read from its
// description only (Load is never called). Returns the exit status: 1 when the plug-in cannot be
// loaded or is no tesmor plug-in.
int printVersion(const std::string& plugin);

}  // namespace tesmor::host
