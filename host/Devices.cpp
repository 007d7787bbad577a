#include "Devices.h"

#include <fstream>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "platform/Text.h"

namespace tesmor::host {

namespace {
std::vector<Device> parse(const nlohmann::json& json, const std::string& path) {
    if (!json.is_array()) throw std::runtime_error(path + ": expected a list of devices");
    std::vector<Device> devices;
    for (const auto& item : json) {
        if (!item.is_object() || !item.contains("name") || !item["name"].is_string())
            throw std::runtime_error(path + ": every device needs a \"name\" text");
        Device device;
        device.name = toUtf16(item["name"].get<std::string>());
        device.mode = item.value("mode", 0);
        device.lastError = item.value("lastError", 0);
        devices.push_back(std::move(device));
    }
    return devices;
}
}  // namespace

std::vector<Device> loadDevices(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error(path + ": cannot open the devices file");
    try {
        return parse(nlohmann::json::parse(in), path);
    } catch (const nlohmann::json::exception& e) {
        throw std::runtime_error(path + ": " + e.what());
    }
}

}  // namespace tesmor::host
