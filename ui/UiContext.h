#pragma once
// What the dialogs work on, handed over by the plug-in's shell. Everything referenced outlives
// every window of the plug-in (the shell destroys the windows before it goes).
#include <QIcon>
#include <QString>
#include <functional>
#include <memory>
#include <vector>

#include "modbus/DeviceMonitor.h"
#include "modbus/ModbusServer.h"
#include "platform/Profile.h"
#include "platform/Resources.h"
#include "results/DataBaseConnection.h"

namespace tesmor::ui {

struct UiContext {
    ModbusServer& server;
    Profile& profile;
    // The resources chosen at start-up (built-in Russian or a language library's).
    const Resources& resources;
    // Path of the module that supplies `resources`, for the about box.
    std::string resourceModulePath;
    // The device list of the monitor's last complete poll.
    std::function<std::shared_ptr<const DeviceList>()> devices;
    // The other languages whose captions a map file may hold (may be empty).
    std::vector<const StringSource*> otherLanguages = {};
    // Where the host database is, for the filters dialog; null: nowhere (a temporary database).
    const DataBaseConnection* database = nullptr;
};

// The map's captions: written in the resources in use, read in any of the languages.
inline MapCaptions mapCaptions(const UiContext& context) {
    return MapCaptions(context.resources, context.otherLanguages);
}

inline QString toQString(std::u16string_view text) {
    return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}
inline std::u16string toU16(const QString& text) { return text.toStdU16String(); }

}  // namespace tesmor::ui
