#pragma once
// The simulated devices file: [{"name": "...", "mode": 0, "lastError": 0}, ...].
#include <string>
#include <vector>

#include "HostCore.h"

namespace tesmor::host {

// Throws std::runtime_error with the path and the reason when the file cannot be used.
std::vector<Device> loadDevices(const std::string& path);

}  // namespace tesmor::host
