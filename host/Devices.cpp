#include "Devices.h"

#include <fstream>
#include <nlohmann/json.hpp>

#include "platform/Text.h"

namespace tesmor::host {

namespace {
using Result = Loaded<std::vector<Device>>;

// Throws nlohmann::json::exception for a "mode" or "lastError" that is not a number.
Result parse(const nlohmann::json& json, const std::string& path) {
    if (!json.is_array()) return Result::refused(path + ": expected a list of devices");
    std::vector<Device> devices;
    for (const auto& item : json) {
        if (!item.is_object() || !item.contains("name") || !item["name"].is_string())
            return Result::refused(path + ": every device needs a \"name\" text");
        Device device;
        device.name = toUtf16(item["name"].get<std::string>());
        device.mode = item.value("mode", 0);
        device.lastError = item.value("lastError", 0);
        devices.push_back(std::move(device));
    }
    return Result{std::move(devices), {}};
}
}  // namespace

Result loadDevices(const std::string& path) {
    std::ifstream in(path);
    if (!in) return Result::refused(path + ": cannot open the devices file");
    try {
        return parse(nlohmann::json::parse(in), path);
    } catch (const nlohmann::json::exception& e) {
        return Result::refused(path + ": " + e.what());
    }
}

}  // namespace tesmor::host
