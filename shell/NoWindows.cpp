// The plug-in built without its user interface: the window bridge answers "no windows".
#include "platform/Log.h"
#include "ui/PluginWindows.h"

namespace tesmor::ui {

struct PluginWindows::State {};

bool windowsAvailable() noexcept { return false; }
PluginWindows::PluginWindows() = default;
PluginWindows::~PluginWindows() = default;
void PluginWindows::installMessageBoxes(const Resources&) noexcept {}
bool PluginWindows::showMainWindow(std::intptr_t, WindowServices) noexcept {
    logLine("menu command: built without windows; the main window is not shown");
    return false;
}
bool PluginWindows::mainWindowExists() const noexcept { return false; }
bool PluginWindows::settingsSaved() const noexcept { return false; }
void PluginWindows::clearSettingsSaved() noexcept {}
void PluginWindows::rebuildMainWindowList() noexcept {}
void PluginWindows::showRejection(std::u16string_view) noexcept {}
std::function<void()> PluginWindows::mainWindowRefresher() const noexcept { return {}; }

}  // namespace tesmor::ui
