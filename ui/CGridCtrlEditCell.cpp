#include "ui/CGridCtrlEditCell.h"

#include <QEvent>
#include <QFocusEvent>
#include <QKeyEvent>
#include <optional>
#include <utility>

#include "platform/ResourceIds.h"
#include "ui/CGridCtrl.h"
#include "ui/DialogSupport.h"

namespace tesmor::ui {

CGridCtrlEditCell::CGridCtrlEditCell(CGridCtrl& grid, int row, int column, const QString& text,
                                     QWidget* parent)
    : QLineEdit(text, parent), grid_(&grid), row_(row), column_(column), initialText_(text) {
    setObjectName(controlName(res::grid::kEditCell));
    setFrame(true);
    setFont(grid.font());
}

void CGridCtrlEditCell::commit() { leave(); }

void CGridCtrlEditCell::cancel() {
    if (finished_) return;
    cancelled_ = true;
    leave();
}

void CGridCtrlEditCell::leave() {
    if (finished_) return;
    if (grid_ && (hasFocus() || window()->focusWidget() == this)) grid_->setFocus(Qt::OtherFocusReason);
    // In a window that is not active no focus event comes.
    finish();
}

void CGridCtrlEditCell::finish() {
    if (finished_) return;
    finished_ = true;
    if (CGridCtrl* grid = std::exchange(grid_, nullptr))
        grid->editEnded(*this, cancelled_ ? std::nullopt : std::optional<QString>(text()));
    hide();
    deleteLater();
}

bool CGridCtrlEditCell::event(QEvent* event) {
    // These keys belong to the edit box, not to the dialog's default and cancel buttons or
    // to shortcuts.
    if (event->type() == QEvent::ShortcutOverride) {
        const auto* key = static_cast<QKeyEvent*>(event);
        switch (key->key()) {
            case Qt::Key_Return:
            case Qt::Key_Enter:
            case Qt::Key_Escape:
            case Qt::Key_Delete:
                event->accept();
                return true;
            default:
                if (key->modifiers() & Qt::ControlModifier) {
                    event->accept();
                    return true;
                }
        }
    }
    return QLineEdit::event(event);
}

void CGridCtrlEditCell::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
            event->accept();
            commit();
            return;
        case Qt::Key_Escape:
            event->accept();
            cancel();
            return;
        default:
            QLineEdit::keyPressEvent(event);
            if (event->key() == Qt::Key_Delete || (event->modifiers() & Qt::ControlModifier)) event->accept();
    }
}

void CGridCtrlEditCell::focusOutEvent(QFocusEvent* event) {
    QLineEdit::focusOutEvent(event);
    // The edit box's own context menu takes the focus only for a moment.
    if (event->reason() != Qt::PopupFocusReason) finish();
}

}  // namespace tesmor::ui
