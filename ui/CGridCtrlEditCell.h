#pragma once

// The single-line edit box that CGridCtrl places over a cell while it is edited. It lives from a
// successful CGridCtrl::beginEdit until it loses the focus, then hands its text (or, after
// Escape, nothing) back to the grid and deletes itself.

#include <QLineEdit>
#include <QString>

namespace tesmor::ui {

class CGridCtrl;

class CGridCtrlEditCell : public QLineEdit {
    Q_OBJECT
public:
    // Created by CGridCtrl::beginEdit only: a framed child of parent (the grid's viewport) with
    // object name "id9801", showing text with the whole text selected.
    CGridCtrlEditCell(CGridCtrl& grid, int row, int column, const QString& text, QWidget* parent);

    int row() const { return row_; }
    int column() const { return column_; }
    const QString& initialText() const { return initialText_; }
    bool cancelled() const { return cancelled_; }

    // Ends the edit: commit keeps the typed text, cancel drops it. Calls after the end do nothing.
    void commit();
    void cancel();

protected:
    bool event(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    friend class CGridCtrl;
    // Gives the focus back to the grid, then ends the edit if the focus change did not.
    void leave();
    void finish();
    // The grid is going away: end silently.
    void detach() { grid_ = nullptr; }

    CGridCtrl* grid_;
    int row_;
    int column_;
    QString initialText_;
    bool cancelled_ = false;
    bool finished_ = false;
};

}  // namespace tesmor::ui
