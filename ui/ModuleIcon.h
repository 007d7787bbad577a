#pragma once
// The module's icon (icon group 138), which every window of the plug-in sets as its large and
// small icon. GUI thread only, with a QGuiApplication.
#include <QIcon>
#include <QPixmap>

namespace tesmor::ui {

// Drawn once per process, at the first call.
QIcon moduleIcon();
// The icon drawn at size x size pixels (the about box shows it at 80).
QPixmap moduleIconPixmap(int size);
// Frees the drawn icon. The plug-in calls it before it is unloaded; it also runs when the
// application object goes first, so no pixmap outlives the application.
void releaseModuleIcon() noexcept;

}  // namespace tesmor::ui
