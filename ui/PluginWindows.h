#pragma once
// The plug-in's windows as its shell drives them. Free of Qt, so the shell stays free of it.
// All functions are for the host's event thread (the Qt GUI thread) unless they say otherwise;
// none throws. Without a QApplication (a headless host) there are no windows: showMainWindow
// logs that and the rest do nothing.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "modbus/DeviceMonitor.h"
#include "modbus/ModbusServer.h"
#include "platform/Profile.h"
#include "platform/Resources.h"
#include "results/DataBaseConnection.h"

namespace tesmor::ui {

// What the windows work on; everything referenced must outlive the PluginWindows.
struct WindowServices {
    ModbusServer* server = nullptr;
    Profile* profile = nullptr;
    const Resources* resources = nullptr;
    std::string resourceModulePath;
    std::function<std::shared_ptr<const DeviceList>()> devices;
    std::vector<const StringSource*> otherLanguages;
    const DataBaseConnection* database = nullptr;
};

// True when a QApplication runs in the process.
bool windowsAvailable() noexcept;

// The plug-in's windows: the main window with its dialogs, the message boxes and the last
// rejection. Destroying it destroys the main window with its dialogs, removes the message boxes
// and frees the icon, so that no Qt object of the plug-in outlives it.
class PluginWindows {
public:
    PluginWindows();
    ~PluginWindows();
    PluginWindows(const PluginWindows&) = delete;
    PluginWindows& operator=(const PluginWindows&) = delete;

    // Routes the plug-in's messages to message boxes while a QApplication runs, until this object
    // goes. Does nothing without one.
    void installMessageBoxes(const Resources& resources) noexcept;

    // Creates the main window at the first call (parent: the host window, a QWidget*, may be 0)
    // and shows it in its normal state; later calls show the same window. Returns false when
    // there is no window to show.
    bool showMainWindow(std::intptr_t hostWindow, WindowServices services) noexcept;
    bool mainWindowExists() const noexcept;

    // The connection dialog's settings-saved flag; false without a main window.
    bool settingsSaved() const noexcept;
    void clearSettingsSaved() noexcept;
    // Rebuilds the main window's list, if there is one.
    void rebuildMainWindowList() noexcept;
    // The filters' message of the last rejected analysis, shown with the time of this call in the
    // main window's traffic line until the next publication; an empty text (a publication) takes
    // it away. Kept for a main window created later.
    void showRejection(std::u16string_view message) noexcept;

    // For the device monitor's observer: any thread. Brings the main window's device cells up to
    // date on the GUI thread; does nothing once the window is gone. Empty without a main window.
    std::function<void()> mainWindowRefresher() const noexcept;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace tesmor::ui
