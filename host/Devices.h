#pragma once
// The simulated devices file: [{"name": "...", "mode": 0, "lastError": 0}, ...].
#include <string>
#include <vector>

#include "HostCore.h"
#include "platform/Errors.h"

namespace tesmor::host {

// The devices of the file at `path`; none, and the problem "path: reason", when it cannot be used.
Loaded<std::vector<Device>> loadDevices(const std::string& path);

}  // namespace tesmor::host
