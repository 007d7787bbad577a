#pragma once
// Small helpers shared by the dialogs: texts from the current resources and control naming.
#include <QString>
#include <QWidget>
#include <cstdint>

#include "ui/UiContext.h"

namespace tesmor::ui {

inline QString loadString(const UiContext& context, unsigned id) {
    return toQString(context.resources.loadString(id));
}

// Caption of control `control` of dialog template `dialog`; control 0 is the window caption.
inline QString dialogText(const UiContext& context, unsigned dialog, unsigned control) {
    return toQString(context.resources.dialogText(dialog, control));
}

// A control's object name from its numeric id ("id1030"), so tests and tools find it.
inline QString controlName(int id) { return QStringLiteral("id%1").arg(id); }

template <typename Widget>
Widget* withId(Widget* widget, int id) {
    widget->setObjectName(controlName(id));
    return widget;
}

// A register address as the map shows it: "0x" and at least four upper-case hex digits.
inline QString hexAddressText(std::int32_t address) {
    return QStringLiteral("0x") +
           QString::number(static_cast<std::uint32_t>(address), 16).toUpper().rightJustified(4, u'0');
}

}  // namespace tesmor::ui
