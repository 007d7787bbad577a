// The plug-in built without its user interface: the window bridge answers "no windows".
#include "platform/Log.h"
#include "ui/PluginWindows.h"

namespace tesmor::ui {

bool windowsAvailable() noexcept { return false; }
void installMessageBoxes(const Resources&) noexcept {}
bool showMainWindow(std::intptr_t, WindowServices) noexcept {
    logLine("menu command: built without windows; the main window is not shown");
    return false;
}
bool mainWindowExists() noexcept { return false; }
bool settingsSaved() noexcept { return false; }
void clearSettingsSaved() noexcept {}
void rebuildMainWindowList() noexcept {}
void showRejection(std::u16string_view) noexcept {}
std::function<void()> mainWindowRefresher() noexcept { return {}; }
void closeWindows() noexcept {}

}  // namespace tesmor::ui
