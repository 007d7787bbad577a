#pragma once
// Small helpers shared by the dialogs: texts from the current resources and control naming.
#include <QString>
#include <QWidget>

#include "ui/UiContext.h"

namespace tesmor::ui {

inline QString loadString(const UiContext& context, unsigned id) {
    return toQString(context.resources.loadString(id));
}

// Caption of control `control` of dialog template `dialog`; control 0 is the window caption.
inline QString dialogText(const UiContext& context, unsigned dialog, unsigned control) {
    return toQString(context.resources.dialogText(dialog, control));
}

// Gives a control its numeric id as object name ("id1030"), so tests and tools find it.
template <typename Widget>
Widget* withId(Widget* widget, int id) {
    widget->setObjectName(QStringLiteral("id%1").arg(id));
    return widget;
}

}  // namespace tesmor::ui
