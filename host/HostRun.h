#pragma once
// tesmor-host's run: loads the plug-in, offers it the host services, raises the host's events and
// runs the event loop (window or headless) until the quit command, SIGINT or SIGTERM.
#include "HostOptions.h"

namespace tesmor::host {

// Runs the host with `options` and returns the exit status; `program` is argv[0], for Qt. What
// cannot be set up (the profile, the devices file, the demo lab, the plug-in) ends the process
// with status 2 and the reason on standard error.
int runHost(const Options& options, char* program);

}  // namespace tesmor::host
