#pragma once

// The list control of the configuration dialogs: a report-style list whose rows carry colours of
// their own, with in-place cell editing, sorting by a column and header notifications answered by
// the dialog that holds it (its owner).
//
// Add columns and rows through the grid, whose cells carry the sort comparison and the row's
// style; reading, selecting and removing through model() and selectionModel() is fine.
// An edit in progress ends (committing) when the list scrolls or is sorted, and is dropped
// (cancelled) when rows or columns are inserted or removed, since its cell may be gone.
// All members are for the GUI thread only.

#include <QColor>
#include <QPoint>
#include <QPointer>
#include <QString>
#include <QTableView>
#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_map>

#include "ui/CGridCtrlEditCell.h"  // editCell() converts a QPointer to it

class QStandardItemModel;

namespace tesmor::ui {

class CGridCtrl;
class CGridCtrlEditCell;

// Notification codes sent to the owner. The values are part of the owner protocol.
inline constexpr int GN_CELLCHANGED = 3426;  // reply 0: the old text is put back
inline constexpr int GN_BEGINEDIT = 3427;    // reply nonzero: the edit begins
inline constexpr int GN_ROWSELECTED = 3428;  // reply not used
inline constexpr int GN_CONTEXTMENU = 3429;  // reply not used
inline constexpr int GN_SORT = 3430;         // reply: the sort kind (GridSortKind)
inline constexpr int GN_COLUMNMOVED = 3431;  // reply not used
inline constexpr int GN_BEGINRESIZE = 3432;  // reply nonzero: the divider drag is prevented
inline constexpr int GN_ENDRESIZE = 3433;    // reply not used (the new width already applies)
inline constexpr int GN_DBLCLICK = 3434;     // the owner takes the double click over via *result

// Replies to GN_SORT. Any other nonzero reply sorts by case-insensitive text.
inline constexpr int GRID_SORT_NONE = 0;
inline constexpr int GRID_SORT_TEXT = 1;
inline constexpr int GRID_SORT_NUMERIC = 2;
inline constexpr int GRID_SORT_DATE = 3;

// One notification. The header (grid, id, code) is always set; the other fields only as listed.
struct GridNotification {
    CGridCtrl* grid = nullptr;
    int id = 0;    // the control id of the grid
    int code = 0;  // GN_*
    // GN_CELLCHANGED, GN_BEGINEDIT, GN_DBLCLICK: the cell; GN_ROWSELECTED: the row and 0;
    // GN_SORT, GN_COLUMNMOVED, GN_BEGINRESIZE, GN_ENDRESIZE: the column in `column`.
    // GN_DBLCLICK on no row: row -1.
    int row = -1;
    int column = -1;
    QPoint screenPos;            // GN_CONTEXTMENU
    int ascending = 0;           // GN_SORT: 1 ascending, 0 descending
    int position = 0;            // GN_COLUMNMOVED: the column's new visual position
    int width = 0;               // GN_ENDRESIZE: the new width
    intptr_t* result = nullptr;  // GN_DBLCLICK: set nonzero to take the double click over
};

// The dialog that holds a grid. Must outlive the grid or be unset with setOwner(nullptr).
class CGridCtrlOwner {
public:
    virtual ~CGridCtrlOwner() = default;
    // Returns the reply; return 0 for codes not handled.
    virtual intptr_t gridNotify(CGridCtrl& grid, const GridNotification& notification) = 0;
};

// A row's colours. A colour is 0x00BBGGRR (red in the low byte); defaultColor, or any value with
// a nonzero high byte, stands for the list's own colour.
struct GridRowStyle {
    static constexpr std::uint32_t defaultColor = 0xFF000000u;
    std::uint32_t textColor = defaultColor;
    std::uint32_t backgroundColor = defaultColor;
    std::uint32_t reserved = 0;
};

// The colours a row is painted in.
struct GridCellColors {
    QColor text;
    QColor background;
};

class CGridCtrl : public QTableView {
    Q_OBJECT
public:
    // A report-style list with grid lines, full-row selection and tips for cut texts, no columns.
    explicit CGridCtrl(QWidget* parent = nullptr);
    ~CGridCtrl() override;

    // The control id; also sets the object name "id<controlId>".
    void setControlId(int controlId);
    int controlId() const { return controlId_; }

    // Notifications go to owner; with none every reply is 0.
    void setOwner(CGridCtrlOwner* owner) { owner_ = owner; }
    CGridCtrlOwner* owner() const { return owner_; }

    // Columns. alignment's horizontal part aligns the header, the cells and the edit box.
    // Returns the index of the new column (column is clamped to 0..columnCount()).
    int insertColumn(int column, const QString& caption, int width = 100,
                     Qt::Alignment alignment = Qt::AlignLeft);
    void deleteColumn(int column);
    int columnCount() const;
    Qt::Alignment columnAlignment(int column) const;

    // Rows. insertRow clamps row to 0..rowCount() and returns the index of the new row, or -1
    // when there are no columns. Out-of-range reads give an empty text; writes are ignored.
    int insertRow(int row, const QString& text);
    int rowCount() const;
    QString itemText(int row, int column) const;
    void setItemText(int row, int column, const QString& text);

    // Attaches style to a row; the grid owns it from then on (an earlier one is freed). A row
    // removed in any way frees its style. Returns false (and frees style) for a bad row.
    bool setRowStyle(int row, std::unique_ptr<GridRowStyle> style);
    // The row's style, for changing its colours in place (then call updateRow); null if none.
    GridRowStyle* rowStyle(int row) const;
    void updateRow(int row);
    // How many styles the grid holds.
    std::size_t styleCount() const { return styles_.size(); }
    // The colours the row is painted in: highlight colours when selected, otherwise the row's
    // style, otherwise the list's own colours.
    GridCellColors paintColors(int row) const;

    // Frees every row's style, then deletes all rows. An edit in progress is cancelled.
    void deleteAllRows();

    // Starts an in-place edit of a cell. Returns the edit box (owned by the grid's viewport, gone
    // after the edit ends), or null when the cell does not exist or the owner refuses it.
    CGridCtrlEditCell* beginEdit(int row, int column);
    // Ends the edit in progress as a loss of its focus would (committing unless cancelled).
    void endEdit();
    CGridCtrlEditCell* editCell() const { return edit_; }

    // The double-click protocol for a click on a cell (row -1: on no row).
    void doubleClicked(int row, int column);
    // The sort protocol for a click on a column header.
    void headerClicked(int column);
    int sortColumn() const { return sortColumn_; }
    bool sortAscending() const { return sortAscending_; }
    int sortKind() const { return sortKind_; }

    // Header protocol, as driven by the header's mouse handling. beginColumnResize returns
    // whether a divider drag of column may start.
    bool beginColumnResize(int column);
    void endColumnResize(int column, int newWidth);
    void columnMoved(int column, int newPosition);

    // Sends GN_CONTEXTMENU; a null point means the menu was asked for from the keyboard.
    void contextMenuAt(std::optional<QPoint> screenPos);

protected:
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    friend class CGridCtrlEditCell;
    class Item;
    class Delegate;

    intptr_t notify(GridNotification notification);
    QModelIndex cell(int row, int column) const;
    // Called once by the edit box when it ends; text is empty when the edit was cancelled.
    void editEnded(CGridCtrlEditCell& edit, const std::optional<QString>& text);
    // Ordering of two texts under the current sort kind: <0, 0, >0.
    int compareTexts(const QString& a, const QString& b) const;
    void showSortArrows();
    void freeStyles(int firstRow, int lastRow);
    int dividerAt(int x) const;

    QStandardItemModel* model_;
    CGridCtrlOwner* owner_ = nullptr;
    int controlId_ = 0;
    std::unordered_map<const GridRowStyle*, std::unique_ptr<GridRowStyle>> styles_;
    QPointer<CGridCtrlEditCell> edit_;

    int sortColumn_ = -1;
    bool sortAscending_ = true;
    int sortKind_ = GRID_SORT_NONE;
    int arrowColumn_ = -1;  // where the sort arrow shows, -1 for none
    bool arrowAscending_ = true;

    int resizeColumn_ = -1;  // the column whose divider is being dragged, -1 for none
    int resizeStartWidth_ = 0;
};

}  // namespace tesmor::ui
