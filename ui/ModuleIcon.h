#pragma once
// The module's icon (icon group 138), which every window of the plug-in sets as its large and
// small icon. GUI thread only.
#include <QIcon>

namespace tesmor::ui {

// Empty until the icon resource is built in; a window given an empty icon keeps the default.
inline QIcon moduleIcon() { return QIcon(); }

}  // namespace tesmor::ui
